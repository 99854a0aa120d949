// The local servers under TLS, end to end: two gateways and one central server set up as the
// README's walkthrough does, mail sent through STARTTLS by curl, swaks, Python's smtplib and
// `openssl s_client`, and read through STLS by curl, poplib and `openssl s_client`, each
// trusting only the gateway's own certificate. Then the clients that break the handshake
// (garbage, a half handshake) end only their own session, and a gateway that listens on every
// address takes no password in the clear from another machine.

#include "e2e/PopClients.h"
#include "e2e/RawClient.h"
#include "e2e/TwoGateways.h"

#include <gtest/gtest.h>

#include <ifaddrs.h>

#include <random>

namespace {

using namespace e2e;

const std::string kTlsClients = kSourceDir + "/e2e/tls_clients.py";
constexpr char kCertificateFile[] = "local-tls.crt";
constexpr char kHandshakeFailed[] = "TLS handshake failed: ";

// A local IPv4 address outside 127.0.0.0/8 (host byte order), or 0 when the machine has none.
uint32_t NonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    uint32_t found = 0;
    for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        if ((address >> 24) != 127)
            found = address;
    }
    freeifaddrs(list);
    return found;
}

std::string DottedQuad(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class LocalTlsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.Ready()) << world.Output(); }

    static std::string Certificate(const GatewayHome& gateway) { return (gateway.Home() / kCertificateFile).string(); }

    Transcript Run(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& environment = {}) const
    {
        std::vector<std::string> all = environment;
        all.push_back(program);
        all.insert(all.end(), args.begin(), args.end());
        return Ran(accountstest::RunProgram("/usr/bin/env", all, world.Root().string()));
    }

    // Ann's message to Bob, sent through the first gateway by `client` under STARTTLS.
    Transcript Send(const std::string& client, const std::string& subject)
    {
        const fs::path file = world.Root() / (subject + ".eml");
        velmo_testing::WriteFileText(file, "From: ann@example.org\r\nTo: bob@example.org\r\nSubject: " + subject +
                                               "\r\n\r\nsent with " + client + "\r\n.a line with a dot\r\n");
        const std::string port = std::to_string(world.first.SmtpPort());
        const std::string ca = Certificate(world.first);
        const Person& ann = world.ann;
        if (client == "curl")
            return Run("curl", {"-sS", "-v", "--max-time", "120", "--ssl-reqd", "--cacert", ca,
                                "smtp://127.0.0.1:" + port, "--mail-from", ann.email, "--mail-rcpt", world.bob.email,
                                "--user", ann.login + ":" + ann.password, "--upload-file", file.string()});
        if (client == "swaks")
            return Run("swaks", {"-tls", "--tls-verify", "--tls-ca-path", ca, "--server", "127.0.0.1", "--port", port,
                                 "--auth", "PLAIN", "--auth-user", ann.login, "--auth-password", ann.password, "--from",
                                 ann.email, "--to", world.bob.email, "--data", file.string(), "--timeout", "120"});
        return Run("python3", {kTlsClients, client, port, ca, ann.login, ann.password, ann.email, world.bob.email,
                               file.string()});
    }

    // Bob's mailbox at the second gateway as `client` reads it under STLS: every message text.
    Transcript Read(const std::string& client, size_t count)
    {
        const std::string port = std::to_string(world.second.Pop3Port());
        const std::string ca = Certificate(world.second);
        const Person& bob = world.bob;
        if (client != "curl")
            return Run("python3", {kTlsClients, client, port, ca, bob.login, bob.password});
        Transcript all{0, ""};
        for (size_t number = 0; number <= count; ++number) {
            const Transcript one = CurlPop(number == 0 ? "" : std::to_string(number));
            all.code |= one.code;
            all.text += one.text;
        }
        return all;
    }

    Transcript CurlPop(const std::string& path) const
    {
        return Run("curl", {"-sS", "--max-time", "120", "--ssl-reqd", "--cacert", Certificate(world.second),
                            "pop3://127.0.0.1:" + std::to_string(world.second.Pop3Port()) + "/" + path, "-u",
                            world.bob.login + ":" + world.bob.password});
    }

    bool BobHolds(size_t count)
    {
        return Eventually(
            [&] {
                const Transcript listed = CurlPop("");
                return listed.code == 0 && TranscriptLines(listed.text).size() >= count;
            },
            std::chrono::minutes(3));
    }

    // What the gateway's logs say, and how often, once they have said it at least `count` times.
    static bool LogSays(const GatewayHome& gateway, const std::string& text, size_t count)
    {
        return Eventually([&] { return Occurrences(gateway.Output(), text) >= count; }, std::chrono::seconds(60));
    }

    TwoGateways world;
};

TEST_F(LocalTlsTest, EveryClientSendsAndReadsUnderTlsTrustingOnlyTheGatewaysCertificate)
{
    const std::vector<std::string> senders = {"curl", "swaks", "smtplib", "s_client-smtp"};
    for (const std::string& sender : senders) {
        const Transcript sent = Send(sender, "tls-" + sender);
        EXPECT_EQ(sent.code, 0) << sender << ":\n" << sent.text << world.Output();
        EXPECT_FALSE(QueuedReply(sent.text).empty()) << sender << ":\n" << sent.text;
    }
    ASSERT_TRUE(BobHolds(senders.size())) << world.Output();

    for (const std::string& reader : {"curl", "poplib", "s_client-pop3"}) {
        const Transcript read = Read(reader, senders.size());
        EXPECT_EQ(read.code, 0) << reader << ":\n" << read.text;
        for (const std::string& sender : senders) {
            EXPECT_NE(read.text.find("Subject: tls-" + sender + "\r\n"), std::string::npos) << reader << ":\n" << read.text;
            EXPECT_NE(read.text.find("sent with " + sender + "\r\n.a line with a dot"), std::string::npos)
                << reader << ":\n" << read.text;
        }
    }
    // Every session above was protected: the logs name the protocol of each.
    EXPECT_GE(Occurrences(world.first.Output(), "TLS started: TLSv1."), senders.size()) << world.Output();
    EXPECT_EQ(Occurrences(world.Output(), kHandshakeFailed), 0u) << world.Output();
}

TEST_F(LocalTlsTest, TheFingerprintCommandNamesTheCertificateTheServersPresent)
{
    const RunResult printed = world.first.Velmo({"tls", "fingerprint"});
    ASSERT_EQ(printed.code, 0) << printed.err;
    const Transcript openssl =
        Run("openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", Certificate(world.first)});
    ASSERT_EQ(openssl.code, 0) << openssl.text;
    const std::string expected = openssl.text.substr(openssl.text.find('=') + 1);
    EXPECT_EQ(Trimmed(printed.out), Trimmed(expected));
    // Each home has a pair of its own.
    EXPECT_NE(Trimmed(world.second.Velmo({"tls", "fingerprint"}).out), Trimmed(printed.out));
}

// Garbage instead of a handshake, and a handshake that stops half-way, each after the server
// said to start one: the session ends within the handshake's time limit, the next client is
// served, and the log says why.
TEST_F(LocalTlsTest, ABrokenHandshakeEndsOnlyItsOwnSession)
{
    std::mt19937 random(11);
    std::string garbage(4096, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    // A TLS record header announcing a ClientHello, then a few bytes of it and silence.
    const std::string halfHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);

    for (const std::string& opening : {garbage, halfHello}) {
        RawClient smtp(world.first.SmtpPort());
        ASSERT_TRUE(smtp.ReadUntil("ESMTP"));
        ASSERT_TRUE(smtp.Send("EHLO raw\r\n") && smtp.ReadUntil("250 DSN\r\n"));
        ASSERT_TRUE(smtp.Send("STARTTLS\r\n") && smtp.ReadUntil("220 Ready to start TLS\r\n"));
        smtp.Send(opening);

        RawClient pop3(world.second.Pop3Port());
        ASSERT_TRUE(pop3.ReadUntil("+OK"));
        ASSERT_TRUE(pop3.Send("STLS\r\n") && pop3.ReadUntil("+OK Begin TLS negotiation\r\n"));
        pop3.Send(opening);

        // The SMTP server serves one client at a time: this one waits for the broken session
        // to end.
        const Transcript sent = Send("curl", "after a broken handshake");
        EXPECT_EQ(sent.code, 0) << sent.text << world.Output();
        EXPECT_EQ(CurlPop("").code, 0) << world.Output();
    }
    EXPECT_TRUE(LogSays(world.first, kHandshakeFailed, 2)) << world.Output();
    EXPECT_TRUE(LogSays(world.second, kHandshakeFailed, 2)) << world.Output();
}

// Started with --listen-any, the gateway refuses a login in the clear from another address
// before looking at it, and takes it under TLS; from the loopback address nothing changes.
TEST_F(LocalTlsTest, WithListenAnyARemoteClientLogsInOnlyUnderTls)
{
    const uint32_t address = NonLoopbackAddress();
    if (address == 0)
        GTEST_SKIP() << "this machine has no address outside 127.0.0.0/8";
    // Fresh ports for the restart: the old ones, once free, may go to any other test meanwhile.
    world.first.Stop();
    ASSERT_TRUE(world.first.Configure(world.CentralPort()));
    ASSERT_TRUE(world.first.Start({"--listen-any"})) << world.Output();

    RawClient smtp(world.first.SmtpPort(), address);
    ASSERT_TRUE(smtp.Connected());
    ASSERT_TRUE(smtp.ReadUntil("ESMTP"));
    ASSERT_TRUE(smtp.Send("EHLO remote\r\n") && smtp.ReadUntil("250 DSN\r\n"));
    ASSERT_TRUE(smtp.Send("AUTH PLAIN " + Base64Of(std::string("\0ann\0ann-pw", 11)) + "\r\n"));
    EXPECT_TRUE(smtp.ReadUntil("530 5.7.0 Must issue a STARTTLS command first\r\n")) << smtp.Received();
    smtp.Send("QUIT\r\n");
    smtp.Close();

    RawClient pop3(world.first.Pop3Port(), address);
    ASSERT_TRUE(pop3.ReadUntil("+OK"));
    ASSERT_TRUE(pop3.Send("USER ann\r\n"));
    EXPECT_TRUE(pop3.ReadUntil("-ERR TLS required\r\n")) << pop3.Received();
    ASSERT_TRUE(pop3.Send("PASS ann-pw\r\n"));
    EXPECT_TRUE(pop3.ReadUntil("-ERR TLS required\r\n-ERR TLS required\r\n")) << pop3.Received();
    pop3.Close();
    // Neither login went further than the refusal.
    EXPECT_EQ(world.first.Output().find("Login decode: ann"), std::string::npos) << world.Output();

    // The same account over the same address, under TLS.
    const std::vector<std::string> remote = {"VELMO_TLS_CONNECT=" + DottedQuad(address)};
    const fs::path file = world.Root() / "remote.eml";
    velmo_testing::WriteFileText(file, "Subject: from afar\r\n\r\nover TLS\r\n");
    const std::string ca = Certificate(world.first);
    const Transcript sent =
        Run("python3", {kTlsClients, "smtplib", std::to_string(world.first.SmtpPort()), ca, world.ann.login,
                        world.ann.password, world.ann.email, world.bob.email, file.string()},
            remote);
    EXPECT_EQ(sent.code, 0) << sent.text << world.Output();
    const Transcript read = Run(
        "python3", {kTlsClients, "poplib", std::to_string(world.first.Pop3Port()), ca, world.ann.login, world.ann.password},
        remote);
    EXPECT_EQ(read.code, 0) << read.text << world.Output();
    EXPECT_NE(read.text.find("count 0"), std::string::npos) << read.text;
}

} // namespace
