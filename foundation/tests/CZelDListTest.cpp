#include "foundation/CZelDList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Node : CZelDLink {
    explicit Node(int v, int* destroyed = nullptr) : value(v), destroyedCounter(destroyed) {}
    ~Node() override
    {
        if (destroyedCounter)
            ++*destroyedCounter;
    }
    int value;
    int* destroyedCounter;
};

std::vector<int> Values(const CZelDList<Node>& list)
{
    std::vector<int> values;
    for (const Node& n : list)
        values.push_back(n.value);
    return values;
}

std::vector<int> ValuesBackwards(const CZelDList<Node>& list)
{
    std::vector<int> values;
    for (Node* n = list.Last(); n; n = CZelDList<Node>::Prev(n))
        values.push_back(n->value);
    return values;
}

TEST(CZelDList, OrderOfAppendPrependInsertRemove)
{
    Node a(1), b(2), c(3), d(4);
    CZelDList<Node> list;
    list.Append(&a);
    list.Append(&b);
    list.Prepend(&c);
    list.InsertAfter(&a, &d);
    EXPECT_EQ(Values(list), (std::vector<int>{3, 1, 4, 2}));
    EXPECT_EQ(ValuesBackwards(list), (std::vector<int>{2, 4, 1, 3}));
    EXPECT_EQ(list.Count(), 4u);

    EXPECT_TRUE(list.Remove(&a));
    EXPECT_FALSE(list.Remove(&a));
    EXPECT_FALSE(a.IsLinked());
    EXPECT_EQ(Values(list), (std::vector<int>{3, 4, 2}));

    list.Append(&c);  // moving within the list
    EXPECT_EQ(Values(list), (std::vector<int>{4, 2, 3}));
    list.Clear();  // a plain list does not delete
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_FALSE(b.IsLinked());
}

TEST(CZelDList, AnElementIsInOneListAtATime)
{
    Node a(1), b(2);
    CZelDList<Node> first, second;
    first.Append(&a);
    first.Append(&b);
    second.Append(&a);
    EXPECT_EQ(Values(first), (std::vector<int>{2}));
    EXPECT_EQ(Values(second), (std::vector<int>{1}));
    EXPECT_EQ(a.Owner(), &second);
}

TEST(CZelDList, DestroyedElementLeavesItsList)
{
    CZelDList<Node> list;
    Node a(1);
    {
        Node b(2);
        list.Append(&a);
        list.Append(&b);
    }
    EXPECT_EQ(Values(list), (std::vector<int>{1}));
    EXPECT_EQ(list.Count(), 1u);
}

TEST(CZelDList, OwningListDeletesOnClearAndDestruction)
{
    int destroyed = 0;
    {
        CZelDListAD<Node> list;
        for (int i = 0; i < 5; ++i)
            list.Append(new Node(i, &destroyed));
        Node* first = list.First();
        list.Remove(first);  // removed elements are the caller's again
        delete first;
        EXPECT_EQ(destroyed, 1);
        list.Clear();
        EXPECT_EQ(destroyed, 5);
        list.Append(new Node(9, &destroyed));
    }
    EXPECT_EQ(destroyed, 6);
}

TEST(CZelDList, ItemWrapperCarriesValues)
{
    CZelDListAD<CZelDItem<std::vector<int>>> list;
    list.Append(new CZelDItem<std::vector<int>>(3, 7));
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.First()->value, (std::vector<int>{7, 7, 7}));
}

} // namespace
