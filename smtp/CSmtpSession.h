#pragma once
// CSmtpSession: one conversation with a mail client, from the greeting to the end: the
// login table, greeting, EHLO/HELO, AUTH PLAIN or LOGIN, the sending handshake, MAIL FROM,
// RCPT TO, DATA and the queued reply, then QUIT, RSET or the next MAIL FROM. The central
// server's side (handshake, lookups, queueing, the Outbox key) is the desk's; the session only
// talks and logs. Whatever way the session ends, the desk's Outbox key release runs.
//
// STARTTLS after EHLO upgrades the connection and the session starts over at EHLO; a client
// on another machine must do so before AUTH.
//
// Secrets never reach the log: every SASL response and initial response is logged as
// "********", and the login is shown only when it names an account of this machine.

#include "accounts/CAccountLogins.h"
#include "foundation/CZelString.h"
#include "smtp/CSmtpRecipient.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class CProtocolListData;
class ILineChannel;
class ISmtpMailDesk;

struct CSmtpSessionOptions {
    CZelString hostName;                      // in the greeting and the extension list
    std::function<int64_t()> nowMs;           // a steady clock in ms; empty: the system's
    // The client is not on this machine (the server listens on every address): AUTH is
    // refused until the connection is protected.
    bool remotePeer = false;
};

class CSmtpSession {
public:
    // One entry of the table of common commands (NOOP, HELP, RSET, EXPN, VRFY).
    struct CCommand;

    CSmtpSession(ILineChannel& channel, ISmtpMailDesk& desk, CProtocolListData& log, CSmtpSessionOptions options);
    CSmtpSession(const CSmtpSession&) = delete;
    CSmtpSession& operator=(const CSmtpSession&) = delete;

    // The whole dialogue. Socket errors end it with their text in the log; any other error
    // leaves through here after the Outbox key release.
    void Run();

private:
    enum class EStage { Mail, Recipients, Data, AfterMessage, End };
    // Whether a line read is a secret as a whole (a SASL response).
    enum class ESecret { None, Whole };

    void Dialogue();
    bool Greet();
    bool Hello();
    bool Authenticate();
    // Reads the AUTH command, answering STARTTLS and the refusals of a login in the clear on
    // the way; false when the session has to end.
    bool ReadAuthCommand(CZelString& line);
    bool StartTls();
    bool LoginNeedsTls() const;
    // The login and password of the AUTH dialogue; `identityAccepted` false when an AUTH PLAIN
    // response is malformed or acts for someone other than its login.
    bool ReadLogin(bool plain, const CZelString& command, CZelString& login, CZelString& password,
                   bool& identityAccepted);
    bool ReadPassword(CZelString& password);
    bool ReportStanding(const CZelString& operatedStatus);

    EStage MailStage();
    EStage RecipientStage();
    EStage AcceptRecipient(const CZelString& line);
    EStage DataStage();
    EStage QueueMessage();
    EStage AfterMessageStage();
    EStage StartMessage();

    // Reads a line, logs it (a secret masked) and strips one CR LF. With `common`, answers the
    // common commands and reads on. False when the session has to end: the time limit.
    bool ReadCommand(CZelString& line, bool common, ESecret secret = ESecret::None);
    CZelString ReadPiece(int64_t deadlineMs);
    // The line as the log may show it: an AUTH command without its initial response and,
    // before the login succeeded, a line of no known command as "********" (it may be a
    // password sent where a command was expected).
    CZelString LoggedForm(const CZelString& line, const CZelString& raw) const;
    static const CCommand* CommonCommand(const CZelString& line);
    bool AnswerCommonCommand(const CZelString& line);
    void Reply(const CZelString& text);
    void LogClientText(const CZelString& text);

    // Where the data stage stands between two reads.
    struct CDataCursor {
        bool atLineStart = true;   // the last piece ended with CR LF
        bool pendingDot = false;   // a lone "." at a line start, its CR LF not read yet
        bool afterCr = false;      // the last piece ended with CR: its LF may start the next
    };
    bool TakeDataPiece(std::string_view piece, CDataCursor& cursor);
    bool TakeLine(std::string_view piece, CDataCursor& cursor);
    void Store(std::string_view bytes);
    void LogDataPiece(const CZelString& piece, const CDataCursor& before);
    void LogDataProgress(bool force);
    void EndTimeLimited();

    int64_t Now() const;
    void StartCommandPhase();
    // The time the central server takes is not the client's: the command phase's limit moves
    // on by it.
    template<class Call>
    auto AskDesk(Call&& call)
    {
        const int64_t start = Now();
        auto result = call();
        m_commandDeadlineMs += Now() - start;
        return result;
    }

    ILineChannel& m_channel;
    ISmtpMailDesk& m_desk;
    CProtocolListData& m_log;
    CSmtpSessionOptions m_options;

    CAccountLogins m_logins;
    int64_t m_accountId = -1;
    bool m_authenticated = false;
    CSmtpRecipients m_recipients;
    std::string m_message;

    int64_t m_commandDeadlineMs = 0;
    int64_t m_dataStartMs = 0;
    int64_t m_dataReceived = 0;
    int64_t m_lastProgressMs = 0;
    bool m_loggingHeaders = true;
    int64_t m_headerLogged = 0;
};
