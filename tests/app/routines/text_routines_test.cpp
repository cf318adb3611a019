#include "app/routines/text_routines.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/db/string_list.h"

namespace app {
namespace {

TEST(TextRoutines, RemoveAndReplaceAllText) {
    struct Case {
        std::string s, find, replacement, replaced, removed;
    };
    const std::vector<Case> cases = {
        {"Dear [Name], hello [Name]", "[Name]", "Ann", "Dear Ann, hello Ann", "Dear , hello "},
        {"aabb", "ab", "X", "aXb", ""},          // a removal joins "a" and "b" again
        {"abab", "ab", "abab", "abababab", ""},  // the replacement holds the text: still ends
        {"xxx", "x", "xx", "xxxxxx", ""},
        {"text", "", "X", "text", "text"},  // an empty search text changes nothing
        {"", "a", "b", "", ""},
        {"no match", "zz", "y", "no match", "no match"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplaceAllTextEx(c.s, c.find, c.replacement), c.replaced) << c.s;
        EXPECT_EQ(ReplaceAllText(c.s, c.find), c.removed) << c.s;
        EXPECT_EQ(RemoveAllText(c.s, c.find), c.removed) << c.s;
    }
}

TEST(TextRoutines, LeftCharsCountCharactersNotBytes) {
    EXPECT_EQ(DeleteLeftChars("mailto:ann@x.com", 7), "ann@x.com");
    EXPECT_EQ(DeleteLeftChars("abc", 0), "abc");
    EXPECT_EQ(DeleteLeftChars("abc", -3), "abc");
    EXPECT_EQ(DeleteLeftChars("abc", 10), "");
    EXPECT_EQ(DeleteLeftChars("\xc3\xa9t\xc3\xa9", 1), "t\xc3\xa9");
    EXPECT_EQ(KeepLeftChars("abcdef", 3), "abc");
    EXPECT_EQ(KeepLeftChars("abc", 10), "abc");
    EXPECT_EQ(KeepLeftChars("abc", 0), "");
    EXPECT_EQ(KeepLeftChars("abc", -1), "");
    EXPECT_EQ(KeepLeftChars("\xc3\xa9t\xc3\xa9", 3), "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(KeepLeftChars("\xc3\xa9t\xc3\xa9", 1), "\xc3\xa9");
    EXPECT_EQ(MaxOf(3, -7), 3);
    EXPECT_EQ(MaxOf(-3, -1), -1);
}

TEST(TextRoutines, QuickAddressPlausibility) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"ann@example.com", true},
        {"a.b@c", true},  // the first "." may stand before the "@"
        {"", false},
        {"ann@examplecom", false},  // no dot
        {".ann@example.com", false},
        {"@example.com", false},
        {"ann.example.com", false},
        {"ann.x@", false},
        {"ann x@example.com", false},
        {"ann@example.com ", false},
    };
    for (const auto& [s, expected] : cases) {
        EXPECT_EQ(IsValidEmailAddress(s), expected) << s;
    }
}

TEST(TextRoutines, SplitToStrings) {
    struct Case {
        std::string text, separator;
        bool strip_quotes, keep_empty;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"a,b,c", ",", false, false, {"a", "b", "c"}},
        {" a , b ,c,", ",", false, false, {"a", "b", "c"}},
        {"a,   ,b", ",", false, false, {"a", "b"}},
        {"a,   ,b", ",", false, true, {"a", "", "b"}},
        {"a,,", ",", false, true, {"a"}},  // a trailing empty part is never added
        {",a", ",", false, true, {"", "a"}},
        {"\"a\",\"b,c\"", ",", true, false, {"a", "b", "c"}},  // quotes do not protect
        {"\"\"x\"\"", ",", true, false, {"\"x\""}},            // one quote off each end
        {"\"in\"side\"", ",", true, false, {"in\"side"}},
        {"\"", ",", true, true, {""}},
        {"", ",", false, true, {}},
        {",", ",", false, true, {}},
        {"a::b::", "::", false, false, {"a", "b"}},
        {"a\tb", "\t", false, false, {"a", "b"}},
        {" whole ", "", false, false, {"whole"}},
    };
    db::TStringList list;
    for (const auto& c : cases) {
        list.Add("stale");
        SplitToStrings(list, c.text, c.separator, c.strip_quotes, c.keep_empty);
        EXPECT_EQ(list.ToVector(), c.expected) << c.text;
    }
}

TEST(TextRoutines, BooleanTexts) {
    const std::vector<std::tuple<std::string, bool, bool>> cases = {
        {"TRUE", false, true},   {"true", false, true},  {"True", false, true},
        {"FALSE", true, false},  {"fAlSe", true, false}, {"yes", true, true},
        {"yes", false, false},   {"", true, true},       {"1", false, false},
        {" true", false, false},
    };
    for (const auto& [text, default_value, expected] : cases) {
        EXPECT_EQ(StrToBoolText(text, default_value), expected) << text;
        EXPECT_EQ(SettingStringToBool(text, default_value), expected) << text;
    }
    EXPECT_EQ(BoolToSettingString(true), "true");
    EXPECT_EQ(BoolToSettingString(false), "False");
}

TEST(TextRoutines, ScaleToScreenTruncates) {
    EXPECT_EQ(ScaleToScreen(100, 96), 100);
    EXPECT_EQ(ScaleToScreen(100, 120), 125);
    EXPECT_EQ(ScaleToScreen(10, 144), 15);
    EXPECT_EQ(ScaleToScreen(7, 120), 8);  // 8.75
    EXPECT_EQ(ScaleToScreen(-7, 120), -8);
    EXPECT_EQ(ScaleToScreen(100), 100);  // no screen: 96 pixels per inch
}

}  // namespace
}  // namespace app
