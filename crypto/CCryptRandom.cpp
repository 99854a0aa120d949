#include "crypto/CCryptRandom.h"

#include "crypto/CGostCipher.h"
#include "crypto/LongIntWords.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kCounterOffset = 2 * kKeySize;
constexpr size_t kCounterSize = 8;
constexpr uint32_t kRandSeedConstant = 0x5A17C3E9u;
constexpr int kRandSeedAttempts = 10;

bool AllZero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

bool KeysUsable(const uint8_t* seed)
{
    return !AllZero(seed, kKeySize) && !AllZero(seed + kKeySize, kKeySize);
}

// The whole request from the kernel, across interrupted and partial reads.
bool KernelRandom(uint8_t* out, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = getrandom(out + done, length - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool KernelRandomPresent()
{
    uint8_t probe = 0;
    const ssize_t got = getrandom(&probe, 1, GRND_NONBLOCK);
    return !(got < 0 && errno == ENOSYS);
}

// The instance exists from process start, before any thread can ask for it.
CCryptRandom& g_processRandom = CCryptRandom::Instance();

} // namespace

CCryptRandom::CCryptRandom(unsigned options, Provider provider)
    : m_options(options),
      m_hasProvider(provider == Provider::Kernel && KernelRandomPresent()),
      m_cipher(std::make_unique<CGostCipher>())
{
}

CCryptRandom::~CCryptRandom()
{
    LongIntWords::Wipe(m_seed, sizeof m_seed);
}

CCryptRandom& CCryptRandom::Instance()
{
    static CCryptRandom instance(DefaultOptions, Provider::Kernel);
    return instance;
}

bool CCryptRandom::Seed(const uint8_t seed[SeedSize])
{
    if (!seed || !KeysUsable(seed))
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    std::memcpy(m_seed, seed, SeedSize);
    m_needsSeeding = false;
    return true;
}

bool CCryptRandom::SeedFromProvider()
{
    uint8_t fresh[SeedSize];
    const bool ok = KernelRandom(fresh, SeedSize) && KeysUsable(fresh);
    if (ok)
        std::memcpy(m_seed, fresh, SeedSize);
    LongIntWords::Wipe(fresh, sizeof fresh);
    return ok;
}

bool CCryptRandom::SeedFromRand()
{
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch();
    const uint32_t t = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(ticks).count()) ^
                       static_cast<uint32_t>(std::time(nullptr));
    std::srand((t >> 16) ^ (t << 16) ^ kRandSeedConstant);
    for (int attempt = 0; attempt < kRandSeedAttempts; ++attempt) {
        for (size_t i = 0; i < SeedSize; ++i)
            m_seed[i] = static_cast<uint8_t>(std::rand());
        if (KeysUsable(m_seed))
            return true;
    }
    return false;
}

bool CCryptRandom::EnsureSeeded()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_needsSeeding)
        return true;
    if (m_hasProvider && SeedFromProvider()) {
        m_needsSeeding = false;
        return true;
    }
    if ((m_options & OptionSeedFromRand) && SeedFromRand()) {
        m_needsSeeding = false;
        return true;
    }
    return false;
}

void CCryptRandom::FillFromOwnGenerator(uint8_t* out, size_t length)
{
    uint8_t* counter = m_seed + kCounterOffset;
    // Counter + 1 as a 64-bit little-endian value, never 0.
    uint64_t value = 0;
    for (size_t i = 0; i < kCounterSize; ++i)
        value |= static_cast<uint64_t>(counter[i]) << (8 * i);
    if (++value == 0)
        value = 1;
    uint8_t iv[kCounterSize];
    for (size_t i = 0; i < kCounterSize; ++i)
        iv[i] = counter[i] = static_cast<uint8_t>(value >> (8 * i));
    std::memset(out, 0, length);
    m_cipher->CfbEncrypt(m_seed, out, length, iv, out);
    m_cipher->CfbEncrypt(m_seed + kKeySize, counter, kCounterSize, iv, counter);
}

bool CCryptRandom::Fill(void* buffer, size_t length)
{
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (length == 0)
        return true;
    if (!out)
        return false;
    bool ok = false;
    if (m_hasProvider || (m_options & OptionSeedFromRand)) {
        if (EnsureSeeded()) {
            if (m_hasProvider && !(m_options & OptionOwnGenerator)) {
                ok = KernelRandom(out, length);
            } else if (m_options & OptionLocked) {
                std::lock_guard<std::mutex> guard(m_lock);
                FillFromOwnGenerator(out, length);
                ok = true;
            } else {
                FillFromOwnGenerator(out, length);
                ok = true;
            }
        }
    }
    // Never hand back whatever the buffer held before as if it were random.
    if (!ok)
        std::memset(out, 0, length);
    return ok;
}

bool CryptRandomFill(void* buffer, size_t length)
{
    return CCryptRandom::Instance().Fill(buffer, length);
}
