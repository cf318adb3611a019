// The list table's everyday work on the engine and on SQLite, side by side:
// 100,000 inserts with the four indexes, 100,000 case-insensitive lookups by
// address, a category prefix filter, 10,000 deletes, and a reopen with a
// count. Both sides hold their files exclusively and leave syncing to the
// operating system; each writing step ends with its changes handed to the
// operating system (the engine's flush, SQLite's commit), so no side defers
// its writes into the next step. Lookups read the whole row on both sides.
// Each operation's time ratio (engine / SQLite) is printed after the runs,
// by wall time and by CPU time (the latter is steadier on a busy machine).

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/core/filter.h"
#include "engine/storage/byte_order.h"

namespace {

using namespace strata;

constexpr int kEntries = 100000;
constexpr int kLookups = 100000;
constexpr int kDeletes = 10000;

std::string Address(int i) {
    return "member" + std::to_string(i * 7919 % 1000003) + "@example.org";
}
std::string Category(int i) {
    return "Cat" + std::to_string(i % 20);
}

std::filesystem::path WorkDirectory() {
    static const std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "benchXXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        return std::filesystem::path(pattern);
    }();
    return path;
}

FieldDescriptor Field(std::uint16_t number, const char* name, std::uint8_t type,
                      std::uint8_t subtype = 0, std::uint8_t length = 0) {
    return MakeFieldDescriptor(number, name, type, subtype, length);
}

IndexDescriptor Index(const char* name, std::initializer_list<std::uint16_t> fields, bool unique,
                      bool case_insensitive) {
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, name);
    std::size_t i = 0;
    for (const std::uint16_t f : fields)
        PutU16(d, ixd::kFieldNumbers + 2 * i++, f);
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCaseInsensitive] = case_insensitive ? 1 : 0;
    return d;
}

struct Engine {
    std::unique_ptr<TDataSession> session;
    TDataDirectory* directory = nullptr;
    std::unique_ptr<TDataCursor> cursor;
    std::vector<std::uint8_t> buffer;

    void Open() {
        cursor = std::make_unique<TDataCursor>(*directory);
        cursor->SetTableName("mailist");
        cursor->SetExclusive(true);
        cursor->Open();
        buffer.assign(cursor->GetRecordSize(), 0);
    }

    void Create() {
        StartEngine();
        session = std::make_unique<TDataSession>();
        std::filesystem::create_directories(WorkDirectory() / "strata");
        directory = session->OpenDirectory("DB", (WorkDirectory() / "strata").string());
        TableDefinition definition;
        definition.fields = {Field(1, "Index", 6, 29),         Field(2, "Item", 1, 0, 80),
                             Field(3, "Category", 1, 0, 80),   Field(4, "Bounces", 6),
                             Field(5, "Comments", 1, 0, 80),   Field(6, "Name", 1, 0, 50),
                             Field(7, "Salutation", 1, 0, 25), Field(8, "SendRights", 4)};
        definition.indexes = {Index("", {1, 2}, true, false), Index("ByItem", {2}, false, true),
                              Index("ByCategory", {3}, false, true),
                              Index("ByBounce", {4}, false, false)};
        TDataCursor creator(*directory);
        creator.SetTableName("mailist");
        creator.SetExclusive(true);
        creator.CreateTable(definition, true);
        Open();
    }

    void PutText(std::uint32_t field, const std::string& text) {
        cursor->PutField(field, buffer, reinterpret_cast<const std::uint8_t*>(text.c_str()));
    }
};

Engine& TheEngine() {
    static Engine engine;
    return engine;
}

void EngineInsert(benchmark::State& state) {
    for (auto _ : state) {
        Engine& e = TheEngine();
        e.Create();
        for (int i = 0; i < kEntries; ++i) {
            e.cursor->InitNewRecord(e.buffer);
            e.PutText(2, Address(i));
            e.PutText(3, Category(i));
            const std::int32_t bounces = i % 7;
            e.cursor->PutField(4, e.buffer, reinterpret_cast<const std::uint8_t*>(&bounces));
            e.PutText(6, "Member " + std::to_string(i));
            e.cursor->InsertRecord(e.buffer, false);
        }
        e.cursor->FlushBuffers(false, true, true);
    }
}

void EngineLookup(benchmark::State& state) {
    for (auto _ : state) {
        Engine& e = TheEngine();
        e.cursor->SetIndexByName("ByItem");
        std::vector<std::uint8_t> probe(e.cursor->GetRecordSize());
        int found = 0;
        for (int i = 0; i < kLookups; ++i) {
            std::string address = Address((i * 31) % kEntries);
            for (char& c : address)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            e.cursor->PutField(2, probe, reinterpret_cast<const std::uint8_t*>(address.c_str()));
            found += e.cursor->FindKey(false, probe, e.buffer, 0, false, 1) ? 1 : 0;
        }
        if (found != kLookups)
            state.SkipWithError("lookups missed");
    }
}

void EngineCategoryFilter(benchmark::State& state) {
    for (auto _ : state) {
        Engine& e = TheEngine();
        TDataCursor::FilterOptions options;
        options.case_insensitive = true;
        TFilter* filter = e.cursor->AddFilter("Category = 'cat1*'", options);
        e.cursor->ActivateFilter(filter);
        const std::int64_t count = e.cursor->GetRecordCount();
        e.cursor->DropFilter(filter);
        if (count != kEntries / 20 * 11)
            state.SkipWithError("wrong filter count");
    }
}

void EngineDelete(benchmark::State& state) {
    for (auto _ : state) {
        Engine& e = TheEngine();
        e.cursor->SetIndexByName("ByItem");
        std::vector<std::uint8_t> probe(e.cursor->GetRecordSize());
        for (int i = 0; i < kDeletes; ++i) {
            const std::string address = Address(i * 10);
            e.cursor->PutField(2, probe, reinterpret_cast<const std::uint8_t*>(address.c_str()));
            if (!e.cursor->FindKey(false, probe, e.buffer, 0, false, 1)) {
                state.SkipWithError("delete missed");
                break;
            }
            e.cursor->DeleteRecord(e.buffer, false);
        }
        e.cursor->FlushBuffers(false, true, true);
    }
}

void EngineReopenCount(benchmark::State& state) {
    for (auto _ : state) {
        Engine& e = TheEngine();
        e.cursor->Close();
        e.Open();
        if (e.cursor->GetRecordCount() != kEntries - kDeletes)
            state.SkipWithError("wrong count");
        e.cursor->Close();
    }
}

struct Lite {
    sqlite3* db = nullptr;

    void Exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error != nullptr ? error : "sqlite";
            sqlite3_free(error);
            throw std::runtime_error(message);
        }
    }
    void Open() {
        const std::string path = (WorkDirectory() / "list.sqlite").string();
        sqlite3_open(path.c_str(), &db);
        Exec("PRAGMA locking_mode=EXCLUSIVE; PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;");
    }
    void Close() {
        sqlite3_close(db);
        db = nullptr;
    }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        return statement;
    }
};

Lite& TheLite() {
    static Lite lite;
    return lite;
}

void SqliteInsert(benchmark::State& state) {
    for (auto _ : state) {
        Lite& l = TheLite();
        std::filesystem::remove(WorkDirectory() / "list.sqlite");
        l.Open();
        l.Exec(
            "CREATE TABLE mailist (Idx INTEGER NOT NULL, Item TEXT NOT NULL, Category TEXT, "
            "Bounces INTEGER, Comments TEXT, Name TEXT, Salutation TEXT, SendRights INTEGER, "
            "PRIMARY KEY (Idx, Item));"
            "CREATE INDEX ByItem ON mailist(Item COLLATE NOCASE);"
            "CREATE INDEX ByCategory ON mailist(Category COLLATE NOCASE);"
            "CREATE INDEX ByBounce ON mailist(Bounces);");
        // The engine's exclusive table writes at close; one transaction is
        // SQLite's closest equal.
        l.Exec("BEGIN");
        sqlite3_stmt* insert = l.Prepare(
            "INSERT INTO mailist (Idx, Item, Category, Bounces, Name) VALUES (?, ?, ?, ?, ?)");
        for (int i = 0; i < kEntries; ++i) {
            const std::string address = Address(i);
            const std::string category = Category(i);
            const std::string name = "Member " + std::to_string(i);
            sqlite3_bind_int(insert, 1, i + 1);
            sqlite3_bind_text(insert, 2, address.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, category.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 4, i % 7);
            sqlite3_bind_text(insert, 5, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        l.Exec("COMMIT");
    }
}

void SqliteLookup(benchmark::State& state) {
    for (auto _ : state) {
        Lite& l = TheLite();
        sqlite3_stmt* find = l.Prepare("SELECT * FROM mailist WHERE Item = ? COLLATE NOCASE");
        int found = 0;
        for (int i = 0; i < kLookups; ++i) {
            std::string address = Address((i * 31) % kEntries);
            for (char& c : address)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            sqlite3_bind_text(find, 1, address.c_str(), -1, SQLITE_TRANSIENT);
            found += sqlite3_step(find) == SQLITE_ROW ? 1 : 0;
            sqlite3_reset(find);
        }
        sqlite3_finalize(find);
        if (found != kLookups)
            state.SkipWithError("lookups missed");
    }
}

void SqliteCategoryFilter(benchmark::State& state) {
    for (auto _ : state) {
        Lite& l = TheLite();
        sqlite3_stmt* count = l.Prepare("SELECT COUNT(*) FROM mailist WHERE Category LIKE 'cat1%'");
        sqlite3_step(count);
        const int n = sqlite3_column_int(count, 0);
        sqlite3_finalize(count);
        if (n != kEntries / 20 * 11)
            state.SkipWithError("wrong filter count");
    }
}

void SqliteDelete(benchmark::State& state) {
    for (auto _ : state) {
        Lite& l = TheLite();
        l.Exec("BEGIN");
        sqlite3_stmt* remove = l.Prepare("DELETE FROM mailist WHERE Item = ? COLLATE NOCASE");
        for (int i = 0; i < kDeletes; ++i) {
            const std::string address = Address(i * 10);
            sqlite3_bind_text(remove, 1, address.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(remove);
            sqlite3_reset(remove);
        }
        sqlite3_finalize(remove);
        l.Exec("COMMIT");
    }
}

void SqliteReopenCount(benchmark::State& state) {
    for (auto _ : state) {
        Lite& l = TheLite();
        l.Close();
        l.Open();
        sqlite3_stmt* count = l.Prepare("SELECT COUNT(*) FROM mailist");
        sqlite3_step(count);
        const int n = sqlite3_column_int(count, 0);
        sqlite3_finalize(count);
        l.Close();
        if (n != kEntries - kDeletes)
            state.SkipWithError("wrong count");
    }
}

// Registration order is run order: each side's steps build on the previous.
BENCHMARK(EngineInsert)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineLookup)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineCategoryFilter)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineDelete)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineReopenCount)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteInsert)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteLookup)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteCategoryFilter)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteDelete)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteReopenCount)->Iterations(1)->Unit(benchmark::kMillisecond);

// Keeps each run's time so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            std::string name = run.benchmark_name();
            name = name.substr(0, name.find('/'));
            seconds_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        std::printf("\nengine / SQLite time ratio (below 1: the engine is faster)\n");
        std::printf("  %-16s %8s %8s\n", "", "wall", "cpu");
        for (const char* op : {"Insert", "Lookup", "CategoryFilter", "Delete", "ReopenCount"}) {
            const auto engine = seconds_.find(std::string("Engine") + op);
            const auto lite = seconds_.find(std::string("Sqlite") + op);
            if (engine == seconds_.end() || lite == seconds_.end() || lite->second.wall <= 0 ||
                lite->second.cpu <= 0) {
                continue;
            }
            std::printf("  %-16s %8.3f %8.3f\n", op, engine->second.wall / lite->second.wall,
                        engine->second.cpu / lite->second.cpu);
        }
    }

  private:
    struct Times {
        double wall = 0;
        double cpu = 0;
    };
    std::map<std::string, Times> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    // A run of only some engine steps leaves the table open; it is closed
    // here, while the engine's process-wide state still exists.
    TheEngine().cursor.reset();
    TheEngine().session.reset();
    std::error_code ignored;
    std::filesystem::remove_all(WorkDirectory(), ignored);
    benchmark::Shutdown();
    return 0;
}
