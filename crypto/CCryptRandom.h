#pragma once
// CCryptRandom: the process-wide random source. Normally every byte comes from the kernel
// (getrandom(2)); the own generator (GOST 28147-89 in CFB mode over a counter, seeded once
// from the kernel or, as a last resort, from rand()) serves when the kernel source is absent
// or when option 4 forces it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class CGostCipher;

class CCryptRandom {
public:
    // Option bits.
    static constexpr unsigned OptionSeedFromRand = 2;   // may seed from rand() without the kernel source
    static constexpr unsigned OptionOwnGenerator = 4;   // always use the own generator
    static constexpr unsigned OptionLocked = 8;         // serialise the own generator
    static constexpr unsigned DefaultOptions = OptionSeedFromRand | OptionLocked;

    static constexpr size_t SeedSize = 72;              // key 1, key 2 (32 bytes each), counter (8)

    // Where the kernel source is used; `None` stands for a machine without it.
    enum class Provider { Kernel, None };

    explicit CCryptRandom(unsigned options = DefaultOptions, Provider provider = Provider::Kernel);
    ~CCryptRandom();
    CCryptRandom(const CCryptRandom&) = delete;
    CCryptRandom& operator=(const CCryptRandom&) = delete;

    // The one instance shared by the whole process (options 2 + 8).
    static CCryptRandom& Instance();

    // Fills `length` bytes with random bytes; false when no source could be had (the buffer
    // is then zeroed, never left holding stale data).
    bool Fill(void* buffer, size_t length);

    // Seeds the own generator with exactly these 72 bytes, so its output can be reproduced.
    // False (and no change) when either 32-byte key is all zero.
    bool Seed(const uint8_t seed[SeedSize]);

    unsigned Options() const noexcept { return m_options; }
    bool HasProvider() const noexcept { return m_hasProvider; }

private:
    bool EnsureSeeded();
    bool SeedFromProvider();
    bool SeedFromRand();
    void FillFromOwnGenerator(uint8_t* out, size_t length);

    unsigned m_options;
    bool m_hasProvider;
    bool m_needsSeeding = true;
    uint8_t m_seed[SeedSize] = {};
    std::unique_ptr<CGostCipher> m_cipher;              // a context of its own
    std::mutex m_lock;
};

// Fills `length` bytes from the process-wide source; the success flag of Fill.
bool CryptRandomFill(void* buffer, size_t length);
