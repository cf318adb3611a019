#include "app/list/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/config/registry.h"
#include "platform/config/registry_store.h"
#include "platform/ui/prompt.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using testing_support::ProgramDir;

std::string Stored(std::string_view name) {
    platform::config::TRegistry registry;
    EXPECT_TRUE(registry.OpenKey(kSettingsKey, false));
    return registry.ReadString(name);
}

void Store(std::string_view name, std::string_view value) {
    platform::config::TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(kSettingsKey, true));
    registry.WriteString(name, value);
    registry.CloseKey();
}

TEST(Settings, FreshProgramDirectoryGivesEveryDefault) {
    ProgramDir program;
    Settings s;
    s.DBCacheSize = 1;
    ASSERT_TRUE(Loadentries(s, program.Dir()));
    EXPECT_EQ(s.ListFolder(), "MailingList");
    EXPECT_EQ(s.AutoScanDelayedTime, 60);
    EXPECT_EQ(s.DNSTimeOut, 6000);
    EXPECT_EQ(s.SMTPPort, 25);
    EXPECT_EQ(s.DBCacheSize, 2000);
    EXPECT_EQ(s.EmailMethod, -1);
    EXPECT_TRUE(s.chkbouncemax);
    EXPECT_EQ(s.spnbouncemax, 10);
    EXPECT_EQ(s.SendCount, 500);
    EXPECT_EQ(s.defaultcategory, "Default");
    EXPECT_EQ(s.AlternativeCategory, "Default");
    EXPECT_EQ(s.RootFolder, "<Root>");
    EXPECT_EQ(s.ForwardToWhom, ForwardTarget::kInSubject);
    EXPECT_EQ(s.lbxfailure.size(), 16u);
    EXPECT_EQ(s.lbxfailure.back(), "Unzustellbar");
    EXPECT_EQ(s.lbxAddStrings, (OptionList{"ADD", "JOIN", "SUBSCRIBE", "SUSCRIBE"}));
    EXPECT_TRUE(s.DBExclusive);
    EXPECT_FALSE(s.RestrictCategories);
}

TEST(Settings, BooleansAndNumbersReadWithTheirRules) {
    ProgramDir program;
    const std::vector<std::pair<std::string, bool>> flags = {
        {"True", true}, {"TRUE", true}, {"true", true}, {"False", false}, {"yes", true}, {"", true},
    };
    for (const auto& [text, want] : flags) {
        Store("MaintainLog", text);
        Settings s;
        ASSERT_TRUE(Loadentries(s, program.Dir()));
        EXPECT_EQ(s.MaintainLog, want) << text;
    }
    Store("BounceMax", "0");
    Store("SendCount ", "x12");
    Store("StaggerDelay", "30");
    Store("ForwardToWhom", "email");
    Store("RestrictCategories", "true");
    Settings s;
    ASSERT_TRUE(Loadentries(s, program.Dir()));
    EXPECT_FALSE(s.chkbouncemax);
    EXPECT_EQ(s.spnbouncemax, 10);
    EXPECT_EQ(s.SendCount, 500);
    EXPECT_TRUE(s.chkStaggerSending);
    EXPECT_EQ(s.spnStaggerDelay, 30);
    EXPECT_EQ(s.ForwardToWhom, ForwardTarget::kInEmail);
    EXPECT_FALSE(s.RestrictCategories) << "no categories listed";
}

// Values the options dialog edits with spin controls read as the nearest value the
// control allows; a stored delay of 0 minutes would otherwise never arm the timed check,
// and a huge one would overflow its milliseconds. A method outside its list is malformed.
TEST(Settings, SpinValuesOutsideTheirRangeReadAsTheNearestAllowed) {
    ProgramDir program;
    struct Case {
        const char* name;
        const char* stored;
        std::int32_t Settings::*value;
        std::int32_t expected;
    };
    for (const Case& c : {
             Case{"AutoScanDelayedTime", "0", &Settings::AutoScanDelayedTime, 1},
             Case{"AutoScanDelayedTime", "-5", &Settings::AutoScanDelayedTime, 1},
             Case{"AutoScanDelayedTime", "2000000", &Settings::AutoScanDelayedTime, 1000},
             Case{"AutoScanDelayedTime", "1000", &Settings::AutoScanDelayedTime, 1000},
             Case{"DBCacheSize", "5", &Settings::DBCacheSize, 100},
             Case{"DBCacheSize", "900000", &Settings::DBCacheSize, 50000},
             Case{"SendCount ", "0", &Settings::SendCount, 1},
             Case{"SendCount ", "-3", &Settings::SendCount, 1},
             Case{"SendCount ", "123456", &Settings::SendCount, 99999},
             Case{"BounceMax", "5000", &Settings::spnbouncemax, 999},
             Case{"StaggerDelay", "99999999", &Settings::spnStaggerDelay, 10000000},
             // A method no item of its list has takes the default.
             Case{"GetSenderMethod", "7", &Settings::GetSenderMethod, 1},
             Case{"GetSenderMethod", "-1", &Settings::GetSenderMethod, 1},
             Case{"GetSenderMethod", "0", &Settings::GetSenderMethod, 0},
             Case{"EmailMethod", "5", &Settings::EmailMethod, -1},
             Case{"EmailMethod", "-2", &Settings::EmailMethod, -1},
             Case{"EmailMethod", "4", &Settings::EmailMethod, 4},
             Case{"ChokeDownload", "-5", &Settings::ChokeDownload, 0},
         }) {
        Store(c.name, c.stored);
        Settings s;
        ASSERT_TRUE(Loadentries(s, program.Dir()));
        EXPECT_EQ(s.*c.value, c.expected) << c.name << " " << c.stored;
        Store(c.name, "");
    }
    Settings s;
    s.AutoScanDelayedTime = 0;
    EXPECT_EQ(AutoScanIntervalMs(s), 60'000);
    s.AutoScanDelayedTime = 1'000'000;
    EXPECT_EQ(AutoScanIntervalMs(s), 1000 * 60'000);
}

// A value stored as an integer (another program's writing) is malformed: it takes its
// default, and every other value still loads, without the box of an unreadable key.
TEST(Settings, AValueOfAnotherTypeTakesItsDefaultAndTheRestLoad) {
    ProgramDir program;
    auto service = std::make_unique<ui::ScriptedPromptService>();
    ui::ScriptedPromptService& prompts = *service;
    ui::ScopedPromptService scope(std::move(service));
    Store("MailingListGroup", "Requests");
    Store("SMTPHost", "mail.example.org");
    {
        platform::config::TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(kSettingsKey, true));
        registry.WriteInteger("BounceMax", 3);
        registry.WriteInteger("MaintainLog", 0);
        registry.WriteInteger("DBPath", 7);
        registry.CloseKey();
    }
    Settings s;
    s.MaintainLog = false;
    ASSERT_TRUE(Loadentries(s, program.Dir()));
    EXPECT_TRUE(prompts.Asked().empty());
    EXPECT_EQ(s.MailingListGroup, "Requests");
    EXPECT_EQ(s.SMTPHost, "mail.example.org");
    EXPECT_TRUE(s.chkbouncemax);
    EXPECT_EQ(s.spnbouncemax, 10);
    EXPECT_TRUE(s.MaintainLog);
    ASSERT_TRUE(LoadDatabaseSettings(s));
    EXPECT_EQ(s.DBPath, "");
    // Saving writes them back as texts.
    ASSERT_TRUE(SaveEntries(s, program.Dir()));
    EXPECT_EQ(Stored("BounceMax"), "10");
}

// An option file that cannot be read (here one whose every read fails) is reported, and
// neither keeps the registry values from loading nor is written over when saving.
TEST(Settings, AnUnreadableOptionFileIsReportedAndLeftAsItIs) {
    ProgramDir program;
    auto service = std::make_unique<ui::ScriptedPromptService>();
    ui::ScriptedPromptService& prompts = *service;
    ui::ScopedPromptService scope(std::move(service));
    std::filesystem::create_symlink("/proc/self/mem", program.File("cats.txt"));
    std::ofstream(program.File("addstr.txt")) << "JOIN\n";
    Store("MailingListGroup", "Requests");
    Settings s;
    ASSERT_TRUE(Loadentries(s, program.Dir()));
    ASSERT_EQ(prompts.Asked().size(), 1u);
    EXPECT_NE(prompts.Asked()[0].text.find("cats.txt"), std::string::npos)
        << prompts.Asked()[0].text;
    EXPECT_EQ(s.MailingListGroup, "Requests") << "the registry values still load";
    EXPECT_EQ(s.lbxAddStrings, OptionList{"JOIN"}) << "the other files still load";
    s.lbxAddStrings = {"ENTER"};
    ASSERT_TRUE(SaveEntries(s, program.Dir()));
    EXPECT_TRUE(std::filesystem::is_symlink(program.File("cats.txt")));
    EXPECT_EQ(ProgramDir::Lines(program.File("addstr.txt")), std::vector<std::string>{"ENTER"});
}

// One pass for the list's requests, a second for the members' messages when they are
// read from another folder, and one pass for both when the folders are one.
TEST(Settings, TheCheckMakesOnePassPerFolder) {
    struct Case {
        bool user_sending;
        const char* list_folder;
        const char* members_folder;
        std::vector<CheckPass> passes;
    };
    for (const Case& c : {
             Case{false, "", "MailingList", {{true, false}}},
             Case{true, "", "MailingList", {{true, true}}},
             Case{true, "Requests", "Requests", {{true, true}}},
             Case{true, "Requests", "Members", {{true, false}, {false, true}}},
         }) {
        Settings s;
        s.UserSending = c.user_sending;
        s.MailingListGroup = c.list_folder;
        s.UserSendingFolder = c.members_folder;
        EXPECT_EQ(CheckPasses(s), c.passes) << c.list_folder << " " << c.members_folder;
    }
}

TEST(Settings, RoundTripOfEveryValueAndList) {
    ProgramDir program;
    Settings s;
    s.MailingListGroup = "Requests";
    s.AcknowledgementSubject = "Your request";
    s.chkbouncemax = false;
    s.spnbouncemax = 4;
    s.SendCount = 25;
    s.GetSenderMethod = 4;
    s.ChokeDownload = 50;
    s.EmailMethod = 3;
    s.SMTPHost = "127.0.0.1";
    s.SMTPPort = 2525;
    s.ForwardToWhom = ForwardTarget::kSenderGroup;
    s.MaintainLog = false;
    s.RestrictCategories = true;
    s.DBPath = program.Dir();
    s.memHeader = "Hello\nthere";
    s.memFooter = "Bye";
    s.Memsignature = "-- \nThe list";
    s.lbxcategories = {"news", "sport"};
    s.lbxfailure = {"Undeliverable"};
    s.lbxneversubscribe = {};
    ASSERT_TRUE(SaveEntries(s, program.Dir()));
    EXPECT_EQ(Stored("BounceMax"), "0");
    EXPECT_EQ(Stored("SendCount "), "25");
    EXPECT_EQ(Stored("MaintainLog"), "False");
    EXPECT_EQ(Stored("Except"), "true");
    EXPECT_EQ(Stored("DBPath"), "%");
    EXPECT_EQ(Stored("ForwardToWhom"), "Sender");
    EXPECT_TRUE(std::filesystem::exists(program.File("cats.txt")));

    Settings r;
    ASSERT_TRUE(Loadentries(r, program.Dir()));
    EXPECT_EQ(r.MailingListGroup, "Requests");
    EXPECT_EQ(r.AcknowledgementSubject, "Your request");
    EXPECT_FALSE(r.chkbouncemax);
    EXPECT_EQ(r.SendCount, 25);
    EXPECT_EQ(r.GetSenderMethod, 4);
    EXPECT_EQ(r.ChokeDownload, 50);
    EXPECT_EQ(r.EmailMethod, 3);
    EXPECT_EQ(r.SMTPHost, "127.0.0.1");
    EXPECT_EQ(r.SMTPPort, 2525);
    EXPECT_EQ(r.ForwardToWhom, ForwardTarget::kSenderGroup);
    EXPECT_FALSE(r.MaintainLog);
    EXPECT_TRUE(r.RestrictCategories);
    ASSERT_TRUE(LoadDatabaseSettings(r));
    EXPECT_EQ(r.DBPath, "%");
    EXPECT_EQ(r.memHeader, "Hello\nthere");
    EXPECT_EQ(r.Memsignature, "-- \nThe list");
    EXPECT_EQ(r.lbxcategories, s.lbxcategories);
    EXPECT_EQ(r.lbxfailure, s.lbxfailure);
    EXPECT_TRUE(r.lbxneversubscribe.empty());
    EXPECT_EQ(StoredDBPath("/data/lists/", "/data/lists/"), "%");
    EXPECT_EQ(StoredDBPath("/data/other/", "/data/lists/"), "/data/other/");
}

}  // namespace
}  // namespace app

#include "app/list/program_state.h"

namespace app {
namespace {

// Option files kept from a Windows copy of the program, in Windows-1252, keep their
// accented letters; UTF-8 files stay as they are.
// The database folder and its sharing values belong to the database, which reads them
// before it opens; the settings loaded later never take a folder chosen since back.
TEST(Settings, TheDatabaseValuesAreReadOnlyByTheDatabaseAndQuietly) {
    ProgramDir program;
    ui::ScriptedPromptService* prompts = nullptr;
    auto service = std::make_unique<ui::ScriptedPromptService>();
    prompts = service.get();
    ui::ScopedPromptService scope(std::move(service));
    Store("DBPath", "/data/lists/");
    Store("DBExclusive", "False");
    Store("StrictChangeDetection", "true");
    Settings s;
    s.DBPath = "/chosen/";
    ASSERT_TRUE(Loadentries(s, program.Dir()));
    EXPECT_EQ(s.DBPath, "/chosen/");
    EXPECT_TRUE(s.DBExclusive);
    EXPECT_FALSE(s.StrictChangeDetection);
    ASSERT_TRUE(LoadDatabaseSettings(s));
    EXPECT_EQ(s.DBPath, "/data/lists/");
    EXPECT_FALSE(s.DBExclusive);
    EXPECT_TRUE(s.StrictChangeDetection);

    s.DBPath = "/other/";
    ASSERT_TRUE(SaveDatabasePath(s, program.Dir()));
    EXPECT_EQ(Stored("DBPath"), "/other/");
    EXPECT_EQ(Stored("DBExclusive"), "False") << "nothing but the folder is written";

    const std::string damaged = "Corvane registry 1\n[]\n";
    std::ofstream(program.File("registry.ini"), std::ios::binary) << damaged;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    EXPECT_FALSE(LoadDatabaseSettings(s));
    EXPECT_FALSE(SaveDatabasePath(s, program.Dir()));
    EXPECT_TRUE(prompts->Asked().empty()) << "the window's own load reports it";
    EXPECT_EQ(s.DBPath, "/other/");
    EXPECT_FALSE(Loadentries(s, program.Dir()));
    EXPECT_EQ(prompts->Asked().size(), 1u);
    // Set aside by the window's load, never written over (the window's test says where).
    EXPECT_FALSE(std::filesystem::exists(program.File("registry.ini")));
}

TEST(Settings, OptionFilesInWindows1252AreReadAsTheirText) {
    ProgramDir program;
    std::ofstream(program.File("AckHeader.txt"), std::ios::binary) << "Willkommen im Caf\xE9\r\n";
    std::ofstream(program.File("cats.txt"), std::ios::binary) << "Caf\xE9\r\nnews\r\n";
    std::ofstream(program.File("signature.txt"), std::ios::binary) << "Gr\xC3\xBC\xC3\x9F"
                                                                      "e\n";
    Settings s;
    ASSERT_TRUE(Loadentries(s, program.Dir()));
    EXPECT_EQ(s.memHeader, "Willkommen im Caf\xC3\xA9");
    EXPECT_EQ(s.lbxcategories, (std::vector<std::string>{"Caf\xC3\xA9", "news"}));
    EXPECT_EQ(s.Memsignature,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
}

TEST(ProgramState, ClosingWithoutADatabaseKeepsErrorsAndSavesSettings) {
    testing_support::ProgramDir program;
    {
        ErrorsList errors;
        errors.AddToErrorsList(kErrorAdd, "a@x.org", "news");
        errors.SaveToFile(program.File("errors.txt"));
    }
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    Settings settings;
    ErrorsList errors;
    LoadProgramState(settings, errors, program.Dir());
    ListDatabase database(settings, program.Dir(), "Closing");
    EXPECT_FALSE(database.DatabaseOpen());
    settings.MailingListGroup = "Changed";
    EXPECT_TRUE(SaveProgramState(settings, errors, database, program.Dir()).empty());
    EXPECT_EQ(testing_support::ProgramDir::Lines(program.File("errors.txt")),
              (std::vector<std::string>{"ADD a@x.org news"}));
    EXPECT_EQ(Stored("MailingListGroup"), "Changed");
}

}  // namespace
}  // namespace app

#include "app/list/grid_layout.h"

namespace app {
namespace {

TEST(GridLayoutSettings, ColumnsRoundTripAndTheCacheLimitSortsByAddress) {
    testing_support::ProgramDir program;
    GridLayout saved;
    saved.AutoWidth = true;
    saved.columns = {{"gxDBGrid1Item", true, 1, -1, 200, 2},
                     {"gxDBGrid1Category", false, 0, 0, 90, 1}};
    SaveGridLayout(kGridLayoutKey, saved);
    GridLayout loaded;
    loaded.columns = {
        {"gxDBGrid1Item"}, {"gxDBGrid1Category"}, {"gxDBGrid1Name", true, 2, -1, 70, 0}};
    LoadGridLayout(kGridLayoutKey, loaded, false);
    EXPECT_EQ(loaded.columns[0].Width, 200);
    EXPECT_EQ(loaded.columns[0].Sorted, 2);
    EXPECT_FALSE(loaded.columns[1].Visible);
    EXPECT_EQ(loaded.columns[1].GroupIndex, 0);
    EXPECT_EQ(loaded.columns[2].Width, 70) << "a column never saved keeps its values";
    EXPECT_FALSE(loaded.AutoWidth) << "grid-wide values are not read back";

    GridLayout limited;
    limited.columns = {{"gxDBGrid1Item"}, {"gxDBGrid1Category"}};
    LoadGridLayout(kGridLayoutKey, limited, true);
    EXPECT_EQ(limited.columns[0].Sorted, 1);
    EXPECT_EQ(limited.columns[1].Sorted, 0);
    EXPECT_EQ(limited.columns[1].GroupIndex, -1);
}

// A column value stored as another type keeps the column's current value; the column's
// other values and the other columns still load.
TEST(GridLayoutSettings, AValueOfAnotherTypeKeepsTheCurrentOne) {
    testing_support::ProgramDir program;
    GridLayout saved;
    saved.columns = {{"gxDBGrid1Item", true, 1, -1, 200, 2},
                     {"gxDBGrid1Category", false, 0, 0, 90, 1}};
    SaveGridLayout(kGridLayoutKey, saved);
    {
        platform::config::TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("SOFTWARE\\Brovik\\Corvane\\gxDBGrid1Item", false));
        registry.WriteInteger("Width", 5);
        registry.WriteInteger("Visible", 0);
        registry.CloseKey();
    }
    GridLayout loaded;
    loaded.columns = {{"gxDBGrid1Item", true, 0, -1, 64, 0}, {"gxDBGrid1Category"}};
    ASSERT_NO_THROW(LoadGridLayout(kGridLayoutKey, loaded, false));
    EXPECT_EQ(loaded.columns[0].Width, 64);
    EXPECT_TRUE(loaded.columns[0].Visible);
    EXPECT_EQ(loaded.columns[0].Sorted, 2);
    EXPECT_EQ(loaded.columns[0].Index, 1);
    EXPECT_FALSE(loaded.columns[1].Visible);
    EXPECT_EQ(loaded.columns[1].Width, 90);
}

}  // namespace
}  // namespace app
