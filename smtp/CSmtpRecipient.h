#pragma once
// CSmtpRecipient: one accepted recipient of an SMTP session, as the central server described it
// in the recipient lookup. The session keeps them in acceptance order; the queueing packs one
// key block per recipient and the outbox list file remembers the names for the history.

#include "foundation/CZelString.h"

#include <vector>

struct CSmtpRecipient {
    CZelString address;        // as the client wrote it, case kept
    CZelString msgId;          // the server's message id for this recipient
    CZelString n;              // the recipient's RSA modulus, raw bytes
    CZelString e;              // and exponent
    CZelString userId;         // decimal text
    CZelString name;
    CZelString translitName;
    CZelString unicodeName;    // UTF-16LE bytes
};

using CSmtpRecipients = std::vector<CSmtpRecipient>;
