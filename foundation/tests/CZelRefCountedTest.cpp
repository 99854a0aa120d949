#include "foundation/CZelRefCounted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A body that counts how often it was freed, through its own Free.
struct Counted : CZelRefCounted<Counted> {
    explicit Counted(std::atomic<int>& frees) : freed(frees) {}
    static void Free(Counted* body) noexcept
    {
        std::atomic<int>& frees = body->freed;
        delete body;
        frees.fetch_add(1);
    }
    std::atomic<int>& freed;
};

// A body freed by the default `delete`, noticed through its destructor.
struct Plain : CZelRefCounted<Plain> {
    explicit Plain(bool& gone) : destroyed(gone) {}
    ~Plain() { destroyed = true; }
    bool& destroyed;
};

TEST(CZelRef, CountsEveryHolderAndFreesOnceWithTheLast)
{
    std::atomic<int> frees{0};
    auto* body = new Counted(frees);
    EXPECT_EQ(body->RefCount(), 0);
    {
        CZelRef<Counted> first = CZelRef<Counted>::Fresh(body);
        EXPECT_EQ(body->RefCount(), 1);
        CZelRef<Counted> copy = first;
        CZelRef<Counted> another(body);
        EXPECT_EQ(body->RefCount(), 3);
        CZelRef<Counted> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(body->RefCount(), 3);
        first.Reset();
        another = nullptr;
        EXPECT_EQ(body->RefCount(), 1);
        EXPECT_EQ(frees.load(), 0);
        EXPECT_EQ(moved.Get(), body);
    }
    EXPECT_EQ(frees.load(), 1);
}

TEST(CZelRef, AssignmentsKeepTheCountsRight)
{
    std::atomic<int> freesA{0}, freesB{0};
    CZelRef<Counted> a = CZelRef<Counted>::Fresh(new Counted(freesA));
    CZelRef<Counted> b = CZelRef<Counted>::Fresh(new Counted(freesB));
    CZelRef<Counted>& alias = a;

    a = alias;                 // self-assignment keeps the body
    a = std::move(alias);      // and so does self-move
    ASSERT_TRUE(a);
    EXPECT_EQ(a->RefCount(), 1);

    CZelRef<Counted> keep = b;
    b = a;                     // b's old body still has `keep`
    EXPECT_EQ(freesB.load(), 0);
    EXPECT_EQ(a->RefCount(), 2);
    keep = std::move(b);       // the last holder of B's body moves on: B is freed
    EXPECT_EQ(freesB.load(), 1);
    EXPECT_EQ(a->RefCount(), 2);
    EXPECT_TRUE(keep == a);
    a.Reset();
    keep.Reset();
    EXPECT_EQ(freesA.load(), 1);
}

TEST(CZelRef, DefaultFreeDeletesAndDropRefLeavesTheFreeingToTheCaller)
{
    bool gone = false;
    { CZelRef<Plain> only(new Plain(gone)); }
    EXPECT_TRUE(gone);

    gone = false;
    auto* body = new Plain(gone);
    body->AddRef();
    body->AddRef();
    EXPECT_FALSE(body->DropRef());
    EXPECT_TRUE(body->DropRef());
    EXPECT_FALSE(gone);        // the caller decides how to free it
    delete body;
    EXPECT_TRUE(gone);
}

TEST(CZelRef, HandlesOnManyThreadsFreeTheSharedBodyExactlyOnce)
{
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> frees{0};
        CZelRef<Counted> shared = CZelRef<Counted>::Fresh(new Counted(frees));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([copy = shared]() mutable {
                for (int i = 0; i < 10000; ++i) {
                    CZelRef<Counted> again = copy;
                    copy = again;
                }
                copy.Reset();
            });
        }
        shared.Reset();
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(frees.load(), 1);
    }
}

} // namespace
