// The data-aware grid over Strata list tables of growing size: the first painted screen and
// the jump to the last row in partial-load mode, records read per page step, loading
// everything grouped by category (time and memory per row), loading the rows of one category
// through a filter, sorting every loaded row, and reading a sorted grid again.

#include <benchmark/benchmark.h>

// Ahead of Qt, whose keyword macros (slots) would rewrite the engine's names.
#include "engine/core/index_tree.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <malloc.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "bench/grid/list_database.h"
#include "engine/dataset/strata_session.h"
#include "engine/dataset/strata_table.h"
#include "grid/data/db_grid.h"
#include "grid/export/export_html.h"
#include "platform/db/data_source.h"

namespace {

using bench_support::ListDatabase;

// One list table per size, made once and kept for every benchmark of that size.
ListDatabase& Database(int rows) {
    static std::map<int, std::unique_ptr<ListDatabase>> databases;
    auto& slot = databases[rows];
    if (!slot)
        slot = std::make_unique<ListDatabase>("Grid", rows);
    return *slot;
}

std::unique_ptr<grid::TgxDBGrid> MakeGrid(bool partial) {
    auto grid = std::make_unique<grid::TgxDBGrid>();
    grid->resize(640, 480);
    grid->setAttribute(Qt::WA_DontShowOnScreen);
    grid->show();
    for (const char* field : {"Index", "Item", "Category", "Bounces"}) {
        auto* c = grid->CreateColumn(grid::ColumnClassOf<grid::TgxDBGridColumn>());
        c->SetFieldName(field);
    }
    grid->SetKeyField("Index");
    grid->SetPartialLoad(partial);
    return grid;
}

void Paint(grid::TgxDBGrid& grid) {
    QImage image(grid.viewport()->size(), QImage::Format_RGB32);
    QPainter painter(&image);
    ui::TCanvas canvas(painter);
    grid.Paint(canvas);
}

// From binding the grid to the table to the first painted screen, then the jump to the last
// row and its screen.
void BM_PartialLoadFirstScreen(benchmark::State& state) {
    ListDatabase& db = Database(static_cast<int>(state.range(0)));
    std::int64_t read = 0;
    for (auto _ : state) {
        db.table->First();
        auto grid = MakeGrid(true);
        grid->SetDataSource(db.source.get());
        Paint(*grid);
        read = grid->RecordsRead();
        state.PauseTiming();
        grid->SetDataSource(nullptr);
        grid.reset();
        state.ResumeTiming();
    }
    state.counters["records_read"] = static_cast<double>(read);
}

void BM_PartialLoadJumpToLast(benchmark::State& state) {
    ListDatabase& db = Database(static_cast<int>(state.range(0)));
    db.table->First();
    auto grid = MakeGrid(true);
    grid->SetDataSource(db.source.get());
    for (auto _ : state) {
        db.table->Last();
        Paint(*grid);
        state.PauseTiming();
        db.table->First();
        state.ResumeTiming();
    }
    grid->SetDataSource(nullptr);
}

// The jump to the last row of a list whose first record is selected (as the focused row is
// after any key with multi-select): the window stretches over every record back to the
// selected one, so the time per record read shows whether rows are placed in linear time.
void BM_PartialLoadJumpToLastOverASelection(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    db.table->First();
    auto grid = MakeGrid(true);
    grid->SetOptions(grid->Options() | grid::egoMultiSelect);
    grid->SetDataSource(db.source.get());
    for (auto _ : state) {
        state.PauseTiming();
        db.table->First();
        grid->ClearSelection();
        grid->SelectNode(grid->GetFocusedNode(), true);
        state.ResumeTiming();
        db.table->Last();
        Paint(*grid);
    }
    state.counters["rows_loaded"] = grid->Count();
    state.counters["seconds_per_row"] = benchmark::Counter(
        static_cast<double>(rows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    grid->SetDataSource(nullptr);
}

// Records read for each page scrolled down from the first row.
void BM_PartialLoadPageSteps(benchmark::State& state) {
    ListDatabase& db = Database(static_cast<int>(state.range(0)));
    constexpr int kPages = 200;
    double per_page = 0;
    double worst_step = 0;
    for (auto _ : state) {
        db.table->First();
        auto grid = MakeGrid(true);
        grid->SetDataSource(db.source.get());
        const std::int64_t start = grid->RecordsRead();
        for (int page = 1; page <= kPages; ++page) {
            const std::int64_t before = grid->RecordsRead();
            grid->SetTopIndex(grid->GetTopIndex() + grid->GetVisibleRowCount());
            Paint(*grid);
            worst_step = std::max(worst_step, static_cast<double>(grid->RecordsRead() - before));
        }
        per_page = static_cast<double>(grid->RecordsRead() - start) / kPages;
        grid->SetDataSource(nullptr);
    }
    state.counters["records_per_page"] = per_page;
    state.counters["worst_page_step"] = worst_step;
}

// Every record under category group rows, with a count per group.
void BM_LoadAllGroupedByCategory(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    double bytes_per_row = 0;
    for (auto _ : state) {
        db.table->First();
        const std::size_t before = mallinfo2().uordblks;
        auto grid = MakeGrid(true);
        grid->ColumnByFieldName("Category")->SetSummaryType(grid::cstCount);
        grid->SetDataSource(db.source.get());
        grid->ColumnByFieldName("Category")->SetGroupIndex(0);
        Paint(*grid);
        const std::size_t after = mallinfo2().uordblks;
        bytes_per_row = (static_cast<double>(after) - static_cast<double>(before)) / rows;
        state.PauseTiming();
        grid->SetDataSource(nullptr);
        grid.reset();
        state.ResumeTiming();
    }
    state.counters["bytes_per_row"] = bytes_per_row;
    state.counters["seconds_per_row"] = benchmark::Counter(
        static_cast<double>(rows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A header click on the address column of a grid holding every record: the rows sorted by
// their texts in the user's collation, and back.
void BM_SortLoadedRowsByAddress(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    db.table->First();
    auto grid = MakeGrid(false);
    grid->SetOptions(grid->Options() | grid::egoLoadAllRecords);
    grid->SetDataSource(db.source.get());
    grid::TgxDBTreeListColumn* item = grid->ColumnByFieldName("Item");
    for (auto _ : state)
        grid->DoHeaderClick(item->GetIndex());
    grid->SetDataSource(nullptr);
}

// The category filter of the main window over a grid holding every record: the grid reads
// the fifth of the list that passes, and every row it reads asks its number in the view.
void BM_LoadAllUnderACategoryFilter(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    for (auto _ : state) {
        db.table->SetFilter("Category = 'news*'");
        db.table->SetFiltered(true);
        db.table->First();
        auto grid = MakeGrid(false);
        grid->SetOptions(grid->Options() | grid::egoLoadAllRecords);
        grid->SetDataSource(db.source.get());
        Paint(*grid);
        state.PauseTiming();
        grid->SetDataSource(nullptr);
        grid.reset();
        db.table->SetFiltered(false);
        state.ResumeTiming();
    }
    state.counters["seconds_per_row"] = benchmark::Counter(
        static_cast<double>(rows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A grid holding every record, sorted so that the current record's row stands near the
// end, read again as after a change of the list: placing the view on that row again counted
// the rows before it one sibling search at a time.
void BM_ReloadWithTheFocusDeepInASortedGrid(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    db.table->First();
    auto grid = MakeGrid(false);
    grid->SetOptions(grid->Options() | grid::egoLoadAllRecords);
    grid->SetDataSource(db.source.get());
    grid->ColumnByFieldName("Index")->SetSorted(grid::csDown);
    db.table->First();
    for (auto _ : state)
        grid->ReloadNodes();
    state.counters["focused_row"] = grid->GetAbsoluteIndex(grid->GetFocusedNode());
    grid->SetDataSource(nullptr);
}

// The index searches a read of every row took, per row: by key and in all (by ordinal too).
struct IndexSearches {
    std::uint64_t by_key = strata::TIndexTree::KeySearches();
    std::uint64_t by_ordinal = strata::TIndexTree::OrdinalDescents();
    void Report(benchmark::State& state, std::int64_t rows) const {
        const auto keys = static_cast<double>(strata::TIndexTree::KeySearches() - by_key);
        const auto ordinals =
            static_cast<double>(strata::TIndexTree::OrdinalDescents() - by_ordinal);
        const auto per = static_cast<double>(std::max<std::int64_t>(1, rows));
        state.counters["key_searches_per_row"] = keys / per;
        state.counters["searches_per_row"] = (keys + ordinals) / per;
    }
};

// Every record of the list read into the grid as the application's main window does once it
// loads everything: from binding the grid to the first painted screen.
void BM_LoadAllRows(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    for (auto _ : state) {
        db.table->First();
        auto grid = MakeGrid(false);
        grid->SetOptions(grid->Options() | grid::egoLoadAllRecords);
        const IndexSearches searches;
        grid->SetDataSource(db.source.get());
        Paint(*grid);
        searches.Report(state, grid->Count());
        state.PauseTiming();
        grid->SetDataSource(nullptr);
        grid.reset();
        state.ResumeTiming();
    }
    state.counters["seconds_per_row"] = benchmark::Counter(
        static_cast<double>(rows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Every record read in slices from the event loop, as the main window reads a long list: the
// processor time until the last slice is in (the event loop's idle waits between slices cost
// none of it).
void BM_LoadAllRowsInSlices(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    for (auto _ : state) {
        db.table->First();
        auto grid = MakeGrid(false);
        grid->SetOptions(grid->Options() | grid::egoLoadAllRecords);
        grid->SetLoadInSlices(true);
        grid->SetDataSource(db.source.get());
        Paint(*grid);
        while (grid->LoadingInBackground())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (grid->Count() != rows)
            state.SkipWithError("not every row was read");
        state.PauseTiming();
        grid->SetDataSource(nullptr);
        grid.reset();
        state.ResumeTiming();
    }
}

// Every record read into a partial-load grid window by window, scrolled to the end of what is
// loaded until the end of the list is read.
void BM_PartialLoadEveryRow(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    for (auto _ : state) {
        db.table->First();
        auto grid = MakeGrid(true);
        const IndexSearches searches;
        grid->SetDataSource(db.source.get());
        for (int window = 0; !grid->EndRead() && window < rows; ++window)
            grid->SetTopIndex(grid->Count());
        Paint(*grid);
        searches.Report(state, grid->Count());
        state.counters["rows_loaded"] = grid->Count();
        state.PauseTiming();
        grid->SetDataSource(nullptr);
        grid.reset();
        state.ResumeTiming();
    }
}

// Every record shown by a buffer-mode grid, a page at a time from the first to the last.
void BM_BufferModeEveryRow(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ListDatabase& db = Database(rows);
    db.table->First();
    auto grid = MakeGrid(false);
    grid->SetDataSource(db.source.get());
    for (auto _ : state) {
        state.PauseTiming();
        db.table->First();
        state.ResumeTiming();
        const IndexSearches searches;
        const int page = std::max(1, grid->GetVisibleRowCount());
        while (!db.table->Eof()) {
            db.table->MoveBy(page);
            Paint(*grid);
        }
        searches.Report(state, rows);
    }
    grid->SetDataSource(nullptr);
}

// Walks over every row of a grid holding 100,000 (load-all, multi-select, grouped where the
// walk needs group rows) that do not go through the display order: each step to the next row
// looked its row up among its siblings, so that a walk took time by the square of the rows.
enum Walk {
    kSelectEveryRow,        // Shift+click from the first row to the last
    kExportTheSelection,    // the selected rows written out, in tree order
    kFindTheLastRow,        // a text search from the top that matches the last row only
    kCollapseAndExpandAll,  // every group of a two-level grouping, collapsed and expanded
    kTreeOrderWalk,         // row after row in tree order, with no display order built
    kSortWithTheFocusLast,  // a header click with the focus on the last row
};

void BM_WalkEveryRow(benchmark::State& state) {
    const auto walk = static_cast<Walk>(state.range(0));
    const int rows = static_cast<int>(state.range(1));
    ListDatabase& db = Database(rows);
    db.table->First();
    auto grid = MakeGrid(false);
    grid->SetOptions(grid->Options() | grid::egoLoadAllRecords | grid::egoMultiSelect);
    grid->SetDataSource(db.source.get());
    if (walk == kCollapseAndExpandAll) {
        grid->ColumnByFieldName("Category")->SetGroupIndex(0);
        grid->ColumnByFieldName("Bounces")->SetGroupIndex(1);
    }
    const std::string file = (db.folder / "walk.html").string();
    grid::TgxDBTreeListColumn* item = grid->ColumnByFieldName("Item");
    const std::string last_item = "user" + std::to_string(rows) + "@";
    for (auto _ : state) {
        state.PauseTiming();
        grid->RebuildVisibleNodeCache();
        grid::TgxTreeListNode* first = grid->GetAbsoluteNode(0);
        grid::TgxTreeListNode* last = grid->GetAbsoluteNode(grid->GetAbsoluteCount() - 1);
        grid->ClearSelection();
        if (walk == kExportTheSelection)
            grid->SelectRange(first, last);
        // Walks that run inside an update (loading, regrouping) have no display order.
        grid->ClearCaches();
        state.ResumeTiming();
        switch (walk) {
            case kSelectEveryRow:
                grid->SelectRange(first, last);
                break;
            case kExportTheSelection:
                grid::ExportGridToHTML(grid.get(), file, false);
                break;
            case kFindTheLastRow: {
                grid::TgxTreeListNode* found = first;
                if (!grid->FindNodeByText(item, last_item, found, false, false))
                    state.SkipWithError("the last row was not found");
                break;
            }
            case kCollapseAndExpandAll:
                for (int i = 0; i < grid->Count(); ++i)
                    grid->Items(i)->Collapse(true);
                for (int i = 0; i < grid->Count(); ++i)
                    grid->Items(i)->Expand(true);
                break;
            case kTreeOrderWalk: {
                std::int64_t seen = 0;
                for (grid::TgxTreeListNode* n = first; n != nullptr; n = n->GetNext())
                    ++seen;
                benchmark::DoNotOptimize(seen);
                break;
            }
            case kSortWithTheFocusLast:
                grid->SetFocusedNode(last);
                grid->DoHeaderClick(item->GetIndex());
                break;
        }
    }
    state.counters["selected"] = grid->GetSelectedCount();
    grid->SetDataSource(nullptr);
}

BENCHMARK(BM_WalkEveryRow)
    ->ArgsProduct({{kSelectEveryRow, kExportTheSelection, kFindTheLastRow, kCollapseAndExpandAll,
                    kTreeOrderWalk, kSortWithTheFocusLast},
                   {10000, 100000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_LoadAllRows)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LoadAllRowsInSlices)
    ->Arg(100000)
    ->Arg(400000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_PartialLoadEveryRow)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_BufferModeEveryRow)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_PartialLoadFirstScreen)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PartialLoadJumpToLast)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PartialLoadJumpToLastOverASelection)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_PartialLoadPageSteps)->Arg(1000)->Arg(100000)->Iterations(1);
BENCHMARK(BM_LoadAllUnderACategoryFilter)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_LoadAllGroupedByCategory)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReloadWithTheFocusDeepInASortedGrid)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(BM_SortLoadedRowsByAddress)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
