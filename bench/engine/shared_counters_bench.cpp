// Four programs increment four shared counters, 10,000 times each, on one
// engine table opened shared (record lock, read, write, unlock; the default
// lock settings of 15 tries 100 ms apart) and on one SQLite database (busy
// timeout of the same 1.5 s, one IMMEDIATE transaction per increment). Both
// sides leave syncing to the operating system; SQLite runs once with its rollback journal and
// once in WAL mode. Reported per side: the total increments per second, the programs' CPU time
// per increment (user and system, from the waited-for children) and the increments lost
// (expected minus counted).

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error.h"

namespace {

using namespace strata;

constexpr int kPrograms = 4;
constexpr int kIncrements = 10000;
constexpr int kCounters = 4;

std::filesystem::path WorkDirectory(const char* name) {
    std::string pattern = (std::filesystem::temp_directory_path() / "countersXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp");
    const std::filesystem::path path = std::filesystem::path(pattern) / name;
    std::filesystem::create_directories(path);
    return path;
}

double ChildrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `program` in kPrograms forked processes; false when one failed. `cpu` gets the CPU
// seconds the programs used.
bool RunPrograms(const std::function<int(int)>& program, double& cpu) {
    const double cpu_before = ChildrenCpuSeconds();
    std::vector<pid_t> pids;
    for (int p = 0; p < kPrograms; ++p) {
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork");
        if (pid == 0) {
            int code = 3;
            try {
                code = program(p);
            } catch (...) {
            }
            ::_exit(code);
        }
        pids.push_back(pid);
    }
    bool ok = true;
    for (const pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    cpu = ChildrenCpuSeconds() - cpu_before;
    return ok;
}

struct Table {
    TDataSession session;
    TDataDirectory* directory = nullptr;
    std::unique_ptr<TDataCursor> cursor;
    std::vector<std::uint8_t> buffer;

    explicit Table(const std::string& path) {
        session.SetLockRetryCount(15);
        session.SetLockWaitTime(100);
        directory = session.OpenDirectory("DB", path);
        cursor = std::make_unique<TDataCursor>(*directory);
        cursor->SetTableName("counters");
        cursor->SetExclusive(false);
    }
    void Put(std::uint32_t field, std::int32_t value) {
        std::uint8_t bytes[4];
        PutU32(bytes, 0, static_cast<std::uint32_t>(value));
        cursor->PutField(field, buffer, bytes);
    }
    void PutName(int counter) {
        const std::string name = "counter" + std::to_string(counter);
        cursor->PutField(1, buffer, reinterpret_cast<const std::uint8_t*>(name.c_str()));
    }
    std::int32_t Value() {
        std::vector<std::uint8_t> value(8);
        bool is_null = true;
        cursor->GetField(2, buffer, is_null, value);
        return is_null ? 0 : static_cast<std::int32_t>(GetU32(value, 0));
    }
};

void CreateCounters(const std::string& path) {
    Table t(path);
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Name", 1, 0, 20),
                         MakeFieldDescriptor(2, "Value", 6)};
    IndexDescriptor primary{};
    PutU16(primary, ixd::kFieldNumbers, 1);
    primary[ixd::kUnique] = 1;
    definition.indexes = {primary};
    t.cursor->SetExclusive(true);
    t.cursor->CreateTable(definition, true);
    t.cursor->Open();
    t.buffer.assign(t.cursor->GetRecordSize(), 0);
    for (int i = 0; i < kCounters; ++i) {
        t.cursor->InitNewRecord(t.buffer);
        t.PutName(i);
        t.Put(2, 0);
        t.cursor->InsertRecord(t.buffer, false);
    }
    t.cursor->Close();
}

int EngineProgram(const std::string& path, int p) {
    Table t(path);
    t.cursor->Open();
    t.buffer.assign(t.cursor->GetRecordSize(), 0);
    std::mt19937 rng(static_cast<std::uint32_t>(p));
    for (int i = 0; i < kIncrements; ++i) {
        const int counter = static_cast<int>(rng() % kCounters);
        for (;;) {
            try {
                t.cursor->InitNewRecord(t.buffer);
                t.PutName(counter);
                if (!t.cursor->FindKey(false, t.buffer, t.buffer, 0, false, 1))
                    return 4;
                t.cursor->GetCurrentRecord(t.buffer, true);
                t.Put(2, t.Value() + 1);
                t.cursor->ModifyRecord(t.buffer, true, false);
                break;
            } catch (const EStrataEngineError& error) {
                // Changed by another program since it was found: read again.
                if (error.ErrorCode() != kErrRecordChanged)
                    return 2;
            }
        }
    }
    t.cursor->Close();
    return 0;
}

std::int64_t EngineTotal(const std::string& path) {
    Table t(path);
    t.cursor->Open();
    t.buffer.assign(t.cursor->GetRecordSize(), 0);
    std::int64_t total = 0;
    t.cursor->First();
    while (t.cursor->GetNextRecord(t.buffer) == 0)
        total += t.Value();
    t.cursor->Close();
    return total;
}

void Report(benchmark::State& state, double seconds, double cpu, std::int64_t counted, bool ok) {
    const double done = double{kPrograms} * kIncrements;
    state.counters["increments_per_s"] = done / seconds;
    state.counters["cpu_us_per_increment"] = cpu * 1e6 / done;
    state.counters["lost"] = done - static_cast<double>(counted);
    if (!ok)
        state.SkipWithError("a program failed");
}

void EngineSharedCounters(benchmark::State& state) {
    StartEngine();
    for (auto _ : state) {
        const std::string path = WorkDirectory("strata").string();
        CreateCounters(path);
        const auto start = std::chrono::steady_clock::now();
        double cpu = 0;
        const bool ok = RunPrograms([&](int p) { return EngineProgram(path, p); }, cpu);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        Report(state, took.count(), cpu, EngineTotal(path), ok);
    }
}

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error != nullptr ? error : "sqlite";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

sqlite3* OpenSqlite(const std::string& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("sqlite3_open");
    sqlite3_busy_timeout(db, 1500);
    Exec(db, "PRAGMA synchronous=OFF");
    return db;
}

int SqliteProgram(const std::string& file, int p) {
    sqlite3* db = OpenSqlite(file);
    sqlite3_stmt* update = nullptr;
    sqlite3_prepare_v2(db, "UPDATE counters SET value = value + 1 WHERE name = ?", -1, &update,
                       nullptr);
    std::mt19937 rng(static_cast<std::uint32_t>(p));
    int code = 0;
    for (int i = 0; i < kIncrements && code == 0; ++i) {
        const std::string name = "counter" + std::to_string(rng() % kCounters);
        for (;;) {
            if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
                continue;  // busy beyond the timeout: try again
            sqlite3_bind_text(update, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            const int stepped = sqlite3_step(update);
            sqlite3_reset(update);
            if (stepped != SQLITE_DONE ||
                sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                code = 2;
            }
            break;
        }
    }
    sqlite3_finalize(update);
    sqlite3_close(db);
    return code;
}

void SqliteSharedCounters(benchmark::State& state, bool wal) {
    for (auto _ : state) {
        const std::string file = (WorkDirectory("sqlite") / "counters.db").string();
        {
            sqlite3* db = OpenSqlite(file);
            if (wal)
                Exec(db, "PRAGMA journal_mode=WAL");
            Exec(db, "CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER)");
            for (int i = 0; i < kCounters; ++i) {
                const std::string sql =
                    "INSERT INTO counters VALUES('counter" + std::to_string(i) + "', 0)";
                Exec(db, sql.c_str());
            }
            sqlite3_close(db);
        }
        const auto start = std::chrono::steady_clock::now();
        double cpu = 0;
        const bool ok = RunPrograms([&](int p) { return SqliteProgram(file, p); }, cpu);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        sqlite3* db = OpenSqlite(file);
        sqlite3_stmt* sum = nullptr;
        sqlite3_prepare_v2(db, "SELECT SUM(value) FROM counters", -1, &sum, nullptr);
        sqlite3_step(sum);
        const std::int64_t counted = sqlite3_column_int64(sum, 0);
        sqlite3_finalize(sum);
        sqlite3_close(db);
        Report(state, took.count(), cpu, counted, ok);
    }
}

BENCHMARK(EngineSharedCounters)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SqliteSharedCounters, rollback, false)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SqliteSharedCounters, wal, true)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
