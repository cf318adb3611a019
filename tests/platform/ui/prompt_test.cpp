#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>

#include "platform/ui/prompt.h"

namespace ui {
namespace {

TEST(Prompt, ScriptedAnswersAreGivenInOrderAndRecorded) {
    auto service = std::make_unique<ScriptedPromptService>();
    ScriptedPromptService& script = *service;
    ScopedPromptService scope(std::move(service));
    script.Answer(mrNo);
    script.Answer(mrYes);
    EXPECT_EQ(MessageDlg("First?", mtConfirmation, mbYesNo), mrNo);
    EXPECT_EQ(MessageBox("Delete record?", "Confirm", mtConfirmation, mbOKCancel), mrYes);
    ASSERT_EQ(script.Asked().size(), 2u);
    EXPECT_EQ(script.Asked()[0].text, "First?");
    EXPECT_EQ(script.Asked()[0].type, mtConfirmation);
    EXPECT_EQ(script.Asked()[1].caption, "Confirm");
    EXPECT_TRUE(script.Asked()[1].buttons.Contains(mbCancel));
    EXPECT_EQ(script.Unscripted(), 0);
}

TEST(Prompt, UnscriptedBoxesTakeTheDefaultButtonAndAreCounted) {
    auto service = std::make_unique<ScriptedPromptService>();
    ScriptedPromptService& script = *service;
    ScopedPromptService scope(std::move(service));
    struct Case {
        TMsgDlgButtons buttons;
        TModalResult expected;
    };
    const Case cases[] = {{mbYesNo, mrYes},
                          {mbOKCancel, mrOk},
                          {{mbAbort}, mrAbort},
                          {{mbNo, mbCancel}, mrNo},
                          {{}, mrOk}};
    for (const Case& c : cases)
        EXPECT_EQ(MessageDlg("x", mtWarning, c.buttons), c.expected);
    EXPECT_EQ(script.Unscripted(), 5);
}

TEST(Prompt, InputBoxKeepsTheDefaultWhenCancelled) {
    auto service = std::make_unique<ScriptedPromptService>();
    ScriptedPromptService& script = *service;
    ScopedPromptService scope(std::move(service));
    script.AnswerInput("someone@example.com");
    script.AnswerInput(std::nullopt);
    EXPECT_EQ(InputBox("Test Message Recipient", "Enter an e-mail address", ""),
              "someone@example.com");
    std::string value = "kept";
    EXPECT_FALSE(InputQuery("c", "p", value));
    EXPECT_EQ(value, "kept");
    ASSERT_EQ(script.InputsAsked().size(), 2u);
    EXPECT_EQ(script.InputsAsked()[0].caption, "Test Message Recipient");
}

TEST(Prompt, ScopedServiceRestoresThePreviousOne) {
    auto outer = std::make_unique<ScriptedPromptService>();
    ScriptedPromptService* outer_ptr = outer.get();
    ScopedPromptService outer_scope(std::move(outer));
    {
        ScopedPromptService inner(std::make_unique<ScriptedPromptService>());
        EXPECT_NE(&Prompts(), outer_ptr);
    }
    EXPECT_EQ(&Prompts(), outer_ptr);
}

TEST(Prompt, ModalResultsKeepTheirNumbers) {
    EXPECT_EQ(ModalResultOf(mbOK), 1);
    EXPECT_EQ(ModalResultOf(mbCancel), 2);
    EXPECT_EQ(ModalResultOf(mbYes), 6);
    EXPECT_EQ(ModalResultOf(mbNo), 7);
    EXPECT_EQ(DefaultCaption(mtWarning), "Warning");
    EXPECT_EQ(DefaultCaption(mtConfirmation), "Confirmation");
}

// Descriptions that name their patterns are not shown with them a second time, and the
// patterns come out in the form Qt filters by.
TEST(Prompt, FileFiltersNameEachPatternOnce) {
    struct Case {
        const char* filter;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"Comma-delimited Files (*.csv,*.txt)|*.csv;*.txt",
         {"Comma-delimited Files (*.csv *.txt)"}},
        {"Comma Seperated Value (*.csv)|*.csv|Text File (*.txt)|*.txt",
         {"Comma Seperated Value (*.csv)", "Text File (*.txt)"}},
        {"HTML Files (*.htm;*.html)|*.htm;*.html", {"HTML Files (*.htm *.html)"}},
        {"All Files|*.*", {"All Files (*)"}},
        {"Pictures|*.bmp; *.ico;;", {"Pictures (*.bmp *.ico)"}},
        {"(*.txt)|*.txt", {"*.txt (*.txt)"}},
        {"Odd|", {"Odd (*)"}},
        {"No patterns", {}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(QtNameFilters(c.filter), c.expected) << c.filter;
}

// Qt's own file dialog reads the filters as meant: it shows the import filter's files and
// no others, and "All Files" also shows a file without an extension.
TEST(Prompt, FileDialogListsTheFilesOfTheChosenFilter) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* name : {"a.csv", "b.txt", "c.doc", "readme"}) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    QStringList filters;
    for (const std::string& f :
         QtNameFilters("Comma-delimited Files (*.csv,*.txt)|*.csv;*.txt|All Files|*.*"))
        filters << QString::fromStdString(f);
    QFileDialog dialog(nullptr, "Open", dir.path());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters(filters);
    dialog.resize(640, 400);
    dialog.show();
    auto shown = [&] {
        QStringList names;
        auto* view = dialog.findChild<QListView*>("listView");
        if (view == nullptr || view->model() == nullptr)
            return names;
        const QModelIndex root = view->rootIndex();
        for (int r = 0; r < view->model()->rowCount(root); ++r)
            if (!view->isRowHidden(r))
                names << view->model()->index(r, 0, root).data().toString();
        names.sort();
        return names;
    };
    const QStringList import_files{"a.csv", "b.txt"};
    (void)QTest::qWaitFor([&] { return shown() == import_files; }, 5000);
    EXPECT_EQ(shown().join(",").toStdString(), import_files.join(",").toStdString());
    auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->itemText(0), "Comma-delimited Files (*.csv *.txt)");
    dialog.grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/file_dialog_filters.png");
    dialog.selectNameFilter(filters[1]);
    const QStringList all_files{"a.csv", "b.txt", "c.doc", "readme"};
    (void)QTest::qWaitFor([&] { return shown() == all_files; }, 5000);
    EXPECT_EQ(shown().join(",").toStdString(), all_files.join(",").toStdString());
}

}  // namespace
}  // namespace ui
