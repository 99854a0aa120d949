#include "net/CZelConnectionInTimeCharacteristics.h"

#include <algorithm>

CZelConnectionInTimeCharacteristics::CZelConnectionInTimeCharacteristics()
{
    Reset(0);
}

void CZelConnectionInTimeCharacteristics::Reset(int64_t nowMs)
{
    for (Window& window : m_windows)
        window = Window{{}, nowMs, 0};
    m_startMs = nowMs;
    m_total = 0;
}

// Moves the ring forward to the bucket holding `nowMs`, emptying the buckets passed over.
void CZelConnectionInTimeCharacteristics::Advance(Window& window, int64_t bucketMs, int64_t nowMs) const
{
    if (nowMs < window.bucketStart + bucketMs)
        return;
    const int64_t steps = (nowMs - window.bucketStart) / bucketMs;
    const int64_t clear = std::min<int64_t>(steps, kBuckets);
    for (int64_t i = 1; i <= clear; ++i)
        window.bytes[(window.newest + i) % kBuckets] = 0;
    window.newest = static_cast<int>((window.newest + steps) % kBuckets);
    window.bucketStart += steps * bucketMs;
}

void CZelConnectionInTimeCharacteristics::Add(int64_t bytes, int64_t nowMs)
{
    if (bytes <= 0)
        return;
    m_total += bytes;
    for (int w = 0; w < kWindows; ++w) {
        Window& window = m_windows[w];
        Advance(window, kWindowSeconds[w] * 1000 / kBuckets, nowMs);
        window.bytes[window.newest] += bytes;
    }
}

double CZelConnectionInTimeCharacteristics::Rate(int window, int64_t nowMs) const
{
    if (window < 0 || window >= kWindows)
        return 0;
    Window& ring = m_windows[window];
    const int64_t windowMs = kWindowSeconds[window] * 1000;
    Advance(ring, windowMs / kBuckets, nowMs);
    int64_t sum = 0;
    for (int64_t bytes : ring.bytes)
        sum += bytes;
    const int64_t spanMs = std::clamp<int64_t>(nowMs - m_startMs, 1, windowMs);
    return static_cast<double>(sum) * 1000.0 / static_cast<double>(spanMs);
}
