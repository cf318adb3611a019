#include "app/list/entry_text.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace app {
namespace {

TEST(EntryText, ControlCharactersAreFoundWhereverTheyStand) {
    // The third value is the comment's verdict, where line breaks and tabs stay.
    const std::tuple<std::string, bool, bool> cases[] = {
        {"news", false, false},
        {"B\xc3\xbc"
         "cher & caf\xc3\xa9",
         false, false},
        {"a\tb", true, false},
        {"line\nbreak", true, false},
        {"cr\r", true, false},
        {std::string("nul\0x", 5), true, true},
        {"del\x7f", true, true},
        {"c1\xc2\x85", true, true},
        {"sep\xe2\x80\xa8", true, true},
        {"raw \xe9 byte", false, false},
    };
    for (const auto& [text, holds, comment_holds] : cases) {
        EXPECT_EQ(ContainsControlCharacter(text), holds) << text;
        EXPECT_EQ(ContainsControlCharacterInComment(text), comment_holds) << text;
    }
}

}  // namespace
}  // namespace app
