#include "engine/storage/storage_utils.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/db/exception.h"

namespace strata {
namespace {

TEST(StorageUtils, ShortStringsAreCutAt255) {
    const std::string long_text(300, 'x');
    EXPECT_EQ(PadLeft("ab", 5, '0'), "000ab");
    EXPECT_EQ(PadRight("ab", 5, '.'), "ab...");
    EXPECT_EQ(PadLeft("abcdef", 3, '0'), "abcdef");
    EXPECT_EQ(PadLeft("a", 1000, ' ').size(), 255u);
    EXPECT_EQ(RepeatString("ab", 3), "ababab");
    EXPECT_EQ(RepeatString("ab", 0), "");
    EXPECT_EQ(RepeatString("ab", -4), "");
    EXPECT_EQ(RepeatString("ab", 1000).size(), 255u);
    EXPECT_EQ(LeftString("abcdef", 2), "ab");
    EXPECT_EQ(LeftString("ab", 10), "ab");
    EXPECT_EQ(RightString("abcdef", 2), "ef");
    EXPECT_EQ(RightString("ab", 10), "ab");
    EXPECT_EQ(RightString(long_text, 300).size(), 255u);
}

TEST(StorageUtils, SearchAndReplace) {
    EXPECT_EQ(LastPos("ab", "abcab"), 4u);
    EXPECT_EQ(LastPos("x", "abc"), 0u);
    EXPECT_EQ(LastPos("a", ""), 0u);
    EXPECT_EQ(StrPosIndex("ca", "abcab"), 3u);
    EXPECT_EQ(StrPosIndex("", "abc"), 0u);
    EXPECT_EQ(StrCountOccurs("aa", "aaaaa"), 2u);
    EXPECT_EQ(StrCountOccurs("", "aaaaa"), 0u);
    EXPECT_EQ(StrReplacedLength("aa", "b", "aaaaa"), 3u);
    EXPECT_EQ(StrReplaceAll("aa", "b", "aaaaa"), "bba");
    EXPECT_EQ(StrReplaceAll("a", "a", "banana"), "banana");
    EXPECT_EQ(StrReplaceAll("", "x", "banana"), "banana");
    EXPECT_EQ(StrReplaceAll("an", "AN", "banana"), "bANANa");
    EXPECT_EQ(StrReplacedLength("an", "AN", "banana"), StrReplaceAll("an", "AN", "banana").size());
    EXPECT_EQ(StripLineBreaks("a\r\nb\nc\r"), "abc");
    EXPECT_EQ(UndoubleQuotes("a\"\"\"b''c'"), "a\"b'c'");
}

TEST(StorageUtils, TrimChars) {
    struct Case {
        void (*trim)(std::string&, char);
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {TrimCharLeft, "**x**", "x**"}, {TrimCharRight, "**x**", "**x"},
        {TrimCharBoth, "**x**", "x"},   {TrimCharBoth, "****", ""},
        {TrimCharLeft, "", ""},         {TrimCharRight, "x", "x"},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        c.trim(text, '*');
        EXPECT_EQ(text, c.out) << c.in;
    }
}

TEST(StorageUtils, BooleansAsText) {
    EXPECT_EQ(BooleanToText(true), "True");
    EXPECT_EQ(BooleanToText(false), "False");
    EXPECT_TRUE(StrToBoolean("true"));
    EXPECT_TRUE(StrToBoolean("TrUe"));
    EXPECT_FALSE(StrToBoolean("FALSE"));
    try {
        StrToBoolean("yes");
        FAIL();
    } catch (const db::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'yes' is not a valid boolean value");
    }
}

TEST(StorageUtils, FileNamesAndPaths) {
    EXPECT_EQ(RemoveFileExt("c:\\a.b\\file"), "c:\\a.b\\file");
    EXPECT_EQ(RemoveFileExt("c:\\a\\file.dat"), "c:\\a\\file");
    EXPECT_EQ(RemoveFileExt("/a.b/file"), "/a.b/file");
    EXPECT_EQ(RemoveFileExt("x.tar.gz"), "x.tar");
    EXPECT_EQ(BareFileName("/data/mailist.dat"), "mailist");
    EXPECT_EQ(BareFileName("c:\\data\\mailist.dat"), "mailist");
    EXPECT_EQ(ForceFileExt("  mailist.dat ", ".DAT"), "mailist.dat");
    EXPECT_EQ(ForceFileExt("mailist.idx", ".DAT"), "mailist.DAT");
    EXPECT_EQ(ForceFileExt("mailist", "DAT"), "mailist.DAT");
    EXPECT_EQ(AddTrailingBackslash(""), "");
    EXPECT_EQ(AddTrailingBackslash("  c:\\data  "), "c:\\data/");
    EXPECT_EQ(AddTrailingBackslash("/data/"), "/data/");
    EXPECT_EQ(AddTrailingBackslash("c:\\data\\"), "c:\\data\\");
    EXPECT_TRUE(IsDirectoryPath(""));
    EXPECT_TRUE(IsDirectoryPath("C:"));
    EXPECT_TRUE(IsDirectoryPath("data\\x"));
    EXPECT_TRUE(IsDirectoryPath("/tmp/db"));
    EXPECT_FALSE(IsDirectoryPath("mydb"));
}

TEST(StorageUtils, CharacterClassesAndLimits) {
    EXPECT_TRUE(IsIdentStartChar('_'));
    EXPECT_TRUE(IsIdentStartChar(129));
    EXPECT_TRUE(IsIdentStartChar(254));
    EXPECT_FALSE(IsIdentStartChar(255));
    EXPECT_FALSE(IsIdentStartChar(128));
    EXPECT_FALSE(IsIdentStartChar('1'));
    EXPECT_TRUE(IsIdentChar('1'));
    EXPECT_FALSE(IsIdentChar('-'));
    EXPECT_TRUE(IsDigitChar('9'));
    // Neighbours above 2^53 stay apart.
    EXPECT_EQ(MaxInt64(9007199254740993, 9007199254740992), 9007199254740993);
    EXPECT_EQ(MinInt64(-1, 1), -1);
    EXPECT_EQ(MaxWord(1, 65535), 65535);
    EXPECT_EQ(MinSmallInt(-32768, 0), -32768);
}

TEST(StorageUtils, ValueTextValidation) {
    const db::TFormatSettings f = db::EnglishFormatSettings();
    EXPECT_TRUE(IsValidWordText("65535"));
    EXPECT_FALSE(IsValidWordText("65536"));
    EXPECT_FALSE(IsValidWordText("-1"));
    EXPECT_TRUE(IsValidSmallIntText("-32768"));
    EXPECT_FALSE(IsValidSmallIntText("32768"));
    EXPECT_TRUE(IsValidIntegerText("-2147483648"));
    EXPECT_FALSE(IsValidIntegerText("2147483648"));
    EXPECT_TRUE(IsValidBooleanText("false"));
    EXPECT_FALSE(IsValidBooleanText("no"));
    EXPECT_TRUE(IsValidFloatText("1.5e3", f));
    EXPECT_FALSE(IsValidFloatText("1,5", f));
    EXPECT_TRUE(IsValidCurrencyText("12.34", f));
    EXPECT_FALSE(IsValidCurrencyText("1e20", f));
    EXPECT_TRUE(IsValidDateText("2/3/2001", f));
    EXPECT_FALSE(IsValidDateText("2/30/2001", f));
    EXPECT_TRUE(IsValidTimeText("1:02 PM", f));
    EXPECT_TRUE(IsValidDateTimeText("2/3/2001 1:02", f));
}

TEST(StorageUtils, QuickSortPointersSortsAndSurvivesBadComparisons) {
    std::array<int, 8> values = {5, 3, 8, 1, 9, 2, 7, 3};
    std::vector<int*> items;
    for (int& v : values) {
        items.push_back(&v);
    }
    QuickSortPointers(std::span<int*>(items), 0, 7,
                      [](const int* a, const int* b) { return (*a > *b) - (*a < *b); });
    for (std::size_t i = 1; i < items.size(); ++i) {
        EXPECT_LE(*items[i - 1], *items[i]);
    }
    // An inconsistent comparison must not run outside the range.
    QuickSortPointers(std::span<int*>(items), 0, 7, [](const int*, const int*) { return -1; });
    QuickSortPointers(std::span<int*>(items), 0, 7, [](const int*, const int*) { return 1; });
    QuickSortPointers(std::span<int*>(items), 3, 100, [](const int*, const int*) { return 0; });
    EXPECT_EQ(items.size(), 8u);
}

}  // namespace
}  // namespace strata
