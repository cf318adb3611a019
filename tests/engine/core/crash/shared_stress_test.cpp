// Several programs, each with two sessions of its own, change one shared table at random:
// every program inserts, modifies and deletes its own rows (their keys interleave with the
// other programs' in the same index pages) and reads everyone's. Each program checks what
// it reads against its own model: its rows through a range and a filter, exactly; the
// others' rows for consistency (no row half of one version and half of another, blobs that
// belong to the row's version, record IDs that never repeat). At the end the table
// verifies clean and holds exactly the rows the programs' models hold.
//
// The run in the suite is short; CORVANE_SHARED_STRESS_OPS sets the operations per
// program for a longer one.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

#include "engine/core/table_repair.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

constexpr std::uint32_t kNotes = 9;
constexpr int kPrograms = 3;
constexpr int kSessions = 2;

struct RowState {
    int version = 0;
    std::uint32_t id = 0;
};
using Model = std::map<std::string, RowState>;

TableDefinition StressDefinition() {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(kNotes, "Notes", 3, 22));
    LayOut(definition.fields);
    return definition;
}

std::uint32_t Mix(std::string_view item, int version) {
    std::uint32_t h = 2166136261u ^ static_cast<std::uint32_t>(version);
    for (const char ch : item)
        h = (h ^ static_cast<std::uint8_t>(ch)) * 16777619u;
    return h;
}

std::int32_t BouncesOf(std::string_view item, int version) {
    return static_cast<std::int32_t>(Mix(item, version) % 100000);
}

// Every fourth version has no blob; the others span from one to several blocks.
std::vector<std::uint8_t> NotesOf(std::string_view item, int version) {
    if (version % 4 == 0)
        return {};
    std::vector<std::uint8_t> notes(Mix(item, version + 7) % 2500 + 1);
    std::uint32_t h = Mix(item, version + 13);
    for (std::uint8_t& b : notes) {
        h = h * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(h >> 16);
    }
    return notes;
}

std::string CategoryOf(int program) {
    return "c" + std::to_string(program);
}

// A failed check: the program reports it and stops.
struct Mismatch : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Expect(bool condition, const std::string& what) {
    if (!condition)
        throw Mismatch(what);
}

void PutRow(TDataCursor& c, std::vector<std::uint8_t>& buffer, const std::string& item, int program,
            int version) {
    PutText(c, buffer, 2, item);
    PutText(c, buffer, 3, CategoryOf(program));
    PutInt(c, buffer, 4, BouncesOf(item, version));
    PutText(c, buffer, 5, "v" + std::to_string(version));
    const std::vector<std::uint8_t> notes = NotesOf(item, version);
    Expect(c.OpenBlob(kNotes, buffer, kBlobOpenReadWrite) == 0, "open blob for writing");
    Expect(c.TruncateBlob(kNotes, buffer, 0) == 0, "truncate blob");
    if (!notes.empty()) {
        Expect(c.WriteBlob(kNotes, buffer, static_cast<std::uint32_t>(notes.size()), notes.data(),
                           0) == 0,
               "write blob");
    }
}

int VersionOf(TDataCursor& c, const std::vector<std::uint8_t>& buffer) {
    const std::string comments = GetText(c, buffer, 5);
    Expect(comments.size() > 1 && comments[0] == 'v', "comments " + comments);
    return std::stoi(comments.substr(1));
}

// The blob of a row as read, or the engine code of the first step that failed.
struct Notes {
    std::vector<std::uint8_t> bytes;
    EngineErrorCode code = 0;
    std::string step;
};

Notes TryReadNotes(TDataCursor& c, std::vector<std::uint8_t>& buffer) {
    Notes notes;
    bool is_null = true;
    c.GetField(kNotes, buffer, is_null, {});
    if (is_null)
        return notes;
    auto failed = [&](EngineErrorCode code, const char* step) {
        notes.code = code;
        notes.step = step;
        return code != 0;
    };
    if (failed(c.OpenBlob(kNotes, buffer, kBlobOpenRead), "open"))
        return notes;
    std::uint32_t size = 0;
    if (!failed(c.GetBlobSize(kNotes, buffer, size), "size")) {
        notes.bytes.resize(size);
        std::uint32_t got = 0;
        if (size > 0 &&
            !failed(c.ReadBlob(kNotes, buffer, got, size, notes.bytes.data(), 0), "read"))
            Expect(got == size, "blob read short");
    }
    const EngineErrorCode closed = c.CloseBlob(kNotes, buffer);
    if (notes.code == 0)
        failed(closed, "close");
    return notes;
}

std::vector<std::uint8_t> ReadNotes(TDataCursor& c, std::vector<std::uint8_t>& buffer) {
    Notes notes = TryReadNotes(c, buffer);
    Expect(notes.code == 0, "blob " + notes.step + " gave " + std::to_string(notes.code));
    return std::move(notes.bytes);
}

// A row as a reader sees it: its fields belong to one version.
void CheckRowWhole(TDataCursor& c, const std::vector<std::uint8_t>& buffer,
                   const std::string& item) {
    const int version = VersionOf(c, buffer);
    Expect(GetInt(c, buffer, 4) == BouncesOf(item, version),
           item + ": bounces of another version than v" + std::to_string(version));
}

class StressProgram {
  public:
    StressProgram(const std::string& path, int program, int operations)
        : program_(program),
          operations_(operations),
          rng_(static_cast<std::uint32_t>(program) * 7919u + 3u) {
        for (int s = 0; s < kSessions; ++s) {
            sessions_[s].SetLockRetryCount(100);
            sessions_[s].SetLockWaitTime(100);
            // One session checks for other writers at every operation; the other only where a
            // read misses its caches or a lock is taken, and refreshes before it compares.
            sessions_[s].SetStrictChangeDetection(s == 0);
            TDataDirectory* home = sessions_[s].OpenDirectory("DB", path);
            writers_[s] = std::make_unique<TDataCursor>(*home);
            readers_[s] = std::make_unique<TDataCursor>(*home);
            for (TDataCursor* c : {writers_[s].get(), readers_[s].get()}) {
                c->SetTableName("mailist");
                c->SetExclusive(false);
                c->Open();
                c->SetIndexByName("ByItem");
            }
        }
    }

    void Run() {
        for (int i = 0; i < operations_; ++i) {
            const std::uint32_t roll = rng_() % 100;
            const int s = static_cast<int>(rng_() % kSessions);
            step_ = i;
            session_ = s;
            if (model_.size() < 10 || roll < 35) {
                operation_ = "insert";
                Insert(*writers_[s]);
            } else if (roll < 60) {
                operation_ = "modify";
                Modify(*writers_[s], PickOwn());
            } else if (roll < 72) {
                operation_ = "delete";
                Delete(*writers_[s], PickOwn());
            } else if (roll < 82) {
                operation_ = "range";
                CheckOwnRange(*readers_[s]);
            } else if (roll < 90) {
                operation_ = "filter";
                CheckOwnFilter(*readers_[s]);
            } else {
                operation_ = "scan";
                ScanEveryone(*readers_[s]);
            }
        }
        CheckOwnRange(*readers_[0]);
        CheckOwnFilter(*readers_[1]);
        for (int s = 0; s < kSessions; ++s) {
            writers_[s]->Close();
            readers_[s]->Close();
        }
    }

    const Model& Rows() const { return model_; }
    // Where the program stopped: step, session and operation.
    std::string Where() const {
        return "step " + std::to_string(step_) + ", session " + std::to_string(session_) + ", " +
               operation_;
    }
    std::uint64_t ForeignLockRefusals() const { return foreign_refusals_; }

  private:
    std::string PickOwn() {
        auto row = model_.begin();
        std::advance(row, static_cast<std::ptrdiff_t>(rng_() % model_.size()));
        return row->first;
    }

    void Insert(TDataCursor& c) {
        // Keys of all programs interleave: the leading number is drawn from one range.
        char item[48];
        std::snprintf(item, sizeof item, "i%06u-%d-%d@x", static_cast<unsigned>(rng_() % 1000000),
                      program_, ++serial_);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.InitNewRecord(buffer);
        PutRow(c, buffer, item, program_, 1);
        try {
            c.InsertRecord(buffer, true);
        } catch (const EStrataEngineError& error) {
            // Nobody holds a free slot for work here: a lock that waits for one waits with
            // the read lock, which the insert's write lock keeps out, so the slot is never
            // held against the insert. A refused insert must at least store nothing.
            if (error.ErrorCode() != kErrRecordLocked)
                throw;
            c.FreeBlobs();
            std::vector<std::uint8_t> probe(c.GetRecordSize());
            PutText(c, probe, 2, item);
            c.Refresh();
            Expect(!c.FindKey(false, probe, buffer, 0, false, 1),
                   std::string(item) + ": a refused insert stored its row");
            throw Mismatch(std::string(item) + ": insert refused the lock of its slot");
        }
        Expect(c.GetCurrentRecord(buffer, false) == 0, std::string(item) + ": not current");
        Expect(GetText(c, buffer, 2) == item, std::string(item) + ": another row is current");
        const std::uint32_t id = TDataCursor::RecordIdOf(buffer);
        Expect(id != 0 && ids_.insert(id).second,
               std::string(item) + ": record ID repeats: " + std::to_string(id));
        model_[item] = {1, id};
    }

    // Finds one of this program's rows and locks it: it must be there, and once locked it has
    // its latest version. A session that checks for other writers only at a cache miss may
    // read an older state first; the lock then refuses it (8708) and the row is read again.
    void FindAndLockOwn(TDataCursor& c, const std::string& item,
                        std::vector<std::uint8_t>& buffer) {
        const bool strict = c.Directory().Session().StrictChangeDetection();
        std::vector<std::uint8_t> probe(c.GetRecordSize());
        PutText(c, probe, 2, item);
        const RowState& state = model_.at(item);
        for (int attempt = 0;; ++attempt) {
            Expect(attempt < 3, item + ": no fresh read after " + std::to_string(attempt));
            if (!c.FindKey(false, probe, buffer, 0, false, 1)) {
                Expect(!strict && attempt == 0, item + ": own row missing");
                c.Refresh();
                continue;
            }
            Expect(!strict || VersionOf(c, buffer) == state.version,
                   item + ": stale version " + std::to_string(VersionOf(c, buffer)) + " for " +
                       std::to_string(state.version));
            // The read that locks raises 8708 where the row differs from the buffer.
            EngineErrorCode code = 0;
            try {
                code = c.GetCurrentRecord(buffer, true);
            } catch (const EStrataEngineError& error) {
                code = error.ErrorCode();
            }
            if (code == kErrRecordChanged && !strict)
                continue;
            Expect(code == 0, item + ": lock for edit gave " + std::to_string(code));
            break;
        }
        Expect(VersionOf(c, buffer) == state.version, item + ": locked version " +
                                                          std::to_string(VersionOf(c, buffer)) +
                                                          " for " + std::to_string(state.version));
        Expect(TDataCursor::RecordIdOf(buffer) == state.id, item + ": record ID changed");
    }

    void Modify(TDataCursor& c, const std::string& item) {
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        FindAndLockOwn(c, item, buffer);
        const int version = model_[item].version + 1;
        PutRow(c, buffer, item, program_, version);
        c.ModifyRecord(buffer, true, false);
        model_[item].version = version;
    }

    void Delete(TDataCursor& c, const std::string& item) {
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        FindAndLockOwn(c, item, buffer);
        c.DeleteRecord(buffer, false);
        model_.erase(item);
    }

    // Own rows through the category index's range: exactly the model's, in key order.
    void CheckOwnRange(TDataCursor& c) {
        if (!c.Directory().Session().StrictChangeDetection())
            c.Refresh();
        c.SetIndexByName("ByCategory");
        std::vector<std::uint8_t> key(c.GetRecordSize());
        PutText(c, key, 3, CategoryOf(program_));
        c.SetRangeKeys(false, key, 1, key, 1);
        std::set<std::string> seen;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::string item = GetText(c, buffer, 2);
            const auto own = model_.find(item);
            Expect(own != model_.end(), "range: row not in the model: " + item);
            Expect(VersionOf(c, buffer) == own->second.version, "range: stale row " + item);
            Expect(seen.insert(item).second, "range: row twice: " + item);
        }
        Expect(seen.size() == model_.size(), "range: " + std::to_string(seen.size()) +
                                                 " rows for " + std::to_string(model_.size()));
        // The count the cursor gives agrees with the walk.
        Expect(c.GetRecordCount() == static_cast<std::int64_t>(model_.size()), "range: count");
        c.CancelRange();
        c.SetIndexByName("ByItem");
    }

    // Own rows through a filter over the item order: the model's, in its order, with their
    // blobs.
    void CheckOwnFilter(TDataCursor& c) {
        if (!c.Directory().Session().StrictChangeDetection())
            c.Refresh();
        TFilter* filter = c.AddFilter("Category = '" + CategoryOf(program_) + "'", {});
        c.ActivateFilter(filter);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        auto expected = model_.begin();
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::string item = GetText(c, buffer, 2);
            Expect(expected != model_.end() && expected->first == item,
                   "filter: " + item + " where the model has " +
                       (expected == model_.end() ? std::string("none") : expected->first));
            Expect(VersionOf(c, buffer) == expected->second.version, "filter: stale row " + item);
            if (rng_() % 4 == 0)
                Expect(ReadNotes(c, buffer) == NotesOf(item, expected->second.version),
                       "filter: blob of " + item);
            ++expected;
        }
        if (expected != model_.end())
            throw Mismatch("filter: rows missing from " + expected->first);
        c.DropFilter(filter);
    }

    // Every program's rows: each whole, record IDs distinct, blobs of their version; now and
    // then a foreign row is locked for a moment, as an editor would.
    void ScanEveryone(TDataCursor& c) {
        std::set<std::uint32_t> ids;
        std::string last;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::string item = GetText(c, buffer, 2);
            Expect(last < item || last.empty(), "scan: order " + last + " then " + item);
            last = item;
            CheckRowWhole(c, buffer, item);
            Expect(ids.insert(TDataCursor::RecordIdOf(buffer)).second, "scan: ID twice");
            // A read that may come from the caches says nothing about a blob's current bytes.
            if (c.Directory().Session().StrictChangeDetection() && rng_() % 8 == 0) {
                const int version = VersionOf(c, buffer);
                const Notes notes = TryReadNotes(c, buffer);
                // The blob read may meet the owner's later version, or its blob gone with it;
                // the row read again tells.
                std::vector<std::uint8_t> again(c.GetRecordSize());
                if (c.GetCurrentRecord(again, false) == 0 && GetText(c, again, 2) == item &&
                    VersionOf(c, again) == version) {
                    Expect(notes.code == 0, "scan: blob " + notes.step + " of " + item + " gave " +
                                                std::to_string(notes.code));
                    Expect(notes.bytes == NotesOf(item, version), "scan: blob of " + item);
                } else if (notes.code != 0) {
                    ++stale_blob_reads_;
                }
            }
            if (rng_() % 16 == 0) {
                const EngineErrorCode code = CodeOf([&] {
                    if (c.GetCurrentRecord(buffer, true) == 0)
                        c.UnlockRecord(0);
                });
                // The owner may change the row between the read and the lock.
                Expect(code == 0 || code == kErrRecordChanged || code == kErrRecordLocked,
                       "scan: lock gave " + std::to_string(code));
                if (code == kErrRecordLocked)
                    ++foreign_refusals_;
            }
        }
    }

    int program_;
    int operations_;
    std::mt19937 rng_;
    TDataSession sessions_[kSessions];
    std::unique_ptr<TDataCursor> writers_[kSessions];
    std::unique_ptr<TDataCursor> readers_[kSessions];
    Model model_;
    std::set<std::uint32_t> ids_;
    int serial_ = 0;
    int step_ = 0;
    int session_ = 0;
    const char* operation_ = "open";
    std::uint64_t foreign_refusals_ = 0;
    std::uint64_t stale_blob_reads_ = 0;
};

int OperationsPerProgram() {
    if (const char* text = std::getenv("CORVANE_SHARED_STRESS_OPS"))
        return std::max(1, std::atoi(text));
    return 800;
}

void WriteModel(const std::string& file, const Model& rows) {
    std::ofstream out(file);
    for (const auto& [item, state] : rows)
        out << item << ' ' << state.version << ' ' << state.id << '\n';
}

Model ReadModel(const std::string& file) {
    Model rows;
    std::ifstream in(file);
    std::string item;
    RowState state;
    while (in >> item >> state.version >> state.id)
        rows[item] = state;
    return rows;
}

TEST_F(CursorTest, ProgramsSharingATableAgreeWithTheirModels) {
    {
        TDataCursor& c = NewCursor();
        c.CreateTable(StressDefinition(), true);
    }
    const std::string path = dir.Path().string();
    const int operations = OperationsPerProgram();
    std::vector<pid_t> programs;
    for (int p = 0; p < kPrograms; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int code = 0;
            std::string where = "open";
            try {
                StressProgram program(path, p, operations);
                try {
                    program.Run();
                } catch (...) {
                    where = program.Where();
                    throw;
                }
                WriteModel(dir.File("model" + std::to_string(p)), program.Rows());
            } catch (const EStrataEngineError& error) {
                std::fprintf(stderr, "program %d, %s: engine error %d: %s\n", p, where.c_str(),
                             int{error.ErrorCode()}, error.what());
                code = 2;
            } catch (const std::exception& error) {
                std::fprintf(stderr, "program %d, %s: %s\n", p, where.c_str(), error.what());
                code = 3;
            }
            ::_exit(code);
        }
        programs.push_back(pid);
    }
    for (const pid_t pid : programs) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ASSERT_FALSE(HasFailure());

    Model expected;
    for (int p = 0; p < kPrograms; ++p) {
        const Model rows = ReadModel(dir.File("model" + std::to_string(p)));
        expected.insert(rows.begin(), rows.end());
    }
    std::vector<std::string> lines;
    {
        TDataCursor c(*directory);
        c.SetTableName("mailist");
        c.SetExclusive(true);
        RepairTable(c, true, 1, {}, [&](std::string_view l) { lines.emplace_back(l); });
    }
    EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");

    TDataCursor& c = NewCursor();
    c.Open();
    c.SetIndexByName("ByItem");
    EXPECT_EQ(c.GetTableRecordCount(), static_cast<std::int64_t>(expected.size()));
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    std::set<std::uint32_t> ids;
    std::uint32_t highest = 0;
    auto want = expected.begin();
    c.First();
    while (c.GetNextRecord(buffer) == 0) {
        const std::string item = GetText(c, buffer, 2);
        ASSERT_TRUE(want != expected.end() && want->first == item) << item;
        const int version = VersionOf(c, buffer);
        EXPECT_EQ(version, want->second.version) << item;
        EXPECT_EQ(TDataCursor::RecordIdOf(buffer), want->second.id) << item;
        EXPECT_EQ(GetInt(c, buffer, 4), BouncesOf(item, version)) << item;
        EXPECT_EQ(ReadNotes(c, buffer), NotesOf(item, version)) << item;
        EXPECT_TRUE(ids.insert(TDataCursor::RecordIdOf(buffer)).second) << item;
        highest = std::max(highest, TDataCursor::RecordIdOf(buffer));
        ++want;
    }
    EXPECT_TRUE(want == expected.end());
    EXPECT_GE(c.GetLastAutoInc(), highest);
}

}  // namespace
}  // namespace strata
