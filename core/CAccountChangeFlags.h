#pragma once
// The account change flags: which accounts changed in a way their owner must act on, as bits
// per account id. A worker ORs its bit in and then notifies the headless gateway's loop
// (CVelmoApp) or the account command that runs the worker (MergeChangedAccounts), which
// drains the map one entry at a time without holding the data lock while it acts, so
// notifications that arrive meanwhile are merged into a fresh entry and never lost.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

class CAccountChangeFlags {
public:
    static constexpr uint32_t kAccountUpdated = 0x01;     // merge the account's list updates
    static constexpr uint32_t kDeliveryReports = 0x02;    // delivery reports recorded
    static constexpr uint32_t kSentRecorded = 0x04;       // sent messages recorded
    static constexpr uint32_t kMessageDownloaded = 0x08;  // a message was downloaded
    static constexpr uint32_t kMessageRetrieved = 0x10;   // the mail client retrieved one
    static constexpr uint32_t kMessageListBits = 0x1E;    // bits that refill the message lists

    // The process-wide flags.
    static CAccountChangeFlags& Global();

    // ORs the bits into the account's entry (creating it), then notifies.
    void Set(int64_t accountId, uint32_t bits);

    // Takes one entry out of the map; false when it is empty.
    bool TakeOne(int64_t& accountId, uint32_t& bits);

    // Takes entries out and hands each to `act` with the lock released, until the map is
    // empty. Returns the number of entries handled. Without `act` the entries are dropped.
    using Action = std::function<void(int64_t accountId, uint32_t bits)>;
    int Drain(const Action& act = {});

    bool IsEmpty();

    // Called after every Set, outside the data lock (the headless gateway wakes its loop here).
    using Notifier = std::function<void()>;
    void SetNotifier(Notifier notifier);

private:
    std::map<int64_t, uint32_t> m_flags;  // guarded by the data lock
    std::mutex m_notifierLock;
    Notifier m_notifier;
};
