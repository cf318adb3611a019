#include "platform/mail/message_template.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/mail/mail_error.h"

namespace mail {
namespace {

// What differs between two compositions of one message anyway: the date, the
// Message-Id and the part boundaries.
std::string Steady(const std::string& text) {
    static const std::regex date("Date: [^\r]*"), id("Message-Id: <[^@]*@"),
        boundary("=_[A-Za-z0-9+/=_-]{40,}");
    std::string out = std::regex_replace(text, date, "Date: D");
    out = std::regex_replace(out, id, "Message-Id: <I@");
    return std::regex_replace(out, boundary, "B");
}

TEST(MessageTemplate, GivesTheBytesOfAWholeComposition) {
    const std::string long_line(120, 'x');
    const std::vector<std::pair<std::vector<Mailbox>, std::string>> cases{
        {{{"", "ann@example.org"}}, "Dear Ann,\r\nthe news.\r\n"},
        {{{"", "extra@example.org"}, {"Zoë Ørsted", "zoe@example.org"}}, "Liebe Zoë,\nGrüße\n"},
        {{{"", "a-very-long-extra-address-of-the-list@example.org"},
          {"A Member With A Long Name", "member-with-a-long-address@example.org"}},
         long_line + "\r\n. a dot\r\nFrom here \r\n"},
        {{{"", "bob@example.org"}}, ""},
        {{{"", "bob@example.org"}}, "Ünïcödé ünd möre ñön-ÄSCÏÏ tëxt ëvërÿwhërë"},
    };
    for (const bool attached : {false, true}) {
        OutgoingMessage prototype;
        prototype.from = {"List Owner", "owner@example.org"};
        prototype.cc = {{"Copy", "copy@example.org"}};
        prototype.subject = "News für alle";
        prototype.to = {{"", "first@example.org"}};
        prototype.body = "first";
        if (attached)
            prototype.attachments.push_back({"list.csv", "", std::string("a,b\n"), ""});
        const MessageTemplate prepared(prototype);
        EXPECT_TRUE(prepared.Prepared());
        for (const auto& [to, body] : cases) {
            SCOPED_TRACE(body);
            OutgoingMessage whole = prototype;
            whole.to = to;
            whole.body = body;
            EXPECT_EQ(Steady(prepared.Compose(to, body).str()), Steady(ComposeMime(whole)));
        }
        EXPECT_THROW(prepared.Compose({{"", "no address"}}, "x"), EMailError);
    }
}

}  // namespace
}  // namespace mail
