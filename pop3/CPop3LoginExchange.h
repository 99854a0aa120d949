#pragma once
// CPop3LoginExchange: what a POP3 login tells the central server and learns from it, on the
// session's thread between the password and the opened mailbox. Over one HTTP connection:
//   1. the server key request (its answer is not needed, every client asks it first);
//   2. the account's Inbox key is reserved (CInboxQueue::Reserve: locked for the exchange, a
//      fresh one under key number 4 when the file is missing or unusable);
//   3. PreLogin hands the server the session key (number 1) and the Inbox key under the
//      account's RSA key; each answer yields the Seed and goes through the update writer,
//      which gives the account's standing;
//   4. Seed asks for the delivery reports newer than the history's last one and the list of
//      messages the server holds for the user;
//   5. the reports are written into the history's `Sent` section, the listed messages that are
//      neither stored nor queued go into the receive queue, the Inbox key is released and the
//      download thread is woken when anything waits.
// A socket failure is logged with its text and ends the exchange with the standing obtained so
// far; the Inbox key then stays locked until the account's next exchange releases it. The data
// lock is held only around the file work, never around a request.

#include "core/CProtocolListData.h"
#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "pop3/IPop3Desk.h"
#include "protocol/CZelServerAddress.h"

#include <cstdint>
#include <vector>

class CZelTcpFile;

class CPop3LoginExchange {
public:
    CPop3LoginExchange(CZelServerAddress server, CProtocolListData& log);

    // The whole exchange for the account (`account`: its file as the session loaded it) under
    // the session key. Never throws.
    CPop3Standing Run(int64_t accountId, const CZelXmlDocument& account, const CZelString& sessionKey);

private:
    // The network part and the file work that depends on its answers; throws the connection's
    // errors.
    void Talk(CZelTcpFile& connection);
    // The PreLogin request; applies every answer it opens. The Seed of the last one.
    CZelString PreLogin(CZelTcpFile& connection);
    // The Seed request; the last answer that opened and parsed (an empty document when none).
    CZelXmlDocument AskSeed(CZelTcpFile& connection, const CZelString& seed);
    // The history's `Sent`/`TimeStamp`: the newest report the account has seen.
    CZelString LastDeliveredTimeStamp() const;
    // Writes the answer's `Delivered` reports into the history's `Sent` section.
    void RecordDeliveries(const CZelXmlDocument& seedAnswer);
    // Queues the answer's listed messages and releases the Inbox key.
    void QueueListedMessages(const CZelXmlDocument& seedAnswer);
    // False (and logged) for an id that may not be used on this machine.
    bool IsUsableId(const CZelString& messageId);

    CZelServerAddress m_server;
    CProtocolListData& m_log;
    int64_t m_accountId = -1;
    CZelXmlDocument m_account;
    CZelString m_sessionKey;
    CZelString m_inboxKey;
    uint32_t m_inboxKeyNumber = 0;
    CPop3Standing m_standing;
};
