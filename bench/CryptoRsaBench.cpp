// Modular powers against GMP's mpz_powm on the same modulus, base and exponent, and 1024-bit
// RSA key pair generation against OpenSSL's in-process key generation.

#include "bench/BenchMain.h"
#include "crypto/CMyExponent5.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaKeyPair.h"

#include <benchmark/benchmark.h>
#include <gmp.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <random>
#include <vector>

namespace {

// Fixed operands: an odd modulus with its top bit set, a base below it, a full-length exponent.
struct Operands {
    std::vector<uint8_t> modulus, base, exponent;          // least significant byte first
};

Operands MakeOperands(int bytes)
{
    std::mt19937_64 rng(static_cast<uint64_t>(bytes) * 7919);
    Operands o;
    for (auto* v : {&o.modulus, &o.base, &o.exponent}) {
        v->resize(static_cast<size_t>(bytes));
        for (auto& b : *v)
            b = static_cast<uint8_t>(rng());
    }
    o.modulus[0] |= 1;
    o.modulus.back() |= 0x80;
    o.base.back() &= 0x7F;
    o.exponent.back() |= 0x80;
    return o;
}

void ToMpz(mpz_t out, const std::vector<uint8_t>& bytes)
{
    mpz_import(out, bytes.size(), -1, 1, 0, 0, bytes.data());
}

void ModexpOurs(benchmark::State& state, int bytes)
{
    const Operands o = MakeOperands(bytes);
    LongInt2 modulus(o.modulus.data(), bytes), base(o.base.data(), bytes), exponent(o.exponent.data(), bytes);
    LongInt2 result(bytes);
    CMyExponent5 power;
    power.Init(modulus);
    for (auto _ : state) {
        power.Power(result, base, exponent);
        benchmark::DoNotOptimize(result.GetData());
    }
}

void ModexpTheirs(benchmark::State& state, int bytes)
{
    const Operands o = MakeOperands(bytes);
    mpz_t modulus, base, exponent, result;
    mpz_inits(modulus, base, exponent, result, nullptr);
    ToMpz(modulus, o.modulus);
    ToMpz(base, o.base);
    ToMpz(exponent, o.exponent);
    // Same answer as ours before timing anything.
    {
        LongInt2 m(o.modulus.data(), bytes), b(o.base.data(), bytes), e(o.exponent.data(), bytes), r(bytes);
        CMyExponent5 power;
        power.Init(m);
        power.Power(r, b, e);
        mpz_powm(result, base, exponent, modulus);
        std::vector<uint8_t> theirs(static_cast<size_t>(bytes), 0);
        size_t count = 0;
        mpz_export(theirs.data(), &count, -1, 1, 0, 0, result);
        if (std::vector<uint8_t>(r.GetData(), r.GetData() + bytes) != theirs)
            state.SkipWithError("results differ");
    }
    for (auto _ : state) {
        mpz_powm(result, base, exponent, modulus);
        benchmark::DoNotOptimize(result);
    }
    mpz_clears(modulus, base, exponent, result, nullptr);
}

void BM_Modexp1024Ours(benchmark::State& state) { ModexpOurs(state, 128); }
void BM_Modexp1024Theirs(benchmark::State& state) { ModexpTheirs(state, 128); }
void BM_Modexp512Ours(benchmark::State& state) { ModexpOurs(state, 64); }
void BM_Modexp512Theirs(benchmark::State& state) { ModexpTheirs(state, 64); }

// Key generation times scatter widely (the primes' distance varies): each iteration makes
// several key pairs, on both sides alike.
constexpr int kKeysPerIteration = 8;

void BM_KeygenOurs(benchmark::State& state)
{
    for (auto _ : state) {
        for (int i = 0; i < kKeysPerIteration; ++i) {
            LongInt2 n(128), d(128), e(128);
            if (RsaKeyPair::Generate(128, n, d, e) != 1)
                state.SkipWithError("key generation failed");
            benchmark::DoNotOptimize(n.GetData());
        }
    }
}

void BM_KeygenTheirs(benchmark::State& state)
{
    for (auto _ : state) {
        for (int i = 0; i < kKeysPerIteration; ++i) {
            EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
            EVP_PKEY* key = nullptr;
            if (!ctx || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024) <= 0 ||
                EVP_PKEY_keygen(ctx, &key) <= 0)
                state.SkipWithError("OpenSSL key generation failed");
            EVP_PKEY_free(key);
            EVP_PKEY_CTX_free(ctx);
        }
    }
}

} // namespace

BENCHMARK(BM_Modexp1024Ours)->Name("modexp1024/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Modexp1024Theirs)->Name("modexp1024/theirs")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Modexp512Ours)->Name("modexp512/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Modexp512Theirs)->Name("modexp512/theirs")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeygenOurs)->Name("rsa1024_keygen/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeygenTheirs)->Name("rsa1024_keygen/theirs")->Unit(benchmark::kMillisecond);
