#include "engine/dataset/strata_params.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/core/table_descriptors.h"
#include "engine/storage/byte_order.h"
#include "platform/db/exception.h"

namespace strata {
namespace {

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const db::Exception& error) {
        return error.Message();
    }
    return {};
}

std::vector<std::string> Names(const TStrataParams& params) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < params.Count(); ++i)
        names.push_back(params.Items(i).Name());
    return names;
}

TEST(StrataParams, MarkersBecomeQuestionMarks) {
    struct Case {
        std::string sql;
        std::string processed;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"select * from t where a = :A and b = ':A'",
         "select * from t where a = ? and b = ':A'",
         {"A"}},
        {"select '10::30', x::y from t", "select '10::30', x:y from t", {}},
        {"update t set a=:p1,b=:p2;", "update t set a=?,b=?;", {"p1", "p2"}},
        {"where (x = :\"my name\") or y = :'b c'", "where (x = ?) or y = ?", {"my name", "b c"}},
        {"where a = :last", "where a = ?", {"last"}},
        {"where s = \"it's :no\" and t = :yes\r\n",
         "where s = \"it's :no\" and t = ?\r\n",
         {"yes"}},
        {"trailing colon:", "trailing colon:", {}},
    };
    for (const Case& c : cases) {
        TStrataParams params;
        EXPECT_EQ(ParseSQLParams(c.sql, &params), c.processed) << c.sql;
        EXPECT_EQ(Names(params), c.names) << c.sql;
        for (std::size_t i = 0; i < params.Count(); ++i)
            EXPECT_EQ(params.Items(i).DataType(), db::ftUnknown);
    }
}

TEST(StrataParams, DataRoundTripKeepsEveryType) {
    TStrataParams params;
    params.CreateParam(db::ftUnknown, "s", db::ptInput).SetAsString("text");
    params.CreateParam(db::ftUnknown, "m", db::ptInput).SetAsMemo("memo");
    params.CreateParam(db::ftUnknown, "si", db::ptInput).SetAsSmallInt(-5);
    params.CreateParam(db::ftUnknown, "w", db::ptInput).SetAsWord(65000);
    params.CreateParam(db::ftUnknown, "i", db::ptOutput).SetAsInteger(-123456);
    params.CreateParam(db::ftUnknown, "b", db::ptInput).SetAsBoolean(true);
    params.CreateParam(db::ftUnknown, "f", db::ptInput).SetAsFloat(2.5);
    params.CreateParam(db::ftUnknown, "c", db::ptInput).SetAsCurrency(12.25);
    params.CreateParam(db::ftUnknown, "bcd", db::ptInput).SetAsBCD(db::Currency::FromRaw(-12345));
    params.CreateParam(db::ftUnknown, "d", db::ptInput).SetAsDate(db::TDateTime(45000));
    params.CreateParam(db::ftUnknown, "t", db::ptInput).SetAsTime(db::TDateTime(0.5));
    params.CreateParam(db::ftUnknown, "dt", db::ptInput).SetAsDateTime(db::TDateTime(45000.25));
    const std::vector<std::uint8_t> blob = {0, 1, 2, 255};
    params.CreateParam(db::ftUnknown, "blob", db::ptInput).SetAsBlob(blob);
    params.CreateParam(db::ftUnknown, "unset", db::ptUnknown);
    auto& cleared = params.CreateParam(db::ftInteger, "null", db::ptInput);
    cleared.SetAsInteger(7);
    cleared.Clear();

    const auto data = params.WriteData();
    EXPECT_EQ(GetU16(data, 0), 1);
    TStrataParams loaded;
    loaded.ReadData(data);
    EXPECT_TRUE(loaded == params);
    EXPECT_EQ(loaded.ParamByName("I").Value().AsInteger(), -123456);
    EXPECT_EQ(loaded.ParamByName("s").Value().AsString(), "text");
    EXPECT_EQ(loaded.ParamByName("bcd").Value().AsCurrency().Raw(), -12345);
    EXPECT_TRUE(loaded.ParamByName("null").IsNull());
    EXPECT_EQ(loaded.ParamByName("i").ParamType(), db::ptOutput);
    EXPECT_EQ(MessageOf([&] { loaded.ParamByName("none"); }), "Parameter 'none' not found");
}

TEST(StrataParams, NullValuesOfEveryTypeLoadAgain) {
    // A null value is written as zeros; a zero day is no date, yet the list must load.
    TStrataParams params;
    for (const db::TFieldType type : {db::ftDate, db::ftDateTime, db::ftTime, db::ftInteger,
                                      db::ftString, db::ftBlob, db::ftBCD}) {
        auto& param =
            params.CreateParam(type, "p" + std::to_string(static_cast<int>(type)), db::ptInput);
        param.Clear();
    }
    params.CreateParam(db::ftUnknown, "set", db::ptInput).SetAsDate(db::TDateTime(45000));
    params.Items(params.Count() - 1).Clear();

    TStrataParams loaded;
    ASSERT_NO_THROW(loaded.ReadData(params.WriteData()));
    ASSERT_EQ(loaded.Count(), params.Count());
    EXPECT_TRUE(loaded == params);
    for (std::size_t i = 0; i < loaded.Count(); ++i) {
        EXPECT_TRUE(loaded.Items(i).IsNull()) << loaded.Items(i).Name();
        EXPECT_EQ(loaded.Items(i).DataType(), params.Items(i).DataType());
    }
}

TEST(StrataParams, WritingRefusesOversizedValuesAndNames) {
    TStrataParams params;
    params.CreateParam(db::ftUnknown, "big", db::ptInput).SetAsString(std::string(3000, 'x'));
    EXPECT_EQ(MessageOf([&] { params.WriteData(); }),
              "Parameter 'big', cannot save data larger than 2048 bytes");
    TStrataParams named;
    named.CreateParam(db::ftUnknown, std::string(256, 'n'), db::ptInput).SetAsInteger(1);
    EXPECT_NE(MessageOf([&] { named.WriteData(); }), "");
    TStrataParams fits;
    fits.CreateParam(db::ftUnknown, std::string(255, 'n'), db::ptInput)
        .SetAsString(std::string(2047, 'x'));
    TStrataParams back;
    back.ReadData(fits.WriteData());
    EXPECT_TRUE(back == fits);
}

TEST(StrataParams, DamagedDataIsRefusedAndChangesNothing) {
    TStrataParams params;
    params.CreateParam(db::ftUnknown, "a", db::ptInput).SetAsInteger(1);
    params.CreateParam(db::ftUnknown, "b", db::ptInput).SetAsString("xy");
    const auto good = params.WriteData();
    // Offsets in `good`: 0 version, 2 count, 4 name length of a, 5 "a", 6 type,
    // 7 data type, 8 size, 10 value (4 bytes), 14 null, 15 bound, 16 name of b...
    std::vector<std::vector<std::uint8_t>> damaged;
    auto with = [&](std::size_t at, std::uint8_t value) {
        auto copy = good;
        copy[at] = value;
        damaged.push_back(copy);
    };
    with(0, 3);                                          // unknown version
    with(2, 9);                                          // more parameters than stored
    with(4, 200);                                        // name longer than the block
    with(8, 3);                                          // integer of 3 bytes
    with(8, 200);                                        // value beyond the end
    with(6, 9);                                          // no such parameter type
    with(7, 99);                                         // no such data type
    damaged.emplace_back(good.begin(), good.end() - 1);  // truncated
    auto unterminated = good;
    unterminated[unterminated.size() - 3] = 'z';  // string without its zero
    damaged.push_back(unterminated);
    auto trailing = good;
    trailing.push_back(0);
    damaged.push_back(trailing);

    for (std::size_t i = 0; i < damaged.size(); ++i) {
        TStrataParams target;
        target.CreateParam(db::ftUnknown, "kept", db::ptInput).SetAsInteger(5);
        EXPECT_EQ(MessageOf([&] { target.ReadData(damaged[i]); }), "Unable to load bind parameters")
            << i;
        ASSERT_EQ(target.Count(), 1u) << i;
        EXPECT_EQ(target.Items(0).Name(), "kept");
    }
}

TEST(StrataParams, StatementBufferHoldsFlaggedSlots) {
    TStrataParams params;
    params.CreateParam(db::ftUnknown, "n", db::ptInput).SetAsInteger(42);
    params.CreateParam(db::ftUnknown, "s", db::ptInput).SetAsString("ab");
    params.CreateParam(db::ftUnknown, "x", db::ptInput)
        .SetAsBlob(std::vector<std::uint8_t>{9, 8, 7});
    auto& null_param = params.CreateParam(db::ftUnknown, "z", db::ptInput);
    null_param.SetAsSmallInt(1);
    null_param.Clear();
    const StatementParams built = BuildStatementParams(params);
    ASSERT_EQ(built.descriptors.size(), 4u);
    EXPECT_EQ(FieldOffset(built.descriptors[0]), 0);
    EXPECT_EQ(built.buffer[0], 1);
    EXPECT_EQ(GetU32(built.buffer, 1), 42u);
    EXPECT_EQ(FieldOffset(built.descriptors[1]), 5);
    EXPECT_EQ(FieldDataSize(built.descriptors[1]), 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&built.buffer[6])), "ab");
    const std::size_t blob_at = FieldOffset(built.descriptors[2]);
    EXPECT_EQ(FieldDataSize(built.descriptors[2]), kBlobParamSlotSize);
    EXPECT_EQ(GetU32(built.buffer, blob_at + 1), 3u);
    std::uint64_t address = 0;
    for (std::size_t b = 0; b < 8; ++b)
        address |= std::uint64_t{built.buffer[blob_at + 5 + b]} << (8 * b);
    EXPECT_EQ(address, reinterpret_cast<std::uintptr_t>(built.blobs[0].data()));
    EXPECT_EQ(built.buffer[FieldOffset(built.descriptors[3])], 0) << "null flag";
    EXPECT_EQ(FieldNumber(built.descriptors[3]), 4);
}

TEST(StrataParams, StatementRefusesWhatItCannotCarry) {
    TStrataParams long_text;
    long_text.CreateParam(db::ftUnknown, "s", db::ptInput).SetAsString(std::string(251, 'x'));
    EXPECT_EQ(MessageOf([&] { BuildStatementParams(long_text); }),
              "Field 's' is of an unsupported type");
    TStrataParams unknown;
    unknown.CreateParam(db::ftUnknown, "u", db::ptInput);
    EXPECT_EQ(MessageOf([&] { BuildStatementParams(unknown); }), "No value for parameter 'u'");
    TStrataParams fits;
    fits.CreateParam(db::ftUnknown, "s", db::ptInput).SetAsString(std::string(250, 'x'));
    EXPECT_EQ(BuildStatementParams(fits).descriptors.size(), 1u);
}

}  // namespace
}  // namespace strata
