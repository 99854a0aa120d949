// neomutt, a client of the mutt family, set up as the README tells a user, against two
// gateways and one central server: ann sends in batch mode (`neomutt -s SUBJECT -- TO < BODY`)
// through the first gateway, AUTH PLAIN under STARTTLS; bob reads his mailbox at the second
// gateway as neomutt's POP3 folder under STLS, full-screen in a private tmux server, and pipes
// every message, decoded, to a file. Both trust the gateway's certificate from their
// certificate file, without a prompt. Bob reads each message as it was written - subject and
// body, 8-bit UTF-8, lines that are or begin with dots, long lines - whether neomutt sent it
// in 8 bits (lines of up to 989 bytes), quoted-printable (its choice for 990-byte lines) or
// msmtp sent it raw in 8 bits with 990-byte lines.

#include "e2e/TerminalMailClients.h"

#include <gtest/gtest.h>

#include <map>

namespace e2e {
namespace {

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class NeomuttTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.Ready()) << world.Output(); }

    struct Sent {
        std::string subject;
        std::string body;
    };


    // The messages of bob's mailbox as the gateway serves them (curl), by body.
    std::map<std::string, MessageParts> ServedByBody(size_t count)
    {
        std::map<std::string, MessageParts> served;
        for (size_t number = 1; number <= count; ++number) {
            const Transcript read = CurlPop(world.second, world.bob, std::to_string(number), world.Root());
            EXPECT_EQ(read.code, 0) << read.text;
            MessageParts parts = SplitMessage(read.text);
            served[parts.body] = std::move(parts);
        }
        return served;
    }

    // A script for neomutt's pipe that writes each message it is given to the next numbered
    // file of `folder`.
    static fs::path SavingScript(const fs::path& folder)
    {
        fs::create_directories(folder);
        const fs::path script = folder.parent_path() / "save.sh";
        velmo_testing::WriteFileText(script, "#!/bin/sh\nn=$(ls " + Quoted(folder) + " | wc -l)\nexec cat > " +
                                                 Quoted(folder) + "/$n.eml\n");
        chmod(script.c_str(), 0700);
        return script;
    }

    static std::vector<std::string> SavedTexts(const fs::path& folder)
    {
        std::vector<std::string> texts;
        for (int n = 0; fs::exists(folder / (std::to_string(n) + ".eml")); ++n)
            texts.push_back(ReadFileText(folder / (std::to_string(n) + ".eml")));
        return texts;
    }

    // Bob's neomutt opens his POP3 folder full-screen in a tmux window, tags every message and
    // pipes each, decoded, to a file; then quits. What it piped, by subject.
    std::map<std::string, MessageParts> ReadWithNeomutt(size_t count)
    {
        std::map<std::string, MessageParts> read;
        const Neomutt bobMutt(world.Root() / "bob-neomutt", world.second, world.bob);
        const fs::path saved = bobMutt.Folder() / "saved";
        const fs::path save = SavingScript(saved);
        TmuxWindow window(world.Root() / "tmux", bobMutt.ReaderCommand());
        EXPECT_TRUE(window.Started());
        const std::string opened = "Msgs:" + std::to_string(count);
        window.Shows({opened, "Unable to open"});
        if (window.Screen().find(opened) == std::string::npos) {
            ADD_FAILURE() << "neomutt does not show the mailbox\n"
                          << window.Screen() << ReadFileText(bobMutt.Log()) << world.second.Output();
            return read;
        }
        window.Keys("T");
        EXPECT_TRUE(window.Shows("Tag messages matching:")) << window.Screen();
        window.Keys("~A", true);
        window.Keys("Enter");
        window.Keys(";|", true);
        EXPECT_TRUE(window.Shows("Pipe to command:")) << window.Screen();
        window.Keys(save.string(), true);
        window.Keys("Enter");
        EXPECT_TRUE(Eventually([&] { return SavedTexts(saved).size() >= count; }, std::chrono::seconds(90)))
            << window.Screen() << world.second.Output();
        window.Keys("q");
        EXPECT_TRUE(window.Ended()) << window.Screen() << ReadFileText(bobMutt.Log());
        EXPECT_EQ(window.ExitStatus(), "0") << window.Screen();
        for (const std::string& text : SavedTexts(saved)) {
            MessageParts parts = SplitMessage(text);
            read[FieldOf(parts.header, "Subject")] = std::move(parts);
        }
        return read;
    }

    // Every message read once, with its subject and its body as written.
    static void ExpectRead(const std::map<std::string, MessageParts>& read, const std::vector<Sent>& sent)
    {
        EXPECT_EQ(read.size(), sent.size());
        for (const Sent& message : sent) {
            const auto found = read.find(message.subject);
            ASSERT_NE(found, read.end()) << message.subject << " not read";
            EXPECT_EQ(found->second.body, message.body) << message.subject;
        }
    }

    TwoGateways world;
};

// msmtp hands on the 8-bit body as it stands, 990-byte lines and all; neomutt reads it
// under STLS.
TEST_F(NeomuttTest, ReadsItsPopFolderUnderStls)
{
    const std::vector<Sent> sent = {{"msmtp 8bit", DemandingBody(990)}, {"msmtp again", "Hi!\n" + DemandingBody(990)}};
    const Msmtp msmtp(world.Root() / "ann-msmtp", world.first, world.ann, MsmtpSecurity::Starttls);
    for (const Sent& message : sent) {
        const Transcript run = msmtp.Send(EightBitMessage(world.ann, world.bob, message.subject, message.body),
                                          world.bob.email);
        ASSERT_EQ(run.code, 0) << run.text << world.Output();
    }
    ASSERT_TRUE(MailboxHolds(world, world.second, world.bob, sent.size())) << world.Output();

    ExpectRead(ReadWithNeomutt(sent.size()), sent);
    EXPECT_GE(Occurrences(world.second.Output(), "TLS started: TLSv1."), 1u) << world.second.Output();
    EXPECT_TRUE(NoPasswordLogged(world));
}

// neomutt sends in batch mode under STARTTLS: a body whose lines fit in 989 bytes in 8 bits,
// one with 990-byte lines quoted-printable (its own rule). The first is served byte for byte;
// neomutt reads both as they were written, the subject in UTF-8 included.
TEST_F(NeomuttTest, SendsInBatchModeUnderStarttlsAndReadsWhatItSent)
{
    const Neomutt annMutt(world.Root() / "ann-neomutt", world.first, world.ann);
    const std::vector<Sent> sent = {{"Проверка 8bit", DemandingBody(989)},
                                    {"Проверка long lines", DemandingBody(990)}};
    for (const Sent& message : sent) {
        const Transcript run = annMutt.Send(message.subject, message.body, world.bob.email);
        ASSERT_EQ(run.code, 0) << run.text << world.first.Output();
    }
    EXPECT_TRUE(NoPasswordLogged(world));
    EXPECT_GE(Occurrences(world.first.Output(), "TLS started: TLSv1."), sent.size()) << world.first.Output();
    ASSERT_TRUE(MailboxHolds(world, world.second, world.bob, sent.size())) << world.Output();

    const auto served = ServedByBody(sent.size());
    const auto eightBit = served.find(sent[0].body);
    ASSERT_NE(eightBit, served.end()) << "the 8-bit body is not served byte for byte";
    EXPECT_EQ(FieldOf(eightBit->second.header, "Content-Transfer-Encoding"), "8bit") << eightBit->second.header;

    ExpectRead(ReadWithNeomutt(sent.size()), sent);
    EXPECT_TRUE(NoPasswordLogged(world));
}

} // namespace
} // namespace e2e
