// Load through one central server: five accounts, each on the others' contact lists, each
// sending 20 messages (from 1 KB to 5 MB) to the other four at the same time as the rest.
// Every message is uploaded, downloaded and served by POP3 exactly once with its text intact,
// and both histories are complete: one `Sent` entry per message at the sender's, one
// `Received` entry at the recipient's.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <regex>
#include <thread>

namespace e2e {
namespace {

constexpr int kMessagesEach = 20;

// The body size of a sender's j-th message: 1 KB doubling every second message up to about
// 360 KB, then 1 MB and 5 MB.
size_t BodyBytes(int j)
{
    if (j == kMessagesEach - 1)
        return 5 * 1024 * 1024;
    if (j == kMessagesEach - 2)
        return 1024 * 1024;
    size_t bytes = 1024;
    for (int step = 0; step < j / 2; ++step)
        bytes *= 2;
    return j % 2 ? bytes * 3 / 2 : bytes;
}

// The value of a header field of a received text ("" when missing).
std::string HeaderField(const std::string& text, const std::string& name)
{
    const std::regex field("(^|\r\n)" + name + ": ([^\r\n]*)");
    std::smatch match;
    const std::string header = text.substr(0, text.find("\r\n\r\n"));
    return std::regex_search(header, match, field) ? match[2].str() : "";
}

// smtplib sends `file` from `sender` to `to`; `scratch` holds the run's output files, one
// folder per thread (the runner's output files are named by the folder alone).
ClientRun SendFrom(const MailWorld& world, const MailUser& sender, const MailUser& to, const fs::path& file,
                   const fs::path& scratch)
{
    const RunResult run = accountstest::RunProgram(
        "/usr/bin/env",
        {"python3", kPythonClient, std::to_string(world.SmtpPort()), sender.login, kPassword, file.string(), to.email},
        scratch.string());
    return {run.code, run.out + run.err};
}

struct Letter {
    const MailUser* from;
    const MailUser* to;
    std::string text;
};

class LoadBigTest : public ::testing::Test {
protected:
    // dave and erin join ann, bob and carol; everyone lists everyone.
    void SetUp() override
    {
        ASSERT_TRUE(world.Ready());
        dave = world.AddUser("dave");
        erin = world.AddUser("erin");
        ASSERT_GT(dave.id, 0);
        ASSERT_GT(erin.id, 0);
        users = {&world.ann, &world.bob, &world.carol, &dave, &erin};
        for (const MailUser* owner : users)
            for (const MailUser* listed : users) {
                const bool listedAlready = (owner == &world.ann && listed == &world.bob) ||
                                           (owner == &world.bob && listed == &world.ann);
                if (owner != listed && !listedAlready) {
                    ASSERT_TRUE(world.AddContact(*owner, *listed));
                }
            }
        ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    }

    // Each sender's letters, the j-th to the other users in turn.
    void WriteLetters()
    {
        for (size_t s = 0; s < users.size(); ++s)
            for (int j = 0; j < kMessagesEach; ++j) {
                const MailUser* to = users[(s + 1 + j % (users.size() - 1)) % users.size()];
                const std::string subject = "load " + users[s]->login + " " + std::to_string(j);
                letters[subject] = Letter{users[s], to, MessageText(subject, j % 3 == 0, BodyBytes(j))};
            }
    }

    // One thread per sender, each sending its letters one after another through the world's
    // SMTP server; true when every one was queued. (No test assertion inside the threads.)
    bool SendAll()
    {
        std::mutex guard;
        std::vector<std::string> failures;
        std::vector<std::thread> senders;
        for (const MailUser* sender : users)
            senders.emplace_back([&, sender] {
                const fs::path scratch = world.Root() / ("outgoing-" + sender->login);
                fs::create_directory(scratch);
                int n = 0;
                for (const auto& [subject, letter] : letters) {
                    if (letter.from != sender)
                        continue;
                    const fs::path file = scratch / (std::to_string(n++) + ".eml");
                    velmo_testing::WriteFileText(file, letter.text);
                    const ClientRun run = SendFrom(world, *sender, *letter.to, file, scratch);
                    if (QueuedReply(run.transcript).empty()) {
                        std::lock_guard<std::mutex> hold(guard);
                        failures.push_back(subject + ":\n" + run.transcript);
                    }
                }
            });
        for (std::thread& sender : senders)
            sender.join();
        for (const std::string& failure : failures)
            ADD_FAILURE() << failure;
        return failures.empty();
    }

    size_t SentEverywhere() const
    {
        size_t sent = 0;
        for (const MailUser* user : users)
            sent += world.SentEntries(*user).size();
        return sent;
    }
    bool OutboxesEmpty() const
    {
        for (const MailUser* user : users)
            if (!world.QueuedFiles(*user).empty())
                return false;
        return true;
    }
    size_t LettersTo(const MailUser& user) const
    {
        size_t count = 0;
        for (const auto& [subject, letter] : letters)
            count += letter.to == &user;
        return count;
    }

    // Every message of the user's mailbox, retrieved with poplib, checked against the letter
    // its subject names; `seen` counts the subjects.
    void CheckMailbox(const MailUser& user, std::map<std::string, int>& seen)
    {
        const size_t expected = LettersTo(user);
        std::vector<std::string> steps = {"stat"};
        const fs::path folder = world.Root() / ("received-" + user.login);
        fs::create_directory(folder);
        for (size_t n = 1; n <= expected; ++n)
            steps.push_back("retr:" + std::to_string(n) + ":" + (folder / (std::to_string(n) + ".eml")).string());
        steps.push_back("quit");
        const ClientRun run = Poplib(world, user, steps);
        ASSERT_EQ(LinesStarting(run.transcript, "stat " + std::to_string(expected) + " ").size(), 1u)
            << user.login << "\n" << run.transcript;
        for (size_t n = 1; n <= expected; ++n) {
            const std::string got = ReadFileText(folder / (std::to_string(n) + ".eml"));
            const std::string subject = HeaderField(got, "Subject");
            const auto letter = letters.find(subject);
            ASSERT_NE(letter, letters.end()) << user.login << " message " << n << ": unknown subject '" << subject << "'";
            ++seen[subject];
            const Letter& sent = letter->second;
            EXPECT_EQ(sent.to, &user) << subject << " reached " << user.login;
            const std::string id = HeaderField(got, "Velmo-Message-ID");
            EXPECT_TRUE(Trimmed(got) == Trimmed(AsReceived(sent.text, *sent.from, id))) << subject << " differs";
            EXPECT_EQ(world.SentEntryCount(*sent.from, id), 1) << subject;
            EXPECT_EQ(world.SentEntries(*sent.from)[id], user.email) << subject;
            EXPECT_EQ(world.HistoryAttr(user, "Received", id, kAttrMessageId), id) << subject;
        }
    }

    MailWorld world{1024};
    MailUser dave, erin;
    std::vector<const MailUser*> users;
    std::map<std::string, Letter> letters;   // by subject
};

TEST_F(LoadBigTest, HundredMessagesFromFiveAccountsAreEachDeliveredOnce)
{
    WriteLetters();
    ASSERT_EQ(letters.size(), users.size() * kMessagesEach);
    ASSERT_TRUE(SendAll()) << world.GatewayOutput();
    ASSERT_TRUE(Eventually([&] { return OutboxesEmpty() && SentEverywhere() == letters.size(); },
                           std::chrono::minutes(10)))
        << SentEverywhere() << " sent\n"
        << world.GatewayOutput();
    for (const MailUser* user : users)
        EXPECT_EQ(world.SentEntries(*user).size(), static_cast<size_t>(kMessagesEach)) << user->login;

    // Every login queues its mail; one download thread fetches for all of them.
    for (const MailUser* user : users) {
        const ClientRun login = Poplib(world, *user, {"quit"});
        ASSERT_TRUE(HasLine(login.transcript, "pass +OK mailbox locked and ready")) << login.transcript;
    }
    for (const MailUser* user : users)
        ASSERT_TRUE(Eventually(
            [&] { return world.StoredMessages(*user).size() >= LettersTo(*user) && world.DownloadFiles(*user).empty(); },
            std::chrono::minutes(10)))
            << user->login << ": " << world.StoredMessages(*user).size() << " stored\n"
            << world.GatewayOutput();

    std::map<std::string, int> seen;
    for (const MailUser* user : users)
        ASSERT_NO_FATAL_FAILURE(CheckMailbox(*user, seen));
    for (const auto& [subject, letter] : letters)
        EXPECT_EQ(seen[subject], 1) << subject;
}

} // namespace
} // namespace e2e
