// Exporting a list table of up to 100,000 records as a page, and up to the worksheet's limit
// as a worksheet: the time, and the heap the export takes beyond what the grid already holds,
// which must not grow with the row count because the writers stream.

#include <benchmark/benchmark.h>

#include <QApplication>

#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/grid/list_database.h"
#include "engine/dataset/strata_session.h"
#include "engine/dataset/strata_table.h"
#include "grid/data/db_grid.h"
#include "grid/export/export_excel.h"
#include "grid/export/export_html.h"
#include "platform/db/data_source.h"

namespace {

using bench_support::ListDatabase;

// Samples the heap in use every few rows, so the peak of the export shows.
template <class Writer>
struct Sampling : Writer {
    std::size_t peak = 0;
    void WriteNode(grid::TgxTreeListNode* node) override {
        Writer::WriteNode(node);
        if (this->RowIndex % 512 == 0)
            peak = std::max(peak, mallinfo2().uordblks);
    }
};

template <class Writer>
void BM_Export(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const bool load_all = state.range(1) != 0;
    ListDatabase db("Export", rows);
    auto grid = std::make_unique<grid::TgxDBGrid>();
    grid->resize(640, 480);
    grid->setAttribute(Qt::WA_DontShowOnScreen);
    grid->show();
    for (const char* field : {"Index", "Item", "Category", "Bounces", "Comments"}) {
        auto* c = grid->CreateColumn(grid::ColumnClassOf<grid::TgxDBGridColumn>());
        c->SetFieldName(field);
    }
    grid->SetKeyField("Index");
    grid->SetPartialLoad(!load_all);
    if (load_all)
        grid->SetOptions(grid->Options() | grid::egoLoadAllRecords);
    grid->SetDataSource(db.source.get());
    const std::string file = (db.folder / "list.out").string();
    const bool over_limit = state.range(2) != 0;
    std::size_t growth = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        Sampling<Writer> exporter;
        exporter.Grid = grid.get();
        exporter.SaveAll = true;
        exporter.FileName = file;
        try {
            exporter.SaveToFile();
        } catch (const grid::EgxExportError& e) {
            // A list longer than the format holds must be refused with a reason.
            if (!over_limit)
                state.SkipWithError(e.what());
            state.counters["refused"] = 1;
            continue;
        }
        if (over_limit)
            state.SkipWithError("a list beyond the worksheet's limit was written");
        growth = std::max(growth, exporter.peak > before ? exporter.peak - before : 0);
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["export_heap_peak_kb"] = static_cast<double>(growth) / 1024.0;
    state.counters["max_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::error_code no_file;
    const auto size = std::filesystem::file_size(file, no_file);
    state.counters["file_mb"] = no_file ? 0.0 : static_cast<double>(size) / (1024.0 * 1024.0);
    state.counters["rows"] = rows;
    grid->SetDataSource(nullptr);
}

// Arguments: rows, load-all (1) or partial loading (0) as the application's list runs, and
// whether the rows lie beyond the format's limit (1: the export must be refused). A
// worksheet holds 16,384 rows with the heading row, so the largest list it takes stands in
// for 100,000 there; one more record is refused.
constexpr std::int64_t kWorksheetRecords = 16383;
BENCHMARK_TEMPLATE(BM_Export, grid::TgxDBGridExportExcel)
    ->Args({10000, 0, 0})
    ->Args({kWorksheetRecords, 0, 0})
    ->Args({kWorksheetRecords, 1, 0})
    ->Args({kWorksheetRecords + 1, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_TEMPLATE(BM_Export, grid::TgxDBGridExportHTML)
    ->Args({10000, 0, 0})
    ->Args({100000, 0, 0})
    ->Args({100000, 1, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
