#include "platform/db/string_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/db/exception.h"

namespace db {
namespace {

using Lines = std::vector<std::string>;

void SetLines(TStrings& list, const Lines& lines) {
    list.Clear();
    for (const auto& line : lines) {
        list.Add(line);
    }
}

struct SortedCase {
    const char* name;
    TDuplicates duplicates;
    bool case_sensitive;
    Lines added;
    Lines expected;
    bool raises;
};

class StringListSorted : public ::testing::TestWithParam<SortedCase> {};

TEST_P(StringListSorted, FollowsTheDuplicatesRule) {
    const SortedCase& c = GetParam();
    TStringList list;
    list.SetSorted(true);
    list.SetDuplicates(c.duplicates);
    list.SetCaseSensitive(c.case_sensitive);
    bool raised = false;
    for (const auto& line : c.added) {
        try {
            list.Add(line);
        } catch (const EStringListError& e) {
            EXPECT_STREQ(e.what(), "String list does not allow duplicates");
            raised = true;
        }
    }
    EXPECT_EQ(raised, c.raises);
    EXPECT_EQ(list.ToVector(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, StringListSorted,
    ::testing::Values(
        SortedCase{"IgnoreKeepsFirst",
                   dupIgnore,
                   false,
                   {"b", "A", "a", "c", "B"},
                   {"A", "b", "c"},
                   false},
        SortedCase{
            "IgnoreCaseSensitive", dupIgnore, true, {"b", "a", "B", "b"}, {"B", "a", "b"}, false},
        SortedCase{"AcceptAddsAfterEqual",
                   dupAccept,
                   false,
                   {"b", "B", "a", "b"},
                   {"a", "b", "B", "b"},
                   false},
        SortedCase{"ErrorRefuses", dupError, false, {"x", "y", "X"}, {"x", "y"}, true},
        SortedCase{"ErrorAllowsDistinct", dupError, true, {"x", "X"}, {"X", "x"}, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(StringList, AddAnswersIndexAndIgnoredDuplicateAnswersExisting) {
    TStringList list;
    list.SetSorted(true);
    EXPECT_EQ(list.Add("m"), 0);
    EXPECT_EQ(list.Add("c"), 0);
    EXPECT_EQ(list.Add("x"), 2);
    EXPECT_EQ(list.Add("M"), 1);  // dupIgnore: the index of the line already there
    EXPECT_EQ(list.Count(), 3);
}

TEST(StringList, FindAnswersFirstEqualOrInsertionPoint) {
    TStringList list;
    list.SetSorted(true);
    list.SetDuplicates(dupAccept);
    SetLines(list, {"a", "c", "c", "c", "e"});
    std::int64_t index = -1;
    EXPECT_TRUE(list.Find("C", index));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(list.Find("d", index));
    EXPECT_EQ(index, 4);
    EXPECT_FALSE(list.Find("z", index));
    EXPECT_EQ(index, 5);
    EXPECT_EQ(list.IndexOf("E"), 4);
    EXPECT_EQ(list.IndexOf("b"), -1);
}

TEST(StringList, SortedListRefusesPositionalChanges) {
    TStringList list;
    SetLines(list, {"b", "a"});
    list.SetSorted(true);
    EXPECT_EQ(list.ToVector(), (Lines{"a", "b"}));
    EXPECT_THROW(list.Insert(0, "z"), EStringListError);
    EXPECT_THROW(list.SetStrings(0, "z"), EStringListError);
    EXPECT_THROW(list.Exchange(0, 1), EStringListError);
    EXPECT_THROW(list.Move(0, 1), EStringListError);
    EXPECT_EQ(list.ToVector(), (Lines{"a", "b"}));
}

TEST(StringList, CaseSensitiveSwitchSortsAgain) {
    TStringList list;
    list.SetSorted(true);
    list.SetDuplicates(dupAccept);
    SetLines(list, {"b", "B", "a", "A"});
    EXPECT_EQ(list.ToVector(), (Lines{"a", "A", "b", "B"}));
    list.SetCaseSensitive(true);
    EXPECT_EQ(list.ToVector(), (Lines{"A", "B", "a", "b"}));
}

TEST(StringList, SortIsStableAndCarriesObjects) {
    TObject first;
    TObject second;
    TStringList list;
    list.AddObject("x", &first);
    list.AddObject("b", nullptr);
    list.AddObject("X", &second);
    list.Sort();
    EXPECT_EQ(list.ToVector(), (Lines{"b", "x", "X"}));
    EXPECT_EQ(list.Objects(1), &first);
    EXPECT_EQ(list.Objects(2), &second);

    list.CustomSort([](const TStringList& l, std::int64_t a, std::int64_t b) {
        return static_cast<int>(l[a].size()) - static_cast<int>(l[b].size());
    });
    EXPECT_EQ(list.ToVector(), (Lines{"b", "x", "X"}));
}

TEST(StringList, InconsistentComparerNeitherCrashesNorLosesLines) {
    TStringList list;
    for (int i = 0; i < 200; ++i) {
        list.Add(std::to_string(i % 17));
    }
    unsigned seed = 12345;
    list.CustomSort([&](const TStringList&, std::int64_t, std::int64_t) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 16) % 3) - 1;
    });
    EXPECT_EQ(list.Count(), 200);
    auto lines = list.ToVector();
    std::sort(lines.begin(), lines.end());
    TStringList expected;
    for (int i = 0; i < 200; ++i) {
        expected.Add(std::to_string(i % 17));
    }
    auto expected_lines = expected.ToVector();
    std::sort(expected_lines.begin(), expected_lines.end());
    EXPECT_EQ(lines, expected_lines);

    // A comparer that fails leaves the order as it was.
    const auto before = list.ToVector();
    EXPECT_THROW(list.CustomSort([](const TStringList&, std::int64_t, std::int64_t) -> int {
        throw EListError("compare failed");
    }),
                 EListError);
    EXPECT_EQ(list.ToVector(), before);
}

TEST(StringList, RangeLoopVisitsLinesInOrder) {
    TStringList list;
    SetLines(list, {"a", "b", "c"});
    std::string joined;
    for (const std::string& line : list) {
        joined += line;
    }
    EXPECT_EQ(joined, "abc");
    EXPECT_EQ(std::distance(list.begin(), list.end()), 3);
    EXPECT_EQ(list.begin()->size(), 1u);
    TStringList empty;
    EXPECT_EQ(empty.begin(), empty.end());
}

TEST(StringList, IndexErrorsNameTheIndex) {
    TStringList list;
    list.Add("a");
    try {
        list.Get(5);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (5)");
    }
    EXPECT_THROW(list.Delete(-1), EListError);
    EXPECT_THROW(list.Insert(2, "x"), EListError);
    EXPECT_NO_THROW(list.Insert(1, "x"));
}

struct CommaCase {
    const char* name;
    Lines lines;
    const char* text;
};

class StringListCommaText : public ::testing::TestWithParam<CommaCase> {};

TEST_P(StringListCommaText, WritesAndReadsBack) {
    const CommaCase& c = GetParam();
    TStringList list;
    SetLines(list, c.lines);
    EXPECT_EQ(list.CommaText(), c.text);
    TStringList back;
    back.SetCommaText(list.CommaText());
    EXPECT_EQ(back.ToVector(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Quoting, StringListCommaText,
                         ::testing::Values(CommaCase{"Plain", {"a", "b"}, "a,b"},
                                           CommaCase{"Empty", {}, ""},
                                           CommaCase{"OneEmptyLine", {""}, "\"\""},
                                           CommaCase{"TwoEmptyLines", {"", ""}, ","},
                                           CommaCase{"EmptyInMiddle", {"a", "", "b"}, "a,,b"},
                                           CommaCase{"TrailingEmpty", {"a", ""}, "a,"},
                                           CommaCase{"Blank", {"a b"}, "\"a b\""},
                                           CommaCase{"LeadingBlank", {" a"}, "\" a\""},
                                           CommaCase{"OnlyBlanks", {"  "}, "\"  \""},
                                           CommaCase{"Comma", {"a,b", "c"}, "\"a,b\",c"},
                                           CommaCase{"Quote", {"say \"hi\""}, "\"say \"\"hi\"\"\""},
                                           CommaCase{"QuoteNoBlank", {"a\"b"}, "\"a\"\"b\""},
                                           CommaCase{"Tab", {"a\tb"}, "\"a\tb\""},
                                           CommaCase{"Utf8", {"Zoë", "日本"}, "Zoë,日本"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct SplitCase {
    const char* name;
    std::string_view text;
    Lines lines;
};

class StringListCommaSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(StringListCommaSplit, SplitsLikeTheClassLibrary) {
    TStringList list;
    list.Add("old");
    list.SetCommaText(GetParam().text);
    EXPECT_EQ(list.ToVector(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Parsing, StringListCommaSplit,
    ::testing::Values(SplitCase{"BlanksSeparate", "a b,c", {"a", "b", "c"}},
                      SplitCase{"BlanksAroundTrimmed", "  a , b  ", {"a", "b"}},
                      SplitCase{"TrailingComma", "a,", {"a", ""}},
                      SplitCase{"BlankBetweenCommas", "a, ,b", {"a", "", "b"}},
                      SplitCase{"Unterminated", "\"ab,c", {"ab,c"}},
                      SplitCase{"TextAfterQuote", "\"ab\"cd,e", {"ab", "cd", "e"}},
                      SplitCase{"DoubledQuote", "\"a\"\"\"", {"a\""}},
                      SplitCase{"OnlyBlanks", "   ", {}},
                      SplitCase{"EndsAtNul", std::string_view("a,b\0,c", 6), {"a", "b"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(StringList, DelimitedTextUsesOwnDelimiterAndQuote) {
    TStringList list;
    list.SetDelimiter(';');
    list.SetQuoteChar('\'');
    SetLines(list, {"a;b", "it's", "c,d"});
    EXPECT_EQ(list.DelimitedText(), "'a;b';'it''s';c,d");
    EXPECT_EQ(list.CommaText(), "a;b,it's,\"c,d\"");
    TStringList back;
    back.SetDelimiter(';');
    back.SetQuoteChar('\'');
    back.SetDelimitedText(list.DelimitedText());
    EXPECT_EQ(back.ToVector(), list.ToVector());
}

TEST(StringList, TextReadsEveryLineBreakAndWritesTheChosenOne) {
    TStringList list;
    list.SetText("a\r\nb\nc\rd\n\ne");
    EXPECT_EQ(list.ToVector(), (Lines{"a", "b", "c", "d", "", "e"}));
    list.SetText("x\r\n");
    EXPECT_EQ(list.ToVector(), (Lines{"x"}));
    list.SetText("");
    EXPECT_EQ(list.Count(), 0);

    SetLines(list, {"one", "two"});
    EXPECT_EQ(list.Text(), "one\r\ntwo\r\n");
    list.SetLineBreak("\n");
    EXPECT_EQ(list.Text(), "one\ntwo\n");
}

TEST(StringList, NamesAndValues) {
    TStringList list;
    SetLines(list, {"Host=mail.example.org", "port=25", "plain", "Empty="});
    EXPECT_EQ(list.Names(0), "Host");
    EXPECT_EQ(list.Names(2), "");
    EXPECT_EQ(list.Values("HOST"), "mail.example.org");
    EXPECT_EQ(list.Values("Empty"), "");
    EXPECT_EQ(list.Values("missing"), "");
    EXPECT_EQ(list.IndexOfName("PORT"), 1);
    // A line without the separator has no value (not the line minus its first character).
    EXPECT_EQ(list.ValueFromIndex(2), "");
    EXPECT_EQ(list.ValueFromIndex(0), "mail.example.org");

    list.SetValues("port", "587");
    EXPECT_EQ(list[1], "port=587");
    list.SetValues("User", "me");
    EXPECT_EQ(list[4], "User=me");
    list.SetValues("Host", "");
    EXPECT_EQ(list.IndexOfName("Host"), -1);

    list.SetNameValueSeparator(':');
    list.Add("Key:v=w");
    EXPECT_EQ(list.Values("key"), "v=w");
}

TEST(StringList, SetValuesOnSortedListKeepsOrder) {
    TStringList list;
    list.SetSorted(true);
    SetLines(list, {"b=2", "a=1", "c=3"});
    list.SetValues("a", "9");
    EXPECT_EQ(list.ToVector(), (Lines{"a=9", "b=2", "c=3"}));
    list.SetValues("0", "x");
    EXPECT_EQ(list.ToVector(), (Lines{"0=x", "a=9", "b=2", "c=3"}));
}

TEST(StringList, EventsFireAroundEachChangeAndOnceForABatch) {
    TStringList list;
    std::string log;
    list.OnChanging = [&](TObject* sender) {
        EXPECT_EQ(sender, &list);
        log += '<';
    };
    list.OnChange = [&](TObject*) { log += '>'; };
    list.Add("a");
    list.Delete(0);
    EXPECT_EQ(log, "<><>");

    log.clear();
    list.BeginUpdate();
    list.BeginUpdate();
    list.Add("a");
    list.Add("b");
    list.EndUpdate();
    EXPECT_EQ(log, "<");
    list.EndUpdate();
    EXPECT_EQ(log, "<>");
    list.EndUpdate();  // unbalanced: ignored
    EXPECT_EQ(log, "<>");

    log.clear();
    list.SetText("x\ny");
    EXPECT_EQ(log, "<>");
}

TEST(StringList, RefusedLinesLeaveTheListUnchanged) {
    TStringList list;
    list.SetSorted(true);
    list.SetDuplicates(dupError);
    SetLines(list, {"keep", "these"});
    EXPECT_THROW(list.SetText("a\nb\nA"), EStringListError);
    EXPECT_EQ(list.ToVector(), (Lines{"keep", "these"}));
    EXPECT_THROW(list.SetCommaText("x,X"), EStringListError);
    EXPECT_EQ(list.ToVector(), (Lines{"keep", "these"}));
}

TEST(StringList, AddStringsOfItselfDoublesOnce) {
    TStringList list;
    SetLines(list, {"a", "b"});
    list.AddStrings(list);
    EXPECT_EQ(list.ToVector(), (Lines{"a", "b", "a", "b"}));
}

TEST(StringList, AssignCopiesLinesObjectsAndSettings) {
    TObject tag;
    TStringList source;
    source.AddObject("z", &tag);
    source.Add("a");
    source.SetDelimiter(';');
    source.SetLineBreak("\n");
    TStringList target;
    target.SetSorted(true);
    target.Assign(source);
    EXPECT_EQ(target.ToVector(), (Lines{"a", "z"}));
    EXPECT_EQ(target.Objects(1), &tag);
    EXPECT_EQ(target.Delimiter(), ';');
    EXPECT_EQ(target.Text(), "a\nz\n");
    EXPECT_TRUE(source.Equals(source));
    EXPECT_FALSE(source.Equals(target));

    target.Assign(target);
    EXPECT_EQ(target.Count(), 2);

    TPersistent other;
    try {
        target.Assign(other);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TPersistent to a TStringList");
    }
}

TEST(StringList, ObjectsAreNotOwned) {
    auto object = std::make_unique<TObject>();
    {
        TStringList list;
        list.AddObject("a", object.get());
        list.Delete(0);
        list.AddObject("b", object.get());
        EXPECT_EQ(list.IndexOfObject(object.get()), 0);
    }
    EXPECT_NE(object, nullptr);  // still ours; sanitizers catch a double free
}

// A list kept by someone else (as a list box keeps its items), using only the base class's
// algorithms. It refuses the line "bad", as a control might refuse an item.
class ControlLines : public TStrings {
  public:
    std::int64_t Count() const override { return static_cast<std::int64_t>(lines_.size()); }
    std::string Get(std::int64_t index) const override {
        CheckIndex(index, Count());
        return lines_[static_cast<std::size_t>(index)];
    }
    void Insert(std::int64_t index, std::string_view text) override {
        if (text == "bad") {
            throw EListError("refused");
        }
        lines_.insert(lines_.begin() + index, std::string(text));
        ++changes;
    }
    void Delete(std::int64_t index) override {
        CheckIndex(index, Count());
        lines_.erase(lines_.begin() + index);
        ++changes;
    }
    void Clear() override { lines_.clear(); }

    int changes = 0;

  private:
    std::vector<std::string> lines_;
};

TEST(Strings, BaseAlgorithmsWorkOnAnyList) {
    ControlLines lines;
    lines.SetText("b=2\na=1\nc");
    lines.Exchange(0, 2);
    EXPECT_EQ(lines.ToVector(), (Lines{"c", "a=1", "b=2"}));
    lines.Move(0, 2);
    EXPECT_EQ(lines.ToVector(), (Lines{"a=1", "b=2", "c"}));
    lines.SetValues("B", "3");
    EXPECT_EQ(lines.ToVector(), (Lines{"a=1", "B=3", "c"}));
    EXPECT_EQ(lines.IndexOf("C"), 2);
    EXPECT_EQ(lines.CommaText(), "a=1,B=3,c");
    EXPECT_EQ(lines.Objects(1), nullptr);
    EXPECT_THROW(lines.Objects(3), EListError);

    TStringList copy;
    copy.Assign(lines);
    EXPECT_TRUE(copy.Equals(lines));
}

TEST(Strings, RefusedLineRestoresTheOldLines) {
    ControlLines lines;
    lines.SetText("keep\nme");
    EXPECT_THROW(lines.SetText("new\nbad\nlines"), EListError);
    EXPECT_EQ(lines.ToVector(), (Lines{"keep", "me"}));
}

class StringListFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/string_list_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const char* name) const { return (dir_ / name).string(); }
    static std::string ReadRaw(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteRaw(const std::string& path, std::string_view bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::size_t EntryCount() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                      std::filesystem::directory_iterator()));
    }

    std::filesystem::path dir_;
};

TEST_F(StringListFiles, RoundTripWithCrLfAndLf) {
    for (const std::string line_break : {"\r\n", "\n"}) {
        TStringList list;
        list.SetLineBreak(line_break);
        SetLines(list, {"first", "", "Zoë", "last"});
        list.SaveToFile(Path("cats.txt"));
        EXPECT_EQ(ReadRaw(Path("cats.txt")),
                  "first" + line_break + line_break + "Zoë" + line_break + "last" + line_break);
        TStringList back;
        back.LoadFromFile(Path("cats.txt"));
        EXPECT_EQ(back.ToVector(), list.ToVector());
    }
    EXPECT_EQ(EntryCount(), 1u);  // no temporary file left behind
}

TEST_F(StringListFiles, LoadReadsMixedBreaksAndDropsByteOrderMark) {
    WriteRaw(Path("mixed.txt"),
             "\xEF\xBB\xBF"
             "a\r\nb\nc\rd");
    TStringList list;
    list.LoadFromFile(Path("mixed.txt"));
    EXPECT_EQ(list.ToVector(), (Lines{"a", "b", "c", "d"}));
}

TEST_F(StringListFiles, LoadFailureReportsAndKeepsLines) {
    TStringList list;
    list.Add("kept");
    try {
        list.LoadFromFile(Path("missing.txt"));
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot open file \"" + Path("missing.txt") + "\""),
                  std::string::npos);
    }
    EXPECT_THROW(list.LoadFromFile(dir_.string()), EFOpenError);
    EXPECT_EQ(list.ToVector(), (Lines{"kept"}));
}

TEST_F(StringListFiles, SaveReplacesWholeFileAndKeepsItsMode) {
    WriteRaw(Path("list.txt"), "a long old content that is longer than the new one\n");
    ASSERT_EQ(::chmod(Path("list.txt").c_str(), 0640), 0);
    TStringList list;
    list.Add("new");
    list.SaveToFile(Path("list.txt"));
    EXPECT_EQ(ReadRaw(Path("list.txt")), "new\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(Path("list.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(StringListFiles, FileNamesIgnoreCase) {
    WriteRaw(Path("Cats.txt"), "old\n");
    TStringList list;
    list.LoadFromFile(Path("cats.TXT"));
    EXPECT_EQ(list.ToVector(), (Lines{"old"}));
    list.Add("new");
    list.SaveToFile(Path("CATS.txt"));
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_EQ(ReadRaw(Path("Cats.txt")), "old\r\nnew\r\n");
}

TEST_F(StringListFiles, SaveFailureLeavesNothingBehind) {
    TStringList list;
    list.Add("x");
    EXPECT_THROW(list.SaveToFile(Path("no/such/dir/file.txt")), EFCreateError);
    std::filesystem::create_directory(Path("sub"));
    EXPECT_THROW(list.SaveToFile(Path("sub")), EFCreateError);
    EXPECT_TRUE(std::filesystem::is_directory(Path("sub")));
    EXPECT_EQ(EntryCount(), 1u);
}

}  // namespace
}  // namespace db
