#include "app/forms/send_mail_dialog.h"
#include "app/forms/progress_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include <QMenu>
#include <QTest>
#include <QTextCursor>

#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "app/list/cancel_flag.h"
#include "app/list/settings.h"
#include "app/routines/file_routines.h"
#include "grid/data/db_grid.h"
#include "platform/config/registry.h"
#include "platform/mail/received_message.h"
#include "platform/mail/recording_simple_mapi.h"
#include "platform/ui/application.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/form.h"
#include "platform/ui/keys.h"
#include "platform/ui/shell.h"
#include "support/app_utils.h"
#include "support/show_html.h"
#include "tests/app/list/list_test_support.h"
#include "tests/common/web_view.h"
#include "tests/platform/mail/peers.h"
#include "tests/support/mapi_sandbox.h"

#if defined(__SANITIZE_ADDRESS__)
// Chromium frees some of its objects through a type of another size (see app/main.cpp).
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}
#endif

namespace app {
namespace {

// The folder the tests started in (the build folder): opening a database
// changes the current one.
const std::filesystem::path kStartDir = std::filesystem::current_path();

bool Contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// Answers every box once the marker file has appeared, as a user clicks OK
// only after the editor has saved; the marker is then removed for the next
// round.
class EditorPrompts : public ui::PromptService {
  public:
    EditorPrompts(std::filesystem::path marker, ui::TModalResult answer)
        : marker_(std::move(marker)), answer_(answer) {}
    ui::TModalResult Ask(const ui::PromptRequest& request) override {
        for (int i = 0; i < 500 && !std::filesystem::exists(marker_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::filesystem::remove(marker_);
        asked.push_back(request.text);
        return answer_;
    }
    std::optional<std::string> Input(const ui::InputRequest&) override { return std::nullopt; }
    void SetAnswer(ui::TModalResult answer) { answer_ = answer; }
    std::vector<std::string> asked;

  private:
    std::filesystem::path marker_;
    ui::TModalResult answer_;
};

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

// The send dialog filters and walks the list for its recipients while the main window
// waits behind it: the window's grid is not read again meanwhile (at 100,000 entries each
// reading holds the dialog up), and afterwards the entry the user was on is current again
// in the table and the grid, as after every other dialog over the list.
TEST_F(SendMailDialogTest, TheMailOutDialogLeavesTheGridUnreadAndTheUsersEntryCurrent) {
    for (int i = 0; i < 30; ++i)
        AddRow("m" + std::to_string(i) + "@example.org", i % 2 == 0 ? "news" : "events", "M");
    window->rdballClick();
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    strata::TStrataTable& t = database->tblCV();
    ASSERT_TRUE(t.Locate("Item", db::Variant(std::string("m17@example.org")), {}));
    const int item = g.ColumnByFieldName("Item")->GetIndex();
    ASSERT_NE(g.GetFocusedNode(), nullptr);
    ASSERT_EQ(g.GetFocusedNode()->Strings(item), "m17@example.org");
    const std::int64_t read_before = g.RecordsRead();
    std::int64_t read_in_dialog = -1;
    std::string counted;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        if (auto* dialog = dynamic_cast<TdlgSendMail*>(&form)) {
            dialog->edtfilter->SetText("news");
            dialog->btnrecalcClick();
            counted = dialog->lblcount->Caption();
            read_in_dialog = g.RecordsRead() - read_before;
        }
        form.SetModalResult(ui::mrCancel);
    });
    window->OnSendEmail = [&] {
        SendEmailToList(*window, ListServices{settings, *database, errors, *entries}, context);
    };
    window->tmrGetEntries.Stop();
    window->SendEmailtoMailingList1Click();
    EXPECT_EQ(counted, "17 Unique Recipients");
    EXPECT_EQ(read_in_dialog, 0);
    EXPECT_EQ(t.FieldByName("Item")->AsString(), "m17@example.org");
    ASSERT_NE(g.GetFocusedNode(), nullptr);
    EXPECT_EQ(g.GetFocusedNode()->Strings(item), "m17@example.org");
    EXPECT_EQ(g.RecordsRead(), read_before) << "the grid keeps the rows it holds";
    EXPECT_EQ(g.Count(), 33);
    EXPECT_EQ(window->lblcount->Caption(), "  33 Records");
}

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
    ASSERT_TRUE(web_testing::AwaitLoad(*dialog.ShowHTML->Browser(), [&] { dialog.ShowPreview(); }));
    EXPECT_EQ(web_testing::PageText(*dialog.ShowHTML->Browser()), "Hello list");
    const std::string first = dialog.Preview().Name();
    dialog.ShowPreview();
    const std::string second = dialog.Preview().Name();
    EXPECT_FALSE(std::filesystem::exists(first)) << "only the newest preview file stays";
    EXPECT_TRUE(std::filesystem::exists(second));
    dialog.Show();
    web_testing::Painted(*dialog.ShowHTML->Browser(), [](const QImage& image) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qGray(image.pixel(x, y)) < 100)
                    return true;  // the text is drawn
        return false;
    });
    Save(dialog, "send_mail_dialog_preview.png");
    dialog.FormClose();
    EXPECT_FALSE(std::filesystem::exists(second)) << "deleted when the dialog closes";
}

// A send the server refuses stops before the recipient list is built; the
// next send, with the server back, builds it and goes out.
TEST_F(SendMailDialogTest, RefusedSendStopsBeforeBuildingTheRecipientList) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.Show();
    dialog.rdball->SetChecked(true);
    dialog.edtMessageSubject->SetText("Club news");
    dialog.edtMessageText->SetText("Plain news for everyone.");
    const std::string records = dialog.lblcount->Caption();
    context.mail_settings.smtp_port = mail::testing::FreeTcpPort();
    dialog.btnsendbulk->click();
    EXPECT_EQ(prompts->Asked().back().text.rfind(
                  "An error was encountered while connecting to your SMTP server:", 0),
              0u);
    EXPECT_EQ(dialog.lblcount->Caption(), records) << "no list was built";
    EXPECT_TRUE(dialog.btnrecalc->Enabled());
    EXPECT_EQ(dialog.ModalResult(), ui::mrNone);

    context.mail_settings.smtp_port = sink.port();
    dialog.btnsendbulk->click();
    EXPECT_EQ(dialog.lblcount->Caption(), "3 Unique Recipients");
    EXPECT_FALSE(dialog.btnrecalc->Enabled());
    EXPECT_EQ(sink.WaitForMessages(3).size(), 3u);
    EXPECT_EQ(dialog.ModalResult(), ui::mrOk);
}

TEST_F(SendMailDialogTest, BatchMailOutFromTheDialogArrivesAsSentWithAttachment) {
    ui::ScopedModalHandler handler([](ui::TForm& form) { form.SetModalResult(ui::mrOk); });
    AddRow("dee@example.org", "news", "Dee");
    settings.SendCount = 2;
    context.mail_settings.from_name = "Jürgen Øster";
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.Show();
    add_recip.CC->SetText("board@example.org");
    add_recip.btnToAddClick(true);
    const std::string file = program.File("Größe 日本.txt");
    mail::testing::WriteFile(file, "Zeilen\n");
    prompts->AnswerFile(file);
    dialog.btnAttachClick();
    ASSERT_EQ(dialog.lbAttach->Items().Count(), 1);
    dialog.edtMessageSubject->SetText("Neuigkeiten für März");
    dialog.edtMessageText->SetText("Liebe Mitglieder, schöne Grüße.");

    dialog.btnsendbulk->click();
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u) << AskedTexts();
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"board@example.org", "ann@example.org",
                                                          "bob@example.org"}));
    EXPECT_EQ(mails[1].rcpt_to,
              (std::vector<std::string>{"board@example.org", "cy@example.org", "dee@example.org"}));
    for (const auto& raw : mails) {
        EXPECT_FALSE(Contains(raw.data, "ann@example.org")) << "blind copies stay blind";
        const mail::ReceivedMessage parsed = mail::ParseMessage(raw.data);
        EXPECT_EQ(parsed.subject, "Neuigkeiten für März");
        EXPECT_EQ(parsed.from.name, "Jürgen Øster");
        ASSERT_EQ(parsed.cc.size(), 1u);
        EXPECT_EQ(parsed.plain_body.rfind("Liebe Mitglieder, schöne Grüße.", 0), 0u)
            << parsed.plain_body;
        ASSERT_EQ(parsed.attachments.size(), 1u);
        EXPECT_EQ(parsed.attachments[0].display_name, "Größe 日本.txt");
        EXPECT_EQ(parsed.attachments[0].data, "Zeilen\n");
    }
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 4 recipients have been sent via your ISP's SMTP server.");
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

// A message or a recipient list saved in Windows-1252 loads with its accented letters.
TEST_F(SendMailDialogTest, Windows1252FilesLoadWithTheirLetters) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    const std::string txt = program.File("brief.txt");
    mail::testing::WriteFile(txt,
                             "Gr\xFC\xDF"
                             "e aus dem Caf\xE9\r\n");
    dialog.btnLoadEmailClick(txt);
    EXPECT_EQ(dialog.edtMessageText->Text(),
              "Gr\xC3\xBC\xC3\x9F"
              "e aus dem Caf\xC3\xA9");

    const std::string list = program.File("list.txt");
    mail::testing::WriteFile(list, "Jos\xE9 <jose@x.com>\r\n");
    prompts->AnswerFile(list);
    ui::TButton* load = nullptr;
    for (ui::TButton* button : dialog.grpManual->findChildren<ui::TButton*>())
        if (button->Caption() == "Load..")
            load = button;
    ASSERT_NE(load, nullptr);
    load->Click();
    EXPECT_EQ(dialog.memCustom->Text(), "Jos\xC3\xA9 <jose@x.com>");
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

// Cancel in the delay between messages beeps, asks, and on Yes ends the run
// after the message it delayed.
TEST_F(SendMailDialogTest, StaggerCancelBeepsAndAsks) {
    ui::ScopedModalHandler handler([](ui::TForm& form) {
        if (dynamic_cast<TdlgStagger*>(&form) != nullptr)
            form.SetModalResult(ui::mrCancel);
    });
    settings.chkStaggerSending = true;
    settings.spnStaggerDelay = 3;
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.Show();
    dialog.rdball->SetChecked(true);
    dialog.edtMessageSubject->SetText("Club news");
    dialog.edtMessageText->SetText("Plain news for everyone.");
    const int beeps = ui::BeepCount();
    prompts->Answer(ui::mrYes);
    dialog.btnsendbulk->click();
    EXPECT_EQ(ui::BeepCount() - beeps, 1);
    EXPECT_EQ(sink.WaitForMessages(2).size(), 2u);
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 2 recipients have been sent via your ISP's SMTP server.");
    SetCancelled(false);
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

// A user answering a run of reports with Enter goes on with the mail-out, whatever
// control of the report has the focus, the check box included.
TEST_F(SendMailDialogTest, EnterInASendErrorReportGoesOn) {
    ui::TModalResult result = ui::mrNone;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        auto& report = dynamic_cast<TdlgSendError&>(form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&report));
        report.chkHideErrors->setFocus();
        QTest::keyClick(report.chkHideErrors, Qt::Key_Return);
        result = report.ModalResult();
    });
    EXPECT_FALSE(ShowSendError(window.get(), "SMTP Sendmail failed", false));
    EXPECT_EQ(result, ui::mrOk);
    EXPECT_FALSE(Cancelled());
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

TEST_F(SendMailDialogTest, ExternalEditorChangesComeBackAfterOkOnly) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    // Someone else's file of the first name is never touched.
    const std::string foreign = GetTempDir() + "HTMLMessage.html";
    mail::testing::WriteFile(foreign, "not ours");
    const std::string marker = program.File("saved");
    const std::string script = program.File("editor.sh");
    // The file comes last, after the arguments VISUAL carries.
    mail::testing::WriteFile(script,
                             "#!/bin/sh\nfor f in \"$@\"; do :; done\n"
                             "sed -i 's/draft/edited/' \"$f\"\ntouch '" +
                                 marker + "'\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    setenv("VISUAL", (script + " --wait").c_str(), 1);
    auto* editor_prompts = new EditorPrompts(marker, ui::mrOk);
    ui::ScopedPromptService scope{std::unique_ptr<ui::PromptService>(editor_prompts)};

    dialog.edtMessageText->SetText("<p>first draft</p>");
    dialog.btnEditorClick();
    EXPECT_EQ(dialog.edtMessageText->Text(), "<p>first edited</p>");
    ASSERT_EQ(editor_prompts->asked.size(), 1u);
    EXPECT_EQ(
        editor_prompts->asked[0].rfind("Your message has been opened in your HTML Editor.", 0), 0u);
    const std::string copy = dialog.EditorCopy().Name();
    EXPECT_EQ(copy, GetTempDir() + "HTMLMessage_2.html");
    EXPECT_EQ(mail::testing::ReadFile(foreign), "not ours");

    editor_prompts->SetAnswer(ui::mrCancel);
    dialog.edtMessageText->SetText("<p>second draft</p>");
    dialog.btnEditorClick();
    EXPECT_EQ(dialog.edtMessageText->Text(), "<p>second draft</p>") << "Cancel keeps the text";
    EXPECT_TRUE(std::filesystem::exists(dialog.EditorCopy().Name()));
    unsetenv("VISUAL");

    // Without VISUAL or EDITOR the desktop's program for the file opens it.
    const char* editor = getenv("EDITOR");
    const std::string saved_editor = editor != nullptr ? editor : "";
    unsetenv("EDITOR");
    std::vector<std::string> opened;
    ui::SetShellOpener([&](const std::string& url) {
        opened.push_back(url);
        mail::testing::WriteFile(marker, "");
        return true;
    });
    dialog.btnEditorClick();
    ui::SetShellOpener(nullptr);
    if (!saved_editor.empty())
        setenv("EDITOR", saved_editor.c_str(), 1);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], "file://" + dialog.EditorCopy().Name());

    const std::string last = dialog.EditorCopy().Name();
    dialog.FormClose();
    EXPECT_FALSE(std::filesystem::exists(last)) << "deleted when the dialog closes";
    EXPECT_TRUE(std::filesystem::exists(foreign));
    std::filesystem::remove(foreign);
}

TEST_F(SendMailDialogTest, EscAsksBeforeClosingAndDeleteRemovesListEntries) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    prompts->Answer(ui::mrNo);
    dialog.FormKeyPress(ui::VK_ESCAPE);
    EXPECT_EQ(prompts->Asked().back().text,
              "Are you sure that you want to close and leave this form?");
    EXPECT_EQ(dialog.ModalResult(), ui::mrNone);
    prompts->Answer(ui::mrYes);
    dialog.FormKeyPress(ui::VK_ESCAPE);
    EXPECT_EQ(dialog.ModalResult(), ui::mrCancel);

    for (const char* a : {"amy@example.org", "kim@example.org", "zed@example.org"}) {
        add_recip.Recipient->SetText(a);
        add_recip.btnToAddClick(false);
        dialog.lbBCC->Items().Add(a);
    }
    for (ui::TListBox* list : {add_recip.lbTo, dialog.lbBCC}) {
        list->SetItemIndex(2);
        QTest::keyClick(list, Qt::Key_Delete);
        EXPECT_EQ(list->Items().Count(), 2);
        EXPECT_EQ(list->ItemIndex(), 1) << "the new last line is current";
        list->setCurrentRow(-1);
        const int beeps = ui::BeepCount();
        QTest::keyClick(list, Qt::Key_Delete);
        EXPECT_EQ(list->Items().Count(), 2) << "nothing current: nothing deleted";
        EXPECT_EQ(ui::BeepCount(), beeps + 1);
        EXPECT_EQ(list->ItemIndex(), 0);
    }
}

TEST_F(SendMailDialogTest, TypedListShowsRejectsAndCountsUniqueRecipients) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.resize(640, 600);
    dialog.Show();
    dialog.rdbManual->SetChecked(true);
    dialog.rdballClick();
    EXPECT_TRUE(dialog.grpManual->isVisible());
    EXPECT_FALSE(dialog.memrejects->isEnabled());
    dialog.chkvalidity->SetChecked(true);
    EXPECT_TRUE(dialog.memrejects->isEnabled());
    dialog.memCustom->SetText(
        "Ann Smith <ann@example.org>\nno address\nANN@example.org\n"
        "bob@example.org");
    dialog.btnrecalcClick();
    EXPECT_EQ(dialog.lblcount->Caption(), "2 Unique Recipients");
    EXPECT_FALSE(dialog.btnrecalc->isEnabled());
    EXPECT_EQ(dialog.memrejects->Text(), "no address");
    QApplication::processEvents();
    Save(dialog, "send_mail_dialog_manual.png");
}

TEST_F(SendMailDialogTest, FieldItemsInsertAtTheCaretAfterTheBatchQuestion) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.edtMessageText->SetText("Dear ,");
    QTextCursor caret = dialog.edtMessageText->textCursor();
    caret.setPosition(5);
    dialog.edtMessageText->setTextCursor(caret);
    settings.SendCount = 500;
    prompts->Answer(ui::mrNo);
    dialog.popField->actions().at(0)->trigger();
    EXPECT_EQ(dialog.edtMessageText->Text(), "Dear ,") << "No leaves the text alone";
    EXPECT_EQ(settings.SendCount, 500);
    prompts->Answer(ui::mrYes);
    dialog.popField->actions().at(0)->trigger();
    EXPECT_EQ(dialog.edtMessageText->Text(), "Dear %FULL_NAME%,");
    EXPECT_EQ(settings.SendCount, 1);
    EXPECT_TRUE(dialog.chkDoAddSalutation->Checked());
    EXPECT_EQ(ui::ClipboardText(), "%FULL_NAME%") << "the clipboard keeps the field";
}

TEST_F(SendMailDialogTest, HelpButtonsOpenTheirPages) {
    const std::string help = program.File("help");
    std::filesystem::create_directory(help);
    for (int context : {kSendHelp, kCustomisationHelp, kRecipientHelp})
        mail::testing::WriteFile(help + "/context-" + std::to_string(context) + ".html", "");
    ui::SetHelpFolder(help);
    std::vector<std::string> opened;
    ui::SetShellOpener([&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.BitBtn3->click();
    dialog.Label2->click();
    dialog.popField->actions().back()->trigger();
    ui::SetShellOpener(nullptr);
    ui::SetHelpFolder("");
    EXPECT_EQ(opened, (std::vector<std::string>{"file://" + help + "/context-305.html",
                                                "file://" + help + "/context-3002.html",
                                                "file://" + help + "/context-3001.html"}));
    EXPECT_EQ(dialog.popField->actions().back()->text().toStdString(),
              "Help with customisation of messages...");
}

// The side button of an editor page with this caption.
ui::TButton* PageButton(ui::TTabSheet& page, const QString& caption) {
    for (ui::TButton* b : page.findChildren<ui::TButton*>())
        if (b->text() == caption)
            return b;
    ADD_FAILURE() << caption.toStdString();
    return nullptr;
}

// The action of this text in the editor's pop-up menu.
QAction* EditorMenuItem(QWidget& dialog, const QString& text) {
    for (QMenu* menu : dialog.findChildren<QMenu*>())
        for (QAction* a : menu->actions())
            if (a->text() == text && menu->actions().back()->text() == "Load from File...")
                return a;
    ADD_FAILURE() << text.toStdString();
    return nullptr;
}

TEST_F(SendMailDialogTest, SendCommandAsksForAnUnchosenMethodAndRestoresFilterAndTimer) {
    std::vector<std::string> shown;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        shown.push_back(form.Caption());
        // A narrower choice inside the dialog, which its closing drops again.
        if (auto* dialog = dynamic_cast<TdlgSendMail*>(&form))
            dialog->edtnotfilter->SetText("news");
        EXPECT_EQ(database->tblCV().RecordCount(), 1);
        form.SetModalResult(ui::mrCancel);
    });
    settings.AutoScanDelayed = true;
    settings.AutoScanDelayedTime = 5;
    window->edtfilter->SetText("news");
    window->UpdateDisplay();
    ASSERT_EQ(database->tblCV().RecordCount(), 2);
    settings.EmailMethod = -1;
    const std::size_t asked = prompts->Asked().size();
    const std::string question =
        "Your preferred e-mail sending method has not been specified.  The default, MAPI "
        "transport, will be used.  You can change this under File|Options, Advanced, if you "
        "would prefer another method or encounter any problems";

    window->OnSendEmail = [&] {
        SendEmailToList(*window, ListServices{settings, *database, errors, *entries}, context);
    };
    window->tmrGetEntries.Stop();
    prompts->Answer(ui::mrCancel);
    window->SendEmailtoMailingList1Click();
    ASSERT_EQ(prompts->Asked().size(), asked + 1);
    EXPECT_EQ(prompts->Asked().back().text, question);
    EXPECT_TRUE(shown.empty()) << "Cancel ends the command";
    EXPECT_EQ(settings.EmailMethod, -1);

    prompts->Answer(ui::mrOk);
    window->SendEmailtoMailingList1Click();
    EXPECT_EQ(shown, std::vector<std::string>{"Send message to your mailing list"});
    EXPECT_EQ(settings.EmailMethod, kMethodMapiControl);
    EXPECT_EQ(database->tblCV().RecordCount(), 2) << "the main window's filter applies again";
    EXPECT_TRUE(window->tmrGetEntries.Running()) << "the timed check is armed again";

    // With a method chosen nothing is asked.
    window->tmrGetEntries.Stop();
    window->SendEmailtoMailingList1Click();
    EXPECT_EQ(shown.size(), 2u);
    EXPECT_EQ(prompts->Asked().size(), asked + 2) << AskedTexts();
    EXPECT_TRUE(window->tmrGetEntries.Running());
}

// A test send waits for the server with the queue running; a second click
// meanwhile must not start a second send inside the first.
TEST_F(SendMailDialogTest, TestSendWaitsWithTheDialogDisabled) {
    mail::testing::SmtpSink busy("slow-greeting");
    context.mail_settings.smtp_port = busy.port();
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.Show();
    dialog.edtMessageSubject->SetText("Hi");
    dialog.edtMessageText->SetText("Short note");
    bool clicked = false;
    bool enabled_while_waiting = true;
    dialog.Run().idle = [&] {
        if (!clicked) {
            clicked = true;
            enabled_while_waiting = dialog.isEnabled();
            dialog.btnsendtest->click();  // the impatient second click
        }
        QCoreApplication::processEvents();
    };
    prompts->AnswerInput("tester@example.org");
    prompts->AnswerInput("second@example.org");
    dialog.btnsendtest->click();
    const auto mails = busy.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u) << AskedTexts();
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"tester@example.org"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(busy.MessageCount(), 1u);
    EXPECT_TRUE(clicked);
    EXPECT_FALSE(enabled_while_waiting);
    EXPECT_TRUE(dialog.isEnabled());
}

TEST_F(SendMailDialogTest, SecondMapiMethodKeepsOneSessionForTheDialog) {
    support::testing::MapiSandbox sandbox;
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    settings.EmailMethod = kMethodEmail;
    LHANDLE session = 0;
    {
        TdlgAddRecip add_recip(window.get());
        TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                            add_recip);
        const auto logons = mapi.CallsOf("MAPILogon");
        ASSERT_EQ(logons.size(), 1u);
        session = logons[0].session;
        EXPECT_TRUE(mapi.SessionOpen(session));
        dialog.edtMessageSubject->SetText("Hi");
        dialog.edtMessageText->SetText("Short note");
        add_recip.Recipient->SetText("boss@example.org");
        add_recip.btnToAddClick(false);
        dialog.SendTestClick();
        const auto sends = mapi.CallsOf("MAPISendMail");
        ASSERT_EQ(sends.size(), 1u) << AskedTexts();
        EXPECT_EQ(sends[0].session, session);
        EXPECT_TRUE(mapi.CallsOf("MAPILogoff").empty());
    }
    const auto logoffs = mapi.CallsOf("MAPILogoff");
    ASSERT_EQ(logoffs.size(), 1u);
    EXPECT_EQ(logoffs[0].session, session);
    EXPECT_EQ(mapi.CallsOf("MAPILogon").size(), 1u);
}

// A file that cannot be read, chosen from the editor's menu, is reported and keeps the
// text; the failure never leaves through the event loop, which would end the program.
TEST_F(SendMailDialogTest, UnreadableFileFromTheEditorMenuIsReportedAndKeepsTheText) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    std::vector<std::string> reported;
    ui::SetExceptionHandler([&](const std::string& message) { reported.push_back(message); });
    dialog.edtMessageText->SetText("Kept");
    const std::string folder = program.File("not_a_file.txt");
    std::filesystem::create_directory(folder);
    prompts->Answer(ui::mrYes);
    prompts->AnswerFile(folder);
    EXPECT_NO_THROW(EditorMenuItem(dialog, "Load from File...")->trigger());
    ui::SetExceptionHandler(nullptr);
    EXPECT_EQ(dialog.edtMessageText->Text(), "Kept");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_FALSE(reported[0].empty());
}

TEST_F(SendMailDialogTest, EditorButtonsAndMenuWorkAtTheCaret) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.resize(640, 600);
    dialog.Show();
    ui::TMemo& editor = *dialog.edtMessageText;
    editor.SetText("Hello world");
    QTextCursor cursor = editor.textCursor();
    cursor.setPosition(6);
    cursor.setPosition(11, QTextCursor::KeepAnchor);
    editor.setTextCursor(cursor);
    const std::size_t asked = prompts->Asked().size();

    PageButton(*dialog.tabBody, "Copy")->click();
    EXPECT_EQ(ui::ClipboardText(), "world");
    EXPECT_EQ(editor.Text(), "Hello world");
    PageButton(*dialog.tabBody, "Cut")->click();
    EXPECT_EQ(editor.Text(), "Hello ");
    cursor.setPosition(0);
    editor.setTextCursor(cursor);
    PageButton(*dialog.tabBody, "Paste")->click();
    EXPECT_EQ(editor.Text(), "worldHello ") << "pasted at the caret, the rest kept";
    EXPECT_EQ(prompts->Asked().size(), asked) << "no question before a paste at the caret";

    EditorMenuItem(dialog, "Undo")->trigger();
    EXPECT_EQ(editor.Text(), "Hello ");
    editor.selectAll();
    EditorMenuItem(dialog, "Copy")->trigger();
    EXPECT_EQ(ui::ClipboardText(), "Hello ");
    editor.moveCursor(QTextCursor::End);
    EditorMenuItem(dialog, "Paste")->trigger();
    EXPECT_EQ(editor.Text(), "Hello Hello ");
    editor.selectAll();
    EditorMenuItem(dialog, "Cut")->trigger();
    EXPECT_EQ(editor.Text(), "");
    const std::string file = program.File("note.txt");
    mail::testing::WriteFile(file, "From the menu\n");
    prompts->AnswerFile(file);
    EditorMenuItem(dialog, "Load from File...")->trigger();
    EXPECT_EQ(editor.Text(), "From the menu");
    Save(dialog, "send_mail_dialog_editor.png");
    for (QMenu* menu : dialog.findChildren<QMenu*>()) {
        if (menu->actions().back()->text() == "Load from File...") {
            menu->adjustSize();
            Save(*menu, "send_mail_dialog_editor_menu.png");
        }
    }

    // The preview page's Paste replaces the whole text, after asking.
    ui::SetClipboardText("Replacement");
    prompts->Answer(ui::mrNo);
    PageButton(*dialog.tabPreview, "Paste")->click();
    EXPECT_EQ(editor.Text(), "From the menu");
    EXPECT_EQ(prompts->Asked().back().text,
              "Pasting a message in preview mode will erase all of the current text in your "
              "message editing area.  Are you sure you want to continue?");
    prompts->Answer(ui::mrYes);
    PageButton(*dialog.tabPreview, "Paste")->click();
    EXPECT_EQ(editor.Text(), "Replacement");
    dialog.FormClose();
}

// A user who clicks Paste or inserts a field and then presses Enter wants a new line
// in the message, not the mail-out to the whole list.
TEST_F(SendMailDialogTest, EnterAfterASideButtonOrAFieldGoesIntoTheMessage) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    dialog.resize(640, 600);
    dialog.Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialog.edtMessageSubject->SetText("Club news");
    ui::TMemo& editor = *dialog.edtMessageText;
    editor.setFocus();
    QTest::keyClicks(&editor, "Dear ");
    dialog.popField->actions().at(0)->trigger();
    QTest::mouseClick(PageButton(*dialog.tabBody, "Field..."), Qt::LeftButton);
    dialog.popField->hide();
    ASSERT_EQ(QApplication::focusWidget(), &editor);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ui::SetClipboardText("Pasted line");
    QTest::mouseClick(PageButton(*dialog.tabBody, "Paste"), Qt::LeftButton);
    ASSERT_EQ(QApplication::focusWidget(), &editor);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClicks(QApplication::focusWidget(), "Bye.");
    EXPECT_EQ(editor.Text(), "Dear %FULL_NAME%\nPasted line\nBye.");
    EXPECT_EQ(dialog.ModalResult(), ui::mrNone);
    EXPECT_EQ(sink.MessageCount(), 0u) << "nothing was sent";
    dialog.FormClose();
}

// The progress display of a run started from the send dialog, which is modal, takes the
// user's click on its Cancel.
TEST_F(SendMailDialogTest, ProgressCancelIsReachableWhileTheSendDialogIsModal) {
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    prompts->Answer(ui::mrYes);
    bool cancelled = false;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        if (&form != &dialog)
            return;
        window->showprogress(true, 1, true, "Sending e-mail to ann@example.org", 10);
        TdlgProgress* progress = window->ProgressDialog();
        ASSERT_NE(progress, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(progress));
        // Through the window, as the display delivers a click: a window that a modal one
        // blocks never sees it.
        const QPoint at =
            progress->btnCancel->mapTo(progress->window(), progress->btnCancel->rect().center());
        QTest::mouseClick(progress->windowHandle(), Qt::LeftButton, {}, at);
        QApplication::processEvents();
        cancelled = Cancelled();
        window->hideprogress();
    });
    dialog.ShowModal();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(prompts->Asked().back().text, "Are you sure you want to cancel processing?");
}

// With the relay method and no relay module the dialog does not open: every message would
// fail. Nothing of the user's settings changes on the way.
TEST_F(SendMailDialogTest, MissingRelayModuleKeepsTheDialogFromOpening) {
    settings.EmailMethod = kMethodRelay;
    settings.SendCount = 500;
    settings.chkhtmlchecked = true;
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    ui::TModalResult after_show = -1;
    ui::ScopedModalHandler handler([&](ui::TForm& form) {
        if (&form == &dialog)
            after_show = form.ModalResult();
    });
    EXPECT_EQ(dialog.ShowModal(), ui::mrCancel);
    EXPECT_EQ(after_show, ui::mrCancel) << "closed by its own showing, not by the user";
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().text, "Er");
    EXPECT_EQ(prompts->Asked().back().type, ui::mtError);
    EXPECT_EQ(settings.SendCount, 500) << "no switch to one message each for a relay not there";
    EXPECT_TRUE(settings.chkhtmlchecked);
}

TEST_F(SendMailDialogTest, AddressBookButtonsRefillTheThreeLists) {
    support::testing::MapiSandbox sandbox;
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    mapi.SetAddressBookAnswer({{MAPI_TO, "zoe@example.org", std::nullopt, ""},
                               {MAPI_TO, "al@example.org", std::nullopt, ""},
                               {MAPI_BCC, "hidden@example.org", std::nullopt, ""}});
    TdlgAddRecip add_recip(window.get());
    TdlgSendMail dialog(*window, ListServices{settings, *database, errors, *entries}, context,
                        add_recip);
    add_recip.Recipient->SetText("old@example.org");
    add_recip.btnToAddClick(false);
    settings.EmailMethod = kMethodSmtp;
    add_recip.CCButton->click();
    EXPECT_EQ(add_recip.ToList(), std::vector<std::string>{"old@example.org"});
    settings.EmailMethod = kMethodEmail;
    add_recip.ToButton->click();
    EXPECT_EQ(add_recip.ToList(), (std::vector<std::string>{"al@example.org", "zoe@example.org"}))
        << "sorted as the list shows them";
    EXPECT_TRUE(add_recip.CCList().empty());
    ASSERT_EQ(dialog.lbBCC->Items().Count(), 1);
    EXPECT_EQ(dialog.lbBCC->Items().Get(0), "hidden@example.org");
}

// The send dialog opens again where the user left it, each window keeping its placement
// under the program's key; the attachment list is named by its label; a list changed
// meanwhile (a bounce counted) is read into the grid again.
TEST_F(SendMailDialogTest, EachWindowKeepsItsPlacementUnderTheProgramsKey) {
    std::vector<QRect> shown;
    window->OnSendEmail = [&] {
        SendEmailToList(*window, ListServices{settings, *database, errors, *entries}, context);
    };
    for (int opening = 0; opening < 2; ++opening) {
        ui::ScopedModalHandler handler([&](ui::TForm& form) {
            auto& dialog = dynamic_cast<TdlgSendMail&>(form);
            shown.push_back(dialog.geometry());
            dialog.setGeometry(40, 50, 700, 650);
            EXPECT_EQ(dialog.lblAttach->buddy(), dialog.lbAttach);
            Save(form, "send_dialog.png");
            if (opening == 1)
                AddRow("new@example.org", "news", "New");
        });
        window->SendEmailtoMailingList1Click();
    }
    EXPECT_EQ(shown.at(1), QRect(40, 50, 700, 650));
    EXPECT_EQ(window->gxDBGrid1->Count(), 4);
    window.reset();
    platform::config::TRegistry registry;
    for (const char* form : {"\\Tfrmmain", "\\TdlgSendMail"})
        EXPECT_TRUE(registry.OpenKeyReadOnly("\\" + support::GetDefaultIniRegKey() + form)) << form;
}

}  // namespace
}  // namespace app
