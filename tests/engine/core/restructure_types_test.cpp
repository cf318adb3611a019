// Every field type restructured into every other: each value is converted by the rules of the
// type pair or reported lost, never changed without a word.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "engine/core/table_restructure.h"
#include "engine/storage/data_types.h"
#include "engine/storage/value_convert.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

struct TypeShape {
    const char* name;
    std::uint8_t type;
    std::uint8_t subtype;
    std::uint8_t length;
    std::uint8_t decimals;
};

const TypeShape kShapes[] = {
    {"string", 1, 0, 12, 0}, {"smallint", 5, 0, 0, 0}, {"integer", 6, 0, 0, 0},
    {"word", 12, 0, 0, 0},   {"float", 7, 0, 0, 0},    {"money", 7, 21, 0, 0},
    {"bcd0", 8, 0, 0, 0},    {"bcd2", 8, 0, 0, 2},     {"bcd4", 8, 0, 0, 4},
    {"date", 2, 0, 0, 0},    {"time", 10, 0, 0, 0},    {"timestamp", 11, 0, 0, 0},
    {"boolean", 4, 0, 0, 0}, {"bytes", 9, 0, 4, 0},    {"short", 1, 0, 3, 0},
};

// Source values as texts of their own type.
const std::map<std::string, std::vector<std::string>> kValues = {
    {"string", {"12", "-1.5", "abc", "2001-02-03", "70000", "TRUE", " 7 "}},
    {"smallint", {"-32768", "-1", "0", "1", "32767"}},
    {"integer", {"-2147483648", "-1", "0", "1", "70000", "2147483647"}},
    {"word", {"0", "1", "32768", "65535"}},
    {"float",
     {"-1E300", "-2.5", "-0.5", "0", "0.5", "2.5", "65535.4", "1E20", "123456789012.3457"}},
    {"money", {"-2.5", "0.125"}},
    {"bcd0", {"-922337203685477", "-3", "0", "3"}},
    {"bcd2", {"-1234.55", "-0.01", "0.5", "32767.49", "32767.5"}},
    {"bcd4", {"-0.0001", "0.5", "1.2345", "123456789012.3457"}},
    {"date", {"0001-01-01", "1899-12-30", "9999-12-31"}},
    {"time", {"00:00:00", "12:00:00", "23:59:59"}},
    {"timestamp",
     {"0001-01-01", "0001-01-01 00:00:01", "1899-12-30 12:00:00", "9999-12-31 23:59:59"}},
    {"boolean", {"TRUE", "FALSE"}},
    {"bytes", {"ab", "abcd"}},
    {"short", {"ab"}},
};

// The value as the engine writes it as text; bytes as they are.
std::string TextOf(std::uint8_t type, std::uint32_t size, std::uint8_t scale,
                   const std::uint8_t* value) {
    if (type == kTypeBytes)
        return std::string(reinterpret_cast<const char*>(value), size);
    std::vector<std::byte> buffer(256);
    std::memcpy(buffer.data(), value, size);
    if (!ConvertValue(type, size, scale, buffer, 0, 255, kTypeString, FixedFormatSettings()))
        return "<no text>";
    return reinterpret_cast<const char*>(buffer.data());
}

class RestructureTypes : public CursorTest {
  protected:
    // Restructures a table of fields V1, V2, ... of `from`, each holding the values of
    // `from`, into one field of each target type; answers per target each record's new value
    // as text ("-" for NULL) and the number of losses reported for that field.
    std::vector<std::pair<std::string, int>> Convert(const TypeShape& from,
                                                     const std::vector<TypeShape>& targets) {
        TableDefinition d;
        d.fields = {MakeFieldDescriptor(1, "Id", 6, 0)};
        for (std::size_t k = 0; k < targets.size(); ++k) {
            d.fields.push_back(MakeFieldDescriptor(static_cast<std::uint16_t>(k + 2),
                                                   "V" + std::to_string(k + 1), from.type,
                                                   from.subtype, from.length, from.decimals));
        }
        LayOut(d.fields);
        d.indexes = {MakeIndex("", {1}, true)};
        TDataCursor& c = CreateAndOpen(d);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        const auto& values = kValues.at(from.name);
        for (std::size_t i = 0; i < values.size(); ++i) {
            c.InitNewRecord(buffer);
            const auto id = static_cast<std::int32_t>(i);
            c.PutField(1, buffer, reinterpret_cast<const std::uint8_t*>(&id));
            std::vector<std::byte> value(256);
            std::memcpy(value.data(), values[i].data(), values[i].size());
            EXPECT_TRUE(ConvertValue(kTypeString, 255, 0, value, FieldDecimals(d.fields[1]),
                                     FieldDataSize(d.fields[1]), from.type, FixedFormatSettings()))
                << values[i];
            for (std::uint32_t k = 0; k < targets.size(); ++k)
                c.PutField(k + 2, buffer, reinterpret_cast<const std::uint8_t*>(value.data()));
            c.InsertRecord(buffer, false);
        }
        c.Close();
        TableDefinition changed = d;
        for (std::size_t k = 0; k < targets.size(); ++k) {
            const TypeShape& to = targets[k];
            changed.fields[k + 1] =
                MakeFieldDescriptor(static_cast<std::uint16_t>(k + 2), "V" + std::to_string(k + 1),
                                    to.type, to.subtype, to.length, to.decimals);
        }
        changed.last_auto_inc = -1;
        std::vector<std::pair<std::string, int>> results(targets.size());
        RestructureTable(
            NewCursor(), changed, RestructureOptions{.no_backup = true}, [](std::uint32_t, int) {},
            [&](int cause, std::string_view context, bool&, bool&) {
                EXPECT_EQ(cause, 4);
                ASSERT_EQ(context.substr(0, 1), "V");
                const auto k = std::stoul(std::string(context.substr(1))) - 1;
                ASSERT_LT(k, results.size());
                ++results[k].second;
            });
        TDataCursor& after = NewCursor();
        after.Open();
        std::vector<std::uint8_t> record(after.GetRecordSize());
        after.First();
        while (after.GetNextRecord(record) == kErrNone) {
            for (std::uint32_t k = 0; k < targets.size(); ++k) {
                const FieldDescriptor& f = after.GetFieldDesc(k + 2);
                std::vector<std::uint8_t> value(256);
                bool is_null = true;
                after.GetField(k + 2, record, is_null, value);
                std::string& texts = results[k].first;
                if (after.GetRecordNumber() > 1)
                    texts += "|";
                texts += is_null ? "-"
                                 : TextOf(FieldType(f), FieldDataSize(f), FieldDecimals(f),
                                          value.data());
            }
        }
        after.Close();
        return results;
    }
};

const TypeShape& Shape(std::string_view name) {
    for (const TypeShape& shape : kShapes) {
        if (shape.name == name)
            return shape;
    }
    throw std::logic_error("no shape");
}

// Each value converted by the rules of the pair, or NULL with a loss reported for it: the
// number of losses equals the number of values that became NULL.
TEST_F(RestructureTypes, ValuesConvertOrAreReportedLost) {
    struct PairCase {
        const char* from;
        const char* to;
        const char* texts;
    };
    const PairCase cases[] = {
        // Texts parse or are lost; longer texts are cut to the new length.
        {"string", "smallint", "12|-|-|-|-|-|7"},
        {"string", "integer", "12|-|-|-|70000|-|7"},
        {"string", "bcd0", "12|-2|-|-|70000|-|7"},
        {"string", "bcd2", "12.00|-1.50|-|-|70000.00|-|7.00"},
        {"string", "date", "-|-|-|2001-02-03|-|-|-"},
        {"string", "boolean", "-|-|-|-|-|True|-"},
        {"string", "short", "12|-1.|abc|200|700|TRU| 7"},
        // Integers widen exactly and narrow only when they fit.
        {"smallint", "word", "-|-|0|1|32767"},
        {"smallint", "bcd4", "-32768.0000|-1.0000|0.0000|1.0000|32767.0000"},
        {"integer", "smallint", "-|-1|0|1|-|-"},
        {"integer", "word", "-|-|0|1|-|-"},
        {"integer", "boolean", "True|True|False|True|True|True"},
        {"integer", "float", "-2147483648|-1|0|1|70000|2147483647"},
        {"word", "smallint", "0|1|-|-"},
        // Floats round half away from zero, and only into the range of the new type.
        {"float", "smallint", "-|-3|-1|0|1|3|-|-|-"},
        {"float", "word", "-|-|-|0|1|3|65535|-|-"},
        {"float", "bcd2", "-|-2.50|-0.50|0.00|0.50|2.50|65535.40|-|123456789012.35"},
        {"float", "bcd4", "-|-2.5000|-0.5000|0.0000|0.5000|2.5000|65535.4000|-|123456789012.3457"},
        {"float", "date", "-|-|-|-|-|-|-|-|-"},
        {"money", "bcd2", "-2.50|0.13"},
        // Decimals re-scale with rounding, and lose only what leaves the range.
        {"bcd0", "bcd4", "-|-3.0000|0.0000|3.0000"},
        {"bcd0", "float", "-922337203685477|-3|0|3"},
        {"bcd2", "smallint", "-1235|0|1|32767|-"},
        {"bcd2", "integer", "-1235|0|1|32767|32768"},
        {"bcd4", "bcd2", "0.00|0.50|1.23|123456789012.35"},
        {"bcd4", "integer", "0|1|1|-"},
        // Dates, times and timestamps among themselves, never into numbers.
        {"date", "timestamp", "0001-01-01|1899-12-30|9999-12-31"},
        {"date", "integer", "-|-|-"},
        {"time", "timestamp", "1899-12-30|1899-12-30 12:00:00|1899-12-30 23:59:59"},
        {"timestamp", "date", "0001-01-01|0001-01-01|1899-12-30|9999-12-31"},
        {"timestamp", "time", "00:00:00|00:00:01|12:00:00|23:59:59"},
        {"timestamp", "string", "0001-01-01|0001-01-01 0|1899-12-30 1|9999-12-31 2"},
        {"boolean", "integer", "1|0"},
        {"boolean", "float", "-|-"},
    };
    for (const PairCase& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
        const auto [texts, lost] = Convert(Shape(c.from), {Shape(c.to)}).front();
        EXPECT_EQ(texts, c.texts);
        int nulls = 0;
        for (std::size_t at = 0; at < texts.size(); ++at) {
            if (texts[at] == '-' && (at + 1 == texts.size() || texts[at + 1] == '|') &&
                (at == 0 || texts[at - 1] == '|'))
                ++nulls;
        }
        EXPECT_EQ(lost, nulls);
    }
}

// Every pair: a value is either kept (its text readable in the new type) or reported.
TEST_F(RestructureTypes, EveryPairReportsEachNullItMakes) {
    const std::vector<TypeShape> targets(std::begin(kShapes), std::end(kShapes));
    for (const TypeShape& from : kShapes) {
        const auto results = Convert(from, targets);
        for (std::size_t k = 0; k < targets.size(); ++k) {
            SCOPED_TRACE(std::string(from.name) + " -> " + targets[k].name);
            const auto& [texts, lost] = results[k];
            int nulls = 0;
            std::size_t start = 0;
            while (start <= texts.size()) {
                const std::size_t end = std::min(texts.find('|', start), texts.size());
                nulls += texts.substr(start, end - start) == "-" ? 1 : 0;
                start = end + 1;
            }
            EXPECT_EQ(lost, nulls);
            EXPECT_EQ(texts.find("<no text>"), std::string::npos) << texts;
        }
    }
}

}  // namespace
}  // namespace strata
