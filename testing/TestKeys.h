#pragma once
// RSA key pairs for tests. Generating one takes long enough to matter when every test case
// runs in a process of its own, so each pair is made from a fixed seed (the same pair in
// every run), kept in the build folder by the first process that needs it, and read back by
// the others.

#include "foundation/CZelString.h"

namespace velmo_testing {

// The modulus, private and public exponent, each `bytes` long, as LongInt2 holds them.
struct TestKeyPair {
    CZelString n, d, e;
};

// Pair number `index` with a modulus of `bytes` bytes; the same reference for the whole
// process. Small moduli keep the tests quick: the block format is the same at every size.
const TestKeyPair& TestKeys(int index, int bytes = 64);

} // namespace velmo_testing
