#include "accounts/CZelContactListModifyThread.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelGlobalLocks.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/CZelServerRun.h"
#include "protocol/ZelSealing.h"

namespace {

using namespace AccountAttr;

constexpr char kThisFile[] = "CZelContactListModifyThread.cpp";

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
    if (CZelString(action) == kActionAddContact)
        command.SetAttr(kAttrSecureCode, secureCode);
    root.AddChild(command);
}

CZelXmlDocument CZelContactListModifyThread::AddToContactList(const CZelString& email, const CZelString& secureCode)
{
    return OneCommand(kActionAddContact, email, secureCode);
}

CZelXmlDocument CZelContactListModifyThread::AddToBlackList(const CZelString& email)
{
    return OneCommand(kActionAddBlack, email);
}

CZelXmlDocument CZelContactListModifyThread::RemoveFromContactList(const CZelString& email)
{
    return OneCommand(kActionRemoveContact, email);
}

CZelXmlDocument CZelContactListModifyThread::MoveToBlackList(const CZelString& email)
{
    return TwoCommands(kActionRemoveContact, kActionAddBlack, email);
}

CZelXmlDocument CZelContactListModifyThread::RemoveFromBlackList(const CZelString& email)
{
    return OneCommand(kActionRemoveBlack, email);
}

CZelXmlDocument CZelContactListModifyThread::MoveToContactList(const CZelString& email, const CZelString& secureCode)
{
    return TwoCommands(kActionRemoveBlack, kActionAddContact, email, secureCode);
}

CZelContactListModifyThread::CZelContactListModifyThread(int64_t accountId, const CZelXmlDocument& commands,
                                                         CZelServerAddress server)
    : m_accountId(accountId), m_commands(commands, true), m_server(std::move(server))
{
}

CZelContactListModifyThread::~CZelContactListModifyThread()
{
    EndRun();
}

int CZelContactListModifyThread::Run()
{
    return RunGuarded([this] { return RunCommands(); }, kThisFile) == 1 ? 1 : 0;
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

    CZelServerRun run(m_server, kKeyNumContactList, kHttpLongWriteTimeoutMs, StatusSinkTr(kThisFile));
    const CWatchedConnection watched(*this, run.Connection());
    run.RequestServerKeys();
    const CZelLoginResult login = run.Login({root.GetAttr(kId), root.GetAttr(kN), root.GetAttr(kD)});
    if (!login.sent)
        throw XTOOErrMsg("the login could not be encrypted");
    for (const CZelXmlDocument& answer : login.answers)
        CAccountUpdates::Write(m_accountId, answer);

    const CZelString lastUpdates = root.FindChild(kContactListUpdates).GetAttr(kTimeStamp);
    m_commands.RootElement().SetAttr(kAttrLastUpdatesTimeStamp, lastUpdates.IsEmpty() ? CZelString("0") : lastUpdates);

    SetStatusTr(kSending, kThisFile);
    int64_t result = -1;
    bool refused = false;
    for (const CZelXmlDocument& answer : run.Request(kRequestContactList, m_commands, m_accountId)) {
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
        SetStatusTr(kCompleted, kThisFile);
    return result;
}
