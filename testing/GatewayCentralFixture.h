#pragma once
// A gateway's tests against the real central server of the test kit's fixture, with a sender
// (Alice) and a recipient (Bob) registered there who stand on each other's contact lists, so
// either may write to the other.
//
// InProcessCentralFixture: just that (InProcessCentralThreeUsersFixture: and Carol, who may
// write to neither). GatewayCentralFixture: also the gateway's settings
// pointed at the server, with one-kilobyte blocks, and the entries of an account's history.

#include "core/CConfig.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "history/CMessageHistory.h"
#include "testing/CentralServerFixture.h"
#include "testing/MailTestSupport.h"

#include <cstdint>
#include <vector>

namespace mailtest {

class InProcessCentralFixture : public CentralServerFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        ASSERT_NO_FATAL_FAILURE(MakeContacts(*m_client, m_bob, m_alice));
    }
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
