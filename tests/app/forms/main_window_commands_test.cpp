#include <gtest/gtest.h>

#include <dlfcn.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/forms/enter_more_dialog.h"
#include "app/forms/export_dialog.h"
#include "app/forms/find_dialog.h"
#include "app/forms/import_dialog.h"
#include "app/forms/log_dialog.h"
#include "app/forms/main_window.h"
#include "app/forms/open_db_dialog.h"
#include "app/list/settings.h"
#include "grid/data/db_grid.h"
#include "grid/export/grid_export.h"
#include "platform/ui/form.h"
#include "platform/ui/printer.h"
#include "tests/app/list/list_test_support.h"

// The folder the tests started in, the build folder: opening a database changes the
// current one.
const std::filesystem::path kShotDir = std::filesystem::current_path();

// The list's flushes end in syncs of its files on the thread that flushes. The syncs asked
// for on the test's own thread note the cursor the user sees while the disk is waited for.
namespace {

std::function<void()> on_sync;
std::thread::id sync_noting_thread;

template <class Call>
int NoteSync(const char* name, Call call) {
    if (on_sync && std::this_thread::get_id() == sync_noting_thread)
        on_sync();
    return call(::dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
    return NoteSync("fsync", [fd](void* real) { return reinterpret_cast<int (*)(int)>(real)(fd); });
}
extern "C" int fdatasync(int fd) {
    return NoteSync("fdatasync",
                    [fd](void* real) { return reinterpret_cast<int (*)(int)>(real)(fd); });
}

namespace app {
namespace {

// The main window over a real list table in its own program directory; modal dialogs
// are worked by the test through a modal handler.
class MainCommandsTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        for (auto [item, category] :
             std::vector<std::pair<const char*, const char*>>{{"ann@x.com", "news"},
                                                              {"bob@x.com", "newsletter"},
                                                              {"cid@x.com", "sport"},
                                                              {"dee@x.com", "events"}})
            Add(item, category);
        SaveEntries(settings, program.Dir());
        window = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                            ListServices{settings, *database, errors, *entries});
        window->Show();
    }
    void TearDown() override { window.reset(); }

    void Add(const std::string& item, const std::string& category) {
        strata::TStrataTable& t = database->tblCV();
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.FieldByName("Category")->SetAsString(category);
        t.Post();
    }
    // Works the next modal dialog of type Form with script.
    template <class Form>
    std::unique_ptr<ui::ScopedModalHandler> Script(std::function<void(Form&)> script) {
        return std::make_unique<ui::ScopedModalHandler>([script](ui::TForm& form) {
            auto* typed = dynamic_cast<Form*>(&form);
            ASSERT_NE(typed, nullptr) << "another dialog came up";
            script(*typed);
        });
    }
    std::vector<std::string> Sorted() {
        database->tblCV().SetFiltered(false);
        auto rows = Rows();
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    std::unique_ptr<Tfrmmain> window;
};

TEST_F(MainCommandsTest, FilterShowsCategoriesByPrefixAndCountsThem) {
    struct Case {
        bool include;
        const char* text;
        const char* count;
    };
    for (Case c : {Case{true, "news", "  2 Records Displayed"},
                   Case{true, "sport, events", "  2 Records Displayed"},
                   Case{false, "news", "  2 Records Displayed"},
                   Case{false, " news , sport ", "  1 Records Displayed"},
                   Case{true, "", "  4 Records Displayed"}}) {
        (c.include ? window->edtfilter : window->edtnotfilter)->SetText(c.text);
        window->DoIdle();
        EXPECT_EQ(window->lblcount->Caption(), c.count) << c.text;
    }
    window->rdball->SetChecked(true);
    EXPECT_EQ(window->lblcount->Caption(), "  4 Records");
    EXPECT_EQ(window->Caption(), "Corvane  (Database: " + program.Dir() + ")");
}

TEST_F(MainCommandsTest, ManualEntryAddsRemovesAndChecksTheCategory) {
    auto script = Script<TdlgEnterMore>([](TdlgEnterMore& d) {
        EXPECT_FALSE(d.btnProcessAll->Enabled());
        EXPECT_EQ(d.Label1->Caption(), "How should these  addresses be processed?");
        d.memin->SetText("eve@x.com\nfay@x.com\n");
        EXPECT_EQ(d.Label1->Caption(), "How should these 2 addresses be processed?");
        d.edtcategory->SetText("a,b");
        d.btnProcessAll->Click();
        EXPECT_EQ(d.ModalResult(), ui::mrNone) << "a comma is refused";
        d.edtcategory->SetText("club");
        d.btnProcessAll->Click();
    });
    window->btnAddMoreClick();
    EXPECT_EQ(Sorted(),
              (std::vector<std::string>{"ann@x.com|news", "bob@x.com|newsletter", "cid@x.com|sport",
                                        "dee@x.com|events", "eve@x.com|club", "fay@x.com|club"}));
    database->tblCV().Locate("Item", db::Variant("eve@x.com"), {});
    EXPECT_TRUE(database->tblCV()
                    .FieldByName("Comments")
                    ->AsString()
                    .starts_with("Manual insertion of addresses at  "));

    script.reset();
    script = Script<TdlgEnterMore>([](TdlgEnterMore& d) {
        d.memin->SetText("eve@x.com\nann@x.com");
        d.rdbremove->SetChecked(true);
        EXPECT_TRUE(d.rdbremoveall->Enabled());
        EXPECT_FALSE(d.edtremovecat->Enabled());
        d.btnProcessAll->Click();
    });
    window->btnAddMoreClick();
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"bob@x.com|newsletter", "cid@x.com|sport",
                                                  "dee@x.com|events", "fay@x.com|club"}));
}

// Typed addresses are processed from the keyboard alone: Tab leaves the memo without
// writing into it, and Enter outside the memo is OK, while inside it Enter starts a line.
TEST_F(MainCommandsTest, ManualEntryIsWorkedFromTheKeyboard) {
    auto script = Script<TdlgEnterMore>([](TdlgEnterMore& d) {
        QApplication::setActiveWindow(&d);
        d.memin->setFocus();
        QTest::keyClicks(d.memin, "eve@x.com");
        QTest::keyClick(d.memin, Qt::Key_Return);
        QTest::keyClicks(d.memin, "fay@x.com");
        QTest::keyClick(d.memin, Qt::Key_Tab);
        EXPECT_EQ(d.memin->Text(), "eve@x.com\nfay@x.com");
        EXPECT_NE(QApplication::focusWidget(), d.memin);
        EXPECT_EQ(d.ModalResult(), ui::mrNone);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(d.ModalResult(), ui::mrOk);
    });
    window->btnAddMoreClick();
    const std::vector<std::string> rows = Sorted();
    EXPECT_NE(std::find(rows.begin(), rows.end(), "eve@x.com|Default"), rows.end());
    EXPECT_NE(std::find(rows.begin(), rows.end(), "fay@x.com|Default"), rows.end());
}

TEST_F(MainCommandsTest, ImportReadsAFileChosenInTheDialog) {
    std::ofstream(program.File("more.txt"), std::ios::binary) << "gus@x.com\r\n\r\nhal@x.com\r\n";
    prompts->AnswerFile(program.File("more.txt"));
    auto script = Script<TdlgImport>([](TdlgImport& d) {
        EXPECT_FALSE(d.btnOK->Enabled());
        d.btnbrowseClick();
        EXPECT_TRUE(d.btnOK->Enabled());
        EXPECT_EQ(d.edtcategory->Text(), "Default");
        d.edtcategory->SetText("");
        d.btnOK->Click();
        EXPECT_EQ(d.ModalResult(), ui::mrNone);
        d.edtcategory->SetText("imported");
        d.btnOK->Click();
    });
    window->ImportMailingListEntries1Click();
    auto rows = Sorted();
    EXPECT_NE(std::find(rows.begin(), rows.end(), "gus@x.com|imported"), rows.end());
    EXPECT_NE(std::find(rows.begin(), rows.end(), "hal@x.com|imported"), rows.end());
    EXPECT_EQ(
        prompts->Asked().back().text,
        "Processing of 2 entries has been completed\r\n\r\nAdded: 2, updated: 0, refused: 0.");
}

TEST_F(MainCommandsTest, BackUpCommandsAndTheBackUpOnExit) {
    settings.newbackupfilename = true;
    std::ofstream(program.File("backup.csv")) << "old";
    ASSERT_TRUE(window->SaveBackUpFile(true));
    EXPECT_EQ(prompts->Asked().back().text, "Your backup file has been saved as " + program.Dir() +
                                                "backup_2.csv.  You can view it with Excel or "
                                                "Notepad");
    EXPECT_EQ(testing_support::ProgramDir::Lines(program.File("backup_2.csv")).size(), 4u);

    // A back-up on exit that cannot be written asks before closing.
    settings.BackUpOnExit = true;
    settings.newbackupfilename = false;
    std::filesystem::remove(program.File("backup.csv"));
    std::filesystem::create_directory(program.File("backup.csv"));
    prompts->Answer(ui::mrOk);
    prompts->Answer(ui::mrNo);
    bool can_close = true;
    window->FormCloseQuery(can_close);
    EXPECT_FALSE(can_close) << AskedTexts();
    EXPECT_EQ(prompts->Asked().back().text,
              "An error was encountered saving your back up file.  Do you still want to close?");
}

TEST_F(MainCommandsTest, PrintingWritesTheChosenFieldsUnderTheHeading) {
    std::string pdf = program.File("print.pdf");
    ui::SetPrintToFile(pdf);
    prompts->AnswerPrint(1);
    auto script = Script<TdlgExport>([](TdlgExport& d) {
        EXPECT_EQ(d.Caption(), "Print E-mail List");
        EXPECT_TRUE(d.edtfile->Text().starts_with("Mailing List Print at "));
        for (int i = 2; i < 6; ++i)
            d.cbxFields->SetChecked(i, false);
        d.btnok->Click();
        EXPECT_TRUE(d.Succeeded());
    });
    window->mkPrintClick();
    ui::SetPrintToFile("");
    std::string text_file = program.File("print.txt");
    ASSERT_EQ(std::system(("pdftotext -layout " + pdf + " " + text_file).c_str()), 0);
    std::string text = testing_support::ProgramDir::Read(text_file);
    EXPECT_NE(text.find("ann@x.com,news"), std::string::npos) << text;
    EXPECT_NE(text.find("dee@x.com,events"), std::string::npos) << text;
}

// An entry wider than the paper is printed whole, going on over the next lines.
TEST_F(MainCommandsTest, AWideEntryPrintsWholeOnFollowingLines) {
    strata::TStrataTable& t = database->tblCV();
    const std::string item = std::string(60, 'a') + "@" + std::string(15, 'b') + ".org";
    t.Append();
    t.FieldByName("Item")->SetAsString(item);
    t.FieldByName("Category")->SetAsString(std::string(70, 'c') + "_end");
    t.FieldByName("Name")->SetAsString(std::string(45, 'n') + "_end");
    t.FieldByName("Comments")->SetAsString(std::string(75, 'm') + "_end");
    t.Post();
    std::string pdf = program.File("wide.pdf");
    ui::SetPrintToFile(pdf);
    prompts->AnswerPrint(1);
    auto script = Script<TdlgExport>([](TdlgExport& d) { d.btnok->Click(); });
    window->mkPrintClick();
    ui::SetPrintToFile("");
    std::string text_file = program.File("wide.txt");
    ASSERT_EQ(std::system(("pdftotext " + pdf + " " + text_file).c_str()), 0);
    std::string text = testing_support::ProgramDir::Read(text_file);
    std::erase_if(text, [](char c) { return c == '\n' || c == ' ' || c == '\f'; });
    const std::string line = item + "," + std::string(70, 'c') + "_end," + std::string(45, 'n') +
                             "_end,," + std::string(75, 'm') + "_end,0";
    EXPECT_NE(text.find(line), std::string::npos) << text;
}

// Runs a command line and answers its standard output.
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// A value holding line breaks (an imported name over two lines) prints its lines one under
// the other, never run together into one word.
TEST_F(MainCommandsTest, AValueWithLineBreaksPrintsItsLinesApart) {
    strata::TStrataTable& t = database->tblCV();
    t.Append();
    t.FieldByName("Item")->SetAsString("multi@x.com");
    t.FieldByName("Category")->SetAsString("news");
    t.FieldByName("Name")->SetAsString("Upper\nLower");
    t.FieldByName("Comments")->SetAsString("one\r\ntwo\rthree");
    t.Post();
    std::string pdf = program.File("breaks.pdf");
    ui::SetPrintToFile(pdf);
    prompts->AnswerPrint(1);
    auto script = Script<TdlgExport>([](TdlgExport& d) { d.btnok->Click(); });
    window->mkPrintClick();
    ui::SetPrintToFile("");
    std::vector<std::string> printed;
    std::istringstream text(Output("pdftotext " + pdf + " -"));
    for (std::string line; std::getline(text, line);)
        printed.push_back(line);
    for (const char* gone : {"UpperLower", "onetwo", "twothree"})
        for (const std::string& line : printed)
            EXPECT_EQ(line.find(gone), std::string::npos) << line;
    for (const char* line : {"multi@x.com,news,Upper", "Lower,,one", "two", "three,0"})
        EXPECT_NE(std::find(printed.begin(), printed.end(), line), printed.end()) << line;
}

TEST_F(MainCommandsTest, ALongListPrintsOverSeveralPagesUnderItsHeading) {
    for (int i = 0; i < 300; ++i)
        Add("member" + std::to_string(1000 + i) + "@example.org", i % 2 ? "odd" : "even");
    std::string pdf = program.File("long.pdf");
    ui::SetPrintToFile(pdf);
    prompts->AnswerPrint(1);
    std::string heading;
    auto script = Script<TdlgExport>([&](TdlgExport& d) {
        heading = d.edtfile->Text();
        d.btnok->Click();
        EXPECT_TRUE(d.Succeeded());
    });
    window->mkPrintClick();
    ui::SetPrintToFile("");
    ASSERT_TRUE(heading.starts_with("Mailing List Print at ")) << heading;
    // "Mailing List Print at " + date and time, as the program writes them.
    EXPECT_GT(heading.size(), std::string("Mailing List Print at ").size() + 8);

    const std::string info = Output("pdfinfo " + pdf);
    // The heading names the printed document.
    const std::size_t title = info.find("Title:");
    ASSERT_NE(title, std::string::npos) << info;
    const std::size_t value = info.find_first_not_of(' ', title + 6);
    EXPECT_EQ(info.substr(value, info.find('\n', value) - value), heading);
    const std::string text = Output("pdftotext -layout " + pdf + " -");
    const auto pages = std::count(text.begin(), text.end(), '\f');
    EXPECT_GE(pages, 3) << "304 lines do not fit on two pages";
    for (int i = 0; i < 300; ++i) {
        const std::string line =
            "member" + std::to_string(1000 + i) + "@example.org," + (i % 2 ? "odd" : "even") + ",";
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // Rows are neither repeated at a page break nor lost.
    std::size_t rows = 0;
    for (std::size_t at = text.find("@example.org,"); at != std::string::npos;
         at = text.find("@example.org,", at + 1))
        ++rows;
    EXPECT_EQ(rows, 300u);
}

TEST_F(MainCommandsTest, ExportWritesTheFileNamedInTheDialog) {
    std::string file = program.File("out.csv");
    // The export dialog comes up from inside the option dialog's command.
    auto handler = std::make_unique<ui::ScopedModalHandler>([&](ui::TForm& form) {
        if (auto* choice = dynamic_cast<TdlgExportOption*>(&form)) {
            EXPECT_TRUE(choice->rdbXLS->Enabled());
            choice->btnOK->Click();
            return;
        }
        auto& d = dynamic_cast<TdlgExport&>(form);
        EXPECT_TRUE(d.edtfile->Text().ends_with("CVNExport.csv"));
        d.edtfile->SetText(file);
        d.edtdelimit->SetText(";");
        d.btnok->Click();
    });
    window->ExportMailingListEntries1Click();
    auto lines = testing_support::ProgramDir::Lines(file);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ann@x.com;news;;;;0"), lines.end());
}

// An export without a file name prints its lines, with the export's own separator.
TEST_F(MainCommandsTest, ExportWithoutAFileNamePrintsTheLines) {
    std::string pdf = program.File("export.pdf");
    ui::SetPrintToFile(pdf);
    prompts->AnswerPrint(1);
    auto handler = std::make_unique<ui::ScopedModalHandler>([&](ui::TForm& form) {
        if (auto* choice = dynamic_cast<TdlgExportOption*>(&form)) {
            choice->btnOK->Click();
            return;
        }
        auto& d = dynamic_cast<TdlgExport&>(form);
        d.edtfile->SetText("");
        d.edtdelimit->SetText(";");
        d.btnok->Click();
        EXPECT_TRUE(d.Succeeded());
    });
    window->ExportMailingListEntries1Click();
    ui::SetPrintToFile("");
    std::string text_file = program.File("export.txt");
    ASSERT_EQ(std::system(("pdftotext -layout " + pdf + " " + text_file).c_str()), 0);
    std::string text = testing_support::ProgramDir::Read(text_file);
    EXPECT_NE(text.find("ann@x.com;news;;;;0"), std::string::npos) << text;
}

// Return in the import dialog is its OK button, once a file is chosen: before, it does
// nothing; after, it imports into the category typed.
TEST_F(MainCommandsTest, ImportIsFinishedWithTheReturnKey) {
    std::ofstream(program.File("keyed.txt"), std::ios::binary) << "ida@x.com\r\n";
    prompts->AnswerFile(program.File("keyed.txt"));
    auto script = Script<TdlgImport>([](TdlgImport& d) {
        QApplication::setActiveWindow(&d);
        d.edtcategory->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(d.ModalResult(), ui::mrNone);
        d.btnbrowseClick();
        d.edtcategory->SetText("keyed");
        d.edtcategory->setFocus();
        d.grab().save(QString::fromStdString((kShotDir / "import_dialog.png").string()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(d.ModalResult(), ui::mrOk);
    });
    window->ImportMailingListEntries1Click();
    auto rows = Sorted();
    EXPECT_NE(std::find(rows.begin(), rows.end(), "ida@x.com|keyed"), rows.end());
    EXPECT_TRUE(
        prompts->Asked().back().text.starts_with("Processing of 1 entries has been completed\r\n"));

    // The mapping dialog's OK takes Return as well.
    Tdlgimport2 mapping(nullptr);
    mapping.edtdelimit->SetText(",");
    mapping.SetInputFile(program.File("keyed.txt"));
    mapping.show();
    QApplication::setActiveWindow(&mapping);
    mapping.ListBox3->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(mapping.ModalResult(), ui::mrOk);
}

TEST_F(MainCommandsTest, ImportAndExportCannotBeStartedAgainWhileTheyRun) {
    std::string many;
    for (int i = 0; i < 400; ++i)
        many += "user" + std::to_string(i) + "@x.com\r\n";
    std::ofstream(program.File("many.txt"), std::ios::binary) << many;
    struct Case {
        std::string command;
        std::function<void(ui::TForm&)> finish;  // fills the dialog and starts the loop
        bool cancellable;  // the loop lets events through, so the menu can be reached
    };
    const std::vector<Case> cases = {
        {"ImportMailingListEntries1",
         [&](ui::TForm& form) {
             auto& d = dynamic_cast<TdlgImport&>(form);
             d.edtfile->SetText(program.File("many.txt"));
             d.edtcategory->SetText("many");
             d.btnOK->Click();
         },
         false},
        {"ExportMailingListEntries1",
         [&](ui::TForm& form) {
             if (auto* choice = dynamic_cast<TdlgExportOption*>(&form)) {
                 choice->btnOK->Click();
                 return;
             }
             auto& d = dynamic_cast<TdlgExport&>(form);
             d.edtfile->SetText(program.File("many.csv"));
             d.btnok->Click();
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        ui::TMenuItem* item = window->MainMenu1.Items().Find(c.command);
        ASSERT_NE(item, nullptr);
        int dialogs = 0;
        int tries = 0;
        bool enabled_inside = false;
        // The user chooses the command again, from the menu and by its
        // shortcut, while its dialog is up and while its loop runs.
        auto choose_again = [&] {
            ++tries;
            enabled_inside = enabled_inside || item->Enabled();
            item->Action()->trigger();
            item->Click();
        };
        QTimer again;
        again.setInterval(0);
        QObject::connect(&again, &QTimer::timeout, choose_again);
        ui::ScopedModalHandler handler([&](ui::TForm& form) {
            if (dynamic_cast<TdlgExportOption*>(&form) == nullptr)
                ++dialogs;
            choose_again();
            const int before_loop = tries;
            again.start();
            c.finish(form);
            again.stop();
            if (c.cancellable && dynamic_cast<TdlgExportOption*>(&form) == nullptr) {
                EXPECT_GT(tries, before_loop) << "the loop let no events through";
            }
        });
        prompts->Answer(ui::mrOk);
        item->Click();
        EXPECT_GT(tries, 0);
        EXPECT_FALSE(enabled_inside);
        EXPECT_EQ(dialogs, 1) << "the command ran inside itself";
        EXPECT_TRUE(item->Enabled()) << "enabled again afterwards";
    }
    EXPECT_EQ(testing_support::ProgramDir::Lines(program.File("many.csv")).size(), 404u);
}

TEST_F(MainCommandsTest, SpreadsheetAndPageExportsWriteTheGridsRows) {
    for (const bool spreadsheet : {true, false}) {
        const std::string file = program.File(spreadsheet ? "list.xls" : "list.htm");
        prompts->AnswerFile(file);
        auto handler = std::make_unique<ui::ScopedModalHandler>([&](ui::TForm& form) {
            auto& choice = dynamic_cast<TdlgExportOption&>(form);
            (spreadsheet ? choice.rdbXLS : choice.rdbHTML)->SetChecked(true);
            choice.btnOK->Click();
        });
        window->ExportMailingListEntries1Click();
        const std::string bytes = testing_support::ProgramDir::Read(file);
        ASSERT_GT(bytes.size(), 4u) << file;
        if (spreadsheet) {
            // A worksheet opens with its beginning-of-file record.
            EXPECT_EQ(bytes.substr(0, 2), std::string("\x09\x04", 2));
        } else {
            EXPECT_NE(bytes.find("<HTML>"), std::string::npos);
        }
        EXPECT_NE(bytes.find("ann@x.com"), std::string::npos) << file;
        EXPECT_NE(bytes.find("dee@x.com"), std::string::npos) << file;
    }
}

// A worksheet holds 16,384 rows: a list of 100,000 entries cannot go into one, and the
// user is told so, not only that something failed.
TEST_F(MainCommandsTest, AnExportTheFileCannotHoldNamesItsReason) {
    const std::string file = program.File("big.xls");
    window->OnExportExcel = [](grid::TgxDBGrid&, const std::string&) {
        throw grid::EgxExportError("The worksheet cannot hold more than 16384 rows.");
    };
    prompts->AnswerFile(file);
    auto handler = Script<TdlgExportOption>([](TdlgExportOption& choice) {
        choice.rdbXLS->SetChecked(true);
        choice.btnOK->Click();
    });
    window->ExportMailingListEntries1Click();
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().text,
              "An error was encountered saving your file.\r\n\r\nThe worksheet cannot hold more "
              "than 16384 rows.");
}

TEST_F(MainCommandsTest, FindStandsTheTableOnTheEntryOrKeepsTheDialogOpen) {
    auto script = Script<TdlgFind>([](TdlgFind& d) {
        d.edtField[0]->SetText("zz");
        d.BitBtn2->Click();
        EXPECT_EQ(d.ModalResult(), ui::mrNone);
        d.edtField[0]->SetText("");
        EXPECT_FALSE(d.chkField[0]->Checked());
        d.BitBtn2->Click();
        EXPECT_EQ(d.ModalResult(), ui::mrNone);
        d.edtField[0]->SetText("CI");
        d.BitBtn2->Click();
    });
    window->mkFindRecordClick();
    EXPECT_EQ(database->tblCV().FieldByName("Item")->AsString(), "cid@x.com");
    ASSERT_GE(prompts->Asked().size(), 2u);
    EXPECT_EQ(prompts->Asked()[prompts->Asked().size() - 2].text,
              "A record could not be found for the entries you specified");
    EXPECT_EQ(prompts->Asked().back().text, "You have not entered anything to search for!");
}

// A grid command after a find works on the found entry, not on the row chosen before it.
TEST_F(MainCommandsTest, FindChoosesTheFoundRowInTheGrid) {
    strata::TStrataTable& t = database->tblCV();
    auto key_of = [&](const char* item) {
        EXPECT_TRUE(t.Locate("Item", db::Variant(item), {}));
        return t.FieldByName("Index")->AsInteger();
    };
    const std::int32_t ann = key_of("ann@x.com");
    const std::int32_t cid = key_of("cid@x.com");
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    g.ClearSelection();
    g.FindNodeByKeyValue(db::Variant(ann))->SetSelected(true);
    auto script = Script<TdlgFind>([](TdlgFind& d) {
        d.edtField[0]->SetText("cid");
        d.BitBtn2->Click();
    });
    window->mkFindRecordClick();
    ASSERT_EQ(g.GetSelectedCount(), 1);
    auto* chosen = dynamic_cast<grid::TgxDBGridNode*>(g.GetSelectedItem(0));
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->Key.AsInteger(), cid);

    prompts->Answer(ui::mrYes);
    window->DeleteRecord1Click();
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"ann@x.com|news", "bob@x.com|newsletter",
                                                  "dee@x.com|events"}));
}

// A find in a long list only moves the grid's focus to the entry found: the grid keeps its
// rows, in the order a header click gave them, instead of reading every entry again (seconds
// at 100,000 entries).
TEST_F(MainCommandsTest, FindKeepsTheGridsRowsAndFocusesTheEntryFound) {
    for (int i = 0; i < 40; ++i)
        Add("m" + std::to_string(i) + "@x.com", i % 2 != 0 ? "news" : "sport");
    window->UpdateDisplay();
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    g.ColumnByFieldName("Category")->SetSorted(grid::csDown);
    const auto keys = [&] {
        std::vector<std::int64_t> shown;
        for (int i = 0; i < g.Count(); ++i)
            shown.push_back(static_cast<grid::TgxDBGridNode*>(g.Items(i))->Key.AsInteger());
        return shown;
    };
    const std::vector<std::int64_t> before = keys();
    ASSERT_EQ(before.size(), 44u);
    const std::int64_t read = g.RecordsRead();
    auto script = Script<TdlgFind>([](TdlgFind& d) {
        d.edtField[0]->SetText("M17@");
        d.BitBtn2->Click();
    });
    window->mkFindRecordClick();
    strata::TStrataTable& t = database->tblCV();
    EXPECT_EQ(t.FieldByName("Item")->AsString(), "m17@x.com");
    EXPECT_LT(g.RecordsRead() - read, 5) << "the grid read the list again";
    EXPECT_EQ(keys(), before);
    auto* focused = dynamic_cast<grid::TgxDBGridNode*>(g.GetFocusedNode());
    ASSERT_NE(focused, nullptr);
    EXPECT_EQ(focused->Key.AsInteger(), t.FieldByName("Index")->AsInteger());
    ASSERT_EQ(g.GetSelectedCount(), 1);
    EXPECT_EQ(g.GetSelectedItem(0), focused);
}

TEST_F(MainCommandsTest, OpenDatabaseFailureKeepsTheOpenOneAndReopenChecksTheFolder) {
    std::string other = program.File("other");
    std::filesystem::create_directory(other);
    prompts->Answer(ui::mrNo);  // no database is to be created there
    auto script = Script<TdlgOpenDB>([&](TdlgOpenDB& d) {
        d.edtpath->SetText(other);
        d.BitBtn1->Click();
    });
    EXPECT_FALSE(window->PromptToLoadDB());
    EXPECT_TRUE(database->tblCV().Active());
    EXPECT_EQ(database->tblCV().RecordCount(), 4);

    window->mkreopenonclick(program.File("gone"));
    EXPECT_EQ(prompts->Asked().back().text,
              "Corvane cannot locate this database.  Please use File|Open Database to load it.");
    EXPECT_FALSE(window->mkReopen->Enabled()) << "one recent database";
}

TEST_F(MainCommandsTest, TableCommandsAskFirstAndKeepTheWindowCurrent) {
    prompts->Answer(ui::mrOk);
    prompts->Answer(ui::mrYes);
    Add("ANN@x.com", "sport");
    window->MergeAllCategories1Click();
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"ann@x.com|Default", "bob@x.com|Default",
                                                  "cid@x.com|Default", "dee@x.com|Default"}));
    EXPECT_EQ(window->lblcount->Caption(), "  4 Records");

    prompts->Answer(ui::mrNo);
    window->DeleteAllEntries1Click();
    EXPECT_EQ(database->tblCV().RecordCount(), 4);
    prompts->Answer(ui::mrYes);
    window->DeleteAllEntries1Click();
    EXPECT_EQ(database->tblCV().RecordCount(), 0);
    prompts->Answer(ui::mrOk);
    window->OptimizeDatabase1Click();
    EXPECT_TRUE(database->tblCV().Active());
    EXPECT_EQ(prompts->Unscripted(), 0);
}

// The cursor the user sees now: the override's shape, or none.
std::optional<Qt::CursorShape> CursorNow() {
    if (const QCursor* cursor = QApplication::overrideCursor())
        return cursor->shape();
    return std::nullopt;
}

// Scripted answers that also note the cursor under each box and print dialog.
class CursorNotingPrompts : public ui::ScriptedPromptService {
  public:
    ui::TModalResult Ask(const ui::PromptRequest& request) override {
        at_boxes.push_back(CursorNow());
        return ScriptedPromptService::Ask(request);
    }
    std::optional<int> ChoosePrint(const ui::PrintRequest& request) override {
        at_print_dialog = CursorNow();
        return ScriptedPromptService::ChoosePrint(request);
    }
    std::vector<std::optional<Qt::CursorShape>> at_boxes;
    std::optional<Qt::CursorShape> at_print_dialog;
};

// Reading the list into the window, opening a database, changing an address over its
// rows and printing keep the user waiting: each shows the hourglass while it works, and
// the ordinary cursor is back afterwards, whether the step succeeded or failed.
TEST_F(MainCommandsTest, LongStepsShowTheHourglassAndGiveTheCursorBack) {
    std::vector<std::optional<Qt::CursorShape>> seen;
    auto note = [&seen](db::TDataSet*) { seen.push_back(CursorNow()); };
    strata::TStrataTable& t = database->tblCV();
    const auto all_waiting = [&seen] {
        return !seen.empty() &&
               std::ranges::all_of(seen, [](auto shape) { return shape == Qt::WaitCursor; });
    };

    // The window reads the list when it is shown.
    window.reset();
    window = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                        ListServices{settings, *database, errors, *entries});
    t.AfterScroll = note;
    window->Show();
    t.AfterScroll = nullptr;
    EXPECT_TRUE(all_waiting()) << seen.size() << " rows read";
    EXPECT_EQ(CursorNow(), std::nullopt);

    seen.clear();
    t.AfterOpen = note;
    window->mkreopenonclick(program.Dir());
    t.AfterOpen = nullptr;
    EXPECT_TRUE(all_waiting()) << seen.size() << " opens";
    EXPECT_EQ(CursorNow(), std::nullopt);

    seen.clear();
    t.AfterPost = note;
    EXPECT_TRUE(entries->ChangeEmailAddress("ann@x.com", "ann@y.com", false, false));
    t.AfterPost = nullptr;
    EXPECT_TRUE(all_waiting()) << seen.size() << " rows changed";
    EXPECT_EQ(CursorNow(), std::nullopt);

    auto service = std::make_unique<CursorNotingPrompts>();
    CursorNotingPrompts& noting = *service;
    ui::ScopedPromptService scope(std::move(service));

    // A folder without a database, and none to be created there.
    std::filesystem::create_directory(program.File("empty"));
    noting.Answer(ui::mrNo);
    database->OpenDatabase(program.File("empty"));
    EXPECT_EQ(database->Directory(), program.Dir()) << "the open database stays";
    EXPECT_EQ(noting.at_boxes, (std::vector<std::optional<Qt::CursorShape>>{Qt::WaitCursor}));
    EXPECT_EQ(CursorNow(), std::nullopt);

    // A printer that cannot be started: the choice of printer is the user's, with the
    // ordinary cursor; the failure is reported while the printing still holds the hourglass.
    noting.at_boxes.clear();
    ui::SetPrintToFile(program.File("missing/folder/print.pdf"));
    noting.AnswerPrint(1);
    auto script = Script<TdlgExport>([](TdlgExport& d) {
        d.btnok->Click();
        EXPECT_FALSE(d.Succeeded());
    });
    window->mkPrintClick();
    ui::SetPrintToFile("");
    EXPECT_EQ(noting.at_print_dialog, std::nullopt);
    ASSERT_EQ(noting.Asked().size(), 2u);
    EXPECT_EQ(noting.Asked()[1].text,
              "An error was encountered printing the file, , check you have sufficient disk "
              "space and try again.");
    EXPECT_EQ(noting.at_boxes, (std::vector<std::optional<Qt::CursorShape>>{Qt::WaitCursor}));
    EXPECT_EQ(CursorNow(), std::nullopt);
}

// Closing the manual entry and import dialogs writes the list out to disk; the user waits
// for that under the hourglass, and has the ordinary cursor back afterwards.
TEST_F(MainCommandsTest, DialogsClosingWriteTheListOutUnderTheHourglass) {
    std::vector<std::optional<Qt::CursorShape>> seen;
    sync_noting_thread = std::this_thread::get_id();
    on_sync = [&seen] { seen.push_back(CursorNow()); };
    const auto all_waiting = [&seen] {
        return !seen.empty() &&
               std::ranges::all_of(seen, [](auto shape) { return shape == Qt::WaitCursor; });
    };

    Add("eve@x.com", "news");
    auto script = Script<TdlgEnterMore>([](TdlgEnterMore& d) { d.SetModalResult(ui::mrCancel); });
    window->btnAddMoreClick();
    EXPECT_TRUE(all_waiting()) << seen.size() << " syncs closing the manual entry";
    EXPECT_EQ(CursorNow(), std::nullopt);

    seen.clear();
    Add("fay@x.com", "news");
    script.reset();
    script = Script<TdlgImport>([](TdlgImport& d) { d.SetModalResult(ui::mrCancel); });
    window->ImportMailingListEntries1Click();
    on_sync = nullptr;
    EXPECT_TRUE(all_waiting()) << seen.size() << " syncs closing the import";
    EXPECT_EQ(CursorNow(), std::nullopt);
}

// Optimizing closes the tables while its progress repaints the window: the grid must not
// draw the list's fields in the meantime, and shows the whole list again afterwards.
TEST_F(MainCommandsTest, OptimizingAListOnScreenRedrawsItSafely) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    ASSERT_EQ(g.GetAbsoluteCount(), 4);
    prompts->Answer(ui::mrOk);
    window->OptimizeDatabase1Click();
    EXPECT_EQ(prompts->Unscripted(), 0) << AskedTexts();
    EXPECT_TRUE(database->tblCV().Active());
    EXPECT_EQ(g.GetAbsoluteCount(), 4);
    EXPECT_EQ(g.GetCellText(g.GetAbsoluteNode(0), 0), "ann@x.com");
    EXPECT_EQ(window->lblcount->Caption(), "  4 Records");
}

TEST_F(MainCommandsTest, ClosingSavesTheErrorsListAndSettings) {
    errors.AddToErrorsList(1, "bad@", "news");
    settings.defaultcategory = "General";
    window->Close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(testing_support::ProgramDir::Lines(program.File("errors.txt")),
              std::vector<std::string>{"ADD bad@ news"});
    Settings loaded;
    Loadentries(loaded, program.Dir());
    EXPECT_EQ(loaded.defaultcategory, "General");

    // The log command offers to switch logging on when it is off.
    settings.MaintainLog = false;
    prompts->Answer(ui::mrYes);
    window->mkDisplayLogClick();
    EXPECT_TRUE(settings.MaintainLog);
}

}  // namespace
}  // namespace app
