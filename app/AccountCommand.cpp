#include "app/AccountCommand.h"

#include "accounts/CAccountData.h"
#include "accounts/CAccountStore.h"
#include "accounts/CZelWorkerSlot.h"
#include "accounts/ZelConfiguredServer.h"
#include "app/AccountCommandSession.h"
#include "app/CCommandTable.h"
#include "app/ContactsCommand.h"
#include "foundation/CZelFormat.h"

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr char kNewUsage[] =
    "account new --login L --password P --name N --email E [--birthday B] [--issued-by I]";

// "--key value" pairs; false with a message for anything else.
bool ParseOptions(CCommandContext& context, size_t first, std::map<std::string, std::string>& options)
{
    static const char* const known[] = {"--login", "--password", "--name", "--email", "--birthday", "--issued-by"};
    for (size_t i = first; i < context.args.size(); i += 2) {
        const std::string& key = context.args[i];
        bool isKnown = false;
        for (const char* name : known)
            isKnown = isKnown || key == name;
        if (!isKnown || i + 1 >= context.args.size()) {
            context.err << "velmo: " << (isKnown ? "missing value for " : "unknown option ") << key << "\nusage: velmo "
                        << kNewUsage << "\n";
            return false;
        }
        options[key] = context.args[i + 1];
    }
    for (const char* required : {"--login", "--password", "--name", "--email"}) {
        if (options[required].empty()) {
            context.err << "velmo: account new needs " << required << "\nusage: velmo " << kNewUsage << "\n";
            return false;
        }
    }
    return true;
}

int AccountNew(CCommandContext& context)
{
    std::map<std::string, std::string> options;
    if (!ParseOptions(context, 1, options))
        return kExitUsage;
    CAccountCommandSession session;
    if (!session.Begin(context, false))
        return kExitFailed;

    const CZelString login(options["--login"]);
    for (const CAccountData& existing : CAccountStore::LoadAll(false)) {
        if (existing.login == login) {
            context.err << "velmo: the login " << login.View() << " is already used by " << existing.fileName.View()
                        << "\n";
            return kExitFailed;
        }
    }

    CAccountData account = CAccountData::New();
    account.login = login;
    account.password = CZelString(options["--password"]);
    account.name = CZelString(options["--name"]);
    account.email = CZelString(options["--email"]);
    account.birthday = CZelString(options["--birthday"]);
    account.issuedBy = CZelString(options["--issued-by"]);

    auto thread = std::make_unique<CZelKeysGenThread>();
    if (!RunWorker(KeysGenSlot(), thread, CStatusEcho::Polled, context))
        return kExitFailed;
    if (thread->Result() != 1) {
        context.err << "velmo: the RSA keys could not be generated: " << thread->Status().View() << "\n";
        return kExitFailed;
    }
    account.n = thread->N();
    account.d = thread->D();
    account.e = thread->E();
    if (!CAccountStore::Save(account)) {
        context.err << "velmo: cannot write the account file\n";
        return kExitFailed;
    }
    context.out << account.fileName.View() << "\n";
    return kExitOk;
}

// One registration or update run for the account file; the ended thread's result.
int64_t RunRegistration(CCommandContext& context, const CAccountData& account, CZelRegisterThread::Mode mode)
{
    std::unique_ptr<CZelRegisterThread> thread;
    switch (CZelRegisterThread::Prepare(account.fileName, mode, ConfiguredServerAddress(), thread)) {
    case CZelRegisterThread::Refusal::None: break;
    case CZelRegisterThread::Refusal::Unreadable:
        context.err << "velmo: cannot read " << account.fileName.View() << "\n";
        return -1;
    case CZelRegisterThread::Refusal::NoKeys:
        context.err << "velmo: " << account.fileName.View() << " has no RSA keys\n";
        return -1;
    case CZelRegisterThread::Refusal::Registered:
    case CZelRegisterThread::Refusal::NotRegistered:
        context.err << "velmo: " << account.fileName.View() << " does not fit this run\n";
        return -1;
    }
    if (!RunWorker(RegisterSlot(), thread, CStatusEcho::EveryText, context))
        return -1;
    MergeChangedAccounts();
    if (thread->Result() < 0) {
        const CZelString status = thread->Status();
        context.err << "velmo: " << (mode == CZelRegisterThread::Mode::Register ? "registration" : "update")
                    << " of " << account.fileName.View() << " failed"
                    << (status.IsEmpty() ? "" : ": ") << status.View() << "\n";
        return -1;
    }
    return thread->Result();
}

int AccountRegister(CCommandContext& context)
{
    if (context.args.size() != 1) {
        context.err << "velmo: account register takes no arguments\n";
        return kExitUsage;
    }
    CAccountCommandSession session;
    if (!session.Begin(context, true))
        return kExitFailed;
    int failures = 0;
    int registered = 0;
    // As the page's apply: every account is saved; each keyed, unregistered one is registered
    // and, with its id, saved again under "%08D.xml".
    for (CAccountData& account : CAccountStore::LoadAll(false)) {
        if (!CAccountStore::Save(account)) {
            context.err << "velmo: cannot write " << account.fileName.View() << "\n";
            ++failures;
            continue;
        }
        if (account.IsRegistered() || !account.HasKeys())
            continue;
        const int64_t id = RunRegistration(context, account, CZelRegisterThread::Mode::Register);
        if (id < 0) {
            ++failures;
            continue;
        }
        account.id = Format("%D", id);
        if (!CAccountStore::Save(account)) {
            context.err << "velmo: account " << id << " is registered but " << account.fileName.View()
                        << " could not be renamed\n";
            ++failures;
            continue;
        }
        context.out << id << "\n";
        ++registered;
    }
    if (registered == 0 && failures == 0)
        context.err << "velmo: no keyed, unregistered account to register\n";
    return failures == 0 ? kExitOk : kExitFailed;
}

int AccountUpdate(CCommandContext& context)
{
    if (context.args.size() != 2) {
        context.err << "velmo: account update takes an account id\n";
        return kExitUsage;
    }
    CAccountCommandSession session;
    if (!session.Begin(context, true))
        return kExitFailed;
    CAccountData account;
    if (!FindAccountById(context, context.args[1], account))
        return kExitFailed;
    if (!CAccountStore::Save(account)) {
        context.err << "velmo: cannot write " << account.fileName.View() << "\n";
        return kExitFailed;
    }
    return RunRegistration(context, account, CZelRegisterThread::Mode::Update) >= 0 ? kExitOk : kExitFailed;
}

void PrintList(std::ostream& out, const char* title, const std::vector<CAccountListEntry>& entries)
{
    out << title << ":";
    for (size_t i = 0; i < entries.size(); ++i)
        out << (i == 0 ? " " : ", ") << entries[i].email.View();
    out << "\n";
}

int AccountList(CCommandContext& context)
{
    if (context.args.size() != 1) {
        context.err << "velmo: account list takes no arguments\n";
        return kExitUsage;
    }
    CAccountCommandSession session;
    if (!session.Begin(context, false))
        return kExitFailed;
    bool first = true;
    for (const CAccountData& account : CAccountStore::LoadAll(false)) {
        std::ostream& out = context.out;
        if (!first)
            out << "\n";
        first = false;
        out << "file: " << account.fileName.View() << "\n"
            << "Id: " << account.id.View() << "\n"
            << "Login: " << account.login.View() << "\n"
            << "email: " << account.email.View() << "\n"
            << "UserLevel: " << account.userLevel.View() << "\n"
            << "OperatedStatus: " << account.operatedStatus.View() << "\n"
            << "SecureCode: " << account.secureCode.View() << "\n";
        PrintList(out, "ContactList", account.contactList);
        PrintList(out, "BlackList", account.blackList);
    }
    return kExitOk;
}

int AccountCommand(CCommandContext& context)
{
    const std::string action = context.args.empty() ? std::string() : context.args[0];
    if (action == "new")
        return AccountNew(context);
    if (action == "register")
        return AccountRegister(context);
    if (action == "update")
        return AccountUpdate(context);
    if (action == "list")
        return AccountList(context);
    context.err << "velmo: account needs 'new', 'register', 'update ID' or 'list'\n";
    return kExitUsage;
}

} // namespace

void AddAccountCommands(CCommandTable& table)
{
    CAccountStore::RegisterConvertStep();
    table.Add("account", std::string(kNewUsage) + " | account register | account update ID | account list",
              AccountCommand);
    AddContactsCommands(table);
}
