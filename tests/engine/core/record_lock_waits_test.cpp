// Waits for a row's lock between programs: a program waiting for a row never holds it while
// it waits for a lock that a writer wanting the same row keeps, so a row let go by its holder
// goes to whoever can use it, and nobody waits out a whole lock wait for nothing.

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "platform/os/clock.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

// How the waiting program asks for the row.
enum class Ask { kReadForEdit, kLockCurrent };
// What the writing program does to the row without locking it first.
enum class Change { kDelete, kModify };

// Exit codes of the children: what their call gave.
int ExitCodeOf(EngineErrorCode code) {
    switch (code) {
        case 0:
            return 0;
        case kErrRecordChanged:
            return 1;
        case kErrRecordLocked:
            return 2;
        default:
            return 3;
    }
}

// Within one child: the program to tell of its first wait of a kind.
SecondProgram* signaller = nullptr;
bool file_wait_told = false;
bool in_file_wait = false;

void TellFirstFileWait() {
    if (!file_wait_told) {
        file_wait_told = true;
        signaller->Signal('r');
    }
}

void NoteFileWait() {
    in_file_wait = true;
}

class RecordLockWaits : public TwoPrograms {
  protected:
    // A cursor of `program` standing on the row of `item`, read into `buffer`.
    static bool StandOn(TDataCursor& c, const std::string& item,
                        std::vector<std::uint8_t>& buffer) {
        buffer.assign(c.GetRecordSize(), 0);
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            if (GetText(c, buffer, 2) == item)
                return true;
        }
        return false;
    }
};

// The holder of a row lets it go while the waiting program is retrying it and the writer
// holds the write lock and waits for the same row. The writer gets it at its next attempt:
// the waiting program waits for its read lock holding nothing, and then finds the row gone or
// changed. The order of steps is fixed through the children's waits: the writer stops at its
// first wait for the row until the waiting program has met the writer's lock.
TEST_F(RecordLockWaits, AProgramWaitingForARowNeverHoldsItBehindAWriterThatWantsIt) {
    MakeTable(8);
    const std::string path = dir.Path().string();
    int round = 0;
    for (const bool strict : {false, true}) {
        for (const Ask ask : {Ask::kReadForEdit, Ask::kLockCurrent}) {
            for (const Change change : {Change::kDelete, Change::kModify}) {
                const std::string item = "u" + std::to_string(round++) + "@x";
                SCOPED_TRACE(item + (strict ? " strict" : "") +
                             (ask == Ask::kReadForEdit ? " read for edit" : " lock current") +
                             (change == Change::kDelete ? " delete" : " modify"));
                SecondProgram waiter([&](SecondProgram& self) {
                    Program program(path, false);
                    program.session.SetLockRetryCount(100);
                    program.session.SetLockWaitTime(100);
                    program.session.SetStrictChangeDetection(strict);
                    TDataCursor& c = *program.cursor;
                    c.Open();
                    std::vector<std::uint8_t> buffer;
                    if (!StandOn(c, item, buffer))
                        return 4;
                    self.Signal('o');
                    self.AwaitGo();
                    signaller = &self;
                    bool told = false;
                    platform::os::ClockHooks hooks;
                    hooks.sleep = [&](std::uint32_t ms) {
                        if (!told) {
                            told = true;
                            self.Signal('w');
                        }
                        ::usleep(ms * 1000);
                    };
                    const platform::os::ScopedClockHooks scoped(hooks);
                    SetFileLockWaitHook(&TellFirstFileWait);
                    const EngineErrorCode code = CodeOf([&] {
                        if (ask == Ask::kReadForEdit)
                            c.GetCurrentRecord(buffer, true);
                        else
                            c.LockRecord(0);
                    });
                    SetFileLockWaitHook(nullptr);
                    if (code == 0)
                        c.UnlockRecord(0);
                    return ExitCodeOf(code);
                });
                SecondProgram writer([&](SecondProgram& self) {
                    Program program(path, false);
                    program.session.SetLockRetryCount(20);
                    program.session.SetLockWaitTime(10);
                    TDataCursor& c = *program.cursor;
                    c.Open();
                    std::vector<std::uint8_t> buffer;
                    if (!StandOn(c, item, buffer))
                        return 4;
                    self.Signal('o');
                    self.AwaitGo();
                    bool told = false;
                    platform::os::ClockHooks hooks;
                    hooks.sleep = [&](std::uint32_t ms) {
                        // A wait for a file lock is not the wait for the row.
                        if (!std::exchange(in_file_wait, false) && !told) {
                            told = true;
                            self.Signal('w');
                            self.AwaitGo();
                        }
                        ::usleep(ms * 1000);
                    };
                    const platform::os::ScopedClockHooks scoped(hooks);
                    SetFileLockWaitHook(&NoteFileWait);
                    const EngineErrorCode code = CodeOf([&] {
                        if (change == Change::kDelete) {
                            c.DeleteRecord(buffer, false);
                        } else {
                            PutInt(c, buffer, 4, 77);
                            c.ModifyRecord(buffer, true, false);
                        }
                    });
                    SetFileLockWaitHook(nullptr);
                    return ExitCodeOf(code);
                });
                ASSERT_EQ(waiter.NextSignal(), 'o');
                ASSERT_EQ(writer.NextSignal(), 'o');
                TDataCursor& holder = NewCursor("mailist", false);
                holder.Open();
                std::vector<std::uint8_t> buffer;
                ASSERT_TRUE(StandOn(holder, item, buffer));
                ASSERT_EQ(holder.GetCurrentRecord(buffer, true), 0);
                waiter.Go();
                ASSERT_EQ(waiter.NextSignal(), 'w');
                writer.Go();
                ASSERT_EQ(writer.NextSignal(), 'w');
                holder.UnlockRecord(0);
                // The waiting program meets the writer's lock: in its wait for the read lock.
                ASSERT_EQ(waiter.NextSignal(), 'r');
                writer.Go();
                EXPECT_EQ(writer.Wait(), 0);
                // A row gone, or changed under a read for edit, is refused; a lock of the
                // current row that is still there is granted.
                const bool granted = change == Change::kModify && ask == Ask::kLockCurrent;
                EXPECT_EQ(waiter.Wait(), granted ? 0 : 1);
                holder.Refresh();
                const bool found = StandOn(holder, item, buffer);
                EXPECT_EQ(found, change == Change::kModify);
                if (found) {
                    EXPECT_EQ(GetInt(holder, buffer, 4), 77);
                    EXPECT_EQ(holder.GetCurrentRecord(buffer, true), 0);
                    holder.UnlockRecord(0);
                }
                holder.Close();
            }
        }
    }
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

using namespace testing_support;

// A statement read lock this program holds keeps its own writes out for as long as the
// statement runs: a write through any cursor of the table fails at once with 10249 and leaves
// the table as it was, rather than waiting out the whole lock wait for a lock that cannot go.
// Once the statement lets go, the same write goes through.
TEST_F(TwoPrograms, AWriteUnderThisProgramsOwnStatementReadLockFailsWithoutWaiting) {
    MakeTable(3);
    TDataCursor& statement = NewCursor("mailist", false);
    statement.Open();
    TDataCursor& writer = NewCursor("mailist", false);
    writer.Open();
    ASSERT_EQ(statement.Table(), writer.Table());
    statement.HoldReadLock();
    std::vector<std::uint8_t> buffer(writer.GetRecordSize());
    writer.First();
    ASSERT_EQ(writer.GetNextRecord(buffer), 0);
    const std::vector<std::uint8_t> row = buffer;
    platform::os::FakeClock clock;
    {
        const platform::os::ScopedClockHooks scoped(clock.Hooks());
        const auto refused = [&](const std::function<void()>& write) {
            try {
                write();
            } catch (const EStrataEngineError& error) {
                return error.ErrorCode() == kErrLockFailure &&
                       std::string(error.what()).find("General lock failure with table 'mailist") !=
                           std::string::npos;
            }
            return false;
        };
        EXPECT_TRUE(refused([&] { InsertEntry(writer, "new@x", "A", 1); }));
        PutInt(writer, buffer, 4, 50);
        EXPECT_TRUE(refused([&] { writer.ModifyRecord(buffer, false, false); }));
        EXPECT_TRUE(refused([&] { writer.DeleteRecord(buffer, false); }));
    }
    EXPECT_EQ(clock.SleepCount(), 0u);
    statement.ReleaseReadLock();
    EXPECT_EQ(writer.GetTableRecordCount(), 3);
    EXPECT_EQ(Items(writer), (std::vector<std::string>{"u0@x", "u1@x", "u2@x"}));
    writer.First();
    ASSERT_EQ(writer.GetNextRecord(buffer), 0);
    EXPECT_EQ(buffer, row);
    InsertEntry(writer, "new@x", "A", 1);
    EXPECT_EQ(writer.GetTableRecordCount(), 4);
}

}  // namespace
}  // namespace strata
