// The HTTP client over TLS against a one-connection HTTPS peer on 127.0.0.1 that presents a
// self-signed certificate: a pinned fingerprint lets the request through, a wrong or missing
// one stops the client before a single byte of the request leaves it.

#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelHttpClient.h"
#include "testing/SocketsEnvironment.h"
#include "testing/TlsTestPair.h"
#include "tls/CTlsCertificate.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

namespace {

constexpr char kPath[] = "/cgi-bin/velmo.cgi";

// Accepts one connection, runs the server side of the handshake and, when it succeeds, reads
// one request and answers it with `answer`.
class HttpsPeer {
public:
    HttpsPeer(const CTlsContext& context, std::string answer)
    {
        m_listener.Listen(0x7F000001u, 0);
        m_port = m_listener.LocalPort();
        m_thread = std::thread([this, &context, answer = std::move(answer)] { Serve(context, answer); });
    }
    ~HttpsPeer()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    int Port() const { return m_port; }
    // What the peer saw: the request (empty when none came) and whether the handshake held.
    struct Seen {
        bool handshake = false;
        std::string request;
    };
    Seen Wait()
    {
        m_thread.join();
        return m_seen;
    }

private:
    void Serve(const CTlsContext& context, const std::string& answer)
    {
        const int handle = m_listener.Accept(10000);
        if (handle < 0)
            return;
        CZelTcpFile connection(handle, EErrorMode::ReturnCodes);
        m_seen.handshake = connection.StartTlsServer(context, 10000);
        if (!m_seen.handshake)
            return;
        char buffer[4096];
        const int got = connection.ReadUntil(buffer, sizeof buffer, 10000, CZelString("\r\n\r\n"));
        if (got <= 0)
            return;
        m_seen.request.assign(buffer, static_cast<size_t>(got));
        const size_t length = m_seen.request.find("Content-Length: ");
        const int body = length == std::string::npos ? 0 : std::stoi(m_seen.request.substr(length + 16));
        if (body > 0 && connection.Read(buffer, body, 10000) == body)
            m_seen.request.append(buffer, static_cast<size_t>(body));
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" + answer;
        connection.Write(reply.data(), static_cast<int>(reply.size()), 10000);
        connection.ReadUntil(buffer, 1, 10000, CZelString("\n"));   // until the client closes
    }

    CZelTcpFile m_listener{EErrorMode::ReturnCodes};
    int m_port = 0;
    Seen m_seen;
    std::thread m_thread;
};

class HttpsClientTest : public ::testing::Test {
protected:
    CZelServerAddress Address(const std::string& fingerprint) const
    {
        return {CZelString("https://127.0.0.1:" + std::to_string(m_peer.Port())), kPath, CZelString(fingerprint)};
    }
    // The post's answer, or the text of the error it threw.
    std::string Post(const std::string& fingerprint)
    {
        CZelTcpFile connection(true);
        try {
            const CZelString answer = HttpPost("hello", Address(fingerprint), connection, kHttpWriteTimeoutMs);
            connection.Close();
            return "answer: " + answer.ToStd();
        } catch (const XTOOSockErr& error) {
            return error.GetText().ToStd();
        }
    }

    tls_testing::SavedPair m_pair{"central.example"};
    CTlsContext m_server = CTlsContext::Server(m_pair.certificateFile, m_pair.keyFile);
    HttpsPeer m_peer{m_server, "sealed answer"};
    const std::string m_fingerprint = CTlsCertificate::FileFingerprint(m_pair.certificateFile);
};

TEST_F(HttpsClientTest, APinnedFingerprintCarriesTheRequestWithTheSchemeLeftOutOfTheHost)
{
    EXPECT_EQ(Post(m_fingerprint), "answer: sealed answer");
    const HttpsPeer::Seen seen = m_peer.Wait();
    EXPECT_TRUE(seen.handshake);
    EXPECT_EQ(seen.request, "POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_peer.Port()) +
                                "\r\nContent-Type: application/octet-stream\r\nContent-Length: 5\r\n"
                                "Connection: keep-alive\r\n\r\nhello");
}

TEST_F(HttpsClientTest, APinWrittenInLowerCaseWithoutColonsIsTheSamePin)
{
    std::string plain;
    for (const char c : m_fingerprint)
        if (c != ':')
            plain += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(Post(plain), "answer: sealed answer");
}

struct Refusal {
    const char* name;
    std::string pin;        // "" trusts the system's authorities
    const char* because;    // part of the error text
};

void PrintTo(const Refusal& refusal, std::ostream* out)
{
    *out << refusal.name;
}

// A well-formed fingerprint of no certificate here.
std::string OtherPin()
{
    std::string pin = "5A";
    for (int i = 1; i < 32; ++i)
        pin += ":5A";
    return pin;
}

class HttpsRefusalTest : public HttpsClientTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(HttpsRefusalTest, NothingOfTheRequestLeavesTheClient)
{
    const std::string error = Post(GetParam().pin);
    const std::string stage = "fhttp.Open(https://127.0.0.1:" + std::to_string(m_peer.Port()) + "): ";
    EXPECT_EQ(error.rfind(stage, 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().because), std::string::npos) << error;
    EXPECT_EQ(m_peer.Wait().request, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpsRefusalTest,
    ::testing::Values(
        Refusal{"AnotherCertificatesPin", OtherPin(), "certificate rejected"},
        Refusal{"NoPinAndNoAuthorityVouchesForIt", "", "self-signed certificate"},
        Refusal{"APinThatIsNoFingerprint", "not-a-fingerprint", "is not a SHA-256 fingerprint"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

} // namespace
