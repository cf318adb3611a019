#include "app/mail/acknowledgement.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <thread>

#include "platform/mail/recording_simple_mapi.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"
#include "tests/support/mapi_sandbox.h"

namespace app {
namespace {

using namespace testing_support;

// Open TCP connections from this machine to the port (state ESTABLISHED in
// /proc/net/tcp), waiting a moment for closes under way.
int EstablishedConnections(std::uint16_t port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    int count = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        count = 0;
        for (const std::string& line : ProgramDir::Lines("/proc/net/tcp")) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "01" && remote.ends_with(hex))
                ++count;
        }
        if (count == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return count;
}

// A loopback port that nothing listens on: bound once and let go again.
std::uint16_t ClosedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

class AcknowledgementTest : public ListTest {
  protected:
    AcknowledgementTest() : acks(*entries, context) {
        settings.SendAcknowledgement = true;
        settings.memHeader = "Dear member,";
        settings.memFooter = "The list team";
        settings.AcknowledgementSubject = std::string(300, 's');
        context.mail_settings.from_address = "list@example.org";
        context.mail_settings.connect_timeout = std::chrono::seconds(5);
    }
    std::vector<std::string> Log() { return ProgramDir::Lines(program.File("log.txt")); }

    MailContext context;
    Acknowledger acks;
};

TEST_F(AcknowledgementTest, BodyLayoutAndWhenNothingIsSent) {
    EXPECT_EQ(acks.ComposeBody("Done."), "Dear member,\r\n\r\nDone.\r\n\r\nThe list team");
    settings.EmailMethod = kMethodSmtp;
    settings.SendAcknowledgement = false;
    acks.SendAcknowledgement("a@example.org", "x");
    settings.SendAcknowledgement = true;
    acks.SendAcknowledgement("not an address", "x");
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(prompts->Asked().empty());
}

TEST_F(AcknowledgementTest, SmtpRouteDeliversAndClosesTheConnection) {
    mail::testing::SmtpSink sink;
    settings.EmailMethod = kMethodSmtp;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = sink.port();
    acks.SendAcknowledgement("a@example.org", "Added.");
    acks.SendAcknowledgement("b@example.org", "Removed.");
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"a@example.org"}));
    EXPECT_NE(mails[1].data.find("Removed."), std::string::npos);
    EXPECT_EQ(EstablishedConnections(sink.port()), 0) << "every connection closed";
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Successful send of Acknowledgement e-mail to a@example.org",
                         "Successful send of Acknowledgement e-mail to b@example.org"}));
}

TEST_F(AcknowledgementTest, SmtpRefusalShowsTheBoxAndLogsTheError) {
    mail::testing::SmtpSink sink("stall-data");
    settings.EmailMethod = kMethodSmtp;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = sink.port();
    context.mail_settings.deliver_timeout = std::chrono::seconds(1);
    acks.SendAcknowledgement("a@example.org", "Added.");
    ASSERT_EQ(prompts->Asked().size(), 1u);
    EXPECT_EQ(prompts->Asked()[0].text, "SMTP Acknowledgement failed");
    EXPECT_EQ(prompts->Asked()[0].type, ui::mtError);
    EXPECT_EQ(Log(),
              (std::vector<std::string>{"Error sending Acknowledgement e-mail to a@example.org"}));
    EXPECT_EQ(EstablishedConnections(sink.port()), 0) << "closed after the failure too";
}

TEST_F(AcknowledgementTest, AnUnreachableServerIsLoggedWithoutABox) {
    settings.EmailMethod = kMethodSmtp;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = ClosedLoopbackPort();
    acks.SendAcknowledgement("a@example.org", "Added.");
    EXPECT_TRUE(prompts->Asked().empty());
    EXPECT_EQ(Log(),
              (std::vector<std::string>{"Error sending Acknowledgement e-mail to a@example.org"}));
}

TEST_F(AcknowledgementTest, SimpleMapiRouteCutsTheSubject) {
    support::testing::MapiSandbox sandbox;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                program.File("registry.ini"));
    sandbox.RegisterMapi("1");
    mail::RecordingSimpleMapi& mapi = sandbox.InstallRecording();
    settings.EmailMethod = 0;
    acks.SendAcknowledgement("a@example.org", "Added.");
    const auto sends = mapi.CallsOf("MAPISendMail");
    ASSERT_EQ(sends.size(), 1u);
    ASSERT_TRUE(sends[0].message.has_value());
    EXPECT_EQ(sends[0].message->subject, std::string(255, 's'));
    EXPECT_EQ(sends[0].message->note_text, acks.ComposeBody("Added."));
    EXPECT_EQ(
        Log(),
        (std::vector<std::string>{"Successful send of Acknowledgement e-mail to a@example.org"}));
    mapi.SetResult("MAPISendMail", 2);
    acks.SendAcknowledgement("a@example.org", "Again.");
    ASSERT_EQ(prompts->Asked().size(), 1u);
    EXPECT_EQ(prompts->Asked()[0].text, "MAPI Sendmail failed");
}

TEST_F(AcknowledgementTest, StoreRouteSendsThroughTheMailLayer) {
    mail::testing::SmtpSink sink;
    settings.EmailMethod = kMethodOutlook;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = sink.port();
    auto store =
        mail::MailStore::OpenMaildir(context.mail_settings, program.File("Mail"), "MailingList");
    context.store = store.get();
    acks.SendAcknowledgement("a@example.org", "Added.");
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"a@example.org"}));
    context.store = nullptr;
    prompts->Answer(ui::mrOk);
    acks.SendAcknowledgement("a@example.org", "No store.");
    ASSERT_EQ(prompts->Asked().size(), 1u);
    EXPECT_EQ(prompts->Asked()[0].text.rfind("MAPI Sending Error.", 0), 0u);
}

}  // namespace
}  // namespace app
