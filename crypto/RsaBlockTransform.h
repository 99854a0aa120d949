#pragma once
// The RSA block format: a message of any length, a 32-bit time value and the block index, cut
// into blocks of k bytes (k = significant byte length of n), each raised to the exponent mod n.
// Block 0 carries up to k - 12 message bytes and the message length, every later block up to
// k - 8; each block ends with the time value, the block index, two random bytes and a zero.

#include "crypto/CCryptRandom.h"
#include "crypto/LongInt2.h"
#include "foundation/CZelString.h"

#include <cstdint>

struct RsaBlockTransform {
    // Results below zero.
    static constexpr int ErrorFormat = -1;      // modulus under 16 bytes, or input not whole blocks
    static constexpr int ErrorBlockIndex = -2;  // a block does not carry its own index
    static constexpr int ErrorLength = -3;      // the message length does not fit the block count
    static constexpr int ErrorTime = -4;        // blocks carry different time values
    static constexpr int ErrorArithmetic = -10; // the arithmetic refused (even or short modulus ...)

    // Number of k-byte blocks for a message of `length` bytes (at least 1).
    static int64_t BlockCount(int64_t length, int k);

    // Encodes and exponentiates; returns the output length (blocks x k) or a negative code.
    static int Apply(const LongInt2& n, const LongInt2& exponent, const void* message, int length,
                     uint32_t time, CZelString& out, CCryptRandom& random = CCryptRandom::Instance());

    // Exponentiates and decodes any input; returns the message length or a negative code.
    static int Invert(const LongInt2& n, const LongInt2& exponent, const void* input, int length,
                      CZelString& message, uint32_t& time);
};
