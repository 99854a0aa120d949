#pragma once
// Where a server test keeps its central store. ctest runs the store's test programs twice:
// as they are, on an SQLite file in the test's folder, and once more on PostgreSQL (the tests
// named .../Postgres, with VELMO_TEST_STORE set), each test on a fresh database of its own.

#include "foundation/testing/TempDir.h"
#include "testing/TestPostgres.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace centraltest {

inline bool TestsRunOnPostgres()
{
    const char* store = std::getenv("VELMO_TEST_STORE");
    return store && std::strncmp(store, "postgresql", 10) == 0;
}

// A new store location for one test: give it to CCentralStore or `velmo-central --db`, and
// keep it for a restart.
inline std::string TestStoreLocation(const velmo_testing::TempDir& dir)
{
    return TestsRunOnPostgres() ? velmo_testing::FreshPostgresDatabase() : dir.File("central.sqlite3");
}

} // namespace centraltest
