#pragma once
// CallRecord: the calls a scripted stand-in was asked, one text each, in order. Shared between
// stand-ins (one per connection) and readable from the test's own thread while they run.

#include <mutex>
#include <string>
#include <vector>

namespace velmo_testing {

struct CallRecord {
    mutable std::mutex mutex;   // also guards whatever a stand-in's own record adds
    std::vector<std::string> calls;

    void Add(const std::string& call)
    {
        std::lock_guard<std::mutex> hold(mutex);
        calls.push_back(call);
    }
    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> hold(mutex);
        return calls;
    }
    // How many calls begin with `prefix`.
    size_t Count(const std::string& prefix) const
    {
        std::lock_guard<std::mutex> hold(mutex);
        size_t n = 0;
        for (const auto& call : calls)
            n += call.rfind(prefix, 0) == 0;
        return n;
    }
};

} // namespace velmo_testing
