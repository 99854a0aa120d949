#pragma once
// Mail readers nobody here wrote, run against the world's local POP3 server as a user runs
// them: Python's poplib (a scripted session with a printed transcript, e2e/pop3_client.py),
// curl's pop3:// (list and retrieve) and fetchmail (one poll, no daemon, UIDL bookkeeping,
// each message handed to a small delivery script that writes it to a file; in the clear or
// under STLS). And the steps
// the incoming-mail tests share: a message sent and uploaded, the login that has it
// downloaded, the text the recipient's client must then receive.

#include "e2e/MailClients.h"

#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

namespace e2e {

inline const std::string kPopClient = kSourceDir + "/e2e/pop3_client.py";

// The lines of a transcript.
inline std::vector<std::string> TranscriptLines(const std::string& transcript)
{
    std::vector<std::string> lines;
    std::istringstream in(transcript);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

inline bool HasLine(const std::string& transcript, const std::string& line)
{
    for (const std::string& held : TranscriptLines(transcript))
        if (held == line)
            return true;
    return false;
}

// The lines of the transcript that begin with `start`.
inline std::vector<std::string> LinesStarting(const std::string& transcript, const std::string& start)
{
    std::vector<std::string> lines;
    for (const std::string& line : TranscriptLines(transcript))
        if (line.rfind(start, 0) == 0)
            lines.push_back(line);
    return lines;
}

// A poplib session of `user`: login, then `steps` (see pop3_client.py).
inline ClientRun PoplibOnce(const MailWorld& world, const MailUser& user, const std::vector<std::string>& steps,
                        const std::string& password = kPassword)
{
    std::vector<std::string> args = {"python3", kPopClient, std::to_string(world.Pop3Port()), user.login, password};
    args.insert(args.end(), steps.begin(), steps.end());
    const RunResult run = accountstest::RunProgram("/usr/bin/env", args, world.Root().string());
    return {run.code, run.out + run.err};
}

// The same the moment the account is free: a session that has just answered QUIT may still
// be winding up on the server's side.
inline ClientRun Poplib(const MailWorld& world, const MailUser& user, const std::vector<std::string>& steps)
{
    ClientRun run;
    Eventually(
        [&] {
            run = PoplibOnce(world, user, steps);
            return run.transcript.find("Account is busy") == std::string::npos;
        },
        std::chrono::minutes(2));
    return run;
}

// The same, as a running process whose transcript the test reads line by line.
inline std::unique_ptr<velmo_testing::ChildProcess> StartPoplib(const MailWorld& world, const MailUser& user,
                                                                 const std::vector<std::string>& steps)
{
    std::vector<std::string> args = {"python3", kPopClient, std::to_string(world.Pop3Port()), user.login, kPassword};
    args.insert(args.end(), steps.begin(), steps.end());
    return std::make_unique<velmo_testing::ChildProcess>("/usr/bin/env", args);
}

// Reads transcript lines until one begins with `start`; false when the client ends first.
inline bool ReadUntil(velmo_testing::ChildProcess& client, const std::string& start, std::string& seen)
{
    for (std::string line; client.ReadLine(line, 300000);) {
        seen += line + "\n";
        if (line.rfind(start, 0) == 0)
            return true;
    }
    return false;
}

// curl's POP3 client: `path` "" lists the mailbox, "N" retrieves message N.
inline ClientRun CurlPop(const MailWorld& world, const MailUser& user, const std::string& path)
{
    const RunResult run = accountstest::RunProgram(
        "/usr/bin/curl",
        {"-sS", "--max-time", "300", "pop3://127.0.0.1:" + std::to_string(world.Pop3Port()) + "/" + path, "-u",
         user.login + ":" + kPassword},
        world.Root().string());
    return {run.code, run.out + run.err};
}

// The mailbox fetchmail polls. With a certificate file it insists on STLS and checks the
// certificate against the name it polls: "localhost", a name the gateway's certificate holds.
struct FetchmailAccount {
    int port = -1;
    std::string login;
    std::string password;
    fs::path certificate;   // empty: no TLS
};

// fetchmail with a private home in `folder`: its run control file (mode 0600, as fetchmail
// demands), its UID list, and a delivery script that writes each message to
// folder/delivered/N.eml. One poll per run. Its lock is private too: run as root, fetchmail
// otherwise locks one machine-wide pid file, and parallel tests would refuse each other.
class Fetchmail {
public:
    Fetchmail(const MailWorld& world, const MailUser& user, fs::path folder, bool keep)
        : Fetchmail(FetchmailAccount{world.Pop3Port(), user.login, kPassword, {}}, std::move(folder), keep)
    {
    }
    Fetchmail(const FetchmailAccount& account, fs::path folder, bool keep) : m_folder(std::move(folder))
    {
        fs::create_directories(m_folder / "delivered");
        const fs::path mda = m_folder / "deliver.sh";
        velmo_testing::WriteFileText(mda, "#!/bin/sh\nn=$(ls " + accountstest::Quote(Delivered().string()) +
                                              " | wc -l)\nexec cat > " + accountstest::Quote(Delivered().string()) +
                                              "/$n.eml\n");
        chmod(mda.c_str(), 0700);
        const bool tls = !account.certificate.empty();
        const std::string security =
            tls ? "sslproto 'tls1.2+' sslcertck sslcertfile \"" + account.certificate.string() + "\"" : "sslproto ''";
        const fs::path rc = RcFile();
        // "invisible": no Received line of fetchmail's own, so the text delivered is the text served.
        velmo_testing::WriteFileText(rc, "set no syslog\nset invisible\n"
                                         "poll " + std::string(tls ? "localhost" : "127.0.0.1") + " proto pop3 port " +
                                             std::to_string(account.port) + " uidl timeout 300\n"
                                             "  user \"" + account.login + "\" there with password \"" +
                                             account.password + "\" is \"" + account.login + "\" here\n  " +
                                             security + " no rewrite " + (keep ? "keep" : "no keep") +
                                             "\n  mda \"" + mda.string() + "\"\n");
        chmod(rc.c_str(), 0600);
    }

    // One poll; fetchmail's exit code 0 means mail was delivered, 1 that there was none.
    ClientRun Run() const
    {
        const std::string home = accountstest::Quote(m_folder.string());
        const RunResult run = accountstest::RunProgram(
            "/bin/sh",
            {"-c", "HOME=" + home + " FETCHMAILHOME=" + home + " exec fetchmail -v -f " +
                       accountstest::Quote(RcFile().string()) + " --idfile " +
                       accountstest::Quote((m_folder / "fetchids").string()) + " --pidfile " +
                       accountstest::Quote((m_folder / "fetchmail.pid").string())},
            m_folder.string());
        return {run.code, run.out + run.err};
    }

    // The texts delivered so far, in the order they came.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        for (int n = 0; fs::exists(Delivered() / (std::to_string(n) + ".eml")); ++n)
            texts.push_back(ReadFileText(Delivered() / (std::to_string(n) + ".eml")));
        return texts;
    }

private:
    fs::path RcFile() const { return m_folder / "fetchmailrc"; }
    fs::path Delivered() const { return m_folder / "delivered"; }

    fs::path m_folder;
};

// Text with every CR LF made LF (fetchmail hands its delivery agent LF lines).
inline std::string UnixLines(std::string text)
{
    std::string out;
    for (size_t at = 0; at < text.size(); ++at)
        if (!(text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n'))
            out += text[at];
    return out;
}

inline std::string Base64Of(const std::string& bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 16;
        if (at + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8;
        if (at + 2 < bytes.size())
            group |= static_cast<uint8_t>(bytes[at + 2]);
        out += digits[group >> 18 & 63];
        out += digits[group >> 12 & 63];
        out += at + 1 < bytes.size() ? digits[group >> 6 & 63] : '=';
        out += at + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}

// The "From:" line the gateway writes for a verified sender: the name the account was made
// with, as a quoted string, and the registered address.
inline std::string VerifiedFrom(const MailUser& sender)
{
    return "From: \"User " + sender.login + "\" <" + sender.email + ">";
}

// What the recipient's client receives of a text sent by `sender`: the header's "From:"
// field replaced by the verified sender and "Velmo-Message-ID:" added at the header's end.
// (The texts of these tests have one single-line "From:" field.)
inline std::string AsReceived(const std::string& sent, const MailUser& sender, const std::string& messageId)
{
    const size_t headerEnd = sent.find("\r\n\r\n");
    std::string header = sent.substr(0, headerEnd + 2);
    const size_t from = header.rfind("From:", 0) == 0 ? 0 : header.find("\r\nFrom:") + 2;
    const size_t fromEnd = header.find("\r\n", from);
    header.replace(from, fromEnd - from, VerifiedFrom(sender));
    return header + "Velmo-Message-ID: " + messageId + "\r\n" + sent.substr(headerEnd + 2);
}

// `from`'s mail to `to` through the world's SMTP server (Python's smtplib), waited for until
// it is uploaded; returns its message id, "" when it did not go.
inline std::string SendAndUpload(MailWorld& world, const MailUser& from, const MailUser& to, const std::string& text)
{
    static int sent = 0;
    const fs::path file = world.Root() / ("outgoing" + std::to_string(sent++) + ".eml");
    velmo_testing::WriteFileText(file, text);
    const auto before = world.SentEntries(from);
    const ClientRun run = SendWith(MailClient::Python, world, from, to.email, file);
    if (QueuedReply(run.transcript).empty()) {
        ADD_FAILURE() << run.transcript << world.GatewayOutput();
        return "";
    }
    std::string id;
    const bool uploaded = Eventually(
        [&] {
            if (!world.QueuedFiles(from).empty())
                return false;
            for (const auto& [messageId, email] : world.SentEntries(from))
                if (!before.count(messageId))
                    id = messageId;
            return !id.empty();
        },
        std::chrono::minutes(5));
    EXPECT_TRUE(uploaded) << world.GatewayOutput();
    return id;
}

// A POP3 login of `user` asks the central server what waits and queues it; the download then
// stores it. True once `count` messages are stored for `user` and no download is under way.
inline bool LoginAndWaitStored(MailWorld& world, const MailUser& user, size_t count,
                               std::chrono::milliseconds bound = std::chrono::minutes(3))
{
    const ClientRun login = Poplib(world, user, {"quit"});
    EXPECT_TRUE(HasLine(login.transcript, "pass +OK mailbox locked and ready")) << login.transcript;
    return Eventually([&] { return world.StoredMessages(user).size() >= count && world.DownloadFiles(user).empty(); },
                      bound);
}

} // namespace e2e
