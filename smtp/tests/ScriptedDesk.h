#pragma once
// A scripted stand-in for the central-server side of an SMTP session: it answers the
// handshake and the lookups as a test sets them up and records every call, so a test sees
// what the session asked for and what it handed over.

#include "foundation/CZelString.h"
#include "foundation/testing/CallRecord.h"
#include "smtp/ISmtpMailDesk.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace smtp_testing {

// What a desk (or several, one per connection) was asked ("handshake ...", "lookup ...",
// "queue ...", "release") and the messages it was handed, under the record's mutex.
struct DeskRecord : velmo_testing::CallRecord {
    std::vector<std::string> messages;       // queued texts (only those up to kKeptMessageBytes)
    std::vector<size_t> messageSizes;
};

inline constexpr size_t kKeptMessageBytes = 1 << 20;

inline CSmtpRecipient Recipient(const std::string& address, const std::string& msgId)
{
    CSmtpRecipient r;
    r.address = CZelString(address);
    r.msgId = CZelString(msgId);
    r.n = "\x01\x02\x03";
    r.e = "\x03";
    r.userId = "42";
    r.name = "Name";
    return r;
}

class ScriptedDesk : public ISmtpMailDesk {
public:
    explicit ScriptedDesk(std::shared_ptr<DeskRecord> record = std::make_shared<DeskRecord>())
        : m_record(std::move(record))
    {
    }

    ESmtpHandshake handshake = ESmtpHandshake::Done;
    CZelString operatedStatus = "Normal";
    // Lookups by address; an address not listed is accepted with message id "1.<n>".
    std::map<std::string, CSmtpLookup> lookups;
    ESmtpQueue queueResult = ESmtpQueue::Queued;

    DeskRecord& Record() { return *m_record; }

    ESmtpHandshake Handshake(int64_t accountId, const CZelString& login, const CZelString& password,
                             CZelString& status) override
    {
        m_record->Add("handshake " + std::to_string(accountId) + " " + login.ToStd() + " " + password.ToStd());
        status = operatedStatus;
        return handshake;
    }
    CSmtpLookup LookupRecipient(const CZelString& address) override
    {
        m_record->Add("lookup " + address.ToStd());
        const auto found = lookups.find(address.ToStd());
        if (found != lookups.end())
            return found->second;
        CSmtpLookup accepted;
        accepted.kind = CSmtpLookup::Kind::Accepted;
        accepted.recipient = Recipient(address.ToStd(), "1." + std::to_string(++m_ids));
        return accepted;
    }
    ESmtpQueue QueueMessage(const CSmtpRecipients& recipients, std::string& message) override
    {
        std::string call = "queue";
        for (const auto& r : recipients)
            call += " " + r.address.ToStd();
        m_record->Add(call);
        std::lock_guard<std::mutex> hold(m_record->mutex);
        m_record->messageSizes.push_back(message.size());
        if (message.size() <= kKeptMessageBytes)
            m_record->messages.push_back(message);
        return queueResult;
    }
    void ReleaseOutboxKey() override { m_record->Add("release"); }

private:
    std::shared_ptr<DeskRecord> m_record;
    int m_ids = 0;
};

} // namespace smtp_testing
