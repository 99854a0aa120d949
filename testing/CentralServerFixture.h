#pragma once
// The real central server in this process, for every test that talks to it: a temporary
// folder, the store in it (on a fresh PostgreSQL database instead when ctest runs the test on
// that engine, see StoreEngines.h), the server, its HTTP front on a free loopback port, a
// client of it, and the users Alice, Bob and Carol. Each test runs in a temporary working
// directory of its own.

#include "foundation/testing/TempDir.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralTestSupport.h"
#include "testing/StoreEngines.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace centraltest {

// What a test stands up beside the store and the server.
struct CentralParts {
    bool messageRequests = true;   // the message requests served beside the account requests
    bool httpFront = true;         // the HTTP front on a free loopback port and a client of it
};

// Nothing runs until the test's SetUp starts the server; TearDown stops what is running.
// Public, so that tables of cases can reach the pieces of the test they run in.
class CentralServerFixture : public velmo_testing::TempHomeTest {
public:
    void TearDown() override { StopServer(); }

    // Stands the server up over the test's store location.
    void StartServer(CentralParts parts = {}) { StartServerAt(m_location, parts); }

    // The same over another store location, e.g. one a migration filled.
    void StartServerAt(const std::string& location, CentralParts parts = {})
    {
        m_store = std::make_unique<CCentralStore>(location, 64);
        m_server = std::make_unique<CCentralServer>(*m_store);
        if (parts.messageRequests)
            RegisterMessageRequests(*m_server);
        if (!parts.httpFront)
            return;
        m_http = std::make_unique<CCentralHttpServer>(*m_server);
        m_port = m_http->Start("127.0.0.1", 0);
        ASSERT_GT(m_port, 0);
        m_client = std::make_unique<Client>(m_port);
        m_address = m_client->Server();
    }

    // Ends what StartServer started. The client's kept-alive connection goes first, or the
    // server waits for it to time out.
    void StopServer()
    {
        m_client.reset();
        m_http.reset();
        m_server.reset();
        m_store.reset();
    }

    TempDir m_dir{"velmo-central"};
    std::string m_location = TestStoreLocation(m_dir);
    std::unique_ptr<CCentralStore> m_store;
    std::unique_ptr<CCentralServer> m_server;
    std::unique_ptr<CCentralHttpServer> m_http;
    int m_port = 0;
    std::unique_ptr<Client> m_client;
    CZelServerAddress m_address;
    User m_alice = Alice();
    User m_bob = Bob();
    User m_carol = Carol();
};

} // namespace centraltest
