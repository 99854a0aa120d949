#pragma once
// A scripted stand-in for the central-server side of a POP3 session: it answers the login
// exchange with the standing a test sets up, removes messages as the real desk does (the
// files go when the server "confirms"), and records every call, so a test sees what the
// session asked for.

#include "foundation/CZelString.h"
#include "pop3/CMailboxFolder.h"
#include "pop3/IPop3Desk.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace pop3_testing {

// What a desk (or several, one per connection) was asked; shared so a listener test can read
// it from its own thread.
struct Pop3DeskRecord {
    mutable std::mutex mutex;
    std::vector<std::string> calls;   // "login <id> <login>", "received <id>", "remove <n>"

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
    size_t Count(const std::string& prefix) const
    {
        std::lock_guard<std::mutex> hold(mutex);
        size_t n = 0;
        for (const auto& call : calls)
            n += call.rfind(prefix, 0) == 0;
        return n;
    }
};

class ScriptedPop3Desk : public IPop3Desk {
public:
    explicit ScriptedPop3Desk(std::shared_ptr<Pop3DeskRecord> record = std::make_shared<Pop3DeskRecord>())
        : m_record(std::move(record))
    {
    }

    CPop3Standing standing{"Authorized", "Normal"};
    // Message numbers whose removal the server refuses.
    std::set<int64_t> refusedRemovals;

    Pop3DeskRecord& Record() { return *m_record; }

    CPop3Standing LogIn(int64_t accountId, const CZelXmlDocument& account) override
    {
        m_accountId = accountId;
        m_record->Add("login " + std::to_string(accountId) + " " + account.RootElement().GetAttr("Login").ToStd());
        return standing;
    }
    void ReportReceived(const CZelString& messageId) override { m_record->Add("received " + messageId.ToStd()); }
    bool RemoveMessage(int64_t number) override
    {
        m_record->Add("remove " + std::to_string(number));
        if (refusedRemovals.count(number))
            return false;
        return CMailboxFolder(m_accountId).Remove(number);
    }

private:
    std::shared_ptr<Pop3DeskRecord> m_record;
    int64_t m_accountId = -1;
};

} // namespace pop3_testing
