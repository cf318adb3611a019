#include "platform/mail/received_message.h"

#include <gtest/gtest.h>

#include "platform/mail/outgoing_message.h"
#include "platform/mail/vcard.h"

namespace mail {
namespace {

TEST(ReceivedMessage, BodyIsDecodedUtf8Text) {
    struct Case {
        const char* what;
        std::string raw;
        std::string body;
    };
    const Case cases[] = {
        {"quoted-printable Latin-1",
         "Subject: x\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=FC=DFe, M=FCller=\r\n!\r\n",
         "Grüße, Müller!\r\n"},
        {"base64 UTF-8",
         "Subject: x\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nU1VCU0NSSUJFIG5ld3M=\r\n",
         "SUBSCRIBE news"},
        {"no MIME at all", "Subject: x\r\n\r\nREMOVE me\r\n", "REMOVE me\r\n"},
        {"HTML only",
         "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
         "<html><head><style>p{}</style></head><body><p>Join&nbsp;<b>list</b></p>"
         "<p>a&lt;b&#8364;</p></body></html>\r\n",
         "Join list\na<b€\n"},
        {"alternative prefers plain",
         "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; "
         "boundary=B\r\n\r\n"
         "--B\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
         "--B\r\nContent-Type: text/plain\r\n\r\nplain\r\n--B--\r\n",
         "plain"},
        {"unknown charset falls back",
         "Subject: x\r\nContent-Type: text/plain; charset=x-unknown\r\n\r\nplain text\r\n",
         "plain text\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseMessage(c.raw).plain_body, c.body) << c.what;
    }
}

TEST(ReceivedMessage, DeliveryReportKeepsStatusAndReturnedHeaders) {
    const std::string raw =
        "From: MAILER-DAEMON@example.org\r\nSubject: Undelivered Mail Returned to Sender\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/report; report-type=delivery-status; boundary=R\r\n\r\n"
        "--R\r\nContent-Type: text/plain\r\n\r\nYour message could not be delivered.\r\n"
        "--R\r\nContent-Type: message/delivery-status\r\n\r\n"
        "Reporting-MTA: dns; mx.example.org\r\n\r\nFinal-Recipient: rfc822; gone@example.net\r\n"
        "Action: failed\r\nStatus: 5.1.1\r\n"
        "--R\r\nContent-Type: text/rfc822-headers\r\n\r\n"
        "To: gone@example.net\r\nSubject: newsletter\r\n"
        "--R--\r\n";
    const ReceivedMessage message = ParseMessage(raw);
    EXPECT_NE(message.plain_body.find("could not be delivered"), std::string::npos);
    EXPECT_NE(message.plain_body.find("Status: 5.1.1"), std::string::npos);
    EXPECT_NE(message.plain_body.find("Final-Recipient: rfc822; gone@example.net"),
              std::string::npos);
    EXPECT_NE(message.plain_body.find("To: gone@example.net"), std::string::npos);
    EXPECT_TRUE(message.attachments.empty());
}

TEST(ReceivedMessage, HeadersAreDecodedAndBadDatesLeftEmpty) {
    const ReceivedMessage message = ParseMessage(
        "From: =?utf-8?Q?J=C3=BCrgen?= <j@example.org>\r\n"
        "Reply-To: a@example.org, B <b@example.org>\r\n"
        "Subject: =?iso-8859-1?Q?=C4nderung?=\r\nDate: not a date at all\r\n\r\nx\r\n");
    EXPECT_EQ(message.from, (Mailbox{"Jürgen", "j@example.org"}));
    EXPECT_EQ(message.subject, "Änderung");
    ASSERT_EQ(message.reply_to.size(), 2u);
    EXPECT_EQ(message.reply_to[1], (Mailbox{"B", "b@example.org"}));
    EXPECT_FALSE(message.sent_on.has_value());

    const ReceivedMessage dated =
        ParseMessage("Subject: x\r\nDate: Tue, 1 Dec 2026 10:00:00 +0100\r\n\r\nx\r\n");
    ASSERT_TRUE(dated.sent_on.has_value());
    EXPECT_EQ(std::chrono::system_clock::to_time_t(*dated.sent_on), 1796115600);
}

// The clock holds dates up to 2262; later ones are left empty for the caller
// to use the time of reading, as for any unreadable date.
TEST(ReceivedMessage, DatesBeyondTheClockAreLeftEmpty) {
    struct Case {
        const char* date;
        bool readable;
    };
    for (const Case& test : {Case{"Fri, 31 Dec 2200 23:59:59 +0000", true},
                             Case{"Mon, 1 Jan 2263 00:00:00 +0000", false},
                             Case{"Sat, 1 Jan 2300 00:00:00 +0000", false},
                             Case{"Sat, 1 Jan 99999 00:00:00 +0000", false}}) {
        const ReceivedMessage message =
            ParseMessage(std::string("Subject: x\r\nDate: ") + test.date + "\r\n\r\nx\r\n");
        EXPECT_EQ(message.sent_on.has_value(), test.readable) << test.date;
    }
}

TEST(ReceivedMessage, DamagedInputGivesWhatCanBeRead) {
    for (const char* raw : {"", "\r\n\r\n", "Content-Type: multipart/mixed\r\n\r\nno boundary",
                            "Subject: only a header"}) {
        EXPECT_NO_THROW(ParseMessage(raw)) << raw;
    }
}

// Malformed encoded words on which the MIME library's own string handling
// throws a standard exception instead of its own (found by the fuzz target).
TEST(ReceivedMessage, EncodedWordsTheLibraryCannotReadGiveWhatCanBeRead) {
    const std::string raw(
        "\x5b\x72\x6f\x6d\x3a\x20\x3d\x3f\x75\x74\x66\x2d\x38\x3f\x62\x6a"
        "\x65\x63\x74\x3a\x20\x3d\x3f\x69\x73\x6f\x2d\x38\x38\xff\xff\xff"
        "\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x35\x39\x2d\x31"
        "\x3f\x51\x3f\x3d\x43\x34\x6e\x64\x65\xff\xff\xff\xff\xff\x6f\x6d"
        "\x3a\x20\x3d\x3f\x75\x74\x66\x2d\x38\x3f\x62\x6a\x65\x63\x74\x3a"
        "\x20\x3d\x3f\x69\x73\x6f\x2d\x38\x38\xff\xff\xff\xff\xff\xff\xff"
        "\xff\xff\xff\xff\xff\xff\xff\xff\x35\x39\x2d\x31\x3f\x51\x3f\x3d"
        "\x43\x34\x6e\x64\x65\xff\xff\xff\xff\xff\xff\xff\x1d\x44\x61\x74"
        "\x65\x3a\x20\x54\x75\x65\x2c\x20\x31\x20\x44\x65\xff\xff\xff\xff"
        "\xff\xff\xff\x1d\x46\x72\x6f\x6d\x3a\x20\x61\x40\x62\x95\x95\x95"
        "\x95\x95\x95\x95\x61\x74\x69\x6f\x6e\x2f\x70\x64\x66\x3b\x20\x6e"
        "\x61\x6d\x65\x3d\x22\x70\x00\x00\xb3\x10\x74\x74\x61\x63\x68\x6d"
        "\x65\x6e\x74\x3b\x20\x66\x69\x6c\x65\x6e\x61\x6d\x65\x3d\x3f\x3d"
        "\x43\x34\x6e\x64\x65\x72\x75\x6e\x67\x3f\x3d\x0d\x0a\x44\x61\x74"
        "\x65\x3a\x20\x54\x75\x65\x2c\x20\x31\x20\x44\x65\x63\x20\x32\x30"
        "\x32\x36\x80\xbd\x00\x00\x60\x61\x00\x00\x30\x20\x2b\x30\x31\x30"
        "\x30\x0d\x0a\x3f\x75\x74\x66\x2d\x38\x3f\x51\x3f\x4a\x65\x20\x6e"
        "\x65\x77\x73\x0d\x0a",
        277);
    EXPECT_NO_THROW(ParseMessage(raw));
}

// A field whose encoded words the MIME library cannot read costs only that
// field's decoding: the sender, the other fields, the body (where the same
// text stays as written) and the attachments still read, whichever header
// holds the damage.
TEST(ReceivedMessage, UnreadableEncodedWordsCostOnlyTheirOwnField) {
    const std::string bad = "=??b?i?Q?==??b?iQ?=";
    struct Case {
        std::string from, subject, attachment_type, attachment_name;
    };
    const std::vector<Case> cases{
        {"Ann <ann@example.org>", bad + " subscribe", "application/pdf", "a.pdf"},
        {bad + " <ann@example.org>", "subscribe", "application/pdf", "a.pdf"},
        {"Ann <ann@example.org>", "subscribe", "application/pdf; name=\"" + bad + "\"", "a.pdf"},
        {"Ann <ann@example.org>", "subscribe", "application/pdf", bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from + " | " + c.subject + " | " + c.attachment_type + " | " +
                     c.attachment_name);
        const std::string raw = "From: " + c.from +
                                "\r\n"
                                "To: list@example.org\r\n"
                                "Subject: " +
                                c.subject +
                                "\r\n"
                                "MIME-Version: 1.0\r\n"
                                "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
                                "\r\n"
                                "--b1\r\n"
                                "Content-Type: text/plain; charset=utf-8\r\n"
                                "\r\n"
                                "subscribe news\r\n"
                                "Note: " +
                                bad +
                                "\r\n"
                                "--b1\r\n"
                                "Content-Type: " +
                                c.attachment_type +
                                "\r\n"
                                "Content-Disposition: attachment;\r\n"
                                " filename=\"" +
                                c.attachment_name +
                                "\"\r\n"
                                "Content-Transfer-Encoding: base64\r\n"
                                "\r\n"
                                "YWJj\r\n"
                                "--b1--\r\n";
        const ReceivedMessage m = ParseMessage(raw);
        EXPECT_EQ(m.from.address, "ann@example.org");
        ASSERT_EQ(m.to.size(), 1u);
        EXPECT_EQ(m.to[0].address, "list@example.org");
        EXPECT_NE(m.subject.find("subscribe"), std::string::npos) << m.subject;
        EXPECT_NE(m.plain_body.find("subscribe news\r\nNote: " + bad), std::string::npos)
            << m.plain_body;
        ASSERT_EQ(m.attachments.size(), 1u);
        EXPECT_EQ(m.attachments[0].data.value_or(""), "abc");
        EXPECT_FALSE(m.attachments[0].display_name.empty());
    }
}

// Raw 8-bit headers and bodies, as many programs send them, and charsets that
// are unknown or do not fit their bytes: all text comes out as valid UTF-8,
// read as UTF-8 where it is that and as Windows-1252 otherwise.
TEST(ReceivedMessage, UndeclaredAndUnfittingCharsetsGiveValidUtf8) {
    struct Case {
        const char* what;
        std::string raw;
        std::string subject, from_name, body, attachment;
        // The subject's or the body's bytes did not decode as their charset says.
        bool subject_undecodable = false, body_undecodable = false;
    };
    const Case cases[] = {
        {"raw UTF-8 headers and body",
         "From: J\xc3\xbcrgen M\xc3\xbcller <j@example.org>\r\nSubject: Gr\xc3\xbc\xc3\x9f"
         "e an alle\r\n\r\nGr\xc3\xbc\xc3\x9f"
         "e\r\n",
         "Grüße an alle", "Jürgen Müller", "Grüße\r\n", ""},
        {"raw Latin-1 headers",
         "From: J\xfcrgen <j@example.org>\r\nSubject: Gr\xfc\xdf"
         "e\r\nContent-Type: text/plain; charset=iso-8859-1\r\n\r\nK\xf6rper\r\n",
         "Grüße", "Jürgen", "Körper\r\n", "", true, false},
        {"unknown charset in a word", "Subject: =?x-unknown?Q?abc=FC?=\r\n\r\nplain\r\n", "abcü",
         "", "plain\r\n", "", true, false},
        {"cut UTF-8 in a word", "Subject: =?utf-8?Q?cut=C3?=\r\n\r\nx\r\n", "cutÃ", "", "x\r\n", "",
         true, false},
        {"unknown charset of a file name",
         "Subject: x\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: application/octet-stream; name*=x-bogus''%FC%E4.txt\r\n"
         "Content-Disposition: attachment\r\n\r\nabc\r\n--b--\r\n",
         "x", "", "", "üä.txt"},
        {"UTF-8 body that is not",
         "Subject: x\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nK\xf6rper\r\n", "x", "",
         "Körper\r\n", "", false, true},
    };
    for (const Case& c : cases) {
        const ReceivedMessage message = ParseMessage(c.raw);
        EXPECT_EQ(message.subject, c.subject) << c.what;
        EXPECT_EQ(message.from.name, c.from_name) << c.what;
        EXPECT_EQ(message.plain_body, c.body) << c.what;
        EXPECT_EQ(message.subject_undecodable, c.subject_undecodable) << c.what;
        EXPECT_EQ(message.body_undecodable, c.body_undecodable) << c.what;
        if (!c.attachment.empty()) {
            ASSERT_EQ(message.attachments.size(), 1u) << c.what;
            EXPECT_EQ(message.attachments[0].display_name, c.attachment) << c.what;
        }
    }
}

// A hostile mail nests multiparts far deeper than any mail program writes.
TEST(ReceivedMessage, DeeplyNestedPartsDoNotExhaustTheStack) {
    std::string raw = "Subject: deep\r\nMIME-Version: 1.0\r\n";
    constexpr int kDepth = 20000;
    for (int i = 0; i < kDepth; ++i)
        raw += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
               std::to_string(i) + "\r\n";
    raw += "Content-Type: text/plain\r\n\r\nSUBSCRIBE\r\n";
    // Its header is still read.
    EXPECT_EQ(ParseMessage(raw).subject, "deep");

    // Nesting as deep as real mail, closed and reopened, is read whole.
    std::string nested = "Subject: nested\r\nMIME-Version: 1.0\r\n";
    std::string closing;
    for (int i = 0; i < 20; ++i) {
        nested += "Content-Type: multipart/mixed;\r\n boundary=\"b " + std::to_string(i) +
                  "\"\r\n\r\npreamble\r\n--b " + std::to_string(i) + "\r\n";
        if (i > 0)
            closing = "\r\n--b " + std::to_string(i) + "--\r\n" + closing;
    }
    nested += "Content-Type: text/plain\r\n\r\nSUBSCRIBE" + closing;
    for (int i = 0; i < 300; ++i) {
        nested +=
            "--b 0\r\nContent-Type: multipart/mixed; boundary=s\r\n\r\n--s\r\n"
            "Content-Type: application/octet-stream\r\n\r\nx\r\n--s--\r\n";
    }
    nested += "--b 0--\r\n";
    const ReceivedMessage read = ParseMessage(nested);
    EXPECT_EQ(read.plain_body, "SUBSCRIBE");
    EXPECT_EQ(read.attachments.size(), 300u);
}

// Vacation and "thank you" replies mark themselves; delivery reports carry the same
// marks and are told apart by their report parts or their mail-system sender.
TEST(ReceivedMessage, AutomaticRepliesAreToldFromDeliveryReports) {
    struct Case {
        const char* from;
        const char* header;
        const char* body;
        bool automatic_reply;
    };
    const std::string plain = "Content-Type: text/plain\r\n\r\nAway.\r\n";
    const std::string report =
        "Content-Type: multipart/report; report-type=delivery-status; boundary=R\r\n\r\n"
        "--R\r\nContent-Type: text/plain\r\n\r\nFailed.\r\n--R\r\n"
        "Content-Type: message/delivery-status\r\n\r\nFinal-Recipient: rfc822; b@x.org\r\n"
        "Action: failed\r\n\r\n--R--\r\n";
    const Case cases[] = {
        {"a@x.org", "Auto-Submitted: auto-replied\r\n", plain.c_str(), true},
        {"a@x.org", "Auto-Submitted: Auto-Replied (vacation)\r\n", plain.c_str(), true},
        // Programs that send for people (a web form's request) mark their mail so too.
        {"a@x.org", "Auto-Submitted: auto-generated\r\n", plain.c_str(), false},
        {"a@x.org", "X-Autoreply: yes\r\n", plain.c_str(), true},
        {"a@x.org", "X-Autorespond: Away\r\n", plain.c_str(), true},
        {"a@x.org", "Precedence: auto_reply\r\n", plain.c_str(), true},
        {"a@x.org", "Auto-Submitted: no\r\n", plain.c_str(), false},
        {"a@x.org", "Precedence: bulk\r\n", plain.c_str(), false},
        {"a@x.org", "", plain.c_str(), false},
        {"a@x.org", "Auto-Submitted: auto-replied\r\n", report.c_str(), false},
        {"MAILER-DAEMON@mx.x.org", "Auto-Submitted: auto-replied\r\n", plain.c_str(), false},
        {"Postmaster@x.org", "Auto-Submitted: auto-generated\r\n", plain.c_str(), false},
    };
    for (const Case& c : cases) {
        const std::string raw = std::string("From: ") + c.from + "\r\nSubject: Re: news\r\n" +
                                c.header + "MIME-Version: 1.0\r\n" + c.body;
        EXPECT_EQ(ParseMessage(raw).automatic_reply, c.automatic_reply) << raw;
    }
}

// Read receipts come as a report of their own type, or only as a disposition part
// (some readers send it inside multipart/mixed); a delivery report or an ordinary
// "Read:" mail is none.
TEST(ReceivedMessage, DispositionNotificationsAreToldFromDeliveryReports) {
    const std::string human =
        "--R\r\nContent-Type: text/plain\r\n\r\nThis is a receipt for the mail you sent to\r\n"
        "bob@x.org\r\nThe message was displayed.\r\n";
    const std::string disposition =
        "--R\r\nContent-Type: message/disposition-notification\r\n\r\n"
        "Reporting-UA: mail.x.org; Reader 1.0\r\nFinal-Recipient: rfc822; bob@x.org\r\n"
        "Original-Message-ID: <n1@list.org>\r\n"
        "Disposition: manual-action/MDN-sent-manually; displayed\r\n\r\n";
    const std::string headers =
        "--R\r\nContent-Type: text/rfc822-headers\r\n\r\nFrom: list@list.org\r\n"
        "To: bob@x.org\r\nSubject: Undeliverable parcels\r\n\r\n";
    struct Case {
        std::string type;
        std::string parts;
        bool receipt;
    };
    const Case cases[] = {
        {"multipart/report; report-type=disposition-notification", human + disposition + headers,
         true},
        {"multipart/report; report-type=\"Disposition-Notification\"", human + disposition, true},
        // The report's type is missing; its disposition part still tells it.
        {"multipart/report", human + disposition, true},
        {"multipart/mixed", human + disposition, true},
        // The human-readable part alone, without a disposition part.
        {"multipart/report; report-type=disposition-notification", human, true},
        {"multipart/report; report-type=delivery-status",
         human +
             "--R\r\nContent-Type: message/delivery-status\r\n\r\n"
             "Final-Recipient: rfc822; bob@x.org\r\nAction: failed\r\n\r\n" +
             headers,
         false},
        {"multipart/mixed", human, false},
    };
    for (const Case& c : cases) {
        const std::string raw =
            "From: Bob <bob@x.org>\r\nTo: list@list.org\r\n"
            "Subject: Read: Undeliverable parcels\r\n"
            "Auto-Submitted: auto-replied\r\nMIME-Version: 1.0\r\n"
            "Content-Type: " +
            c.type + "; boundary=R\r\n\r\n" + c.parts + "--R--\r\n";
        const ReceivedMessage read = ParseMessage(raw);
        EXPECT_EQ(read.disposition_notification, c.receipt) << raw;
        // One or the other: a receipt is told by its own mark.
        EXPECT_FALSE(read.disposition_notification && read.automatic_reply) << raw;
        EXPECT_NE(read.plain_body.find("This is a receipt"), std::string::npos) << raw;
    }
    const ReceivedMessage plain = ParseMessage(
        "From: bob@x.org\r\nSubject: Read: News\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain\r\n\r\nRead it, thanks.\r\n");
    EXPECT_FALSE(plain.disposition_notification);
}

TEST(VCard, ReadsNamesAndAddressesOfEachVersion) {
    const auto cards = ParseVCards(
        "junk before\r\n"
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN:M=C3=BCller;Hans\r\n"
        "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Hans M=C3=BC=\r\nller\r\n"
        "EMAIL;PREF;INTERNET:hans@example.org\r\nEND:VCARD\r\n"
        "begin:vcard\nversion:3.0\nn:Doe;Jane;;;\nitem1.EMAIL;type=INTERNET:jane@exa\n mple.org\n"
        "EMAIL:second@example.org\nend:vcard\n"
        "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Smith\\, Bob\r\nEMAIL:mailto:bob@example.org\r\n"
        "END:VCARD\r\n"
        "BEGIN:VCARD\r\nFN:No End\r\n");
    ASSERT_EQ(cards.size(), 4u);
    EXPECT_EQ(cards[0].full_name, "Hans Müller");
    EXPECT_EQ(cards[0].emails, std::vector<std::string>{"hans@example.org"});
    EXPECT_EQ(cards[1].full_name, "Jane Doe");
    EXPECT_EQ(cards[1].emails,
              (std::vector<std::string>{"jane@example.org", "second@example.org"}));
    EXPECT_EQ(cards[2].full_name, "Smith, Bob");
    EXPECT_EQ(cards[2].emails, std::vector<std::string>{"bob@example.org"});
    EXPECT_EQ(cards[3].full_name, "No End");
    EXPECT_TRUE(cards[3].emails.empty());
    EXPECT_TRUE(ParseVCards("").empty());
    EXPECT_TRUE(ParseVCards("FN:outside\r\nEMAIL:x@y\r\n").empty());
}

TEST(OutgoingMessage, NamesAndTypes) {
    EXPECT_EQ(FileNamePart("C:\\docs\\a.txt"), "a.txt");
    EXPECT_EQ(FileNamePart("/tmp/dir/b.pdf"), "b.pdf");
    EXPECT_EQ(FileNamePart("c:x.doc"), "x.doc");
    EXPECT_EQ(GuessMediaType("Report.PDF"), "application/pdf");
    EXPECT_EQ(GuessMediaType("noext"), "application/octet-stream");
}

TEST(VCard, DecodesQuotedPrintableAndHonoursTheCharset) {
    struct Case {
        const char* what;
        std::string property;
        std::string name;
    };
    const Case cases[] = {
        {"Latin-1 quoted-printable", "FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller",
         "M\xC3\xBCller"},
        {"Latin-1 raw bytes", "FN;CHARSET=iso-8859-1:M\xFCller", "M\xC3\xBCller"},
        {"Windows-1252", "FN;CHARSET=windows-1252:\x80 sign", "\xE2\x82\xAC sign"},
        {"vCard 2.1 bare parameter", "FN;QUOTED-PRINTABLE:A=3DB", "A=B"},
        {"UTF-8 named",
         "FN;CHARSET=UTF-8:Gr\xC3\xBC\xC3\x9F"
         "e",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"no charset keeps the bytes", "FN:caf\xC3\xA9", "caf\xC3\xA9"},
        {"unknown charset keeps the bytes", "FN;CHARSET=X-NO-SUCH-SET:abc", "abc"},
    };
    for (const Case& c : cases) {
        const auto cards =
            ParseVCards("BEGIN:VCARD\r\nVERSION:2.1\r\n" + c.property + "\r\nEND:VCARD\r\n");
        ASSERT_EQ(cards.size(), 1u) << c.what;
        EXPECT_EQ(cards[0].full_name, c.name) << c.what;
    }
}

}  // namespace
}  // namespace mail

namespace mail {
namespace {

// Members reading a forwarded HTML-only post see where its links lead; requests are
// still read from the text alone, so a link's address never becomes a command's word.
TEST(ReceivedMessage, HtmlOnlyPostsKeepTheirLinksAddressesForForwardsOnly) {
    const ReceivedMessage html = ParseMessage(
        "From: a@example.org\r\nSubject: s\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
        "<p>subscribe <a href=\"https://example.org/join\">news</a></p>\r\n");
    EXPECT_EQ(html.plain_body, "subscribe news\n");
    EXPECT_EQ(html.forward_body, "subscribe news <https://example.org/join>\n");
    const ReceivedMessage both = ParseMessage(
        "From: a@example.org\r\nSubject: s\r\nContent-Type: multipart/alternative; boundary=A\r\n"
        "\r\n--A\r\nContent-Type: text/plain\r\n\r\nplain\r\n--A\r\nContent-Type: text/html\r\n\r\n"
        "<a href=\"https://example.org/\">html</a>\r\n--A--\r\n");
    EXPECT_EQ(both.plain_body, "plain");
    EXPECT_EQ(both.forward_body, "plain");
}

}  // namespace
}  // namespace mail

namespace mail {
namespace {

// Attachment names with line breaks or other control characters, and types that are no
// type, are read so that a forward can carry them: otherwise every forward of the post
// would fail and no member would ever get it.
TEST(ReceivedMessage, AttachmentNamesAndTypesAreReadSoThatAForwardCanCarryThem) {
    struct Case {
        std::string header, name, type;
    };
    const Case cases[] = {
        {"Content-Type: application/pdf\r\nContent-Disposition: attachment; "
         "filename*=utf-8''a%0D%0Ab.pdf",
         "a  b.pdf", "application/pdf"},
        {"Content-Type: image/png\r\nContent-Disposition: attachment; filename*=utf-8''a%00b.png",
         "a b.png", "image/png"},
        {"Content-Type: text/plain\r\nContent-Disposition: attachment; "
         "filename=\"=?utf-8?q?x=0A=09y.txt?=\"",
         "x  y.txt", "text/plain"},
        {"Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
         "filename*=utf-8''%0D%0A",
         "attachment", "application/octet-stream"},
        {"Content-Type: /\r\nContent-Disposition: attachment; filename=s.bin", "s.bin",
         "application/octet-stream"},
        {"Content-Type: application/pdf\r\nContent-Disposition: attachment; filename=\"a\tb.pdf\"",
         "a b.pdf", "application/pdf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        const ReceivedMessage received = ParseMessage(
            "From: a@example.org\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=M\r\n\r\n--M\r\nContent-Type: text/plain\r\n"
            "\r\nx\r\n--M\r\n" +
            c.header + "\r\n\r\ndata\r\n--M--\r\n");
        ASSERT_EQ(received.attachments.size(), 1u);
        EXPECT_EQ(received.attachments[0].display_name, c.name);
        EXPECT_EQ(received.attachments[0].media_type, c.type);
        OutgoingMessage forward;
        forward.from = {"", "list@example.org"};
        forward.bcc = {{"", "ann@example.org"}};
        forward.attachments = received.attachments;
        const ReceivedMessage again = ParseMessage(ComposeMime(forward));
        ASSERT_EQ(again.attachments.size(), 1u);
        EXPECT_EQ(again.attachments[0].display_name, c.name);
        EXPECT_EQ(again.attachments[0].data, "data");
    }
}

// A forward hands every member the names the sender chose: what a member's mail program
// may save is a plain name in its folder, never a path, a device or a name too long.
TEST(ReceivedMessage, AttachmentNamesCarryNoFolderNorDevice) {
    std::string long_utf8(151, 'a');
    for (int i = 0; i < 60; ++i)
        long_utf8 += "\xC3\xBC";
    long_utf8 += ".pdf";
    struct Case {
        std::string name, safe;
    };
    const Case cases[] = {
        {"../../etc/passwd", "passwd"},
        {"/etc/cron.d/job", "job"},
        {"C:\\\\Windows\\\\System32\\\\x.exe", "x.exe"},
        {"..\\\\..\\\\start.bat", "start.bat"},
        {"C:evil.lnk", "evil.lnk"},
        {"..", "attachment"},
        {" . ", "attachment"},
        {"report.pdf. . ", "report.pdf"},
        {"a<b>c|d?e*f.txt", "a_b_c_d_e_f.txt"},
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"Com7.tar.gz", "_Com7.tar.gz"},
        {"lpt1", "_lpt1"},
        {"console.txt", "console.txt"},
        {"com10.txt", "com10.txt"},
        {std::string(5000, 'L') + ".pdf", std::string(196, 'L') + ".pdf"},
        {std::string(300, 'x'), std::string(200, 'x')},
        {long_utf8, long_utf8.substr(0, 195) + ".pdf"},  // cut between letters
        {"Gr\xC3\xBC\xC3\x9F"
         "e.txt",
         "Gr\xC3\xBC\xC3\x9F"
         "e.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 60));
        const ReceivedMessage received = ParseMessage(
            "From: a@example.org\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=M\r\n\r\n--M\r\nContent-Type: text/plain\r\n"
            "\r\nx\r\n--M\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"" +
            c.name + "\"\r\n\r\ndata\r\n--M--\r\n");
        ASSERT_EQ(received.attachments.size(), 1u);
        EXPECT_EQ(received.attachments[0].display_name, c.safe);
        EXPECT_EQ(received.attachments[0].data, "data");
    }
}

// Senders are taken as written: an internationalized address is no encoded word with a
// punycode domain, and an encoded word inside an address encodes nothing there.
TEST(ReceivedMessage, InternationalizedAndEncodedSenderAddressesStayAsWritten) {
    struct Case {
        std::string from;
        Mailbox box;
    };
    const Case cases[] = {
        {"J <j\xC3\xBCrgen@b\xC3\xBC"
         "cher.example>",
         {"J",
          "j\xC3\xBCrgen@b\xC3\xBC"
          "cher.example"}},
        {"\xE7\x94\xA8\xE6\x88\xB7@\xE4\xBE\x8B\xE5\xAD\x90.\xE5\xB9\xBF\xE5\x91\x8A",
         {"", "\xE7\x94\xA8\xE6\x88\xB7@\xE4\xBE\x8B\xE5\xAD\x90.\xE5\xB9\xBF\xE5\x91\x8A"}},
        {"j\xFC@example.org", {"", "j\xC3\xBC@example.org"}},  // Latin-1 as sent
        {"J <j@xn--bcher-kva.example>", {"J", "j@xn--bcher-kva.example"}},
        {"Bob <=?utf-8?q?victim?=@example.org>", {"Bob", "=?utf-8?q?victim?=@example.org"}},
        {"joe@example.org (Joe Bloggs)", {"", "joe@example.org"}},
        {"team: ann@example.org, bob@example.org;", {"", "ann@example.org"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        EXPECT_EQ(ParseMessage("From: " + c.from + "\r\nSubject: s\r\n\r\nx\r\n").from, c.box);
    }
}

// A transfer encoding nobody knows leaves the text as it came rather than nothing, so its
// requests are seen and a forward carries it; the parts after it still read.
TEST(ReceivedMessage, UnknownTransferEncodingsKeepTheirText) {
    const ReceivedMessage received = ParseMessage(
        "From: a@example.org\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=M\r\n\r\n--M\r\nContent-Type: text/plain\r\n"
        "Content-Transfer-Encoding: x-uuencode-ish\r\n\r\nsubscribe news\r\n--M\r\n"
        "Content-Type: application/pdf\r\nContent-Disposition: attachment; filename=a.pdf\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nZGF0YQ==\r\n--M--\r\n");
    EXPECT_EQ(received.plain_body, "subscribe news");
    EXPECT_EQ(received.forward_body, "subscribe news");
    ASSERT_EQ(received.attachments.size(), 1u);
    EXPECT_EQ(received.attachments[0].data, "data");
}

// A body said to be multipart whose boundary never comes is the text mail programs show:
// its requests are read and a forward carries it, rather than losing it as a part header.
TEST(ReceivedMessage, AMultipartWhoseBoundaryNeverComesIsReadAsText) {
    const std::string head =
        "From: a@example.org\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"never\"\r\n";
    const ReceivedMessage missing = ParseMessage(head + "\r\nsubscribe news\r\nsecond line\r\n");
    EXPECT_EQ(missing.plain_body, "subscribe news\r\nsecond line\r\n");
    EXPECT_EQ(missing.forward_body, missing.plain_body);
    EXPECT_EQ(missing.from, (Mailbox{"", "a@example.org"}));

    // A boundary that does come, also without its closing line, is read as parts.
    const ReceivedMessage parts = ParseMessage(
        head + "\r\npreamble\r\n--never\r\nContent-Type: text/plain\r\n\r\nfirst part\r\n");
    EXPECT_EQ(parts.plain_body, "first part\r\n");
}

// Old Mac mail programs ended lines with CR alone: such a message reads as the one with
// CR LF, rather than as a single header line.
TEST(ReceivedMessage, LinesEndedByCarriageReturnsAloneAreLines) {
    const ReceivedMessage read = ParseMessage(
        "From: Ann <ann@example.org>\rSubject: subscribe news\rContent-Type: text/plain\r\r"
        "first\rsecond\r");
    EXPECT_EQ(read.from, (Mailbox{"Ann", "ann@example.org"}));
    EXPECT_EQ(read.subject, "subscribe news");
    EXPECT_EQ(read.plain_body, "first\r\nsecond\r\n");
}

}  // namespace
}  // namespace mail
