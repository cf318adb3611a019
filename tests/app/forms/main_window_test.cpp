#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <vector>

#include "app/forms/advanced_settings_dialog.h"
#include "app/forms/main_window.h"
#include "app/forms/options_dialog.h"
#include "app/forms/progress_dialog.h"
#include "app/list/cancel_flag.h"
#include "app/list/settings.h"
#include "engine/dataset/strata_table.h"
#include "grid/core/inplace_text_edit.h"
#include "grid/data/db_grid.h"
#include "platform/config/registry.h"
#include "platform/config/registry_store.h"
#include "platform/ui/clock.h"
#include "platform/ui/form.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

struct CheckTimerOptions {
    bool at_startup = false;
    bool timed = false;
    int delay_minutes = 60;
};

// A main window over a new list database and a clock that moves only when the test says
// so. The settings the window loads when it is shown are stored first.
class MainWindowTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        auto clock = std::make_unique<ui::ManualUiClock>();
        clock_ = clock.get();
        previous_ = ui::SetClock(std::move(clock));
        OpenNew();
    }
    void TearDown() override {
        window_.reset();
        ui::SetClock(std::move(previous_));
    }
    Tfrmmain& Open(CheckTimerOptions options, std::vector<std::string> args = {}) {
        window_.reset();
        settings.AutoScanStartUp = options.at_startup;
        settings.AutoScanDelayed = options.timed;
        settings.AutoScanDelayedTime = options.delay_minutes;
        SaveEntries(settings, program.Dir());
        window_ = std::make_unique<Tfrmmain>(program.Dir(), args,
                                             ListServices{settings, *database, errors, *entries});
        window_->OnProcessFolder = [this](bool requests, bool members) {
            passes_.push_back({requests, members, clock_->TickCount()});
        };
        window_->Show();
        QApplication::setActiveWindow(window_.get());
        return *window_;
    }
    struct Pass {
        bool requests;
        bool members;
        std::uint32_t at;
    };
    ui::ManualUiClock* clock_ = nullptr;
    std::unique_ptr<ui::UiClock> previous_;
    std::unique_ptr<Tfrmmain> window_;
    std::vector<Pass> passes_;
};

TEST_F(MainWindowTest, CaptionNamesTheDatabaseOrTheDebugMode) {
    struct Case {
        std::vector<std::string> args;
        const char* db_path;
        const char* caption;
    };
    const std::string home = "Corvane  (Database: " + program.Dir() + ")";
    for (const Case& c : {
             Case{{}, "/data/lists/", "Corvane  (Database: /data/lists/)"},
             Case{{}, "%", home.c_str()},
             Case{{"/debug"}, "/data/lists/", "Corvane  DEBUG MODE"},
             Case{{"/DeBuG"}, "", "Corvane  DEBUG MODE"},
             Case{{"/debugging"}, "", home.c_str()},
         }) {
        Tfrmmain& window = Open({}, c.args);
        settings.DBPath = c.db_path;
        window.UpdateDisplay();
        EXPECT_EQ(window.Caption(), c.caption);
        EXPECT_EQ(window.DebugMode(), c.args.size() == 1 && c.args[0] != "/debugging");
    }
}

TEST_F(MainWindowTest, WithBothCheckOptionsOffTheTimerNeverFires) {
    Open({false, false, 60});
    clock_->Advance(24 * 60 * 60'000);
    EXPECT_TRUE(passes_.empty());
    EXPECT_FALSE(window_->tmrGetEntries.Running());
}

TEST_F(MainWindowTest, StartupCheckComesAfter250msAndTheTimedOneAfterEachDelay) {
    std::uint32_t shown = clock_->TickCount();
    Open({true, true, 2});
    clock_->Advance(249);
    EXPECT_TRUE(passes_.empty());
    clock_->Advance(1);
    ASSERT_EQ(passes_.size(), 1u);
    EXPECT_EQ(passes_[0].at - shown, 250u);
    clock_->Advance(2 * 60'000);
    ASSERT_EQ(passes_.size(), 2u);
    EXPECT_EQ(passes_[1].at - passes_[0].at, 120'000u);
    EXPECT_TRUE(passes_[1].requests);
    EXPECT_FALSE(passes_[1].members);
}

TEST_F(MainWindowTest, StartupCheckAloneRunsOnce) {
    Open({true, false, 60});
    clock_->Advance(10 * 60 * 60'000);
    EXPECT_EQ(passes_.size(), 1u);
}

TEST_F(MainWindowTest, SwitchingTheTimedCheckOffStopsTheArmedTimer) {
    CheckTimerOptions timed{false, true, 1};
    Tfrmmain& window = Open(timed);
    EXPECT_TRUE(window.tmrGetEntries.Running());
    settings.AutoScanDelayed = false;
    window.CommenceTimer();
    clock_->Advance(10 * 60'000);
    EXPECT_TRUE(passes_.empty());
}

// A stored delay outside the options dialog's range of 1 to 1000 minutes arms the timer
// with the nearest delay in it: never with no interval, never with one that overflows.
TEST_F(MainWindowTest, AStoredDelayOutsideItsRangeStillArmsTheTimedCheck) {
    for (const auto& [stored, minutes] :
         {std::pair{0, 1}, std::pair{-30, 1}, std::pair{5'000'000, 1000}}) {
        passes_.clear();
        Tfrmmain& window = Open({false, true, stored});
        ASSERT_TRUE(window.tmrGetEntries.Running()) << stored;
        EXPECT_EQ(window.tmrGetEntries.Interval(), minutes * 60'000) << stored;
        clock_->Advance(static_cast<std::uint32_t>(minutes) * 60'000);
        EXPECT_EQ(passes_.size(), 1u) << stored;
    }
}

TEST_F(MainWindowTest, ATickWhileADialogIsActivePostponesByAFullInterval) {
    Tfrmmain& window = Open({false, true, 1});
    ui::TForm dialog(&window);
    {
        ui::ScopedModalHandler script([&](ui::TForm&) { clock_->Advance(60'000 + 30'000); });
        dialog.ShowModal();
    }
    EXPECT_TRUE(passes_.empty()) << "no check while the dialog is in use";
    // The postponed tick came at 60 s; the next try is a full minute later, at 120 s.
    clock_->Advance(29'999);
    EXPECT_TRUE(passes_.empty());
    clock_->Advance(1);
    EXPECT_EQ(passes_.size(), 1u);
}

// The user types a name into the grid when the timed check falls due: the check waits a full
// interval instead of taking the list from under the editor, and what was typed goes into
// the entry once the user leaves the cell.
TEST_F(MainWindowTest, ATickWhileAnEntryIsTypedIntoWaitsAndTheTypingIsKept) {
    strata::TStrataTable& t = database->tblCV();
    t.Append();
    t.FieldByName("Item")->SetAsString("ann@x.com");
    t.Post();
    settings.AllowEditing = true;
    Tfrmmain& window = Open({false, true, 1});
    grid::TgxDBGrid& g = *window.gxDBGrid1;
    ASSERT_NE(g.GetFocusedNode(), nullptr);
    g.SetFocusedColumn(g.ColumnByFieldName("Name")->GetIndex());
    QTest::keyClick(&g, Qt::Key_F2);
    auto* editor = dynamic_cast<grid::TgxInplaceTextEdit*>(g.InplaceEditor());
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(&editor->LineEdit(), "Ann Typing");

    clock_->Advance(60'000);
    EXPECT_TRUE(passes_.empty()) << "no check while an entry is typed into";
    EXPECT_EQ(g.EditingText(), "Ann Typing");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    EXPECT_EQ(t.FieldByName("Name")->AsString(), "Ann Typing");
    clock_->Advance(60'000);
    EXPECT_EQ(passes_.size(), 1u);
    t.First();
    EXPECT_EQ(t.FieldByName("Name")->AsString(), "Ann Typing");
}

TEST_F(MainWindowTest, MembersMessagesMakeOneOrTwoPasses) {
    struct Case {
        bool user_sending;
        const char* members_folder;
        std::vector<std::pair<bool, bool>> expected;
    };
    for (const Case& c : {
             Case{false, "MailingList", {{true, false}}},
             Case{true, "MailingList", {{true, true}}},
             Case{true, "Members", {{true, false}, {false, true}}},
         }) {
        passes_.clear();
        Tfrmmain& window = Open({});
        settings.UserSending = c.user_sending;
        settings.MailingListGroup = "MailingList";
        settings.UserSendingFolder = c.members_folder;
        window.btngetoutlookClick();
        std::vector<std::pair<bool, bool>> got;
        for (const Pass& p : passes_)
            got.emplace_back(p.requests, p.members);
        EXPECT_EQ(got, c.expected) << c.members_folder;
    }
}

// A check reads the list into the grid once, after all its passes, whatever they did: a
// timed check over a list of 100,000 entries read it four times and held the window for
// that long even when no mail had come. What the passes changed is shown, under the filter.
TEST_F(MainWindowTest, ACheckReadsTheListIntoTheGridOnceAfterAllItsPasses) {
    strata::TStrataTable& table = database->tblCV();
    auto add = [&](const std::string& item, const char* category) {
        table.Append();
        table.FieldByName("Item")->SetAsString(item);
        table.FieldByName("Category")->SetAsString(category);
        table.Post();
    };
    for (int i = 0; i < 20; ++i)
        add("m" + std::to_string(i) + "@example.org", i % 2 == 0 ? "news" : "events");
    int news = 10;
    for (const char* members_folder : {"MailingList", "Members"}) {
        SCOPED_TRACE(members_folder);
        Tfrmmain& window = Open({});
        settings.UserSending = true;
        settings.MailingListGroup = "MailingList";
        settings.UserSendingFolder = members_folder;
        window.edtfilter->SetText("news");
        window.DoIdle();
        ASSERT_EQ(window.lblcount->Caption(), "  " + std::to_string(news) + " Records Displayed");
        window.OnProcessFolder = [&](bool requests, bool) {
            EXPECT_FALSE(table.Filtered()) << "a pass works on the whole list";
            if (requests)
                add(std::string("new@") + members_folder + ".org", "news");
        };
        grid::TgxDBGrid& g = *window.gxDBGrid1;
        const std::int64_t before = g.RecordsRead();
        window.btngetoutlookClick();
        ++news;
        EXPECT_EQ(g.RecordsRead() - before, news);
        EXPECT_EQ(window.lblcount->Caption(), "  " + std::to_string(news) + " Records Displayed");
        EXPECT_EQ(g.Count(), news);
        EXPECT_TRUE(table.Filtered());
        EXPECT_FALSE(table.ControlsDisabled());
    }
}

TEST_F(MainWindowTest, ProgressShowsNothingUpToAMaximumOfOneAndClampsThePosition) {
    Tfrmmain& window = Open({});
    window.showprogress(true, 5, false, "Exporting Entries", 1);
    EXPECT_EQ(window.ProgressDialog(), nullptr);
    window.showprogress(true, 5, false, "Exporting Entries", 0);
    EXPECT_EQ(window.ProgressDialog(), nullptr);
    window.showprogress(true, 250, false, "Exporting Entries", 200);
    ASSERT_NE(window.ProgressDialog(), nullptr);
    EXPECT_EQ(window.ProgressDialog()->Gauge1->Position(), 100);
    EXPECT_EQ(window.ProgressDialog()->lblMessage->Caption(), "Exporting Entries");
    EXPECT_FALSE(window.ProgressDialog()->btnCancel->Visible());
    window.showprogress(true, 50, false, "Exporting Entries", 200);
    EXPECT_EQ(window.ProgressDialog()->Gauge1->Position(), 25);
    window.hideprogress();
    EXPECT_EQ(window.ProgressDialog(), nullptr);
}

// A run over 100,000 rows reports every row. The display draws each new percentage at once
// and a caption that alone changes only now and then: drawing every row took the export of
// such a list two minutes. The last percentage reported is the one shown.
TEST_F(MainWindowTest, ProgressOfManyRowsIsDrawnPerPercentageNotPerRow) {
    Tfrmmain& window = Open({});
    struct CountPaints : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    window.showprogress(true, 1, true, "Exporting Entries", 20000);
    ASSERT_NE(window.ProgressDialog(), nullptr);
    window.ProgressDialog()->Gauge1->installEventFilter(&counter);
    for (int row = 2; row <= 20000; ++row)
        window.showprogress(true, row, true, "Processing: row " + std::to_string(row), 20000);
    EXPECT_EQ(window.ProgressDialog()->Gauge1->Position(), 100);
    EXPECT_LE(counter.paints, 400) << "about one drawing per percentage";
    EXPECT_GE(counter.paints, 99);
    window.hideprogress();
}

// A long task that cannot be cancelled runs no event loop of its own; its progress window
// must be on the screen all the same.
TEST_F(MainWindowTest, ProgressOfATaskThatCannotBeCancelledIsOnTheScreen) {
    Tfrmmain& window = Open({});
    window.showprogress(true, 1, false, "Merging Entries", 100);
    ASSERT_NE(window.ProgressDialog(), nullptr);
    QWindow* handle = window.ProgressDialog()->windowHandle();
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(handle->isExposed());
    window.hideprogress();
}

TEST_F(MainWindowTest, CancelOnTheProgressSetsTheCancelFlagWhichANewDisplayClears) {
    Tfrmmain& window = Open({});
    window.showprogress(true, 1, true, "Backing Up Entries", 10);
    ASSERT_TRUE(window.ProgressDialog()->btnCancel->Visible());
    EXPECT_FALSE(Cancelled());
    prompts->Answer(ui::mrYes);
    window.ProgressDialog()->btnCancel->Click();
    EXPECT_TRUE(Cancelled());
    prompts->Answer(ui::mrNo);
    window.ProgressDialog()->btnCancel->Click();
    EXPECT_FALSE(Cancelled()) << "No after a first Yes clears the flag again";
    EXPECT_EQ(prompts->Asked().back().text, "Are you sure you want to cancel processing?");
    window.ProgressDialog()->btnCancel->Click();
    window.hideprogress();
    window.showprogress(true, 1, true, "Backing Up Entries", 10);
    EXPECT_FALSE(Cancelled());
}

TEST_F(MainWindowTest, TypingAFilterChoosesItAndAppliesItWhenIdle) {
    Tfrmmain& window = Open({});
    EXPECT_EQ(window.lblcount->Caption(), "  0 Records");
    // The first key switches the choice, which refilters at once.
    window.edtnotfilter->SetText("o");
    EXPECT_TRUE(window.rdbnotfilter->Checked());
    EXPECT_EQ(window.lblcount->Caption(), "  0 Records Displayed");
    window.rdball->SetChecked(true);
    EXPECT_EQ(window.lblcount->Caption(), "  0 Records");
    window.DoIdle();
    EXPECT_EQ(window.lblcount->Caption(), "  0 Records") << "the choice already applied it";
    // Further keys wait for the idle moment.
    window.edtfilter->SetText("n");
    window.rdbfilter->SetChecked(true);
    window.edtfilter->SetText("ne");
    EXPECT_TRUE(window.RefilterPending());
    window.DoIdle();
    EXPECT_FALSE(window.RefilterPending());
    EXPECT_EQ(window.lblcount->Caption(), "  0 Records Displayed");
}

TEST_F(MainWindowTest, RendersItsMenusButtonsAndFilterBar) {
    Tfrmmain& window = Open({});
    window.resize(820, 400);
    QImage image = window.grab().toImage();
    EXPECT_TRUE(image.save(QCoreApplication::applicationDirPath() + "/main_window.png"));
    EXPECT_GT(window.menuBar()->actions().size(), 4);
    EXPECT_TRUE(window.btnsend->Visible());
    int sends = 0;
    window.OnSendEmail = [&] { ++sends; };
    settings.EmailMethod = 2;
    window.btnsend->click();
    EXPECT_EQ(sends, 1) << "the send command reaches the program's send dialog";
    EXPECT_TRUE(window.btngetoutlook->Enabled());
}

TEST_F(MainWindowTest, SendingAsksForAMethodOnceAndGivesTheListItsFilterBack) {
    Tfrmmain& window = Open({});
    strata::TStrataTable& table = database->tblCV();
    int sends = 0;
    // The send dialog filters the list table for its own recipients.
    window.OnSendEmail = [&] {
        ++sends;
        table.SetFilter("Category = 'nobody'");
        table.SetFiltered(true);
    };
    settings.EmailMethod = -1;
    prompts->Answer(ui::mrCancel);
    window.SendEmailtoMailingList1Click();
    EXPECT_EQ(sends, 0) << "Cancel ends the command";
    EXPECT_EQ(settings.EmailMethod, -1);
    EXPECT_EQ(prompts->Asked().back().text,
              "Your preferred e-mail sending method has not been specified.  The default, MAPI "
              "transport, will be used.  You can change this under File|Options, Advanced, if "
              "you would prefer another method or encounter any problems");

    window.edtfilter->SetText("news");
    window.rdbfilter->SetChecked(true);
    window.rdballClick();
    const std::string own_filter = table.Filter();
    const std::size_t asked = prompts->Asked().size();
    prompts->Answer(ui::mrOk);
    window.SendEmailtoMailingList1Click();
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(settings.EmailMethod, 0);
    EXPECT_EQ(prompts->Asked().size(), asked + 1);
    EXPECT_EQ(table.Filter(), own_filter) << "the window's category filter is back";
    window.SendEmailtoMailingList1Click();
    EXPECT_EQ(sends, 2);
    EXPECT_EQ(prompts->Asked().size(), asked + 1) << "asked only while no method is chosen";
}

// The first start centres the window; every later one opens it where it was left.
TEST_F(MainWindowTest, TheWindowOpensWhereItWasLeft) {
    Tfrmmain& first = Open({});
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((first.frameGeometry().center() - area.center()).manhattanLength(), 10);
    first.move(40, 50);
    first.resize(700, 500);
    first.Close();
    Tfrmmain& next = Open({});
    EXPECT_EQ(next.pos(), QPoint(40, 50));
    EXPECT_EQ(next.size(), QSize(700, 500));
}

// A settings file that cannot be read is set aside once, where the box at the start says,
// and closing saves the settings to a new file without another box.
TEST_F(MainWindowTest, ADamagedRegistryIsSetAsideOnceAndTheSettingsAreSavedAtTheClose) {
    const std::string damaged = "Corvane registry 1\n[]\n[SOFTWARE]\ns DBPath=/lost\n";
    std::ofstream(program.File("registry.ini"), std::ios::binary) << damaged;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    const std::size_t asked = prompts->Asked().size();
    ASSERT_TRUE(database->dmCVCreate()) << AskedTexts();
    EXPECT_EQ(prompts->Asked().size(), asked) << AskedTexts();
    window_ = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                         ListServices{settings, *database, errors, *entries});
    window_->Show();
    std::smatch aside;
    ASSERT_TRUE(std::regex_match(
        prompts->Asked().back().text, aside,
        std::regex(R"(Error encountered opening your registry file\r\n\r\nIt has been set aside )"
                   R"(as (.*registry\.ini\.damaged-\d{8}-\d{6}), and the defaults are used\.)")));
    EXPECT_EQ(testing_support::ProgramDir::Read(aside[1]), damaged);
    settings.SendCount = 7;
    window_->Close();
    window_->FormDestroy();
    EXPECT_EQ(prompts->Asked().size(), asked + 1) << AskedTexts();
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    EXPECT_TRUE(Loadentries(settings = {}, program.Dir()) && settings.SendCount == 7);
}

// A read-only program folder is said once at the start, with no database named; at the close
// every save that fails there, or on a full disk, is one box naming each file and why.
TEST_F(MainWindowTest, AnUnwritableProgramFolderIsSaidOnceAtTheStartAndOnceAtTheClose) {
    for (const bool read_only : {true, false}) {
        const testing_support::SmallDisk disk(program.File(read_only ? "ro" : "full"),
                                              read_only ? MS_RDONLY : 0);
        if (!disk.mounted)
            GTEST_SKIP() << "an unwritable folder needs a file system of its own, which only "
                            "root can mount";
        const std::string dir = disk.dir + "/",
                          reason = read_only ? "Read-only file system" : "No space left on device";
        platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                    dir + "registry.ini");
        window_.reset(), entries.reset(), database.reset();
        database = std::make_unique<ListDatabase>(settings, dir);
        entries = std::make_unique<EntryProcessor>(*database, settings, errors);
        const std::size_t asked = prompts->Asked().size();
        prompts->Answer(ui::mrYes);
        EXPECT_EQ(database->dmCVCreate(), !read_only) << AskedTexts();
        window_ = std::make_unique<Tfrmmain>(dir, std::vector<std::string>{},
                                             ListServices{settings, *database, errors, *entries});
        window_->Show();
        EXPECT_EQ(window_->Caption(), read_only ? "Corvane" : "Corvane  (Database: " + dir + ")");
        ASSERT_EQ(prompts->Asked().size(), asked + 1) << AskedTexts();
        if (read_only) {
            EXPECT_EQ(prompts->Asked().back().text,
                      "Corvane cannot write to its program folder, " + dir +
                          ": Read-only file system.  Nothing kept there can be saved until it "
                          "can be written to.");
        }
        errors.AddToErrorsList(1, "bad@x.org", "news");
        if (!read_only)
            disk.FillLeaving(0);
        window_->Close();
        ASSERT_EQ(prompts->Asked().size(), asked + 2) << AskedTexts();
        const std::string box = prompts->Asked().back().text;
        EXPECT_TRUE(box.starts_with("These could not be saved while closing:\r\n")) << box;
        for (const std::string file : {"errors.txt", "except.txt", "recent.txt"})
            EXPECT_NE(box.find(dir + file + "\". " + reason), std::string::npos) << box;
        EXPECT_NE(box.find("Registry Update Failed, using defaults: "), std::string::npos) << box;
    }
}

// The folder opened at the start (the prompt after a declined creation, or the open
// command) is the one the caption names and the next start opens, not the one the
// registry held before.
TEST_F(MainWindowTest, ADatabaseChosenBeforeTheWindowShowsIsTheOneShownAndStored) {
    SaveEntries(settings, program.Dir());
    const std::string other = program.Dir() + "other/";
    std::filesystem::create_directory(other);
    prompts->Answer(ui::mrYes);
    ASSERT_TRUE(database->OpenDatabase(other)) << AskedTexts();
    window_ = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                         ListServices{settings, *database, errors, *entries});
    window_->Show();
    EXPECT_EQ(window_->Caption(), "Corvane  (Database: " + other + ")");
    window_->Close();
    window_->FormDestroy();
    Settings next;
    ASSERT_TRUE(LoadDatabaseSettings(next));
    EXPECT_EQ(next.DBPath, other);
}

// Choosing another mail program in the advanced settings hides the commands that read
// Outlook's folders, and the dialog shows the choice the next time it opens.
TEST_F(MainWindowTest, ChoosingAnotherMailProgramHidesTheOutlookCommands) {
    Tfrmmain& window = Open({});
    settings.EmailMethod = 0;
    auto outlook_commands_shown = [&] {
        std::vector<bool> shown{window.btngetoutlook->Visible(), window.btnScanOutlook->Visible(),
                                window.mkCheckOutlook->Visible(), window.mkScanFolders->Visible(),
                                window.mkScanContacts->Visible()};
        return shown;
    };
    EXPECT_EQ(outlook_commands_shown(), std::vector<bool>(5, true));
    std::vector<bool> offered;
    auto choose = [&](bool outlook) {
        ui::ScopedModalHandler script([&](ui::TForm& form) {
            auto& advanced = dynamic_cast<TdlgAdvancedSettings&>(form);
            offered.push_back(advanced.rdbOutlook->Checked());
            (outlook ? advanced.rdbOutlook : advanced.rdbOther)->SetChecked(true);
            advanced.BitBtn1Click();
        });
        window.Options().BitBtn4Click();
    };
    choose(false);
    EXPECT_EQ(outlook_commands_shown(), std::vector<bool>(5, false));
    EXPECT_TRUE(window.btnsend->Visible()) << "sending needs no Outlook";
    choose(true);
    EXPECT_EQ(outlook_commands_shown(), std::vector<bool>(5, true));
    EXPECT_EQ(offered, (std::vector<bool>{true, false}));
}

// The last step of the shut-down never ends the program with an exception: a recent list
// that cannot be written was reported by the closing already.
TEST_F(MainWindowTest, TheLastShutDownStepSurvivesARecentListThatCannotBeWritten) {
    Tfrmmain& window = Open({});
    std::filesystem::create_directory(program.File("recent.txt"));
    settings.DBPath = "/elsewhere/";
    EXPECT_NO_THROW(window.FormDestroy());
    Settings next;
    ASSERT_TRUE(LoadDatabaseSettings(next));
    EXPECT_EQ(next.DBPath, "/elsewhere/");
}

// A folder whose name holds "&" is listed under Reopen as it is, not with a hot key.
TEST_F(MainWindowTest, ReopenListsEachFolderAsItIsNamed) {
    Tfrmmain& window = Open({});
    const std::string folder = program.Dir() + "R&D/";
    std::filesystem::create_directory(folder);
    prompts->Answer(ui::mrYes);
    ASSERT_TRUE(database->OpenDatabase(folder)) << AskedTexts();
    ASSERT_EQ(window.mkReopen->Count(), 2);
    EXPECT_EQ(window.mkReopen->Items(0).Action()->iconText().toStdString(), folder);
    EXPECT_TRUE(window.mkReopen->Enabled());
    window.mkReopen->Items(1).Click();
    EXPECT_EQ(database->Directory(), program.Dir());
    window.mkReopen->Items(1).Click();
    EXPECT_EQ(database->Directory(), folder);
    EXPECT_EQ(window.Caption(), "Corvane  (Database: " + folder + ")");
}

// A grid column value of another type in the registry never cuts the start short: the
// list is still filtered and counted, and the timed check is still armed.
TEST_F(MainWindowTest, AColumnValueOfAnotherTypeLeavesTheRestOfTheStart) {
    {
        platform::config::TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("SOFTWARE\\Brovik\\Corvane\\gxDBGrid1Item", true));
        registry.WriteInteger("Width", 5);
        registry.CloseKey();
    }
    Tfrmmain& window = Open({false, true, 5});
    EXPECT_EQ(window.lblcount->Caption(), "  0 Records");
    EXPECT_TRUE(window.tmrGetEntries.Running());
}

// The record-cache option takes effect on the grid when the options are confirmed, not
// at the next start: header clicks then sort through the table, whose rows the grid loads
// in part.
TEST_F(MainWindowTest, TheRecordCacheOptionReachesTheGridOnOk) {
    Tfrmmain& window = Open({});
    ASSERT_TRUE(window.gxDBGrid1->Options() & grid::egoLoadAllRecords);
    for (bool limit : {true, false}) {
        ui::ScopedModalHandler script([&](ui::TForm& form) {
            auto& options = dynamic_cast<Tdlgoptions&>(form);
            options.chkLimitDBCache->SetChecked(limit);
            options.BitBtn1Click();
        });
        window.Options1Click();
        EXPECT_EQ(settings.LimitDBCache, limit);
        EXPECT_EQ((window.gxDBGrid1->Options() & grid::egoLoadAllRecords) == 0, limit);
        EXPECT_EQ(window.mkShowGroupPanel->Visible(), !limit);
        if (limit) {
            EXPECT_FALSE(window.gxDBGrid1->ShowGroupPanel());
        }
    }
}

// An errors list that cannot be read is reported; the start goes on (the check timer is
// armed) and closing does not write the file over.
TEST_F(MainWindowTest, AnUnreadableErrorsListIsReportedAndLeftAsItIs) {
    std::filesystem::create_symlink("/proc/self/mem", program.File("errors.txt"));
    const std::size_t asked = prompts->Asked().size();
    Tfrmmain& window = Open({false, true, 5});
    ASSERT_EQ(prompts->Asked().size(), asked + 1) << AskedTexts();
    EXPECT_NE(prompts->Asked().back().text.find("errors.txt"), std::string::npos);
    EXPECT_TRUE(window.tmrGetEntries.Running());
    window.Close();
    EXPECT_TRUE(std::filesystem::is_symlink(program.File("errors.txt")));
}

// Cancel in the options loads every setting again, the in-line editing of the grid with
// them: the menu, the grid and the value saved at the close agree.
TEST_F(MainWindowTest, CancelInTheOptionsBringsTheStoredEditingModeBack) {
    Tfrmmain& window = Open({});
    window.mkAllowEditingClick();
    ASSERT_TRUE(window.mkAllowEditing->Checked());
    ui::ScopedModalHandler script([](ui::TForm& form) {
        auto& options = dynamic_cast<Tdlgoptions&>(form);
        options.BitBtn2->Click();
    });
    window.Options1Click();
    EXPECT_FALSE(settings.AllowEditing);
    EXPECT_FALSE(window.mkAllowEditing->Checked());
    EXPECT_TRUE(window.gxDBGrid1->Options() & grid::egoRowSelect);
    EXPECT_FALSE(window.gxDBGrid1->Options() & grid::egoEditing);
}

// The grid of a large list reads it once at the start, not once for each step of the
// start (the open, the load mode, the stored layout with its sorting and grouping, the
// filter): each read of 100,000 entries kept the window from showing for seconds.
TEST_F(MainWindowTest, TheGridReadsTheListOnceAsTheWindowFirstShows) {
    constexpr int kEntries = 40;
    strata::TStrataTable& table = database->tblCV();
    for (int i = 0; i < kEntries; ++i) {
        table.Append();
        table.FieldByName("Item")->SetAsString("m" + std::to_string(i) + "@example.org");
        table.FieldByName("Category")->SetAsString(i % 2 == 0 ? "news" : "events");
        table.Post();
    }
    for (bool grouped : {false, true}) {
        SCOPED_TRACE(grouped ? "grouped by category" : "sorted by address");
        {
            // A layout as an earlier run leaves it.
            Tfrmmain& earlier = Open({});
            grid::TgxDBTreeListColumn* column =
                earlier.gxDBGrid1->ColumnByFieldName(grouped ? "Category" : "Item");
            ASSERT_NE(column, nullptr);
            if (grouped)
                column->SetGroupIndex(0);
            else
                column->SetSorted(grid::csDown);
            earlier.Close();
            window_.reset();
        }
        database->CloseTables();
        settings.AutoScanStartUp = false;
        SaveEntries(settings, program.Dir());
        window_ = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                             ListServices{settings, *database, errors, *entries});
        window_->HoldGridUntilShown();
        ASSERT_TRUE(database->OpenDatabase(program.Dir()));
        window_->Show();
        grid::TgxDBGrid& g = *window_->gxDBGrid1;
        EXPECT_EQ(g.RecordsRead(), kEntries);
        EXPECT_EQ(window_->lblcount->Caption(), "  40 Records");
        ASSERT_EQ(g.Count(), grouped ? 2 : kEntries);
        if (grouped) {
            EXPECT_EQ(g.Items(0)->Count() + g.Items(1)->Count(), kEntries);
        } else {
            EXPECT_EQ(g.Items(0)->Strings(g.ColumnByFieldName("Item")->GetIndex()),
                      "m9@example.org");
        }
    }
}

// A repair or a restore from the back-up at the start shows the window before the list opens.
TEST_F(MainWindowTest, TheCountMatchesTheRowsAfterARepairOrARestoreAtTheStart) {
    {
        std::ofstream backup(program.File("backup.csv"));
        for (int i = 0; i < 30; ++i)
            backup << "m" << i << "@x.org,news\n";
    }
    // The restore fills the empty list; the repair keeps what it holds.
    const std::vector<std::pair<const char*, std::vector<ui::TModalResult>>> cases = {
        {"mailist.DAT", {ui::mrYes, ui::mrYes, ui::mrOk}}, {"mailist.IDX", {ui::mrYes, ui::mrOk}}};
    for (const auto& [file, answers] : cases) {
        window_.reset();
        database->CloseTables();
        std::ofstream(program.File(file), std::ios::trunc) << "damaged";
        for (ui::TModalResult answer : answers)
            prompts->Answer(answer);
        window_ = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                             ListServices{settings, *database, errors, *entries});
        window_->HoldGridUntilShown();
        ASSERT_TRUE(database->OpenDatabase(program.Dir())) << AskedTexts();
        window_->Show();
        EXPECT_EQ(window_->lblcount->Caption(), "  30 Records") << file;
    }
}

}  // namespace
}  // namespace app
