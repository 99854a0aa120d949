#pragma once
// A scripted stand-in for the central-server side of a POP3 session: it answers the login
// exchange with the standing a test sets up, removes messages as the real desk does (the
// files go when the server "confirms"), and records every call, so a test sees what the
// session asked for.

#include "foundation/CZelString.h"
#include "foundation/testing/CallRecord.h"
#include "pop3/CMailboxFolder.h"
#include "pop3/IPop3Desk.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pop3_testing {

// What a desk (or several, one per connection) was asked: "login <id> <login>",
// "received <id>", "remove <n>".
using Pop3DeskRecord = velmo_testing::CallRecord;

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
