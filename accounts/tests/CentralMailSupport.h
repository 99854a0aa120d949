#pragma once
// What the tests of the account workers against the real central server share: the
// `velmo-central` program as a child process, account files written as the gateway keeps them
// for users registered over HTTP, and a message from one user to another that the recipient's
// mail client took (so the sender's next login exchange sees it delivered).

#include "accounts/CAccountFile.h"
#include "foundation/testing/ChildProcess.h"
#include "server/CCentralCommand.h"
#include "testing/MailTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>

namespace accountstest {

// The central server as a child process; its port is read from its "listening on" line.
class CentralProcess {
public:
    CentralProcess(const std::string& program, const std::string& databaseFile)
        : m_process(program, {"--listen", "127.0.0.1:0", "--db", databaseFile})
    {
        m_port = ReadPort();
    }
    ~CentralProcess()
    {
        // A clean stop first, so the database is closed as in real use; killed after 10 s.
        m_process.Signal(SIGTERM);
        m_process.Wait(10000);
    }
    int Port() const { return m_port; }

private:
    int ReadPort()
    {
        std::string line;
        while (m_process.ReadLine(line, 20000))
            if (line.rfind(kCentralListeningLine, 0) == 0)
                return std::stoi(line.substr(line.rfind(':') + 1));
        return 0;
    }

    velmo_testing::ChildProcess m_process;
    int m_port = 0;
};

// The user's account file "%08D.xml" in `folder` (the working folder when empty) with the level
// the server last announced, and the user's keys unless `withKeys` is false.
inline void WriteAccountFile(const mailtest::User& user, const char* level, bool withKeys = true,
                             const std::string& folder = std::string())
{
    CZelXmlDocument account = CAccountFile::NewDocument();
    CZelXmlNode root = account.RootElement();
    root.SetAttr(AccountAttr::kId, Format("%D", user.id));
    root.SetAttr(AccountAttr::kLogin, user.email.substr(0, user.email.find('@')).c_str());
    root.SetAttr(AccountAttr::kPassword, "pw");
    root.SetAttr(AccountAttr::kEmail, user.email.c_str());
    root.SetAttr(AccountAttr::kUserLevel, level);
    if (withKeys) {
        root.SetAttr(AccountAttr::kN, user.Keys().n);
        root.SetAttr(AccountAttr::kE, user.Keys().e);
        root.SetAttr(AccountAttr::kD, user.Keys().d);
    }
    const CZelString name = CAccountFile::FileNameFor(user.id);
    ASSERT_TRUE(CAccountFile::Save(folder.empty() ? name : CZelString((folder + "/" + name.ToStd()).c_str()), account));
}

// `recipient` lets `sender` write: its "+cl" with the sender's code.
inline void AllowSender(mailtest::Client& client, mailtest::User& recipient, const mailtest::User& sender)
{
    ASSERT_TRUE(client.LoginRun(recipient, kKeyNumContactList));
    ASSERT_EQ(client.Sealed(kRequestContactList, recipient,
                            mailtest::ListDocument({{"+cl", sender.email, sender.secureCode, true}}), kKeyNumContactList)
                  .size(),
              1u);
}

// A message from `sender` to `recipient`, uploaded, then taken by the recipient's mail client
// (the received report sets its delivery time); its message id, "" on failure.
inline CZelString SendDeliveredMessage(mailtest::Client& client, const mailtest::User& sender,
                                       const mailtest::User& recipient)
{
    const CZelString session = MakeSessionKey(), outbox = MakeSessionKey();
    EXPECT_EQ(client.Login(kRequestReqTimestamp, sender, {{kKeyNumSession, session}, {kKeyNumOutbox, outbox}}).size(),
              1u);
    CZelXmlDocument lookup;
    lookup.Create("doc", "Root");
    lookup.RootElement().SetAttr("Command", "ReqMsgId");
    lookup.RootElement().SetAttr("TimeStamp", "1");
    lookup.RootElement().SetAttr("rcpt", recipient.email.c_str());
    const auto found = SealedRequest(kRequestReqMsgId, lookup, sender.id, kKeyNumSession, session, client.Server(),
                                     client.Connection(), kHttpWriteTimeoutMs);
    if (found.size() != 1 || found.front().RootElement().GetAttr("MsgId").IsEmpty()) {
        ADD_FAILURE() << "no message id for " << recipient.email;
        return CZelString();
    }
    const CZelXmlNode root = found.front().RootElement();
    const mailtest::Recipient target{recipient.email, root.GetAttr("MsgId"), std::stoll(root.GetAttr("UserId").ToStd()),
                                     root.GetAttr("n"), root.GetAttr("e")};
    const CZelString file = mailtest::QueuedMessage(sender, kKeyNumOutbox, outbox, {target},
                                                    Format("From: %s\r\nSubject: buy now\r\n\r\ncheap pills\r\n",
                                                           sender.email.c_str()));
    EXPECT_EQ(mailtest::UploadAll(client, sender, kKeyNumOutbox, outbox, file, 1000), "OK");

    const CZelString recipientSession = MakeSessionKey();
    EXPECT_EQ(client.Login(kRequestPreLogin, recipient, {{kKeyNumSession, recipientSession}, {kKeyNumInbox, MakeSessionKey()}})
                  .size(),
              1u);
    CZelXmlDocument received;
    received.Create("doc", "Root");
    received.RootElement().SetAttr("MessageId", target.msgId);
    EXPECT_EQ(SealedRequest(kRequestReceived, received, recipient.id, kKeyNumSession, recipientSession, client.Server(),
                            client.Connection(), kHttpWriteTimeoutMs)
                  .size(),
              1u);
    return target.msgId;
}

// The user's standing as the server announces it at a login.
inline std::string LevelAtLogin(mailtest::Client& client, mailtest::User& user)
{
    user.sessionKey = MakeSessionKey();
    const auto answers = client.Login(kRequestReqTimestamp, user, {{kKeyNumAccountRun, user.sessionKey}});
    return answers.empty() ? std::string() : answers.front().RootElement().FindChild("Updates").GetAttr("UserLevel").ToStd();
}

} // namespace accountstest
