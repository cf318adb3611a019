#include "engine/storage/records_bitmap.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "engine/storage/engine_error.h"

namespace strata {
namespace {

std::unique_ptr<TRecordsBitmap> BitmapOf(std::int64_t count,
                                         std::initializer_list<std::int64_t> set) {
    auto bitmap = std::make_unique<TRecordsBitmap>();
    bitmap->SetRecordCount(count);
    bitmap->ClearAll();
    for (std::int64_t r : set) {
        bitmap->SetBit(r);
    }
    return bitmap;
}

std::vector<std::int64_t> Members(const TRecordsBitmap& bitmap) {
    std::vector<std::int64_t> members;
    for (std::int64_t r = 1; r <= bitmap.RecordCount(); ++r) {
        if (bitmap.IsSet(r)) {
            members.push_back(r);
        }
    }
    return members;
}

TEST(RecordsBitmap, SizesInWordsAndBlocks) {
    TRecordsBitmap bitmap;
    EXPECT_EQ(bitmap.Capacity(), 0u);
    bitmap.SetRecordCount(33);
    EXPECT_EQ(bitmap.RoundedCount(), 64);
    EXPECT_EQ(bitmap.WordCount(), 2);
    EXPECT_EQ(bitmap.Capacity(), 1024u);
    bitmap.SetRecordCount(8193);  // one bit past the first block
    EXPECT_EQ(bitmap.Capacity(), 2048u);
    bitmap.SetRecordCount(10);
    EXPECT_EQ(bitmap.Capacity(), 2048u);  // never shrinks
    bitmap.SetBufferSize(0);
    EXPECT_EQ(bitmap.Capacity(), 0u);
    EXPECT_THROW(bitmap.SetRecordCount(INT64_MAX), EStrataEngineError);
    EXPECT_EQ(bitmap.RecordCount(), 10);
}

TEST(RecordsBitmap, RecordNumbersMapToWordsAndBits) {
    auto bitmap = BitmapOf(64, {1, 33});
    EXPECT_TRUE(bitmap->IsSet(1));
    EXPECT_TRUE(bitmap->IsSet(33));
    EXPECT_FALSE(bitmap->IsSet(2));
    EXPECT_EQ(bitmap->CountSetBefore(33), 1);
    EXPECT_EQ(bitmap->CountSetBefore(34), 2);
    bitmap->ClearBit(1);
    EXPECT_EQ(Members(*bitmap), (std::vector<std::int64_t>{33}));
}

TEST(RecordsBitmap, AccessOutsideTheRecordsIsIgnored) {
    auto bitmap = BitmapOf(33, {});
    for (std::int64_t r : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{34}, std::int64_t{64},
                           std::int64_t{100000}}) {
        bitmap->SetBit(r);
        EXPECT_FALSE(bitmap->IsSet(r)) << r;
        bitmap->ClearBit(r);
    }
    EXPECT_EQ(bitmap->CountSet(), 0);
    TRecordsBitmap empty;
    empty.SetBit(1);
    EXPECT_FALSE(empty.IsSet(1));
    EXPECT_EQ(empty.CountSet(), 0);
}

TEST(RecordsBitmap, CountsStopAtTheRecordCount) {
    auto bitmap = BitmapOf(33, {});
    bitmap->SetAll();
    EXPECT_EQ(bitmap->CountSet(), 33);
    EXPECT_EQ(bitmap->CountSetBefore(1), 0);
    EXPECT_EQ(bitmap->CountSetBefore(0), 0);
    EXPECT_EQ(bitmap->CountSetBefore(100), 33);
    bitmap->Invert();
    EXPECT_EQ(bitmap->CountSet(), 0);
    bitmap->Invert();
    bitmap->ClearBit(5);
    EXPECT_EQ(bitmap->CountSet(), 32);
}

TEST(RecordsBitmap, FindNextAndPriorWalkAndReportProgress) {
    struct Case {
        bool forward;
        std::int64_t from;
        std::int64_t n;
        bool found;
        std::int64_t end_r;
        std::int64_t moved;
    };
    // Set records {3, 7, 40, 100} of 100.
    const Case cases[] = {
        {false, 10, 2, true, 3, -2},    {false, 10, 1, true, 7, -1},
        {false, 10, 3, false, 3, -2},   {false, 3, 1, false, 3, 0},
        {false, 101, 1, true, 100, -1}, {false, 1000, 4, true, 3, -4},
        {true, 0, 1, true, 3, 1},       {true, 3, 2, true, 40, 2},
        {true, 7, 5, false, 100, 2},    {true, 100, 1, false, 100, 0},
        {true, -5, 4, true, 100, 4},
    };
    auto bitmap = BitmapOf(100, {3, 7, 40, 100});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.forward << " from " << c.from << " n " << c.n);
        std::int64_t r = c.from;
        std::int64_t position = 50;
        const bool found =
            c.forward ? bitmap->FindNext(r, c.n, position) : bitmap->FindPrior(r, c.n, position);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(r, c.end_r);
        EXPECT_EQ(position, 50 + c.moved);
    }
}

TEST(RecordsBitmap, SearchesIgnoreBitsPastTheCount) {
    auto bitmap = BitmapOf(33, {});
    bitmap->SetAll();
    for (std::int64_t r = 1; r <= 33; ++r) {
        bitmap->ClearBit(r);
    }
    std::int64_t r = 0;
    std::int64_t position = 0;
    EXPECT_FALSE(bitmap->FindNext(r, 1, position));
    EXPECT_EQ(r, 0);
    r = 64;
    EXPECT_FALSE(bitmap->FindPrior(r, 1, position));
    EXPECT_EQ(position, 0);
}

// Every range, across word edges and past the count (where SetAll left bits set), gives the
// members a record-by-record test gives.
TEST(RecordsBitmap, CollectSetGivesTheMembersOfARange) {
    auto bitmap = BitmapOf(100, {1, 2, 31, 32, 33, 64, 65, 70, 96, 97, 100});
    auto full = BitmapOf(70, {});
    full->SetAll();
    for (const TRecordsBitmap* b : {bitmap.get(), full.get()}) {
        const std::vector<std::int64_t> members = Members(*b);
        for (std::int64_t first = 0; first <= 102; ++first) {
            for (std::int64_t end = first; end <= 104; end += 3) {
                std::vector<std::uint32_t> got{7};
                b->CollectSet(first, end, got);
                std::vector<std::uint32_t> expected{7};
                for (const std::int64_t r : members) {
                    if (r >= first && r < end) {
                        expected.push_back(static_cast<std::uint32_t>(r));
                    }
                }
                EXPECT_EQ(got, expected) << first << ".." << end;
            }
        }
    }
}

// A gap limit ends the collection before the first member lying farther than the limit past
// the one collected before it, within a word, across words and across empty words.
TEST(RecordsBitmap, CollectSetStopsAtAGapWiderThanTheLimit) {
    auto bitmap = BitmapOf(300, {3, 4, 10, 40, 41, 200, 201, 300});
    const struct {
        std::int64_t first;
        std::int64_t max_gap;
        std::vector<std::uint32_t> expected;
    } cases[] = {
        {1, 1, {3, 4}},
        {1, 6, {3, 4, 10}},
        {1, 30, {3, 4, 10, 40, 41}},
        {1, 158, {3, 4, 10, 40, 41}},
        {1, 159, {3, 4, 10, 40, 41, 200, 201, 300}},
        {150, 98, {200, 201}},
        {150, 99, {200, 201, 300}},
        // The first member found is always taken, however far from `first`.
        {42, 1, {200, 201}},
        {202, 0, {300}},
        {301, 5, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint32_t> got;
        bitmap->CollectSet(c.first, 400, got, c.max_gap);
        EXPECT_EQ(got, c.expected) << c.first << " gap " << c.max_gap;
    }
}

TEST(RecordsBitmap, AndOrWithSmallerBitmapsTreatMissingWordsAsZero) {
    auto big = BitmapOf(20000, {1, 5, 9000, 19999});
    auto small = BitmapOf(10, {1, 2});
    auto anded = BitmapOf(20000, {});
    anded->Assign(*big);
    anded->AndWith(*small);
    EXPECT_EQ(Members(*anded), (std::vector<std::int64_t>{1}));
    auto ored = BitmapOf(20000, {});
    ored->Assign(*big);
    ored->OrWith(*small);
    EXPECT_EQ(Members(*ored), (std::vector<std::int64_t>{1, 2, 5, 9000, 19999}));
    // Equal sizes combine word by word.
    auto other = BitmapOf(20000, {5, 19999, 30});
    ored->AndWith(*other);
    EXPECT_EQ(Members(*ored), (std::vector<std::int64_t>{5, 19999}));
}

TEST(RecordsBitmap, AssignCopiesCountAndBitsAndClearsTheRest) {
    auto source = BitmapOf(40, {2, 39});
    auto target = BitmapOf(9000, {});
    target->SetAll();
    target->Assign(*source);
    EXPECT_EQ(target->RecordCount(), 40);
    EXPECT_EQ(target->WordCount(), 2);
    EXPECT_EQ(Members(*target), (std::vector<std::int64_t>{2, 39}));
    target->SetRecordCount(9000);
    EXPECT_EQ(target->CountSet(), 2);
}

TEST(RecordsBitmapStack, RecyclesClearedBitmapsOfTheSameSize) {
    TRecordsBitmapStack pool;
    std::unique_ptr<TRecordsBitmap> bitmap = pool.Get();
    bitmap->SetRecordCount(100);
    bitmap->SetAll();
    const TRecordsBitmap* first = bitmap.get();
    pool.Put(bitmap);
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(pool.Count(), 1u);
    std::unique_ptr<TRecordsBitmap> none;
    pool.Put(none);
    EXPECT_EQ(pool.Count(), 1u);
    std::unique_ptr<TRecordsBitmap> again = pool.Get();
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(again->RecordCount(), 100);
    EXPECT_EQ(again->CountSet(), 0);
    EXPECT_EQ(pool.Count(), 0u);

    std::unique_ptr<TRecordsBitmap> global = AcquireRecordsBitmap();
    ASSERT_NE(global, nullptr);
    ReleaseRecordsBitmap(global);
    EXPECT_EQ(global, nullptr);
}

}  // namespace
}  // namespace strata
