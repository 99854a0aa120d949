// The GOST 28147-89 context: published vectors with injected S-boxes, known answers for the
// system S-box (derived by the independent model data/gost_reference.py), and the properties
// the mail and request formats rely on.

#include "crypto/CGostCipher.h"
#include "crypto/tests/GostVectorFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

using gost_test::DataPath;
using gost_test::ReadVectorFile;
using gost_test::VectorEntry;
using Bytes = std::vector<uint8_t>;

namespace {

CGostCipher::SBox ParseSBox(const std::string& text)
{
    std::istringstream in(text);
    CGostCipher::SBox sbox{};
    for (auto& row : sbox) {
        std::string group;
        in >> group;
        if (group.size() != 16)
            throw std::runtime_error("S-box row must have 16 hex digits: " + group);
        for (size_t i = 0; i < 16; ++i)
            row[i] = static_cast<uint8_t>(std::stoul(group.substr(i, 1), nullptr, 16));
    }
    return sbox;
}

// GOST R 34.12-2015 prints its key words and blocks as big-endian numbers.
Bytes KeyFromBigEndian(Bytes key)
{
    for (size_t i = 0; i < key.size(); i += 4)
        std::reverse(key.begin() + i, key.begin() + i + 4);
    return key;
}

Bytes RandomBytes(std::mt19937& rng, size_t n)
{
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

const std::vector<gost_test::VectorSection>& SystemKat()
{
    static const auto sections = ReadVectorFile(DataPath("gost_system_kat.vec"));
    return sections;
}

const std::vector<VectorEntry>& KatSection(const std::string& name)
{
    for (const auto& s : SystemKat())
        if (s.name == name)
            return s.entries;
    throw std::runtime_error("no section " + name);
}

Bytes Cfb(const Bytes& key, const Bytes& data, const Bytes& iv, bool decrypt = false)
{
    Bytes out(data.size());
    const auto& c = CGostCipher::Shared();
    if (decrypt)
        c.CfbDecrypt(key.data(), data.data(), data.size(), iv.data(), out.data());
    else
        c.CfbEncrypt(key.data(), data.data(), data.size(), iv.data(), out.data());
    return out;
}

Bytes Hash(const Bytes& key, const Bytes& data, const Bytes& iv, size_t m)
{
    Bytes out(m);
    CGostCipher::Shared().KeyedHash(key.data(), data.data(), data.size(), iv.data(), out.data(), m);
    return out;
}

const Bytes kKey = [] {
    Bytes k(32);
    for (int i = 0; i < 32; ++i)
        k[i] = static_cast<uint8_t>(i * 53 + 17);
    return k;
}();
const Bytes kIv = {9, 8, 7, 6, 5, 4, 3, 2};

} // namespace

// ---- Published vectors with other S-box sets ----

TEST(GostCipherVectors, PublishedVectorsWithInjectedSBox)
{
    const auto sections = ReadVectorFile(DataPath("gost_vectors.vec"));
    ASSERT_EQ(sections.size(), 2u);
    for (const auto& section : sections) {
        SCOPED_TRACE(section.name);
        ASSERT_GE(section.entries.size(), 2u);
        const VectorEntry& head = section.entries.front();
        const CGostCipher cipher(ParseSBox(head.Text("SBox")));
        const bool bigEndian = head.Text("ByteOrder") == "big-endian";
        for (size_t i = 1; i < section.entries.size(); ++i) {
            const VectorEntry& e = section.entries[i];
            Bytes key = e.Bytes("Key"), block = e.Bytes("In"), expected = e.Bytes("Out");
            ASSERT_EQ(key.size(), 32u);
            ASSERT_EQ(block.size(), 8u);
            if (bigEndian) {
                key = KeyFromBigEndian(key);
                std::reverse(block.begin(), block.end());
                std::reverse(expected.begin(), expected.end());
            }
            cipher.EncryptBlock(key.data(), block.data());
            EXPECT_EQ(block, expected) << "entry " << i;
        }
    }
}

TEST(GostCipherVectors, SBoxEntriesAboveFifteenAreRejected)
{
    CGostCipher::SBox sbox = CGostCipher::SystemSBox();
    sbox[3][7] = 16;
    EXPECT_THROW(CGostCipher{sbox}, std::invalid_argument);
}

TEST(GostCipherVectors, SystemSBoxRowsArePermutations)
{
    for (const auto& row : CGostCipher::SystemSBox()) {
        std::array<uint8_t, 16> sorted = row;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(sorted[i], i);
    }
}

// ---- Known answers for the system S-box ----

TEST(GostCipherKnownAnswers, BlockAndMacTransform)
{
    const auto& entries = KatSection("Block");
    ASSERT_FALSE(entries.empty());
    const CGostCipher own;  // a second context must agree with the shared one
    for (const auto& e : entries) {
        const Bytes key = e.Bytes("Key");
        Bytes block = e.Bytes("In"), mac = e.Bytes("In"), again = e.Bytes("In");
        CGostCipher::Shared().EncryptBlock(key.data(), block.data());
        CGostCipher::Shared().MacTransform(key.data(), mac.data());
        own.EncryptBlock(key.data(), again.data());
        EXPECT_EQ(block, e.Bytes("Out"));
        EXPECT_EQ(mac, e.Bytes("MacOut"));
        EXPECT_EQ(again, block);
    }
}

TEST(GostCipherKnownAnswers, CfbBothWaysInAndOutOfPlace)
{
    const auto& entries = KatSection("Cfb");
    ASSERT_GE(entries.size(), 10u);
    for (const auto& e : entries) {
        const Bytes key = e.Bytes("Key"), iv = e.Bytes("IV"), plain = e.Bytes("In");
        const Bytes cipher = e.Bytes("Out");
        SCOPED_TRACE(plain.size());
        EXPECT_EQ(Cfb(key, plain, iv), cipher);
        EXPECT_EQ(Cfb(key, cipher, iv, true), plain);

        Bytes inPlace = plain;
        CGostCipher::Shared().CfbEncrypt(key.data(), inPlace.data(), inPlace.size(), iv.data(),
                                         inPlace.data());
        EXPECT_EQ(inPlace, cipher);
        CGostCipher::Shared().CfbDecrypt(key.data(), inPlace.data(), inPlace.size(), iv.data(),
                                         inPlace.data());
        EXPECT_EQ(inPlace, plain);
    }
}

TEST(GostCipherKnownAnswers, Mac)
{
    const auto& entries = KatSection("Mac");
    ASSERT_GE(entries.size(), 6u);
    for (const auto& e : entries) {
        const Bytes key = e.Bytes("Key"), data = e.Bytes("In");
        const Bytes iv = e.Has("IV") ? e.Bytes("IV") : Bytes();
        const Bytes padding = e.Has("Padding") ? e.Bytes("Padding") : Bytes();
        uint8_t result[8];
        CGostCipher::Shared().Mac(key.data(), data.data(), data.size(), result,
                                  iv.empty() ? nullptr : iv.data(),
                                  padding.empty() ? nullptr : padding.data());
        EXPECT_EQ(Bytes(result, result + 8), e.Bytes("Out")) << "length " << data.size();
    }
}

TEST(GostCipherKnownAnswers, KeyedHash)
{
    const auto& entries = KatSection("KeyedHash");
    ASSERT_GE(entries.size(), 10u);
    for (const auto& e : entries) {
        const size_t m = std::stoul(e.Text("OutLength"));
        const Bytes data = e.Bytes("In");
        SCOPED_TRACE(testing::Message() << "n=" << data.size() << " m=" << m);
        const Bytes out = Hash(e.Bytes("Key"), data, e.Bytes("IV"), m);
        if (e.Has("Out")) {
            EXPECT_EQ(out, e.Bytes("Out"));
        } else {
            EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), e.Bytes("OutHead"));
            EXPECT_EQ(Bytes(out.end() - 16, out.end()), e.Bytes("OutTail"));
        }
    }
}

// ---- Cipher feedback ----

TEST(GostCfb, RoundTripsEveryLengthUpTo100)
{
    std::mt19937 rng(7);
    for (size_t n = 0; n <= 100; ++n) {
        const Bytes plain = RandomBytes(rng, n);
        const Bytes cipher = Cfb(kKey, plain, kIv);
        ASSERT_EQ(cipher.size(), n);
        if (n >= 8) {
            EXPECT_NE(cipher, plain) << n;
        }
        EXPECT_EQ(Cfb(kKey, cipher, kIv, true), plain) << n;
    }
}

TEST(GostCfb, ThirteenBytesMatchTheHeadOfSixteen)
{
    const Bytes sixteen = {'T', 'h', 'i', 'r', 't', 'e', 'e', 'n', ' ', 'b', 'y', 't', 'e', 's', '!', '?'};
    const Bytes thirteen(sixteen.begin(), sixteen.begin() + 13);
    const Bytes short13 = Cfb(kKey, thirteen, kIv);
    const Bytes long16 = Cfb(kKey, sixteen, kIv);
    ASSERT_EQ(short13.size(), 13u);
    // The partial block takes the head of the same gamma, so all 13 bytes agree.
    EXPECT_EQ(short13, Bytes(long16.begin(), long16.begin() + 13));
    EXPECT_EQ(Cfb(kKey, short13, kIv, true), thirteen);
}

TEST(GostCfb, ChunkedEncryptionEqualsOneShot)
{
    std::mt19937 rng(11);
    const Bytes plain = RandomBytes(rng, 203);
    const Bytes whole = Cfb(kKey, plain, kIv);
    for (size_t chunk : {8u, 16u, 64u, 200u}) {
        Bytes pieces(plain.size());
        Bytes iv = kIv;
        for (size_t pos = 0; pos < plain.size(); pos += chunk) {
            const size_t n = std::min(chunk, plain.size() - pos);
            CGostCipher::Shared().CfbEncrypt(kKey.data(), plain.data() + pos, n, iv.data(),
                                             pieces.data() + pos);
            if (n == chunk)  // the next chunk continues from the last cipher block
                iv.assign(pieces.begin() + pos + n - 8, pieces.begin() + pos + n);
        }
        EXPECT_EQ(pieces, whole) << "chunk " << chunk;
    }
}

TEST(GostCfb, InitialVectorIsLeftUnchanged)
{
    Bytes iv = kIv;
    Bytes data(21, 0x5A);
    CGostCipher::Shared().CfbEncrypt(kKey.data(), data.data(), data.size(), iv.data(), data.data());
    EXPECT_EQ(iv, kIv);
    CGostCipher::Shared().CfbDecrypt(kKey.data(), data.data(), data.size(), iv.data(), data.data());
    EXPECT_EQ(iv, kIv);
    EXPECT_EQ(data, Bytes(21, 0x5A));
}

TEST(GostCfb, DifferentInitialVectorsDifferFromTheFirstByte)
{
    const Bytes plain(40, 0);
    Bytes otherIv = kIv;
    otherIv[7] ^= 1;
    const Bytes a = Cfb(kKey, plain, kIv), b = Cfb(kKey, plain, otherIv);
    EXPECT_NE(a[0], b[0]);
    int differing = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differing += a[i] != b[i];
    EXPECT_GT(differing, 30);
}

TEST(GostCfb, NullKeyMeansTheDefaultKey)
{
    const auto& c = CGostCipher::Shared();
    Bytes viaNull = {1, 2, 3, 4, 5, 6, 7, 8}, viaDefault = viaNull;
    c.EncryptBlock(nullptr, viaNull.data());
    c.EncryptBlock(c.DefaultKey(), viaDefault.data());
    EXPECT_EQ(viaNull, viaDefault);
    EXPECT_NE(viaNull, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

// ---- MAC ----

TEST(GostMac, EightBytesAreOneTransformOfInitialXorData)
{
    const Bytes data = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    uint8_t mac[8];
    CGostCipher::Shared().Mac(kKey.data(), data.data(), 8, mac, kIv.data());
    Bytes expected(8);
    for (int i = 0; i < 8; ++i)
        expected[i] = kIv[i] ^ data[i];
    CGostCipher::Shared().MacTransform(kKey.data(), expected.data());
    EXPECT_EQ(Bytes(mac, mac + 8), expected);

    // No initial value is an initial value of zeros.
    const Bytes zeros(8, 0);
    uint8_t withNull[8], withZeros[8];
    CGostCipher::Shared().Mac(kKey.data(), data.data(), 8, withNull);
    CGostCipher::Shared().Mac(kKey.data(), data.data(), 8, withZeros, zeros.data(), zeros.data());
    EXPECT_EQ(Bytes(withNull, withNull + 8), Bytes(withZeros, withZeros + 8));
}

TEST(GostMac, PartialBlockIsCompletedFromThePaddingTail)
{
    const Bytes padding = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    Bytes completed = data;
    completed.insert(completed.end(), padding.begin() + 5, padding.end());
    uint8_t padded[8], full[8];
    CGostCipher::Shared().Mac(kKey.data(), data.data(), data.size(), padded, kIv.data(), padding.data());
    CGostCipher::Shared().Mac(kKey.data(), completed.data(), completed.size(), full, kIv.data());
    EXPECT_EQ(Bytes(padded, padded + 8), Bytes(full, full + 8));

    // Without padding bytes the block is completed with zeros.
    Bytes zeroCompleted = data;
    zeroCompleted.resize(16, 0);
    CGostCipher::Shared().Mac(kKey.data(), data.data(), data.size(), padded, kIv.data());
    CGostCipher::Shared().Mac(kKey.data(), zeroCompleted.data(), 16, full, kIv.data());
    EXPECT_EQ(Bytes(padded, padded + 8), Bytes(full, full + 8));
}

TEST(GostMac, EmptyDataGivesTheInitialValue)
{
    uint8_t mac[8];
    CGostCipher::Shared().Mac(kKey.data(), nullptr, 0, mac, kIv.data());
    EXPECT_EQ(Bytes(mac, mac + 8), kIv);
}

TEST(GostMac, AnyChangedBitChangesTheMac)
{
    std::mt19937 rng(3);
    const Bytes data = RandomBytes(rng, 37);
    uint8_t base[8];
    CGostCipher::Shared().Mac(kKey.data(), data.data(), data.size(), base, kIv.data());
    for (size_t bit = 0; bit < data.size() * 8; bit += 5) {
        Bytes changed = data;
        changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        uint8_t mac[8];
        CGostCipher::Shared().Mac(kKey.data(), changed.data(), changed.size(), mac, kIv.data());
        EXPECT_NE(Bytes(mac, mac + 8), Bytes(base, base + 8)) << "bit " << bit;
    }
}

// ---- Keyed hash ----

TEST(GostKeyedHash, ShortOutputsAreTheTailOfTheFullCounterPattern)
{
    const Bytes data = {'h', 'e', 'l', 'l', 'o'};
    const Bytes full = Hash(kKey, data, kIv, CGostCipher::KeyedHashPatternSize);
    for (size_t m : {1u, 8u, 13u, 32u, 16383u}) {
        const Bytes out = Hash(kKey, data, kIv, m);
        EXPECT_EQ(out, Bytes(full.end() - m, full.end())) << m;
    }
    // Longer outputs continue the same counter pattern.
    const Bytes longer = Hash(kKey, data, kIv, 20000);
    EXPECT_EQ(Bytes(longer.begin(), longer.begin() + 16384), full);
}

TEST(GostKeyedHash, ZeroOutputLengthWritesNothing)
{
    uint8_t guard[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    CGostCipher::Shared().KeyedHash(kKey.data(), kIv.data(), 8, kIv.data(), guard, 0);
    EXPECT_EQ(guard[0], 0xEE);
}

TEST(GostKeyedHash, OneChangedByteChangesTheWholeOutput)
{
    std::mt19937 rng(5);
    const Bytes data = RandomBytes(rng, 1024);
    const Bytes base = Hash(kKey, data, kIv, 32);
    for (size_t at : {0u, 4u, 511u, 1023u}) {
        Bytes changed = data;
        changed[at] ^= 0x80;
        const Bytes out = Hash(kKey, changed, kIv, 32);
        int differing = 0;
        for (size_t i = 0; i < 32; ++i)
            differing += out[i] != base[i];
        EXPECT_GE(differing, 24) << "byte " << at;
    }
}

TEST(GostKeyedHash, LengthKeyAndInitialValueAllCount)
{
    const Bytes abc = {'a', 'b', 'c'}, abc0 = {'a', 'b', 'c', 0};
    const Bytes base = Hash(kKey, abc, kIv, 32);
    EXPECT_NE(Hash(kKey, abc0, kIv, 32), base);  // same zero-padded block, other length
    Bytes otherKey = kKey;
    otherKey[31] ^= 1;
    EXPECT_NE(Hash(otherKey, abc, kIv, 32), base);
    Bytes otherIv = kIv;
    otherIv[0] ^= 1;
    EXPECT_NE(Hash(kKey, abc, otherIv, 32), base);
}

// ---- Sharing ----

TEST(GostShared, OneContextServesManyThreadsAtOnce)
{
    std::mt19937 rng(13);
    const Bytes plain = RandomBytes(rng, 4096);
    const Bytes expected = Cfb(kKey, plain, kIv);
    const Bytes expectedHash = Hash(kKey, plain, kIv, 32);
    EXPECT_EQ(&CGostCipher::Shared(), &CGostCipher::Shared());
    std::vector<std::thread> threads;
    std::array<bool, 4> ok{};
    for (size_t t = 0; t < ok.size(); ++t)
        threads.emplace_back([&, t] {
            bool good = true;
            for (int i = 0; i < 20; ++i)
                good = good && Cfb(kKey, plain, kIv) == expected && Cfb(kKey, expected, kIv, true) == plain;
            ok[t] = good && Hash(kKey, plain, kIv, 32) == expectedHash;
        });
    for (auto& th : threads)
        th.join();
    for (bool b : ok)
        EXPECT_TRUE(b);
}

TEST(GostKeyedHash, AStreamInPiecesGivesTheHashOfTheWhole)
{
    std::mt19937 random(11);
    struct Case {
        size_t length;
        std::vector<size_t> pieces;   // sizes fed in turn; the rest goes in one last piece
    };
    const Case cases[] = {
        {0, {}}, {1, {}}, {7, {3}}, {8, {8}}, {9, {1, 1, 1}}, {100, {13, 0, 40}}, {4099, {4096}}, {65536, {1, 7, 65000}},
    };
    for (const Case& c : cases) {
        Bytes data(c.length);
        for (uint8_t& byte : data)
            byte = static_cast<uint8_t>(random());
        CGostCipher::KeyedHashStream stream(CGostCipher::Shared(), kKey.data(), kIv.data());
        size_t at = 0;
        for (size_t piece : c.pieces) {
            stream.Add(data.data() + at, piece);
            at += piece;
        }
        stream.Add(data.data() + at, data.size() - at);
        Bytes out(32);
        stream.Finish(out.data(), out.size());
        EXPECT_EQ(out, Hash(kKey, data, kIv, 32)) << "length " << c.length;
    }
}
