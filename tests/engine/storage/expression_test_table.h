#pragma once

// An in-memory record for the expression tests: named columns with engine types and values, a
// column resolver over them and a column reader that counts its calls.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/text_compare.h"
#include "platform/nls/nls.h"

namespace strata::testing {

struct TestColumn {
    EngineDataType type = kTypeNone;
    std::uint8_t subtype = 0;
    std::uint32_t size = 0;
    std::uint8_t scale = 0;
    bool null = true;
    std::vector<std::byte> value;
};

class TestRecord {
  public:
    TestRecord() {
        Define("Name", kTypeString, 51);
        Define("Category", kTypeString, 81);
        Define("Bounces", kTypeInteger, 4);
        Define("Small", kTypeSmallInt, 2);
        Define("Small2", kTypeSmallInt, 2);
        Define("W", kTypeWord, 2);
        Define("F", kTypeFloat, 8);
        Define("Money", kTypeFloat, 8, kSubtypeMoney);
        Define("Amount", kTypeBCD, 8, 0, 2);
        Define("D", kTypeDate, 4);
        Define("T", kTypeTime, 4);
        Define("TS", kTypeTimestamp, 8);
        Define("Flag", kTypeBoolean, 2);
        Define("Memo", kTypeBlob, 4, kSubtypeMemo);
        Define("Pic", kTypeBlob, 4, kSubtypeGraphic);
    }

    void Define(const std::string& name, EngineDataType type, std::uint32_t size,
                std::uint8_t subtype = 0, std::uint8_t scale = 0) {
        TestColumn& c = columns_[Key(name)];
        c.type = type;
        c.subtype = subtype;
        c.size = size;
        c.scale = scale;
    }

    void SetText(const std::string& name, std::string_view text) {
        TestColumn& c = columns_.at(Key(name));
        c.null = false;
        c.value.assign(text.size() + (c.type == kTypeBlob ? 0 : 1), std::byte{0});
        std::memcpy(c.value.data(), text.data(), text.size());
    }
    void SetInt(const std::string& name, std::int64_t v) {
        TestColumn& c = columns_.at(Key(name));
        c.null = false;
        c.value.assign(8, std::byte{0});
        if (c.type == kTypeSmallInt) {
            StoreInt16(c.value.data(), static_cast<std::int16_t>(v));
        } else if (c.type == kTypeWord || c.type == kTypeBoolean) {
            StoreUInt16(c.value.data(), static_cast<std::uint16_t>(v));
        } else if (c.type == kTypeBCD) {
            StoreInt64(c.value.data(), v);
        } else {
            StoreInt32(c.value.data(), static_cast<std::int32_t>(v));
        }
    }
    void SetDouble(const std::string& name, double v) {
        TestColumn& c = columns_.at(Key(name));
        c.null = false;
        c.value.assign(8, std::byte{0});
        StoreDouble(c.value.data(), v);
    }
    void SetNull(const std::string& name) { columns_.at(Key(name)).null = true; }

    ColumnResolver Resolver() {
        return [this](TExpToken& token) {
            auto it = columns_.find(Key(token.ColumnName));
            if (it == columns_.end()) {
                return false;
            }
            token.FieldNumber = 1;
            token.DataType = it->second.type;
            token.SubType = it->second.subtype;
            token.DataSize = 0;
            token.SetDataSize(it->second.size);
            token.Scale = it->second.scale;
            token.TableName.clear();
            return true;
        };
    }

    ColumnReader Reader() {
        return [this](const std::byte*, TExpToken& token) {
            ++reads;
            read_names.push_back(token.ColumnName);
            const TestColumn& c = columns_.at(Key(token.ColumnName));
            std::memset(token.Value(), 0, token.ValueCapacity());
            token.IsNull = c.null;
            if (c.null) {
                return;
            }
            const auto n = static_cast<std::uint32_t>(c.value.size());
            if (c.type == kTypeBlob) {
                token.SetDataSize(n);
            } else if (token.ValueCapacity() < n) {
                token.SetDataSize(n);
            }
            std::memcpy(token.Value(), c.value.data(), n);
        };
    }

    int reads = 0;
    std::vector<std::string> read_names;

  private:
    static std::string Key(std::string_view name) { return UpperCaseLang(0, 0, name); }

    std::map<std::string, TestColumn> columns_;
};

inline ExpressionErrorInfo FilterErrors() {
    return ExpressionErrorInfo{kErrFilter, "mailist", "filter expression"};
}

// Parses (with `options`) and type-checks a whole text against the record's columns.
inline ExpTokenPtr ParseAndCheck(TestRecord& record, std::string_view text,
                                 unsigned options = kParsePredicates, bool wrap = true) {
    TExpressionParser parser;
    parser.SetErrorCode(kErrFilter);
    parser.SetObjectName("mailist");
    parser.SetContext("filter expression");
    parser.SetFormats(FixedFormatSettings());
    ExpTokenPtr tree = parser.ParseFilter(text, options);
    if (tree) {
        CheckExpressionTypes(FilterErrors(), wrap, record.Resolver(), nullptr, *tree,
                             FixedFormatSettings());
    }
    return tree;
}

// A value as text for comparisons in tables: NULL, True/False, numbers, strings in quotes.
inline std::string Render(const TExpToken& value) {
    if (value.IsNull) {
        return "NULL";
    }
    const std::byte* p = value.Value();
    switch (value.DataType) {
        case kTypeBoolean:
            return LoadUInt16(p) != 0 ? "True" : "False";
        case kTypeSmallInt:
            return std::to_string(LoadInt16(p));
        case kTypeWord:
            return std::to_string(LoadUInt16(p));
        case kTypeInteger:
        case kTypeDate:
        case kTypeTime:
            return std::to_string(LoadInt32(p));
        case kTypeBCD:
            return "bcd:" + std::to_string(LoadInt64(p));
        case kTypeFloat:
        case kTypeTimestamp: {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.10g", LoadDouble(p));
            return buffer;
        }
        case kTypeString:
            return "'" + std::string(value.ValueText()) + "'";
        case kTypeBlob:
            return "blob:" +
                   std::string(reinterpret_cast<const char*>(p),
                               std::min<std::size_t>(value.DataSize, value.ValueCapacity()));
        default:
            return "?";
    }
}

// Text of the engine error a call raises ("" when it raises none).
template <class F>
std::string ErrorText(F&& call) {
    try {
        call();
    } catch (const EStrataEngineError& e) {
        return e.what();
    }
    return {};
}

}  // namespace strata::testing
