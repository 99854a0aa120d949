// The message requests' entry points and the small ones: ReqMsgId (4), Seed (10), the received
// report (20) and delete (17). The upload (23) and the block fetch (24) are in
// CCentralMessageTransfer.cpp.

#include "server/CCentralMessages.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelServerRequests.h"

#include <map>
#include <memory>
#include <optional>

namespace {

CZelXmlDocument StatusAnswer(const char* refusal)
{
    CZelXmlDocument answer = CCentralServer::NewAnswer();
    CZelXmlNode root = answer.RootElement();
    root.SetAttr(kAttrStatus, refusal ? kStatusError : kStatusOk);
    if (refusal)
        root.SetAttr(kAttrErrorMessage, refusal);
    return answer;
}

} // namespace

bool CCentralMessages::MaySend(const CCentralAccount& sender)
{
    return sender.userLevel != kLevelRestricted && sender.userLevel != kLevelDisabled &&
           sender.operatedStatus != kOperatedDisabled;
}

CCentralMessages::CCentralMessages(CCentralServer& server)
    : m_server(server), m_store(server.Store()), m_messages(server.Store())
{
}

CZelString CCentralMessages::WriteRefusal(const CCentralAccount& sender, const CCentralAccount& recipient)
{
    switch (m_store.ListOf(recipient.id, sender.id)) {
    case CCentralList::Contact:
        return CZelString();
    case CCentralList::Black:
        return kErrRecipientRefuses;
    case CCentralList::None:
        break;
    }
    return recipient.autoReplyEng.IsEmpty() ? CZelString(kErrContactsOnly) : recipient.autoReplyEng;
}

CZelString CCentralMessages::ReqMsgIdRequest(const CZelString& payload)
{
    return m_server.AnswerSealed(kRequestReqMsgId, payload, [this](CCentralSealedRequest& request) {
        return ReserveMessageId(request);
    });
}

CZelXmlDocument CCentralMessages::ReserveMessageId(const CCentralSealedRequest& request)
{
    const CCentralAccount& sender = request.account;
    const CZelString address = request.document.RootElement().GetAttr(kAttrRcpt);
    const std::optional<CCentralAccount> recipient =
        address.IsEmpty() ? std::nullopt : m_store.FindAccountByEmail(address);

    CZelXmlDocument answer = CCentralServer::NewAnswer();
    CZelXmlNode root = answer.RootElement();
    root.SetAttr(kAttrTimeStamp, Format("%D", m_server.Now()));
    const int64_t since = m_server.Now() - kReservationLifetimeMicroseconds;
    m_messages.ForgetUnusedReservations(sender.id, since);
    CZelString refusal;
    if (!MaySend(sender))
        refusal = kErrSendingNotAllowed;
    else if (!recipient)
        refusal = kErrNoSuchUser;
    else
        refusal = WriteRefusal(sender, *recipient);
    if (refusal.IsEmpty() && m_messages.OpenReservations(sender.id, since) >= kMaxOpenReservations)
        refusal = kErrTooManyReservations;
    if (!refusal.IsEmpty()) {
        root.SetAttr(kAttrStatus, kStatusError);
        root.SetAttr(kAttrErrorMessage, refusal);
        return answer;
    }
    root.SetAttr(kAttrStatus, kStatusOk);
    root.SetAttr(kAttrMsgId, m_messages.ReserveMessageId(sender.id, recipient->id));
    root.SetAttr(kAttrN, recipient->n);
    root.SetAttr(kAttrE, recipient->e);
    root.SetAttr(kAttrUserId, Format("%D", recipient->id));
    root.SetAttr(kAttrEmail, recipient->email);
    root.SetAttr(kAttrName, recipient->name);
    root.SetAttr(kAttrTranslitName, recipient->translitName);
    root.SetAttr(kAttrUnicodeName, recipient->unicodeName);
    return answer;
}

CZelString CCentralMessages::SeedRequest(const CZelString& payload)
{
    return m_server.AnswerSealed(kRequestSeed, payload, [this](CCentralSealedRequest& request) {
        return ListMessages(request);
    });
}

CZelXmlDocument CCentralMessages::ListMessages(const CCentralSealedRequest& request)
{
    const CCentralAccount& caller = request.account;
    const CZelXmlNode document = request.document.RootElement();
    const CZelString seed = document.GetAttr(kAttrSeed);
    const auto stored = m_store.Seed(caller.id);
    if (seed.IsEmpty() || !stored || stored->first != seed || stored->second <= m_server.Now())
        return StatusAnswer(kErrSeedInvalid);

    int64_t after = 0;
    if (!ParseDecimal(document.GetAttr(kAttrLastDeliveredTimeStamp), after) || after < 0)
        after = 0;
    CZelXmlDocument answer = StatusAnswer(nullptr);
    CZelXmlNode root = answer.RootElement();
    root.SetAttr(kAttrTimeStamp, Format("%D", m_server.Now()));
    std::map<int64_t, std::optional<CCentralAccount>> recipients;
    for (const CCentralDelivery& delivery : m_messages.DeliveriesAfter(caller.id, after)) {
        CZelXmlElement element(kElementDelivered);
        element.SetAttr(kAttrMessageId, delivery.messageId);
        if (delivery.delivered > 0)
            element.SetAttr(kAttrTimeStamp, Format("%D", delivery.delivered));
        if (delivery.abuseTime > 0) {
            element.SetAttr(kAttrAbuseReportTimeStamp, Format("%D", delivery.abuseTime));
            element.SetAttr(kAttrAbuseReport, delivery.abuseReport);
        }
        // Who it went to, so that a history that lost its entry gets a readable one back.
        auto found = recipients.find(delivery.recipientId);
        if (found == recipients.end())
            found = recipients.emplace(delivery.recipientId, m_store.FindAccount(delivery.recipientId)).first;
        if (found->second) {
            element.SetAttr(kAttrUserId, Format("%D", found->second->id));
            element.SetAttr(kAttrEmail, found->second->email);
            element.SetAttr(kAttrName, found->second->name);
            element.SetAttr(kAttrTranslitName, found->second->translitName);
            element.SetAttr(kAttrUnicodeName, found->second->unicodeName);
        }
        root.AddChild(element);
    }
    for (const CZelString& messageId : m_messages.WaitingFor(caller.id)) {
        CZelXmlElement element(kElementMessage);
        element.SetAttr(kAttrMessageId, messageId);
        root.AddChild(element);
    }
    return answer;
}

CZelString CCentralMessages::ReceivedRequest(const CZelString& payload)
{
    return m_server.AnswerSealed(kRequestReceived, payload, [this](CCentralSealedRequest& request) {
        const CZelString messageId = request.document.RootElement().GetAttr(kAttrMessageId);
        const bool known = !messageId.IsEmpty() &&
                           m_messages.MarkDelivered(messageId, request.account.id, m_store.NextTimeStamp());
        return StatusAnswer(known ? nullptr : kErrNoSuchMessage);
    });
}

CZelString CCentralMessages::DeleteRequest(const CZelString& payload)
{
    return m_server.AnswerSealed(kRequestDeleteMessage, payload, [this](CCentralSealedRequest& request) {
        return DeleteCopy(request);
    });
}

CZelXmlDocument CCentralMessages::DeleteCopy(const CCentralSealedRequest& request)
{
    const CZelString messageId = request.document.RootElement().GetAttr(kAttrMsgId);
    const char* refusal = kErrNoSuchMessage;
    if (!messageId.IsEmpty()) {
        if (const auto copy = m_messages.FindCopy(messageId, request.account.id)) {
            m_messages.DeleteCopy(*copy);
            refusal = nullptr;
        } else if (const auto reservation = m_messages.FindReservation(messageId)) {
            // Deleted before: a repeated request whose first answer was lost.
            if (reservation->bound && reservation->recipientId == request.account.id)
                refusal = nullptr;
        }
    }
    return StatusAnswer(refusal);
}

void RegisterMessageRequests(CCentralServer& server)
{
    auto messages = std::make_shared<CCentralMessages>(server);
    server.RegisterSelfLocked(kRequestReqMsgId, [messages](const CZelString& p) { return messages->ReqMsgIdRequest(p); });
    server.RegisterSelfLocked(kRequestUploadBlock, [messages](const CZelString& p) { return messages->UploadBlockRequest(p); });
    server.RegisterSelfLocked(kRequestSeed, [messages](const CZelString& p) { return messages->SeedRequest(p); });
    server.RegisterSelfLocked(kRequestFetchBlock, [messages](const CZelString& p) { return messages->FetchBlockRequest(p); });
    server.RegisterSelfLocked(kRequestReceived, [messages](const CZelString& p) { return messages->ReceivedRequest(p); });
    server.RegisterSelfLocked(kRequestDeleteMessage, [messages](const CZelString& p) { return messages->DeleteRequest(p); });
}
