#include "app/ContactsCommand.h"

#include "accounts/CZelContactListModifyThread.h"
#include "accounts/CZelWorkerSlot.h"
#include "accounts/ZelConfiguredServer.h"
#include "app/AccountCommandSession.h"
#include "app/CCommandTable.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct CListCommandEntry {
    const char* command;     // "contacts" or "blacklist"
    const char* name;        // the action word
    bool takesCode;
    std::function<CZelXmlDocument(const CZelString& email, const CZelString& code)> make;
};

const std::vector<CListCommandEntry>& Actions()
{
    using T = CZelContactListModifyThread;
    static const std::vector<CListCommandEntry> actions = {
        {"contacts", "add", true, [](const CZelString& m, const CZelString& c) { return T::AddToContactList(m, c); }},
        {"contacts", "remove", false, [](const CZelString& m, const CZelString&) { return T::RemoveFromContactList(m); }},
        {"contacts", "to-black", false, [](const CZelString& m, const CZelString&) { return T::MoveToBlackList(m); }},
        {"blacklist", "add", false, [](const CZelString& m, const CZelString&) { return T::AddToBlackList(m); }},
        {"blacklist", "remove", false, [](const CZelString& m, const CZelString&) { return T::RemoveFromBlackList(m); }},
        {"blacklist", "to-white", true, [](const CZelString& m, const CZelString& c) { return T::MoveToContactList(m, c); }},
    };
    return actions;
}

std::string UsageOf(const char* command)
{
    std::string usage;
    for (const CListCommandEntry& action : Actions()) {
        if (std::string(action.command) != command)
            continue;
        usage += (usage.empty() ? "" : " | ") + std::string(command) + " " + action.name + " ID EMAIL" +
                 (action.takesCode ? " CODE" : "");
    }
    return usage;
}

int RunListAction(CCommandContext& context, const CListCommandEntry& action)
{
    const size_t wanted = action.takesCode ? 4 : 3;
    if (context.args.size() != wanted) {
        context.err << "velmo: usage: velmo " << action.command << " " << action.name << " ID EMAIL"
                    << (action.takesCode ? " CODE" : "") << "\n";
        return kExitUsage;
    }
    CAccountCommandSession session;
    if (!session.Begin(context, true))
        return kExitFailed;
    CAccountData account;
    if (!FindAccountById(context, context.args[1], account))
        return kExitFailed;
    if (!account.HasKeys()) {
        context.err << "velmo: account " << account.id.View() << " has no RSA keys\n";
        return kExitFailed;
    }
    const CZelString email(context.args[2]);
    const CZelString code = action.takesCode ? CZelString(context.args[3]) : CZelString();
    auto thread = std::make_unique<CZelContactListModifyThread>(account.Id(), action.make(email, code),
                                                                ConfiguredServerAddress());
    if (!RunWorker(ContactListSlot(), thread, CStatusEcho::EveryText, context))
        return kExitFailed;
    MergeChangedAccounts();
    if (thread->Result() != 1) {
        context.err << "velmo: " << action.command << " " << action.name << " failed: " << thread->Status().View()
                    << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

int ListCommand(CCommandContext& context, const char* command)
{
    const std::string name = context.args.empty() ? std::string() : context.args[0];
    for (const CListCommandEntry& action : Actions())
        if (command == std::string(action.command) && name == action.name)
            return RunListAction(context, action);
    context.err << "velmo: usage: velmo " << UsageOf(command) << "\n";
    return kExitUsage;
}

} // namespace

void AddContactsCommands(CCommandTable& table)
{
    table.Add("contacts", UsageOf("contacts"), [](CCommandContext& context) { return ListCommand(context, "contacts"); });
    table.Add("blacklist", UsageOf("blacklist"),
              [](CCommandContext& context) { return ListCommand(context, "blacklist"); });
}
