#pragma once
// The account rules that keep one user from passing for another or guessing his way onto a
// contact list: which addresses and names an account may carry, which addresses stay with the
// account that once held them, and how many wrong SecureCodes a caller may try on one user.
//
// Tables (CCentralSchema.h makes them):
//   account_addresses   every address each account ever held; none goes to another account
//   code_failures       wrong SecureCodes of a caller for a target within the last hour
//   code_blocks         until when a caller's "+cl" for a target is refused
//
// Every call runs inside the caller's store Transaction.

#include "foundation/CZelString.h"

#include <cstdint>

class CStoreDb;

// An address holds only the printable ASCII bytes 0x21-0x7E other than '<', '=', '>' and '?':
// no blank, no control byte, no angle brackets and no byte beyond ASCII, so two addresses that
// look alike are alike, and comparing them without case is comparing them lower-cased.
bool IsAcceptableAddress(const CZelString& email);
// A display name in 8-bit text (Name, TranslitName): no '@', '<', '>' and no control byte, so
// no mail client shows it as an address.
bool IsAcceptableName(const CZelString& name);
// The same for UnicodeName, UTF-16 code units, least significant byte first; zero units at
// the very end are a terminator and pass.
bool IsAcceptableWideName(const CZelString& name);

class CCentralAccountGuards {
public:
    static constexpr int kWrongCodesAllowed = 10;
    static constexpr int64_t kWrongCodeWindowMicroseconds = 3600LL * 1000000;
    static constexpr int64_t kWrongCodeBlockMicroseconds = 3600LL * 1000000;

    explicit CCentralAccountGuards(CStoreDb& db) : m_db(db) {}

    // Whether `email` may be held by `accountId` (-1: a new account): no other account holds
    // it or ever held it. Compared without case.
    bool IsAddressFreeFor(const CZelString& email, int64_t accountId);
    // Remembers that the account holds the address.
    void RecordAddress(const CZelString& email, int64_t accountId);

    // Whether the caller's "+cl" for the target is refused now, right code or not.
    bool IsCodeBlocked(int64_t callerId, int64_t targetId, int64_t now);
    // Counts a wrong code; the one that makes kWrongCodesAllowed within the window blocks the
    // pair for kWrongCodeBlockMicroseconds.
    void RecordWrongCode(int64_t callerId, int64_t targetId, int64_t now);

private:
    CStoreDb& m_db;
};
