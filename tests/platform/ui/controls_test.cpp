#include <gtest/gtest.h>

#include <QMenuBar>
#include <QPrinter>
#include <QTest>
#include <QVBoxLayout>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "platform/db/exception.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/form.h"
#include "platform/ui/menus.h"
#include "platform/ui/page_control.h"
#include "platform/ui/printer.h"
#include "platform/ui/prompt.h"

namespace ui {
namespace {

struct Dialog : TForm {
    Dialog() {
        ok = new TButton(Client(), "OK");
        ok->SetModalResult(mrOk);
        cancel = new TButton(Client(), "Cancel");
        cancel->SetModalResult(mrCancel);
        ClientLayout()->addWidget(ok);
        ClientLayout()->addWidget(cancel);
    }
    TButton* ok;
    TButton* cancel;
};

TEST(Form, ButtonsCloseAModalFormWithTheirResultUnlessOnClickKeepsItOpen) {
    struct Case {
        bool refuse;
        bool press_cancel;
        TModalResult expected;
    };
    for (Case c :
         {Case{false, false, mrOk}, Case{true, false, mrCancel}, Case{false, true, mrCancel}}) {
        Dialog dialog;
        int shown = 0;
        dialog.OnShow = [&] { ++shown; };
        // A check that fails sets the result back to none, as dialogs do on OK.
        dialog.ok->OnClick = [&] {
            if (c.refuse)
                dialog.SetModalResult(mrNone);
        };
        TModalResult during = -1;
        ScopedModalHandler script([&](TForm& form) {
            EXPECT_EQ(ActiveForm(), &form);
            (c.press_cancel ? dialog.cancel : dialog.ok)->Click();
            during = form.ModalResult();
        });
        EXPECT_EQ(dialog.ShowModal(), c.expected);
        EXPECT_EQ(shown, 1);
        EXPECT_EQ(during, c.refuse ? mrNone : c.expected);
        EXPECT_FALSE(dialog.Modal());
        EXPECT_NE(ActiveForm(), &dialog);
    }
}

TEST(Form, DisabledButtonsDoNothingAndOnCloseRunsAfterAModalShow) {
    Dialog dialog;
    dialog.ok->SetEnabled(false);
    int closed = 0;
    dialog.OnClose = [&] { ++closed; };
    ScopedModalHandler script([&](TForm&) { dialog.ok->Click(); });
    EXPECT_EQ(dialog.ShowModal(), mrCancel);
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(dialog.ok->Enabled());
    EXPECT_TRUE(dialog.cancel->Enabled());
}

// Enter runs the form's default command only where no other button has the focus: after
// a click on a side button, the next Enter presses that button again (or a text editor
// takes it as a line break), never the default.
TEST(Form, EnterPressesTheFocusedButtonElseTheDefaultButNeverInsideAMemo) {
    Dialog dialog;
    dialog.ok->SetDefault(true);
    auto* side = new TButton(dialog.Client(), "Paste");
    auto* edit = new TEdit(dialog.Client());
    auto* memo = new TMemo(dialog.Client());
    for (QWidget* w : std::initializer_list<QWidget*>{side, edit, memo})
        dialog.ClientLayout()->addWidget(w);
    int ok_clicks = 0, side_clicks = 0;
    dialog.ok->OnClick = [&] { ++ok_clicks; };
    side->OnClick = [&] { ++side_clicks; };
    dialog.Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    struct Case {
        QWidget* focus;
        int ok, side;
    };
    for (Case c : {Case{side, 0, 1}, Case{memo, 0, 0}, Case{edit, 1, 0}}) {
        ok_clicks = side_clicks = 0;
        c.focus->setFocus();
        QApplication::processEvents();
        ASSERT_EQ(QApplication::focusWidget(), c.focus);
        QTest::keyClick(c.focus, Qt::Key_Return);
        EXPECT_EQ(ok_clicks, c.ok) << c.focus->metaObject()->className();
        EXPECT_EQ(side_clicks, c.side) << c.focus->metaObject()->className();
    }
    EXPECT_EQ(memo->toPlainText(), "\n") << "the memo took its Enter as a line break";
    // A disabled focused button swallows Enter instead of passing it to the default.
    side->setFocus();
    side->SetEnabled(false);
    ok_clicks = 0;
    if (QApplication::focusWidget() == side) {
        QTest::keyClick(side, Qt::Key_Return);
        EXPECT_EQ(ok_clicks, 0);
    }
}

TEST(Form, CloseQueryCanRefuseClosingAnOrdinaryForm) {
    TForm form(nullptr, false);
    bool allow = false;
    form.OnCloseQuery = [&](bool& can_close) { can_close = allow; };
    form.show();
    form.Close();
    EXPECT_TRUE(form.isVisible());
    allow = true;
    form.Close();
    EXPECT_FALSE(form.isVisible());
}

TEST(Controls, ExceptionsInHandlersStopAtTheBoundary) {
    std::string shown;
    SetExceptionHandler([&](const std::string& m) { shown = m; });
    TForm form;
    auto* button = new TButton(form.Client(), "Go");
    button->OnClick = [] { throw std::runtime_error("button failed"); };
    EXPECT_NO_THROW(button->Click());
    EXPECT_EQ(shown, "button failed");
    TMenuItem item("Do");
    item.OnClick = [] { throw std::runtime_error("menu failed"); };
    EXPECT_NO_THROW(item.Action()->trigger());
    EXPECT_EQ(shown, "menu failed");
    SetExceptionHandler(nullptr);
}

TEST(Controls, ChangeEventsFireForCodeOrOnlyForTheUserAsTheClassLibraryDoes) {
    TForm form;
    QWidget* parent = form.Client();
    int edit = 0, check = 0, radio = 0, spin = 0, combo = 0, memo = 0;
    auto* e = new TEdit(parent);
    e->OnChange = [&] { ++edit; };
    auto* c = new TCheckBox(parent, "Check");
    c->OnClick = [&] { ++check; };
    auto* r1 = new TRadioButton(parent, "One");
    auto* r2 = new TRadioButton(parent, "Two");
    r1->OnClick = [&] { ++radio; };
    auto* s = new TSpinEdit(parent);
    s->SetRange(0, 100);
    s->OnChange = [&] { ++spin; };
    auto* cb = new TComboBox(parent, csDropDownList);
    cb->Items().SetText("a\nb\n");
    cb->OnChange = [&] { ++combo; };
    auto* m = new TMemo(parent);
    m->OnChange = [&] { ++memo; };

    e->SetText("x");
    e->SetText("x");
    c->SetChecked(true);
    c->SetChecked(true);
    r1->SetChecked(true);
    r2->SetChecked(true);  // unchecks r1 without a click on it
    s->SetValue(5);
    cb->SetItemIndex(1);
    m->Lines().Add("line");
    EXPECT_EQ(edit, 1);
    EXPECT_EQ(check, 1);
    EXPECT_EQ(radio, 1);
    EXPECT_FALSE(r1->Checked());
    EXPECT_EQ(spin, 1);
    EXPECT_EQ(combo, 0);
    EXPECT_EQ(cb->Text(), "b");
    EXPECT_EQ(memo, 1);

    r2->SetChecked(false);
    EXPECT_FALSE(r2->Checked());
    EXPECT_FALSE(r1->Checked());
}

TEST(Controls, MemoLinesCountWithoutATrailingEmptyLine) {
    TMemo memo(nullptr);
    EXPECT_EQ(memo.Lines().Count(), 0);
    memo.SetText("a\nb\n");
    EXPECT_EQ(memo.Lines().Count(), 2);
    memo.Lines().Insert(1, "mid");
    memo.Lines().Add("end");
    EXPECT_EQ(memo.Lines().ToVector(), (std::vector<std::string>{"a", "mid", "b", "end"}));
    memo.Lines().Delete(0);
    EXPECT_EQ(memo.Text(), "mid\nb\nend");
    memo.Lines().Clear();
    EXPECT_EQ(memo.Lines().Count(), 0);
}

TEST(Controls, ListBoxSelectsSeveralItemsAndKeepsSortedItemsInOrder) {
    TListBox list(nullptr);
    list.SetSorted(true);
    for (const char* text : {"pear", "Apple", "fig"})
        list.Items().Add(text);
    EXPECT_EQ(list.Items().ToVector(), (std::vector<std::string>{"Apple", "fig", "pear"}));
    EXPECT_EQ(list.Items().IndexOf("FIG"), 1);

    list.SetSelected(0, true);
    list.SetSelected(2, true);
    EXPECT_EQ(list.SelCount(), 1) << "a single-select list keeps one choice";
    list.SetMultiSelect(true);
    list.SetSelected(0, true);
    list.SetSelected(1, true);
    EXPECT_EQ(list.SelCount(), 3);
    EXPECT_TRUE(list.Selected(1));
    list.ClearSelection();
    EXPECT_EQ(list.SelCount(), 0);
    EXPECT_THROW(list.Selected(3), db::EListError);

    TCheckListBox checks(nullptr);
    checks.Items().SetText("E-mail\nCategory\n");
    checks.SetChecked(1, true);
    EXPECT_FALSE(checks.Checked(0));
    EXPECT_TRUE(checks.Checked(1));
}

TEST(Controls, RadioGroupChoosesOneItem) {
    TRadioGroup group(nullptr, "Choice");
    group.Items().Add("first");
    group.Items().Add("second");
    EXPECT_EQ(group.ItemIndex(), -1);
    group.SetItemIndex(1);
    EXPECT_EQ(group.ItemIndex(), 1);
    group.SetItemIndex(-1);
    EXPECT_EQ(group.ItemIndex(), -1);
    group.Items().Delete(0);
    EXPECT_EQ(group.Items().Count(), 1);
}

TEST(Menus, ClicksRunHandlersWithoutTogglingTheCheckMark) {
    TMainMenu menu;
    TMenuItem& file = menu.Add("&File", "mkFile");
    int clicks = 0;
    TMenuItem& item = file.Add("Allow", "mkAllow", [&] { ++clicks; });
    item.SetChecked(true);
    item.Action()->trigger();
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(item.Checked());
    EXPECT_TRUE(item.Action()->isChecked());
    item.SetEnabled(false);
    item.Click();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(menu.Items().Find("mkAllow"), &item);
    // A separator reads "-" yet draws no text beside its line.
    file.AddSeparator();
    TMenuItem& separator = file.Items(file.Count() - 1);
    EXPECT_TRUE(separator.Action()->isSeparator());
    EXPECT_TRUE(separator.Action()->text().isEmpty());
    EXPECT_EQ(separator.Caption(), "-");
    file.Clear();
    EXPECT_EQ(file.Count(), 0);
    QMenuBar bar;
    menu.AttachTo(bar);
    EXPECT_EQ(bar.actions().size(), 1);
}

TEST(PageControl, OnChangeFiresForTheUserOnly) {
    TPageControl pages(nullptr);
    auto* one = new TTabSheet(pages, "General");
    auto* two = new TTabSheet(pages, "Scanning");
    int changes = 0;
    pages.OnChange = [&] { ++changes; };
    pages.SetActivePage(two);
    EXPECT_EQ(pages.ActivePage(), two);
    EXPECT_EQ(changes, 0);
    pages.show();
    QTest::mouseClick(pages.tabBar(), Qt::LeftButton, {}, pages.tabBar()->tabRect(0).center());
    EXPECT_EQ(pages.ActivePage(), one);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(two->PageIndex(), 1);
    EXPECT_EQ(two->Caption(), "Scanning");
}

TEST(FileDialog, AnswersFromThePromptServiceAndAddsTheDefaultExtension) {
    auto service = std::make_unique<ScriptedPromptService>();
    ScriptedPromptService& script = *service;
    ScopedPromptService scope(std::move(service));
    script.AnswerFile("/tmp/out");
    script.AnswerFile(std::nullopt);
    TSaveDialog save;
    save.SetFileName("CVNExport.csv");
    save.SetFilter("Comma-delimited Files (*.csv)|*.csv");
    save.SetDefaultExt("csv");
    EXPECT_TRUE(save.Execute());
    EXPECT_EQ(save.FileName(), "/tmp/out.csv");
    EXPECT_FALSE(save.Execute());
    ASSERT_EQ(script.FilesAsked().size(), 2u);
    EXPECT_TRUE(script.FilesAsked()[0].save);
    EXPECT_EQ(script.FilesAsked()[0].file_name, "CVNExport.csv");
}

// The print dialog's choice (here a PDF file) is where the lines go, and the
// printer makes one copy per job, since callers print each copy themselves.
class PdfChoosingPrompts : public ScriptedPromptService {
  public:
    explicit PdfChoosingPrompts(std::string pdf) : pdf_(std::move(pdf)) {}
    std::optional<int> ChoosePrint(const PrintRequest& request) override {
        if (request.printer == nullptr)
            return std::nullopt;
        request.printer->setOutputFormat(QPrinter::PdfFormat);
        request.printer->setOutputFileName(QString::fromStdString(pdf_));
        request.printer->setCopyCount(3);
        copies_seen = request.printer->copyCount();
        return 3;
    }
    int copies_seen = 0;

  private:
    std::string pdf_;
};

TEST(Printer, PrintsWhereTheDialogChoseOneCopyPerJob) {
    const std::filesystem::path pdf = std::filesystem::temp_directory_path() /
                                      ("corvane-printer-" + std::to_string(::getpid()) + ".pdf");
    auto service = std::make_unique<PdfChoosingPrompts>(pdf.string());
    PdfChoosingPrompts* prompts = service.get();
    ScopedPromptService scope(std::move(service));
    TPrinter printer;
    ASSERT_EQ(printer.ChooseCopies("Title"), 3);
    EXPECT_EQ(prompts->copies_seen, 3);
    const std::vector<std::string> lines = {"first line", "second line"};
    printer.PrintLines("Title", lines);
    EXPECT_TRUE(std::filesystem::exists(pdf));
    EXPECT_GT(std::filesystem::file_size(pdf), 0u);
    std::filesystem::remove(pdf);
}

}  // namespace
}  // namespace ui
