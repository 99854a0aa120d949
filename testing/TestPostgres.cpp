#include "testing/TestPostgres.h"

#include "foundation/XTOOError.h"
#include "foundation/testing/ChildProcess.h"
#include "foundation/testing/TempDir.h"

#include <libpq-fe.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace velmo_testing {
namespace {

constexpr const char* kFolderVariable = "VELMO_TEST_POSTGRES";
constexpr const char* kStoreVariable = "VELMO_TEST_STORE";
constexpr const char* kStorePrefix = "postgresql:";

[[noreturn]] void Fail(const std::string& why)
{
    throw XTOOErrMsg(CZelString(std::string_view("test PostgreSQL: " + why)));
}

// Runs the cluster script; false with everything it printed in `output` when it fails.
bool RunClusterScript(const std::string& command, const std::string& folder, std::string& output)
{
    const std::string script = std::string(VELMO_SOURCE_DIR) + "/scripts/test-postgres.sh";
    return ChildProcess::RunToEnd("/bin/bash", {script, command, folder}, output);
}

std::string ReadClusterUrl(const std::string& folder)
{
    std::ifstream file(folder + "/url");
    std::string url;
    if (!std::getline(file, url) || url.empty())
        Fail("no cluster in " + folder + " (start one with scripts/test-postgres.sh start " + folder + ")");
    return url;
}

struct ConnectionCloser {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

// The cluster the process uses and the databases it made there.
class PostgresSession {
public:
    PostgresSession() = default;
    PostgresSession(const PostgresSession&) = delete;
    PostgresSession& operator=(const PostgresSession&) = delete;

    ~PostgresSession()
    {
        // A forked child that exits normally must neither drop its parent's databases nor
        // end the parent's connection, which it shares.
        if (::getpid() != m_owner) {
            (void)m_maintenance.release();
            (void)m_ownFolder.release();
            return;
        }
        DropMadeDatabases();
        m_maintenance.reset();
        if (m_ownFolder) {
            std::string output;
            RunClusterScript("stop", m_folder, output);
        }
    }

    std::string Fresh()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        Connect();
        const std::string name = NewDatabaseName();
        Execute("CREATE DATABASE " + name + " TEMPLATE template0");
        m_made.push_back(name);
        return m_url.substr(0, m_url.rfind('/') + 1) + name;
    }

    std::string ClusterUrl()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        FindCluster();
        return m_url;
    }

    std::string ClusterFolder()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        FindCluster();
        return m_folder;
    }

private:
    void FindCluster()
    {
        if (!m_url.empty())
            return;
        const char* shared = ::getenv(kFolderVariable);
        // A program run whole on PostgreSQL names the cluster in its store choice.
        const char* store = ::getenv(kStoreVariable);
        if ((!shared || !*shared) && store && std::strncmp(store, kStorePrefix, std::strlen(kStorePrefix)) == 0)
            shared = store + std::strlen(kStorePrefix);
        if (shared && *shared) {
            m_url = ReadClusterUrl(shared);
            m_folder = shared;
            return;
        }
        StartOwnCluster();
    }

    void StartOwnCluster()
    {
        auto folder = std::make_unique<TempDir>("velmo-postgres");
        std::string output;
        if (!RunClusterScript("start", folder->Path().string(), output))
            Fail("could not start a cluster in " + folder->Path().string() + ": " + output);
        m_url = ReadClusterUrl(folder->Path().string());
        m_folder = folder->Path().string();
        m_ownFolder = std::move(folder);
    }

    void Connect()
    {
        FindCluster();
        if (m_maintenance && PQstatus(m_maintenance.get()) == CONNECTION_OK)
            return;
        m_maintenance.reset(PQconnectdb(m_url.c_str()));
        if (!m_maintenance)
            Fail("out of memory connecting to " + m_url);
        if (PQstatus(m_maintenance.get()) != CONNECTION_OK)
            Fail("cannot connect to " + m_url + ": " + PQerrorMessage(m_maintenance.get()));
    }

    void Execute(const std::string& statement)
    {
        std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(m_maintenance.get(), statement.c_str()),
                                                              &PQclear);
        if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK)
            Fail(statement + ": " + PQerrorMessage(m_maintenance.get()));
    }

    // Unique across the processes sharing the cluster: the process id, a count within the
    // process, and a random part for process ids used again by later runs.
    std::string NewDatabaseName()
    {
        static const char digits[] = "0123456789abcdef";
        std::uniform_int_distribution<int> pick(0, 15);
        std::string random;
        for (int i = 0; i < 8; ++i)
            random += digits[pick(m_random)];
        return "velmo_t_" + std::to_string(::getpid()) + "_" + std::to_string(++m_count) + "_" + random;
    }

    // At exit nobody is left to catch a failure; a database left behind goes with the cluster.
    void DropMadeDatabases() noexcept
    {
        if (m_made.empty())
            return;
        try {
            Connect();
            for (const std::string& name : m_made)
                Execute("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
        } catch (const std::exception& error) {
            ::fprintf(stderr, "%s\n", error.what());
        }
        m_made.clear();
    }

    std::mutex m_mutex;
    const pid_t m_owner = ::getpid();
    std::string m_url;
    std::string m_folder;
    std::unique_ptr<TempDir> m_ownFolder;
    Connection m_maintenance;
    std::vector<std::string> m_made;
    int m_count = 0;
    std::mt19937 m_random{std::random_device{}()};
};

PostgresSession& Session()
{
    static PostgresSession session;
    return session;
}

} // namespace

std::string FreshPostgresDatabase()
{
    return Session().Fresh();
}

std::string PostgresClusterUrl()
{
    return Session().ClusterUrl();
}

std::string PostgresClusterFolder()
{
    return Session().ClusterFolder();
}

} // namespace velmo_testing
