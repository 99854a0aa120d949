#pragma once
// What the gateway demands of the central server's recipient lookup answer before any of it
// is used: a message id becomes part of file names and history keys, and a recipient's public
// key seals the message key that only that recipient may open.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "smtp/ISmtpMailDesk.h"

// Digits in dot-separated groups ("17", "3.1.4"), at most kSmtpMaxMessageIdBytes long.
bool IsUsableMessageId(const CZelString& messageId);

// An RSA modulus (raw bytes, least significant first) that is odd and of
// kSmtpMinRecipientKeyBytes to kSmtpMaxRecipientKeyBytes bytes.
bool IsUsableRecipientKey(const CZelString& n);

// One opened lookup answer read into its outcome for `address`: Accepted with a complete
// recipient; Refused with the server's `ErrorMessage` when it gave no message id; NoSuchUser
// when it gave neither; ServerReplyError for a message id that is refused or a missing or
// unusable `n`, `e` or `UserId`; EndSession for an unusable recipient key.
CSmtpLookup ReadLookupAnswer(const CZelXmlDocument& answer, const CZelString& address);
