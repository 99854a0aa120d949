#include "core/CAccountChangeFlags.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

TEST(AccountChangeFlagsTest, SetOrsBitsPerAccountAndNotifiesEachTime)
{
    CAccountChangeFlags flags;
    int notified = 0;
    flags.SetNotifier([&notified] { ++notified; });
    flags.Set(7, CAccountChangeFlags::kAccountUpdated);
    flags.Set(7, CAccountChangeFlags::kSentRecorded);
    flags.Set(-3, CAccountChangeFlags::kMessageRetrieved);
    EXPECT_EQ(notified, 3);

    std::map<int64_t, uint32_t> seen;
    EXPECT_EQ(flags.Drain([&seen](int64_t id, uint32_t bits) { seen[id] = bits; }), 2);
    EXPECT_EQ(seen, (std::map<int64_t, uint32_t>{{7, 0x05}, {-3, 0x10}}));
    EXPECT_TRUE(flags.IsEmpty());
}

TEST(AccountChangeFlagsTest, ChangesArrivingDuringADrainAreHandledInTheSamePass)
{
    CAccountChangeFlags flags;
    flags.Set(1, CAccountChangeFlags::kAccountUpdated);
    std::vector<std::pair<int64_t, uint32_t>> seen;
    const int handled = flags.Drain([&](int64_t id, uint32_t bits) {
        seen.emplace_back(id, bits);
        if (seen.size() == 1)
            flags.Set(1, CAccountChangeFlags::kMessageDownloaded);  // the lock is not held here
    });
    EXPECT_EQ(handled, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], (std::pair<int64_t, uint32_t>{1, CAccountChangeFlags::kMessageDownloaded}));
    EXPECT_TRUE(flags.IsEmpty());
}

TEST(AccountChangeFlagsTest, DrainWithoutActionDropsTheEntries)
{
    CAccountChangeFlags flags;
    flags.Set(1, 0x02);
    flags.Set(2, 0x08);
    EXPECT_EQ(flags.Drain(), 2);
    EXPECT_TRUE(flags.IsEmpty());
    int64_t id = 0;
    uint32_t bits = 0;
    EXPECT_FALSE(flags.TakeOne(id, bits));
}

TEST(AccountChangeFlagsTest, ConcurrentWritersLoseNoBit)
{
    CAccountChangeFlags flags;
    std::vector<std::thread> writers;
    for (uint32_t bit : {0x01u, 0x02u, 0x04u, 0x08u, 0x10u})
        writers.emplace_back([&flags, bit] {
            for (int64_t id = 0; id < 200; ++id)
                flags.Set(id, bit);
        });
    std::map<int64_t, uint32_t> seen;
    for (int round = 0; round < 50; ++round)
        flags.Drain([&seen](int64_t id, uint32_t bits) { seen[id] |= bits; });
    for (auto& writer : writers)
        writer.join();
    flags.Drain([&seen](int64_t id, uint32_t bits) { seen[id] |= bits; });
    ASSERT_EQ(seen.size(), 200u);
    for (const auto& [id, bits] : seen)
        EXPECT_EQ(bits, 0x1Fu) << id;
}

} // namespace
