// Merging every category of a list into the default one, through the real command: each
// row is edited, looked up by address and category, and found again by its key. Addresses
// repeat across categories so that some rows merge away.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/list/list_commands.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "bench/app/list/list_bench_folder.h"

namespace {

namespace fs = std::filesystem;

void BM_MergeAllCategories(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path dir = bench_support::MakeListFolder();
        const auto answers = bench_support::AnswerYes();
        app::Settings settings;
        settings.MaintainLog = false;
        auto database = std::make_unique<app::ListDatabase>(settings, dir.string() + "/");
        database->OpenDatabase(dir.string() + "/");
        strata::TStrataTable& table = database->tblCV();
        static const char* const kCategories[] = {"news", "events", "Sales", "Default"};
        for (std::int64_t i = 0; i < count; ++i) {
            table.Append();
            // About one address in eight comes back under another category.
            const std::int64_t address = i % 8 == 7 ? i / 3 : i;
            table.FieldByName("Item")->SetAsString("member" + std::to_string(address) +
                                                   "@example.org");
            table.FieldByName("Category")->SetAsString(kCategories[i % 4]);
            table.Post();
        }
        state.ResumeTiming();

        const bool done = app::MergeAllCategories(table, {});

        state.PauseTiming();
        if (!done || table.RecordCount() == 0 || table.RecordCount() > count)
            state.SkipWithError("the merge did not complete");
        state.counters["rows_left"] = static_cast<double>(table.RecordCount());
        database.reset();
        fs::remove_all(dir);
        state.ResumeTiming();
    }
}

BENCHMARK(BM_MergeAllCategories)
    ->Arg(2'000)
    ->Arg(20'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
