#include "platform/mail/smtp_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/mail/mail_error.h"
#include "platform/mail/received_message.h"
#include "tests/platform/mail/peers.h"

namespace mail {
namespace {

using testing::SmtpSink;
using namespace std::chrono_literals;

SmtpSession::Clock::time_point In(std::chrono::milliseconds span) {
    return SmtpSession::Clock::now() + span;
}

OutgoingMessage BasicMessage() {
    OutgoingMessage message;
    message.from = {"List Owner", "owner@example.org"};
    message.to = {{"Ann", "ann@example.org"}};
    message.subject = "Hello";
    message.body = "Line one\n";
    return message;
}

TEST(SmtpSession, DeliversEnvelopeHeadersAndDotStuffedBody) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());

    OutgoingMessage message = BasicMessage();
    message.to.push_back({"", "bob@example.org"});
    message.cc = {{"Carl", "carl@example.org"}};
    message.bcc = {{"", "hidden@example.org"}};
    message.subject = "Änderung der Liste";
    message.from.name = "Jürgen";
    message.body = "First\n.\n..two dots\n.leading dot\nlast";
    message.read_receipt = true;
    const SmtpResult result = session.send(message, In(10s));
    ASSERT_TRUE(result.ok()) << result.text;
    session.disconnect();

    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].mail_from, "owner@example.org");
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"ann@example.org", "bob@example.org", "carl@example.org",
                                        "hidden@example.org"}));
    const std::string& data = mails[0].data;
    EXPECT_EQ(data.find("hidden@example.org"), std::string::npos) << "Bcc must not show";
    EXPECT_EQ(data.find("Änderung"), std::string::npos) << "headers must be encoded";
    EXPECT_NE(data.find("Disposition-Notification-To:"), std::string::npos);
    EXPECT_NE(data.find("\r\n"), std::string::npos);

    const ReceivedMessage parsed = ParseMessage(data);
    EXPECT_EQ(parsed.subject, "Änderung der Liste");
    EXPECT_EQ(parsed.from, (Mailbox{"Jürgen", "owner@example.org"}));
    ASSERT_EQ(parsed.to.size(), 2u);
    ASSERT_EQ(parsed.cc.size(), 1u);
    EXPECT_EQ(parsed.cc[0].address, "carl@example.org");
    EXPECT_EQ(parsed.plain_body, "First\r\n.\r\n..two dots\r\n.leading dot\r\nlast\r\n");
    EXPECT_TRUE(parsed.sent_on.has_value());
}

// Non-ASCII subjects and names of any length arrive with every blank where it
// was, as many recipients in folded lines that stay short.
TEST(SmtpSession, EncodedSubjectsAndNamesKeepEveryBlank) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    std::string long_subject;
    for (int i = 0; i < 12; ++i)
        long_subject += "Ärger über Öl und Wasser " + std::to_string(i) + " ";
    const std::vector<std::string> subjects = {
        long_subject + "end", "Über " + std::string(100, 'x') + " end", "Ärger  zwei  Blanks",
        " vorn und hinten Ä ", "日本語 テキスト の 件名 です 長い 件名 日本語 テキスト の 件名"};
    const std::vector<std::string> names = {
        "Müller, Hans", "Hans Müller-Lüdenscheidt von und zu Groß Ämter und noch viel mehr",
        "Ä \\ B", "Ünïcödé, \"q\" (c)", "Plain \\"};
    OutgoingMessage message = BasicMessage();
    for (std::size_t i = 0; i < 100; ++i) {
        message.to.push_back({names[i % names.size()] + " " + std::to_string(i),
                              "m" + std::to_string(i) + "@example.org"});
    }
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        message.subject = subjects[i];
        message.from.name = names[i];
        ASSERT_TRUE(session.send(message, In(10s)).ok());
    }
    session.disconnect();

    const auto mails = sink.WaitForMessages(subjects.size());
    ASSERT_EQ(mails.size(), subjects.size());
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        const ReceivedMessage parsed = ParseMessage(mails[i].data);
        EXPECT_EQ(parsed.subject, subjects[i]);
        EXPECT_EQ(parsed.from.name, names[i]);
        ASSERT_EQ(parsed.to.size(), 101u);
        for (std::size_t k = 1; k < parsed.to.size(); ++k)
            EXPECT_EQ(parsed.to[k].name, message.to[k].name);
        const std::string header = mails[i].data.substr(0, mails[i].data.find("\r\n\r\n"));
        std::size_t start = 0;
        while (start < header.size()) {
            const auto end = std::min(header.find("\r\n", start), header.size());
            EXPECT_LE(end - start, 78u) << header.substr(start, end - start);
            start = end + 2;
        }
    }
}

TEST(SmtpSession, DeliversHtmlWithAttachments) {
    SmtpSink sink;
    testing::TempDir dir;
    std::string binary;
    for (int i = 0; i < 300; ++i)
        binary += static_cast<char>(i % 256);
    testing::WriteFile(dir.path() / "report.pdf", binary);

    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    OutgoingMessage message = BasicMessage();
    message.html = true;
    message.body = "<html><body><p>Hello &amp; welcome</p><script>x()</script></body></html>";
    message.attachments = {{"Bericht März.pdf", (dir.path() / "report.pdf").string(), {}, {}},
                           {"", (dir.path() / "report.pdf").string(), {}, {}}};
    ASSERT_TRUE(session.send(message, In(10s)).ok());

    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].data.find("text/html"), std::string::npos);
    EXPECT_NE(mails[0].data.find("multipart/alternative"), std::string::npos);
    const ReceivedMessage parsed = ParseMessage(mails[0].data);
    EXPECT_EQ(parsed.plain_body, "Hello & welcome\r\n");
    ASSERT_EQ(parsed.attachments.size(), 2u);
    EXPECT_EQ(parsed.attachments[0].display_name, "Bericht März.pdf");
    EXPECT_EQ(parsed.attachments[1].display_name, "report.pdf");
    EXPECT_EQ(parsed.attachments[0].data, binary);
}

// The headers of each part and of the message, with folded lines joined.
std::vector<std::string> PartHeaders(const std::string& data) {
    std::string unfolded;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data.compare(i, 3, "\r\n ") == 0 || data.compare(i, 3, "\r\n\t") == 0) {
            unfolded += ' ';
            i += 2;
        } else {
            unfolded += data[i];
        }
    }
    std::vector<std::string> headers;
    std::size_t start = 0;
    for (;;) {
        const auto end = unfolded.find("\r\n\r\n", start);
        if (end == std::string::npos)
            break;
        headers.push_back(unfolded.substr(start, end - start));
        const auto next = unfolded.find("\r\n--", end);
        if (next == std::string::npos)
            break;
        start = unfolded.find("\r\n", next + 4);
        if (start == std::string::npos)
            break;
        start += 2;
    }
    return headers;
}

std::string HeaderOf(const std::vector<std::string>& headers, std::string_view holding) {
    for (const auto& header : headers) {
        if (header.find(holding) != std::string::npos)
            return header;
    }
    return {};
}

TEST(SmtpSession, MessageIdNamesTheSenderDomainAndTextAttachmentsTheirCharset) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    OutgoingMessage message = BasicMessage();
    message.from.address = "owner@lists.example.net";
    message.attachments = {{"plain.txt", "", "just ascii\r\n", {}},
                           {"umlaut.txt", "", "Gr\xC3\xBC\xC3\x9F\x65\r\n", {}},
                           {"legacy.txt", "", "Gr\xFC\xDF\x65\r\n", {}},
                           {"table.csv", "", "a;\xC3\xA9\r\n", {}},
                           {"report.pdf", "", "%PDF-1.4 \xFC", {}}};
    ASSERT_TRUE(session.send(message, In(10s)).ok());

    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    const auto headers = PartHeaders(mails[0].data);
    ASSERT_FALSE(headers.empty());
    const std::string& top = headers.front();
    const auto id = top.find("Message-Id: <");
    ASSERT_NE(id, std::string::npos) << top;
    const auto close = top.find('>', id);
    const std::string value = top.substr(id + 13, close - id - 13);
    const auto at = value.find('@');
    ASSERT_NE(at, std::string::npos) << value;
    EXPECT_GT(at, 0u);
    EXPECT_EQ(value.substr(at + 1), "lists.example.net");

    struct Case {
        const char* name;
        const char* type;
    };
    for (const Case& c : {Case{"plain.txt", "text/plain; charset=utf-8"},
                          Case{"umlaut.txt", "text/plain; charset=utf-8"},
                          Case{"legacy.txt", "text/plain; charset=windows-1252"},
                          Case{"table.csv", "text/csv; charset=utf-8"},
                          Case{"report.pdf", "application/pdf\r\n"}}) {
        const std::string header = HeaderOf(headers, std::string("filename=") + c.name);
        EXPECT_NE(header.find(std::string("Content-Type: ") + c.type), std::string::npos)
            << c.name << ":\n"
            << header;
    }
    const ReceivedMessage parsed = ParseMessage(mails[0].data);
    ASSERT_EQ(parsed.attachments.size(), 5u);
    EXPECT_EQ(parsed.attachments[2].data, "Gr\xFC\xDF\x65\r\n") << "bytes go out unchanged";
}

TEST(SmtpSession, RefusesBadValuesBeforeSending) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    struct Case {
        const char* what;
        void (*spoil)(OutgoingMessage&);
    };
    const Case cases[] = {
        {"CR LF in subject", [](OutgoingMessage& m) { m.subject = "Hi\r\nBcc: x@evil.org"; }},
        {"LF in address", [](OutgoingMessage& m) { m.to[0].address = "a@b.org\nRCPT TO:<x@y>"; }},
        {"CR in name", [](OutgoingMessage& m) { m.from.name = "Owner\rX"; }},
        {"empty address", [](OutgoingMessage& m) { m.to[0].address.clear(); }},
        {"no at sign", [](OutgoingMessage& m) { m.to[0].address = "nobody"; }},
        // It would go out as an encoded word, another address altogether.
        {"mailbox beyond ASCII", [](OutgoingMessage& m) { m.to[0].address = "jörg@example.org"; }},
        {"missing attachment",
         [](OutgoingMessage& m) {
             m.attachments.push_back({"x", "/nonexistent/file.txt", {}, {}});
         }},
        {"no recipient", [](OutgoingMessage& m) { m.to.clear(); }},
    };
    for (const auto& c : cases) {
        OutgoingMessage message = BasicMessage();
        c.spoil(message);
        EXPECT_THROW(session.send(message, In(10s)), EMailError) << c.what;
    }
    // The connection is still good afterwards.
    EXPECT_TRUE(session.send(BasicMessage(), In(10s)).ok());
    EXPECT_EQ(sink.WaitForMessages(1).size(), 1u);
}

// Hostile values: each is refused before anything is sent, or goes out so
// that only the intended headers and recipients reach the wire.
TEST(SmtpSession, HostileValuesNeverReachTheWire) {
    SmtpSink sink;
    testing::TempDir dir;
    const std::string crlf_name = "a\r\n\r\nevil.txt";
    testing::WriteFile(dir.path() / crlf_name, "data");
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    struct Case {
        const char* what;
        std::function<void(OutgoingMessage&)> spoil;
    };
    const std::vector<Case> refused = {
        {"CR LF CR LF in a file name from the path",
         [&](OutgoingMessage& m) {
             m.attachments.push_back({"", (dir.path() / crlf_name).string(), {}, {}});
         }},
        {"CR LF in a media type",
         [](OutgoingMessage& m) {
             m.attachments.push_back({"a.txt", "", "x", "text/plain\r\nX-Evil: 1"});
         }},
        {"blank in a media type",
         [](OutgoingMessage& m) {
             m.attachments.push_back({"a.txt", "", "x", "text/ plain"});
         }},
        {"NUL in the subject", [](OutgoingMessage& m) { m.subject = std::string("a\0b", 3); }},
        {"VT in the subject", [](OutgoingMessage& m) { m.subject = "a\vb"; }},
        {"FF in the subject", [](OutgoingMessage& m) { m.subject = "a\fb"; }},
        {"ESC in the subject", [](OutgoingMessage& m) { m.subject = "a\x1b[2Jb"; }},
        {"DEL in the subject", [](OutgoingMessage& m) { m.subject = "a\x7f"; }},
        {"ESC in a display name", [](OutgoingMessage& m) { m.to[0].name = "Ann\x1b"; }},
        {"comma in an address",
         [](OutgoingMessage& m) { m.to[0].address = "a@b.com,victim@x.test"; }},
        {"semicolon in an address",
         [](OutgoingMessage& m) { m.to[0].address = "a@b.com;victim@x.test"; }},
        {"comment in an address", [](OutgoingMessage& m) { m.to[0].address = "a(x)@b.com"; }},
    };
    for (const Case& c : refused) {
        OutgoingMessage message = BasicMessage();
        c.spoil(message);
        EXPECT_THROW(session.send(message, In(10s)), EMailError) << c.what;
    }

    // Display names that end in or hold quoting characters stay names.
    OutgoingMessage message = BasicMessage();
    message.from.name = "Owner\\";
    message.to = {{"Evil\\", "ann@example.org"}, {"Q\"uote\\\"", "bob@example.org"}};
    message.cc = {{"a, b <c@evil.org>", "carl@example.org"}};
    ASSERT_TRUE(session.send(message, In(10s)).ok());
    session.disconnect();
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"ann@example.org", "bob@example.org", "carl@example.org"}));
    const ReceivedMessage parsed = ParseMessage(mails[0].data);
    EXPECT_EQ(mails[0].mail_from, "owner@example.org");
    EXPECT_EQ(parsed.from, message.from) << mails[0].data;
    EXPECT_EQ(parsed.to, message.to) << mails[0].data;
    EXPECT_EQ(parsed.cc, message.cc) << mails[0].data;
}

TEST(SmtpSession, ReportsRefusedRecipientWithItsCode) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    OutgoingMessage message = BasicMessage();
    message.to = {{"", "reject-me@example.org"}};
    const SmtpResult result = session.send(message, In(10s));
    EXPECT_EQ(result.status, SmtpStatus::kRefused);
    EXPECT_EQ(result.reply_code, 550);
    EXPECT_TRUE(session.connected());
    EXPECT_TRUE(session.send(BasicMessage(), In(10s)).ok());
}

// A recipient beyond the server's limit per message (452) is named with its
// code, so the caller can send it another time; nobody gets the message, and
// the session goes on.
TEST(SmtpSession, RecipientBeyondTheServersLimitIsNamedWithItsCode) {
    SmtpSink sink("rcpt-limit");
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    OutgoingMessage message = BasicMessage();
    message.to.clear();
    for (const char* address : {"a@example.org", "b@example.org", "c@example.org", "d@example.org"})
        message.to.push_back({"", address});
    const SmtpResult result = session.send(message, In(10s));
    EXPECT_EQ(result.status, SmtpStatus::kFailed);
    EXPECT_EQ(result.reply_code, 452);
    EXPECT_EQ(result.recipient, "d@example.org");
    EXPECT_TRUE(session.connected());
    message.to.pop_back();
    EXPECT_TRUE(session.send(message, In(10s)).ok());
    session.disconnect();
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to.size(), 3u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink.MessageCount(), 1u);
}

// Against a server that offers pipelining too, a refused recipient fails its
// message without a byte of it reaching anyone, and the next message of the
// session goes out whole.
TEST(SmtpSession, RefusedRecipientLeavesThePipeliningSessionUsable) {
    SmtpSink sink("pipelining");
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    const std::vector<std::pair<std::vector<std::string>, bool>> sends = {
        {{"ok1@example.org", "reject2@example.org"}, false},
        {{"ok3@example.org"}, true},
        {{"reject4@example.org"}, false},
        {{"ok5@example.org", "ok6@example.org"}, true},
    };
    for (std::size_t i = 0; i < sends.size(); ++i) {
        OutgoingMessage message = BasicMessage();
        message.to.clear();
        for (const auto& address : sends[i].first)
            message.to.push_back({"", address});
        message.subject = "Message " + std::to_string(i);
        const SmtpResult result = session.send(message, In(10s));
        EXPECT_EQ(result.ok(), sends[i].second) << i << ": " << result.text;
        if (!sends[i].second) {
            EXPECT_EQ(result.status, SmtpStatus::kRefused) << i;
            EXPECT_EQ(result.reply_code, 550) << i;
        }
    }
    session.disconnect();
    const auto mails = sink.WaitForMessages(2);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"ok3@example.org"});
    EXPECT_EQ(ParseMessage(mails[0].data).subject, "Message 1");
    EXPECT_EQ(mails[1].rcpt_to, (std::vector<std::string>{"ok5@example.org", "ok6@example.org"}));
    EXPECT_EQ(ParseMessage(mails[1].data).subject, "Message 3");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink.MessageCount(), 2u);
}

TEST(SmtpSession, RefusedConnectionFailsAtOnce) {
    SmtpSession session;
    const auto start = SmtpSession::Clock::now();
    const SmtpResult result = session.connect("127.0.0.1", testing::FreeTcpPort(), "", In(10s));
    EXPECT_EQ(result.status, SmtpStatus::kConnectionFailed);
    EXPECT_LT(SmtpSession::Clock::now() - start, 5s);
    EXPECT_FALSE(session.connected());
    EXPECT_EQ(session.send(BasicMessage(), In(1s)).status, SmtpStatus::kNotConnected);
}

// A server that takes the connection but never greets.
class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 4);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { close(fd_); }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

TEST(SmtpSession, ConnectDeadlineEndsTheWaitAndCallsIdle) {
    SilentServer server;
    std::atomic<int> idle_calls{0};
    SmtpOptions options;
    options.idle = [&] { ++idle_calls; };
    SmtpSession session(options);
    const auto start = SmtpSession::Clock::now();
    const SmtpResult result = session.connect("127.0.0.1", server.port(), "", In(400ms));
    const auto waited = SmtpSession::Clock::now() - start;
    EXPECT_EQ(result.status, SmtpStatus::kTimedOut);
    EXPECT_GE(waited, 400ms);
    EXPECT_LT(waited, 5s);
    EXPECT_GT(idle_calls.load(), 3);
    EXPECT_FALSE(session.connected());
    session.disconnect();
    session.disconnect();
}

TEST(SmtpSession, DeliverDeadlineDropsTheConnection) {
    SmtpSink sink("stall-data");
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    const auto start = SmtpSession::Clock::now();
    const SmtpResult result = session.send(BasicMessage(), In(500ms));
    EXPECT_EQ(result.status, SmtpStatus::kTimedOut);
    EXPECT_LT(SmtpSession::Clock::now() - start, 5s);
    EXPECT_FALSE(session.connected());
    EXPECT_EQ(session.send(BasicMessage(), In(1s)).status, SmtpStatus::kNotConnected);
    // A new connection works again.
    EXPECT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
}

TEST(SmtpSession, AbortFromAnotherThreadEndsTheTransaction) {
    SmtpSink sink("stall-data");
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    std::thread aborter([&] {
        std::this_thread::sleep_for(300ms);
        session.abort();
    });
    const auto start = SmtpSession::Clock::now();
    const SmtpResult result = session.send(BasicMessage(), In(20s));
    aborter.join();
    EXPECT_EQ(result.status, SmtpStatus::kAborted);
    EXPECT_LT(SmtpSession::Clock::now() - start, 8s);
    EXPECT_FALSE(session.connected());
}

// Writes are held until the next read and sent in blocks; a message far
// larger than a block, plain or through TLS, still arrives whole, and several
// messages share the connection.
TEST(SmtpSession, LargeMessagesArriveWholeOverPlainAndTls) {
    testing::TempDir dir;
    std::string binary;
    for (int i = 0; i < 300000; ++i)
        binary += static_cast<char>((i * 7) % 256);
    testing::WriteFile(dir.path() / "big.bin", binary);
    // A server that ignores the STARTTLS it never offered gets none.
    for (const std::string mode : {"normal", "starttls", "ignore-starttls"}) {
        SCOPED_TRACE(mode);
        SmtpSink sink(mode);
        SmtpOptions options;
        options.verify_certificates = false;
        SmtpSession session(options);
        ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(20s)).ok());
        OutgoingMessage message = BasicMessage();
        message.attachments = {{"big.bin", (dir.path() / "big.bin").string(), {}, {}}};
        for (int n = 0; n < 2; ++n)
            ASSERT_TRUE(session.send(message, In(20s)).ok());
        session.disconnect();
        const auto mails = sink.WaitForMessages(2);
        ASSERT_EQ(mails.size(), 2u);
        for (const auto& mail : mails) {
            const ReceivedMessage parsed = ParseMessage(mail.data);
            ASSERT_EQ(parsed.attachments.size(), 1u);
            EXPECT_EQ(parsed.attachments[0].data, binary);
        }
        EXPECT_EQ(sink.Sessions().find("tls=False") == std::string::npos, mode == "starttls");
    }
}

TEST(SmtpSession, StartTlsAndAuthenticationWithTheUserId) {
    SmtpSink sink("starttls-auth");
    SmtpOptions options;
    options.security = SmtpSecurity::kStartTls;
    options.password = "secret";
    options.verify_certificates = false;  // the sink's certificate is made for the run
    SmtpSession session(options);
    const SmtpResult connected = session.connect("127.0.0.1", sink.port(), "listuser", In(20s));
    ASSERT_TRUE(connected.ok()) << connected.text;
    ASSERT_TRUE(session.send(BasicMessage(), In(10s)).ok());
    session.disconnect();
    ASSERT_EQ(sink.WaitForMessages(1).size(), 1u);
    EXPECT_EQ(sink.Sessions(), "tls=True login=listuser\n");

    options.password = "wrong";
    SmtpSession refused(options);
    EXPECT_EQ(refused.connect("127.0.0.1", sink.port(), "listuser", In(20s)).status,
              SmtpStatus::kAuthenticationFailed);

    // Checked certificates: the sink's own one is trusted by nobody.
    options.password = "secret";
    options.verify_certificates = true;
    SmtpSession checked(options);
    EXPECT_FALSE(checked.connect("127.0.0.1", sink.port(), "listuser", In(20s)).ok());
}

TEST(SmtpSession, RequiredStartTlsIsNotSkipped) {
    SmtpSink plain;
    SmtpOptions options;
    options.security = SmtpSecurity::kStartTls;
    SmtpSession session(options);
    EXPECT_FALSE(session.connect("127.0.0.1", plain.port(), "", In(10s)).ok());
    EXPECT_FALSE(session.connected());
}

// Servers end connections in their own ways; each leaves the session
// disconnected, and says whether the failed message could have arrived: only
// when its data had all gone out and no answer came.
TEST(SmtpSession, ConnectionsTheServerEndsAreToldWithWhetherTheMessageMayHaveArrived) {
    struct Case {
        std::string mode;
        SmtpStatus status;
        bool may_have_arrived;
    };
    for (const Case& c : {Case{"limit", SmtpStatus::kFailed, false},
                          Case{"drop", SmtpStatus::kConnectionFailed, false},
                          Case{"drop-in-data", SmtpStatus::kConnectionFailed, true}}) {
        SCOPED_TRACE(c.mode);
        SmtpSink sink(c.mode);
        SmtpSession session;
        ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
        const std::size_t accepted = c.mode == "drop-in-data" ? 1 : 2;
        for (std::size_t i = 0; i < accepted; ++i)
            ASSERT_TRUE(session.send(BasicMessage(), In(10s)).ok()) << i;
        const SmtpResult failed = session.send(BasicMessage(), In(10s));
        EXPECT_EQ(failed.status, c.status) << failed.text;
        EXPECT_EQ(failed.may_have_arrived, c.may_have_arrived);
        EXPECT_FALSE(session.connected());
        EXPECT_EQ(session.send(BasicMessage(), In(10s)).status, SmtpStatus::kNotConnected);
        ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
        EXPECT_TRUE(session.send(BasicMessage(), In(10s)).ok());
    }
    // An answered refusal leaves the session up, and nothing may have arrived.
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    OutgoingMessage message = BasicMessage();
    message.to = {{"", "reject@example.org"}};
    const SmtpResult refused = session.send(message, In(10s));
    EXPECT_EQ(refused.status, SmtpStatus::kRefused);
    EXPECT_FALSE(refused.may_have_arrived);
    EXPECT_TRUE(session.connected());
}

// A host that offers STARTTLS and then fails the handshake gets the message in
// plain text when TLS was only opportunistic; a required STARTTLS refuses it.
TEST(SmtpSession, FailedOpportunisticStartTlsFallsBackToPlainTextOnly) {
    SmtpSink sink("starttls-broken");
    {
        SmtpSession session;
        const SmtpResult connected = session.connect("127.0.0.1", sink.port(), "", In(20s));
        ASSERT_TRUE(connected.ok()) << connected.text;
        ASSERT_TRUE(session.send(BasicMessage(), In(10s)).ok());
    }
    ASSERT_EQ(sink.WaitForMessages(1).size(), 1u);
    EXPECT_EQ(sink.Sessions(), "tls=False login=None\n");

    SmtpOptions options;
    options.security = SmtpSecurity::kStartTls;
    options.verify_certificates = false;
    SmtpSession required(options);
    const SmtpResult refused = required.connect("127.0.0.1", sink.port(), "", In(20s));
    EXPECT_FALSE(refused.ok());
    EXPECT_FALSE(required.connected());
    EXPECT_EQ(required.send(BasicMessage(), In(1s)).status, SmtpStatus::kNotConnected);
    EXPECT_EQ(sink.MessageCount(), 1u);
}

TEST(SmtpSession, DisconnectIsSafeInEveryState) {
    SmtpSink sink;
    {
        SmtpSession never_connected;
        never_connected.disconnect();
    }
    {
        SmtpSession left_open;
        ASSERT_TRUE(left_open.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
        // Destroyed while connected: closes by itself.
    }
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    session.disconnect();
    session.disconnect();
    EXPECT_FALSE(session.connected());
    EXPECT_THROW(session.connect("127.0.0.1", 0, "", In(1s)), EMailError);
}

}  // namespace
}  // namespace mail

namespace mail {
namespace {

// The data's end marker takes the message's own last line break: a text that ends with
// one arrives as it was sent, without an empty line added at its end.
TEST(SmtpSession, TextsArriveWithoutALineAddedAtTheirEnd) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    const std::pair<std::string, std::string> cases[] = {
        {"no break", "no break\r\n"},  // the last line of the data takes its line end
        {"one break\n", "one break\r\n"},
        {"two breaks\r\n\r\n", "two breaks\r\n\r\n"},
        {"", ""},
    };
    for (const auto& [body, arrives] : cases) {
        OutgoingMessage message = BasicMessage();
        message.body = body;
        ASSERT_TRUE(session.send(message, In(10s)).ok());
    }
    session.disconnect();
    const auto mails = sink.WaitForMessages(std::size(cases));
    ASSERT_EQ(mails.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].first);
        EXPECT_TRUE(mails[i].data.ends_with("\r\n\r\n" + cases[i].second)) << mails[i].data;
        const testing::ReadMail read = testing::ReadAsAMailProgram(mails[i].data);
        ASSERT_EQ(read.parts.size(), 1u);
        EXPECT_EQ(read.parts[0].contents, cases[i].second);
    }
}

// A sender whose domain is beyond ASCII: its Message-ID takes the domain's IDNA form
// as its address does, so no header carries 8-bit bytes.
TEST(SmtpSession, SenderDomainsBeyondAsciiLeaveEveryHeaderAscii) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    OutgoingMessage message = BasicMessage();
    message.from = {
        "B\xC3\xBC"
        "cher",
        "liste@b\xC3\xBC"
        "cher.example"};
    message.read_receipt = true;
    ASSERT_TRUE(session.send(message, In(10s)).ok());
    session.disconnect();
    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    const testing::ReadMail read = testing::ReadAsAMailProgram(mails[0].data);
    EXPECT_TRUE(read.faults.empty()) << read.faults.front();
    const auto id = read.Header("Message-ID");
    ASSERT_EQ(id.size(), 1u);
    EXPECT_TRUE(id[0].ends_with("@xn--bcher-kva.example>")) << id[0];
    EXPECT_EQ(read.Header("From"), std::vector<std::string>{"B\xC3\xBC"
                                                            "cher <liste@xn--bcher-kva.example>"});
}

// An attached message may take no transfer encoding: in base64 a mail program reads
// the base64 as the message (no header, no text). A 7-bit one goes as its own text, its
// lines beginning with "." or "From " intact after the server's dot-unstuffing; one it
// cannot carry so goes as a file under its own name, byte for byte.
TEST(SmtpSession, AttachedMessagesArriveReadableByAMailProgram) {
    SmtpSink sink;
    SmtpSession session;
    ASSERT_TRUE(session.connect("127.0.0.1", sink.port(), "", In(10s)).ok());
    const std::string inner =
        "From: Ann <ann@example.org>\r\nSubject: inner\r\n\r\n.hidden\r\n.\r\nFrom here\r\n";
    struct Case {
        std::string name, bytes, type, encoding, contents;
    };
    const Case cases[] = {
        {"note.eml", inner, "message/rfc822", "7bit", inner},
        {"unix.eml", "Subject: lf\n\n.one\nFrom two\n", "message/rfc822", "7bit",
         "Subject: lf\r\n\r\n.one\r\nFrom two\r\n"},
        {"latin.eml", "Subject: caf\xE9\r\n\r\n\xE9t\xE9\r\n", "application/octet-stream", "base64",
         "Subject: caf\xE9\r\n\r\n\xE9t\xE9\r\n"},
        {"wide.eml", "Subject: w\r\n\r\n" + std::string(1200, 'w') + "\r\n",
         "application/octet-stream", "base64",
         "Subject: w\r\n\r\n" + std::string(1200, 'w') + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutgoingMessage message = BasicMessage();
        message.attachments = {{c.name, "", c.bytes, ""}};
        ASSERT_TRUE(session.send(message, In(10s)).ok());
    }
    session.disconnect();
    const auto mails = sink.WaitForMessages(std::size(cases));
    ASSERT_EQ(mails.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const testing::ReadMail read = testing::ReadAsAMailProgram(mails[i].data);
        EXPECT_TRUE(read.faults.empty()) << read.faults.front();
        ASSERT_EQ(read.parts.size(), 2u);
        EXPECT_EQ(read.parts[1].type, c.type);
        EXPECT_EQ(read.parts[1].transfer_encoding, c.encoding);
        EXPECT_EQ(read.parts[1].file_name, c.name);
        if (c.type == "message/rfc822") {
            EXPECT_NE(read.parts[1].contents.find("Subject:"), std::string::npos);
        } else {
            EXPECT_EQ(read.parts[1].contents, c.contents);
        }
        const ReceivedMessage ours = ParseMessage(mails[i].data);
        ASSERT_EQ(ours.attachments.size(), 1u);
        EXPECT_EQ(ours.attachments[0].data, c.contents);
    }
}

}  // namespace
}  // namespace mail
