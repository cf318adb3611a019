#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QImage>
#include <QTest>

#include <fstream>

#include <memory>
#include <string>
#include <vector>

#include "app/forms/advanced_settings_dialog.h"
#include "app/forms/options_dialog.h"
#include "app/list/settings.h"
#include "platform/ui/form.h"
#include "platform/ui/shell.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

class OptionsTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        SaveEntries(settings, program.Dir());
        dialog = std::make_unique<Tdlgoptions>(nullptr,
                                               ListServices{settings, *database, errors, *entries});
        dialog->FormShow();
    }
    // Edits a list through the editor, typing text into it.
    bool Edit(ui::TButton& button, const std::string& text) {
        ui::ScopedModalHandler script([&](ui::TForm& form) {
            auto& editor = dynamic_cast<Tdlgeditentries&>(form);
            editor.memEntries->SetText(text);
            editor.btnOK->Click();
        });
        button.Click();
        return true;
    }
    std::unique_ptr<Tdlgoptions> dialog;
};

TEST_F(OptionsTest, OkWithoutAMembersFolderStaysOnTheUserSendingPageYetSaves) {
    dialog->chkautoscan_timed->SetChecked(true);
    dialog->spnAutoScanDelay->SetValue(90);
    dialog->chkUserSending->SetChecked(true);
    dialog->edtdefaultcategory->SetText("");
    dialog->SetModalResult(ui::mrNone);
    dialog->BitBtn1->Click();
    EXPECT_EQ(dialog->ModalResult(), ui::mrNone);
    EXPECT_EQ(dialog->ActivePage()->Caption(), "User Sending");
    Settings saved;
    Loadentries(saved, program.Dir());
    EXPECT_TRUE(saved.AutoScanDelayed);
    EXPECT_EQ(saved.AutoScanDelayedTime, 90);
    EXPECT_EQ(saved.defaultcategory, "Default");
    EXPECT_EQ(settings.AlternativeCategory, "Default");

    dialog->edtUserSendingFolder->SetText("Members");
    dialog->rdbsingleemail->SetChecked(true);
    dialog->BitBtn1->Click();
    EXPECT_EQ(dialog->ModalResult(), ui::mrOk);
    EXPECT_EQ(settings.SendCount, 1);
}

// Switching a list that gets one message each to several recipients per message starts
// from the usual batch, not from one recipient, which would leave the sending unchanged.
TEST_F(OptionsTest, SeveralRecipientsPerMessageStartFromFiveHundred) {
    settings.SendCount = 1;
    dialog =
        std::make_unique<Tdlgoptions>(nullptr, ListServices{settings, *database, errors, *entries});
    dialog->FormShow();
    EXPECT_TRUE(dialog->rdbsingleemail->Checked());
    EXPECT_FALSE(dialog->spnmaxsendcount->Enabled());
    dialog->rdbmultiemail->SetChecked(true);
    EXPECT_TRUE(dialog->spnmaxsendcount->Enabled());
    dialog->BitBtn1->Click();
    EXPECT_EQ(settings.SendCount, 500);
    settings.SendCount = 40;
    dialog->FormShow();
    EXPECT_EQ(dialog->spnmaxsendcount->Value(), 40);
}

TEST_F(OptionsTest, EditedListsFollowTheirRules) {
    Edit(*dialog->btnsubsynonyms, "join\nADD\nJoin\nsubscribe\n");
    EXPECT_EQ(dialog->lbxAddStrings->Items().ToVector(),
              (std::vector<std::string>{"ADD", "JOIN", "SUBSCRIBE"}));
    prompts->Answer(ui::mrOk);
    dialog->rdbrestrictcategories->SetChecked(true);
    Edit(*dialog->edtcategories, "a,b\nNews\n");
    EXPECT_EQ(dialog->lbxcategories->Items().ToVector(), (std::vector<std::string>{"a_b", "news"}));
    EXPECT_EQ(dialog->edtdefaultcategory->Items().ToVector(),
              (std::vector<std::string>{"a_b", "news"}));
}

// Tab leaves a list being edited for its buttons instead of writing into an entry.
TEST_F(OptionsTest, TabLeavesTheEditedListWithoutEnteringIt) {
    dialog->rdbrestrictcategories->SetChecked(true);
    ui::ScopedModalHandler script([&](ui::TForm& form) {
        auto& editor = dynamic_cast<Tdlgeditentries&>(form);
        QApplication::setActiveWindow(&editor);
        editor.memEntries->setFocus();
        QTest::keyClicks(editor.memEntries, "club");
        QTest::keyClick(editor.memEntries, Qt::Key_Tab);
        EXPECT_NE(QApplication::focusWidget(), editor.memEntries);
        editor.btnOK->Click();
    });
    dialog->edtcategories->Click();
    EXPECT_EQ(dialog->lbxcategories->Items().ToVector(), std::vector<std::string>{"club"});
}

TEST_F(OptionsTest, CancelRestoresTheSavedSettings) {
    dialog->chkMaintainLog->SetChecked(false);
    dialog->edtSubject->SetText("Changed");
    Edit(*dialog->btninvalidentries, "spam\n");
    dialog->BitBtn2->Click();
    EXPECT_TRUE(dialog->chkMaintainLog->Checked());
    EXPECT_EQ(dialog->edtSubject->Text(), "Mailing List Changes");
    EXPECT_EQ(dialog->lbxexceptions->Items().ToVector(),
              (std::vector<std::string>{"__", "hotmial"}));
}

TEST_F(OptionsTest, EnablingFollowsTheChecksAndHelpOpensThePagesContext) {
    EXPECT_FALSE(dialog->spnAutoScanDelay->Enabled());
    dialog->chkautoscan_timed->SetChecked(true);
    EXPECT_TRUE(dialog->spnAutoScanDelay->Enabled());
    dialog->rdbrestrictcategories->SetChecked(true);
    dialog->rdbWrongCategoryIsError->SetChecked(true);
    EXPECT_FALSE(dialog->edtAlternativeCategory->Enabled());
    dialog->rdbWrongCategoryDoChange->SetChecked(true);
    EXPECT_TRUE(dialog->edtAlternativeCategory->Enabled());
    // The stagger options go grey with members' sending, whatever their own check says.
    dialog->chkStaggerSending->SetChecked(true);
    dialog->chkUserSending->SetChecked(false);
    EXPECT_FALSE(dialog->chkStaggerSending->Enabled() || dialog->spnStaggerDelay->Enabled());

    std::vector<std::string> opened;
    ui::SetShellOpener([&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    ui::SetHelpFolder(program.Dir());
    std::ofstream(program.File("context-304.html")) << "help";
    dialog->pgcoptions->SetActivePage(dialog->Pages(2));
    dialog->BitBtn3->Click();
    ui::SetShellOpener(nullptr);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].ends_with("context-304.html"));

    // Every page, for looking at.
    dialog->resize(560, 520);
    for (int i = 0; i < dialog->pgcoptions->count(); ++i) {
        dialog->pgcoptions->SetActivePage(dialog->Pages(i));
        EXPECT_TRUE(dialog->grab().toImage().save(QCoreApplication::applicationDirPath() +
                                                  QString("/options_page_%1.png").arg(i)));
    }
}

TEST_F(OptionsTest, ChangedBlockedAddressesCanBeRemovedFromTheList) {
    entries->insertentry(true, "spam@x.com", "news", "", "", "", 0, false, false);
    entries->insertentry(true, "good@x.com", "news", "", "", "", 0, false, false);
    prompts->Answer(ui::mrYes);
    Edit(*dialog->btnneverjoin, "SPAM@x.com\n");
    EXPECT_EQ(dialog->lbxneversubscribe->Items().ToVector(),
              std::vector<std::string>{"spam@x.com"});
    EXPECT_EQ(Rows(), std::vector<std::string>{"good@x.com|news"});
}

TEST_F(OptionsTest, AdvancedOptionsEditTheSendingSettingsAndTurningPagesKeepsTheirOrder) {
    ASSERT_EQ(dialog->pgcoptions->count(), 10);
    const std::vector<std::string> captions = {
        "General",      "Scanning",         "List Categories", "Sending Mail", "Acknowledge",
        "User Sending", "Delivery Failure", "Exceptions",      "Synonyms",     "Signature"};
    for (int i = 0; i < 10; ++i) {
        dialog->pgcoptions->SetActivePage(dialog->Pages(i));
        EXPECT_EQ(dialog->ActivePage()->Caption(), captions[static_cast<std::size_t>(i)]);
        EXPECT_EQ(dialog->ActivePage()->PageIndex(), i);
    }

    settings.EmailMethod = 0;
    settings.GetSenderMethod = 1;
    int shown = 0;
    ui::ScopedModalHandler script([&](ui::TForm& form) {
        auto& advanced = dynamic_cast<TdlgAdvancedSettings&>(form);
        ++shown;
        EXPECT_EQ(advanced.cmbGetSenderMethod->ItemIndex(), 1) << "shows the live settings";
        advanced.cmbGetSenderMethod->SetItemIndex(3);
        advanced.btnOK->Click();
    });
    ASSERT_TRUE(dialog->BitBtn4->Enabled());
    dialog->BitBtn4->Click();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(settings.GetSenderMethod, 3);
}

}  // namespace
}  // namespace app
