#include "app/mail/mail_out.h"

#include <gtest/gtest.h>

namespace app {
namespace {

TEST(MailOut, MergeFieldsReplaceInOnePassAndOnlyExactNames) {
    struct Case {
        std::string_view text;
        std::string_view expected;
    };
    const Case cases[] = {
        {"Dear %FULL_NAME%", "Dear Ann %EMAIL%"},
        {"Hi %SALUTATION%, %EMAIL%", "Hi %DATE%, a@example.org"},
        {"%email% and %Date% stay", "%email% and %Date% stay"},
        {"On %DATE%", "On 07/12/2026"},
        {"%%EMAIL%%", "%a@example.org%"},
        {"no fields", "no fields"},
        {"%FULL_NAME", "%FULL_NAME"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MergeFields(c.text, "Ann %EMAIL%", "%DATE%", "a@example.org", "07/12/2026"),
                  c.expected)
            << c.text;
}

TEST(MailOut, MergeFieldDetectionIsCaseSensitive) {
    EXPECT_TRUE(ContainsMergeField("x %EMAIL% y"));
    EXPECT_TRUE(ContainsMergeField("%DATE%"));
    EXPECT_FALSE(ContainsMergeField("%email% %Full_Name%"));
}

TEST(MailOut, CompletionTextNamesTheDestinationAndFailures) {
    EXPECT_EQ(CompletionText(kMethodSmtp, 3, 0),
              "Your e-mails to 3 recipients have been sent via your ISP's SMTP server.");
    EXPECT_EQ(CompletionText(kMethodOutlook, 1, 0),
              "Your e-mails to 1 recipients have been sent to your Outlook Outbox.");
    EXPECT_EQ(CompletionText(kMethodRelay, 0, 0),
              "Your e-mails to 0 recipients have been sent via the CVN SMTP Relay Server.");
    EXPECT_EQ(CompletionText(kMethodEmail, 2, 1),
              "Your e-mails to 2 recipients have been sent to your default e-mail software.  "
              "Sending to 1 recipients failed.");
}

}  // namespace
}  // namespace app
