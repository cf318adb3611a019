#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/forms/about_dialogs.h"
#include "app/forms/log_dialog.h"
#include "app/forms/open_db_dialog.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

namespace fs = std::filesystem;

// A folder of its own, scripted boxes and a recording shell for each test.
class DialogTest : public testing::Test {
  protected:
    DialogTest() {
        std::string pattern = (fs::temp_directory_path() / "corvane-forms-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        auto service = std::make_unique<ui::ScriptedPromptService>();
        prompts = service.get();
        scope_ = std::make_unique<ui::ScopedPromptService>(std::move(service));
        ui::SetShellOpener([this](const std::string& url) {
            opened.push_back(url);
            return true;
        });
    }
    ~DialogTest() override {
        ui::SetShellOpener(nullptr);
        fs::remove_all(dir_);
    }
    std::string Dir() const { return dir_.string() + "/"; }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    ui::ScriptedPromptService* prompts = nullptr;
    std::vector<std::string> opened;

  private:
    fs::path dir_;
    std::unique_ptr<ui::ScopedPromptService> scope_;
};

TEST_F(DialogTest, LogViewerShowsClearsAndSavesTheLog) {
    Tdlglog empty(nullptr, Dir());
    empty.FormShow();
    EXPECT_EQ(empty.memlogFile->Lines().Count(), 0) << "no log.txt opens an empty viewer";

    Write("log.txt", "ADD a@b.com news [] -> Added\r\nREMOVE c@d.com  [] -> Removed\r\n");
    Tdlglog log(nullptr, Dir());
    log.FormShow();
    EXPECT_EQ(log.memlogFile->Lines().Count(), 2);

    prompts->AnswerFile(Dir() + "copy");
    log.BitBtn2Click();
    std::ifstream copy(Dir() + "copy.txt");
    std::string first;
    std::getline(copy, first);
    EXPECT_EQ(first, "ADD a@b.com news [] -> Added\r");

    prompts->Answer(ui::mrNo);
    log.btnclearlogClick();
    EXPECT_EQ(log.memlogFile->Lines().Count(), 2);
    EXPECT_TRUE(fs::exists(Dir() + "log.txt"));
    prompts->Answer(ui::mrYes);
    log.btnclearlogClick();
    EXPECT_EQ(log.memlogFile->Lines().Count(), 0);
    EXPECT_FALSE(fs::exists(Dir() + "log.txt"));
    ASSERT_EQ(prompts->Asked().size(), 2u);
    EXPECT_EQ(prompts->Asked()[1].text, "Are you sure you want to clear your log file?");
    EXPECT_EQ(prompts->Unscripted(), 0);
}

// A line longer than the screen is wide: the viewer grows to the screen's width and no
// further, and stays where its buttons can be reached.
TEST_F(DialogTest, LogViewerWithALongLineStaysOnTheScreen) {
    Write("log.txt", "ADD " + std::string(4000, 'x') + "@b.com news [] -> Added\r\n");
    Tdlglog log(nullptr, Dir());
    log.show();
    const QRect area = log.screen()->availableGeometry();
    EXPECT_TRUE(area.contains(log.frameGeometry()));
    EXPECT_GE(log.frameGeometry().width(), area.width() * 9 / 10);
}

// A log that grew over years may hold a line of 8-bit bytes among UTF-8 ones: the viewer
// shows every letter of both, and the copy it saves keeps them, with no replacement mark.
TEST_F(DialogTest, LogViewerReadsAMixedLogLineByLineAndSavesItWhole) {
    Write("log.txt",
          "\xEF\xBB\xBF"
          "ADD jos\xC3\xA9@b.com news [] -> Added\r\n"
          "ADD caf\xE9@b.com news [] -> Refused\r\n"
          "REMOVE \xE2\x82\xAC@b.com  [] -> Removed\r\n");
    Tdlglog log(nullptr, Dir());
    log.FormShow();
    ASSERT_EQ(log.memlogFile->Lines().Count(), 3);
    EXPECT_EQ(log.memlogFile->Lines().Get(0), "ADD jos\xC3\xA9@b.com news [] -> Added");
    EXPECT_EQ(log.memlogFile->Lines().Get(1), "ADD caf\xC3\xA9@b.com news [] -> Refused");
    EXPECT_EQ(log.memlogFile->Lines().Get(2), "REMOVE \xE2\x82\xAC@b.com  [] -> Removed");
    prompts->AnswerFile(Dir() + "copy.txt");
    log.BitBtn2Click();
    std::ifstream copy(Dir() + "copy.txt", std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(copy)), {});
    EXPECT_EQ(saved.find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_NE(saved.find("caf\xC3\xA9@b.com"), std::string::npos);
    EXPECT_NE(saved.find("jos\xC3\xA9@b.com"), std::string::npos);
    EXPECT_EQ(prompts->Unscripted(), 0);

    // Bytes that are text in no encoding still give a viewer and no failure message.
    Write("log.txt", std::string("\0\xFF\xFE", 3) + "\x81\x8D\r\nlast line\r\n");
    Tdlglog damaged(nullptr, Dir());
    damaged.FormShow();
    EXPECT_EQ(damaged.memlogFile->Lines().Count(), 2);
    EXPECT_EQ(damaged.memlogFile->Lines().Get(1), "last line");
    EXPECT_TRUE(prompts->Asked().empty());
}

// Lines an older copy wrote with a mail's control characters or line separators in them
// show as one line each: no text from a mail looks like a line of its own.
TEST_F(DialogTest, LogViewerShowsEachLineOfTheFileAsOneLine) {
    Write("log.txt",
          "ADD a@b.com news\xE2\x80\xA8REMOVE boss@b.com  [] -> Entry successfully deleted!\r\n"
          "ADD c@b.com n\x1B[2Jws\x0B\x0C\xC2\x85x [] -> Entered Successfully\r\n"
          "last\tline\n");
    Tdlglog log(nullptr, Dir());
    log.FormShow();
    ASSERT_EQ(log.memlogFile->Lines().Count(), 3);
    EXPECT_EQ(log.memlogFile->Lines().Get(0),
              "ADD a@b.com news REMOVE boss@b.com  [] -> Entry successfully deleted!");
    EXPECT_EQ(log.memlogFile->Lines().Get(1), "ADD c@b.com n [2Jws   x [] -> Entered Successfully");
    EXPECT_EQ(log.memlogFile->Lines().Get(2), "last\tline");
    EXPECT_EQ(log.memlogFile->toPlainText().count(QChar::LineSeparator), 0);
}

// A log of thousands of lines opens at the newest, wide enough to read it whole.
TEST_F(DialogTest, LogViewerOpensAtTheNewestLineShownWhole) {
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "ADD m" + std::to_string(i) + "@example.org news [] -> Added\r\n";
    Write("log.txt", text + "MODIFY " + std::string(60, 'a') + "@example.org -> Modified\r\n");
    Tdlglog log(nullptr, Dir());
    log.show();
    QApplication::processEvents();
    const QScrollBar& down = *log.memlogFile->verticalScrollBar();
    EXPECT_EQ(down.value(), down.maximum());
    EXPECT_EQ(log.memlogFile->horizontalScrollBar()->maximum(), 0);
    EXPECT_TRUE(log.grab().toImage().save(QCoreApplication::applicationDirPath() + "/log.png"));
}

TEST_F(DialogTest, OpenDatabaseNeedsAPathAndStaysOpenWhenTheFolderIsNotMade) {
    TdlgOpenDB dialog(nullptr);
    EXPECT_FALSE(dialog.BitBtn1->Enabled());
    dialog.edtpath->SetText(Dir() + "lists");
    EXPECT_TRUE(dialog.BitBtn1->Enabled());
    dialog.edtpath->SetText("");
    EXPECT_FALSE(dialog.BitBtn1->Enabled());

    struct Case {
        ui::TModalResult answer;
        ui::TModalResult result;
        bool created;
    };
    for (Case c : {Case{ui::mrCancel, ui::mrNone, false}, Case{ui::mrOk, ui::mrOk, true}}) {
        dialog.edtpath->SetText(Dir() + "lists");
        prompts->Answer(c.answer);
        dialog.SetModalResult(ui::mrNone);
        dialog.BitBtn1->Click();
        EXPECT_EQ(dialog.ModalResult(), c.result);
        EXPECT_EQ(fs::is_directory(Dir() + "lists"), c.created);
    }
    // An existing folder is taken without a question.
    std::size_t asked = prompts->Asked().size();
    dialog.SetModalResult(ui::mrNone);
    dialog.BitBtn1->Click();
    EXPECT_EQ(dialog.ModalResult(), ui::mrOk);
    EXPECT_EQ(prompts->Asked().size(), asked);
}

TEST_F(DialogTest, SupportChoicesOpenTheirAddressesOrTheLocalFaq) {
    TdlgSupport support(nullptr, Dir());
    fs::create_directory(Dir() + "help");
    ui::SetHelpFolder(Dir() + "help");
    support.OKClick();
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(prompts->Asked().size(), 1u);
    EXPECT_EQ(prompts->Asked()[0].text, "Corvane cannot locate the file, " + Dir() + "FAQ.html");

    // The copy installed with the help pages, unless the program folder has its own.
    Write("help/FAQ.html", "<p>FAQ</p>");
    support.OKClick();
    Write("FAQ.html", "<p>FAQ</p>");
    support.OKClick();
    support.rdbSupportPage->SetChecked(true);
    support.OKClick();
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0], "file://" + Dir() + "help/FAQ.html");
    EXPECT_EQ(opened[1], "file://" + Dir() + "FAQ.html");
    EXPECT_EQ(opened[2], kSupportPage);
    ui::SetHelpFolder("");

    TAboutBox about(nullptr);
    EXPECT_EQ(about.Version->Caption(), "v3.03");
    bool website = false;
    about.OnWebsite = [&] { website = true; };
    about.lblMaker->Click();
    about.lblMail->Click();
    EXPECT_TRUE(website);
    EXPECT_EQ(opened.back(), kSupportMail);
    // Without a browser the help command says where its page is.
    ui::SetShellOpener([](const std::string&) { return false; });
    EXPECT_FALSE(ui::OpenHelp(0));
    EXPECT_NE(prompts->Asked().back().text.find("index.html"), std::string::npos);
    // Enter in a box just opened is OK, not the first link.
    TAboutBox box(nullptr);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(box.ModalResult(), ui::mrOk);
    EXPECT_TRUE(box.grab().toImage().save(QCoreApplication::applicationDirPath() + "/about.png"));
}

// The desktop's real opener, whose browser refuses to run: the help command still says
// where its page is, once the opener has given up.
TEST_F(DialogTest, HelpSaysWhereItsPageIsWhenTheBrowserFailsAfterStarting) {
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const char* name : {"BROWSER", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_DATA_DIRS",
                             "XDG_CONFIG_DIRS", "XDG_CURRENT_DESKTOP", "DISPLAY"}) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        const std::string_view key = name;
        ::setenv(name,
                 key == "BROWSER"                                        ? "/bin/false"
                 : key.starts_with("XDG_D") || key.starts_with("XDG_CO") ? Dir().c_str()
                                                                         : "",
                 1);
    }
    ui::SetShellOpener(nullptr);
    ui::SetHelpFolder(Dir());
    const std::size_t asked = prompts->Asked().size();
    EXPECT_TRUE(ui::OpenHelp(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return prompts->Asked().size() > asked; }, 20000));
    EXPECT_NE(prompts->Asked().back().text.find(Dir() + "index.html"), std::string::npos);
    ui::SetHelpFolder("");
    for (const auto& [name, value] : saved)
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

}  // namespace
}  // namespace app
