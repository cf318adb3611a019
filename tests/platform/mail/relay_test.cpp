#include "platform/mail/relay_library.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/mail/mail_error.h"
#include "platform/mail/mail_settings.h"
#include "platform/mail/mx_lookup.h"
#include "platform/mail/received_message.h"
#include "platform/mail/text_buffer.h"
#include "tests/platform/mail/peers.h"

namespace mail {
namespace {

using namespace std::chrono_literals;

constexpr const char* kZone =
    "example.test MX 10 mx.example.test\n"
    "example.test MX 5 nowhere.example.test\n"
    "mx.example.test A 127.0.0.1\n"
    "nowhere.example.test TXT x\n"
    "plain.test A 127.0.0.1\n"
    "nomail.test TXT x\n"
    "hostless.test MX 10 gone.hostless.test\n"
    "slow.test DROP\n"
    "ordered.test MX 30 c.ordered.test\n"
    "ordered.test MX 10 a.ordered.test\n"
    "ordered.test MX 20 b.ordered.test\n"
    "a.ordered.test A 127.0.0.1\n"
    "b.ordered.test A 127.0.0.1\n"
    "c.ordered.test A 127.0.0.1\n"
    "xn--bcher-kva.test MX 10 mx.example.test\n";

// A newsletter to one address, looked up through the DNS stub on loopback.
RelayRequest Request(const std::string& to) {
    RelayRequest request;
    request.dns_host = "127.0.0.1";
    request.dns_timeout_ms = 2000;
    request.from = {"List Owner", "owner@example.org"};
    request.to = to;
    request.subject = "Newsletter";
    request.body_lines = {"Hello", ".", "Bye"};
    return request;
}

class Relay : public ::testing::Test {
  protected:
    void SetUp() override {
        library_ = RelayLibrary::Open({CORVANE_SMTPServer_MODULE});
        library_->SetOptions({dns_.port(), sink_.port(), 5s, 5s});
    }
    testing::DnsStub dns_{kZone};
    testing::SmtpSink sink_;
    std::unique_ptr<RelayLibrary> library_;
};

TEST_F(Relay, DeliversToTheMailHostOfTheMxRecord) {
    testing::TempDir dir;
    testing::WriteFile(dir.path() / "list.csv", "a,b\n");
    RelayRequest request = Request("someone@example.test");
    request.html = true;
    request.body_lines = {"<p>Hello</p>", "<p>World</p>"};
    request.attachments = {(dir.path() / "list.csv").string()};
    const RelayResult result = library_->SendMail(request);
    ASSERT_EQ(result.code, kRelaySent) << result.text;
    EXPECT_EQ(result.text, "");
    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].mail_from, "owner@example.org");
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"someone@example.test"});
    const ReceivedMessage parsed = ParseMessage(mails[0].data);
    EXPECT_EQ(parsed.subject, "Newsletter");
    EXPECT_EQ(parsed.from.name, "List Owner");
    EXPECT_EQ(parsed.plain_body, "Hello\r\nWorld\r\n");
    ASSERT_EQ(parsed.attachments.size(), 1u);
    EXPECT_EQ(parsed.attachments[0].display_name, "list.csv");
}

// A domain beyond ASCII is looked up and addressed in its IDNA form; a
// mailbox name beyond ASCII cannot be sent at all.
TEST_F(Relay, InternationalisedDomainsAreLookedUpInTheirAsciiForm) {
    const RelayResult sent = library_->SendMail(Request("leser@bücher.test"));
    ASSERT_EQ(sent.code, kRelaySent) << sent.text;
    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"leser@xn--bcher-kva.test"});
    EXPECT_EQ(library_->SendMail(Request("jörg@example.test")).code, kRelayBadRequest);
    EXPECT_EQ(sink_.MessageCount(), 1u);
}

TEST_F(Relay, FallsBackToTheAddressRecordWithoutMx) {
    const RelayResult result = library_->SendMail(Request("user@plain.test"));
    ASSERT_EQ(result.code, kRelaySent) << result.text;
    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(ParseMessage(mails[0].data).plain_body, "Hello\r\n.\r\nBye\r\n");
}

TEST_F(Relay, ResultCodesForUndeliverableAddresses) {
    struct Case {
        const char* to;
        std::int32_t code;
    };
    const Case cases[] = {
        {"user@missing.test", kRelayNoMailHost},    // NXDOMAIN
        {"user@nomail.test", kRelayNoMailHost},     // neither MX nor address
        {"user@hostless.test", kRelayNoMailHost},   // the MX host has no address
        {"reject-me@example.test", kRelayRefused},  // 550 to RCPT
        {"not-an-address", kRelayBadRequest},      {"a@b\r\nRCPT TO:<x@y>", kRelayBadRequest},
    };
    for (const auto& c : cases) {
        const RelayResult result = library_->SendMail(Request(c.to));
        EXPECT_EQ(result.code, c.code) << c.to << ": " << result.text;
        EXPECT_FALSE(result.text.empty()) << c.to;
    }
    EXPECT_EQ(sink_.MessageCount(), 0u);
}

TEST_F(Relay, DnsTimeoutAndUnreachableHostAreFailures) {
    RelayRequest slow = Request("user@slow.test");
    slow.dns_timeout_ms = 1000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(library_->SendMail(slow).code, kRelayDnsFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

    library_->SetOptions({dns_.port(), testing::FreeTcpPort(), 5s, 5s});
    const RelayResult closed = library_->SendMail(Request("user@example.test"));
    EXPECT_EQ(closed.code, kRelayFailed);
    EXPECT_NE(closed.text.find("mx.example.test"), std::string::npos) << closed.text;
}

TEST_F(Relay, BadSubjectAndMissingAttachmentAreRefusedBeforeSending) {
    RelayRequest request = Request("user@example.test");
    request.subject = "Line\nBreak";
    EXPECT_EQ(library_->SendMail(request).code, kRelayBadRequest);
    request = Request("user@example.test");
    request.attachments = {"/nonexistent/file.pdf"};
    EXPECT_EQ(library_->SendMail(request).code, kRelayBadRequest);
    EXPECT_EQ(sink_.MessageCount(), 0u);
}

TEST_F(Relay, ErrorTextFitsTheCallersBuffer) {
    auto module = LoadedModule::Load({CORVANE_SMTPServer_MODULE});
    auto send = reinterpret_cast<RelaySendMailFn>(module->Symbol("SendMail"));
    ASSERT_NE(send, nullptr);
    char small[8];
    std::memset(small, 'x', sizeof small);
    const int32_t code = send("127.0.0.1", 1000, "owner@example.org", nullptr, "bad", nullptr,
                              nullptr, 0, 0, nullptr, 0, small, sizeof small);
    EXPECT_EQ(code, kRelayBadRequest);
    EXPECT_EQ(std::strlen(small), 7u);
    EXPECT_EQ(send("127.0.0.1", 1000, "owner@example.org", nullptr, "bad", nullptr, nullptr, 0, 0,
                   nullptr, 0, nullptr, 0),
              kRelayBadRequest);
    // A cut never splits a character.
    EXPECT_EQ(CutAtCharacter("aä", 2), "a");
    EXPECT_EQ(CutAtCharacter("aä", 3), "aä");
    char buffer[3];
    CopyToBuffer("äb", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "ä");
}

TEST_F(Relay, MailHostsComeInPreferenceOrder) {
    const MailHostLookup lookup =
        LookupMailHosts("ordered.test", DnsServer{"127.0.0.1", dns_.port(), 2s});
    ASSERT_EQ(lookup.status, LookupStatus::kOk) << lookup.text;
    ASSERT_EQ(lookup.hosts.size(), 3u);
    EXPECT_EQ(lookup.hosts[0].name, "a.ordered.test");
    EXPECT_EQ(lookup.hosts[1].name, "b.ordered.test");
    EXPECT_EQ(lookup.hosts[2].name, "c.ordered.test");
    EXPECT_EQ(lookup.hosts[0].addresses, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(LookupMailHosts("x", DnsServer{"no.such.host.invalid", 53, 1s}).status,
              LookupStatus::kFailed);
}

TEST(RelayStartTls, UsesTlsWhenTheHostOffersIt) {
    testing::DnsStub dns("secure.test MX 10 mx.secure.test\nmx.secure.test A 127.0.0.1\n");
    testing::SmtpSink sink("starttls");
    auto library = RelayLibrary::Open({CORVANE_SMTPServer_MODULE});
    library->SetOptions({dns.port(), sink.port(), 20s, 10s});
    const RelayResult result = library->SendMail(Request("user@secure.test"));
    ASSERT_EQ(result.code, kRelaySent) << result.text;
    ASSERT_EQ(sink.WaitForMessages(1).size(), 1u);
    EXPECT_EQ(sink.Sessions(), "tls=True login=None\n");
}

// A mail host that offers STARTTLS but fails the handshake would otherwise
// never get the mail: the relay's TLS is only opportunistic.
TEST(RelayStartTls, HostWhoseHandshakeFailsGetsTheMessageInPlainText) {
    testing::DnsStub dns("broken.test MX 10 mx.broken.test\nmx.broken.test A 127.0.0.1\n");
    testing::SmtpSink sink("starttls-broken");
    auto library = RelayLibrary::Open({CORVANE_SMTPServer_MODULE});
    library->SetOptions({dns.port(), sink.port(), 20s, 10s});
    const RelayResult result = library->SendMail(Request("user@broken.test"));
    ASSERT_EQ(result.code, kRelaySent) << result.text;
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"user@broken.test"});
    EXPECT_EQ(sink.Sessions(), "tls=False login=None\n");
}

TEST(RelayLibrary, MissingModuleOrExportIsAnError) {
    EXPECT_THROW(RelayLibrary::Open({"/nonexistent/libSMTPServer.so"}), EMailError);
    EXPECT_THROW(RelayLibrary::Open({CORVANE_mapi32_MODULE}), EMailError);
}

TEST(MailSettings, PortsAndTimeOutsStayInRange) {
    EXPECT_EQ(CheckedPort(25), 25);
    EXPECT_EQ(CheckedPort(65535), 65535);
    for (std::int64_t bad : {0LL, -1LL, 65536LL, 1LL << 40}) {
        EXPECT_THROW(CheckedPort(bad), EMailError) << bad;
    }
    struct Case {
        std::int64_t stored;
        std::uint16_t used;
    };
    for (const Case c : {Case{6000, 6000}, Case{12000, 12000}, Case{66000, 65000},
                         Case{70000, 65000}, Case{0, 0}, Case{-5, 0}, Case{1LL << 33, 65000}}) {
        EXPECT_EQ(DnsTimeoutMilliseconds(c.stored), c.used) << c.stored;
    }
}

}  // namespace
}  // namespace mail
