#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/forms/mail_check.h"
#include "app/forms/main_window.h"
#include "app/list/settings.h"
#include "app/mail/mail_context.h"
#include "platform/config/registry.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/mail_store.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"

namespace app {
namespace {

class MailCheckTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        settings.MailingListGroup = "MailingList";
        settings.UserSending = true;
        settings.UserSendingFolder = "Members";
        settings.ForwardAll = true;
        settings.ForwardToWhom = ForwardTarget::kAll;
        SaveEntries(settings, program.Dir());
        window_ = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                             ListServices{settings, *database, errors, *entries});
        check_ = std::make_unique<MailCheck>(*window_,
                                             ListServices{settings, *database, errors, *entries});
    }
    void TearDown() override {
        check_.reset();
        window_.reset();
    }
    void Post(const std::string& subject) {
        mail::Folder& root = check_->Store().Root(1);
        mail::Folder* members = root.FindFolder("Members");
        if (members == nullptr)
            members = &root.AddFolder("Members");
        members->AppendMessage(
            "From: Carol <carol@example.org>\r\nTo: list@example.org\r\n"
            "Subject: " +
                subject +
                "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
                "charset=utf-8\r\n\r\nSee you there.\r\n",
            false);
    }

    std::unique_ptr<Tfrmmain> window_;
    std::unique_ptr<MailCheck> check_;
};

// A user who first checks with no server set and then chooses one in the options gets the
// next forward sent through that server, without restarting the program.
TEST_F(MailCheckTest, ForwardsGoThroughTheServerChosenAfterTheFirstCheck) {
    ASSERT_EQ(entries->insertentry(true, "bob@example.org", "Default", "", "", "", 0, false, false),
              "Entered Successfully");
    check_->Run(true, false);

    mail::testing::SmtpSink sink;
    settings.EmailMethod = kMethodSmtp;
    settings.SMTPHost = "127.0.0.1";
    settings.SMTPPort = sink.port();
    settings.SMTPEmail = "list@example.org";
    Post("Meeting tomorrow");
    check_->Run(false, true);

    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u) << AskedTexts();
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"bob@example.org"});
    EXPECT_EQ(mails[0].mail_from, "list@example.org");
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(),
              "Successfully forwarded mail from carol@example.org with the subject, 'Meeting "
              "tomorrow' to the entire mailing list");
}

// While the check reads the list folder its own window stands over the list, with the
// words the user knows it by, and it goes away when the check is done.
TEST_F(MailCheckTest, TheCheckShowsItsOwnWindowWhileItReadsTheFolder) {
    mail::Folder& root = check_->Store().Root(1);
    mail::Folder* list = root.FindFolder("MailingList");
    ASSERT_NE(list, nullptr);
    list->AppendMessage("From: Ann <ann@example.org>\r\nSubject: subscribe news\r\n\r\n\r\n",
                        false);
    std::string caption;
    std::vector<std::string> labels;
    QTimer::singleShot(0, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            caption = modal->windowTitle().toStdString();
            for (const QLabel* label : modal->findChildren<QLabel*>())
                labels.push_back(label->text().toStdString());
        }
    });
    check_->Run(true, false);
    EXPECT_EQ(caption, "Outlook Objects");
    EXPECT_EQ(labels, std::vector<std::string>{"Accessing Outlook Entries.."});
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(Rows(), std::vector<std::string>{"ann@example.org|news"});
}

// A mail server that cannot be reached or refuses ends the check and the scan with the
// root-folder warning, the server, the cause and its answer, also logged; the list stays.
TEST_F(MailCheckTest, AServerThatCannotBeReachedGivesTheRootFolderWarning) {
    struct Case {
        std::string url;  // Dovecot's where a reply is awaited
        std::string cause, reply;
    };
    ASSERT_EQ(entries->insertentry(true, "bob@example.org", "Default", "", "", "", 0, false, false),
              "Entered Successfully");
    window_->OnProcessFolder = [this](bool requests, bool members) {
        check_->Run(requests, members);
    };
    window_->OnMailStore = [this]() -> mail::MailStore& { return check_->Store(); };
    const std::string warning =
        "Error accessing your Outlook Root Folder.  You may need to amend your settings under "
        "'File|Options, Advanced..";
    for (const Case& c :
         {Case{"imap://owner:secret@", "No server is listening at", ""},
          Case{"imap://owner:wrong@", "did not accept the user name or password",
               "NO [AUTHENTICATIONFAILED] Authentication failed."},
          Case{"imaps://owner:secret@",
               "The certificate of the IMAP server 127.0.0.1:", "is not trusted."}}) {
        SCOPED_TRACE(c.url);
        std::optional<mail::testing::DovecotServer> dovecot;
        if (!c.reply.empty() && !mail::testing::DovecotServer::Available())
            continue;  // a server that answers needs root and dovecot
        if (!c.reply.empty())
            dovecot.emplace("secret", c.url.starts_with("imaps")).Start();
        const std::string server =
            "127.0.0.1:" + std::to_string(dovecot ? dovecot->port() : mail::testing::FreeTcpPort());
        platform::config::TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(mail::kMailKey, true));
        registry.WriteString("StoreURL", c.url + server);
        window_->btngetoutlookClick();
        const std::string box = prompts->Asked().back().text;
        for (const std::string& part : {warning + ".'\r\n\r\n", server, c.cause, c.reply})
            EXPECT_NE(box.find(part), std::string::npos) << box;
        EXPECT_EQ(Log().back(), warning + ".' " + box.substr(warning.size() + 6));
        EXPECT_EQ(Rows(), std::vector<std::string>{"bob@example.org|Default"});
        window_->GetAddressesFromOutlook(true);
        EXPECT_EQ(prompts->Asked().back().text, warning + "'" + box.substr(warning.size() + 2));
    }
}

}  // namespace
}  // namespace app
