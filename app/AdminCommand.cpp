#include "app/AdminCommand.h"

#include "accounts/CZelAdministrativeThread.h"
#include "accounts/ZelConfiguredServer.h"
#include "app/AccountCommandSession.h"
#include "app/CCommandTable.h"
#include "foundation/ZelDateTime.h"
#include "history/CMessageHistory.h"

#include <ostream>
#include <string>

namespace {

using EKind = CZelAdministrativeThread::EKind;
using ERefusal = CZelAdministrativeThread::ERefusal;

// The command line's words for the kinds.
struct CKindWord {
    const char* command;
    const char* word;
    EKind kind;
};

constexpr CKindWord kKindWords[] = {
    {"admin", "authorize", EKind::Authorize},
    {"admin", "restrict", EKind::Restrict},
    {"report", "spam", EKind::ReportSpam},
    {"report", "virus", EKind::ReportVirus},
};

constexpr char kAdminUsage[] = "admin authorize|restrict ID EMAIL";
constexpr char kReportUsage[] = "report spam|virus ID MESSAGEID";
// The page takes no row here: the command has none.
constexpr int64_t kNoRow = -1;

void ExplainRefusal(CCommandContext& context, ERefusal refusal, int64_t accountId)
{
    switch (refusal) {
    case ERefusal::Busy:
        context.err << "velmo: another administrative request is still busy\n";
        break;
    case ERefusal::AccountUnreadable:
        context.err << "velmo: the account file of account " << accountId << " cannot be read\n";
        break;
    case ERefusal::NotAdministrator:
        context.err << "velmo: account " << accountId << " is not an administrator; nothing was sent\n";
        break;
    case ERefusal::None:
        break;
    }
}

void RecordReport(CCommandContext& context, const CZelAdministrativeThread& thread)
{
    const char* report = CZelAdministrativeThread::CommandOf(thread.Kind());
    if (!CMessageHistory::RecordAbuseReport(thread.AccountId(), thread.MessageId(), report, NowMicroseconds()))
        context.err << "velmo: the history holds no received message " << thread.MessageId().View()
                    << "; the report is not recorded there\n";
}

int RunRequest(CCommandContext& context, const CKindWord& kind)
{
    CAccountCommandSession session;
    if (!session.Begin(context, true))
        return kExitFailed;
    CAccountData account;
    if (!FindAccountById(context, context.args[1], account))
        return kExitFailed;
    ERefusal refusal = ERefusal::None;
    auto thread = CZelAdministrativeThread::Prepare(account.Id(), kNoRow, kind.kind, CZelString(context.args[2]),
                                                    ConfiguredServerAddress(), &refusal);
    if (!thread) {
        ExplainRefusal(context, refusal, account.Id());
        return kExitFailed;
    }
    if (!RunWorker(AdministrativeSlot(), thread, CStatusEcho::EveryText, context))
        return kExitFailed;
    MergeChangedAccounts();
    if (thread->Result() != 1) {
        context.err << "velmo: " << kind.command << " " << kind.word << " failed: " << thread->Status().View() << "\n";
        return kExitFailed;
    }
    if (CZelAdministrativeThread::IsReport(kind.kind))
        RecordReport(context, *thread);
    return kExitOk;
}

int AdministrativeCommand(CCommandContext& context, const char* command, const char* usage)
{
    const std::string word = context.args.empty() ? std::string() : context.args[0];
    for (const CKindWord& kind : kKindWords)
        if (command == std::string(kind.command) && word == kind.word && context.args.size() == 3)
            return RunRequest(context, kind);
    context.err << "velmo: usage: velmo " << usage << "\n";
    return kExitUsage;
}

} // namespace

void AddAdministrativeCommands(CCommandTable& table)
{
    table.Add("report", kReportUsage,
              [](CCommandContext& context) { return AdministrativeCommand(context, "report", kReportUsage); });
    table.Add("admin", kAdminUsage,
              [](CCommandContext& context) { return AdministrativeCommand(context, "admin", kAdminUsage); });
}
