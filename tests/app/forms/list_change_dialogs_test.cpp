#include "app/forms/list_change_dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <QTreeWidgetItem>

#include "app/forms/get_more_dialog.h"
#include "app/mail/address_gathering.h"
#include "platform/mail/mail_store.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

// The folder the tests started in: opening a database changes the current one.
const std::filesystem::path kStartDir = std::filesystem::current_path();

void Save(QWidget& widget, const std::string& name) {
    widget.adjustSize();
    EXPECT_TRUE(widget.grab().toImage().save(QString::fromStdString((kStartDir / name).string())));
}

class ListChangeDialogs : public ListTest {
  protected:
    void SetUp() override { OpenNew(); }
    void Add(const std::string& email, const std::string& category) {
        entries->insertentry(true, email, category, "", "", "", 0, true, false);
    }
};

TEST_F(ListChangeDialogs, ChangeDialogChangesTheEditedAddressOrNothing) {
    Add("old@x.org", "news");
    {
        ui::ScopedModalHandler handler([](ui::TForm& form) {
            auto& dialog = dynamic_cast<TdlgChangeAddress&>(form);
            EXPECT_EQ(dialog.edtOldAddress->Text(), "old@x.org");
            EXPECT_FALSE(dialog.chkIgnoreRules->Visible());
            Save(dialog, "change_address_dialog.png");
            dialog.edtNewAddress->SetText("edited@x.org");
            dialog.btnOK->Click();
        });
        EXPECT_TRUE(PromptToModifyAddress(nullptr, *entries, "old@x.org", "new@x.org", false));
    }
    EXPECT_EQ(Rows(), (std::vector<std::string>{"edited@x.org|news"}));
    ui::ScopedModalHandler cancel(
        [](ui::TForm& form) { dynamic_cast<TdlgChangeAddress&>(form).btnCancel->Click(); });
    EXPECT_FALSE(PromptToModifyAddress(nullptr, *entries, "edited@x.org", "x@x.org", true));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"edited@x.org|news"}));
}

TEST_F(ListChangeDialogs, SenderMethodDialogGivesAnswerAndBox) {
    ui::ScopedModalHandler handler([](ui::TForm& form) {
        auto& dialog = dynamic_cast<TdlgSenderMethod&>(form);
        EXPECT_TRUE(dialog.chkAlwaysShow->Checked());
        Save(dialog, "sender_method_dialog.png");
        dialog.chkAlwaysShow->SetChecked(false);
        dialog.btnYes->Click();
    });
    bool always_show = true;
    EXPECT_TRUE(PromptSenderMethodChange(nullptr, "Change the method?", always_show));
    EXPECT_FALSE(always_show);
}

TEST_F(ListChangeDialogs, ErrorsDialogSortsDeletesAndReprocesses) {
    Add("keep@x.org", "news");
    errors.SetLines({"REMOVE keep@x.org news", "ADD b@x.org", "ADD b@x.org", "ADD c@x.org",
                     "MODIFY m@x.org n@x.org", "ADD d@x.org"});
    Tdlgerrors dialog(nullptr, *entries, errors);
    dialog.FormShow();
    ASSERT_EQ(dialog.lbxerrors->Items().Count(), 5);
    EXPECT_EQ(dialog.lbxerrors->Items().Get(0), "ADD b@x.org");
    EXPECT_FALSE(dialog.btndeleteentry->Enabled());
    dialog.lbxerrors->SetSelected(1, true);
    dialog.lbxerrors->SetSelected(2, true);
    dialog.lbxerrorsClick();
    EXPECT_TRUE(dialog.btndeleteentry->Enabled());
    Save(dialog, "errors_dialog.png");
    dialog.btndeleteentryClick();
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"ADD b@x.org", "MODIFY m@x.org n@x.org",
                                                        "REMOVE keep@x.org news"}));

    // The MODIFY line opens the change dialog; cancelling keeps it.
    {
        ui::ScopedModalHandler cancel([](ui::TForm& form) {
            auto& change = dynamic_cast<TdlgChangeAddress&>(form);
            EXPECT_EQ(change.edtNewAddress->Text(), "n@x.org");
            EXPECT_TRUE(change.chkIgnoreRules->Visible());
            change.btnCancel->Click();
        });
        dialog.lbxerrors->SetItemIndex(1);
        dialog.btnreprocessClick();
    }
    EXPECT_EQ(errors.Lines().size(), 3u);

    // A REMOVE line reprocessed with the category it names.
    {
        ui::ScopedModalHandler ok([](ui::TForm& form) {
            auto& reprocess = dynamic_cast<Tdlgreprocess&>(form);
            EXPECT_TRUE(reprocess.rdbremove->Checked());
            EXPECT_EQ(reprocess.edtcategory->Text(), "news");
            EXPECT_EQ(reprocess.memReason->Text(), "None");
            Save(reprocess, "reprocess_dialog.png");
            reprocess.btnOK->Click();
        });
        dialog.lbxerrors->SetItemIndex(2);
        dialog.btnreprocessClick();
    }
    EXPECT_TRUE(Rows().empty());
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"ADD b@x.org", "MODIFY m@x.org n@x.org"}));
    EXPECT_EQ(dialog.lbxerrors->ItemIndex(), 1);
}

// A keyboard user chooses a line with the arrow keys: the buttons follow the selection.
TEST_F(ListChangeDialogs, ErrorsDialogButtonsFollowTheKeyboardSelection) {
    errors.SetLines({"ADD b@x.org", "ADD c@x.org"});
    Tdlgerrors dialog(nullptr, *entries, errors);
    ui::ScopedModalHandler keys([](ui::TForm& form) {
        auto& shown = dynamic_cast<Tdlgerrors&>(form);
        QApplication::setActiveWindow(&form);
        shown.lbxerrors->setFocus();
        EXPECT_FALSE(shown.btnreprocess->Enabled());
        QTest::keyClick(shown.lbxerrors, Qt::Key_Down);
        EXPECT_EQ(shown.lbxerrors->SelCount(), 1);
        EXPECT_TRUE(shown.btnreprocess->Enabled());
        EXPECT_TRUE(shown.btndeleteentry->Enabled());
        QTest::keyClick(shown.lbxerrors, Qt::Key_Space, Qt::ControlModifier);
        EXPECT_EQ(shown.lbxerrors->SelCount(), 0);
        EXPECT_FALSE(shown.btnreprocess->Enabled());
        shown.btnClose->Click();
    });
    dialog.ShowModal();
}

// Escape closes the errors list like its Close button, keeping its lines.
TEST_F(ListChangeDialogs, EscapeClosesTheErrorsDialog) {
    errors.SetLines({"ADD b@x.org"});
    Tdlgerrors dialog(nullptr, *entries, errors);
    ui::ScopedModalHandler escape([](ui::TForm& form) {
        QApplication::setActiveWindow(&form);
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &form,
                        Qt::Key_Escape);
        EXPECT_EQ(form.ModalResult(), ui::mrOk);
    });
    dialog.ShowModal();
    EXPECT_EQ(errors.Lines(), std::vector<std::string>{"ADD b@x.org"});
}

TEST_F(ListChangeDialogs, ScanDialogLoadsFoldersAndFillsTheMemo) {
    auto store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
    store->Root(1).AddFolder("Archive").AppendMessage(
        "From: Ann <ann@example.org>\r\nTo: b@example.org\r\nSubject: a\r\n\r\nbody\r\n", true);
    AddressGatherer gatherer(*entries, *store);
    std::vector<std::pair<std::string, std::int64_t>> progress;
    gatherer.OnProgress = [&](std::int64_t, std::int64_t maximum, std::string_view caption) {
        progress.emplace_back(caption, maximum);
    };
    TdlgGetMore dialog(nullptr, gatherer);
    ui::TMemo memin(nullptr);
    dialog.memin = &memin;
    dialog.tmrLoadFoldersTimer();
    EXPECT_EQ(dialog.Caption(), "Scan Outlook Folders for E-mail Addresses (Step 1 of 2)");
    // The progress of the folder load is shown, then ended.
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front().first, "Retrieving Outlook Folders");
    EXPECT_EQ(progress.back().second, 0);
    const auto found = dialog.trvFolders->findItems("Archive", Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    EXPECT_FALSE(dialog.btnOK->Enabled());
    dialog.trvFolders->setCurrentItem(found[0]);
    dialog.trvFoldersClick();
    EXPECT_TRUE(dialog.btnOK->Enabled());
    Save(dialog, "scan_dialog.png");
    progress.clear();
    dialog.ProcessSelectedFolder();
    EXPECT_EQ(memin.Text(), "Ann <ann@example.org>");
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front().first, "Scanning Entries from Archive");
    EXPECT_EQ(progress.back().second, 0) << "the scan's progress ends with it";

    const auto contacts = dialog.trvFolders->findItems("Contacts*", Qt::MatchExactly);
    ASSERT_EQ(contacts.size(), 1);
    dialog.trvFolders->setCurrentItem(contacts[0]);
    dialog.trvFoldersClick();
    EXPECT_EQ(dialog.chkfrom->Caption(), "Contact E-mail Address");
    EXPECT_FALSE(dialog.chkfrom->Enabled());
}

}  // namespace
}  // namespace app

#include "app/forms/extract_entries_form.h"
#include "app/mail/request_extraction.h"

namespace app {
namespace {

TEST_F(ListChangeDialogs, ExtractionWindowRunsTheCheckOnce) {
    auto store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
    store->Root(1)
        .SubFolder("MailingList")
        .AppendMessage("From: Ann <ann@example.org>\r\nSubject: subscribe news\r\n\r\n\r\n", false);
    ExtractEntries run(*entries, *store, nullptr);
    TfrmExtractentries form(nullptr, run, *database);
    Save(form, "extract_entries_form.png");
    form.OpenBtnClick();
    EXPECT_EQ(form.ModalResult(), ui::mrOk);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"ann@example.org|news"}));
}

}  // namespace
}  // namespace app
