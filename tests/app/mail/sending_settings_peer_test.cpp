#include "app/mail/sending_settings.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include "platform/mail/mail_config.h"
#include "tests/platform/mail/peers.h"

namespace app {
namespace {

// The settings dialog's Test against a server that wants STARTTLS and a login:
// the answer names the server and says what it made of the account.
TEST(SmtpAccountTest, AnswersWithTheServersVerdict) {
    mail::testing::SmtpSink sink("starttls-auth");
    const std::string server = "127.0.0.1:" + std::to_string(sink.port());
    struct Case {
        int security;
        std::string password, answer;
    };
    for (const Case& c :
         {Case{0, "secret",
               "The SMTP server " + server + " accepted the connection and the login of listuser."},
          Case{0, "wrong", "The SMTP server " + server + " could not be used:"},
          Case{1, "secret",
               "The SMTP server " + server +
                   " could not be used:\r\n\r\nThe certificate of the SMTP server "
                   "127.0.0.1 could not be verified"}}) {
        SmtpSettingsFields fields;
        fields.host = "127.0.0.1";
        fields.port = std::to_string(sink.port());
        fields.user = "listuser";
        fields.security = c.security;
        fields.password = c.password;
        const std::string answer = TestSmtpAccount(fields, nullptr);
        EXPECT_TRUE(answer.starts_with(c.answer)) << answer;
        EXPECT_EQ(answer.find("secret"), std::string::npos) << "no password in a message";
    }
}

// The mail store's Test against Dovecot, plain and over TLS: a login it takes,
// one it refuses, and over TLS a certificate nobody vouches for.
TEST(StoreAccountTest, AnswersWithTheServersVerdict) {
    if (!mail::testing::DovecotServer::Available())
        GTEST_SKIP() << "needs root and dovecot";
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls);
        mail::testing::DovecotServer server("secret", tls);
        server.Start();
        mail::MailAccount account;
        account.imap = true;
        account.imap_tls = tls;
        account.imap_host = "127.0.0.1";
        account.imap_port = server.port();
        account.imap_user = "alice";
        account.imap_password = "secret";
        const std::string at = "The IMAP server 127.0.0.1:" + std::to_string(server.port());
        if (tls) {
            EXPECT_TRUE(TestStoreAccount(account).starts_with(at + " could not be used"))
                << "its certificate is trusted by nobody yet";
            // The test's own authority, as a site would name its own.
            ::setenv("SSL_CERT_FILE", server.certificate().c_str(), 1);
        }
        EXPECT_TRUE(TestStoreAccount(account).starts_with(at + " accepted the login"))
            << TestStoreAccount(account);
        account.imap_password = "wrong";
        const std::string refused = TestStoreAccount(account);
        EXPECT_TRUE(refused.starts_with(at + " could not be used")) << refused;
        EXPECT_EQ(refused.find("wrong"), std::string::npos) << "no password in a message";
        ::unsetenv("SSL_CERT_FILE");
    }
}

}  // namespace
}  // namespace app
