#pragma once
// The central server and its clients as the server benchmarks use them: seeded account keys,
// users, a kept-alive link, the central server on a fresh SQLite file or a given PostgreSQL
// database, and the few requests the clients send.
#include "bench/BenchMain.h"
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
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmo_bench_central {

// The account key size the gateway generates.
constexpr int kAccountKeyBytes = 128;

inline CZelString ValueOf(const LongInt2& value)
{
    return CZelString(reinterpret_cast<const char*>(value.GetData()), value.GetSize());
}

inline const uint8_t* Bytes(const CZelString& text)
{
    return reinterpret_cast<const uint8_t*>(text.Ptr());
}

inline void AddRate(const char* name, int64_t requests, std::chrono::steady_clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    char line[128];
    std::snprintf(line, sizeof line, "RATE %s %.0f", name, seconds > 0 ? double(requests) / seconds : 0.0);
    velmo_bench::AddFigureLine(line);
}

// Threads of this process: a benchmark that leaves one behind has not shut the server down.
inline int ThreadCount()
{
    int count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored))
        ++count;
    return count;
}

struct KeyPair {
    CZelString n, d, e;
};

// Account keys from a seeded generator, one per index and made once: generation dominates
// otherwise, and the same keys every run keep the figures comparable.
inline const KeyPair& AccountKeys(int index)
{
    static std::mutex lock;
    static std::map<int, KeyPair> made;
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = made.find(index);
        if (found != made.end())
            return found->second;
    }
    CCryptRandom random(CCryptRandom::OptionSeedFromRand | CCryptRandom::OptionOwnGenerator | CCryptRandom::OptionLocked,
                        CCryptRandom::Provider::None);
    uint8_t seed[CCryptRandom::SeedSize];
    for (size_t i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<uint8_t>(13 + 7 * i + 29 * index);
    random.Seed(seed);
    LongInt2 n(kAccountKeyBytes), d(kAccountKeyBytes), e(kAccountKeyBytes);
    if (RsaKeyPair::Generate(kAccountKeyBytes, n, d, e, nullptr, random) != 1)
        throw std::runtime_error("account key generation failed");
    std::lock_guard<std::mutex> guard(lock);
    return made[index] = KeyPair{ValueOf(n), ValueOf(d), ValueOf(e)};
}

// Makes the keys of [first, first + count) on both cores before anything is timed.
inline void PrepareKeys(int first, int count)
{
    std::vector<std::thread> makers;
    std::atomic<int> next{first};
    for (int t = 0; t < 2; ++t)
        makers.emplace_back([&] {
            for (int index = next++; index < first + count; index = next++)
                AccountKeys(index);
        });
    for (std::thread& maker : makers)
        maker.join();
}

// One registered user as the gateway's account file knows it.
struct User {
    std::string email;
    std::string secureCode;
    int keyIndex = 0;
    int64_t id = -1;

    const KeyPair& Keys() const { return AccountKeys(keyIndex); }
    CZelAccountKey AccountKey() const { return {Format("%D", id), Keys().n, Keys().d}; }
};

inline User MakeUser(int index)
{
    return User{"user" + std::to_string(index) + "@bench.example.org", "CODE" + std::to_string(1000 + index) + "XYZW",
                index};
}

inline CZelString RsaApply(const CZelString& n, const CZelString& exponent, const CZelString& text)
{
    const LongInt2 modulus(n.Ptr(), n.Length());
    const LongInt2 power(exponent.Ptr(), exponent.Length());
    CZelString out;
    if (RsaBlockTransform::Apply(modulus, power, text.Ptr(), text.Length(), static_cast<uint32_t>(std::time(nullptr)),
                                 out) <= 0)
        throw std::runtime_error("RSA block transform failed");
    return out;
}

// One client's way to the server: where it is and a kept-alive connection to it.
struct ServerLink {
    explicit ServerLink(CZelServerAddress address) : server(std::move(address)), connection(true) {}
    CZelServerAddress server;
    CZelTcpFile connection;
};

// The central server as velmo-central runs it (default HTTP options, the message requests),
// on a free loopback port with its database in a folder of its own, or on the PostgreSQL
// database `location` names.
class CentralUnderTest {
public:
    explicit CentralUnderTest(const std::string& location = {})
    {
        if (location.empty()) {
            std::string pattern = (std::filesystem::temp_directory_path() / "velmo-central-bench-XXXXXX").string();
            if (!mkdtemp(pattern.data()))
                throw std::runtime_error("mkdtemp failed");
            m_folder = pattern;
            m_database = (m_folder / "central.sqlite3").string();
        } else {
            m_database = location;
        }
        m_store = std::make_unique<CCentralStore>(m_database);
        // A request that failed inside the server shows here, not only as a client's failure.
        m_server = std::make_unique<CCentralServer>(
            *m_store, [](const CZelString& line) {
                if (line.View().find("failed") != std::string_view::npos)
                    std::fprintf(stderr, "server bench: %s\n", line.Ptr());
            });
        RegisterMessageRequests(*m_server);
    }

    ~CentralUnderTest()
    {
        const std::string problem = Shutdown();
        if (!problem.empty())
            std::fprintf(stderr, "server bench: %s\n", problem.c_str());
    }

    // Serves HTTP on a free loopback port; the address the clients post to.
    CZelServerAddress StartHttp()
    {
        m_http = std::make_unique<CCentralHttpServer>(*m_server);
        const int port = m_http->Start("127.0.0.1", 0);
        if (port <= 0)
            throw std::runtime_error("the central server did not start");
        return {Format("127.0.0.1:%d", port), "/cgi-bin/velmo.cgi"};
    }

    // Stops the server, closes the database and removes the folder. What did not end cleanly,
    // or empty: a write-ahead log still on disk after the close means the file was not closed.
    std::string Shutdown()
    {
        if (!m_store)
            return {};
        std::string problem;
        m_http.reset();
        m_server.reset();
        m_store.reset();
        if (m_folder.empty())
            return {};
        if (std::filesystem::exists(m_database + "-wal"))
            problem = "the database's write-ahead log is still there after the close";
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
        if (std::filesystem::exists(m_folder))
            problem += problem.empty() ? "the database folder is still there" : "; the folder is still there";
        return problem;
    }

    CCentralStore& Store() { return *m_store; }
    CCentralServer& Server() { return *m_server; }

private:
    std::filesystem::path m_folder;
    std::string m_database;
    std::unique_ptr<CCentralStore> m_store;
    std::unique_ptr<CCentralServer> m_server;
    std::unique_ptr<CCentralHttpServer> m_http;
};

inline CZelXmlDocument Parsed(const CZelString& text)
{
    CZelXmlDocument document;
    if (!document.Parse(text))
        throw std::runtime_error("an answer did not parse");
    return document;
}

// The registration run's request: the account document under the server's public key.
inline void Register(ServerLink& link, User& user)
{
    const CZelServerKey key = RequestServerKey(link.server, link.connection, kHttpWriteTimeoutMs);
    if (!key.IsComplete())
        throw std::runtime_error("no server key");
    CZelXmlDocument document;
    document.Create(kDocTypeRegistration, CZelXmlDocument::kDefaultRootName);
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrName, "Bench User");
    root.SetAttr(kAttrTranslitName, "Bench User");
    root.SetAttr(kAttrUnicodeName, CZelString("B\0u\0", 4));
    root.SetAttr(kAttrBirthday, "1990-01-01");
    root.SetAttr(kAttrIssuedBy, "somewhere");
    root.SetAttr(kAttrN, user.Keys().n);
    root.SetAttr(kAttrE, user.Keys().e);
    root.SetAttr(kAttrEmail, user.email.c_str());
    root.SetAttr(kAttrSecureCode, user.secureCode.c_str());
    root.SetAttr(kAttrAutoReply, "Call me");
    root.SetAttr(kAttrAutoReplyEng, "Call me first");
    const CZelString blocks = RsaApply(key.n, key.e, document.ToRequestText());
    const CZelString body = HttpPost(Frame(kRequestRegister, blocks), link.server, link.connection, kHttpWriteTimeoutMs);
    for (const CZelRecord& record : SplitRecords(body)) {
        if (record.type != AnswerType(kRequestRegister))
            continue;
        const CZelXmlDocument answer = Parsed(record.payload);
        if (answer.RootElement().GetAttr(kAttrStatus) == kStatusSuccess)
            user.id = std::stoll(answer.RootElement().GetAttr(kAttrId).ToStd());
    }
    if (user.id < 1)
        throw std::runtime_error("registration refused: " + user.email);
}

inline bool Login(ServerLink& link, const User& user, const std::vector<CZelSessionKeyGrant>& keys)
{
    const CZelXmlDocument document = MakeLoginDocument(Format("%D", user.id), kCommandReqTimestamp, keys,
                                                       kStandingOnlyTimeStamp);
    return LoginRequest(kRequestReqTimestamp, user.AccountKey(), document, link.server, link.connection,
                        kHttpWriteTimeoutMs)
               .answers.size() == 1;
}

// `owner` puts `other` on its contact list with the other's code, which puts each on the
// other's list: from then on either may write to the other.
inline void BecomeContacts(ServerLink& link, const User& owner, const User& other)
{
    const CZelString key = MakeSessionKey();
    if (!Login(link, owner, {{kKeyNumContactList, key}}))
        throw std::runtime_error("contact list login failed");
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrTimeStamp, "1");
    CZelXmlElement command(kElementCommand);
    command.SetAttr(kAttrAction, kActionAddContact);
    command.SetAttr(kAttrEmail, other.email.c_str());
    command.SetAttr(kAttrSecureCode, other.secureCode.c_str());
    root.AddChild(command);
    root.SetAttr(kAttrLastUpdatesTimeStamp, "0");
    const auto answers = SealedRequest(kRequestContactList, document, owner.id, kKeyNumContactList, key, link.server,
                                       link.connection, kHttpWriteTimeoutMs);
    if (answers.size() != 1 || answers.front().RootElement().GetAttr(kAttrStatus) != kStatusOk)
        throw std::runtime_error("+cl refused");
}

// The SMTP session's lookup of one recipient: ReqMsgId sealed with the session key.
inline CZelXmlDocument ReqMsgId(ServerLink& link, const User& sender, const CZelString& sessionKey,
                                const std::string& address)
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    document.RootElement().SetAttr(kAttrCommand, kCommandReqMsgId);
    document.RootElement().SetAttr(kAttrTimeStamp, "1");
    document.RootElement().SetAttr(kAttrRcpt, address.c_str());
    const auto answers = SealedRequest(kRequestReqMsgId, document, sender.id, kKeyNumSession, sessionKey, link.server,
                                       link.connection, kHttpWriteTimeoutMs);
    return answers.size() == 1 ? answers.front() : CZelXmlDocument();
}

} // namespace velmo_bench_central
