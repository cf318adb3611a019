// One table shared by several holders: another program (a forked process) or another session
// of this program (its own directory and table object over the same files). Each holder's
// locks hold against the others with the codes a dataset reports, and work on the whole
// table is refused while anyone else has it open.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "engine/core/data_cursor.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_restructure.h"
#include "engine/storage/engine_error.h"
#include "platform/os/clock.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

// What the holder does while the test looks at the table.
enum class Hold { kOpen, kTableLock, kFirstRowLock, kStatementReadLock, kWriteLock };

// A holder of the table: another program, or another session of this one. `Take` opens its
// cursor and takes the hold; `Release` lets it go and closes.
class Holder {
  public:
    virtual ~Holder() = default;
    virtual void Take(Hold hold) = 0;
    virtual void Release() = 0;
};

void TakeHold(TDataCursor& c, Hold hold) {
    c.Open();
    c.SetIndexByName("ByItem");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    switch (hold) {
        case Hold::kOpen:
            break;
        case Hold::kTableLock:
            c.LockTable();
            break;
        case Hold::kFirstRowLock:
            c.First();
            if (c.GetNextRecord(buffer) != 0 || c.GetCurrentRecord(buffer, true) != 0)
                throw std::runtime_error("first row");
            break;
        case Hold::kStatementReadLock:
            c.HoldReadLock();
            break;
        case Hold::kWriteLock:
            c.WriteLock();
            break;
    }
}

void ReleaseHold(TDataCursor& c, Hold hold) {
    switch (hold) {
        case Hold::kTableLock:
            c.UnlockTable();
            break;
        case Hold::kFirstRowLock:
            c.UnlockRecord(0);
            break;
        case Hold::kStatementReadLock:
            c.ReleaseReadLock();
            break;
        case Hold::kWriteLock:
            c.WriteUnlock();
            break;
        case Hold::kOpen:
            break;
    }
    c.Close();
}

class OtherSession final : public Holder {
  public:
    explicit OtherSession(const std::string& path) {
        directory_ = session_.OpenDirectory("DB", path);
        cursor_ = std::make_unique<TDataCursor>(*directory_);
        cursor_->SetTableName("mailist");
        cursor_->SetExclusive(false);
    }
    void Take(Hold hold) override {
        hold_ = hold;
        TakeHold(*cursor_, hold);
    }
    void Release() override { ReleaseHold(*cursor_, hold_); }

  private:
    TDataSession session_;
    TDataDirectory* directory_ = nullptr;
    std::unique_ptr<TDataCursor> cursor_;
    Hold hold_ = Hold::kOpen;
};

// The program is forked at once, before this one opens the table: a forked program must not
// inherit this one's open files, whose locks it would share. It then takes and releases holds
// as the test tells it, one command byte each.
class OtherProgram final : public Holder {
  public:
    explicit OtherProgram(const std::string& path) {
        if (::pipe(commands_) != 0)
            throw std::runtime_error("pipe");
        program_ = std::make_unique<SecondProgram>([this, path](SecondProgram& self) {
            OtherSession own(path);
            for (;;) {
                char command = 0;
                if (::read(commands_[0], &command, 1) != 1 || command == 'q')
                    return 0;
                if (command == 'x')
                    own.Release();
                else
                    own.Take(static_cast<Hold>(command - '0'));
                self.Signal();
            }
        });
    }
    ~OtherProgram() override {
        Send('q');
        EXPECT_EQ(program_->Wait(), 0);
        ::close(commands_[0]);
        ::close(commands_[1]);
    }
    void Take(Hold hold) override {
        Send(static_cast<char>('0' + static_cast<int>(hold)));
        if (!program_->AwaitSignal())
            throw std::runtime_error("the other program did not take its hold");
    }
    void Release() override {
        Send('x');
        EXPECT_TRUE(program_->AwaitSignal());
    }

  private:
    void Send(char command) { (void)!::write(commands_[1], &command, 1); }

    int commands_[2] = {-1, -1};
    std::unique_ptr<SecondProgram> program_;
};

class SharedTable : public TwoPrograms, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        TwoPrograms::SetUp();
        // Refusals come at the first attempt, so the test does not wait them out.
        session->SetLockRetryCount(0);
        MakeTable(4);
    }
    std::unique_ptr<Holder> MakeHolder() {
        if (GetParam())
            return std::make_unique<OtherProgram>(dir.Path().string());
        return std::make_unique<OtherSession>(dir.Path().string());
    }
    TDataCursor& Shared() {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        c.SetIndexByName("ByItem");
        return c;
    }
    // Locks the row at `position` (1-based in item order): 0 or the engine error.
    static EngineErrorCode LockRow(TDataCursor& c, int position) {
        return CodeOf([&] {
            std::vector<std::uint8_t> buffer(c.GetRecordSize());
            c.First();
            for (int i = 0; i < position; ++i) {
                if (c.GetNextRecord(buffer) != 0)
                    throw std::runtime_error("row missing");
            }
            if (c.GetCurrentRecord(buffer, true) == 0)
                c.UnlockRecord(0);
        });
    }
};

// The table lock and a record lock of the holder refuse what overlaps them, and only that.
TEST_P(SharedTable, TableAndRecordLocksAreRefusedWhileHeldAndGrantedOnceReleased) {
    const std::unique_ptr<Holder> holder = MakeHolder();
    holder->Take(Hold::kTableLock);
    TDataCursor& c = Shared();
    EXPECT_EQ(CodeOf([&] { c.LockTable(); }), kErrTableLocked);
    EXPECT_EQ(LockRow(c, 2), kErrRecordLocked);
    // An insert locks the slot it fills.
    EXPECT_EQ(CodeOf([&] { InsertEntry(c, "new@x", "A", 1); }), kErrRecordLocked);
    c.Close();
    holder->Release();

    holder->Take(Hold::kFirstRowLock);
    c.Open();
    c.SetIndexByName("ByItem");
    EXPECT_EQ(c.GetTableRecordCount(), 4);
    EXPECT_EQ(LockRow(c, 1), kErrRecordLocked);
    EXPECT_EQ(LockRow(c, 2), 0);
    EXPECT_EQ(CodeOf([&] { c.LockTable(); }), kErrTableLocked);
    c.Close();
    holder->Release();

    c.Open();
    c.SetIndexByName("ByItem");
    EXPECT_EQ(CodeOf([&] { c.LockTable(); }), 0);
    EXPECT_EQ(LockRow(c, 1), 0);
    c.UnlockTable();
    InsertEntry(c, "new@x", "A", 1);
    EXPECT_EQ(c.GetTableRecordCount(), 5);
}

// Every way a holder's lock refuses this program's work gives the code and the text of the
// error table, with the table's name, and leaves the table as it was: no row, key or count
// changes, and the files verify clean afterwards. A statement read lock refuses writes only
// (after the whole lock wait, here on a fake clock).
TEST_P(SharedTable, RefusalsGiveTheirCodeAndTextAndChangeNothing) {
    const std::unique_ptr<Holder> holder = MakeHolder();
    constexpr EngineErrorCode kNotTried = 1;
    struct Case {
        Hold hold;
        EngineErrorCode lock_row, lock_table, insert, modify, remove;
    };
    const Case cases[] = {
        {Hold::kTableLock, kErrRecordLocked, kErrTableLocked, kErrRecordLocked, kErrRecordLocked,
         kErrRecordLocked},
        {Hold::kFirstRowLock, kErrRecordLocked, kErrTableLocked, kNotTried, kErrRecordLocked,
         kErrRecordLocked},
        {Hold::kStatementReadLock, 0, 0, kErrLockFailure, kErrLockFailure, kErrLockFailure},
    };
    const auto text_of = [](EngineErrorCode code) -> std::string {
        switch (code) {
            case kErrRecordLocked:
                return "Record in table 'mailist.DAT' is in use by another user";
            case kErrTableLocked:
                return "The table 'mailist.DAT' is already locked by another user";
            default:
                return "General lock failure with table 'mailist.DAT'";
        }
    };
    // Every row's bytes in record order, and the rows in item order.
    const auto state = [&](TDataCursor& c) {
        std::vector<std::vector<std::uint8_t>> rows;
        c.SetIndex(kNoIndex);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0)
            rows.push_back(buffer);
        c.SetIndexByName("ByItem");
        rows.emplace_back();
        for (const std::string& item : Items(c))
            rows.back().insert(rows.back().end(), item.begin(), item.end());
        return rows;
    };
    TDataCursor& c = Shared();
    const auto before = state(c);
    for (const Case& expected : cases) {
        SCOPED_TRACE(static_cast<int>(expected.hold));
        holder->Take(expected.hold);
        platform::os::FakeClock clock;
        const platform::os::ScopedClockHooks scoped(clock.Hooks());
        std::vector<std::uint8_t> row(c.GetRecordSize());
        const auto first_row = [&] {
            c.SetIndexByName("ByItem");
            c.First();
            if (c.GetNextRecord(row) != 0)
                throw std::runtime_error("first row");
        };
        const auto check = [&](const char* what, EngineErrorCode code,
                               const std::function<void()>& action) {
            if (code == kNotTried)
                return;
            std::string message;
            try {
                action();
            } catch (const EStrataEngineError& error) {
                message = error.what();
            }
            const std::string wanted =
                code == 0 ? std::string()
                          : "Strata Engine Error # " + std::to_string(code) + " " + text_of(code);
            EXPECT_EQ(message, wanted) << what;
        };
        check("row lock", expected.lock_row, [&] {
            first_row();
            if (c.GetCurrentRecord(row, true) == 0)
                c.UnlockRecord(0);
        });
        check("table lock", expected.lock_table, [&] {
            c.LockTable();
            c.UnlockTable();
        });
        check("insert", expected.insert, [&] { InsertEntry(c, "refused@x", "A", 1); });
        check("modify", expected.modify, [&] {
            first_row();
            PutInt(c, row, 4, 99);
            c.ModifyRecord(row, true, false);
        });
        check("delete", expected.remove, [&] {
            first_row();
            c.DeleteRecord(row, false);
        });
        holder->Release();
        EXPECT_EQ(c.GetTableRecordCount(), 4);
        EXPECT_EQ(state(c), before);
    }
    c.Close();
    std::vector<std::string> lines;
    TDataCursor& verifier = NewCursor("mailist", true);
    RepairTable(verifier, true, 1, {}, [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");
}

// A read lock held elsewhere keeps this program's write waiting, and a write lock held
// elsewhere this program's reads; each goes on once the other is released.
TEST_P(SharedTable, AReadOrWriteLockHeldElsewhereMakesTheOtherSideWaitNotFail) {
    const std::unique_ptr<Holder> holder = MakeHolder();
    session->SetStrictChangeDetection(true);
    TDataCursor& c = Shared();
    for (const Hold hold : {Hold::kStatementReadLock, Hold::kWriteLock}) {
        holder->Take(hold);
        std::atomic<bool> done{false};
        EngineErrorCode code = 0;
        std::thread work([&] {
            code = CodeOf([&] {
                if (hold == Hold::kStatementReadLock)
                    InsertEntry(c, "waiting@x", "A", 1);
                else
                    (void)Items(c);
            });
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(done) << static_cast<int>(hold);
        holder->Release();
        work.join();
        EXPECT_EQ(code, 0) << static_cast<int>(hold);
    }
    EXPECT_EQ(Items(c).size(), 5u);
}

// Exclusive use is refused while another holder has the table open, also where this
// directory holds it for shared use and the share option asks to join: work on the whole
// table (emptying, optimizing, restructuring, repairing) must not touch files another holder reads
// and writes.
TEST_P(SharedTable, ExclusiveUseIsRefusedWhileAnotherHolderHasTheTableOpen) {
    const std::unique_ptr<Holder> holder = MakeHolder();
    holder->Take(Hold::kOpen);
    TDataCursor& own = NewCursor("mailist", true);
    EXPECT_EQ(CodeOf([&] { own.Open(); }), kErrAccessDenied);
    EXPECT_FALSE(own.IsOpen());
    TDataCursor& shared = Shared();
    TDataCursor& admitted = NewCursor("mailist", true);
    admitted.SetShare(true);
    EXPECT_EQ(CodeOf([&] {
                  admitted.Open();
                  admitted.EmptyTable();
              }),
              kErrAccessDenied);
    EXPECT_FALSE(admitted.IsOpen());
    TDataCursor& optimizer = NewCursor("mailist", true);
    optimizer.SetShare(true);
    EXPECT_EQ(CodeOf([&] { optimizer.OptimizeTable("", false); }), kErrAccessDenied);
    EXPECT_FALSE(optimizer.IsOpen());
    TDataCursor& restructurer = NewCursor("mailist", true);
    restructurer.SetShare(true);
    TableDefinition wider = ListTableDefinition();
    wider.indexes.pop_back();
    EXPECT_EQ(CodeOf([&] { RestructureTable(restructurer, wider, {}); }), kErrAccessDenied);
    TDataCursor& repairer = NewCursor("mailist", true);
    repairer.SetShare(true);
    EXPECT_EQ(CodeOf([&] { RepairTable(repairer, false, 0); }), kErrAccessDenied);
    EXPECT_FALSE(repairer.IsOpen());
    EXPECT_EQ(Items(shared).size(), 4u);
    shared.Close();
    holder->Release();
    EXPECT_EQ(Items(Shared()).size(), 4u);
}

// Deleting or renaming the table's files is refused while another holder has them open, and
// the files stay where they were.
TEST_P(SharedTable, DeletingOrRenamingIsRefusedWhileAnotherHolderHasTheTableOpen) {
    const std::unique_ptr<Holder> holder = MakeHolder();
    holder->Take(Hold::kOpen);
    TDataCursor& c = NewCursor("mailist", true);
    EXPECT_EQ(CodeOf([&] { c.DeleteTable(); }), kErrAccessDenied);
    EXPECT_EQ(CodeOf([&] { c.RenameTable("moved"); }), kErrAccessDenied);
    EXPECT_EQ(CodeOf([&] { c.BackupTable(); }), kErrAccessDenied);
    for (const char* extension : {".DAT", ".IDX"}) {
        EXPECT_TRUE(std::filesystem::exists(dir.File(std::string("mailist") + extension)))
            << extension;
        EXPECT_FALSE(std::filesystem::exists(dir.File(std::string("moved") + extension)))
            << extension;
    }
    holder->Release();
    EXPECT_EQ(Items(Shared()).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Holders, SharedTable, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? std::string("OtherProgram")
                                                : std::string("OtherSession");
                         });

// Region locks live in the file objects that every session of this program shares; a
// session's cursor that closes with locks held lets them go, though another session keeps the
// files open: its rows, the table and the index file's write range are free again for the
// other session and for other programs.
TEST_F(TwoPrograms, LocksOfAClosedCursorAreGoneThoughAnotherSessionKeepsTheFilesOpen) {
    MakeTable(3);
    session->SetLockRetryCount(0);
    for (const Hold hold : {Hold::kFirstRowLock, Hold::kTableLock, Hold::kStatementReadLock}) {
        OtherSession other(dir.Path().string());
        other.Take(Hold::kOpen);
        {
            TDataSession closing_session;
            TDataCursor closing(*closing_session.OpenDirectory("DB", dir.Path().string()));
            closing.SetTableName("mailist");
            closing.SetExclusive(false);
            TakeHold(closing, hold);
            closing.Close();
        }
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        c.SetIndexByName("ByItem");
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        EXPECT_EQ(CodeOf([&] {
                      if (c.GetCurrentRecord(buffer, true) == 0)
                          c.UnlockRecord(0);
                  }),
                  0)
            << static_cast<int>(hold);
        EXPECT_EQ(CodeOf([&] {
                      c.LockTable();
                      c.UnlockTable();
                  }),
                  0)
            << static_cast<int>(hold);
        EXPECT_EQ(
            CodeOf([&] { InsertEntry(c, "after" + std::to_string(int(hold)) + "@x", "A", 1); }), 0)
            << static_cast<int>(hold);
        c.Close();
        other.Release();
    }
}

// What a holder of the table keeps from `c`, a cursor of another session or program: bit 1 a
// row's lock, bit 2 the table lock, bit 4 an insert (of `item`). Lock waits pass on a fake
// clock, so a held lock costs no real waiting.
int BlockedFor(TDataCursor& c, const std::string& item) {
    platform::os::FakeClock clock;
    const platform::os::ScopedClockHooks scoped(clock.Hooks());
    c.SetIndexByName("ByItem");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    if (c.GetNextRecord(buffer) != 0)
        return 8;
    int blocked = 0;
    if (CodeOf([&] {
            if (c.GetCurrentRecord(buffer, true) == 0)
                c.UnlockRecord(0);
        }) != 0) {
        blocked |= 1;
    }
    if (CodeOf([&] {
            c.LockTable();
            c.UnlockTable();
        }) != 0) {
        blocked |= 2;
    }
    if (CodeOf([&] { InsertEntry(c, item, "A", 1); }) != 0)
        blocked |= 4;
    return blocked;
}

// A cursor that closes with the table lock, the statement read lock or a row lock held lets
// it go, though another cursor of its table object stays open and keeps the files; where the
// other cursor asked for the same lock too, the lock stays until that one closes as well.
// Another session of this program and another program see the same.
TEST_F(TwoPrograms, ALockOfAClosedCursorGoesThoughAnotherCursorOfItsTableStaysOpen) {
    MakeTable(3);
    session->SetLockRetryCount(0);
    const std::string path = dir.Path().string();
    int round = 0;
    for (const Hold hold : {Hold::kTableLock, Hold::kStatementReadLock, Hold::kFirstRowLock}) {
        SCOPED_TRACE(static_cast<int>(hold));
        const bool shareable = hold != Hold::kFirstRowLock;
        // Forked before this program opens the table; it checks at each go.
        SecondProgram child([&](SecondProgram& self) {
            Program program(path, false);
            program.session.SetLockRetryCount(0);
            for (int check = 0; check < 3; ++check) {
                self.AwaitGo();
                program.cursor->Open();
                const int blocked = BlockedFor(*program.cursor,
                                               "theirs" + std::to_string(round * 3 + check) + "@x");
                program.cursor->Close();
                self.Signal(static_cast<char>('0' + blocked));
            }
            return 0;
        });
        TDataSession keeping;
        keeping.SetLockRetryCount(0);
        TDataDirectory* home = keeping.OpenDirectory("DB", path);
        const auto cursor = [&] {
            auto c = std::make_unique<TDataCursor>(*home);
            c->SetTableName("mailist");
            c->SetExclusive(false);
            return c;
        };
        const auto expect_blocked = [&](int check, int expected) {
            TDataCursor& c = NewCursor("mailist", false);
            c.Open();
            EXPECT_EQ(BlockedFor(c, "ours" + std::to_string(round * 3 + check) + "@x"), expected)
                << "this program, check " << check;
            c.Close();
            child.Go();
            EXPECT_EQ(child.NextSignal(), '0' + expected) << "other program, check " << check;
        };
        const int held = hold == Hold::kTableLock ? 7 : 4;
        const std::unique_ptr<TDataCursor> staying = cursor();
        staying->Open();
        {
            const std::unique_ptr<TDataCursor> closing = cursor();
            TakeHold(*closing, hold);
            ASSERT_EQ(closing->Table(), staying->Table());
            closing->Close();
        }
        expect_blocked(0, 0);
        if (shareable) {
            const std::unique_ptr<TDataCursor> closing = cursor();
            TakeHold(*closing, hold);
            if (hold == Hold::kTableLock)
                staying->LockTable();
            else
                staying->HoldReadLock();
            closing->Close();
            expect_blocked(1, held);
            staying->Close();
            expect_blocked(2, 0);
        } else {
            expect_blocked(1, 0);
            expect_blocked(2, 0);
        }
        EXPECT_EQ(child.Wait(), 0);
        ++round;
    }
}

// The table lock or the statement read lock reads the headers another session changed; where
// that read fails (here the index file is cut short for the moment of the call), the call fails
// and holds nothing it took: another session of this program, whose file objects are the same,
// locks the table and writes as before.
TEST_F(TwoPrograms, ATableOrStatementLockWhoseHeaderReadFailsIsNotKept) {
    MakeTable(3);
    session->SetLockRetryCount(0);
    const std::string path = dir.Path().string();
    const std::string index_file = dir.File("mailist.IDX");
    TDataSession checking_session;
    checking_session.SetLockRetryCount(0);
    TDataCursor checking(*checking_session.OpenDirectory("DB", path));
    checking.SetTableName("mailist");
    checking.SetExclusive(false);
    checking.Open();
    int round = 0;
    for (const Hold hold : {Hold::kTableLock, Hold::kStatementReadLock}) {
        SCOPED_TRACE(static_cast<int>(hold));
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        InsertEntry(checking, "changed" + std::to_string(round) + "@x", "A", 1);
        std::string bytes;
        {
            std::ifstream in(index_file, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        std::filesystem::resize_file(index_file, 100);
        const EngineErrorCode code = CodeOf([&] {
            if (hold == Hold::kTableLock)
                c.LockTable();
            else
                c.HoldReadLock();
        });
        {
            std::ofstream out(index_file, std::ios::binary | std::ios::in);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        EXPECT_EQ(code, kErrRead);
        EXPECT_EQ(BlockedFor(checking, "after" + std::to_string(round) + "@x"), 0);
        c.Close();
        ++round;
    }
    checking.Close();
}

TableDefinition WithNotes() {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    return definition;
}

std::vector<std::uint8_t> NotesFor(const std::string& item) {
    std::vector<std::uint8_t> notes(700 + item.size() * 37);
    for (std::size_t i = 0; i < notes.size(); ++i)
        notes[i] = static_cast<std::uint8_t>(item[i % item.size()] + i);
    return notes;
}

void InsertWithNotes(TDataCursor& c, const std::string& item) {
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    PutText(c, buffer, 2, item);
    PutText(c, buffer, 3, "A");
    const std::vector<std::uint8_t> notes = NotesFor(item);
    if (c.OpenBlob(9, buffer, kBlobOpenReadWrite) != 0 ||
        c.WriteBlob(9, buffer, static_cast<std::uint32_t>(notes.size()), notes.data(), 0) != 0)
        throw std::runtime_error("blob");
    c.InsertRecord(buffer, false);
}

// The blob of the row with `item`, read through `c`; empty when the row is missing.
std::vector<std::uint8_t> NotesOfRow(TDataCursor& c, const std::string& item) {
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    PutText(c, probe, 2, item);
    if (!c.FindKey(false, probe, buffer, 0, false, 1))
        return {};
    std::uint32_t size = 0;
    std::uint32_t got = 0;
    if (c.OpenBlob(9, buffer, kBlobOpenRead) != 0 || c.GetBlobSize(9, buffer, size) != 0)
        return {};
    std::vector<std::uint8_t> notes(size);
    if (c.ReadBlob(9, buffer, got, size, notes.data(), 0) != 0 || got != size)
        notes.clear();
    (void)c.CloseBlob(9, buffer);
    return notes;
}

std::string AlternatingKey(int i, char writer) {
    char key[32];
    std::snprintf(key, sizeof key, "k%04d-%c@x", i, writer);
    return key;
}

// Two programs insert in turns, each key next to the other's last one, so both keep
// splitting and filling the same index pages. Each reads the other's newest row and its blob
// at its next turn; the table ends with every row once, distinct record IDs, and verifies
// clean.
TEST_F(TwoPrograms, WritersTakingTurnsInTheSameIndexPagesLoseNothing) {
    constexpr int kTurns = 150;
    {
        TDataCursor& creator = CreateAndOpen(WithNotes());
        creator.Close();
    }
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        program.session.SetStrictChangeDetection(true);
        TDataCursor& c = *program.cursor;
        c.Open();
        c.SetIndexByName("ByItem");
        for (int i = 0; i < kTurns; ++i) {
            self.AwaitGo();
            const std::string theirs = AlternatingKey(i, 'a');
            if (NotesOfRow(c, theirs) != NotesFor(theirs))
                return 10;
            InsertWithNotes(c, AlternatingKey(i, 'b'));
            self.Signal();
        }
        c.Close();
        return 0;
    });
    // Each reads the other's row at once: every operation looks for the other's writes.
    session->SetStrictChangeDetection(true);
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    c.SetIndexByName("ByItem");
    for (int i = 0; i < kTurns; ++i) {
        InsertWithNotes(c, AlternatingKey(i, 'a'));
        child.Go();
        ASSERT_TRUE(child.AwaitSignal()) << i;
        const std::string theirs = AlternatingKey(i, 'b');
        ASSERT_EQ(NotesOfRow(c, theirs), NotesFor(theirs)) << i;
    }
    ASSERT_EQ(child.Wait(), 0);
    std::vector<std::string> expected;
    for (int i = 0; i < kTurns; ++i) {
        expected.push_back(AlternatingKey(i, 'a'));
        expected.push_back(AlternatingKey(i, 'b'));
    }
    std::set<std::uint32_t> ids;
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(buffer) == 0)
        EXPECT_TRUE(ids.insert(TDataCursor::RecordIdOf(buffer)).second);
    EXPECT_EQ(Items(c), expected);
    EXPECT_EQ(ids.size(), expected.size());
    EXPECT_EQ(c.GetTableRecordCount(), 2 * kTurns);
    c.Close();
    std::vector<std::string> lines;
    TDataCursor& checker = NewCursor();
    RepairTable(checker, true, 1, {}, [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");
}

}  // namespace
}  // namespace strata
