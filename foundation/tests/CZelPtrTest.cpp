#include "foundation/CZelPtr.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string Text(const CZelPtr<char>& buffer)
{
    return std::string(buffer.Data() ? buffer.Data() : "", static_cast<size_t>(buffer.Length()));
}

TEST(CZelPtr, GrowthIsTwiceTheUsedLengthPlusTwoAtLeast32)
{
    CZelPtr<char> buffer;
    EXPECT_EQ(buffer.Capacity(), 0);
    ASSERT_TRUE(buffer.Append('a'));
    EXPECT_EQ(buffer.Capacity(), 32);
    for (int i = 1; i < 32; ++i)
        buffer.Append('a');
    EXPECT_EQ(buffer.Capacity(), 32);
    buffer.Append('b');  // 32 used, does not fit
    EXPECT_EQ(buffer.Capacity(), 66);
    EXPECT_EQ(buffer.Length(), 33);
    EXPECT_EQ(Text(buffer), std::string(32, 'a') + "b");
}

TEST(CZelPtr, LargeAppendGetsWhatItNeeds)
{
    CZelPtr<char> buffer;
    const std::string big(100, 'x');
    ASSERT_TRUE(buffer.Append(big.data(), 100));
    EXPECT_EQ(buffer.Capacity(), 100);
    buffer.Append('y');
    EXPECT_EQ(buffer.Capacity(), 202);
    EXPECT_EQ(Text(buffer), big + "y");
}

TEST(CZelPtr, FailedGrowthKeepsContentsAndIgnoresLaterAppends)
{
    CZelPtr<char> buffer;
    buffer.Append("keep", 4);
    // No capacity can hold this many.
    EXPECT_FALSE(buffer.AppendRepeated('z', INT32_MAX - 2));
    EXPECT_TRUE(buffer.Failed());
    EXPECT_EQ(Text(buffer), "keep");
    EXPECT_FALSE(buffer.Append('x'));
    EXPECT_EQ(Text(buffer), "keep");
    buffer.Clear();
    EXPECT_FALSE(buffer.Failed());
    EXPECT_TRUE(buffer.Append('x'));
}

TEST(CZelPtr, OtherElementTypesAndMoves)
{
    CZelPtr<uint32_t> numbers;
    for (uint32_t i = 0; i < 100; ++i)
        numbers.Append(i);
    EXPECT_EQ(numbers.Length(), 100);
    EXPECT_EQ(numbers[99], 99u);
    CZelPtr<uint32_t> moved(std::move(numbers));
    EXPECT_EQ(moved.Length(), 100);
    EXPECT_EQ(numbers.Length(), 0);
    moved.Truncate(10);
    EXPECT_EQ(moved.Length(), 10);
    EXPECT_TRUE(moved.AppendRepeated(7u, 3));
    EXPECT_EQ(moved[12], 7u);
}

} // namespace
