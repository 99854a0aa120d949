#include "pop3/CInboxStore.h"

#include "core/CAccountChangeFlags.h"
#include "core/CActivityTexts.h"
#include "core/CProtocolListData.h"
#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"
#include "history/CMessageHistory.h"
#include "pop3/CHeaderRewrite.h"
#include "pop3/CInboxMessage.h"
#include "pop3/CMailboxFolder.h"
#include "protocol/ZelInboxTexts.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <chrono>

namespace {

constexpr char kThisFile[] = "CInboxStore.cpp";

int64_t NowMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool RecordReceived(int64_t accountId, const CZelString& messageId, const CInboxSender& sender)
{
    const CZelString now = Format("%D", NowMicroseconds());
    return CMessageHistory::Update(accountId, CMessageHistory::kSectionReceived, messageId, [&](CZelXmlNode& entry) {
        entry.SetAttr(kAttrMessageId, messageId);
        entry.SetAttr(kAttrName, sender.name);
        entry.SetAttr(kAttrTranslitName, sender.translitName);
        entry.SetAttr(kAttrUnicodeName, sender.unicodeName);
        entry.SetAttr(kAttrId, sender.id);
        entry.SetAttr(kAttrEmail, sender.email);
        entry.SetAttr(kAttrSentMessageTimeStamp, sender.sentTimeStamp);
        entry.SetAttr(kAttrLocalDownloadedMessageTimeStamp, now);
    });
}

} // namespace

int64_t StoreReceivedMessage(int64_t accountId, const CZelString& messageId, std::string_view text,
                             const CInboxSender& sender, CProtocolListData& log, CZelString& error)
{
    int64_t number = -1;
    {
        // The pair and its history entry appear together for a POP3 session that looks.
        CZelLockGuard hold(ZelDataLock(), "StoreReceivedMessage()", __LINE__);
        number = CMailboxFolder(accountId).Store(messageId, text, &error);
        if (number < 0)
            return -1;
        if (!RecordReceived(accountId, messageId, sender))
            log.Write(kInboxLogHistoryError, messageId, number);
    }
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kMessageDownloaded);
    // The name travels as UTF-16LE; the activity text is shown like every other text.
    const std::string name = Utf16LeToUtf8(sender.unicodeName.View());
    const CZelString shown = name.empty() ? sender.email : CZelString(std::string_view(name));
    CActivityTexts::SetReceiving(FormatTr("%S", Translate(kInboxTextReceivedFrom, kThisFile), shown));
    return number;
}
