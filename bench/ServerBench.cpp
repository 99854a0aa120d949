// The central server under load, each time on a fresh SQLite file in a temporary folder (or
// a fresh PostgreSQL database where said):
//   RATE central_server_key_handle   server key requests per second through Handle()
//   RATE central_login_http          ReqTimestamp logins per second through the HTTP client
//                                    (RSA open, key stored, a fully synchronised commit)
//   RATE sealed_requests_per_s       20 clients at once, each over its own kept-alive
//                                    connection: server key, login handing over the session and
//                                    Outbox keys, ReqMsgId to a correspondent; every request counts
//   TIME honest_answer_max_ms        the slowest single answer of those, in milliseconds
//   RATE sealed_requests_per_s_pg    the same on a fresh database of a durable PostgreSQL
//                                    cluster the benchmark starts (and stops) itself
//   TIME honest_answer_max_pg_ms     the slowest single answer of those
//   RATIO pg_vs_sqlite               the PostgreSQL rate over the SQLite rate of the same run
//   RATE sealed_requests_per_s_pg_2inst       two servers (store, server, HTTP front each) on
//                                    one fresh PostgreSQL database, the 20 clients split
//                                    between them; the commits and rollbacks the cluster
//                                    counted per answered request go to stderr
//   RATE sealed_requests_per_s_under_attack   the same while 2000 idle connections, 200 peers
//                                    trickling bodies, a stream of malformed requests and 20 MB
//                                    uploads over the body limit hold the server
//   TIME honest_answer_max_under_attack_ms    the slowest single answer under the attack
//   MEM central_per_idle_connection_KB        the server's resident memory per kept-alive
//                                    connection waiting for its next request
//   RATIO upload_100MB               a 100 MiB queued message file uploaded in 5000 KB blocks as
//                                    the outbox does it (transfer hash, sealed type 23 blocks, the
//                                    server storing each block and checking the whole at the end)
//                                    against the same bytes over one plain loopback socket
//   RATE upload_100MB_bytes_per_s    the upload's own throughput, for more digits than the ratio
#include "bench/BenchHostileHttp.h"
#include "bench/BenchCentral.h"
#include "bench/BenchMain.h"
#include "bench/BenchPostgres.h"
#include "crypto/CCryptRandom.h"
#include "crypto/CGostCipher.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "crypto/RsaKeyPair.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "net/CZelTcpFile.h"
#include "net/ZelSockets.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "protocol/ZelTransferHash.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRateClients = 20;
constexpr int kRateRounds = 25;
constexpr int64_t kUploadBytes = 100LL * 1024 * 1024;
constexpr int64_t kUploadBlockBytes = 5000LL * 1024;
using namespace velmo_bench_central;

// ---- Handle() and single-client logins ----

void ServerKeyHandle(benchmark::State& state)
{
    CentralUnderTest central;
    const CZelString request = Frame(kRequestServerKey, CZelString());
    int64_t requests = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(central.Server().Handle(request));
        ++requests;
    }
    AddRate("central_server_key_handle", requests, std::chrono::steady_clock::now() - start);
}

void LoginHttp(benchmark::State& state)
{
    SocketsStart(true);
    {
        CentralUnderTest central;
        ServerLink link(central.StartHttp());
        User user = MakeUser(0);
        Register(link, user);
        int64_t requests = 0;
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) {
            if (!Login(link, user, {{kKeyNumAccountRun, MakeSessionKey()}}))
                state.SkipWithError("login not answered");
            ++requests;
        }
        AddRate("central_login_http", requests, std::chrono::steady_clock::now() - start);
    }
    SocketsStop();
}

// ---- 20 concurrent clients, calm and under a hostile load ----

// What the 20 clients did: answers counted, how long it all took, the slowest single answer,
// the first failure (empty when none).
struct HonestRun {
    int64_t answered = 0;
    std::chrono::steady_clock::duration took{};
    std::chrono::steady_clock::duration slowestAnswer{};
    std::string failure;
};

// Each client over its own kept-alive connection, kRateRounds times: server key, login handing
// over the session and Outbox keys, ReqMsgId to the next client, who has it as a contact.
// Client i talks to servers[i % count], as a load balancer spreading connections would.
HonestRun RunHonestClients(const std::vector<CZelServerAddress>& servers, const std::vector<User>& users)
{
    std::atomic<int64_t> answered{0};
    std::mutex lock;
    HonestRun run;
    std::mutex gateLock;
    std::condition_variable gate;
    bool open = false;
    std::vector<std::thread> clients;
    for (int i = 0; i < kRateClients; ++i)
        clients.emplace_back([&, i] {
            const User& sender = users[i];
            const CZelServerAddress& server = servers[i % servers.size()];
            const std::string& address = users[(i + 1) % kRateClients].email;
            {
                std::unique_lock<std::mutex> guard(gateLock);
                gate.wait(guard, [&] { return open; });
            }
            std::chrono::steady_clock::duration slowest{};
            const auto fail = [&](const std::string& why) {
                std::lock_guard<std::mutex> guard(lock);
                if (run.failure.empty())
                    run.failure = why;
            };
            // Times one answer, keeping the slowest.
            auto timed = [&](auto&& request) {
                const auto start = std::chrono::steady_clock::now();
                auto result = request();
                slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
                return result;
            };
            try {
                ServerLink link(server);
                for (int round = 0; round < kRateRounds; ++round) {
                    if (!timed([&] { return RequestServerKey(link.server, link.connection, kHttpWriteTimeoutMs); })
                             .IsComplete())
                        return fail("server key request not answered");
                    ++answered;
                    const CZelString session = MakeSessionKey(), outbox = MakeSessionKey();
                    if (!timed([&] { return Login(link, sender, {{kKeyNumSession, session}, {kKeyNumOutbox, outbox}}); }))
                        return fail("login not answered");
                    ++answered;
                    const CZelXmlDocument answer = timed([&] { return ReqMsgId(link, sender, session, address); });
                    if (answer.RootElement().GetAttr(kAttrMsgId).IsEmpty())
                        return fail("ReqMsgId refused: " + answer.RootElement().GetAttr(kAttrErrorMessage).ToStd());
                    ++answered;
                }
            } catch (const std::exception& error) {
                fail(error.what());
            }
            std::lock_guard<std::mutex> guard(lock);
            run.slowestAnswer = std::max(run.slowestAnswer, slowest);
        });
    const auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(gateLock);
        open = true;
    }
    gate.notify_all();
    for (std::thread& client : clients)
        client.join();
    run.took = std::chrono::steady_clock::now() - start;
    run.answered = answered;
    return run;
}

int PortOf(const CZelServerAddress& server)
{
    const std::string text = server.server.ToStd();
    return std::stoi(text.substr(text.rfind(':') + 1));
}

void AddMilliseconds(const char* name, std::chrono::steady_clock::duration took)
{
    char line[128];
    std::snprintf(line, sizeof line, "TIME %s %.0f", name, std::chrono::duration<double, std::milli>(took).count());
    velmo_bench::AddFigureLine(line);
}

// The 20 clients registered and made contacts through the first server, then run once against
// all of them, the hostile load on the first server if asked; inside the benchmark's loop.
HonestRun ServeHonestClients(std::vector<std::unique_ptr<CentralUnderTest>>& centrals, bool underAttack)
{
    std::vector<CZelServerAddress> servers;
    for (auto& central : centrals)
        servers.push_back(central->StartHttp());
    std::vector<User> users;
    {
        ServerLink link(servers.front());
        for (int i = 0; i < kRateClients; ++i) {
            users.push_back(MakeUser(i));
            Register(link, users.back());
        }
        // Client i writes to client i + 1, who has it on its contact list.
        for (int i = 0; i < kRateClients; ++i)
            BecomeContacts(link, users[(i + 1) % kRateClients], users[i]);
    }
    std::optional<velmo_bench::HostileLoad> load;
    if (underAttack)
        load.emplace(PortOf(servers.front()));
    HonestRun run = RunHonestClients(servers, users);
    load.reset();
    return run;
}

double PerSecond(const HonestRun& run)
{
    const double seconds = std::chrono::duration<double>(run.took).count();
    return seconds > 0 ? double(run.answered) / seconds : 0.0;
}

// The benchmark's own time and count: those of its first (or only) run of the clients.
void SetTimeAndCount(benchmark::State& state, const HonestRun& run)
{
    state.SetIterationTime(std::chrono::duration<double>(run.took).count());
    state.counters["requests"] = static_cast<double>(run.answered);
}

// The calm SQLite rate of this run, for the PostgreSQL figures to compare with.
std::optional<double> g_sqliteRate;

// The loop of a benchmark that starts servers: keys ready, sockets up, and a warning when
// threads outlive the servers.
template <class Body>
void WithServers(benchmark::State& state, Body&& body)
{
    const int threadsBefore = ThreadCount();
    PrepareKeys(0, kRateClients);
    velmo_bench::RaiseOwnFileLimit();
    SocketsStart(true);
    for (auto _ : state)
        body();
    SocketsStop();
    if (ThreadCount() != threadsBefore)
        std::fprintf(stderr, "server bench: %d threads before the clients and the server, %d after\n", threadsBefore,
                     ThreadCount());
}

// The 20 clients against a fresh server, with the hostile load on or not.
void SealedRequestsRun(benchmark::State& state, bool underAttack)
{
    WithServers(state, [&] {
        std::vector<std::unique_ptr<CentralUnderTest>> centrals;
        centrals.push_back(std::make_unique<CentralUnderTest>());
        const HonestRun run = ServeHonestClients(centrals, underAttack);
        SetTimeAndCount(state, run);
        if (!run.failure.empty()) {
            state.SkipWithError(("a client failed: " + run.failure).c_str());
        } else if (underAttack) {
            AddRate("sealed_requests_per_s_under_attack", run.answered, run.took);
            AddMilliseconds("honest_answer_max_under_attack_ms", run.slowestAnswer);
        } else {
            g_sqliteRate = PerSecond(run);
            AddRate("sealed_requests_per_s", run.answered, run.took);
            AddMilliseconds("honest_answer_max_ms", run.slowestAnswer);
        }
    });
}

// The calm run on a fresh database of `cluster`, served by `instances` servers sharing it.
// Prints what the cluster counted, per answered request (registering the clients included):
// commits, rollbacks (read-only requests end in one too) and lost serialization races.
HonestRun PostgresRun(velmo_bench::PostgresCluster& cluster, const std::string& name, int instances)
{
    const std::string location = cluster.FreshDatabase(name);
    std::vector<std::unique_ptr<CentralUnderTest>> centrals;
    for (int i = 0; i < instances; ++i)
        centrals.push_back(std::make_unique<CentralUnderTest>(location));
    const velmo_bench::PostgresDatabaseCounts before = cluster.Counts(name);
    const int64_t racesBefore = cluster.SerializationFailures();
    const HonestRun run = ServeHonestClients(centrals, false);
    centrals.clear();
    const velmo_bench::PostgresDatabaseCounts after = cluster.Counts(name);
    const double answered = static_cast<double>(std::max<int64_t>(run.answered, 1));
    std::fprintf(stderr,
                 "server bench: %s: per answered request %.2f commits, %.2f rollbacks, %.3f lost races "
                 "(%lld run again)\n",
                 name.c_str(), double(after.commits - before.commits) / answered,
                 double(after.rollbacks - before.rollbacks) / answered,
                 double(cluster.SerializationFailures() - racesBefore) / answered,
                 static_cast<long long>(cluster.SerializationFailures() - racesBefore));
    return run;
}

// The calm 20 clients on PostgreSQL: one server on a fresh database, then two servers sharing
// another, all on one durable cluster started here and stopped at the end.
void SealedRequestsPostgres(benchmark::State& state)
{
    WithServers(state, [&] {
        std::optional<velmo_bench::PostgresCluster> cluster;
        try {
            cluster.emplace();
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        const HonestRun one = PostgresRun(*cluster, "velmo_bench_one", 1);
        if (!one.failure.empty())
            return state.SkipWithError(("a client failed: " + one.failure).c_str());
        SetTimeAndCount(state, one);
        AddRate("sealed_requests_per_s_pg", one.answered, one.took);
        AddMilliseconds("honest_answer_max_pg_ms", one.slowestAnswer);
        if (g_sqliteRate && *g_sqliteRate > 0) {
            char line[128];
            std::snprintf(line, sizeof line, "RATIO pg_vs_sqlite %.3f", PerSecond(one) / *g_sqliteRate);
            velmo_bench::AddFigureLine(line);
        }
        const HonestRun two = PostgresRun(*cluster, "velmo_bench_two", 2);
        if (!two.failure.empty())
            return state.SkipWithError(("a client failed: " + two.failure).c_str());
        AddRate("sealed_requests_per_s_pg_2inst", two.answered, two.took);
    });
}

void SealedRequests(benchmark::State& state)
{
    SealedRequestsRun(state, false);
}

void SealedRequestsUnderAttack(benchmark::State& state)
{
    SealedRequestsRun(state, true);
}

// What one kept-alive connection costs the server between requests: resident memory before
// and after 2000 connections that each did one exchange, over 2000. The clients' side is file
// descriptors only, and socket buffers are the kernel's, not the process's.
void IdleConnectionMemory(benchmark::State& state)
{
    constexpr int kConnections = 2000;
    velmo_bench::RaiseOwnFileLimit();
    SocketsStart(true);
    {
        CentralUnderTest central;
        const int port = PortOf(central.StartHttp());
        const std::string request = centraltest::HonestPost(Frame(kRequestServerKey, CZelString()).ToStd());
        for (auto _ : state) {
            std::vector<centraltest::RawPeer> peers;
            peers.reserve(kConnections);
            // One exchange first, so the server's first-use allocations are not counted.
            centraltest::RawPeer warm(port, "127.0.5.1");
            warm.Send(request);
            warm.ReadAnswer();
            const long before = velmo_bench::ResidentKilobytes();
            for (int i = 0; i < kConnections; ++i) {
                peers.emplace_back(port, ("127.0.6." + std::to_string(1 + i % 10)).c_str());
                if (!peers.back().Send(request) || peers.back().ReadAnswer().empty()) {
                    state.SkipWithError("a connection was not served");
                    return;
                }
            }
            const long after = velmo_bench::ResidentKilobytes();
            char line[128];
            std::snprintf(line, sizeof line, "MEM central_per_idle_connection_KB %.1f",
                          double(after - before) / kConnections);
            velmo_bench::AddFigureLine(line);
        }
    }
    SocketsStop();
}

// ---- 100 MiB upload ----

CZelString RandomBytes(size_t count)
{
    std::string bytes(count, '\0');
    for (size_t at = 0; at < count; at += CGostCipher::BlockSize) {
        uint8_t block[CGostCipher::BlockSize];
        CGostCipher::MakeInitialVector(block);
        std::copy_n(reinterpret_cast<const char*>(block), std::min(count - at, CGostCipher::BlockSize),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return CZelString(std::string_view(bytes));
}

CZelString KeyedHash32(const CZelString& key, const CZelString& initial, const char* data, size_t length)
{
    uint8_t out[32];
    CGostCipher::Shared().KeyedHash(Bytes(key), reinterpret_cast<const uint8_t*>(data), length, Bytes(initial), out,
                                    sizeof out);
    return CZelString(reinterpret_cast<const char*>(out), sizeof out);
}

// One message to one recipient, built as the outbox queues it. The message text, its key and
// the sender block stay the same from file to file (their making is the slow part and no part
// of an upload); the recipient list and key block follow each file's fresh message id and
// Outbox key, so every file is a new message to the server.
class QueuedMessageMaker {
public:
    explicit QueuedMessageMaker(const User& sender) : m_sender(sender), m_key(RandomBytes(32)), m_salt(RandomBytes(8)) {}

    // The file for `messageId`, exactly kUploadBytes long.
    CZelString Make(const CZelString& outboxKey, const CZelString& messageId, int64_t recipientId,
                    const std::string& address, const CZelString& n, const CZelString& e)
    {
        CZelXmlDocument list;
        list.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
        CZelXmlElement rcpt(kElementRcpt);
        rcpt.SetAttr(kAttrRcpt, address.c_str());
        rcpt.SetAttr(kAttrMsgId, messageId);
        rcpt.SetAttr(kAttrUserId, Format("%D", recipientId));
        list.RootElement().AddChild(rcpt);
        const CZelString recipientList =
            Frame(kRecordRecipientList, Seal(m_sender.id, kKeyNumOutbox, outboxKey, list.ToRequestText()));

        CZelXmlDocument block;
        block.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
        block.RootElement().SetAttr(kAttrRcpt, address.c_str());
        block.RootElement().SetAttr(kAttrMsgId, messageId);
        block.RootElement().SetAttr(kAttrKey, m_key);
        block.RootElement().SetAttr(kAttrSalt, m_salt);
        const CZelString keyBlock = Frame(kRecordKeyBlock, Int64BE(recipientId) + RsaApply(n, e, block.ToRequestText()));

        const int64_t around = recipientList.Length() + keyBlock.Length() + 2 * kRecordHeadSize;
        MakeText(around);
        const CZelString body = recipientList + m_senderBlock + keyBlock + m_textRecord;
        const CZelString file = Frame(kRecordQueuedMessage, body);
        if (file.Length() != kUploadBytes)
            throw std::runtime_error("the queued message file is not 100 MiB");
        return file;
    }

private:
    // The text fills the file up to kUploadBytes; its sender block holds its hash, whose escaped
    // length moves the text's, so the two are settled together.
    void MakeText(int64_t around)
    {
        if (!m_textRecord.IsEmpty() && m_around == around)
            return;
        m_around = around;
        const CZelString hashKey = RandomBytes(32), hashSalt = RandomBytes(8);
        if (m_plain.empty()) {
            m_plain = "From: " + m_sender.email + "\r\nSubject: a large attachment\r\n\r\n";
            for (int line = 0; static_cast<int64_t>(m_plain.size()) < kUploadBytes; ++line)
                m_plain += "line " + std::to_string(line) + " of the attachment, encoded as the mail client sends it\r\n";
        }
        // A first guess with a hash of the right size but no hashing.
        int64_t senderBlockLength = 0;
        for (int attempt = 0; attempt < 8; ++attempt) {
            const int64_t textLength = kUploadBytes - around - senderBlockLength;
            const CZelString hash = attempt == 0 ? RandomBytes(32)
                                                 : KeyedHash32(hashKey, hashSalt, m_plain.data(), static_cast<size_t>(textLength));
            CZelXmlDocument signature;
            signature.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
            signature.RootElement().SetAttr(kAttrSenderId, Format("%D", m_sender.id));
            signature.RootElement().SetAttr(kAttrHashKey, hashKey);
            signature.RootElement().SetAttr(kAttrHashSalt, hashSalt);
            signature.RootElement().SetAttr(kAttrHash, hash);
            m_senderBlock = Frame(kRecordSenderBlock, Int64BE(m_sender.id) +
                                          RsaApply(m_sender.Keys().n, m_sender.Keys().d, signature.ToRequestText()));
            if (attempt > 0 && m_senderBlock.Length() == senderBlockLength) {
                std::string cipher(static_cast<size_t>(textLength), '\0');
                CGostCipher::Shared().CfbEncrypt(Bytes(m_key), reinterpret_cast<const uint8_t*>(m_plain.data()),
                                                 static_cast<size_t>(textLength), Bytes(m_salt),
                                                 reinterpret_cast<uint8_t*>(cipher.data()));
                m_textRecord = Frame(kRecordMessageText, CZelString(std::string_view(cipher)));
                return;
            }
            senderBlockLength = m_senderBlock.Length();
        }
        throw std::runtime_error("the sender block's length does not settle");
    }

    const User& m_sender;
    const CZelString m_key, m_salt;
    std::string m_plain;
    CZelString m_senderBlock, m_textRecord;
    int64_t m_around = -1;
};

// The outbox's upload of one file: the transfer hash under the Outbox key, an empty first
// block, then blocks from each acknowledged offset. The final status, or empty.
std::string UploadFile(ServerLink& link, const User& sender, const CZelString& outboxKey, const CZelString& file)
{
    const CZelString hash = TransferHash(outboxKey, file);
    const int64_t total = file.Length();
    int64_t offset = 0;
    bool first = true;
    while (first || offset < total) {
        const int64_t length = first ? 0 : std::min(kUploadBlockBytes, total - offset);
        const CZelString plain = Int64BE(total) + Int64BE(offset) + hash +
                                 file.Mid(static_cast<int32_t>(offset), static_cast<int32_t>(length));
        const CZelString body = HttpPost(Frame(kRequestUploadBlock, Seal(sender.id, kKeyNumOutbox, outboxKey, plain)),
                                         link.server, link.connection, kHttpLongWriteTimeoutMs);
        bool acknowledged = false;
        for (const CZelString& ack : OpenSealedAnswers(body, AnswerType(kRequestUploadBlock), outboxKey)) {
            if (ack.Length() != 16 || GetInt64BE(ack.Ptr()) != total)
                return {};
            const int64_t next = GetInt64BE(ack.Ptr() + 8);
            if (next < offset + length || next > total)
                return {};
            offset = next;
            acknowledged = true;
        }
        if (!acknowledged)
            return {};
        first = false;
        if (offset == total) {
            const auto statuses = ParseSealedAnswers(body, AnswerType(kRecordQueuedMessage), outboxKey);
            return statuses.empty() ? std::string() : statuses.back().RootElement().GetAttr(kAttrStatus).ToStd();
        }
    }
    return {};
}

void UploadOurs(benchmark::State& state)
{
    const int threadsBefore = ThreadCount();
    PrepareKeys(100, 2);
    SocketsStart(true);
    {
        CentralUnderTest central;
        ServerLink link(central.StartHttp());
        User alice = MakeUser(100), bob = MakeUser(101);
        Register(link, alice);
        Register(link, bob);
        BecomeContacts(link, bob, alice);
        QueuedMessageMaker maker(alice);

        std::chrono::steady_clock::duration uploading{};
        int64_t uploaded = 0;
        for (auto _ : state) {
            state.PauseTiming();
            // The SMTP session's handshake and lookup, then the queued file.
            const CZelString session = MakeSessionKey(), outbox = MakeSessionKey();
            if (!Login(link, alice, {{kKeyNumSession, session}, {kKeyNumOutbox, outbox}})) {
                state.SkipWithError("login not answered");
                break;
            }
            const CZelXmlNode found = ReqMsgId(link, alice, session, bob.email).RootElement();
            if (found.GetAttr(kAttrMsgId).IsEmpty()) {
                state.SkipWithError("ReqMsgId refused");
                break;
            }
            const CZelString file =
                maker.Make(outbox, found.GetAttr(kAttrMsgId), std::stoll(found.GetAttr(kAttrUserId).ToStd()), bob.email,
                           found.GetAttr(kAttrN), found.GetAttr(kAttrE));
            state.ResumeTiming();

            const auto start = std::chrono::steady_clock::now();
            const std::string status = UploadFile(link, alice, outbox, file);
            uploading += std::chrono::steady_clock::now() - start;
            if (status != kStatusOk) {
                state.SkipWithError(("upload ended with status \"" + status + "\"").c_str());
                break;
            }
            uploaded += kUploadBytes;
        }
        state.SetBytesProcessed(state.iterations() * kUploadBytes);
        if (uploaded > 0)
            AddRate("upload_100MB_bytes_per_s", uploaded, uploading);
    }
    SocketsStop();
    if (ThreadCount() != threadsBefore)
        std::fprintf(stderr, "server bench: %d threads before the upload, %d after\n", threadsBefore, ThreadCount());
}

// The same bytes in the same 5000 KB pieces over one plain loopback socket to a plain reader.
void UploadTheirs(benchmark::State& state)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof in;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&in), &length) != 0) {
        ::close(listener);
        state.SkipWithError("no loopback listener");
        return;
    }
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
    const int server = connected ? ::accept(listener, nullptr, nullptr) : -1;
    ::close(listener);
    if (server < 0) {
        ::close(client);
        state.SkipWithError("no loopback connection");
        return;
    }
    const std::string data(static_cast<size_t>(kUploadBytes), 'u');
    for (auto _ : state) {
        int64_t received = 0;
        std::thread reader([&] {
            std::vector<char> buffer(65536);
            while (received < kUploadBytes) {
                const ssize_t got = ::recv(server, buffer.data(), buffer.size(), 0);
                if (got <= 0)
                    return;
                received += got;
            }
        });
        bool sent = true;
        for (int64_t at = 0; sent && at < kUploadBytes; at += kUploadBlockBytes) {
            const char* piece = data.data() + at;
            size_t left = static_cast<size_t>(std::min(kUploadBlockBytes, kUploadBytes - at));
            while (left > 0) {
                const ssize_t n = ::send(client, piece, left, MSG_NOSIGNAL);
                if (n <= 0) {
                    sent = false;
                    break;
                }
                piece += n;
                left -= static_cast<size_t>(n);
            }
        }
        if (!sent)
            ::shutdown(server, SHUT_RDWR);
        reader.join();
        if (!sent || received != kUploadBytes) {
            state.SkipWithError("the plain stream broke off");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kUploadBytes);
    ::close(client);
    ::close(server);
}

} // namespace

// Fixed counts, so each runs a bounded number of times and prints its figure once. The upload
// pair keeps its plain names, which the ratio line pairs by: one upload takes seconds, so the
// runner's first measurement already passes its minimum time and it stops after one iteration
// of ours, and after about half a second of plain streams.
BENCHMARK(ServerKeyHandle)->Name("central_server_key_handle")->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(LoginHttp)->Name("central_login_http")->Iterations(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(SealedRequests)
    ->Name("sealed_requests_20_clients")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SealedRequestsPostgres)
    ->Name("sealed_requests_20_clients_pg")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SealedRequestsUnderAttack)
    ->Name("sealed_requests_20_clients_under_attack")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(IdleConnectionMemory)->Name("central_idle_connections")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(UploadOurs)->Name("upload_100MB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(UploadTheirs)->Name("upload_100MB/theirs")->Unit(benchmark::kMillisecond);
