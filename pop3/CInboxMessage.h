#pragma once
// Opening a downloaded message: the check of the whole data against its transfer hash under the
// Inbox key, and the walk of its content records - the sender record, the message record with
// this account's key block, the encrypted text and the sender's signature block, and any error
// records the server added (logged). The result is the decrypted text whose hash the sender
// signed, with the sender record, or nothing.
//
// The data comes from the network: every length is checked against what remains before it is
// used, and nothing is allocated beyond the data's own size.

#include "foundation/CZelString.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CProtocolListData;

// The sender as the server describes it in the sender record.
struct CInboxSender {
    CZelString name;
    CZelString translitName;
    CZelString unicodeName;   // UTF-16LE bytes
    CZelString email;
    CZelString id;
    CZelString sentTimeStamp;
    CZelString n;             // the sender's public key, least significant byte first
    CZelString e;
};

struct CInboxOpened {
    std::string text;
    CInboxSender sender;
};

// The account that opens its key block: its id and private key (`n`, `d` of its file).
struct CInboxRecipient {
    int64_t accountId = 0;
    CZelString n;
    CZelString d;
};

// Reads a complete download file (length head, then the data) and gives the content after the
// 32-byte transfer hash when that hash matches under `inboxKey`. False with `error` set when
// the file cannot be read or is not whole; false with `error` empty when the hash differs.
bool ReadVerifiedContent(const CZelString& downloadPath, const CZelString& inboxKey, std::string& content,
                         CZelString& error);

// Walks the content of message `messageId` for `recipient`. Sender and error records are
// written to `log`; the refusal is the caller's to log. The content is taken over (move it in):
// the text is decrypted in its place, so a message is never held twice.
std::optional<CInboxOpened> OpenInboxMessage(std::string content, const CZelString& inboxKey,
                                             const CInboxRecipient& recipient, const CZelString& messageId,
                                             CProtocolListData& log);
