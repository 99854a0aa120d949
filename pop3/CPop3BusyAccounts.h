#pragma once
// CPop3BusyAccounts: the accounts that have a POP3 session past the password, process-wide and
// under the data lock. A session reserves its account with an entry, and the entry gives the
// account back when it goes, so no way out of a session (an error, a vanished client, a stop)
// leaves an account busy for good.

#include <cstdint>

class CPop3BusyAccounts {
public:
    // True while a session holds the account.
    static bool IsBusy(int64_t accountId);

    // One session's reservation; empty until Enter succeeds.
    class CEntry {
    public:
        CEntry() = default;
        ~CEntry();
        CEntry(const CEntry&) = delete;
        CEntry& operator=(const CEntry&) = delete;

        // Reserves the account; false when another session holds it (or this entry holds one
        // already). The look and the reservation are one hold of the lock, so of two sessions
        // that try at once exactly one gets it.
        bool Enter(int64_t accountId);
        // Gives the account back (nothing when empty).
        void Leave();
        bool Holds() const { return m_accountId >= 0; }

    private:
        int64_t m_accountId = -1;
    };
};
