// TLS sessions run over memory buffers: the handshake with the gateway's own certificate, the
// versions it accepts, data both ways, and what garbage or a stalled peer does to it.

#include "TlsTestPair.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>

namespace {

using tls_testing::PumpHandshake;
using tls_testing::SavedPair;
using EStep = CTlsStream::EStep;
using ERole = CTlsStream::ERole;

class TlsStreamTest : public ::testing::Test {
protected:
    SavedPair pair;
    CTlsContext server = CTlsContext::Server(pair.certificateFile, pair.keyFile);
    CTlsContext client = CTlsContext::Client(pair.certificateFile);
};

// A client limited to one protocol version, old ones included (the gateway's own client
// context never offers those).
CTlsContext ClientOfVersion(int version, const std::string& trusted)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(context, version);
    SSL_CTX_set_max_proto_version(context, version);
    SSL_CTX_load_verify_locations(context, trusted.c_str(), nullptr);
    return CTlsContext::Adopt(context);
}

TEST_F(TlsStreamTest, HandshakeVerifiesTheGatewayCertificateAndCarriesDataBothWays)
{
    CTlsStream serverSide(server, ERole::Server);
    CTlsStream clientSide(client, ERole::Client, "localhost");
    EStep clientStep, serverStep;
    PumpHandshake(clientSide, serverSide, clientStep, serverStep);
    ASSERT_EQ(clientStep, EStep::Done) << clientSide.FailureReason();
    ASSERT_EQ(serverStep, EStep::Done) << serverSide.FailureReason();
    EXPECT_EQ(serverSide.Protocol(), "TLSv1.3");

    std::string big(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : big)
        c = static_cast<char>(random());
    ASSERT_EQ(clientSide.Write(big), EStep::Done);
    serverSide.PutIncoming(clientSide.TakeOutgoing());
    std::string received;
    ASSERT_EQ(serverSide.Read(received), EStep::Done);
    EXPECT_EQ(received, big);

    ASSERT_EQ(serverSide.Write("+OK Begin\r\n"), EStep::Done);
    clientSide.PutIncoming(serverSide.TakeOutgoing());
    std::string reply;
    ASSERT_EQ(clientSide.Read(reply), EStep::Done);
    EXPECT_EQ(reply, "+OK Begin\r\n");

    std::string nothing;
    EXPECT_EQ(serverSide.Read(nothing), EStep::NeedInput);
    clientSide.Shutdown();
    serverSide.PutIncoming(clientSide.TakeOutgoing());
    EXPECT_EQ(serverSide.Read(nothing), EStep::Closed);
    EXPECT_TRUE(nothing.empty());
}

TEST_F(TlsStreamTest, ClientRefusesACertificateItDoesNotTrust)
{
    SavedPair stranger;
    CTlsContext strangerServer = CTlsContext::Server(stranger.certificateFile, stranger.keyFile);
    CTlsStream serverSide(strangerServer, ERole::Server);
    CTlsStream clientSide(client, ERole::Client, "localhost");
    EStep clientStep, serverStep;
    PumpHandshake(clientSide, serverSide, clientStep, serverStep);
    EXPECT_EQ(clientStep, EStep::Failed);
    EXPECT_NE(clientSide.FailureReason().find("certificate verify failed"), std::string::npos)
        << clientSide.FailureReason();
    EXPECT_FALSE(serverSide.IsEstablished());
}

struct VersionCase {
    const char* name;
    int version;
    bool accepted;
};

void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.name; }

class TlsVersionTest : public TlsStreamTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(TlsVersionTest, ServerSpeaksOnlyTls12And13)
{
    CTlsContext oldClient = ClientOfVersion(GetParam().version, pair.certificateFile);
    CTlsStream serverSide(server, ERole::Server);
    CTlsStream clientSide(oldClient, ERole::Client);
    ASSERT_EQ(clientSide.Handshake(), EStep::NeedInput) << clientSide.FailureReason();
    ASSERT_TRUE(clientSide.HasOutgoing()) << "the client must offer its hello to the server";
    EStep clientStep, serverStep;
    PumpHandshake(clientSide, serverSide, clientStep, serverStep);
    if (GetParam().accepted) {
        EXPECT_EQ(serverStep, EStep::Done) << serverSide.FailureReason();
        EXPECT_EQ(serverSide.Protocol(), GetParam().name);
    } else {
        EXPECT_EQ(serverStep, EStep::Failed);
        EXPECT_NE(serverSide.FailureReason().find("unsupported protocol"), std::string::npos)
            << serverSide.FailureReason();
        EXPECT_EQ(clientStep, EStep::Failed);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsVersionTest,
                         ::testing::Values(VersionCase{"TLSv1", TLS1_VERSION, false},
                                           VersionCase{"TLSv1.1", TLS1_1_VERSION, false},
                                           VersionCase{"TLSv1.2", TLS1_2_VERSION, true},
                                           VersionCase{"TLSv1.3", TLS1_3_VERSION, true}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '.')
                                     c = '_';
                             return name;
                         });

struct GarbageCase {
    const char* name;
    std::string bytes;
};

void PrintTo(const GarbageCase& c, std::ostream* out) { *out << c.name; }

class TlsGarbageTest : public TlsStreamTest, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(TlsGarbageTest, GarbageInsteadOfAHandshakeFailsWithOpenSslReason)
{
    CTlsStream serverSide(server, ERole::Server);
    serverSide.PutIncoming(GetParam().bytes);
    EXPECT_EQ(serverSide.Handshake(), EStep::Failed);
    EXPECT_FALSE(serverSide.FailureReason().empty());
    EXPECT_NE(serverSide.FailureReason().find("TLS handshake: error:"), std::string::npos)
        << serverSide.FailureReason();
    std::string plaintext;
    EXPECT_EQ(serverSide.Read(plaintext), EStep::Failed);
    EXPECT_TRUE(plaintext.empty());
}

std::string RandomBytes(size_t count)
{
    std::mt19937 random(11);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    bytes[0] = '\x16';  // looks like a handshake record, is not one
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Garbage, TlsGarbageTest,
                         ::testing::Values(GarbageCase{"SmtpCommand", "EHLO client.example\r\n"},
                                           GarbageCase{"HttpRequest", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
                                           GarbageCase{"RandomRecord", RandomBytes(4096)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsStreamTest, HalfAHandshakeWaitsForMoreWithoutAnswering)
{
    CTlsStream clientSide(client, ERole::Client, "localhost");
    ASSERT_EQ(clientSide.Handshake(), EStep::NeedInput);
    const std::string hello = clientSide.TakeOutgoing();
    ASSERT_GT(hello.size(), 10u);

    CTlsStream serverSide(server, ERole::Server);
    serverSide.PutIncoming(std::string_view(hello).substr(0, hello.size() / 2));
    EXPECT_EQ(serverSide.Handshake(), EStep::NeedInput);
    EXPECT_FALSE(serverSide.HasOutgoing());
    EXPECT_FALSE(serverSide.IsEstablished());
    serverSide.PutIncoming(std::string_view(hello).substr(hello.size() / 2));
    EXPECT_EQ(serverSide.Handshake(), EStep::NeedInput);
    EXPECT_TRUE(serverSide.HasOutgoing()) << "the rest of the hello lets the server answer";
}

// Drives one stream's handshake over a blocking socket until it is done or fails.
EStep HandshakeOverSocket(CTlsStream& stream, int fd)
{
    for (;;) {
        const EStep step = stream.Handshake();
        const std::string out = stream.TakeOutgoing();
        if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
            return EStep::Failed;
        if (step != EStep::NeedInput)
            return step;
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return EStep::Failed;
        stream.PutIncoming(std::string_view(buffer, static_cast<size_t>(got)));
    }
}

TEST_F(TlsStreamTest, HandshakeOverASocketPair)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EStep serverStep = EStep::Failed;
    std::thread serverThread([&] {
        CTlsStream serverSide(server, ERole::Server);
        serverStep = HandshakeOverSocket(serverSide, fds[1]);
        ::shutdown(fds[1], SHUT_WR);
    });
    CTlsStream clientSide(client, ERole::Client, "localhost");
    const EStep clientStep = HandshakeOverSocket(clientSide, fds[0]);
    serverThread.join();
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(clientStep, EStep::Done) << clientSide.FailureReason();
    EXPECT_EQ(serverStep, EStep::Done);
}

} // namespace
