#pragma once
// Storing a received message: the numbered pair "N.msg" / "N.id" from 1 000 000 up, then the
// `Received` history entry of the sender, the account's change bit 0x08 and the activity text.
// The stored pair stays even when the history cannot be written: the mail is the user's, the
// history only its record.

#include "foundation/CZelString.h"

#include <cstdint>
#include <string_view>

class CProtocolListData;
struct CInboxSender;

// N of the stored pair, or -1 when no pair could be written (`error` then holds why).
int64_t StoreReceivedMessage(int64_t accountId, const CZelString& messageId, std::string_view text,
                             const CInboxSender& sender, CProtocolListData& log, CZelString& error);
