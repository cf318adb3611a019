#include "platform/db/variant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/db/exception.h"

namespace db {
namespace {

TFormatSettings English() {
    return EnglishFormatSettings();
}

TFormatSettings German() {
    TFormatSettings format = EnglishFormatSettings();
    format.DecimalSeparator = ',';
    format.ThousandSeparator = '.';
    return format;
}

TEST(Variant, TypeCodesAreTheClassLibrarys) {
    EXPECT_EQ(Variant().VarType(), 0);
    EXPECT_EQ(Variant::Null().VarType(), 1);
    EXPECT_EQ(Variant::FromSmallint(1).VarType(), 2);
    EXPECT_EQ(Variant(1).VarType(), 3);
    EXPECT_EQ(Variant::FromSingle(1.0f).VarType(), 4);
    EXPECT_EQ(Variant(1.0).VarType(), 5);
    EXPECT_EQ(Variant(Currency::FromRaw(1)).VarType(), 6);
    EXPECT_EQ(Variant(TDateTime(1.0)).VarType(), 7);
    EXPECT_EQ(Variant::FromOleStr("x").VarType(), 8);
    EXPECT_EQ(Variant(true).VarType(), 11);
    EXPECT_EQ(Variant::FromByte(1).VarType(), 17);
    EXPECT_EQ(Variant::FromWord(1).VarType(), 18);
    EXPECT_EQ(Variant(1u).VarType(), 19);
    EXPECT_EQ(Variant(std::int64_t{1}).VarType(), 20);
    EXPECT_EQ(Variant("x").VarType(), 256);
    EXPECT_EQ(VarArrayOf({1, "a"}).VarType(), varArray | varVariant);
    const std::uint8_t bytes[] = {1, 2};
    EXPECT_EQ(Variant::FromBytes(bytes).VarType(), varArray | varByte);
    EXPECT_EQ(VarTypeAsText(varArray | varByte), "Array Byte");
}

TEST(Variant, NullConvertsToNothingButText) {
    const Variant null = Variant::Null();
    try {
        null.AsInteger();
        FAIL();
    } catch (const EVariantError& e) {
        EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
    }
    EXPECT_THROW(null.AsString(), EVariantError);
    EXPECT_THROW(null.AsDouble(), EVariantError);
    EXPECT_THROW(null.AsBoolean(), EVariantError);
    EXPECT_THROW(null.AsDateTime(), EVariantError);
    EXPECT_THROW(null.AsType(varInteger), EVariantError);
    EXPECT_EQ(VarToStr(null), "");
    EXPECT_EQ(VarToStr(Variant()), "");
    EXPECT_TRUE(null.IsClear());
}

TEST(Variant, UnassignedReadsAsZero) {
    const Variant empty;
    EXPECT_EQ(empty.AsInteger(), 0);
    EXPECT_EQ(empty.AsDouble(), 0.0);
    EXPECT_EQ(empty.AsString(), "");
    EXPECT_FALSE(empty.AsBoolean());
    EXPECT_EQ(empty.AsCurrency(), Currency());
}

struct IntegerCase {
    const char* name;
    Variant value;
    std::int64_t expected;
};

class VariantToInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(VariantToInteger, Converts) {
    EXPECT_EQ(GetParam().value.AsInt64(English()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, VariantToInteger,
    ::testing::Values(IntegerCase{"True", Variant(true), -1},
                      IntegerCase{"False", Variant(false), 0},
                      IntegerCase{"HalfToEvenDown", Variant(2.5), 2},
                      IntegerCase{"HalfToEvenUp", Variant(3.5), 4},
                      IntegerCase{"NegativeHalf", Variant(-2.5), -2},
                      IntegerCase{"Single", Variant::FromSingle(7.75f), 8},
                      IntegerCase{"CurrencyHalf", Variant(Currency::FromRaw(25000)), 2},
                      IntegerCase{"CurrencyAboveHalf", Variant(Currency::FromRaw(-25001)), -3},
                      IntegerCase{"Text", Variant(" 42"), 42},
                      IntegerCase{"FloatText", Variant("4.5"), 4},
                      IntegerCase{"Date", Variant(TDateTime(36526.75)), 36527},
                      IntegerCase{"Word", Variant::FromWord(65535), 65535}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Variant, OutOfRangeAndBadTextRaise) {
    try {
        Variant(1e20).AsInt64();
        FAIL();
    } catch (const EVariantError& e) {
        EXPECT_STREQ(e.what(), "Variant overflow");
    }
    EXPECT_THROW(Variant(std::nan("")).AsInt64(), EVariantError);
    EXPECT_THROW(Variant(std::int64_t{1} << 31).AsInteger(), EVariantError);
    EXPECT_EQ(Variant(std::int64_t{-2147483648LL}).AsInteger(), -2147483647 - 1);
    try {
        Variant("abc").AsInteger();
        FAIL();
    } catch (const EVariantError& e) {
        EXPECT_STREQ(e.what(), "Could not convert variant of type (String) into type (Integer)");
    }
    EXPECT_THROW(Variant("abc").AsInt64(), EVariantError);
    EXPECT_THROW(Variant(1e300).AsCurrency(), EVariantError);
    EXPECT_THROW(VarArrayOf({1}).AsString(), EVariantError);
    EXPECT_THROW(Variant(300).AsType(varByte), EVariantError);
    EXPECT_THROW(Variant(-1).AsType(varWord), EVariantError);
    EXPECT_THROW(Variant(1e39).AsType(varSingle), EVariantError);
}

TEST(Variant, TextsFollowTheFormatSettings) {
    EXPECT_DOUBLE_EQ(Variant("1,5").AsDouble(German()), 1.5);
    EXPECT_THROW(Variant("1,5").AsDouble(English()), EVariantError);
    EXPECT_EQ(Variant(1.5).AsString(German()), "1,5");
    EXPECT_EQ(Variant(Currency::FromRaw(12345)).AsString(English()), "1.2345");
    EXPECT_EQ(Variant("2.50").AsCurrency(English()), Currency::FromRaw(25000));
    EXPECT_EQ(Variant::FromSingle(0.1f).AsString(English()), "0.1");
    EXPECT_EQ(Variant(0.1).AsString(English()), "0.1");
    EXPECT_EQ(Variant(-7).AsString(), "-7");
    EXPECT_EQ(Variant(true).AsString(), "True");
    EXPECT_EQ(Variant(false).AsString(), "False");
    EXPECT_EQ(Variant(TDateTime(36526.0)).AsString(English()), "1/1/2000");
    EXPECT_DOUBLE_EQ(Variant("1/2/2000").AsDateTime(English()).Value, 36527.0);
    EXPECT_THROW(Variant("not a date").AsDateTime(English()), EVariantError);
}

TEST(Variant, BooleansFromTextsAndNumbers) {
    EXPECT_TRUE(Variant("TRUE").AsBoolean());
    EXPECT_FALSE(Variant("false").AsBoolean());
    EXPECT_TRUE(Variant("-1").AsBoolean());
    EXPECT_FALSE(Variant("0").AsBoolean());
    EXPECT_TRUE(Variant(0.5).AsBoolean());
    EXPECT_THROW(Variant("yes").AsBoolean(), EVariantError);
}

TEST(Variant, AsTypeKeepsValueInTheNewType) {
    const Variant small = Variant("12").AsType(varSmallint);
    EXPECT_EQ(small.VarType(), varSmallint);
    EXPECT_EQ(small.AsInteger(), 12);
    const Variant text = Variant(12).AsType(varString);
    EXPECT_EQ(text.VarType(), varString);
    EXPECT_EQ(text.AsString(), "12");
    EXPECT_EQ(Variant(1).AsType(varBoolean).AsBoolean(), true);
    EXPECT_EQ(Variant(3).AsType(varCurrency).AsCurrency(), Currency::FromRaw(30000));
    EXPECT_EQ(Variant(5).AsType(varEmpty).VarType(), varEmpty);
}

TEST(Variant, ArraysShareUntilWritten) {
    Variant key = VarArrayOf({"a@example.org", 7});
    ASSERT_EQ(key.ArrayCount(), 2);
    EXPECT_EQ(key.Element(0).AsString(), "a@example.org");
    const Variant copy = key;
    key.SetElement(1, Variant(8));
    EXPECT_EQ(key.Element(1).AsInteger(), 8);
    EXPECT_EQ(copy.Element(1).AsInteger(), 7);
    try {
        key.Element(2);
        FAIL();
    } catch (const EVariantError& e) {
        EXPECT_STREQ(e.what(), "Variant or safe array index out of bounds");
    }
    EXPECT_THROW(Variant(1).ArrayCount(), EVariantError);

    const std::uint8_t raw[] = {0, 255, 7};
    Variant bytes = Variant::FromBytes(raw);
    EXPECT_EQ(bytes.ArrayCount(), 3);
    EXPECT_EQ(bytes.Element(1).AsInteger(), 255);
    bytes.SetElement(0, Variant(9));
    EXPECT_EQ(bytes.AsBytes(), (std::vector<std::uint8_t>{9, 255, 7}));
    EXPECT_THROW(bytes.SetElement(0, Variant(256)), EVariantError);
}

TEST(VariantCompare, OrdersKindsNullsFirst) {
    // Each value is strictly less than the next.
    const std::vector<Variant> ascending = {
        Variant(),
        Variant::Null(),
        Variant(false),
        Variant(true),
        Variant(std::nan("")),
        Variant(-std::numeric_limits<double>::infinity()),
        Variant(std::numeric_limits<std::int64_t>::min()),
        Variant(-1.5),
        Variant(Currency::FromRaw(-3000)),  // -0.3 exactly, below the double nearest -0.3
        Variant(-0.3),
        Variant(Currency::FromRaw(-1)),
        Variant(0),
        Variant(Currency::FromRaw(1)),
        Variant(0.0001),  // the double lies just above one ten-thousandth
        Variant::FromSingle(0.5f),
        Variant(1),
        Variant(9007199254740992.0),
        Variant(std::int64_t{9007199254740993}),
        Variant(std::numeric_limits<std::int64_t>::max()),
        Variant(1e300),
        Variant(TDateTime(-5.0)),
        Variant(TDateTime(36526.0)),
        Variant(""),
        Variant("A"),
        Variant("B"),
        Variant("a"),
        VarArrayOf({}),
        VarArrayOf({Variant::Null()}),
        VarArrayOf({1}),
        VarArrayOf({1, "a"}),
        VarArrayOf({2}),
    };
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            const int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(VarCompare(ascending[i], ascending[j]), expected) << i << " vs " << j;
        }
    }
}

TEST(VariantCompare, EqualValuesOfDifferentNumericTypes) {
    EXPECT_EQ(VarCompare(Variant(1), Variant(1.0)), 0);
    EXPECT_EQ(VarCompare(Variant::FromSmallint(3), Variant(Currency::FromRaw(30000))), 0);
    EXPECT_EQ(VarCompare(Variant(0.25), Variant(Currency::FromRaw(2500))), 0);
    EXPECT_EQ(VarCompare(Variant(-0.0), Variant(0)), 0);
    EXPECT_EQ(VarCompare(Variant(std::nan("")), Variant(std::nan(""))), 0);
    EXPECT_TRUE(Variant(2) == Variant(2.0));
    EXPECT_FALSE(Variant("2") == Variant(2));
    const std::uint8_t raw[] = {1, 2};
    EXPECT_EQ(VarCompare(Variant::FromBytes(raw), VarArrayOf({1, 2})), 0);
}

TEST(VariantCompare, StringsUseTheGivenCollation) {
    const VariantStringCompare ignore_case = [](std::string_view a, std::string_view b) {
        std::string x(a);
        std::string y(b);
        for (auto* s : {&x, &y}) {
            std::transform(s->begin(), s->end(), s->begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        }
        return x.compare(y);
    };
    EXPECT_EQ(VarCompare(Variant("a"), Variant("B")), 1);
    EXPECT_EQ(VarCompare(Variant("a"), Variant("B"), ignore_case), -1);
    EXPECT_EQ(VarCompare(Variant("abc"), Variant("ABC"), ignore_case), 0);
    EXPECT_EQ(VarCompare(VarArrayOf({"x", "a"}), VarArrayOf({"X", "B"}), ignore_case), -1);
}

TEST(VariantCompare, IsATotalPreorderOverMixedValues) {
    std::vector<Variant> values = {
        Variant(),
        Variant::Null(),
        Variant(true),
        Variant(false),
        Variant(0),
        Variant(-0.0),
        Variant(std::nan("")),
        Variant(0.1),
        Variant(Currency::FromRaw(1000)),
        Variant::FromSingle(0.1f),
        Variant(1e-30),
        Variant(Currency::FromRaw(std::numeric_limits<std::int64_t>::max())),
        Variant(std::numeric_limits<std::int64_t>::max()),
        Variant(9.223372036854775807e18),
        Variant(922337203685477.5807),
        Variant(TDateTime(0.1)),
        Variant("0.1"),
        Variant("b"),
        VarArrayOf({0.1}),
        VarArrayOf({Currency::FromRaw(1000)}),
        Variant::FromByte(0),
        Variant(-1),
        Variant(-0.9999)};
    const std::size_t n = values.size();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const int ij = VarCompare(values[i], values[j]);
            ASSERT_EQ(ij, -VarCompare(values[j], values[i])) << i << " " << j;
            for (std::size_t k = 0; k < n; ++k) {
                const int jk = VarCompare(values[j], values[k]);
                const int ik = VarCompare(values[i], values[k]);
                if (ij <= 0 && jk <= 0) {
                    ASSERT_LE(ik, 0) << i << " " << j << " " << k;
                }
                if (ij == 0 && jk == 0) {
                    ASSERT_EQ(ik, 0) << i << " " << j << " " << k;
                }
            }
        }
    }
    std::stable_sort(values.begin(), values.end(),
                     [](const Variant& a, const Variant& b) { return VarCompare(a, b) < 0; });
    EXPECT_TRUE(values.front().IsEmpty());
    EXPECT_TRUE(values[1].IsNull());
    EXPECT_TRUE(values.back().IsArray());
}

}  // namespace
}  // namespace db
