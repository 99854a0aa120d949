#include "app/HistoryCommand.h"

#include "app/AccountCommandSession.h"
#include "app/CCommandTable.h"
#include "history/CHistoryListing.h"
#include "history/CMessageHistory.h"

#include <ostream>

namespace {

constexpr char kUsage[] = "history ID";

int HistoryCommand(CCommandContext& context)
{
    if (context.args.size() != 1) {
        context.err << "velmo: usage: velmo " << kUsage << "\n";
        return kExitUsage;
    }
    CAccountCommandSession session;
    if (!session.Begin(context, false))
        return kExitFailed;
    CAccountData account;
    if (!FindAccountById(context, context.args[0], account))
        return kExitFailed;
    CZelXmlDocument history;
    if (!CMessageHistory::Load(account.Id(), history)) {
        context.err << "velmo: " << CMessageHistory::PathFor(account.Id()).View() << " cannot be read\n";
        return kExitFailed;
    }
    for (const CHistoryLine& line : HistoryLines(history))
        context.out << line.Text() << "\n";
    return kExitOk;
}

} // namespace

void AddHistoryCommand(CCommandTable& table)
{
    CMessageHistory::RegisterConvertStep();
    table.Add("history", kUsage, HistoryCommand);
}
