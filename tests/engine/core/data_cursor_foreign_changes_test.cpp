// A cursor's next step after the row it stands on was deleted or moved by someone else: another
// program, or another cursor of this one. The walk goes on from where the row stood, in the
// order as it is now, without skipping the row that follows it.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

enum class Order { kPhysical, kPrimary, kByBounce };

constexpr int kRows = 10;

std::string ItemOf(int row) {
    return "r" + std::to_string(row) + "@x";
}

// A permutation of the rows, so that ByBounce walks them in another order than the primary
// index and the record numbers do.
std::int32_t BouncesOf(int row) {
    return (row * 7) % kRows;
}

// The rows in the walk of `order`.
std::vector<int> RowsIn(Order order) {
    std::vector<int> rows;
    for (int i = 0; i < kRows; ++i)
        rows.push_back(i);
    if (order == Order::kByBounce) {
        std::sort(rows.begin(), rows.end(),
                  [](int a, int b) { return BouncesOf(a) < BouncesOf(b); });
    }
    return rows;
}

void SelectOrder(TDataCursor& c, Order order) {
    if (order == Order::kPhysical)
        c.SetIndex(kNoIndex);
    else if (order == Order::kPrimary)
        c.SetIndex(0);
    else
        c.SetIndexByName("ByBounce");
}

// Puts the cursor on the row whose Item is `item`; false when no row has it.
bool StandOn(TDataCursor& c, const std::string& item, std::vector<std::uint8_t>& buffer) {
    c.First();
    while (c.GetNextRecord(buffer) == 0) {
        if (GetText(c, buffer, 2) == item)
            return true;
    }
    return false;
}

class ForeignChanges : public TwoPrograms {
  protected:
    void MakeRows() {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < kRows; ++i)
            InsertEntry(c, ItemOf(i), "A", BouncesOf(i));
        c.Close();
    }

    // Deletes `rows` through `other`, or gives them `new_bounces` when that is not negative.
    static bool ChangeRows(TDataCursor& other, const std::vector<int>& rows,
                           std::int32_t new_bounces) {
        other.Open();
        other.SetIndex(kNoIndex);
        std::vector<std::uint8_t> buffer(other.GetRecordSize());
        for (const int row : rows) {
            if (!StandOn(other, ItemOf(row), buffer))
                return false;
            if (new_bounces < 0) {
                other.DeleteRecord(buffer, false);
            } else {
                PutInt(other, buffer, 4, new_bounces);
                other.ModifyRecord(buffer, false, false);
            }
        }
        other.Close();
        return true;
    }

    // The other program changes `rows` (ChangeRows) and ends; its changes are flushed when it
    // does.
    void OtherProgramChanges(const std::vector<int>& rows, std::int32_t new_bounces = -1) {
        const std::string path = dir.Path().string();
        SecondProgram child([&](SecondProgram&) {
            Program program(path, false);
            return ChangeRows(*program.cursor, rows, new_bounces) ? 0 : 1;
        });
        EXPECT_EQ(child.Wait(), 0);
    }

    // The row a step gives, -1 at either end.
    static int StepRow(TDataCursor& c, bool forward) {
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        const EngineErrorCode code = forward ? c.GetNextRecord(buffer) : c.GetPriorRecord(buffer);
        if (code != 0)
            return -1;
        const std::string item = GetText(c, buffer, 2);
        return std::stoi(item.substr(1));
    }
};

struct DeleteCase {
    const char* name;
    // Positions in the walk's order: the one the cursor stands on, the ones deleted.
    int stand;
    std::vector<int> deleted;
};

// Who deleted the rows, and how the cursor learns of it: strict detection notices another
// program's change at the step's start; without it a refresh brings it in. Another cursor of
// this program changes the table the cursor shares.
enum class Deleter {
    kOtherProgramStrict,
    kOtherProgramRefreshed,
    kOtherCursorStrict,
    kOtherCursor
};

// Whoever deleted them, the step goes from the deleted row's place.
TEST_F(ForeignChanges, AStepFromADeletedRowGivesItsNeighbour) {
    const std::vector<DeleteCase> cases = {
        {"middle", 4, {4}},
        {"first", 0, {0}},
        {"last", kRows - 1, {kRows - 1}},
        {"three in a row from it", 4, {4, 5, 6}},
        {"three in a row up to it", 6, {4, 5, 6}},
        {"it and both neighbours", 5, {4, 5, 6}},
        {"all", 3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
    };
    for (const Deleter deleter : {Deleter::kOtherProgramStrict, Deleter::kOtherProgramRefreshed,
                                  Deleter::kOtherCursorStrict, Deleter::kOtherCursor}) {
        for (const Order order : {Order::kPhysical, Order::kPrimary, Order::kByBounce}) {
            for (const DeleteCase& test : cases) {
                for (const bool forward : {true, false}) {
                    SCOPED_TRACE(::testing::Message()
                                 << test.name << " by " << static_cast<int>(deleter) << " order "
                                 << static_cast<int>(order) << (forward ? " next" : " prior"));
                    MakeRows();
                    session->SetStrictChangeDetection(deleter == Deleter::kOtherProgramStrict ||
                                                      deleter == Deleter::kOtherCursorStrict);
                    TDataCursor& c = NewCursor("mailist", false);
                    c.Open();
                    SelectOrder(c, order);
                    const std::vector<int> walk = RowsIn(order);
                    std::vector<std::uint8_t> buffer(c.GetRecordSize());
                    ASSERT_TRUE(StandOn(c, ItemOf(walk[test.stand]), buffer));
                    std::vector<int> rows;
                    for (const int at : test.deleted)
                        rows.push_back(walk[at]);
                    if (deleter == Deleter::kOtherCursorStrict || deleter == Deleter::kOtherCursor)
                        ASSERT_TRUE(ChangeRows(NewCursor("mailist", false), rows, -1));
                    else
                        OtherProgramChanges(rows);
                    if (deleter == Deleter::kOtherProgramRefreshed)
                        c.Refresh();
                    // The first row of the walk past the cursor's place that still stands.
                    int expected = -1;
                    for (int at = test.stand + (forward ? 1 : -1); at >= 0 && at < kRows;
                         at += forward ? 1 : -1) {
                        if (std::find(test.deleted.begin(), test.deleted.end(), at) ==
                            test.deleted.end()) {
                            expected = walk[at];
                            break;
                        }
                    }
                    EXPECT_EQ(StepRow(c, forward), expected);
                    c.Close();
                }
            }
        }
    }
}

// The place of the deleted row is kept for the next step while the cursor stays where the
// change put it, through operations that do not move it (a count, an insert that leaves the
// cursor where it is); a cursor put elsewhere, or one that read its current row, walks from
// where it stands.
TEST_F(ForeignChanges, TheDeletedRowsPlaceLastsUntilTheCursorMovesOrReadsItsRow) {
    session->SetStrictChangeDetection(true);
    for (const char* after : {"count", "insert", "read", "first"}) {
        SCOPED_TRACE(after);
        const std::string what = after;
        MakeRows();
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        SelectOrder(c, Order::kPrimary);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        ASSERT_TRUE(StandOn(c, ItemOf(4), buffer));
        OtherProgramChanges({4});
        if (what == "count") {
            EXPECT_EQ(c.GetRecordCount(), kRows - 1);
            EXPECT_EQ(StepRow(c, true), 5);
        } else if (what == "insert") {
            InsertEntry(c, ItemOf(kRows), "A", kRows);
            EXPECT_EQ(StepRow(c, true), 5);
        } else if (what == "read") {
            // The cursor now stands on the row after, and says so.
            ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
            EXPECT_EQ(GetText(c, buffer, 2), ItemOf(5));
            EXPECT_EQ(StepRow(c, true), 6);
        } else {
            EXPECT_EQ(c.GetRecordCount(), kRows - 1);
            c.First();
            EXPECT_EQ(StepRow(c, true), 0);
            EXPECT_EQ(StepRow(c, true), 1);
        }
        c.Close();
    }
}

// Locking the current row after the other program deleted it fails as the row's change, keeps
// no lock, and leaves the walk going on from the row's place; a row changed in place is
// locked and stays current.
TEST_F(ForeignChanges, LockingTheCurrentRowAfterTheOtherProgramDeletedItFails) {
    for (const bool strict : {true, false}) {
        for (const bool deleted : {true, false}) {
            SCOPED_TRACE(::testing::Message() << strict << deleted);
            MakeRows();
            session->SetStrictChangeDetection(strict);
            TDataCursor& c = NewCursor("mailist", false);
            c.Open();
            SelectOrder(c, Order::kPrimary);
            std::vector<std::uint8_t> buffer(c.GetRecordSize());
            ASSERT_TRUE(StandOn(c, ItemOf(4), buffer));
            const std::uint32_t number = c.GetCurrentRecordNo();
            OtherProgramChanges({4}, deleted ? -1 : 50);
            if (deleted) {
                EXPECT_EQ(CodeOf([&] { c.LockRecord(0); }), kErrRecordChanged);
                EXPECT_EQ(CodeOf([&] { c.UnlockRecord(number); }), kErrUnlock);
                EXPECT_EQ(StepRow(c, true), 5);
            } else {
                c.LockRecord(0);
                ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
                EXPECT_EQ(GetInt(c, buffer, 4), 50);
                c.UnlockRecord(number);
                EXPECT_EQ(StepRow(c, true), 5);
            }
            c.Close();
        }
    }
}

// A row whose key the other program changed has left the cursor's place: the walk goes on
// from that place, and meets the row again at its new key where that lies ahead.
TEST_F(ForeignChanges, AStepFromARowTheOtherProgramMovedGoesOnFromItsOldPlace) {
    session->SetStrictChangeDetection(true);
    const std::vector<int> walk = RowsIn(Order::kByBounce);
    for (const bool forward : {true, false}) {
        for (const std::int32_t new_bounces : {100, 0}) {
            SCOPED_TRACE(::testing::Message() << forward << " to " << new_bounces);
            MakeRows();
            TDataCursor& c = NewCursor("mailist", false);
            c.Open();
            SelectOrder(c, Order::kByBounce);
            std::vector<std::uint8_t> buffer(c.GetRecordSize());
            const int moved = walk[4];
            ASSERT_TRUE(StandOn(c, ItemOf(moved), buffer));
            OtherProgramChanges({moved}, new_bounces);
            std::vector<int> rest;
            for (int row = StepRow(c, forward); row >= 0; row = StepRow(c, forward))
                rest.push_back(row);
            // The old place lies between positions 3 and 5 of the walk; the row's new key
            // (100: after every row, 0: among the first, after row 0 whose key ties by value but
            // comes first by its record) decides whether the walk meets it again.
            std::vector<int> expected;
            if (forward) {
                expected.assign(walk.begin() + 5, walk.end());
                if (new_bounces == 100)
                    expected.push_back(moved);
            } else {
                expected.assign(walk.rbegin() + kRows - 4, walk.rend());
                if (new_bounces == 0)
                    expected.insert(expected.end() - 1, moved);
            }
            EXPECT_EQ(rest, expected);
            c.Close();
        }
    }
}

// A change or a locking read through a buffer of a row the other program deleted or moved
// meets the row's change, and writes nothing: the neighbour the cursor now stands on keeps its
// values, and no lock stays behind.
TEST_F(ForeignChanges, WritesThroughARowTheOtherProgramDeletedOrMovedFail) {
    session->SetStrictChangeDetection(true);
    const std::vector<int> walk = RowsIn(Order::kByBounce);
    for (const bool moved : {false, true}) {
        for (const bool lock_first : {false, true}) {
            SCOPED_TRACE(::testing::Message() << moved << lock_first);
            MakeRows();
            TDataCursor& c = NewCursor("mailist", false);
            c.Open();
            SelectOrder(c, Order::kByBounce);
            std::vector<std::uint8_t> buffer(c.GetRecordSize());
            ASSERT_TRUE(StandOn(c, ItemOf(walk[4]), buffer));
            OtherProgramChanges({walk[4]}, moved ? 100 : -1);
            if (lock_first) {
                EXPECT_EQ(CodeOf([&] { c.GetCurrentRecord(buffer, true); }), kErrRecordChanged);
            }
            PutText(c, buffer, 3, "Changed");
            EXPECT_EQ(CodeOf([&] { c.ModifyRecord(buffer, true, false); }), kErrRecordChanged);
            EXPECT_EQ(CodeOf([&] { c.DeleteRecord(buffer, false); }), kErrRecordChanged);
            // Every row is as the other program left it, and free to lock.
            TDataCursor& check = NewCursor("mailist", false);
            check.Open();
            check.SetIndex(kNoIndex);
            std::vector<std::uint8_t> row(check.GetRecordSize());
            int rows = 0;
            check.First();
            while (check.GetNextRecord(row) == 0) {
                ++rows;
                EXPECT_EQ(GetText(check, row, 3), "A");
                EXPECT_EQ(CodeOf([&] { check.LockRecord(0); }), 0);
                check.UnlockRecord(0);
            }
            EXPECT_EQ(rows, moved ? kRows : kRows - 1);
            check.Close();
            // The walk still goes on from the row's old place.
            EXPECT_EQ(StepRow(c, true), walk[5]);
            c.Close();
        }
    }
}

}  // namespace
}  // namespace strata
