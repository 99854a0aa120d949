#include "server/CCentralRequestGuards.h"

bool CCentralRequestGuards::ClaimLoginBlocks(int64_t accountId, const CZelString& blocks, int64_t now,
                                             int64_t forgetBefore)
{
    m_db.Prepare("DELETE FROM login_blocks WHERE seen < ?").Bind(1, forgetBefore).Run();
    CStoreStatement seen = m_db.Prepare("SELECT 1 FROM login_blocks WHERE account_id = ? AND blocks = ?");
    seen.Bind(1, accountId).Bind(2, blocks);
    if (seen.Step())
        return false;
    m_db.Prepare("INSERT INTO login_blocks (account_id, blocks, seen) VALUES (?, ?, ?)")
        .Bind(1, accountId).Bind(2, blocks).Bind(3, now).Run();
    return true;
}

bool CCentralRequestGuards::ClaimInitialVector(int64_t accountId, uint32_t keyNumber, const CZelString& key,
                                               const CZelString& vector, int64_t claim)
{
    m_db.Prepare("INSERT INTO sealed_vectors (account_id, key_number, key, vector, claim) VALUES (?, ?, ?, ?, ?)"
                 " ON CONFLICT (account_id, key_number, key, vector) DO NOTHING")
        .Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, key).Bind(4, vector).Bind(5, claim).Run();
    CStoreStatement owner = m_db.Prepare(
        "SELECT claim FROM sealed_vectors WHERE account_id = ? AND key_number = ? AND key = ? AND vector = ?");
    owner.Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, key).Bind(4, vector);
    return owner.Step() && owner.Int(0) == claim;
}

void CCentralRequestGuards::ForgetDroppedKeys(int64_t accountId)
{
    m_db.Prepare("DELETE FROM sealed_vectors WHERE account_id = ? AND NOT EXISTS (SELECT 1 FROM session_key_ring r"
                 "  WHERE r.account_id = sealed_vectors.account_id AND r.key_number = sealed_vectors.key_number"
                 "  AND r.key = sealed_vectors.key)")
        .Bind(1, accountId).Run();
}
