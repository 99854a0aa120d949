// The random source, primes, key pair generation and the RSA block transform. Key pairs come
// from the own generator with a fixed seed, made once for the whole program.

#include "crypto/CCryptRandom.h"
#include "crypto/CGostCipher.h"
#include "crypto/CMyExponent5.h"
#include "crypto/GenPrime.h"
#include "crypto/RsaBlockTransform.h"
#include "crypto/RsaKeyPair.h"
#include "foundation/XTOOError.h"
#include "foundation/testing/MutationFuzzer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kOwnGenerator =
    CCryptRandom::OptionSeedFromRand | CCryptRandom::OptionOwnGenerator | CCryptRandom::OptionLocked;

std::unique_ptr<CCryptRandom> SeededRandom(uint8_t fill)
{
    auto random = std::make_unique<CCryptRandom>(kOwnGenerator, CCryptRandom::Provider::None);
    uint8_t seed[CCryptRandom::SeedSize];
    for (size_t i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<uint8_t>(fill + 7 * i);
    EXPECT_TRUE(random->Seed(seed));
    return random;
}

std::string Thrown(const std::function<void()>& f)
{
    try {
        f();
    } catch (const XTOOBareText& error) {
        return error.Text();
    }
    return "";
}

LongInt2 FromHex(const std::string& hex, int size)
{
    std::vector<uint8_t> bytes;
    for (int i = static_cast<int>(hex.size()); i > 0; i -= 2) {
        const int from = i < 2 ? 0 : i - 2;
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(from, i - from), nullptr, 16)));
    }
    LongInt2 v(size);
    v.SetBytes(bytes.data(), static_cast<int>(bytes.size()));
    return v;
}

struct KeyPair {
    LongInt2 n, d, e;
    explicit KeyPair(int s) : n(s), d(s), e(s) {}
};

// Counts what a key generation run reports.
class CountingProgress : public CRsaKeyGenProgress {
public:
    void OnPrimeStart(int prime) override { starts.push_back(prime); }
    bool OnPrimeRound(int prime, int candidate, int round, int total) override
    {
        ++rounds;
        lastTotal = total;
        lastCandidate[prime] = candidate;
        return true;
    }
    void OnExponentTry(int pass, int attempt) override
    {
        ++tries;
        firstPass = firstPass ? firstPass : pass;
    }
    std::vector<int> starts;
    int rounds = 0, lastTotal = 0, tries = 0, firstPass = 0;
    int lastCandidate[2] = {0, 0};
};

class Rsa : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_random = SeededRandom(1).release();
        s_key1024 = new KeyPair(128);
        s_progress = new CountingProgress;
        s_result1024 = RsaKeyPair::Generate(128, s_key1024->n, s_key1024->d, s_key1024->e, s_progress, *s_random);
        s_key256 = new KeyPair(32);
        RsaKeyPair::Generate(32, s_key256->n, s_key256->d, s_key256->e, nullptr, *s_random);
    }
    static void TearDownTestSuite()
    {
        delete s_key1024;
        delete s_key256;
        delete s_progress;
        delete s_random;
    }
    static CCryptRandom* s_random;
    static KeyPair* s_key1024;
    static KeyPair* s_key256;
    static CountingProgress* s_progress;
    static int s_result1024;
};
CCryptRandom* Rsa::s_random = nullptr;
KeyPair* Rsa::s_key1024 = nullptr;
KeyPair* Rsa::s_key256 = nullptr;
CountingProgress* Rsa::s_progress = nullptr;
int Rsa::s_result1024 = 0;

std::string Bytes(const CZelString& s) { return s.ToStd(); }

std::string Message(int length)
{
    std::string m(static_cast<size_t>(length), '\0');
    for (int i = 0; i < length; ++i)
        m[static_cast<size_t>(i)] = static_cast<char>(i * 31 + 7);
    return m;
}

TEST_F(Rsa, KeyGenerationMakesA1024BitModulus)
{
    ASSERT_EQ(s_result1024, 1);
    EXPECT_EQ(s_key1024->n.GetRealSize(), 128);
    EXPECT_GE(s_key1024->n.GetBitLength(), 1023);
    EXPECT_TRUE(s_key1024->n.IsOdd());
    // e is random and long, not a small constant.
    EXPECT_GE(s_key1024->e.GetRealSize(), 100);
    EXPECT_EQ(s_progress->starts, (std::vector<int>{0, 1}));
    EXPECT_EQ(s_progress->lastTotal, 516);
    EXPECT_GE(s_progress->rounds, 2 * 517);
    EXPECT_EQ(s_progress->firstPass, 1);
    EXPECT_GE(s_progress->tries, 1);
}

TEST_F(Rsa, RoundTripsEveryLengthBothWays)
{
    const KeyPair& k = *s_key1024;
    for (int length = 0; length <= 300; ++length) {
        SCOPED_TRACE(length);
        const std::string m = Message(length);
        const uint32_t when = 1765000000u + static_cast<uint32_t>(length);
        for (int direction = 0; direction < 2; ++direction) {
            const LongInt2& first = direction == 0 ? k.d : k.e;
            const LongInt2& second = direction == 0 ? k.e : k.d;
            CZelString sealed;
            const int produced = RsaBlockTransform::Apply(k.n, first, m.data(), length, when, sealed, *s_random);
            ASSERT_EQ(produced, RsaBlockTransform::BlockCount(length, 128) * 128);
            ASSERT_EQ(sealed.Length(), produced);
            CZelString opened;
            uint32_t time = 0;
            ASSERT_EQ(RsaBlockTransform::Invert(k.n, second, sealed.Ptr(), sealed.Length(), opened, time), length);
            EXPECT_EQ(Bytes(opened), m);
            EXPECT_EQ(time, when);
        }
    }
}

TEST(RsaBlocks, BlockCountsAtTheEdges)
{
    struct Row { int length, blocks; };
    for (const Row& r : {Row{0, 1}, Row{5, 1}, Row{116, 1}, Row{117, 2}, Row{236, 2}, Row{237, 3}, Row{356, 3}})
        EXPECT_EQ(RsaBlockTransform::BlockCount(r.length, 128), r.blocks) << r.length;
}

TEST_F(Rsa, OutputLengthsForShortAndEdgeMessages)
{
    const KeyPair& k = *s_key1024;
    for (int length : {5, 116, 117}) {
        CZelString out;
        const std::string m = Message(length);
        EXPECT_EQ(RsaBlockTransform::Apply(k.n, k.e, m.data(), length, 1, out, *s_random),
                  length <= 116 ? 128 : 256);
    }
}

TEST_F(Rsa, InverseRejectsMalformedInput)
{
    const KeyPair& k = *s_key1024;
    const std::string m = Message(200);
    CZelString a, b;
    ASSERT_EQ(RsaBlockTransform::Apply(k.n, k.d, m.data(), 200, 1000, a, *s_random), 256);
    ASSERT_EQ(RsaBlockTransform::Apply(k.n, k.d, m.data(), 200, 2000, b, *s_random), 256);
    CZelString message;
    uint32_t time = 0;
    auto invert = [&](const std::string& input) {
        return RsaBlockTransform::Invert(k.n, k.e, input.data(), static_cast<int>(input.size()), message, time);
    };
    const std::string blockA0 = a.ToStd().substr(0, 128), blockA1 = a.ToStd().substr(128);
    const std::string blockB1 = b.ToStd().substr(128);
    EXPECT_EQ(invert(blockA0 + blockA1), 200);
    EXPECT_EQ(invert(blockA0 + blockB1), RsaBlockTransform::ErrorTime);          // times differ
    EXPECT_EQ(invert(blockA1 + blockA0), RsaBlockTransform::ErrorBlockIndex);    // out of order
    EXPECT_EQ(invert(blockA0), RsaBlockTransform::ErrorLength);                  // 200 bytes need 2 blocks
    EXPECT_EQ(invert(blockA0 + blockA1 + blockA1), RsaBlockTransform::ErrorLength);        // 3 blocks for 200 bytes
    EXPECT_EQ(invert(std::string(200, 'x')), RsaBlockTransform::ErrorFormat);    // not whole blocks
    EXPECT_EQ(invert(""), RsaBlockTransform::ErrorFormat);
    EXPECT_EQ(RsaBlockTransform::Invert(k.n, k.e, nullptr, 128, message, time), RsaBlockTransform::ErrorFormat);
}

TEST_F(Rsa, LengthFieldBeyondTheBlocksIsRefused)
{
    // A 3-block message whose length field claims a 2-block message, and the reverse.
    const KeyPair& k = *s_key256;                       // k = 32: 20 bytes in block 0, 24 later
    const std::string m = Message(60);
    CZelString three;
    ASSERT_EQ(RsaBlockTransform::Apply(k.n, k.d, m.data(), 60, 7, three, *s_random), 96);
    CZelString message;
    uint32_t time = 0;
    EXPECT_EQ(RsaBlockTransform::Invert(k.n, k.e, three.Ptr(), 64, message, time), RsaBlockTransform::ErrorLength);
    EXPECT_EQ(RsaBlockTransform::Invert(k.n, k.e, three.Ptr(), 96, message, time), 60);
    EXPECT_EQ(Bytes(message), m);
}

TEST(RsaBlocks, ShortOrEvenModulusGivesItsCode)
{
    LongInt2 small = FromHex("f" + std::string(29, '1'), 15);   // 15 significant bytes
    LongInt2 even = FromHex("f" + std::string(30, '1') + "0", 16);
    LongInt2 e = FromHex("10001", 4);
    CZelString out, message;
    uint32_t time = 0;
    EXPECT_EQ(RsaBlockTransform::Apply(small, e, "x", 1, 0, out), RsaBlockTransform::ErrorFormat);
    EXPECT_EQ(RsaBlockTransform::Invert(small, e, "0123456789abcde", 15, message, time), RsaBlockTransform::ErrorFormat);
    EXPECT_EQ(RsaBlockTransform::Apply(even, e, "x", 1, 0, out), RsaBlockTransform::ErrorArithmetic);
    EXPECT_EQ(RsaBlockTransform::Apply(even, e, nullptr, 3, 0, out), RsaBlockTransform::ErrorFormat);
    EXPECT_EQ(RsaBlockTransform::Apply(even, e, "x", -1, 0, out), RsaBlockTransform::ErrorFormat);
}

TEST_F(Rsa, InverseTransformSurvivesAnyInput)
{
    const char* env = std::getenv("VELMO_FUZZ_ITERATIONS");
    const uint64_t iterations = env ? std::strtoull(env, nullptr, 10) : 3000;
    for (const KeyPair* k : {s_key256, s_key1024}) {
        const int size = k->n.GetRealSize();
        std::vector<std::string> seeds;
        for (int length : {0, 1, size - 12, size - 11, 3 * size}) {
            CZelString sealed;
            const std::string m = Message(length);
            RsaBlockTransform::Apply(k->n, k->d, m.data(), length, 42, sealed, *s_random);
            seeds.push_back(sealed.ToStd());
        }
        seeds.push_back(std::string(static_cast<size_t>(size), '\xFF'));   // above the modulus
        const uint64_t rounds = k == s_key256 ? iterations : iterations / 10;
        velmo_testing::RunMutationFuzzer(seeds, rounds, [&](const std::string& input) {
            CZelString message;
            uint32_t time = 0;
            const int r = RsaBlockTransform::Invert(k->n, k->e, input.data(), static_cast<int>(input.size()), message, time);
            ASSERT_GE(r, RsaBlockTransform::ErrorTime) << "input of " << input.size() << " bytes";
            if (r >= 0) {
                ASSERT_EQ(message.Length(), r);
                ASSERT_LE(r, static_cast<int>(input.size()));
            }
        });
    }
}

TEST_F(Rsa, KeyGenerationIsReproducibleFromTheSeed)
{
    auto random = SeededRandom(9);
    auto again = SeededRandom(9);
    KeyPair a(32), b(32);
    ASSERT_EQ(RsaKeyPair::Generate(32, a.n, a.d, a.e, nullptr, *random), 1);
    ASSERT_EQ(RsaKeyPair::Generate(32, b.n, b.d, b.e, nullptr, *again), 1);
    EXPECT_TRUE(a.n == b.n && a.d == b.d && a.e == b.e);
    EXPECT_FALSE(a.n == s_key256->n);
}

TEST(Primes, GenPrimeMakesAnOddNumberOfExactlyRBytes)
{
    auto random = SeededRandom(3);
    for (int r : {16, 64}) {
        LongInt2 p(r + 4);
        ASSERT_EQ(GenPrime(p, r, nullptr, nullptr, *random), 1);
        EXPECT_EQ(p.GetRealSize(), r);
        EXPECT_EQ(p.GetBitLength(), 8 * r);
        EXPECT_TRUE(p.IsOdd());
    }
    LongInt2 p(8);
    EXPECT_EQ(Thrown([&] { GenPrime(p, 9, nullptr, nullptr, *random); }), "GenPrime(): R > p.GetSize()");
}

TEST(Primes, SmallPrimesAreFoundAmongTheirOwnDivisors)
{
    // One- and two-byte primes lie below the trial-division bound: they must not rule
    // themselves out.
    auto random = SeededRandom(11);
    std::set<unsigned> found;
    for (int r : {1, 2}) {
        for (int i = 0; i < 20; ++i) {
            LongInt2 p(r);
            ASSERT_EQ(GenPrime(p, r, nullptr, nullptr, *random), 1);
            const unsigned v = p.GetData()[0] | (r == 2 ? p.GetData()[1] << 8 : 0);
            EXPECT_GE(v, r == 1 ? 129u : 32769u);
            for (unsigned f = 2; f * f <= v; ++f)
                ASSERT_NE(v % f, 0u) << v << " divisible by " << f;
            found.insert(v);
        }
    }
    EXPECT_GT(found.size(), 10u);
}

TEST(Primes, DeadRandomSourceIsAnErrorNotAHang)
{
    CCryptRandom dead(CCryptRandom::OptionLocked, CCryptRandom::Provider::None);
    LongInt2 p(16);
    EXPECT_EQ(Thrown([&] { GenPrime(p, 0, nullptr, nullptr, dead); }), "GenPrime(): no random data");
    LongInt2 prime = FromHex("7fffffffffffffffffffffffffffffff", 16);
    EXPECT_EQ(Thrown([&] { IsProbablePrime(prime, 1, nullptr, nullptr, dead); }), "GenPrime(): no random data");
    KeyPair k(32);
    EXPECT_EQ(Thrown([&] { RsaKeyPair::Generate(32, k.n, k.d, k.e, nullptr, dead); }), "GenPrime(): no random data");
    EXPECT_FALSE(GenRnd(p, 4, dead));
    EXPECT_TRUE(p.IsZero());
}

TEST(Primes, TestKnowsPrimesFromComposites)
{
    auto random = SeededRandom(4);
    struct Row { const char* hex; int expected; };
    const Row rows[] = {
        {"3", 1}, {"5", 1}, {"65", 1}, {"10001", 1},
        {"7fffffffffffffffffffffffffffffff", 1},                          // 2^127 - 1
        {"7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed", 1}, // 2^255 - 19
        {"0", 0}, {"1", 0}, {"4", 0}, {"9", 0},
        {"231", 0}, {"a051", 0}, {"c97b1", 0},                             // Carmichael 561, 41041, 825265
        {"bfa17dc7", 0},                                                   // strong pseudoprime 3215031751
        {"7ffffffffffffffffffffffffffffffd", 0},                           // 2^127 - 3, divisible by 5
    };
    for (const Row& r : rows) {
        LongInt2 p = FromHex(r.hex, 32);
        EXPECT_EQ(IsProbablePrime(p, 1, nullptr, nullptr, *random), r.expected) << r.hex;
    }
}

TEST(Primes, ProgressSeesEveryRoundAndCanCancel)
{
    auto random = SeededRandom(5);
    struct Seen { std::vector<int> rounds; int total = 0; int cancelAt = -1; };
    auto callback = [](int candidate, int round, int total, void* context) {
        auto* seen = static_cast<Seen*>(context);
        seen->rounds.push_back(round);
        seen->total = total;
        return round != seen->cancelAt;
    };
    LongInt2 prime = FromHex("7fffffffffffffffffffffffffffffff", 16);
    Seen all;
    EXPECT_EQ(IsProbablePrime(prime, 7, callback, &all, *random), 1);
    ASSERT_EQ(all.rounds.size(), 8u * 16 + 5);
    EXPECT_EQ(all.rounds.back(), 8 * 16 + 4);
    EXPECT_EQ(all.total, (8 * 16) | 4);
    Seen cancelled;
    cancelled.cancelAt = 3;
    EXPECT_EQ(IsProbablePrime(prime, 7, callback, &cancelled, *random), -1);
    EXPECT_EQ(cancelled.rounds.size(), 4u);
    LongInt2 p(16);
    Seen fromGenPrime;
    fromGenPrime.cancelAt = 0;
    EXPECT_EQ(GenPrime(p, 0, callback, &fromGenPrime, *random), -1);
}

TEST(Primes, GenRndFillsOnlyTheLowBytes)
{
    auto random = SeededRandom(6);
    LongInt2 x(32);
    x.SetBytes(std::string(32, '\xEE').data(), 32);
    EXPECT_TRUE(GenRnd(x, 10, *random));
    EXPECT_LE(x.GetRealSize(), 10);
    EXPECT_TRUE(GenRnd(x, 0, *random));
    EXPECT_GT(x.GetRealSize(), 20);
    EXPECT_EQ(Thrown([&] { GenRnd(x, 33, *random); }), "GenRnd(): R > p.GetSize()");
}

TEST(CryptRandom, OwnGeneratorIsCounterModeGost)
{
    uint8_t seed[CCryptRandom::SeedSize] = {};
    for (size_t i = 0; i < 64; ++i)
        seed[i] = static_cast<uint8_t>(i + 1);
    seed[64] = 0xFF; // counter 0x...00FF
    CCryptRandom random(kOwnGenerator, CCryptRandom::Provider::None);
    ASSERT_TRUE(random.Seed(seed));
    uint8_t first[20], second[20];
    ASSERT_TRUE(random.Fill(first, sizeof first));
    ASSERT_TRUE(random.Fill(second, sizeof second));

    // Independently: output = CFB(key 1, zeros, IV = counter + 1), then the counter becomes
    // CFB(key 2, counter, same IV).
    CGostCipher cipher;
    uint8_t iv[8] = {0x00, 0x01, 0, 0, 0, 0, 0, 0};
    uint8_t expected[20] = {};
    cipher.CfbEncrypt(seed, expected, sizeof expected, iv, expected);
    EXPECT_EQ(0, std::memcmp(first, expected, sizeof first));
    uint8_t counter[8];
    std::memcpy(counter, iv, 8);
    cipher.CfbEncrypt(seed + 32, counter, 8, iv, counter);
    for (int i = 0; i < 8 && ++counter[i] == 0; ++i) {
    }
    std::memset(expected, 0, sizeof expected);
    cipher.CfbEncrypt(seed, expected, sizeof expected, counter, expected);
    EXPECT_EQ(0, std::memcmp(second, expected, sizeof second));
}

TEST(CryptRandom, SeedingRulesAndFailures)
{
    uint8_t zeroKey[CCryptRandom::SeedSize] = {};
    for (size_t i = 0; i < 32; ++i)
        zeroKey[i] = 1; // key 2 stays zero
    CCryptRandom seeded(kOwnGenerator, CCryptRandom::Provider::None);
    EXPECT_FALSE(seeded.Seed(zeroKey));

    // No kernel source and no rand fallback: fails at once, and leaves no stale bytes.
    CCryptRandom none(CCryptRandom::OptionLocked, CCryptRandom::Provider::None);
    uint8_t buffer[16];
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_FALSE(none.Fill(buffer, sizeof buffer));
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0);

    // No kernel source but the rand fallback: the own generator runs.
    CCryptRandom fallback(CCryptRandom::OptionSeedFromRand | CCryptRandom::OptionLocked, CCryptRandom::Provider::None);
    uint8_t a[32] = {}, b[32] = {};
    EXPECT_TRUE(fallback.Fill(a, sizeof a));
    EXPECT_TRUE(fallback.Fill(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

TEST(CryptRandom, KernelSourceAndSharedInstance)
{
    CCryptRandom& shared = CCryptRandom::Instance();
    EXPECT_EQ(shared.Options(), CCryptRandom::DefaultOptions);
    EXPECT_TRUE(shared.HasProvider());
    std::set<std::string> seen;
    for (int i = 0; i < 16; ++i) {
        std::string s(16, '\0');
        ASSERT_TRUE(CryptRandomFill(s.data(), s.size()));
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 16u);
    EXPECT_TRUE(shared.Fill(nullptr, 0));
}

TEST(CryptRandom, OwnGeneratorIsSafeAcrossThreads)
{
    auto random = SeededRandom(8);
    std::vector<std::string> outputs(4 * 200);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string s(16, '\0');
                random->Fill(s.data(), s.size());
                outputs[static_cast<size_t>(t * 200 + i)] = s;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(std::set<std::string>(outputs.begin(), outputs.end()).size(), outputs.size());
}

} // namespace
