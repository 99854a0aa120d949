#pragma once
// ISmtpMailDesk: everything an SMTP session needs beyond the dialogue itself - proving the
// account to the central server, looking recipients up, queueing the message in the outbox and
// releasing the Outbox key at the end. One desk serves one session and is dropped with it.
// The real desk (CSmtpCentralDesk) talks to the central server; the session's own tests use a
// scripted one.

#include "foundation/CZelString.h"
#include "smtp/CSmtpRecipient.h"

#include <cstdint>
#include <string>

// How the sending handshake ended.
enum class ESmtpHandshake {
    Done,             // the server answered (or not): `operatedStatus` tells whether to go on
    BadCredentials,   // the account file's login or password differ: "500 Authentification error"
    EndSession,       // a failure that ends the session without a reply (already logged)
};

// The outcome of one recipient lookup.
struct CSmtpLookup {
    enum class Kind {
        Accepted,          // `recipient` is complete
        Refused,           // the server gave no message id but an error text: `errorText`
        NoSuchUser,        // no message id and no error text
        ServerReplyError,  // a message id but a field missing or unusable, or no usable answer
        EndSession,        // a failure that ends the session without a reply (already logged)
    };
    Kind kind = Kind::ServerReplyError;
    CSmtpRecipient recipient;
    CZelString errorText;
};

// How the queueing ended.
enum class ESmtpQueue {
    Queued,       // the file and its list file are on disk: "250 OK: queued as ..."
    Failed,       // nothing was written: "500 Failure"
    EndSession,   // a failure that ends the session without a reply (already logged)
};

class ISmtpMailDesk {
public:
    virtual ~ISmtpMailDesk() = default;

    // After the login was decoded and found in the login table.
    virtual ESmtpHandshake Handshake(int64_t accountId, const CZelString& login, const CZelString& password,
                                     CZelString& operatedStatus) = 0;
    // Only for a non-empty address.
    virtual CSmtpLookup LookupRecipient(const CZelString& address) = 0;
    // The message bytes are the desk's to change (they are encrypted in place).
    virtual ESmtpQueue QueueMessage(const CSmtpRecipients& recipients, std::string& message) = 0;
    // At every end of the session; does nothing when no Outbox key was reserved.
    virtual void ReleaseOutboxKey() = 0;
};
