// TLS sessions run over memory buffers: the handshake with the gateway's own certificate, the
// versions it accepts, data both ways, and what garbage or a stalled peer does to it.

#include "testing/TlsTestPair.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
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

// A TLS 1.2 client of plain OpenSSL on memory, so that the test can ask for what no client of
// ours ever does: a renegotiation.
class RenegotiatingClient {
public:
    RenegotiatingClient(const CTlsContext& context, CTlsStream& server)
        : m_ssl(SSL_new(context.Handle())), m_in(BIO_new(BIO_s_mem())), m_out(BIO_new(BIO_s_mem())), m_server(server)
    {
        // An empty input means "more to come", not the end of the stream.
        BIO_set_mem_eof_return(m_in, -1);
        SSL_set_bio(m_ssl, m_in, m_out);
        SSL_set_connect_state(m_ssl);
    }
    ~RenegotiatingClient() { SSL_free(m_ssl); }
    RenegotiatingClient(const RenegotiatingClient&) = delete;
    RenegotiatingClient& operator=(const RenegotiatingClient&) = delete;

    SSL* Ssl() const { return m_ssl; }
    // OpenSSL's reason code for the client's last failed step.
    int LastReason() const { return m_lastReason; }

    // One client step, its bytes to the server, one server read, the server's bytes back.
    // Returns the client step's SSL_get_error (SSL_ERROR_NONE when it succeeded), taken before
    // new input clears the retry state it reads.
    int Step(const std::function<int()>& clientStep, std::string& serverPlain, EStep& serverStep)
    {
        const int result = clientStep();
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, result);
        // The server's own steps run on this thread and empty its error queue.
        m_lastReason = ERR_GET_REASON(ERR_peek_last_error());
        ERR_clear_error();
        char buffer[16384];
        std::string bytes;
        for (int got; (got = BIO_read(m_out, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<size_t>(got));
        m_server.PutIncoming(bytes);
        serverStep = m_server.IsEstablished() ? m_server.Read(serverPlain) : m_server.Handshake();
        const std::string back = m_server.TakeOutgoing();
        BIO_write(m_in, back.data(), static_cast<int>(back.size()));
        return error;
    }

private:
    SSL* m_ssl;
    BIO* m_in;    // owned by m_ssl
    BIO* m_out;   // owned by m_ssl
    CTlsStream& m_server;
    int m_lastReason = 0;
};

TEST_F(TlsStreamTest, ARenegotiationAskedByTheClientIsRefused)
{
    const CTlsContext tls12 = ClientOfVersion(TLS1_2_VERSION, pair.certificateFile);
    CTlsStream serverSide(server, ERole::Server);
    RenegotiatingClient client(tls12, serverSide);
    std::string plain;
    EStep serverStep = EStep::NeedInput;
    for (int round = 0; round < 10 && !SSL_is_init_finished(client.Ssl()); ++round)
        client.Step([&] { return SSL_do_handshake(client.Ssl()); }, plain, serverStep);
    ASSERT_TRUE(SSL_is_init_finished(client.Ssl()));
    ASSERT_EQ(serverSide.Protocol(), "TLSv1.2");

    ASSERT_EQ(SSL_renegotiate(client.Ssl()), 1);
    int error = SSL_ERROR_WANT_READ;
    for (int round = 0; round < 10 && error == SSL_ERROR_WANT_READ; ++round) {
        error = client.Step([&] { return SSL_do_handshake(client.Ssl()); }, plain, serverStep);
    }
    // The server answers the new hello with its refusal, which ends the client's attempt; no
    // second handshake ever runs, and nothing passes for data.
    EXPECT_EQ(error, SSL_ERROR_SSL);
    EXPECT_EQ(client.LastReason(), SSL_R_NO_RENEGOTIATION);
    EXPECT_TRUE(plain.empty());
}

} // namespace
