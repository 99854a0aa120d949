#pragma once
// Random numbers and probable primes of a given byte length, for RSA key generation.

#include "crypto/CCryptRandom.h"
#include "crypto/LongInt2.h"

// Progress of the primality test, called after every round with (candidate number, round
// index, total rounds as 8 * Size | 4, context); returning false cancels.
using PrimeProgress = bool (*)(int candidate, int round, int totalRounds, void* context);

// Fills the low R bytes of x with random bytes and zeroes the rest (R = 0: all Size bytes).
// Returns the random source's success flag. R > Size throws "GenRnd(): R > p.GetSize()".
bool GenRnd(LongInt2& x, int r, CCryptRandom& random = CCryptRandom::Instance());

// A probable prime of exactly R bytes (top bit set, odd) in p (R = 0: Size). 1 when found,
// -1 when the progress callback cancelled. R > Size throws "GenPrime(): R > p.GetSize()";
// a random source that cannot deliver throws "GenPrime(): no random data" instead of
// testing the same candidate forever.
int GenPrime(LongInt2& p, int r, PrimeProgress progress, void* context,
             CCryptRandom& random = CCryptRandom::Instance());

// Euler test of an odd p with up to 8 * Size + 5 random bases: 1 probably prime, 0 composite
// (also for 0, 1 and even values), -1 cancelled.
int IsProbablePrime(const LongInt2& p, int candidate, PrimeProgress progress, void* context,
                    CCryptRandom& random = CCryptRandom::Instance());
