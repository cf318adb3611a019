#include "app/list/errors_list.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/list/word_split.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

TEST(ErrorsList, LineFormat) {
    ErrorsList errors;
    errors.AddToErrorsList(kErrorRemove, "a@b.com", "news");
    errors.AddToErrorsList(kErrorModify, "old@x.com", "new@x.com");
    errors.AddToErrorsList(kErrorAdd, "c@x.com", "");
    errors.AddToErrorsList(kErrorAdd, "", "news");
    errors.AddToErrorsList(7, "d@x.com", "");
    EXPECT_EQ(errors.Lines(),
              (std::vector<std::string>{"REMOVE a@b.com news", "MODIFY old@x.com new@x.com",
                                        "ADD c@x.com", "d@x.com"}));
}

// Addresses and categories come from mails: whatever they hold, each request stays one
// line of the list and of its file, so no mail can add lines of its own.
TEST(ErrorsList, TextsFromMailsStayOnTheirOwnLine) {
    testing_support::ProgramDir program;
    const std::string file = program.File("errors.txt");
    ErrorsList errors;
    errors.AddToErrorsList(kErrorAdd, "a@x.com\r\nREMOVE boss@x.com", "news");
    errors.AddToErrorsList(kErrorRemove, "b@x.com", "ca\xE2\x80\xA8REMOVE boss@x.com");
    errors.AddToErrorsList(kErrorModify, "c@x.com", "d@x.com\x1b[8m\xC2\x85");
    errors.AppendToFile(file, 0);
    const std::vector<std::string> lines = {"ADD a@x.com  REMOVE boss@x.com news",
                                            "REMOVE b@x.com ca REMOVE boss@x.com",
                                            "MODIFY c@x.com d@x.com [8m "};
    EXPECT_EQ(errors.Lines(), lines);
    ErrorsList reread;
    reread.LoadFromFile(file);
    EXPECT_EQ(reread.Lines(), lines);
}

TEST(ErrorsList, SortUniqueAndFileRoundTrip) {
    testing_support::ProgramDir program;
    ErrorsList errors;
    errors.SetLines({"REMOVE b@x.com", "ADD a@x.com", "REMOVE b@x.com"});
    errors.SortUnique();
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"ADD a@x.com", "REMOVE b@x.com"}));
    errors.SaveToFile(program.File("errors.txt"));
    ErrorsList reread;
    reread.LoadFromFile(program.File("errors.txt"));
    EXPECT_EQ(reread.Lines(), errors.Lines());
    ErrorsList missing;
    missing.LoadFromFile(program.File("none.txt"));
    EXPECT_TRUE(missing.Lines().empty());
}

// Lines added during a check go to the file at once: the whole list is written
// only when the program closes.
TEST(ErrorsList, AddedLinesAreAppendedToTheFileAsTheyCome) {
    testing_support::ProgramDir program;
    const std::string file = program.File("errors.txt");
    ErrorsList errors;
    errors.AddToErrorsList(kErrorAdd, "a@x.com", "");
    errors.AppendToFile(file, 0);
    errors.AddToErrorsList(kErrorRemove, "b@x.com", "news");
    errors.AddToErrorsList(kErrorModify, "c@x.com", "d@x.com");
    errors.AppendToFile(file, 1);
    errors.AppendToFile(file, 3);  // nothing new
    EXPECT_EQ(testing_support::ProgramDir::Read(file),
              "ADD a@x.com\r\nREMOVE b@x.com news\r\nMODIFY c@x.com d@x.com\r\n");

    // A file written by hand without a final line break keeps its last line whole.
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "ADD hand@x.com";
    }
    errors.AppendToFile(file, 2);
    ErrorsList reread;
    reread.LoadFromFile(file);
    EXPECT_EQ(reread.Lines(),
              (std::vector<std::string>{"ADD hand@x.com", "MODIFY c@x.com d@x.com"}));
}

TEST(ErrorsList, DeletingSelectedLinesRemovesExactlyThose) {
    struct Case {
        std::vector<std::int64_t> selected;
        std::vector<std::string> left;
        std::int64_t select;
    };
    const std::vector<Case> cases = {
        {{1, 3}, {"0", "2", "4"}, 2},        {{3, 1, 1}, {"0", "2", "4"}, 2},
        {{4}, {"0", "1", "2", "3"}, 3},      {{0, 1, 2, 3, 4}, {}, -1},
        {{9}, {"0", "1", "2", "3", "4"}, 0},
    };
    for (const Case& c : cases) {
        ErrorsList errors;
        errors.SetLines({"0", "1", "2", "3", "4"});
        EXPECT_EQ(errors.DeleteLines(c.selected), c.select);
        EXPECT_EQ(errors.Lines(), c.left);
    }
    ErrorsList one;
    one.SetLines({"a", "b"});
    EXPECT_EQ(one.DeleteCurrentLine(1), 0);
    EXPECT_EQ(one.DeleteCurrentLine(0), -1);
}

TEST(ErrorsList, ReprocessLinesAreParsedIntoRequests) {
    const ReprocessRequest remove = ParseErrorLine("REMOVE a@b.com Big News");
    EXPECT_FALSE(remove.modify);
    EXPECT_FALSE(remove.add);
    EXPECT_EQ(remove.email, "a@b.com");
    EXPECT_EQ(remove.category, "Big News");
    const ReprocessRequest add = ParseErrorLine("add c@d.com");
    EXPECT_TRUE(add.add);
    EXPECT_EQ(add.category, "");
    const ReprocessRequest modify = ParseErrorLine("MODIFY old@x.com new@x.com");
    EXPECT_TRUE(modify.modify);
    EXPECT_EQ(modify.email, "old@x.com");
    EXPECT_EQ(modify.new_address, "new@x.com");
    EXPECT_FALSE(ParseErrorLine("").add);
}

TEST(WordSplit, CommandLinesSplitAsRequestsExpect) {
    struct Case {
        std::string text;
        bool drop, strip, join;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"subscribe", true, true, true, {"subscribe"}},
        {"subscribe Big News", true, true, true, {"subscribe", "Big News"}},
        {"ADD a@b.com Big News", true, true, true, {"ADD", "a@b.com", "Big News"}},
        {"remove me to \"x@y.com\"", true, true, true, {"remove", "x@y.com"}},
        {"remove me", false, false, false, {"remove", "me"}},
        {" ", true, true, true, {}},
        {"", true, true, true, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OLCStrToStringlist(c.text, " ", c.drop, c.strip, c.join), c.want) << c.text;
    EXPECT_EQ(OLCStrToStringlist("a@x.com; b@y.com;", ";", false, false, false),
              (std::vector<std::string>{"a@x.com", "b@y.com"}));
}

}  // namespace
}  // namespace app
