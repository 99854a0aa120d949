// The requests with command lists: contact list changes (26) and administration (28). Each
// command is answered by its own `Command` element; the root's `Status` is "OK" only when
// every command was, otherwise "Error" with the first refusal as `ErrorMessage`.

#include "foundation/CZelFormat.h"
#include "foundation/ZelDateTime.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelServerRequests.h"
#include "server/CCentralAccountGuards.h"
#include "server/CCentralServer.h"

#include <optional>

namespace {

class CommandResults {
public:
    explicit CommandResults(CZelXmlNode root) : m_root(std::move(root)) {}

    // Appends the result element; `refusal` null means done.
    CZelXmlNode Add(const char* refusal)
    {
        CZelXmlElement element(kElementCommand);
        element.SetAttr(kAttrStatus, refusal ? refusal : kStatusOk);
        if (refusal) {
            element.SetAttr(kAttrErrorMessage, refusal);
            if (!m_firstRefusal)
                m_firstRefusal = refusal;
        }
        m_root.AddChild(element);
        return element;
    }

    void Finish()
    {
        m_root.SetAttr(kAttrStatus, m_firstRefusal ? kStatusError : kStatusOk);
        if (m_firstRefusal)
            m_root.SetAttr(kAttrErrorMessage, m_firstRefusal);
    }

private:
    CZelXmlNode m_root;
    const char* m_firstRefusal = nullptr;
};

// Why "+cl" of the caller for the member is refused; null when it goes through. A member who
// black-lists the caller refuses him here as he refuses his mail, and a caller who guessed
// too many codes for the member is refused for a while whatever code he sends now.
const char* AddContactRefusal(CCentralStore& store, const CCentralAccount& caller, const CCentralAccount& member,
                              const CZelString& code)
{
    if (store.ListOf(member.id, caller.id) == CCentralList::Black)
        return kErrRecipientRefuses;
    CCentralAccountGuards guards(store.Db());
    const int64_t now = NowMicroseconds();
    if (guards.IsCodeBlocked(caller.id, member.id, now))
        return kErrTooManyWrongCodes;
    // An empty code never opens a list, whatever the user typed.
    if (member.secureCode.IsEmpty() || code != member.secureCode) {
        guards.RecordWrongCode(caller.id, member.id, now);
        return kErrWrongSecureCode;
    }
    return nullptr;
}

} // namespace

CZelString CCentralServer::ContactListRequest(const CZelString& payload)
{
    return AnswerSealed(kRequestContactList, payload, [this](CCentralSealedRequest& request) {
        return ChangeLists(request);
    });
}

CZelXmlDocument CCentralServer::ChangeLists(const CCentralSealedRequest& request)
{
    const CCentralAccount& caller = request.account;
    const CZelXmlNode root = request.document.RootElement();
    CZelXmlDocument answer = NewAnswer();
    CommandResults results(answer.RootElement());

    for (CZelXmlNode command = root.FindChild(kElementCommand); !command.IsNull(); command = command.NextSameName()) {
        const CZelString action = command.GetAttr(kAttrAction);
        const CZelString email = command.GetAttr(kAttrEmail);
        const std::optional<CCentralAccount> member = m_store.FindAccountByEmail(email);
        const CCentralList current = member ? m_store.ListOf(caller.id, member->id) : CCentralList::None;
        const char* refusal = nullptr;
        if (action != kActionAddContact && action != kActionAddBlack && action != kActionRemoveContact &&
            action != kActionRemoveBlack)
            refusal = kErrUnknownAction;
        else if (!member)
            refusal = kErrNoSuchUser;
        else if (member->id == caller.id)
            refusal = kErrSelf;
        else if (action == kActionAddContact)
            refusal = AddContactRefusal(m_store, caller, *member, command.GetAttr(kAttrSecureCode));
        else if (action == kActionRemoveContact && current != CCentralList::Contact)
            refusal = kErrNotOnContactList;
        else if (action == kActionRemoveBlack && current != CCentralList::Black)
            refusal = kErrNotOnBlackList;

        if (!refusal) {
            if (action == kActionAddContact) {
                m_store.PutOnList(caller.id, member->id, CCentralList::Contact);
                m_store.AddUpdate(caller.id, kActionAddContact, *member);
                m_store.PutOnList(member->id, caller.id, CCentralList::Contact);
                m_store.AddUpdate(member->id, kActionAddContact, caller);
            } else if (action == kActionAddBlack) {
                m_store.PutOnList(caller.id, member->id, CCentralList::Black);
                m_store.AddUpdate(caller.id, kActionAddBlack, *member);
            } else {
                m_store.TakeOffList(caller.id, member->id);
                m_store.AddUpdate(caller.id, action == kActionRemoveContact ? kActionRemoveContact : kActionRemoveBlack,
                                  *member);
            }
        }
        CZelXmlNode result = results.Add(refusal);
        result.SetAttr(kAttrEmail, email);
        result.SetAttr(kAttrAction, action);
    }
    results.Finish();
    answer.RootElement().AddChild(MakeUpdates(caller, root.GetAttr(kAttrLastUpdatesTimeStamp)));
    return answer;
}

const char* CCentralServer::AdministrativeCommand(const CCentralAccount& caller, const CZelXmlNode& command)
{
    const CZelString name = command.GetAttr(kAttrAdminCommand);
    if (name == kAdminAbuseSpam || name == kAdminAbuseVirus)
        return ReportAbuse(caller, command.GetAttr(kAttrMessageId), name);
    if (name != kAdminAuthorize && name != kAdminRestrict)
        return kErrUnknownCommand;
    if (caller.userLevel != kLevelAdministrator)
        return kErrNotAdministrator;
    const std::optional<CCentralAccount> user = m_store.FindAccountByEmail(command.GetAttr(kAttrEmail));
    if (!user)
        return kErrNoSuchUser;
    if (user->userLevel == kLevelAdministrator)
        return kErrAdministratorLevel;
    m_store.SetStanding(user->id, name == kAdminAuthorize ? kLevelAuthorized : kLevelRestricted, user->operatedStatus);
    if (m_log)
        m_log(Format("%S: %S by %S", &name, &user->email, &caller.email));
    return nullptr;
}

const char* CCentralServer::ReportAbuse(const CCentralAccount& caller, const CZelString& messageId,
                                        const CZelString& report)
{
    if (messageId.IsEmpty())
        return kErrNoSuchMessage;
    // Only the message's recipient reports it, and the first report stands.
    m_store.Db()
        .Prepare("UPDATE message_recipients SET abuse_report = ?, abuse_time = ?"
                 " WHERE message_id = ? AND recipient_id = ? AND abuse_report IS NULL")
        .Bind(1, report).Bind(2, m_store.NextTimeStamp()).BindText(3, messageId).Bind(4, caller.id).Run();
    if (m_store.Db().Changes() == 0) {
        CStoreStatement known = m_store.Db().Prepare(
            "SELECT 1 FROM message_recipients WHERE message_id = ? AND recipient_id = ?");
        known.BindText(1, messageId).Bind(2, caller.id);
        if (!known.Step())
            return kErrNoSuchMessage;
    }
    return nullptr;
}

CZelString CCentralServer::AdministrativeRequest(const CZelString& payload)
{
    return AnswerSealed(kRequestAdministrative, payload, [this](CCentralSealedRequest& request) {
        return Administer(request);
    });
}

CZelXmlDocument CCentralServer::Administer(const CCentralSealedRequest& request)
{
    const CZelXmlNode root = request.document.RootElement();
    CZelXmlDocument answer = NewAnswer();
    CommandResults results(answer.RootElement());
    for (CZelXmlNode command = root.FindChild(kElementCommand); !command.IsNull(); command = command.NextSameName()) {
        CZelXmlNode result = results.Add(AdministrativeCommand(request.account, command));
        for (const char* attribute : {kAttrAdminCommand, kAttrEmail, kAttrMessageId}) {
            bool found = false;
            const CZelString value = command.GetAttr(attribute, &found);
            if (found)
                result.SetAttr(attribute, value);
        }
    }
    if (root.FindChild(kElementCommand).IsNull())
        results.Add(kErrNoCommands);
    results.Finish();
    // The caller's own standing may have changed; read it afresh.
    const auto caller = m_store.FindAccount(request.account.id);
    answer.RootElement().AddChild(MakeUpdates(caller ? *caller : request.account, root.GetAttr(kAttrLastUpdatesTimeStamp)));
    return answer;
}
