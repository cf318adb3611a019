// The two Simple-MAPI components over the real mapi32 module, delivering to an
// SMTP sink on loopback.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mail/mail_config.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/received_message.h"
#include "support/email.h"
#include "support/mapi_control.h"
#include "support/smapi.h"
#include "tests/support/mapi_sandbox.h"

namespace support {
namespace {

using mail::testing::SmtpSink;

class MapiDelivery : public ::testing::Test {
  protected:
    void SetUp() override {
        sandbox_.RegisterMapi("1");
        setenv(std::string(kModuleDirVariable).c_str(), CORVANE_MAPI32_DIR, 1);
        Set("SMTPHost", "127.0.0.1");
        Set("SMTPPort", std::to_string(sink_.port()));
        Set("SMTPEmail", "owner@example.org");
        Set("SMTPName", "List Owner");
        ASSERT_TRUE(SimpleMapiAvailable());
    }
    void Set(std::string_view name, std::string_view value) {
        sandbox_.WriteUser(mail::kApplicationKey, name, value);
    }
    std::string File(const std::string& name, const std::string& text) {
        const auto path = sandbox_.path() / name;
        mail::testing::WriteFile(path, text);
        return path.string();
    }

    testing::MapiSandbox sandbox_;
    SmtpSink sink_;
};

TEST_F(MapiDelivery, EmailDeliversEveryRecipientKindAndAttachment) {
    TEmail email(nullptr);
    // The send dialog's form values.
    email.SetDownLoadFirst(true);
    email.SetNewSession(false);
    email.SetUnreadOnly(true);
    email.SetUseDefProfile(true);
    std::vector<int> errors;
    email.OnMapiError = [&](db::TObject*, int code) { errors.push_back(code); };
    ASSERT_EQ(email.Logon(), 0);

    email.Recipient().Add("ann@example.org");
    email.CC().Add("carl@example.org");
    email.Bcc().Add("bob@example.org");
    email.Attachment().Add(File("VeryLongDocumentName.txt", "attached text"));
    email.SetSubject("Änderungen im Verteiler");
    email.SetText("Line 1\r\n.\r\nLine 3");
    email.SetAcknowledge(true);
    ASSERT_EQ(email.SendMail(), 0);
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(email.SessionOpen()) << "the session opened before stays open";
    EXPECT_EQ(email.Logoff(), 0);

    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].mail_from, "owner@example.org");
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"ann@example.org", "carl@example.org", "bob@example.org"}));
    EXPECT_NE(mails[0].data.find("Disposition-Notification-To:"), std::string::npos);
    const mail::ReceivedMessage parsed = mail::ParseMessage(mails[0].data);
    EXPECT_EQ(parsed.subject, "Änderungen im Verteiler");
    EXPECT_EQ(parsed.from.address, "owner@example.org");
    ASSERT_EQ(parsed.to.size(), 1u);
    EXPECT_EQ(parsed.to[0].address, "ann@example.org");
    ASSERT_EQ(parsed.cc.size(), 1u);
    EXPECT_EQ(parsed.cc[0].address, "carl@example.org");
    EXPECT_EQ(mails[0].data.find("bob@example.org\r\n"), std::string::npos)
        << "a blind copy never shows in the headers";
    EXPECT_EQ(parsed.plain_body, "Line 1\r\n.\r\nLine 3");
    ASSERT_EQ(parsed.attachments.size(), 1u);
    EXPECT_EQ(parsed.attachments[0].display_name, "mentName.txt");
    EXPECT_EQ(parsed.attachments[0].data, "attached text");
}

TEST_F(MapiDelivery, MapiControlDeliversWithoutDoublingTheAddressType) {
    TMapiControl control(nullptr);
    control.SetShowDialog(false);
    int successes = 0;
    control.OnSuccess = [&](db::TObject*) { ++successes; };
    control.SetSubject("Weekly");
    control.SetBody("Hello list");
    control.Recipients().Add("ann@example.org");
    control.Recipients().Add("SMTP:bob@example.org");
    control.CopyTo().Add("carl@example.org");
    control.BlindCopyTo().Add("dave@example.org");
    control.AttachedFiles().Add(File("notes.txt", "notes"));
    ASSERT_EQ(control.Send(), 0);
    EXPECT_EQ(successes, 1);

    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"ann@example.org", "bob@example.org",
                                                          "carl@example.org", "dave@example.org"}));
    const mail::ReceivedMessage parsed = mail::ParseMessage(mails[0].data);
    EXPECT_EQ(parsed.subject, "Weekly");
    EXPECT_EQ(parsed.plain_body, "Hello list");
    ASSERT_EQ(parsed.attachments.size(), 1u);
    EXPECT_EQ(parsed.attachments[0].display_name, "notes.txt");
}

TEST_F(MapiDelivery, NamesResolveAgainstTheContactsToTheirAddress) {
    const auto root = mail::DefaultMailRoot();
    mail::MailStore::OpenMaildir(mail::MailSettings{}, root, "MailingList");
    mail::testing::WriteFile(root / ".Contacts" / "vcards" / "c.vcf",
                             "BEGIN:VCARD\nFN:Ann Example\nEMAIL:ann@example.org\nEND:VCARD\n");
    TEmail email(nullptr);
    std::vector<int> errors;
    email.OnMapiError = [&](db::TObject*, int code) { errors.push_back(code); };
    EXPECT_EQ(email.ResolveName("ann example"), "ann@example.org");
    EXPECT_EQ(email.ResolveName("SMTP:direct@example.org"), "direct@example.org");
    EXPECT_EQ(email.ResolveName("Nobody"), "");
    EXPECT_EQ(errors, (std::vector<int>{MAPI_E_UNKNOWN_RECIPIENT}));

    // A contact's name goes out to the contact's address, under its full name.
    email.Recipient().Add("ann example");
    ASSERT_EQ(email.SendMail(), 0);
    EXPECT_EQ(email.Recipient().ToVector(), (std::vector<std::string>{"Ann Example"}));
    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"ann@example.org"}));

    // This client has no address book.
    errors.clear();
    EXPECT_EQ(email.Address(), MAPI_E_NOT_SUPPORTED);
    EXPECT_EQ(errors, (std::vector<int>{MAPI_E_NOT_SUPPORTED}));
    EXPECT_FALSE(email.SessionOpen());
}

// Names beyond ASCII reach the receiver as they were, through either
// component, and a missing file stops the send before anything goes out.
// A recipient written as a name with its address in brackets resolves to that
// address, stays in the list as written, and arrives under its name; the same in angle
// brackets resolves to the bare address. A name alone still needs a contact.
TEST_F(MapiDelivery, NamesWrittenWithTheirAddressInBracketsResolveAndArrive) {
    TEmail email(nullptr);
    std::vector<int> errors;
    email.OnMapiError = [&](db::TObject*, int code) { errors.push_back(code); };
    EXPECT_EQ(email.ResolveName("J\xC3\xBCrgen M\xC3\xBCller [juergen@example.org]"),
              "J\xC3\xBCrgen M\xC3\xBCller [juergen@example.org]");
    EXPECT_EQ(email.ResolveName("Ann <SMTP:ann@example.org>"), "ann@example.org");
    EXPECT_EQ(email.ResolveName("Bob bob@example.org"), "");
    EXPECT_EQ(email.ResolveName("Bad [not an address]"), "");
    EXPECT_EQ(errors, (std::vector<int>{MAPI_E_UNKNOWN_RECIPIENT, MAPI_E_UNKNOWN_RECIPIENT}));

    errors.clear();
    email.Recipient().Add("J\xC3\xBCrgen M\xC3\xBCller [juergen@example.org]");
    email.CC().Add("[carl@example.org]");
    email.SetText("Hello");
    ASSERT_EQ(email.SendMail(), 0);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(email.Recipient().ToVector(),
              (std::vector<std::string>{"J\xC3\xBCrgen M\xC3\xBCller [juergen@example.org]"}));
    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"juergen@example.org", "carl@example.org"}));
    const mail::testing::ReadMail read = mail::testing::ReadAsAMailProgram(mails[0].data);
    EXPECT_TRUE(read.faults.empty()) << read.faults.front();
    EXPECT_EQ(read.Header("To"),
              (std::vector<std::string>{"J\xC3\xBCrgen M\xC3\xBCller <juergen@example.org>"}));
    EXPECT_EQ(read.Header("Cc"), (std::vector<std::string>{"carl@example.org"}));
}

TEST_F(MapiDelivery, AttachmentNamesBeyondAsciiArriveAndMissingFilesSendNothing) {
    TEmail email(nullptr);
    std::vector<int> errors;
    email.OnMapiError = [&](db::TObject*, int code) { errors.push_back(code); };
    email.Recipient().Add("ann@example.org");
    email.Attachment().Add(File("Übersicht Jahresbericht 2025.pdf", "pdf"));
    email.Attachment().Add(File("Grüße.txt", "hallo"));
    ASSERT_EQ(email.SendMail(), 0);
    TMapiControl control(nullptr);
    control.SetShowDialog(false);
    control.Recipients().Add("ann@example.org");
    control.AttachedFiles().Add(File("Ärger mit Ölpreisen – Überblick.txt", "x"));
    ASSERT_EQ(control.Send(), 0);
    const auto mails = sink_.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u);
    const mail::ReceivedMessage first = mail::ParseMessage(mails[0].data);
    ASSERT_EQ(first.attachments.size(), 2u);
    EXPECT_EQ(first.attachments[0].display_name, "cht 2025.pdf");  // its 8.3 form
    EXPECT_EQ(first.attachments[1].display_name, "Grüße.txt");
    EXPECT_EQ(first.attachments[1].data, "hallo");
    const mail::ReceivedMessage second = mail::ParseMessage(mails[1].data);
    ASSERT_EQ(second.attachments.size(), 1u);
    EXPECT_EQ(second.attachments[0].display_name, "Ärger mit Ölpreisen – Überblick.txt");

    email.Attachment().Add(File("Grüße.txt", "") + ".gone");
    EXPECT_EQ(email.SendMail(), MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_EQ(errors, std::vector<int>{MAPI_E_ATTACHMENT_NOT_FOUND});
    EXPECT_FALSE(email.SessionOpen());
    control.AttachedFiles().Add(File("Grüße.txt", "") + ".gone");
    EXPECT_EQ(control.Send(), MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_EQ(sink_.MessageCount(), 2u);
}

TEST_F(MapiDelivery, ServerDownIsAFailureAndBadSettingsAreNamed) {
    Set("SMTPPort", std::to_string(mail::testing::FreeTcpPort()));
    TEmail email(nullptr);
    std::vector<int> errors;
    email.OnMapiError = [&](db::TObject*, int code) { errors.push_back(code); };
    email.Recipient().Add("ann@example.org");
    EXPECT_EQ(email.SendMail(), MAPI_E_FAILURE);
    EXPECT_EQ(errors, (std::vector<int>{MAPI_E_FAILURE}));
    TMapiControl control(nullptr);
    control.SetShowDialog(false);
    control.Recipients().Add("ann@example.org");
    int control_error = 0;
    control.OnMapiError = [&](db::TObject*, int code) { control_error = code; };
    EXPECT_EQ(control.Send(), MAPI_E_FAILURE);
    EXPECT_EQ(control_error, MAPI_E_FAILURE);

    Set("SMTPPort", "70000");
    try {
        email.SendMail();
        ADD_FAILURE() << "an unusable port was accepted";
    } catch (const mail::EMailError& e) {
        EXPECT_NE(std::string(e.what()).find("SMTPPort"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(email.SessionOpen()) << "the call's own session is closed on the way out";
    EXPECT_THROW(control.Send(), mail::EMailError);
    EXPECT_EQ(sink_.MessageCount(), 0u);
}

}  // namespace
}  // namespace support
