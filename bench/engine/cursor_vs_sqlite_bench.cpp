// The list table's everyday work on the engine and on SQLite, side by side,
// at 10,000, 100,000, 1,000,000 and 4,000,000 rows (CORVANE_BENCH_MAX_ROWS
// leaves out the sizes above it).
//
// Throughput: N inserts with the four indexes, min(N, 100,000)
// case-insensitive lookups by address that read the whole row, a range read
// of every row of one category through the category index (all columns), a
// category prefix filter, N/10 updates of a row found by address (its bounce
// count, a key of the bounce index), N/10 deletes by address, and a reopen
// with a record count.
// Both sides hold their files exclusively, leave syncing to the operating
// system and get the same cache memory: SQLite's cache_size is set to the
// engine's page budget plus its record cache. Each writing step ends with
// its changes handed to the operating system (the engine's flush, SQLite's
// commit).
//
// Range reads: the range read of one category of twenty alone, again and again on a table of
// 400,000 (and 4,000,000) rows, and of one category of two hundred at 400,000 rows: with the
// table's files in the operating system's cache, and with their pages dropped from it (and the
// table reopened) before each read; milliseconds and processor milliseconds per read of the whole
// category, medians of the reads of a run.
//
// Durable posts: inserts one at a time into a shared table, each returning
// only when its bytes are on disk: the engine with forced buffer flushes,
// SQLite with synchronous FULL and one transaction per insert, in WAL and
// rollback-journal mode. The fsync and fdatasync calls of each side are
// counted and timed by wrapping the C library's (the time any sync was under
// way, overlapping syncs counted once).
//
// Every run is a child process of its own, so each side's peak memory is its
// own. Runs repeat (CORVANE_BENCH_REPETITIONS, default 5) and the summary
// gives the median and the range of each operation.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bench/engine/list_indexes.h"
#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/data_table.h"
#include "engine/core/engine_globals.h"
#include "engine/core/filter.h"
#include "engine/core/index_file.h"
#include "engine/storage/byte_order.h"

namespace {
std::atomic<std::uint64_t> sync_calls{0};

// The wall time during which at least one sync of the process was under way (syncs that
// overlap, as the engine's two files' do, count once), in nanoseconds.
class SyncClock {
  public:
    void Begin() {
        const std::lock_guard lock(mutex_);
        if (running_++ == 0)
            since_ = std::chrono::steady_clock::now();
    }
    void End() {
        const std::lock_guard lock(mutex_);
        if (--running_ == 0)
            total_ += std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - since_)
                          .count();
    }
    std::int64_t TotalNs() {
        const std::lock_guard lock(mutex_);
        return total_;
    }

  private:
    std::mutex mutex_;
    int running_ = 0;
    std::chrono::steady_clock::time_point since_;
    std::int64_t total_ = 0;
};

SyncClock& Syncing() {
    static SyncClock clock;
    return clock;
}

template <typename Call>
int TimedSync(Call call) {
    sync_calls.fetch_add(1, std::memory_order_relaxed);
    Syncing().Begin();
    const int result = call();
    Syncing().End();
    return result;
}

template <typename Function>
Function* NextSymbol(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

// Both sides reach the disk through these (SQLite from its shared library,
// the engine from the platform layer), so one count serves both.
extern "C" int fsync(int fd) {
    static auto* const real = NextSymbol<int(int)>("fsync");
    return TimedSync([fd] { return real(fd); });
}

extern "C" int fdatasync(int fd) {
    static auto* const real = NextSymbol<int(int)>("fdatasync");
    return TimedSync([fd] { return real(fd); });
}

namespace {

using namespace strata;
using bench_list::Compression;
using bench_list::CompressionText;
using bench_list::Index;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMaxLookups = 100000;
constexpr std::int64_t kDurablePosts = 300;
constexpr std::int64_t kDurablePrefill = 1000;
constexpr int kIndexCount = 3;  // secondary indexes of the list table

// Distinct for every i below 4,000,037 (7919 and the prime 4,000,037 are
// coprime); 64-bit, so no size overflows.
std::string Address(std::int64_t i) {
    return "member" + std::to_string(i * 7919 % 4000037) + "@example.org";
}
// Rows take the categories in turn. The range reads also run with more categories, so that the
// rows of one lie farther apart.
std::int64_t categories = 20;
std::string Category(std::int64_t i) {
    return "Cat" + std::to_string(i % categories);
}
std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}
std::int64_t Lookups(std::int64_t rows) {
    return std::min(rows, kMaxLookups);
}
// The category the range read walks, and its rows.
constexpr std::int64_t kRangeCategory = 7;
std::int64_t RangeMatches(std::int64_t rows) {
    return rows / categories + (rows % categories > kRangeCategory ? 1 : 0);
}
// Rows i * 10 + 5 get a new bounce count; the deletes take rows i * 10.
std::int64_t Updates(std::int64_t rows) {
    return rows / 10;
}
// 'cat1*' matches Cat1 and Cat10 to Cat19.
std::int64_t FilterMatches(std::int64_t rows) {
    return rows / 20 * 11;
}

// The engine's cache memory for the list table: every index's share of
// pages and the record cache (at most 131070 bytes of records).
std::int64_t EngineCacheBytes() {
    return (kIndexCount + 2) * std::int64_t{kPageCacheCapacity} * std::int64_t{kIndexPageSize} +
           131070;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The process's processor time (user and system), which a busy machine
// stretches less than the wall clock.
double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A size line of /proc/self/status ("VmRSS:", "VmHWM:") in MiB; 0 when not there.
double StatusMiB(const char* field) {
    std::FILE* file = std::fopen("/proc/self/status", "r");
    if (file == nullptr)
        return 0;
    char line[256];
    double kib = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, field, std::strlen(field)) == 0)
            kib = std::atof(line + std::strlen(field));
    }
    std::fclose(file);
    return kib / 1024.0;
}

double PeakMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The process's file transfers so far, from /proc/self/io: bytes passed to
// and from read and write calls, and the number of those calls.
struct IoCounters {
    double read_bytes = 0;
    double written_bytes = 0;
    double calls = 0;
};

IoCounters ReadIoCounters() {
    IoCounters counters;
    std::FILE* file = std::fopen("/proc/self/io", "r");
    if (file == nullptr)
        return counters;
    char name[32];
    unsigned long long value = 0;
    while (std::fscanf(file, "%31[^:]: %llu\n", name, &value) == 2) {
        const std::string field = name;
        if (field == "rchar")
            counters.read_bytes = static_cast<double>(value);
        else if (field == "wchar")
            counters.written_bytes = static_cast<double>(value);
        else if (field == "syscr" || field == "syscw")
            counters.calls += static_cast<double>(value);
    }
    std::fclose(file);
    return counters;
}

class WorkDirectory {
  public:
    WorkDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "benchXXXXXX").string();
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

// What one run measured; every time is per row (µs) unless named otherwise.
enum Measure : std::size_t {
    kInsert,
    kInsertCpu,
    kLookup,
    kFilterMs,
    kFilterPerMatch,
    kDelete,
    kDeleteReadKiB,
    kDeleteWriteKiB,
    kDeleteSyscalls,
    kLookupCpu,
    kRange,
    kRangeCpu,
    kUpdate,
    kUpdateCpu,
    kFilterCpuPerMatch,
    kDeleteCpu,
    kReopenCountMs,
    kPeakMiB,
    kPostUs,
    kSyncsPerPost,
    kSyncUsPerPost,
    kTotalSeconds,
    kWarmRangeMs,
    kWarmRangeCpuMs,
    kColdRangeMs,
    kColdRangeCpuMs,
    kMeasureCount
};
using Measures = std::array<double, kMeasureCount>;

// Runs `work` in a child process and returns what it measured; a failure
// in the child becomes an exception here.
Measures InChild(const std::function<Measures()>& work) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0)
        throw std::runtime_error("pipe");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork");
    if (child == 0) {
        ::close(pipe_ends[0]);
        int status = 0;
        try {
            const Measures measures = work();
            const auto* bytes = reinterpret_cast<const char*>(measures.data());
            if (::write(pipe_ends[1], bytes, sizeof(double) * kMeasureCount) < 0)
                status = 3;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "run failed: %s\n", error.what());
            status = 2;
        }
        ::close(pipe_ends[1]);
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(pipe_ends[1]);
    Measures measures{};
    auto* bytes = reinterpret_cast<char*>(measures.data());
    std::size_t got = 0;
    while (got < sizeof(double) * kMeasureCount) {
        const ssize_t n = ::read(pipe_ends[0], bytes + got, sizeof(double) * kMeasureCount - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got != sizeof(double) * kMeasureCount || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the measuring process failed");
    return measures;
}

// The engine side

class Engine {
  public:
    Engine(const std::filesystem::path& folder, bool durable) {
        StartEngine();
        session_ = std::make_unique<TDataSession>();
        session_->SetForceBufferFlush(durable);
        directory_ = session_->OpenDirectory("DB", folder.string());
        TableDefinition definition;
        definition.fields = {MakeFieldDescriptor(1, "Index", 6, 29),
                             MakeFieldDescriptor(2, "Item", 1, 0, 80),
                             MakeFieldDescriptor(3, "Category", 1, 0, 80),
                             MakeFieldDescriptor(4, "Bounces", 6),
                             MakeFieldDescriptor(5, "Comments", 1, 0, 80),
                             MakeFieldDescriptor(6, "Name", 1, 0, 50),
                             MakeFieldDescriptor(7, "Salutation", 1, 0, 25),
                             MakeFieldDescriptor(8, "SendRights", 4)};
        definition.indexes = {Index("", {1, 2}, true, false), Index("ByItem", {2}, false, true),
                              Index("ByCategory", {3}, false, true),
                              Index("ByBounce", {4}, false, false)};
        TDataCursor creator(*directory_);
        creator.SetTableName("mailist");
        creator.SetExclusive(true);
        creator.CreateTable(definition, true);
        Open(!durable);
    }
    ~Engine() {
        cursor_.reset();
        session_.reset();
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void Open(bool exclusive) {
        cursor_ = std::make_unique<TDataCursor>(*directory_);
        cursor_->SetTableName("mailist");
        cursor_->SetExclusive(exclusive);
        cursor_->Open();
        buffer_.assign(cursor_->GetRecordSize(), 0);
    }
    void Close() { cursor_->Close(); }
    void Insert(std::int64_t i) {
        cursor_->InitNewRecord(buffer_);
        PutText(buffer_, 2, Address(i));
        PutText(buffer_, 3, Category(i));
        const auto bounces = static_cast<std::int32_t>(i % 7);
        cursor_->PutField(4, buffer_, reinterpret_cast<const std::uint8_t*>(&bounces));
        PutText(buffer_, 6, "Member " + std::to_string(i));
        cursor_->InsertRecord(buffer_, false);
    }
    void Flush() { cursor_->FlushBuffers(false, true, true); }
    // Finds the row by address (case-insensitive) and copies it out.
    bool Find(const std::string& address) {
        if (probe_.empty()) {
            cursor_->SetIndexByName("ByItem");
            probe_.assign(cursor_->GetRecordSize(), 0);
        }
        PutText(probe_, 2, address);
        return cursor_->FindKey(false, probe_, buffer_, 0, false, 1);
    }
    // Reads every row of the category through its index, each whole.
    std::int64_t ReadCategory(const std::string& category) {
        cursor_->SetIndexByName("ByCategory");
        std::vector<std::uint8_t> bounds(cursor_->GetRecordSize(), 0);
        cursor_->InitNewRecord(bounds);
        PutText(bounds, 3, category);
        cursor_->SetRangeKeys(false, bounds, 1, bounds, 1);
        cursor_->First();
        std::int64_t rows = 0;
        while (cursor_->GetNextRecord(buffer_) == kErrNone) {
            checksum_ += buffer_[buffer_.size() / 2];
            ++rows;
        }
        cursor_->CancelRange();
        cursor_->SetIndexByName("ByItem");
        return rows;
    }
    // Gives the row just found a new bounce count.
    void UpdateFound(std::int32_t bounces) {
        cursor_->PutField(4, buffer_, reinterpret_cast<const std::uint8_t*>(&bounces));
        cursor_->ModifyRecord(buffer_, false, false);
    }
    std::int64_t CountCategory() {
        TDataCursor::FilterOptions options;
        options.case_insensitive = true;
        TFilter* filter = cursor_->AddFilter("Category = 'cat1*'", options);
        cursor_->ActivateFilter(filter);
        const std::int64_t count = cursor_->GetRecordCount();
        cursor_->DropFilter(filter);
        return count;
    }
    void DeleteFound() { cursor_->DeleteRecord(buffer_, false); }
    std::int64_t Count() { return cursor_->GetRecordCount(); }
    // The list table's index cache counters, summed over the run so far.
    TIndexFile::Statistics IndexStatistics() const { return IndexFile().GetStatistics(); }
    const TIndexFile& IndexFile() const { return cursor_->Table()->IndexFile(); }

  private:
    void PutText(std::vector<std::uint8_t>& buffer, std::uint32_t field, const std::string& text) {
        cursor_->PutField(field, buffer, reinterpret_cast<const std::uint8_t*>(text.c_str()));
    }

    std::unique_ptr<TDataSession> session_;
    TDataDirectory* directory_ = nullptr;
    std::unique_ptr<TDataCursor> cursor_;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> probe_;
    std::uint64_t checksum_ = 0;
};

// The SQLite side

class Lite {
  public:
    enum class Mode { kThroughput, kWal, kRollback };

    Lite(const std::filesystem::path& folder, Mode mode)
        : path_((folder / "list.sqlite").string()), mode_(mode) {
        Open();
        Exec(
            "CREATE TABLE mailist (Idx INTEGER NOT NULL, Item TEXT NOT NULL, Category TEXT, "
            "Bounces INTEGER, Comments TEXT, Name TEXT, Salutation TEXT, SendRights INTEGER, "
            "PRIMARY KEY (Idx, Item));"
            "CREATE INDEX ByItem ON mailist(Item COLLATE NOCASE);"
            "CREATE INDEX ByCategory ON mailist(Category COLLATE NOCASE);"
            "CREATE INDEX ByBounce ON mailist(Bounces);");
        insert_ = Prepare(
            "INSERT INTO mailist (Idx, Item, Category, Bounces, Name) VALUES (?, ?, ?, ?, ?)");
    }
    ~Lite() { Close(); }
    Lite(const Lite&) = delete;
    Lite& operator=(const Lite&) = delete;

    void Open() {
        if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK)
            throw std::runtime_error("sqlite3_open");
        const std::string cache =
            "PRAGMA cache_size=" + std::to_string(-EngineCacheBytes() / 1024) + ";";
        Exec(cache.c_str());
        switch (mode_) {
            case Mode::kThroughput:
                Exec(
                    "PRAGMA locking_mode=EXCLUSIVE; PRAGMA synchronous=OFF; "
                    "PRAGMA journal_mode=MEMORY;");
                break;
            case Mode::kWal:
                Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
                break;
            case Mode::kRollback:
                Exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
                break;
        }
    }
    void Close() {
        for (sqlite3_stmt* statement : {insert_, find_, remove_, update_})
            sqlite3_finalize(statement);
        insert_ = find_ = remove_ = update_ = nullptr;
        sqlite3_close(db_);
        db_ = nullptr;
    }
    void Exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error != nullptr ? error : "sqlite";
            sqlite3_free(error);
            throw std::runtime_error(message);
        }
    }
    void Insert(std::int64_t i) {
        const std::string address = Address(i);
        const std::string category = Category(i);
        const std::string name = "Member " + std::to_string(i);
        sqlite3_bind_int64(insert_, 1, i + 1);
        sqlite3_bind_text(insert_, 2, address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_, 3, category.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert_, 4, static_cast<int>(i % 7));
        sqlite3_bind_text(insert_, 5, name.c_str(), -1, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        if (rc != SQLITE_DONE)
            throw std::runtime_error("insert failed");
    }
    // Finds the row by address and reads every column, as the engine
    // copies the whole record.
    bool Find(const std::string& address) {
        if (find_ == nullptr)
            find_ = Prepare("SELECT * FROM mailist WHERE Item = ? COLLATE NOCASE");
        sqlite3_bind_text(find_, 1, address.c_str(), -1, SQLITE_TRANSIENT);
        const bool found = sqlite3_step(find_) == SQLITE_ROW;
        if (found)
            ReadColumns(find_);
        sqlite3_reset(find_);
        return found;
    }
    // Reads every row of the category through its index, every column.
    std::int64_t ReadCategory(const std::string& category) {
        sqlite3_stmt* range = Prepare("SELECT * FROM mailist WHERE Category = ? COLLATE NOCASE");
        sqlite3_bind_text(range, 1, category.c_str(), -1, SQLITE_TRANSIENT);
        std::int64_t rows = 0;
        while (sqlite3_step(range) == SQLITE_ROW) {
            ReadColumns(range);
            ++rows;
        }
        sqlite3_finalize(range);
        return rows;
    }
    void Update(const std::string& address, std::int32_t bounces) {
        if (update_ == nullptr)
            update_ = Prepare("UPDATE mailist SET Bounces = ? WHERE Item = ? COLLATE NOCASE");
        sqlite3_bind_int(update_, 1, bounces);
        sqlite3_bind_text(update_, 2, address.c_str(), -1, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(update_);
        sqlite3_reset(update_);
        if (rc != SQLITE_DONE || sqlite3_changes(db_) != 1)
            throw std::runtime_error("update missed");
    }
    std::int64_t CountCategory() {
        return Single("SELECT COUNT(*) FROM mailist WHERE Category LIKE 'cat1%'");
    }
    void Delete(const std::string& address) {
        if (remove_ == nullptr)
            remove_ = Prepare("DELETE FROM mailist WHERE Item = ? COLLATE NOCASE");
        sqlite3_bind_text(remove_, 1, address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(remove_);
        sqlite3_reset(remove_);
    }
    std::int64_t Count() { return Single("SELECT COUNT(*) FROM mailist"); }
    std::uint64_t Checksum() const { return checksum_; }

  private:
    void ReadColumns(sqlite3_stmt* statement) {
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            if (sqlite3_column_type(statement, c) == SQLITE_INTEGER) {
                checksum_ += static_cast<std::uint64_t>(sqlite3_column_int64(statement, c));
            } else {
                const unsigned char* text = sqlite3_column_text(statement, c);
                const int bytes = sqlite3_column_bytes(statement, c);
                if (text != nullptr && bytes > 0)
                    checksum_ += text[bytes - 1];
            }
        }
    }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db_));
        return statement;
    }
    std::int64_t Single(const char* sql) {
        sqlite3_stmt* statement = Prepare(sql);
        sqlite3_step(statement);
        const std::int64_t n = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return n;
    }

    std::string path_;
    Mode mode_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* find_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
    std::uint64_t checksum_ = 0;
};

// Profiling aids:
// CORVANE_BENCH_PERF_CONTROL names the control fifo of `perf record --control fifo:... -D -1`,
// and CORVANE_BENCH_PERF_STEP the step recorded (insert, lookup, range, filter, update or
// delete; delete unless set): that step of every run is recorded, nothing else (--benchmark_filter
// picks the side and size). CORVANE_BENCH_INDEX_STATS prints the engine's index cache counters of
// each step, and the cache's size and the process's memory after it. Each step runs in a function
// of its own (below), which a profile then names.
class StepWatch {
  public:
    explicit StepWatch(const char* step) : step_(step) {
        const char* path = std::getenv("CORVANE_BENCH_PERF_CONTROL");
        const char* chosen = std::getenv("CORVANE_BENCH_PERF_STEP");
        if (path != nullptr && std::string_view(chosen != nullptr ? chosen : "delete") == step)
            perf_ = std::fopen(path, "w");
        Send("enable\n");
    }
    ~StepWatch() {
        Send("disable\n");
        if (perf_ != nullptr)
            std::fclose(perf_);
    }
    StepWatch(const StepWatch&) = delete;
    StepWatch& operator=(const StepWatch&) = delete;

    template <typename Side>
    void Before(const Side& side) {
        if constexpr (std::is_same_v<Side, Engine>)
            before_ = side.IndexStatistics();
    }
    template <typename Side>
    void After(const Side& side) const {
        if constexpr (std::is_same_v<Side, Engine>) {
            if (std::getenv("CORVANE_BENCH_INDEX_STATS") == nullptr)
                return;
            const TIndexFile::Statistics a = side.IndexStatistics();
            const auto d = [](std::uint64_t x, std::uint64_t y) {
                return static_cast<unsigned long long>(x - y);
            };
            std::fprintf(stderr,
                         "%-7s index: %llu reads, %llu packed-tier hits, %llu cache hits, %llu "
                         "write calls, %llu leaves read by scans in %llu calls, %llu packed seeks, "
                         "%llu keys removed packed, %llu packed pairs redistributed, %llu settled "
                         "victims\n",
                         step_, d(a.reads, before_.reads), d(a.packed_hits, before_.packed_hits),
                         d(a.hits, before_.hits), d(a.writes, before_.writes),
                         d(a.scan_reads, before_.scan_reads), d(a.scan_calls, before_.scan_calls),
                         d(a.packed_seeks, before_.packed_seeks),
                         d(a.packed_removals, before_.packed_removals),
                         d(a.packed_redistributions, before_.packed_redistributions),
                         d(a.settled_victims, before_.settled_victims));
            const TIndexFile& file = side.IndexFile();
            std::fprintf(stderr,
                         "%-7s cache: %zu unpacked pages, %zu packed, %.1f MiB counted; process "
                         "%.1f MiB now, %.1f MiB at most\n",
                         step_, file.CachedPageTotal(), file.PackedPageTotal(),
                         static_cast<double>(file.CachedPageBytes()) / 1048576.0,
                         StatusMiB("VmRSS:"), StatusMiB("VmHWM:"));
        }
    }

  private:
    void Send(const char* command) {
        if (perf_ != nullptr) {
            std::fputs(command, perf_);
            std::fflush(perf_);
        }
    }

    const char* step_;
    std::FILE* perf_ = nullptr;
    TIndexFile::Statistics before_{};
};

template <typename Side>
[[gnu::noinline]] void InsertStep(Side& side, std::int64_t rows) {
    StepWatch watch("insert");
    watch.Before(side);
    if constexpr (std::is_same_v<Side, Lite>)
        side.Exec("BEGIN");
    for (std::int64_t i = 0; i < rows; ++i)
        side.Insert(i);
    if constexpr (std::is_same_v<Side, Lite>)
        side.Exec("COMMIT");
    else
        side.Flush();
    watch.After(side);
}

template <typename Side>
[[gnu::noinline]] std::int64_t LookupStep(Side& side, std::int64_t rows, std::int64_t lookups) {
    StepWatch watch("lookup");
    watch.Before(side);
    std::int64_t found = 0;
    for (std::int64_t i = 0; i < lookups; ++i)
        found += side.Find(Upper(Address(i * 31 % rows))) ? 1 : 0;
    watch.After(side);
    return found;
}

template <typename Side>
[[gnu::noinline]] std::int64_t FilterStep(Side& side) {
    StepWatch watch("filter");
    watch.Before(side);
    const std::int64_t matches = side.CountCategory();
    watch.After(side);
    return matches;
}

template <typename Side>
[[gnu::noinline]] std::int64_t RangeStep(Side& side) {
    StepWatch watch("range");
    watch.Before(side);
    const std::int64_t rows = side.ReadCategory("Cat" + std::to_string(kRangeCategory));
    watch.After(side);
    return rows;
}

template <typename Side>
[[gnu::noinline]] void UpdateStep(Side& side, std::int64_t updates) {
    StepWatch watch("update");
    watch.Before(side);
    if constexpr (std::is_same_v<Side, Lite>)
        side.Exec("BEGIN");
    for (std::int64_t i = 0; i < updates; ++i) {
        const std::int64_t row = i * 10 + 5;
        const auto bounces = static_cast<std::int32_t>((row + 1) % 7);
        if constexpr (std::is_same_v<Side, Lite>) {
            side.Update(Address(row), bounces);
        } else {
            if (!side.Find(Address(row)))
                throw std::runtime_error("update missed");
            side.UpdateFound(bounces);
        }
    }
    if constexpr (std::is_same_v<Side, Lite>)
        side.Exec("COMMIT");
    else
        side.Flush();
    watch.After(side);
}

template <typename Side>
[[gnu::noinline]] void DeleteStep(Side& side, std::int64_t deletes) {
    StepWatch watch("delete");
    watch.Before(side);
    if constexpr (std::is_same_v<Side, Lite>) {
        side.Exec("BEGIN");
        for (std::int64_t i = 0; i < deletes; ++i)
            side.Delete(Address(i * 10));
        side.Exec("COMMIT");
    } else {
        for (std::int64_t i = 0; i < deletes; ++i) {
            if (!side.Find(Address(i * 10)))
                throw std::runtime_error("delete missed");
            side.DeleteFound();
        }
        side.Flush();
    }
    watch.After(side);
}

// One side's throughput steps at `rows` rows, in a fresh folder.
template <typename Side, typename Make>
Measures Throughput(std::int64_t rows, const Make& make) {
    WorkDirectory folder;
    Measures m{};
    const Clock::time_point all = Clock::now();
    Side side = make(folder.Path());
    Clock::time_point start = Clock::now();
    double cpu = CpuSeconds();
    InsertStep(side, rows);
    m[kInsert] = Seconds(start) * 1e6 / static_cast<double>(rows);
    m[kInsertCpu] = (CpuSeconds() - cpu) * 1e6 / static_cast<double>(rows);

    const std::int64_t lookups = Lookups(rows);
    start = Clock::now();
    cpu = CpuSeconds();
    const std::int64_t found = LookupStep(side, rows, lookups);
    m[kLookup] = Seconds(start) * 1e6 / static_cast<double>(lookups);
    m[kLookupCpu] = (CpuSeconds() - cpu) * 1e6 / static_cast<double>(lookups);
    if (found != lookups)
        throw std::runtime_error("lookups missed");

    start = Clock::now();
    cpu = CpuSeconds();
    const std::int64_t ranged = RangeStep(side);
    m[kRange] = Seconds(start) * 1e6 / static_cast<double>(std::max<std::int64_t>(ranged, 1));
    m[kRangeCpu] =
        (CpuSeconds() - cpu) * 1e6 / static_cast<double>(std::max<std::int64_t>(ranged, 1));
    if (ranged != RangeMatches(rows))
        throw std::runtime_error("wrong range count " + std::to_string(ranged));

    start = Clock::now();
    cpu = CpuSeconds();
    const std::int64_t matches = FilterStep(side);
    const double filter = Seconds(start);
    m[kFilterCpuPerMatch] =
        (CpuSeconds() - cpu) * 1e6 / static_cast<double>(std::max<std::int64_t>(matches, 1));
    m[kFilterMs] = filter * 1e3;
    m[kFilterPerMatch] = filter * 1e6 / static_cast<double>(std::max<std::int64_t>(matches, 1));
    if (matches != FilterMatches(rows))
        throw std::runtime_error("wrong filter count");

    const std::int64_t updates = Updates(rows);
    start = Clock::now();
    cpu = CpuSeconds();
    UpdateStep(side, updates);
    m[kUpdate] = Seconds(start) * 1e6 / static_cast<double>(updates);
    m[kUpdateCpu] = (CpuSeconds() - cpu) * 1e6 / static_cast<double>(updates);

    const std::int64_t deletes = rows / 10;
    const IoCounters io = ReadIoCounters();
    start = Clock::now();
    cpu = CpuSeconds();
    DeleteStep(side, deletes);
    m[kDelete] = Seconds(start) * 1e6 / static_cast<double>(deletes);
    m[kDeleteCpu] = (CpuSeconds() - cpu) * 1e6 / static_cast<double>(deletes);
    const IoCounters io_after = ReadIoCounters();
    const double per_delete = static_cast<double>(deletes);
    m[kDeleteReadKiB] = (io_after.read_bytes - io.read_bytes) / 1024.0 / per_delete;
    m[kDeleteWriteKiB] = (io_after.written_bytes - io.written_bytes) / 1024.0 / per_delete;
    m[kDeleteSyscalls] = (io_after.calls - io.calls) / per_delete;

    start = Clock::now();
    side.Close();
    if constexpr (std::is_same_v<Side, Lite>)
        side.Open();
    else
        side.Open(true);
    const std::int64_t count = side.Count();
    m[kReopenCountMs] = Seconds(start) * 1e3;
    if (count != rows - deletes)
        throw std::runtime_error("wrong count");
    side.Close();
    m[kPeakMiB] = PeakMiB();
    m[kTotalSeconds] = Seconds(all);
    return m;
}

// Drops the pages of every file in `folder` from the operating system's cache (written first,
// since only clean pages go).
void DropCachedPages(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// One side's range reads at `rows` rows, in a fresh folder.
template <typename Side, typename Make>
Measures RangeReads(std::int64_t rows, const Make& make) {
    constexpr int kWarmReads = 9;
    constexpr int kColdReads = 3;
    WorkDirectory folder;
    Measures m{};
    const Clock::time_point all = Clock::now();
    Side side = make(folder.Path());
    InsertStep(side, rows);
    // Closed and opened again between the steps, as a program starting on the table would.
    const auto reopen = [&](bool drop_cached_pages) {
        side.Close();
        if (drop_cached_pages)
            DropCachedPages(folder.Path());
        if constexpr (std::is_same_v<Side, Lite>)
            side.Open();
        else
            side.Open(true);
    };
    reopen(false);
    const auto timed = [&](std::vector<double>& ms, std::vector<double>& cpu_ms) {
        const Clock::time_point start = Clock::now();
        const double cpu = CpuSeconds();
        const std::int64_t ranged = RangeStep(side);
        ms.push_back(Seconds(start) * 1e3);
        cpu_ms.push_back((CpuSeconds() - cpu) * 1e3);
        if (ranged != RangeMatches(rows))
            throw std::runtime_error("wrong range count " + std::to_string(ranged));
    };
    std::vector<double> ms;
    std::vector<double> cpu_ms;
    (void)RangeStep(side);  // brings the files into the cache
    for (int i = 0; i < kWarmReads; ++i)
        timed(ms, cpu_ms);
    m[kWarmRangeMs] = Median(ms);
    m[kWarmRangeCpuMs] = Median(cpu_ms);
    ms.clear();
    cpu_ms.clear();
    for (int i = 0; i < kColdReads; ++i) {
        reopen(true);
        timed(ms, cpu_ms);
    }
    m[kColdRangeMs] = Median(ms);
    m[kColdRangeCpuMs] = Median(cpu_ms);
    side.Close();
    m[kPeakMiB] = PeakMiB();
    m[kTotalSeconds] = Seconds(all);
    return m;
}

// One side's durable posts after a prefill, in a fresh folder.
template <typename Side, typename Make>
Measures Durable(const Make& make) {
    WorkDirectory folder;
    Measures m{};
    const Clock::time_point all = Clock::now();
    Side side = make(folder.Path());
    for (std::int64_t i = 0; i < kDurablePrefill; ++i)
        side.Insert(i);
    const std::uint64_t syncs = sync_calls.load();
    const std::int64_t sync_ns = Syncing().TotalNs();
    const Clock::time_point start = Clock::now();
    for (std::int64_t i = kDurablePrefill; i < kDurablePrefill + kDurablePosts; ++i)
        side.Insert(i);
    m[kPostUs] = Seconds(start) * 1e6 / static_cast<double>(kDurablePosts);
    m[kSyncsPerPost] =
        static_cast<double>(sync_calls.load() - syncs) / static_cast<double>(kDurablePosts);
    m[kSyncUsPerPost] = static_cast<double>(Syncing().TotalNs() - sync_ns) * 1e-3 /
                        static_cast<double>(kDurablePosts);
    m[kPeakMiB] = PeakMiB();
    m[kTotalSeconds] = Seconds(all);
    return m;
}

void Report(benchmark::State& state, const Measures& m, std::initializer_list<Measure> shown) {
    static const std::map<Measure, const char*> names = {
        {kInsert, "insert_us"},
        {kInsertCpu, "insert_cpu_us"},
        {kLookup, "lookup_us"},
        {kFilterMs, "filter_ms"},
        {kFilterPerMatch, "filter_us_per_match"},
        {kDelete, "delete_us"},
        {kReopenCountMs, "reopen_count_ms"},
        {kDeleteReadKiB, "delete_read_KiB"},
        {kDeleteWriteKiB, "delete_write_KiB"},
        {kDeleteSyscalls, "delete_io_calls"},
        {kLookupCpu, "lookup_cpu_us"},
        {kRange, "range_us_per_row"},
        {kRangeCpu, "range_cpu_us_per_row"},
        {kUpdate, "update_us"},
        {kUpdateCpu, "update_cpu_us"},
        {kFilterCpuPerMatch, "filter_cpu_us_per_match"},
        {kDeleteCpu, "delete_cpu_us"},
        {kPeakMiB, "peak_MiB"},
        {kPostUs, "post_us"},
        {kSyncsPerPost, "syncs_per_post"},
        {kSyncUsPerPost, "sync_us_per_post"},
        {kWarmRangeMs, "warm_range_ms"},
        {kWarmRangeCpuMs, "warm_range_cpu_ms"},
        {kColdRangeMs, "cold_range_ms"},
        {kColdRangeCpuMs, "cold_range_cpu_ms"}};
    for (const Measure measure : shown)
        state.counters[names.at(measure)] = m[measure];
    state.SetIterationTime(m[kTotalSeconds]);
}

void Run(benchmark::State& state, const std::function<Measures()>& work,
         std::initializer_list<Measure> shown) {
    for (auto _ : state) {
        try {
            Report(state, InChild(work), shown);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
}

constexpr std::initializer_list<Measure> kThroughputMeasures = {
    kInsert,        kInsertCpu,      kLookup,         kFilterMs,  kFilterPerMatch,
    kDelete,        kRange,          kRangeCpu,       kUpdate,    kUpdateCpu,
    kDeleteReadKiB, kDeleteWriteKiB, kDeleteSyscalls, kLookupCpu, kFilterCpuPerMatch,
    kDeleteCpu,     kReopenCountMs,  kPeakMiB};

void EngineThroughput(benchmark::State& state) {
    const std::int64_t rows = state.range(0);
    Run(
        state,
        [rows] {
            return Throughput<Engine>(rows, [](const auto& path) { return Engine(path, false); });
        },
        kThroughputMeasures);
}

void SqliteThroughput(benchmark::State& state) {
    const std::int64_t rows = state.range(0);
    Run(
        state,
        [rows] {
            return Throughput<Lite>(
                rows, [](const auto& path) { return Lite(path, Lite::Mode::kThroughput); });
        },
        kThroughputMeasures);
}

constexpr std::initializer_list<Measure> kRangeMeasures = {kWarmRangeMs, kWarmRangeCpuMs,
                                                           kColdRangeMs, kColdRangeCpuMs, kPeakMiB};

void EngineRangeReads(benchmark::State& state) {
    const std::int64_t rows = state.range(0);
    categories = state.range(1);
    Run(
        state,
        [rows] {
            return RangeReads<Engine>(rows, [](const auto& path) { return Engine(path, false); });
        },
        kRangeMeasures);
}

void SqliteRangeReads(benchmark::State& state) {
    const std::int64_t rows = state.range(0);
    categories = state.range(1);
    Run(
        state,
        [rows] {
            return RangeReads<Lite>(
                rows, [](const auto& path) { return Lite(path, Lite::Mode::kThroughput); });
        },
        kRangeMeasures);
}

void EngineDurable(benchmark::State& state) {
    Run(state, [] { return Durable<Engine>([](const auto& path) { return Engine(path, true); }); },
        {kPostUs, kSyncsPerPost, kSyncUsPerPost, kPeakMiB});
}

void SqliteWalDurable(benchmark::State& state) {
    Run(state,
        [] { return Durable<Lite>([](const auto& path) { return Lite(path, Lite::Mode::kWal); }); },
        {kPostUs, kSyncsPerPost, kSyncUsPerPost, kPeakMiB});
}

void SqliteRollbackDurable(benchmark::State& state) {
    Run(state,
        [] {
            return Durable<Lite>(
                [](const auto& path) { return Lite(path, Lite::Mode::kRollback); });
        },
        {kPostUs, kSyncsPerPost, kSyncUsPerPost, kPeakMiB});
}

constexpr std::array<std::int64_t, 4> kSizes = {10000, 100000, 1000000, 4000000};
// Rows and categories of the range reads.
constexpr std::array<std::array<std::int64_t, 2>, 3> kRangeShapes = {
    {{400000, 20}, {4000000, 20}, {400000, 200}}};

std::int64_t MaxRows() {
    const char* text = std::getenv("CORVANE_BENCH_MAX_ROWS");
    const long long n = text != nullptr ? std::atoll(text) : 0;
    return n > 0 ? n : kSizes.back();
}

int Repetitions() {
    const char* text = std::getenv("CORVANE_BENCH_REPETITIONS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 5;
}

double Minimum(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double Maximum(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

void Register() {
    const auto finish = [](benchmark::internal::Benchmark* b) {
        b->Iterations(1)
            ->Repetitions(Repetitions())
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", Minimum)
            ->ComputeStatistics("max", Maximum)
            ->ReportAggregatesOnly(true);
    };
    for (const std::int64_t rows : kSizes) {
        if (rows > MaxRows())
            continue;
        finish(benchmark::RegisterBenchmark("Throughput/engine", EngineThroughput)->Arg(rows));
        finish(benchmark::RegisterBenchmark("Throughput/sqlite", SqliteThroughput)->Arg(rows));
    }
    for (const auto& [rows, kinds] : kRangeShapes) {
        if (rows > MaxRows())
            continue;
        finish(benchmark::RegisterBenchmark("RangeReads/engine", EngineRangeReads)
                   ->Args({rows, kinds}));
        finish(benchmark::RegisterBenchmark("RangeReads/sqlite", SqliteRangeReads)
                   ->Args({rows, kinds}));
    }
    finish(benchmark::RegisterBenchmark("Durable/engine", EngineDurable));
    finish(benchmark::RegisterBenchmark("Durable/sqlite_wal", SqliteWalDurable));
    finish(benchmark::RegisterBenchmark("Durable/sqlite_rollback", SqliteRollbackDurable));
}

// Keeps the medians and ranges of every counter for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // A single run is its own median and range.
            const bool single = Repetitions() == 1 && run.run_type == Run::RT_Iteration;
            if ((run.run_type != Run::RT_Aggregate && !single) || run.error_occurred)
                continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args;
            for (const auto& [counter, value] : run.counters) {
                if (!single) {
                    values_[name][counter][run.aggregate_name] = value.value;
                    continue;
                }
                for (const char* statistic : {"median", "min", "max"})
                    values_[name][counter][statistic] = value.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const {
        std::printf(
            "\nCache memory: engine %.1f MiB (index pages and record cache); SQLite "
            "cache_size=%lld (KiB), the same.\n",
            static_cast<double>(EngineCacheBytes()) / 1048576.0,
            static_cast<long long>(-EngineCacheBytes() / 1024));
        std::printf(
            "The engine's count after reopening reads the record count stored in its "
            "index header; SQLite's runs COUNT(*).\n");
        std::printf(
            "delete_read_KiB, delete_write_KiB and delete_io_calls: bytes passed to read and "
            "write calls and the number of those calls, per delete.\n");
        std::printf(
            "*_cpu_*: the process's processor time (user and system) in the step, which a "
            "busy machine stretches less than the wall-clock times.\n");
        std::printf("Engine key compression %s.\n", CompressionText().c_str());
        std::printf("Medians of %d runs [min - max]; ratio = engine median / SQLite median.\n\n",
                    Repetitions());
        for (const std::int64_t size : kSizes) {
            const std::string rows = std::to_string(size);
            const std::string engine = "Throughput/engine/" + rows;
            const std::string lite = "Throughput/sqlite/" + rows;
            if (values_.count(engine) == 0 || values_.count(lite) == 0)
                continue;
            std::printf("%s rows\n", rows.c_str());
            for (const char* counter :
                 {"insert_us", "insert_cpu_us", "lookup_us", "lookup_cpu_us", "range_us_per_row",
                  "range_cpu_us_per_row", "filter_us_per_match", "filter_cpu_us_per_match",
                  "update_us", "update_cpu_us", "delete_us", "delete_cpu_us", "delete_read_KiB",
                  "delete_write_KiB", "delete_io_calls", "reopen_count_ms", "peak_MiB"}) {
                PrintLine(counter, engine, lite);
            }
        }
        PrintGrowth("lookup_cpu_us", "1000000", "4000000");
        for (const auto& [size, kinds] : kRangeShapes) {
            const std::string shape = std::to_string(size) + "/" + std::to_string(kinds);
            const std::string engine = "RangeReads/engine/" + shape;
            const std::string lite = "RangeReads/sqlite/" + shape;
            if (values_.count(engine) == 0 || values_.count(lite) == 0)
                continue;
            std::printf("Range reads of one category of %lld at %lld rows (ms per read)\n",
                        static_cast<long long>(kinds), static_cast<long long>(size));
            for (const char* counter :
                 {"warm_range_ms", "warm_range_cpu_ms", "cold_range_ms", "cold_range_cpu_ms"})
                PrintLine(counter, engine, lite);
        }
        std::printf("Durable posts (%lld inserts after %lld)\n",
                    static_cast<long long>(kDurablePosts), static_cast<long long>(kDurablePrefill));
        for (const char* side :
             {"Durable/engine", "Durable/sqlite_wal", "Durable/sqlite_rollback"}) {
            if (values_.count(side) == 0)
                continue;
            std::printf("  %-24s post %s us, syncs per post %s, in syncs %s us\n", side,
                        Cell(side, "post_us").c_str(), Cell(side, "syncs_per_post").c_str(),
                        Cell(side, "sync_us_per_post").c_str());
        }
    }

  private:
    double Value(const std::string& run, const char* counter, const char* statistic) const {
        const auto r = values_.find(run);
        if (r == values_.end())
            return 0;
        const auto c = r->second.find(counter);
        if (c == r->second.end())
            return 0;
        const auto s = c->second.find(statistic);
        return s == c->second.end() ? 0 : s->second;
    }
    std::string Cell(const std::string& run, const char* counter) const {
        char text[96];
        std::snprintf(text, sizeof text, "%9.3f [%.3f - %.3f]", Value(run, counter, "median"),
                      Value(run, counter, "min"), Value(run, counter, "max"));
        return text;
    }
    // How much a measure per row grows from one size to another on each side.
    void PrintGrowth(const char* counter, const char* from, const char* to) const {
        const auto growth = [&](const char* side) {
            const std::string run = std::string("Throughput/") + side + "/";
            const double before = Value(run + from, counter, "median");
            const double after = Value(run + to, counter, "median");
            return before > 0 ? after / before : 0.0;
        };
        if (growth("engine") > 0 && growth("sqlite") > 0)
            std::printf("%s at %s rows / at %s rows: engine %.2f, sqlite %.2f\n\n", counter, to,
                        from, growth("engine"), growth("sqlite"));
    }
    void PrintLine(const char* counter, const std::string& engine, const std::string& lite) const {
        const double a = Value(engine, counter, "median");
        const double b = Value(lite, counter, "median");
        std::printf("  %-20s engine %-32s sqlite %-32s ratio %6.2f\n", counter,
                    Cell(engine, counter).c_str(), Cell(lite, counter).c_str(),
                    b > 0 ? a / b : 0.0);
    }

    std::map<std::string, std::map<std::string, std::map<std::string, double>>> values_;
};

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
