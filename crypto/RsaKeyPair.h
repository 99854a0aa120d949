#pragma once
// RSA key pair generation: two random primes of S/2 bytes, n = p q, and a random public
// exponent e below phi = (p - 1)(q - 1) with d = e^-1 mod phi, tried up to 50 passes of 100.

#include "crypto/CCryptRandom.h"
#include "crypto/GenPrime.h"
#include "crypto/LongInt2.h"

// What a key generation run reports as it goes. The defaults report nothing.
class CRsaKeyGenProgress {
public:
    virtual ~CRsaKeyGenProgress() = default;
    // Before the primes: prime 0 is p, prime 1 is q.
    virtual void OnPrimeStart(int prime) {}
    // After every round of the primality test; false cancels the run.
    virtual bool OnPrimeRound(int prime, int candidate, int round, int totalRounds) { return true; }
    // Before each draw of e (pass 1..50, try 1..100).
    virtual void OnExponentTry(int pass, int attempt) {}
    // After a pass whose 100 tries all failed.
    virtual void OnPassFailed(int pass, int failures) {}
};

class RsaKeyPair {
public:
    static constexpr int Passes = 50;
    static constexpr int TriesPerPass = 100;

    // Fills n, d and e (each of capacity at least S bytes) with a fresh key pair of an
    // S-byte modulus. 1 generated, 0 when every try failed, -1 cancelled through the progress.
    // Texts thrown by the arithmetic (a capacity too small, a dead random source) pass on.
    static int Generate(int s, LongInt2& n, LongInt2& d, LongInt2& e, CRsaKeyGenProgress* progress = nullptr,
                        CCryptRandom& random = CCryptRandom::Instance());
};
