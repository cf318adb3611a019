// A cursor reading its index in order steps on from where its last step found it, and numbers
// its records from there; whatever changes the index in between, it must land and count as a
// cursor that searches for its place again.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/index_tree.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;
using Bookmark = std::vector<std::uint8_t>;

class DataCursorSteps : public CursorTest {
  protected:
    // The bookmarks of every record in the order of `index`, read by a cursor of its own.
    std::vector<Bookmark> Order(std::string_view index) {
        TDataCursor& fresh = NewCursor("mailist", false);
        fresh.Open();
        fresh.SetIndexByName(index);
        std::vector<Bookmark> order;
        std::vector<std::uint8_t> buffer(fresh.GetRecordSize());
        fresh.First();
        while (fresh.GetNextRecord(buffer) == kErrNone)
            order.push_back(fresh.GetBookmark());
        fresh.Close(false);
        return order;
    }
};

// Steps forward and back, jumps and record numbers of one cursor against the order a fresh
// cursor reads, while a second cursor inserts and deletes records, the cursor itself moves
// its record within the index, and the index is switched.
TEST_F(DataCursorSteps, LandAndCountAsAFreshCursorThroughChanges) {
    std::mt19937 random(20261209);
    CreateAndOpen(ListTableDefinition(), "mailist", false).Close(false);
    TDataCursor& editor = NewCursor("mailist", false);
    editor.Open();
    const std::vector<std::string> categories = {"news", "sport", "alpha", "zeta", "mid"};
    int serial = 0;
    const auto insert = [&] {
        InsertEntry(editor, "user" + std::to_string(serial++) + "@example.org",
                    categories[random() % categories.size()], static_cast<int>(random() % 4));
    };
    for (int i = 0; i < 120; ++i)
        insert();
    TDataCursor& reader = NewCursor("mailist", false);
    reader.Open();
    std::vector<std::uint8_t> buffer(reader.GetRecordSize());
    std::string index = "ByCategory";
    reader.SetIndexByName(index);
    reader.First();
    for (int step = 0; step < 500; ++step) {
        SCOPED_TRACE("step " + std::to_string(step) + " on " + index);
        const std::vector<Bookmark> before = Order(index);
        const bool on_record = !reader.Bof() && !reader.Eof();
        const Bookmark here = reader.GetBookmark();
        const auto at = std::find(before.begin(), before.end(), here) - before.begin();
        switch (random() % 9) {
            case 0:
            case 1:
            case 2: {
                // A step forward lands on the record after this one in the present order.
                const bool read = reader.GetNextRecord(buffer) == kErrNone;
                if (on_record) {
                    const bool last = at + 1 >= static_cast<std::ptrdiff_t>(before.size());
                    EXPECT_EQ(read, !last);
                    if (read && !last) {
                        EXPECT_EQ(reader.GetBookmark(), before[static_cast<std::size_t>(at + 1)]);
                    }
                }
                break;
            }
            case 3: {
                const bool read = reader.GetPriorRecord(buffer) == kErrNone;
                if (on_record) {
                    EXPECT_EQ(read, at > 0);
                    if (read && at > 0) {
                        EXPECT_EQ(reader.GetBookmark(), before[static_cast<std::size_t>(at - 1)]);
                    }
                }
                break;
            }
            case 4:
                // Another cursor adds records before or after this one's place.
                for (int n = static_cast<int>(random() % 3) + 1; n > 0; --n)
                    insert();
                break;
            case 5: {
                // Another cursor deletes a record this one does not stand on.
                if (before.size() < 3)
                    break;
                const Bookmark doomed = before[random() % before.size()];
                if (doomed == here)
                    break;
                editor.SetIndexByName(index);
                ASSERT_TRUE(editor.GotoBookmark(doomed, false));
                std::vector<std::uint8_t> record(editor.GetRecordSize());
                ASSERT_EQ(editor.GetCurrentRecord(record, false), kErrNone);
                editor.DeleteRecord(record, false);
                break;
            }
            case 6: {
                // The cursor's own record moves within the index: its category changes.
                if (!on_record)
                    break;
                ASSERT_EQ(reader.GetCurrentRecord(buffer, false), kErrNone);
                ASSERT_EQ(reader.GetCurrentRecord(buffer, true), kErrNone);
                PutText(reader, buffer, 3, categories[random() % categories.size()]);
                reader.ModifyRecord(buffer, true, true);
                break;
            }
            case 7:
                reader.Move(static_cast<std::int64_t>(random() % 11) - 5);
                break;
            case 8:
                if (random() % 4 == 0) {
                    index = index == "ByCategory" ? "ByBounce" : "ByCategory";
                    reader.SetIndexByName(index);
                    reader.First();
                } else if (random() % 2 == 0) {
                    reader.First();
                } else {
                    reader.Last();
                }
                break;
        }
        // Wherever it stands now, its number is its place in the order a fresh cursor reads.
        const std::vector<Bookmark> after = Order(index);
        if (!reader.Bof() && !reader.Eof()) {
            const auto place = std::find(after.begin(), after.end(), reader.GetBookmark());
            ASSERT_NE(place, after.end());
            EXPECT_EQ(reader.GetRecordNumber(), place - after.begin() + 1);
        }
    }
}

// A read of every record in index order, or of every record of a range, descends the index
// once and then steps along the leaves, without a search for the key it stands on before each
// step, for its number or for the range's bounds.
TEST_F(DataCursorSteps, ASequentialReadDescendsOnce) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 2000; ++i)
        InsertEntry(c, "user" + std::to_string(i) + "@example.org", i % 2 ? "news" : "sport",
                    i % 5);
    struct Case {
        std::string_view index;
        const char* range;
        std::int64_t rows;
    };
    for (const Case& test : {Case{"", nullptr, 2000}, Case{"ByCategory", nullptr, 2000},
                             Case{"ByCategory", "news", 1000}}) {
        SCOPED_TRACE(test.index);
        c.SetIndexByName(test.index);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        if (test.range != nullptr) {
            PutText(c, buffer, 3, test.range);
            c.SetRangeKeys(false, buffer, 1, buffer, 1);
        }
        c.First();
        const std::uint64_t keys = TIndexTree::KeySearches();
        const std::uint64_t ordinals = TIndexTree::OrdinalDescents();
        std::int64_t read = 0;
        while (c.GetNextRecord(buffer) == kErrNone) {
            ++read;
            ASSERT_EQ(c.GetRecordNumber(), read);
        }
        ASSERT_EQ(read, test.rows);
        EXPECT_LE(TIndexTree::KeySearches() - keys, 2u);
        EXPECT_LE(TIndexTree::OrdinalDescents() - ordinals, 2u);
        // And back.
        const std::uint64_t back_keys = TIndexTree::KeySearches();
        const std::uint64_t back_ordinals = TIndexTree::OrdinalDescents();
        while (c.GetPriorRecord(buffer) == kErrNone) {
            ASSERT_EQ(c.GetRecordNumber(), read);
            --read;
        }
        EXPECT_EQ(read, 0);
        EXPECT_LE(TIndexTree::KeySearches() - back_keys, 2u);
        EXPECT_LE(TIndexTree::OrdinalDescents() - back_ordinals, 2u);
        if (test.range != nullptr)
            c.CancelRange();
    }
}

}  // namespace
}  // namespace strata
