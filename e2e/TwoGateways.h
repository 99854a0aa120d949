#pragma once
// Two people on one machine, set up the way the README's walkthrough does it, with the
// programs a user runs and nothing else:
// - one real `velmo-central` on a free loopback port with its own database;
// - two gateway homes, each pointed at that server and given its own free SMTP and POP3
//   ports with `velmo config set`;
// - the first gateway started headless before any account exists (as scripts/run.sh leaves
//   it running), then ann made and registered in the first home and bob in the second with
//   `velmo account new` and `velmo account register`, their ids and SecureCodes read from
//   `velmo account list`, each put on the other's contact list with `velmo contacts add`;
// - the second gateway started headless last.
// The mail clients are curl (smtp:// and pop3://) and Python's poplib, run as a user runs them.

#include "e2e/MailWorld.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

// A person with one account in one home.
struct Person {
    std::string login;
    std::string password;
    std::string name;
    std::string email;
    std::string id;           // as `velmo account list` prints it
    std::string secureCode;   // likewise
};

// One home and its headless gateway.
class GatewayHome {
public:
    // The home folder is made by the first command run on it, as for a user.
    GatewayHome(fs::path root, std::string name) : m_root(std::move(root)), m_name(std::move(name)) {}
    ~GatewayHome() { Stop(); }
    GatewayHome(const GatewayHome&) = delete;
    GatewayHome& operator=(const GatewayHome&) = delete;

    fs::path Home() const { return m_root / m_name; }
    int SmtpPort() const { return m_smtpPort; }
    int Pop3Port() const { return m_pop3Port; }

    RunResult Velmo(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--home", Home().string()});
        return accountstest::RunProgram(kVelmoProgram, args, m_root.string());
    }
    // The command run; its failure is the test's failure, with what the command said.
    bool Ok(const std::vector<std::string>& args) const
    {
        const RunResult run = Velmo(args);
        std::string line;
        for (const std::string& arg : args)
            line += " " + arg;
        EXPECT_EQ(run.code, 0) << "velmo --home " << m_name << line << "\n" << run.out << run.err;
        return run.code == 0;
    }

    bool Configure(int centralPort) { return Configure("127.0.0.1:" + std::to_string(centralPort)); }
    // `server` as `velmo config set Server` takes it; a `fingerprint` pins the certificate an
    // https:// server must present.
    bool Configure(const std::string& server, const std::string& fingerprint = "")
    {
        m_smtpPort = FreePort();
        m_pop3Port = FreePort();
        return Ok({"config", "set", "Server", server}) &&
               (fingerprint.empty() || Ok({"config", "set", "ServerFingerprint", fingerprint})) &&
               Ok({"config", "set", "SmtpServerPort", std::to_string(m_smtpPort)}) &&
               Ok({"config", "set", "Pop3ServerPort", std::to_string(m_pop3Port)});
    }

    // `velmo account new` and `velmo account register`, then the id and code the list shows.
    bool MakeAccount(Person& person)
    {
        return Ok({"account", "new", "--login", person.login, "--password", person.password, "--name", person.name,
                   "--email", person.email}) &&
               Ok({"account", "register"}) && ReadListed(person);
    }

    // One field of `velmo account list` for the account with that login; "" when missing.
    std::string Listed(const std::string& login, const std::string& field) const
    {
        const auto blocks = ListedAccounts();
        const auto found = blocks.find(login);
        if (found == blocks.end())
            return "";
        const auto value = found->second.find(field);
        return value == found->second.end() ? "" : value->second;
    }

    // Started headless (with `extra` options); true once its SMTP and POP3 servers accept
    // connections.
    bool Start(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> command = {kVelmoProgram, "--home", Home().string(), "--headless"};
        command.insert(command.end(), extra.begin(), extra.end());
        m_program = std::make_unique<LoggedProgram>(command,
            m_root / (m_name + ".out"), m_root / (m_name + ".err"));
        return Eventually([&] {
            return m_program->OutputHas(kAcceptingLine) && m_program->OutputHas(kPop3AcceptingLine) &&
                   Listening(m_smtpPort) && Listening(m_pop3Port);
        });
    }
    void Stop()
    {
        if (!m_program)
            return;
        m_program->Signal(SIGTERM);
        EXPECT_NE(m_program->Wait(30000), -1) << "the gateway of " << m_name << " did not end after SIGTERM";
        m_program.reset();
    }
    // The gateway's standard output and error, for failure messages.
    std::string Output() const
    {
        return "--- " + m_name + " ---\n" + ReadFileText(m_root / (m_name + ".out")) + "\n--- stderr ---\n" +
               ReadFileText(m_root / (m_name + ".err"));
    }
    // The gateway's process id while it runs; -1 otherwise.
    pid_t Pid() const { return m_program ? m_program->Pid() : -1; }

private:
    // login -> (field -> value), from the "Field: value" blocks of `velmo account list`.
    std::map<std::string, std::map<std::string, std::string>> ListedAccounts() const
    {
        std::map<std::string, std::map<std::string, std::string>> accounts;
        const RunResult run = Velmo({"account", "list"});
        EXPECT_EQ(run.code, 0) << run.out << run.err;
        std::map<std::string, std::string> block;
        auto close = [&] {
            if (block.count("Login"))
                accounts[block["Login"]] = block;
            block.clear();
        };
        for (const std::string& line : accountstest::Lines(run.out + "\n")) {
            const size_t colon = line.find(": ");
            if (line.empty())
                close();
            else if (colon != std::string::npos)
                block[line.substr(0, colon)] = line.substr(colon + 2);
        }
        close();
        return accounts;
    }

    bool ReadListed(Person& person) const
    {
        person.id = Listed(person.login, "Id");
        person.secureCode = Listed(person.login, "SecureCode");
        EXPECT_FALSE(person.id.empty() || person.id == "-1" || person.secureCode.empty())
            << "account list of " << m_name << " for " << person.login << ": id '" << person.id << "', code '"
            << person.secureCode << "'";
        return !person.id.empty() && person.id != "-1" && !person.secureCode.empty();
    }

    fs::path m_root;
    std::string m_name;
    int m_smtpPort = -1;
    int m_pop3Port = -1;
    std::unique_ptr<LoggedProgram> m_program;
};

// How the central server runs and how the gateways reach it.
struct CentralSetup {
    // Options of `velmo-central` after its --listen and --db.
    std::vector<std::string> extraArgs;
    // "https://" when the options make it serve TLS.
    std::string scheme;
    // The certificate fingerprint the gateways pin ("" for none).
    std::string fingerprint;
};

class TwoGateways {
public:
    explicit TwoGateways(CentralSetup setup = {}) : m_setup(std::move(setup))
    {
        fs::create_directories(m_root / "central");
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--db", CentralDb().string()};
        args.insert(args.end(), m_setup.extraArgs.begin(), m_setup.extraArgs.end());
        m_central = std::make_unique<centraltest::CentralProgram>(args);
        m_centralPort = m_central->ReadPort();
        m_ready = m_centralPort > 0 && SetUp();
    }
    ~TwoGateways()
    {
        first.Stop();
        second.Stop();
        if (m_central) {
            m_central->Signal(SIGTERM);
            m_central->ChildProcess::Wait(10000);
        }
    }
    TwoGateways(const TwoGateways&) = delete;
    TwoGateways& operator=(const TwoGateways&) = delete;

    // Both gateways serve, both accounts registered and on each other's contact lists.
    bool Ready() const { return m_ready; }
    const fs::path& Root() const { return m_root; }
    int CentralPort() const { return m_centralPort; }
    // The text `velmo config set Server` is given.
    std::string CentralServer() const { return m_setup.scheme + "127.0.0.1:" + std::to_string(m_centralPort); }
    fs::path CentralDb() const { return m_root / "central" / "velmo-central.sqlite3"; }
    std::string Output() const { return first.Output() + "\n" + second.Output(); }

    Person ann{"ann", "ann-pw", "Ann", "ann@example.org", "", ""};
    Person bob{"bob", "bob-pw", "Bob", "bob@example.org", "", ""};

private:
    bool SetUp()
    {
        if (!first.Configure(CentralServer(), m_setup.fingerprint) ||
            !second.Configure(CentralServer(), m_setup.fingerprint) || !first.Start())
            return false;
        return first.MakeAccount(ann) && second.MakeAccount(bob) &&
               first.Ok({"contacts", "add", ann.id, bob.email, bob.secureCode}) &&
               second.Ok({"contacts", "add", bob.id, ann.email, ann.secureCode}) && second.Start();
    }

    CentralSetup m_setup;
    velmo_testing::TempDir m_temp{"velmo-two"};
    const fs::path m_root = m_temp.Path();
    std::unique_ptr<centraltest::CentralProgram> m_central;
    int m_centralPort = -1;
    bool m_ready = false;

public:
    GatewayHome first{m_root, "home"};
    GatewayHome second{m_root, "home2"};
};

// --- the mail clients, as the walkthrough runs them ---

struct Transcript {
    int code = -1;
    std::string text;   // standard output, then standard error
};

inline Transcript Ran(const RunResult& run) { return {run.code, run.out + run.err}; }

// curl sends the file through a gateway's SMTP server as `from`.
inline Transcript CurlSend(const GatewayHome& gateway, const Person& from, const std::string& to,
                           const fs::path& messageFile, const fs::path& scratch)
{
    return Ran(accountstest::RunProgram(
        "/usr/bin/curl",
        {"-sS", "-v", "--max-time", "300", "smtp://127.0.0.1:" + std::to_string(gateway.SmtpPort()), "--mail-from",
         from.email, "--mail-rcpt", to, "--user", from.login + ":" + from.password, "--upload-file",
         messageFile.string()},
        scratch.string()));
}

// curl's POP3 client: `path` "" lists the mailbox, "N" retrieves message N.
inline Transcript CurlPop(const GatewayHome& gateway, const Person& user, const std::string& path,
                          const fs::path& scratch)
{
    return Ran(accountstest::RunProgram("/usr/bin/curl",
                                        {"-sS", "--max-time", "300",
                                         "pop3://127.0.0.1:" + std::to_string(gateway.Pop3Port()) + "/" + path, "-u",
                                         user.login + ":" + user.password},
                                        scratch.string()));
}

// A poplib session (e2e/pop3_client.py): login, then `steps`.
inline Transcript PoplibSession(const GatewayHome& gateway, const Person& user, const std::vector<std::string>& steps,
                                const fs::path& scratch)
{
    std::vector<std::string> args = {"python3", kSourceDir + "/e2e/pop3_client.py", std::to_string(gateway.Pop3Port()),
                                     user.login, user.password};
    args.insert(args.end(), steps.begin(), steps.end());
    return Ran(accountstest::RunProgram("/usr/bin/env", args, scratch.string()));
}

} // namespace e2e
