#include "app/mail/sending_settings.h"

#include <gtest/gtest.h>

#include "app/list/settings.h"
#include "app/mail/mail_context.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

TEST(SendingSettings, RootFolderChoiceRoundTrips) {
    for (const char* stored : {"<Root>", "Personal Folders", "Archive"}) {
        const RootChoice choice = RootChoiceOf(stored);
        EXPECT_EQ(RootFolderFor(choice, choice == RootChoice::kOther ? stored : ""), stored);
    }
    EXPECT_EQ(RootChoiceOf(""), RootChoice::kPersonalFolders);
}

TEST(SendingSettings, PortAndTimeOutFieldsStayInRange) {
    struct Case {
        const char* text;
        bool relay;
        std::optional<int> value;
    };
    const Case cases[] = {
        {"25", false, 25},
        {"65535", false, 65535},
        {"65536", false, std::nullopt},
        {"0", false, std::nullopt},
        {"-1", false, std::nullopt},
        {"2x", false, std::nullopt},
        {"", false, std::nullopt},
        {"0", true, 0},
        {"-1", true, std::nullopt},
        {"12", true, 12},
        {"65", true, 65},
        {"66", true, std::nullopt},
        {"99999999999", true, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParsePortField(c.text, c.relay), c.value) << c.text << " relay " << c.relay;
}

TEST(SendingSettings, RelayTimeOutShownInSecondsStoredInMilliseconds) {
    Settings settings;
    SmtpSettingsFields fields = LoadSmtpSettingsFields(settings, true);
    EXPECT_EQ(fields.port, "6");
    fields.port = "12";
    fields.host = "127.0.0.1";
    ASSERT_TRUE(StoreSmtpSettingsFields(settings, fields));
    EXPECT_EQ(settings.DNSTimeOut, 12000);
    EXPECT_EQ(LoadSmtpSettingsFields(settings, true).port, "12");

    fields.port = "70000";
    EXPECT_FALSE(StoreSmtpSettingsFields(settings, fields));
    EXPECT_EQ(settings.DNSTimeOut, 12000) << "a refused field changes nothing";

    // No time-out at all is a value of its own, kept as stored when the relay is used.
    fields.port = "0";
    ASSERT_TRUE(StoreSmtpSettingsFields(settings, fields));
    EXPECT_EQ(settings.DNSTimeOut, 0);
    EXPECT_EQ(LoadSmtpSettingsFields(settings, true).port, "0");
    EXPECT_EQ(MailSettingsFrom(settings, {}).dns_timeout_ms, 0);
}

TEST(SendingSettings, MissingSettingsLeadToTheSettingsDialog) {
    Settings settings;
    settings.SMTPHost = "mail.example.org";
    EXPECT_FALSE(MissingSettingsText(settings, kMethodSmtp).empty()) << "no sender address";
    settings.SMTPEmail = "list@example.org";
    EXPECT_TRUE(MissingSettingsText(settings, kMethodSmtp).empty());
    EXPECT_FALSE(MissingSettingsText(settings, kMethodRelay).empty()) << "no DNS server";
    EXPECT_TRUE(MissingSettingsText(settings, kMethodEmail).empty());
}

TEST(SendingSettings, UnchosenMethodAsksOnceAndCancelKeepsItUnchosen) {
    struct Case {
        int stored;
        std::optional<ui::TModalResult> answer;  // none: nothing may be asked
        bool go_on;
        int method_after;
    };
    for (const Case& c :
         {Case{-1, ui::mrOk, true, kMethodMapiControl}, Case{-1, ui::mrCancel, false, -1},
          Case{kMethodSmtp, {}, true, kMethodSmtp},
          Case{kMethodMapiControl, {}, true, kMethodMapiControl}}) {
        SCOPED_TRACE(c.stored);
        auto service = std::make_unique<ui::ScriptedPromptService>();
        ui::ScriptedPromptService& prompts = *service;
        ui::ScopedPromptService scope(std::move(service));
        if (c.answer)
            prompts.Answer(*c.answer);
        Settings settings;
        settings.EmailMethod = c.stored;
        EXPECT_EQ(ConfirmSendingMethod(settings), c.go_on);
        EXPECT_EQ(settings.EmailMethod, c.method_after);
        ASSERT_EQ(prompts.Asked().size(), c.answer ? 1u : 0u);
        if (c.answer) {
            EXPECT_EQ(prompts.Asked()[0].text,
                      "Your preferred e-mail sending method has not been specified.  The default, "
                      "MAPI transport, will be used.  You can change this under File|Options, "
                      "Advanced, if you would prefer another method or encounter any problems");
            EXPECT_EQ(prompts.Asked()[0].type, ui::mtInformation);
        }
    }
}

}  // namespace
}  // namespace app
