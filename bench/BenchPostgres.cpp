#include "bench/BenchPostgres.h"

#include "foundation/testing/ChildProcess.h"

#include <libpq-fe.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace velmo_bench {
namespace {

// Runs the cluster script; false with what it printed in `output` when it fails.
bool RunClusterScript(const std::vector<std::string>& arguments, std::string& output)
{
    std::vector<std::string> args{std::string(VELMO_SOURCE_DIR) + "/scripts/test-postgres.sh"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return velmo_testing::ChildProcess::RunToEnd("/bin/bash", args, output);
}

struct ConnectionCloser {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ResultClearer {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// One statement on the maintenance database; its result, or an exception with the reason.
Result Execute(const std::string& url, const std::string& sql)
{
    std::unique_ptr<PGconn, ConnectionCloser> connection(PQconnectdb(url.c_str()));
    if (PQstatus(connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot reach the benchmark's PostgreSQL: " +
                                 std::string(PQerrorMessage(connection.get())));
    Result result(PQexec(connection.get(), sql.c_str()));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(connection.get()));
    return result;
}

} // namespace

PostgresCluster::PostgresCluster()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "velmo-bench-pg-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    // The script makes the folder afresh and hands it to the server's user.
    m_folder = pattern;
    std::string output;
    if (!RunClusterScript({"start", m_folder, "--durable"}, output)) {
        std::filesystem::remove_all(m_folder);
        throw std::runtime_error("the benchmark's PostgreSQL did not start: " + output);
    }
    std::ifstream file(m_folder + "/url");
    std::getline(file, m_url);
    if (m_url.empty())
        throw std::runtime_error("the benchmark's PostgreSQL left no URI in " + m_folder);
}

PostgresCluster::~PostgresCluster()
{
    std::string output;
    if (!RunClusterScript({"stop", m_folder}, output))
        std::fprintf(stderr, "the benchmark's PostgreSQL did not stop: %s\n", output.c_str());
}

std::string PostgresCluster::FreshDatabase(const std::string& name)
{
    Execute(m_url, "CREATE DATABASE " + name + " TEMPLATE template0");
    return m_url.substr(0, m_url.rfind('/') + 1) + name;
}

PostgresDatabaseCounts PostgresCluster::Counts(const std::string& name)
{
    const Result result =
        Execute(m_url, "SELECT xact_commit, xact_rollback FROM pg_stat_database WHERE datname = '" + name + "'");
    PostgresDatabaseCounts counts;
    if (PQntuples(result.get()) == 1) {
        counts.commits = std::stoll(PQgetvalue(result.get(), 0, 0));
        counts.rollbacks = std::stoll(PQgetvalue(result.get(), 0, 1));
    }
    return counts;
}

int64_t PostgresCluster::SerializationFailures() const
{
    std::ifstream log(m_folder + "/server.log");
    int64_t count = 0;
    for (std::string line; std::getline(log, line);)
        if (line.find("could not serialize access") != std::string::npos)
            ++count;
    return count;
}

} // namespace velmo_bench
