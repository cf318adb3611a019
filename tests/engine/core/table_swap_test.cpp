#include "engine/core/table_swap.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class TableSwap : public CursorTest {
  protected:
    std::string File(const std::string& name) const { return dir.File(name); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(File(name), std::ios::binary | std::ios::trunc) << text;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }
};

// A journal cut short while written names moves that never began: it is
// dropped with the new files it names, and the old files stay.
TEST_F(TableSwap, JournalCutShortIsDroppedWithItsNewFiles) {
    const std::vector<std::string> partial = {
        "",
        "table files swap\n",
        "table files swap\nt.DAT\n",
        "table files swap\nt.DAT\nnew.DAT\nt.DBK\n",
        "table files swap\nt.DAT\nnew.DAT\nt.DBK\nen",
    };
    for (const std::string& text : partial) {
        Write("t.DAT", "old");
        Write("new.DAT", "new");
        Write("t.SWP", text);
        FinishTableReplacement(File("t.SWP"));
        EXPECT_EQ(Read("t.DAT"), "old") << text;
        EXPECT_FALSE(Exists("t.SWP")) << text;
        EXPECT_FALSE(Exists("t.DBK")) << text;
        EXPECT_EQ(Exists("new.DAT"), text.find("new.DAT") == std::string::npos) << text;
    }
}

// A journal of moves names the table's own files as the ones to move: cut short while written
// (the system stopped before it reached the disk whole), it had moved nothing and drops nothing.
// Before, it was taken for a swap's and the table's own files were deleted as its new ones.
// Complete, it is finished, also into another folder, which it names by the whole path.
TEST_F(TableSwap, MoveJournalCutShortDropsNothingAndACompleteOneMovesIntoAnotherFolder) {
    std::filesystem::create_directories(File("sub"));
    const std::string there = std::filesystem::absolute(File("sub")).generic_string() + "/";
    const std::string complete =
        "table files move\n" + there + "r.IDX\nt.IDX\n\n" + there + "r.DAT\nt.DAT\n\nend\n";
    const std::vector<std::string> partial = {
        "",
        "table files move\n",
        "table files move\n" + there + "r.IDX\nt.IDX\n\n",
        complete.substr(0, complete.size() - 2),
    };
    for (const std::string& text : partial) {
        Write("t.DAT", "data");
        Write("t.IDX", "index");
        Write("t.SWP", text);
        FinishTableReplacement(File("t.SWP"));
        EXPECT_EQ(Read("t.DAT"), "data") << text;
        EXPECT_EQ(Read("t.IDX"), "index") << text;
        EXPECT_FALSE(Exists("t.SWP")) << text;
        EXPECT_TRUE(std::filesystem::is_empty(File("sub"))) << text;
    }
    Write("t.SWP", complete);
    FinishTableReplacement(File("t.SWP"));
    EXPECT_FALSE(Exists("t.DAT"));
    EXPECT_FALSE(Exists("t.IDX"));
    EXPECT_FALSE(Exists("t.SWP"));
    EXPECT_EQ(Read("sub/r.DAT"), "data");
    EXPECT_EQ(Read("sub/r.IDX"), "index");
}

// A complete journal is finished from wherever the moves stopped, and again
// finishing it changes nothing.
TEST_F(TableSwap, CompleteJournalIsFinishedFromAnyPoint) {
    const std::string journal =
        "table files swap\nt.DAT\nnew.DAT\nt.DBK\nt.IDX\nnew.IDX\n\nt.BLB\n\n\nend\n";
    struct Case {
        const char* what;
        std::function<void()> state;
    };
    const std::vector<Case> cases = {
        {"no move made", [] {}},
        {"old data file kept as backup",
         [&] { std::filesystem::rename(File("t.DAT"), File("t.DBK")); }},
        {"new data file in place",
         [&] {
             std::filesystem::rename(File("t.DAT"), File("t.DBK"));
             std::filesystem::rename(File("new.DAT"), File("t.DAT"));
         }},
        {"all but the blob file",
         [&] {
             std::filesystem::rename(File("t.DAT"), File("t.DBK"));
             std::filesystem::rename(File("new.DAT"), File("t.DAT"));
             std::filesystem::remove(File("t.IDX"));
             std::filesystem::rename(File("new.IDX"), File("t.IDX"));
         }},
    };
    for (const Case& c : cases) {
        for (const char* name : {"t.DBK", "t.BLB"})
            std::filesystem::remove(File(name));
        Write("t.DAT", "old data");
        Write("t.IDX", "old index");
        Write("t.BLB", "old blobs");
        Write("new.DAT", "new data");
        Write("new.IDX", "new index");
        c.state();
        Write("t.SWP", journal);
        for (int run = 0; run < 2; ++run) {
            FinishTableReplacement(File("t.SWP"));
            EXPECT_EQ(Read("t.DAT"), "new data") << c.what;
            EXPECT_EQ(Read("t.IDX"), "new index") << c.what;
            EXPECT_EQ(Read("t.DBK"), "old data") << c.what;
            EXPECT_FALSE(Exists("t.BLB")) << c.what;
            EXPECT_FALSE(Exists("new.DAT") || Exists("new.IDX") || Exists("t.SWP")) << c.what;
        }
    }
}

}  // namespace
}  // namespace strata
