#include "accounts/CZelAdministrativeThread.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"

#include <ctime>

namespace {

using namespace AccountAttr;
using EKind = CZelAdministrativeThread::EKind;

constexpr char kThisFile[] = "CZelAdministrativeThread.cpp";

CZelString Tr(const char* text)
{
    return Translate(text, kThisFile);
}

bool LoadAccount(int64_t accountId, CZelXmlDocument& account)
{
    CZelLockGuard hold(ZelDataLock(), "CZelAdministrativeThread::LoadAccount()", __LINE__);
    return CAccountFile::Load(CAccountFile::FileNameFor(accountId), account);
}

bool IsAdministrator(const CZelXmlDocument& account)
{
    return account.RootElement().GetAttr(kUserLevel) == kLevelAdministrator;
}

} // namespace

const char* CZelAdministrativeThread::CommandOf(EKind kind)
{
    switch (kind) {
    case EKind::Authorize:
        return kAdminAuthorize;
    case EKind::Restrict:
        return kAdminRestrict;
    case EKind::ReportSpam:
        return kAdminAbuseSpam;
    case EKind::ReportVirus:
        return kAdminAbuseVirus;
    }
    return nullptr;
}

bool CZelAdministrativeThread::NeedsAdministrator(EKind kind)
{
    return kind == EKind::Authorize || kind == EKind::Restrict;
}

bool CZelAdministrativeThread::IsReport(EKind kind)
{
    return kind == EKind::ReportSpam || kind == EKind::ReportVirus;
}

CZelAdministrativeThread::ERefusal CZelAdministrativeThread::CheckRefusal(int64_t accountId, EKind kind)
{
    if (AdministrativeSlot().IsBusy())
        return ERefusal::Busy;
    CZelXmlDocument account;
    if (!LoadAccount(accountId, account))
        return ERefusal::AccountUnreadable;
    if (NeedsAdministrator(kind) && !IsAdministrator(account))
        return ERefusal::NotAdministrator;
    return ERefusal::None;
}

std::unique_ptr<CZelAdministrativeThread> CZelAdministrativeThread::Prepare(int64_t accountId, int64_t row, EKind kind,
                                                                            const CZelString& parameter,
                                                                            const CZelServerAddress& server,
                                                                            ERefusal* refusal)
{
    const ERefusal why = CheckRefusal(accountId, kind);
    if (refusal)
        *refusal = why;
    if (why != ERefusal::None)
        return nullptr;
    return std::make_unique<CZelAdministrativeThread>(accountId, row, kind, parameter, server);
}

bool CZelAdministrativeThread::Start(int64_t accountId, int64_t row, EKind kind, const CZelString& parameter,
                                     const CZelServerAddress& server)
{
    std::unique_ptr<CZelAdministrativeThread> thread = Prepare(accountId, row, kind, parameter, server);
    // A thread the slot did not take is deleted here, as it goes out of scope.
    return thread && AdministrativeSlot().Start(thread);
}

bool CZelAdministrativeThread::MakeRequestDocument(EKind kind, const CZelString& parameter, CZelXmlDocument& document)
{
    const char* command = CommandOf(kind);
    if (!command || parameter.IsEmpty())
        return false;
    document = CZelXmlDocument();
    document.Create(kDocTypeAdministrative, kDocTypeAdministrative);
    CZelXmlElement element(kElementCommand);
    element.SetAttr(kAttrAdminCommand, command);
    element.SetAttr(NeedsAdministrator(kind) ? kAttrEmail : kAttrMessageId, parameter);
    document.RootElement().AddChild(element);
    return true;
}

CZelAdministrativeThread::CVerdict CZelAdministrativeThread::ReadAnswer(const CZelXmlDocument& answer)
{
    CVerdict verdict;
    const CZelXmlNode root = answer.RootElement();
    verdict.errorMessage = root.GetAttr(kAttrErrorMessage);
    for (CZelXmlNode command = root.FindChild(kElementCommand); !command.IsNull(); command = command.NextSameName()) {
        if (command.GetAttr(kAttrStatus) == kStatusOk) {
            ++verdict.positive;
            continue;
        }
        if (verdict.negative == 0)
            verdict.errorMessage = command.GetAttr(kAttrErrorMessage);
        ++verdict.negative;
    }
    if (verdict.positive + verdict.negative == 0)
        verdict.succeeded = root.GetAttr(kAttrStatus) == kStatusOk;
    else
        verdict.succeeded = verdict.negative == 0;
    return verdict;
}

CZelAdministrativeThread::CZelAdministrativeThread(int64_t accountId, int64_t row, EKind kind,
                                                   const CZelString& parameter, CZelServerAddress server)
    : m_accountId(accountId), m_row(row), m_kind(kind), m_server(std::move(server))
{
    if (NeedsAdministrator(kind))
        m_email = parameter;
    else
        m_messageId = parameter;
}

CZelAdministrativeThread::~CZelAdministrativeThread()
{
    EndRun();
}

int CZelAdministrativeThread::Run()
{
    return RunGuarded([this] { return RunRequest(); }, kThisFile) == 1 ? 1 : 0;
}

int64_t CZelAdministrativeThread::RunRequest()
{
    CZelXmlDocument account;
    if (!LoadAccount(m_accountId, account))
        return -1;
    // Checked again: the account's level may have changed since the request was offered.
    if (NeedsAdministrator(m_kind) && !IsAdministrator(account))
        return -1;
    CZelXmlDocument request;
    if (!MakeRequestDocument(m_kind, NeedsAdministrator(m_kind) ? m_email : m_messageId, request)) {
        SetStatusTr(kIncorrectParameters, kThisFile);
        return -1;
    }

    CRun run;
    const CWatchedConnection watched(*this, run.connection);
    RequestServerKey(run);
    if (!HandOverSessionKey(run, account))
        return -1;
    return SendRequest(run, request);
}

CZelString CZelAdministrativeThread::Post(CRun& run, uint32_t type, const CZelString& payload)
{
    StopPoint();
    CZelHttpLimits limits;
    limits.readTimeoutMs = kRequestTimeoutMs;
    limits.maxSilentReads = 1;
    const CZelString body = CZelHttpClient(m_server, limits).Post(Frame(type, payload), run.connection, kRequestTimeoutMs);
    StopPoint();
    return body;
}

void CZelAdministrativeThread::StopPoint() const
{
    if (IsStopSignalled())
        throw XTOOErrMsg("the administrative request was stopped");
}

void CZelAdministrativeThread::RequestServerKey(CRun& run)
{
    SetStatusTr(kRequestingServerKeys, kThisFile);
    bool complete = false;
    for (const CZelRecord& record : SplitRecords(Post(run, kRequestServerKey, CZelString()))) {
        CZelXmlDocument answer;
        if (record.type != AnswerType(kRequestServerKey) || !answer.Parse(record.payload))
            continue;
        complete = !answer.RootElement().GetAttr(kAttrN).IsEmpty() && !answer.RootElement().GetAttr(kAttrE).IsEmpty();
        break;
    }
    // The key itself is not used further: the request goes on without it.
    SetStatusTr(complete ? kServerKeysReceived : kServerResponseError, kThisFile);
}

bool CZelAdministrativeThread::HandOverSessionKey(CRun& run, const CZelXmlDocument& account)
{
    const CZelXmlNode root = account.RootElement();
    const CZelAccountKey key{root.GetAttr(kId), root.GetAttr(kN), root.GetAttr(kD)};
    const CZelXmlDocument login =
        MakeLoginDocument(key.idText, kCommandReqTimestamp, {{KeyNumber(), run.key}}, kStandingOnlyTimeStamp);
    const CZelString payload = MakeLoginPayload(key, login, static_cast<uint32_t>(std::time(nullptr)));
    if (payload.IsEmpty()) {
        SetStatusTr(kRsaEncryptError, kThisFile);
        throw XTOOErrMsg("the login could not be encrypted");
    }
    SetStatusTr(kSettingSessionKey, kThisFile);
    const std::vector<CZelXmlDocument> answers =
        ParseSealedAnswers(Post(run, kRequestReqTimestamp, payload), AnswerType(kRequestReqTimestamp), run.key);
    for (const CZelXmlDocument& answer : answers)
        CAccountUpdates::Write(m_accountId, answer);
    if (answers.empty()) {
        SetStatusTr(kSettingSessionKeyError, kThisFile);
        return false;
    }
    return true;
}

int64_t CZelAdministrativeThread::SendRequest(CRun& run, const CZelXmlDocument& request)
{
    const CZelString sealed = Seal(m_accountId, KeyNumber(), run.key, request.ToRequestText());
    if (sealed.IsEmpty())
        throw XTOOErrMsg("the request could not be sealed");
    SetStatusTr(kSending, kThisFile);
    const std::vector<CZelXmlDocument> answers =
        ParseSealedAnswers(Post(run, kRequestAdministrative, sealed), AnswerType(kRequestAdministrative), run.key);
    if (answers.empty()) {
        SetStatusTr(kNoResponse, kThisFile);
        return -1;
    }
    const CVerdict verdict = ReadAnswer(answers.front());
    if (!verdict.succeeded) {
        SetStatus(FormatTr("%d%d%S", Tr(kSomeRefused), verdict.positive, verdict.negative, verdict.errorMessage));
        return -1;
    }
    SetStatusTr(kSuccess, kThisFile);
    return 1;
}

// Never destroyed, as the other worker slots: a thread still in it at the process's end must
// not be joined from a static destructor.
CZelWorkerSlot<CZelAdministrativeThread>& AdministrativeSlot()
{
    static auto* slot = new CZelWorkerSlot<CZelAdministrativeThread>;
    return *slot;
}
