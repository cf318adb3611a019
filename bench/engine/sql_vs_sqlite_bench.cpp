// The SQL processor and SQLite side by side on the list table: the same
// rows, the same indexes (SQLite's case-insensitive ones COLLATE NOCASE),
// SQLite's cache set near the engine's memory, every result row read to the
// last column on both sides. The engine's tables stay open between statements
// (a cursor held on each, as the application holds them), so their caches
// live on as SQLite's page cache does.
//
// Usage: sql_vs_sqlite_bench [rows ...] (default 10000 100000 1000000).
// Each query runs CORVANE_BENCH_REPETITIONS times (default 5), engine and
// SQLite interleaved in one process; the table gives the median of each side
// and their ratio. The changing statements come last; the DELETE takes a
// different Bounces value each repetition so that every run deletes rows, the
// same rows on both sides. CORVANE_BENCH_QUERY runs one query alone.
//
// Durability matches: the engine's UPDATE and DELETE return with their
// changes synced to disk, so SQLite runs its changing statements with
// synchronous=FULL (one transaction each, as autocommit gives); the reading
// statements run with synchronous=OFF, where it makes no difference. The
// syncs column gives the engine's file syncs in one run of the statement; the
// cpu columns the process's processor time in each side's run (medians), which
// a busy disk does not blur as it blurs the times of the changing statements.
// CORVANE_BENCH_INDEX_STATS adds, per query, the list table's index cache
// counters of the engine's last run (pages read from the file, packed-tier
// hits, write calls).

#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/engine/list_indexes.h"
#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/data_table.h"
#include "engine/core/engine_globals.h"
#include "engine/core/index_file.h"
#include "engine/sql/query_statement.h"
#include "engine/storage/file_objects.h"

namespace {

using namespace strata;
using bench_list::Compression;
using bench_list::CompressionText;
using bench_list::Index;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kStatsRows = 5000;
constexpr int kIndexCount = 3;

std::string Item(std::int64_t i) {
    return "member" + std::to_string(i * 7919 % 1000003) + "@example.org";
}
std::string Category(std::int64_t i) {
    return "Cat" + std::to_string(i % 20);
}
std::int32_t Bounces(std::int64_t i) {
    return static_cast<std::int32_t>(i / 20 % 10);
}

// The process's processor time (every thread, user and system) in milliseconds.
double CpuMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

int Repetitions() {
    const char* text = std::getenv("CORVANE_BENCH_REPETITIONS");
    return text != nullptr ? std::max(1, std::atoi(text)) : 5;
}

// The engine's cache memory for the list table: every index's pages and the
// record cache.
std::int64_t EngineCacheBytes() {
    return (kIndexCount + 2) * std::int64_t{kPageCacheCapacity} * std::int64_t{kIndexPageSize} +
           131070;
}

class WorkDirectory {
  public:
    WorkDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sqlbenchXXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~WorkDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

class Engine {
  public:
    Engine(const std::filesystem::path& folder, std::int64_t rows) {
        StartEngine();
        session_ = std::make_unique<TDataSession>();
        std::filesystem::create_directories(folder / "private");
        session_->SetPrivateDir((folder / "private").string());
        directory_ = session_->OpenDirectory("DB", folder.string());
        TableDefinition list;
        list.fields = {
            MakeFieldDescriptor(1, "Idx", 6, 29),         MakeFieldDescriptor(2, "Item", 1, 0, 80),
            MakeFieldDescriptor(3, "Category", 1, 0, 80), MakeFieldDescriptor(4, "Bounces", 6),
            MakeFieldDescriptor(5, "Comments", 1, 0, 80), MakeFieldDescriptor(6, "Name", 1, 0, 50)};
        list.indexes = {Index("", {1, 2}, true, false), Index("ByItem", {2}, false, true),
                        Index("ByCategory", {3}, false, true),
                        Index("ByBounce", {4}, false, false)};
        Fill("list", list, rows, [&](TDataCursor& cursor, Record& record, std::int64_t i) {
            Put(cursor, record, 2, Item(i));
            Put(cursor, record, 3, Category(i));
            const std::int32_t bounces = Bounces(i);
            cursor.PutField(4, record, reinterpret_cast<const std::uint8_t*>(&bounces));
            Put(cursor, record, 6, "Member " + std::to_string(i));
        });
        TableDefinition stats;
        stats.fields = {MakeFieldDescriptor(1, "Category", 1, 0, 80),
                        MakeFieldDescriptor(2, "Subscribes", 6)};
        Fill("stats", stats, kStatsRows, [&](TDataCursor& cursor, Record& record, std::int64_t i) {
            Put(cursor, record, 1, "Cat" + std::to_string(i % 1000));
            const auto subscribes = static_cast<std::int32_t>(i);
            cursor.PutField(2, record, reinterpret_cast<const std::uint8_t*>(&subscribes));
        });
        // The application keeps its tables open while it works on them, and with them their
        // caches, as SQLite keeps its page cache from one statement to the next.
        for (const char* name : {"list", "stats"}) {
            held_.push_back(std::make_unique<TDataCursor>(*directory_));
            held_.back()->SetTableName(name);
            held_.back()->SetExclusive(false);
            held_.back()->Open();
        }
        // CORVANE_BENCH_INDEX_PAGES sets the list table's index cache (pages per index), so
        // that a small table meets the cache pressure of a large one (for profiling).
        if (const char* pages = std::getenv("CORVANE_BENCH_INDEX_PAGES"); pages != nullptr)
            held_.front()->Table()->IndexFile().SetPageCacheCapacity(
                static_cast<std::size_t>(std::max(1, std::atoi(pages))));
    }
    ~Engine() {
        held_.clear();
        session_.reset();
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Runs one statement and reads every field of every result row.
    std::int64_t Run(const std::string& sql) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        TDataCursor* result = statement.Execute();
        if (result == nullptr)
            return statement.GetResultCount();
        std::int64_t rows = 0;
        Record record(result->GetRecordSize());
        // Each field is read into a buffer of its own size, as the dataset reads fields:
        // GetField clears the whole buffer it is given.
        std::vector<std::uint8_t> value(1024);
        std::vector<std::size_t> sizes;
        for (std::uint32_t n = 1; n <= result->GetFieldCount(); ++n)
            sizes.push_back(
                std::min<std::size_t>(value.size(), FieldDataSize(result->GetFieldDesc(n))));
        result->First();
        while (result->GetNextRecord(record) == kErrNone) {
            ++rows;
            for (std::uint32_t n = 1; n <= sizes.size(); ++n) {
                bool is_null = true;
                result->GetField(n, record, is_null, std::span(value).first(sizes[n - 1]));
                checksum_ += is_null ? 0 : value[0];
            }
        }
        return rows;
    }

    // The list table's index cache counters, summed over the run so far.
    TIndexFile::Statistics ListIndexStatistics() const {
        return held_.front()->Table()->IndexFile().GetStatistics();
    }

  private:
    using Record = std::vector<std::uint8_t>;

    static void Put(TDataCursor& cursor, Record& record, std::uint32_t field,
                    const std::string& text) {
        cursor.PutField(field, record, reinterpret_cast<const std::uint8_t*>(text.c_str()));
    }

    void Fill(const char* name, const TableDefinition& definition, std::int64_t rows,
              const std::function<void(TDataCursor&, Record&, std::int64_t)>& fill) {
        TDataCursor cursor(*directory_);
        cursor.SetTableName(name);
        cursor.SetExclusive(true);
        cursor.CreateTable(definition, true);
        cursor.Open();
        Record record(cursor.GetRecordSize());
        for (std::int64_t i = 0; i < rows; ++i) {
            cursor.InitNewRecord(record);
            fill(cursor, record, i);
            cursor.InsertRecord(record, false);
        }
        cursor.FlushBuffers(false, true, true);
        cursor.Close();
    }

    std::unique_ptr<TDataSession> session_;
    TDataDirectory* directory_ = nullptr;
    std::vector<std::unique_ptr<TDataCursor>> held_;
    std::uint64_t checksum_ = 0;
};

class Lite {
  public:
    Lite(const std::filesystem::path& folder, std::int64_t rows) {
        const std::string path = (folder / "list.sqlite").string();
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
            throw std::runtime_error("sqlite3_open");
        Exec("PRAGMA cache_size=" + std::to_string(-EngineCacheBytes() / 1024) +
             "; PRAGMA locking_mode=EXCLUSIVE; PRAGMA synchronous=OFF; "
             "PRAGMA journal_mode=MEMORY;");
        Exec(
            "CREATE TABLE list (Idx INTEGER NOT NULL, Item TEXT NOT NULL, Category TEXT, "
            "Bounces INTEGER, Comments TEXT, Name TEXT, PRIMARY KEY (Idx, Item));"
            "CREATE INDEX ByItem ON list(Item COLLATE NOCASE);"
            "CREATE INDEX ByCategory ON list(Category COLLATE NOCASE);"
            "CREATE INDEX ByBounce ON list(Bounces);"
            "CREATE TABLE stats (Category TEXT, Subscribes INTEGER);");
        Exec("BEGIN");
        sqlite3_stmt* insert =
            Prepare("INSERT INTO list (Idx, Item, Category, Bounces, Name) VALUES (?, ?, ?, ?, ?)");
        for (std::int64_t i = 0; i < rows; ++i) {
            const std::string item = Item(i);
            const std::string category = Category(i);
            const std::string name = "Member " + std::to_string(i);
            sqlite3_bind_int64(insert, 1, i + 1);
            sqlite3_bind_text(insert, 2, item.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, category.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 4, Bounces(i));
            sqlite3_bind_text(insert, 5, name.c_str(), -1, SQLITE_TRANSIENT);
            Step(insert);
        }
        sqlite3_finalize(insert);
        insert = Prepare("INSERT INTO stats VALUES (?, ?)");
        for (std::int64_t i = 0; i < kStatsRows; ++i) {
            const std::string category = "Cat" + std::to_string(i % 1000);
            sqlite3_bind_text(insert, 1, category.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 2, i);
            Step(insert);
        }
        sqlite3_finalize(insert);
        Exec("COMMIT; ANALYZE;");
    }
    ~Lite() { sqlite3_close(db_); }

    // The changing statements run with their changes synced on commit.
    void SyncOnCommit() { Exec("PRAGMA synchronous=FULL;"); }
    Lite(const Lite&) = delete;
    Lite& operator=(const Lite&) = delete;

    std::int64_t Run(const std::string& sql) {
        sqlite3_stmt* statement = Prepare(sql.c_str());
        const int columns = sqlite3_column_count(statement);
        std::int64_t rows = 0;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            ++rows;
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(statement, c) == SQLITE_INTEGER) {
                    checksum_ += static_cast<std::uint64_t>(sqlite3_column_int64(statement, c));
                } else {
                    const unsigned char* text = sqlite3_column_text(statement, c);
                    checksum_ += text != nullptr ? text[0] : 0;
                }
            }
        }
        sqlite3_finalize(statement);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db_));
        return columns == 0 ? sqlite3_changes(db_) : rows;
    }

  private:
    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error != nullptr ? error : "sqlite";
            sqlite3_free(error);
            throw std::runtime_error(message);
        }
    }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db_));
        return statement;
    }
    void Step(sqlite3_stmt* statement) {
        const int rc = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }

    sqlite3* db_ = nullptr;
    std::uint64_t checksum_ = 0;
};

struct Query {
    const char* label;
    // The statement of repetition `r` (0-based).
    std::function<std::string(int)> sql;
    bool changes = false;
};

// CORVANE_BENCH_PERF_CONTROL names the control fifo of `perf record --control fifo:...
// -D -1`: the engine's runs of the statements are recorded, nothing else.
class PerfControl {
  public:
    PerfControl() {
        const char* path = std::getenv("CORVANE_BENCH_PERF_CONTROL");
        if (path != nullptr)
            file_ = std::fopen(path, "w");
    }
    ~PerfControl() {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    PerfControl(const PerfControl&) = delete;
    PerfControl& operator=(const PerfControl&) = delete;
    void Send(const char* command) {
        if (file_ != nullptr) {
            std::fputs(command, file_);
            std::fflush(file_);
        }
    }

  private:
    std::FILE* file_ = nullptr;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void RunSize(std::int64_t rows, int repetitions) {
    const auto fixed = [](const char* sql) { return [sql](int) { return std::string(sql); }; };
    const std::vector<Query> queries = {
        {"count where", fixed("SELECT COUNT(*) FROM list WHERE Category = 'Cat7'")},
        {"group by", fixed("SELECT Category, COUNT(*), AVG(Bounces) FROM list GROUP BY "
                           "Category ORDER BY Category")},
        {"where order by", fixed("SELECT * FROM list WHERE Bounces > 5 ORDER BY Item")},
        {"join", fixed("SELECT l.Item, s.Subscribes FROM list l JOIN stats s ON l.Category = "
                       "s.Category WHERE l.Bounces = 3")},
        {"distinct", fixed("SELECT DISTINCT Category FROM list")},
        {"like prefix", fixed("SELECT * FROM list WHERE Item LIKE 'member1%'")},
        {"upper equal", fixed("SELECT * FROM list WHERE UPPER(Category) = 'CAT7'")},
        {"update", fixed("UPDATE list SET Bounces = Bounces + 1 WHERE Category = 'Cat3'"), true},
        {"delete",
         [](int r) { return "DELETE FROM list WHERE Bounces = " + std::to_string(9 - r % 10); },
         true},
    };
    WorkDirectory folder;
    std::filesystem::create_directories(folder.Path() / "engine");
    std::filesystem::create_directories(folder.Path() / "sqlite");
    Engine engine(folder.Path() / "engine", rows);
    Lite lite(folder.Path() / "sqlite", rows);
    std::printf("\n%lld rows, median of %d runs (ms), engine key compression %s\n",
                static_cast<long long>(rows), repetitions, CompressionText().c_str());
    std::printf(
        "SQLite: synchronous=OFF for reading, synchronous=FULL for changing statements "
        "(the engine syncs its changes before returning)\n");
    std::printf("%-16s %10s %10s %8s %10s %7s %10s %10s\n", "query", "engine", "sqlite", "ratio",
                "rows", "syncs", "cpu engine", "cpu sqlite");
    // CORVANE_BENCH_QUERY names one query to run alone (for profiling).
    const char* only = std::getenv("CORVANE_BENCH_QUERY");
    PerfControl perf;
    for (const Query& query : queries) {
        if (only != nullptr && std::string(only) != query.label)
            continue;
        if (query.changes)
            lite.SyncOnCommit();
        std::vector<double> ours;
        std::vector<double> theirs;
        std::vector<double> our_cpu;
        std::vector<double> their_cpu;
        std::int64_t our_rows = 0;
        std::int64_t their_rows = 0;
        std::uint64_t syncs = 0;
        TIndexFile::Statistics index_before{};
        TIndexFile::Statistics index_after{};
        for (int r = 0; r < repetitions; ++r) {
            const std::string sql = query.sql(r);
            const std::uint64_t syncs_before = TPhysicalFile::SyncCount();
            auto start = Clock::now();
            double cpu = CpuMilliseconds();
            index_before = engine.ListIndexStatistics();
            perf.Send("enable\n");
            our_rows = engine.Run(sql);
            perf.Send("disable\n");
            index_after = engine.ListIndexStatistics();
            syncs = TPhysicalFile::SyncCount() - syncs_before;
            ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            our_cpu.push_back(CpuMilliseconds() - cpu);
            start = Clock::now();
            cpu = CpuMilliseconds();
            their_rows = lite.Run(sql);
            theirs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            their_cpu.push_back(CpuMilliseconds() - cpu);
        }
        const double a = Median(ours);
        const double b = Median(theirs);
        std::printf("%-16s %10.2f %10.2f %8.2f %10lld %7llu %10.2f %10.2f%s\n", query.label, a, b,
                    b > 0 ? a / b : 0.0, static_cast<long long>(our_rows),
                    static_cast<unsigned long long>(syncs), Median(our_cpu), Median(their_cpu),
                    our_rows == their_rows ? "" : "  (row counts differ)");
        if (std::getenv("CORVANE_BENCH_INDEX_STATS") != nullptr) {
            std::printf(
                "%-16s list index, last engine run: %llu page reads, %llu packed-tier "
                "hits, %llu cache hits, %llu write calls, %llu keys removed packed, %llu packed "
                "pairs redistributed\n",
                "", static_cast<unsigned long long>(index_after.reads - index_before.reads),
                static_cast<unsigned long long>(index_after.packed_hits - index_before.packed_hits),
                static_cast<unsigned long long>(index_after.hits - index_before.hits),
                static_cast<unsigned long long>(index_after.writes - index_before.writes),
                static_cast<unsigned long long>(index_after.packed_removals -
                                                index_before.packed_removals),
                static_cast<unsigned long long>(index_after.packed_redistributions -
                                                index_before.packed_redistributions));
        }
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::int64_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::max<std::int64_t>(1, std::atoll(argv[i])));
    if (sizes.empty())
        sizes = {10000, 100000, 1000000};
    try {
        for (const std::int64_t rows : sizes)
            RunSize(rows, Repetitions());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
