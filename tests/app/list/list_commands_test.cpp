#include "app/list/list_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/list/cancel_flag.h"
#include "app/list/export_list.h"
#include "app/list/find_entry.h"
#include "app/list/import_file.h"
#include "app/list/option_lists.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

struct Row {
    std::string item;
    std::string category;
    std::string name = "";
    std::string comments = "";
    int bounces = 0;
};

class ListCommandsTest : public ListTest {
  protected:
    void SetUp() override { OpenNew(); }

    std::int32_t Add(const Row& row) {
        strata::TStrataTable& t = database->tblCV();
        t.Append();
        t.FieldByName("Item")->SetAsString(row.item);
        t.FieldByName("Category")->SetAsString(row.category);
        t.FieldByName("Name")->SetAsString(row.name);
        t.FieldByName("Comments")->SetAsString(row.comments);
        t.FieldByName("Bounces")->SetAsInteger(row.bounces);
        t.Post();
        return t.FieldByName("Index")->AsInteger();
    }
    // Every row as "item|category|bounces|name|comments", in address order.
    std::vector<std::string> Full() {
        std::vector<std::string> rows;
        strata::TStrataTable& t = database->tblCV();
        t.First();
        for (; !t.Eof(); t.Next())
            rows.push_back(
                t.FieldByName("Item")->AsString() + "|" + t.FieldByName("Category")->AsString() +
                "|" + t.FieldByName("Bounces")->AsString() + "|" +
                t.FieldByName("Name")->AsString() + "|" + t.FieldByName("Comments")->AsString());
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    std::vector<std::string> Sorted() {
        auto rows = Rows();
        std::sort(rows.begin(), rows.end());
        return rows;
    }
};

TEST_F(ListCommandsTest, BatchesWorkOnTheirSnapshotOfKeys) {
    std::int32_t a = Add({"a@x.com", "news", "", "", 3});
    std::int32_t b = Add({"b@x.com", "news", "", "", 4});
    std::int32_t c = Add({"c@x.com", "news", "", "", 5});
    BatchProcess(database->tblCV(), {a, c}, 1, {});
    EXPECT_EQ(Full(), (std::vector<std::string>{"a@x.com|news|0||", "b@x.com|news|4||",
                                                "c@x.com|news|0||"}));
    // A key that has gone is reported and the rest still done.
    DeleteEntries(database->tblCV(), {a});
    BatchProcess(database->tblCV(), {a, b}, 3, {});
    ASSERT_EQ(prompts->Asked().size(), 2u);
    EXPECT_EQ(prompts->Asked()[1].text, "Error Encountered Disabling Sending Rights");
    PositionDBAtIndex(database->tblCV(), b);
    EXPECT_FALSE(database->tblCV().FieldByName("SendRights")->AsBoolean());

    MoveToBlocked(database->tblCV(), {b}, settings, {});
    EXPECT_EQ(Sorted(), std::vector<std::string>{"c@x.com|news"});
    EXPECT_NE(
        std::find(settings.lbxneversubscribe.begin(), settings.lbxneversubscribe.end(), "b@x.com"),
        settings.lbxneversubscribe.end());
}

// An address moved to the blocked addresses, whatever its letter case, can no longer
// subscribe.
TEST_F(ListCommandsTest, AMovedAddressCannotSubscribeAgain) {
    std::int32_t ann = Add({"Ann@X.com", "news"});
    MoveToBlocked(database->tblCV(), {ann}, settings, {});
    EXPECT_TRUE(Sorted().empty());
    for (const char* request : {"ann@x.com", "ANN@x.COM"})
        EXPECT_EQ(entries->insertentry(true, request, "news", "", "", "", 0, false, false),
                  "Not Added: E-mail Address is blocked by rule!")
            << request;
    EXPECT_TRUE(Sorted().empty());
}

TEST_F(ListCommandsTest, ChangingCategoryNeverMakesADuplicate) {
    std::int32_t a1 = Add({"a@x.com", "news"});
    std::int32_t a2 = Add({"A@x.com", "events"});
    Add({"a@x.com", "Sales"});
    std::int32_t b = Add({"b@x.com", "news"});
    ChangeCategory(database->tblCV(), {a1, a2, b}, "sales", {});
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.com|Sales", "b@x.com|sales"}));
}

TEST_F(ListCommandsTest, MergeKeepsOneDefaultRowPerAddressWithItsValues) {
    Add({"a@x.com", "news", "Ann", "first", 1});
    Add({"a@x.com", "events", "Ann B", "second", 2});
    Add({"A@X.com", "sales", "", "third", 3});
    Add({"b@x.com", "news", "Bob", "", 0});
    Add({"b@x.com", "Default", "Bobby", "kept", 7});
    ASSERT_TRUE(MergeAllCategories(database->tblCV(), {}));
    EXPECT_EQ(Full(), (std::vector<std::string>{"a@x.com|Default|1|Ann|first",
                                                "b@x.com|Default|7|Bobby|kept"}));
}

// A shared list that another program holds locked cannot be merged; the list keeps its
// rows, its order and its filter.
TEST_F(ListCommandsTest, AMergeRefusedByALockElsewhereLeavesTheListAsItWas) {
    database->CloseTables();
    settings.DBExclusive = false;
    ASSERT_TRUE(database->OpenDatabase(program.Dir())) << AskedTexts();
    Add({"a@x.com", "news"});
    Add({"a@x.com", "events"});
    Settings other_settings;
    other_settings.DBExclusive = false;
    ListDatabase other(other_settings, program.Dir(), "Other");
    ASSERT_TRUE(other.OpenDatabase(program.Dir())) << AskedTexts();
    other.tblCV().LockTable();
    strata::TStrataTable& t = database->tblCV();
    t.SetFilter("Category = 'news*'");
    t.SetFiltered(true);
    EXPECT_ANY_THROW(MergeAllCategories(t, {}));
    EXPECT_EQ(t.IndexFieldNames(), "Item");
    EXPECT_TRUE(t.Filtered());
    EXPECT_EQ(t.RecordCount(), 1);
    other.tblCV().UnlockTable();
    t.SetFiltered(false);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.com|events", "a@x.com|news"}));
    ASSERT_TRUE(MergeAllCategories(t, {})) << "the lock is free again";
    EXPECT_EQ(Sorted(), std::vector<std::string>{"a@x.com|Default"});
}

TEST_F(ListCommandsTest, DeleteAllAndOptimizeReopenInTheConfiguredSharingMode) {
    Add({"a@x.com", "news"});
    for (bool exclusive : {false, true}) {
        ASSERT_TRUE(DeleteAllEntries(*database, exclusive));
        EXPECT_TRUE(database->tblCV().Active());
        EXPECT_EQ(database->tblCV().Exclusive(), exclusive);
        EXPECT_EQ(database->tblCV().RecordCount(), 0);
        Add({"b@x.com", "news"});
        ASSERT_TRUE(OptimiseDatabase(*database, exclusive));
        EXPECT_TRUE(database->tblStats().Active());
        EXPECT_EQ(Sorted(), std::vector<std::string>{"b@x.com|news"});
    }
    EXPECT_TRUE(ResetAllBounces(database->tblCV()));
}

TEST_F(ListCommandsTest, CategoryCheckRefusesCommasAnywhereAndAsksAboutBlanks) {
    struct Case {
        const char* category;
        ui::TModalResult answer;
        bool passes;
        std::size_t asked;
    };
    for (Case c : {Case{"", ui::mrNone, true, 0}, Case{"news", ui::mrNone, true, 0},
                   Case{",news", ui::mrNone, false, 1}, Case{"a,b", ui::mrNone, false, 1},
                   Case{"my list", ui::mrNo, false, 1}, Case{"my list", ui::mrYes, true, 1},
                   Case{" lead", ui::mrNone, true, 0}}) {
        std::size_t before = prompts->Asked().size();
        if (c.answer != ui::mrNone)
            prompts->Answer(c.answer);
        EXPECT_EQ(CheckCategory(c.category), c.passes) << c.category;
        EXPECT_EQ(prompts->Asked().size() - before, c.asked) << c.category;
    }
}

TEST_F(ListCommandsTest, BackUpReadsBackIntoTheSameRows) {
    Add({"a@x.com", "news", "Ann, Lee", "said \"hi\"", 2});
    Add({"b@x.com", "events", "Bob", "here", 0});
    ExportRequest request;
    request.file_name = program.File("backup.csv");
    request.for_backup = true;
    request.chosen.fill(true);
    std::vector<std::int64_t> seen;
    ASSERT_TRUE(exportlist(
        database->tblCV(), request,
        [&](std::int64_t position, std::string_view, std::int64_t) { seen.push_back(position); }));
    EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 0}));
    auto before = Full();

    ASSERT_TRUE(DeleteAllEntries(*database, true));
    MultiColumnImport import;
    import.text = ReadImportFile(request.file_name);
    import.caption = ImportCaption(request.file_name);
    EXPECT_EQ(ImportMultiColumnFile(*entries, import, {}), 2);
    EXPECT_EQ(Full(), before);
    EXPECT_EQ(prompts->Asked().back().text,
              "2 entries have been processed!\r\n\r\nAdded: 2, updated: 0, refused: 0.");
}

TEST_F(ListCommandsTest, AFailedOrCancelledBackUpLeavesThePreviousOne) {
    Add({"a@x.com", "news"});
    const std::string file = program.File("backup.csv");
    ExportRequest request{file, ",", true, {}};
    request.chosen.fill(true);
    ASSERT_TRUE(exportlist(database->tblCV(), request, {}));
    const std::string previous = ProgramDir::Read(file);
    Add({"b@x.com", "news"});
    bool cancelled = exportlist(database->tblCV(), request,
                                [](std::int64_t position, std::string_view, std::int64_t) {
                                    if (position == 2)
                                        SetCancelled(true);
                                });
    SetCancelled(false);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(ProgramDir::Read(file), previous);
    EXPECT_TRUE(database->tblCV().Active());

    // A "folder" that is a file refuses the back-up.
    std::ofstream(program.File("plain")) << "x";
    request.file_name = program.File("plain/backup.csv");
    EXPECT_FALSE(exportlist(database->tblCV(), request, {}));
    EXPECT_EQ(prompts->Asked().back().text,
              "Unable to write to the file, " + request.file_name + ": Not a directory");
}

TEST_F(ListCommandsTest, ExportWritesChosenFieldsAndNewBackUpNamesCount) {
    Add({"a@x.com", "news"});
    ExportRequest request{program.File("CVNExport.csv"), "", false, {}};
    request.chosen[kExportEmail] = true;
    ASSERT_TRUE(exportlist(database->tblCV(), request, {}));
    EXPECT_EQ(ProgramDir::Read(request.file_name), "a@x.com\r\n");

    std::vector<std::string> printed;
    request.file_name.clear();
    request.chosen[kExportCategory] = true;
    ASSERT_TRUE(exportlist(database->tblCV(), request, {}, &printed));
    EXPECT_EQ(printed, std::vector<std::string>{"a@x.com,news"});

    EXPECT_EQ(BackUpFileName("", program.Dir(), true), program.Dir() + "backup.csv");
    std::ofstream(program.File("backup.csv")) << "x";
    EXPECT_EQ(BackUpFileName("", program.Dir(), true), program.Dir() + "backup_2.csv");
    EXPECT_EQ(BackUpFileName("", program.Dir(), false), program.Dir() + "backup.csv");
    EXPECT_EQ(BackUpFileName("/no/such/dir/b.csv", program.Dir(), false),
              program.Dir() + "backup.csv");
}

// A printed list shows each value as it is; the file export quotes what would split.
TEST_F(ListCommandsTest, PrintedValuesAreNotQuotedAsInAFile) {
    Add({"a@x.com", "news", "Doe, John", "from \"list.txt\""});
    ExportRequest request{program.File("CVNExport.csv"), "", false, {}};
    request.chosen[kExportEmail] = true;
    request.chosen[kExportFullName] = true;
    request.chosen[kExportComments] = true;
    ASSERT_TRUE(exportlist(database->tblCV(), request, {}));
    EXPECT_EQ(ProgramDir::Read(request.file_name),
              "a@x.com,\"Doe, John\",\"from \"\"list.txt\"\"\"\r\n");
    std::vector<std::string> printed;
    request.file_name.clear();
    ASSERT_TRUE(exportlist(database->tblCV(), request, {}, &printed));
    EXPECT_EQ(printed, std::vector<std::string>{"a@x.com,Doe, John,from \"list.txt\""});
}

TEST_F(ListCommandsTest, SingleColumnImportAddsEachNonEmptyLineWithItsComment) {
    ImportRequest request;
    request.show_done = true;
    request.caption = ImportCaption("/home/u/list.txt");
    request.category = " news ";
    auto lines = ImportLines(DecodeImportText("a@x.com\r\n\r\n  b@x.com \nbad address\n"));
    // A lone carriage return ends a line too, and the last line needs no break.
    EXPECT_EQ(ImportLines("a\rb\r\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(Importfile(*entries, lines, request, {}), 3);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.com|news", "b@x.com|news"}));
    EXPECT_EQ(prompts->Asked().back().text,
              "Processing of 3 entries has been completed\r\n\r\nAdded: 2, updated: 0, refused: 1. "
              "Each refused line stands in the errors list with its reason.");
    PositionDBAtIndex(database->tblCV(), 364);
    EXPECT_TRUE(database->tblCV()
                    .FieldByName("Comments")
                    ->AsString()
                    .starts_with("Import of entries from file \"list.txt\" at  "));

    request.is_add = false;
    request.show_done = false;
    request.category = "";
    EXPECT_EQ(Importfile(*entries, {"a@x.com"}, request, {}), 1);
    EXPECT_EQ(Sorted(), std::vector<std::string>{"b@x.com|news"});
}

// A line the table cannot take (here a NUL in the address) is reported and the import
// goes on with the next one; the progress display is hidden at the end in any case.
TEST_F(ListCommandsTest, ALineTheTableRefusesDoesNotEndTheImport) {
    ImportRequest request;
    request.category = "news";
    request.caption = ImportCaption("list.txt");
    const std::vector<std::string> lines = {"a@x.com", std::string("b\0ad@x.com", 10), "c@x.com"};
    std::vector<std::string> captions;
    auto progress = [&](std::int64_t, std::string_view caption, std::int64_t) {
        captions.emplace_back(caption);
    };
    EXPECT_EQ(Importfile(*entries, lines, request, progress), 3);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.com|news", "c@x.com|news"}));
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions.back(), "") << "the progress is hidden";
    ASSERT_EQ(errors.Lines().size(), 1u);
    EXPECT_TRUE(errors.Lines()[0].starts_with("ADD b")) << errors.Lines()[0];
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[1].find("-> Error inserting into database: "), std::string::npos) << log[1];

    request.as_bounces = true;
    EXPECT_EQ(Importfile(*entries, {std::string("a\0@x.com", 8), "a@x.com"}, request, {}), 2);
    EXPECT_TRUE(Full()[0].starts_with("a@x.com|news|1|")) << Full()[0];
    EXPECT_TRUE(Log()[3].ends_with("-> E-mail address not found!")) << Log()[3];
}

// A Windows "Unicode text" file, UTF-16 behind its byte-order mark, imports as its text.
TEST_F(ListCommandsTest, Utf16FileImportsItsAddresses) {
    // "a@x.de,café" and "j@x.de" on two lines, as UTF-16LE.
    std::string little = "\xFF\xFE";
    for (char c : std::string("a@x.de,caf\xE9\r\nj@x.de")) {
        little += c;
        little += '\0';
    }
    ImportRequest request;
    request.category = "news";
    request.split_columns = true;
    EXPECT_EQ(Importfile(*entries, ImportLines(DecodeImportText(little)), request, {}), 2);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.de|caf\xC3\xA9", "j@x.de|news"}));
}

// A value with a control character is refused with its reason, a line without "@" leaves
// its trace, and the closing box counts what the lines did and names what was changed.
TEST_F(ListCommandsTest, ImportCountsOutcomesAndGivesEachRefusalItsReason) {
    Add({"old@x.com", "news"});
    MultiColumnImport import;
    import.text =
        "a@x.com,news,\"\xE6\x9D\x8E\xE5\xB0\x8F\xE9\xBE\x8D\"\r\n"
        "b@x.com,\"multi\nline\"\r\nc@x.com,news,\"Ann\rLee\"\r\n"
        "no address,news\r\nold@x.com,news\r\n";
    ImportTally tally;
    EXPECT_EQ(ImportMultiColumnFile(*entries, import, {}, &tally), 5);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.com|news", "old@x.com|news"}));
    EXPECT_EQ(
        std::vector<std::int64_t>({tally.added, tally.updated + tally.unchanged, tally.refused}),
        std::vector<std::int64_t>({1, 1, 3}));
    EXPECT_EQ(
        tally.changed_names,
        std::vector<std::string>{"\"\xE6\x9D\x8E\xE5\xB0\x8F\xE9\xBE\x8D\" was stored as \"???\""});
    std::map<std::string, std::string> reasons;
    for (const std::string& line : errors.Lines())
        reasons[line] = errors.Reason(line);
    EXPECT_EQ(reasons["ADD b@x.com multi line"],
              "Not Added: the category holds a line break or another control character!");
    EXPECT_EQ(reasons["ADD c@x.com news"],
              "Not Added: the full name holds a line break or another control character!");
    EXPECT_TRUE(
        reasons["ADD no address news"].starts_with("Not Added: Invalid E-mail Address (Error: "));
    EXPECT_EQ(reasons.size(), 3u);
    EXPECT_NE(prompts->Asked().back().text.find("was stored as"), std::string::npos);

    ImportRequest request;
    request.category = "news";
    request.show_done = true;
    EXPECT_EQ(Importfile(*entries,
                         {std::string("\x7F"
                                      "ELF\0\x01",
                                      6)},
                         request, {}),
              1);
    EXPECT_TRUE(prompts->Asked().back().text.ends_with("There was no usable line."));
}

TEST_F(ListCommandsTest, MappedImportTakesColumnsByTheMappingAndSkipsTheHeader) {
    MultiColumnImport import;
    import.text = "Name;Mail;Group\r\nAnn Lee;a@x.com;news\r\nBob;b@x.com\r\n\r\n";
    import.separator = ";";
    import.header_row = true;
    import.mapping = {"Full Name",  "E-mail",     "Category",   "First Name",
                      "Comments",   "Bounces",    kIgnoreField, kIgnoreField,
                      kIgnoreField, kIgnoreField, kIgnoreField};
    EXPECT_EQ(ImportMultiColumnFile(*entries, import, {}), 2);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"a@x.com|news", "b@x.com|Default"}));
    EXPECT_EQ(GetMappedField({"x", "y"}, import.mapping, "Category"), "");
}

// Lines whose closing quotes were lost must not run together into one entry: each is
// processed, and the entry routine refuses the ones the stray quote spoils.
TEST_F(ListCommandsTest, MappedImportKeepsLinesWithStrayQuotesApart) {
    MultiColumnImport import;
    import.text = "\"a@x.com,news\r\n\"b@x.com,sport\r\nc@x.com,news\r\n";
    EXPECT_EQ(ImportMultiColumnFile(*entries, import, {}), 3);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"c@x.com|news"}));
    EXPECT_TRUE(prompts->Asked().back().text.starts_with(
        "3 entries have been processed!\r\n\r\nAdded: 1, updated: 0, refused: 2."));
}

TEST_F(ListCommandsTest, FindLocatesByTheCheckedConditions) {
    Add({"alice@x.com", "news", "Alice"});
    Add({"bob@x.com", "newsletter", "Bob"});
    strata::TStrataTable& t = database->tblCV();
    struct Case {
        std::array<FindCondition, 3> conditions;
        bool case_insensitive;
        bool partial;
        FindOutcome outcome;
        const char* found;
    };
    for (const Case& c : {
             Case{{{{true, "E-mail", ""}, {false, "Category", "news"}, {}}},
                  true,
                  true,
                  FindOutcome::kNothingToFind,
                  ""},
             Case{
                 {{{true, "E-mail", "BOB"}, {}, {}}}, true, true, FindOutcome::kFound, "bob@x.com"},
             Case{{{{true, "E-mail", "BOB"}, {}, {}}}, true, false, FindOutcome::kNotFound, ""},
             Case{{{{true, "E-mail", "x.com"}, {}, {}}}, true, true, FindOutcome::kNotFound, ""},
             // Partial matching applies to the last value, as the engine's locate does.
             Case{{{{true, "Category", "newsletter"}, {true, "Name", "Bo"}, {}}},
                  false,
                  true,
                  FindOutcome::kFound,
                  "bob@x.com"},
             Case{{{{true, "Category", "news"}, {true, "Name", "Bob"}, {}}},
                  false,
                  true,
                  FindOutcome::kNotFound,
                  ""},
             Case{{{{true, "Category", "newsletter"}, {false, "Name", "Alice"}, {}}},
                  false,
                  false,
                  FindOutcome::kFound,
                  "bob@x.com"},
         }) {
        EXPECT_EQ(FindEntry(t, c.conditions, c.case_insensitive, c.partial), c.outcome)
            << c.conditions[0].value << " " << c.conditions[1].value;
        if (c.outcome == FindOutcome::kFound) {
            EXPECT_EQ(t.FieldByName("Item")->AsString(), c.found);
        }
    }
}

TEST_F(ListCommandsTest, EditedOptionListsAreCleanedByTheirRules) {
    EXPECT_EQ(CleanOptionList({"join", "ADD", "Join", "", "add"}, {false, false, false, true}),
              (std::vector<std::string>{"ADD", "JOIN"}));
    prompts->Answer(ui::mrOk);
    prompts->Answer(ui::mrCancel);
    EXPECT_EQ(CleanOptionList({"a,b", "c,d", "News"}, {true, true, false, false}),
              (std::vector<std::string>{"a_b", "news"}));
    prompts->Answer(ui::mrOk);
    EXPECT_EQ(CleanOptionList({"two words"}, {false, false, true, false}),
              std::vector<std::string>{"two_words"});
}

}  // namespace
}  // namespace app
