// Moving a table's files is all or nothing: a move that fails part of the way leaves every file
// under the name it had.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using namespace testing_support;

// The file step at which the hook fails, counted from 1; 0 for none.
int fail_at_step = 0;
int steps = 0;

void FailOneStep() {
    if (++steps == fail_at_step)
        throw std::runtime_error("step refused");
}

class TableRenameFailure : public CursorTest {
  protected:
    void TearDown() override {
        SetFileStepHook(nullptr);
        CursorTest::TearDown();
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Each step of a move of a table with memos (its data, index and blob files, to new names or to
// backup names) failing in turn: the move fails, every file keeps its name, and the table opens
// and reads as before. Without a failure the move takes all three.
TEST_F(TableRenameFailure, AFailedMoveLeavesEveryFileUnderItsName) {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    TDataCursor& c = CreateAndOpen(definition, "moved", true);
    InsertEntry(c, "kept@x.org", "news", 1);
    c.Close();
    const std::vector<std::string> before = Names();
    ASSERT_EQ(before.size(), 3u);
    SetFileStepHook(FailOneStep);
    for (const bool to_backup : {false, true}) {
        for (int step = 1; step <= 3; ++step) {
            SCOPED_TRACE(std::to_string(step) + (to_backup ? " to backup" : ""));
            steps = 0;
            fail_at_step = step;
            EXPECT_ANY_THROW(directory->RenameTable("moved", "other", to_backup, false));
            EXPECT_EQ(Names(), before);
        }
    }
    fail_at_step = 0;
    TDataCursor& again = NewCursor("moved", true);
    again.Open();
    EXPECT_EQ(Items(again), std::vector<std::string>{"kept@x.org"});
    again.Close();
    directory->RenameTable("moved", "other", false, false);
    EXPECT_EQ(Names(), (std::vector<std::string>{"other.BLB", "other.DAT", "other.IDX"}));
}

}  // namespace
}  // namespace strata
