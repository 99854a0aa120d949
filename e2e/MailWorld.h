#pragma once
// A whole mail world for end-to-end tests, made only of the programs a user runs:
// - the real `velmo-central` on a free loopback port with its own SQLite file (stopped,
//   killed and started again on the same port and database when a test says so);
// - a gateway home set up with the real `velmo` commands: `Server`, `SmtpServerPort` and
//   `Pop3ServerPort` on free ports, three registered accounts - ann and bob on each other's
//   contact lists, carol a stranger to both;
// - the files the gateway keeps for each account: the outbox, the stored incoming messages
//   ("N.msg" with "N.id"), the Inbox download files and the message history;
// - the real headless `velmo` serving that home, its output in a file (never a pipe that
//   nobody reads: a full pipe would stall the gateway's log writers);
// - the recipient's side of the central server, asked through the protocol library with the
//   private key the gateway generated for the account: which messages wait, and their text.

#include "accounts/CAccountFile.h"
#include "foundation/testing/ChildProcess.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/FreePort.h"
#include "foundation/testing/TempDir.h"
#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"
#include "testing/VelmoRunner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using accountstest::RunResult;
using velmo_testing::Eventually;
using velmo_testing::ReadFileText;

inline const std::string kVelmoProgram = VELMO_BINARY_DIR "/bin/velmo";
inline const std::string kCentralProgram = VELMO_BINARY_DIR "/bin/velmo-central";
inline const std::string kSourceDir = VELMO_SOURCE_DIR;
inline constexpr char kAcceptingLine[] = "[SMTP] Accepting connection to a port";
inline constexpr char kPop3AcceptingLine[] = "[POP3] Accepting connection to a port";
inline constexpr char kPassword[] = "secret-pw";

using velmo_testing::FreePort;

// A socket connected to the loopback port, or -1 when nothing accepts there.
inline int ConnectToLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether something accepts connections on the loopback port.
inline bool Listening(int port)
{
    const int fd = ConnectToLoopback(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

// A program started through the shell with its output in files; SIGKILLed when it goes.
class LoggedProgram {
public:
    LoggedProgram(const std::vector<std::string>& command, const fs::path& out, const fs::path& err,
                  const std::string& environment = "")
        : m_out(out),
          m_process("/bin/sh", {"-c", environment + " exec " + Joined(command) + " >>" + accountstest::Quote(out.string()) +
                                          " 2>>" + accountstest::Quote(err.string()) + " </dev/null"})
    {
    }
    std::string Output() const { return ReadFileText(m_out); }
    bool OutputHas(const std::string& text) const { return Output().find(text) != std::string::npos; }
    void Signal(int signal) { m_process.Signal(signal); }
    int Wait(int ms) { return m_process.Wait(ms); }
    void Kill() { m_process.Kill(); }
    // The program's own process id: the shell gives its process to the program (exec).
    pid_t Pid() const { return m_process.Pid(); }

private:
    static std::string Joined(const std::vector<std::string>& words)
    {
        std::string text;
        for (const std::string& word : words)
            text += " " + accountstest::Quote(word);
        return text;
    }

    fs::path m_out;
    velmo_testing::ChildProcess m_process;
};

// A local account as `velmo account new` made it and the central server registered it.
struct MailUser {
    std::string login;
    std::string email;
    int64_t id = -1;
    std::string secureCode;
    std::string autoReplyEng;
    CZelString n, d;
};

// What the central server holds for a recipient: the ids of the messages waiting for it.
class RecipientView {
public:
    RecipientView(int port, const MailUser& user) : m_client(port), m_user(user) {}

    // PreLogin (session key under number 1, a fresh Inbox key), then the Seed request.
    std::vector<std::string> WaitingMessages()
    {
        std::vector<std::string> ids;
        if (!PreLogin())
            return ids;
        CZelXmlDocument request;
        request.Create("doc", "Root");
        request.RootElement().SetAttr(kAttrSeed, m_seed);
        request.RootElement().SetAttr(kAttrLastDeliveredTimeStamp, "0");
        for (const CZelXmlDocument& answer : m_client.Sealed(kRequestSeed, Caller(), request, kKeyNumSession))
            for (CZelXmlNode message = answer.RootElement().FindChild(kElementMessage); !message.IsNull();
                 message = message.NextSameName())
                ids.push_back(message.GetAttr(kAttrMessageId).ToStd());
        return ids;
    }

    // The plain text of a waiting message, fetched in blocks and opened with the account's
    // private key; nothing when it does not arrive whole and verified.
    std::optional<std::string> MessageText(const std::string& messageId)
    {
        if (m_inbox.IsEmpty() && !PreLogin())
            return std::nullopt;
        const CZelString data =
            mailtest::FetchAll(m_client, Caller(), kKeyNumInbox, m_inbox, messageId.c_str(), 4 * 1024 * 1024);
        const auto opened =
            mailtest::OpenMessageData(data, m_inbox, m_user.id, m_user.n, m_user.d, messageId.c_str());
        if (!opened)
            return std::nullopt;
        return opened->text.ToStd();
    }

    // A POP3-style login of the account: new keys under numbers 1 and 4. True when answered.
    bool PreLogin()
    {
        const CZelString session = MakeSessionKey();
        m_inbox = MakeSessionKey();
        const CZelAccountKey account{Format("%D", m_user.id), m_user.n, m_user.d};
        const CZelXmlDocument document = MakeLoginDocument(account.idText, kCommandPreLogin,
                                                           {{kKeyNumSession, session}, {kKeyNumInbox, m_inbox}},
                                                           kStandingOnlyTimeStamp);
        const auto answers = LoginRequest(kRequestPreLogin, account, document, m_client.Server(), m_client.Connection(),
                                          kHttpWriteTimeoutMs)
                                 .answers;
        if (answers.size() != 1)
            return false;
        m_session = session;
        m_seed = answers.front().RootElement().GetAttr(kAttrSeed);
        return !m_seed.IsEmpty();
    }

private:
    // The server-test client's sealed requests and block fetches know a user by id and
    // session key only.
    centraltest::User Caller() const
    {
        centraltest::User caller(m_user.email, m_user.secureCode, 0);
        caller.id = m_user.id;
        caller.sessionKey = m_session;
        return caller;
    }

    centraltest::Client m_client;
    MailUser m_user;
    CZelString m_session, m_inbox, m_seed;
};

class MailWorld {
public:
    // `blockSizeKb`: the gateway's upload block size; `environment`: assignments put before
    // the gateway's command line.
    explicit MailWorld(int blockSizeKb = 100, std::string environment = "")
        : m_environment(std::move(environment))
    {
        fs::create_directory(m_home);
        StartCentral(0);
        if (m_centralPort <= 0)
            return;
        m_smtpPort = FreePort();
        m_pop3Port = FreePort();
        Config("Server", "127.0.0.1:" + std::to_string(m_centralPort));
        Config("SmtpServerPort", std::to_string(m_smtpPort));
        Config("Pop3ServerPort", std::to_string(m_pop3Port));
        Config("BlockSize", std::to_string(blockSizeKb));
        MakeAccounts();
        m_ready = ann.id > 0 && bob.id > 0 && carol.id > 0;
    }
    ~MailWorld()
    {
        StopGateway();
        StopCentral();
    }
    MailWorld(const MailWorld&) = delete;
    MailWorld& operator=(const MailWorld&) = delete;

    // Everything set up: the server runs, three accounts registered, ann and bob listed.
    bool Ready() const { return m_ready; }
    const fs::path& Root() const { return m_root; }
    const fs::path& Home() const { return m_home; }
    int SmtpPort() const { return m_smtpPort; }
    int Pop3Port() const { return m_pop3Port; }
    int CentralPort() const { return m_centralPort; }

    // --- the central server ---
    // On `port` (0: a free one), on the world's database.
    void StartCentral(int port)
    {
        m_central = std::make_unique<centraltest::CentralProgram>(std::vector<std::string>{
            "--listen", "127.0.0.1:" + std::to_string(port), "--db", (m_root / "central.sqlite3").string()});
        m_centralPort = m_central->ReadPort();
    }
    void StopCentral()
    {
        if (!m_central)
            return;
        m_central->Signal(SIGTERM);
        m_central->ChildProcess::Wait(10000);
        m_central.reset();
    }
    void KillCentral()
    {
        if (m_central)
            m_central->Kill();
        m_central.reset();
    }

    // --- the gateway ---
    // Started headless; true once its SMTP and POP3 servers accept connections.
    bool StartGateway()
    {
        m_gateway = std::make_unique<LoggedProgram>(
            std::vector<std::string>{kVelmoProgram, "--home", m_home.string(), "--headless"}, m_root / "gateway.out",
            m_root / "gateway.err", m_environment);
        return Eventually([&] {
            return m_gateway->OutputHas(kAcceptingLine) && m_gateway->OutputHas(kPop3AcceptingLine) &&
                   Listening(m_smtpPort) && Listening(m_pop3Port);
        });
    }
    void StopGateway()
    {
        if (!m_gateway)
            return;
        m_gateway->Signal(SIGTERM);
        EXPECT_NE(m_gateway->Wait(30000), -1) << "the gateway did not end after SIGTERM";
        m_gateway.reset();
    }
    // SIGKILL: no handler runs, nothing is flushed or tidied - as a power cut or a crash.
    void KillGateway()
    {
        if (m_gateway)
            m_gateway->Kill();
        m_gateway.reset();
    }
    LoggedProgram& Gateway() { return *m_gateway; }
    // The gateway's standard output and error, for failure messages.
    std::string GatewayOutput() const
    {
        return ReadFileText(m_root / "gateway.out") + "\n--- stderr ---\n" + ReadFileText(m_root / "gateway.err");
    }

    // A configuration value, set with the real command (the gateway reads it at its start).
    void SetConfig(const std::string& key, const std::string& value) const { Config(key, value); }

    // --- the files of an account ---
    fs::path FolderOf(const MailUser& user) const { return m_home / "Accounts" / Padded(user.id); }
    fs::path OutboxOf(const MailUser& user) const { return FolderOf(user) / "Outbox"; }
    fs::path InboxOf(const MailUser& user) const { return FolderOf(user) / "Inbox"; }
    // The stored incoming messages, "N.msg", ascending by N.
    std::vector<fs::path> StoredMessages(const MailUser& user) const
    {
        std::vector<std::pair<long long, fs::path>> numbered;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(FolderOf(user), ignored))
            if (entry.path().extension() == ".msg")
                numbered.emplace_back(std::atoll(entry.path().stem().c_str()), entry.path());
        std::sort(numbered.begin(), numbered.end());
        std::vector<fs::path> files;
        for (auto& [number, path] : numbered)
            files.push_back(std::move(path));
        return files;
    }
    // The message ids of the stored messages (their ".id" files), in the same order.
    std::vector<std::string> StoredIds(const MailUser& user) const
    {
        std::vector<std::string> ids;
        for (fs::path path : StoredMessages(user))
            ids.push_back(ReadFileText(path.replace_extension(".id")));
        return ids;
    }
    // The download files in the Inbox folder (everything but the key file).
    std::vector<fs::path> DownloadFiles(const MailUser& user) const
    {
        std::vector<fs::path> files;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(InboxOf(user), ignored))
            if (entry.path().filename() != "key.bin")
                files.push_back(entry.path());
        return files;
    }
    // An attribute of the history's `message` entry with that id under `Sent` or `Received`;
    // "" when the history, the entry or the attribute is missing.
    std::string HistoryAttr(const MailUser& user, const char* part, const std::string& messageId,
                            const char* attribute) const
    {
        CZelXmlDocument history;
        if (!history.Parse(Text(FolderOf(user) / "MessageHistory.xml")))
            return "";
        const CZelXmlNode entries = history.RootElement().FindChild(part);
        for (CZelXmlNode message = entries.FindChild("message"); !message.IsNull(); message = message.NextSameName())
            if (message.GetAttr(kAttrMessageId).ToStd() == messageId)
                return message.GetAttr(attribute).ToStd();
        return "";
    }
    std::vector<fs::path> QueuedFiles(const MailUser& user) const
    {
        std::vector<fs::path> files;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(OutboxOf(user), ignored))
            if (entry.path().extension() == ".blk")
                files.push_back(entry.path());
        return files;
    }
    // MessageId -> recipient address of the `Sent` entries marked sent in the history.
    std::map<std::string, std::string> SentEntries(const MailUser& user) const
    {
        std::map<std::string, std::string> entries;
        CZelXmlDocument history;
        if (!history.Parse(Text(m_home / "Accounts" / Padded(user.id) / "MessageHistory.xml")))
            return entries;
        const CZelXmlNode sent = history.RootElement().FindChild("Sent");
        for (CZelXmlNode message = sent.FindChild("message"); !message.IsNull(); message = message.NextSameName())
            if (message.GetAttr("Sent") == "true")
                entries[message.GetAttr(kAttrMessageId).ToStd()] = message.GetAttr(kAttrEmail).ToStd();
        return entries;
    }

    // How many `Sent` entries of the history carry that message id (a map would hide a twin).
    int SentEntryCount(const MailUser& user, const std::string& messageId) const
    {
        CZelXmlDocument history;
        if (!history.Parse(Text(FolderOf(user) / "MessageHistory.xml")))
            return 0;
        int count = 0;
        const CZelXmlNode sent = history.RootElement().FindChild("Sent");
        for (CZelXmlNode message = sent.FindChild("message"); !message.IsNull(); message = message.NextSameName())
            count += message.GetAttr(kAttrMessageId).ToStd() == messageId;
        return count;
    }

    RecipientView ViewOf(const MailUser& user) const { return RecipientView(m_centralPort, user); }

    // One more account, made and registered with the real commands the way the first three
    // were (the gateway must not run: it reads the accounts at its start); on no contact list.
    // Its id stays -1 when a command failed.
    MailUser AddUser(const std::string& login)
    {
        MailUser user;
        user.login = login;
        user.email = login + "@velmo.test";
        if (!Ok({"account", "new", "--login", login, "--password", kPassword, "--name", "User " + login, "--email",
                 user.email}) ||
            !Ok({"account", "register"}))
            return user;
        ReadAccountFiles({&user});
        return user;
    }
    // `owner` lists `listed`, with the real command.
    bool AddContact(const MailUser& owner, const MailUser& listed) const
    {
        return Ok({"contacts", "add", std::to_string(owner.id), listed.email, listed.secureCode});
    }

    RunResult Velmo(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--home", m_home.string()});
        return accountstest::RunProgram(kVelmoProgram, args, m_root.string());
    }

    MailUser ann, bob, carol;

private:
    static CZelString Text(const fs::path& path) { return CZelString(std::string_view(ReadFileText(path))); }
    static std::string Padded(int64_t id)
    {
        char text[32];
        snprintf(text, sizeof text, "%08lld", static_cast<long long>(id));
        return text;
    }

    bool Ok(const std::vector<std::string>& args) const
    {
        const RunResult run = Velmo(args);
        EXPECT_EQ(run.code, 0) << args[0] << " " << args[1] << "\n" << run.out << run.err;
        return run.code == 0;
    }
    void Config(const std::string& key, const std::string& value) const { Ok({"config", "set", key, value}); }

    void MakeAccounts()
    {
        ann.login = "ann", bob.login = "bob", carol.login = "carol";
        for (MailUser* user : {&ann, &bob, &carol}) {
            user->email = user->login + "@velmo.test";
            if (!Ok({"account", "new", "--login", user->login, "--password", kPassword, "--name",
                     "User " + user->login, "--email", user->email}))
                return;
        }
        if (!Ok({"account", "register"}))
            return;
        ReadAccountFiles();
        if (ann.id > 0 && bob.id > 0) {
            Ok({"contacts", "add", std::to_string(ann.id), bob.email, bob.secureCode});
            Ok({"contacts", "add", std::to_string(bob.id), ann.email, ann.secureCode});
        }
    }

    // Ids, codes, auto-replies and private keys, from the registered account files.
    void ReadAccountFiles() { ReadAccountFiles({&ann, &bob, &carol}); }
    void ReadAccountFiles(const std::vector<MailUser*>& users)
    {
        for (const auto& entry : fs::directory_iterator(m_home)) {
            if (entry.path().extension() != ".xml" || entry.path().filename() == "config.xml")
                continue;
            CZelXmlDocument account;
            if (!account.Parse(Text(entry.path())))
                continue;
            const CZelXmlNode root = account.RootElement();
            for (MailUser* user : users) {
                if (root.GetAttr(AccountAttr::kLogin).ToStd() != user->login)
                    continue;
                user->id = std::stoll(root.GetAttr(AccountAttr::kId).ToStd());
                user->secureCode = root.GetAttr(AccountAttr::kSecureCode).ToStd();
                user->autoReplyEng = root.GetAttr(AccountAttr::kAutoReplyEng).ToStd();
                user->n = root.GetAttr(AccountAttr::kN);
                user->d = root.GetAttr(AccountAttr::kD);
            }
        }
    }

    velmo_testing::TempDir m_temp{"velmo-e2e"};
    const fs::path m_root = m_temp.Path();
    const fs::path m_home = m_root / "home";
    std::string m_environment;
    std::unique_ptr<centraltest::CentralProgram> m_central;
    std::unique_ptr<LoggedProgram> m_gateway;
    int m_centralPort = -1;
    int m_smtpPort = -1;
    int m_pop3Port = -1;
    bool m_ready = false;
};

} // namespace e2e
