#include "app/list/list_database.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/db/date_time.h"
#include "platform/os/file_system.h"
#include "tests/app/app_test_support.h"

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
