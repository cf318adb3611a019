#include "app/list/entry_text.h"

#include <gtest/gtest.h>

#include <string>

namespace app {
namespace {

TEST(EntryText, ControlCharactersAreFoundWhereverTheyStand) {
    const std::pair<std::string, bool> cases[] = {
        {"news", false},
        {"B\xc3\xbc"
         "cher & caf\xc3\xa9",
         false},
        {"a\tb", true},
        {"line\nbreak", true},
        {"cr\r", true},
        {std::string("nul\0x", 5), true},
        {"del\x7f", true},
        {"c1\xc2\x85", true},
        {"sep\xe2\x80\xa8", true},
        {"raw \xe9 byte", false},
    };
    for (const auto& [text, holds] : cases)
        EXPECT_EQ(ContainsControlCharacter(text), holds) << text;
}

}  // namespace
}  // namespace app
