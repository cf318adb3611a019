#include "engine/storage/expression_eval.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/decimal.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/expression_values.h"
#include "engine/storage/sql_services.h"
#include "engine/storage/storage_utils.h"
#include "engine/storage/value_convert.h"
#include "platform/db/date_time.h"
#include "platform/db/exception.h"

namespace strata {
namespace {

constexpr std::int64_t kDayMs = 86400000;
constexpr std::int64_t kCurrencyScale = db::Currency::Scale;

// Products of two currency amounts need 128 bits before they are scaled back.
__extension__ typedef __int128 Wide;

void SetNull(TExpToken& result) {
    ClearValue(result);
    result.IsNull = true;
}

void SetBoolean(TExpToken& result, bool value) {
    ClearValue(result);
    result.IsNull = false;
    result.DataType = kTypeBoolean;
    result.SetDataSize(2);
    StoreUInt16(result.Value(), value ? 1 : 0);
}

// A string or memo result; `null_when_empty` for the functions whose empty result is NULL.
void SetText(TExpToken& result, std::string_view text, bool null_when_empty) {
    ClearValue(result);
    result.IsNull = false;
    if (text.empty() && null_when_empty) {
        result.IsNull = true;
        return;
    }
    if (result.DataType == kTypeBlob) {
        result.SetDataSize(static_cast<std::uint32_t>(text.size()));
        std::memcpy(result.Value(), text.data(), text.size());
        return;
    }
    const auto needed = static_cast<std::uint32_t>(text.size() + 1);
    if (result.DataSize < needed) {
        result.SetDataSize(needed);
    }
    std::memcpy(result.Value(), text.data(), text.size());
}

// Copies another token's value (same type) into the result.
void CopyValue(TExpToken& result, const TExpToken& source) {
    ClearValue(result);
    result.IsNull = source.IsNull;
    const std::uint32_t fixed = FixedDataSize(result.DataType);
    const std::uint32_t size = fixed != 0 ? fixed : source.DataSize;
    result.SetDataSize(size);
    const std::size_t n =
        std::min<std::size_t>({size, source.ValueCapacity(), result.ValueCapacity()});
    std::memcpy(result.Value(), source.Value(), n);
}

template <class T>
int Sign(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

std::optional<int> CompareNumbers(const EngineNumber& a, const EngineNumber& b) {
    using K = EngineNumber::Kind;
    if (a.kind == K::Integer && b.kind == K::Integer) {
        return Sign(a.integer, b.integer);
    }
    if (a.kind != K::Float && b.kind != K::Float) {
        return Sign(*a.AsRaw(), *b.AsRaw());
    }
    // A float that is the nearest double of an amount in ten-thousandths (12.34 as typed or
    // stored) compares as that amount; any other float lies between two amounts and compares
    // by its value, so 12.34004 is above the BCD 12.34, as their difference says.
    if (a.kind == K::Currency || b.kind == K::Currency) {
        const EngineNumber& f = a.kind == K::Float ? a : b;
        const std::optional<db::Currency> c = db::Currency::FromDouble(f.real);
        if (c && c->ToDouble() == f.real) {
            const std::int64_t x = a.kind == K::Float ? c->Raw() : *a.AsRaw();
            const std::int64_t y = b.kind == K::Float ? c->Raw() : *b.AsRaw();
            return Sign(x, y);
        }
    }
    const long double x = a.AsLongDouble();
    const long double y = b.AsLongDouble();
    if (std::isnan(x) || std::isnan(y)) {
        return std::nullopt;
    }
    return Sign(x, y);
}

// Date, time and timestamp values on one scale (milliseconds for a date against a timestamp).
std::optional<int> CompareDateTimes(const TExpToken& a, const TExpToken& b) {
    const EngineDataType l = a.DataType;
    const EngineDataType r = b.DataType;
    if ((l == kTypeDate && r == kTypeDate) || (l == kTypeTime && r == kTypeTime)) {
        return Sign(LoadInt32(a.Value()), LoadInt32(b.Value()));
    }
    auto millis = [](const TExpToken& t) -> std::optional<double> {
        if (t.DataType == kTypeDate) {
            return static_cast<double>(LoadInt32(t.Value())) * kDayMs;
        }
        if (t.DataType == kTypeTimestamp) {
            return LoadDouble(t.Value());
        }
        return std::nullopt;
    };
    const std::optional<double> x = millis(a);
    const std::optional<double> y = millis(b);
    if (!x || !y || std::isnan(*x) || std::isnan(*y)) {
        return std::nullopt;
    }
    return Sign(*x, *y);
}

bool CompareResult(std::uint8_t code, int c) {
    switch (code) {
        case kOpEqual:
            return c == 0;
        case kOpNotEqual:
            return c != 0;
        case kOpGreater:
            return c > 0;
        case kOpLess:
            return c < 0;
        case kOpGreaterEqual:
            return c >= 0;
        case kOpLessEqual:
            return c <= 0;
        default:
            return false;
    }
}

// The NULL rules of = and <>; nullopt when both operands have values.
std::optional<bool> NullEquality(std::uint8_t code, const TExpToken& left, const TExpToken& right) {
    bool equal = false;
    if (left.DataType == kTypeNone) {
        equal = right.IsNull;
    } else if (left.IsNull || right.IsNull) {
        equal = left.IsNull && right.IsNull;
    } else {
        return std::nullopt;
    }
    return code == kOpEqual ? equal : !equal;
}

bool EvaluateComparison(std::uint8_t code, const TExpToken& left, const TExpToken& right,
                        SortId sort, LanguageId language) {
    if (code == kOpEqual || code == kOpNotEqual) {
        if (const std::optional<bool> decided = NullEquality(code, left, right)) {
            return *decided;
        }
    } else if (left.IsNull || right.IsNull) {
        return false;
    }
    if (left.DataType == kTypeBoolean && right.DataType == kTypeBoolean && code != kOpEqual &&
        code != kOpNotEqual) {
        return false;
    }
    const std::optional<int> c = CompareValues(left, right, sort, language);
    if (!c) {
        return code == kOpNotEqual;
    }
    return CompareResult(code, *c);
}

// Stores an integral result in the result's type; NULL when it does not fit.
void StoreIntegral(TExpToken& result, std::int64_t value) {
    ClearValue(result);
    result.IsNull = false;
    std::int64_t low = std::numeric_limits<std::int32_t>::min();
    std::int64_t high = std::numeric_limits<std::int32_t>::max();
    if (result.DataType == kTypeSmallInt) {
        low = std::numeric_limits<std::int16_t>::min();
        high = std::numeric_limits<std::int16_t>::max();
    } else if (result.DataType == kTypeWord) {
        low = 0;
        high = std::numeric_limits<std::uint16_t>::max();
    }
    if (value < low || value > high) {
        SetNull(result);
        return;
    }
    switch (result.DataType) {
        case kTypeSmallInt:
            StoreInt16(result.Value(), static_cast<std::int16_t>(value));
            break;
        case kTypeWord:
            StoreUInt16(result.Value(), static_cast<std::uint16_t>(value));
            break;
        default:
            StoreInt32(result.Value(), static_cast<std::int32_t>(value));
            break;
    }
}

void StoreFloat(TExpToken& result, double value) {
    ClearValue(result);
    if (!std::isfinite(value)) {
        result.IsNull = true;
        return;
    }
    result.IsNull = false;
    StoreDouble(result.Value(), value);
}

// Ten-thousandths encoded at the result's scale; NULL when it does not fit.
void StoreCurrency(TExpToken& result, Wide raw) {
    ClearValue(result);
    result.IsNull = false;
    if (raw < std::numeric_limits<std::int64_t>::min() ||
        raw > std::numeric_limits<std::int64_t>::max()) {
        result.IsNull = true;
        return;
    }
    const std::optional<std::int64_t> scaled = TryEncodeScaledCurrency(
        result.Scale, db::Currency::FromRaw(static_cast<std::int64_t>(raw)));
    if (!scaled) {
        result.IsNull = true;
        return;
    }
    StoreInt64(result.Value(), *scaled);
}

// a / b rounded half away from zero. Requires: b != 0.
Wide DivideRounded(Wide a, Wide b) {
    const bool negative = (a < 0) != (b < 0);
    const Wide ua = a < 0 ? -a : a;
    const Wide ub = b < 0 ? -b : b;
    Wide q = ua / ub;
    if ((ua % ub) * 2 >= ub) {
        ++q;
    }
    return negative ? -q : q;
}

// Milliseconds of a timestamp split into its day number and time of day.
struct DayAndTime {
    std::int64_t day;
    std::int64_t msecs;
};
std::optional<DayAndTime> SplitTimestamp(double ms) {
    if (!std::isfinite(ms) || std::fabs(ms) > 9.0e15) {
        return std::nullopt;
    }
    const auto rounded = static_cast<std::int64_t>(std::llround(ms));
    std::int64_t day = rounded / kDayMs;
    std::int64_t rest = rounded % kDayMs;
    if (rest < 0) {
        --day;
        rest += kDayMs;
    }
    return DayAndTime{day, rest};
}

void ApplyDateArithmetic(std::uint8_t code, const TExpToken& left, const TExpToken& right,
                         TExpToken& result) {
    const EngineDataType l = left.DataType;
    const EngineDataType r = right.DataType;
    const bool subtract = code == kOpSubtract;
    auto integer_of = [](const TExpToken& t) -> std::int64_t {
        return ReadNumber(t).value_or(EngineNumber{}).integer;
    };
    switch (result.DataType) {
        case kTypeDate:
        case kTypeTime: {
            // date or time plus or minus n days or milliseconds; n + date too.
            std::int64_t value = 0;
            if (IsIntegerType(l)) {
                value = integer_of(left) + LoadInt32(right.Value());
            } else {
                const std::int64_t n = integer_of(right);
                value = LoadInt32(left.Value()) + (subtract ? -n : n);
            }
            StoreIntegral(result, value);
            return;
        }
        case kTypeTimestamp: {
            // The date part moves by n days; the time of day stays.
            double ms = 0.0;
            std::int64_t n = 0;
            if (IsIntegerType(l)) {
                ms = LoadDouble(right.Value());
                n = integer_of(left);
            } else {
                ms = LoadDouble(left.Value());
                n = subtract ? -integer_of(right) : integer_of(right);
            }
            StoreFloat(result, ms + static_cast<double>(n) * kDayMs);
            return;
        }
        case kTypeInteger: {
            if (l == kTypeDate || l == kTypeTime) {
                StoreIntegral(result, static_cast<std::int64_t>(LoadInt32(left.Value())) -
                                          LoadInt32(right.Value()));
                return;
            }
            const std::optional<DayAndTime> stamp = SplitTimestamp(LoadDouble(left.Value()));
            if (!stamp) {
                SetNull(result);
                return;
            }
            if (r == kTypeDate) {
                StoreIntegral(result, stamp->day - LoadInt32(right.Value()));
            } else {
                StoreIntegral(result, stamp->msecs - LoadInt32(right.Value()));
            }
            return;
        }
        case kTypeFloat:
            StoreFloat(result, LoadDouble(left.Value()) - LoadDouble(right.Value()));
            return;
        default:
            SetNull(result);
            return;
    }
}

void ApplyArithmetic(std::uint8_t code, const TExpToken& left, const TExpToken& right,
                     TExpToken& result) {
    const bool texts = (left.DataType == kTypeString || left.DataType == kTypeBlob) &&
                       (right.DataType == kTypeString || right.DataType == kTypeBlob);
    if (code == kOpAdd && texts) {
        std::string joined(TextValue(left));
        joined += TextValue(right);
        SetText(result, joined, true);
        return;
    }
    if (left.IsNull || right.IsNull) {
        SetNull(result);
        return;
    }
    if (IsDateTimeType(left.DataType) || IsDateTimeType(right.DataType)) {
        ApplyDateArithmetic(code, left, right, result);
        return;
    }
    const std::optional<EngineNumber> a = ReadNumber(left);
    const std::optional<EngineNumber> b = ReadNumber(right);
    if (!a || !b) {
        SetNull(result);
        return;
    }
    switch (result.DataType) {
        case kTypeSmallInt:
        case kTypeInteger:
        case kTypeWord: {
            // Both operands are 32 bits at most, so the exact result fits 64 bits.
            const std::int64_t x = a->integer;
            const std::int64_t y = b->integer;
            switch (code) {
                case kOpAdd:
                    StoreIntegral(result, x + y);
                    return;
                case kOpSubtract:
                    StoreIntegral(result, x - y);
                    return;
                case kOpMultiply:
                    StoreIntegral(result, x * y);
                    return;
                default:
                    if (y == 0) {
                        SetNull(result);
                        return;
                    }
                    StoreIntegral(result, x / y);
                    return;
            }
        }
        case kTypeFloat: {
            const double x = a->AsDouble();
            const double y = b->AsDouble();
            switch (code) {
                case kOpAdd:
                    StoreFloat(result, x + y);
                    return;
                case kOpSubtract:
                    StoreFloat(result, x - y);
                    return;
                case kOpMultiply:
                    StoreFloat(result, x * y);
                    return;
                default:
                    if (y == 0.0) {
                        SetNull(result);
                        return;
                    }
                    StoreFloat(result, x / y);
                    return;
            }
        }
        case kTypeBCD: {
            const std::optional<std::int64_t> x = a->AsRaw();
            const std::optional<std::int64_t> y = b->AsRaw();
            if (!x || !y) {
                SetNull(result);
                return;
            }
            const Wide p = *x;
            const Wide q = *y;
            switch (code) {
                case kOpAdd:
                    StoreCurrency(result, p + q);
                    return;
                case kOpSubtract:
                    StoreCurrency(result, p - q);
                    return;
                case kOpMultiply:
                    StoreCurrency(result, DivideRounded(p * q, kCurrencyScale));
                    return;
                default:
                    if (q == 0) {
                        SetNull(result);
                        return;
                    }
                    StoreCurrency(result, DivideRounded(p * kCurrencyScale, q));
                    return;
            }
        }
        default:
            SetNull(result);
            return;
    }
}

// Whole number of a float or BCD value rounded half away from zero; nullopt beyond 64 bits.
std::optional<std::int64_t> RoundToInteger(const EngineNumber& n) {
    switch (n.kind) {
        case EngineNumber::Kind::Integer:
            return n.integer;
        case EngineNumber::Kind::Float: {
            if (!std::isfinite(n.real) || std::fabs(n.real) >= 9.0e18) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(std::llround(n.real));
        }
        case EngineNumber::Kind::Currency:
            return static_cast<std::int64_t>(DivideRounded(n.currency.Raw(), kCurrencyScale));
    }
    return std::nullopt;
}

class Evaluator {
  public:
    Evaluator(const std::byte* record, SortId sort, LanguageId language, const ColumnReader& reader,
              const db::TFormatSettings& format)
        : record_(record), sort_(sort), language_(language), reader_(reader), format_(format) {}

    ExpTokenPtr Eval(const TExpToken& node) {
        if (node.Kind == kTokenBinary && (node.Code == kOpAnd || node.Code == kOpOr)) {
            return EvalLogicalChain(node);
        }
        ExpTokenPtr result = NewExpToken();
        result->Assign(node);
        result->Parent = nullptr;
        if (!HasOperands(node)) {
            // A malformed tree from a caller: no value rather than a crash.
            SetNull(*result);
            result->Kind = kTokenConstant;
            return result;
        }
        switch (node.Kind) {
            case kTokenUnary: {
                ExpTokenPtr operand = Eval(*node.First);
                ApplyUnaryOperator(node.Code, *operand, *result);
                break;
            }
            case kTokenBinary: {
                ExpTokenPtr left = Eval(*node.First);
                ExpTokenPtr right = Eval(*node.Second);
                if (node.Code == kOpAdd &&
                    (left->DataType == kTypeString || left->DataType == kTypeBlob) &&
                    (right->DataType == kTypeString || right->DataType == kTypeBlob)) {
                    result->SetDataSize(left->DataSize -
                                        std::min<std::uint32_t>(left->DataSize, 1) +
                                        right->DataSize);
                    result->Scale = 0;
                }
                ApplyBinaryOperator(node.Code, *left, *right, sort_, language_, *result);
                break;
            }
            case kTokenStringCompare: {
                ExpTokenPtr left = Eval(*node.First);
                ExpTokenPtr right = Eval(*node.Second);
                if (IsTextType(left->DataType, left->SubType)) {
                    ApplyStringPredicate(node.Code, node.PartialLength, node.NoCase, sort_,
                                         language_, *result, *right, *left);
                } else {
                    ApplyBinaryOperator(node.Code, *left, *right, sort_, language_, *result);
                }
                break;
            }
            case kTokenColumn:
                if (reader_ && node.ColumnName != "*") {
                    reader_(record_, *result);
                }
                break;
            case kTokenFunction:
                EvalFunction(node, *result);
                break;
            case kTokenExtended:
                EvalPredicate(node, *result);
                break;
            default:
                break;
        }
        result->Kind = node.Kind == kTokenSubSelect ? kTokenColumn : kTokenConstant;
        return result;
    }

  private:
    static bool HasOperands(const TExpToken& node) {
        switch (node.Kind) {
            case kTokenUnary:
                return node.First != nullptr;
            case kTokenFunction:
                switch (node.Code) {
                    case kOpIf:
                        return node.First && node.Second && node.Third;
                    case kOpReplace:
                        return node.First && node.Second && node.Second->Second;
                    case kOpSubstring:
                    case kOpPos:
                    case kOpOccurs:
                    case kOpTrimLeading:
                    case kOpTrimTrailing:
                    case kOpTrimBoth:
                        return node.First && node.Second;
                    default:
                        return node.First != nullptr;
                }
            case kTokenBinary:
            case kTokenStringCompare:
                return node.First && node.Second;
            case kTokenExtended:
                return node.First && node.Second &&
                       ((node.Code != kOpBetween && node.Code != kOpNotBetween) ||
                        node.Second->Second);
            default:
                return true;
        }
    }

    // A chain of one logical operator down the first children: every right operand from the
    // top, then the leftmost operand, in a loop. The first right operand that decides ends it.
    ExpTokenPtr EvalLogicalChain(const TExpToken& node) {
        const std::uint8_t code = node.Code;
        const bool deciding = code == kOpOr;
        ExpTokenPtr result = NewExpToken();
        result->Assign(node);
        result->Parent = nullptr;
        result->Kind = kTokenConstant;
        const TExpToken* at = &node;
        while (at->Kind == kTokenBinary && at->Code == code && at->First && at->Second) {
            ExpTokenPtr right = Eval(*at->Second);
            if ((LoadUInt16(right->Value()) != 0) == deciding) {
                SetBoolean(*result, deciding);
                return result;
            }
            at = at->First.get();
        }
        ExpTokenPtr left = Eval(*at);
        SetBoolean(*result, LoadUInt16(left->Value()) != 0);
        return result;
    }

    void EvalPredicate(const TExpToken& node, TExpToken& result) {
        ExpTokenPtr value = Eval(*node.First);
        bool answer = false;
        bool negate = false;
        switch (node.Code) {
            case kOpNotLike:
                negate = true;
                [[fallthrough]];
            case kOpLike: {
                ExpTokenPtr pattern = Eval(*node.Second);
                answer = !value->IsNull && !pattern->IsNull &&
                         StrMatchesLike(language_, sort_, TextValue(*value), TextValue(*pattern));
                break;
            }
            case kOpNotInList:
                negate = true;
                [[fallthrough]];
            case kOpInList:
                for (const TExpToken* element = node.Second.get(); element != nullptr && !answer;
                     element = element->Second.get()) {
                    ExpTokenPtr item = Eval(*element);
                    answer = EvaluateComparison(kOpEqual, *value, *item, sort_, language_);
                }
                break;
            case kOpNotInSelect:
                negate = true;
                [[fallthrough]];
            case kOpInSelect:
                answer = InSubSelect(*value, *node.Second);
                break;
            case kOpNotBetween:
                negate = true;
                [[fallthrough]];
            case kOpBetween: {
                ExpTokenPtr lower = Eval(*node.Second);
                answer = EvaluateComparison(kOpGreaterEqual, *value, *lower, sort_, language_);
                if (answer) {
                    ExpTokenPtr upper = Eval(*node.Second->Second);
                    answer = EvaluateComparison(kOpLessEqual, *value, *upper, sort_, language_);
                }
                break;
            }
            default:
                break;
        }
        SetBoolean(result, negate ? !answer : answer);
    }

    static bool InSubSelect(TExpToken& value, const TExpToken& sub_select) {
        SubSelectQuery* query = sub_select.SubSelect;
        if (query == nullptr) {
            return false;
        }
        ExpTokenPtr condition = NewExpToken();
        condition->Kind = kTokenBinary;
        condition->Code = kOpEqual;
        condition->Text = "=";
        condition->DataType = kTypeBoolean;
        condition->SetDataSize(2);
        ExpTokenPtr left = NewExpToken();
        left->Assign(value);
        left->Kind = kTokenConstant;
        left->Parent = condition.get();
        ExpTokenPtr right = NewExpToken();
        right->Assign(sub_select);
        right->Parent = condition.get();
        condition->First = std::move(left);
        condition->Second = std::move(right);
        query->SetResultFilter(*condition);
        return query->ResultHasRecord();
    }

    void EvalFunction(const TExpToken& node, TExpToken& result) {
        if (node.Code == kOpIf) {
            EvalIf(node, result);
            return;
        }
        ExpTokenPtr argument = Eval(*node.First);
        if (node.Code == kOpCount) {
            // Each row counts one when its argument has a value; the SQL processor sums.
            const bool counts = node.First->ColumnName == "*" || !argument->IsNull;
            ClearValue(result);
            result.IsNull = false;
            StoreInt32(result.Value(), counts ? 1 : 0);
            return;
        }
        if (node.Code >= kOpSum && node.Code <= kOpAvg) {
            CopyValue(result, *argument);
            return;
        }
        if (argument->IsNull) {
            SetNull(result);
            return;
        }
        const std::string_view text = TextValue(*argument);
        switch (node.Code) {
            case kOpUpper:
                SetText(result, UpperCaseLang(language_, sort_, text), true);
                return;
            case kOpLower:
                SetText(result, LowerCaseLang(language_, sort_, text), true);
                return;
            case kOpSubstring: {
                const TExpToken& from = *node.Second;
                const auto start =
                    static_cast<std::size_t>(std::max(LoadInt32(from.Value()), 1)) - 1;
                std::size_t count = std::string_view::npos;
                if (from.Second) {
                    count = static_cast<std::size_t>(std::max(LoadInt32(from.Second->Value()), 0));
                }
                SetText(result,
                        start < text.size() ? text.substr(start, count) : std::string_view{}, true);
                return;
            }
            case kOpReplace: {
                const TExpToken& search = *node.Second;
                const std::string replaced =
                    StrReplaceAll(TextValue(search), TextValue(*search.Second), text);
                SetText(result, replaced, true);
                return;
            }
            case kOpPos:
            case kOpOccurs: {
                const std::string_view search = TextValue(*node.Second);
                const std::size_t n =
                    node.Code == kOpPos ? StrPosIndex(search, text) : StrCountOccurs(search, text);
                StoreIntegral(result, static_cast<std::int64_t>(n));
                return;
            }
            case kOpTrimLeading:
            case kOpTrimTrailing:
            case kOpTrimBoth: {
                std::string trimmed(text);
                const std::string_view trim = TextValue(*node.Second);
                const char c = trim.empty() ? ' ' : trim.front();
                if (node.Code == kOpTrimLeading) {
                    TrimCharLeft(trimmed, c);
                } else if (node.Code == kOpTrimTrailing) {
                    TrimCharRight(trimmed, c);
                } else {
                    TrimCharBoth(trimmed, c);
                }
                SetText(result, trimmed, true);
                return;
            }
            case kOpCast:
                EvalCast(*argument, result);
                return;
            case kOpAbs: {
                const std::optional<EngineNumber> n = ReadNumber(*argument);
                const std::optional<std::int64_t> whole = n ? RoundToInteger(*n) : std::nullopt;
                if (!whole || *whole == std::numeric_limits<std::int64_t>::min()) {
                    SetNull(result);
                    return;
                }
                StoreIntegral(result, *whole < 0 ? -*whole : *whole);
                return;
            }
            case kOpRound: {
                const std::optional<EngineNumber> n = ReadNumber(*argument);
                const int places = node.Second ? LoadInt32(node.Second->Value()) : 0;
                if (!n) {
                    SetNull(result);
                    return;
                }
                StoreFloat(result, RoundToDecimals(places, n->AsDouble()));
                return;
            }
            default:
                if (node.Code >= kOpExtractYear && node.Code <= kOpExtractSecond) {
                    EvalExtract(node.Code, *argument, result);
                    return;
                }
                SetNull(result);
                return;
        }
    }

    void EvalIf(const TExpToken& node, TExpToken& result) {
        ExpTokenPtr condition = Eval(*node.First);
        const bool take_then = !condition->IsNull && LoadUInt16(condition->Value()) != 0;
        ExpTokenPtr chosen = Eval(take_then ? *node.Second : *node.Third);
        if (chosen->IsNull || chosen->DataType == result.DataType || result.DataType == kTypeNone) {
            CopyValue(result, *chosen);
            if (chosen->DataType != result.DataType) {
                result.IsNull = true;
            }
            return;
        }
        // A string and a memo branch share their text; no value conversion joins the two types.
        if (IsTextType(chosen->DataType, chosen->SubType) &&
            IsTextType(result.DataType, result.SubType)) {
            SetText(result, TextValue(*chosen), false);
            return;
        }
        // The other branch's value in the IF's own type, so its bytes never masquerade as it.
        ConvertInto(*chosen, result);
    }

    // Converts a value to the result's type, size and scale; NULL when it does not convert.
    void ConvertInto(const TExpToken& source, TExpToken& result) {
        const std::size_t size = std::max<std::size_t>(
            {kValueBufferSize, source.DataSize, result.DataSize, source.ValueCapacity()});
        std::vector<std::byte> buffer(size + 1);
        std::memcpy(buffer.data(), source.Value(),
                    std::min<std::size_t>(source.ValueCapacity(), buffer.size()));
        if (!ConvertValue(source.DataType, source.DataSize, source.Scale, buffer, result.Scale,
                          result.DataSize, result.DataType, format_)) {
            SetNull(result);
            return;
        }
        ClearValue(result);
        result.IsNull = false;
        const std::size_t n = std::min<std::size_t>(result.DataSize, result.ValueCapacity());
        std::memcpy(result.Value(), buffer.data(), n);
        if (result.DataType == kTypeString && result.DataSize > 0) {
            result.Value()[result.DataSize - 1] = std::byte{0};
        }
    }

    void EvalCast(const TExpToken& argument, TExpToken& result) {
        if (argument.DataType == kTypeBlob) {
            // BLOB to BLOB: the bytes, however many.
            ClearValue(result);
            result.IsNull = false;
            const std::uint32_t n =
                std::min<std::uint32_t>(argument.DataSize, argument.ValueCapacity());
            result.SetDataSize(n);
            std::memcpy(result.Value(), argument.Value(), n);
            return;
        }
        ConvertInto(argument, result);
    }

    void EvalExtract(std::uint8_t code, const TExpToken& argument, TExpToken& result) {
        std::optional<std::int64_t> day;
        std::optional<std::int64_t> msecs;
        switch (argument.DataType) {
            case kTypeDate:
                day = LoadInt32(argument.Value());
                break;
            case kTypeTime:
                msecs = LoadInt32(argument.Value());
                // A time beyond a day (from time arithmetic) is no time of day to take apart.
                if (*msecs < 0 || *msecs >= kDayMs) {
                    SetNull(result);
                    return;
                }
                break;
            case kTypeTimestamp: {
                // Rounded to the nearest millisecond before the split, so 23:59:59.9996 is the
                // next day's midnight in every part.
                const std::optional<DayAndTime> stamp =
                    SplitTimestamp(LoadDouble(argument.Value()));
                if (!stamp) {
                    SetNull(result);
                    return;
                }
                day = stamp->day;
                msecs = stamp->msecs;
                break;
            }
            default:
                SetNull(result);
                return;
        }
        std::int64_t value = 0;
        if (code == kOpExtractHour || code == kOpExtractMinute || code == kOpExtractSecond) {
            const std::int64_t ms = msecs.value_or(0);
            value = code == kOpExtractHour     ? ms / 3600000
                    : code == kOpExtractMinute ? ms / 60000 % 60
                                               : ms / 1000 % 60;
        } else if (day) {
            if (*day < 1 || *day > std::numeric_limits<std::int32_t>::max()) {
                SetNull(result);
                return;
            }
            try {
                const db::TDateTime date = EngineDateToDateTime(static_cast<std::int32_t>(*day));
                int year = 0;
                int month = 0;
                int day_of_month = 0;
                db::DecodeDate(date, year, month, day_of_month);
                value = code == kOpExtractYear    ? year
                        : code == kOpExtractMonth ? month
                        : code == kOpExtractDay   ? day_of_month
                                                  : db::DayOfWeek(date);
            } catch (const db::EConvertError&) {
                SetNull(result);
                return;
            }
        }
        StoreIntegral(result, value);
    }

    const std::byte* record_;
    SortId sort_;
    LanguageId language_;
    const ColumnReader& reader_;
    const db::TFormatSettings& format_;
};

}  // namespace

// -1, 0 or 1 for two non-null values of comparable types; nullopt when they do not compare.
std::optional<int> CompareValues(const TExpToken& a, const TExpToken& b, SortId sort,
                                 LanguageId language) {
    if (IsTextType(a.DataType, a.SubType) && IsTextType(b.DataType, b.SubType)) {
        return CompareStrings(language, sort, TextValue(a), false, 0, TextValue(b));
    }
    if (IsDateTimeType(a.DataType) && IsDateTimeType(b.DataType)) {
        return CompareDateTimes(a, b);
    }
    if (a.DataType == kTypeBoolean && b.DataType == kTypeBoolean) {
        return Sign(LoadUInt16(a.Value()) != 0, LoadUInt16(b.Value()) != 0);
    }
    const std::optional<EngineNumber> x = ReadNumber(a);
    const std::optional<EngineNumber> y = ReadNumber(b);
    if (!x || !y) {
        return std::nullopt;
    }
    return CompareNumbers(*x, *y);
}

ExpTokenPtr EvaluateExpression(const TExpToken& node, const std::byte* record, SortId sort,
                               LanguageId language, const ColumnReader& reader,
                               const db::TFormatSettings* format) {
    return Evaluator(record, sort, language, reader, format ? *format : db::FormatSettings())
        .Eval(node);
}

void ApplyUnaryOperator(std::uint8_t code, const TExpToken& operand, TExpToken& result) {
    switch (code) {
        case kOpIsNull:
            SetBoolean(result, operand.IsNull);
            return;
        case kOpIsNotNull:
            SetBoolean(result, !operand.IsNull);
            return;
        case kOpNot:
            SetBoolean(result, LoadUInt16(operand.Value()) == 0);
            return;
        default:
            break;
    }
    if (operand.IsNull) {
        SetNull(result);
        return;
    }
    const bool negate = code == kOpNegate;
    switch (operand.DataType) {
        case kTypeDate:
        case kTypeSmallInt:
        case kTypeInteger:
        case kTypeTime:
        case kTypeWord: {
            const std::optional<EngineNumber> n = ReadNumber(operand);
            const std::int64_t value = n ? n->integer : LoadInt32(operand.Value());
            StoreIntegral(result, negate ? -value : value);
            return;
        }
        case kTypeFloat:
        case kTypeTimestamp: {
            const double value = LoadDouble(operand.Value());
            StoreFloat(result, negate ? -value : value);
            return;
        }
        case kTypeBCD: {
            const std::optional<EngineNumber> n = ReadNumber(operand);
            if (!n) {
                SetNull(result);
                return;
            }
            StoreCurrency(result,
                          negate ? -static_cast<Wide>(n->currency.Raw()) : n->currency.Raw());
            return;
        }
        default:
            CopyValue(result, operand);
            return;
    }
}

void ApplyBinaryOperator(std::uint8_t code, const TExpToken& left, const TExpToken& right,
                         SortId sort, LanguageId language, TExpToken& result) {
    if (IsComparison(code)) {
        SetBoolean(result, EvaluateComparison(code, left, right, sort, language));
        return;
    }
    switch (code) {
        case kOpAnd:
            SetBoolean(result, LoadUInt16(left.Value()) != 0 && LoadUInt16(right.Value()) != 0);
            return;
        case kOpOr:
            SetBoolean(result, LoadUInt16(left.Value()) != 0 || LoadUInt16(right.Value()) != 0);
            return;
        case kOpAdd:
        case kOpSubtract:
        case kOpMultiply:
        case kOpDivide:
            ApplyArithmetic(code, left, right, result);
            return;
        default:
            SetNull(result);
            return;
    }
}

void ApplyStringPredicate(std::uint8_t code, std::uint16_t partial_length, bool no_case,
                          SortId sort, LanguageId language, TExpToken& result,
                          const TExpToken& right, const TExpToken& left) {
    if (const std::optional<bool> decided = NullEquality(code, left, right)) {
        SetBoolean(result, *decided);
        return;
    }
    const bool equal = CompareStrings(language, sort, TextValue(left), no_case, partial_length,
                                      TextValue(right)) == 0;
    SetBoolean(result, code == kOpNotEqual ? !equal : equal);
}

}  // namespace strata
