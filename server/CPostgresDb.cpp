#include "server/CPostgresDb.h"

#include <libpq-fe.h>

#include <cstring>
#include <vector>

namespace {

// Type numbers of the built-in types, fixed in PostgreSQL's catalog.
constexpr Oid kBoolType = 16;
constexpr Oid kByteaType = 17;
constexpr Oid kInt8Type = 20;
constexpr Oid kInt2Type = 21;
constexpr Oid kInt4Type = 23;
constexpr Oid kTextType = 25;
constexpr Oid kNumericType = 1700;   // what SUM() of integers gives

// The SQLSTATEs of a lost race: serialization_failure and deadlock_detected.
bool IsConflict(const char* state)
{
    return state && (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0);
}

std::string ErrorText(pg_conn* connection, const PGresult* result)
{
    const char* message = result ? PQresultErrorMessage(result) : nullptr;
    if (!message || !*message)
        message = PQerrorMessage(connection);
    std::string text = message ? message : "unknown error";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Throws for a result that is not a success, the lost races as conflicts.
void CheckResult(pg_conn* connection, const PGresult* result, const char* step)
{
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return;
    const std::string text = std::string(step) + ": " + ErrorText(connection, result);
    if (result && IsConflict(PQresultErrorField(result, PG_DIAG_SQLSTATE)))
        throw XCentralStoreConflict(text);
    throw XCentralStoreError(text);
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// `?` placeholders to `$1`, `$2`...; quoted texts and names stay as they are.
std::string NumberedPlaceholders(const char* sql, int& count)
{
    std::string out;
    count = 0;
    char quote = 0;
    for (const char* p = sql; *p; ++p) {
        if (quote) {
            if (*p == quote)
                quote = 0;
        } else if (*p == '\'' || *p == '"') {
            quote = *p;
        } else if (*p == '?') {
            out += '$' + std::to_string(++count);
            continue;
        }
        out += *p;
    }
    return out;
}

int64_t BigEndian(const char* bytes, int size)
{
    uint64_t value = static_cast<unsigned char>(bytes[0]) & 0x80 ? ~uint64_t(0) : 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return static_cast<int64_t>(value);
}

// What PostgreSQL accepts as UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// The integer part of a NUMERIC in its binary form: counts of base-10000 digits, the weight of
// the first, the sign, the scale, then the digits.
int64_t NumericValue(const char* bytes, int length)
{
    if (length < 8)
        return 0;
    const auto word = [bytes](int at) {
        return static_cast<int>(static_cast<unsigned char>(bytes[at]) << 8 | static_cast<unsigned char>(bytes[at + 1]));
    };
    const int digits = word(0);
    const int weight = static_cast<int16_t>(word(2));
    const bool negative = word(4) == 0x4000;
    int64_t value = 0;
    for (int i = 0; i <= weight; ++i)
        value = value * 10000 + (i < digits && 8 + 2 * i + 1 < length ? word(8 + 2 * i) : 0);
    return negative ? -value : value;
}

bool IsValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int more = 0;
        uint32_t point = lead, least = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            more = 1, point = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2, point = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3, point = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i <= static_cast<size_t>(more))
            return false;
        for (int k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

class CPostgresStatement : public IStoreStatement {
public:
    CPostgresStatement(CPostgresDb& db, const char* sql) : m_db(db)
    {
        int count = 0;
        m_sql = NumberedPlaceholders(sql, count);
        m_types.assign(count, 0);
        m_values.assign(count, std::string());
        m_isNull.assign(count, true);
    }

    void BindInt(int index, int64_t value) override
    {
        std::string bytes(8, '\0');
        for (int i = 7; i >= 0; --i, value >>= 8)
            bytes[i] = static_cast<char>(value & 0xFF);
        Set(index, kInt8Type, std::move(bytes));
    }
    void BindBytes(int index, const CZelString& bytes) override { Set(index, kByteaType, bytes.ToStd()); }
    void BindText(int index, std::string_view text) override { Set(index, kTextType, std::string(text)); }
    void BindNull(int index) override
    {
        Slot(index);
        m_isNull[index - 1] = true;
        m_types[index - 1] = 0;
    }

    bool Step() override
    {
        if (!m_result)
            Execute();
        if (m_row + 1 >= PQntuples(m_result.get()))
            return false;
        ++m_row;
        return true;
    }

    int64_t Int(int column) const override
    {
        if (PQgetisnull(m_result.get(), m_row, column))
            return 0;
        const char* bytes = PQgetvalue(m_result.get(), m_row, column);
        switch (PQftype(m_result.get(), column)) {
        case kInt8Type: return BigEndian(bytes, 8);
        case kInt4Type: return BigEndian(bytes, 4);
        case kInt2Type: return BigEndian(bytes, 2);
        case kBoolType: return bytes[0] != 0;
        case kNumericType: return NumericValue(bytes, PQgetlength(m_result.get(), m_row, column));
        default:
            return std::strtoll(std::string(bytes, PQgetlength(m_result.get(), m_row, column)).c_str(), nullptr, 10);
        }
    }

    CZelString Bytes(int column) const override
    {
        if (PQgetisnull(m_result.get(), m_row, column))
            return CZelString();
        if (Kind(column) == CStoreValueKind::Integer)
            return CZelString(std::to_string(Int(column)).c_str());
        const int length = PQgetlength(m_result.get(), m_row, column);
        return length > 0 ? CZelString(PQgetvalue(m_result.get(), m_row, column), length) : CZelString();
    }

    CStoreValueKind Kind(int column) const override
    {
        if (PQgetisnull(m_result.get(), m_row, column))
            return CStoreValueKind::Null;
        switch (PQftype(m_result.get(), column)) {
        case kInt8Type:
        case kInt4Type:
        case kInt2Type:
        case kBoolType:
        case kNumericType: return CStoreValueKind::Integer;
        case kByteaType: return CStoreValueKind::Bytes;
        default: return CStoreValueKind::Text;
        }
    }

    int ColumnCount() const override { return m_result ? PQnfields(m_result.get()) : 0; }

private:
    void Slot(int index)
    {
        if (index < 1 || index > static_cast<int>(m_types.size()))
            throw XCentralStoreError("bind: no parameter " + std::to_string(index));
    }
    void Set(int index, Oid type, std::string bytes)
    {
        Slot(index);
        m_types[index - 1] = type;
        m_values[index - 1] = std::move(bytes);
        m_isNull[index - 1] = false;
    }

    void Execute()
    {
        const int count = static_cast<int>(m_types.size());
        const std::string& name = m_db.PreparedName(m_sql, count, m_types.data());
        std::vector<const char*> values(count);
        std::vector<int> lengths(count), formats(count, 1);
        for (int i = 0; i < count; ++i) {
            values[i] = m_isNull[i] ? nullptr : m_values[i].data();
            lengths[i] = static_cast<int>(m_values[i].size());
        }
        m_result.reset(PQexecPrepared(m_db.Connection(), name.c_str(), count, values.data(), lengths.data(),
                                      formats.data(), 1));
        CheckResult(m_db.Connection(), m_result.get(), "step");
        const char* changed = PQcmdTuples(m_result.get());
        m_db.SetChanges(changed && *changed ? std::strtoll(changed, nullptr, 10) : 0);
    }

    CPostgresDb& m_db;
    std::string m_sql;
    std::vector<Oid> m_types;
    std::vector<std::string> m_values;
    std::vector<bool> m_isNull;
    Result m_result;
    int m_row = -1;
};

void IgnoreNotice(void*, const char*)
{
    // Notices ("relation already exists, skipping") are not failures; errors come as results.
}

} // namespace

CPostgresDb::CPostgresDb(const std::string& connection)
{
    m_connection = PQconnectdb(connection.c_str());
    if (!m_connection || PQstatus(m_connection) != CONNECTION_OK) {
        const std::string reason = m_connection ? ErrorText(m_connection, nullptr) : "out of memory";
        PQfinish(m_connection);
        m_connection = nullptr;
        throw XCentralStoreError("connect to PostgreSQL: " + reason);
    }
    PQsetNoticeProcessor(m_connection, IgnoreNotice, nullptr);
    const char* encoding = PQparameterStatus(m_connection, "server_encoding");
    m_utf8 = !encoding || std::strcmp(encoding, "SQL_ASCII") != 0;
    // An instance that stops answering in the middle of a transaction (stopped, cut off) must
    // not hold the rows it locked for ever: the server ends such a transaction on its own.
    Exec("SET idle_in_transaction_session_timeout = '60s'");
}

CPostgresDb::~CPostgresDb()
{
    PQfinish(m_connection);
}

bool CPostgresDb::IsLocation(const std::string& location)
{
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

bool CPostgresDb::IsUsable() const
{
    return m_connection && PQstatus(m_connection) == CONNECTION_OK;
}

void CPostgresDb::Exec(const char* sql)
{
    Result result(PQexec(m_connection, sql));
    CheckResult(m_connection, result.get(), "exec");
}

CStoreStatement CPostgresDb::Prepare(const char* sql)
{
    return CStoreStatement(std::make_unique<CPostgresStatement>(*this, sql));
}

const std::string& CPostgresDb::PreparedName(const std::string& sql, int count, const unsigned* types)
{
    std::string key = sql;
    for (int i = 0; i < count; ++i)
        key += '\x01' + std::to_string(types[i]);
    auto found = m_prepared.find(key);
    if (found != m_prepared.end())
        return found->second;
    std::string name = "s" + std::to_string(m_prepared.size() + 1);
    Result result(PQprepare(m_connection, name.c_str(), sql.c_str(), count, types));
    CheckResult(m_connection, result.get(), "prepare");
    return m_prepared.emplace(std::move(key), std::move(name)).first->second;
}

void CPostgresDb::Begin()
{
    Exec("BEGIN ISOLATION LEVEL SERIALIZABLE");
}

void CPostgresDb::Commit()
{
    Result result(PQexec(m_connection, "COMMIT"));
    CheckResult(m_connection, result.get(), "commit");
    // A transaction that failed earlier ends in a rollback, reported as a successful command.
    if (std::strcmp(PQcmdStatus(result.get()), "COMMIT") != 0)
        throw XCentralStoreError("commit: the transaction had failed and was rolled back");
}

void CPostgresDb::Rollback()
{
    Result result(PQexec(m_connection, "ROLLBACK"));
}

bool CPostgresDb::CanHoldText(const CZelString& text) const
{
    if (text.View().find('\0') != std::string_view::npos)
        return false;
    return !m_utf8 || IsValidUtf8(text.View());
}
