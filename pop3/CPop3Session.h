#pragma once
// CPop3Session: one conversation with a mail client, from the greeting to the end. The
// authorization phase (USER, PASS, the account file, the busy table, the login exchange, the
// account's standing), then the transaction phase, answered from one command table, one small
// function per command. The central server's side (login exchange, received report, removal)
// is the desk's; the session talks, logs, and reads the account's stored messages.
//
// Deletion follows the mail clients' standard: DELE marks, RSET clears the marks, QUIT carries
// them out and only then says whether every removal succeeded. Message numbers are positions
// in the list taken at login (see CPop3Mailbox).
//
// STLS before USER upgrades the connection; the authorization starts over without a new
// greeting. A client on another machine must do so before USER.
//
// No secret reaches the log: a PASS line is logged as "PASS ********", and so is anything
// else a client may have put a password in (see LoggedForm).

#include "accounts/CAccountLogins.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "pop3/CPop3BusyAccounts.h"
#include "pop3/CPop3Mailbox.h"

#include <cstdint>
#include <optional>
#include <string>

class CProtocolListData;
class ILineChannel;
class IPop3Desk;

struct CPop3SessionOptions {
    CZelString hostName;   // in the greeting; "<unknown>" when empty
    // The client is not on this machine (the server listens on every address): USER and PASS
    // are refused until the connection is protected.
    bool remotePeer = false;
};

class CPop3Session {
public:
    // One entry of the transaction phase's command table.
    struct CCommand;

    CPop3Session(ILineChannel& channel, IPop3Desk& desk, CProtocolListData& log, CPop3SessionOptions options);
    CPop3Session(const CPop3Session&) = delete;
    CPop3Session& operator=(const CPop3Session&) = delete;

    // The whole dialogue. Whatever ends it (the client, a time-out, a socket error, a failure)
    // is logged, and the account is given back to the busy table.
    void Run();

private:
    static const CCommand kCommands[];

    void Dialogue();

    // --- authorization ---
    bool Authorize();
    // Reads until a line that is none of the commands answered while waiting (QUIT, CAPA, a
    // USER or PASS refused in the clear and, before USER, AUTH, APOP and STLS); false when the
    // session ends there.
    bool ReadAuthorizationLine(CZelString& line, bool beforeUser);
    // Answers STLS; false when the session ends (the handshake failed).
    bool StartTls();
    bool LoginNeedsTls() const;
    bool CheckPassword(int64_t accountId, const CZelString& user, const CZelString& password,
                       CZelXmlDocument& account);
    bool LogIn(int64_t accountId, const CZelXmlDocument& account);

    // --- transaction: one function per command; false ends the session ---
    void Transaction();
    static const CCommand* FindCommand(const CZelString& line);
    bool Stat(const CZelString& argument);
    bool List(const CZelString& argument);
    bool Retrieve(const CZelString& argument);
    bool Delete(const CZelString& argument);
    bool Reset(const CZelString& argument);
    bool UniqueIds(const CZelString& argument);
    bool Top(const CZelString& argument);
    bool Noop(const CZelString& argument);
    bool Apop(const CZelString& argument);
    bool Capabilities(const CZelString& argument);
    bool Quit(const CZelString& argument);

    // Carries out the deletion marks; true when every removal succeeded.
    bool RemoveMarked();
    // The history entry, the change flag and the received report of a retrieved message.
    void RecordRetrieval(const CZelString& messageId);

    // --- reading, replying, logging ---
    // Reads a line, logs it and strips its line end; false (logged) when nothing came in time.
    bool ReadCommand(CZelString& line);
    void Reply(const CZelString& text);
    // Sends one piece of a long answer; a client that takes nothing for `timeoutMs` ends the
    // session.
    bool SendPiece(const std::string& piece, int timeoutMs);
    void LogReceived(const CZelString& raw);
    // The line as the log may show it: PASS, AUTH and APOP without their arguments, USER with
    // a name that is no login of this machine masked, and before the login a line of no known
    // command as "********" (it may be a password sent where a command was expected).
    CZelString LoggedForm(const CZelString& raw) const;
    void LogSent(const CZelString& text);

    ILineChannel& m_channel;
    IPop3Desk& m_desk;
    CProtocolListData& m_log;
    CPop3SessionOptions m_options;

    CAccountLogins m_logins;
    int64_t m_accountId = -1;
    CPop3BusyAccounts::CEntry m_busy;
    std::optional<CPop3Mailbox> m_mailbox;
};
