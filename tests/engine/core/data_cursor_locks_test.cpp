// Record locks belong to the cursor that took them: no other cursor of the table, nor another
// program, releases one or writes the row it holds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

class RecordLocks : public TwoPrograms {
  protected:
    void SetUp() override {
        TwoPrograms::SetUp();
        session->SetLockRetryCount(1);
        session->SetLockWaitTime(5);
    }

    // A cursor on the table, standing on its row of `item`.
    TDataCursor& OpenOn(const std::string& item, std::vector<std::uint8_t>& buffer) {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        buffer.assign(c.GetRecordSize(), 0);
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            if (GetText(c, buffer, 2) == item)
                return c;
        }
        ADD_FAILURE() << "no row " << item;
        return c;
    }

    // The Bounces of the row of `item` as the files hold it, read by a cursor of its own.
    std::int32_t StoredBounces(const std::string& item) {
        std::vector<std::uint8_t> buffer;
        TDataCursor& c = OpenOn(item, buffer);
        const std::int32_t bounces = GetInt(c, buffer, 4).value_or(-1);
        c.Close();
        return bounces;
    }

    // Whether a fresh cursor finds the row of `item` locked.
    bool HeldByAnother(const std::string& item) {
        std::vector<std::uint8_t> buffer;
        TDataCursor& c = OpenOn(item, buffer);
        const EngineErrorCode code = CodeOf([&] { c.LockRecord(0); });
        if (code == 0)
            c.UnlockRecord(0);
        c.Close();
        EXPECT_TRUE(code == 0 || code == kErrRecordLocked) << code;
        return code == kErrRecordLocked;
    }
};

// A change of a row another cursor holds fails as a change of a row another program holds
// does, with or without the unlock, and leaves the row and the holder's lock alone; the holder
// itself changes it and gives its lock up with the unlock.
TEST_F(RecordLocks, ModifyingARowAnotherCursorHoldsFailsAndLeavesItsLock) {
    MakeTable(3);
    std::vector<std::uint8_t> held;
    TDataCursor& holder = OpenOn("u1@x", held);
    holder.LockRecord(0);
    std::vector<std::uint8_t> buffer;
    TDataCursor& other = OpenOn("u1@x", buffer);
    PutInt(other, buffer, 4, 50);
    for (const bool unlock : {true, false}) {
        EXPECT_EQ(CodeOf([&] { other.ModifyRecord(buffer, unlock, true); }), kErrRecordLocked);
    }
    EXPECT_EQ(StoredBounces("u1@x"), 1);
    EXPECT_TRUE(HeldByAnother("u1@x"));
    EXPECT_EQ(CodeOf([&] { other.LockRecord(0); }), kErrRecordLocked);
    // Rows nobody holds change as before.
    std::vector<std::uint8_t> free_row;
    TDataCursor& free_cursor = OpenOn("u2@x", free_row);
    PutInt(free_cursor, free_row, 4, 60);
    free_cursor.ModifyRecord(free_row, true, true);
    EXPECT_EQ(StoredBounces("u2@x"), 60);
    PutInt(holder, held, 4, 70);
    holder.ModifyRecord(held, true, true);
    EXPECT_EQ(StoredBounces("u1@x"), 70);
    EXPECT_FALSE(HeldByAnother("u1@x"));
    for (TDataCursor* c : {&holder, &other, &free_cursor})
        c->Close();
}

// Unlocking, directly or as an edit's cancel, and closing release only the cursor's own locks:
// a lock another cursor took stays with it, and goes when that cursor closes.
TEST_F(RecordLocks, OnlyTheHolderReleasesALock) {
    MakeTable(3);
    std::vector<std::uint8_t> buffer;
    TDataCursor& holder = OpenOn("u0@x", buffer);
    holder.LockRecord(0);
    TDataCursor& other = OpenOn("u0@x", buffer);
    EXPECT_EQ(CodeOf([&] { other.UnlockRecord(0); }), kErrUnlock);
    EXPECT_EQ(CodeOf([&] { other.UnlockRecord(holder.GetCurrentRecordNo()); }), kErrUnlock);
    EXPECT_TRUE(HeldByAnother("u0@x"));
    // The other cursor's own lock on another row goes with its close; the holder's stays.
    ASSERT_EQ(other.GetNextRecord(buffer), 0);
    other.LockRecord(0);
    other.Close();
    EXPECT_FALSE(HeldByAnother("u1@x"));
    EXPECT_TRUE(HeldByAnother("u0@x"));
    // A modify's unlock refused on the held row leaves the next holder's lock alone when the
    // first holder closes.
    TDataCursor& third = OpenOn("u0@x", buffer);
    EXPECT_EQ(CodeOf([&] { third.ModifyRecord(buffer, true, true); }), kErrRecordLocked);
    holder.Close();
    EXPECT_FALSE(HeldByAnother("u0@x"));
    third.LockRecord(0);
    TDataCursor& fourth = OpenOn("u2@x", buffer);
    fourth.Close();
    EXPECT_TRUE(HeldByAnother("u0@x"));
    third.Close();
    EXPECT_FALSE(HeldByAnother("u0@x"));
}

// Another program's lock keeps this program's change of the row out, whether or not the
// changing cursor asked for the lock first.
TEST_F(RecordLocks, ModifyingARowAnotherProgramHoldsFails) {
    MakeTable(2);
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        if (!program.OpenAndLockFirstRow())
            return 1;
        TDataCursor& c = *program.cursor;
        self.Signal();
        self.AwaitGo();
        c.UnlockRecord(0);
        c.Close();
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    std::vector<std::uint8_t> buffer;
    TDataCursor& c = OpenOn("u0@x", buffer);
    PutInt(c, buffer, 4, 40);
    EXPECT_EQ(CodeOf([&] { c.ModifyRecord(buffer, false, true); }), kErrRecordLocked);
    EXPECT_EQ(CodeOf([&] { c.ModifyRecord(buffer, true, true); }), kErrRecordLocked);
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(StoredBounces("u0@x"), 0);
    c.ModifyRecord(buffer, false, true);
    EXPECT_EQ(StoredBounces("u0@x"), 40);
    // The change took the row's lock only for itself.
    EXPECT_FALSE(HeldByAnother("u0@x"));
    c.Close();
}

// A lock asked for by number is taken only on a live row: a freed slot gives record changed,
// a number past the last slot record not found, and neither leaves a lock behind, in a batch or
// outside one. A row later put into such a slot is nobody's.
TEST_F(RecordLocks, LockingByNumberTakesOnlyALiveRow) {
    MakeTable(3);
    std::vector<std::uint8_t> buffer;
    TDataCursor& deleter = OpenOn("u1@x", buffer);
    const std::uint32_t freed = deleter.GetCurrentRecordNo();
    deleter.DeleteRecord(buffer, false);
    TDataCursor& c = OpenOn("u0@x", buffer);
    const std::uint32_t past = c.GetRecordSlotCount() + 1;
    const auto nobody_holds = [&](std::uint32_t n) {
        EXPECT_FALSE(c.Table()->RecordLocked(n)) << n;
        EXPECT_FALSE(c.Table()->CursorLockedRecords().IsSet(n)) << n;
    };
    for (int twice = 0; twice < 2; ++twice) {
        EXPECT_EQ(CodeOf([&] { c.LockRecord(freed); }), kErrRecordChanged);
        EXPECT_EQ(CodeOf([&] { c.LockRecord(past); }), kErrRecordNotFound);
    }
    nobody_holds(freed);
    nobody_holds(past);
    EXPECT_EQ(CodeOf([&] { c.UnlockRecord(freed); }), kErrUnlock);
    // The cursor still stands on its row, and a live row locks by its number.
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(c, buffer, 2), "u0@x");
    c.LockRecord(c.GetCurrentRecordNo());
    EXPECT_TRUE(HeldByAnother("u0@x"));
    c.UnlockRecord(0);

    // A row deleted in a batch keeps the batch's lock until the batch ends, and no more.
    directory->BeginUpdateBatch();
    TDataCursor& batch_deleter = OpenOn("u2@x", buffer);
    const std::uint32_t in_batch = batch_deleter.GetCurrentRecordNo();
    batch_deleter.DeleteRecord(buffer, false);
    EXPECT_EQ(CodeOf([&] { c.LockRecord(in_batch); }), kErrRecordChanged);
    directory->EndUpdateBatch(true);
    nobody_holds(in_batch);

    // New rows fill the freed slots and then the one past the last: each is free to change.
    InsertEntry(deleter, "n0@x", "A", 0);
    InsertEntry(deleter, "n1@x", "A", 0);
    InsertEntry(deleter, "n2@x", "A", 0);
    for (const char* item : {"n0@x", "n1@x", "n2@x"}) {
        TDataCursor& writer = OpenOn(item, buffer);
        PutInt(writer, buffer, 4, 9);
        EXPECT_EQ(CodeOf([&] { writer.ModifyRecord(buffer, false, true); }), 0) << item;
        EXPECT_EQ(StoredBounces(item), 9);
    }
    EXPECT_FALSE(c.Table()->RecordLocked(past));
}

// A lock by number whose table changed since the cursor last looked leaves a cursor at an end
// at that end: its next step gives nothing, its step back the last row.
TEST_F(RecordLocks, LockingByNumberLeavesACursorAtAnEndThere) {
    MakeTable(3);
    std::vector<std::uint8_t> buffer;
    TDataCursor& writer = OpenOn("u0@x", buffer);
    for (const bool at_end : {true, false}) {
        SCOPED_TRACE(at_end ? "after the last" : "before the first");
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        std::vector<std::uint8_t> row(c.GetRecordSize());
        if (at_end)
            c.Last();
        else
            c.First();
        InsertEntry(writer, at_end ? "v0@x" : "v1@x", "A", 5);
        c.LockRecord(1);
        if (at_end) {
            EXPECT_EQ(c.GetNextRecord(row), kErrEndOfFile);
            ASSERT_EQ(c.GetPriorRecord(row), 0);
            EXPECT_EQ(GetText(c, row, 2), "v0@x");
        } else {
            EXPECT_EQ(c.GetPriorRecord(row), kErrBeginningOfFile);
            ASSERT_EQ(c.GetNextRecord(row), 0);
            EXPECT_EQ(GetText(c, row, 2), "u0@x");
        }
        c.UnlockRecord(1);
        c.Close();
    }
}

// A lock by number on a row only another program has added so far finds the row: the table's
// size is read again before the number is refused. A number past even that row is still not
// found, and leaves nothing held.
TEST_F(RecordLocks, LockingByNumberFindsARowAnotherProgramJustAdded) {
    MakeTable(3);
    std::vector<std::uint8_t> buffer;
    TDataCursor& c = OpenOn("u0@x", buffer);
    const std::uint32_t added = c.GetRecordSlotCount() + 1;
    SecondProgram child([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        program.cursor->Open();
        InsertEntry(*program.cursor, "theirs@x", "B", 3);
        program.cursor->Close();
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(CodeOf([&] { c.LockRecord(added); }), 0);
    EXPECT_TRUE(HeldByAnother("theirs@x"));
    EXPECT_EQ(CodeOf([&] { c.LockRecord(added + 1); }), kErrRecordNotFound);
    EXPECT_FALSE(c.Table()->RecordLocked(added + 1));
    c.UnlockRecord(added);
    EXPECT_FALSE(HeldByAnother("theirs@x"));
    c.Close();
}

// A row locked while the table lock was held stays held once the table lock goes, against
// another program too; its cursor gives it back, by an unlock or by a change that unlocks, as
// any lock of its own, and locks it again afterwards.
TEST_F(RecordLocks, ARowLockedUnderTheTableLockStaysHeldAfterIt) {
    MakeTable(2);
    std::vector<std::uint8_t> buffer;
    TDataCursor& c = OpenOn("u0@x", buffer);
    for (const bool by_change : {false, true}) {
        SCOPED_TRACE(by_change ? "change" : "unlock");
        c.LockTable();
        c.LockRecord(0);
        c.UnlockTable();
        EXPECT_TRUE(HeldByAnother("u0@x"));
        SecondProgram child([&](SecondProgram&) {
            Program program(dir.Path().string(), false);
            program.session.SetLockRetryCount(1);
            program.session.SetLockWaitTime(5);
            TDataCursor& other = *program.cursor;
            other.Open();
            std::vector<std::uint8_t> row(other.GetRecordSize());
            other.First();
            if (other.GetNextRecord(row) != 0)
                return 1;
            const EngineErrorCode code = CodeOf([&] { (void)other.GetCurrentRecord(row, true); });
            return code == kErrRecordLocked ? 0 : 5;
        });
        EXPECT_EQ(child.Wait(), 0);
        if (by_change) {
            PutInt(c, buffer, 4, 11);
            EXPECT_EQ(CodeOf([&] { c.ModifyRecord(buffer, true, true); }), 0);
            EXPECT_EQ(StoredBounces("u0@x"), 11);
        } else {
            EXPECT_EQ(CodeOf([&] { c.UnlockRecord(0); }), 0);
        }
        EXPECT_FALSE(HeldByAnother("u0@x"));
        EXPECT_EQ(CodeOf([&] { c.LockRecord(0); }), 0);
        c.UnlockRecord(0);
    }
    c.Close();
}

}  // namespace
}  // namespace strata
