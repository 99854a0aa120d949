// The real velmo-central program serving HTTPS: the gateway's client gets the server's key
// through it with a pinned fingerprint, plain HTTP gets nothing, and a certificate and key that
// do not make a pair stop it before it listens or makes a database.

#include "foundation/XTOOError.h"
#include "protocol/ZelServerRequests.h"
#include "testing/CentralTestSupport.h"
#include "testing/RawHttpPeer.h"
#include "testing/SocketsEnvironment.h"
#include "tls/CTlsCertificate.h"

#include <csignal>
#include <filesystem>

using namespace centraltest;

namespace {

class CentralHttpsProgramTest : public ::testing::Test {
protected:
    CentralHttpsProgramTest()
    {
        CTlsCertificate::MakeSelfSigned("central.example").Save(m_certificate, m_key);
        CTlsCertificate::MakeSelfSigned("other.example").Save(m_otherCertificate, m_otherKey);
    }

    std::vector<std::string> ServeArgs(const std::vector<std::string>& tls) const
    {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--db", m_db};
        args.insert(args.end(), tls.begin(), tls.end());
        return args;
    }

    TempDir m_dir;
    const std::string m_db = m_dir.File("c.sqlite3");
    const std::string m_certificate = m_dir.File("central.crt");
    const std::string m_key = m_dir.File("central.key");
    const std::string m_otherCertificate = m_dir.File("other.crt");
    const std::string m_otherKey = m_dir.File("other.key");
};

TEST_F(CentralHttpsProgramTest, ServesTheGatewaysClientOverHttpsAndNothingInTheClear)
{
    CentralProgram program(ServeArgs({"--tls-cert", m_certificate, "--tls-key", m_key}));
    const int port = program.ReadPort();
    ASSERT_GT(port, 0);
    const CZelServerAddress address{CZelString("https://127.0.0.1:" + std::to_string(port)), "/cgi-bin/velmo.cgi",
                                    CZelString(CTlsCertificate::FileFingerprint(m_certificate))};
    CZelTcpFile connection(true);
    EXPECT_TRUE(RequestServerKey(address, connection, kHttpWriteTimeoutMs).IsComplete());
    connection.Close();

    RawPeer plain(port);
    ASSERT_TRUE(plain.Send(HonestPost(std::string(Frame(kRequestServerKey, "").View()))));
    const RawPeer::Received all = plain.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(all.bytes.find("HTTP/"), std::string::npos) << all.bytes;

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

TEST_F(CentralHttpsProgramTest, AClientPinningAnotherCertificateSendsNothing)
{
    CentralProgram program(ServeArgs({"--tls-cert", m_certificate, "--tls-key", m_key}));
    const int port = program.ReadPort();
    ASSERT_GT(port, 0);
    const CZelServerAddress address{CZelString("https://127.0.0.1:" + std::to_string(port)), "/cgi-bin/velmo.cgi",
                                    CZelString(CTlsCertificate::FileFingerprint(m_otherCertificate))};
    CZelTcpFile connection(true);
    std::string error;
    try {
        RequestServerKey(address, connection, kHttpWriteTimeoutMs);
    } catch (const XTOOBaseError& failure) {
        error = failure.what();
    }
    EXPECT_NE(error.find("certificate rejected"), std::string::npos) << error;
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

class CentralHttpsProgramBadTlsTest : public CentralHttpsProgramTest, public ::testing::WithParamInterface<int> {};

TEST_P(CentralHttpsProgramBadTlsTest, StopsBeforeItListensAndLeavesNoDatabase)
{
    struct Case {
        std::vector<std::string> tls;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {{"--tls-cert", m_certificate}, 2, "--tls-cert and --tls-key go together"},
        {{"--tls-key", m_key}, 2, "--tls-cert and --tls-key go together"},
        {{"--tls-cert", m_dir.File("missing.crt"), "--tls-key", m_key}, 1, "cannot serve HTTPS: TLS certificate"},
        {{"--tls-cert", m_certificate, "--tls-key", m_dir.File("missing.key")}, 1, "cannot serve HTTPS: TLS key"},
        {{"--tls-cert", m_certificate, "--tls-key", m_otherKey}, 1, "cannot serve HTTPS: TLS key"},
        {{"--tls-cert", m_key, "--tls-key", m_certificate}, 1, "cannot serve HTTPS"},
    };
    const Case& c = cases[GetParam()];
    CentralProgram program(ServeArgs(c.tls));
    EXPECT_EQ(program.Wait(), c.exitCode);
    EXPECT_NE(program.Errors().find(c.says), std::string::npos) << program.Errors();
    EXPECT_FALSE(std::filesystem::exists(m_db));
}

std::string BadTlsName(const ::testing::TestParamInfo<int>& info)
{
    static const char* const kNames[] = {"CertificateWithoutKey", "KeyWithoutCertificate", "MissingCertificate",
                                         "MissingKey",            "KeyOfAnotherCertificate", "FilesSwapped"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Table, CentralHttpsProgramBadTlsTest, ::testing::Range(0, 6), BadTlsName);

} // namespace
