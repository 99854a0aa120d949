#include "app/AccountCommandSession.h"

#include "accounts/CAccountStore.h"
#include "core/CAccountChangeFlags.h"
#include "core/CConfig.h"
#include "core/CTranslations.h"
#include "core/CVelmoApp.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelNumbers.h"
#include "net/ZelSockets.h"

bool CAccountCommandSession::Begin(CCommandContext& context, bool network)
{
    CZelString problem;
    if (!CVelmoApp::EnterHome(CVelmoApp::ResolveHome(context.line.home), &problem)) {
        context.err << "velmo: " << problem.View() << "\n";
        return false;
    }
    CZelString message;
    LoadTrStrings(kLanguageFileName, &message);
    m_translations = true;
    if (!message.IsEmpty())
        context.err << "velmo: " << message.View() << "\n";
    CConfig::Global().Load();
    if (network) {
        try {
            m_sockets = SocketsStart(true);
        } catch (const XTOOError& error) {
            context.err << "velmo: " << error.Text() << "\n";
        }
        if (!m_sockets)
            return false;
    }
    return true;
}

CAccountCommandSession::~CAccountCommandSession()
{
    if (m_sockets)
        SocketsStop();
    if (m_translations)
        UnLoadTrStrings();
}

void MergeChangedAccounts()
{
    CAccountChangeFlags::Global().Drain([](int64_t accountId, uint32_t bits) {
        if (bits & CAccountChangeFlags::kAccountUpdated)
            CAccountStore::Refresh(accountId);
    });
}

bool FindAccountById(CCommandContext& context, const std::string& text, CAccountData& account)
{
    int64_t id = -1;
    if (!ParseDecimal(CZelString(text), id) || id < 0) {
        context.err << "velmo: '" << text << "' is not an account id\n";
        return false;
    }
    if (!CAccountStore::FindById(id, account)) {
        context.err << "velmo: no account with id " << id << "\n";
        return false;
    }
    return true;
}
