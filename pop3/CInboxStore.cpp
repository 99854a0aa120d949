#include "pop3/CInboxStore.h"

#include "core/CActivityTexts.h"
#include "core/CProtocolListData.h"
#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelDateTime.h"
#include "history/CMessageHistory.h"
#include "pop3/CHeaderRewrite.h"
#include "pop3/CInboxMessage.h"
#include "pop3/CMailboxFolder.h"
#include "protocol/ZelInboxTexts.h"

namespace {

constexpr char kThisFile[] = "CInboxStore.cpp";

CReceivedSender HistorySender(const CInboxSender& sender)
{
    return CReceivedSender{sender.name,  sender.translitName, sender.unicodeName,
                           sender.id,    sender.email,        sender.sentTimeStamp};
}

} // namespace

int64_t StoreReceivedMessage(int64_t accountId, const CZelString& messageId, std::string_view text,
                             const CInboxSender& sender, CProtocolListData& log, CZelString& error)
{
    const int64_t number = CMailboxFolder(accountId).Store(messageId, text, &error);
    if (number < 0)
        return -1;
    // The pair stands whatever becomes of its history entry: a message is never lost to it.
    if (!CMessageHistory::RecordReceived(accountId, messageId, HistorySender(sender), NowMicroseconds()))
        log.Write(kInboxLogHistoryError, messageId, number);
    // The name travels as UTF-16LE; the activity text is shown like every other text.
    const std::string name = Utf16LeToUtf8(sender.unicodeName.View());
    const CZelString shown = name.empty() ? sender.email : CZelString(std::string_view(name));
    CActivityTexts::SetReceiving(FormatTr("%S", Translate(kInboxTextReceivedFrom, kThisFile), shown));
    return number;
}
