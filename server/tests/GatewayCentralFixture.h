#pragma once
// A gateway's tests against the real central server: the server in this process on a free
// loopback port with a SQLite file of its own, a sender (Alice) and a recipient (Bob) who may
// write to each other, and the gateway's settings pointed at the server with one-kilobyte
// blocks. Each test runs in a temporary working directory.

#include "server/tests/MailTestSupport.h"

#include "core/CConfig.h"
#include "foundation/testing/TempDir.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"

#include <memory>

namespace mailtest {

class GatewayCentralFixture : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        StartServer();
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        ASSERT_NO_FATAL_FAILURE(MakeContacts(*m_client, m_bob, m_alice));
        CConfig::Global().Set(CConfig::kServer, m_address.server);
        CConfig::Global().Set(CConfig::kUrl, m_address.url);
        CConfig::Global().Set(CConfig::kBlockSize, "1");
    }

    void TearDown() override
    {
        StopServer();
        CConfig::Global().ResetToDefaults();
    }

    void StartServer()
    {
        const int port = StartInProcessCentral(m_dir.File("central.sqlite3"), m_store, m_server, m_http);
        ASSERT_GT(port, 0);
        m_client = std::make_unique<Client>(port);
        m_address = m_client->Server();
    }

    void StopServer() { StopInProcessCentral(m_client, m_store, m_server, m_http); }

    TempDir m_dir{"velmo-central"};
    std::unique_ptr<CCentralStore> m_store;
    std::unique_ptr<CCentralServer> m_server;
    std::unique_ptr<CCentralHttpServer> m_http;
    std::unique_ptr<Client> m_client;
    CZelServerAddress m_address;
    User m_alice{"alice@example.org", "alice-code", 0};
    User m_bob{"bob@example.org", "bob-code", 1};
};

} // namespace mailtest
