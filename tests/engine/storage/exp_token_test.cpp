#include "engine/storage/exp_token.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "engine/storage/data_types.h"

namespace strata {
namespace {

ExpTokenPtr Column(std::string_view name) {
    ExpTokenPtr t = NewExpToken();
    t->Kind = kTokenColumn;
    t->ColumnName = name;
    t->Text = name;
    return t;
}

ExpTokenPtr IntegerConstant(std::int32_t value) {
    ExpTokenPtr t = NewExpToken();
    t->Kind = kTokenConstant;
    t->DataType = kTypeInteger;
    t->SetDataSize(4);
    StoreInt32(t->Value(), value);
    return t;
}

ExpTokenPtr Binary(std::uint8_t code, ExpTokenPtr left, ExpTokenPtr right) {
    ExpTokenPtr t = NewExpToken();
    t->Kind = kTokenBinary;
    t->Code = code;
    t->DataType = kTypeBoolean;
    t->DataSize = 2;
    left->Parent = t.get();
    right->Parent = t.get();
    t->First = std::move(left);
    t->Second = std::move(right);
    return t;
}

TEST(ExpToken, NewTokensHaveTheResetDefaults) {
    ExpTokenStack().Clear();  // a pooled token may keep the capacity an earlier test grew
    ExpTokenPtr t = NewExpToken();
    EXPECT_EQ(t->ValueCapacity(), 255u);
    EXPECT_EQ(t->StatementMark, 2);
    EXPECT_EQ(t->JoinKind, 0);
    EXPECT_EQ(t->Kind, 0);
    EXPECT_EQ(t->DataSize, 0u);
    EXPECT_FALSE(t->First);
    EXPECT_TRUE(std::all_of(t->ValueBuffer().begin(), t->ValueBuffer().end(),
                            [](std::byte b) { return b == std::byte{0}; }));
}

TEST(ExpToken, ReusedTokensComeBackResetWithTheirCapacity) {
    ExpTokenStack().Clear();  // the capacity checked is the one grown here, not a pooled one's
    ExpTokenPtr t = NewExpToken();
    t->SetDataSize(600);
    std::fill(t->ValueBuffer().begin(), t->ValueBuffer().end(), std::byte{0x5A});
    t->Kind = kTokenConstant;
    t->ColumnName = "x";
    t->IsNull = true;
    TExpToken* raw = t.get();
    ReleaseExpToken(t);
    EXPECT_FALSE(t);
    ExpTokenPtr again = NewExpToken();
    ASSERT_EQ(again.get(), raw);  // the pool hands back the last token returned
    EXPECT_EQ(again->ValueCapacity(), 765u);
    EXPECT_EQ(again->Kind, 0);
    EXPECT_TRUE(again->ColumnName.empty());
    EXPECT_FALSE(again->IsNull);
    EXPECT_TRUE(std::all_of(again->ValueBuffer().begin(), again->ValueBuffer().end(),
                            [](std::byte b) { return b == std::byte{0}; }));
}

TEST(ExpToken, SetDataSizeGrowsInBlocksAndNeverShrinks) {
    ExpTokenStack().Clear();  // a fresh token, not one grown by an earlier test
    ExpTokenPtr t = NewExpToken();
    t->SetDataSize(255);
    EXPECT_EQ(t->ValueCapacity(), 255u);
    t->SetDataSize(256);
    EXPECT_EQ(t->ValueCapacity(), 510u);
    t->SetDataSize(4);
    EXPECT_EQ(t->ValueCapacity(), 510u);
    EXPECT_EQ(t->DataSize, 4u);
    t->SetDataSize(0);
    EXPECT_EQ(t->ValueCapacity(), 510u);
    t->SetValueText(std::string(300, 'a'));
    EXPECT_EQ(t->DataSize, 301u);
    EXPECT_EQ(t->ValueText().size(), 300u);
}

TEST(ExpToken, ReleasingEmptyVariablesDoesNothing) {
    ExpTokenPtr none;
    const std::size_t free_before = ExpTokenStack().FreeCount();
    ReleaseExpToken(none);
    FreeTokenTree(none);
    ExpTokenStack().Put(none);
    EXPECT_EQ(ExpTokenStack().FreeCount(), free_before);
}

TEST(ExpToken, ReleasingATreeReturnsEveryNode) {
    ExpTokenStack().Clear();
    ExpTokenPtr tree = Binary(kOpAnd, Binary(kOpEqual, Column("a"), IntegerConstant(1)),
                              Binary(kOpLess, Column("b"), IntegerConstant(2)));
    FreeTokenTree(tree);
    EXPECT_FALSE(tree);
    EXPECT_EQ(ExpTokenStack().FreeCount(), 7u);
}

TEST(ExpToken, LongListsAreReleasedWithoutDeepRecursion) {
    // An IN list chains its elements through the second child.
    ExpTokenPtr head = IntegerConstant(0);
    TExpToken* tail = head.get();
    for (int i = 1; i < 200000; ++i) {
        tail->Second = IntegerConstant(i);
        tail = tail->Second.get();
    }
    ExpTokenPtr copy = CopyTokenTree(head.get());
    EXPECT_TRUE(TokenTreesEqual(head.get(), copy.get()));
    StoreInt32(tail->Value(), -1);
    EXPECT_FALSE(TokenTreesEqual(head.get(), copy.get()));
    FreeTokenTree(copy);
    ExpTokenStack().Clear();
    FreeTokenTree(head);
    EXPECT_EQ(ExpTokenStack().FreeCount(), 200000u);
    ExpTokenStack().Clear();
}

TEST(ExpToken, LeftDeepChainsAreCopiedAndComparedWithoutDeepRecursion) {
    // A long OR chain nests through the first child; copying and comparing it must not recurse.
    ExpTokenPtr tree = IntegerConstant(0);
    for (int i = 1; i < 100000; ++i) {
        tree = Binary(kOpOr, std::move(tree), IntegerConstant(i));
    }
    ExpTokenPtr copy = CopyTokenTree(tree.get());
    EXPECT_TRUE(TokenTreesEqual(tree.get(), copy.get()));
    EXPECT_EQ(copy->First->Parent, copy.get());
    StoreInt32(copy->First->First->Second->Value(), -5);
    EXPECT_FALSE(TokenTreesEqual(tree.get(), copy.get()));
    FreeTokenTree(copy);
    FreeTokenTree(tree);
    ExpTokenStack().Clear();
}

TEST(ExpToken, AssignCopiesFieldsAndValueButNotChildren) {
    ExpTokenPtr source = Binary(kOpEqual, Column("a"), IntegerConstant(1));
    source->SetDataSize(700);
    StoreInt32(source->Value() + 600, 77);
    ExpTokenPtr copy = NewExpToken();
    copy->Assign(*source);
    EXPECT_EQ(copy->ValueCapacity(), source->ValueCapacity());
    EXPECT_EQ(LoadInt32(copy->Value() + 600), 77);
    EXPECT_EQ(copy->Code, kOpEqual);
    EXPECT_FALSE(copy->First);
    EXPECT_TRUE(copy->SameAs(*source));
}

TEST(ExpToken, TreeComparison) {
    ExpTokenPtr a = Binary(kOpEqual, Column("Name"), IntegerConstant(1));
    ExpTokenPtr b = Binary(kOpEqual, Column("NAME"), IntegerConstant(1));
    EXPECT_TRUE(TokenTreesEqual(a.get(), b.get()));
    ExpTokenPtr c = Binary(kOpEqual, Column("Name"), IntegerConstant(2));
    EXPECT_FALSE(TokenTreesEqual(a.get(), c.get()));
    // The same value with another size is another constant.
    ExpTokenPtr d = Binary(kOpEqual, Column("Name"), IntegerConstant(1));
    d->Second->SetDataSize(8);
    EXPECT_FALSE(TokenTreesEqual(a.get(), d.get()));
    ExpTokenPtr e = Binary(kOpEqual, Column("Name"), IntegerConstant(1));
    e->Second->IsNull = true;
    EXPECT_FALSE(TokenTreesEqual(a.get(), e.get()));
    EXPECT_TRUE(TokenTreesEqual(nullptr, nullptr));
    EXPECT_FALSE(TokenTreesEqual(a.get(), nullptr));
    // Columns compare without their values.
    ExpTokenPtr f = Column("x");
    ExpTokenPtr g = Column("X");
    StoreInt32(g->Value(), 5);
    EXPECT_TRUE(f->SameAs(*g));
}

TEST(ExpToken, CopyTokenTreeIsDeep) {
    ExpTokenPtr tree = Binary(kOpOr, Binary(kOpEqual, Column("a"), IntegerConstant(1)),
                              Binary(kOpEqual, Column("b"), IntegerConstant(2)));
    ExpTokenPtr copy = CopyTokenTree(tree.get());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(TokenTreesEqual(tree.get(), copy.get()));
    EXPECT_NE(copy->First.get(), tree->First.get());
    EXPECT_EQ(copy->First->Parent, copy.get());
    EXPECT_EQ(copy->Second->Parent, copy.get());
    EXPECT_EQ(copy->First->Second->Parent, copy->First.get());
    StoreInt32(copy->First->Second->Value(), 9);
    EXPECT_EQ(LoadInt32(tree->First->Second->Value()), 1);
    FreeTokenTree(tree);
    EXPECT_EQ(copy->First->First->ColumnName, "a");
    EXPECT_FALSE(CopyTokenTree(nullptr));
}

TEST(ExpToken, AggregateFunctionCodes) {
    EXPECT_EQ(AggregateFunctionCode("sum"), kOpSum);
    EXPECT_EQ(AggregateFunctionCode("Count"), kOpCount);
    EXPECT_EQ(AggregateFunctionCode("MIN"), kOpMin);
    EXPECT_EQ(AggregateFunctionCode("max"), kOpMax);
    EXPECT_EQ(AggregateFunctionCode("avg"), kOpAvg);
    EXPECT_EQ(AggregateFunctionCode("median"), 0);
    EXPECT_EQ(AggregateFunctionCode(""), 0);
}

TEST(ExpToken, ThePoolServesManyThreads) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([] {
            for (int n = 0; n < 500; ++n) {
                ExpTokenPtr tree = Binary(kOpEqual, Column("a"), IntegerConstant(n));
                ExpTokenPtr copy = CopyTokenTree(tree.get());
                EXPECT_TRUE(TokenTreesEqual(tree.get(), copy.get()));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

}  // namespace
}  // namespace strata
