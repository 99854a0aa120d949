#pragma once
// Traffic statistics of one direction of a connection: the byte rate over the last second,
// minute, hour and day. Each window is kept as a ring of buckets, so adding bytes and reading a
// rate take constant time and memory does not grow with the traffic.

#include <array>
#include <cstdint>

class CZelConnectionInTimeCharacteristics {
public:
    static constexpr int kWindows = 4;
    static constexpr std::array<int64_t, kWindows> kWindowSeconds = {1, 60, 3600, 86400};

    CZelConnectionInTimeCharacteristics();

    void Reset(int64_t nowMs);
    void Add(int64_t bytes, int64_t nowMs);
    // Bytes per second over window `window` (0 = 1 s ... 3 = 1 day), counting only the time
    // since the statistics were reset when that is shorter than the window.
    double Rate(int window, int64_t nowMs) const;
    int64_t Total() const { return m_total; }

private:
    static constexpr int kBuckets = 10;
    struct Window {
        std::array<int64_t, kBuckets> bytes{};
        int64_t bucketStart = 0;     // start of the newest bucket, in ms
        int newest = 0;
    };
    void Advance(Window& window, int64_t bucketMs, int64_t nowMs) const;

    mutable std::array<Window, kWindows> m_windows;
    int64_t m_startMs = 0;
    int64_t m_total = 0;
};
