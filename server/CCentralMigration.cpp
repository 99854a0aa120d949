#include "server/CCentralMigration.h"

#include "foundation/CZelFile.h"
#include "server/CCentralSchema.h"
#include "server/CCentralStore.h"
#include "server/CPostgresDb.h"

#include <charconv>
#include <map>

namespace {

struct TargetColumn {
    std::string type;       // information_schema's data_type: "bytea", "bigint", "text"...
    bool identity = false;
};

// A column name of the copy lists as the catalog spells it.
std::string Unquoted(std::string name)
{
    const size_t first = name.find_first_not_of(" \"");
    const size_t last = name.find_last_not_of(" \"");
    return first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
}

std::vector<std::string> ColumnNames(const char* columns)
{
    std::vector<std::string> names;
    std::string list = columns;
    for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        names.push_back(Unquoted(list.substr(start, comma - start)));
        start = comma + 1;
    }
    return names;
}

std::map<std::string, TargetColumn> TargetColumns(CStoreDb& target, const char* table)
{
    CStoreStatement statement = target.Prepare(
        "SELECT column_name::text, data_type::text, is_identity::text FROM information_schema.columns"
        " WHERE table_schema = current_schema() AND table_name = ?");
    statement.Bind(1, table);
    std::map<std::string, TargetColumn> columns;
    while (statement.Step())
        columns[statement.Bytes(0).ToStd()] = {statement.Bytes(1).ToStd(), statement.Bytes(2) == "YES"};
    if (columns.empty())
        throw XCentralStoreError(std::string("the target database has no table ") + table);
    return columns;
}

bool IsIntegerType(const std::string& type)
{
    return type == "bigint" || type == "integer" || type == "smallint";
}

std::string Placeholders(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += i ? ", ?" : "?";
    return text;
}

// One value of a source row, bound as the target column wants it: SQLite keeps whatever it
// was given, so a column PostgreSQL holds as bytes may come as text and the other way round.
int64_t BindValue(CStoreStatement& insert, int index, const CStoreStatement& row, int column, const TargetColumn& target,
                  CStoreDb& targetDb, const std::string& where)
{
    if (row.IsNull(column)) {
        insert.BindNull(index);
        return 0;
    }
    if (IsIntegerType(target.type)) {
        if (row.Kind(column) == CStoreValueKind::Integer) {
            insert.Bind(index, row.Int(column));
            return 0;
        }
        const std::string text = row.Bytes(column).ToStd();
        int64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size())
            throw XCentralStoreError(where + " holds \"" + text.substr(0, 40) + "\" where a number belongs");
        insert.Bind(index, value);
        return 0;
    }
    const CZelString bytes = row.Bytes(column);
    if (target.type == "bytea") {
        insert.Bind(index, bytes);
    } else {
        if (!targetDb.CanHoldText(bytes))
            throw XCentralStoreError(where + " holds bytes PostgreSQL cannot keep as text");
        insert.BindText(index, bytes);
    }
    return bytes.Length();
}

// Whether any of the deployment's tables holds a row; the server key made at opening aside.
std::string FirstTableWithRows(CStoreDb& target)
{
    int count = 0;
    const central_schema::Table* tables = central_schema::Tables(count);
    for (int i = 0; i < count; ++i) {
        if (std::string(tables[i].name) == "server_key")
            continue;
        CStoreStatement statement = target.Prepare((std::string("SELECT 1 FROM ") + tables[i].name + " LIMIT 1").c_str());
        if (statement.Step())
            return tables[i].name;
    }
    return {};
}

CCentralMigratedTable CopyTable(CStoreDb& source, CStoreDb& target, const central_schema::Table& table)
{
    const std::map<std::string, TargetColumn> targetColumns = TargetColumns(target, table.name);
    const std::vector<std::string> names = ColumnNames(table.columns);
    std::vector<const TargetColumn*> types;
    for (const std::string& name : names) {
        const auto found = targetColumns.find(name);
        if (found == targetColumns.end())
            throw XCentralStoreError("the target table " + std::string(table.name) + " has no column " + name);
        types.push_back(&found->second);
    }
    // In the order the rows were made, so ids the target numbers itself follow the same order.
    CStoreStatement rows = source.Prepare(
        (std::string("SELECT ") + table.columns + ", rowid FROM " + table.name + " ORDER BY rowid").c_str());
    const int rowidColumn = static_cast<int>(names.size());
    const std::string insertSql = std::string("INSERT INTO ") + table.name + " (" + table.columns + ") VALUES (" +
                                  Placeholders(names.size()) + ")";
    CCentralMigratedTable copied{table.name};
    while (rows.Step()) {
        CStoreStatement insert = target.Prepare(insertSql.c_str());
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string where =
                std::string(table.name) + "." + names[i] + " of row " + std::to_string(rows.Int(rowidColumn));
            copied.bytes += BindValue(insert, static_cast<int>(i + 1), rows, static_cast<int>(i), *types[i], target, where);
        }
        insert.Run();
        ++copied.rows;
    }
    return copied;
}

// Every identity sequence past the largest id now held, so the next registration, update or
// message gets a new one.
void MoveIdentitiesPastCopiedIds(CStoreDb& target, const central_schema::Table& table)
{
    for (const auto& [name, column] : TargetColumns(target, table.name)) {
        if (!column.identity)
            continue;
        const std::string sql = "SELECT setval(pg_get_serial_sequence(?, ?), m) FROM (SELECT MAX(\"" + name +
                                "\") AS m FROM " + table.name + ") AS largest WHERE m IS NOT NULL";
        target.Prepare(sql.c_str()).Bind(1, table.name).Bind(2, name.c_str()).Run();
    }
}

// The feed clock and the unique stamps past every time stamp copied: a client that read up to
// the last of them must see what comes after the move.
void MoveClockPastCopiedStamps(CStoreDb& target)
{
    CStoreStatement latest = target.Prepare(
        "SELECT GREATEST((SELECT MAX(time_stamp) FROM updates), (SELECT MAX(created) FROM message_recipients),"
        " (SELECT MAX(delivered) FROM message_recipients), (SELECT MAX(abuse_time) FROM message_recipients),"
        " (SELECT MAX(created) FROM messages), (SELECT MAX(sent_time) FROM message_uploads))");
    if (!latest.Step() || latest.IsNull(0) || latest.Int(0) < 1)
        return;
    const int64_t stamp = latest.Int(0);
    target.Prepare("UPDATE store_clock SET last = GREATEST(last, ?) WHERE slot = 1").Bind(1, stamp).Run();
    target.Prepare("SELECT setval('unique_stamps', GREATEST(?, (SELECT last_value FROM unique_stamps)))")
        .Bind(1, stamp).Run();
}

// A read transaction on the source: the running server's writes go on, unseen by the copy.
// The first read fixes the moment the copy is of, so it is made at once rather than when the
// first table is reached.
class ReadSnapshot {
public:
    explicit ReadSnapshot(CStoreDb& db) : m_db(db) { m_db.Exec("BEGIN DEFERRED; SELECT COUNT(*) FROM server_key"); }
    ~ReadSnapshot() { m_db.Rollback(); }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;

private:
    CStoreDb& m_db;
};

} // namespace

std::vector<CCentralMigratedTable> MigrateCentralStore(const std::string& sqliteFile, const std::string& postgresUri)
{
    if (!CPostgresDb::IsLocation(postgresUri))
        throw XCentralMigrationRefused("the target is not a PostgreSQL URI (postgresql://...): " + postgresUri);
    if (CPostgresDb::IsLocation(sqliteFile) || !CZelFile::FileExists(CZelString(sqliteFile.c_str())))
        throw XCentralMigrationRefused("no SQLite file " + sqliteFile);

    CCentralStore sourceStore(sqliteFile);
    CCentralStore targetStore(postgresUri);
    CCentralStore::Hold source(sourceStore);
    ReadSnapshot snapshot(source.Db());
    CCentralStore::Transaction transaction(targetStore);
    CStoreDb& target = targetStore.Db();
    const std::string held = FirstTableWithRows(target);
    if (!held.empty())
        throw XCentralMigrationRefused("the target database already holds a deployment (" + held +
                                       " has rows); migrate into a new database");

    // The key made when the target was opened gives way to the deployment's own.
    target.Exec("DELETE FROM server_key");
    int count = 0;
    const central_schema::Table* tables = central_schema::Tables(count);
    std::vector<CCentralMigratedTable> copied;
    for (int i = 0; i < count; ++i)
        copied.push_back(CopyTable(source.Db(), target, tables[i]));
    for (int i = 0; i < count; ++i)
        MoveIdentitiesPastCopiedIds(target, tables[i]);
    MoveClockPastCopiedStamps(target);
    transaction.Commit();
    return copied;
}
