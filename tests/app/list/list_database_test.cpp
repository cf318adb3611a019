#include "app/list/list_database.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "app/routines/text_routines.h"
#include "platform/db/date_time.h"
#include "platform/os/file_system.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

class ListDatabaseTest : public ListTest {};

TEST_F(ListDatabaseTest, NewDatabaseNumbersFirstEntry364AndHasTheStatisticsTable) {
    OpenNew();
    EXPECT_TRUE(databaseexistsindirectory(program.Dir()));
    EXPECT_TRUE(StatsTableExistsInDirectory(program.Dir()));
    strata::TStrataTable& t = database->tblCV();
    t.Append();
    t.FieldByName("Item")->SetAsString("a@x.com");
    t.Post();
    EXPECT_EQ(t.FieldByName("Index")->AsInteger(), 364);
    EXPECT_EQ(t.FieldByName("Bounces")->AsInteger(), 0);
    EXPECT_EQ(settings.DBPath, program.Dir());
    ASSERT_EQ(database->RecentPaths().size(), 1u);
}

// The tables a new database gets: every field with its type, size and number, and every
// index with its fields, options and key compression.
TEST_F(ListDatabaseTest, NewTablesHaveTheirFieldsAndIndexes) {
    OpenNew();
    database->CloseTables();
    struct FieldCase {
        const char* name;
        db::TFieldType type;
        std::uint16_t size;
        std::int32_t number;
        const char* default_value;
        bool required;
    };
    struct IndexCase {
        const char* name;
        const char* fields;
        db::TIndexOptions options;
        std::uint8_t compression;
    };
    auto check = [](strata::TStrataTable& table, const std::vector<FieldCase>& fields,
                    const std::vector<IndexCase>& indexes) {
        strata::TRestructureFieldDefs& f = table.RestructureFieldDefs();
        f.SetLoaded(false);
        f.Update();
        ASSERT_EQ(f.Count(), fields.size()) << table.TableName();
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const strata::TRestructureFieldDef& d = f.Items(i);
            EXPECT_EQ(d.Name, fields[i].name);
            EXPECT_EQ(d.DataType, fields[i].type) << d.Name;
            EXPECT_EQ(d.Size, fields[i].size) << d.Name;
            EXPECT_EQ(d.FieldNo, fields[i].number) << d.Name;
            EXPECT_EQ(d.DefaultValue, fields[i].default_value) << d.Name;
            EXPECT_EQ(d.Required, fields[i].required) << d.Name;
        }
        strata::TRestructureIndexDefs& x = table.RestructureIndexDefs();
        x.SetLoaded(false);
        x.Update();
        ASSERT_EQ(x.Count(), indexes.size()) << table.TableName();
        for (std::size_t i = 0; i < indexes.size(); ++i) {
            const strata::TRestructureIndexDef& d = x.Items(i);
            // The engine keeps index names in capitals.
            EXPECT_EQ(UpperCase(d.Name), UpperCase(indexes[i].name));
            EXPECT_EQ(d.Fields, indexes[i].fields) << d.Name;
            EXPECT_EQ(d.Options, indexes[i].options) << d.Name;
            EXPECT_EQ(d.Compression, indexes[i].compression) << d.Name;
        }
    };
    check(database->tblCV(),
          {{"Index", db::ftAutoInc, 0, 1, "", false},
           {"Item", db::ftString, 80, 2, "", false},
           {"Category", db::ftString, 80, 3, "", false},
           {"Bounces", db::ftInteger, 0, 4, "0", false},
           {"Comments", db::ftString, 80, 5, "", false},
           {"Name", db::ftString, 50, 6, "", false},
           {"Salutation", db::ftString, 25, 7, "", false},
           {"SendRights", db::ftBoolean, 0, 8, "", false}},
          {{"", "Index;Item", db::ixPrimary | db::ixUnique, 3},
           {"ByCategory", "Category", db::ixCaseInsensitive, 0},
           {"ByBounce", "Bounces", db::ixCaseInsensitive, 0},
           {"ByItem", "Item", db::ixCaseInsensitive, 0}});
    check(database->tblStats(),
          {{"Date", db::ftDate, 0, 1, "", true},
           {"Subscribes", db::ftInteger, 0, 2, "", false},
           {"Unsubscribes", db::ftInteger, 0, 3, "", false},
           {"Bounces", db::ftInteger, 0, 4, "", false},
           {"Notes", db::ftString, 200, 5, "", false}},
          {{"", "Date", db::ixPrimary | db::ixUnique | db::ixCaseInsensitive, 3}});
}

TEST_F(ListDatabaseTest, PercentEmptyAndBackslashOpenTheProgramDirectory) {
    OpenNew();
    for (const std::string path : {"%", "", "\\", " % "}) {
        database->CloseTables();
        EXPECT_TRUE(database->OpenDatabase(path)) << path;
        EXPECT_EQ(database->Directory(), program.Dir()) << path;
        EXPECT_EQ(settings.DBPath, path) << "kept as given";
    }
    EXPECT_EQ(prompts->Unscripted(), 0);
}

TEST_F(ListDatabaseTest, DeclinedCreationLeavesNothingOpen) {
    settings.DBPath = "/previous/";
    prompts->Answer(ui::mrNo);
    EXPECT_FALSE(database->OpenDatabase(program.Dir()));
    EXPECT_FALSE(database->DatabaseOpen());
    EXPECT_EQ(settings.DBPath, "/previous/");
    EXPECT_FALSE(databaseexistsindirectory(program.Dir()));
    ASSERT_EQ(prompts->Asked().size(), 1u);
    EXPECT_EQ(prompts->Asked()[0].text, "A database cannot be located in the directory, " +
                                            program.Dir() +
                                            ". Do you want to create a database here?");
}

TEST_F(ListDatabaseTest, MissingStatisticsTableIsCreatedWithoutAQuestion) {
    OpenNew();
    database->CloseTables();
    const std::string copy = program.File("copy") + "/";
    fs::create_directory(copy);
    for (const auto& entry : fs::directory_iterator(program.Dir())) {
        if (entry.path().filename().string().starts_with("mailist."))
            fs::copy_file(entry.path(), copy + entry.path().filename().string());
    }
    ASSERT_TRUE(databaseexistsindirectory(copy));
    ASSERT_FALSE(StatsTableExistsInDirectory(copy));
    EXPECT_TRUE(database->OpenDatabase(copy));
    EXPECT_EQ(prompts->Unscripted(), 0) << AskedTexts();
    EXPECT_TRUE(StatsTableExistsInDirectory(copy));
}

TEST_F(ListDatabaseTest, CreationFailureIsReportedAndLeavesNoDatabaseOpen) {
    OpenNew();
    std::ofstream(program.File("plainfile")) << "x";
    // A folder below a file can neither exist nor be made.
    const std::string dir = program.File("plainfile") + "/lists/";
    prompts->Answer(ui::mrYes);
    EXPECT_FALSE(database->OpenDatabase(dir));
    EXPECT_FALSE(database->DatabaseOpen());
    EXPECT_FALSE(database->tblCV().Active());
    ASSERT_EQ(prompts->Asked().size(), 3u);
    EXPECT_EQ(prompts->Asked().back().type, ui::mtWarning);
    EXPECT_EQ(prompts->Asked().back().text.rfind("The database could not be created", 0), 0u);
}

// A process id that no process has any longer.
int EndedProcessId() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// A creation killed half-way leaves its folder; the next creation or open in
// that folder removes it, but never one a running creation is filling, nor
// anything it cannot tell apart.
TEST_F(ListDatabaseTest, CreationFoldersOfKilledProgramsAreRemoved) {
    const std::string killed = "CVCreate" + std::to_string(EndedProcessId()) + "-7.tmp";
    const std::string running = "CVCreate" + std::to_string(::getpid()) + "-8.tmp";
    for (const std::string& name : {killed, running, std::string("CVCreate12345.tmp")}) {
        fs::create_directory(program.File(name));
        std::ofstream(program.File(name) + "/mailist.DAT") << "half made";
    }
    OpenNew();
    EXPECT_FALSE(fs::exists(program.File(killed)));
    EXPECT_TRUE(fs::exists(program.File(running) + "/mailist.DAT"));
    EXPECT_TRUE(fs::exists(program.File("CVCreate12345.tmp")));

    database->CloseTables();
    const std::string later = "CVCreate" + std::to_string(EndedProcessId()) + "-9.tmp";
    fs::create_directory(program.File(later));
    EXPECT_TRUE(database->OpenDatabase(program.Dir()));
    EXPECT_FALSE(fs::exists(program.File(later)));
    EXPECT_TRUE(fs::exists(program.File(running)));
}

TEST_F(ListDatabaseTest, RecentListKeepsTenNewestFirst) {
    for (int i = 1; i <= 11; ++i)
        database->AddPathToRecent("/lists/" + std::to_string(i) + "/");
    ASSERT_EQ(database->RecentPaths().size(), 10u);
    EXPECT_EQ(database->RecentPaths().front(), "/lists/11/");
    EXPECT_EQ(database->RecentPaths().back(), "/lists/2/");
    database->AddPathToRecent("/LISTS/5/");
    EXPECT_EQ(database->RecentPaths().size(), 10u);
    EXPECT_EQ(database->RecentPaths().front(), "/LISTS/5/");
    database->SaveRecentList();
    ListDatabase reread(settings, program.Dir(), "Reread");
    reread.LoadRecentList();
    EXPECT_EQ(reread.RecentPaths(), database->RecentPaths());
    EXPECT_TRUE(reread.ReopenEnabled());
    ListDatabase single(settings, program.Dir(), "Single");
    single.AddPathToRecent("/only/");
    EXPECT_FALSE(single.ReopenEnabled());
}

// A recent list that cannot be read never keeps the program from starting: it is
// reported, the database still opens, and the file is not written over.
TEST_F(ListDatabaseTest, AnUnreadableRecentListIsReportedAndLeftAsItIs) {
    OpenNew();
    database->CloseTables();
    std::filesystem::create_symlink("/proc/self/mem", program.File("recent.txt"));
    SaveEntries(settings, program.Dir());
    const std::size_t asked = prompts->Asked().size();
    Settings next_settings;
    ListDatabase next(next_settings, program.Dir(), "Next");
    ASSERT_NO_THROW(EXPECT_TRUE(next.dmCVCreate()));
    ASSERT_EQ(prompts->Asked().size(), asked + 1) << AskedTexts();
    EXPECT_NE(prompts->Asked().back().text.find("recent.txt"), std::string::npos);
    EXPECT_EQ(next.RecentPaths(), std::vector<std::string>{program.Dir()}) << "this open";
    next.SaveRecentList();
    EXPECT_TRUE(std::filesystem::is_symlink(program.File("recent.txt")));
}

TEST_F(ListDatabaseTest, DailyStatisticsCountEachKindInTheDayRow) {
    OpenNew();
    const db::TDateTime morning = db::EncodeDate(2026, 3, 4);
    const db::TDateTime evening(db::EncodeDate(2026, 3, 4).Value + 0.9);
    database->AddStatRecord(kStatSubscribe, morning);
    database->AddStatRecord(kStatSubscribe, evening);
    database->AddStatRecord(kStatUnsubscribe, evening);
    database->AddStatRecord(kStatBounce, db::EncodeDate(2026, 3, 5));
    database->AddStatRecord(0, db::EncodeDate(2026, 3, 6));
    strata::TStrataTable& s = database->tblStats();
    EXPECT_EQ(s.RecordCount(), 3);
    ASSERT_TRUE(s.Locate("Date", db::Variant(db::EncodeDate(2026, 3, 4)), {}));
    EXPECT_EQ(s.FieldByName("Subscribes")->AsInteger(), 2);
    EXPECT_EQ(s.FieldByName("Unsubscribes")->AsInteger(), 1);
    ASSERT_TRUE(s.Locate("Date", db::Variant(db::EncodeDate(2026, 3, 5)), {}));
    EXPECT_EQ(s.FieldByName("Bounces")->AsInteger(), 1);
    ASSERT_TRUE(s.Locate("Date", db::Variant(db::EncodeDate(2026, 3, 6)), {}));
    EXPECT_EQ(s.FieldByName("Subscribes")->AsInteger(), 0);
}

TEST_F(ListDatabaseTest, RecipientsTableRefusesAnAddressTwiceInAnyCase) {
    database->CreateTemporaryTables();
    strata::TStrataTable& t = database->tblTemp();
    t.Append();
    t.FieldByName("Email")->SetAsString("a@x.com");
    t.FieldByName("Salutation")->SetAsString(std::string(25, 's'));
    t.Post();
    t.Append();
    t.FieldByName("Email")->SetAsString("A@X.COM");
    EXPECT_ANY_THROW(t.Post());
    t.Cancel();
    database->DestroyTemporaryTables();
}

// A folder whose table files are read-only opens for reading only, and the folder opened
// after it takes changes again as before.
TEST_F(ListDatabaseTest, AReadOnlyFolderLeavesTheNextFolderOpenForChanges) {
    OpenNew();
    const fs::path read_only = program.File("copy");
    fs::create_directory(read_only);
    database->CloseTables();
    for (const char* name : {"mailist.DAT", "mailist.IDX", "mailstat.DAT", "mailstat.IDX"}) {
        fs::copy_file(program.File(name), read_only / name);
        ::chmod((read_only / name).c_str(), 0444);
    }

    ASSERT_TRUE(database->OpenDatabase(read_only.string()));
    EXPECT_FALSE(database->tblCV().CanModify());
    EXPECT_FALSE(database->tblStats().CanModify());

    ASSERT_TRUE(database->OpenDatabase(program.Dir()));
    EXPECT_TRUE(database->tblCV().CanModify());
    EXPECT_TRUE(database->tblStats().CanModify());
    strata::TStrataTable& t = database->tblCV();
    t.Append();
    t.FieldByName("Item")->SetAsString("a@x.com");
    t.Post();
    database->AddStatRecord(kStatSubscribe, db::EncodeDate(2026, 12, 9));
    EXPECT_EQ(Rows(), std::vector<std::string>{"a@x.com|"});
}

TEST_F(ListDatabaseTest, TableHeldElsewhereGivesTheSharingBox) {
    OpenNew();
    Settings other_settings;
    ListDatabase other(other_settings, program.Dir(), "Other");
    EXPECT_FALSE(other.OpenDatabase(program.Dir()));
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().text.rfind("Cannot open your mailing list database, another "
                                                 "user has the table open already.",
                                                 0),
              0u);
    EXPECT_FALSE(other.DatabaseOpen());
}

}  // namespace
}  // namespace app

namespace app {
namespace {

using namespace testing_support;

class RecoveryTest : public ListTest {
  protected:
    // A list table of the first structure, without Index, Name, Salutation
    // and SendRights, with two entries.
    void MakeFirstStructureTable() {
        auto session = db::MakeComponent<strata::TStrataSession>(nullptr);
        session->SetSessionName("Old");
        auto db = db::MakeComponent<strata::TStrataDatabase>(nullptr);
        db->SetSessionName("Old");
        db->SetDatabaseName("OldDB");
        db->SetDirectory(program.Dir());
        db->Open();
        auto table = db::MakeComponent<strata::TStrataTable>(nullptr);
        table->SetSessionName("Old");
        table->SetDatabaseName("OldDB");
        table->SetTableName("mailist.dat");
        table->SetExclusive(true);
        table->FieldDefs()->Add("Item", db::ftString, 80);
        table->FieldDefs()->Add("Category", db::ftString, 80);
        table->FieldDefs()->Add("Bounces", db::ftInteger);
        table->FieldDefs()->Add("Comments", db::ftString, 80);
        table->IndexDefs().Add("ByItem", "Item", db::ixCaseInsensitive);
        table->CreateTable();
        table->Open();
        for (const char* item : {"a@x.org", "b@x.org"}) {
            table->Append();
            table->FieldByName("Item")->SetAsString(item);
            table->FieldByName("Category")->SetAsString("news");
            table->Post();
        }
        table->Close();
        table.reset();
        db->Close();
    }
};

TEST_F(RecoveryTest, RetryUpgradesAFirstStructureTable) {
    MakeFirstStructureTable();
    for (ui::TModalResult answer :
         {ui::mrRetry, ui::mrYes, ui::mrOk, ui::mrOk, ui::mrYes, ui::mrOk, ui::mrOk})
        prompts->Answer(answer);
    ASSERT_TRUE(database->OpenDatabase(program.Dir())) << AskedTexts();
    std::vector<std::string> texts;
    for (const ui::PromptRequest& r : prompts->Asked())
        texts.push_back(r.text);
    ASSERT_EQ(texts.size(), 7u) << AskedTexts();
    EXPECT_EQ(texts[0].rfind("An error was encountered trying to load your DB file.", 0), 0u);
    EXPECT_EQ(texts[1].rfind("You are about to upgrade your table to 1.1 Format.", 0), 0u);
    EXPECT_EQ(texts[3], "Table Upgraded to v1.1!");
    EXPECT_EQ(texts[4].rfind("You are about to upgrade your table to 2.0 Format.\r\n\r\n  This", 0),
              0u);
    EXPECT_EQ(texts[6], "Table Upgraded!");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"a@x.org|news", "b@x.org|news"}));
    // The entries kept get a number and the sending right the new field's default gives.
    ASSERT_TRUE(entries->LocateEmailAddress("a@x.org"));
    EXPECT_TRUE(database->tblCV().FieldByName("SendRights")->AsBoolean());
    EXPECT_GT(database->tblCV().FieldByName("Index")->AsInteger(), 0);
    // The upgraded table takes new entries with every field.
    EXPECT_EQ(entries->insertentry(true, "Carl <c@x.org>", "news", "", "", "", 0, false, false),
              "Entered Successfully");
    ASSERT_TRUE(entries->LocateEmailAddress("c@x.org"));
    EXPECT_EQ(database->tblCV().FieldByName("Salutation")->AsString(), "Carl");
}

TEST_F(RecoveryTest, DeclinedUpgradeAndNoLeaveNothingOpen) {
    MakeFirstStructureTable();
    prompts->Answer(ui::mrNo);
    EXPECT_FALSE(database->OpenDatabase(program.Dir()));
    EXPECT_FALSE(database->DatabaseOpen());
    EXPECT_FALSE(database->tblCV().Active());
}

TEST_F(RecoveryTest, RepairIsRetriedFromTheTopUntilDeclined) {
    MakeFirstStructureTable();
    for (ui::TModalResult answer : {ui::mrYes, ui::mrOk, ui::mrYes, ui::mrOk, ui::mrNo})
        prompts->Answer(answer);
    EXPECT_FALSE(database->OpenDatabase(program.Dir()));
    std::vector<std::string> texts;
    for (const ui::PromptRequest& r : prompts->Asked())
        texts.push_back(r.text.substr(0, 21));
    EXPECT_EQ(texts, (std::vector<std::string>{"An error was encounte", "Repair of your databa",
                                               "An error was encounte", "Repair of your databa",
                                               "An error was encounte"}));
    EXPECT_EQ(prompts->Unscripted(), 0);
    EXPECT_FALSE(database->tblCV().Active());
}

// The list's index file lost (a crash, a copy that left it behind): the engine brings it
// back with the primary index alone, and the list opens on "Item". The list's own indexes
// are made again at the open without a question, every entry stays and is found by its
// address and its category, no copy of the old index file is left, and the next start opens
// as any other. Exclusive and shared databases alike; also with both index files gone.
TEST_F(RecoveryTest, ALostIndexFileIsMadeAgainWithTheListsIndexesAndNoEntryIsLost) {
    for (const bool exclusive : {true, false}) {
        SCOPED_TRACE(exclusive ? "exclusive" : "shared");
        settings.DBExclusive = exclusive;
        const std::string dir = program.File(exclusive ? "exclusive" : "shared") + "/";
        fs::create_directory(dir);
        {
            ListDatabase first(settings, program.Dir(), "First");
            prompts->Answer(ui::mrYes);
            ASSERT_TRUE(first.OpenDatabase(dir)) << AskedTexts();
            strata::TStrataTable& t = first.tblCV();
            for (int i = 0; i < 40; ++i) {
                t.Append();
                t.FieldByName("Item")->SetAsString((i % 3 == 0 ? "Member" : "member") +
                                                   std::to_string(i) + "@x.org");
                t.FieldByName("Category")->SetAsString(i % 2 == 0 ? "news" : "Events");
                t.FieldByName("Bounces")->SetAsInteger(i % 4);
                t.Post();
            }
            first.AddStatRecord(kStatSubscribe, db::EncodeDate(2026, 12, 9));
            first.AddStatRecord(kStatBounce, db::EncodeDate(2026, 12, 10));
            first.CloseTables();
        }
        fs::remove(dir + "mailist.IDX");
        if (!exclusive)
            fs::remove(dir + "mailstat.IDX");
        const std::size_t asked = prompts->Asked().size();

        for (int start = 0; start < 2; ++start) {
            ListDatabase again(settings, program.Dir(), "Again" + std::to_string(start));
            ASSERT_TRUE(again.OpenDatabase(dir)) << AskedTexts();
            EXPECT_EQ(prompts->Asked().size(), asked) << AskedTexts();
            strata::TStrataTable& t = again.tblCV();
            EXPECT_EQ(t.RecordCount(), 40);
            std::vector<std::string> items;
            for (t.First(); !t.Eof(); t.Next())
                items.push_back(LowerCase(t.FieldByName("Item")->AsString()));
            std::sort(items.begin(), items.end());
            EXPECT_EQ(std::unique(items.begin(), items.end()), items.end());
            EXPECT_EQ(items.size(), 40u);
            EXPECT_TRUE(t.Locate("Item", db::Variant(std::string("MEMBER7@X.ORG")),
                                 {db::loCaseInsensitive}));
            EXPECT_EQ(t.FieldByName("Category")->AsString(), "Events");
            t.SetFilter("Category = 'events'");
            t.SetFiltered(true);
            int events = 0;
            for (t.First(); !t.Eof(); t.Next())
                ++events;
            EXPECT_EQ(events, 20);
            t.SetFiltered(false);
            strata::TStrataTable& stats = again.tblStats();
            EXPECT_EQ(stats.RecordCount(), 2);
            ASSERT_TRUE(stats.Locate("Date", db::Variant(db::EncodeDate(2026, 12, 10)), {}));
            EXPECT_EQ(stats.FieldByName("Bounces")->AsInteger(), 1);
            again.CloseTables();

            strata::TRestructureIndexDefs& x = t.RestructureIndexDefs();
            x.SetLoaded(false);
            x.Update();
            std::vector<std::string> names;
            for (std::size_t i = 0; i < x.Count(); ++i)
                names.push_back(UpperCase(x.Items(i).Name) + ":" + x.Items(i).Fields);
            EXPECT_EQ(names, (std::vector<std::string>{":Index;Item", "BYCATEGORY:Category",
                                                       "BYBOUNCE:Bounces", "BYITEM:Item"}));
        }
        for (const auto& file : fs::directory_iterator(dir))
            EXPECT_NE(UpperCase(file.path().extension().string()), ".IBK") << file.path();
    }
    EXPECT_EQ(prompts->Unscripted(), 0);
}

}  // namespace
}  // namespace app

namespace app {
namespace {

using namespace testing_support;

// Damage to each file of both tables, written into real files after the rows: the open
// asks, the repair (or, with nothing left, a new start) brings back every row whose record
// is whole, the next start opens without a question, and the files as they were are kept
// aside only when nothing could be saved.
TEST_F(RecoveryTest, EveryWholeRowComesBackFromDamagedFiles) {
    constexpr int kEntries = 120;
    constexpr std::size_t kHeader = 127;
    constexpr std::size_t kListDescriptors = 127 + 768 * 8;
    std::mt19937 random(7);
    const auto garbage = [&random](std::string& bytes, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < std::min(to, bytes.size()); ++i)
            bytes[i] = static_cast<char>(random());
    };
    const auto zero = [](std::string& bytes, std::size_t from, std::size_t to) {
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())),
                  bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())), '\0');
    };
    struct Damage {
        const char* label;
        const char* file;
        std::function<void(std::string&)> harm;
        std::vector<ui::TModalResult> answers;
        int rows;
        int stats_rows;
        bool backup = false;
    };
    const std::vector<ui::TModalResult> repair = {ui::mrYes, ui::mrOk};
    const std::vector<ui::TModalResult> start_again = {ui::mrYes, ui::mrYes};
    const std::vector<Damage> cases = {
        {"index header zeroed", "mailist.IDX", [&](std::string& b) { zero(b, 0, 4096); }, repair,
         kEntries, 2},
        {"index file garbage", "mailist.IDX", [&](std::string& b) { garbage(b, 0, b.size()); },
         repair, kEntries, 2},
        {"data header zeroed", "mailist.DAT", [&](std::string& b) { zero(b, 0, kHeader); }, repair,
         kEntries, 2},
        {"data header garbage", "mailist.DAT",
         [&](std::string& b) {
             garbage(b, 0, kHeader);
             b[8] = 0x77;
         },
         repair, kEntries, 2},
        {"data header and descriptors zeroed", "mailist.DAT",
         [&](std::string& b) { zero(b, 0, kListDescriptors); }, repair, kEntries, 2},
        {"data header zeroed, last record cut", "mailist.DAT",
         [&](std::string& b) {
             zero(b, 0, kHeader);
             b.resize(b.size() - 7);
         },
         repair, kEntries - 1, 2},
        {"statistics index garbage", "mailstat.IDX",
         [&](std::string& b) { garbage(b, 0, b.size()); }, repair, kEntries, 2},
        {"statistics data header garbage", "mailstat.DAT",
         [&](std::string& b) {
             garbage(b, 0, kHeader);
             b[8] = 0;
         },
         repair, kEntries, 2},
        // Both days' rows given the first one's date: the unique index keeps one, and the
        // other is reported in the box.
        {"statistics date twice", "mailstat.DAT",
         [&](std::string& b) {
             const std::size_t first = 127 + 768 * 5;
             const std::size_t size = (b.size() - first) / 2;
             std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(first + 9), 5,
                         b.begin() + static_cast<std::ptrdiff_t>(first + size + 9));
             b[8] = 0;
         },
         repair, kEntries, 1},
        {"data file empty", "mailist.DAT", [](std::string& b) { b.clear(); }, start_again, 0, 2},
        {"data file cut after its descriptors", "mailist.DAT",
         [](std::string& b) { b.resize(kListDescriptors + 40); }, start_again, 0, 2},
        {"data file empty, a back-up", "mailist.DAT", [](std::string& b) { b.resize(300); },
         start_again, 0, 2, true},
    };
    for (std::size_t n = 0; n < cases.size(); ++n) {
        const Damage& d = cases[n];
        SCOPED_TRACE(d.label);
        const std::string dir = program.File("db" + std::to_string(n)) + "/";
        fs::create_directory(dir);
        std::vector<std::string> written;
        {
            ListDatabase first(settings, program.Dir(), "First" + std::to_string(n));
            prompts->Answer(ui::mrYes);
            ASSERT_TRUE(first.OpenDatabase(dir)) << AskedTexts();
            strata::TStrataTable& t = first.tblCV();
            for (int i = 0; i < kEntries; ++i) {
                t.Append();
                written.push_back("member" + std::to_string(i) + "@x.org|news");
                t.FieldByName("Item")->SetAsString("member" + std::to_string(i) + "@x.org");
                t.FieldByName("Category")->SetAsString("news");
                t.Post();
            }
            first.AddStatRecord(kStatSubscribe, db::EncodeDate(2026, 12, 9));
            first.AddStatRecord(kStatBounce, db::EncodeDate(2026, 12, 10));
            first.CloseTables();
        }
        std::string bytes = ProgramDir::Read(dir + d.file);
        d.harm(bytes);
        std::ofstream(dir + d.file, std::ios::binary | std::ios::trunc) << bytes;
        const std::string backup = program.File("backup.csv");
        fs::remove(backup);
        if (d.backup)
            std::ofstream(backup) << "a@x.org,news\n";

        const std::size_t asked = prompts->Asked().size();
        for (const ui::TModalResult answer : d.answers)
            prompts->Answer(answer);
        {
            ListDatabase again(settings, program.Dir(), "Again" + std::to_string(n));
            std::vector<std::string> restored;
            again.OnRestoreBackUp = [&restored](const std::string& file) {
                restored.push_back(file);
            };
            ASSERT_TRUE(again.OpenDatabase(dir)) << AskedTexts();
            ASSERT_EQ(prompts->Asked().size(), asked + d.answers.size()) << AskedTexts();
            EXPECT_EQ(restored,
                      d.backup ? std::vector<std::string>{backup} : std::vector<std::string>{});
            const std::string last = prompts->Asked().back().text;
            EXPECT_EQ(last.find("could not be kept") != std::string::npos, d.stats_rows == 1)
                << last;
        }
        ListDatabase later(settings, program.Dir(), "Later" + std::to_string(n));
        const std::size_t before = prompts->Asked().size();
        ASSERT_TRUE(later.OpenDatabase(dir)) << AskedTexts();
        EXPECT_EQ(prompts->Asked().size(), before) << AskedTexts();
        std::vector<std::string> rows;
        strata::TStrataTable& t = later.tblCV();
        for (t.First(); !t.Eof(); t.Next())
            rows.push_back(t.FieldByName("Item")->AsString() + "|" +
                           t.FieldByName("Category")->AsString());
        std::sort(rows.begin(), rows.end());
        written.resize(static_cast<std::size_t>(d.rows));
        std::sort(written.begin(), written.end());
        EXPECT_EQ(rows, written);
        EXPECT_EQ(later.tblStats().RecordCount(), d.stats_rows);
        int kept_aside = 0;
        for (const auto& file : fs::directory_iterator(dir))
            kept_aside += file.path().filename().string().find("-damaged-") != std::string::npos;
        EXPECT_EQ(kept_aside, d.rows == 0 ? 2 : 0) << "the list's files alone";
        EXPECT_FALSE(fs::exists(dir + "repair-copies"));
        later.CloseTables();
    }
    EXPECT_EQ(prompts->Unscripted(), 0);
}

}  // namespace
}  // namespace app
