#include "app/forms/send_mail_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTextBrowser>

#include <filesystem>

#include "app/list/cancel_flag.h"
#include "app/list/settings.h"
#include "platform/ui/form.h"
#include "support/show_html.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"

namespace app {
namespace {

// The folder the tests started in (the build folder): opening a database
// changes the current one.
const std::filesystem::path kStartDir = std::filesystem::current_path();

bool Contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

class SendMailDialogTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        context.mail_settings.smtp_host = "127.0.0.1";
        context.mail_settings.smtp_port = sink.port();
        context.mail_settings.from_address = "list@example.org";
        context.mail_settings.connect_timeout = std::chrono::seconds(5);
        window = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                            ListServices{settings, *database, errors, *entries});
        window->Show();  // loads the stored settings; the test's own follow
        settings.EmailMethod = kMethodSmtp;
        settings.SendCount = 1;
        AddRow("ann@example.org", "news", "Ann Smith");
        AddRow("bob@example.org", "sport", "Bob Jones");
        AddRow("cy@example.org", "news", "Cy Young");
    }
    void TearDown() override { window.reset(); }

    void AddRow(const std::string& email, const std::string& category, const std::string& name) {
        strata::TStrataTable& t = database->tblCV();
        t.Append();
        t.FieldByName("Item")->SetAsString(email);
        t.FieldByName("Category")->SetAsString(category);
        t.FieldByName("Name")->SetAsString(name);
        t.Post();
    }

    static void Save(QWidget& widget, const std::string& name) {
        EXPECT_TRUE(
            widget.grab().toImage().save(QString::fromStdString((kStartDir / name).string())));
    }

    mail::testing::SmtpSink sink;
    MailContext context;
    std::unique_ptr<Tfrmmain> window;
};

TEST_F(SendMailDialogTest, SendsMergedMessagesToTheChosenCategory) {
    // Any unexpected modal form (a send-error report) is closed at once.
    ui::ScopedModalHandler handler([](ui::TForm& form) { form.SetModalResult(ui::mrOk); });
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.resize(640, 600);
    dialog.Show();
    dialog.edtfilter->SetText("news");
    EXPECT_TRUE(dialog.rdbfilter->Checked());
    EXPECT_EQ(dialog.lblcount->Caption(), "  2 Records");
    dialog.edtMessageSubject->SetText("Club news");
    dialog.edtMessageText->SetText("Dear %FULL_NAME%, welcome.");
    Save(dialog, "send_mail_dialog.png");

    dialog.btnsendbulk->click();
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u) << AskedTexts();
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"ann@example.org"});
    EXPECT_TRUE(Contains(mails[0].data, "Dear Ann Smith, welcome.")) << mails[0].data;
    EXPECT_EQ(mails[1].rcpt_to, std::vector<std::string>{"cy@example.org"});
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 2 recipients have been sent via your ISP's SMTP server.");
    EXPECT_EQ(dialog.ModalResult(), ui::mrOk);

    dialog.edtMessageText->SetText("<p>Hello <b>list</b></p>");
    dialog.chkHTML->SetChecked(true);
    dialog.pgcMessage->SetActivePage(dialog.tabPreview);
    dialog.ShowPreview();
    EXPECT_EQ(dialog.ShowHTML->Browser()->toPlainText().toStdString(), "Hello list");
    const std::string first = dialog.Preview().Name();
    dialog.ShowPreview();
    const std::string second = dialog.Preview().Name();
    EXPECT_FALSE(std::filesystem::exists(first)) << "only the newest preview file stays";
    EXPECT_TRUE(std::filesystem::exists(second));
    dialog.Show();
    QApplication::processEvents();
    Save(dialog, "send_mail_dialog_preview.png");
    dialog.FormClose();
    EXPECT_FALSE(std::filesystem::exists(second)) << "deleted when the dialog closes";
}

TEST_F(SendMailDialogTest, LoadingAnHtmFileTicksTheHtmlFlag) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    const std::string htm = program.File("letter.Htm");
    const std::string txt = program.File("letter.txt");
    mail::testing::WriteFile(htm, "<p>From a file</p>\n");
    mail::testing::WriteFile(txt, "plain\n");
    dialog.btnLoadEmailClick(txt);
    EXPECT_FALSE(dialog.chkHTML->Checked());
    prompts->Answer(ui::mrNo);
    dialog.btnLoadEmailClick(htm);
    EXPECT_EQ(dialog.edtMessageText->Text(), "plain") << "No keeps the text";
    prompts->Answer(ui::mrYes);
    dialog.btnLoadEmailClick(htm);
    EXPECT_TRUE(dialog.chkHTML->Checked());
    EXPECT_EQ(dialog.tabBody->Caption(), "HTML Source");
    EXPECT_FALSE(dialog.Preview().Name().empty());
}

TEST_F(SendMailDialogTest, StaggerCountdownClosesAfterDelayPlusOneTicks) {
    TdlgStagger stagger(window.get(), 3);
    stagger.FormShow();
    for (int tick = 1; tick <= 3; ++tick) {
        stagger.Timer1.Fire();
        EXPECT_EQ(stagger.ModalResult(), ui::mrNone) << tick;
    }
    stagger.Timer1.Fire();
    EXPECT_EQ(stagger.ModalResult(), ui::mrOk);
    EXPECT_FALSE(stagger.Timer1.Running());
}

TEST_F(SendMailDialogTest, SendErrorReportsUntilHiddenAndAbortAsksToCancel) {
    int shown = 0;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        ++shown;
        auto& report = dynamic_cast<TdlgSendError&>(form);
        report.chkHideErrors->SetChecked(shown == 2);
        form.SetModalResult(shown == 1 ? ui::mrAbort : ui::mrOk);
    });
    prompts->Answer(ui::mrYes);
    EXPECT_FALSE(ShowSendError(window.get(), "SMTP Sendmail failed", false));
    EXPECT_TRUE(Cancelled());
    EXPECT_TRUE(ShowSendError(window.get(), "SMTP Sendmail failed", false));
    EXPECT_TRUE(ShowSendError(window.get(), "SMTP Sendmail failed", true));
    EXPECT_EQ(shown, 2);
    SetCancelled(false);
}

TEST_F(SendMailDialogTest, ExtraRecipientListsStaySorted) {
    TdlgAddRecip add_recip(window.get());
    for (const char* a : {"zed@example.org", "amy@example.org", "kim@example.org"}) {
        add_recip.Recipient->SetText(a);
        add_recip.btnToAddClick(false);
    }
    EXPECT_EQ(add_recip.ToList(),
              (std::vector<std::string>{"amy@example.org", "kim@example.org", "zed@example.org"}));
    EXPECT_TRUE(add_recip.Recipient->Text().empty());
}

}  // namespace
}  // namespace app
