#pragma once
// What the account, contacts and black list commands share: the home folder, the language
// file, the configuration and the socket library for one command, and running one account
// worker in its process-wide slot while its status texts are printed as they change.

#include "accounts/CAccountData.h"
#include "accounts/CZelWorkerSlot.h"
#include "app/CCommandTable.h"
#include "foundation/CZelString.h"

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

class CAccountCommandSession {
public:
    // Enters the home folder and loads the language file and the configuration; with
    // `network`, also starts the socket library. A failure is reported on `err`.
    bool Begin(CCommandContext& context, bool network);
    ~CAccountCommandSession();

private:
    bool m_translations = false;
    bool m_sockets = false;
};

// How the status texts of a run reach the user.
enum class CStatusEcho {
    EveryText,    // each text on its own line of standard output, as it is set
    Polled,       // the text every 100 ms when it changed, on standard error (long progress)
};

inline constexpr int kWorkerPollMs = 100;

// Starts the thread in its slot and waits for its end. The ended thread comes back in
// `thread`; false when the slot was busy or the thread could not start.
template<class T>
bool RunWorker(CZelWorkerSlot<T>& slot, std::unique_ptr<T>& thread, CStatusEcho echo, CCommandContext& context)
{
    if (echo == CStatusEcho::EveryText) {
        auto last = std::make_shared<CZelString>();
        std::ostream& out = context.out;
        thread->SetStatusListener([last, &out](const CZelString& text) {
            if (text == *last)
                return;
            *last = text;
            out << text.View() << std::endl;
        });
    }
    if (!slot.Start(thread)) {
        context.err << "velmo: another run of this kind is still busy\n";
        return false;
    }
    CZelString shown;
    for (;;) {
        std::unique_ptr<T> ended = slot.TakeEnded();
        const CZelString status = ended ? ended->Status() : slot.Status();
        if (echo == CStatusEcho::Polled && !(status == shown)) {
            shown = status;
            context.err << status.View() << std::endl;
        }
        if (ended) {
            thread = std::move(ended);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kWorkerPollMs));
    }
}

// The account named by an id argument; false with the reason printed on standard error.
bool FindAccountById(CCommandContext& context, const std::string& text, CAccountData& account);

// The headless twin of the accounts page's refresh: merges the list updates of every account
// whose change bit was set.
void MergeChangedAccounts();
