#include "testing/TestKeys.h"

#include "crypto/CCryptRandom.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaKeyPair.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmo_testing {
namespace {

namespace fs = std::filesystem;

std::string Hex(const CZelString& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int32_t i = 0; i < bytes.Length(); ++i) {
        const auto byte = static_cast<uint8_t>(bytes.Ptr()[i]);
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// The bytes of a hex text of exactly `bytes` bytes; false when it is anything else.
bool FromHex(const std::string& text, int bytes, CZelString& out)
{
    if (text.size() != static_cast<size_t>(bytes) * 2)
        return false;
    std::string value;
    for (size_t at = 0; at < text.size(); at += 2) {
        const std::string pair = text.substr(at, 2);
        if (pair.find_first_not_of("0123456789abcdef") != std::string::npos)
            return false;
        value += static_cast<char>(std::stoi(pair, nullptr, 16));
    }
    out = CZelString(std::string_view(value));
    return true;
}

CZelString ValueOf(const LongInt2& value)
{
    return CZelString(reinterpret_cast<const char*>(value.GetData()), value.GetSize());
}

TestKeyPair Generate(int index, int bytes)
{
    CCryptRandom random(CCryptRandom::OptionSeedFromRand | CCryptRandom::OptionOwnGenerator | CCryptRandom::OptionLocked,
                        CCryptRandom::Provider::None);
    uint8_t seed[CCryptRandom::SeedSize];
    for (size_t i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<uint8_t>(7 + 11 * i + 31 * index + 13 * bytes);
    random.Seed(seed);
    LongInt2 n(bytes), d(bytes), e(bytes);
    if (RsaKeyPair::Generate(bytes, n, d, e, nullptr, random) != 1)
        throw std::runtime_error("no test key pair " + std::to_string(index) + " of " + std::to_string(bytes) +
                                 " bytes could be made");
    return TestKeyPair{ValueOf(n), ValueOf(d), ValueOf(e)};
}

fs::path KeptFile(int index, int bytes)
{
    return fs::path(VELMO_BINARY_DIR) / "testing" / ("rsa-" + std::to_string(bytes) + "-" + std::to_string(index) + ".txt");
}

bool Load(const fs::path& file, int bytes, TestKeyPair& pair)
{
    std::ifstream in(file);
    std::string n, d, e;
    return std::getline(in, n) && std::getline(in, d) && std::getline(in, e) && FromHex(n, bytes, pair.n) &&
           FromHex(d, bytes, pair.d) && FromHex(e, bytes, pair.e);
}

// Written under a name of this process's own and renamed into place, so that processes making
// the same pair at once never read half a file. Failing to keep it only costs the next
// process the time to make it again.
void Keep(const fs::path& file, const TestKeyPair& pair)
{
    std::error_code ignored;
    fs::create_directories(file.parent_path(), ignored);
    const fs::path partial = file.string() + "." + std::to_string(::getpid());
    bool written = false;
    {
        std::ofstream out(partial);
        out << Hex(pair.n) << '\n' << Hex(pair.d) << '\n' << Hex(pair.e) << '\n';
        written = static_cast<bool>(out.flush());
    }
    std::error_code renameFailed;
    if (written)
        fs::rename(partial, file, renameFailed);
    if (!written || renameFailed)
        fs::remove(partial, ignored);
}

} // namespace

const TestKeyPair& TestKeys(int index, int bytes)
{
    static std::mutex lock;
    static std::map<std::pair<int, int>, TestKeyPair> made;
    std::lock_guard<std::mutex> hold(lock);
    const auto key = std::make_pair(index, bytes);
    auto found = made.find(key);
    if (found != made.end())
        return found->second;
    const fs::path file = KeptFile(index, bytes);
    TestKeyPair pair;
    if (!Load(file, bytes, pair)) {
        pair = Generate(index, bytes);
        Keep(file, pair);
    }
    return made.emplace(key, std::move(pair)).first->second;
}

} // namespace velmo_testing
