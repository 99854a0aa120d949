// A process killed outright (SIGKILL: no handler, nothing flushed) at the moments that matter
// on a message's road, then started again on the same files:
// - the gateway right after it answered "250 OK: queued as" (the queued file is all it has);
// - the gateway while the message is half uploaded;
// - the gateway while the recipient's download file holds part of the message;
// - the central server while the message is half uploaded;
// - the central server while the message is half downloaded.
// After the restart the message reaches the recipient's POP3 mailbox exactly once with its
// text intact, the sender's history has one `Sent` entry for it, and the central server holds
// no second copy.
//
// Small blocks make every transfer long enough to be cut in the middle; the gateway runs with
// VELMO_UPLOAD_RETRY_MS and VELMO_DOWNLOAD_RETRY_MS shortening its pauses after a failed try.

#include "e2e/PopClients.h"
#include "e2e/TransferProbes.h"

#include <gtest/gtest.h>

#include <regex>

namespace e2e {
namespace {

constexpr int kBlockSizeKb = 4;
constexpr char kFastRetries[] = "VELMO_UPLOAD_RETRY_MS=500 VELMO_DOWNLOAD_RETRY_MS=1000";
constexpr size_t kBodyBytes = 1024 * 1024;

enum class Victim { Gateway, Central };
enum class Moment { AfterQueued, DuringUpload, DuringDownload };

struct CrashPoint {
    const char* name;
    Victim victim;
    Moment moment;
};

void PrintTo(const CrashPoint& point, std::ostream* out) { *out << point.name; }


int64_t SizeOf(const fs::path& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<int64_t>(size);
}

// The largest download file of the account, "" when there is none.
fs::path LargestDownload(const MailWorld& world, const MailUser& user)
{
    fs::path largest;
    for (const fs::path& file : world.DownloadFiles(user))
        if (largest.empty() || SizeOf(file) > SizeOf(largest))
            largest = file;
    return largest;
}


// The value of a header field of a received text ("" when missing).
std::string HeaderField(const std::string& text, const std::string& name)
{
    const std::regex field("(^|\r\n)" + name + ": ([^\r\n]*)");
    std::smatch match;
    const std::string header = text.substr(0, text.find("\r\n\r\n"));
    return std::regex_search(header, match, field) ? match[2].str() : "";
}

class CrashSafetyTest : public ::testing::TestWithParam<CrashPoint> {
protected:
    void Kill(Victim victim)
    {
        if (victim == Victim::Gateway) {
            world.KillGateway();
        } else {
            centralPort = world.CentralPort();
            world.KillCentral();
        }
    }
    void Restart(Victim victim)
    {
        if (victim == Victim::Gateway) {
            ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
        } else {
            world.StartCentral(centralPort);
            ASSERT_EQ(world.CentralPort(), centralPort);
        }
    }
    bool Hits(Moment moment) const { return GetParam().moment == moment; }

    // Sends the text from ann to bob; kills and restarts at the upload's crash points.
    void SendThroughTheCrash()
    {
        const fs::path file = world.Root() / "message.eml";
        velmo_testing::WriteFileText(file, text);
        const ClientRun run = SendWith(MailClient::Python, world, world.ann, world.bob.email, file);
        ASSERT_NE(QueuedReply(run.transcript), "") << run.transcript << world.GatewayOutput();
        if (Hits(Moment::AfterQueued)) {
            Kill(GetParam().victim);
            EXPECT_TRUE(world.SentEntries(world.ann).empty()) << "sent before the kill: the kill came too late";
            EXPECT_EQ(world.QueuedFiles(world.ann).size(), 1u) << "the queued file is not on disk";
            ASSERT_NO_FATAL_FAILURE(Restart(GetParam().victim));
        } else if (Hits(Moment::DuringUpload)) {
            std::string progress;
            ASSERT_TRUE(Eventually([&] {
                progress = UploadProgress(world);
                return !progress.empty() && progress.rfind("0|", 0) != 0;
            })) << world.GatewayOutput();
            Kill(GetParam().victim);
            const std::string atKill = UploadProgress(world);
            ASSERT_EQ(atKill.substr(atKill.find('|')), "|0") << "the upload ended before the kill: " << atKill;
            ASSERT_NO_FATAL_FAILURE(Restart(GetParam().victim));
        }
        ASSERT_TRUE(Eventually([&] { return world.QueuedFiles(world.ann).empty() && !world.SentEntries(world.ann).empty(); },
                               std::chrono::minutes(3)))
            << world.GatewayOutput();
        ASSERT_EQ(world.SentEntries(world.ann).size(), 1u) << world.GatewayOutput();
        id = world.SentEntries(world.ann).begin()->first;
    }

    // Bob's login queues the message; kills and restarts at the download's crash point, then
    // waits until the message is stored and no download file is left.
    void DownloadThroughTheCrash()
    {
        const ClientRun login = Poplib(world, world.bob, {"quit"});
        ASSERT_TRUE(HasLine(login.transcript, "pass +OK mailbox locked and ready")) << login.transcript;
        size_t logAtKill = 0;
        int64_t heldAtKill = 0;
        if (Hits(Moment::DuringDownload)) {
            fs::path download;
            ASSERT_TRUE(Eventually(
                [&] {
                    download = LargestDownload(world, world.bob);
                    return SizeOf(download) > 8 + 64 * 1024;
                },
                std::chrono::minutes(3)))
                << world.GatewayOutput();
            Kill(GetParam().victim);
            logAtKill = GatewayLog().size();
            heldAtKill = SizeOf(download) - 8;
            ASSERT_GT(heldAtKill, 0);
            ASSERT_LT(heldAtKill, static_cast<int64_t>(text.size())) << "the download ended before the kill";
            EXPECT_TRUE(world.StoredMessages(world.bob).empty());
            ASSERT_NO_FATAL_FAILURE(Restart(GetParam().victim));
        }
        // No second login: the restarted gateway (or the download's own retry) goes on with
        // what the queue holds.
        ASSERT_TRUE(Eventually(
            [&] { return world.StoredMessages(world.bob).size() == 1 && world.DownloadFiles(world.bob).empty(); },
            std::chrono::minutes(5)))
            << world.GatewayOutput();
        if (Hits(Moment::DuringDownload)) {
            // The part held at the kill is kept: the download goes on from there.
            const std::vector<int64_t> held = HeldInProgressLines(GatewayLog().substr(logAtKill));
            ASSERT_FALSE(held.empty()) << world.GatewayOutput();
            for (int64_t bytes : held)
                EXPECT_GE(bytes, heldAtKill) << "the download started again below what it held";
        }
    }

    // The gateway's standard output over all its runs.
    std::string GatewayLog() const { return ReadFileText(world.Root() / "gateway.out"); }

    MailWorld world{kBlockSizeKb, kFastRetries};
    const std::string text = MessageText("sent through a crash", true, kBodyBytes);
    int centralPort = -1;
    std::string id;
};

TEST_P(CrashSafetyTest, MessageArrivesExactlyOnceWithItsTextIntact)
{
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    ASSERT_NO_FATAL_FAILURE(SendThroughTheCrash());
    ASSERT_NO_FATAL_FAILURE(DownloadThroughTheCrash());

    const fs::path received = world.Root() / "received.eml";
    const ClientRun run = Poplib(world, world.bob, {"stat", "retr:1:" + received.string(), "quit"});
    EXPECT_EQ(LinesStarting(run.transcript, "stat ").size(), 1u) << run.transcript;
    EXPECT_EQ(LinesStarting(run.transcript, "stat 1 ").size(), 1u) << "not exactly one message\n" << run.transcript;
    const std::string got = ReadFileText(received);
    EXPECT_EQ(HeaderField(got, "Velmo-Message-ID"), id);
    EXPECT_TRUE(Trimmed(got) == Trimmed(AsReceived(text, world.ann, id)))
        << "the message served differs from the one sent\n"
        << run.transcript;
    EXPECT_EQ(world.SentEntryCount(world.ann, id), 1) << world.GatewayOutput();
    EXPECT_EQ(world.StoredIds(world.bob), std::vector<std::string>{id});

    // Whatever the central server still lists for bob is this message, never a second copy.
    for (const std::string& waiting : world.ViewOf(world.bob).WaitingMessages())
        EXPECT_EQ(waiting, id) << "the central server holds another message";
}

INSTANTIATE_TEST_SUITE_P(
    Points, CrashSafetyTest,
    ::testing::Values(CrashPoint{"GatewayAfterQueued", Victim::Gateway, Moment::AfterQueued},
                      CrashPoint{"GatewayDuringDownload", Victim::Gateway, Moment::DuringDownload},
                      CrashPoint{"GatewayDuringUpload", Victim::Gateway, Moment::DuringUpload},
                      CrashPoint{"CentralDuringUpload", Victim::Central, Moment::DuringUpload},
                      CrashPoint{"CentralDuringDownload", Victim::Central, Moment::DuringDownload}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
