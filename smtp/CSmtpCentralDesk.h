#pragma once
// CSmtpCentralDesk: the desk of one SMTP session at the central server. It makes one HTTP
// connection at the start of the handshake and keeps it for the session's requests, all under
// one fresh session key (key number 1):
//   Handshake        reads the account file again, checks the login, asks for the server key,
//                    reserves the account's Outbox key (key.bin, locked for the session) and
//                    logs in with both keys (ReqTimestamp), storing the `Updates` it answers;
//   LookupRecipient  "ReqMsgId" for one address;
//   QueueMessage     packs the message into the outbox under the reserved Outbox key;
//   ReleaseOutboxKey unlocks key.bin, or drops it when no queued file uses the key.
// A socket or HTTP failure ends the session with its text in the log; every write has its
// time-out and every read is bounded by the HTTP client.

#include "core/CProtocolListData.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/CZelServerAddress.h"
#include "smtp/COutbox.h"
#include "smtp/ISmtpMailDesk.h"

#include <cstdint>
#include <memory>

class CZelTcpFile;

class CSmtpCentralDesk : public ISmtpMailDesk {
public:
    explicit CSmtpCentralDesk(CZelServerAddress server, CProtocolListData& log = SmtpLog());
    ~CSmtpCentralDesk() override;
    CSmtpCentralDesk(const CSmtpCentralDesk&) = delete;
    CSmtpCentralDesk& operator=(const CSmtpCentralDesk&) = delete;

    ESmtpHandshake Handshake(int64_t accountId, const CZelString& login, const CZelString& password,
                             CZelString& operatedStatus) override;
    CSmtpLookup LookupRecipient(const CZelString& address) override;
    ESmtpQueue QueueMessage(const CSmtpRecipients& recipients, std::string& message) override;
    void ReleaseOutboxKey() override;

    // What the handshake settled.
    const CZelString& SessionKey() const { return m_sessionKey; }
    const COutboxKey& OutboxKey() const { return m_outboxKey; }
    const CZelString& ServerTimeStamp() const { return m_serverTimeStamp; }
    bool HoldsOutboxKey() const { return m_reserved; }

private:
    // Steps of the handshake after the login check; may throw the connection's errors.
    ESmtpHandshake TalkToServer(CZelString& operatedStatus);
    // key.bin read, renewed when unusable, and locked for this session. False (logged) when it
    // cannot be written.
    bool ReserveOutboxKey();
    // The ReqTimestamp login with both keys; the operated status of its answers.
    ESmtpHandshake LogIn(CZelString& operatedStatus);
    CSmtpLookup AskForMessageId(const CZelString& address);
    void LogError(const CZelString& text);

    CZelServerAddress m_server;
    CProtocolListData& m_log;
    std::unique_ptr<CZelTcpFile> m_connection;
    CZelString m_sessionKey;
    CZelXmlDocument m_account;
    int64_t m_accountId = -1;      // the file's number, as the login table found it
    int64_t m_senderId = -1;       // the file's `Id`, as the server knows the account
    COutboxKey m_outboxKey;
    bool m_reserved = false;
    CZelString m_serverTimeStamp;
};
