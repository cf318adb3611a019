#include "platform/mail/outgoing_message.h"

#include <gtest/gtest.h>

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
        std::istringstream lines(encoded->base64);
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            if (!lines.eof()) {
                ASSERT_EQ(line.size(), 73u) << "72 characters and the CR, line " << count;
                ASSERT_EQ(line.back(), '\r');
            }
        }
        EXPECT_NE(encoded->base64.back(), '\n');

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
            EXPECT_NE(mime->find(encoded->base64), std::string::npos);
        }
    }
    EXPECT_THROW(EncodeAttachment({"x", (dir.path() / "missing.bin").string(), std::nullopt, ""}),
                 EMailError);
}

}  // namespace
}  // namespace mail
