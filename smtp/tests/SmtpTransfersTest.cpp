// The upload loop on its own thread against the real central server in-process.

#include "UploadSupport.h"

#include "core/CZelStartServerThread.h"
#include "core/testing/ServiceLoop.h"
#include "foundation/testing/Eventually.h"
#include "smtp/CSmtpTransfers.h"
#include "testing/SocketsEnvironment.h"

#include <thread>

using namespace uploadtest;
using velmo_testing::Eventually;

namespace {

class SmtpTransfersTest : public CentralFixture {
protected:
    void TearDown() override
    {
        StopLoop();
        CentralFixture::TearDown();
    }

    void StartLoop()
    {
        // An account file: the loop finds accounts by their files' names.
        WriteText(Format("%08D.xml", m_alice.id).ToStd(), "<Root/>");
        m_loop.Start([this](CZelStartServerThread& service) { StartSmtpTransfers(service); });
    }

    void StopLoop() { m_loop.Stop(); }

    velmo_testing::ServiceLoop m_loop{CZelStartServerThread::kModeSmtpTransfers};
};

TEST_F(SmtpTransfersTest, QueuedFilesGoInNumberOrderAndTheUnusedKeyFileGoes)
{
    Handshake(m_alice);
    const Recipient first = Lookup(m_alice, m_bob);
    const Recipient second = Lookup(m_alice, m_bob);
    Queue(m_alice, 10, {second});
    Queue(m_alice, 9, {first});
    WriteKeyFile(m_alice, 2, false);

    StartLoop();
    const std::string keyPath = CSessionKeyFile::OutboxPath(m_alice.id).ToStd();
    ASSERT_TRUE(Eventually([&] { return !Exists(keyPath); }));

    const std::vector<CZelXmlNode> sent = SentEntries(m_alice.id);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].GetAttr("MessageId"), first.msgId);
    EXPECT_EQ(sent[1].GetAttr("MessageId"), second.msgId);
    for (int number : {9, 10}) {
        EXPECT_FALSE(Exists(COutbox::FilePath(m_alice.id, number).ToStd()));
        EXPECT_FALSE(Exists((COutbox::FilePath(m_alice.id, number) + ".list").ToStd()));
    }
}

TEST_F(SmtpTransfersTest, AKeyFileASessionHoldsStays)
{
    Handshake(m_alice);
    Queue(m_alice, 1, {Lookup(m_alice, m_bob)});
    WriteKeyFile(m_alice, 1, true);

    StartLoop();
    ASSERT_TRUE(Eventually([&] { return !Exists(COutbox::FilePath(m_alice.id, 1).ToStd()); }));
    StopLoop();
    CZelXmlDocument key;
    ASSERT_TRUE(CSessionKeyFile::Load(CSessionKeyFile::OutboxPath(m_alice.id), key));
    EXPECT_EQ(CSessionKeyFile::UseCount(key), 0);
}

TEST_F(SmtpTransfersTest, AStopRequestEndsThePauseAfterAFailedUpload)
{
    Handshake(m_alice);
    Queue(m_alice, 1, {Lookup(m_alice, m_bob)});
    WriteKeyFile(m_alice, 1, false);
    StopServer();

    const int64_t before = SmtpLog().FirstLineNumber() + SmtpLog().Count();
    StartLoop();
    // The failed upload is logged; the loop then waits out its pause.
    ASSERT_TRUE(Eventually([&] {
        CProtocolLine line;
        for (int64_t number = before; SmtpLog().LineByNumber(number, &line); ++number)
            if (line.text.ToStd().find("fhttp.") != std::string::npos)
                return true;
        return false;
    }));
    m_loop.Service().SignalStop();
    EXPECT_TRUE(Eventually([&] { return m_loop.Ended(); }, std::chrono::milliseconds(30000)));
    StopLoop();
    EXPECT_TRUE(Exists(COutbox::FilePath(m_alice.id, 1).ToStd()));
    EXPECT_TRUE(Exists(CSessionKeyFile::OutboxPath(m_alice.id).ToStd()));
}

} // namespace
