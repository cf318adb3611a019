// A shared table read without strict change detection: what this program has cached is used
// as it is, but a page or record it has to read from the files is never combined with older
// cached pages of the same tree, and never read while the other program writes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_table.h"
#include "engine/storage/file_handler.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

std::string ItemName(char prefix, int i) {
    char text[16];
    std::snprintf(text, sizeof text, "%c%04d@x", prefix, i);
    return text;
}

constexpr int kRows = 2000;

// What the other program leaves: three rows in four gone, a thousand new ones in between,
// all in one flush, so that ByItem's leaves split, merge and move.
std::vector<std::string> RowsAfterChange() {
    std::vector<std::string> rows;
    for (int i = 0; i < kRows; i += 4)
        rows.push_back(ItemName('u', i));
    for (int i = 0; i < 1000; ++i)
        rows.push_back(ItemName('m', i));
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool DeleteRow(TDataCursor& c, const std::string& item) {
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    std::vector<std::uint8_t> found(c.GetRecordSize());
    c.InitNewRecord(probe);
    PutText(c, probe, 2, item);
    if (!c.FindKey(false, probe, found, 0, false, 1))
        return false;
    c.DeleteRecord(found, false);
    return true;
}

int ChangeRows(TDataCursor& c) {
    c.SetIndexByName("ByItem");
    c.Table()->BeginBatch();
    for (int i = 0; i < kRows; ++i) {
        if (i % 4 != 0 && !DeleteRow(c, ItemName('u', i)))
            return 1;
    }
    for (int i = 0; i < 1000; ++i)
        InsertEntry(c, ItemName('m', i), "B", i % 5);
    c.Table()->EndBatch(true);
    return 0;
}

class SharedReads : public TwoPrograms {
  protected:
    void SetUp() override {
        TwoPrograms::SetUp();
        {
            TDataCursor& c = CreateAndOpen(ListTableDefinition());
            for (int i = 0; i < kRows; ++i)
                InsertEntry(c, ItemName('u', i), "A", i % 5);
            c.Close();
        }
        session->SetStrictChangeDetection(false);
    }

    // A shared cursor on ByItem that has cached the index's last leaf and the path to it,
    // and the records there.
    TDataCursor& ReaderAtTheEnd() {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        c.SetIndexByName("ByItem");
        c.Last();
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(c.GetPriorRecord(buffer), 0);
        EXPECT_EQ(GetText(c, buffer, 2), ItemName('u', kRows - 5));
        return c;
    }

    // The rows in ByItem's order, at most a few more than there can be.
    static std::vector<std::string> Walk(TDataCursor& c) {
        std::vector<std::string> found;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (found.size() < 2 * kRows && c.GetNextRecord(buffer) == 0)
            found.push_back(GetText(c, buffer, 2));
        return found;
    }

    // Another program makes the change whole and ends; answers its exit code.
    int ChangeRowsInAnotherProgram() {
        SecondProgram child([&](SecondProgram&) {
            Program program(dir.Path().string(), false);
            program.cursor->Open();
            return ChangeRows(*program.cursor);
        });
        return child.Wait();
    }
};

// The other program changes the rows and is done; this one then walks from the other end
// of the index, into pages it never read.
TEST_F(SharedReads, PagesReadAfterTheOtherProgramsFlushAreNotMixedWithCachedOnes) {
    TDataCursor& c = ReaderAtTheEnd();
    ASSERT_EQ(ChangeRowsInAnotherProgram(), 0);
    const std::vector<std::string> expected = RowsAfterChange();
    EXPECT_EQ(Walk(c), expected);
    EXPECT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(expected.size()));
    // A lookup by key into the changed middle finds the new rows, and not the gone ones.
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    std::vector<std::uint8_t> found(c.GetRecordSize());
    c.InitNewRecord(probe);
    PutText(c, probe, 2, ItemName('u', 1001));
    EXPECT_FALSE(c.FindKey(false, probe, found, 0, false, 1));
    PutText(c, probe, 2, ItemName('m', 500));
    ASSERT_TRUE(c.FindKey(false, probe, found, 0, false, 1));
    EXPECT_EQ(GetText(c, found, 2), ItemName('m', 500));
}

// A filter checked from the records, which reads them from the file past the caches, sees
// the other program's change whole.
TEST_F(SharedReads, AFilterReadingPastTheCachesSeesTheWholeChange) {
    TDataCursor& c = ReaderAtTheEnd();
    ASSERT_EQ(ChangeRowsInAnotherProgram(), 0);
    c.ActivateFilter(c.AddFilter("Name IS NULL", {}));
    EXPECT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(RowsAfterChange().size()));
    std::vector<std::string> rows = Walk(c);
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, RowsAfterChange());
}

// A change of index that meets the other program's change starts over from the row the
// cursor stood on, in the index it stood in.
TEST_F(SharedReads, AnIndexChangeThatMeetsAChangeKeepsTheRow) {
    TDataCursor& c = ReaderAtTheEnd();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    ASSERT_EQ(GetText(c, buffer, 2), ItemName('u', kRows - 4));
    ASSERT_EQ(ChangeRowsInAnotherProgram(), 0);
    const std::uint64_t locks = c.Table()->OperationReadLocks();
    c.SetIndexByName("ByCategory");
    EXPECT_GT(c.Table()->OperationReadLocks(), locks);
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(c, buffer, 2), ItemName('u', kRows - 4));
    std::vector<std::string> rows = Walk(c);
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, RowsAfterChange());
}

// The other program is stopped in the middle of its flush, holding its write lock: a read
// of this program that misses the cache waits for the flush to end, then sees all of it.
std::atomic<int> child_writes{0};
SecondProgram* stopped_child = nullptr;

void StopInTheMiddleOfTheFlush() {
    if (stopped_child != nullptr && ++child_writes == 6) {
        stopped_child->Signal();
        stopped_child->AwaitGo();
    }
}

std::atomic<int> lock_waits{0};
SecondProgram* writing_child = nullptr;

// The first refused read lock lets the other program finish and waits until it has.
void LetTheWriterFinish() {
    if (++lock_waits == 1 && writing_child != nullptr) {
        writing_child->Go();
        writing_child->AwaitSignal();
    }
}

TEST_F(SharedReads, AMissWaitsForTheOtherProgramsFlushToEnd) {
    // The other program starts first: a program opens the files on its own.
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        program.cursor->Open();
        self.Signal();
        self.AwaitGo();
        stopped_child = &self;
        SetFileStepHook(&StopInTheMiddleOfTheFlush);
        const int result = ChangeRows(*program.cursor);
        SetFileStepHook(nullptr);
        self.Signal();
        return result;
    });
    ASSERT_TRUE(child.AwaitSignal());
    TDataCursor& c = ReaderAtTheEnd();
    child.Go();
    ASSERT_TRUE(child.AwaitSignal());
    lock_waits = 0;
    writing_child = &child;
    SetFileLockWaitHook(&LetTheWriterFinish);
    std::vector<std::string> walked;
    EngineErrorCode code = CodeOf([&] { walked = Walk(c); });
    SetFileLockWaitHook(nullptr);
    writing_child = nullptr;
    if (lock_waits == 0) {
        // The walk did not wait: the other program still has to finish.
        child.Go();
        ASSERT_TRUE(child.AwaitSignal());
    }
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(code, 0);
    EXPECT_GT(lock_waits.load(), 0);
    EXPECT_EQ(walked, RowsAfterChange());
}

// Exclusive tables take no read lock and strict detection one per operation, as they always
// did; a shared table without strict detection takes one only for an operation that misses
// the caches, and never more than one.
TEST_F(SharedReads, ReadLocksAreTakenOnlyWhereAMissMayMeetAnotherProgramsWrites) {
    struct Counted {
        std::uint64_t locks = 0;
        std::uint64_t operations = 0;
    };
    const auto walk = [](TDataCursor& c) {
        const std::uint64_t before = c.Table()->OperationReadLocks();
        Counted counted;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        ++counted.operations;
        do
            ++counted.operations;
        while (c.GetNextRecord(buffer) == 0);
        counted.locks = c.Table()->OperationReadLocks() - before;
        return counted;
    };
    const auto open = [&](bool exclusive) -> TDataCursor& {
        TDataCursor& c = NewCursor("mailist", exclusive);
        c.Open();
        c.SetIndexByName("ByItem");
        return c;
    };
    {
        TDataCursor& c = open(true);
        EXPECT_EQ(walk(c).locks, 0u);
        c.Close();
    }
    {
        session->SetStrictChangeDetection(true);
        TDataCursor& c = open(false);
        const Counted counted = walk(c);
        EXPECT_EQ(counted.locks, counted.operations);
        session->SetStrictChangeDetection(false);
        c.Close();
    }
    TDataCursor& c = open(false);
    const Counted counted = walk(c);
    EXPECT_GT(counted.locks, 0u);
    EXPECT_LE(counted.locks, counted.operations);
    // The root's counts are cached by now.
    const std::uint64_t before = c.Table()->OperationReadLocks();
    EXPECT_EQ(c.GetRecordCount(), kRows);
    EXPECT_EQ(c.Table()->OperationReadLocks(), before);
}

// The other program writes one row per flush all along while this one reads: each read
// sees one whole state of the table, and the last walk exactly what a new cursor sees.
TEST_F(SharedReads, ReadsBesideAWriterThatNeverStopsSeeWholeStates) {
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        program.cursor->Open();
        program.cursor->SetIndexByName("ByItem");
        self.Signal();
        self.AwaitGo();
        for (int i = 0; i < 2000 && !self.GoArrived(); ++i) {
            InsertEntry(*program.cursor, ItemName('a', i), "C", 1);
            if (i % 3 == 0 && !DeleteRow(*program.cursor, ItemName('u', i)))
                return 1;
        }
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    TDataCursor& c = ReaderAtTheEnd();
    child.Go();
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    std::vector<std::uint8_t> found(c.GetRecordSize());
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        c.First();
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        // The first row before the other program's first flush, or after it.
        EXPECT_TRUE(GetText(c, buffer, 2) == ItemName('u', 0) ||
                    GetText(c, buffer, 2) == ItemName('a', 0))
            << GetText(c, buffer, 2);
        c.InitNewRecord(probe);
        PutText(c, probe, 2, ItemName('u', kRows - 1));
        ASSERT_TRUE(c.FindKey(false, probe, found, 0, false, 1));
        EXPECT_EQ(GetText(c, found, 2), ItemName('u', kRows - 1));
    }
    child.Go();
    ASSERT_EQ(child.Wait(), 0);
    // What this program has cached it uses as it is, for every cursor of the table; the first
    // page it reads of an index it has not read yet brings the other program's last flush in.
    c.SetIndexByName("ByBounce");
    const std::int64_t count = c.GetRecordCount();
    TDataCursor& other = NewCursor("mailist", false);
    other.Open();
    other.SetIndexByName("ByItem");
    const std::vector<std::string> final_rows = Walk(other);
    EXPECT_EQ(count, static_cast<std::int64_t>(final_rows.size()));
    c.SetIndexByName("ByItem");
    EXPECT_EQ(Walk(c), final_rows);
}

}  // namespace
}  // namespace strata
