#include "smtp/SmtpRecipientChecks.h"

#include "foundation/CZelXmlNode.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelSmtpTexts.h"

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool IsUsableMessageId(const CZelString& messageId)
{
    const int32_t length = messageId.Length();
    if (length == 0 || length > kSmtpMaxMessageIdBytes)
        return false;
    bool groupHasDigit = false;
    for (int32_t i = 0; i < length; ++i) {
        const char c = messageId[i];
        if (IsDigit(c)) {
            groupHasDigit = true;
        } else if (c == '.' && groupHasDigit) {
            groupHasDigit = false;
        } else {
            return false;
        }
    }
    return groupHasDigit;
}

bool IsUsableRecipientKey(const CZelString& n)
{
    const int32_t length = n.Length();
    return length >= kSmtpMinRecipientKeyBytes && length <= kSmtpMaxRecipientKeyBytes &&
           (static_cast<unsigned char>(n[0]) & 1u) != 0;
}

CSmtpLookup ReadLookupAnswer(const CZelXmlDocument& answer, const CZelString& address)
{
    using Kind = CSmtpLookup::Kind;
    const CZelXmlNode root = answer.RootElement();
    CSmtpLookup lookup;
    CSmtpRecipient& recipient = lookup.recipient;
    recipient.address = address;
    recipient.msgId = root.GetAttr(kAttrMsgId);
    if (recipient.msgId.IsEmpty()) {
        lookup.errorText = root.GetAttr(kAttrErrorMessage);
        lookup.kind = lookup.errorText.IsEmpty() ? Kind::NoSuchUser : Kind::Refused;
        return lookup;
    }
    recipient.n = root.GetAttr(kAttrN);
    recipient.e = root.GetAttr(kAttrE);
    recipient.userId = root.GetAttr(kAttrUserId);
    recipient.name = root.GetAttr(kAttrName);
    recipient.translitName = root.GetAttr(kAttrTranslitName);
    recipient.unicodeName = root.GetAttr(kAttrUnicodeName);

    int64_t userId = -1;
    if (!IsUsableMessageId(recipient.msgId) || recipient.n.IsEmpty() || recipient.e.IsEmpty() ||
        !ParseDecimal(recipient.userId, userId) || userId < 0) {
        lookup.kind = Kind::ServerReplyError;
        return lookup;
    }
    lookup.kind = IsUsableRecipientKey(recipient.n) ? Kind::Accepted : Kind::EndSession;
    return lookup;
}
