#include "server/CCentralAccountGuards.h"

#include "server/CStoreDb.h"

namespace {

bool IsControl(unsigned value)
{
    return value < 0x20 || value == 0x7F;
}

bool IsAddressLike(unsigned value)
{
    return value == '@' || value == '<' || value == '>';
}

} // namespace

bool IsAcceptableAddress(const CZelString& email)
{
    if (email.IsEmpty())
        return false;
    for (const char c : email.View()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7E || byte == '<' || byte == '=' || byte == '>' || byte == '?')
            return false;
    }
    return true;
}

bool IsAcceptableName(const CZelString& name)
{
    for (const char c : name.View()) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsControl(byte) || IsAddressLike(byte))
            return false;
    }
    return true;
}

bool IsAcceptableWideName(const CZelString& name)
{
    const std::string_view bytes = name.View();
    if (bytes.size() % 2 != 0)
        return false;
    size_t end = bytes.size();
    while (end >= 2 && bytes[end - 1] == 0 && bytes[end - 2] == 0)
        end -= 2;
    for (size_t i = 0; i < end; i += 2) {
        const unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        // The C1 controls as well: in UTF-16 they are characters of their own.
        if (IsControl(unit) || (unit >= 0x80 && unit <= 0x9F) || IsAddressLike(unit))
            return false;
    }
    return true;
}

bool CCentralAccountGuards::IsAddressFreeFor(const CZelString& email, int64_t accountId)
{
    if (!m_db.CanHoldText(email))
        return false;
    CStoreStatement holder = m_db.Prepare(
        m_db.Sql("SELECT 1 FROM account_addresses WHERE email = ? AND account_id != ?"
                 " UNION ALL SELECT 1 FROM accounts WHERE email = ? AND id != ?",
                 "SELECT 1 FROM account_addresses WHERE lower(email) = lower(?) AND account_id != ?"
                 " UNION ALL SELECT 1 FROM accounts WHERE lower(email) = lower(?) AND id != ?"));
    holder.BindText(1, email).Bind(2, accountId).BindText(3, email).Bind(4, accountId);
    return !holder.Step();
}

void CCentralAccountGuards::RecordAddress(const CZelString& email, int64_t accountId)
{
    m_db.Prepare("INSERT INTO account_addresses (email, account_id) VALUES (?, ?) ON CONFLICT DO NOTHING")
        .BindText(1, email).Bind(2, accountId).Run();
}

bool CCentralAccountGuards::IsCodeBlocked(int64_t callerId, int64_t targetId, int64_t now)
{
    CStoreStatement block = m_db.Prepare(
        "SELECT 1 FROM code_blocks WHERE caller_id = ? AND target_id = ? AND until > ?");
    block.Bind(1, callerId).Bind(2, targetId).Bind(3, now);
    return block.Step();
}

void CCentralAccountGuards::RecordWrongCode(int64_t callerId, int64_t targetId, int64_t now)
{
    // Only the last hour counts; older failures and ended blocks of every pair go, so the
    // tables stay as small as the guessing of the last hour.
    m_db.Prepare("DELETE FROM code_failures WHERE time <= ?").Bind(1, now - kWrongCodeWindowMicroseconds).Run();
    m_db.Prepare("DELETE FROM code_blocks WHERE until <= ?").Bind(1, now).Run();
    m_db.Prepare("INSERT INTO code_failures (caller_id, target_id, time) VALUES (?, ?, ?)")
        .Bind(1, callerId).Bind(2, targetId).Bind(3, now).Run();
    CStoreStatement count = m_db.Prepare("SELECT COUNT(*) FROM code_failures WHERE caller_id = ? AND target_id = ?");
    count.Bind(1, callerId).Bind(2, targetId);
    if (!count.Step() || count.Int(0) < kWrongCodesAllowed)
        return;
    m_db.Prepare("INSERT INTO code_blocks (caller_id, target_id, until) VALUES (?, ?, ?)"
                 " ON CONFLICT (caller_id, target_id) DO UPDATE SET until = excluded.until")
        .Bind(1, callerId).Bind(2, targetId).Bind(3, now + kWrongCodeBlockMicroseconds).Run();
    // The block is the answer to these; the next hour starts counting afresh.
    m_db.Prepare("DELETE FROM code_failures WHERE caller_id = ? AND target_id = ?")
        .Bind(1, callerId).Bind(2, targetId).Run();
}
