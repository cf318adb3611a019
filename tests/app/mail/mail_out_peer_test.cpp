#include "app/mail/mail_out.h"
#include "app/mail/mail_out_journal.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

#include "app/list/cancel_flag.h"
#include "app/list/category_filter.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/received_message.h"
#include "platform/mail/recording_simple_mapi.h"
#include "platform/mail/relay_library.h"
#include "support/smapi.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"
#include "tests/support/mapi_sandbox.h"

namespace app {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

bool Contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// A port that accepts connections into its backlog but never says a word.
class SilentServer {
  public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

class MailOutTest : public ListTest {
  protected:
    MailOutTest() {
        OpenNew();
        database->CreateTemporaryTables();
        settings.EmailMethod = kMethodSmtp;
        settings.AddSignaturePrior = true;
        context.mail_settings.smtp_host = "127.0.0.1";
        context.mail_settings.smtp_port = sink.port();
        context.mail_settings.from_address = "list@example.org";
        context.mail_settings.from_name = "List Owner";
        context.mail_settings.connect_timeout = 5s;
        context.mail_settings.deliver_timeout = 5s;
        out = std::make_unique<MailOut>(settings, *database, context, entries.get());
        out->subject = "Newsletter";
        out->text = "Hello %FULL_NAME%,\r\nnews for %EMAIL%.";
        prompts->Asked();
    }
    ~MailOutTest() override {
        out.reset();
        database->DestroyTemporaryTables();
    }

    void AddRow(const std::string& email, const std::string& category, const std::string& name = "",
                const std::string& salutation = "") {
        strata::TStrataTable& t = database->tblCV();
        t.Append();
        t.FieldByName("Item")->SetAsString(email);
        t.FieldByName("Category")->SetAsString(category);
        t.FieldByName("Name")->SetAsString(name);
        t.FieldByName("Salutation")->SetAsString(salutation);
        t.Post();
    }
    void AddRows(int count) {
        for (int i = 1; i <= count; ++i)
            AddRow("m" + std::to_string(i) + "@example.org", "news");
    }

    std::vector<std::string> LogWithout(std::vector<std::string> log) {
        log.erase(std::remove(log.begin(), log.end(), ""), log.end());
        return log;
    }

    mail::testing::SmtpSink sink;
    MailContext context;
    std::unique_ptr<MailOut> out;
};

TEST_F(MailOutTest, PerRecipientMergesEachMessageForTheChosenCategory) {
    AddRow("ann@example.org", "news", "Ann Smith", "Ann");
    AddRow("ANN@example.org", "sport", "Ann Again", "A");
    AddRow("bob@example.org", "news", "Zoë Ørsted", "Zoë");
    AddRow("cy@example.org", "sport", "Cy", "Cy");
    SetFilter(database->tblCV(), true, "news", "", false);
    settings.SendCount = 1;
    settings.SendLog = true;
    out->cc_list = {"copy@example.org"};
    out->subject = "Grüße aus Köln";
    const std::string attachment = program.File("list.csv");
    mail::testing::WriteFile(attachment, "a,b\n");
    out->attachments = {attachment};

    EXPECT_EQ(out->Button2Click(), 2);
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"ann@example.org", "copy@example.org"}));
    EXPECT_EQ(mails[1].rcpt_to, (std::vector<std::string>{"bob@example.org", "copy@example.org"}));
    EXPECT_TRUE(Contains(mails[0].data, "Hello Ann Smith,")) << mails[0].data;
    EXPECT_TRUE(Contains(mails[0].data, "news for ann@example.org."));
    EXPECT_TRUE(Contains(mails[1].data, "Hello Zo=C3=AB =C3=98rsted,")) << mails[1].data;
    EXPECT_TRUE(Contains(mails[1].data, "Subject: =?utf-8?")) << mails[1].data;
    EXPECT_FALSE(Contains(mails[1].data, "us-ascii"));
    EXPECT_TRUE(Contains(mails[1].data, "filename=list.csv")) << mails[1].data;
    EXPECT_TRUE(Contains(mails[1].data, "YSxiCg=="));
    EXPECT_TRUE(out->to_list.empty()) << "the extra To list is restored";

    const std::vector<std::string> expected{"Connecting to SMTP server",
                                            "Commencing send to 2 recipients",
                                            "SEND OK",
                                            "SEND OK",
                                            "Send to 2 recipients has been completed",
                                            "Disconnecting from the SMTP server"};
    EXPECT_EQ(LogWithout(out->sendlog), expected);
    EXPECT_EQ(LogWithout(ProgramDir::Lines(program.File("SendLog.txt"))), expected);
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 2 recipients have been sent via your ISP's SMTP server.");
}

// A member's name is text: in an HTML message it must read as written, not
// turn into markup that breaks the page; a plain message takes it unchanged.
TEST_F(MailOutTest, MergedValuesReadAsWrittenInHtmlAndPlainMessages) {
    AddRow("tom@example.org", "news", "Tom & Jerry <b>Co</b>", "\"Tom\"");
    settings.SendCount = 1;
    out->subject = "Letter";
    for (const bool html : {true, false}) {
        SCOPED_TRACE(html ? "html" : "plain");
        const std::size_t before = sink.MessageCount();
        out->html = html;
        out->text =
            html ? "<p>Dear %FULL_NAME% (%SALUTATION%)</p>" : "Dear %FULL_NAME% (%SALUTATION%)";
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), 1);
        const auto mails = sink.WaitForMessages(before + 1);
        ASSERT_EQ(mails.size(), before + 1);
        const std::string& data = mails.back().data;
        EXPECT_EQ(Contains(data, "Dear Tom &amp; Jerry &lt;b&gt;Co&lt;/b&gt; (&quot;Tom&quot;)"),
                  html)
            << data;
        const mail::ReceivedMessage parsed = mail::ParseMessage(data);
        EXPECT_TRUE(Contains(parsed.plain_body, "Dear Tom & Jerry <b>Co</b> (\"Tom\")"))
            << parsed.plain_body;
    }
}

TEST_F(MailOutTest, BatchesCarrySendCountBlindCopiesAndTheExtraRecipients) {
    AddRows(7);
    settings.SendCount = 3;
    out->text = "No fields here.";
    out->to_list = {"boss@example.org"};
    EXPECT_EQ(out->Button2Click(), 7);
    const auto mails = sink.WaitForMessages(3);
    ASSERT_EQ(mails.size(), 3u);
    const std::vector<std::size_t> sizes{4, 4, 2};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(mails[i].rcpt_to.size(), sizes[i]) << i;
        EXPECT_EQ(mails[i].rcpt_to.front(), "boss@example.org");
        EXPECT_FALSE(Contains(mails[i].data, "m1@example.org")) << "blind copies stay blind";
    }
    EXPECT_EQ(mails[2].rcpt_to.back(), "m7@example.org");
}

TEST_F(MailOutTest, FieldsInBatchModeAskToSwitchAndNoStopsTheSend) {
    AddRows(2);
    settings.SendCount = 500;
    out->text = "Only %EMAIL% here";
    prompts->Answer(ui::mrNo);
    EXPECT_EQ(out->Button2Click(), -1);
    EXPECT_EQ(settings.SendCount, 500);
    EXPECT_EQ(sink.MessageCount(), 0u);
    prompts->Answer(ui::mrYes);
    EXPECT_EQ(out->Button2Click(), 2);
    EXPECT_EQ(settings.SendCount, 1);
    EXPECT_EQ(sink.WaitForMessages(2).size(), 2u);
}

TEST_F(MailOutTest, CancelPartWayStopsBeforeTheRowAndCountsOnlyFinishedRows) {
    AddRows(5);
    for (std::int32_t send_count : {1, 10}) {
        SCOPED_TRACE(send_count);
        settings.SendCount = send_count;
        out->text = "Plain text";
        out->recipients_valid = false;
        out->OnProgress = [](std::string_view caption, std::int64_t position, std::int64_t) {
            if (caption.starts_with("Sending") && position == 3)
                SetCancelled(true);
        };
        const std::size_t before = sink.MessageCount();
        EXPECT_EQ(out->Button2Click(), 2);
        const std::size_t expected_messages = send_count == 1 ? 2 : 1;
        const auto mails = sink.WaitForMessages(before + expected_messages);
        ASSERT_EQ(mails.size(), before + expected_messages);
        std::size_t recipients = 0;
        for (std::size_t i = before; i < mails.size(); ++i)
            recipients += mails[i].rcpt_to.size();
        EXPECT_EQ(recipients, 2u) << "the row at the cancel is not sent";
        EXPECT_EQ(prompts->Asked().back().text,
                  "Your e-mails to 2 recipients have been sent via your ISP's SMTP server.");
        SetCancelled(false);
    }
}

TEST_F(MailOutTest, StaggerAsksBetweenMessagesOnlyAndSkipAllEndsIt) {
    AddRows(4);
    settings.SendCount = 1;
    settings.chkStaggerSending = true;
    out->text = "Plain text";
    struct Case {
        std::int32_t delay;
        StaggerAnswer answer;
        int asked;
    };
    for (const Case& c :
         {Case{0, StaggerAnswer::kContinue, 0}, Case{3, StaggerAnswer::kContinue, 3},
          Case{3, StaggerAnswer::kSkipAll, 1}}) {
        settings.spnStaggerDelay = c.delay;
        int asked = 0;
        out->OnStagger = [&] {
            ++asked;
            return c.answer;
        };
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), 4);
        EXPECT_EQ(asked, c.asked) << c.delay;
    }
}

// Cancel in the delay asks; Yes still sends the message it delayed and ends
// the run at the next row, No goes on as if nothing was pressed.
TEST_F(MailOutTest, StaggerCancelAsksAndEndsTheRunAfterTheDelayedMessage) {
    AddRows(4);
    settings.SendCount = 1;
    settings.chkStaggerSending = true;
    settings.spnStaggerDelay = 3;
    out->text = "Plain text";
    out->OnStagger = [] { return StaggerAnswer::kCancel; };
    for (const bool yes : {true, false}) {
        SCOPED_TRACE(yes);
        const std::size_t before = sink.MessageCount();
        const auto asked_before = static_cast<std::ptrdiff_t>(prompts->Asked().size());
        for (int i = 0; i < (yes ? 1 : 3); ++i)
            prompts->Answer(yes ? ui::mrYes : ui::mrNo);
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), yes ? 2 : 4);
        const std::size_t sent = yes ? 2 : 4;
        EXPECT_EQ(sink.WaitForMessages(before + sent).size(), before + sent);
        const auto& asked = prompts->Asked();
        EXPECT_EQ(std::count_if(asked.begin() + asked_before, asked.end(),
                                [](const auto& p) {
                                    return p.text == "Are you sure you want to cancel processing?";
                                }),
                  yes ? 1 : 3);
        SetCancelled(false);
    }
    out->OnStagger = nullptr;
}

TEST_F(MailOutTest, TestSendGoesToTheTypedAddressAndLeavesTheToListAlone) {
    out->to_list = {"boss@example.org"};
    EXPECT_TRUE(out->SendTestClick("tester@example.org"));
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"boss@example.org", "tester@example.org"}));
    EXPECT_TRUE(Contains(mails[0].data, "Hello Test_Name,"));
    EXPECT_EQ(out->to_list, (std::vector<std::string>{"boss@example.org"}));
    EXPECT_EQ(prompts->Asked().back().text, "Sending of your test message has completed!");
}

TEST_F(MailOutTest, ConnectionEndsOnEveryExitIncludingAFailedRecipientBuild) {
    AddRows(1);
    out->text = "Plain text";
    out->recipients_valid = false;
    out->OnBuildRecipients = [] {};  // a build that leaves the list invalid
    EXPECT_EQ(out->Button2Click(), -1);
    out->OnBuildRecipients = nullptr;
    EXPECT_EQ(prompts->Asked().back().text,
              "Your message could not be sent because your unique recipient list was not "
              "generated successfully!");
    EXPECT_EQ(LogWithout(out->sendlog),
              (std::vector<std::string>{"Connecting to SMTP server",
                                        "Disconnecting from the SMTP server"}));
}

// A stale recipient list is built only once the send is sure to go ahead:
// after the personalisation and empty-message questions and the connection,
// so a refused send never waits for a long build first.
TEST_F(MailOutTest, RecipientListIsBuiltOnlyAfterTheQuestionsAndTheConnection) {
    AddRows(2);
    int builds = 0;
    out->OnBuildRecipients = [&] {
        ++builds;
        out->BuildRecipients();
    };
    struct Case {
        std::string what;
        std::string text;
        std::int32_t send_count;
        bool reachable;
        std::int64_t result;
        int builds;
    };
    for (const Case& c : {Case{"personalisation refused", "Dear %FULL_NAME%", 10, true, -1, 0},
                          Case{"empty message refused", "Hi", 1, true, -1, 0},
                          Case{"server refuses", "Plain text", 1, false, -1, 0},
                          Case{"sent", "Plain text", 1, true, 2, 1}}) {
        SCOPED_TRACE(c.what);
        builds = 0;
        out->text = c.text;
        settings.SendCount = c.send_count;
        context.mail_settings.smtp_port = c.reachable ? sink.port() : mail::testing::FreeTcpPort();
        out->recipients_valid = false;
        prompts->Answer(c.reachable && c.result < 0 ? ui::mrNo : ui::mrOk);
        EXPECT_EQ(out->Button2Click(), c.result);
        EXPECT_EQ(builds, c.builds);
    }
    out->OnBuildRecipients = nullptr;
}

TEST_F(MailOutTest, ServerThatNeverAnswersEndsTheConnectAtItsDeadline) {
    SilentServer silent;
    AddRows(1);
    context.mail_settings.smtp_port = silent.port();
    context.mail_settings.connect_timeout = 1s;
    out->text = "Plain text";
    EXPECT_EQ(out->Button2Click(), -1);
    ASSERT_EQ(out->sendlog.size(), 2u);
    EXPECT_EQ(out->sendlog[0], "Connecting to SMTP server");
    EXPECT_EQ(out->sendlog[1].rfind("SMTP Connection Error: ", 0), 0u) << out->sendlog[1];
    EXPECT_EQ(prompts->Asked().back().text.rfind(
                  "An error was encountered while connecting to your SMTP server:\r\n\r\n", 0),
              0u);

    context.mail_settings.smtp_port = mail::testing::FreeTcpPort();
    const std::size_t asked = prompts->Asked().size();
    EXPECT_EQ(out->Button2Click(), -1);
    ASSERT_EQ(out->sendlog.size(), 2u);
    EXPECT_EQ(out->sendlog[1].rfind("SMTP Connection Error: ", 0), 0u) << out->sendlog[1];
    ASSERT_EQ(prompts->Asked().size(), asked + 1) << "a refused connection is told as well";
    EXPECT_EQ(prompts->Asked().back().text.rfind(
                  "An error was encountered while connecting to your SMTP server:\r\n\r\n", 0),
              0u);
}

TEST_F(MailOutTest, FailedDeliveryIsReportedOnceNamingItsRecipientAndTheRunGoesOn) {
    AddRow("good@example.org", "news");
    AddRow("bad address@example.org", "news");
    AddRow("also@example.org", "news");
    settings.SendCount = 1;
    out->text = "Plain text";
    std::vector<std::string> reports;
    out->OnSendError = [&](std::string_view text) { reports.emplace_back(text); };
    EXPECT_EQ(out->Button2Click(), 3);
    EXPECT_EQ(sink.WaitForMessages(2).size(), 2u);
    const std::string failure =
        "SMTP Sendmail failed for bad address@example.org: The e-mail "
        "address \"bad address@example.org\" holds a character that is "
        "not allowed";
    EXPECT_EQ(reports, std::vector<std::string>{failure});
    EXPECT_EQ(std::count(out->sendlog.begin(), out->sendlog.end(), "SEND FAILURE"), 1);
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 2 recipients have been sent via your ISP's SMTP server.  Sending "
              "to 1 recipients failed.");
}

// A server that takes each message but never answers its end: the third
// time-out in a row stops the run with a box naming the server, and the members
// not reached stay in the journal for the next start.
TEST_F(MailOutTest, ThreeTimeOutsInARowStopTheRunAndKeepItsMembers) {
    mail::testing::SmtpSink stalled("stall-data");
    context.mail_settings.smtp_port = stalled.port();
    context.mail_settings.deliver_timeout = 300ms;
    AddRows(5);
    settings.SendCount = 1;
    out->text = "Plain text";
    EXPECT_EQ(out->Button2Click(), 3);
    EXPECT_TRUE(out->stopped);
    EXPECT_EQ(prompts->Asked().back().text.rfind(
                  "The SMTP server 127.0.0.1:" + std::to_string(stalled.port()) +
                      " did not answer within 0.3 seconds, three times in a row",
                  0),
              0u)
        << prompts->Asked().back().text;
    const auto journal = ReadMailOutJournal(program.Dir());
    ASSERT_TRUE(journal.has_value());
    // The server may have the three it never answered: only the rest stay.
    ASSERT_EQ(journal->Remaining().size(), 2u);
    EXPECT_EQ(journal->Remaining()[0].email, "m4@example.org");
    SetCancelled(false);
}

// Real servers end connections in the middle of a long run: a limit of
// messages per connection (421, or closing after the last one), an idle
// time-out over a stagger delay. The run connects again and goes on; a message
// whose data went out without an answer may have arrived and is logged so,
// never sent twice nor counted as failed.
TEST_F(MailOutTest, ServerThatEndsTheConnectionMidRunIsConnectedToAgainAndNothingGoesTwice) {
    AddRows(5);
    out->text = "Plain text";
    struct Case {
        std::string mode;
        std::int32_t send_count;
        std::size_t messages;
        std::int64_t uncertain;
    };
    for (const Case& c : {Case{"limit", 1, 5, 0}, Case{"drop", 1, 5, 0}, Case{"limit", 2, 3, 0},
                          Case{"drop-in-data", 1, 5, 2}, Case{"idle", 1, 5, 0}}) {
        SCOPED_TRACE(c.mode + " " + std::to_string(c.send_count));
        mail::testing::SmtpSink server(c.mode);
        context.mail_settings.smtp_port = server.port();
        settings.SendCount = c.send_count;
        settings.chkStaggerSending = c.mode == "idle";
        settings.spnStaggerDelay = 1;
        // The server's idle limit is a second; the wait outlasts it.
        out->OnStagger = [] {
            std::this_thread::sleep_for(2s);
            return StaggerAnswer::kContinue;
        };
        std::vector<std::string> reports;
        out->OnSendError = [&](std::string_view text) { reports.emplace_back(text); };
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), 5);
        const auto mails = server.WaitForMessages(c.messages);
        std::this_thread::sleep_for(200ms);
        ASSERT_EQ(server.MessageCount(), c.messages);
        std::vector<std::string> delivered;
        for (const auto& mail : mails)
            delivered.insert(delivered.end(), mail.rcpt_to.begin(), mail.rcpt_to.end());
        std::sort(delivered.begin(), delivered.end());
        EXPECT_EQ(delivered,
                  (std::vector<std::string>{"m1@example.org", "m2@example.org", "m3@example.org",
                                            "m4@example.org", "m5@example.org"}))
            << "every member once";
        EXPECT_EQ(out->failed_count, 0);
        EXPECT_TRUE(reports.empty());
        const auto log = LogWithout(out->sendlog);
        EXPECT_GT(std::count(log.begin(), log.end(), "Connecting to SMTP server"), 1);
        EXPECT_EQ(std::count(log.begin(), log.end(), "SEND FAILURE"), c.uncertain);
    }
    out->OnStagger = nullptr;
    settings.chkStaggerSending = false;
}

// An attachment is read and encoded once a run, however many members get it,
// and afresh by the next run; a file that cannot be read fails each message.
TEST_F(MailOutTest, AttachmentIsReadOncePerRunAndAfreshByTheNext) {
    AddRows(3);
    settings.SendCount = 1;
    out->text = "Plain text";
    const std::string file = program.File("notes.txt");
    out->attachments = {file};
    std::vector<std::string> reports;
    out->OnSendError = [&](std::string_view text) { reports.emplace_back(text); };
    EXPECT_EQ(out->Button2Click(), 3);
    EXPECT_EQ(out->failed_count, 3);
    EXPECT_EQ(reports.size(), 3u);
    EXPECT_EQ(sink.MessageCount(), 0u);

    mail::testing::WriteFile(file, "first version\r\n");
    out->OnProgress = [&](std::string_view caption, std::int64_t position, std::int64_t) {
        if (caption.starts_with("Sending") && position == 2)
            mail::testing::WriteFile(file, "second version\r\n");
    };
    for (const std::string expected : {"first version\r\n", "second version\r\n"}) {
        const std::size_t before = sink.MessageCount();
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), 3);
        EXPECT_EQ(out->failed_count, 0);
        const auto mails = sink.WaitForMessages(before + 3);
        ASSERT_EQ(mails.size(), before + 3);
        for (std::size_t i = before; i < mails.size(); ++i) {
            const mail::ReceivedMessage parsed = mail::ParseMessage(mails[i].data);
            ASSERT_EQ(parsed.attachments.size(), 1u);
            EXPECT_EQ(parsed.attachments[0].data, expected) << i;
        }
        out->OnProgress = nullptr;
    }
}

// A blind-copy batch goes to every member the server takes: a malformed
// address or one the server refuses fails only its member, reported by name.
// A refused extra To address still fails the whole message.
TEST_F(MailOutTest, RefusedAddressInABatchFailsOnlyItsMember) {
    AddRow("m1@example.org", "news");
    AddRow("bad address@example.org", "news");
    AddRow("m3@example.org", "news");
    AddRow("reject-me@example.org", "news");
    AddRow("m5@example.org", "news");
    settings.SendCount = 10;
    out->text = "Plain text";
    std::vector<std::string> reports;
    // "Do not show further errors" after the first box: the rest are still recorded.
    out->OnSendError = [&](std::string_view text) {
        reports.emplace_back(text);
        out->hide_send_errors = true;
    };
    EXPECT_EQ(out->Button2Click(), 5);
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"m1@example.org", "m3@example.org", "m5@example.org"}));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].starts_with("SMTP Sendmail failed for bad address@example.org: "))
        << reports[0];
    EXPECT_EQ(ProgramDir::Lines(program.File("log.txt")),
              (std::vector<std::string>{
                  reports[0],
                  "SMTP Sendmail failed for reject-me@example.org: 550 5.1.1 No such user here"}));
    EXPECT_EQ(std::count(out->sendlog.begin(), out->sendlog.end(), "SEND OK"), 1);
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 3 recipients have been sent via your ISP's SMTP server.  Sending "
              "to 2 recipients failed.");

    reports.clear();
    out->to_list = {"reject-boss@example.org"};
    out->recipients_valid = false;
    EXPECT_EQ(out->Button2Click(), 5);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink.MessageCount(), 1u);
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "SMTP Sendmail failed for bad address@example.org, m1@example.org, "
                           "m3@example.org, m5@example.org, reject-me@example.org: 550 5.1.1 No "
                           "such user here"}));
    EXPECT_EQ(out->failed_count, 5);
}

// A server with a limit of recipients per message answers 452 for the first
// recipient too many; the rest of the batch goes in further messages, each
// with the extra recipients, and nobody is failed or sent twice.
TEST_F(MailOutTest, BatchLargerThanTheServersRecipientLimitGoesInSeveralMessages) {
    mail::testing::SmtpSink limited("rcpt-limit");
    context.mail_settings.smtp_port = limited.port();
    AddRows(7);
    settings.SendCount = 10;
    out->text = "No fields here.";
    out->to_list = {"boss@example.org"};
    std::vector<std::string> reports;
    out->OnSendError = [&](std::string_view text) { reports.emplace_back(text); };
    EXPECT_EQ(out->Button2Click(), 7);
    const auto mails = limited.WaitForMessages(4);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(limited.MessageCount(), 4u);
    std::vector<std::string> members;
    for (const auto& mail : mails) {
        ASSERT_FALSE(mail.rcpt_to.empty());
        EXPECT_EQ(mail.rcpt_to.front(), "boss@example.org");
        EXPECT_LE(mail.rcpt_to.size(), 3u);
        members.insert(members.end(), mail.rcpt_to.begin() + 1, mail.rcpt_to.end());
    }
    std::sort(members.begin(), members.end());
    std::vector<std::string> expected;
    for (int i = 1; i <= 7; ++i)
        expected.push_back("m" + std::to_string(i) + "@example.org");
    EXPECT_EQ(members, expected);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(out->failed_count, 0);
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 7 recipients have been sent via your ISP's SMTP server.");
}

TEST_F(MailOutTest, StartTlsWithLogin) {
    mail::testing::SmtpSink secure("starttls-auth");
    context.mail_settings.smtp_port = secure.port();
    context.mail_settings.smtp_security = mail::SmtpSecurity::kStartTls;
    context.mail_settings.smtp_user = "listuser";
    context.mail_settings.smtp_password = "secret";
    context.mail_settings.verify_certificates = false;
    AddRows(2);
    settings.SendCount = 1;
    EXPECT_EQ(out->Button2Click(), 2);
    EXPECT_EQ(secure.WaitForMessages(2).size(), 2u);
    EXPECT_TRUE(Contains(secure.Sessions(), "tls=True login=listuser"));
}

TEST_F(MailOutTest, StoreMethodSendsThroughTheServerOrFilesInOutbox) {
    settings.EmailMethod = kMethodOutlook;
    settings.AlwaysResolveAddresses = false;
    AddRows(2);
    settings.SendCount = 1;
    auto store =
        mail::MailStore::OpenMaildir(context.mail_settings, program.File("Mail"), "MailingList");
    context.store = store.get();
    EXPECT_EQ(out->Button2Click(), 2);
    EXPECT_EQ(sink.WaitForMessages(2).size(), 2u);
    EXPECT_EQ(prompts->Asked().back().text,
              "Your e-mails to 2 recipients have been sent to your Outlook Outbox.");

    context.mail_settings.smtp_host.clear();
    auto offline =
        mail::MailStore::OpenMaildir(context.mail_settings, program.File("Mail2"), "MailingList");
    context.store = offline.get();
    out->recipients_valid = false;
    EXPECT_EQ(out->Button2Click(), 2);
    mail::Folder* outbox = offline->Root(1).FindFolder(mail::kOutbox);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(outbox->ItemCount(), 2u);
    EXPECT_EQ(sink.MessageCount(), 2u);
}

TEST_F(MailOutTest, SimpleMapiMethodsReplaceListsAndLogFailures) {
    support::testing::MapiSandbox sandbox;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    for (int method : {kMethodMapiControl, kMethodEmail}) {
        SCOPED_TRACE(method);
        settings.EmailMethod = method;
        out->text = "Plain";
        out->cc_list = {"copy@example.org"};
        out->bcc = {"a@example.org"};
        EXPECT_TRUE(out->SendMail("", "", ""));
        out->cc_list.clear();
        out->bcc = {"b@example.org"};
        mapi.SetResult("MAPISendMail", 2);
        std::vector<std::string> reports;
        out->OnSendError = [&](std::string_view text) { reports.emplace_back(text); };
        out->sendlog.clear();
        EXPECT_FALSE(out->SendMail("", "", ""));
        mapi.SetResult("MAPISendMail", 0);
        EXPECT_EQ(LogWithout(out->sendlog), (std::vector<std::string>{"SEND FAILURE"}));
        EXPECT_EQ(reports.size(), 1u);
        const auto sends = mapi.CallsOf("MAPISendMail");
        ASSERT_GE(sends.size(), 2u);
        const auto& last = *sends.back().message;
        ASSERT_EQ(last.recips.size(), 1u) << "the copy of the earlier message is gone";
        EXPECT_EQ(last.recips[0].address.value_or(""), "SMTP:b@example.org");
        out->OnSendError = nullptr;
    }
}

// A member whose address the mail program cannot resolve is left out of the
// message, so the completion box counts it as failed, in either mode.
TEST_F(MailOutTest, MemberWhoseAddressCannotBeResolvedIsCountedAsFailed) {
    support::testing::MapiSandbox sandbox;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    mapi.SetResolution("gone@example.org", {MAPI_E_UNKNOWN_RECIPIENT, "", std::nullopt, ""});
    settings.EmailMethod = kMethodEmail;
    settings.AlwaysResolveAddresses = true;
    AddRow("a@example.org", "news");
    AddRow("gone@example.org", "news");
    AddRow("c@example.org", "news");
    out->text = "Plain";
    out->to_list = {"boss@example.org"};
    for (const std::int32_t send_count : {1, 10}) {
        SCOPED_TRACE(send_count);
        settings.SendCount = send_count;
        mapi.ClearCalls();
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), 3);
        EXPECT_EQ(mapi.CallsOf("MAPISendMail").size(), send_count == 1 ? 3u : 1u);
        EXPECT_EQ(out->failed_count, 1);
        EXPECT_EQ(prompts->Asked().back().text,
                  "Your e-mails to 2 recipients have been sent to your default e-mail software.  "
                  "Sending to 1 recipients failed.");
    }
}

TEST_F(MailOutTest, SecondMapiMethodSendsInTheSessionTheDialogOpened) {
    support::testing::MapiSandbox sandbox;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    settings.EmailMethod = kMethodEmail;
    settings.SendCount = 1;
    out->EmailLogon();
    const auto logons = mapi.CallsOf("MAPILogon");
    ASSERT_EQ(logons.size(), 1u);
    const LHANDLE session = logons[0].session;
    EXPECT_NE(logons[0].flags & MAPI_FORCE_DOWNLOAD, 0u);
    out->to_list = {"boss@example.org"};
    out->bcc = {"ann@example.org"};
    mapi.SetResolution("Bob Jones", {SUCCESS_SUCCESS, "Bob Jones", "SMTP:bob@example.org", "B"});
    std::vector<std::string> kept;
    out->AddAddress(kept, "Bob Jones");
    EXPECT_EQ(kept, std::vector<std::string>{"bob@example.org"});
    EXPECT_TRUE(out->SendMail("", "", ""));
    out->bcc = {"bob@example.org"};
    EXPECT_TRUE(out->SendMail("", "", ""));
    const auto sends = mapi.CallsOf("MAPISendMail");
    ASSERT_EQ(sends.size(), 2u);
    for (const auto& send : sends)
        EXPECT_EQ(send.session, session) << "every message goes through the dialog's session";
    for (const auto& call : mapi.CallsOf("MAPIResolveName"))
        EXPECT_EQ(call.session, session);
    EXPECT_EQ(mapi.CallsOf("MAPILogon").size(), 1u) << "no message logs on for itself";
    EXPECT_TRUE(mapi.CallsOf("MAPILogoff").empty()) << "nor off again";
    EXPECT_TRUE(mapi.SessionOpen(session));
    const std::size_t asked = prompts->Asked().size();
    out->EmailLogoff();
    const auto logoffs = mapi.CallsOf("MAPILogoff");
    ASSERT_EQ(logoffs.size(), 1u);
    EXPECT_EQ(logoffs[0].session, session);
    EXPECT_FALSE(mapi.SessionOpen(session));
    EXPECT_EQ(prompts->Asked().size(), asked) << AskedTexts();
}

TEST_F(MailOutTest, SessionFailuresOfTheSecondMapiMethodAreReported) {
    support::testing::MapiSandbox sandbox;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    const std::size_t asked = prompts->Asked().size();
    // Only the second method keeps a session.
    for (int method : {kMethodMapiControl, kMethodOutlook, kMethodSmtp, kMethodRelay}) {
        settings.EmailMethod = method;
        out->EmailLogon();
        out->EmailLogoff();
    }
    EXPECT_TRUE(mapi.calls().empty());
    EXPECT_EQ(prompts->Asked().size(), asked) << AskedTexts();

    settings.EmailMethod = kMethodEmail;
    mapi.SetResult("MAPILogon", MAPI_E_LOGIN_FAILURE);
    out->EmailLogon();
    ASSERT_EQ(prompts->Asked().size(), asked + 1);
    EXPECT_EQ(prompts->Asked().back().text, "MAPI Logon failed");
    EXPECT_EQ(prompts->Asked().back().type, ui::mtError);
    out->EmailLogoff();
    EXPECT_EQ(prompts->Asked().size(), asked + 1) << "nothing to log off after a failed logon";

    mapi.SetResult("MAPILogon", SUCCESS_SUCCESS);
    mapi.SetResult("MAPILogoff", MAPI_E_FAILURE);
    out->EmailLogon();
    out->EmailLogoff();
    ASSERT_EQ(prompts->Asked().size(), asked + 2);
    EXPECT_EQ(prompts->Asked().back().text, "MAPI Logoff failed");
    EXPECT_EQ(prompts->Asked().back().type, ui::mtError);
}

TEST_F(MailOutTest, TestSendIsAFlagNotAMergeValue) {
    support::testing::MapiSandbox sandbox;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    settings.EmailMethod = kMethodMapiControl;
    settings.SendCount = 1;
    out->to_list = {"boss@example.org"};
    EXPECT_TRUE(out->SendTestClick(""));
    // A member whose name is the test's merge value gets an ordinary send.
    EXPECT_TRUE(out->SendMail("Test_Name", "Test_Name", "m@example.org"));
    const auto sends = mapi.CallsOf("MAPISendMail");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_NE(sends[0].flags & MAPI_DIALOG, 0u) << "the test shows the composer";
    EXPECT_EQ(sends[1].flags & MAPI_DIALOG, 0u);
    EXPECT_EQ(sends[0].message->note_text.value_or(""), "Hello Test_Name,\r\nnews for Test_Name.");
}

TEST_F(MailOutTest, HtmlWithSimpleMapiAsksToSwitchAndCancelStops) {
    settings.EmailMethod = kMethodEmail;
    out->html = true;
    prompts->Answer(ui::mrCancel);
    EXPECT_FALSE(out->SendMail("", "", ""));
    EXPECT_TRUE(Cancelled());
    EXPECT_EQ(settings.EmailMethod, kMethodEmail);
    EXPECT_TRUE(out->sendlog.empty()) << "nothing sent";
    SetCancelled(false);

    // In a run, by message or by batch: a cancelled run with nobody failed.
    AddRows(2);
    out->text = "Plain text";
    settings.AlwaysResolveAddresses = false;
    for (const std::int32_t send_count : {1, 10}) {
        settings.SendCount = send_count;
        out->recipients_valid = false;
        prompts->Answer(ui::mrCancel);
        EXPECT_EQ(out->Button2Click(), 0);
        EXPECT_EQ(out->failed_count, 0);
        EXPECT_EQ(prompts->Asked().back().text,
                  "Your e-mails to 0 recipients have been sent to your default e-mail software.");
        SetCancelled(false);
    }
}

TEST_F(MailOutTest, RelayLogsUndeliverableAsFailureAndCountsTheBounce) {
    mail::testing::DnsStub dns(
        "example.test MX 10 mx.example.test\n"
        "mx.example.test A 127.0.0.1\n"
        "nomail.test TXT x\n");
    settings.EmailMethod = kMethodRelay;
    settings.DNSProcessBounce = true;
    context.mail_settings.dns_host = "127.0.0.1";
    context.mail_settings.dns_timeout_ms = 2000;
    out->OpenSMTPServerDLL({CORVANE_SMTPServer_MODULE});
    out->relay()->SetOptions({dns.port(), sink.port(), 5s, 5s});
    AddRow("one@example.test", "news");
    AddRow("gone@nomail.test", "news");
    settings.SendCount = 1;
    out->text = "Plain";
    EXPECT_EQ(out->Button2Click(), 2);
    EXPECT_EQ(sink.WaitForMessages(1).size(), 1u);
    EXPECT_EQ(LogWithout(out->sendlog),
              (std::vector<std::string>{"Commencing send to 2 recipients",
                                        "To:", "To:", "gone@nomail.test", "SEND FAILURE",
                                        "To:", "To:", "one@example.test", "SEND OK",
                                        "Send to 2 recipients has been completed"}));
    ASSERT_TRUE(entries->LocateEmailAddress("gone@nomail.test"));
    EXPECT_EQ(database->tblCV().FieldByName("Bounces")->AsInteger(), 1);
    out->FreeSMTPServerDLL();
}

// The relay's call waits for DNS and the member's mail host; meanwhile the
// window's queue keeps running, as it does for the SMTP method.
TEST_F(MailOutTest, RelayLetsTheWindowRunWhileItWaits) {
    mail::testing::DnsStub dns("slow.test DROP\n");
    settings.EmailMethod = kMethodRelay;
    context.mail_settings.dns_host = "127.0.0.1";
    context.mail_settings.dns_timeout_ms = 1000;
    out->OpenSMTPServerDLL({CORVANE_SMTPServer_MODULE});
    out->relay()->SetOptions({dns.port(), sink.port(), 5s, 5s});
    int idle_calls = 0;
    out->idle = [&] { ++idle_calls; };
    out->to_list = {"member@slow.test"};
    out->text = "Plain";
    std::vector<std::string> reports;
    out->OnSendError = [&](std::string_view text) { reports.emplace_back(text); };
    EXPECT_FALSE(out->SMTPServerSend("", "", ""));
    EXPECT_GT(idle_calls, 10);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].starts_with("SMTP Sendmail failed with the error: ")) << reports[0];
    out->FreeSMTPServerDLL();
}

TEST_F(MailOutTest, OverlongAddressIsRefusedNeverCut) {
    settings.AlwaysResolveAddresses = false;
    const std::string overlong = std::string(250, 'a') + "@example.org";
    std::vector<std::string> list;
    out->AddAddress(list, overlong);
    EXPECT_TRUE(list.empty());
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().type, ui::mtWarning);
    out->AddAddress(list, "ok@example.org");
    out->AddAddress(list, "");
    EXPECT_EQ(list, std::vector<std::string>{"ok@example.org"});
}

TEST_F(MailOutTest, TypedRecipientsKeepNamesDropDuplicatesAndRejectInvalidOnlyWhenAsked) {
    const std::vector<std::string> lines{"  Ann Smith <ann@example.org>  ",
                                         "bob@example.org",
                                         "ANN@example.org",
                                         "",
                                         "not an address",
                                         "Cy Young <cy@example.org>"};
    struct Case {
        bool check_validity;
        std::int64_t count;
        std::vector<std::string> rejects;
    };
    for (const Case& c : {Case{true, 3, {"not an address"}}, Case{false, 4, {}}}) {
        SCOPED_TRACE(c.check_validity);
        std::vector<std::string> rejects;
        EXPECT_TRUE(out->ProcessManual(lines, c.check_validity, rejects));
        EXPECT_EQ(rejects, c.rejects);
        EXPECT_EQ(out->RecipientCount(), c.count);
        EXPECT_TRUE(out->recipients_valid);
    }

    std::vector<std::string> rejects;
    ASSERT_TRUE(out->ProcessManual(lines, true, rejects));
    settings.SendCount = 1;
    out->text = "Dear %FULL_NAME% at %EMAIL%";
    EXPECT_EQ(out->Button2Click(), 3);
    const auto mails = sink.WaitForMessages(3);
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"ann@example.org"});
    EXPECT_TRUE(Contains(mails[0].data, "Dear Ann Smith at ann@example.org")) << mails[0].data;
    EXPECT_TRUE(Contains(mails[1].data, "Dear  at bob@example.org")) << mails[1].data;
    EXPECT_TRUE(Contains(mails[2].data, "Dear Cy Young at cy@example.org")) << mails[2].data;

    // A cancel during the build leaves the list unfinished.
    out->OnProgress = [](std::string_view caption, std::int64_t position, std::int64_t) {
        if (caption.starts_with("Processing address, ") && position == 2)
            SetCancelled(true);
    };
    EXPECT_FALSE(out->ProcessManual(lines, true, rejects));
    EXPECT_FALSE(out->recipients_valid);
    EXPECT_EQ(out->RecipientCount(), 1) << "what was appended before the cancel stays";
    SetCancelled(false);
}

// "Ignore Invalid addresses" keeps out what the list itself would refuse, not only what
// lacks an "@" or a dot.
TEST_F(MailOutTest, TypedRecipientsAreCheckedByTheListsAddressSyntax) {
    const std::vector<std::string> lines{"ann,bob@example.org",   "ann@@example.org",
                                         "ann.x@example",         "zo\xc3\xab@example.org",
                                         "Ann <ann@example.org>", "o'brien+news@example.co.uk",
                                         "__x@example.org"};
    std::vector<std::string> rejects;
    ASSERT_TRUE(out->ProcessManual(lines, true, rejects));
    EXPECT_EQ(rejects, (std::vector<std::string>{"ann,bob@example.org", "ann@@example.org",
                                                 "ann.x@example", "zo\xc3\xab@example.org"}));
    EXPECT_EQ(out->RecipientCount(), 3) << "the exceptions list does not apply here";
}

// The question about a missing subject or a body of fewer than three characters counts
// letters, not the bytes of their encoding; No sends nothing.
TEST_F(MailOutTest, MissingSubjectOrShortBodyAsksFirst) {
    const std::string question =
        "You have not entered a subject or a message for this e-mail.  Are you sure you want "
        "to continue?";
    struct Case {
        std::string subject, text;
        bool asks;
    };
    AddRow("ann@example.org", "news");
    for (const Case& c : {Case{"News", "ok", true}, Case{"News", "\xc3\xa4\xe2\x9c\x93", true},
                          Case{"", "A longer text", true}, Case{"News", "abc", false},
                          Case{"News", "\xc3\xa4\xc3\xb6\xc3\xbc", false}}) {
        SCOPED_TRACE(c.text);
        out->subject = c.subject;
        out->text = c.text;
        const std::size_t before = prompts->Asked().size();
        prompts->Answer(ui::mrNo);
        const std::int64_t sent = out->Button2Click();
        ASSERT_GT(prompts->Asked().size(), before);
        EXPECT_EQ(prompts->Asked()[before].text == question, c.asks);
        EXPECT_EQ(sent, c.asks ? -1 : 1);
    }
    EXPECT_EQ(sink.WaitForMessages(2).size(), 2u) << "only the runs without the question sent";
}

// A typed line the recipients table cannot hold as it is never vanishes as if it were a
// duplicate: a long display name is cut (it only fills the name field), an address
// longer than the table's field is shown with the rejects.
TEST_F(MailOutTest, TypedRecipientsTooLongForTheTableAreKeptOrShownNeverDropped) {
    const std::string long_name(60, 'N');
    const std::string long_address = std::string(75, 'a') + "@example.org";
    const std::vector<std::string> lines{long_name + " <ann@example.org>", long_address,
                                         "bob@example.org", "ANN@example.org"};
    for (bool check_validity : {true, false}) {
        SCOPED_TRACE(check_validity);
        std::vector<std::string> rejects;
        ASSERT_TRUE(out->ProcessManual(lines, check_validity, rejects));
        EXPECT_EQ(rejects, std::vector<std::string>{long_address});
        EXPECT_EQ(out->RecipientCount(), 2);
    }
    settings.SendCount = 1;
    out->text = "Dear %FULL_NAME%";
    EXPECT_EQ(out->Button2Click(), 2);
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"ann@example.org"});
    EXPECT_TRUE(Contains(mails[0].data, "Dear " + std::string(50, 'N') + "\r\n")) << mails[0].data;
}

TEST_F(MailOutTest, RelayWithoutRecipientSaysSoAndLogsOnlyTheHeader) {
    settings.EmailMethod = kMethodRelay;
    out->OpenSMTPServerDLL({CORVANE_SMTPServer_MODULE});
    out->to_list.clear();
    out->text = "Plain";
    EXPECT_FALSE(out->SMTPServerSend("", "", ""));
    EXPECT_EQ(out->sendlog, std::vector<std::string>{"To:"});
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().text, "Error: No Recipient!");
    EXPECT_EQ(sink.MessageCount(), 0u);
    out->FreeSMTPServerDLL();
}

TEST_F(MailOutTest, StoreMethodTestSendDisplaysTheItemInsteadOfSendingIt) {
    settings.EmailMethod = kMethodOutlook;
    settings.AlwaysResolveAddresses = false;
    // The viewer stands in for Outlook's inspector: it keeps what it was shown.
    const std::string shown = program.File("shown.eml");
    const std::string viewer = program.File("viewer.sh");
    mail::testing::WriteFile(viewer, "#!/bin/sh\ncp \"$1\" '" + shown + "'\n");
    std::filesystem::permissions(viewer, std::filesystem::perms::owner_all);
    context.mail_settings.open_command = viewer;
    auto store =
        mail::MailStore::OpenMaildir(context.mail_settings, program.File("Mail"), "MailingList");
    context.store = store.get();
    out->to_list = {"boss@example.org"};

    EXPECT_TRUE(out->SendTestClick(""));
    const auto displayed = mail::testing::WaitForFile(shown, 10s);
    ASSERT_TRUE(displayed.has_value());
    EXPECT_TRUE(Contains(*displayed, "Hello Test_Name,")) << *displayed;
    EXPECT_TRUE(Contains(*displayed, "boss@example.org"));
    EXPECT_EQ(LogWithout(out->sendlog), std::vector<std::string>{"SEND OK"});
    EXPECT_EQ(sink.MessageCount(), 0u) << "a displayed item is not sent";
    mail::Folder* outbox = store->Root(1).FindFolder(mail::kOutbox);
    EXPECT_TRUE(outbox == nullptr || outbox->ItemCount() == 0u);
}

TEST_F(MailOutTest, SmtpTestSendAsksForTheAddressOnceConnected) {
    out->to_list = {"boss@example.org"};
    std::vector<std::string> log_when_asked;
    out->OnAskTestAddress = [&](std::string& address) {
        log_when_asked = out->sendlog;
        address = "tester@example.org";
        return true;
    };
    EXPECT_TRUE(out->SendTestClick(""));
    EXPECT_EQ(log_when_asked, std::vector<std::string>{"Connecting to SMTP server"});
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to.back(), "tester@example.org");

    // Cancelling the question sends nothing and still closes the connection.
    out->sendlog.clear();
    out->OnAskTestAddress = [](std::string&) { return false; };
    EXPECT_FALSE(out->SendTestClick(""));
    EXPECT_EQ(out->sendlog.back(), "Disconnecting from the SMTP server");
    EXPECT_EQ(sink.MessageCount(), 1u);
    EXPECT_EQ(out->to_list, std::vector<std::string>{"boss@example.org"});
}

TEST_F(MailOutTest, SimpleMapiModuleDeliversEachMessageThroughTheServer) {
    support::testing::MapiSandbox sandbox;
    sandbox.RegisterMapi("1");
    setenv(std::string(support::kModuleDirVariable).c_str(),
           std::filesystem::path(CORVANE_mapi32_MODULE).parent_path().c_str(), 1);
    sandbox.WriteUser(mail::kApplicationKey, "SMTPHost", "127.0.0.1");
    sandbox.WriteUser(mail::kApplicationKey, "SMTPPort", std::to_string(sink.port()));
    sandbox.WriteUser(mail::kApplicationKey, "SMTPEmail", "owner@example.org");
    ASSERT_TRUE(support::SimpleMapiAvailable());
    AddRow("ann@example.org", "news", "Ann Smith");
    AddRow("bob@example.org", "news", "Bob Jones");
    settings.SendCount = 1;
    std::size_t expected = 0;
    for (int method : {kMethodMapiControl, kMethodEmail}) {
        SCOPED_TRACE(method);
        settings.EmailMethod = method;
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), 2);
        expected += 2;
        const auto mails = sink.WaitForMessages(expected);
        ASSERT_EQ(mails.size(), expected);
        EXPECT_EQ(mails[expected - 2].rcpt_to, std::vector<std::string>{"ann@example.org"});
        EXPECT_TRUE(Contains(mails[expected - 2].data, "Hello Ann Smith,"))
            << mails[expected - 2].data;
        EXPECT_EQ(mails[expected - 1].mail_from, "owner@example.org");
        EXPECT_EQ(LogWithout(out->sendlog),
                  (std::vector<std::string>{"Commencing send to 2 recipients", "SEND OK", "SEND OK",
                                            "Send to 2 recipients has been completed"}));
        EXPECT_EQ(prompts->Asked().back().text,
                  "Your e-mails to 2 recipients have been sent to your default e-mail software.");
    }
}

TEST_F(MailOutTest, AttachmentsAreCheckedByTheSecondMapiMethodOnly) {
    const std::string file = program.File("report.txt");
    mail::testing::WriteFile(file, "text");
    const std::filesystem::path old_dir = std::filesystem::current_path();
    std::filesystem::current_path(program.Dir());
    const std::string missing = program.File("missing.txt");
    const std::string overlong = "/" + std::string(300, 'x') + ".txt";
    struct Case {
        int method;
        std::string chosen;
        std::vector<std::string> kept;
    };
    for (const Case& c : {Case{kMethodEmail, "report.txt", {file}}, Case{kMethodEmail, missing, {}},
                          Case{kMethodSmtp, "report.txt", {"report.txt"}},
                          Case{kMethodSmtp, missing, {missing}}, Case{kMethodSmtp, overlong, {}}}) {
        SCOPED_TRACE(c.chosen.substr(0, 40));
        settings.EmailMethod = c.method;
        std::vector<std::string> kept;
        out->AddAttachment(kept, c.chosen);
        EXPECT_EQ(kept, c.kept);
    }
    EXPECT_EQ(prompts->Asked().back().type, ui::mtWarning) << "the overlong path is refused";
    std::filesystem::current_path(old_dir);
}

TEST_F(MailOutTest, AddressBookExchangesTheListsOnlyWithTheSecondMapiMethod) {
    support::testing::MapiSandbox sandbox;
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    mapi.SetAddressBookAnswer({{MAPI_TO, "Ann", "SMTP:ann@example.org", ""},
                               {MAPI_CC, "carl@example.org", std::nullopt, ""},
                               {MAPI_BCC, "Bob", "SMTP:bob@example.org", ""}});
    std::vector<std::string> to{"old@example.org"}, cc, blind;
    settings.EmailMethod = kMethodSmtp;
    EXPECT_FALSE(out->AddressBook(to, cc, blind));
    EXPECT_EQ(to, std::vector<std::string>{"old@example.org"});
    EXPECT_TRUE(mapi.CallsOf("MAPIAddress").empty());

    settings.EmailMethod = kMethodEmail;
    EXPECT_TRUE(out->AddressBook(to, cc, blind));
    const auto calls = mapi.CallsOf("MAPIAddress");
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].recips.size(), 1u) << "the book opens with the current lists";
    EXPECT_EQ(to, std::vector<std::string>{"Ann"});
    EXPECT_EQ(cc, std::vector<std::string>{"carl@example.org"});
    EXPECT_EQ(blind, std::vector<std::string>{"Bob"});

    mapi.SetResult("MAPIAddress", MAPI_USER_ABORT);
    EXPECT_TRUE(out->AddressBook(to, cc, blind));
    EXPECT_EQ(to, std::vector<std::string>{"Ann"}) << "a cancelled book changes nothing";
}

// A mail-out of a few hundred members as a user runs one: merge fields and an
// attachment, one message per member and blind-copy batches, by every sending
// method that runs here. Each member gets exactly one message, with its own values.
TEST_F(MailOutTest, HundredsOfMembersGetOneMessageEachByEveryMethod) {
    constexpr int kMembers = 200;
    const auto address = [](int i) { return "m" + std::to_string(i) + "@example.test"; };
    const auto name = [](int i) {
        return (i % 7 == 0 ? "Zo\u00eb " : "Member ") + std::to_string(i);
    };
    for (int i = 1; i <= kMembers; ++i)
        AddRow(address(i), "news", name(i), "S" + std::to_string(i));
    const std::string attachment = program.File("report.bin");
    std::string bytes;
    for (int i = 0; i < 65536; ++i)
        bytes += static_cast<char>((i * 131) & 0xff);
    mail::testing::WriteFile(attachment, bytes);

    support::testing::MapiSandbox sandbox;
    sandbox.RegisterMapi("1");
    setenv(std::string(support::kModuleDirVariable).c_str(),
           std::filesystem::path(CORVANE_mapi32_MODULE).parent_path().c_str(), 1);
    sandbox.WriteUser(mail::kApplicationKey, "SMTPHost", "127.0.0.1");
    sandbox.WriteUser(mail::kApplicationKey, "SMTPPort", std::to_string(sink.port()));
    sandbox.WriteUser(mail::kApplicationKey, "SMTPEmail", "list@example.org");
    mail::testing::DnsStub dns("example.test MX 10 mx.example.test\nmx.example.test A 127.0.0.1\n");
    context.mail_settings.dns_host = "127.0.0.1";
    context.mail_settings.dns_timeout_ms = 2000;
    out->OpenSMTPServerDLL({CORVANE_SMTPServer_MODULE});
    out->relay()->SetOptions({dns.port(), sink.port(), 5s, 5s});
    auto store =
        mail::MailStore::OpenMaildir(context.mail_settings, program.File("Mail"), "MailingList");
    context.store = store.get();
    settings.AlwaysResolveAddresses = false;

    struct Run {
        int method;
        std::int32_t send_count;
    };
    std::size_t before = 0;
    for (const Run run : {Run{kMethodSmtp, 1}, Run{kMethodSmtp, 75}, Run{kMethodOutlook, 1},
                          Run{kMethodMapiControl, 1}, Run{kMethodRelay, 1}}) {
        SCOPED_TRACE(std::to_string(run.method) + "/" + std::to_string(run.send_count));
        settings.EmailMethod = run.method;
        settings.SendCount = run.send_count;
        out->text = run.send_count == 1 ? "Dear %FULL_NAME%,\r\nthis is for %EMAIL%."
                                        : "Dear members,\r\nthe report is attached.";
        out->attachments = {attachment};
        out->recipients_valid = false;
        EXPECT_EQ(out->Button2Click(), kMembers);
        const std::size_t messages = run.send_count == 1 ? kMembers : 3;
        const auto all = sink.WaitForMessages(before + messages, 120s);
        ASSERT_EQ(all.size(), before + messages);
        std::multiset<std::string> reached;
        for (std::size_t k = before; k < all.size(); ++k) {
            const auto& m = all[k];
            reached.insert(m.rcpt_to.begin(), m.rcpt_to.end());
            const mail::ReceivedMessage read = mail::ParseMessage(m.data);
            ASSERT_EQ(read.attachments.size(), 1u) << m.data.substr(0, 2000);
            EXPECT_EQ(read.attachments[0].display_name, "report.bin");
            EXPECT_TRUE(read.attachments[0].data == bytes);
            if (run.send_count == 1) {
                ASSERT_EQ(m.rcpt_to.size(), 1u);
                const int i = std::stoi(m.rcpt_to[0].substr(1));
                EXPECT_TRUE(Contains(read.plain_body,
                                     "Dear " + name(i) + ",\r\nthis is for " + address(i) + "."))
                    << read.plain_body;
            } else {
                EXPECT_LE(m.rcpt_to.size(), 75u);
                EXPECT_FALSE(Contains(m.data, "m1@example.test")) << "blind copies stay blind";
            }
        }
        EXPECT_TRUE(Contains(all[before].data, "Content-Transfer-Encoding: base64"));
        for (int i = 1; i <= kMembers; ++i)
            EXPECT_EQ(reached.count(address(i)), 1u) << address(i);
        EXPECT_EQ(reached.size(), static_cast<std::size_t>(kMembers));
        before = all.size();
    }
    out->FreeSMTPServerDLL();
    context.store = nullptr;
}

TEST_F(MailOutTest, ConnectFailuresNameTheServerTheCauseAndItsReply) {
    struct Case {
        std::string peer;  // a sink mode, "silent" or "none"
        mail::SmtpSecurity security;
        std::string cause, reply;
    };
    AddRows(1);
    out->text = "Plain text";
    context.mail_settings.connect_timeout = 1s;
    context.mail_settings.smtp_user = "listuser";
    context.mail_settings.smtp_password = "wrong";
    for (const Case& c :
         {Case{"starttls-auth", mail::SmtpSecurity::kNone,
               "did not accept the user name or password",
               "answered \"535 5.7.8 Authentication credentials invalid\"."},
          Case{"starttls-auth", mail::SmtpSecurity::kStartTls,
               "The certificate of the SMTP server 127.0.0.1:", "is not trusted."},
          Case{"none", mail::SmtpSecurity::kNone, "No server is listening at", ""},
          Case{"silent", mail::SmtpSecurity::kNone, "no answer within 1 second", ""}}) {
        SCOPED_TRACE(c.peer);
        std::optional<mail::testing::SmtpSink> sink;
        SilentServer silent;
        const std::uint16_t port = context.mail_settings.smtp_port =
            c.peer == "silent" ? silent.port()
            : c.peer == "none" ? mail::testing::FreeTcpPort()
                               : sink.emplace(c.peer).port();
        context.mail_settings.smtp_security = c.security;
        EXPECT_EQ(out->Button2Click(), -1);
        const std::string box = prompts->Asked().back().text;
        const std::string head =
            "An error was encountered while connecting to your SMTP server:\r\n\r\n";
        for (const std::string& part :
             {head, "127.0.0.1:" + std::to_string(port), c.cause, c.reply})
            EXPECT_TRUE(Contains(box, part)) << box;
        EXPECT_EQ(out->sendlog.back(), "SMTP Connection Error: " + box.substr(head.size()));
    }
}

}  // namespace
}  // namespace app
