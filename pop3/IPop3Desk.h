#pragma once
// IPop3Desk: what a POP3 session needs of the central server - the login exchange after the
// password was checked, the received report after a retrieval, and the removal of a message
// (the server's delete, then the local files). One desk serves one session and holds its fresh
// session key (key number 1) for all three. The real desk (CPop3CentralDesk) talks to the
// central server; the session's own tests use a scripted one.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"

#include <cstdint>

// What the login exchange learned of the account; empty texts when the server did not say.
struct CPop3Standing {
    CZelString userLevel;
    CZelString operatedStatus;
};

class IPop3Desk {
public:
    virtual ~IPop3Desk() = default;

    // The login exchange for the account whose file the session loaded at PASS. Never throws:
    // a socket error is logged with its text and the standing obtained so far is returned.
    virtual CPop3Standing LogIn(int64_t accountId, const CZelXmlDocument& account) = 0;
    // Tells the server that the mail client retrieved the message. Never throws; a failure is
    // logged and changes nothing for the session.
    virtual void ReportReceived(const CZelString& messageId) = 0;
    // Asks the server to delete stored message `number` and removes its files. True when the
    // server confirmed. Never throws.
    virtual bool RemoveMessage(int64_t number) = 0;
};
