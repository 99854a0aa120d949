#pragma once
// What the upload tests share: an in-process central server on a loopback port with a temp
// SQLite file, two registered users who may write to each other, and queued files written
// into the outbox the way the queueing leaves them.

#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/GatewayCentralFixture.h"
#include "testing/MailTestSupport.h"

#include "core/CConfig.h"
#include "core/CProtocolListData.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "protocol/CSessionKeyFile.h"
#include "smtp/COutbox.h"

#include <filesystem>
#include <memory>
#include <string>

namespace uploadtest {

using namespace mailtest;

class CentralFixture : public GatewayCentralFixture {
protected:
    // The sending handshake of an SMTP session: session key under 1, Outbox key under 3.
    void Handshake(const User& sender)
    {
        ASSERT_EQ(m_client->Login(kRequestReqTimestamp, sender, {{kKeyNumSession, m_session}, {kKeyNumOutbox, m_outbox}})
                      .size(),
                  1u);
    }

    Recipient Lookup(const User& sender, const User& recipient)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Command", "ReqMsgId");
        document.RootElement().SetAttr("TimeStamp", "1");
        document.RootElement().SetAttr("rcpt", recipient.email.c_str());
        const auto answers = SealedRequest(kRequestReqMsgId, document, sender.id, kKeyNumSession, m_session,
                                           m_client->Server(), m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        if (answers.empty())
            return {};
        const CZelXmlNode root = answers.front().RootElement();
        Recipient found{recipient.email, root.GetAttr("MsgId"), -1, root.GetAttr("n"), root.GetAttr("e")};
        found.userId = std::stoll(root.GetAttr("UserId").ToStd());
        return found;
    }

    // A queued file `number` of `sender` to `recipients` with its list file; its bytes.
    CZelString Queue(const User& sender, int64_t number, const std::vector<Recipient>& recipients, int textBytes = 5000)
    {
        std::string text;
        for (int i = 0; text.size() < static_cast<size_t>(textBytes); ++i)
            text += "Line " + std::to_string(i) + " of the message\r\n";
        const CZelString file = QueuedMessage(sender, kKeyNumOutbox, m_outbox, recipients, CZelString(text.c_str()));
        std::filesystem::create_directories(COutbox::FolderFor(sender.id).ToStd());
        WriteText(COutbox::FilePath(sender.id, number).ToStd(), file.ToStd());
        // The list file adds the names the history records.
        CZelXmlDocument list = RecipientList(recipients);
        for (CZelXmlNode rcpt = list.RootElement().FindChild("rcpt"); !rcpt.IsNull(); rcpt = rcpt.NextSameName()) {
            rcpt.SetAttr("Name", "Test User");
            rcpt.SetAttr("TranslitName", "Test User");
            rcpt.SetAttr("UnicodeName", CZelString("T\0e\0", 4));
        }
        EXPECT_TRUE(list.SaveFile(COutbox::FilePath(sender.id, number) + ".list"));
        return file;
    }

    // The Outbox key file as a session leaves it: the key, its number, the use count.
    void WriteKeyFile(const User& sender, int useCount, bool locked)
    {
        CZelXmlDocument key;
        ASSERT_TRUE(CSessionKeyFile::Renew(key, kKeyNumOutbox));
        key.RootElement().SetAttr(CSessionKeyFile::kSessionKey, m_outbox);
        key.RootElement().SetAttr(CSessionKeyFile::kSessionKeyUseCount, Format("%d", useCount));
        key.RootElement().SetAttr(CSessionKeyFile::kSessionKeyLock, locked ? "1" : "0");
        ASSERT_TRUE(CSessionKeyFile::Save(CSessionKeyFile::OutboxPath(sender.id), key));
    }

    static std::vector<CZelXmlNode> SentEntries(int64_t account) { return HistoryEntries(account, "Sent"); }

    CZelString m_session = MakeSessionKey();
    CZelString m_outbox = MakeSessionKey();
};

} // namespace uploadtest
