// A typical log line through Format against snprintf into a std::string; 10,000 string keys
// inserted and looked up in CZelUnivHash_New_KeyIsClass against std::unordered_map; Base64 of
// 64 KB against OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock; 64 KB of Cyrillic UTF-8 to UTF-16LE
// against iconv.

#include "bench/BenchMain.h"
#include "foundation/CZelCodePage.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelUnivHash.h"
#include "foundation/ZelBase64.h"

#include <benchmark/benchmark.h>
#include <iconv.h>
#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

void BM_FormatOurs(benchmark::State& state)
{
    const CZelString login("someone@example.org");
    uint32_t n = 0;
    for (auto _ : state) {
        CZelString line = Format("%S: message %08X of %d bytes queued at %s (%.1lf%%)", login, ++n, 12345,
                                 "02.03.2024 02:45:06", 99.5);
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_FormatOurs)->Name("format/ours");

void BM_FormatTheirs(benchmark::State& state)
{
    const std::string login("someone@example.org");
    uint32_t n = 0;
    for (auto _ : state) {
        char buffer[256];
        const int length = std::snprintf(buffer, sizeof buffer, "%s: message %08X of %d bytes queued at %s (%.1lf%%)",
                                         login.c_str(), ++n, 12345, "02.03.2024 02:45:06", 99.5);
        std::string line(buffer, static_cast<size_t>(length));
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_FormatTheirs)->Name("format/theirs");

std::vector<std::string> HashKeys()
{
    std::vector<std::string> keys;
    for (int i = 0; i < 10000; ++i)
        keys.push_back("user" + std::to_string(i * 7919) + "@example.org");
    return keys;
}

void BM_HashOurs(benchmark::State& state)
{
    std::vector<CZelString> keys;
    for (const std::string& k : HashKeys())
        keys.emplace_back(std::string_view(k));
    for (auto _ : state) {
        CZelUnivHash_New_KeyIsClass<CZelString, int> table(16);
        for (size_t i = 0; i < keys.size(); ++i)
            table.Insert(keys[i], static_cast<int>(i));
        int sum = 0;
        for (const CZelString& k : keys)
            sum += *table.Find(k);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_HashOurs)->Name("hash/ours");

void BM_HashTheirs(benchmark::State& state)
{
    const std::vector<std::string> keys = HashKeys();
    for (auto _ : state) {
        std::unordered_map<std::string, int> table(16);
        for (size_t i = 0; i < keys.size(); ++i)
            table.emplace(keys[i], static_cast<int>(i));
        int sum = 0;
        for (const std::string& k : keys)
            sum += table.find(k)->second;
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_HashTheirs)->Name("hash/theirs");

std::string RandomBytes(size_t size)
{
    std::mt19937 rng(1);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());
    return data;
}

void BM_Base64Ours(benchmark::State& state)
{
    const std::string data = RandomBytes(64 * 1024);
    for (auto _ : state) {
        const CZelString encoded = Base64Encode(data);
        const Base64Result decoded = Base64Decode(encoded);
        benchmark::DoNotOptimize(decoded.bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Base64Ours)->Name("base64/ours");

void BM_Base64Theirs(benchmark::State& state)
{
    const std::string data = RandomBytes(64 * 1024);
    for (auto _ : state) {
        std::string encoded((data.size() + 2) / 3 * 4 + 1, '\0');
        const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                           reinterpret_cast<const unsigned char*>(data.data()),
                                           static_cast<int>(data.size()));
        std::string decoded(static_cast<size_t>(length) / 4 * 3, '\0');
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                        reinterpret_cast<const unsigned char*>(encoded.data()), length);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Base64Theirs)->Name("base64/theirs");

std::string CyrillicText()
{
    std::string text;
    while (text.size() < 64 * 1024)
        text += "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, world! ";
    return text;
}

void BM_Utf8ToWideOurs(benchmark::State& state)
{
    const std::string text = CyrillicText();
    for (auto _ : state) {
        CZelString wide = ToWide(text, kCodePageUtf8);
        benchmark::DoNotOptimize(wide);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Utf8ToWideOurs)->Name("utf8-to-wide/ours");

void BM_Utf8ToWideTheirs(benchmark::State& state)
{
    const std::string text = CyrillicText();
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    for (auto _ : state) {
        std::string wide(text.size() * 2, '\0');
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        char* out = wide.data();
        size_t outLeft = wide.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        iconv(cd, &in, &inLeft, &out, &outLeft);
        wide.resize(wide.size() - outLeft);
        benchmark::DoNotOptimize(wide);
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Utf8ToWideTheirs)->Name("utf8-to-wide/theirs");

} // namespace
