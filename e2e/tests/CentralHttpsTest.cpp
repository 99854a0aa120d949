// The central server over HTTPS, end to end: `velmo-central` started with a certificate made by
// the openssl command, two gateways told `velmo config set Server https://...` and `velmo
// config set ServerFingerprint` with the fingerprint `openssl x509 -fingerprint` prints, and
// mail going both ways between them with curl. Then gateways that pin another certificate:
// their registration and their SMTP login fail saying the certificate was rejected, and the
// central server holds neither an account nor a message from them.

#include "e2e/PopClients.h"
#include "e2e/TwoGateways.h"
#include "server/CCentralMessageStore.h"
#include "server/CCentralStore.h"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

constexpr char kRejected[] = "certificate rejected";

// A well-formed fingerprint of no certificate here.
std::string OtherFingerprint()
{
    std::string pin = "5A";
    for (int i = 1; i < 32; ++i)
        pin += ":5A";
    return pin;
}

class CentralHttpsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const RunResult made = accountstest::RunProgram(
            "/usr/bin/openssl",
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", m_key,
             "-out", m_certificate, "-days", "30", "-subj", "/CN=central.example", "-addext",
             "subjectAltName=DNS:central.example"},
            m_tls.Path().string());
        ASSERT_EQ(made.code, 0) << made.out << made.err;
        const RunResult printed = accountstest::RunProgram(
            "/usr/bin/openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", m_certificate},
            m_tls.Path().string());
        ASSERT_EQ(printed.code, 0) << printed.out << printed.err;
        // "sha256 Fingerprint=AB:CD:..."
        const size_t equals = printed.out.find('=');
        ASSERT_NE(equals, std::string::npos) << printed.out;
        m_fingerprint = Trimmed(printed.out.substr(equals + 1));

        world = std::make_unique<TwoGateways>(
            CentralSetup{{"--tls-cert", m_certificate, "--tls-key", m_key}, "https://", m_fingerprint});
        ASSERT_TRUE(world->Ready()) << world->Output();
    }

    fs::path Written(const std::string& name, const std::string& text) const
    {
        const fs::path file = world->Root() / name;
        velmo_testing::WriteFileText(file, text);
        return file;
    }

    Transcript Send(const GatewayHome& gateway, const Person& from, const Person& to, const std::string& subject)
    {
        const std::string text =
            "From: " + from.email + "\r\nTo: " + to.email + "\r\nSubject: " + subject + "\r\n\r\nfrom " + from.login + "\r\n";
        return CurlSend(gateway, from, to.email, Written(from.login + ".eml", text), world->Root());
    }

    // curl reads message 1 of `user`'s mailbox once one has come.
    std::string FirstMessage(const GatewayHome& gateway, const Person& user)
    {
        const bool arrived = Eventually(
            [&] {
                const Transcript listed = CurlPop(gateway, user, "", world->Root());
                return listed.code == 0 && !TranscriptLines(listed.text).empty();
            },
            std::chrono::minutes(3));
        if (!arrived)
            return "";
        return CurlPop(gateway, user, "1", world->Root()).text;
    }

    velmo_testing::TempDir m_tls{"velmo-central-tls"};
    const std::string m_certificate = (m_tls.Path() / "central.crt").string();
    const std::string m_key = (m_tls.Path() / "central.key").string();
    std::string m_fingerprint;
    std::unique_ptr<TwoGateways> world;
};

TEST_F(CentralHttpsTest, TwoGatewaysExchangeMailThroughThePinnedServer)
{
    const Transcript annSent = Send(world->first, world->ann, world->bob, "Over HTTPS");
    ASSERT_EQ(annSent.code, 0) << annSent.text;
    EXPECT_FALSE(QueuedReply(annSent.text).empty()) << annSent.text;
    const Transcript bobSent = Send(world->second, world->bob, world->ann, "Back over HTTPS");
    ASSERT_EQ(bobSent.code, 0) << bobSent.text;

    const std::string bobReads = FirstMessage(world->second, world->bob);
    EXPECT_NE(bobReads.find("Subject: Over HTTPS\r\n"), std::string::npos) << bobReads << world->Output();
    EXPECT_NE(bobReads.find("from ann\r\n"), std::string::npos) << bobReads;
    const std::string annReads = FirstMessage(world->first, world->ann);
    EXPECT_NE(annReads.find("Subject: Back over HTTPS\r\n"), std::string::npos) << annReads << world->Output();
    EXPECT_NE(annReads.find("from bob\r\n"), std::string::npos) << annReads;
}

TEST_F(CentralHttpsTest, AGatewayPinningAnotherCertificateIsRefusedAndSendsNothing)
{
    // A new account cannot register.
    GatewayHome third(world->Root(), "home3");
    ASSERT_TRUE(third.Configure(world->CentralServer(), OtherFingerprint()));
    ASSERT_TRUE(third.Ok({"account", "new", "--login", "carol", "--password", "carol-pw", "--name", "Carol", "--email",
                          "carol@example.org"}));
    const RunResult registered = third.Velmo({"account", "register"});
    EXPECT_NE(registered.code, 0) << registered.out << registered.err;
    EXPECT_NE((registered.out + registered.err).find(kRejected), std::string::npos) << registered.out << registered.err;

    // A registered account's gateway, told to pin another certificate, refuses to log in.
    world->first.Stop();
    ASSERT_TRUE(world->first.Ok({"config", "set", "ServerFingerprint", OtherFingerprint()}));
    ASSERT_TRUE(world->first.Start());
    const Transcript sent = Send(world->first, world->ann, world->bob, "Never sent");
    EXPECT_NE(sent.code, 0) << sent.text;
    EXPECT_TRUE(QueuedReply(sent.text).empty()) << sent.text;
    EXPECT_TRUE(Eventually([&] { return world->first.Output().find(kRejected) != std::string::npos; }))
        << world->first.Output();

    CCentralStore store(world->CentralDb().string());
    EXPECT_FALSE(store.FindAccountByEmail(CZelString("carol@example.org")));
    CCentralStore::Hold hold(store);
    CCentralMessageStore messages(store);
    EXPECT_TRUE(messages.WaitingFor(std::stoll(world->bob.id)).empty());
}

} // namespace
