// libFuzzer target for the expression machinery: any text goes through the parser with every
// option, and whatever parses through the type pass, filter preparation, NULL simplification and
// evaluation over a fixed record. Engine errors are the expected answer to bad input; anything
// else escaping, a crash or a sanitizer report is a fault.
//
// Build (clang): compile with -fsanitize=fuzzer,address,undefined and link the strata library
// and its platform libraries built with -fsanitize=fuzzer-no-link,address,undefined.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/expression_types.h"

namespace {

using namespace strata;

struct Column {
    std::string_view name;
    EngineDataType type;
    std::uint8_t subtype;
    std::uint32_t size;
    std::uint8_t scale;
};

constexpr Column kColumns[] = {
    {"S", kTypeString, 0, 21, 0},    {"D", kTypeDate, 0, 4, 0},      {"M", kTypeBlob, 22, 4, 0},
    {"B", kTypeBoolean, 0, 2, 0},    {"SI", kTypeSmallInt, 0, 2, 0}, {"I", kTypeInteger, 0, 4, 0},
    {"F", kTypeFloat, 0, 8, 0},      {"C", kTypeBCD, 0, 8, 2},       {"T", kTypeTime, 0, 4, 0},
    {"TS", kTypeTimestamp, 0, 8, 0}, {"W", kTypeWord, 0, 2, 0},
};

const Column* Find(std::string_view name) {
    for (const Column& c : kColumns) {
        if (name.size() == c.name.size() &&
            std::equal(name.begin(), name.end(), c.name.begin(),
                       [](char a, char b) { return (a & ~0x20) == (b & ~0x20); })) {
            return &c;
        }
    }
    return nullptr;
}

bool Resolve(TExpToken& token) {
    const Column* c = Find(token.ColumnName);
    if (c == nullptr) {
        return false;
    }
    token.FieldNumber = 1;
    token.DataType = c->type;
    token.SubType = c->subtype;
    token.DataSize = 0;
    token.SetDataSize(c->size);
    token.Scale = c->scale;
    return true;
}

void Read(const std::byte*, TExpToken& token) {
    const Column* c = Find(token.ColumnName);
    std::memset(token.Value(), 0, token.ValueCapacity());
    token.IsNull = c == nullptr || c->type == kTypeBoolean;
    if (c == nullptr) {
        return;
    }
    switch (c->type) {
        case kTypeString:
        case kTypeBlob:
            token.SetDataSize(c->type == kTypeBlob ? 6 : 7);
            std::memcpy(token.Value(), "abcdef", 6);
            break;
        case kTypeFloat:
        case kTypeTimestamp:
            StoreDouble(token.Value(), c->type == kTypeFloat ? -2.5 : 6.3e13);
            break;
        case kTypeBCD:
            StoreInt64(token.Value(), 12342);
            break;
        default:
            StoreInt32(token.Value(), c->type == kTypeDate ? 730000 : 32767);
            break;
    }
}

}  // namespace

// The collations and case maps of evaluation differ by language; the input's length picks one,
// so every text keeps its language from run to run.
struct Collation {
    LanguageId language;
    SortId sort;
};
constexpr Collation kCollations[] = {{0, 0},      {0x0409, 0}, {0x0407, 0}, {0x0407, 1},
                                     {0x041F, 0}, {0x0405, 0}, {0x0419, 0}, {0x041E, 0}};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const db::TFormatSettings format = FixedFormatSettings();
    const Collation& collation = kCollations[size % std::size(kCollations)];
    const LanguageId language = collation.language;
    const SortId sort = collation.sort;
    try {
        TExpressionParser parser;
        parser.SetErrorCode(kErrSql);
        parser.SetContext("fuzz");
        parser.SetFormats(format);
        ExpTokenPtr tree = parser.ParseFilter(
            text, kParseAggregates | kParseStar | kParsePredicates | kParseParameters);
        if (!tree) {
            return 0;
        }
        const ExpressionErrorInfo errors{kErrSql, "", "fuzz"};
        CheckExpressionTypes(errors, true, Resolve, nullptr, *tree, format);
        ExpTokenPtr value = EvaluateExpression(*tree, nullptr, sort, language, Read, &format);
        ExpTokenPtr prepared = PrepareFilterTree(*tree, Read, false, true, sort, language);
        ExpTokenPtr again = EvaluateExpression(*prepared, nullptr, sort, language, Read, &format);
        SimplifyNullComparisons(prepared);
        // Without partial or case-blind compares a prepared condition must decide as the tree.
        ExpTokenPtr exact = PrepareFilterTree(*tree, Read, true, false, sort, language, &format);
        ExpTokenPtr decided = EvaluateExpression(*exact, nullptr, sort, language, Read, &format);
        if (value->DataType == kTypeBoolean && decided->DataType == kTypeBoolean &&
            value->IsNull == decided->IsNull &&
            (LoadUInt16(value->Value()) != 0) != (LoadUInt16(decided->Value()) != 0)) {
            __builtin_trap();
        }
    } catch (const EStrataEngineError&) {
        // The answer to bad input.
    }
    return 0;
}
