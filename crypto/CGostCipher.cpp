#include "crypto/CGostCipher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace {

inline uint32_t Load32(const uint8_t* p) noexcept
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void Store32(uint8_t* p, uint32_t v) noexcept
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Row 0 of DES S8 .. S1: K1 substitutes the lowest four bits.
constexpr CGostCipher::SBox kSystemSBox = {{
    {0xD, 0x2, 0x8, 0x4, 0x6, 0xF, 0xB, 0x1, 0xA, 0x9, 0x3, 0xE, 0x5, 0x0, 0xC, 0x7},
    {0x4, 0xB, 0x2, 0xE, 0xF, 0x0, 0x8, 0xD, 0x3, 0xC, 0x9, 0x7, 0x5, 0xA, 0x6, 0x1},
    {0xC, 0x1, 0xA, 0xF, 0x9, 0x2, 0x6, 0x8, 0x0, 0xD, 0x3, 0x4, 0xE, 0x7, 0x5, 0xB},
    {0x2, 0xC, 0x4, 0x1, 0x7, 0xA, 0xB, 0x6, 0x8, 0x5, 0x3, 0xF, 0xD, 0x0, 0xE, 0x9},
    {0x7, 0xD, 0xE, 0x3, 0x0, 0x6, 0x9, 0xA, 0x1, 0x2, 0x8, 0x5, 0xB, 0xC, 0x4, 0xF},
    {0xA, 0x0, 0x9, 0xE, 0x6, 0x3, 0xF, 0x5, 0x1, 0xD, 0xC, 0x7, 0xB, 0x4, 0x2, 0x8},
    {0xF, 0x1, 0x8, 0xE, 0x6, 0xB, 0x3, 0x4, 0x9, 0x7, 0x2, 0xD, 0xC, 0x0, 0x5, 0xA},
    {0xE, 0x4, 0xD, 0x1, 0x2, 0xF, 0xB, 0x8, 0x3, 0xA, 0x6, 0xC, 0x5, 0x9, 0x0, 0x7},
}};

// Plain text of the keyed hash's final pass: 16-bit little-endian counters. Block j holds the
// counters 4j .. 4j+3.
inline void CounterBlock(uint64_t j, uint32_t& a, uint32_t& b) noexcept
{
    const uint32_t c = uint32_t(j * 4);
    a = (c & 0xFFFF) | ((c + 1) & 0xFFFF) << 16;
    b = ((c + 2) & 0xFFFF) | ((c + 3) & 0xFFFF) << 16;
}

bool AllZero(const uint8_t* p, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

} // namespace

const CGostCipher::SBox& CGostCipher::SystemSBox()
{
    return kSystemSBox;
}

CGostCipher::CGostCipher() : CGostCipher(kSystemSBox) {}

CGostCipher::CGostCipher(const SBox& sbox)
{
    BuildTables(sbox);
    BuildDefaultKey();
}

const CGostCipher& CGostCipher::Shared()
{
    static const CGostCipher shared;
    return shared;
}

namespace {
// The shared context is made while the program starts, before any thread can race for it.
[[maybe_unused]] const CGostCipher& g_sharedAtStart = CGostCipher::Shared();
} // namespace

static_assert(sizeof(CGostCipher) == 4128, "the context is the four tables and the default key");

void CGostCipher::BuildTables(const SBox& sbox)
{
    for (const auto& row : sbox)
        for (uint8_t v : row)
            if (v > 15)
                throw std::invalid_argument("GOST S-box entries must lie in 0..15");
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t hi = i >> 4, lo = i & 15;
        m_tables[0][i] = uint32_t(sbox[7][hi] << 4 | sbox[6][lo]) << 24;
        m_tables[1][i] = uint32_t(sbox[5][hi] << 4 | sbox[4][lo]) << 16;
        m_tables[2][i] = uint32_t(sbox[3][hi] << 4 | sbox[2][lo]) << 8;
        m_tables[3][i] = uint32_t(sbox[1][hi] << 4 | sbox[0][lo]);
    }
}

void CGostCipher::BuildDefaultKey() noexcept
{
    // No caller relies on its value; it only has to be fixed for the life of the context.
    for (uint32_t i = 0; i < KeySize; ++i)
        m_defaultKey[i] = uint8_t(m_tables[3][(i * 37 + 11) & 255] ^ (i * 0x9D));
}

CGostCipher::KeyWords CGostCipher::LoadKey(const uint8_t* key) const noexcept
{
    if (!key)
        key = m_defaultKey;
    KeyWords words;
    for (int i = 0; i < 8; ++i)
        words.k[i] = Load32(key + 4 * i);
    return words;
}

inline uint32_t CGostCipher::Round(uint32_t x) const noexcept
{
    return std::rotl(m_tables[0][x >> 24] | m_tables[1][(x >> 16) & 255] |
                         m_tables[2][(x >> 8) & 255] | m_tables[3][x & 255],
                     11);
}

inline void CGostCipher::Encrypt16(uint32_t& a, uint32_t& b, const KeyWords& key) const noexcept
{
    const uint32_t* k = key.k;
    for (int pass = 0; pass < 2; ++pass) {
        b ^= Round(a + k[0]); a ^= Round(b + k[1]);
        b ^= Round(a + k[2]); a ^= Round(b + k[3]);
        b ^= Round(a + k[4]); a ^= Round(b + k[5]);
        b ^= Round(a + k[6]); a ^= Round(b + k[7]);
    }
}

inline void CGostCipher::Encrypt32(uint32_t& a, uint32_t& b, const KeyWords& key) const noexcept
{
    const uint32_t* k = key.k;
    Encrypt16(a, b, key);
    b ^= Round(a + k[0]); a ^= Round(b + k[1]);
    b ^= Round(a + k[2]); a ^= Round(b + k[3]);
    b ^= Round(a + k[4]); a ^= Round(b + k[5]);
    b ^= Round(a + k[6]); a ^= Round(b + k[7]);
    b ^= Round(a + k[7]); a ^= Round(b + k[6]);
    b ^= Round(a + k[5]); a ^= Round(b + k[4]);
    b ^= Round(a + k[3]); a ^= Round(b + k[2]);
    b ^= Round(a + k[1]); a ^= Round(b + k[0]);
}

void CGostCipher::EncryptBlock(const uint8_t* key, uint8_t block[BlockSize]) const
{
    const KeyWords k = LoadKey(key);
    uint32_t a = Load32(block), b = Load32(block + 4);
    Encrypt32(a, b, k);
    Store32(block, b);
    Store32(block + 4, a);
}

void CGostCipher::MacTransform(const uint8_t* key, uint8_t block[BlockSize]) const
{
    const KeyWords k = LoadKey(key);
    uint32_t a = Load32(block), b = Load32(block + 4);
    Encrypt16(a, b, k);
    Store32(block, b);
    Store32(block + 4, a);
}

void CGostCipher::CfbTail(const KeyWords& key, uint32_t a, uint32_t b, const uint8_t* data,
                          size_t length, uint8_t* out) const noexcept
{
    Encrypt32(a, b, key);
    uint8_t gamma[BlockSize];
    Store32(gamma, b);
    Store32(gamma + 4, a);
    for (size_t i = 0; i < length; ++i)
        out[i] = data[i] ^ gamma[i];
}

void CGostCipher::CfbEncrypt(const uint8_t* key, const uint8_t* data, size_t length,
                             const uint8_t iv[BlockSize], uint8_t* out) const
{
    const KeyWords k = LoadKey(key);
    uint32_t a = Load32(iv), b = Load32(iv + 4);
    size_t pos = 0;
    for (; pos + BlockSize <= length; pos += BlockSize) {
        Encrypt32(a, b, k);
        // The encrypted state is (b, a); the cipher block becomes the next state.
        const uint32_t c0 = Load32(data + pos) ^ b;
        const uint32_t c1 = Load32(data + pos + 4) ^ a;
        Store32(out + pos, c0);
        Store32(out + pos + 4, c1);
        a = c0;
        b = c1;
    }
    if (pos < length)
        CfbTail(k, a, b, data + pos, length - pos, out + pos);
}

void CGostCipher::CfbDecrypt(const uint8_t* key, const uint8_t* data, size_t length,
                             const uint8_t iv[BlockSize], uint8_t* out) const
{
    const KeyWords k = LoadKey(key);
    uint32_t a = Load32(iv), b = Load32(iv + 4);
    size_t pos = 0;
    for (; pos + BlockSize <= length; pos += BlockSize) {
        Encrypt32(a, b, k);
        // Read the cipher block before writing: `out` may be `data`.
        const uint32_t c0 = Load32(data + pos);
        const uint32_t c1 = Load32(data + pos + 4);
        Store32(out + pos, c0 ^ b);
        Store32(out + pos + 4, c1 ^ a);
        a = c0;
        b = c1;
    }
    if (pos < length)
        CfbTail(k, a, b, data + pos, length - pos, out + pos);
}

void CGostCipher::Mac(const uint8_t* key, const uint8_t* data, size_t length,
                      uint8_t result[BlockSize], const uint8_t* initial,
                      const uint8_t* padding) const
{
    const KeyWords k = LoadKey(key);
    uint32_t s0 = initial ? Load32(initial) : 0, s1 = initial ? Load32(initial + 4) : 0;
    size_t pos = 0;
    for (; pos + BlockSize <= length; pos += BlockSize) {
        uint32_t a = s0 ^ Load32(data + pos), b = s1 ^ Load32(data + pos + 4);
        Encrypt16(a, b, k);
        s0 = b;
        s1 = a;
    }
    if (pos < length) {
        uint8_t last[BlockSize] = {};
        if (padding)
            std::memcpy(last, padding, BlockSize);
        std::memcpy(last, data + pos, length - pos);
        uint32_t a = s0 ^ Load32(last), b = s1 ^ Load32(last + 4);
        Encrypt16(a, b, k);
        s0 = b;
        s1 = a;
    }
    Store32(result, s0);
    Store32(result + 4, s1);
}

void CGostCipher::KeyedHash(const uint8_t* key, const uint8_t* data, size_t length,
                            const uint8_t initial[BlockSize], uint8_t* out,
                            size_t outLength) const
{
    if (outLength == 0)
        return;
    const KeyWords k = LoadKey(key);
    uint32_t a, b;
    ChainHashInput(k, data, length, initial, a, b);
    EncryptCounterPattern(k, a, b, out, outLength);
    if (AllZero(out, outLength))
        out[0] = 1;
}

void CGostCipher::ChainHashInput(const KeyWords& key, const uint8_t* data, size_t length,
                                 const uint8_t* initial, uint32_t& a, uint32_t& b) const noexcept
{
    // The state runs through the cipher before each block is XORed in; a byte sum of two
    // columns and the length go into the final vector.
    uint32_t s0 = initial ? Load32(initial) : 0, s1 = initial ? Load32(initial + 4) : 0;
    uint8_t sum = 0;
    for (size_t pos = 0; pos < length; pos += BlockSize) {
        uint8_t block[BlockSize] = {};
        std::memcpy(block, data + pos, length - pos < BlockSize ? length - pos : BlockSize);
        a = s0;
        b = s1;
        Encrypt32(a, b, key);
        s0 = b ^ Load32(block);
        s1 = a ^ Load32(block + 4);
        sum = uint8_t(sum + block[0] + block[4]);
    }
    a = s0;
    b = s1;
    Encrypt32(a, b, key);
    const uint32_t word0 = b, word1 = a;
    a = word0 ^ sum;
    b = word1 ^ uint32_t(length);
}

void CGostCipher::EncryptCounterPattern(const KeyWords& key, uint32_t a, uint32_t b, uint8_t* out,
                                        size_t outLength) const noexcept
{
    // A short output is the tail of a fixed-size pattern, so every hash costs the same.
    const size_t patternLength = outLength < KeyedHashPatternSize ? KeyedHashPatternSize : outLength;
    const size_t keepFrom = patternLength - outLength;
    for (size_t pos = 0; pos < patternLength; pos += BlockSize) {
        uint32_t p0, p1;
        CounterBlock(pos / BlockSize, p0, p1);
        Encrypt32(a, b, key);
        const uint32_t c0 = p0 ^ b, c1 = p1 ^ a;
        a = c0;
        b = c1;
        if (pos + BlockSize <= keepFrom)
            continue;
        uint8_t block[BlockSize];
        Store32(block, c0);
        Store32(block + 4, c1);
        const size_t end = pos + BlockSize < patternLength ? pos + BlockSize : patternLength;
        for (size_t i = pos < keepFrom ? keepFrom : pos; i < end; ++i)
            out[i - keepFrom] = block[i - pos];
    }
    // An odd pattern ends in a lone zero byte, not in the low byte of a counter: take that
    // counter byte back out of the last output byte.
    if (patternLength & 1)
        out[outLength - 1] ^= uint8_t((patternLength - 1) / 2);
}

CGostCipher::KeyedHashStream::KeyedHashStream(const CGostCipher& cipher, const uint8_t* key,
                                              const uint8_t initial[BlockSize])
    : m_cipher(cipher), m_key(cipher.LoadKey(key))
{
    if (initial) {
        m_s0 = Load32(initial);
        m_s1 = Load32(initial + 4);
    }
}

void CGostCipher::KeyedHashStream::Chain(const uint8_t block[BlockSize]) noexcept
{
    // One step of ChainHashInput's loop.
    uint32_t a = m_s0, b = m_s1;
    m_cipher.Encrypt32(a, b, m_key);
    m_s0 = b ^ Load32(block);
    m_s1 = a ^ Load32(block + 4);
    m_sum = uint8_t(m_sum + block[0] + block[4]);
}

void CGostCipher::KeyedHashStream::Add(const uint8_t* data, size_t length)
{
    // An empty piece may come with no buffer at all; memcpy must never see that pointer.
    if (length == 0)
        return;
    m_length += length;
    if (m_pendingLength > 0) {
        const size_t take = std::min(length, BlockSize - m_pendingLength);
        std::memcpy(m_pending + m_pendingLength, data, take);
        m_pendingLength += take;
        data += take;
        length -= take;
        if (m_pendingLength < BlockSize)
            return;
        Chain(m_pending);
        m_pendingLength = 0;
    }
    for (; length >= BlockSize; data += BlockSize, length -= BlockSize)
        Chain(data);
    std::memcpy(m_pending, data, length);
    m_pendingLength = length;
}

void CGostCipher::KeyedHashStream::Finish(uint8_t* out, size_t outLength)
{
    if (outLength == 0)
        return;
    if (m_pendingLength > 0) {
        std::memset(m_pending + m_pendingLength, 0, BlockSize - m_pendingLength);
        Chain(m_pending);
        m_pendingLength = 0;
    }
    uint32_t a = m_s0, b = m_s1;
    m_cipher.Encrypt32(a, b, m_key);
    const uint32_t word0 = b, word1 = a;
    m_cipher.EncryptCounterPattern(m_key, word0 ^ m_sum, word1 ^ uint32_t(m_length), out, outLength);
    if (AllZero(out, outLength))
        out[0] = 1;
}
