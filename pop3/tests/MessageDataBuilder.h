#pragma once
// Message data built in the test the way the central server builds a recipient's copy: the
// sealed sender record, then the message record with the recipient's key block, the encrypted
// text and the sender's signature block, under a transfer hash. Each part can be spoilt on its
// own, to show what the download refuses.

#include "testing/MailTestSupport.h"

#include "protocol/ZelProtocolVocabulary.h"

#include <string>

namespace downloadtest {

using namespace mailtest;

struct MessageDataBuilder {
    // Sender key pair 0 (account 1), recipient key pair 1 (account 2).
    CZelString inbox = MakeSessionKey();
    CZelString messageId = "17.4";
    int64_t senderId = 1;
    int64_t recipientId = 2;
    std::string text = "From: someone@else.example\r\nSubject: hi\r\n\r\nHello, Bob.\r\n";
    CZelString key = RandomBytes(32), salt = RandomBytes(8), hashKey = RandomBytes(32), hashSalt = RandomBytes(8);
    CZelString senderEmail = "alice@example.org";
    CZelString unicodeName = CZelString("T\0e\0", 4);

    // What a test may spoil.
    bool withSender = true;
    bool withKeyBlock = true;
    bool withSignature = true;
    bool signatureBeforeSender = false;
    int64_t keyBlockAccount = -1;         // -1: the recipient
    CZelString keyBlockMessageId;         // empty: messageId
    CZelString sealingKey;                // empty: inbox (the sender record's key)
    CZelString signingExponent;           // empty: the sender's d
    CZelString hashOverride;              // empty: the true hash of the text
    std::string errorRecordStatus;        // non-empty: an error record first

    static const KeyPair& SenderKeys() { return UserKeys(0); }
    static const KeyPair& RecipientKeys() { return UserKeys(1); }

    CZelString SenderRecord() const
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        CZelXmlNode root = document.RootElement();
        root.SetAttr(kAttrName, "Alice");
        root.SetAttr(kAttrTranslitName, "Alice");
        root.SetAttr(kAttrUnicodeName, unicodeName);
        root.SetAttr(kAttrEmail, senderEmail);
        root.SetAttr(kAttrId, Format("%D", senderId));
        root.SetAttr(kAttrSentMessageTimeStamp, "1700000000000000");
        root.SetAttr(kAttrN, SenderKeys().n);
        root.SetAttr(kAttrE, SenderKeys().e);
        return Frame(kRecordSenderInfo, SealAnswer(sealingKey.IsEmpty() ? inbox : sealingKey, document.ToRequestText()));
    }

    CZelString ErrorRecord() const
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr(kAttrMessageId, messageId);
        document.RootElement().SetAttr(kAttrStatus, errorRecordStatus.c_str());
        document.RootElement().SetAttr(kAttrExtendedErrorCode, "42");
        return Frame(kRecordError, SealAnswer(inbox, document.ToRequestText()));
    }

    CZelString KeyBlock() const
    {
        CZelXmlDocument block;
        block.Create("doc", "Root");
        block.RootElement().SetAttr(kAttrRcpt, "bob@example.org");
        block.RootElement().SetAttr(kAttrMsgId, keyBlockMessageId.IsEmpty() ? messageId : keyBlockMessageId);
        block.RootElement().SetAttr(kAttrKey, key);
        block.RootElement().SetAttr(kAttrSalt, salt);
        const int64_t account = keyBlockAccount < 0 ? recipientId : keyBlockAccount;
        return Frame(kRecordKeyBlock, Int64BE(account) + RsaApply(RecipientKeys().n, RecipientKeys().e,
                                                                   block.ToRequestText()));
    }

    CZelString Signature() const
    {
        const CZelString plain(std::string_view{text});
        CZelXmlDocument signature;
        signature.Create("doc", "Root");
        signature.RootElement().SetAttr(kAttrSenderId, Format("%D", senderId));
        signature.RootElement().SetAttr(kAttrHashKey, hashKey);
        signature.RootElement().SetAttr(kAttrHashSalt, hashSalt);
        signature.RootElement().SetAttr(kAttrHash,
                                        hashOverride.IsEmpty() ? KeyedHash32(hashKey, hashSalt, plain) : hashOverride);
        const CZelString exponent = signingExponent.IsEmpty() ? SenderKeys().d : signingExponent;
        return Frame(kRecordSenderBlock, Int64BE(senderId) + RsaApply(SenderKeys().n, exponent, signature.ToRequestText()));
    }

    // The content records (what follows the transfer hash).
    CZelString Content() const
    {
        CZelString inner;
        if (withKeyBlock)
            inner += KeyBlock();
        inner += Frame(kRecordMessageText, Cfb(key, salt, CZelString(std::string_view{text}), true));
        if (withSignature)
            inner += Signature();
        CZelString content;
        if (!errorRecordStatus.empty())
            content += ErrorRecord();
        if (withSender && !signatureBeforeSender)
            content += SenderRecord();
        content += Frame(kRecordMessage, inner);
        if (withSender && signatureBeforeSender)
            content += SenderRecord();
        return content;
    }

    // The message data: transfer hash under the Inbox key, then the content.
    CZelString Data() const
    {
        const CZelString content = Content();
        return TransferHash(inbox, content) + content;
    }

    // A complete download file of the data.
    std::string DownloadFile() const
    {
        const CZelString data = Data();
        return (Int64BE(data.Length()) + data).ToStd();
    }
};

} // namespace downloadtest
