// The gateway's own certificate: what it is valid for, how it is kept on disk, and the
// fingerprint the user compares.

#include "testing/TlsTestPair.h"

#include "foundation/XTOOError.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <regex>

namespace {

using tls_testing::SavedPair;

struct X509Free { void operator()(X509* cert) const { X509_free(cert); } };

std::unique_ptr<X509, X509Free> Parse(const std::string& pem)
{
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    return std::unique_ptr<X509, X509Free>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string RunAndRead(const std::string& command)
{
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, got);
        ::pclose(pipe);
    }
    return output;
}

TEST(CTlsCertificateTest, SelfSignedPairIsValidForLoopbackAndTheHostName)
{
    const CTlsCertificate pair = CTlsCertificate::MakeSelfSigned("mailbox.example");
    auto cert = Parse(pair.CertificatePem());
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_check_host(cert.get(), "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_host(cert.get(), "mailbox.example", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(cert.get(), "127.0.0.1", 0), 1);
    EXPECT_NE(X509_check_host(cert.get(), "other.example", 0, 0, nullptr), 1);
    EXPECT_NE(X509_check_ip_asc(cert.get(), "10.0.0.1", 0), 1);
    EXPECT_NE(pair.KeyPem().find("PRIVATE KEY"), std::string::npos);
}

TEST(CTlsCertificateTest, HostNameThatWouldAddNamesIsLeftOut)
{
    const CTlsCertificate pair = CTlsCertificate::MakeSelfSigned("evil.example,DNS:bank.example");
    auto cert = Parse(pair.CertificatePem());
    ASSERT_TRUE(cert);
    EXPECT_NE(X509_check_host(cert.get(), "bank.example", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_host(cert.get(), "localhost", 0, 0, nullptr), 1);
}

TEST(CTlsCertificateTest, EachPairIsNew)
{
    EXPECT_NE(CTlsCertificate::Fingerprint(CTlsCertificate::MakeSelfSigned("a").CertificatePem()),
              CTlsCertificate::Fingerprint(CTlsCertificate::MakeSelfSigned("a").CertificatePem()));
}

TEST(CTlsCertificateTest, KeyFileIsPrivateAndPairLoadsIntoServerContext)
{
    SavedPair pair;
    struct stat info {};
    ASSERT_EQ(::stat(pair.keyFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NO_THROW(CTlsContext::Server(pair.certificateFile, pair.keyFile));
}

TEST(CTlsCertificateTest, SavingOverALooseKeyFileMakesItPrivate)
{
    SavedPair pair;
    ASSERT_EQ(::chmod(pair.keyFile.c_str(), 0644), 0);
    CTlsCertificate::MakeSelfSigned("").Save(pair.certificateFile, pair.keyFile);
    struct stat info {};
    ASSERT_EQ(::stat(pair.keyFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(CTlsCertificateTest, EnsureMakesThePairOnceAndKeepsIt)
{
    velmo_testing::TempDir dir("velmo-tls");
    const std::string cert = (dir.Path() / "home" / "local.crt").string();
    const std::string key = (dir.Path() / "home" / "local.key").string();
    EXPECT_TRUE(CTlsCertificate::EnsureSelfSigned(cert, key, "host"));
    const std::string first = CTlsCertificate::FileFingerprint(cert);
    EXPECT_FALSE(CTlsCertificate::EnsureSelfSigned(cert, key, "host"));
    EXPECT_EQ(CTlsCertificate::FileFingerprint(cert), first);
}

TEST(CTlsCertificateTest, FingerprintIsSha256AsColonHexAndMatchesOpenSslTool)
{
    SavedPair pair;
    const std::string fingerprint = CTlsCertificate::FileFingerprint(pair.certificateFile);
    EXPECT_TRUE(std::regex_match(fingerprint, std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}"))) << fingerprint;
    const std::string tool = RunAndRead("openssl x509 -noout -fingerprint -sha256 -in '" + pair.certificateFile +
                                        "' 2>/dev/null");
    if (tool.empty())
        GTEST_SKIP() << "the openssl program is not installed";
    EXPECT_NE(tool.find("=" + fingerprint), std::string::npos) << tool;
}

TEST(CTlsCertificateTest, FingerprintOfSomethingElseIsAClearError)
{
    EXPECT_THROW(CTlsCertificate::Fingerprint("not a certificate"), XTOOError);
    EXPECT_THROW(CTlsCertificate::FileFingerprint("/nonexistent/velmo.crt"), XTOOError);
}

TEST(CTlsCertificateTest, ServerContextRefusesMissingOrMismatchedFiles)
{
    SavedPair pair;
    SavedPair other;
    EXPECT_THROW(CTlsContext::Server(pair.certificateFile, other.keyFile), XTOOError);
    EXPECT_THROW(CTlsContext::Server("/nonexistent/velmo.crt", pair.keyFile), XTOOError);
    try {
        CTlsContext::Server(pair.certificateFile, other.keyFile);
    } catch (const XTOOError& error) {
        // OpenSSL's own reason, and which file it was about.
        EXPECT_NE(std::string(error.Text()).find("mismatch"), std::string::npos) << error.Text();
        EXPECT_NE(std::string(error.Text()).find(other.keyFile), std::string::npos) << error.Text();
    }
}

} // namespace
