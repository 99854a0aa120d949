// The update writer and the update merge on real account files.

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "core/CAccountChangeFlags.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using TestHome = velmo_testing::TempHomeTest;
using namespace AccountAttr;

using Lists = std::pair<std::vector<std::string>, std::vector<std::string>>;  // contact, black

CZelXmlElement UserEntry(const std::string& list, const std::string& email)
{
    CZelXmlElement user(kUser);
    user.SetAttr(kId, "9");
    user.SetAttr(kList, CZelString(list));
    user.SetAttr(kTimeStamp, "100");
    user.SetAttr(kEmail, CZelString(email));
    user.SetAttr(kName, CZelString("Name of " + email));
    user.SetAttr(kTranslitName, "T");
    user.SetAttr(kUnicodeName, CZelString("U\0", 2));
    return user;
}

std::vector<std::string> Addresses(const CZelXmlNode& list)
{
    std::vector<std::string> addresses;
    for (CZelXmlNode user = list.FindChild(kUser); !user.IsNull(); user = user.NextSameName())
        addresses.push_back(user.GetAttr(kEmail).ToStd());
    return addresses;
}

// A document with the given lists and pending updates.
CZelXmlDocument Account(const std::vector<std::string>& contacts, const std::vector<std::string>& blacks,
                        const std::vector<std::pair<std::string, std::string>>& updates)
{
    CZelXmlDocument document = CAccountFile::NewDocument();
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kLogin, "me");
    root.SetAttr(kId, "3");
    CZelXmlNode contactList = CAccountFile::EnsureChild(root, kContactList);
    for (const std::string& email : contacts)
        contactList.AddChild(UserEntry("+cl", email));
    CZelXmlNode blackList = CAccountFile::EnsureChild(root, kBlackList);
    for (const std::string& email : blacks)
        blackList.AddChild(UserEntry("+bl", email));
    CZelXmlNode pending = CAccountFile::EnsureChild(root, kContactListUpdates);
    pending.SetAttr(kTimeStamp, "500");
    for (const auto& [list, email] : updates)
        pending.AddChild(UserEntry(list, email));
    return document;
}

struct MergeCase {
    const char* title;
    std::vector<std::string> contacts;
    std::vector<std::string> blacks;
    std::vector<std::pair<std::string, std::string>> updates;
    Lists expected;
};

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, AppliesTheUpdatesInOrder)
{
    const MergeCase& c = GetParam();
    CZelXmlDocument document = Account(c.contacts, c.blacks, c.updates);
    std::vector<CMergedEntry> merged;
    EXPECT_EQ(CAccountUpdates::Merge(document, &merged), !c.updates.empty());
    const CZelXmlNode root = document.RootElement();
    EXPECT_EQ(Addresses(root.FindChild(kContactList)), c.expected.first);
    EXPECT_EQ(Addresses(root.FindChild(kBlackList)), c.expected.second);
    const CZelXmlNode pending = root.FindChild(kContactListUpdates);
    EXPECT_EQ(pending.ChildCount(), 0);
    EXPECT_EQ(pending.GetAttr(kTimeStamp).ToStd(), "500");
    EXPECT_EQ(merged.size(), c.updates.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeTest,
    ::testing::Values(
        MergeCase{"AddContact", {}, {}, {{"+cl", "a@x"}}, {{"a@x"}, {}}},
        MergeCase{"BlackMovesAContact", {"a@x", "b@x"}, {}, {{"+bl", "a@x"}}, {{"b@x"}, {"a@x"}}},
        MergeCase{"ContactMovesABlack", {}, {"a@x"}, {{"+cl", "a@x"}}, {{"a@x"}, {}}},
        MergeCase{"RemoveUnknownChangesNothing", {"a@x"}, {"b@x"}, {{"-cl", "c@x"}}, {{"a@x"}, {"b@x"}}},
        MergeCase{"RemoveContact", {"a@x", "b@x"}, {}, {{"-cl", "a@x"}}, {{"b@x"}, {}}},
        MergeCase{"RemoveBlack", {"c@x"}, {"a@x", "b@x"}, {{"-bl", "a@x"}}, {{"c@x"}, {"b@x"}}},
        MergeCase{"RemoveBlackLeavesAContact", {"a@x"}, {}, {{"-bl", "a@x"}}, {{"a@x"}, {}}},
        MergeCase{"RemoveContactLeavesABlack", {}, {"a@x"}, {{"-cl", "a@x"}}, {{}, {"a@x"}}},
        MergeCase{"NoDuplicates", {"a@x"}, {}, {{"+cl", "a@x"}, {"+cl", "a@x"}}, {{"a@x"}, {}}},
        MergeCase{"MoveToBlack", {"a@x"}, {}, {{"-cl", "a@x"}, {"+bl", "a@x"}}, {{}, {"a@x"}}},
        MergeCase{"MoveToBlackOtherOrder", {"a@x"}, {}, {{"+bl", "a@x"}, {"-cl", "a@x"}}, {{}, {"a@x"}}},
        MergeCase{"MoveToContactOtherOrder", {}, {"a@x"}, {{"+cl", "a@x"}, {"-bl", "a@x"}}, {{"a@x"}, {}}},
        MergeCase{"UnknownActionOnlyRemoves", {"a@x"}, {}, {{"??", "a@x"}}, {{}, {}}},
        MergeCase{"NothingPending", {"a@x"}, {"b@x"}, {}, {{"a@x"}, {"b@x"}}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.title); });

TEST(Merge, CopiesTheEntryAttributesInOrder)
{
    CZelXmlDocument document = Account({}, {}, {{"+cl", "a@x"}});
    ASSERT_TRUE(CAccountUpdates::Merge(document));
    const CZelXmlNode entry = document.RootElement().FindChild(kContactList).FindChild(kUser);
    const std::vector<std::string> order = {kName, kEmail, kTimeStamp, kId, kTranslitName, kUnicodeName};
    ASSERT_EQ(entry.AttrCount(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(entry.AttrName(i).ToStd(), order[static_cast<size_t>(i)]);
    EXPECT_EQ(entry.GetAttr(kUnicodeName).ToStd(), std::string("U\0", 2));
}

TEST(Merge, CreatesMissingListsAndReportsIt)
{
    CZelXmlDocument document = CAccountFile::NewDocument();
    document.RootElement().SetAttr(kLogin, "me");
    EXPECT_TRUE(CAccountUpdates::Merge(document));
    EXPECT_FALSE(document.RootElement().FindChild(kContactList).IsNull());
    EXPECT_FALSE(document.RootElement().FindChild(kBlackList).IsNull());
    EXPECT_FALSE(CAccountUpdates::Merge(document));
}

class UpdateWriterTest : public TestHome {
protected:
    void SetUp() override
    {
        TestHome::SetUp();
        CAccountChangeFlags::Global().Drain();
    }
    static CZelXmlDocument Reply(bool withUpdates, const char* timeStamp, bool withEmail)
    {
        CZelXmlDocument reply;
        reply.Create("doc", "Root");
        reply.RootElement().SetAttr("Status", "OK");
        if (!withUpdates)
            return reply;
        CZelXmlElement updates(kUpdates);
        updates.SetAttr(kUserLevel, "Authorized");
        updates.SetAttr(kOperatedStatus, "Normal");
        if (timeStamp)
            updates.SetAttr(kTimeStamp, timeStamp);
        if (withEmail)
            updates.SetAttr(kEmail, "new@x");
        updates.AddChild(UserEntry("+cl", "a@x"));
        updates.AddChild(UserEntry("-bl", "b@x"));
        reply.RootElement().AddChild(updates);
        return reply;
    }
    static CZelXmlNode Saved()
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CAccountFile::Load("00000003.xml", document));
        return document.RootElement();
    }
    static uint32_t FlagsOf(int64_t id)
    {
        uint32_t found = 0;
        CAccountChangeFlags::Global().Drain([&](int64_t account, uint32_t bits) {
            if (account == id)
                found |= bits;
        });
        return found;
    }
};

TEST_F(UpdateWriterTest, StoresStandingAndPendingEntries)
{
    CZelXmlDocument account = Account({}, {}, {{"+bl", "old@x"}});
    account.RootElement().SetAttr(kEmail, "me@x");
    ASSERT_TRUE(CAccountFile::Save("00000003.xml", account));

    const CAccountStanding standing = CAccountUpdates::Write(3, Reply(true, "900", false));
    EXPECT_TRUE(standing.hadUpdates);
    EXPECT_TRUE(standing.saved);
    EXPECT_EQ(standing.userLevel.ToStd(), "Authorized");
    EXPECT_EQ(standing.operatedStatus.ToStd(), "Normal");

    const CZelXmlNode root = Saved();
    EXPECT_EQ(root.GetAttr(kUserLevel).ToStd(), "Authorized");
    EXPECT_EQ(root.GetAttr(kOperatedStatus).ToStd(), "Normal");
    EXPECT_EQ(root.GetAttr(kEmail).ToStd(), "me@x");
    const CZelXmlNode pending = root.FindChild(kContactListUpdates);
    EXPECT_EQ(pending.GetAttr(kTimeStamp).ToStd(), "900");
    EXPECT_EQ(Addresses(pending), (std::vector<std::string>{"old@x", "a@x", "b@x"}));
    EXPECT_EQ(FlagsOf(3) & CAccountChangeFlags::kAccountUpdated, CAccountChangeFlags::kAccountUpdated);
}

TEST_F(UpdateWriterTest, EmailOnlyWhenSentAndTimeStampOnlyWhenPositive)
{
    ASSERT_TRUE(CAccountFile::Save("00000003.xml", Account({}, {}, {})));
    CAccountUpdates::Write(3, Reply(true, "0", true));
    EXPECT_EQ(Saved().GetAttr(kEmail).ToStd(), "new@x");
    EXPECT_EQ(Saved().FindChild(kContactListUpdates).GetAttr(kTimeStamp).ToStd(), "500");
    CAccountUpdates::Write(3, Reply(true, nullptr, false));
    EXPECT_EQ(Saved().FindChild(kContactListUpdates).GetAttr(kTimeStamp).ToStd(), "500");
}

TEST_F(UpdateWriterTest, WithoutUpdatesTheFileIsSavedUnchangedButForTheUpdatesElement)
{
    CZelXmlDocument account = CAccountFile::NewDocument();
    account.RootElement().SetAttr(kLogin, "me");
    account.RootElement().SetAttr(kUserLevel, "Administrator");
    ASSERT_TRUE(CAccountFile::Save("00000003.xml", account));
    const CAccountStanding standing = CAccountUpdates::Write(3, Reply(false, nullptr, false));
    EXPECT_FALSE(standing.hadUpdates);
    EXPECT_EQ(Saved().GetAttr(kUserLevel).ToStd(), "Administrator");
    EXPECT_FALSE(Saved().FindChild(kContactListUpdates).IsNull());
}

TEST_F(UpdateWriterTest, MissingFileOnlyNotifies)
{
    const CAccountStanding standing = CAccountUpdates::Write(3, Reply(true, "900", false));
    EXPECT_FALSE(standing.saved);
    EXPECT_FALSE(Exists("00000003.xml"));
    EXPECT_EQ(FlagsOf(3), CAccountChangeFlags::kAccountUpdated);
}

TEST_F(UpdateWriterTest, MergeFileAppliesWhatTheWriterStored)
{
    ASSERT_TRUE(CAccountFile::Save("00000003.xml", Account({"b@x"}, {}, {})));
    CAccountUpdates::Write(3, Reply(true, "900", false));
    std::vector<CMergedEntry> merged;
    ASSERT_TRUE(CAccountUpdates::MergeFile("00000003.xml", &merged));
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].list.ToStd(), "+cl");
    EXPECT_EQ(merged[1].email.ToStd(), "b@x");
    EXPECT_EQ(Addresses(Saved().FindChild(kContactList)), (std::vector<std::string>{"b@x", "a@x"}));
    EXPECT_EQ(Saved().FindChild(kContactListUpdates).ChildCount(), 0);
}

} // namespace
