#pragma once
// Waiting in tests for a condition another thread or process brings about, instead of
// sleeping for a guessed time. The bound only keeps a broken test from hanging: it is far
// beyond what any run needs, sanitizer builds on a busy machine included.

#include <algorithm>
#include <chrono>
#include <thread>

namespace velmo_testing {

inline constexpr std::chrono::milliseconds kPatience{60000};

// True as soon as `condition()` holds; false when it still does not after `bound`.
template<class Condition>
bool Eventually(Condition&& condition, std::chrono::milliseconds bound = kPatience)
{
    const auto until = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::microseconds(100);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace velmo_testing
