#pragma once
// A gateway's tests against the real central server: the server in this process on a free
// loopback port with a SQLite file of its own, and a sender (Alice) and a recipient (Bob)
// registered there who stand on each other's contact lists, so either may write to the
// other. Each test runs in a temporary working directory.
//
// InProcessCentralFixture: just that (InProcessCentralThreeUsersFixture: and Carol, who may
// write to neither). GatewayCentralFixture: also the gateway's settings
// pointed at the server, with one-kilobyte blocks, and the entries of an account's history.

#include "server/tests/MailTestSupport.h"

#include "core/CConfig.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace mailtest {

class InProcessCentralFixture : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        StartServer();
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        ASSERT_NO_FATAL_FAILURE(MakeContacts(*m_client, m_bob, m_alice));
    }

    void TearDown() override { StopServer(); }

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

// With Carol registered too, on nobody's contact list.
class InProcessCentralThreeUsersFixture : public InProcessCentralFixture {
protected:
    void SetUp() override
    {
        InProcessCentralFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(m_client->Register(m_carol));
    }

    User m_carol{"carol@example.org", "carol-code", 2};
};

class GatewayCentralFixture : public InProcessCentralFixture {
protected:
    void SetUp() override
    {
        InProcessCentralFixture::SetUp();
        if (HasFatalFailure())
            return;
        CConfig::Global().Set(CConfig::kServer, m_address.server);
        CConfig::Global().Set(CConfig::kUrl, m_address.url);
        CConfig::Global().Set(CConfig::kBlockSize, "1");
    }

    void TearDown() override
    {
        InProcessCentralFixture::TearDown();
        CConfig::Global().ResetToDefaults();
    }

    // The entries of one section ("Sent", "Received") of an account's history, in file order.
    static std::vector<CZelXmlNode> HistoryEntries(int64_t account, const char* section)
    {
        CZelXmlDocument history;
        EXPECT_TRUE(CMessageHistory::Load(account, history));
        std::vector<CZelXmlNode> entries;
        const CZelXmlNode found = history.RootElement().FindChild(section);
        for (CZelXmlNode entry = found.FindChild("message"); !entry.IsNull(); entry = entry.NextSameName())
            entries.push_back(entry);
        return entries;
    }
};

} // namespace mailtest
