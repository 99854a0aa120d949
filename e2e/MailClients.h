#pragma once
// Mail clients nobody here wrote, run against the world's gateway as a user runs them: curl
// (AUTH PLAIN with an initial response), Python's smtplib (login, then sendmail) and swaks
// (AUTH LOGIN). Each run gives the client's exit code and its whole transcript.

#include "e2e/MailWorld.h"

#include <regex>
#include <string>
#include <vector>

namespace e2e {

enum class MailClient { Curl, Python, Swaks };

inline const char* ClientName(MailClient client)
{
    switch (client) {
    case MailClient::Curl: return "curl";
    case MailClient::Python: return "smtplib";
    case MailClient::Swaks: return "swaks";
    }
    return "?";
}

// Whether the client dot-stuffs the lines of the message that begin with a dot (swaks sends
// its data as given).
inline bool StuffsDots(MailClient client) { return client != MailClient::Swaks; }

struct ClientRun {
    int code = -1;
    std::string transcript;   // standard output, then standard error
};

inline const std::string kPythonClient = kSourceDir + "/e2e/smtp_client.py";

// `from` sends the message in `messageFile` to `to` through the world's SMTP port.
inline ClientRun SendWith(MailClient client, const MailWorld& world, const MailUser& from, const std::string& to,
                          const fs::path& messageFile)
{
    const std::string port = std::to_string(world.SmtpPort());
    std::string program;
    std::vector<std::string> args;
    switch (client) {
    case MailClient::Curl:
        program = "/usr/bin/curl";
        args = {"-sS", "-v", "--max-time", "300", "--url", "smtp://127.0.0.1:" + port, "--mail-from", from.email,
                "--mail-rcpt", to, "--user", from.login + ":" + kPassword, "--login-options", "AUTH=PLAIN",
                "--sasl-ir", "--upload-file", messageFile.string()};
        break;
    case MailClient::Python:
        program = "/usr/bin/env";
        args = {"python3", kPythonClient, port, from.login, kPassword, messageFile.string(), to};
        break;
    case MailClient::Swaks:
        program = "/usr/bin/swaks";
        args = {"--server", "127.0.0.1", "--port", port, "--auth", "LOGIN", "--auth-user", from.login,
                "--auth-password", kPassword, "--from", from.email, "--to", to, "--data", messageFile.string(),
                "--timeout", "300"};
        break;
    }
    const RunResult run = accountstest::RunProgram(program, args, world.Root().string());
    return {run.code, run.out + run.err};
}

// The "250 OK: queued as ..." reply in a transcript (one hexadecimal digit 0-E, then eight), or "".
inline std::string QueuedReply(const std::string& transcript)
{
    static const std::regex queued("250 OK: queued as [0-9A-E][0-9A-F]{8}");
    std::smatch match;
    return std::regex_search(transcript, match, queued) ? match.str() : "";
}

// A message text whose lines end in CR LF; with `dotLine`, one line that begins with a dot.
inline std::string MessageText(const std::string& subject, bool dotLine, size_t bodyBytes = 0)
{
    std::string text = "From: Ann <ann@velmo.test>\r\nTo: Bob <bob@velmo.test>\r\nSubject: " + subject +
                       "\r\n\r\nHello Bob,\r\n";
    if (dotLine)
        text += ".a line that begins with a dot\r\n";
    const std::string line = std::string(76, 'x') + "\r\n";
    while (bodyBytes >= line.size()) {
        text += line;
        bodyBytes -= line.size();
    }
    return text + "Bye.\r\n";
}

// The text without its trailing line ends: the end of the data may or may not bring one more.
inline std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace e2e
