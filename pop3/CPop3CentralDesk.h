#pragma once
// CPop3CentralDesk: the desk of one POP3 session at the central server. It makes the session's
// fresh key (key number 1) and uses it for everything the session asks of the server:
//   LogIn           the login exchange (CPop3LoginExchange) over one HTTP connection;
//   ReportReceived  tells the server the mail client retrieved a message (request 20, a new
//                   connection; the answer is read and not needed);
//   RemoveMessage   asks the server to delete a stored message (request 17, a new connection)
//                   and removes its files "N.msg" and "N.id".
// Nothing here throws: a failure is a line in the POP3 log. Every request is written and its
// answer read within a limit.

#include "core/CProtocolListData.h"
#include "foundation/CZelString.h"
#include "pop3/IPop3Desk.h"
#include "protocol/CZelServerAddress.h"

#include <cstdint>
#include <optional>

class CZelXmlDocument;

class CPop3CentralDesk : public IPop3Desk {
public:
    explicit CPop3CentralDesk(CZelServerAddress server, CProtocolListData& log = Pop3Log());

    CPop3Standing LogIn(int64_t accountId, const CZelXmlDocument& account) override;
    void ReportReceived(const CZelString& messageId) override;
    bool RemoveMessage(int64_t number) override;

    const CZelString& SessionKey() const { return m_sessionKey; }

private:
    // Seals the document under the session key, posts it over a new connection and returns the
    // last answer of the request's type that opened and parsed. Throws the connection's errors.
    std::optional<CZelXmlDocument> Ask(uint32_t type, const CZelXmlDocument& document, int writeTimeoutMs) const;
    void LogError(const CZelString& text) const;

    CZelServerAddress m_server;
    CProtocolListData& m_log;
    CZelString m_sessionKey;
    int64_t m_accountId = -1;   // known once the session logged in
};
