#pragma once
// What the download tests share: an in-process central server on a loopback port with a temp
// SQLite file, a sender (Alice) and a recipient (Bob) who may write to each other, Bob's
// account file with his private key in the temp working folder, and the steps that put a
// message in Bob's receive queue the way a POP3 login leaves it.

#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/GatewayCentralFixture.h"
#include "testing/MailTestSupport.h"

#include "accounts/CAccountFile.h"
#include "core/CConfig.h"
#include "core/CProtocolListData.h"
#include "core/testing/LogLines.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "pop3/CInboxQueue.h"
#include "protocol/CSessionKeyFile.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace downloadtest {

using namespace mailtest;

using velmo_testing::LogHasLine;

inline std::string MessageText(int bytes, const std::string& head = "From: someone@else.example\r\nSubject: hello\r\n")
{
    std::string text = head + "\r\n";
    for (int i = 0; text.size() < static_cast<size_t>(bytes); ++i)
        text += "line " + std::to_string(i) + " of the message body\r\n";
    return text;
}

class CentralFixture : public GatewayCentralFixture {
protected:
    void SetUp() override
    {
        GatewayCentralFixture::SetUp();
        if (!HasFatalFailure())
            WriteAccountFile(m_bob);
    }

    // The account file as registration leaves it: id, address, names and the key pair.
    static void WriteAccountFile(const User& user)
    {
        CZelXmlDocument account = CAccountFile::NewDocument();
        CZelXmlNode root = account.RootElement();
        root.SetAttr(AccountAttr::kId, Format("%D", user.id));
        root.SetAttr(AccountAttr::kEmail, user.email.c_str());
        root.SetAttr(AccountAttr::kN, user.Keys().n);
        root.SetAttr(AccountAttr::kE, user.Keys().e);
        root.SetAttr(AccountAttr::kD, user.Keys().d);
        ASSERT_TRUE(CAccountFile::Save(CAccountFile::FileNameFor(user.id), account));
    }

    // Alice's message to `recipient`, uploaded whole; its message id.
    CZelString Send(const User& recipient, const std::string& text)
    {
        const CZelString session = MakeSessionKey(), outbox = MakeSessionKey();
        EXPECT_EQ(m_client->Login(kRequestReqTimestamp, m_alice, {{kKeyNumSession, session}, {kKeyNumOutbox, outbox}})
                      .size(),
                  1u);
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Command", "ReqMsgId");
        document.RootElement().SetAttr("TimeStamp", "1");
        document.RootElement().SetAttr("rcpt", recipient.email.c_str());
        const auto answers = SealedRequest(kRequestReqMsgId, document, m_alice.id, kKeyNumSession, session,
                                           m_client->Server(), m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        if (answers.empty())
            return CZelString();
        const CZelXmlNode root = answers.front().RootElement();
        Recipient looked{recipient.email, root.GetAttr("MsgId"), -1, root.GetAttr("n"), root.GetAttr("e")};
        looked.userId = std::stoll(root.GetAttr("UserId").ToStd());
        const CZelString file =
            QueuedMessage(m_alice, kKeyNumOutbox, outbox, {looked}, CZelString(std::string_view(text)));
        EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, outbox, file, 100000), "OK");
        return looked.msgId;
    }

    // A POP3 login's PreLogin: a fresh Inbox key handed to the server under number 4.
    CZelString PreLogin(const User& user)
    {
        const CZelString inbox = MakeSessionKey();
        EXPECT_EQ(m_client->Login(kRequestPreLogin, user, {{kKeyNumSession, MakeSessionKey()}, {kKeyNumInbox, inbox}})
                      .size(),
                  1u);
        return inbox;
    }

    // The Inbox key file as a login leaves it: the key, unlocked, and the queued ids.
    static void WriteInboxKeyFile(const User& user, const CZelString& inbox, const std::vector<CZelString>& ids,
                                  bool locked = false)
    {
        CZelXmlDocument key;
        ASSERT_TRUE(CSessionKeyFile::Renew(key, CInboxQueue::kNewKeyNumber));
        key.RootElement().SetAttr(CSessionKeyFile::kSessionKey, inbox);
        key.RootElement().SetAttr(CSessionKeyFile::kSessionKeyLock, locked ? "1" : "0");
        for (const CZelString& id : ids) {
            CZelXmlElement message(kElementMessage);
            message.SetAttr(kAttrMessageId, id);
            key.RootElement().AddChild(message);
        }
        ASSERT_TRUE(CSessionKeyFile::Save(CSessionKeyFile::InboxPath(user.id), key));
    }

    static std::vector<CZelXmlNode> ReceivedEntries(int64_t account) { return HistoryEntries(account, "Received"); }

    static std::string Stored(const User& user, int64_t number, const char* extension)
    {
        return Format("Accounts/%08D/%D%s", user.id, number, extension).ToStd();
    }

    CProtocolListData m_log;
};

} // namespace downloadtest
