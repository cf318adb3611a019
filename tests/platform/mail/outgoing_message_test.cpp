#include "platform/mail/outgoing_message.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>

#include "platform/mail/mail_error.h"
#include "platform/mail/received_message.h"
#include "tests/platform/mail/peers.h"

namespace mail {
namespace {

std::string Repeat(std::string_view part, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += part;
    return out;
}

// Files far larger than the blocks they are read in: the charset is judged on
// the whole file, a character cut by a block's end included, and the encoding
// is the one a message carries, whether made for it or shared.
TEST(EncodeAttachment, LargeFilesKeepTheirBytesAndCharsetAcrossBlocks) {
    testing::TempDir dir;
    struct Case {
        std::string name;
        std::string bytes;
        std::string charset;
    };
    for (const Case& c :
         {Case{"odd.txt", "a" + Repeat("\xC3\xA4", 100000), "utf-8"},
          Case{"even.txt", Repeat("\xE2\x82\xAC", 50000) + "\r\n", "utf-8"},
          Case{"cut.txt", Repeat("\xC3\xA4", 100000) + "\xC3", "windows-1252"},
          Case{"legacy.txt", Repeat("a", 70000) + "\xFC" + Repeat("a", 10), "windows-1252"}}) {
        SCOPED_TRACE(c.name);
        const std::string path = (dir.path() / c.name).string();
        testing::WriteFile(path, c.bytes);
        const auto encoded = EncodeAttachment({c.name, path, std::nullopt, ""});
        EXPECT_EQ(encoded->charset, c.charset);
        std::istringstream lines(encoded->body);
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            if (!lines.eof()) {
                ASSERT_EQ(line.size(), 73u) << "72 characters and the CR, line " << count;
                ASSERT_EQ(line.back(), '\r');
            }
        }
        EXPECT_NE(encoded->body.back(), '\n');

        OutgoingMessage message;
        message.from = {"", "owner@example.org"};
        message.to = {{"", "ann@example.org"}};
        message.attachments = {{c.name, path, std::nullopt, ""}};
        const std::string fresh = ComposeMime(message);
        message.attachments[0].path = "/nonexistent/never-read.txt";
        message.attachments[0].encoded = encoded;
        const std::string shared = ComposeMime(message);
        for (const std::string* mime : {&fresh, &shared}) {
            const ReceivedMessage parsed = ParseMessage(*mime);
            ASSERT_EQ(parsed.attachments.size(), 1u);
            EXPECT_EQ(parsed.attachments[0].data, c.bytes);
            EXPECT_NE(mime->find("charset=" + c.charset), std::string::npos);
            EXPECT_NE(mime->find(encoded->body), std::string::npos);
        }
    }
    EXPECT_THROW(EncodeAttachment({"x", (dir.path() / "missing.bin").string(), std::nullopt, ""}),
                 EMailError);
}

}  // namespace
}  // namespace mail

namespace mail {
namespace {

// A received text attachment is sent on in the charset its sender declared, which its
// bytes cannot tell (ISO-2022-JP is 7-bit; KOI8-R reads as Windows-1252); bytes said
// to be US-ASCII that are not are told from the bytes, as a body is.
TEST(ForwardedAttachments, TextKeepsTheCharsetItsSenderDeclared) {
    const std::string jis = "\x1b$B$K$[$s$4\x1b(B\r\n";
    const std::string koi = "\xf0\xd2\xc9\xd7\xc5\xd4\r\n";
    auto part = [](const std::string& name, const std::string& type, const std::string& body) {
        return "--M\r\nContent-Type: " + type +
               "\r\nContent-Disposition: attachment; filename=" + name +
               "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + body + "\r\n";
    };
    const std::string raw =
        "From: a@example.org\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=M\r\n\r\n--M\r\nContent-Type: text/plain\r\n\r\n"
        "text\r\n" +
        part("jp.txt", "text/plain; charset=ISO-2022-JP", jis) +
        part("ru.txt", "text/plain; charset=koi8-r", koi) +
        part("raw.txt", "text/plain; charset=us-ascii", "caf\xe9") +
        part("none.txt", "text/plain", "plain") +
        part("bad.txt", "text/plain; charset=\"x\\\"; evil=1\"", "x") + "--M--\r\n";
    const ReceivedMessage received = ParseMessage(raw);
    ASSERT_EQ(received.attachments.size(), 5u);
    OutgoingMessage message;
    message.from = {"", "list@example.org"};
    message.bcc = {{"", "ann@example.org"}};
    message.body = received.plain_body;
    message.attachments = received.attachments;
    const testing::ReadMail read = testing::ReadAsAMailProgram(ComposeMime(message));
    EXPECT_TRUE(read.faults.empty()) << read.faults.front();
    ASSERT_EQ(read.parts.size(), 6u);
    const std::pair<std::string, std::string> expected[] = {
        {"iso-2022-jp", "\xe3\x81\xab\xe3\x81\xbb\xe3\x82\x93\xe3\x81\x94\r\n"},
        {"koi8-r", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\r\n"},
        {"windows-1252", "caf\xc3\xa9"},
        {"utf-8", "plain"},
        {"utf-8", "x"},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(read.parts[i + 1].file_name);
        EXPECT_EQ(read.parts[i + 1].charset, expected[i].first);
        EXPECT_EQ(read.parts[i + 1].contents, expected[i].second);
    }
}

// A file is read no further than the size it reports: a kernel pseudo-file says it is
// empty and reads on for gigabytes; a device or a pipe would be read without end or
// waited on for good. Each is refused with a message that names it.
TEST(EncodeAttachment, FilesThatReadLongerThanTheyAreOrAreNoFilesAreRefused) {
    testing::TempDir dir;
    const std::string fifo = (dir.path() / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path :
         {std::string("/proc/self/pagemap"), std::string("/proc/self/status"),
          std::string("/dev/zero"), fifo}) {
        SCOPED_TRACE(path);
        try {
            EncodeAttachment({"x.bin", path, std::nullopt, ""});
            ADD_FAILURE() << "encoded";
        } catch (const EMailError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    const std::string plain = (dir.path() / "plain.bin").string();
    testing::WriteFile(plain, "abc");
    EXPECT_EQ(EncodeAttachment({"p.bin", plain, std::nullopt, ""})->body, "YWJj");
}

}  // namespace
}  // namespace mail
