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
        TDataCursor& c = *program.cursor;
        c.Open();
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        if (c.GetNextRecord(buffer) != 0 || c.GetCurrentRecord(buffer, true) != 0)
            return 1;
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

}  // namespace
}  // namespace strata
