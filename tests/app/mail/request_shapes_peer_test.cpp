// Request mails of the shapes mail programs really send (MIME parts, encoded
// words, HTML only, delivery reports of several mail servers) read from the
// list folder into list changes, with every outcome accounted for.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/mail/acknowledgement.h"
#include "app/mail/request_extraction.h"
#include "platform/mail/mail_store.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"

namespace app {
namespace {

using namespace testing_support;

std::string Mail(const std::string& from, const std::string& subject, const std::string& headers,
                 const std::string& body) {
    static int serial = 0;
    return "From: " + from + "\r\nTo: list@example.org\r\nSubject: " + subject +
           "\r\nDate: Tue, 01 Dec 2026 10:00:00 +0000\r\nMessage-ID: <m" +
           std::to_string(++serial) + "@example.org>\r\nMIME-Version: 1.0\r\n" + headers + "\r\n" +
           body;
}

std::string Plain(const std::string& from, const std::string& subject,
                  const std::string& body = "") {
    return Mail(from, subject, "Content-Type: text/plain; charset=utf-8\r\n", body + "\r\n");
}

class RequestShapes : public ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        settings.FailedMail = true;
        settings.RemoveOutofOffice = true;
        settings.SendAcknowledgement = true;
        settings.EmailMethod = kMethodSmtp;
        settings.memHeader = "Header";
        settings.memFooter = "Footer";
        settings.lbxneversubscribe.clear();
        context.mail_settings.smtp_host = "127.0.0.1";
        context.mail_settings.smtp_port = sink.port();
        context.mail_settings.from_address = "list@example.org";
        context.mail_settings.connect_timeout = std::chrono::seconds(10);
        store = mail::MailStore::OpenMaildir(context.mail_settings, program.File("Mail"),
                                             "MailingList");
        context.store = store.get();
    }
    mail::Folder& ListFolder() { return store->Root(1).SubFolder("MailingList"); }

    void Check() {
        Acknowledger acks(*entries, context);
        entries->OnSendAcknowledgement = [&](std::string_view a, std::string_view s) {
            acks.SendAcknowledgement(a, s);
        };
        ExtractEntries run(*entries, *store, nullptr);
        ASSERT_TRUE(run.OpenBtnClick());
        entries->OnSendAcknowledgement = nullptr;
    }
    // Stored newest first, so they are applied in the order given.
    void Fill(const std::vector<std::string>& mails) {
        for (auto it = mails.rbegin(); it != mails.rend(); ++it)
            ListFolder().AppendMessage(*it, false);
    }
    std::vector<std::string> Remaining() {
        ListFolder().Refresh();
        std::vector<std::string> subjects;
        for (std::size_t i = 1; i <= ListFolder().ItemCount(); ++i)
            subjects.push_back(ListFolder().Item(i).Subject());
        return subjects;
    }
    std::string Field(const std::string& address, const std::string& field) {
        if (!entries->LocateEmailAddress(address))
            return "<none>";
        return database->tblCV().FieldByName(field)->AsString();
    }

    mail::testing::SmtpSink sink;
    MailContext context;
    std::unique_ptr<mail::MailStore> store;
};

TEST_F(RequestShapes, MimeEncodedAndHtmlRequestsBecomeListChanges) {
    settings.SendAcknowledgement = false;
    Fill({
        Mail("=?utf-8?q?J=C3=BCrgen_M=C3=BCller?= <jm@example.org>",
             "=?utf-8?B?c3Vic2NyaWJlIG5ld3M=?=", "Content-Type: text/plain; charset=utf-8\r\n",
             "hello\r\n"),
        Mail("Alt <alt@example.org>", "Hello",
             "Content-Type: multipart/alternative; boundary=\"XX\"\r\n",
             "--XX\r\nContent-Type: text/plain; charset=utf-8\r\n\r\njoin sport\r\n"
             "--XX\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>join sport</p>\r\n"
             "--XX--\r\n"),
        Mail("Html <html@example.org>", "Hello", "Content-Type: text/html; charset=utf-8\r\n",
             "<html><body><p>subscribe chess</p></body></html>\r\n"),
        Mail("Qp <qp@example.org>", "Hi",
             "Content-Type: text/plain; charset=iso-8859-1\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n",
             "subscribe Caf=E9 club\r\n"),
        Plain("\"Smith, Anna\" <anna@example.org>", "Re: RE: Fwd: subscribe"),
        Plain("Anna <anna@example.org>", "subscribe"),
        Plain("Nobody <nobody@example.org>", "unsubscribe"),
        Plain("Odd <odd@example.org>", "subscribe bad..addr@example.org"),
        Plain("Tab <tab@example.org>", "\tSUBSCRIBE\t  news  "),
        Plain("Chat <chat@example.org>", "Question", "Is this list still alive?"),
    });
    Check();
    EXPECT_EQ(Rows(),
              (std::vector<std::string>{"alt@example.org|sport", "anna@example.org|Default",
                                        "html@example.org|chess", "jm@example.org|news",
                                        "qp@example.org|Café club", "tab@example.org|news"}));
    EXPECT_EQ(Field("jm@example.org", "Name"), "Jürgen Müller");
    EXPECT_EQ(Field("jm@example.org", "Salutation"), "Jürgen");
    EXPECT_EQ(Field("anna@example.org", "Salutation"), "Anna");
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_EQ(log[5],
              "ADD anna@example.org Default [Changed enacted by e-mail sent 12/1/2026 10:00:00 AM "
              "by anna@example.org] -> Entry already exists!");
    EXPECT_EQ(log[6],
              "REMOVE nobody@example.org  [Changed enacted by e-mail sent 12/1/2026 10:00:00 AM "
              "by nobody@example.org] -> E-mail address not found!");
    EXPECT_EQ(log[7],
              "ADD bad..addr@example.org Default [Changed enacted by e-mail sent 12/1/2026 "
              "10:00:00 AM by odd@example.org] -> Not Added: Invalid E-mail Address (Error: "
              "Address contains an invalid character)!");
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"ADD bad..addr@example.org Default"}));
    EXPECT_EQ(Remaining(), (std::vector<std::string>{"Question"})) << "only the chat stays";
}

// Delivery reports as Postfix, qmail and Exchange write them: each failed member gets one
// bounce; the sender of the failed mail (the list's own address) named in the returned
// headers gets none.
TEST_F(RequestShapes, DeliveryReportsCountOnlyTheFailedRecipients) {
    settings.SendAcknowledgement = false;
    for (const char* a : {"list@example.org", "bob@example.org", "carol@example.org",
                          "dave@example.org", "owner@example.org"})
        entries->insertentry(true, a, "", "", "", "", 0, false, false);
    Fill({
        Mail("MAILER-DAEMON@mx.example.org (Mail Delivery System)",
             "Undelivered Mail Returned to Sender",
             "Content-Type: multipart/report; report-type=delivery-status; boundary=\"B\"\r\n",
             "--B\r\nContent-Type: text/plain\r\n\r\nThis is the mail system.\r\n\r\n"
             "<bob@example.org>: host said: 550 5.1.1 unknown\r\n"
             "--B\r\nContent-Type: message/delivery-status\r\n\r\nReporting-MTA: dns; "
             "mx.example.org\r\nX-Postfix-Sender: rfc822; list@example.org\r\n\r\n"
             "Final-Recipient: rfc822; bob@example.org\r\n"
             "Original-Recipient: rfc822;bob@example.org\r\nAction: failed\r\n"
             "--B\r\nContent-Type: message/rfc822\r\n\r\n"
             "Return-Path: <list@example.org>\r\nReceived: from host (host [127.0.0.1])\r\n"
             "\tby mx.example.org (Postfix)\r\n\tfor <bob@example.org>; Tue, 01 Dec 2026\r\n"
             "From: Owner <owner@example.org>\r\nTo: bob@example.org\r\n"
             "Subject: News\r\n\r\nHello members\r\n--B--\r\n"),
        Plain("MAILER-DAEMON@qmail.example.org", "failure notice",
              "Hi. This is the qmail-send program at qmail.example.org.\r\n"
              "<carol@example.org>:\r\nSorry, no mailbox here by that name.\r\n\r\n"
              "--- Below this line is a copy of the message.\r\n\r\n"
              "Return-Path: <list@example.org>\r\nFrom: Owner <owner@example.org>\r\n"
              "To: carol@example.org\r\n"),
        Mail("postmaster@exch.example.org", "Undeliverable: News",
             "Content-Type: text/html; charset=utf-8\r\n",
             "<html><body><p>Delivery has failed to these recipients or groups:</p>"
             "<p><a href=\"mailto:dave@example.org\">dave@example.org</a></p></body></html>\r\n"),
    });
    Check();
    for (const char* a : {"bob@example.org", "carol@example.org", "dave@example.org"})
        EXPECT_EQ(Field(a, "Bounces"), "1") << a;
    EXPECT_EQ(Field("owner@example.org", "Bounces"), "0");
    EXPECT_EQ(Field("list@example.org", "Bounces"), "0");
    EXPECT_TRUE(Remaining().empty());
    strata::TStrataTable& stats = database->tblStats();
    ASSERT_TRUE(stats.Locate("Date", db::Variant(db::EncodeDate(2026, 12, 1)), {}));
    EXPECT_EQ(stats.FieldByName("Bounces")->AsInteger(), 3);
}

}  // namespace
}  // namespace app
