// Locks are given back whole: where one release fails, every other lock the release path holds
// still goes and the caller hears of the first failure. Releases are refused through the file
// layer's hook; whether a lock is held is asked of the system through a file of the test's own,
// whose byte-range locks conflict with the engine's as another program's would.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/storage/file_handler.h"
#include "platform/os/file.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/lock_probe.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

int steps_to_failure = 0;

void FailAtChosenStep() {
    if (steps_to_failure > 0 && --steps_to_failure == 0)
        throw std::runtime_error("write refused");
}

class LockGiveBack : public TwoPrograms {
  protected:
    void SetUp() override {
        TwoPrograms::SetUp();
        session->SetLockRetryCount(1);
        session->SetLockWaitTime(5);
    }
    void TearDown() override {
        SetFileUnlockHook(nullptr);
        SetFileStepHook(nullptr);
        TwoPrograms::TearDown();
    }

    std::string FileOf(std::string_view table, std::string_view extension) const {
        return dir.File(std::string(table) + std::string(extension));
    }
    bool RowHeld(std::string_view table, std::uint32_t row) const {
        return RangeHeld(FileOf(table, ".DAT"), kRecordLockBase - row, 1);
    }
    bool HeaderHeld(std::string_view table) const {
        return RangeHeld(FileOf(table, ".DAT"), kHeaderLockByte, 1);
    }
    // Read locks lie inside the index file's write range.
    bool IndexHeld(std::string_view table) const {
        return RangeHeld(FileOf(table, ".IDX"), kWriteLockStart, kWriteLockLength);
    }

    void MakeNamedTable(std::string_view table, int entries) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), table);
        for (int i = 0; i < entries; ++i)
            InsertEntry(c, std::string(table) + std::to_string(i) + "@x", "A", i);
        c.Close();
    }

    // Changes the Bounces of the first `count` rows of `c` through their locks; their numbers.
    std::vector<std::uint32_t> ChangeRows(TDataCursor& c, int count, std::int32_t bounces) {
        std::vector<std::uint32_t> rows;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(c.GetNextRecord(buffer), 0);
            EXPECT_EQ(c.GetCurrentRecord(buffer, true), 0);
            PutInt(c, buffer, 4, bounces);
            c.ModifyRecord(buffer, true, true);
            rows.push_back(c.GetCurrentRecordNo());
        }
        return rows;
    }

    // The Bounces of every row of the table, as a fresh cursor reads them.
    std::vector<std::int32_t> StoredBounces(std::string_view table) {
        TDataCursor& c = NewCursor(table, false);
        c.Open();
        std::vector<std::int32_t> bounces;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0)
            bounces.push_back(GetInt(c, buffer, 4).value_or(-1));
        c.Close();
        return bounces;
    }
};

// A batch's end whose index write lock will not go (the injected fault) still ends the batch
// and gives back the header lock and the rows it changed, and reports the failure; before, the
// header lock stayed and kept every other program's writes out until this one ended. The
// change itself is written.
TEST_F(LockGiveBack, ABatchEndWhoseWriteLockWillNotGoGivesBackTheHeaderAndTheRows) {
    MakeTable(3);
    struct Ending {
        const char* name;
        std::function<void(TDataDirectory&)> end;
    };
    const std::vector<Ending> endings = {
        {"commit", [](TDataDirectory& d) { d.EndUpdateBatch(true); }},
        {"cancel", [](TDataDirectory& d) { d.CancelUpdateBatch(); }},
    };
    std::int32_t bounces = 40;
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        ++bounces;
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        directory->BeginUpdateBatch();
        const std::vector<std::uint32_t> rows = ChangeRows(c, 2, bounces);
        ASSERT_TRUE(HeaderHeld("mailist"));
        ASSERT_TRUE(RowHeld("mailist", rows[0]));
        Refuse(kWriteLockStart, kWriteLockLength);
        EXPECT_EQ(CodeOf([&] { ending.end(*directory); }), kErrLockFailure);
        SetFileUnlockHook(nullptr);
        EXPECT_FALSE(directory->InBatch());
        EXPECT_FALSE(c.Table()->InBatch());
        EXPECT_FALSE(HeaderHeld("mailist"));
        for (const std::uint32_t row : rows)
            EXPECT_FALSE(RowHeld("mailist", row)) << row;
        c.Close();
        EXPECT_FALSE(IndexHeld("mailist"));
        EXPECT_EQ(StoredBounces("mailist"), (std::vector<std::int32_t>{bounces, bounces, 2}));
    }
}

// A change outside a batch that gives its row back, whose row lock will not go: the change is
// written, the header and index locks go all the same, and the change reports 10242 with the
// row still held, which the table's close gives back.
TEST_F(LockGiveBack, AChangeWhoseRowWillNotGoReportsItAndKeepsTheRowHeld) {
    std::vector<std::uint8_t> buffer;
    TDataCursor& c = OpenOnFirstRow(3, buffer);
    ASSERT_EQ(c.GetCurrentRecord(buffer, true), 0);
    const std::uint32_t row = c.GetCurrentRecordNo();
    PutInt(c, buffer, 4, 7);
    Refuse(kRecordLockBase - row, 1);
    EXPECT_EQ(CodeOf([&] { c.ModifyRecord(buffer, true, true); }), kErrUnlock);
    SetFileUnlockHook(nullptr);
    EXPECT_TRUE(RowHeld("mailist", row));
    EXPECT_FALSE(HeaderHeld("mailist"));
    EXPECT_FALSE(IndexHeld("mailist"));
    EXPECT_EQ(StoredBounces("mailist"), (std::vector<std::int32_t>{7, 1, 2}));
    c.Close();
    EXPECT_FALSE(RowHeld("mailist", row));
}

// A row whose lock will not go at a batch's end: the other rows and the header lock go all the
// same and the end reports 10242. The refused row stays counted as held, so the table's close
// gives it back.
TEST_F(LockGiveBack, ARowThatWillNotGoAtABatchEndLeavesNothingElseHeld) {
    MakeTable(3);
    TDataCursor& keeper = NewCursor("mailist", false);
    keeper.Open();
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    directory->BeginUpdateBatch();
    const std::vector<std::uint32_t> rows = ChangeRows(c, 3, 9);
    Refuse(kRecordLockBase - rows[1], 1);
    EXPECT_EQ(CodeOf([&] { directory->EndUpdateBatch(true); }), kErrUnlock);
    SetFileUnlockHook(nullptr);
    EXPECT_FALSE(directory->InBatch());
    EXPECT_FALSE(HeaderHeld("mailist"));
    EXPECT_FALSE(RowHeld("mailist", rows[0]));
    EXPECT_TRUE(RowHeld("mailist", rows[1]));
    EXPECT_FALSE(RowHeld("mailist", rows[2]));
    EXPECT_EQ(StoredBounces("mailist"), (std::vector<std::int32_t>{9, 9, 9}));
    c.Close();
    keeper.Close();
    EXPECT_FALSE(RowHeld("mailist", rows[1]));
}

// A flush within the batch that fails for one table (its first write refused) still flushes
// the other tables and gives back the rows their batches had kept; the statement's end then
// writes the first table too. Before, the first failure stopped the round and left the other
// tables' rows locked and unwritten.
TEST_F(LockGiveBack, AFlushWithinTheBatchThatFailsForOneTableStillFlushesTheOthers) {
    MakeNamedTable("first", 2);
    MakeNamedTable("second", 2);
    TDataCursor& a = NewCursor("first", false);
    a.Open();
    TDataCursor& b = NewCursor("second", false);
    b.Open();
    directory->BeginUpdateBatch();
    const std::uint32_t row_a = ChangeRows(a, 1, 31).front();
    const std::uint32_t row_b = ChangeRows(b, 1, 32).front();
    // The later table is flushed first: its first write fails.
    steps_to_failure = 1;
    SetFileStepHook(FailAtChosenStep);
    EXPECT_ANY_THROW(directory->EndUpdateBatch(false));
    SetFileStepHook(nullptr);
    EXPECT_EQ(steps_to_failure, 0);
    EXPECT_FALSE(RowHeld("first", row_a));
    EXPECT_EQ(StoredBounces("first"), (std::vector<std::int32_t>{31, 1}));
    EXPECT_TRUE(directory->InBatch());
    EXPECT_EQ(CodeOf([&] { directory->EndUpdateBatch(true); }), 0);
    EXPECT_FALSE(RowHeld("second", row_b));
    EXPECT_FALSE(HeaderHeld("first"));
    EXPECT_FALSE(HeaderHeld("second"));
    EXPECT_EQ(StoredBounces("second"), (std::vector<std::int32_t>{32, 1}));
    a.Close();
    b.Close();
}

// A cursor closed while one of its row locks will not go: its other rows and its statement
// read lock go, the cursor closes and the close reports 10242. Another cursor keeps the table's
// files open, so only the cursor's own release can free them; the refused row goes with the
// table's last close.
TEST_F(LockGiveBack, ACursorClosedWhileARowWillNotGoGivesBackItsOtherLocks) {
    MakeTable(4);
    TDataCursor& keeper = NewCursor("mailist", false);
    keeper.Open();
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    c.LockRecord(2);
    c.LockRecord(3);
    c.HoldReadLock();
    ASSERT_TRUE(IndexHeld("mailist"));
    Refuse(kRecordLockBase - 2, 1);
    EXPECT_EQ(CodeOf([&] { c.Close(); }), kErrUnlock);
    SetFileUnlockHook(nullptr);
    EXPECT_FALSE(c.IsOpen());
    EXPECT_TRUE(RowHeld("mailist", 2));
    EXPECT_FALSE(RowHeld("mailist", 3));
    EXPECT_FALSE(IndexHeld("mailist"));
    keeper.Close();
    EXPECT_FALSE(RowHeld("mailist", 2));
}

// A row this program's cursor locked under the table lock is handed its own lock as the table
// lock goes, without a moment in which it is free: another program trying for it all the while
// never gets it. Before, the table lock went first and the row was locked after, and the other
// program, taking it in between, left the cursor's row unguarded.
TEST_F(LockGiveBack, ARowLockedUnderTheTableLockIsNeverFreeWhenTheTableLockGoes) {
    MakeTable(3);
    session->SetLockRetryCount(200);
    session->SetLockWaitTime(5);
    constexpr std::uint32_t kRow = 2;
    const std::string data = FileOf("mailist", ".DAT");
    SecondProgram child([&](SecondProgram& self) {
        platform::os::OpenOptions options;
        options.share = platform::os::ShareMode::kShared;
        auto opened = platform::os::File::Open(data, options);
        if (!opened.ok())
            return 2;
        platform::os::File file = std::move(opened).value();
        const auto byte = static_cast<std::uint64_t>(kRecordLockBase - kRow);
        self.Signal();
        while (!self.GoArrived()) {
            if (file.LockRegion(byte, 1).ok())
                file.UnlockRegion(byte, 1);
        }
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    int unguarded = 0;
    for (int round = 0; round < 1000; ++round) {
        c.LockTable();
        c.LockRecord(kRow);
        c.UnlockTable();
        if (!c.Table()->RecordLocked(kRow))
            ++unguarded;
        c.UnlockRecord(kRow);
    }
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(unguarded, 0);
    c.Close();
}

// Another session of this program, which shares the table's files and their locks, finds the
// same when the table lock goes: the row the cursor locked under it is still held, and every
// other row is free.
TEST_F(LockGiveBack, AnotherSessionFindsOnlyTheKeptRowHeldWhenTheTableLockGoes) {
    MakeTable(3);
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    TDataSession second;
    second.SetLockRetryCount(0);
    second.SetLockWaitTime(0);
    TDataCursor other(*second.OpenDirectory("DB", dir.Path().string()));
    other.SetTableName("mailist");
    other.SetExclusive(false);
    other.Open();
    c.LockTable();
    c.LockRecord(2);
    EXPECT_EQ(CodeOf([&] { other.LockRecord(3); }), kErrRecordLocked);
    c.UnlockTable();
    EXPECT_EQ(CodeOf([&] { other.LockRecord(2); }), kErrRecordLocked);
    EXPECT_EQ(CodeOf([&] { other.LockRecord(3); }), 0);
    EXPECT_EQ(CodeOf([&] { other.LockRecord(1); }), 0);
    other.UnlockRecord(3);
    other.UnlockRecord(1);
    c.UnlockRecord(2);
    EXPECT_EQ(CodeOf([&] { other.LockRecord(2); }), 0);
    other.UnlockRecord(2);
    other.Close();
    c.Close();
}

// The same at a batch's end, which gives back a table lock taken within the batch: the row the
// cursor locked under it keeps its own lock, while the rest of the table is free.
TEST_F(LockGiveBack, ARowLockedUnderATableLockTakenInABatchStaysHeldAfterTheBatch) {
    MakeTable(3);
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    directory->BeginUpdateBatch();
    c.LockTable();
    c.LockRecord(2);
    ASSERT_TRUE(RowHeld("mailist", 3));
    directory->EndUpdateBatch(true);
    EXPECT_FALSE(c.Table()->TableLocked());
    EXPECT_TRUE(RowHeld("mailist", 2));
    EXPECT_FALSE(RowHeld("mailist", 3));
    EXPECT_FALSE(HeaderHeld("mailist"));
    c.UnlockRecord(2);
    EXPECT_FALSE(RowHeld("mailist", 2));
    c.UnlockTable();
    c.Close();
}

// A delete whose flush fails while the row's lock will not go either: the caller hears of the
// flush's failure, not of the release's, which before took its place.
TEST_F(LockGiveBack, ADeleteWhoseFlushFailsReportsTheFlushNotTheRelease) {
    std::vector<std::uint8_t> buffer;
    TDataCursor& c = OpenOnFirstRow(3, buffer);
    const std::uint32_t row = c.GetCurrentRecordNo();
    Refuse(kRecordLockBase - row, 1);
    steps_to_failure = 1;
    SetFileStepHook(FailAtChosenStep);
    std::string told;
    try {
        c.DeleteRecord(buffer, true);
    } catch (const std::exception& failure) {
        told = failure.what();
    }
    EXPECT_EQ(told, "write refused");
    SetFileStepHook(nullptr);
    SetFileUnlockHook(nullptr);
    EXPECT_EQ(steps_to_failure, 0);
    (void)CodeOf([&] { c.Close(); });
    EXPECT_FALSE(RowHeld("mailist", row));
}

}  // namespace
}  // namespace strata
