#pragma once
// The POP3 side against the real central server: the server in this process on a free
// loopback port with its own SQLite file, three registered users, and Alice's account file in
// a temporary working directory as the gateway keeps it. Bob and Alice stand on each other's
// contact lists, so either may write to the other.

#include "accounts/CAccountFile.h"
#include "core/CAccountChangeFlags.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelFile.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "pop3/CInboxQueue.h"
#include "pop3/CPop3CentralDesk.h"
#include "protocol/CSessionKeyFile.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"

#include "testing/GatewayCentralFixture.h"
#include "testing/MailTestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace pop3test {

using namespace mailtest;

// One user's keys at the server, as a gateway hands them over.
struct Keys {
    CZelString session = MakeSessionKey();
    CZelString outbox = MakeSessionKey();
    CZelString inbox = MakeSessionKey();
};

// An account file "%08D.xml" numbered `fileId` whose `Id` and private key are given.
inline void WriteAccountFile(int64_t fileId, const CZelString& idText, const velmo_testing::TestKeyPair& keys)
{
    CZelXmlDocument account = CAccountFile::NewDocument();
    CZelXmlNode root = account.RootElement();
    root.SetAttr(AccountAttr::kId, idText);
    root.SetAttr(AccountAttr::kLogin, "alice");
    root.SetAttr(AccountAttr::kPassword, "secret");
    root.SetAttr(AccountAttr::kN, keys.n);
    root.SetAttr(AccountAttr::kE, keys.e);
    root.SetAttr(AccountAttr::kD, keys.d);
    ASSERT_TRUE(CAccountFile::Save(CAccountFile::FileNameFor(fileId), account));
}

inline CZelXmlDocument AccountFile(int64_t fileId)
{
    CZelXmlDocument account;
    EXPECT_TRUE(CAccountFile::Load(CAccountFile::FileNameFor(fileId), account));
    return account;
}

class Pop3CentralFixture : public InProcessCentralThreeUsersFixture {
protected:
    void SetUp() override
    {
        InProcessCentralThreeUsersFixture::SetUp();
        if (HasFatalFailure())
            return;
        WriteAccountFile(m_alice.id, Format("%D", m_alice.id), m_alice.Keys());
        CAccountChangeFlags::Global().Drain();
        CInboxQueue::DownloadEvent().Wait(0);
    }

    CZelServerAddress Server() const { return m_client->Server(); }

    // A desk of Alice's that went through the login exchange.
    std::unique_ptr<CPop3CentralDesk> LoggedIn(CPop3Standing* standing = nullptr)
    {
        auto desk = std::make_unique<CPop3CentralDesk>(Server(), m_log);
        const CPop3Standing got = desk->LogIn(m_alice.id, AccountFile(m_alice.id));
        if (standing)
            *standing = got;
        return desk;
    }

    // A message from `from` to `to`, queued at the server as the outbox uploads it; its id.
    CZelString Send(const User& from, const Keys& keys, const User& to, const char* text = "Subject: hi\r\n\r\nHi.\r\n")
    {
        EXPECT_EQ(m_client->Login(kRequestReqTimestamp, from, {{kKeyNumSession, keys.session}, {kKeyNumOutbox, keys.outbox}})
                      .size(),
                  1u);
        CZelXmlDocument lookup;
        lookup.Create("doc", "Root");
        lookup.RootElement().SetAttr(kAttrCommand, kCommandReqMsgId);
        lookup.RootElement().SetAttr(kAttrTimeStamp, "1");
        lookup.RootElement().SetAttr(kAttrRcpt, to.email.c_str());
        const auto answers = SealedRequest(kRequestReqMsgId, lookup, from.id, kKeyNumSession, keys.session, Server(),
                                           m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        if (answers.empty())
            return CZelString();
        const CZelXmlNode root = answers.front().RootElement();
        Recipient recipient{to.email, root.GetAttr(kAttrMsgId), to.id, root.GetAttr(kAttrN), root.GetAttr(kAttrE)};
        const CZelString file = QueuedMessage(from, kKeyNumOutbox, keys.outbox, {recipient}, text);
        EXPECT_EQ(UploadAll(*m_client, from, kKeyNumOutbox, keys.outbox, file, 100000), "OK");
        return recipient.msgId;
    }

    // A request of `user` sealed under the session key handed over by a PreLogin of its own.
    CZelXmlDocument SessionRequest(uint32_t type, const User& user, const Keys& keys, const char* attribute,
                                   const CZelString& value, bool logIn = true)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        if (logIn) {
            const auto answers = m_client->Login(kRequestPreLogin, user,
                                                 {{kKeyNumSession, keys.session}, {kKeyNumInbox, keys.inbox}});
            EXPECT_EQ(answers.size(), 1u);
            if (!answers.empty())
                document.RootElement().SetAttr(kAttrSeed, answers.front().RootElement().GetAttr(kAttrSeed));
        }
        document.RootElement().SetAttr(attribute, value);
        const auto answers = SealedRequest(type, document, user.id, kKeyNumSession, keys.session, Server(),
                                           m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CZelXmlDocument() : answers.front();
    }

    // The Seed answer a user's own login gets, asking for every report.
    CZelXmlDocument SeedOf(const User& user, const Keys& keys)
    {
        return SessionRequest(kRequestSeed, user, keys, kAttrLastDeliveredTimeStamp, "0");
    }

    static std::vector<std::string> ChildIds(const CZelXmlNode& parent, const char* element, const char* attribute)
    {
        std::vector<std::string> ids;
        for (CZelXmlNode node = parent.FindChild(element); !node.IsNull(); node = node.NextSameName())
            ids.push_back(node.GetAttr(attribute).ToStd());
        return ids;
    }

    CZelString KeyPath() const { return CSessionKeyFile::InboxPath(m_alice.id); }
    CZelXmlDocument KeyFile() const
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CSessionKeyFile::Load(KeyPath(), document));
        return document;
    }
    // The ids in Alice's receive queue, in file order; none when there is no key file.
    std::vector<std::string> Queued() const
    {
        CZelXmlDocument document;
        if (!CSessionKeyFile::Load(KeyPath(), document))
            return {};
        return ChildIds(document.RootElement(), kElementMessage, kAttrMessageId);
    }

    CZelXmlNode SentSection() const
    {
        CZelXmlDocument history;
        EXPECT_TRUE(CMessageHistory::Load(m_alice.id, history));
        return history.RootElement().FindChild(CMessageHistory::kSectionSent);
    }

    std::string Log() const { return m_log.SaveText().ToStd(); }
    // The log holds the line (its own line end aside).
    bool Logged(std::string line) const
    {
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        return Log().find(line) != std::string::npos;
    }

    Keys m_aliceKeys, m_bobKeys;
    CProtocolListData m_log;
};

} // namespace pop3test
