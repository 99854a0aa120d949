#pragma once
// A PostgreSQL cluster of the benchmark's own: started durable (fsync on, as the SQLite file is
// fully synchronised) in a temporary folder by scripts/test-postgres.sh, stopped and removed
// when the object goes. Never a server that happens to be running already.

#include <cstdint>
#include <string>

namespace velmo_bench {

// What the cluster's statistics say of one database: transactions committed and rolled back
// (a lost serialization race is a rollback, so is a read-only request that ends without a
// commit).
struct PostgresDatabaseCounts {
    int64_t commits = 0;
    int64_t rollbacks = 0;
};

class PostgresCluster {
public:
    // Starts the cluster; throws std::runtime_error with the script's output when it cannot.
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // The URI of a new, empty database named `name`.
    std::string FreshDatabase(const std::string& name);
    // The statistics of database `name` so far (the collector may lag by a moment).
    PostgresDatabaseCounts Counts(const std::string& name);
    // Transactions of any database the server failed for a lost serialization race so far, as
    // its log tells (each one a store's XCentralStoreConflict and a transaction run again).
    int64_t SerializationFailures() const;

private:
    std::string m_folder;
    std::string m_url;
};

} // namespace velmo_bench
