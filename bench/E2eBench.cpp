// Mail from one person to another as the README's walkthrough sets it up: one `velmo-central`
// and two headless gateways on this machine, ann on the first, bob on the second. For messages
// of 1 KB, 1 MB and 20 MB:
//   TIME e2e_<size> <ms>      from the start of the SMTP connection to the first gateway to the
//                             message counted by a POP3 STAT of bob at the second (the median
//                             of the runs): queueing, upload, bob's login that queues the
//                             download, the download and its storing
//   RATIO e2e_20MB_vs_cfb     one CFB pass over 20 MB / the 20 MB time (target at least 0.1)
//   MEM peak_gateway_20MB     the larger peak resident memory (VmHWM) of the two gateways in MB
//                             over the 20 MB runs (target at most 4 x the message size)
#include "bench/BenchLineClient.h"
#include "bench/BenchMain.h"
#include "bench/GostYardstick.h"
#include "e2e/PopClients.h"
#include "e2e/TwoGateways.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

namespace {

using velmo_bench::LineClient;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using velmo_testing::ReadFileText;

// Both gateways and the server, made once: key generation and registration are no part of
// the figures. Stopped at exit.
e2e::TwoGateways& World()
{
    static const std::unique_ptr<e2e::TwoGateways> world = [] {
        auto made = std::make_unique<e2e::TwoGateways>();
        if (!made->Ready())
            throw std::runtime_error("the two gateways did not start:\n" + made->Output());
        return made;
    }();
    return *world;
}

fs::path AccountFolder(const e2e::GatewayHome& gateway, const e2e::Person& person)
{
    char name[32];
    std::snprintf(name, sizeof name, "%08lld", std::stoll(person.id));
    return gateway.Home() / "Accounts" / name;
}

size_t FilesEnding(const fs::path& folder, const std::string& extension)
{
    size_t count = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        count += entry.path().extension() == extension;
    return count;
}

// The Inbox holds only its key file when no download is under way.
bool DownloadUnderWay(const fs::path& inbox)
{
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(inbox, ignored))
        if (entry.path().filename() != "key.bin")
            return true;
    return false;
}

void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

// Ann's SMTP session with the first gateway, from connection to the queued reply.
void AnnSends(e2e::TwoGateways& world, const std::string& text)
{
    LineClient smtp(world.first.SmtpPort());
    smtp.Reply();
    smtp.Command("EHLO bench");
    const std::string plain = std::string(1, '\0') + world.ann.login + '\0' + world.ann.password;
    if (smtp.Command("AUTH PLAIN " + e2e::Base64Of(plain)).rfind("235", 0) != 0)
        throw std::runtime_error("login refused");
    smtp.Command("MAIL FROM:<" + world.ann.email + ">");
    if (smtp.Command("RCPT TO:<" + world.bob.email + ">").rfind("250", 0) != 0)
        throw std::runtime_error("recipient refused");
    smtp.Command("DATA");
    smtp.Send(text);
    const std::string queued = smtp.Command(".");
    if (e2e::QueuedReply(queued).empty())
        throw std::runtime_error("not queued: " + queued);
    smtp.Command("QUIT");
}

// Bob's POP3 session with the second gateway: the message count STAT gives; -1 while his
// account is busy with a session that is still winding up.
long BobsCount(e2e::TwoGateways& world)
{
    LineClient pop(world.second.Pop3Port());
    pop.Line();
    pop.Send("USER " + world.bob.login + "\r\n");
    pop.Line();
    pop.Send("PASS " + world.bob.password + "\r\n");
    if (pop.Line().rfind("+OK", 0) != 0)
        return -1;
    pop.Send("STAT\r\n");
    const std::string stat = pop.Line();
    pop.Send("QUIT\r\n");
    pop.Line();
    return stat.rfind("+OK ", 0) == 0 ? std::stol(stat.substr(4)) : -1;
}

// One message from ann to bob; seconds from the SMTP connection to bob's STAT counting it.
double MailOnce(const std::string& text)
{
    e2e::TwoGateways& world = World();
    const fs::path annFolder = AccountFolder(world.first, world.ann);
    const fs::path bobFolder = AccountFolder(world.second, world.bob);
    const size_t storedBefore = FilesEnding(bobFolder, ".msg");
    long countBefore = -1;
    while ((countBefore = BobsCount(world)) < 0)
        PauseBriefly();

    const auto start = Clock::now();
    AnnSends(world, text);
    // Uploaded: the outbox holds no queued block file any more.
    while (FilesEnding(annFolder / "Outbox", ".blk") > 0)
        PauseBriefly();
    // Bob's login asks the server what waits and queues the download; then stored.
    while (BobsCount(world) < 0)
        PauseBriefly();
    while (FilesEnding(bobFolder, ".msg") == storedBefore || DownloadUnderWay(bobFolder / "Inbox"))
        PauseBriefly();
    long count = -1;
    while ((count = BobsCount(world)) <= countBefore)
        PauseBriefly();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const std::string& Message(size_t bytes)
{
    static std::map<size_t, std::string> texts;
    auto& text = texts[bytes];
    if (text.empty())
        text = e2e::MessageText("bench", false, bytes);
    return text;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void AddTime(const char* size, const std::vector<double>& seconds)
{
    char line[96];
    std::snprintf(line, sizeof line, "TIME e2e_%s %.0f", size, Median(seconds) * 1000);
    velmo_bench::AddFigureLine(line);
}

// VmHWM of a gateway, in MB; resetting it makes the next figure the 20 MB runs' own.
double PeakMb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return -1;
}
void ResetPeak(pid_t pid)
{
    std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
    clear << "5";
}

void MailSmall(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(state.range(0));
    std::vector<double> seconds;
    for (auto _ : state) {
        seconds.push_back(MailOnce(Message(bytes)));
        state.SetIterationTime(seconds.back());
    }
    AddTime(bytes < 1024 * 1024 ? "1KB" : "1MB", seconds);
}

constexpr size_t kBigBytes = 20 * 1024 * 1024;

void MailBig(benchmark::State& state)
{
    e2e::TwoGateways& world = World();
    ResetPeak(world.first.Pid());
    ResetPeak(world.second.Pid());
    std::vector<double> seconds;
    for (auto _ : state) {
        seconds.push_back(MailOnce(Message(kBigBytes)));
        state.SetIterationTime(seconds.back());
    }
    AddTime("20MB", seconds);
    char line[96];
    std::snprintf(line, sizeof line, "MEM peak_gateway_20MB %.1f",
                  std::max(PeakMb(world.first.Pid()), PeakMb(world.second.Pid())));
    velmo_bench::AddFigureLine(line);
}

// The yardstick: one CFB pass over 20 MB, in place.
void CfbPass(benchmark::State& state) { velmo_bench::CfbPassInPlace(state, kBigBytes); }

BENCHMARK(MailSmall)->Name("e2e_1KB")->Arg(1024)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(MailSmall)->Name("e2e_1MB")->Arg(1024 * 1024)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(CfbPass)->Name("e2e_20MB_vs_cfb/theirs")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(MailBig)->Name("e2e_20MB_vs_cfb/ours")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
