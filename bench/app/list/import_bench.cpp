// Importing a single-column file of addresses into an empty list opened exclusively,
// through the real import road (file decoding, lines, the entry routine, the engine).
// The cost per address is reported so that 10,000 and 100,000 addresses can be compared.

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "app/list/delimited_text.h"
#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/import_file.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "bench/app/list/list_bench_folder.h"

namespace {

namespace fs = std::filesystem;

// One address a line, spread over 97 domains, as a club's list looks.
void WriteAddresses(const fs::path& file, std::int64_t count) {
    std::ofstream out(file, std::ios::binary);
    for (std::int64_t i = 0; i < count; ++i)
        out << "member" << i << "@example" << (i % 97) << ".org\r\n";
}

void BM_ImportSingleColumn(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path dir = bench_support::MakeListFolder();
        WriteAddresses(dir / "list.txt", count);
        const auto answers = bench_support::AnswerYes();
        app::Settings settings;
        settings.MaintainLog = false;
        app::ErrorsList errors;
        auto database = std::make_unique<app::ListDatabase>(settings, dir.string() + "/");
        database->OpenDatabase(dir.string() + "/");
        app::EntryProcessor entries(*database, settings, errors);
        state.ResumeTiming();

        app::ImportRequest request;
        request.caption = app::ImportCaption((dir / "list.txt").string());
        request.category = "news";
        auto lines = app::ImportLines(app::ReadImportFile((dir / "list.txt").string()));
        std::int64_t processed = app::Importfile(entries, lines, request, {});
        database->SaveDatabase();

        state.PauseTiming();
        if (processed != count || database->tblCV().RecordCount() != count)
            state.SkipWithError("not every address was imported");
        database.reset();
        fs::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["s_per_address"] = benchmark::Counter(
        static_cast<double>(count), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ImportSingleColumn)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double CpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The same file imported by the sqlite3 shell in the same run, as the reference: into a
// table with the list table's fields and indexes, each address looked for under its
// category first as the list's duplicate check does, with one comment text per import.
void BM_ImportBesideSqliteShell(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    double ours = 0;
    double shell = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path dir = bench_support::MakeListFolder();
        const std::string file = (dir / "list.txt").string();
        WriteAddresses(file, count);
        const auto answers = bench_support::AnswerYes();
        app::Settings settings;
        settings.MaintainLog = false;
        app::ErrorsList errors;
        auto database = std::make_unique<app::ListDatabase>(settings, dir.string() + "/");
        database->OpenDatabase(dir.string() + "/");
        app::EntryProcessor entries(*database, settings, errors);
        state.ResumeTiming();

        const double before = CpuSeconds(RUSAGE_SELF);
        app::ImportRequest request;
        request.caption = app::ImportCaption(file);
        request.category = "news";
        const std::int64_t processed =
            app::Importfile(entries, app::ImportLines(app::ReadImportFile(file)), request, {});
        database->SaveDatabase();
        ours += CpuSeconds(RUSAGE_SELF) - before;

        state.PauseTiming();
        const bool complete = processed == count && database->tblCV().RecordCount() == count;
        database.reset();
        {
            std::ofstream script(dir / "import.sql");
            script << "CREATE TABLE list(\"Index\" INTEGER PRIMARY KEY, Item TEXT COLLATE NOCASE,"
                      " Category TEXT COLLATE NOCASE, Bounces INTEGER, Comments TEXT, Name TEXT,"
                      " Salutation TEXT, SendRights INTEGER);\n"
                      "CREATE INDEX ByCategory ON list(Category);\n"
                      "CREATE INDEX ByBounce ON list(Bounces);\n"
                      "CREATE INDEX ByItem ON list(Item);\n"
                      "CREATE TABLE lines(c1 TEXT);\n"
                      ".mode csv\n.import '"
                   << file
                   << "' lines\n"
                      "INSERT INTO list(Item, Category, Bounces, Comments, Name, Salutation,"
                      " SendRights) SELECT trim(c1), 'news', 0, 'Import of entries at ' ||"
                      " datetime('now'), '', '', 1 FROM lines WHERE NOT EXISTS (SELECT 1 FROM"
                      " list WHERE Item = trim(c1) AND Category = 'news');\n";
        }
        const std::string command = "sqlite3 '" + (dir / "reference.db").string() + "' < '" +
                                    (dir / "import.sql").string() + "' > /dev/null 2>&1";
        const double children = CpuSeconds(RUSAGE_CHILDREN);
        const int status = std::system(command.c_str());
        shell += CpuSeconds(RUSAGE_CHILDREN) - children;
        if (!complete)
            state.SkipWithError("not every address was imported");
        if (status != 0)
            state.SkipWithError("the sqlite3 shell failed");
        fs::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["cpu_s"] = ours;
    state.counters["sqlite3_cpu_s"] = shell;
    state.counters["cpu_ratio"] = shell > 0 ? ours / shell : 0;
}

BENCHMARK(BM_ImportBesideSqliteShell)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// What the column-mapping dialog reads to show a file's heading and first entry, each
// time it opens and at each key in the separator: range(1) 1 reads those two records only,
// 0 splits every line (the cost the dialog paid before).
void BM_MappingExamplesOfAFile(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    const bool first_only = state.range(1) != 0;
    const fs::path dir = bench_support::MakeListFolder();
    const std::string file = (dir / "mapped.csv").string();
    {
        std::ofstream out(file, std::ios::binary);
        out << "E-mail,Category,Full Name,First Name,Comments,Bounces\r\n";
        for (std::int64_t i = 0; i < count; ++i)
            out << "member" << i << "@example.org,news,\"Smith, Ann " << i
                << "\",Ann,\"two\r\nlines\"," << i % 3 << "\r\n";
    }
    for (auto _ : state) {
        auto records =
            app::SplitDelimitedRecords(app::ReadImportFile(file), ",",
                                       first_only ? 2 : std::numeric_limits<std::size_t>::max());
        benchmark::DoNotOptimize(records);
        if (records.size() < 2)
            state.SkipWithError("the heading and the first entry were not read");
    }
    fs::remove_all(dir);
}

BENCHMARK(BM_MappingExamplesOfAFile)
    ->Args({100'000, 1})
    ->Args({100'000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
