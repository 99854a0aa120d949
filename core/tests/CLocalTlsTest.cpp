#include "core/CLocalTls.h"

#include "core/CConfig.h"
#include "foundation/testing/TempDir.h"
#include "tls/CTlsCertificate.h"
#include "tls/CTlsContext.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class LocalTlsPairTest : public velmo_testing::TempHomeTest {
protected:
    void TearDown() override { CLocalTls::SetServerContext(nullptr); }

    bool Install(std::string& problem) { return CLocalTls::Install(m_config, problem); }

    CConfig m_config;
};

TEST_F(LocalTlsPairTest, TheFirstStartMakesTheOwnPairAndLaterStartsKeepIt)
{
    std::string problem;
    ASSERT_TRUE(Install(problem)) << problem;
    EXPECT_NE(CLocalTls::ServerContext(), nullptr);
    ASSERT_TRUE(fs::exists(CLocalTls::kCertificateFile));
    struct stat key {};
    ASSERT_EQ(stat(CLocalTls::kKeyFile, &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);

    // The fingerprint the user once trusted stays valid across restarts.
    const std::string trusted = CTlsCertificate::FileFingerprint(CLocalTls::kCertificateFile);
    ASSERT_TRUE(Install(problem)) << problem;
    EXPECT_EQ(CTlsCertificate::FileFingerprint(CLocalTls::kCertificateFile), trusted);
}

TEST_F(LocalTlsPairTest, AConfiguredPairIsUsedAndTheOwnOneIsNeverMade)
{
    CTlsCertificate::MakeSelfSigned("mail.example").Save("mine.crt", "mine.key");
    m_config.Set(CConfig::kTlsCertificate, "mine.crt");
    m_config.Set(CConfig::kTlsKey, "mine.key");
    std::string problem;
    const CLocalTls::CPair pair = CLocalTls::PairInUse(m_config, problem);
    EXPECT_EQ(pair.certificateFile, "mine.crt");
    EXPECT_FALSE(pair.own);
    ASSERT_TRUE(Install(problem)) << problem;
    EXPECT_NE(CLocalTls::ServerContext(), nullptr);
    EXPECT_FALSE(fs::exists(CLocalTls::kCertificateFile));
}

struct BadPair {
    const char* name;
    const char* certificate;
    const char* key;
    const char* reasonPart;
};

void PrintTo(const BadPair& pair, std::ostream* out)
{
    *out << pair.name;
}

class LocalTlsBadPairTest : public LocalTlsPairTest, public ::testing::WithParamInterface<BadPair> {};

// Each leaves the servers without TLS, says why, and touches no file.
TEST_P(LocalTlsBadPairTest, LeavesTheServersWithoutTlsAndSaysWhy)
{
    CTlsCertificate::MakeSelfSigned("one.example").Save("one.crt", "one.key");
    CTlsCertificate::MakeSelfSigned("two.example").Save("two.crt", "two.key");
    CLocalTls::SetServerContext(std::make_shared<const CTlsContext>(CTlsContext::Server("one.crt", "one.key")));
    m_config.Set(CConfig::kTlsCertificate, GetParam().certificate);
    m_config.Set(CConfig::kTlsKey, GetParam().key);
    std::string problem;
    EXPECT_FALSE(Install(problem));
    EXPECT_EQ(CLocalTls::ServerContext(), nullptr);
    EXPECT_NE(problem.find(GetParam().reasonPart), std::string::npos) << problem;
    EXPECT_FALSE(fs::exists(CLocalTls::kCertificateFile));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalTlsBadPairTest,
    ::testing::Values(BadPair{"OnlyTheCertificate", "one.crt", "", "TlsKey"},
                      BadPair{"OnlyTheKey", "", "one.key", "TlsCertificate"},
                      BadPair{"MissingFile", "none.crt", "one.key", "none.crt"},
                      BadPair{"KeyOfAnotherCertificate", "one.crt", "two.key", "key"}),
    [](const ::testing::TestParamInfo<BadPair>& info) { return std::string(info.param.name); });

} // namespace
