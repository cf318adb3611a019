// A batch's end waits for the write lock as every write lock does, and fails with 10249 when
// another program's reader holds on past that wait. The failed end leaves nothing behind: the
// batch is over, its locks are free for other programs, and this program's caches hold what
// the files hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/os/clock.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

bool Has(const std::vector<std::string>& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// The other program's reader holds its read lock through the whole wait of a batch's end, at a
// commit interval or at the last end: the end fails with 10249 once, after the full wait, and
// the caller's end of the batch (as a statement ends it after a failure) does not wait again.
// The rows the batch could not write are dropped here too, so that this program sees what the
// other one sees; the other program's post, which needs the header lock the batch held, goes
// through; and the next batch writes as ever.
TEST_F(TwoPrograms, ABatchEndThatCannotTakeTheWriteLockFailsAndLeavesNothingHeld) {
    MakeTable(3);
    int round = 0;
    std::vector<std::string> expected = {"u0@x", "u1@x", "u2@x"};
    for (const bool interval : {true, false}) {
        SCOPED_TRACE(interval ? "commit interval" : "last end");
        const std::string theirs = "theirs" + std::to_string(round) + "@x";
        const auto rows = static_cast<std::int64_t>(expected.size()) + 1;
        SecondProgram child([&](SecondProgram& self) {
            Program program(dir.Path().string(), false);
            TDataCursor& c = *program.cursor;
            c.Open();
            c.HoldReadLock();
            self.Signal();
            self.AwaitGo();
            c.ReleaseReadLock();
            InsertEntry(c, theirs, "B", 7);
            return c.GetTableRecordCount() == rows ? 0 : 3;
        });
        ASSERT_TRUE(child.AwaitSignal());
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        platform::os::FakeClock clock;
        EngineErrorCode code = 0;
        {
            platform::os::ScopedClockHooks scoped(clock.Hooks());
            code = CodeOf([&] {
                directory->BeginUpdateBatch();
                try {
                    InsertEntry(c, "lost-a@x", "A", 1);
                    InsertEntry(c, "lost-b@x", "A", 2);
                    if (interval)
                        directory->EndUpdateBatch(false);
                } catch (...) {
                    directory->EndUpdateBatch(true);
                    throw;
                }
                directory->EndUpdateBatch(true);
            });
        }
        EXPECT_EQ(code, kErrLockFailure);
        // The written wait, about 25 seconds, spent once.
        EXPECT_GE(clock.SleptMilliseconds(), 8192u * 3u);
        EXPECT_LT(clock.SleptMilliseconds(), 2u * 8192u * 3u);
        EXPECT_FALSE(directory->InBatch());
        child.Go();
        EXPECT_EQ(child.Wait(), 0);
        expected.push_back(theirs);
        std::vector<std::string> seen = Items(c);
        std::sort(seen.begin(), seen.end());
        std::vector<std::string> want = expected;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(seen, want);
        EXPECT_EQ(c.GetTableRecordCount(), rows);

        const std::string later = "later" + std::to_string(round) + "@x";
        directory->BeginUpdateBatch();
        InsertEntry(c, later, "C", 3);
        directory->EndUpdateBatch(true);
        expected.push_back(later);
        c.Close();
        TDataCursor& again = NewCursor("mailist", false);
        again.Open();
        const std::vector<std::string> reopened = Items(again);
        again.Close();
        EXPECT_TRUE(Has(reopened, later));
        EXPECT_TRUE(Has(reopened, theirs));
        EXPECT_FALSE(Has(reopened, "lost-a@x"));
        EXPECT_EQ(reopened.size(), expected.size());
        ++round;
    }
}

// A batch cancelled part way (its directory closed in the middle of a change) still writes what
// it changed, but as a batch's end does: only once the other program's reader has let go, so that
// the reader finds the files as they were all through its hold. Where the reader holds on past the
// whole wait the cancel writes nothing more and leaves nothing held: the other program then posts.
TEST_F(TwoPrograms, ACancelledBatchWritesOnlyWhenNoReaderOfAnotherProgramIsLeft) {
    MakeTable(3);
    const auto files = [&] {
        std::vector<std::uint8_t> bytes = ReadBytes(dir.File("mailist.DAT"));
        const std::vector<std::uint8_t> index = ReadBytes(dir.File("mailist.IDX"));
        bytes.insert(bytes.end(), index.begin(), index.end());
        return bytes;
    };
    const auto cancel_on_close = [&](const std::vector<std::string>& items) {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        directory->BeginUpdateBatch();
        for (const std::string& item : items)
            InsertEntry(c, item, "A", 1);
        c.Close();
        cursors.clear();
        // The directory's end cancels the batch it is in.
        EXPECT_EQ(session->CloseDirectory(directory), 0);
        directory = session->OpenDirectory("DB", dir.Path().string());
    };
    {
        SecondProgram child([&](SecondProgram& self) {
            Program program(dir.Path().string(), false);
            TDataCursor& c = *program.cursor;
            c.Open();
            c.HoldReadLock();
            const std::vector<std::uint8_t> before = files();
            self.Signal();
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            const bool untouched = files() == before;
            c.ReleaseReadLock();
            return untouched ? 0 : 4;
        });
        ASSERT_TRUE(child.AwaitSignal());
        cancel_on_close({"kept-a@x", "kept-b@x"});
        EXPECT_EQ(child.Wait(), 0);
    }
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    EXPECT_EQ(c.GetTableRecordCount(), 5);
    c.Close();

    SecondProgram holder([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        TDataCursor& held = *program.cursor;
        held.Open();
        held.HoldReadLock();
        self.Signal();
        self.AwaitGo();
        held.ReleaseReadLock();
        InsertEntry(held, "theirs@x", "B", 7);
        return held.GetTableRecordCount() == 6 ? 0 : 3;
    });
    ASSERT_TRUE(holder.AwaitSignal());
    {
        platform::os::FakeClock clock;
        platform::os::ScopedClockHooks scoped(clock.Hooks());
        cancel_on_close({"lost@x"});
        EXPECT_GE(clock.SleptMilliseconds(), 8192u * 3u);
    }
    holder.Go();
    EXPECT_EQ(holder.Wait(), 0);
    TDataCursor& again = NewCursor("mailist", false);
    again.Open();
    const std::vector<std::string> items = Items(again);
    EXPECT_EQ(items.size(), 6u);
    EXPECT_TRUE(Has(items, "theirs@x"));
    EXPECT_FALSE(Has(items, "lost@x"));
    again.Close();
}

}  // namespace
}  // namespace strata
