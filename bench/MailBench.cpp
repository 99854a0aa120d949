// Mail on this machine, through the real programs of the end-to-end tests (the headless
// `velmo` gateway and `velmo-central`, on free loopback ports, with registered accounts on
// each other's contact lists), one 20 MB message at a time. Outgoing:
//   RATIO smtp_queue_20MB   one CFB pass over 20 MB / the time from the end of DATA to
//                           "250 OK: queued as" (one keyed hash and one CFB pass: near 0.5 is
//                           the limit)
//   RATIO upload_20MB       one CFB pass over 20 MB / the time from "queued" to the server's final
//                           OK (the queued file gone from the outbox and its `Sent` entry written)
//   MEM smtp_peak_20MB      the gateway's peak resident memory (VmHWM) in MB over the whole run
// Incoming:
//   RATIO download_20MB     one CFB pass over 20 MB / the time from the server holding the message
//                           (uploaded) to the message being stored: the recipient's POP3 login
//                           that queues it, the block download, the checks and the storing
//   RATIO retr_20MB         the time to read the stored file through a plain loopback socket / the
//                           time of RETR through the POP3 server (command to the final ".")
//   RATIO retr_20MB_tls     the time of RETR in the clear / the time of the same RETR on a
//                           connection protected with STLS (the cost of TLS on the biggest answer)
//   MEM pop3_peak_20MB      the gateway's peak resident memory in MB while it downloads and serves
//                           (the peak is reset once the message is uploaded, before each download)
#include "bench/BenchLineClient.h"
#include "bench/BenchMain.h"
#include "bench/GostYardstick.h"
#include "e2e/MailClients.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

using velmo_bench::ConnectLoopback;
using velmo_bench::LineClient;

using Clock = std::chrono::steady_clock;
constexpr size_t kMessageBytes = 20 * 1024 * 1024;

std::string Base64(const std::string& bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[at]) << 16;
        if (at + 1 < bytes.size())
            group |= static_cast<uint8_t>(bytes[at + 1]) << 8;
        if (at + 2 < bytes.size())
            group |= static_cast<uint8_t>(bytes[at + 2]);
        out += digits[group >> 18 & 63];
        out += digits[group >> 12 & 63];
        out += at + 1 < bytes.size() ? digits[group >> 6 & 63] : '=';
        out += at + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}

struct MailTimes {
    double queueSeconds = 0;
    double uploadSeconds = 0;
};

// The world made once for the whole program: setting it up costs key generation and
// registrations that are no part of the figures. Its programs are stopped at exit.
e2e::MailWorld& World()
{
    static const std::unique_ptr<e2e::MailWorld> world = [] {
        auto made = std::make_unique<e2e::MailWorld>(5000);
        if (!made->Ready() || !made->StartGateway())
            throw std::runtime_error("the mail world did not start:\n" + made->GatewayOutput());
        return made;
    }();
    return *world;
}

MailTimes SendOne(e2e::MailWorld& world, const std::string& text)
{
    const size_t sentBefore = world.SentEntries(world.ann).size();
    LineClient smtp(world.SmtpPort());
    smtp.Reply();
    smtp.Command("EHLO bench");
    std::string plain = std::string(1, '\0') + world.ann.login + '\0' + e2e::kPassword;
    if (smtp.Command("AUTH PLAIN " + Base64(plain)).rfind("235", 0) != 0)
        throw std::runtime_error("login refused");
    smtp.Command("MAIL FROM:<" + world.ann.email + ">");
    if (smtp.Command("RCPT TO:<" + world.bob.email + ">").rfind("250", 0) != 0)
        throw std::runtime_error("recipient refused");
    smtp.Command("DATA");
    smtp.Send(text);
    const auto endOfData = Clock::now();
    const std::string queued = smtp.Command(".");
    const auto queuedAt = Clock::now();
    if (e2e::QueuedReply(queued).empty())
        throw std::runtime_error("not queued: " + queued);
    smtp.Command("QUIT");
    // Uploaded when the outbox is empty and the history holds the new entry; polled finely
    // enough that the poll is lost in a transfer of seconds.
    while (!world.QueuedFiles(world.ann).empty() || world.SentEntries(world.ann).size() == sentBefore)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto sentAt = Clock::now();
    return {std::chrono::duration<double>(queuedAt - endOfData).count(),
            std::chrono::duration<double>(sentAt - queuedAt).count()};
}

const std::string& Message()
{
    static const std::string text = e2e::MessageText("bench", false, kMessageBytes);
    return text;
}

void SmtpQueueOurs(benchmark::State& state)
{
    for (auto _ : state)
        state.SetIterationTime(SendOne(World(), Message()).queueSeconds);
}

void UploadOurs(benchmark::State& state)
{
    for (auto _ : state)
        state.SetIterationTime(SendOne(World(), Message()).uploadSeconds);
}

// The yardstick of both figures: one CFB pass over 20 MB, in place as the queueing does it.
void CfbPass(benchmark::State& state) { velmo_bench::CfbPassInPlace(state, kMessageBytes); }

// VmHWM of the gateway, in MB.
double GatewayPeakMb()
{
    std::ifstream status("/proc/" + std::to_string(World().Gateway().Pid()) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return -1;
}

void PeakMemory(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(World().SmtpPort());
    char line[64];
    std::snprintf(line, sizeof line, "MEM smtp_peak_20MB %.1f", GatewayPeakMb());
    velmo_bench::AddFigureLine(line);
}

// --- incoming mail ---

// A POP3 session of bob, logged in (the login exchange included); with `tls`, after STLS,
// trusting only the gateway's own certificate.
class PopSession {
public:
    explicit PopSession(e2e::MailWorld& world, bool tls = false) : m_line(world.Pop3Port())
    {
        m_line.Line();
        if (tls) {
            m_line.Send("STLS\r\n");
            const std::string begin = m_line.Line();
            if (begin.rfind("+OK", 0) != 0)
                throw std::runtime_error("STLS refused: " + begin);
            m_line.StartTls(CTlsContext::Client((world.Home() / "local-tls.crt").string()), "localhost");
        }
        m_line.Send("USER " + world.bob.login + "\r\n");
        m_line.Line();
        m_line.Send(std::string("PASS ") + e2e::kPassword + "\r\n");
        const std::string ready = m_line.Line();
        if (ready.rfind("+OK", 0) != 0)
            throw std::runtime_error("POP3 login refused: " + ready);
    }
    ~PopSession()
    {
        try {
            m_line.Send("QUIT\r\n");
            m_line.Line();
        } catch (const std::exception&) {
        }
    }
    // The whole RETR answer; its size in bytes.
    size_t Retrieve(int number)
    {
        m_line.Send("RETR " + std::to_string(number) + "\r\n");
        const std::string reply = m_line.Line();
        if (reply.rfind("+OK", 0) != 0)
            throw std::runtime_error("RETR refused: " + reply);
        return m_line.MultiLine();
    }

private:
    LineClient m_line;
};

// Bob's stored messages and download files; stored when there are more of the first and
// none of the second.
bool StoredMore(e2e::MailWorld& world, size_t before)
{
    return world.StoredMessages(world.bob).size() > before && world.DownloadFiles(world.bob).empty();
}

// Resets the gateway's peak resident memory, so the incoming figure is its own.
void ResetGatewayPeak()
{
    std::ofstream clear("/proc/" + std::to_string(World().Gateway().Pid()) + "/clear_refs");
    clear << "5";
}

void DownloadOurs(benchmark::State& state)
{
    e2e::MailWorld& world = World();
    for (auto _ : state) {
        SendOne(world, Message());
        const size_t before = world.StoredMessages(world.bob).size();
        ResetGatewayPeak();
        const auto held = Clock::now();
        PopSession{world};   // the login queues the message
        while (!StoredMore(world, before))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - held).count());
    }
}

void TimeRetrieval(benchmark::State& state, bool tls)
{
    PopSession session(World(), tls);
    for (auto _ : state) {
        const auto asked = Clock::now();
        benchmark::DoNotOptimize(session.Retrieve(1));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - asked).count());
    }
}

void RetrOurs(benchmark::State& state) { TimeRetrieval(state, false); }
void RetrOursUnderTls(benchmark::State& state) { TimeRetrieval(state, true); }

// The yardstick of RETR: the stored file read from disk and passed through a plain loopback
// socket to a reader that takes it all.
void RetrTheirs(benchmark::State& state)
{
    e2e::MailWorld& world = World();
    const auto files = world.StoredMessages(world.bob);
    if (files.empty())
        throw std::runtime_error("no stored message to read");
    const std::string path = files.front().string();
    for (auto _ : state) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const auto start = Clock::now();
        std::thread sender([&] {
            const int peer = accept(listener, nullptr, nullptr);
            std::ifstream in(path, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            for (size_t sent = 0; sent < text.size();) {
                const ssize_t wrote = write(peer, text.data() + sent, text.size() - sent);
                if (wrote <= 0)
                    break;
                sent += static_cast<size_t>(wrote);
            }
            close(peer);
        });
        const int reader = ConnectLoopback(ntohs(address.sin_port));
        std::vector<char> chunk(64 * 1024);
        size_t total = 0;
        for (ssize_t got; (got = read(reader, chunk.data(), chunk.size())) > 0;)
            total += static_cast<size_t>(got);
        sender.join();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        benchmark::DoNotOptimize(total);
        close(reader);
        close(listener);
    }
}

void Pop3PeakMemory(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(World().Pop3Port());
    char line[64];
    std::snprintf(line, sizeof line, "MEM pop3_peak_20MB %.1f", GatewayPeakMb());
    velmo_bench::AddFigureLine(line);
}

BENCHMARK(CfbPass)->Name("smtp_queue_20MB/theirs")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(SmtpQueueOurs)->Name("smtp_queue_20MB/ours")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(CfbPass)->Name("upload_20MB/theirs")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(UploadOurs)->Name("upload_20MB/ours")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PeakMemory)->Name("smtp_peak_20MB")->Iterations(1);

BENCHMARK(CfbPass)->Name("download_20MB/theirs")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(DownloadOurs)->Name("download_20MB/ours")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RetrTheirs)->Name("retr_20MB/theirs")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RetrOurs)->Name("retr_20MB/ours")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RetrOurs)->Name("retr_20MB_tls/theirs")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RetrOursUnderTls)->Name("retr_20MB_tls/ours")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Pop3PeakMemory)->Name("pop3_peak_20MB")->Iterations(1);

} // namespace
