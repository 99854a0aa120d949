#pragma once
// CCentralRequestGuards: what the central server remembers so that a captured request cannot be
// played again, kept in tables of the central store beside the others.
//
//   login_blocks      the RSA blocks of each answered login, for as long as their time is good:
//                     the same blocks again would roll the account's keys back
//   sealed_vectors    the initial vectors seen under each recent session key, with the request
//                     that claimed each one: a sealed request opens once
//
// Every call runs inside the request's CCentralStore::Transaction.

#include "foundation/CZelString.h"
#include "server/CStoreDb.h"

#include <cstdint>

class CCentralRequestGuards {
public:
    explicit CCentralRequestGuards(CStoreDb& db) : m_db(db) {}

    // Remembers the login blocks of the account; false when they were seen since `forgetBefore`
    // (microseconds), which then refuses the login. Older entries go.
    bool ClaimLoginBlocks(int64_t accountId, const CZelString& blocks, int64_t now, int64_t forgetBefore);

    // Claims the initial vector under (account, key number, key) for the request `claim`; true
    // when it is new or already this request's, false when another request used it.
    bool ClaimInitialVector(int64_t accountId, uint32_t keyNumber, const CZelString& key, const CZelString& vector,
                            int64_t claim);
    // Forgets the vectors of keys that left the account's recent keys.
    void ForgetDroppedKeys(int64_t accountId);

private:
    CStoreDb& m_db;
};
