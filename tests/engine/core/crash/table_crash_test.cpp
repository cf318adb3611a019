// Programs killed with SIGKILL while they change a table. After every kill the
// table opens consistent, or its open reports that it needs a repair; after the
// repair it verifies clean and holds every row the program was told it stored.
//
// Writers are killed after a random delay (fixed seed); maintenance (optimize,
// restructure, upgrade, repair) is killed before each of its file steps in
// turn, through the file layer's step hook.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "engine/core/table_repair.h"
#include "engine/core/table_restructure.h"
#include "engine/core/table_upgrade.h"
#include "engine/storage/file_handler.h"
#include "tests/engine/core/old_table_support.h"
#include "tests/engine/core/table_files_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

// Item -> Bounces.
using Rows = std::map<std::string, std::int32_t>;

struct Change {
    enum class Kind { kInsert, kModify, kDelete };
    Kind kind = Kind::kInsert;
    std::string item;
    std::int32_t bounces = 0;
};

// The next change, drawn from `rng` and the rows the table holds, so that the
// program and the test draw the same sequence from the same start.
Change NextChange(std::mt19937& rng, const Rows& rows, std::uint32_t& next_item) {
    const std::uint32_t roll = rng() % 100;
    const auto bounces = static_cast<std::int32_t>(rng() % 1000);
    if (rows.size() < 20 || (roll < 45 && rows.size() < 400))
        return {Change::Kind::kInsert, "u" + std::to_string(next_item++) + "@x", bounces};
    auto row = rows.begin();
    std::advance(row, static_cast<std::ptrdiff_t>(rng() % rows.size()));
    if (roll < 80)
        return {Change::Kind::kModify, row->first, bounces};
    return {Change::Kind::kDelete, row->first, 0};
}

void Apply(Rows& rows, const Change& change) {
    if (change.kind == Change::Kind::kDelete)
        rows.erase(change.item);
    else
        rows[change.item] = change.bounces;
}

void Apply(TDataCursor& c, const Change& change) {
    if (change.kind == Change::Kind::kInsert) {
        InsertEntry(c, change.item, "news", change.bounces);
        return;
    }
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    PutText(c, buffer, 2, change.item);
    if (!c.FindKey(false, buffer, buffer, 0, false, 1))
        throw std::runtime_error("row not found");
    if (change.kind == Change::Kind::kDelete) {
        c.DeleteRecord(buffer, false);
        return;
    }
    PutInt(c, buffer, 4, change.bounces);
    c.ModifyRecord(buffer, false, false);
}

// A forked program that runs `body` until it returns or is killed.
class Child {
  public:
    explicit Child(const std::function<void(int ack_fd)>& body) {
        int fds[2] = {-1, -1};
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            int code = 0;
            try {
                body(fds[1]);
            } catch (...) {
                code = 3;
            }
            ::_exit(code);
        }
        ::close(fds[1]);
        read_fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(read_fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Kill() { ::kill(pid_, SIGKILL); }
    // The exit code, or -signal when killed.
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    // Acknowledgements the program wrote, one byte each; call after Wait.
    std::size_t Acknowledged() const {
        std::size_t count = 0;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(read_fd_, buffer, sizeof buffer)) > 0)
            count += static_cast<std::size_t>(got);
        return count;
    }

  private:
    pid_t pid_ = -1;
    int read_fd_ = -1;
    bool waited_ = false;
};

std::atomic<long> steps_left{0};

void StopAtStep() {
    if (--steps_left == 0)
        ::kill(::getpid(), SIGKILL);
}

class KilledPrograms : public CursorTest {
  protected:
    std::unique_ptr<TDataCursor> Cursor(bool exclusive = true) {
        auto c = std::make_unique<TDataCursor>(*directory);
        c->SetTableName(table_);
        c->SetExclusive(exclusive);
        return c;
    }

    // Opens the table as the application does; when the open reports damage,
    // repairs it. True when a repair was needed.
    bool OpenOrRepair() {
        auto c = Cursor();
        const EngineErrorCode opened = CodeOf([&] { c->Open(); });
        if (opened == 0) {
            c->Close();
            return false;
        }
        auto repair = Cursor();
        RepairTable(*repair, false, 0);
        auto again = Cursor();
        again->Open();
        again->Close();
        return true;
    }

    std::vector<std::string> VerifyLines() {
        std::vector<std::string> lines;
        auto c = Cursor();
        RepairTable(*c, true, 0, {}, [&](std::string_view l) { lines.emplace_back(l); });
        return lines;
    }

    Rows ReadRows() {
        auto c = Cursor();
        c->Open();
        c->SetIndexByName("ByItem");
        Rows rows;
        std::vector<std::uint8_t> buffer(c->GetRecordSize());
        c->First();
        while (c->GetNextRecord(buffer) == 0)
            rows[GetText(*c, buffer, 2)] = GetInt(*c, buffer, 4).value_or(-1);
        c->Close();
        return rows;
    }

    std::set<std::string> IndexNames() {
        auto c = Cursor();
        c->Open();
        std::set<std::string> names;
        // Creation stores secondary index names trimmed and upper-cased; an
        // interrupted step must leave exactly the old or the new spelling.
        for (int i = 1; i <= c->GetIndexCount(); ++i)
            names.insert(IndexName(c->Table()->IndexFile().GetIndexDescriptor(i)));
        c->Close();
        return names;
    }

    bool JournalLeft() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.path().extension() == ".SWP")
                return true;
        }
        return false;
    }

    // The list table with rows u0..u(n-1), every third one deleted again.
    Rows MakeTable(int n) {
        auto c = Cursor();
        c->CreateTable(ListTableDefinition(), true);
        c->Open();
        c->SetIndexByName("ByItem");
        Rows rows;
        for (int i = 0; i < n; ++i) {
            const std::string item = "u" + std::to_string(i) + "@x";
            InsertEntry(*c, item, "news", i);
            rows[item] = i;
        }
        for (int i = 0; i < n; i += 3)
            Apply(*c, Change{Change::Kind::kDelete, "u" + std::to_string(i) + "@x", 0});
        for (int i = 0; i < n; i += 3)
            rows.erase("u" + std::to_string(i) + "@x");
        c->Close();
        return rows;
    }

    // Runs `work` in a program killed before its file step number `step`;
    // false when the work finished first.
    bool RunKilledAtStep(long step, const std::function<void()>& work) {
        Child child([&](int) {
            steps_left = step;
            SetFileStepHook(StopAtStep);
            work();
        });
        const int result = child.Wait();
        EXPECT_TRUE(result == 0 || result == -SIGKILL) << "step " << step << ": " << result;
        return result == -SIGKILL;
    }

    // Files in the table's folder that belong to no table of the test: what a
    // killed operation left behind.
    std::vector<std::string> StrayFiles() const {
        std::vector<std::string> stray;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && !name.starts_with("mailist.") &&
                !name.starts_with("renamed."))
                stray.push_back(name);
        }
        return stray;
    }

    bool Opens() {
        auto c = Cursor();
        const bool opened = CodeOf([&] { c->Open(); }) == 0;
        c->Close();
        return opened;
    }

    void RemoveTableFiles(std::initializer_list<const char*> bases) {
        for (const char* base : bases) {
            for (const char* ext : {".DAT", ".IDX", ".BLB", ".DBK", ".IBK", ".BBK", ".SWP"})
                std::filesystem::remove(dir.File(std::string(base) + ext));
        }
    }

    // The table the helpers work on.
    std::string table_ = "mailist";
    // An upgrade stopped before its swap leaves its new data file beside the table, as
    // described; every other operation leaves nothing.
    bool check_stray_ = true;

    void KilledWriters(bool exclusive, int rounds, std::uint32_t seed) {
        {
            auto c = Cursor();
            c->CreateTable(ListTableDefinition(), true);
        }
        std::mt19937 rng(seed);
        std::mt19937 delays(seed + 1);
        Rows rows;
        std::uint32_t next_item = 0;
        int repaired = 0;
        std::size_t changes = 0;
        const std::string path = dir.Path().string();
        for (int round = 0; round < rounds; ++round) {
            std::size_t acknowledged = 0;
            {
                Child child([&](int ack) {
                    TDataSession own;
                    TDataDirectory* home = own.OpenDirectory("DB", path);
                    TDataCursor c(*home);
                    c.SetTableName("mailist");
                    c.SetExclusive(exclusive);
                    c.Open();
                    c.SetIndexByName("ByItem");
                    for (;;) {
                        const Change change = NextChange(rng, rows, next_item);
                        Apply(c, change);
                        if (exclusive)
                            c.FlushBuffers(false, true, true);
                        Apply(rows, change);
                        if (::write(ack, "+", 1) != 1)
                            ::_exit(4);
                    }
                });
                ::usleep(static_cast<useconds_t>(delays() % 30000));
                child.Kill();
                ASSERT_EQ(child.Wait(), -SIGKILL) << "round " << round;
                acknowledged = child.Acknowledged();
            }
            changes += acknowledged;
            for (std::size_t i = 0; i < acknowledged; ++i)
                Apply(rows, NextChange(rng, rows, next_item));
            // The change in flight may or may not have been stored.
            std::mt19937 peek = rng;
            std::uint32_t peek_item = next_item;
            Rows with_next = rows;
            const Change in_flight = NextChange(peek, with_next, peek_item);
            Apply(with_next, in_flight);

            repaired += OpenOrRepair() ? 1 : 0;
            const std::vector<std::string> lines = VerifyLines();
            ASSERT_EQ(lines.size(), 2u) << "round " << round << ": " << lines[1];
            const Rows found = ReadRows();
            ASSERT_TRUE(found == rows || found == with_next)
                << "round " << round << ": " << found.size() << " rows, " << rows.size()
                << " acknowledged";
            if (found == with_next) {
                rows = with_next;
                rng = peek;
                next_item = peek_item;
            }
        }
        std::cout << rounds << " rounds, " << changes << " changes acknowledged, " << repaired
                  << " opens asked for a repair\n";
    }

    // Kills `work` before each of its file steps in turn (every `stride`-th
    // step, to stay bounded) until it finishes; after each kill `recover`
    // brings the table back and `check` looks at it. Returns the rounds.
    int KillAtEveryStep(const std::function<void()>& prepare, const std::function<void()>& work,
                        const std::function<void()>& recover, const std::function<void()>& check,
                        long stride = 1) {
        int rounds = 0;
        for (long step = 1;; step += stride) {
            prepare();
            if (!RunKilledAtStep(step, work))
                break;
            ++rounds;
            recover();
            if (HasFailure())
                break;
            EXPECT_FALSE(JournalLeft()) << "step " << step;
            if (check_stray_) {
                EXPECT_EQ(StrayFiles(), std::vector<std::string>()) << "step " << step;
            }
            const std::vector<std::string> lines = VerifyLines();
            EXPECT_EQ(lines.size(), 2u) << "step " << step << ": " << lines[1];
            check();
            if (HasFailure())
                break;
        }
        return rounds;
    }
};

TEST_F(KilledPrograms, SharedWritersLoseNoAcknowledgedRow) {
    KilledWriters(false, 150, 17);
}

TEST_F(KilledPrograms, ExclusiveWritersFlushingEachChangeLoseNoAcknowledgedRow) {
    KilledWriters(true, 100, 23);
}

// Another program has the table open while a writer is killed at a random point of its work.
// It reads on: a whole state (the acknowledged rows, with or without the change in flight) or
// a refusal, never a mixture; a write of its own is refused while the dead writer's mark is on.
// It closes, and the next open finds the table as a lone program's kill leaves it.
TEST_F(KilledPrograms, AProgramStillOpenWhenAWriterIsKilledReadsAWholeStateOrIsRefused) {
    {
        auto c = Cursor();
        c->CreateTable(ListTableDefinition(), true);
    }
    session->SetStrictChangeDetection(true);
    std::mt19937 rng(31);
    std::mt19937 delays(32);
    Rows rows;
    std::uint32_t next_item = 0;
    int refused_reads = 0;
    int refused_writes = 0;
    const std::string path = dir.Path().string();
    for (int round = 0; round < 60; ++round) {
        Child child([&](int ack) {
            TDataSession own;
            TDataDirectory* home = own.OpenDirectory("DB", path);
            TDataCursor c(*home);
            c.SetTableName("mailist");
            c.SetExclusive(false);
            c.Open();
            c.SetIndexByName("ByItem");
            for (;;) {
                const Change change = NextChange(rng, rows, next_item);
                Apply(c, change);
                Apply(rows, change);
                if (::write(ack, "+", 1) != 1)
                    ::_exit(4);
            }
        });
        // Opened after the fork: the writer must not share this program's open files.
        auto survivor = Cursor(false);
        survivor->Open();
        survivor->SetIndexByName("ByItem");
        ::usleep(static_cast<useconds_t>(delays() % 20000));
        child.Kill();
        ASSERT_EQ(child.Wait(), -SIGKILL) << "round " << round;
        const std::size_t acknowledged = child.Acknowledged();
        for (std::size_t i = 0; i < acknowledged; ++i)
            Apply(rows, NextChange(rng, rows, next_item));
        std::mt19937 peek = rng;
        std::uint32_t peek_item = next_item;
        Rows with_next = rows;
        Apply(with_next, NextChange(peek, with_next, peek_item));

        Rows seen;
        const EngineErrorCode read = CodeOf([&] {
            std::vector<std::uint8_t> buffer(survivor->GetRecordSize());
            survivor->First();
            while (survivor->GetNextRecord(buffer) == 0)
                seen[GetText(*survivor, buffer, 2)] = GetInt(*survivor, buffer, 4).value_or(-1);
        });
        if (read == 0) {
            ASSERT_TRUE(seen == rows || seen == with_next)
                << "round " << round << ": read " << seen.size() << " rows, " << rows.size()
                << " acknowledged; mark " << survivor->Table()->DataFile().WriteInterrupted();
        } else {
            ++refused_reads;
        }
        const EngineErrorCode wrote =
            CodeOf([&] { InsertEntry(*survivor, "s" + std::to_string(round) + "@x", "news", 1); });
        ASSERT_TRUE(wrote == 0 || wrote == kErrHeaderCorrupt) << "round " << round << ": " << wrote;
        refused_writes += wrote == 0 ? 0 : 1;
        survivor->Close();

        OpenOrRepair();
        ASSERT_EQ(VerifyLines().size(), 2u) << "round " << round;
        const Rows found = ReadRows();
        Rows found_own = found;
        if (wrote == 0) {
            EXPECT_EQ(found_own.erase("s" + std::to_string(round) + "@x"), 1u) << round;
        }
        ASSERT_TRUE(found_own == rows || found_own == with_next)
            << "round " << round << ": " << found_own.size() << " rows, " << rows.size()
            << " acknowledged";
        if (found_own == with_next) {
            rows = with_next;
            rng = peek;
            next_item = peek_item;
        }
        // The survivor's row joins the rows the writer draws its changes from.
        if (wrote == 0)
            rows["s" + std::to_string(round) + "@x"] = 1;
    }
    std::cout << refused_reads << " reads and " << refused_writes
              << " writes refused after a kill\n";
}

// The same, step by step: a writer inserting rows is killed before each of its file steps in
// turn while another program has the table open with its caches warm. That program reads the
// rows before the writer's change or after some of its inserts, or is refused; a read that
// mixes a half-written flush with the rest is a fault.
TEST_F(KilledPrograms, AReaderOpenWhileAWriterIsKilledAtEachStepIsNeverShownAHalfWrittenFlush) {
    constexpr int kInserts = 12;
    const std::string path = dir.Path().string();
    session->SetStrictChangeDetection(true);
    const auto inserted = [](int i) { return "w" + std::to_string(100 + i) + "@x"; };
    int refusals = 0;
    int rounds = 0;
    for (long step = 1;; step += 3) {
        const Rows before = MakeTable(30);
        SecondProgram writer([&](SecondProgram& self) {
            TDataSession own;
            TDataCursor c(*own.OpenDirectory("DB", path));
            c.SetTableName("mailist");
            c.SetExclusive(false);
            c.Open();
            self.Signal();
            self.AwaitGo();
            steps_left = step;
            SetFileStepHook(StopAtStep);
            for (int i = 0; i < kInserts; ++i)
                InsertEntry(c, inserted(i), "news", i);
            SetFileStepHook(nullptr);
            c.Close();
            return 0;
        });
        ASSERT_TRUE(writer.AwaitSignal());
        // Opened after the fork and before the kill.
        auto reader = Cursor(false);
        reader->Open();
        reader->SetIndexByName("ByItem");
        EXPECT_EQ(Items(*reader).size(), before.size());
        writer.Go();
        if (writer.Wait() == 0) {
            reader->Close();
            break;
        }
        ++rounds;
        // The rows a whole state holds: those before, and the first `k` inserts.
        const auto whole = [&](const std::vector<std::string>& items) {
            std::set<std::string> expected;
            for (const auto& [item, bounces] : before)
                expected.insert(item);
            for (int k = 0; k <= kInserts; ++k) {
                if (std::set<std::string>(items.begin(), items.end()) == expected &&
                    items.size() == expected.size()) {
                    return true;
                }
                expected.insert(inserted(k));
            }
            return false;
        };
        std::vector<std::string> seen;
        const EngineErrorCode read = CodeOf([&] { seen = Items(*reader); });
        if (read == 0) {
            EXPECT_TRUE(whole(seen)) << "step " << step << ": read " << seen.size() << " rows";
        } else {
            EXPECT_EQ(read, kErrHeaderCorrupt) << "step " << step;
            ++refusals;
        }
        const EngineErrorCode wrote = CodeOf([&] { InsertEntry(*reader, "r@x", "news", 1); });
        EXPECT_TRUE(wrote == 0 || wrote == kErrHeaderCorrupt) << "step " << step << ": " << wrote;
        reader->Close();
        OpenOrRepair();
        const std::vector<std::string> lines = VerifyLines();
        EXPECT_EQ(lines.size(), 2u) << "step " << step << ": " << lines[1];
        std::vector<std::string> stored;
        for (const auto& [item, bounces] : ReadRows()) {
            if (item != "r@x")
                stored.push_back(item);
        }
        EXPECT_TRUE(whole(stored)) << "step " << step << ": " << stored.size() << " rows kept";
        if (HasFailure())
            break;
    }
    EXPECT_GT(rounds, 10);
    // Some kills fall inside a flush: the reader learns of the writer's death there.
    EXPECT_GT(refusals, 0);
}

// A batch's flush at its commit interval hands the index pages to a helper thread and goes on;
// a program killed before the helper wrote them has the data file's records without their
// index entries, and must leave the in-progress mark for the next open to find.
std::atomic<bool> flush_returned{false};
std::thread::id batch_thread;

void HoldIndexWritesUntilTheFlushReturned() {
    if (std::this_thread::get_id() == batch_thread)
        return;
    flush_returned.wait(false);
    ::kill(::getpid(), SIGKILL);
}

TEST_F(KilledPrograms, AProgramKilledBeforeItsBatchFlushWroteTheIndexPagesAsksForARepair) {
    Rows rows = MakeTable(60);
    const std::string path = dir.Path().string();
    Child child([&](int) {
        TDataSession own;
        TDataDirectory* home = own.OpenDirectory("DB", path);
        TDataCursor c(*home);
        c.SetTableName("mailist");
        c.SetExclusive(false);
        c.Open();
        c.SetIndexByName("ByItem");
        home->BeginUpdateBatch();
        for (int i = 1000; i < 1400; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "news", i);
        batch_thread = std::this_thread::get_id();
        SetFileStepHook(HoldIndexWritesUntilTheFlushReturned);
        home->EndUpdateBatch(false);
        flush_returned = true;
        flush_returned.notify_all();
        ::pause();
    });
    ASSERT_EQ(child.Wait(), -SIGKILL);
    for (int i = 1000; i < 1400; ++i)
        rows["u" + std::to_string(i) + "@x"] = i;

    auto c = Cursor();
    EXPECT_EQ(CodeOf([&] { c->Open(); }), kErrHeaderCorrupt)
        << "opened on an index without the flushed rows' entries";
    c->Close();
    EXPECT_TRUE(OpenOrRepair());
    const std::vector<std::string> lines = VerifyLines();
    EXPECT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(ReadRows().size(), rows.size());
    EXPECT_EQ(ReadRows(), rows);
}

TEST_F(KilledPrograms, OptimizeAndRestructureNeverLoseTheTable) {
    const std::set<std::string> old_names = {"BYITEM", "BYCATEGORY", "BYBOUNCE"};
    struct Case {
        const char* what;
        std::function<void(TDataCursor&)> work;
        std::set<std::string> new_names;
    };
    const auto added_index = [] {
        TableDefinition d = ListTableDefinition();
        d.indexes.push_back(MakeIndex("ByName", {6}, false));
        return d;
    };
    const auto wider_item = [] {
        TableDefinition d = ListTableDefinition();
        d.fields[1] = MakeFieldDescriptor(FieldNumber(d.fields[1]), "Item", 1, 0, 60);
        d.indexes.push_back(MakeIndex("ByName", {6}, false));
        return d;
    };
    std::set<std::string> with_name = old_names;
    with_name.insert("BYNAME");
    const std::vector<Case> cases = {
        {"optimize", [](TDataCursor& c) { c.OptimizeTable("ByItem", true); }, old_names},
        {"optimize without backup", [](TDataCursor& c) { c.OptimizeTable("", false); }, old_names},
        {"index rebuild", [&](TDataCursor& c) { RestructureTable(c, added_index(), {}); },
         with_name},
        {"full rebuild", [&](TDataCursor& c) { RestructureTable(c, wider_item(), {}); }, with_name},
    };
    int rounds = 0;
    for (const Case& test : cases) {
        Rows rows;
        rounds += KillAtEveryStep([&] { rows = MakeTable(30); },
                                  [&] {
                                      auto c = Cursor();
                                      test.work(*c);
                                  },
                                  [&] { OpenOrRepair(); },
                                  [&] {
                                      EXPECT_EQ(ReadRows(), rows) << test.what;
                                      const std::set<std::string> names = IndexNames();
                                      EXPECT_TRUE(names == old_names || names == test.new_names)
                                          << test.what << ": " << ::testing::PrintToString(names);
                                  });
    }
    std::cout << rounds << " kills\n";
    EXPECT_GE(rounds, 20);
}

TEST_F(KilledPrograms, RepairAndUpgradeCanBeKilledAnywhere) {
    int rounds = 0;
    Rows rows;
    rounds += KillAtEveryStep([&] { rows = MakeTable(30); },
                              [&] {
                                  auto c = Cursor();
                                  RepairTable(*c, false, 0);
                              },
                              [&] { OpenOrRepair(); }, [&] { EXPECT_EQ(ReadRows(), rows); });

    const std::vector<OldRow> old_rows = {{1, "a@x", 0}, {2, "b@x", 1}, {3, "c@x", 2}};
    check_stray_ = false;
    for (const std::uint8_t version : {std::uint8_t{2}, std::uint8_t{3}}) {
        const OldTableWriter writer(version, true);
        rounds += KillAtEveryStep(
            [&] {
                for (const char* ext : {".DAT", ".IDX", ".BLB", ".DUP", ".IUP", ".SWP"})
                    std::filesystem::remove(dir.File(std::string("mailist") + ext));
                writer.Write(dir.File("mailist"), old_rows, true, true);
            },
            [&] {
                auto c = Cursor();
                UpgradeTable(*c);
            },
            [&] {
                // The application's answer to a table that does not open:
                // the upgrade, which finishes or starts over.
                auto c = Cursor();
                if (CodeOf([&] { c->Open(); }) == 0) {
                    c->Close();
                    return;
                }
                auto upgrade = Cursor();
                UpgradeTable(*upgrade);
                OpenOrRepair();
            },
            [&] {
                auto c = Cursor();
                c->SetPhysicalOrder(true);
                c->Open();
                EXPECT_EQ(c->GetRecordCount(), 3) << "version " << int(version);
                c->Close();
            });
    }
    std::cout << rounds << " kills\n";
    EXPECT_GE(rounds, 20);
}

// A rename and a move to the backup names take the files one by one. A program
// killed between two moves left the data file under one name and the index file
// under the other; the next open of the data file made a new, empty index file,
// and the table's index definitions were gone for good.
TEST_F(KilledPrograms, RenameAndBackupLeaveTheWholeTableUnderOneName) {
    const std::set<std::string> names = {"BYITEM", "BYCATEGORY", "BYBOUNCE"};
    int rounds = 0;
    for (const bool backup : {false, true}) {
        for (long step = 1;; ++step) {
            RemoveTableFiles({"mailist", "renamed"});
            table_ = "mailist";
            const Rows rows = MakeTable(30);
            const auto data = ReadBytes(dir.File("mailist.DAT"));
            const auto index = ReadBytes(dir.File("mailist.IDX"));
            const bool killed = RunKilledAtStep(step, [&] {
                auto c = Cursor();
                if (backup)
                    c->BackupTable();
                else
                    c->RenameTable("renamed");
            });
            const bool old_opens = Opens();
            if (backup) {
                if (!old_opens) {
                    EXPECT_FALSE(std::filesystem::exists(dir.File("mailist.DAT"))) << step;
                    EXPECT_FALSE(std::filesystem::exists(dir.File("mailist.IDX"))) << step;
                    EXPECT_TRUE(ReadBytes(dir.File("mailist.DBK")) == data) << step;
                    EXPECT_TRUE(ReadBytes(dir.File("mailist.IBK")) == index) << step;
                }
            } else {
                table_ = "renamed";
                const bool new_opens = Opens();
                EXPECT_NE(old_opens, new_opens) << "step " << step;
                table_ = new_opens ? "renamed" : "mailist";
            }
            if (Opens()) {
                EXPECT_EQ(ReadRows(), rows) << "step " << step;
                EXPECT_EQ(IndexNames(), names) << "step " << step;
                EXPECT_EQ(VerifyLines().size(), 2u) << "step " << step;
                EXPECT_FALSE(JournalLeft()) << "step " << step;
            }
            if (!killed || HasFailure())
                break;
            ++rounds;
        }
    }
    std::cout << rounds << " kills\n";
    EXPECT_GE(rounds, 4);
}

// The same into another folder, on this file system and on another one (a file system of its
// own, where a privileged run can mount one): killed between two moves, the table never has its
// data file in one folder and its index file in the other. The next open of the table finishes
// the moves, and nothing else is left behind in either folder.
TEST_F(KilledPrograms, RenameAndBackupIntoAnotherFolderLeaveTheWholeTableInOne) {
    const std::set<std::string> names = {"BYITEM", "BYCATEGORY", "BYBOUNCE"};
    const std::string other = dir.File("other");
    const auto regular_files = [](const std::string& folder) {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.is_regular_file())
                found.insert(entry.path().filename().string());
        }
        return found;
    };
    int rounds = 0;
    for (const bool mounted : {false, true}) {
        std::filesystem::create_directories(other);
        if (mounted && ::mount("tmpfs", other.c_str(), "tmpfs", 0, "size=4m") != 0) {
            std::cout << "no file system of its own can be mounted here\n";
            break;
        }
        for (const bool backup : {false, true}) {
            for (long step = 1;; ++step) {
                SCOPED_TRACE(std::string(mounted ? "mounted, " : "") +
                             (backup ? "backup, " : "rename, ") + "step " + std::to_string(step));
                for (const auto& entry : std::filesystem::directory_iterator(other))
                    std::filesystem::remove(entry.path());
                RemoveTableFiles({"mailist"});
                table_ = "mailist";
                const Rows rows = MakeTable(30);
                const auto data = ReadBytes(dir.File("mailist.DAT"));
                const auto index = ReadBytes(dir.File("mailist.IDX"));
                const std::string target = other + (backup ? "/mailist" : "/renamed");
                const bool killed = RunKilledAtStep(step, [&] {
                    if (directory->RenameTable("mailist", target, backup, false) < 0)
                        throw std::runtime_error("refused");
                });
                const bool old_opens = Opens();
                if (backup) {
                    if (!old_opens) {
                        EXPECT_TRUE(ReadBytes(other + "/mailist.DBK") == data);
                        EXPECT_TRUE(ReadBytes(other + "/mailist.IBK") == index);
                    }
                } else {
                    table_ = target;
                    const bool new_opens = Opens();
                    EXPECT_NE(old_opens, new_opens);
                    table_ = new_opens ? target : "mailist";
                }
                const bool moved = table_ != "mailist" || (backup && !old_opens);
                const std::set<std::string> expected_here =
                    moved ? std::set<std::string>{}
                          : std::set<std::string>{"mailist.DAT", "mailist.IDX"};
                const std::set<std::string> expected_there =
                    !moved   ? std::set<std::string>{}
                    : backup ? std::set<std::string>{"mailist.DBK", "mailist.IBK"}
                             : std::set<std::string>{"renamed.DAT", "renamed.IDX"};
                EXPECT_EQ(regular_files(dir.Path().string()), expected_here);
                EXPECT_EQ(regular_files(other), expected_there);
                if (Opens()) {
                    EXPECT_EQ(ReadRows(), rows);
                    EXPECT_EQ(IndexNames(), names);
                    EXPECT_EQ(VerifyLines().size(), 2u);
                }
                if (!killed || HasFailure())
                    break;
                ++rounds;
            }
        }
        if (mounted)
            ::umount(other.c_str());
    }
    std::cout << rounds << " kills\n";
    EXPECT_GE(rounds, 4);
}

// Emptying a table killed part of the way: the next open gives the whole table,
// an empty one, or asks for the repair that gives one of them.
TEST_F(KilledPrograms, EmptyingATableKilledAnywhereLeavesAllRowsOrNone) {
    Rows rows;
    const int rounds = KillAtEveryStep([&] { rows = MakeTable(30); },
                                       [&] {
                                           auto c = Cursor();
                                           c->Open();
                                           c->EmptyTable();
                                           c->Close();
                                       },
                                       [&] { OpenOrRepair(); },
                                       [&] {
                                           const Rows found = ReadRows();
                                           EXPECT_TRUE(found == rows || found.empty())
                                               << found.size() << " rows";
                                       });
    std::cout << rounds << " kills\n";
    EXPECT_GE(rounds, 2);
}

// While an optimize moves its new files in beside the table, the journal naming them is
// held: another program's open is refused then, and does not remove the new files as
// ones a killed program left, which would have the optimize report success unapplied.
SecondProgram* paused_program = nullptr;
std::string paused_journal;

// Pauses at the second file step that finds the journal: after the first new file moved in.
void PauseOnceTheJournalExists() {
    static int seen = 0;
    if (paused_program == nullptr || !std::filesystem::exists(paused_journal) || ++seen < 2)
        return;
    SecondProgram* program = std::exchange(paused_program, nullptr);
    program->Signal();
    program->AwaitGo();
}

TEST_F(KilledPrograms, AnotherProgramsOpenLeavesTheFilesAnOptimizeMovesIn) {
    const Rows rows = MakeTable(40);
    const std::string path = dir.Path().string();
    const std::string private_dir = dir.File("private");
    SecondProgram optimizer([&](SecondProgram& self) {
        TDataSession own;
        own.SetPrivateDir(private_dir);
        TDataDirectory* home = own.OpenDirectory("DB", path);
        TDataCursor c(*home);
        c.SetTableName("mailist");
        c.SetExclusive(true);
        paused_program = &self;
        paused_journal = dir.File("mailist.SWP");
        SetFileStepHook(PauseOnceTheJournalExists);
        c.OptimizeTable("ByItem", false);
        return 0;
    });
    ASSERT_TRUE(optimizer.AwaitSignal());
    const auto staged = StrayFiles();
    EXPECT_FALSE(staged.empty());
    EXPECT_EQ(CodeOf([&] {
                  auto c = Cursor();
                  c->Open();
              }),
              kErrAccessDenied);
    EXPECT_EQ(StrayFiles(), staged);
    optimizer.Go();
    EXPECT_EQ(optimizer.Wait(), 0);
    EXPECT_EQ(StrayFiles(), std::vector<std::string>());
    EXPECT_FALSE(JournalLeft());
    EXPECT_EQ(ReadRows(), rows);
    EXPECT_EQ(VerifyLines().size(), 2u);
}

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

// Programs killed at a random moment while they post batches of changes, shared or
// exclusive, with and without forced flushes. Every row of a committed batch is there
// with its value; a row of the batch in flight is as before it or as after it.
// CORVANE_BATCH_KILL_ROUNDS and CORVANE_BATCH_KILL_SEED make longer runs.
TEST_F(KilledPrograms, BatchesKilledAnywhereKeepEveryCommittedRow) {
    const auto rounds = static_cast<int>(EnvNumber("CORVANE_BATCH_KILL_ROUNDS", 12));
    const auto seed = static_cast<std::uint32_t>(EnvNumber("CORVANE_BATCH_KILL_SEED", 41));
    constexpr int kBatch = 12;
    const std::string path = dir.Path().string();
    int repaired = 0;
    std::size_t batches = 0;
    for (const bool exclusive : {true, false}) {
        for (const bool forced : {false, true}) {
            RemoveTableFiles({"mailist"});
            {
                auto c = Cursor();
                c->CreateTable(ListTableDefinition(), true);
            }
            std::mt19937 rng(seed + (exclusive ? 2 : 0) + (forced ? 1 : 0));
            std::mt19937 delays(seed * 7 + (exclusive ? 2 : 0) + (forced ? 1 : 0));
            Rows rows;
            std::uint32_t next_item = 0;
            for (int round = 0; round < rounds; ++round) {
                std::size_t acknowledged = 0;
                {
                    Child child([&](int ack) {
                        TDataSession own;
                        own.SetForceBufferFlush(forced);
                        TDataDirectory* home = own.OpenDirectory("DB", path);
                        TDataCursor c(*home);
                        c.SetTableName("mailist");
                        c.SetExclusive(exclusive);
                        c.Open();
                        c.SetIndexByName("ByItem");
                        for (;;) {
                            home->BeginUpdateBatch();
                            for (int k = 0; k < kBatch; ++k) {
                                const Change change = NextChange(rng, rows, next_item);
                                Apply(c, change);
                                Apply(rows, change);
                            }
                            home->EndUpdateBatch(true);
                            if (::write(ack, "+", 1) != 1)
                                ::_exit(4);
                        }
                    });
                    ::usleep(static_cast<useconds_t>(delays() % 60000));
                    child.Kill();
                    ASSERT_EQ(child.Wait(), -SIGKILL) << "round " << round;
                    acknowledged = child.Acknowledged();
                }
                batches += acknowledged;
                for (std::size_t b = 0; b < acknowledged; ++b) {
                    for (int k = 0; k < kBatch; ++k)
                        Apply(rows, NextChange(rng, rows, next_item));
                }
                // The batch in flight, row by row before or after.
                Rows after = rows;
                std::uint32_t after_item = next_item;
                std::mt19937 peek = rng;
                for (int k = 0; k < kBatch; ++k)
                    Apply(after, NextChange(peek, after, after_item));

                repaired += OpenOrRepair() ? 1 : 0;
                const std::vector<std::string> lines = VerifyLines();
                ASSERT_EQ(lines.size(), 2u) << "round " << round << ": " << lines[1];
                const Rows found = ReadRows();
                std::set<std::string> keys;
                for (const Rows* r : std::array<const Rows*, 3>{&rows, &after, &found}) {
                    for (const auto& [item, bounces] : *r)
                        keys.insert(item);
                }
                const auto value = [](const Rows& r, const std::string& item) {
                    const auto at = r.find(item);
                    return at == r.end() ? std::optional<std::int32_t>() : at->second;
                };
                for (const std::string& item : keys) {
                    const auto got = value(found, item);
                    ASSERT_TRUE(got == value(rows, item) || got == value(after, item))
                        << (exclusive ? "exclusive" : "shared") << (forced ? " forced" : "")
                        << " round " << round << ": " << item;
                }
                // The program that goes on starts from what the table holds.
                if (found != rows) {
                    rows = found;
                    next_item = after_item;
                    rng = peek;
                }
            }
        }
    }
    std::cout << batches << " batches committed, " << repaired << " opens asked for a repair\n";
}

}  // namespace
}  // namespace strata
