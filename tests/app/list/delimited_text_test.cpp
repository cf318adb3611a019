#include <gtest/gtest.h>

#include "app/list/delimited_text.h"

namespace app {
namespace {

using Records = std::vector<std::vector<std::string>>;

TEST(DelimitedText, ExportLinesHoldTheChosenFieldsInOrder) {
    ExportValues values{"a@b.com", "news", "Ann Lee", "Ann", "", "3"};
    struct Case {
        ExportChoice chosen;
        const char* separator;
        const char* expected;
    };
    for (const Case& c : {
             Case{{true, false, false, false, false, false}, ",", "a@b.com"},
             Case{{true, true, true, true, true, true}, ",", "a@b.com,news,Ann Lee,Ann,,3"},
             Case{{false, true, false, false, false, true}, ";", "news;3"},
             // A separator of two characters goes whole from the end.
             Case{{true, true, false, false, false, false}, "::", "a@b.com::news"},
             // A separator outside ASCII is one character, though more than one byte.
             Case{{true, true, false, false, false, false}, "\xC2\xA7", "a@b.com\xC2\xA7news"},
             Case{{true, true, false, false, false, false},
                  "\xE2\x80\xA2\xE2\x80\xA2",
                  "a@b.com\xE2\x80\xA2\xE2\x80\xA2news"},
             Case{{false, false, false, false, false, false}, ",", ""},
         }) {
        EXPECT_EQ(ExportLine(values, c.chosen, c.separator), c.expected) << c.expected;
    }
    // Whatever the separator, the reader gets the values back.
    EXPECT_EQ(
        SplitDelimitedRecords(ExportLine(values, {true, true, true, true, true, true}, "::"), "::"),
        (Records{{values.begin(), values.end()}}));
    // Such a line reads back whole, accented values and all.
    ExportValues accented{"j@b.com", "caf\xC3\xA9", "", "", "", "0"};
    const std::string line =
        ExportLine(accented, {true, true, false, false, false, false}, "\xC2\xA7");
    EXPECT_EQ(SplitDelimitedRecords(DecodeImportText(line), "\xC2\xA7"),
              (Records{{"j@b.com", "caf\xC3\xA9"}}));
}

TEST(DelimitedText, ValuesThatWouldSplitAreQuotedAndReadBackWhole) {
    ExportChoice all{true, true, true, true, true, true};
    ExportValues values{"x@y.org", "a,b", "Say \"hi\"", "two\r\nlines", "plain", "0"};
    std::string line = ExportLine(values, all, ",");
    EXPECT_EQ(line, "x@y.org,\"a,b\",\"Say \"\"hi\"\"\",\"two\r\nlines\",plain,0");
    Records records = SplitDelimitedRecords(line + "\r\nz@y.org,news,,,,1\r\n", ",");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], std::vector<std::string>(values.begin(), values.end()));
    EXPECT_EQ(records[1], (std::vector<std::string>{"z@y.org", "news", "", "", "", "1"}));
    // Values without anything to protect are written exactly as they are.
    EXPECT_EQ(QuoteDelimitedValue("it's fine", ","), "it's fine");
    EXPECT_EQ(QuoteDelimitedValue("a;b", ","), "a;b");
    EXPECT_EQ(QuoteDelimitedValue("a;b", ";"), "\"a;b\"");
}

TEST(DelimitedText, SplittingTrimsStripsQuotesAndKeepsEmptyValues) {
    struct Case {
        const char* text;
        const char* separator;
        Records expected;
    };
    for (const Case& c : {
             Case{" a@b.com , news ", ",", {{"a@b.com", "news"}}},
             Case{"\"a@b.com\",\" spaced \"", ",", {{"a@b.com", " spaced "}}},
             Case{"a,,c,", ",", {{"a", "", "c", ""}}},
             Case{"a\n\nb", "", {{"a"}, {}, {"b"}}},
             Case{"a;b\r\nc;d", ";", {{"a", "b"}, {"c", "d"}}},
             Case{"a::b", "::", {{"a", "b"}}},
             Case{"", ",", {}},
         }) {
        EXPECT_EQ(SplitDelimitedRecords(c.text, c.separator), c.expected) << c.text;
    }
}

// A file with a stray quote: the lines after it are entries of their own, not one
// value that takes the rest of the file with it.
TEST(DelimitedText, AQuoteThatNeverClosesIsAnOrdinaryCharacter) {
    struct Case {
        const char* text;
        Records expected;
    };
    for (const Case& c : {
             Case{"\"a@b.com,news\nc@d.com,sport\n", {{"\"a@b.com", "news"}, {"c@d.com", "sport"}}},
             Case{"x@y.org,\"two\nlines\"\n  \"open,z\r\nw@v.org,ok",
                  {{"x@y.org", "two\nlines"}, {"\"open", "z"}, {"w@v.org", "ok"}}},
             Case{"\"", {{"\""}}},
             Case{"a,\"b\"\"c", {{"a", "\"b\"\"c"}}},
         }) {
        EXPECT_EQ(SplitDelimitedRecords(c.text, ","), c.expected) << c.text;
    }
}

// The column mapping shows only the first records of a file; they read as a whole split
// would read them, also when a value runs over a line break or a quote proves stray.
TEST(DelimitedText, ReadingStopsAfterTheRecordsAskedFor) {
    struct Case {
        const char* text;
        std::size_t max;
        Records expected;
    };
    for (const Case& c : {
             Case{"h1,h2\na,b\nc,d\n", 2, {{"h1", "h2"}, {"a", "b"}}},
             Case{"h1,h2\r\n\"two\r\nlines\",b\r\nc,d", 2, {{"h1", "h2"}, {"two\r\nlines", "b"}}},
             Case{"\"open,x\ny,z\nw,v", 2, {{"\"open", "x"}, {"y", "z"}}},
             Case{"a\n\nb", 2, {{"a"}, {}}},
             Case{"a,b", 2, {{"a", "b"}}},
             Case{"a\nb", 0, {}},
         }) {
        EXPECT_EQ(SplitDelimitedRecords(c.text, ",", c.max), c.expected) << c.text;
    }
}

TEST(DelimitedText, ImportTextIsUtf8OrElseWindows1252) {
    EXPECT_EQ(DecodeImportText("\xEF\xBB\xBFj\xC3\xB6rg@x.de"), "j\xC3\xB6rg@x.de");
    EXPECT_EQ(DecodeImportText("j\xF6rg@x.de"), "j\xC3\xB6rg@x.de");
    EXPECT_EQ(DecodeImportText("\x80 euro"), "\xE2\x82\xAC euro");
    EXPECT_EQ(DecodeImportText("plain"), "plain");
    // A UTF-8 mark before Windows-1252 text is dropped, not read as three letters.
    EXPECT_EQ(DecodeImportText("\xEF\xBB\xBF"
                               "ann@x.de\r\nj\xF6rg@x.de"),
              "ann@x.de\r\nj\xC3\xB6rg@x.de");
}

TEST(DelimitedText, LogTextIsDecidedLineByLine) {
    EXPECT_EQ(DecodeLogText("a\xC3\xA9\r\nb\xE9\r\nc\xC3\xA9"),
              "a\xC3\xA9\r\nb\xC3\xA9\r\nc\xC3\xA9");
    EXPECT_EQ(DecodeLogText("\xEF\xBB\xBF"
                            "x\n"),
              "x\n");
    EXPECT_EQ(DecodeLogText("\x80\n\xC3"), "\xE2\x82\xAC\n\xC3\x83");
    EXPECT_EQ(DecodeLogText(""), "");
}

TEST(DelimitedText, Utf16BehindItsByteOrderMarkIsReadAsText) {
    // "a\u00e9\u20ac\U0001F600" little- and big-endian, then an unpaired surrogate.
    const std::string little(
        "\xFF\xFE"
        "a\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE",
        12);
    const std::string big(
        "\xFE\xFF"
        "\0a\0\xE9\x20\xAC\xD8\x3D\xDE\x00",
        12);
    const std::string want = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(DecodeImportText(little), want);
    EXPECT_EQ(DecodeImportText(big), want);
    EXPECT_EQ(DecodeImportText(std::string("\xFF\xFE\x00\xD8"
                                           "b\0",
                                           6)),
              "\xEF\xBF\xBD"
              "b");
    // A file cut off inside a character keeps a mark of the lost half rather than dropping
    // it.
    EXPECT_EQ(DecodeImportText(std::string("\xFF\xFE"
                                           "a\0b",
                                           5)),
              "a\xEF\xBF\xBD");
}

// A hostile file: every line starts with a stray quote, so each one "closes" the quote of
// the line before it with text after it. Every line must stay an entry of its own.
TEST(DelimitedText, ManyQuotesThatNeverCloseAreReadInOnePass) {
    std::string text;
    const int lines = 5000;
    for (int i = 0; i < lines; ++i)
        text += "\"a" + std::to_string(i) + "@b.com,news\n";
    const Records records = SplitDelimitedRecords(text, ",");
    ASSERT_EQ(records.size(), static_cast<std::size_t>(lines));
    EXPECT_EQ(records.front(), (std::vector<std::string>{"\"a0@b.com", "news"}));
    EXPECT_EQ(records.back(),
              (std::vector<std::string>{"\"a" + std::to_string(lines - 1) + "@b.com", "news"}));
}

// A hostile file of one huge line of quoted values: reading it takes time in step with its
// length, and no value is lost.
TEST(DelimitedText, AHugeLineOfQuotedValuesIsReadWhole) {
    const std::size_t values = 200000;
    std::string text;
    for (std::size_t i = 0; i < values; ++i)
        text += "\"a\",";
    text += "\"last";
    const Records records = SplitDelimitedRecords(text, ",");
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].size(), values + 1);
    EXPECT_EQ(records[0][values - 1], "a");
    EXPECT_EQ(records[0][values], "\"last");
}

}  // namespace
}  // namespace app
