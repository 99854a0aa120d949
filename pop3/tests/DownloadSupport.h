#pragma once
// What the download tests share: an in-process central server on a loopback port with a temp
// SQLite file, a sender (Alice) and a recipient (Bob) who may write to each other, Bob's
// account file with his private key in the temp working folder, and the steps that put a
// message in Bob's receive queue the way a POP3 login leaves it.

#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "server/tests/MailTestSupport.h"

#include "accounts/CAccountFile.h"
#include "core/CConfig.h"
#include "core/CProtocolListData.h"
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

// The log lines written since `first`, one text each.
inline std::vector<std::string> LinesFrom(const CProtocolListData& log, int64_t first = 0)
{
    std::vector<std::string> lines;
    CProtocolLine line;
    for (int64_t number = std::max(first, log.FirstLineNumber()); log.LineByNumber(number, &line); ++number)
        lines.push_back(line.text.ToStd());
    return lines;
}

inline bool HasLine(const CProtocolListData& log, const std::string& part)
{
    for (const std::string& line : LinesFrom(log))
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

inline std::string MessageText(int bytes, const std::string& head = "From: someone@else.example\r\nSubject: hello\r\n")
{
    std::string text = head + "\r\n";
    for (int i = 0; text.size() < static_cast<size_t>(bytes); ++i)
        text += "line " + std::to_string(i) + " of the message body\r\n";
    return text;
}

class CentralFixture : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        StartServer();
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        // Bob puts Alice on his list with her code, which puts each on the other's.
        ASSERT_TRUE(m_client->LoginRun(m_bob, kKeyNumContactList));
        const auto answers = m_client->Sealed(26, m_bob, ListDocument({{"+cl", m_alice.email, m_alice.secureCode, true}}),
                                              kKeyNumContactList);
        ASSERT_EQ(answers.size(), 1u);
        CConfig::Global().Set(CConfig::kServer, m_address.server);
        CConfig::Global().Set(CConfig::kUrl, m_address.url);
        CConfig::Global().Set(CConfig::kBlockSize, "1");
        WriteAccountFile(m_bob);
    }

    void TearDown() override
    {
        StopServer();
        CConfig::Global().ResetToDefaults();
    }

    void StartServer()
    {
        const int port = StartInProcessCentral(m_dir.File("central.sqlite3"), m_store, m_server, m_http);
        ASSERT_GT(port, 0);
        m_client = std::make_unique<Client>(port);
        m_address = m_client->Server();
    }

    // The client's kept-alive connection goes first, or the server waits for it to time out.
    void StopServer()
    {
        m_client.reset();
        m_http.reset();
        m_server.reset();
        m_store.reset();
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

    // The `Received` entries of an account's history, in file order.
    static std::vector<CZelXmlNode> ReceivedEntries(int64_t account)
    {
        CZelXmlDocument history;
        EXPECT_TRUE(CMessageHistory::Load(account, history));
        std::vector<CZelXmlNode> entries;
        const CZelXmlNode received = history.RootElement().FindChild("Received");
        for (CZelXmlNode entry = received.FindChild("message"); !entry.IsNull(); entry = entry.NextSameName())
            entries.push_back(entry);
        return entries;
    }

    static std::string Stored(const User& user, int64_t number, const char* extension)
    {
        return Format("Accounts/%08D/%D%s", user.id, number, extension).ToStd();
    }

    TempDir m_dir{"velmo-central"};
    std::unique_ptr<CCentralStore> m_store;
    std::unique_ptr<CCentralServer> m_server;
    std::unique_ptr<CCentralHttpServer> m_http;
    std::unique_ptr<Client> m_client;
    CZelServerAddress m_address;
    User m_alice{"alice@example.org", "alice-code", 0};
    User m_bob{"bob@example.org", "bob-code", 1};
    CProtocolListData m_log;
};

} // namespace downloadtest
