#include "accounts/CZelRegisterThread.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "core/CTranslations.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/ZelNumbers.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/CZelServerRun.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"

#include <ctime>

namespace {

using namespace AccountAttr;

constexpr char kThisFile[] = "CZelRegisterThread.cpp";

constexpr const char* kRegistrationAttributes[] = {kName,  kTranslitName, kUnicodeName, kBirthday,
                                                   kIssuedBy, kN,          kE,           kEmail,
                                                   kSecureCode, kAutoReply, kAutoReplyEng};

CZelString Tr(const char* text)
{
    return Translate(text, kThisFile);
}

CZelXmlDocument WithoutChildren(const CZelXmlDocument& account)
{
    CZelXmlDocument copy(account, true);
    CZelXmlNode root = copy.RootElement();
    while (!root.FirstChild().IsNull())
        root.RemoveChild(root.FirstChild());
    return copy;
}

} // namespace

CZelRegisterThread::CZelRegisterThread(int64_t accountId, const CZelXmlDocument& account, CZelServerAddress server)
    : m_accountId(accountId), m_account(WithoutChildren(account)), m_server(std::move(server))
{
}

CZelRegisterThread::~CZelRegisterThread()
{
    EndRun();
}

CZelRegisterThread::Refusal CZelRegisterThread::Prepare(const CZelString& fileName, Mode mode,
                                                        const CZelServerAddress& server,
                                                        std::unique_ptr<CZelRegisterThread>& thread)
{
    CZelXmlDocument document;
    {
        CZelLockGuard hold(ZelDataLock(), "CZelRegisterThread::Prepare()", __LINE__);
        if (!CAccountFile::Load(fileName, document))
            return Refusal::Unreadable;
    }
    const CZelXmlNode root = document.RootElement();
    if (root.GetAttr(kN).IsEmpty() || root.GetAttr(kD).IsEmpty() || root.GetAttr(kE).IsEmpty())
        return Refusal::NoKeys;
    const int64_t id = CAccountFile::ParseId(root.GetAttr(kId));
    if (mode == Mode::Register && id >= 0)
        return Refusal::Registered;
    if (mode == Mode::Update && id < 0)
        return Refusal::NotRegistered;
    thread = std::make_unique<CZelRegisterThread>(id, document, server);
    return Refusal::None;
}

CZelXmlDocument CZelRegisterThread::RegistrationDocument(const CZelXmlDocument& account)
{
    CZelXmlDocument document = CAccountFile::NewDocument();
    CZelXmlNode root = document.RootElement();
    const CZelXmlNode source = account.RootElement();
    for (const char* attribute : kRegistrationAttributes)
        root.SetAttr(attribute, source.GetAttr(attribute));
    return document;
}

int CZelRegisterThread::Run()
{
    const int64_t result = RunGuarded([this] { return AccountId() < 0 ? RunRegistration() : RunUpdate(); }, kThisFile);
    return result >= 0 ? 1 : 0;
}

int64_t CZelRegisterThread::RunRegistration()
{
    CZelServerRun run(m_server, kKeyNumAccountRun, kHttpWriteTimeoutMs, StatusSinkTr(kThisFile));
    const CWatchedConnection watched(*this, run.Connection());
    const CZelServerKey serverKey = run.RequestServerKeys();
    const CZelString text = RegistrationDocument(m_account).ToRequestText();

    SetStatus(FormatTr("%S", Tr(kEncrypting), m_account.RootElement().GetAttr(kEmail)));
    if (!serverKey.IsComplete())
        return -1;
    CZelString blocks;
    {
        const LongInt2 n(serverKey.n.Ptr(), serverKey.n.Length());
        const LongInt2 e(serverKey.e.Ptr(), serverKey.e.Length());
        const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
        if (RsaBlockTransform::Apply(n, e, text.Ptr(), text.Length(), now, blocks) <= 0)
            return -1;
    }

    SetStatus(Tr(kSending));
    const CZelString body = HttpPost(Frame(kRequestRegister, blocks), run.Address(), run.Connection(),
                                     kHttpLongWriteTimeoutMs);
    for (const CZelRecord& record : SplitRecords(body)) {
        CZelXmlDocument answer;
        if (record.type != AnswerType(kRequestRegister) || !answer.Parse(record.payload))
            continue;
        const CZelXmlNode root = answer.RootElement();
        const CZelString status = root.GetAttr(kAttrStatus);
        if (status == kStatusSuccess) {
            m_accountId.store(CAccountFile::ParseId(root.GetAttr(kId)));
            if (AccountId() >= 0) {
                SetStatus(FormatTr("%D", Tr(kRegistered), AccountId()));
                return AccountId();
            }
        }
        SetStatus(status);
    }
    return -1;
}

int64_t CZelRegisterThread::RunUpdate()
{
    const int64_t id = AccountId();
    CZelServerRun run(m_server, kKeyNumAccountRun, kHttpWriteTimeoutMs, StatusSinkTr(kThisFile));
    const CWatchedConnection watched(*this, run.Connection());
    run.RequestServerKeys();
    const CZelXmlDocument registration = RegistrationDocument(m_account);

    const CZelXmlNode account = m_account.RootElement();
    const CZelLoginResult login = run.Login({account.GetAttr(kId), account.GetAttr(kN), account.GetAttr(kD)});
    if (!login.sent)
        throw XTOOErrMsg("the login could not be encrypted");
    for (const CZelXmlDocument& answer : login.answers)
        CAccountUpdates::Write(id, answer);
    if (login.answers.empty())
        return -1;

    SetStatus(Tr(kSendingUpdate));
    const std::vector<CZelXmlDocument> answers = run.Request(kRequestAccountUpdate, registration, id);
    if (answers.empty()) {
        SetStatus(Tr(kNoResponse));
        return -1;
    }
    const CZelXmlNode root = answers.front().RootElement();
    if (root.GetAttr(kAttrStatus) != kStatusOk) {
        SetStatus(FormatTr("%S", Tr(kErrorMessage), root.GetAttr(kAttrErrorMessage)));
        return -1;
    }
    CAccountUpdates::Write(id, answers.front());
    SetStatus(Tr(kUpdated));
    return id;
}
