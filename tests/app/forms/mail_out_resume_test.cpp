#include "app/forms/mail_out_resume.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/list/settings.h"
#include "app/mail/mail_out_journal.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"

namespace app {
namespace {

class MailOutResumeTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        context.mail_settings.smtp_host = "127.0.0.1";
        context.mail_settings.smtp_port = sink.port();
        context.mail_settings.from_address = "list@example.org";
        window = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                            ListServices{settings, *database, errors, *entries});
        window->Show();  // as at a start: the stored settings are loaded first
    }
    void TearDown() override { window.reset(); }

    // A mail-out of three members that was killed after the first.
    void LeaveUnfinishedMailOut() {
        MailOutJournal run;
        run.subject = "News";
        run.text = "Hello %FULL_NAME%";
        run.method = kMethodSmtp;
        run.members = {{"ann@example.org", "Ann", ""},
                       {"bob@example.org", "Bob", ""},
                       {"cy@example.org", "Cy", ""}};
        JournalWriter writer;
        writer.Begin(program.Dir(), run);
        writer.Done({"ann@example.org"});
    }

    mail::testing::SmtpSink sink;
    MailContext context;
    std::unique_ptr<Tfrmmain> window;
};

TEST_F(MailOutResumeTest, UnfinishedMailOutIsSentToTheRemainingMembersOrDropped) {
    const std::string question =
        "The mail-out \"News\" was interrupted after 1 of 3 recipients.  Do you want to send it "
        "to the remaining 2 recipients now?\r\n\r\nNo drops the mail-out.";
    for (const ui::TModalResult answer : {ui::mrNo, ui::mrYes}) {
        LeaveUnfinishedMailOut();
        const std::size_t before = prompts->Asked().size();
        prompts->Answer(answer);
        OfferUnfinishedMailOut(*window, ListServices{settings, *database, errors, *entries},
                               context);
        ASSERT_GT(prompts->Asked().size(), before);
        EXPECT_EQ(prompts->Asked()[before].text, question);
        EXPECT_FALSE(ReadMailOutJournal(program.Dir()).has_value());
    }
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"bob@example.org"});
    EXPECT_NE(mails[1].data.find("Hello Cy"), std::string::npos) << mails[1].data;
    EXPECT_EQ(sink.MessageCount(), 2u) << "nothing to Ann again, nothing after No";
}

}  // namespace
}  // namespace app
