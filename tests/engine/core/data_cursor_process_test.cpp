// The engine seen by two programs at once: what one changes the other sees, and its locks hold.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <map>

#include "engine/core/data_cursor.h"
#include "engine/core/table_repair.h"
#include "platform/os/clock.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

TEST_F(TwoPrograms, ExclusiveOpenIsRefusedToTheOtherProgram) {
    MakeTable(1);
    for (const bool child_exclusive : {true, false}) {
        SecondProgram child([&](SecondProgram& self) {
            Program program(dir.Path().string(), child_exclusive);
            program.cursor->Open();
            self.Signal();
            self.AwaitGo();
            return 0;
        });
        ASSERT_TRUE(child.AwaitSignal());
        TDataCursor& c = NewCursor("mailist", !child_exclusive);
        EXPECT_EQ(CodeOf([&] { c.Open(); }), kErrAccessDenied) << child_exclusive;
        child.Go();
        EXPECT_EQ(child.Wait(), 0);
        c.Open();
        EXPECT_TRUE(c.IsOpen());
        c.Close();
    }
}

TEST_F(TwoPrograms, RecordLockIsRetriedThenRefused) {
    MakeTable(2);
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        if (!program.OpenAndLockFirstRow())
            return 1;
        TDataCursor& c = *program.cursor;
        self.Signal();
        self.AwaitGo();
        c.UnlockRecord(0);
        self.Signal();
        self.AwaitGo();
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    session->SetLockRetryCount(3);
    session->SetLockWaitTime(7);
    std::atomic<int> waited{0};
    platform::os::ClockHooks hooks;
    hooks.sleep = [&](std::uint32_t ms) {
        waited += static_cast<int>(ms);
        ::usleep(ms * 1000);
    };
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    {
        platform::os::ScopedClockHooks scoped(hooks);
        EXPECT_EQ(CodeOf([&] { c.GetCurrentRecord(buffer, true); }), kErrRecordLocked);
    }
    // LockRetryCount times LockWaitTime of waiting, in short steps.
    EXPECT_EQ(waited.load(), 3 * 7);
    // The other record is free.
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(c.GetCurrentRecord(buffer, true), 0);
    c.UnlockRecord(0);
    child.Go();
    ASSERT_TRUE(child.AwaitSignal());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(c.GetCurrentRecord(buffer, true), 0);
    c.UnlockRecord(0);
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(TwoPrograms, ChangesOfTheOtherProgramAreSeen) {
    MakeTable(3);
    session->SetStrictChangeDetection(true);
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    c.SetIndexByName("ByItem");
    EXPECT_EQ(c.GetRecordCount(), 3);
    SecondProgram child([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        TDataCursor& other = *program.cursor;
        other.Open();
        InsertEntry(other, "a-first@x", "B", 9);
        std::vector<std::uint8_t> buffer(other.GetRecordSize());
        other.SetIndexByName("ByItem");
        other.Last();
        if (other.GetPriorRecord(buffer) != 0)
            return 1;
        other.DeleteRecord(buffer, true);
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(c.GetRecordCount(), 3);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a-first@x", "u0@x", "u1@x"}));
    // Without strict detection a refresh brings the changes in.
    session->SetStrictChangeDetection(false);
    SecondProgram second([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        program.cursor->Open();
        InsertEntry(*program.cursor, "z@x", "B", 1);
        return 0;
    });
    ASSERT_EQ(second.Wait(), 0);
    c.Refresh();
    EXPECT_EQ(c.GetRecordCount(), 4);
}

// Filtered cursors opened one after another share the table's live records; every change,
// this program's or the other's, must reach the next cursor opened. Records inserted into
// freed slots show whether the live records were read again.
TEST_F(TwoPrograms, FilteredCursorsOpenedLaterSeeEveryDeleteAndInsert) {
    MakeTable(6);
    session->SetStrictChangeDetection(true);
    // In record order the live records alone decide what is visited and counted.
    const auto filtered = [&]() -> TDataCursor& {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        c.SetIndex(kNoIndex);
        c.ActivateFilter(c.AddFilter("Category = 'A'", {}));
        return c;
    };
    const auto items = [&](TDataCursor& c) {
        std::vector<std::string> found = Items(c);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(found.size()));
        return found;
    };
    const auto remove = [&](TDataCursor& c, std::string_view item) {
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            if (GetText(c, buffer, 2) == item) {
                c.DeleteRecord(buffer, true);
                return;
            }
        }
        ADD_FAILURE() << "no " << item;
    };
    TDataCursor& first = NewCursor("mailist", false);
    first.Open();
    remove(first, "u0@x");
    EXPECT_EQ(items(filtered()),
              (std::vector<std::string>{"u1@x", "u2@x", "u3@x", "u4@x", "u5@x"}));
    EXPECT_EQ(items(filtered()),
              (std::vector<std::string>{"u1@x", "u2@x", "u3@x", "u4@x", "u5@x"}));
    InsertEntry(first, "t@x", "A", 1);
    EXPECT_EQ(items(filtered()),
              (std::vector<std::string>{"t@x", "u1@x", "u2@x", "u3@x", "u4@x", "u5@x"}));
    remove(first, "u4@x");
    EXPECT_EQ(items(filtered()), (std::vector<std::string>{"t@x", "u1@x", "u2@x", "u3@x", "u5@x"}));
    SecondProgram child([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        program.cursor->Open();
        InsertEntry(*program.cursor, "a@x", "A", 2);
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(items(filtered()),
              (std::vector<std::string>{"a@x", "t@x", "u1@x", "u2@x", "u3@x", "u5@x"}));
}

// Deletes that empty a category (and with it whole leaves of ByCategory) are
// on disk once each delete's flush is done: the other program finds exactly
// the entries left, through every index.
TEST_F(TwoPrograms, EmptiedCategoryIsGoneForTheOtherProgramAfterTheFlush) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < 600; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", i % 3 == 0 ? "Gone" : "Kept", i % 5);
        c.Close();
    }
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    c.SetIndexByName("ByItem");
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    std::vector<std::uint8_t> found(c.GetRecordSize());
    for (int i = 0; i < 600; i += 3) {
        PutText(c, probe, 2, "u" + std::to_string(i) + "@x");
        ASSERT_TRUE(c.FindKey(false, probe, found, 0, false, 1)) << i;
        c.DeleteRecord(found, false);
    }
    SecondProgram child([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        TDataCursor& other = *program.cursor;
        other.Open();
        if (other.GetRecordCount() != 400)
            return 1;
        std::vector<std::uint8_t> buffer(other.GetRecordSize());
        other.SetIndexByName("ByCategory");
        int kept = 0;
        other.First();
        while (other.GetNextRecord(buffer) == 0) {
            if (GetText(other, buffer, 3) != "Kept")
                return 2;
            ++kept;
        }
        if (kept != 400)
            return 3;
        other.SetIndexByName("ByItem");
        std::vector<std::uint8_t> key(other.GetRecordSize());
        for (int i = 0; i < 600; ++i) {
            PutText(other, key, 2, "u" + std::to_string(i) + "@x");
            if (other.FindKey(false, key, buffer, 0, false, 1) != (i % 3 != 0))
                return 4;
        }
        other.SetIndexByName("ByBounce");
        if (static_cast<int>(Items(other).size()) != 400)
            return 5;
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
}

// The list's rows by item, changed one at a time as the application does: found through
// ByItem, then deleted or given another category.
class ListRows {
  public:
    explicit ListRows(TDataCursor& c) : c_(c), buffer_(c.GetRecordSize()) {
        c_.SetIndexByName("ByItem");
    }
    bool Find(const std::string& item) {
        std::vector<std::uint8_t> probe(c_.GetRecordSize());
        c_.InitNewRecord(probe);
        PutText(c_, probe, 2, item);
        return c_.FindKey(false, probe, buffer_, 0, false, 1);
    }
    bool Delete(const std::string& item) {
        if (!Find(item))
            return false;
        c_.DeleteRecord(buffer_, false);
        return true;
    }
    bool Recategorise(const std::string& item, const std::string& category) {
        if (!Find(item))
            return false;
        PutText(c_, buffer_, 3, category);
        c_.ModifyRecord(buffer_, true, false);
        return true;
    }

  private:
    TDataCursor& c_;
    std::vector<std::uint8_t> buffer_;
};

// A row held since it was read, which nobody else can change, is not read again: both changes stay.
TEST_F(TwoPrograms, AHeldRowIsNotReadAgainAfterAnotherProgramsChange) {
    std::vector<std::uint8_t> buffer;
    TDataCursor& c = OpenOnFirstRow(2, buffer);
    ASSERT_EQ(c.GetCurrentRecord(buffer, true), 0);
    Program other(dir.Path().string(), false);
    other.cursor->Open();
    InsertEntry(*other.cursor, "v@x", "B", 7);
    const std::uint64_t reads = c.Table()->DataFile().GetStatistics().reads;
    PutInt(c, buffer, 4, 50);
    c.ModifyRecord(buffer, true, false);
    EXPECT_EQ(c.Table()->DataFile().GetStatistics().reads, reads);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"u0@x", "u1@x", "v@x"}));
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(GetInt(c, buffer, 4), 50);
}

// The live records follow this program's inserts, deletes and changes from the table's
// creation on, whatever they do to the other indexes (new roots included): a filter answered
// from the records alone then reads no index page, and still sees every change.
TEST_F(TwoPrograms, LiveRecordsFollowThisProgramsChangesWithoutAWalk) {
    TDataCursor& writer = CreateAndOpen(ListTableDefinition(), "mailist", false);
    const TIndexFile& index = writer.Table()->IndexFile();
    const auto pages_read = [&] {
        const TIndexFile::Statistics& s = index.GetStatistics();
        return s.hits + s.reads + s.packed_hits + s.scan_reads;
    };
    const auto check = [&](const char* stage, std::int64_t live) {
        SCOPED_TRACE(stage);
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        ASSERT_EQ(c.Table(), writer.Table());
        // Record order takes the live records at once, the filter takes them again.
        const auto before = pages_read();
        c.SetIndex(kNoIndex);
        c.ActivateFilter(c.AddFilter("Name IS NULL", {}));
        EXPECT_EQ(c.GetRecordCount(), live);
        EXPECT_EQ(pages_read(), before);
        EXPECT_EQ(static_cast<std::int64_t>(Items(c).size()), live);
        c.Close();
    };
    for (int i = 0; i < 2000; ++i)
        InsertEntry(writer, "u" + std::to_string(i) + "@x", "Cat" + std::to_string(i % 12), i % 5);
    check("inserted", 2000);
    ListRows rows(writer);
    for (int i = 0; i < 2000; i += 7)
        ASSERT_TRUE(rows.Delete("u" + std::to_string(i) + "@x"));
    check("deleted", 2000 - 286);
    for (int i = 0; i < 100; ++i)
        InsertEntry(writer, "n" + std::to_string(i) + "@x", "Cat1", 3);
    ASSERT_TRUE(rows.Recategorise("u1@x", "Cat5"));
    check("inserted into freed slots and changed", 2000 - 286 + 100);
}

// Filters answered from ByCategory walk many of its leaves while a small page cache moves
// them out and in; after deletes, inserts, changed categories and the other program's
// changes, every filtered cursor opened gives exactly the rows a plain walk finds.
TEST_F(TwoPrograms, IndexFiltersOverManyLeavesGiveThePlainWalksRows) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < 1200; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "Cat" + std::to_string(i % 12), i % 5);
        c.Close();
    }
    session->SetStrictChangeDetection(true);
    TDataCursor& writer = NewCursor("mailist", false);
    writer.Open();
    writer.Table()->IndexFile().SetPageCacheCapacity(2);
    ListRows rows(writer);
    const auto plain = [&](const std::function<bool(const std::string&)>& wanted) {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        c.SetIndex(kNoIndex);
        std::vector<std::string> found;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            if (wanted(GetText(c, buffer, 3)))
                found.push_back(GetText(c, buffer, 2));
        }
        c.Close();
        std::sort(found.begin(), found.end());
        return found;
    };
    const auto filtered = [&](const char* expression, bool case_insensitive) {
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        c.SetIndexByName("ByCategory");
        TDataCursor::FilterOptions options;
        options.case_insensitive = case_insensitive;
        c.ActivateFilter(c.AddFilter(expression, options));
        std::vector<std::string> found = Items(c);
        EXPECT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(found.size()));
        c.Close();
        std::sort(found.begin(), found.end());
        return found;
    };
    const auto check = [&](const char* stage) {
        SCOPED_TRACE(stage);
        const std::vector<std::string> prefix =
            plain([](const std::string& c) { return c == "Cat1" || c == "Cat10" || c == "Cat11"; });
        EXPECT_GT(prefix.size(), 100u);
        EXPECT_EQ(filtered("Category = 'cat1*'", true), prefix);
        EXPECT_EQ(filtered("Category = 'Cat5'", false),
                  plain([](const std::string& c) { return c == "Cat5"; }));
        EXPECT_EQ(filtered("Category > 'Cat7'", true),
                  plain([](const std::string& c) { return c > "Cat7"; }));
    };
    check("created");
    for (int i = 0; i < 1200; i += 3)
        ASSERT_TRUE(rows.Delete("u" + std::to_string(i) + "@x"));
    check("deleted");
    for (int i = 0; i < 300; ++i)
        InsertEntry(writer, "n" + std::to_string(i) + "@x", "Cat" + std::to_string(i % 4), 1);
    check("inserted into freed slots");
    for (int i = 2; i < 1200; i += 12)
        ASSERT_TRUE(rows.Recategorise("u" + std::to_string(i) + "@x", "Cat10"));
    check("moved to another category");
    SecondProgram child([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        program.cursor->Open();
        ListRows theirs(*program.cursor);
        for (int i = 1; i < 1200; i += 6) {
            if (!theirs.Delete("u" + std::to_string(i) + "@x"))
                return 1;
        }
        for (int i = 0; i < 50; ++i)
            InsertEntry(*program.cursor, "o" + std::to_string(i) + "@x", "Cat11", 2);
        return theirs.Recategorise("n1@x", "Cat5") ? 0 : 2;
    });
    ASSERT_EQ(child.Wait(), 0);
    check("changed by the other program");
}

}  // namespace
}  // namespace strata
