#include "app/routines/address_syntax.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace app {
namespace {

struct SyntaxCase {
    std::string address;
    int code;      // 0: passes
    int position;  // only for codes 5 and 10
};

std::string Repeat(char c, std::size_t n) {
    return std::string(n, c);
}

TEST(AddressSyntax, EveryRuleGivesItsCodeAndPosition) {
    const std::vector<SyntaxCase> cases = {
        {"john@example.com", 0, 0},
        {"a@b.c", 0, 0},                                // a one-letter top-level label
        {"O'Neil+list$%/_x@mail-1.example.org", 0, 0},  // every allowed sign
        {"-john@example.com", 0, 0},                    // hyphens only matter in the domain
        {"john@example.-com", 0, 0},                    // the last label is not tested
        {"john@example.com-", 0, 0},
        {"", 2, 0},
        {"john.example.com", 1, 0},
        {"john doe", 1, 0},  // no "@" is found before the blank
        {"a b@example.com", 5, 2},
        {"john@exa mple.com", 5, 9},
        {"j\xc3\xb6rg@example.com", 5, 2},
        {"john@example.com\n", 5, 17},
        {"john@ex,ample.com", 5, 8},
        {"@example.com", 6, 0},
        {"john@", 7, 0},
        {"@", 6, 0},
        {".john@example.com", 5, 1},
        {"john.@example.com", 5, 5},
        {"jo..hn@example.com", 5, 3},
        {"john@.example.com", 5, 6},
        {"john@example.com.", 5, 17},
        {"john@example..com", 5, 13},
        {"john@-example.com", 5, 6},
        {"john@example-.com", 5, 13},
        {"john@sub.-example.com", 5, 10},
        {"john@b@example.com", 10, 7},
        {"john@example.com@x", 10, 17},
        {"john@example", 8, 0},
        {"john@-example", 8, 0},  // no dot: no label is checked
        {"a@b@c", 10, 4},
        // Forms the mail standards allow but this check does not: quoted user parts and
        // address literals fail at their first sign; a bare dotted address passes.
        {"\"john doe\"@example.com", 5, 1},
        {"john@[192.168.0.1]", 5, 6},
        {"john@192.168.0.1", 0, 0},
    };
    for (const auto& c : cases) {
        int code = -99;
        int position = -99;
        const bool ok = CheckEmailAddressSyntax(c.address, code, position);
        EXPECT_EQ(ok, c.code == 0) << c.address;
        EXPECT_EQ(code, c.code) << c.address;
        if (c.code == 5 || c.code == 10) {
            EXPECT_EQ(position, c.position) << c.address;
        }
    }
}

TEST(AddressSyntax, PartLengthLimits) {
    const std::string domain_256 = Repeat('d', 252) + ".com";
    const std::vector<SyntaxCase> cases = {
        {Repeat('u', 64) + "@example.com", 0, 0},
        {Repeat('u', 65) + "@example.com", 3, 0},
        {"u@" + domain_256, 0, 0},
        {"u@d" + domain_256, 4, 0},
        // The domain limit is tested before the user limit.
        {Repeat('u', 65) + "@d" + domain_256, 4, 0},
        // Length limits come before the dot rules.
        {"." + Repeat('u', 64) + "@example.com", 3, 0},
    };
    for (const auto& c : cases) {
        int code = -99;
        int position = -99;
        EXPECT_EQ(CheckEmailAddressSyntax(c.address, code, position), c.code == 0)
            << c.address.size();
        EXPECT_EQ(code, c.code) << c.address.size();
    }
}

TEST(AddressSyntax, ErrorTextsAreTheFixedOnes) {
    const std::vector<std::pair<int, std::string>> texts = {
        {0, "Unknown error occured!"},
        {1, "Address does not contain an @ symbol"},
        {2, "Data too small"},
        {3, "User name part is too long!"},
        {4, "Domain name part is too long"},
        {5, "Address contains an invalid character"},
        {6, "Address does not contain a user name part"},
        {7, "Address does not contain a domain name part"},
        {8, "The domain TLD part is missing (.com, .net, etc)"},
        {9, "Address has an invalid general domain"},
        {10, "Address contains too many @ symbols"},
        {11, "Invalid error code!"},
        {-1, "Invalid error code!"},
        {1000, "Invalid error code!"},
    };
    for (const auto& [code, expected] : texts) {
        std::string text = "stale";
        EmailErrorText(code, text);
        EXPECT_EQ(text, expected) << code;
    }
}

}  // namespace
}  // namespace app
