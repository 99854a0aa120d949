#pragma once
// The yardstick the mail figures are set against: one GOST CFB pass over a message's bytes,
// in place as the queueing does it, the one cost no design of the transfer can avoid.

#include "crypto/CGostCipher.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo_bench {

inline void CfbPassInPlace(benchmark::State& state, size_t size)
{
    std::string data(size, 'x');
    uint8_t key[32] = {1, 2, 3}, iv[8] = {4, 5, 6};
    auto* bytes = reinterpret_cast<uint8_t*>(data.data());
    for (auto _ : state) {
        CGostCipher::Shared().CfbEncrypt(key, bytes, data.size(), iv, bytes);
        benchmark::DoNotOptimize(data[0]);
    }
}

}
