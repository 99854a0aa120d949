#include "foundation/CZelUnivHash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using IntTable = CZelUnivHash_New<uint32_t, int>;
using StringTable = CZelUnivHash_New_KeyIsClass<CZelString, int>;

std::vector<uint32_t> WalkKeys(IntTable& table)
{
    std::vector<uint32_t> keys;
    for (IntTable::Iterator it(table); it; ++it)
        keys.push_back(it.Key());
    return keys;
}

TEST(ZelHash, StringKeys)
{
    EXPECT_EQ(ZelHashKey(CZelString("abcd")), 0x64636261u);  // exactly 4 bytes: the bytes as a number
    EXPECT_EQ(ZelHashKey(CZelString("ab")), 0x00006261u);    // missing bytes are zero
    EXPECT_EQ(ZelHashKey(CZelString("")), 0u);
    EXPECT_EQ(ZelHashKey(CZelString("abcde")), 0x1C58F263u);  // rotate left by 7, XOR each byte
    EXPECT_EQ(ZelHashKey(CZelString("Hello, World")), 0x112B1E17u);
    EXPECT_EQ(ZelHashKey(CZelString("\xFF\xFF\xFF\xFF")), 0xFFFFFFFFu);
    EXPECT_EQ(ZelHashKey(CZelString("a\0b", 3)), 0x00620061u);
}

TEST(ZelHash, IntegerAndPointerKeys)
{
    EXPECT_EQ(ZelHashKey(uint32_t{12345}), 12345u);
    EXPECT_EQ(ZelHashKey(int32_t{-1}), 0xFFFFFFFFu);
    EXPECT_EQ(ZelHashKey(reinterpret_cast<const void*>(uintptr_t{0x1234567800000001})), 0x12345679u);
    EXPECT_EQ(ZelHashKey(int64_t{0x0000000200000003}), 1u);
}

TEST(CZelUnivHash, SizeAndBuckets)
{
    IntTable table(16);
    EXPECT_EQ(table.Size(), 16);
    EXPECT_EQ(table.BucketCount(), 17);
    IntTable tiny(0);
    EXPECT_EQ(tiny.Size(), 2);
    EXPECT_EQ(tiny.BucketCount(), 2);
}

TEST(CZelUnivHash, SeventeenthInsertGrowsTo32With35Buckets)
{
    IntTable table(16);
    for (uint32_t k = 0; k < 16; ++k)
        ASSERT_EQ(table.Insert(k, static_cast<int>(k)), ZelInsertResult::Added);
    EXPECT_EQ(table.Size(), 16);
    EXPECT_EQ(table.BucketCount(), 17);
    ASSERT_EQ(table.Insert(16, 16), ZelInsertResult::Added);
    EXPECT_EQ(table.Size(), 32);
    EXPECT_EQ(table.BucketCount(), 35);
    EXPECT_EQ(table.Count(), 17);
    for (uint32_t k = 0; k < 17; ++k)
        ASSERT_NE(table.Find(k), nullptr);
}

// Keys are their own hashes. In 17 buckets 595 and 0 share bucket 0, and 35, 18, 1 bucket 1;
// in 35 buckets 35, 0 and 595 share bucket 0. Growth re-inserts in walking order at the
// chains' heads, so chains that stay together come out reversed.
TEST(CZelUnivHash, WalkingOrderBeforeAndAfterGrowth)
{
    IntTable table(16);
    std::vector<uint32_t> keys = {1, 18, 35, 0, 595};
    for (uint32_t k = 2; k <= 12; ++k)
        keys.push_back(k);
    for (uint32_t k : keys)
        ASSERT_EQ(table.Insert(k, 0), ZelInsertResult::Added);
    ASSERT_EQ(table.Count(), 16);
    EXPECT_EQ(WalkKeys(table), (std::vector<uint32_t>{595, 0, 35, 18, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    ASSERT_EQ(table.Insert(13, 0), ZelInsertResult::Added);
    EXPECT_EQ(WalkKeys(table), (std::vector<uint32_t>{35, 0, 595, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 18}));

    std::vector<uint32_t> visited;
    table.ForEach([&](uint32_t key, int) { visited.push_back(key); });
    EXPECT_EQ(visited, WalkKeys(table));
}

struct NamedKey {
    std::string name;
    int tag;  // not part of the key's identity
    bool operator==(const NamedKey& other) const { return name == other.name; }
};

class NamedKeyTable : public CZelUnivHash_New_KeyIsClass<NamedKey, std::string> {
public:
    uint32_t Hash(const NamedKey& key) const override
    {
        return ZelHashBytes(key.name.data(), static_cast<int32_t>(key.name.size()));
    }
};

TEST(CZelUnivHash, InsertModes)
{
    NamedKeyTable table;
    ASSERT_EQ(table.Insert({"a", 1}, "first"), ZelInsertResult::Added);

    EXPECT_EQ(table.Insert({"a", 2}, "second"), ZelInsertResult::Exists);
    EXPECT_EQ(*table.Find({"a", 0}), "first");

    EXPECT_EQ(table.Insert({"a", 3}, "third", ZelInsertMode::ReplaceValue), ZelInsertResult::Replaced);
    NamedKeyTable::Iterator it(table);
    EXPECT_EQ(it.Key().tag, 1);  // the key object stays
    EXPECT_EQ(it.Value(), "third");

    EXPECT_EQ(table.Insert({"a", 4}, "fourth", ZelInsertMode::ReplaceEntry), ZelInsertResult::Replaced);
    EXPECT_EQ(it.Key().tag, 4);  // the whole entry is new
    EXPECT_EQ(it.Value(), "fourth");
    EXPECT_EQ(table.Count(), 1);

    EXPECT_EQ(table.Insert({"b", 5}, "new", ZelInsertMode::ReplaceValue), ZelInsertResult::Added);
    EXPECT_EQ(table.Count(), 2);
}

TEST(CZelUnivHash, StringKeysAreByteExact)
{
    StringTable table;
    table.Insert(CZelString("Key"), 1);
    table.Insert(CZelString("key"), 2);
    table.Insert(CZelString("k\0y", 3), 3);
    table.Insert(CZelString("k"), 4);
    EXPECT_EQ(*table.Find(CZelString("Key")), 1);
    EXPECT_EQ(*table.Find(CZelString("key")), 2);
    EXPECT_EQ(*table.Find(CZelString("k\0y", 3)), 3);
    EXPECT_EQ(*table.Find(CZelString("k")), 4);
    EXPECT_EQ(table.Find(CZelString("KEY")), nullptr);
}

TEST(CZelUnivHash, ManyEntriesStayFindable)
{
    StringTable table(16);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(table.Insert(CZelString(std::to_string(i).c_str()), i), ZelInsertResult::Added);
    EXPECT_EQ(table.Count(), 5000);
    EXPECT_EQ(table.Size(), 8192);
    EXPECT_EQ(table.BucketCount(), 8192 + 819);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(*table.Find(CZelString(std::to_string(i).c_str())), i);
    for (int i = 0; i < 5000; i += 2)
        ASSERT_TRUE(table.Remove(CZelString(std::to_string(i).c_str())));
    EXPECT_FALSE(table.Remove(CZelString("0")));
    EXPECT_EQ(table.Count(), 2500);
    EXPECT_EQ(table.Find(CZelString("10")), nullptr);
    EXPECT_EQ(*table.Find(CZelString("11")), 11);
}

TEST(CZelUnivHash, RemovingTheEntryAnIteratorStandsOnMovesItOn)
{
    IntTable table(16);
    for (uint32_t k = 0; k < 10; ++k)
        table.Insert(k, 0);
    std::vector<uint32_t> seen;
    for (IntTable::Iterator it(table); it;) {
        const uint32_t key = it.Key();
        seen.push_back(key);
        if (key % 2 == 0)
            table.Remove(key);  // the iterator is moved to the next entry
        else
            ++it;
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(table.Count(), 5);
}

TEST(CZelUnivHash, GrowthAndClearFinishLiveIterators)
{
    IntTable table(2);
    table.Insert(1, 0);
    IntTable::Iterator it(table);
    ASSERT_FALSE(it.AtEnd());
    table.Insert(2, 0);
    table.Insert(3, 0);  // grows
    EXPECT_TRUE(it.AtEnd());
    ++it;
    EXPECT_TRUE(it.AtEnd());

    IntTable::Iterator second(table);
    ASSERT_FALSE(second.AtEnd());
    table.Clear();
    EXPECT_TRUE(second.AtEnd());
    EXPECT_EQ(table.Count(), 0);
    EXPECT_EQ(table.Size(), 4);
}

TEST(CZelUnivHash, TakeOver)
{
    IntTable source(4);
    for (uint32_t k = 0; k < 7; ++k)
        source.Insert(k, static_cast<int>(k) * 10);
    IntTable target(16);
    target.Insert(99, 0);
    target.TakeOver(source);
    EXPECT_EQ(target.Count(), 7);
    EXPECT_EQ(target.Find(99u), nullptr);
    EXPECT_EQ(*target.Find(6u), 60);
    EXPECT_EQ(source.Count(), 0);
    EXPECT_EQ(source.Find(6u), nullptr);
    source.Insert(1, 1);  // the emptied table stays usable
    EXPECT_EQ(*source.Find(1u), 1);
}

} // namespace
