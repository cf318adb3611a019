// What reading a list costs the engine's index for each row the grid takes in, in every load
// mode, and that the rows so read show the table through edits, deletes and another
// program's changes.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/index_tree.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

// Index descents from a root, by key and by ordinal, since construction, per row.
struct Searches {
    std::uint64_t by_key = strata::TIndexTree::KeySearches();
    std::uint64_t by_ordinal = strata::TIndexTree::OrdinalDescents();
    double PerRow(int rows) const {
        const std::uint64_t spent = strata::TIndexTree::KeySearches() - by_key +
                                    strata::TIndexTree::OrdinalDescents() - by_ordinal;
        return static_cast<double>(spent) / std::max(1, rows);
    }
};

struct ListGrid : GridHarness {
    StrataList db;
    explicit ListGrid(int rows, TgxDBGridOptions extra, bool partial) : db(rows) {
        Column("Index");
        Column("Item");
        Column("Category");
        grid->SetKeyField("Index");
        grid->SetOptions(grid->Options() | extra);
        grid->SetPartialLoad(partial);
    }
    // Key and address of every record, in the table's order, read by a table of its own.
    std::vector<std::pair<int, std::string>> TableRows() {
        strata::TStrataTable& reader = db.NewTable();
        reader.Open();
        std::vector<std::pair<int, std::string>> rows;
        for (reader.First(); !reader.Eof(); reader.Next())
            rows.emplace_back(reader.FieldByName("Index")->AsInteger(),
                              reader.FieldByName("Item")->AsString());
        reader.Close();
        return rows;
    }
    std::vector<std::pair<int, std::string>> GridRows() {
        std::vector<std::pair<int, std::string>> rows;
        grid->RebuildVisibleNodeCache();
        for (int i = 0; i < grid->GetAbsoluteCount(); ++i) {
            auto* row = static_cast<TgxDBGridNode*>(grid->GetAbsoluteNode(i));
            rows.emplace_back(row->Key.AsInteger(), grid->GetCellText(row, 1));
        }
        return rows;
    }
    int FocusedKey() {
        auto* row = static_cast<TgxDBGridNode*>(grid->GetFocusedNode());
        return row != nullptr ? row->Key.AsInteger() : -1;
    }
};

// Reading a row costs one descent of the index (to the entry after the last one read), not a
// search for the key the table stood on before each step and another for its number.
TEST(GridRowReads, EachLoadModeDescendsTheIndexOncePerRow) {
    constexpr int kRows = 3000;
    {
        SCOPED_TRACE("load-all");
        ListGrid g(kRows, egoLoadAllRecords, false);
        const Searches s;
        g.grid->SetDataSource(g.db.source.get());
        ASSERT_EQ(g.grid->Count(), kRows);
        EXPECT_LT(s.PerRow(kRows), 1.1);
    }
    {
        SCOPED_TRACE("partial");
        ListGrid g(kRows, 0, true);
        g.grid->SetDataSource(g.db.source.get());
        const Searches s;
        for (int window = 0; !g.grid->EndRead() && window < kRows; ++window)
            g.grid->SetTopIndex(g.grid->Count());
        ASSERT_TRUE(g.grid->EndRead());
        ASSERT_EQ(g.grid->Count(), kRows);
        EXPECT_LT(s.PerRow(kRows), 1.2);
    }
    {
        SCOPED_TRACE("buffer");
        ListGrid g(kRows, 0, false);
        g.grid->SetDataSource(g.db.source.get());
        ASSERT_TRUE(g.grid->IsBufferMode());
        const Searches s;
        while (!g.db.Table().Eof())
            g.db.Table().Next();
        EXPECT_LT(s.PerRow(kRows), 1.1);
    }
}

// Random edits, deletes and inserts by the grid's table and by another program's table: the
// rows show the table in its order, and the focus stays on the table's current record.
TEST(GridRowReads, RowsShowTheTableThroughEditsDeletesAndAnotherProgramsChanges) {
    for (const bool partial : {false, true}) {
        SCOPED_TRACE(partial ? "partial" : "load-all");
        std::mt19937 random(partial ? 7 : 11);
        ListGrid g(400, partial ? 0 : egoLoadAllRecords, partial);
        g.grid->SetDataSource(g.db.source.get());
        strata::TStrataTable& table = g.db.Table();
        strata::TStrataTable& other = g.db.NewTable();
        other.Open();
        for (int round = 0; round < 40; ++round) {
            SCOPED_TRACE(round);
            const int count = static_cast<int>(g.TableRows().size());
            table.First();
            table.MoveBy(static_cast<int>(random() % static_cast<unsigned>(count)));
            switch (random() % 5) {
                case 0:
                    table.Edit();
                    table.FieldByName("Item")->SetAsString("edited" + std::to_string(round));
                    table.Post();
                    break;
                case 1:
                    table.Delete();
                    break;
                case 2:
                    // As an import adds entries: with the controls held.
                    table.DisableControls();
                    table.Append();
                    table.FieldByName("Item")->SetAsString("new" + std::to_string(round));
                    table.Post();
                    table.EnableControls();
                    break;
                default: {
                    // Another program deletes a few records and adds one; the grid hears of
                    // it when its table is refreshed.
                    for (int n = 0; n < 3; ++n) {
                        other.First();
                        other.MoveBy(static_cast<int>(random() % static_cast<unsigned>(count - 5)));
                        other.Delete();
                    }
                    other.Append();
                    other.FieldByName("Item")->SetAsString("other" + std::to_string(round));
                    other.Post();
                    table.Refresh();
                    break;
                }
            }
            const std::vector<std::pair<int, std::string>> expected = g.TableRows();
            const std::vector<std::pair<int, std::string>> shown = g.GridRows();
            ASSERT_FALSE(shown.empty());
            if (partial) {
                // A window: a run of the table's rows.
                const auto first = std::find(expected.begin(), expected.end(), shown.front());
                ASSERT_NE(first, expected.end());
                ASSERT_LE(static_cast<std::size_t>(expected.end() - first), expected.size());
                ASSERT_GE(expected.end() - first, static_cast<std::ptrdiff_t>(shown.size()));
                EXPECT_TRUE(std::equal(shown.begin(), shown.end(), first));
            } else {
                EXPECT_EQ(shown, expected);
            }
            EXPECT_EQ(g.FocusedKey(), table.FieldByName("Index")->AsInteger());
        }
    }
}

// A load in slices shows the first screens at once and reads the rest from the event loop:
// a move to a record not read yet reads the rest at once, a reload starts it again and reads
// at once as far as the focused record, a sort mark orders every row once all are in, and a
// grid closed meanwhile leaves nothing behind.
TEST(GridRowReads, LoadInSlicesEndsWithEveryRowInOrder) {
    constexpr int kRows = 6000;
    auto wait = [](TgxDBGrid& grid) {
        while (grid.LoadingInBackground())
            QCoreApplication::processEvents();
    };
    ListGrid g(kRows, egoLoadAllRecords, false);
    g.grid->SetLoadInSlices(true);
    g.grid->SetDataSource(g.db.source.get());
    ASSERT_TRUE(g.grid->LoadingInBackground());
    EXPECT_LT(g.grid->Count(), kRows);
    EXPECT_EQ(g.FocusedKey(), 1);
    strata::TStrataTable& table = g.db.Table();
    table.Last();
    EXPECT_FALSE(g.grid->LoadingInBackground());
    EXPECT_EQ(g.FocusedKey(), kRows);
    table.Edit();
    table.FieldByName("Item")->SetAsString("edited");
    table.Post();
    EXPECT_FALSE(g.grid->LoadingInBackground());
    EXPECT_EQ(g.GridRows(), g.TableRows());
    EXPECT_EQ(g.FocusedKey(), kRows);
    table.First();
    g.grid->GetColumn(0)->SetSorted(csDown);
    g.grid->ReloadAll();
    ASSERT_TRUE(g.grid->LoadingInBackground());
    wait(*g.grid);
    std::vector<std::pair<int, std::string>> expected = g.TableRows();
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(g.GridRows(), expected);
    EXPECT_EQ(g.FocusedKey(), 1);
    g.grid->ReloadAll();
    g.grid.reset();
    QCoreApplication::processEvents();
}

// Each slice adds its rows to the display order the slices before made: after every slice
// the order shown is the rows' own, each row found at its place.
TEST(GridRowReads, EachSliceExtendsTheDisplayOrderOfTheRowsBefore) {
    ListGrid g(6000, egoLoadAllRecords, false);
    g.grid->SetLoadInSlices(true);
    g.grid->SetDataSource(g.db.source.get());
    int slices = 0;
    for (; g.grid->LoadingInBackground(); ++slices) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ASSERT_TRUE(g.grid->VisibleNodeCacheValid());
        ASSERT_EQ(g.grid->GetAbsoluteCount(), g.grid->Count());
        for (int i = 0; i < g.grid->Count(); ++i) {
            ASSERT_EQ(g.grid->GetAbsoluteNode(i), g.grid->Items(i));
            ASSERT_EQ(g.grid->GetAbsoluteIndex(g.grid->Items(i)), i);
        }
    }
    EXPECT_GT(slices, 1);
    EXPECT_EQ(g.GridRows(), g.TableRows());
}

}  // namespace
}  // namespace grid::testing
