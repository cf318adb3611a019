#include "engine/core/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <random>

#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/value_convert.h"
#include "platform/nls/nls.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class Filter : public CursorTest {
  protected:
    // Index, Name, Bounces, Score, Category.
    static TableDefinition RandomTableDefinition(std::uint16_t language, bool descending) {
        TableDefinition d;
        d.language = language;
        d.fields = {MakeFieldDescriptor(1, "Index", 6, 29), MakeFieldDescriptor(2, "Name", 1, 0, 8),
                    MakeFieldDescriptor(3, "Bounces", 6), MakeFieldDescriptor(4, "Score", 7),
                    MakeFieldDescriptor(5, "Category", 1, 0, 3)};
        LayOut(d.fields);
        d.indexes = {MakeIndex("", {1}, true),
                     MakeIndex("ByBounce", {3}, false, false, descending),
                     MakeIndex("ByName", {2}, false, false, descending),
                     MakeIndex("ByNameCI", {2}, false, true, descending),
                     MakeIndex("ByScore", {4, 3}, false, false, descending),
                     MakeIndex("ByCategory", {5}, false, true)};
        return d;
    }

    static void Fill(TDataCursor& c, std::mt19937& random) {
        static const char* names[] = {"a", "ab", "Ab", "abc", "b", "B", "ba", "c", "ca", "zz"};
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        for (int i = 0; i < 160; ++i) {
            c.InitNewRecord(buffer);
            if (random() % 6 != 0)
                PutText(c, buffer, 2, names[random() % 10]);
            if (random() % 5 != 0)
                PutInt(c, buffer, 3, static_cast<std::int32_t>(random() % 10) - 3);
            if (random() % 4 != 0) {
                const double score = (static_cast<double>(random() % 200) - 100.0) / 100.0;
                std::uint8_t value[8];
                std::memcpy(value, &score, 8);
                c.PutField(4, buffer, value);
            }
            if (random() % 3 != 0)
                PutText(c, buffer, 5, random() % 2 ? "A" : "b");
            c.InsertRecord(buffer, false);
        }
        // Free slots, some reused.
        c.SetIndex(kNoIndex);
        c.First();
        for (int i = 0; i < 30; ++i) {
            c.Move(1 + static_cast<std::int64_t>(random() % 3));
            if (c.Eof())
                break;
            c.GetCurrentRecord(buffer, false);
            c.DeleteRecord(buffer, true);
        }
        c.SetIndex(0);
    }

    static std::vector<std::int32_t> Ids(TDataCursor& c) {
        std::vector<std::int32_t> ids;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0)
            ids.push_back(*GetInt(c, buffer, 1));
        std::sort(ids.begin(), ids.end());
        return ids;
    }
};

const char* const kFilters[] = {
    "Bounces > 2", "2 < Bounces", "Bounces >= 2", "2 <= Bounces", "Bounces < 1", "Bounces <= 0",
    "Bounces = 3", "Bounces <> 3", "NOT (Bounces < 4)", "Bounces IN (1, 3, 5)",
    "Bounces NOT IN (1, 3)", "Bounces BETWEEN 0 AND 3", "Bounces NOT BETWEEN 0 AND 3",
    "Bounces BETWEEN 3 AND 0", "Bounces IS NULL", "Bounces IS NOT NULL", "Name = 'ab'",
    "Name = 'a*'", "Name > 'b'", "Name <= 'ab'", "Name <> 'b'", "Name LIKE 'a%'",
    "Bounces > 1 AND Name = 'b'", "Bounces > 1 OR Name < 'b'", "NOT (Name = 'ab' AND Bounces <> 3)",
    "Score > 0.5", "Score <= 0", "NOT (Bounces > 2 OR Bounces IS NULL)",
    "Category = 'A' AND Bounces BETWEEN 1 AND 4", "Bounces > 2.5",
    "Bounces = 2 OR Bounces = 4 OR Bounces IS NULL", "NOT (Score < 0)",
    "Category = 'B' OR Name = 'B*'", "Index > 100 AND Index <= 140", "NOT (Name IS NULL)",
    // Category's only index ignores case: it narrows these.
    "Category = 'a'", "Category LIKE 'b%'", "Category = 'A' AND Name LIKE '%b%'",
    "Name LIKE '%a%' AND Category = 'b'", "NOT (Category = 'A' AND Name LIKE '%b%')",
    "NOT (Category = 'b')", "Category = 'B' OR Bounces > 3", "Category = 'A '", "Category = 'AB'",
    "Category = ''", "NOT (Category = 'A ')"};

// The optimised result (index scans) equals record-by-record evaluation on
// random tables with nulls, both key directions and two languages.
TEST_F(Filter, OptimisedResultEqualsRecordByRecordEvaluation) {
    std::vector<std::uint16_t> languages = {0};
    for (const std::uint16_t candidate : {1031, 1033, 1036}) {
        if (platform::nls::IsValidLocale(platform::nls::MakeLocaleId(candidate, 0))) {
            languages.push_back(candidate);
            break;
        }
    }
    ASSERT_EQ(languages.size(), 2u);
    int variant = 0;
    for (const std::uint16_t language : languages) {
        for (const bool descending : {false, true}) {
            std::mt19937 random(1234u + variant);
            const std::string table = "rand" + std::to_string(variant++);
            TDataCursor& fast = CreateAndOpen(RandomTableDefinition(language, descending), table);
            Fill(fast, random);
            auto slow = fast.CloneCursor();
            for (const bool no_case : {false, true}) {
                for (std::string text : kFilters) {
                    if (language != 0) {
                        // The table's own formats read the text: a decimal
                        // comma, so list commas stand apart.
                        for (std::size_t at = 0; (at = text.find(", ", at)) != std::string::npos;
                             at += 3)
                            text.replace(at, 2, " , ");
                        for (std::size_t at = 1; at + 1 < text.size(); ++at) {
                            if (text[at] == '.' &&
                                std::isdigit(static_cast<unsigned char>(text[at - 1])))
                                text[at] = ',';
                        }
                    }
                    TDataCursor::FilterOptions options;
                    options.case_insensitive = no_case;
                    slow->DropFilter(nullptr);
                    fast.DropFilter(nullptr);
                    slow->SetComputedFields(true);  // every node record by record
                    TFilter* reference = slow->AddFilter(text, options);
                    slow->ActivateFilter(reference);
                    slow->SetComputedFields(false);
                    TFilter* optimised = fast.AddFilter(text, options);
                    fast.ActivateFilter(optimised);
                    ASSERT_EQ(reference->Level(), 2);
                    const std::vector<std::int32_t> expected = Ids(*slow);
                    EXPECT_EQ(Ids(fast), expected)
                        << text << " language " << language << " descending " << descending
                        << " no case " << no_case << " level " << int(optimised->Level());
                    EXPECT_EQ(fast.GetRecordCount(), static_cast<std::int64_t>(expected.size()));
                }
            }
        }
    }
}

// A rare first operand of an AND leaves the second few candidates, placed by their keys
// instead of by walking the second's interval; a view of few records finds its first record
// by their keys instead of by walking the index. Both must agree with record-by-record
// evaluation and with the walk from the start: in every index order, both key directions,
// with nulls, freed slots, a range and a second filter.
TEST_F(Filter, FewCandidatesPlacedByKeyAgreeWithTheWalk) {
    // Each with '#' standing for a name of a few records.
    const char* const templates[] = {"Name = '#' AND Category = 'A'",
                                     "Name = '#' AND Category = 'b'",
                                     "Name = '#' AND Category <> 'A'",
                                     "Name = '#' AND Category IS NULL",
                                     "Name = '#' AND NOT (Category = 'A')",
                                     "Name = '#' AND Bounces BETWEEN 0 AND 5",
                                     "Name = '#' AND Bounces IN (1, 2, 3)",
                                     "Name = '#' AND Bounces > 2",
                                     "Name = '#' AND Category = 'A' AND Bounces >= 0",
                                     "Category = 'A' AND Name = '#'",
                                     "Name = '#' OR Name = 'n100'"};
    std::vector<std::string> filters = {
        "Name = 'n5*' AND Category = 'b'", "Name = 'nope' AND Category = 'A'",
        "Name IS NULL AND Category = 'b'", "Index = 77 AND Category = 'A'", "Category = 'A'"};
    for (const char* name : {"n17", "N42"}) {
        for (std::string text : templates)
            filters.push_back(text.replace(text.find('#'), 1, name));
    }
    for (const bool descending : {false, true}) {
        SCOPED_TRACE(descending ? "descending" : "ascending");
        std::mt19937 random(descending ? 7u : 5u);
        TDataCursor& fast =
            CreateAndOpen(RandomTableDefinition(0, descending), descending ? "few_down" : "few_up");
        std::vector<std::uint8_t> buffer(fast.GetRecordSize());
        const auto insert = [&](int count) {
            for (int i = 0; i < count; ++i) {
                fast.InitNewRecord(buffer);
                if (random() % 9 != 0) {
                    std::string name = "n" + std::to_string(random() % 300);
                    if (random() % 3 == 0)
                        name[0] = 'N';
                    PutText(fast, buffer, 2, name);
                }
                if (random() % 7 != 0)
                    PutInt(fast, buffer, 3, static_cast<std::int32_t>(random() % 10) - 3);
                if (random() % 5 != 0)
                    PutText(fast, buffer, 5, random() % 2 != 0 ? "A" : "b");
                fast.InsertRecord(buffer, false);
            }
        };
        insert(1000);
        fast.SetIndex(kNoIndex);
        fast.First();
        for (int i = 0; fast.GetNextRecord(buffer) == 0; ++i) {
            if (i % 13 == 0)
                fast.DeleteRecord(buffer, true);
        }
        insert(40);
        // A clone of a cursor in record order keeps to record order, which plans by indexes.
        fast.SetIndex(0);
        auto slow = fast.CloneCursor();
        std::vector<std::uint8_t> low(fast.GetRecordSize());
        std::vector<std::uint8_t> high(fast.GetRecordSize());
        PutInt(fast, low, 3, 0);
        PutInt(fast, high, 3, 4);
        for (const int setting : {0, 1, 2}) {
            // 0: the whole table, 1: beside a filter of its own, 2: within a range on ByBounce.
            SCOPED_TRACE(setting);
            for (const bool no_case : {false, true}) {
                TDataCursor::FilterOptions options;
                options.case_insensitive = no_case;
                for (const std::string& text : filters) {
                    SCOPED_TRACE(text);
                    slow->DropFilter(nullptr);
                    fast.DropFilter(nullptr);
                    slow->CancelRange();
                    fast.CancelRange();
                    slow->SetIndex(0);
                    fast.SetIndex(0);
                    if (setting == 1) {
                        fast.ActivateFilter(fast.AddFilter("Bounces <> 1", {}));
                        slow->ActivateFilter(slow->AddFilter("Bounces <> 1", {}));
                    }
                    slow->SetComputedFields(true);  // every node record by record
                    TFilter* reference = slow->AddFilter(text, options);
                    slow->ActivateFilter(reference);
                    slow->SetComputedFields(false);
                    TFilter* optimised = fast.AddFilter(text, options);
                    fast.ActivateFilter(optimised);
                    ASSERT_EQ(reference->Level(), 2);
                    ASSERT_EQ(Ids(fast), Ids(*slow)) << "no case " << no_case;
                    fast.DropFilter(optimised);
                    for (const std::uint8_t index : {0, 1, 2, 3, 5}) {
                        SCOPED_TRACE(int(index));
                        slow->SetIndex(setting == 2 ? 1 : index);
                        fast.SetIndex(setting == 2 ? 1 : index);
                        if (setting == 2) {
                            slow->SetRangeKeys(false, low, 1, high, 1);
                            fast.SetRangeKeys(false, low, 1, high, 1);
                        }
                        std::vector<std::uint8_t> expected(slow->GetRecordSize());
                        slow->First();
                        const EngineErrorCode walked = slow->GetNextRecord(expected);
                        TFilter* search = fast.AddFilter(text, options);
                        const EngineErrorCode found = fast.ActivateAndReadFirst(search, buffer);
                        ASSERT_EQ(found, walked) << "no case " << no_case;
                        if (found == kErrNone) {
                            EXPECT_EQ(GetInt(fast, buffer, 1), GetInt(*slow, expected, 1));
                            // The cursor stands on it: the next record is the walk's next.
                            std::vector<std::uint8_t> after(fast.GetRecordSize());
                            std::vector<std::uint8_t> walked_after(fast.GetRecordSize());
                            const EngineErrorCode next = fast.GetNextRecord(after);
                            ASSERT_EQ(next, slow->GetNextRecord(walked_after));
                            if (next == kErrNone) {
                                EXPECT_EQ(GetInt(fast, after, 1), GetInt(*slow, walked_after, 1));
                            }
                        }
                        fast.DropFilter(search);
                        // Beside a filter or in a range, two orders are enough.
                        if (setting != 0 && index >= 1)
                            break;
                    }
                }
            }
        }
    }
}

// Fields of every indexable type, under indexes in both directions, as the first field of a
// two-field index, and beside a range: the optimised rows equal record-by-record evaluation.
TEST_F(Filter, FieldsOfEveryTypeAgreeWithRecordByRecordEvaluation) {
    // Id, Small, Word, Flag, Money, Day, Clock, Stamp, Real, Text, Memo.
    TableDefinition d;
    d.fields = {MakeFieldDescriptor(1, "Id", 6, 29),
                MakeFieldDescriptor(2, "Small", 5),
                MakeFieldDescriptor(3, "Word", 12),
                MakeFieldDescriptor(4, "Flag", 4),
                MakeFieldDescriptor(5, "Money", 8, 0, 18, 2),
                MakeFieldDescriptor(6, "Day", 2),
                MakeFieldDescriptor(7, "Clock", 10),
                MakeFieldDescriptor(8, "Stamp", 11),
                MakeFieldDescriptor(9, "Real", 7),
                MakeFieldDescriptor(10, "Text", 1, 0, 6),
                MakeFieldDescriptor(11, "Memo", 3, 22)};
    LayOut(d.fields);
    const std::vector<std::vector<std::string>> pools = {
        {},
        {"-32768", "-2", "0", "3", "32767"},
        {"0", "1", "40000", "65535"},
        {"FALSE", "TRUE"},
        {"-12.34", "0", "0.01", "12.34", "99999.99"},
        {"0001-01-01", "1999-12-31", "2000-01-01", "2024-02-29", "9999-12-31"},
        {"00:00:00", "08:30:00", "12:00:00", "23:59:59"},
        {"1999-12-31 23:59:59", "2000-01-01 00:00:00", "2024-02-29 12:00:00"},
        {"-1.5", "-0", "0", "2.25", "1e10"},
        {"", " ", "a", "A", "ab", "AB", "abc", "b", "zzzzz"},
    };
    std::vector<std::string> filters = {"Small < 0",
                                        "Small >= -2",
                                        "Small = 32767",
                                        "Small BETWEEN -2 AND 3",
                                        "Small NOT IN (0, 3)",
                                        "Word > 1",
                                        "Word <= 40000",
                                        "Word IS NULL",
                                        "Word <> 1",
                                        "Flag = TRUE",
                                        "Flag = FALSE",
                                        "Flag <> TRUE",
                                        "NOT Flag",
                                        "Flag IS NOT NULL",
                                        "Money > 0",
                                        "Money = 12.34",
                                        "Money < -12",
                                        "Money BETWEEN 0 AND 12.34",
                                        "Money IN (0.01, 99999.99)",
                                        "Day < '2000-01-01'",
                                        "Day >= '1999-12-31'",
                                        "Day = '2024-02-29'",
                                        "Day BETWEEN '0001-01-01' AND '2000-01-01'",
                                        "Day IS NULL",
                                        "Clock > '08:30:00'",
                                        "Clock <= '12:00:00'",
                                        "Clock = '00:00:00'",
                                        "Stamp > '2000-01-01 00:00:00'",
                                        "Stamp <= '2000-01-01 00:00:00'",
                                        "Stamp = '2024-02-29 12:00:00'",
                                        "Real > 0",
                                        "Real <= 2.25",
                                        "Real = 1e10",
                                        "Real = 0",
                                        "Real >= 0",
                                        "Text = ''",
                                        "Text = ' '",
                                        "Text > 'a'",
                                        "Text < 'b'",
                                        "Text = 'a*'",
                                        "Text >= 'AB'",
                                        "Text <> 'ab'",
                                        "Text IS NULL",
                                        "Text IN ('a', 'AB', 'zzzzz')",
                                        "UPPER(Text) = 'AB'",
                                        "LOWER(Text) = 'ab'",
                                        "Text BETWEEN 'A' AND 'ab'",
                                        "Id > 50 AND Text = 'ab'",
                                        "Memo IS NULL",
                                        "Memo IS NOT NULL AND Small > 0",
                                        "Memo LIKE '%x%' OR Day IS NULL",
                                        "Small > 0 AND (Word = 1 OR Money > 0)",
                                        "NOT (Day > '2000-01-01' AND Clock IS NULL)",
                                        "Day = '2000-01-01' AND Small = 3",
                                        "Day > '1999-12-31' AND Small < 0"};
    for (const bool descending : {false, true}) {
        SCOPED_TRACE(descending ? "descending" : "ascending");
        d.indexes = {MakeIndex("", {1}, true)};
        const char* names[] = {"",      "BySmall", "ByWord",  "ByFlag", "ByMoney",
                               "ByDay", "ByClock", "ByStamp", "ByReal", "ByText"};
        for (std::uint16_t f = 2; f <= 10; ++f) {
            // The day leads a two-field index; the text has one of each case rule.
            if (f == 6)
                d.indexes.push_back(MakeIndex(names[f - 1], {6, 2}, false, false, descending));
            else
                d.indexes.push_back(MakeIndex(names[f - 1], {f}, false, false, descending));
        }
        d.indexes.push_back(MakeIndex("ByTextCI", {10}, false, true, !descending));
        TDataCursor& fast = CreateAndOpen(d, descending ? "types_down" : "types_up");
        std::mt19937 random(descending ? 11u : 3u);
        std::vector<std::uint8_t> buffer(fast.GetRecordSize());
        const db::TFormatSettings format = FixedFormatSettings();
        for (int i = 0; i < 200; ++i) {
            fast.InitNewRecord(buffer);
            for (std::uint16_t f = 2; f <= 10; ++f) {
                const auto& pool = pools[f - 1];
                if (random() % 7 == 0)
                    continue;
                const std::string& text = pool[random() % pool.size()];
                std::vector<std::byte> value(256);
                std::memcpy(value.data(), text.data(), text.size());
                const FieldDescriptor& field = d.fields[f - 1];
                ASSERT_TRUE(ConvertValue(kTypeString, 255, 0, value, FieldDecimals(field),
                                         FieldDataSize(field), FieldType(field), format))
                    << text;
                fast.PutField(f, buffer, reinterpret_cast<const std::uint8_t*>(value.data()));
            }
            fast.InsertRecord(buffer, false);
            if (random() % 3 == 0) {
                // A memo on some records, written through the open record.
                fast.SetIndex(0);
                fast.Last();
                ASSERT_EQ(fast.GetPriorRecord(buffer), kErrNone);
                ASSERT_EQ(fast.OpenBlob(11, buffer, kBlobOpenReadWrite), kErrNone);
                const std::string memo = random() % 2 ? "x marks" : "plain";
                ASSERT_EQ(fast.WriteBlob(11, buffer, static_cast<std::uint32_t>(memo.size()),
                                         reinterpret_cast<const std::uint8_t*>(memo.data()), 0),
                          kErrNone);
                fast.ModifyRecord(buffer, true, false);
            }
        }
        auto slow = fast.CloneCursor();
        std::vector<std::uint8_t> low(fast.GetRecordSize());
        std::vector<std::uint8_t> high(fast.GetRecordSize());
        PutInt(fast, low, 1, 100);
        PutInt(fast, high, 1, 300);
        for (const bool in_range : {false, true}) {
            // Plain, ignoring case, and with "*" taken as itself.
            for (const int variant : {0, 1, 2}) {
                const bool no_case = variant == 1;
                TDataCursor::FilterOptions options;
                options.case_insensitive = no_case;
                options.no_partial_compare = variant == 2;
                for (const std::string& text : filters) {
                    SCOPED_TRACE(text);
                    for (TDataCursor* c : {&fast, slow.get()}) {
                        c->DropFilter(nullptr);
                        c->CancelRange();
                        c->SetIndex(0);
                        if (in_range)
                            c->SetRangeKeys(false, low, 1, high, 1);
                    }
                    slow->SetComputedFields(true);  // every node record by record
                    TFilter* reference = slow->AddFilter(text, options);
                    slow->ActivateFilter(reference);
                    slow->SetComputedFields(false);
                    ASSERT_EQ(reference->Level(), 2);
                    TFilter* optimised = fast.AddFilter(text, options);
                    fast.ActivateFilter(optimised);
                    const std::vector<std::int32_t> expected = Ids(*slow);
                    EXPECT_EQ(Ids(fast), expected) << "range " << in_range << " no case " << no_case
                                                   << " level " << int(optimised->Level());
                    // The filter's rows stay when the cursor turns to another index.
                    fast.CancelRange();
                    slow->CancelRange();
                    fast.SetIndex(6);
                    slow->SetIndex(6);
                    EXPECT_EQ(Ids(fast), Ids(*slow)) << "by day, variant " << variant;
                }
            }
        }
    }
}

// A filtered cursor within a range keeps its view by the record hooks while it inserts,
// changes and deletes rows (moving them in and out of the range and the filter): after every
// step its rows and count equal a fresh cursor's, in both key directions.
TEST_F(Filter, ViewsKeptByTheRecordHooksEqualAFreshEvaluation) {
    for (const bool descending : {false, true}) {
        SCOPED_TRACE(descending ? "descending" : "ascending");
        std::mt19937 random(descending ? 21u : 22u);
        TDataCursor& c = CreateAndOpen(RandomTableDefinition(0, descending),
                                       descending ? "hooks_down" : "hooks_up");
        Fill(c, random);
        std::vector<std::uint8_t> low(c.GetRecordSize());
        std::vector<std::uint8_t> high(c.GetRecordSize());
        PutInt(c, low, 3, descending ? 4 : 0);
        PutInt(c, high, 3, descending ? 0 : 4);
        const auto prepare = [&](TDataCursor& t) {
            t.SetIndex(1);  // ByBounce
            t.SetRangeKeys(false, low, 1, high, 1);
            t.ActivateFilter(t.AddFilter("Name >= 'b' OR Category = 'A'", {}));
        };
        prepare(c);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        static const char* names[] = {"a", "ab", "b", "ba", "c", "zz"};
        for (int step = 0; step < 150; ++step) {
            SCOPED_TRACE(step);
            const int what = static_cast<int>(random() % 3);
            if (what == 0 || c.GetRecordCount() == 0) {
                c.InitNewRecord(buffer);
                PutText(c, buffer, 2, names[random() % 6]);
                PutInt(c, buffer, 3, static_cast<std::int32_t>(random() % 10) - 3);
                if (random() % 2 != 0)
                    PutText(c, buffer, 5, "A");
                c.InsertRecord(buffer, false);
            } else {
                c.First();
                c.Move(1 + static_cast<std::int64_t>(random() % c.GetRecordCount()));
                if (c.GetCurrentRecord(buffer, false) != kErrNone)
                    continue;
                if (what == 1) {
                    PutText(c, buffer, 2, names[random() % 6]);
                    PutInt(c, buffer, 3, static_cast<std::int32_t>(random() % 10) - 3);
                    c.ModifyRecord(buffer, true, false);
                } else {
                    c.DeleteRecord(buffer, true);
                }
            }
            auto fresh = c.CloneCursor();
            fresh->DropFilter(nullptr);
            fresh->CancelRange();
            prepare(*fresh);
            const std::vector<std::int32_t> expected = Ids(*fresh);
            ASSERT_EQ(Ids(c), expected);
            ASSERT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(expected.size()));
        }
    }
}

TEST_F(Filter, LevelsFollowTheIndexes) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    struct Case {
        const char* text;
        int level;
    };
    for (const Case& test : std::initializer_list<Case>{
             {"Bounces > 2", 0},
             {"2 < Bounces", 0},
             {"Comments = 'x'", 2},
             {"Bounces = 1 AND Comments LIKE '%x%'", 1},
             {"Comments LIKE '%x%' AND Bounces = 1", 1},
             {"Bounces = 1 OR Comments LIKE '%x%'", 2},
             // ByCategory ignores case; a case-sensitive compare cannot use it.
             {"Category = 'A' AND Comments LIKE '%x%'", 2},
             {"Bounces > 2 OR Bounces IS NULL", 0},
             // ByItem is case-insensitive: a case-sensitive compare cannot use it.
             {"Item = 'a@x'", 2},
         }) {
        TFilter* filter = c.AddFilter(test.text, {});
        EXPECT_EQ(filter->Level(), test.level) << test.text;
        c.DropFilter(filter);
    }
    TDataCursor::FilterOptions no_case;
    no_case.case_insensitive = true;
    EXPECT_EQ(c.AddFilter("Item = 'a@x'", no_case)->Level(), 0);
}

// Counting an index leaf for the estimate switches indexes on the side; a
// cursor in physical order without filters must still read every row after.
TEST_F(Filter, EstimatedOrClassificationKeepsTheRows) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 10; ++i)
        InsertEntry(c, "item" + std::to_string(i), "A", i);
    TFilter* filter = c.AddFilter("Bounces >= 3 OR Comments < 'm'", {});
    ExpTokenPtr tree = CopyTokenTree(filter->Expression());
    c.DropFilter(filter);
    ASSERT_TRUE(tree && tree->First && tree->First->Parent == tree.get());
    for (const std::uint8_t index : {kNoIndex, std::uint8_t{0}}) {
        c.SetIndex(index);
        EXPECT_EQ(c.ClassifyFilterNode(*tree, 0, true), 2) << int(index);
        EXPECT_EQ(Items(c).size(), 10u) << int(index);
        EXPECT_EQ(c.GetRecordCount(), 10) << int(index);
    }
}

TEST_F(Filter, ErrorsAndHandles) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    EXPECT_EQ(CodeOf([&] { c.AddFilter("Bounces +", {}); }), kErrFilter);
    EXPECT_EQ(CodeOf([&] { c.AddFilter("Nope = 1", {}); }), kErrFilter);
    EXPECT_EQ(CodeOf([&] { c.AddFilter("Bounces + 1", {}); }), kErrFilter);
    EXPECT_EQ(CodeOf([&] { c.AddFilter("   ", {}); }), kErrFilter);
    EXPECT_EQ(CodeOf([&] { c.AddFilter("Bounces > 1 Bounces", {}); }), kErrFilter);
    EXPECT_EQ(c.FilterCount(), 0u);
    // An empty table: activating leaves the view empty.
    TFilter* filter = c.AddFilter("Bounces > 1", {});
    c.ActivateFilter(filter);
    EXPECT_EQ(c.GetRecordCount(), 0);
    EXPECT_EQ(CodeOf([&] { c.DropFilter(reinterpret_cast<TFilter*>(&c)); }),
              kErrInvalidFilterHandle);
    EXPECT_EQ(c.FilterCount(), 1u);
    for (int i = 1; i < 64; ++i)
        c.AddFilter("Bounces > 1", {});
    EXPECT_EQ(CodeOf([&] { c.AddFilter("Bounces > 1", {}); }), kErrTooManyFilters);
}

// Every message names the table and ends in the words " in filter expression" (one blank),
// whether the parser or the type check finds the fault.
TEST_F(Filter, MessagesNameTheTableAndEndInTheContext) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    const std::string head = "Filter error for table 'mailist' - ";
    for (const auto& [text, message] : std::vector<std::pair<const char*, std::string>>{
             {"   ", "filter expression is empty"},
             {"Bounces + 1", "filter expression must be a boolean expression"},
             {"Nope = 1",
              "Invalid column name 'Nope' or table correlation name '' specified in "
              "filter expression"},
             {"Item = 'abc", "Missing single quote after 'abc' in filter expression"},
             {"Bounces > 1 Bounces",
              "Unknown or unexpected symbol 'Bounces' found in filter expression"},
         }) {
        try {
            c.AddFilter(text, {});
            ADD_FAILURE() << text;
        } catch (const EStrataEngineError& error) {
            EXPECT_EQ(error.ErrorCode(), kErrFilter);
            const std::string what = error.what();
            EXPECT_NE(what.find(head + message), std::string::npos) << what;
            EXPECT_EQ(what.find("  "), std::string::npos) << what;
        }
    }
}

TEST_F(Filter, CallbackFiltersAndRecordHooks) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 6; ++i)
        InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
    TFilter* filter = c.AddFilter({}, {}, [&](ConstRecordBuffer record, std::uint32_t) {
        std::vector<std::uint8_t> copy(record.begin(), record.end());
        return GetInt(c, copy, 4).value_or(0) % 2 == 0;
    });
    c.ActivateFilter(filter);
    EXPECT_EQ(c.GetRecordCount(), 3);
    InsertEntry(c, "v@x", "A", 8);
    InsertEntry(c, "w@x", "A", 9);
    EXPECT_EQ(c.GetRecordCount(), 4);
    c.DeactivateFilter(filter);
    EXPECT_EQ(c.GetRecordCount(), 8);
}

// A filter callback that throws while the filter is activated: the error reaches the caller
// and the cursor shows what it showed before, not a view built part way; the filter is
// inactive and may be activated again.
TEST_F(Filter, AFilterWhoseEvaluationFailsIsNotLeftActive) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 6; ++i)
        InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
    TFilter* first = c.AddFilter("Bounces < 4", {});
    c.ActivateFilter(first);
    int calls = 0;
    bool armed = true;
    TFilter* failing = c.AddFilter({}, {}, [&](ConstRecordBuffer, std::uint32_t) {
        if (armed && ++calls == 3)
            throw std::runtime_error("the event failed");
        return true;
    });
    const std::vector<std::string> before = {"u0@x", "u1@x", "u2@x", "u3@x"};
    for (const bool read_first : {false, true}) {
        SCOPED_TRACE(read_first);
        calls = 0;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        if (read_first)
            EXPECT_THROW(c.ActivateAndReadFirst(failing, buffer), std::runtime_error);
        else
            EXPECT_THROW(c.ActivateFilter(nullptr), std::runtime_error);
        EXPECT_FALSE(failing->Active());
        EXPECT_TRUE(first->Active());
        EXPECT_EQ(c.GetRecordCount(), 4);
        EXPECT_EQ(Items(c), before);
    }
    armed = false;
    c.ActivateFilter(failing);
    EXPECT_EQ(Items(c), before);
}

// The same for an expression that cannot be evaluated (a memo whose blocks are gone), given
// to an active filter as its new expression: the filter keeps its old one and its rows.
TEST_F(Filter, AnExpressionThatCannotBeEvaluatedLeavesTheOldOne) {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    {
        TDataCursor& c = CreateAndOpen(definition);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        const std::string memo(2000, 'x');
        for (int i = 0; i < 6; ++i) {
            c.InitNewRecord(buffer);
            PutText(c, buffer, 2, "u" + std::to_string(i) + "@x");
            PutInt(c, buffer, 4, i);
            ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), 0);
            ASSERT_EQ(c.WriteBlob(9, buffer, static_cast<std::uint32_t>(memo.size()),
                                  reinterpret_cast<const std::uint8_t*>(memo.data()), 0),
                      0);
            c.InsertRecord(buffer, false);
            c.FreeBlobs();
        }
        c.Close();
    }
    std::filesystem::resize_file(dir.File("mailist.BLB"), 512 + 512 * 6);
    TDataCursor& c = NewCursor();
    c.Open();
    TFilter* filter = c.AddFilter("Bounces < 4", {});
    c.ActivateFilter(filter);
    const std::vector<std::string> before = {"u0@x", "u1@x", "u2@x", "u3@x"};
    TFilter* probe = c.AddFilter("Notes LIKE '%y%'", {});
    ExpTokenPtr unreadable = CopyTokenTree(probe->Expression());
    EXPECT_NE(CodeOf([&] { c.ActivateFilter(probe); }), 0);
    EXPECT_FALSE(probe->Active());
    c.DropFilter(probe);
    const TExpToken* kept = filter->Expression();
    EXPECT_NE(CodeOf([&] { c.SetFilterExpression(std::move(unreadable), filter); }), 0);
    EXPECT_EQ(filter->Expression(), kept);
    EXPECT_TRUE(filter->Active());
    EXPECT_EQ(c.GetRecordCount(), 4);
    EXPECT_EQ(Items(c), before);
}

// Filters that check many records read them from the file in large blocks; what they see is
// what a read through the cursor gives: deleted records stay out, encrypted tables are read
// in clear, and changes not yet written (inside a batch) or written since count.
TEST_F(Filter, RecordsCheckedInBlocksSeeEveryChange) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        TableDefinition definition = ListTableDefinition();
        definition.encrypted = encrypted;
        definition.password = encrypted ? "block-pass" : "";
        if (encrypted)
            session->AddPassword("block-pass");
        const std::string table = encrypted ? "blocks_secret" : "blocks_plain";
        TDataCursor& c = CreateAndOpen(definition, table);
        for (int i = 0; i < 3000; ++i) {
            const char* categories[] = {"Cat1", "cat1", "Cat2", "CAT1", "Cat3"};
            InsertEntry(c, "m" + std::to_string(i) + "@x", categories[i % 5], i % 7);
        }
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        // Every 9th record deleted, every 11th moved from one category to the other.
        c.SetIndex(kNoIndex);
        c.First();
        for (int i = 0; c.GetNextRecord(buffer) == 0; ++i) {
            if (i % 9 == 0) {
                c.DeleteRecord(buffer, true);
            } else if (i % 11 == 0) {
                PutText(c, buffer, 3, GetText(c, buffer, 3) == "Cat1" ? "Cat2" : "Cat1");
                c.ModifyRecord(buffer, true, false);
            }
        }
        const auto expected =
            [&](const std::function<bool(const std::vector<std::uint8_t>&)>& passes) {
                auto all = c.CloneCursor();
                all->SetIndex(kNoIndex);
                std::vector<std::string> items;
                all->First();
                while (all->GetNextRecord(buffer) == 0) {
                    if (passes(buffer))
                        items.push_back(GetText(*all, buffer, 2));
                }
                return items;
            };
        const auto in_cat1 = [&](const std::vector<std::uint8_t>& record) {
            return GetText(c, record, 3) == "Cat1";
        };
        const auto check = [&](const char* when) {
            SCOPED_TRACE(when);
            c.DropFilter(nullptr);
            c.SetIndex(kNoIndex);
            TFilter* exact = c.AddFilter("Category = 'Cat1'", {});
            c.ActivateFilter(exact);
            EXPECT_EQ(Items(c), expected(in_cat1));
            c.DropFilter(nullptr);
            TFilter* callback = c.AddFilter({}, {}, [&](ConstRecordBuffer record, std::uint32_t) {
                std::vector<std::uint8_t> copy(record.begin(), record.end());
                return GetInt(c, copy, 4).value_or(-1) == 3;
            });
            c.ActivateFilter(callback);
            EXPECT_EQ(Items(c), expected([&](const std::vector<std::uint8_t>& record) {
                          return GetInt(c, record, 4).value_or(-1) == 3;
                      }));
            c.DropFilter(nullptr);
        };
        check("after the changes");
        directory->BeginUpdateBatch();
        c.First();
        for (int i = 0; c.GetNextRecord(buffer) == 0; ++i) {
            if (i % 4 == 0) {
                PutText(c, buffer, 3, "Cat1");
                c.ModifyRecord(buffer, true, false);
            }
        }
        check("inside a batch");
        directory->EndUpdateBatch(true);
        check("after the batch");
    }
}

}  // namespace
}  // namespace strata
