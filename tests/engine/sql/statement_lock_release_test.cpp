// A statement gives back every source's lock at its end, also when one of them will not go.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/core/data_cursor.h"
#include "engine/core/index_file.h"
#include "engine/sql/query_statement.h"
#include "engine/storage/file_handler.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/lock_probe.h"

namespace strata {
namespace {

using namespace testing_support;

class StatementLockRelease : public CursorTest {
  protected:
    void TearDown() override {
        SetFileUnlockHook(nullptr);
        CursorTest::TearDown();
    }
    void MakeNamedTable(std::string_view table) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), table);
        for (int i = 0; i < 2; ++i)
            InsertEntry(c, std::string(table) + std::to_string(i) + "@x", "A", i);
        c.Close();
    }
    // Read locks lie inside the index file's write range.
    bool IndexHeld(std::string_view table) const {
        return RangeHeld(dir.File(std::string(table) + ".IDX"), kWriteLockStart, kWriteLockLength);
    }
};

// A SELECT WITH LOCKS whose first source's read lock will not go at the statement's end: the
// later sources' locks go all the same and the statement reports the failure. Before, the
// release stopped at the first failure and the later tables stayed read-locked.
TEST_F(StatementLockRelease, AStatementWhoseFirstReadLockWillNotGoGivesBackTheOthers) {
    MakeNamedTable("first");
    MakeNamedTable("second");
    TDataCursor& keeper_a = NewCursor("first", false);
    keeper_a.Open();
    TDataCursor& keeper_b = NewCursor("second", false);
    keeper_b.Open();
    TQueryStatement statement(directory);
    std::size_t offset = 0;
    statement.Prepare("SELECT f.Item FROM first f, second s WHERE f.Bounces = s.Bounces WITH LOCKS",
                      offset);
    // Any read lock: the first one released is the first source's.
    Refuse(-1, 1);
    EXPECT_EQ(CodeOf([&] { statement.Execute(); }), kErrUnlock);
    SetFileUnlockHook(nullptr);
    EXPECT_TRUE(IndexHeld("first"));
    EXPECT_FALSE(IndexHeld("second"));
    keeper_a.Close();
    keeper_b.Close();
}

}  // namespace
}  // namespace strata
