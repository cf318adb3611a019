// Bulk SQL changes watched by a second program reading the same table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/table_repair.h"
#include "engine/sql/query_statement.h"
#include "platform/os/clock.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

std::int32_t RunStatement(TDataDirectory* directory, std::string_view sql) {
    TQueryStatement statement(directory);
    std::size_t offset = 0;
    statement.Prepare(sql, offset);
    statement.Execute();
    return statement.GetResultCount();
}

// The lines of the verifier's report on the cursor's table that name an error.
std::vector<std::string> VerifierFaults(TDataCursor& check) {
    std::vector<std::string> faults;
    RepairTable(check, true, 0, {}, [&](std::string_view line) {
        if (line.find("error") != std::string_view::npos)
            faults.emplace_back(line);
    });
    return faults;
}

// Bulk SQL changes flush within their batch without waiting for the disk and sync once at the
// end. The other program, reading all along, must only ever see whole flushes: every record
// it finds in record order is the one the index leads to, and the count agrees. Once the
// statements have returned it sees all of their changes, and the table verifies clean.
TEST_F(TwoPrograms, BulkChangesAreSeenWholeByTheOtherProgram) {
    constexpr int kEntries = 600;
    // Even entries are in category A; those ending in 6 or 8 go.
    constexpr int kDeleted = kEntries / 5;
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < kEntries; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", i % 2 == 0 ? "A" : "B", i % 10);
        c.Close();
    }
    // Rows: item -> bounces, read in record order and in ByBounce order.
    using Rows = std::map<std::string, std::int32_t>;
    const auto read = [](TDataCursor& c, bool by_index, Rows& rows) {
        rows.clear();
        if (by_index)
            c.SetIndexByName("ByBounce");
        else
            c.SetIndex(kNoIndex);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        std::int32_t previous = std::numeric_limits<std::int32_t>::min();
        bool ordered = true;
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::int32_t bounces = GetInt(c, buffer, 4).value_or(-1);
            ordered = ordered && bounces >= previous;
            previous = bounces;
            rows[GetText(c, buffer, 2)] = bounces;
        }
        return ordered;
    };
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        TDataCursor& c = *program.cursor;
        c.Open();
        self.Signal();
        Rows in_order;
        Rows by_index;
        for (;;) {
            const bool last = self.GoArrived();
            // Both reads in one read lock see one state of the files.
            c.HoldReadLock();
            const bool ordered = read(c, true, by_index);
            read(c, false, in_order);
            const std::int64_t count = c.GetRecordCount();
            c.ReleaseReadLock();
            if (!ordered || in_order != by_index)
                return 1;
            if (count != static_cast<std::int64_t>(in_order.size()))
                return 2;
            if (last)
                break;
        }
        // Every change of both statements, and nothing else.
        if (in_order.size() != kEntries - kDeleted)
            return 3;
        for (const auto& [item, bounces] : in_order) {
            const int i = std::stoi(item.substr(1));
            const int expected = i % 2 == 0 ? i % 10 + 100 : i % 10;
            if (bounces != expected || bounces >= 105)
                return 4;
        }
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    const auto run = [&](std::string_view sql) { return RunStatement(directory, sql); };
    EXPECT_EQ(run("UPDATE mailist SET Bounces = Bounces + 100 WHERE Category = 'A' COMMIT "
                  "INTERVAL 16"),
              kEntries / 2);
    EXPECT_EQ(run("DELETE FROM mailist WHERE Bounces >= 105 COMMIT INTERVAL 16"), kDeleted);
    child.Go();
    EXPECT_EQ(child.Wait(), 0);

    EXPECT_EQ(VerifierFaults(NewCursor()), std::vector<std::string>{});
}

// An UPDATE keeps the records it read for the next statement over them. A change another
// program makes in between must reach that statement, and the statement's writes must not put
// the old bytes back.
TEST_F(TwoPrograms, RecordsKeptFromAnUpdateGiveWayToAnotherProgramsChange) {
    constexpr int kEntries = 300;
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < kEntries; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", i % 2 == 0 ? "A" : "B", i % 10);
        c.Close();
    }
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        self.AwaitGo();
        const std::int32_t changed =
            RunStatement(program.directory,
                         "UPDATE mailist SET Bounces = 50 WHERE Item = 'u10@x' OR Item = 'u11@x'");
        self.Signal();
        return changed == 2 ? 0 : 1;
    });
    // A cursor held open keeps the table, and its caches, between the statements.
    TDataCursor& held = NewCursor("mailist", false);
    held.Open();
    constexpr std::string_view kUpdate =
        "UPDATE mailist SET Bounces = Bounces + 1 WHERE Category = 'A'";
    EXPECT_EQ(RunStatement(directory, kUpdate), kEntries / 2);
    child.Go();
    ASSERT_TRUE(child.AwaitSignal());
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(RunStatement(directory, kUpdate), kEntries / 2);

    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    c.SetIndex(kNoIndex);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    std::vector<std::string> wrong;
    int rows = 0;
    c.First();
    while (c.GetNextRecord(buffer) == 0) {
        ++rows;
        const std::string item = GetText(c, buffer, 2);
        const int i = std::stoi(item.substr(1));
        const int expected = i == 10 ? 51 : i == 11 ? 50 : i % 2 == 0 ? i % 10 + 2 : i % 10;
        if (GetInt(c, buffer, 4) != expected)
            wrong.push_back(item);
    }
    EXPECT_EQ(rows, kEntries);
    EXPECT_EQ(wrong, std::vector<std::string>{});
    c.Close();
    held.Close();
    EXPECT_EQ(VerifierFaults(NewCursor()), std::vector<std::string>{});
}

// A row another program locks through its cursor stops a bulk change that reaches it with the
// record-lock error; the rows before it change, and neither program is left holding a lock.
TEST_F(TwoPrograms, BulkChangesStopAtARowAnotherProgramLocks) {
    constexpr int kEntries = 400;
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < kEntries; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", i % 2 == 0 ? "A" : "B", i % 4);
        c.Close();
    }
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        TDataCursor& c = *program.cursor;
        c.Open();
        c.SetIndex(kNoIndex);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        // Positions on the row of entry `i`, in record order.
        const auto go_to = [&](int i) {
            c.First();
            for (int k = 0; k <= i; ++k) {
                if (c.GetNextRecord(buffer) != 0)
                    return false;
            }
            return true;
        };
        if (!go_to(200))
            return 1;
        c.LockRecord(0);
        self.Signal();
        self.AwaitGo();
        c.UnlockRecord(0);
        // Rows the other program's changes touched lock again.
        for (const int i : {199, 200}) {
            if (!go_to(i))
                return 2;
            c.LockRecord(0);
            c.UnlockRecord(0);
        }
        self.Signal();
        self.AwaitGo();
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    session->SetLockRetryCount(1);
    session->SetLockWaitTime(10);
    const auto count = [&](std::string_view where) {
        return RunStatement(directory, "SELECT Item FROM mailist WHERE " + std::string(where));
    };
    // Entry 200 (bounces 0) is held: entries 0, 4, ..., 196 go, and the rest stay.
    EXPECT_EQ(CodeOf([&] { RunStatement(directory, "DELETE FROM mailist WHERE Bounces = 0"); }),
              kErrRecordLocked);
    EXPECT_EQ(count("Bounces = 0"), 50);
    // In record order the UPDATE reaches entries 1, 5, ..., 197 before the held one.
    EXPECT_EQ(CodeOf([&] {
                  RunStatement(directory,
                               "UPDATE mailist SET Bounces = Bounces + 10 WHERE Bounces < 2");
              }),
              kErrRecordLocked);
    EXPECT_EQ(count("Bounces = 11"), 50);
    EXPECT_EQ(count("Bounces = 10"), 0);
    EXPECT_EQ(RunStatement(directory, "UPDATE mailist SET Bounces = 22 WHERE Bounces = 2"), 100);
    child.Go();
    ASSERT_TRUE(child.AwaitSignal());
    EXPECT_EQ(RunStatement(directory, "DELETE FROM mailist WHERE Bounces = 0"), 50);
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(VerifierFaults(NewCursor()), std::vector<std::string>{});
    EXPECT_EQ(count("Bounces >= 0"), kEntries - 100);
}

// A SELECT ... INTO an existing table WITH LOCKS that cannot take a source's read lock, because
// the other program writes that source, leaves the table as it was and holds none of the locks
// it did take. Run again once the other program has let go, the statement makes the table anew.
TEST_F(TwoPrograms, SelectIntoWithLocksThatCannotLockKeepsTheExistingTable) {
    MakeTable(3);
    RunStatement(directory, "CREATE TABLE other (k INTEGER)");
    RunStatement(directory, "INSERT INTO other VALUES (7)");
    const std::string into = "\"" + dir.Path().string() + "/kept\"";
    EXPECT_EQ(RunStatement(directory, "SELECT Item INTO " + into + " FROM mailist"), 3);
    const auto kept = [&] {
        TDataCursor& c = NewCursor("kept", false);
        c.Open();
        std::vector<std::string> items;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0)
            items.push_back(GetText(c, buffer, 1));
        c.Close();
        std::sort(items.begin(), items.end());
        return items;
    };
    const std::vector<std::string> all = {"u0@x", "u1@x", "u2@x"};
    ASSERT_EQ(kept(), all);

    SecondProgram child([&](SecondProgram& self) {
        platform::os::FakeClock clock;
        platform::os::ScopedClockHooks scoped(clock.Hooks());
        Program program(dir.Path().string(), false);
        TDataCursor& c = *program.cursor;
        c.Open();
        self.Signal();
        self.AwaitGo();
        c.WriteLock();
        self.Signal();
        self.AwaitGo();
        c.WriteUnlock();
        // A read lock the refused statement kept on `other` would keep this write out.
        TDataCursor others(*program.directory);
        others.SetTableName("other");
        others.Open();
        if (CodeOf([&] { others.WriteLock(); }) != 0)
            return 2;
        others.WriteUnlock();
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    // `other` comes first, so its lock is taken before the one on mailist is refused.
    const std::string sql = "SELECT Item INTO " + into + " FROM other, mailist WITH LOCKS";
    {
        TQueryStatement statement(directory);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        child.Go();
        ASSERT_TRUE(child.AwaitSignal());
        {
            platform::os::FakeClock clock;
            platform::os::ScopedClockHooks scoped(clock.Hooks());
            EXPECT_EQ(CodeOf([&] { statement.Execute(); }), kErrLockFailure);
        }
        child.Go();
        EXPECT_EQ(child.Wait(), 0);
    }
    EXPECT_EQ(kept(), all);
    EXPECT_EQ(RunStatement(directory, sql), 3);
    EXPECT_EQ(kept(), all);
}

}  // namespace
}  // namespace strata
