#include "server/CCentralSchema.h"

#include <string>

namespace central_schema {

namespace {

// Append, never edit: a database at version N has run exactly the first N steps.
const char* const kSqliteSteps[] = {
    // 1
    "CREATE TABLE server_key (slot INTEGER PRIMARY KEY CHECK (slot = 1),"
    "  n BLOB NOT NULL, d BLOB NOT NULL, e BLOB NOT NULL);"
    "CREATE TABLE accounts (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  email TEXT NOT NULL UNIQUE COLLATE NOCASE, n BLOB NOT NULL, e BLOB NOT NULL,"
    "  name BLOB, translit_name BLOB, unicode_name BLOB, birthday BLOB, issued_by BLOB,"
    "  secure_code BLOB, auto_reply BLOB, auto_reply_eng BLOB,"
    "  user_level TEXT NOT NULL, operated_status TEXT NOT NULL, registered INTEGER NOT NULL);"
    "CREATE TABLE session_keys (account_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  key_number INTEGER NOT NULL, key BLOB NOT NULL, PRIMARY KEY (account_id, key_number));"
    "CREATE TABLE seeds (account_id INTEGER PRIMARY KEY REFERENCES accounts(id),"
    "  seed TEXT NOT NULL, expires INTEGER NOT NULL);"
    "CREATE TABLE lists (owner_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  member_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  list TEXT NOT NULL CHECK (list IN ('cl', 'bl')), PRIMARY KEY (owner_id, member_id));"
    "CREATE TABLE updates (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  account_id INTEGER NOT NULL REFERENCES accounts(id), time_stamp INTEGER NOT NULL,"
    "  action TEXT NOT NULL, member_id INTEGER NOT NULL, email TEXT, name BLOB,"
    "  translit_name BLOB, unicode_name BLOB);"
    "CREATE INDEX updates_by_account ON updates (account_id, time_stamp);"
    "CREATE TABLE messages (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  sender_id INTEGER NOT NULL REFERENCES accounts(id), created INTEGER NOT NULL,"
    "  upload BLOB, upload_length INTEGER NOT NULL DEFAULT 0, complete INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE message_recipients (message_id TEXT PRIMARY KEY,"
    "  message INTEGER REFERENCES messages(id), sender_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  recipient_id INTEGER NOT NULL REFERENCES accounts(id), created INTEGER NOT NULL,"
    "  data BLOB, delivered INTEGER, abuse_report TEXT, abuse_time INTEGER,"
    "  deleted INTEGER NOT NULL DEFAULT 0);",
    // 2: the keys of version 1 come along, counted as used at the migration.
    "CREATE TABLE session_key_ring (account_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  key_number INTEGER NOT NULL, key BLOB NOT NULL, last_used INTEGER NOT NULL,"
    "  PRIMARY KEY (account_id, key_number, key));"
    "INSERT INTO session_key_ring (account_id, key_number, key, last_used)"
    "  SELECT account_id, key_number, key, CAST(strftime('%s', 'now') AS INTEGER) * 1000000 FROM session_keys;"
    "DROP TABLE session_keys;",
    // 3: earlier programs made some of these on every start, so they may be there already.
    "CREATE TABLE IF NOT EXISTS message_uploads (message INTEGER PRIMARY KEY REFERENCES messages(id),"
    "  hash BLOB NOT NULL, received INTEGER NOT NULL DEFAULT 0, sent_time INTEGER, signature BLOB,"
    "  text_offset INTEGER, text_length INTEGER);"
    "CREATE INDEX IF NOT EXISTS message_uploads_by_hash ON message_uploads (hash);"
    "CREATE TABLE IF NOT EXISTS message_upload_blocks (message INTEGER NOT NULL REFERENCES messages(id),"
    "  offset INTEGER NOT NULL, size INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (message, offset));"
    "CREATE TABLE IF NOT EXISTS message_copies (message_id TEXT PRIMARY KEY"
    "  REFERENCES message_recipients(message_id), key_block BLOB NOT NULL, data_key BLOB);"
    "CREATE INDEX IF NOT EXISTS message_recipients_by_recipient ON message_recipients (recipient_id, message);"
    "CREATE INDEX IF NOT EXISTS message_recipients_by_sender ON message_recipients (sender_id, message);"
    "CREATE INDEX IF NOT EXISTS messages_unfinished ON messages (complete, created);"
    "CREATE INDEX IF NOT EXISTS lists_by_member ON lists (member_id);"
    "CREATE TABLE IF NOT EXISTS account_addresses (email TEXT PRIMARY KEY COLLATE NOCASE,"
    "  account_id INTEGER NOT NULL REFERENCES accounts(id));"
    "CREATE TABLE IF NOT EXISTS code_failures (caller_id INTEGER NOT NULL, target_id INTEGER NOT NULL,"
    "  time INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS code_failures_by_pair ON code_failures (caller_id, target_id, time);"
    "CREATE INDEX IF NOT EXISTS code_failures_by_time ON code_failures (time);"
    "CREATE TABLE IF NOT EXISTS code_blocks (caller_id INTEGER NOT NULL, target_id INTEGER NOT NULL,"
    "  until INTEGER NOT NULL, PRIMARY KEY (caller_id, target_id));"
    "CREATE TABLE IF NOT EXISTS login_blocks (account_id INTEGER NOT NULL, blocks BLOB NOT NULL,"
    "  seen INTEGER NOT NULL, PRIMARY KEY (account_id, blocks));"
    "CREATE INDEX IF NOT EXISTS login_blocks_by_time ON login_blocks (seen);"
    "CREATE TABLE IF NOT EXISTS sealed_vectors (account_id INTEGER NOT NULL, key_number INTEGER NOT NULL,"
    "  key BLOB NOT NULL, vector BLOB NOT NULL, claim INTEGER NOT NULL,"
    "  PRIMARY KEY (account_id, key_number, key, vector));",
};

const char* const kPostgresSteps[] = {
    // 1
    "CREATE TABLE server_key (slot INTEGER PRIMARY KEY CHECK (slot = 1),"
    "  n BYTEA NOT NULL, d BYTEA NOT NULL, e BYTEA NOT NULL);"
    "CREATE TABLE accounts (id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,"
    "  email TEXT NOT NULL, n BYTEA NOT NULL, e BYTEA NOT NULL,"
    "  name BYTEA, translit_name BYTEA, unicode_name BYTEA, birthday BYTEA, issued_by BYTEA,"
    "  secure_code BYTEA, auto_reply BYTEA, auto_reply_eng BYTEA,"
    "  user_level TEXT NOT NULL, operated_status TEXT NOT NULL, registered BIGINT NOT NULL);"
    "CREATE UNIQUE INDEX accounts_by_email ON accounts (lower(email));"
    "CREATE TABLE session_keys (account_id BIGINT NOT NULL REFERENCES accounts(id),"
    "  key_number BIGINT NOT NULL, key BYTEA NOT NULL, PRIMARY KEY (account_id, key_number));"
    "CREATE TABLE seeds (account_id BIGINT PRIMARY KEY REFERENCES accounts(id),"
    "  seed TEXT NOT NULL, expires BIGINT NOT NULL);"
    "CREATE TABLE lists (owner_id BIGINT NOT NULL REFERENCES accounts(id),"
    "  member_id BIGINT NOT NULL REFERENCES accounts(id),"
    "  list TEXT NOT NULL CHECK (list IN ('cl', 'bl')), PRIMARY KEY (owner_id, member_id));"
    "CREATE TABLE updates (seq BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,"
    "  account_id BIGINT NOT NULL REFERENCES accounts(id), time_stamp BIGINT NOT NULL,"
    "  action TEXT NOT NULL, member_id BIGINT NOT NULL, email TEXT, name BYTEA,"
    "  translit_name BYTEA, unicode_name BYTEA);"
    "CREATE INDEX updates_by_account ON updates (account_id, time_stamp);"
    "CREATE TABLE messages (id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,"
    "  sender_id BIGINT NOT NULL REFERENCES accounts(id), created BIGINT NOT NULL,"
    "  upload BYTEA, upload_length BIGINT NOT NULL DEFAULT 0, complete INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE message_recipients (message_id TEXT PRIMARY KEY,"
    "  message BIGINT REFERENCES messages(id), sender_id BIGINT NOT NULL REFERENCES accounts(id),"
    "  recipient_id BIGINT NOT NULL REFERENCES accounts(id), created BIGINT NOT NULL,"
    "  data BYTEA, delivered BIGINT, abuse_report BYTEA, abuse_time BIGINT,"
    "  deleted INTEGER NOT NULL DEFAULT 0);",
    // 2: `seq` stands in for SQLite's rowid, which orders keys last used at the same moment.
    "CREATE TABLE session_key_ring (account_id BIGINT NOT NULL REFERENCES accounts(id),"
    "  key_number BIGINT NOT NULL, key BYTEA NOT NULL, last_used BIGINT NOT NULL,"
    "  seq BIGINT GENERATED BY DEFAULT AS IDENTITY, PRIMARY KEY (account_id, key_number, key));"
    "INSERT INTO session_key_ring (account_id, key_number, key, last_used)"
    "  SELECT account_id, key_number, key, CAST(EXTRACT(EPOCH FROM now()) AS BIGINT) * 1000000 FROM session_keys;"
    "DROP TABLE session_keys;",
    // 3
    "CREATE TABLE message_uploads (message BIGINT PRIMARY KEY REFERENCES messages(id),"
    "  hash BYTEA NOT NULL, received BIGINT NOT NULL DEFAULT 0, sent_time BIGINT, signature BYTEA,"
    "  text_offset BIGINT, text_length BIGINT);"
    "CREATE INDEX message_uploads_by_hash ON message_uploads (hash);"
    "CREATE TABLE message_upload_blocks (message BIGINT NOT NULL REFERENCES messages(id),"
    "  \"offset\" BIGINT NOT NULL, size BIGINT NOT NULL, data BYTEA NOT NULL, PRIMARY KEY (message, \"offset\"));"
    "CREATE TABLE message_copies (message_id TEXT PRIMARY KEY"
    "  REFERENCES message_recipients(message_id), key_block BYTEA NOT NULL, data_key BYTEA);"
    "CREATE INDEX message_recipients_by_recipient ON message_recipients (recipient_id, message);"
    "CREATE INDEX message_recipients_by_sender ON message_recipients (sender_id, message);"
    "CREATE INDEX messages_unfinished ON messages (complete, created);"
    "CREATE INDEX lists_by_member ON lists (member_id);"
    "CREATE TABLE account_addresses (email TEXT NOT NULL, account_id BIGINT NOT NULL REFERENCES accounts(id));"
    "CREATE UNIQUE INDEX account_addresses_by_email ON account_addresses (lower(email));"
    "CREATE TABLE code_failures (caller_id BIGINT NOT NULL, target_id BIGINT NOT NULL, time BIGINT NOT NULL);"
    "CREATE INDEX code_failures_by_pair ON code_failures (caller_id, target_id, time);"
    "CREATE INDEX code_failures_by_time ON code_failures (time);"
    "CREATE TABLE code_blocks (caller_id BIGINT NOT NULL, target_id BIGINT NOT NULL,"
    "  until BIGINT NOT NULL, PRIMARY KEY (caller_id, target_id));"
    "CREATE TABLE login_blocks (account_id BIGINT NOT NULL, blocks BYTEA NOT NULL,"
    "  seen BIGINT NOT NULL, PRIMARY KEY (account_id, blocks));"
    "CREATE INDEX login_blocks_by_time ON login_blocks (seen);"
    "CREATE TABLE sealed_vectors (account_id BIGINT NOT NULL, key_number BIGINT NOT NULL,"
    "  key BYTEA NOT NULL, vector BYTEA NOT NULL, claim BIGINT NOT NULL,"
    "  PRIMARY KEY (account_id, key_number, key, vector));"
    // The time stamps of list changes and deliveries rise in the order their transactions
    // commit, so a client that read up to one never misses an earlier one: the row is updated
    // inside the transaction. Message ids only need to be unique: the sequence, moved up to the
    // clock under a short lock of its own, gives them without holding up anybody's transaction.
    "CREATE TABLE store_clock (slot INTEGER PRIMARY KEY CHECK (slot = 1), last BIGINT NOT NULL);"
    "INSERT INTO store_clock (slot, last) VALUES (1, 0);"
    "CREATE SEQUENCE unique_stamps;"
    "CREATE FUNCTION velmo_unique_stamp(now_us BIGINT) RETURNS BIGINT LANGUAGE plpgsql AS $$"
    " DECLARE stamp BIGINT;"
    " BEGIN"
    "  PERFORM pg_advisory_lock(7306102);"
    "  stamp := GREATEST(nextval('unique_stamps'), now_us);"
    "  PERFORM setval('unique_stamps', stamp);"
    "  PERFORM pg_advisory_unlock(7306102);"
    "  RETURN stamp;"
    " END $$;",
};

static_assert(sizeof kSqliteSteps / sizeof kSqliteSteps[0] == kVersion);
static_assert(sizeof kPostgresSteps / sizeof kPostgresSteps[0] == kVersion);

const Table kTables[] = {
    {"server_key", "slot, n, d, e"},
    {"accounts", "id, email, n, e, name, translit_name, unicode_name, birthday, issued_by, secure_code,"
                 " auto_reply, auto_reply_eng, user_level, operated_status, registered"},
    {"session_key_ring", "account_id, key_number, key, last_used"},
    {"seeds", "account_id, seed, expires"},
    {"lists", "owner_id, member_id, list"},
    {"updates", "seq, account_id, time_stamp, action, member_id, email, name, translit_name, unicode_name"},
    {"messages", "id, sender_id, created, upload, upload_length, complete"},
    {"message_recipients", "message_id, message, sender_id, recipient_id, created, data, delivered, abuse_report,"
                           " abuse_time, deleted"},
    {"message_uploads", "message, hash, received, sent_time, signature, text_offset, text_length"},
    {"message_upload_blocks", "message, \"offset\", size, data"},
    {"message_copies", "message_id, key_block, data_key"},
    {"account_addresses", "email, account_id"},
    {"code_failures", "caller_id, target_id, time"},
    {"code_blocks", "caller_id, target_id, until"},
    {"login_blocks", "account_id, blocks, seen"},
    {"sealed_vectors", "account_id, key_number, key, vector, claim"},
};

} // namespace

int StoredVersion(CStoreDb& db)
{
    CStoreStatement statement = db.Prepare("SELECT MAX(version) FROM schema_version");
    return statement.Step() && !statement.IsNull(0) ? static_cast<int>(statement.Int(0)) : 0;
}

void Migrate(CStoreDb& db)
{
    db.Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const int version = StoredVersion(db);
    if (version > kVersion)
        throw XCentralStoreError("the database has schema version " + std::to_string(version) +
                                 ", newer than this program's " + std::to_string(kVersion));
    const char* const* steps = db.Engine() == CStoreEngine::Sqlite ? kSqliteSteps : kPostgresSteps;
    for (int next = version; next < kVersion; ++next) {
        db.Begin();
        try {
            db.Exec(steps[next]);
            db.Exec("DELETE FROM schema_version");
            db.Prepare("INSERT INTO schema_version (version) VALUES (?)").Bind(1, int64_t(next + 1)).Run();
            db.Commit();
        } catch (...) {
            db.Rollback();
            throw;
        }
    }
}

void RecordHeldAddresses(CStoreDb& db)
{
    db.Exec("INSERT INTO account_addresses (email, account_id) SELECT email, id FROM accounts WHERE true"
            " ON CONFLICT DO NOTHING");
}

const Table* Tables(int& count)
{
    count = static_cast<int>(std::size(kTables));
    return kTables;
}

} // namespace central_schema
