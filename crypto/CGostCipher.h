#pragma once
// CGostCipher: the GOST 28147-89 block cipher (64-bit blocks, 256-bit keys) and everything built
// on it: cipher feedback encryption of byte strings of any length, the 64-bit MAC, the keyed
// hash with a selectable output length, and fresh random keys and initial vectors.
//
// A context holds only the four expanded substitution tables and a default key; it never
// changes after construction, so one context serves all threads at once. Every operation keeps
// its state on its own stack or in the caller's buffers.
//
// Byte orders are wire format: a 32-byte key gives the round-key words k0..k7, each 4 bytes
// little-endian; a block gives the halves A (bytes 0..3) and B (bytes 4..7), little-endian, and
// the transformed block is written with the halves exchanged (B first).
//
// A null key selects the context's default key. Output buffers may be the input buffer itself
// (in place); other overlaps are not supported.

#include <array>
#include <cstddef>
#include <cstdint>

class CGostCipher {
public:
    static constexpr size_t KeySize = 32;
    static constexpr size_t BlockSize = 8;
    // Output lengths below this take the tail of this many encrypted counter bytes.
    static constexpr size_t KeyedHashPatternSize = 16384;

    // Eight 4-bit substitutions: [0] is K1 (bits 0..3 of the word) ... [7] is K8 (bits 28..31).
    using SBox = std::array<std::array<uint8_t, 16>, 8>;

    // The S-box set of this system (row 0 of each DES S-box).
    static const SBox& SystemSBox();

    CGostCipher();                              // with SystemSBox()
    // With any S-box set; throws std::invalid_argument when an entry is above 15.
    explicit CGostCipher(const SBox& sbox);

    // The context shared by the whole process.
    static const CGostCipher& Shared();

    // 32 rounds (simple substitution) in place.
    void EncryptBlock(const uint8_t* key, uint8_t block[BlockSize]) const;
    // The 16-round transform of the MAC, in place.
    void MacTransform(const uint8_t* key, uint8_t block[BlockSize]) const;

    // Cipher feedback over `length` bytes into `out` (which may be `data`); a final partial
    // block is XORed with the head of one more encrypted state. `iv` is left unchanged.
    void CfbEncrypt(const uint8_t* key, const uint8_t* data, size_t length,
                    const uint8_t iv[BlockSize], uint8_t* out) const;
    void CfbDecrypt(const uint8_t* key, const uint8_t* data, size_t length,
                    const uint8_t iv[BlockSize], uint8_t* out) const;

    // 64-bit MAC. `initial` (null = zeros) starts the state; a final partial block is completed
    // with the matching tail bytes of `padding` (null = zeros).
    void Mac(const uint8_t* key, const uint8_t* data, size_t length, uint8_t result[BlockSize],
             const uint8_t* initial = nullptr, const uint8_t* padding = nullptr) const;

    // Keyed hash of `length` bytes into `outLength` bytes (never all zero), starting from
    // `initial` (null = zeros). An output length of 0 writes nothing.
    void KeyedHash(const uint8_t* key, const uint8_t* data, size_t length,
                   const uint8_t initial[BlockSize], uint8_t* out, size_t outLength) const;

    // The keyed hash fed piece by piece, for data too large to hold at once (a queued file read
    // in parts): Finish gives what KeyedHash gives over the pieces joined. The context must
    // outlive the stream.
    class KeyedHashStream;

    // Fresh random values from the process-wide random source, never all zero. Throw
    // XTOOErrMsg when the random source cannot deliver, rather than hand out a guessable key.
    static void MakeInitialVector(uint8_t iv[BlockSize]);
    static void MakeKey(uint8_t key[KeySize]);

    const uint8_t* DefaultKey() const noexcept { return m_defaultKey; }

private:
    struct KeyWords {
        uint32_t k[8];
    };
    KeyWords LoadKey(const uint8_t* key) const noexcept;

    uint32_t Round(uint32_t x) const noexcept;
    // 32 rounds on the halves (a, b); the result block is (b, a).
    void Encrypt32(uint32_t& a, uint32_t& b, const KeyWords& key) const noexcept;
    void Encrypt16(uint32_t& a, uint32_t& b, const KeyWords& key) const noexcept;
    // One more encrypted state XORed over the final `length` (< 8) bytes.
    void CfbTail(const KeyWords& key, uint32_t a, uint32_t b, const uint8_t* data, size_t length,
                 uint8_t* out) const noexcept;
    // The keyed hash's two passes: the data chained into the vector (a, b) of the second, and
    // the tail of the CFB-encrypted counter pattern under that vector.
    void ChainHashInput(const KeyWords& key, const uint8_t* data, size_t length,
                        const uint8_t* initial, uint32_t& a, uint32_t& b) const noexcept;
    void EncryptCounterPattern(const KeyWords& key, uint32_t a, uint32_t b, uint8_t* out,
                               size_t outLength) const noexcept;

    void BuildTables(const SBox& sbox);
    void BuildDefaultKey() noexcept;

    // T0..T3 back to back: T0 serves the top byte of the word, T3 the bottom one.
    uint32_t m_tables[4][256];
    uint8_t m_defaultKey[KeySize];
};

class CGostCipher::KeyedHashStream {
public:
    KeyedHashStream(const CGostCipher& cipher, const uint8_t* key, const uint8_t initial[BlockSize]);
    void Add(const uint8_t* data, size_t length);
    void Finish(uint8_t* out, size_t outLength);

private:
    void Chain(const uint8_t block[BlockSize]) noexcept;

    const CGostCipher& m_cipher;
    KeyWords m_key;
    uint32_t m_s0 = 0, m_s1 = 0;
    uint8_t m_sum = 0;
    uint64_t m_length = 0;
    uint8_t m_pending[BlockSize] = {};
    size_t m_pendingLength = 0;
};
