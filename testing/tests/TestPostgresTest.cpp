// Throw-away PostgreSQL databases: each is new and empty, none sees another's tables, and
// they are gone once the program that made them has exited.

#include "foundation/testing/ChildProcess.h"
#include "testing/TestPostgres.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace velmo_testing;

namespace {

struct ConnectionCloser {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

Connection Connect(const std::string& url)
{
    Connection connection(PQconnectdb(url.c_str()));
    EXPECT_EQ(PQstatus(connection.get()), CONNECTION_OK) << url << ": " << PQerrorMessage(connection.get());
    return connection;
}

// The single value `query` gives, or the error text.
std::string Value(PGconn* connection, const std::string& query)
{
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection, query.c_str()), &PQclear);
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        return std::string("error: ") + PQerrorMessage(connection);
    return PQntuples(result.get()) == 1 ? PQgetvalue(result.get(), 0, 0) : "no row";
}

std::string Command(PGconn* connection, const std::string& statement)
{
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection, statement.c_str()), &PQclear);
    return PQresultStatus(result.get()) == PGRES_COMMAND_OK ? "" : PQerrorMessage(connection);
}

const char* const kUserTables =
    "SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast')";

std::string DatabaseName(const std::string& url) { return url.substr(url.rfind('/') + 1); }

TEST(TestPostgres, FreshDatabasesAreDistinctEmptyAndApart)
{
    const std::string first = FreshPostgresDatabase();
    const std::string second = FreshPostgresDatabase();
    ASSERT_NE(first, second);

    Connection one = Connect(first), two = Connect(second);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(Value(one.get(), "SELECT current_database()"), DatabaseName(first));
    EXPECT_EQ(Value(two.get(), "SELECT current_database()"), DatabaseName(second));
    EXPECT_EQ(Value(one.get(), kUserTables), "0");
    EXPECT_EQ(Value(two.get(), kUserTables), "0");

    ASSERT_EQ(Command(one.get(), "CREATE TABLE letters (id integer PRIMARY KEY, body text)"), "");
    ASSERT_EQ(Command(one.get(), "INSERT INTO letters VALUES (1, 'hello')"), "");
    EXPECT_EQ(Value(one.get(), "SELECT body FROM letters"), "hello");
    EXPECT_EQ(Value(two.get(), "SELECT to_regclass('letters') IS NULL"), "t");
    EXPECT_EQ(Value(two.get(), kUserTables), "0");
}

// Run only as the child of the test below: makes a database, keeps a connection to it open
// (as a test that forgets to close would), and exits.
TEST(TestPostgresChild, DISABLED_MakesADatabaseAndExits)
{
    const std::string url = FreshPostgresDatabase();
    static PGconn* const left = PQconnectdb(url.c_str());
    ASSERT_EQ(PQstatus(left), CONNECTION_OK) << PQerrorMessage(left);
    std::printf("DATABASE %s\n", url.c_str());
    std::fflush(stdout);
}

TEST(TestPostgres, DatabasesGoWhenTheProgramExits)
{
    // The child must use this program's cluster, also when this program started its own.
    ::setenv("VELMO_TEST_POSTGRES", PostgresClusterFolder().c_str(), 1);
    ChildProcess child("/proc/self/exe", {"--gtest_also_run_disabled_tests",
                                          "--gtest_filter=TestPostgresChild.DISABLED_MakesADatabaseAndExits"});
    ASSERT_TRUE(child.Started());
    const std::string output = child.RestOfOutput();
    ASSERT_EQ(ChildProcess::ExitCode(child.Wait()), 0) << output << child.Errors();

    const size_t at = output.find("DATABASE ");
    ASSERT_NE(at, std::string::npos) << output;
    const std::string url = output.substr(at + 9, output.find('\n', at) - at - 9);

    Connection cluster = Connect(PostgresClusterUrl());
    ASSERT_TRUE(cluster);
    EXPECT_EQ(Value(cluster.get(), "SELECT count(*) FROM pg_database WHERE datname = '" + DatabaseName(url) + "'"),
              "0");
    Connection gone(PQconnectdb(url.c_str()));
    EXPECT_NE(PQstatus(gone.get()), CONNECTION_OK);
    EXPECT_NE(std::string(PQerrorMessage(gone.get())).find("does not exist"), std::string::npos)
        << PQerrorMessage(gone.get());
}

TEST(TestPostgres, ManyThreadsGetDatabasesOfTheirOwn)
{
    constexpr int kThreads = 4;
    std::vector<std::string> made(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&made, i] {
            try {
                made[i] = FreshPostgresDatabase();
            } catch (const std::exception& error) {
                made[i] = std::string("error: ") + error.what();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& url : made)
        EXPECT_EQ(url.rfind("postgresql://", 0), 0u) << url;
    std::sort(made.begin(), made.end());
    EXPECT_EQ(std::unique(made.begin(), made.end()), made.end());
}

} // namespace
