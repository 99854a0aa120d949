#pragma once
// A bounded random-mutation fuzzer for tests: feeds a target with inputs derived from seeds by
// byte flips, insertions, deletions, splices and truncations. Deterministic for a given seed,
// so a failure reproduces. Meant to run inside a sanitizer build, where a bad read aborts.

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace velmo_testing {

inline std::string Mutate(std::string input, const std::vector<std::string>& seeds, std::mt19937_64& rng)
{
    const int rounds = 1 + static_cast<int>(rng() % 4);
    for (int r = 0; r < rounds; ++r) {
        const size_t size = input.size();
        switch (rng() % 7) {
        case 0: // flip a bit
            if (size) input[rng() % size] ^= static_cast<char>(1u << (rng() % 8));
            break;
        case 1: // set a random byte
            if (size) input[rng() % size] = static_cast<char>(rng());
            break;
        case 2: // insert random bytes
            input.insert(size ? rng() % (size + 1) : 0, std::string(1 + rng() % 8, static_cast<char>(rng())));
            break;
        case 3: // delete a run
            if (size) { size_t at = rng() % size; input.erase(at, 1 + rng() % (size - at)); }
            break;
        case 4: // truncate
            input.resize(size ? rng() % size : 0);
            break;
        case 5: { // splice a piece of another seed
            const std::string& other = seeds[rng() % seeds.size()];
            if (!other.empty()) {
                size_t from = rng() % other.size();
                input.insert(size ? rng() % (size + 1) : 0, other.substr(from, 1 + rng() % (other.size() - from)));
            }
            break;
        }
        default: // duplicate a run (grows nesting and repetition)
            if (size) { size_t at = rng() % size; input.insert(at, input.substr(at, 1 + rng() % (size - at))); }
            break;
        }
    }
    if (input.size() > (1u << 16))
        input.resize(1u << 16);
    return input;
}

// Runs `target` on every seed and then on `iterations` mutants; returns the number of inputs run.
inline uint64_t RunMutationFuzzer(const std::vector<std::string>& seeds, uint64_t iterations,
                                  const std::function<void(const std::string&)>& target,
                                  uint64_t seed = 20261210)
{
    std::mt19937_64 rng(seed);
    uint64_t runs = 0;
    for (const auto& s : seeds) { target(s); ++runs; }
    std::string current = seeds.empty() ? std::string() : seeds[0];
    for (uint64_t i = 0; i < iterations; ++i) {
        if (i % 64 == 0 && !seeds.empty())
            current = seeds[rng() % seeds.size()];
        std::string input = Mutate(current, seeds.empty() ? std::vector<std::string>{""} : seeds, rng);
        target(input);
        ++runs;
        if (rng() % 4 == 0)
            current = std::move(input);
    }
    return runs;
}

} // namespace velmo_testing
