#include "app/forms/advanced_settings_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

#include "app/forms/about_dialogs.h"
#include "app/list/settings.h"
#include "app/mail/mail_context.h"
#include "platform/ui/form.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

// The build folder the tests started in: other tests change the current one.
const std::filesystem::path kStartDir = std::filesystem::current_path();

class AdvancedSettingsTest : public testing::Test {
  protected:
    AdvancedSettingsTest() {
        auto service = std::make_unique<ui::ScriptedPromptService>();
        prompts = service.get();
        scope_ = std::make_unique<ui::ScopedPromptService>(std::move(service));
    }
    Settings settings;
    ui::ScriptedPromptService* prompts = nullptr;

  private:
    std::unique_ptr<ui::ScopedPromptService> scope_;
};

// A press of Test while a test waits starts no second test inside it; the button
// comes back once the test has answered, here with a failure.
TEST_F(AdvancedSettingsTest, TestButtonIsOffWhileATestWaits) {
    QTcpServer server;  // takes the connection and never greets
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    SmtpSettingsFields fields;
    fields.host = "127.0.0.1";
    fields.port = std::to_string(server.serverPort());
    TdlgSMTPSettings dialog(nullptr, fields);
    bool enabled_while_waiting = true;
    QTimer::singleShot(300, [&] {
        enabled_while_waiting = dialog.btnTest->isEnabled();
        dialog.btnTest->click();
        server.nextPendingConnection()->abort();
    });
    prompts->Answer(ui::mrOk);
    dialog.btnTest->click();
    EXPECT_FALSE(enabled_while_waiting);
    EXPECT_EQ(prompts->Asked().size(), 1u);
    EXPECT_TRUE(dialog.btnTest->isEnabled());
}

TEST_F(AdvancedSettingsTest, CancelOnTheUnsetMethodQuestionKeepsTheSettings) {
    settings.EmailMethod = -1;
    settings.RootFolder = "Archive";
    TdlgAdvancedSettings dialog(nullptr, settings);
    prompts->Answer(ui::mrCancel);
    dialog.FormShow();
    EXPECT_EQ(settings.EmailMethod, -1);
    EXPECT_TRUE(dialog.rdbPersonalFolders->Checked()) << "controls keep their design values";

    prompts->Answer(ui::mrOk);
    dialog.FormShow();
    EXPECT_EQ(dialog.cmbEmailMethod->ItemIndex(), kMethodMapiControl);
    EXPECT_TRUE(dialog.rdbRootOther->Checked());
    EXPECT_EQ(dialog.edtrootother->Text(), "Archive");
    EXPECT_EQ(settings.EmailMethod, -1) << "stored only by OK";
    dialog.BitBtn1Click();
    EXPECT_EQ(settings.EmailMethod, kMethodMapiControl);
    EXPECT_EQ(settings.RootFolder, "Archive");
}

// After a Cancel on the unset-method question OK stores the controls' design values: each
// must be a value the setting can hold, the sender method one under which senders are found.
TEST_F(AdvancedSettingsTest, OkAfterCancelledQuestionStoresOnlyValidValues) {
    settings.EmailMethod = -1;
    settings.GetSenderMethod = 3;
    TdlgAdvancedSettings dialog(nullptr, settings);
    prompts->Answer(ui::mrCancel);
    dialog.FormShow();
    dialog.cmbEmailMethod->SetItemIndex(kMethodMapiControl);
    dialog.BitBtn1Click();
    EXPECT_EQ(dialog.ModalResult(), ui::mrOk);
    EXPECT_EQ(settings.EmailMethod, kMethodMapiControl);
    EXPECT_GE(settings.GetSenderMethod, 0);
    EXPECT_LE(settings.GetSenderMethod, 4);
    EXPECT_EQ(settings.GetSenderMethod, Settings{}.GetSenderMethod);
    EXPECT_EQ(settings.RootFolder, "Personal Folders");
}

TEST_F(AdvancedSettingsTest, RelayTimeOutInSecondsAndRefusedPorts) {
    settings.EmailMethod = kMethodRelay;
    settings.SMTPEmail = "list@example.org";
    TdlgAdvancedSettings dialog(nullptr, settings);
    dialog.FormShow();
    EXPECT_TRUE(dialog.btnSMTPSettings->isEnabled());
    EXPECT_FALSE(dialog.chkAlwaysResolveAddresses->isEnabled());

    int shown = 0;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        auto& smtp = dynamic_cast<TdlgSMTPSettings&>(form);
        ++shown;
        if (shown == 1) {
            EXPECT_EQ(smtp.lblSMTPPort->Caption(), "DNS Time Out (sec):");
            EXPECT_EQ(smtp.edtSMTPPort->Text(), "6");
            smtp.edtSMTPHost->SetText("127.0.0.1");
            smtp.edtSMTPPort->SetText("99");
            smtp.BitBtn1Click();
            EXPECT_EQ(smtp.ModalResult(), ui::mrNone) << "out of range stays open";
            smtp.edtSMTPPort->SetText("12");
            smtp.BitBtn1Click();
        } else {
            EXPECT_EQ(smtp.edtSMTPPort->Text(), "12");
            smtp.SetModalResult(ui::mrCancel);
        }
    });
    dialog.BitBtn1Click();  // no DNS server yet: the settings dialog opens first
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().front().text,
              "You have selected the SMTP Server method.  Please enter your SMTP Server "
              "settings!");
    EXPECT_EQ(settings.DNSTimeOut, 12000);
    EXPECT_EQ(settings.DNSHost, "127.0.0.1");
    EXPECT_EQ(dialog.ModalResult(), ui::mrNone);
    dialog.btnSMTPSettingsClick();
    EXPECT_EQ(shown, 2);
    dialog.BitBtn1Click();
    EXPECT_EQ(dialog.ModalResult(), ui::mrOk);
}

// Escape is Cancel in both dialogs: nothing typed in them is stored.
TEST_F(AdvancedSettingsTest, EscapeCancelsBothDialogsAndChangesNothing) {
    settings.EmailMethod = kMethodSmtp;
    settings.SMTPHost = "mail.example.org";
    settings.SMTPEmail = "list@example.org";
    auto escape = [](ui::TForm& form) {
        QApplication::setActiveWindow(&form);
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &form,
                        Qt::Key_Escape);
        return form.ModalResult();
    };
    std::vector<ui::TModalResult> results;
    TdlgAdvancedSettings dialog(nullptr, settings);
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        if (auto* smtp = dynamic_cast<TdlgSMTPSettings*>(&form)) {
            smtp->edtSMTPHost->SetText("other.example.org");
            EXPECT_TRUE(form.grab().toImage().save(
                QString::fromStdString((kStartDir / "smtp_settings.png").string())));
            results.push_back(escape(form));
            return;
        }
        auto& advanced = dynamic_cast<TdlgAdvancedSettings&>(form);
        advanced.btnSMTPSettingsClick();
        advanced.cmbEmailMethod->SetItemIndex(kMethodMapiControl);
        results.push_back(escape(form));
    });
    dialog.ShowModal();
    EXPECT_EQ(results, (std::vector<ui::TModalResult>{ui::mrCancel, ui::mrCancel}));
    EXPECT_EQ(settings.SMTPHost, "mail.example.org");
    EXPECT_EQ(settings.EmailMethod, kMethodSmtp);
}

TEST_F(AdvancedSettingsTest, UseOutlookFlagGoesBackToTheMainWindowAndTheLinkOpensSupport) {
    settings.EmailMethod = kMethodSmtp;
    settings.SMTPHost = "mail.example.org";
    settings.SMTPEmail = "list@example.org";
    TdlgAdvancedSettings dialog(nullptr, settings, false);
    std::vector<bool> told;
    dialog.OnSetUseOutlook = [&](bool use) { told.push_back(use); };
    dialog.Show();
    EXPECT_TRUE(dialog.rdbOther->Checked());
    EXPECT_FALSE(dialog.tabOutlook->TabVisible());
    dialog.rdbOutlook->SetChecked(true);
    dialog.rdbOutlookClick();
    EXPECT_TRUE(dialog.tabOutlook->TabVisible());
    EXPECT_TRUE(dialog.grab().toImage().save(
        QString::fromStdString((kStartDir / "advanced_settings_general.png").string())));
    dialog.pgcAdv->SetActivePage(dialog.tabOutlook);
    EXPECT_TRUE(dialog.grab().toImage().save(
        QString::fromStdString((kStartDir / "advanced_settings_outlook.png").string())));
    // The sender question wraps rather than being cut at the dialog's edge.
    EXPECT_TRUE(dialog.cmbGetSenderMethod->parentWidget()->findChild<QLabel*>()->wordWrap());
    dialog.rdbStoreImap->SetChecked(true);
    dialog.rdbStoreClick();
    dialog.pgcAdv->SetActivePage(dialog.tabStore);
    EXPECT_TRUE(dialog.grab().toImage().save(
        QString::fromStdString((kStartDir / "advanced_settings_store.png").string())));
    EXPECT_LT(dialog.spnImapPort->width(), dialog.width() / 3) << "a number field stays narrow";
    dialog.rdbStoreLocal->SetChecked(true);
    dialog.BitBtn1Click();
    EXPECT_EQ(told, std::vector<bool>{true});
    EXPECT_EQ(dialog.ModalResult(), ui::mrOk);

    std::vector<std::string> opened;
    ui::SetShellOpener([&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    dialog.lblSupport->click();
    ui::SetShellOpener(nullptr);
    EXPECT_EQ(opened, std::vector<std::string>{kSupportPage});
}

}  // namespace
}  // namespace app
