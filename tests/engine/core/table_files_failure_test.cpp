// Changes to a table's files as a whole (moving them, emptying them) that fail part of the way
// leave nothing that passes for a sound table: a move puts back what it moved, and an emptying
// leaves the in-progress mark for the next open to find.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/table_repair.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/engine_error_codes.h"
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

class TableFilesFailure : public CursorTest {
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
TEST_F(TableFilesFailure, AFailedMoveLeavesEveryFileUnderItsName) {
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

// The same for a move into another folder (the index file, the memo file and the data file
// each moved in turn, under the journal beside the table): any step failing moves back what
// had moved, in either folder every file keeps its name, and the table reads as before. With
// no step failing, the table's files are all in the other folder.
TEST_F(TableFilesFailure, AFailedMoveIntoAnotherFolderLeavesEveryFileUnderItsName) {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    TDataCursor& c = CreateAndOpen(definition, "moved", true);
    InsertEntry(c, "kept@x.org", "news", 1);
    c.Close();
    const std::string other = dir.File("other");
    std::filesystem::create_directories(other);
    const std::vector<std::string> before = Names();
    ASSERT_EQ(before.size(), 3u);
    SetFileStepHook(FailOneStep);
    for (const bool to_backup : {false, true}) {
        const std::string target = other + (to_backup ? "/moved" : "/renamed");
        int step = 1;
        for (;; ++step) {
            SCOPED_TRACE(std::to_string(step) + (to_backup ? " to backup" : ""));
            steps = 0;
            fail_at_step = step;
            bool failed = false;
            try {
                directory->RenameTable("moved", target, to_backup, false);
            } catch (...) {
                failed = true;
            }
            if (steps < step)
                break;
            EXPECT_TRUE(failed);
            EXPECT_EQ(Names(), before);
            EXPECT_TRUE(std::filesystem::is_empty(other));
        }
        EXPECT_GE(step, 5);
        // Moved whole, then moved back for the next round.
        EXPECT_TRUE(Names().empty());
        std::vector<std::string> there;
        for (const auto& entry : std::filesystem::directory_iterator(other))
            there.push_back(entry.path().filename().string());
        std::sort(there.begin(), there.end());
        const std::vector<std::string> wanted =
            to_backup ? std::vector<std::string>{"moved.BBK", "moved.DBK", "moved.IBK"}
                      : std::vector<std::string>{"renamed.BLB", "renamed.DAT", "renamed.IDX"};
        EXPECT_EQ(there, wanted);
        fail_at_step = 0;
        for (const char* from : {".DAT", ".IDX", ".BLB"}) {
            const std::string moved_name =
                to_backup ? std::string(".") + from[1] + "BK" : std::string(from);
            std::filesystem::rename(target + moved_name, dir.File(std::string("moved") + from));
        }
    }
    fail_at_step = 0;
    TDataCursor& again = NewCursor("moved", true);
    again.Open();
    EXPECT_EQ(Items(again), std::vector<std::string>{"kept@x.org"});
    again.Close();
}

// A move into another file system that fills up part of the way (the data file does not fit
// after the index file, or nothing fits) is refused with a clear error; the files that had
// moved come back, nothing is left in the full folder, and the table reads as before. With
// room enough the table moves whole. Needs a file system of its own, which only a privileged
// run can mount.
TEST_F(TableFilesFailure, AMoveIntoAFullFileSystemLosesNothing) {
    const std::string small = dir.File("small");
    std::filesystem::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4k") != 0) {
        std::filesystem::remove(small);
        GTEST_SKIP() << "no file system of its own can be mounted here";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount(path.c_str()); }
    } unmount{small};
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "big", true);
    std::vector<std::string> items;
    for (int i = 0; i < 1500; ++i) {
        items.push_back("member" + std::to_string(1000 + i) + "@x.org");
        InsertEntry(c, items.back(), "news", i);
    }
    c.Close();
    const auto data = ReadBytes(dir.File("big.DAT"));
    const auto index = ReadBytes(dir.File("big.IDX"));
    ASSERT_GT(data.size(), index.size() / 2 + 8192);
    const std::uintmax_t pages = 4096;
    const std::uintmax_t index_room = (index.size() + 2 * pages) / pages * pages;
    int refused = 0;
    for (const std::uintmax_t room : {pages, index_room}) {
        for (const bool to_backup : {false, true}) {
            SCOPED_TRACE(std::to_string(room) + (to_backup ? " to backup" : ""));
            const std::string size = "size=" + std::to_string(room);
            ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT, size.c_str()), 0);
            const EngineErrorCode code =
                CodeOf([&] { directory->RenameTable("big", small + "/moved", to_backup, false); });
            EXPECT_NE(code, 0);
            refused += code != 0;
            EXPECT_TRUE(std::filesystem::is_empty(small));
            EXPECT_TRUE(ReadBytes(dir.File("big.DAT")) == data);
            EXPECT_TRUE(ReadBytes(dir.File("big.IDX")) == index);
            TDataCursor& again = NewCursor("big", true);
            again.Open();
            std::vector<std::string> found = Items(again);
            std::sort(found.begin(), found.end());
            EXPECT_EQ(found, items);
            again.Close();
        }
    }
    EXPECT_EQ(refused, 4);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
    directory->RenameTable("big", small + "/moved", false, false);
    EXPECT_FALSE(std::filesystem::exists(dir.File("big.DAT")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("big.IDX")));
    TDataCursor& moved = NewCursor(small + "/moved", true);
    moved.Open();
    std::vector<std::string> found = Items(moved);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, items);
    moved.Close();
}

// A move onto the name of another table is refused before anything moves: both
// tables keep their files and rows.
TEST_F(TableFilesFailure, AMoveOntoAnotherTablesNameIsRefused) {
    for (const char* name : {"moved", "other"}) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), name, true);
        InsertEntry(c, std::string(name) + "@x.org", "news", 1);
        c.Close();
    }
    const std::vector<std::string> before = Names();
    EXPECT_NE(CodeOf([&] { directory->RenameTable("moved", "other", false, false); }), 0);
    EXPECT_EQ(Names(), before);
    for (const char* name : {"moved", "other"}) {
        TDataCursor& c = NewCursor(name, true);
        c.Open();
        EXPECT_EQ(Items(c), std::vector<std::string>{std::string(name) + "@x.org"});
        c.Close();
    }
}

// Each write of an emptying of the table failing in turn, the table then closed (which flushes
// it): the next open either finds the in-progress mark and asks for a repair, or, when the
// failure came before anything was written, finds the table as it was. Never a table half
// emptied that opens as if sound.
TEST_F(TableFilesFailure, AFailedEmptyingLeavesTheMarkForTheNextOpen) {
    const std::vector<std::string> rows = {"a@x.org", "b@x.org", "c@x.org"};
    int writes = 0;
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), "counted", true);
        for (const std::string& row : rows)
            InsertEntry(c, row, "news", 1);
        c.FlushBuffers(false, false, false);
        steps = 0;
        fail_at_step = 0;
        SetFileStepHook(FailOneStep);
        c.EmptyTable();
        SetFileStepHook(nullptr);
        writes = steps;
        c.Close();
    }
    ASSERT_GT(writes, 2);
    int marked = 0;
    for (int step = 1; step <= writes; ++step) {
        SCOPED_TRACE(step);
        const std::string table = "e" + std::to_string(step);
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), table, true);
        for (const std::string& row : rows)
            InsertEntry(c, row, "news", 1);
        c.FlushBuffers(false, false, false);
        steps = 0;
        fail_at_step = step;
        SetFileStepHook(FailOneStep);
        EXPECT_ANY_THROW(c.EmptyTable());
        SetFileStepHook(nullptr);
        try {
            c.Close();
        } catch (...) {
        }
        TDataCursor& again = NewCursor(table, true);
        const EngineErrorCode code = CodeOf([&] { again.Open(); });
        if (code == kErrHeaderCorrupt) {
            ++marked;
            continue;
        }
        ASSERT_EQ(code, 0);
        std::vector<std::string> seen;
        EXPECT_EQ(CodeOf([&] { seen = Items(again); }), 0);
        EXPECT_EQ(seen, rows);
        again.Close();
    }
    EXPECT_GT(marked, 0);
}

// A file system that refuses a table's file names its reason after the engine's text, and the
// error keeps the system's number: a full one (rows inserted and flushed until a write finds
// no room), a read-only one (a table created there). Once there is room again every row
// flushed before the failure is there. Needs file systems of its own, which only root mounts.
TEST_F(TableFilesFailure, AFileSystemThatRefusesNamesItsReason) {
    for (const auto& [name, flags, code, os_error, reason] :
         {std::tuple{"full", 0ul, kErrWrite, ENOSPC, "No space left on device"},
          std::tuple{"read-only", MS_RDONLY + 0ul, kErrAccessDenied, EROFS,
                     "Read-only file system"}}) {
        SCOPED_TRACE(name);
        const std::string small = dir.File(name);
        std::filesystem::create_directories(small);
        if (::mount("tmpfs", small.c_str(), "tmpfs", flags, "size=1m") != 0)
            GTEST_SKIP() << "no file system of its own can be mounted here";
        struct Unmount {
            std::string path;
            ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
        } unmount{small};
        const std::string table = small + "/list";
        std::vector<std::string> flushed, inserted;
        try {
            TDataCursor& c = CreateAndOpen(ListTableDefinition(), table, true);
            for (int i = 0; i < 100000; ++i) {
                inserted.push_back("member" + std::to_string(i) + "@x.org");
                InsertEntry(c, inserted.back(), "news", i % 7);
                if (i % 20 == 19) {
                    c.FlushBuffers(false, true, true);
                    flushed = inserted;
                }
                if (i == 39)  // the rest of the room goes to a file of its own
                    std::ofstream(small + "/filler") << std::string(1 << 20, 'f');
            }
            FAIL() << "the file system never ran full";
        } catch (const EStrataEngineError& error) {
            EXPECT_EQ(error.ErrorCode(), code);
            EXPECT_EQ(error.OsError(), os_error);
            EXPECT_TRUE(std::string_view(error.what()).ends_with(reason)) << error.what();
            EXPECT_NE(std::string_view(error.what()).find(table), std::string_view::npos);
        }
        if (flags == MS_RDONLY)
            continue;
        ASSERT_FALSE(flushed.empty());
        std::filesystem::remove(small + "/filler");
        for (auto& c : cursors)
            (void)CodeOf([&] { c->Close(); });
        TDataCursor& again = NewCursor(table, true);
        if (CodeOf([&] { again.Open(); }) != 0) {
            RepairTable(again, false, 0);
            again.Open();
        }
        const std::vector<std::string> found = Items(again);
        for (const std::string& item : flushed)
            EXPECT_NE(std::ranges::find(found, item), found.end()) << item;
        for (const std::string& item : found)
            EXPECT_NE(std::ranges::find(inserted, item), inserted.end()) << item;
    }
}

}  // namespace
}  // namespace strata
