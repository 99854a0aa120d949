// The SMTP service start: ports the server cannot listen on are refused where the user sees it.

#include "smtp/CSmtpService.h"

#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SmtpServiceTest, PortsOutsideTheTcpRangeAreRefusedAndReported)
{
    std::vector<std::string> reported;
    CZelStartServerThread::SetErrorSink([&](const CZelString& text) { reported.push_back(text.ToStd()); });
    struct Case {
        int32_t port;
        bool accepted;
    };
    for (const Case c : {Case{1, true}, Case{25, true}, Case{65535, true}, Case{0, false}, Case{-25, false},
                         Case{65536, false}, Case{2147483647, false}}) {
        SCOPED_TRACE(c.port);
        reported.clear();
        EXPECT_EQ(AcceptSmtpPort(c.port), c.accepted);
        ASSERT_EQ(reported.size(), c.accepted ? 0u : 1u);
        if (!c.accepted) {
            EXPECT_NE(reported[0].find(std::to_string(c.port)), std::string::npos) << reported[0];
            EXPECT_NE(SmtpLog().SaveText().ToStd().find(reported[0].substr(0, reported[0].size() - 1)),
                      std::string::npos);
        }
    }
    CZelStartServerThread::SetErrorSink({});
}

} // namespace
