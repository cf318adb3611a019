// Every field type the tables hold, at its limits, written through the dataset's typed
// accessors and read back before and after the table is closed and opened again.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>

#include "engine/dataset/strata_query.h"
#include "engine/dataset/strata_table.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/db/date_time.h"
#include "platform/db/exception.h"
#include "tests/engine/dataset/strata_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class FieldTypeWalkTest : public DataSetTest {
  protected:
    void TearDown() override {
        owned.clear();
        DataSetTest::TearDown();
    }
    TStrataTable& MakeTable(std::string_view name = "types.dat") {
        owned.push_back(db::MakeComponent<TStrataTable>(nullptr));
        TStrataTable& t = *owned.back();
        t.SetSessionName("TestSession");
        t.SetDatabaseName("TestDB");
        t.SetTableName(name);
        t.SetExclusive(true);
        return t;
    }
    std::vector<db::ComponentPtr<TStrataTable>> owned;
};

struct FieldCase {
    const char* field;
    std::function<void(db::TField&)> put;
    std::function<void(const db::TField&)> check;
};

db::TDateTime Stamp(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return db::CombineDateTime(db::EncodeDate(y, mo, d), db::EncodeTime(h, mi, s, ms));
}

void ExpectStamp(const db::TField& f, int y, int mo, int d, int h = 0, int mi = 0, int s = 0,
                 int ms = 0) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
    ASSERT_FALSE(f.IsNull());
    db::DecodeDate(f.AsDateTime(), year, month, day);
    db::DecodeTime(f.AsDateTime(), hour, minute, second, msec);
    EXPECT_EQ(std::vector<int>({year, month, day, hour, minute, second, msec}),
              std::vector<int>({y, mo, d, h, mi, s, ms}));
}

db::Currency Cur(std::int64_t raw) {
    return db::Currency::FromRaw(raw);
}

// One record per case, each touching one field (the others stay NULL).
const std::vector<FieldCase>& WalkCases() {
    using F = db::TField;
    static const std::vector<FieldCase> cases = {
        // Strings: empty, full length, trailing blanks, a letter outside ASCII.
        {"S", [](F& f) { f.SetAsString(""); }, [](const F& f) { EXPECT_EQ(f.AsString(), ""); }},
        {"S", [](F& f) { f.SetAsString("0123456789"); },
         [](const F& f) { EXPECT_EQ(f.AsString(), "0123456789"); }},
        {"S", [](F& f) { f.SetAsString(" ab  "); },
         [](const F& f) { EXPECT_EQ(f.AsString(), " ab"); }},  // stored without trailing blanks
        {"S", [](F& f) { f.SetAsString("Grüße"); },
         [](const F& f) { EXPECT_EQ(f.AsString(), "Grüße"); }},
        // A letter written with a combining mark is kept whole; one the page lacks is spelled.
        {"S", [](F& f) { f.SetAsString("Jose\u0301 \u0141"); },
         [](const F& f) { EXPECT_EQ(f.AsString(), "Jos\u00E9 L"); }},
        {"M", [](F& f) { f.SetAsString("cafe\u0301 \u4E2D"); },
         [](const F& f) { EXPECT_EQ(f.AsString(), "caf\u00E9 ?"); }},
        {"S250", [](F& f) { f.SetAsString(std::string(250, 'z')); },
         [](const F& f) { EXPECT_EQ(f.AsString(), std::string(250, 'z')); }},
        // Memo and blobs: empty, with zero bytes, large.
        {"M", [](F& f) { f.SetAsString(std::string(70000, 'm') + "end"); },
         [](const F& f) { EXPECT_EQ(f.AsString(), std::string(70000, 'm') + "end"); }},
        {"G", [](F& f) { f.SetAsString(std::string("\0\1\2\xff", 4)); },
         [](const F& f) { EXPECT_EQ(f.AsString(), std::string("\0\1\2\xff", 4)); }},
        // Integers at their limits.
        {"SI", [](F& f) { f.SetAsInteger(-32768); },
         [](const F& f) { EXPECT_EQ(f.AsInteger(), -32768); }},
        {"SI", [](F& f) { f.SetAsInteger(32767); },
         [](const F& f) { EXPECT_EQ(f.AsString(), "32767"); }},
        {"I", [](F& f) { f.SetAsInteger(std::numeric_limits<std::int32_t>::min()); },
         [](const F& f) { EXPECT_EQ(f.AsLargeInt(), std::numeric_limits<std::int32_t>::min()); }},
        {"I", [](F& f) { f.SetAsString("2147483647"); },
         [](const F& f) { EXPECT_EQ(f.AsInteger(), 2147483647); }},
        {"W", [](F& f) { f.SetAsInteger(65535); },
         [](const F& f) { EXPECT_EQ(f.AsInteger(), 65535); }},
        {"W", [](F& f) { f.SetAsInteger(0); }, [](const F& f) { EXPECT_EQ(f.AsString(), "0"); }},
        // Floats: limits, -0, beyond 2^53, the smallest denormal.
        {"FL", [](F& f) { f.SetAsFloat(std::numeric_limits<double>::max()); },
         [](const F& f) { EXPECT_EQ(f.AsFloat(), std::numeric_limits<double>::max()); }},
        {"FL", [](F& f) { f.SetAsFloat(-std::numeric_limits<double>::max()); },
         [](const F& f) { EXPECT_EQ(f.AsFloat(), -std::numeric_limits<double>::max()); }},
        {"FL", [](F& f) { f.SetAsFloat(-0.0); },
         [](const F& f) {
             EXPECT_EQ(f.AsFloat(), 0.0);
             EXPECT_FALSE(f.IsNull());
         }},
        {"FL", [](F& f) { f.SetAsFloat(9007199254740993.0 * 4); },
         [](const F& f) { EXPECT_EQ(f.AsFloat(), 9007199254740993.0 * 4); }},
        {"FL", [](F& f) { f.SetAsFloat(std::numeric_limits<double>::denorm_min()); },
         [](const F& f) { EXPECT_EQ(f.AsFloat(), std::numeric_limits<double>::denorm_min()); }},
        {"CU", [](F& f) { f.SetAsCurrency(Cur(-12345678)); },
         [](const F& f) { EXPECT_EQ(f.AsCurrency(), Cur(-12345678)); }},
        // BCD at each scale, at the largest amounts a currency value holds.
        {"B0", [](F& f) { f.SetAsCurrency(Cur(922337203685470000)); },
         [](const F& f) { EXPECT_EQ(f.AsCurrency(), Cur(922337203685470000)); }},
        {"B0", [](F& f) { f.SetAsCurrency(Cur(25000)); },
         [](const F& f) { EXPECT_EQ(f.AsCurrency(), Cur(30000)); }},
        {"B2", [](F& f) { f.SetAsCurrency(Cur(-123450)); },
         [](const F& f) { EXPECT_EQ(f.AsCurrency(), Cur(-123500)); }},
        {"B2", [](F& f) { f.SetAsString("-0.004"); },
         [](const F& f) {
             EXPECT_EQ(f.AsCurrency(), Cur(0));
             EXPECT_FALSE(f.IsNull());
         }},
        {"B4", [](F& f) { f.SetAsCurrency(Cur(-922337203685477)); },
         [](const F& f) { EXPECT_EQ(f.AsCurrency(), Cur(-922337203685477)); }},
        {"B4", [](F& f) { f.SetAsString("123456789012.3457"); },
         [](const F& f) { EXPECT_EQ(f.AsCurrency(), Cur(1234567890123457)); }},
        // Dates and times at the ends of the calendar and of the day.
        {"D", [](F& f) { f.SetAsDateTime(db::EncodeDate(1, 1, 1)); },
         [](const F& f) { ExpectStamp(f, 1, 1, 1); }},
        {"D", [](F& f) { f.SetAsDateTime(db::EncodeDate(9999, 12, 31)); },
         [](const F& f) { ExpectStamp(f, 9999, 12, 31); }},
        {"D", [](F& f) { f.SetAsDateTime(db::EncodeDate(1899, 12, 30)); },
         [](const F& f) { ExpectStamp(f, 1899, 12, 30); }},
        {"T", [](F& f) { f.SetAsDateTime(db::EncodeTime(23, 59, 59, 999)); },
         [](const F& f) { ExpectStamp(f, 1899, 12, 30, 23, 59, 59, 999); }},
        {"T", [](F& f) { f.SetAsDateTime(db::EncodeTime(0, 0, 0, 0)); },
         [](const F& f) { ExpectStamp(f, 1899, 12, 30); }},
        {"TS", [](F& f) { f.SetAsDateTime(Stamp(1, 1, 1, 0, 0, 0, 1)); },
         [](const F& f) { ExpectStamp(f, 1, 1, 1, 0, 0, 0, 1); }},
        {"TS", [](F& f) { f.SetAsDateTime(Stamp(9999, 12, 31, 23, 59, 59, 999)); },
         [](const F& f) { ExpectStamp(f, 9999, 12, 31, 23, 59, 59, 999); }},
        {"TS", [](F& f) { f.SetAsDateTime(Stamp(1899, 12, 29, 23, 59, 59, 999)); },
         [](const F& f) { ExpectStamp(f, 1899, 12, 29, 23, 59, 59, 999); }},
        {"BO", [](F& f) { f.SetAsBoolean(true); }, [](const F& f) { EXPECT_TRUE(f.AsBoolean()); }},
        {"BO", [](F& f) { f.SetAsBoolean(false); },
         [](const F& f) {
             EXPECT_FALSE(f.AsBoolean());
             EXPECT_FALSE(f.IsNull());
         }},
        // Bytes: full length with zero bytes; var-bytes at its full length and empty.
        {"BY", [](F& f) { f.SetAsString(std::string("\0\xff\0\x7f", 4)); },
         [](const F& f) { EXPECT_EQ(f.AsString(), std::string("\0\xff\0\x7f", 4)); }},
        {"VB", [](F& f) { f.SetAsString(std::string("ab\0d", 4)); },
         [](const F& f) { EXPECT_EQ(f.AsString(), std::string("ab\0d", 4)); }},
        {"VB", [](F& f) { f.SetAsString("ab"); },
         [](const F& f) { EXPECT_EQ(f.AsString(), "ab"); }},
    };
    return cases;
}

void DefineWalkTable(TStrataTable& t) {
    db::TFieldDefs& f = *t.FieldDefs();
    f.Add("Id", db::ftAutoInc);
    f.Add("S", db::ftString, 10);
    f.Add("S250", db::ftString, 250);
    f.Add("M", db::ftMemo);
    f.Add("G", db::ftGraphic);
    f.Add("SI", db::ftSmallint);
    f.Add("I", db::ftInteger);
    f.Add("W", db::ftWord);
    f.Add("FL", db::ftFloat);
    f.Add("CU", db::ftCurrency);
    f.Add("B0", db::ftBCD, 0);
    f.Add("B2", db::ftBCD, 2);
    f.Add("B4", db::ftBCD, 4);
    f.Add("D", db::ftDate);
    f.Add("T", db::ftTime);
    f.Add("TS", db::ftDateTime);
    f.Add("BO", db::ftBoolean);
    f.Add("BY", db::ftBytes, 4);
    f.Add("VB", db::ftVarBytes, 6);
    t.IndexDefs().Add("", "Id", db::ixPrimary | db::ixUnique);
}

TEST_F(FieldTypeWalkTest, EveryTypeKeepsItsValuesThroughPostAndReopen) {
    TStrataTable& t = MakeTable();
    DefineWalkTable(t);
    t.CreateTable();
    t.Open();
    const auto& cases = WalkCases();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].field) + " case " + std::to_string(i));
        t.Append();
        db::TField& field = *t.FieldByName(cases[i].field);
        cases[i].put(field);
        cases[i].check(field);  // before the post, from the record buffer
        t.Post();
        cases[i].check(field);
    }
    t.Close();
    t.Open();
    ASSERT_EQ(t.RecordCount(), static_cast<std::int64_t>(cases.size()));
    t.First();
    for (std::size_t i = 0; i < cases.size(); ++i, t.Next()) {
        SCOPED_TRACE(std::string(cases[i].field) + " case " + std::to_string(i));
        cases[i].check(*t.FieldByName(cases[i].field));
        for (std::int64_t k = 1; k < t.FieldCount(); ++k) {
            db::TField* other = t.Fields().Fields(k);
            if (other->FieldName() != cases[i].field) {
                EXPECT_TRUE(other->IsNull()) << other->FieldName();
            }
        }
    }
}

TEST_F(FieldTypeWalkTest, ValuesATableCannotHoldAreRefusedNotDropped) {
    {
        // No room in the record for a 64-bit integer: refused at creation.
        TStrataTable& t = MakeTable("big.dat");
        t.FieldDefs()->Add("Id", db::ftInteger);
        t.FieldDefs()->Add("Big", db::ftLargeint);
        EXPECT_THROW(t.CreateTable(), db::EDatabaseError);
        EXPECT_FALSE(std::filesystem::exists(dir.File("big.DAT")));
        TRestructureFieldDefs& rf = t.RestructureFieldDefs();
        rf.Add("Big", db::ftLargeint, 1, 0, "", "", "", "", false, 0);
        EXPECT_THROW(t.RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, true),
                     db::EDatabaseError);
    }
    {
        // A size past one byte would wrap (300 became 44).
        TStrataTable& t = MakeTable("wide.dat");
        t.FieldDefs()->Add("S", db::ftString, 300);
        EXPECT_THROW(t.CreateTable(), db::EDatabaseError);
        EXPECT_FALSE(std::filesystem::exists(dir.File("wide.DAT")));
    }
    {
        // Var-bytes spend two of their bytes on the length: a value of the full declared
        // length is refused, and the record keeps its earlier value.
        TStrataTable& t = MakeTable("vb.dat");
        t.FieldDefs()->Add("VB", db::ftVarBytes, 6);
        t.CreateTable();
        t.Open();
        t.Append();
        t.FieldByName("VB")->SetAsString("abcd");
        try {
            t.FieldByName("VB")->SetAsString("abcdef");
            ADD_FAILURE() << "stored";
        } catch (const db::EDatabaseError& error) {
            EXPECT_STREQ(error.what(), "Value of field 'VB' is too long: 6 bytes for a size of 4");
        }
        t.Post();
        t.Close();
        t.Open();
        EXPECT_EQ(t.FieldByName("VB")->AsString(), "abcd");
    }
}

TEST_F(FieldTypeWalkTest, AnOldTableWithALargeintFieldRefusesItsValues) {
    // Tables made before such fields were refused have a field of data size 0.
    TableDefinition definition;
    definition.fields.push_back(MakeFieldDescriptor(1, "Id", 6, 0, 0, 0));
    definition.fields.push_back(MakeFieldDescriptor(2, "Big", 18, 0, 0, 0));
    definition.indexes.push_back(IndexDescriptor{});
    definition.allow_no_primary = true;
    Create(std::move(definition), "old");
    TStrataTable& t = MakeTable("old.dat");
    t.Open();
    ASSERT_EQ(t.FieldByName("Big")->DataType(), db::ftLargeint);
    t.Append();
    t.FieldByName("Id")->SetAsInteger(1);
    EXPECT_THROW(t.FieldByName("Big")->SetAsLargeInt(9007199254740993LL), db::EDatabaseError);
    t.Post();
    EXPECT_TRUE(t.FieldByName("Big")->IsNull());
    EXPECT_EQ(t.FieldByName("Id")->AsInteger(), 1);
}

// Each type's values in ascending order, with the filter text of each.
struct OrderedValues {
    const char* field;
    db::TFieldType type;
    int size;
    std::vector<std::function<void(db::TField&)>> put;
    std::vector<std::string> literal;
};

std::vector<OrderedValues> OrderCases() {
    using F = db::TField;
    const auto integer = [](std::int64_t v) { return [v](F& f) { f.SetAsLargeInt(v); }; };
    const auto real = [](double v) { return [v](F& f) { f.SetAsFloat(v); }; };
    const auto amount = [](std::int64_t raw) {
        return [raw](F& f) { f.SetAsCurrency(db::Currency::FromRaw(raw)); };
    };
    const auto stamp = [](db::TDateTime v) { return [v](F& f) { f.SetAsDateTime(v); }; };
    const auto text = [](std::string v) { return [v](F& f) { f.SetAsString(v); }; };
    return {
        {"SI",
         db::ftSmallint,
         0,
         {integer(-32768), integer(-256), integer(-1), integer(0), integer(32767)},
         {"-32768", "-256", "-1", "0", "32767"}},
        {"I",
         db::ftInteger,
         0,
         {integer(-2147483647 - 1), integer(-65536), integer(-1), integer(1), integer(2147483647)},
         {"(-2147483647 - 1)", "-65536", "-1", "1", "2147483647"}},
        {"W",
         db::ftWord,
         0,
         {integer(0), integer(1), integer(255), integer(32768), integer(65535)},
         {"0", "1", "255", "32768", "65535"}},
        {"FL",
         db::ftFloat,
         0,
         {real(-1e300), real(-1.5), real(-1e-300), real(0.5), real(1e300)},
         {"-1E300", "-1.5", "-1E-300", "0.5", "1E300"}},
        {"B2",
         db::ftBCD,
         2,
         {amount(-9223372036854700), amount(-10000), amount(-5000), amount(100), amount(12345600)},
         {"-922337203685.47", "-1", "-0.5", "0.01", "1234.56"}},
        {"D",
         db::ftDate,
         0,
         {stamp(db::EncodeDate(1, 1, 1)), stamp(db::EncodeDate(1, 1, 2)),
          stamp(db::EncodeDate(1899, 12, 30)), stamp(db::EncodeDate(1970, 1, 1)),
          stamp(db::EncodeDate(9999, 12, 31))},
         {"'0001-01-01'", "'0001-01-02'", "'1899-12-30'", "'1970-01-01'", "'9999-12-31'"}},
        {"T",
         db::ftTime,
         0,
         {stamp(db::EncodeTime(0, 0, 0, 0)), stamp(db::EncodeTime(0, 0, 1, 0)),
          stamp(db::EncodeTime(11, 59, 59, 0)), stamp(db::EncodeTime(12, 0, 0, 0)),
          stamp(db::EncodeTime(23, 59, 59, 0))},
         {"'00:00:00'", "'00:00:01'", "'11:59:59'", "'12:00:00'", "'23:59:59'"}},
        {"TS",
         db::ftDateTime,
         0,
         {stamp(Stamp(1, 1, 1, 0, 0, 1)), stamp(Stamp(1, 1, 1, 23, 0, 0)),
          stamp(Stamp(1899, 12, 29, 12)), stamp(Stamp(1899, 12, 30, 6)),
          stamp(Stamp(9999, 12, 31, 23, 59, 59))},
         {"'0001-01-01 00:00:01'", "'0001-01-01 23:00:00'", "'1899-12-29 12:00:00'",
          "'1899-12-30 06:00:00'", "'9999-12-31 23:59:59'"}},
        {"S",
         db::ftString,
         10,
         {text("!"), text("A"), text("AB"), text("a"), text("z z")},
         {"'!'", "'A'", "'AB'", "'a'", "'z z'"}},
    };
}

// Index order, Locate through the index and through a filter, and filter comparisons, against
// the order the values were listed in (rows are inserted shuffled).
TEST_F(FieldTypeWalkTest, IndexesAndFiltersOrderEveryTypeAsItsValues) {
    const std::vector<OrderedValues> cases = OrderCases();
    TStrataTable& t = MakeTable();
    t.FieldDefs()->Add("Id", db::ftInteger);
    for (const OrderedValues& c : cases) {
        t.FieldDefs()->Add(c.field, c.type, c.size);
        t.IndexDefs().Add(std::string("By") + c.field, c.field, 0);
    }
    t.IndexDefs().Add("", "Id", db::ixPrimary | db::ixUnique);
    t.CreateTable();
    t.Open();
    const int order[] = {3, 0, 4, 1, 2};
    for (const int k : order) {
        t.Append();
        t.FieldByName("Id")->SetAsInteger(k);
        for (const OrderedValues& c : cases) {
            c.put[static_cast<std::size_t>(k)](*t.FieldByName(c.field));
        }
        t.Post();
    }
    for (const OrderedValues& c : cases) {
        SCOPED_TRACE(c.field);
        t.SetIndexName(std::string("By") + c.field);
        std::vector<int> ids;
        for (t.First(); !t.Eof(); t.Next()) {
            ids.push_back(t.FieldByName("Id")->AsInteger());
        }
        EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4}));
        for (int k = 0; k < 5; ++k) {
            SCOPED_TRACE(c.literal[static_cast<std::size_t>(k)]);
            // Locate through the index, then through a filter on the primary order.
            t.SetIndexName(std::string("By") + c.field);
            const db::Variant value = t.Lookup("Id", db::Variant(k), c.field);
            t.First();
            EXPECT_TRUE(t.Locate(c.field, value, {}));
            EXPECT_EQ(t.FieldByName("Id")->AsInteger(), k);
            t.SetIndexName("");
            t.Last();
            EXPECT_TRUE(t.Locate(c.field, value, {}));
            EXPECT_EQ(t.FieldByName("Id")->AsInteger(), k);
            for (const char* op : {"=", "<", ">="}) {
                t.SetFilter(std::string(c.field) + " " + op + " " +
                            c.literal[static_cast<std::size_t>(k)]);
                t.SetFiltered(true);
                std::vector<int> found;
                for (t.First(); !t.Eof(); t.Next()) {
                    found.push_back(t.FieldByName("Id")->AsInteger());
                }
                t.SetFiltered(false);
                std::vector<int> want;
                for (int j = 0; j < 5; ++j) {
                    if ((op[0] == '=' && j == k) || (op[0] == '<' && j < k) ||
                        (op[0] == '>' && j >= k)) {
                        want.push_back(j);
                    }
                }
                std::sort(found.begin(), found.end());
                EXPECT_EQ(found, want) << op;
            }
        }
    }
}

// A query parameter of each type finds the record that holds the same value at its limit.
TEST_F(FieldTypeWalkTest, ParametersMeetTheValuesStoredAtTheirLimits) {
    TStrataTable& t = MakeTable();
    DefineWalkTable(t);
    t.CreateTable();
    t.Open();
    using P = TStrataParam;
    struct ParamCase {
        const char* field;
        std::function<void(db::TField&)> put;
        std::function<void(P&)> param;
    };
    const ParamCase cases[] = {
        {"SI", [](db::TField& f) { f.SetAsInteger(-32768); },
         [](P& p) { p.SetAsSmallInt(-32768); }},
        {"W", [](db::TField& f) { f.SetAsInteger(65535); }, [](P& p) { p.SetAsWord(65535); }},
        {"I", [](db::TField& f) { f.SetAsInteger(-2147483647 - 1); },
         [](P& p) { p.SetAsInteger(-2147483647 - 1); }},
        {"FL", [](db::TField& f) { f.SetAsFloat(-1.7976931348623157e308); },
         [](P& p) { p.SetAsFloat(-1.7976931348623157e308); }},
        {"CU", [](db::TField& f) { f.SetAsFloat(-0.0001); },
         [](P& p) { p.SetAsCurrency(-0.0001); }},
        {"B4", [](db::TField& f) { f.SetAsCurrency(Cur(-922337203685477)); },
         [](P& p) { p.SetAsBCD(Cur(-922337203685477)); }},
        {"D", [](db::TField& f) { f.SetAsDateTime(db::EncodeDate(1, 1, 1)); },
         [](P& p) { p.SetAsDate(db::EncodeDate(1, 1, 1)); }},
        {"D", [](db::TField& f) { f.SetAsDateTime(db::EncodeDate(9999, 12, 31)); },
         [](P& p) { p.SetAsDate(db::EncodeDate(9999, 12, 31)); }},
        {"T", [](db::TField& f) { f.SetAsDateTime(db::EncodeTime(23, 59, 59, 999)); },
         [](P& p) { p.SetAsTime(db::EncodeTime(23, 59, 59, 999)); }},
        {"TS", [](db::TField& f) { f.SetAsDateTime(Stamp(1, 1, 1, 0, 0, 0, 1)); },
         [](P& p) { p.SetAsDateTime(Stamp(1, 1, 1, 0, 0, 0, 1)); }},
        {"TS", [](db::TField& f) { f.SetAsDateTime(Stamp(1899, 12, 29, 23, 59, 59, 999)); },
         [](P& p) { p.SetAsDateTime(Stamp(1899, 12, 29, 23, 59, 59, 999)); }},
        {"TS", [](db::TField& f) { f.SetAsDateTime(Stamp(9999, 12, 31, 23, 59, 59, 999)); },
         [](P& p) { p.SetAsDateTime(Stamp(9999, 12, 31, 23, 59, 59, 999)); }},
        {"BO", [](db::TField& f) { f.SetAsBoolean(false); }, [](P& p) { p.SetAsBoolean(false); }},
        {"S", [](db::TField& f) { f.SetAsString("Grüße"); }, [](P& p) { p.SetAsString("Grüße"); }},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        t.Append();
        cases[i].put(*t.FieldByName(cases[i].field));
        t.Post();
    }
    t.Close();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(std::string(cases[i].field) + " case " + std::to_string(i));
        auto query = db::MakeComponent<TStrataQuery>(nullptr);
        query->SetSessionName("TestSession");
        query->SetDatabaseName("TestDB");
        query->SQL().SetText(std::string("select Id from types where ") + cases[i].field + " = :v");
        cases[i].param(query->Params().ParamByName("v"));
        query->Open();
        std::vector<std::int32_t> ids;
        for (; !query->Eof(); query->Next()) {
            ids.push_back(query->FieldByName("Id")->AsInteger());
        }
        EXPECT_EQ(ids, std::vector<std::int32_t>{static_cast<std::int32_t>(i + 1)});
    }
}

// Whole numbers past 32 bits go into and out of decimal and float fields as 64-bit integers:
// exactly for decimals, refused only where the field cannot hold them.
TEST_F(FieldTypeWalkTest, LargeIntegersMeetDecimalsAndFloats) {
    TStrataTable& t = MakeTable();
    DefineWalkTable(t);
    t.CreateTable();
    t.Open();
    t.Append();
    t.FieldByName("B0")->SetAsLargeInt(922337203685477);
    t.FieldByName("B4")->SetAsLargeInt(-10000000000);
    t.FieldByName("B2")->SetAsCurrency(Cur(-25000));  // -2.5
    t.FieldByName("FL")->SetAsLargeInt(9007199254740992);
    t.FieldByName("CU")->SetAsFloat(-1e300);
    EXPECT_THROW(t.FieldByName("B0")->SetAsLargeInt(922337203685478), db::EDatabaseError);
    t.Post();
    t.Close();
    t.Open();
    EXPECT_EQ(t.FieldByName("B0")->AsLargeInt(), 922337203685477);
    EXPECT_EQ(t.FieldByName("B0")->AsCurrency(), Cur(9223372036854770000));
    EXPECT_EQ(t.FieldByName("B4")->AsLargeInt(), -10000000000);
    EXPECT_EQ(t.FieldByName("B2")->AsLargeInt(), -3);
    EXPECT_EQ(t.FieldByName("FL")->AsLargeInt(), 9007199254740992);
    EXPECT_THROW(t.FieldByName("CU")->AsLargeInt(), db::EDatabaseError);
    EXPECT_THROW(t.FieldByName("B4")->AsInteger(), db::EDatabaseError);
}

}  // namespace
}  // namespace strata
