#pragma once
// The mail clients people run in a terminal, set up against the gateways of TwoGateways the
// way the README tells a user to: neomutt sending in batch mode and reading its POP3 folder
// inside a private tmux server, msmtp sending and mpop fetching. Each client has a
// folder of its own in the test's temporary folder as HOME, its configuration file there, and
// trusts the gateway's own certificate (`local-tls.crt` of the home) and nothing else. Every
// run is bounded by the client's own timeout and by `timeout`.
// And the message every client must carry intact: 8-bit UTF-8 text, lines that are or begin
// with dots, and 990-byte lines.

#include "e2e/PopClients.h"
#include "e2e/TwoGateways.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace e2e {

inline constexpr char kClientTimeoutSeconds[] = "60";
// `timeout` ends a client that its own timeout did not.
inline const std::string kBounded = "timeout -k 10 300 ";

inline fs::path GatewayCertificate(const GatewayHome& gateway) { return gateway.Home() / "local-tls.crt"; }

// A line of `bytes` bytes, from `unit` repeated and then `fill`.
inline std::string LineOf(size_t bytes, const std::string& unit, char fill = 'z')
{
    std::string line;
    while (line.size() + unit.size() <= bytes)
        line += unit;
    return line + std::string(bytes - line.size(), fill);
}

// A body (LF line ends) with what a mail path breaks: 8-bit UTF-8, lines that are or begin
// with dots (stuffed on the wire), and `longLine`-byte lines - 990 is the longest a line may be
// and still fit SMTP's 1000 bytes once a dot is stuffed before it and CR LF after it.
inline std::string DemandingBody(size_t longLine = 990)
{
    return "Привет, Боб! Grüße aus Köln — 8-bit text.\n"
           ".\n..\n.x\n... three dots\n\n" +
           LineOf(longLine, "0123456789") + "\n." + LineOf(longLine - 1, "y") + "\n" + LineOf(longLine, "ж") +
           "\nThe end.\n";
}

// A whole message in the 8-bit form msmtp hands on as it stands; LF line ends.
inline std::string EightBitMessage(const Person& from, const Person& to, const std::string& subject,
                                   const std::string& body)
{
    return "From: " + from.name + " <" + from.email + ">\nTo: " + to.name + " <" + to.email + ">\nSubject: " +
           subject + "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
                     "Content-Transfer-Encoding: 8bit\n\n" +
           body;
}

// A message text split at its first empty line, its line ends made LF.
struct MessageParts {
    std::string header;   // each field line ended with LF
    std::string body;
};

inline MessageParts SplitMessage(const std::string& text)
{
    const std::string unix = UnixLines(text);
    const size_t end = unix.find("\n\n");
    if (end == std::string::npos)
        return {unix, ""};
    return {unix.substr(0, end + 1), unix.substr(end + 2)};
}

// The value of a header field, its continuation lines joined; "" when missing.
inline std::string FieldOf(const std::string& header, const std::string& name)
{
    const std::vector<std::string> lines = accountstest::Lines(header);
    for (size_t at = 0; at < lines.size(); ++at) {
        if (lines[at].size() <= name.size() || lines[at].compare(0, name.size() + 1, name + ":") != 0)
            continue;
        std::string value = lines[at].substr(name.size() + 1);
        for (size_t next = at + 1; next < lines.size() && (lines[next][0] == ' ' || lines[next][0] == '\t'); ++next)
            value += lines[next];
        const size_t first = value.find_first_not_of(" \t");
        return first == std::string::npos ? "" : value.substr(first);
    }
    return "";
}

// A shell command line run from `folder`; its exit code and what it printed.
inline Transcript Shell(const std::string& commandLine, const fs::path& folder)
{
    return Ran(accountstest::RunProgram("/bin/sh", {"-c", commandLine}, folder.string()));
}

inline std::string Quoted(const fs::path& path) { return accountstest::Quote(path.string()); }

// A file only its owner reads: msmtp and mpop refuse a password file others could read.
inline void WritePrivateFile(const fs::path& file, const std::string& text)
{
    velmo_testing::WriteFileText(file, text);
    chmod(file.c_str(), 0600);
}

// The texts of a maildir's "new" folder, by file name.
inline std::vector<std::string> MaildirMessages(const fs::path& maildir)
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(maildir / "new", ignored))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> texts;
    for (const fs::path& file : files)
        texts.push_back(ReadFileText(file));
    return texts;
}

// Whether the gateways' output (their SMTP and POP3 logs) is free of both accounts'
// passwords, in whatever form a client sent them.
inline ::testing::AssertionResult NoPasswordLogged(const TwoGateways& world)
{
    const std::string output = world.Output();
    for (const Person* person : {&world.ann, &world.bob})
        if (output.find(person->password) != std::string::npos)
            return ::testing::AssertionFailure() << "the password of " << person->login << " is logged:\n" << output;
    return ::testing::AssertionSuccess();
}

// Whether curl finds at least `count` messages in `person`'s mailbox at `gateway` within three
// minutes: the first login asks the central server what waits, a later one finds it stored.
inline bool MailboxHolds(const TwoGateways& world, const GatewayHome& gateway, const Person& person, size_t count)
{
    return Eventually(
        [&] {
            const Transcript listed = CurlPop(gateway, person, "", world.Root());
            return listed.code == 0 && TranscriptLines(listed.text).size() >= count;
        },
        std::chrono::minutes(3));
}

// --- msmtp ---

enum class MsmtpSecurity { Starttls, ClearText };

// msmtp sending as `person` through the gateway, with `auth` ("on" lets msmtp choose, "plain"
// names the method) and STARTTLS or nothing.
class Msmtp {
public:
    Msmtp(fs::path folder, const GatewayHome& gateway, const Person& person, MsmtpSecurity security,
          const std::string& auth = "plain")
        : m_folder(std::move(folder))
    {
        fs::create_directories(m_folder);
        const bool tls = security == MsmtpSecurity::Starttls;
        WritePrivateFile(RcFile(), "defaults\ntimeout " + std::string(kClientTimeoutSeconds) + "\n"
                                   "account gateway\nhost 127.0.0.1\nport " + std::to_string(gateway.SmtpPort()) +
                                       "\nfrom " + person.email + "\nauth " + auth + "\nuser " + person.login +
                                       "\npassword " + person.password + "\ntls " + (tls ? "on" : "off") +
                                       "\ntls_starttls on\ntls_trust_file " +
                                       GatewayCertificate(gateway).string() + "\naccount default : gateway\n");
    }

    // The message text (LF line ends) sent to `to`; msmtp's exit code and its SMTP dialogue.
    Transcript Send(const std::string& text, const std::string& to) const
    {
        static int sent = 0;
        const fs::path file = m_folder / ("message" + std::to_string(sent++) + ".eml");
        velmo_testing::WriteFileText(file, text);
        return Shell("HOME=" + Quoted(m_folder) + " exec " + kBounded + "msmtp -v -C " + Quoted(RcFile()) + " -- " +
                         accountstest::Quote(to) + " <" + Quoted(file),
                     m_folder);
    }

private:
    fs::path RcFile() const { return m_folder / "msmtprc"; }

    fs::path m_folder;
};

// --- mpop ---

// mpop fetching `person`'s mail under STLS, with pipelining, into a maildir; keeping the mail
// on the gateway (and remembering it by UIDL) or deleting it.
class Mpop {
public:
    Mpop(fs::path folder, const GatewayHome& gateway, const Person& person, bool keep)
        : m_folder(std::move(folder))
    {
        for (const char* part : {"cur", "new", "tmp"})
            fs::create_directories(Maildir() / part);
        // "received_header off": the text delivered is the text the gateway served.
        WritePrivateFile(RcFile(), "defaults\ntimeout " + std::string(kClientTimeoutSeconds) + "\n"
                                   "account gateway\nhost 127.0.0.1\nport " + std::to_string(gateway.Pop3Port()) +
                                       "\nuser " + person.login + "\npassword " + person.password +
                                       "\nauth user\ntls on\ntls_starttls on\ntls_trust_file " +
                                       GatewayCertificate(gateway).string() +
                                       "\npipelining on\nkeep " + (keep ? "on" : "off") + "\nuidls_file " +
                                       (m_folder / "uidls").string() + "\ndelivery maildir " + Maildir().string() +
                                       "\nreceived_header off\naccount default : gateway\n");
    }

    // One fetch; mpop's exit code and its POP3 dialogue.
    Transcript Fetch() const
    {
        return Shell("HOME=" + Quoted(m_folder) + " exec " + kBounded + "mpop --debug -C " + Quoted(RcFile()) +
                         " gateway",
                     m_folder);
    }

    std::vector<std::string> Messages() const { return MaildirMessages(Maildir()); }

private:
    fs::path RcFile() const { return m_folder / "mpoprc"; }
    fs::path Maildir() const { return m_folder / "Maildir"; }

    fs::path m_folder;
};

// --- tmux ---

// A private tmux server (its socket in the test's folder, no configuration but its own) with
// one window running `commandLine`: the terminal a full-screen client needs, without a
// display. The window stays when the program ends, so its last screen can still be read.
// The shell in the window records the program's exit code in a file: tmux learns it only
// when it reaps the program, and a pane it has not reaped still looks dead.
// The server is killed when the object goes, whatever the program did.
class TmuxWindow {
public:
    TmuxWindow(fs::path folder, const std::string& commandLine) : m_folder(std::move(folder))
    {
        fs::create_directories(m_folder);
        velmo_testing::WriteFileText(m_folder / "tmux.conf", "set -g remain-on-exit on\nset -g history-limit 0\n");
        const std::string recorded = commandLine + "; echo $? > " + Quoted(StatusFile());
        m_started = Tmux("-f " + Quoted(m_folder / "tmux.conf") + " new-session -d -x 160 -y 48 " +
                         accountstest::Quote(recorded))
                        .code == 0;
    }
    ~TmuxWindow() { Tmux("kill-server"); }
    TmuxWindow(const TmuxWindow&) = delete;
    TmuxWindow& operator=(const TmuxWindow&) = delete;

    bool Started() const { return m_started; }
    std::string Screen() const { return Tmux("capture-pane -p").text; }
    // True once the screen shows one of `texts`; false after `bound`.
    bool Shows(const std::vector<std::string>& texts, std::chrono::milliseconds bound = std::chrono::seconds(90)) const
    {
        return Eventually(
            [&] {
                const std::string screen = Screen();
                return std::any_of(texts.begin(), texts.end(),
                                   [&](const std::string& text) { return screen.find(text) != std::string::npos; });
            },
            bound);
    }
    bool Shows(const std::string& text) const { return Shows(std::vector<std::string>{text}); }
    // Keys by tmux's names ("Enter", "Escape") or, with `literal`, text typed as it stands.
    bool Keys(const std::string& keys, bool literal = false) const
    {
        return Tmux(std::string("send-keys ") + (literal ? "-l " : "") + accountstest::Quote(keys)).code == 0;
    }
    // True once the program has ended (within `bound`).
    bool Ended(std::chrono::milliseconds bound = std::chrono::seconds(90)) const
    {
        return Eventually([&] { return ExitStatus() != ""; }, bound);
    }
    // The program's exit code; "" while it runs.
    std::string ExitStatus() const { return Trimmed(ReadFileText(StatusFile())); }

private:
    fs::path StatusFile() const { return m_folder / "exit-status"; }

    Transcript Tmux(const std::string& arguments) const
    {
        return Shell("exec " + kBounded + "tmux -S " + Quoted(m_folder / "tmux.sock") + " " + arguments, m_folder);
    }

    fs::path m_folder;
    bool m_started = false;
};

// --- neomutt ---

// neomutt as `person` at the gateway: SMTP with STARTTLS for sending, the POP3 mailbox under
// STLS as its folder, the gateway's certificate in its certificate file so it is trusted
// without a prompt, and no caches, no sent-mail copy, no prompts on leaving.
class Neomutt {
public:
    Neomutt(fs::path folder, const GatewayHome& gateway, const Person& person) : m_folder(std::move(folder))
    {
        fs::create_directories(m_folder);
        fs::copy_file(GatewayCertificate(gateway), m_folder / "certificates", fs::copy_options::overwrite_existing);
        const std::string login = person.login + "@127.0.0.1:";
        WritePrivateFile(RcFile(),
                         "set smtp_url=\"smtp://" + login + std::to_string(gateway.SmtpPort()) + "/\"\n"
                         "set smtp_pass=\"" + person.password + "\"\n"
                         "set folder=\"pop://" + login + std::to_string(gateway.Pop3Port()) + "/\"\n"
                         "set spoolfile=\"+\"\n"
                         "set pop_pass=\"" + person.password + "\"\n"
                         "set ssl_starttls=yes\nset ssl_force_tls=yes\n"
                         "set certificate_file=\"" + (m_folder / "certificates").string() + "\"\n"
                         "set from=\"" + person.email + "\"\nset real_name=\"" + person.name + "\"\n"
                         "set charset=utf-8\nset send_charset=utf-8\n"
                         "set record=\"\"\nset header_cache=\"\"\nset message_cachedir=\"\"\n"
                         "set timeout=" + kClientTimeoutSeconds + "\nset connect_timeout=" + kClientTimeoutSeconds +
                         "\nset pop_checkinterval=3600\nset mail_check=3600\n"
                         "set quit=yes\nset move=no\nset pop_delete=no\nset wait_key=no\nset sleep_time=0\n"
                         "set pipe_decode=yes\nset pipe_split=yes\nset pipe_sep=\"\"\n");
    }

    // `neomutt -s SUBJECT -- TO < BODY`, the body a file of LF lines: batch mode, no terminal.
    Transcript Send(const std::string& subject, const std::string& body, const std::string& to) const
    {
        static int sent = 0;
        const fs::path file = m_folder / ("body" + std::to_string(sent++) + ".txt");
        velmo_testing::WriteFileText(file, body);
        return Shell(Environment() + " exec " + kBounded + "neomutt -n -F " + Quoted(RcFile()) + " -s " +
                         accountstest::Quote(subject) + " -- " + accountstest::Quote(to) + " <" + Quoted(file),
                     m_folder);
    }

    // The command line that opens the POP3 folder full-screen (for a terminal).
    // Its debug log (the POP3 dialogue, the password left out) goes to Log().
    std::string ReaderCommand() const
    {
        return Environment() + " neomutt -n -F " + Quoted(RcFile()) + " -d 2 -l " +
               Quoted(m_folder / "neomutt.log");
    }
    // neomutt numbers its debug files: the newest is the one ending in 0.
    fs::path Log() const { return m_folder / "neomutt.log0"; }

    fs::path Folder() const { return m_folder; }

private:
    fs::path RcFile() const { return m_folder / "neomuttrc"; }
    std::string Environment() const { return "HOME=" + Quoted(m_folder) + " LC_ALL=C.UTF-8 TERM=screen"; }

    fs::path m_folder;
};

} // namespace e2e
