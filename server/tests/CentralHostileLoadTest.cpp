// The central server under a hostile load on loopback: thousands of idle connections, a few
// hundred peers trickling their bodies, a stream of malformed requests and a 20 MB upload in
// flight, all at once, while honest gateways do their server key, login and ReqMsgId. Every
// honest exchange completes, the malformed ones get their status and a close, the database
// is whole afterwards and the server gives back what the load cost it.

#include "foundation/testing/Eventually.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"
#include "testing/HostileHttp.h"
#include "testing/RawHttpPeer.h"
#include "testing/SocketsEnvironment.h"

#include <sqlite3.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

using namespace centraltest;
using velmo_testing::Eventually;

namespace {

constexpr int kIdleConnections = 2000;
constexpr int kIdleAddresses = 10;   // 200 each, under the limit per address
constexpr int kSlowSenders = 200;
constexpr int kHonestClients = 20;
constexpr size_t kUploadBytes = 20 * 1024 * 1024;
// What the server may keep of the load once it is gone: allocator slack and the SQLite page
// cache, not a buffer per connection (2 200 of those at even 32 KB would be 70 MB).
constexpr long kRetainedKilobytes = 64 * 1024;

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

void RaiseOwnFileLimit()
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, static_cast<rlim_t>(2 * (kIdleConnections + kSlowSenders) + 512))
        << "the hard limit of open files is too low for this test";
}

std::string IntegrityOf(const std::string& file)
{
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

// Threads that keep the hostile load up until told to stop.
class HostileLoad {
public:
    explicit HostileLoad(int port) : m_port(port) {}
    ~HostileLoad() { Stop(); }

    void Begin()
    {
        for (int i = 0; i < kIdleConnections; ++i) {
            const std::string from = "127.0.1." + std::to_string(1 + i % kIdleAddresses);
            m_idle.emplace_back(m_port, from.c_str());
            ASSERT_TRUE(m_idle.back().IsOpen()) << "idle connection " << i;
        }
        for (int i = 0; i < kSlowSenders; ++i) {
            m_slow.emplace_back(m_port, "127.0.2.1");
            ASSERT_TRUE(m_slow.back().Send(
                "POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\nslow"));
        }
        m_threads.emplace_back([this] { Trickle(); });
        m_threads.emplace_back([this] { SendBadRequests(); });
        m_threads.emplace_back([this] { Upload(); });
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
        m_idle.clear();
        m_slow.clear();
    }

    int BadAnswered() const { return m_badAnswered; }
    std::vector<std::string> Faults()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_faults;
    }
    bool UploadRefused() const { return m_uploadRefused; }

private:
    bool Stopping()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_stop;
    }

    void Fault(const std::string& what)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_faults.push_back(what);
    }

    // A byte to every slow sender now and then: far under the transfer floor, but not silent.
    void Trickle()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        while (!m_stop) {
            hold.unlock();
            for (RawPeer& peer : m_slow)
                peer.Send("x");
            hold.lock();
            m_wake.wait_for(hold, std::chrono::milliseconds(200), [this] { return m_stop; });
        }
    }

    void SendBadRequests()
    {
        const std::vector<BadRequest> table = BadRequests();
        while (!Stopping()) {
            for (const BadRequest& bad : table) {
                RawPeer peer(m_port, "127.0.3.1");
                peer.Send(bad.bytes);
                const RawPeer::Received all = peer.ReadUntilClosed();
                if (!all.closed || StatusLineOf(all.bytes) != bad.statusLine)
                    Fault(std::string(bad.name) + " got \"" + StatusLineOf(all.bytes) + "\"");
                else
                    ++m_badAnswered;
            }
        }
    }

    // The whole body goes out while the answer is read: a 413, then the close.
    void Upload()
    {
        RawPeer peer(m_port, "127.0.4.1");
        RawPeer::Received answer;
        std::thread reader([&] { answer = peer.ReadUntilClosed(); });
        peer.Send("POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                  std::to_string(kUploadBytes) + "\r\n\r\n");
        const std::string block(64 * 1024, 'u');
        for (size_t sent = 0; sent < kUploadBytes && peer.Send(block); sent += block.size()) {
        }
        reader.join();
        m_uploadRefused = answer.closed && StatusLineOf(answer.bytes) == "HTTP/1.1 413 Payload Too Large";
    }

    const int m_port;
    std::vector<RawPeer> m_idle, m_slow;
    std::vector<std::thread> m_threads;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::vector<std::string> m_faults;
    std::atomic<int> m_badAnswered{0};
    std::atomic<bool> m_uploadRefused{false};
};

class CentralHostileLoadTest : public CentralServerFixture {
protected:
    void SetUp() override
    {
        RaiseOwnFileLimit();
        ASSERT_NO_FATAL_FAILURE(StartServer());
        Client setup(m_port);
        for (int i = 0; i < kHonestClients; ++i) {
            m_users.emplace_back("user" + std::to_string(i) + "@example.org", "CODE" + std::to_string(1000 + i), 1 + i);
            ASSERT_TRUE(setup.Register(m_users.back()));
        }
        // Each writes to the next, who has him on the contact list.
        for (int i = 0; i < kHonestClients; ++i) {
            User& owner = m_users[(i + 1) % kHonestClients];
            ASSERT_TRUE(setup.LoginRun(owner, kKeyNumContactList));
            ASSERT_EQ(setup.Sealed(kRequestContactList, owner,
                                   ListDocument({{"+cl", m_users[i].email, m_users[i].secureCode, true}}),
                                   kKeyNumContactList)
                          .size(),
                      1u);
        }
    }

    // Server key, login, ReqMsgId on a connection of its own: what went wrong, or empty.
    std::string HonestExchange(int index)
    {
        try {
            const User& sender = m_users[index];
            const User& recipient = m_users[(index + 1) % kHonestClients];
            Client client(m_port);
            if (!client.ServerKey().IsComplete())
                return "no server key";
            const CZelString session = MakeSessionKey();
            if (client.Login(kRequestReqTimestamp, sender, {{kKeyNumSession, session}}).size() != 1)
                return "no login";
            CZelXmlDocument lookup;
            lookup.Create("doc", "Root");
            lookup.RootElement().SetAttr("Command", "ReqMsgId");
            lookup.RootElement().SetAttr("TimeStamp", "1");
            lookup.RootElement().SetAttr("rcpt", recipient.email.c_str());
            const auto answers = SealedRequest(kRequestReqMsgId, lookup, sender.id, kKeyNumSession, session,
                                               client.Server(), client.Connection(), kHttpWriteTimeoutMs);
            if (answers.size() != 1 || answers.front().RootElement().GetAttr("MsgId").IsEmpty())
                return "no message id";
            return {};
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    std::vector<User> m_users;
};

TEST_F(CentralHostileLoadTest, HonestGatewaysAreServedWhileTheLoadIsOn)
{
    ASSERT_TRUE(HonestExchange(0).empty());
    const long before = ResidentKilobytes();

    HostileLoad load(m_port);
    load.Begin();
    ASSERT_FALSE(HasFatalFailure());
    // Every idle connection and slow sender is held before the honest ones come.
    ASSERT_TRUE(Eventually([&] { return m_http->OpenConnections() >= kIdleConnections + kSlowSenders; }));

    std::vector<std::string> outcomes(kHonestClients);
    std::vector<std::thread> honest;
    for (int i = 0; i < kHonestClients; ++i)
        honest.emplace_back([&, i] { outcomes[i] = HonestExchange(i); });
    for (std::thread& client : honest)
        client.join();
    // The malformed stream went through its table at least once with the honest ones.
    EXPECT_TRUE(Eventually([&] { return load.BadAnswered() >= static_cast<int>(BadRequests().size()); }));
    load.Stop();

    for (int i = 0; i < kHonestClients; ++i)
        EXPECT_EQ(outcomes[i], "") << "honest client " << i;
    EXPECT_EQ(load.Faults(), std::vector<std::string>{});
    EXPECT_TRUE(load.UploadRefused());

    // The server lets go of all of it, is still whole, and keeps serving.
    EXPECT_TRUE(Eventually([&] { return m_http->OpenConnections() == 0; }));
    const long after = ResidentKilobytes();
    EXPECT_LT(after - before, kRetainedKilobytes) << before << " KB before the load, " << after << " KB after";
    EXPECT_TRUE(HonestExchange(1).empty());
    m_http.reset();
    EXPECT_EQ(IntegrityOf(m_location), "ok");
    for (const User& user : m_users)
        EXPECT_TRUE(m_store->FindAccountByEmail(CZelString(user.email.c_str())).has_value()) << user.email;
}

} // namespace
