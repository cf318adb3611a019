#include "engine/core/record_cache_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace strata {
namespace {

std::unique_ptr<TRecord> Numbered(std::uint32_t n) {
    auto record = std::make_unique<TRecord>(nullptr);
    record->SetRecordNumber(n);
    return record;
}

// Every number the model holds is found as that very record, no other
// number is, and the table's invariants hold.
void ExpectSameAs(const TRecordCacheTable& table, const std::map<std::uint32_t, TRecord*>& model,
                  std::uint32_t highest) {
    table.CheckInvariants();
    ASSERT_EQ(table.Size(), model.size());
    for (std::uint32_t n = 1; n <= highest; ++n) {
        const auto it = model.find(n);
        ASSERT_EQ(table.Find(n), it == model.end() ? nullptr : it->second) << n;
    }
    std::size_t visited = 0;
    table.ForEach([&](TRecord& record) {
        ++visited;
        EXPECT_EQ(model.at(record.RecordNumber()), &record);
    });
    EXPECT_EQ(visited, model.size());
}

// Random inserts and removals against a map, for runs of numbers, strides
// and scattered numbers (their probe runs cluster differently, and some wrap
// past the table's end); the table grows, shrinks and empties on the way.
TEST(RecordCacheTable, MatchesAMapThroughGrowthRemovalAndShrinking) {
    struct Pattern {
        const char* what;
        std::uint32_t stride;
        std::uint32_t span;
    };
    for (const Pattern& pattern :
         {Pattern{"consecutive", 1, 600}, Pattern{"stride 64", 64, 600},
          Pattern{"stride 1024", 1024, 300}, Pattern{"scattered", 7919, 600}}) {
        SCOPED_TRACE(pattern.what);
        TRecordCacheTable table;
        std::map<std::uint32_t, TRecord*> model;
        std::mt19937 random(42);
        const auto number = [&](std::uint32_t k) { return 1 + k * pattern.stride; };
        const std::uint32_t highest = number(pattern.span);
        for (int round = 0; round < 4000; ++round) {
            const std::uint32_t n = number(random() % pattern.span);
            // Grow towards half the span, then drain.
            const bool insert = round < 2500 ? random() % 3 != 0 : random() % 3 == 0;
            if (insert && model.count(n) == 0) {
                TRecord* raw = table.Insert(Numbered(n));
                EXPECT_EQ(raw->RecordNumber(), n);
                model[n] = raw;
            } else if (!insert) {
                std::unique_ptr<TRecord> taken = table.Remove(n);
                const auto it = model.find(n);
                ASSERT_EQ(taken.get(), it == model.end() ? nullptr : it->second);
                if (it != model.end())
                    model.erase(it);
            }
            if (round % 500 == 0) {
                ExpectSameAs(table, model, highest);
                table.ShrinkTo(0);
                ExpectSameAs(table, model, highest);
            }
        }
        ExpectSameAs(table, model, highest);
        std::size_t handed = 0;
        table.RemoveAll([&](std::unique_ptr<TRecord> record) {
            ++handed;
            EXPECT_EQ(model.count(record->RecordNumber()), 1u);
        });
        EXPECT_EQ(handed, model.size());
        model.clear();
        ExpectSameAs(table, model, highest);
        table.Release();
        EXPECT_EQ(table.SlotCount(), 0u);
        EXPECT_EQ(table.Find(1), nullptr);
        EXPECT_EQ(table.Remove(1), nullptr);
    }
}

// The table never fills beyond half, so probe runs stay short; a reserve
// made ahead keeps inserts from moving records again.
TEST(RecordCacheTable, StaysAtMostHalfFullAndReservesAhead) {
    TRecordCacheTable table;
    table.Reserve(1000);
    const std::size_t reserved = table.SlotCount();
    EXPECT_GE(reserved, 2000u);
    std::vector<TRecord*> records;
    for (std::uint32_t n = 1; n <= 1000; ++n)
        records.push_back(table.Insert(Numbered(n)));
    EXPECT_EQ(table.SlotCount(), reserved);
    table.Insert(Numbered(5000));
    EXPECT_GE(table.SlotCount(), 2 * table.Size());
    for (std::uint32_t n = 1; n <= 1000; ++n)
        ASSERT_EQ(table.Find(n), records[n - 1]);
    for (std::uint32_t n = 1; n <= 990; ++n)
        table.Remove(n);
    table.ShrinkTo(0);
    EXPECT_LT(table.SlotCount(), reserved);
    EXPECT_GE(table.SlotCount(), 2 * table.Size());
    EXPECT_EQ(table.Find(995), records[994]);
    EXPECT_NE(table.Find(5000), nullptr);
    table.CheckInvariants();
}

}  // namespace
}  // namespace strata
