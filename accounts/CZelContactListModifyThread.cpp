#include "accounts/CZelContactListModifyThread.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/CZelServerRun.h"
#include "protocol/ZelSealing.h"

#include <chrono>

namespace {

using namespace AccountAttr;

constexpr char kThisFile[] = "CZelContactListModifyThread.cpp";

CZelString Tr(const char* text)
{
    return Translate(text, kThisFile);
}

int64_t NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

CZelXmlDocument OneCommand(const char* action, const CZelString& email, const CZelString& code = CZelString())
{
    CZelXmlDocument document = CZelContactListModifyThread::NewCommandDocument();
    CZelContactListModifyThread::AddCommand(document, action, email, code);
    return document;
}

CZelXmlDocument TwoCommands(const char* first, const char* second, const CZelString& email,
                            const CZelString& code = CZelString())
{
    CZelXmlDocument document = OneCommand(first, email, code);
    CZelContactListModifyThread::AddCommand(document, second, email, code);
    return document;
}

} // namespace

CZelXmlDocument CZelContactListModifyThread::NewCommandDocument()
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    return document;
}

void CZelContactListModifyThread::AddCommand(CZelXmlDocument& document, const char* action, const CZelString& email,
                                             const CZelString& secureCode)
{
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kTimeStamp, Format("%D", NowMicroseconds()));
    CZelXmlElement command(kElementCommand);
    command.SetAttr(kAttrAction, action);
    command.SetAttr(kAttrEmail, email);
    if (CZelString(action) == ListAction::kAddContact)
        command.SetAttr(kAttrSecureCode, secureCode);
    root.AddChild(command);
}

CZelXmlDocument CZelContactListModifyThread::AddToContactList(const CZelString& email, const CZelString& secureCode)
{
    return OneCommand(ListAction::kAddContact, email, secureCode);
}

CZelXmlDocument CZelContactListModifyThread::AddToBlackList(const CZelString& email)
{
    return OneCommand(ListAction::kAddBlack, email);
}

CZelXmlDocument CZelContactListModifyThread::RemoveFromContactList(const CZelString& email)
{
    return OneCommand(ListAction::kRemoveContact, email);
}

CZelXmlDocument CZelContactListModifyThread::MoveToBlackList(const CZelString& email)
{
    return TwoCommands(ListAction::kRemoveContact, ListAction::kAddBlack, email);
}

CZelXmlDocument CZelContactListModifyThread::RemoveFromBlackList(const CZelString& email)
{
    return OneCommand(ListAction::kRemoveBlack, email);
}

CZelXmlDocument CZelContactListModifyThread::MoveToContactList(const CZelString& email, const CZelString& secureCode)
{
    return TwoCommands(ListAction::kRemoveBlack, ListAction::kAddContact, email, secureCode);
}

CZelContactListModifyThread::CZelContactListModifyThread(int64_t accountId, const CZelXmlDocument& commands)
    : m_accountId(accountId), m_commands(commands, true)
{
}

CZelContactListModifyThread::~CZelContactListModifyThread()
{
    EndRun();
}

int CZelContactListModifyThread::Run()
{
    int64_t result = -1;
    try {
        result = RunCommands();
    } catch (const XTOOSockErr& error) {
        SetStatus(FormatTr("%S", Tr(kSocketError), error.GetText()));
        result = -1;
    } catch (...) {
        SetStatus(Tr(kUnknownError));
        result = -1;
    }
    SetResult(result);
    return result == 1 ? 1 : 0;
}

int64_t CZelContactListModifyThread::RunCommands()
{
    CZelXmlDocument account = CAccountFile::NewDocument();
    {
        CZelLockGuard hold(ZelDataLock(), "CZelContactListModifyThread::Run()", __LINE__);
        if (!CAccountFile::Load(CAccountFile::FileNameFor(m_accountId), account))
            ProtocolDebugOutput(kAccountUnreadable);
    }
    const CZelXmlNode root = account.RootElement();

    CZelServerRun run(kKeyNumContactList, kHttpLongWriteTimeoutMs, [this](const CZelString& text) { SetStatus(text); });
    const CWatchedConnection watched(*this, run.Connection());
    run.RequestServerKeys();
    const CZelLoginResult login = run.Login({root.GetAttr(kId), root.GetAttr(kN), root.GetAttr(kD)});
    if (!login.sent)
        throw XTOOErrMsg("the login could not be encrypted");
    for (const CZelXmlDocument& answer : login.answers)
        CAccountUpdates::Write(m_accountId, answer);

    const CZelString lastUpdates = root.FindChild(kContactListUpdates).GetAttr(kTimeStamp);
    m_commands.RootElement().SetAttr(kAttrLastUpdatesTimeStamp, lastUpdates.IsEmpty() ? CZelString("0") : lastUpdates);

    SetStatus(Tr(kSending));
    int64_t result = -1;
    bool refused = false;
    for (const CZelXmlDocument& answer : run.Request(kRequestType, m_commands, m_accountId)) {
        for (CZelXmlNode command = answer.RootElement().FindChild(kElementCommand); !command.IsNull();
             command = command.NextSameName()) {
            const CZelString status = command.GetAttr(kAttrStatus);
            if (status != kStatusOk) {
                refused = true;
                SetStatus(status);
            }
        }
        result = refused ? -1 : 1;
        CAccountUpdates::Write(m_accountId, answer);
    }
    if (result == 1)
        SetStatus(Tr(kCompleted));
    return result;
}
