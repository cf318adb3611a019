// Constant folding for filters: constants converted to their column's type (or the bound moved
// when they convert only inexactly), string comparisons turned into partial compares, and
// comparisons with a NULL constant removed. Evaluation itself lives in expression_eval.cpp.

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

bool SameValue(const TExpToken& a, const TExpToken& b) {
    const std::optional<int> c = CompareValues(a, b, 0, 0);
    return c && *c == 0;
}

// The constant converted to the target's type; when `exact`, only when nothing is lost.
ExpTokenPtr ConvertExactly(const TExpToken& constant, const TExpToken& target, bool exact = true) {
    std::array<std::byte, 8> out{};
    if (!ConvertConstantToken(constant, constant.ValueBytes(), target, out)) {
        return nullptr;
    }
    ExpTokenPtr converted = NewExpToken();
    converted->Assign(constant);
    ClearValue(*converted);
    converted->DataType = target.DataType;
    converted->SubType = target.SubType;
    converted->DataSize = 0;
    converted->SetDataSize(FixedDataSize(target.DataType));
    converted->Scale = target.Scale;
    std::copy(out.begin(), out.end(), converted->Value());
    if (exact && !SameValue(constant, *converted)) {
        return nullptr;
    }
    return converted;
}

// The smallest value of the target's type at or above the constant (up) or the largest at or
// below it, or nothing when that is not representable.
ExpTokenPtr RoundConstantTo(const TExpToken& constant, const TExpToken& target, bool up) {
    ExpTokenPtr stepped = NewExpToken();
    stepped->Assign(constant);
    if (constant.DataType == kTypeTimestamp && target.DataType == kTypeDate) {
        const double days = LoadDouble(constant.Value()) / kDayMs;
        StoreDouble(stepped->Value(), (up ? std::ceil(days) : std::floor(days)) * kDayMs);
        return ConvertExactly(*stepped, target, false);
    }
    const std::optional<EngineNumber> n = ReadNumber(constant);
    if (!n || !IsNumericType(target.DataType) || target.DataType == kTypeFloat) {
        return nullptr;
    }
    // Steps of the target in ten-thousandths: 1 for an integer, 10^(4 - scale) for BCD.
    std::int64_t step = kCurrencyScale;
    if (target.DataType == kTypeBCD) {
        step = 1;
        for (int i = target.Scale; i < 4; ++i) {
            step *= 10;
        }
    }
    if (n->kind == EngineNumber::Kind::Float) {
        const long double units = static_cast<long double>(n->real) * kCurrencyScale / step;
        const long double whole = up ? std::ceil(units) : std::floor(units);
        if (!std::isfinite(static_cast<double>(whole)) || std::fabs(whole) > 9.0e14L) {
            return nullptr;
        }
        StoreDouble(stepped->Value(), static_cast<double>(whole * step / kCurrencyScale));
        return ConvertExactly(*stepped, target, false);
    }
    if (n->kind == EngineNumber::Kind::Currency) {
        std::int64_t q = n->currency.Raw() / step;
        if (q >= std::numeric_limits<std::int64_t>::max() / step - 1 ||
            q <= std::numeric_limits<std::int64_t>::min() / step + 1) {
            return nullptr;
        }
        const std::int64_t r = n->currency.Raw() % step;
        if (r != 0 && up && n->currency.Raw() > 0) {
            ++q;
        } else if (r != 0 && !up && n->currency.Raw() < 0) {
            --q;
        }
        const std::optional<std::int64_t> scaled =
            TryEncodeScaledCurrency(4, db::Currency::FromRaw(q * step));
        if (!scaled) {
            return nullptr;
        }
        StoreInt64(stepped->Value(), *scaled);
        return ConvertExactly(*stepped, target, false);
    }
    return nullptr;
}

// A constant, or a sign applied to one.
bool IsConstantOperand(const TExpToken& token) {
    if (token.Kind == kTokenConstant) {
        return !token.IsParameter;
    }
    return token.Kind == kTokenUnary && (token.Code == kOpNegate || token.Code == kOpUnaryPlus) &&
           token.First && token.First->Kind == kTokenConstant && !token.First->IsParameter;
}

bool IsNullConstant(const TExpToken& token) {
    return token.Kind == kTokenConstant && token.IsNull && !token.IsParameter;
}

bool IsStringValueConstant(const TExpToken& token) {
    return token.Kind == kTokenConstant && token.DataType == kTypeString && !token.IsNull &&
           !token.IsParameter;
}

class FilterPreparer {
  public:
    FilterPreparer(const ColumnReader& reader, bool no_partial, bool no_case, SortId sort,
                   LanguageId language, const db::TFormatSettings* format)
        : format_(format),
          reader_(reader),
          no_partial_(no_partial),
          no_case_(no_case),
          sort_(sort),
          language_(language) {}

    ExpTokenPtr Prepare(const TExpToken& node) {
        if (node.Kind == kTokenBinary && (node.Code == kOpAnd || node.Code == kOpOr)) {
            return PrepareChain(node);
        }
        if (node.Kind == kTokenExtended && (node.Code == kOpLike || node.Code == kOpNotLike)) {
            if (ExpTokenPtr partial = PrefixLike(node)) {
                return partial;
            }
        }
        if ((node.Kind == kTokenBinary || node.Kind == kTokenStringCompare) &&
            (node.Code == kOpEqual || node.Code == kOpNotEqual)) {
            if (ExpTokenPtr partial = StringCompare(node)) {
                return partial;
            }
        }
        if (node.Kind == kTokenFunction && node.Code == kOpIf) {
            return CopyTree(node);
        }
        ExpTokenPtr copy = Shallow(node);
        if (node.Kind == kTokenBinary && IsComparison(node.Code) && node.Second &&
            IsConstantOperand(*node.Second)) {
            copy->First = Prepare(*node.First);
            copy->First->Parent = copy.get();
            copy->Second = ConstantFor(*copy, *copy->First, *node.Second);
        } else if (node.Kind == kTokenExtended &&
                   (node.Code == kOpInList || node.Code == kOpNotInList ||
                    node.Code == kOpBetween || node.Code == kOpNotBetween)) {
            copy->First = Prepare(*node.First);
            copy->First->Parent = copy.get();
            // The list (or the two bounds) in a loop, each converted to the value's type.
            TExpToken* tail = nullptr;
            for (const TExpToken* element = node.Second.get(); element != nullptr;
                 element = element->Second.get()) {
                ExpTokenPtr prepared = ExactConstant(*copy->First, *element);
                TExpToken* raw = prepared.get();
                raw->Parent = tail != nullptr ? tail : copy.get();
                (tail != nullptr ? tail->Second : copy->Second) = std::move(prepared);
                tail = raw;
            }
        } else {
            AttachPrepared(node, *copy);
        }
        return copy;
    }

    // A deep copy without recursion along any chain.
    static ExpTokenPtr CopyTree(const TExpToken& root) {
        ExpTokenPtr copy = Shallow(root);
        std::vector<std::pair<const TExpToken*, TExpToken*>> stack{{&root, copy.get()}};
        while (!stack.empty()) {
            const auto [from, to] = stack.back();
            stack.pop_back();
            for (ExpTokenPtr TExpToken::*slot :
                 {&TExpToken::First, &TExpToken::Second, &TExpToken::Third}) {
                if (const TExpToken* child = (from->*slot).get(); child != nullptr) {
                    ExpTokenPtr child_copy = Shallow(*child);
                    child_copy->Parent = to;
                    stack.emplace_back(child, child_copy.get());
                    to->*slot = std::move(child_copy);
                }
            }
        }
        return copy;
    }

  private:
    static ExpTokenPtr Shallow(const TExpToken& node) {
        ExpTokenPtr copy = NewExpToken();
        copy->Assign(node);
        copy->Parent = nullptr;
        return copy;
    }

    void AttachPrepared(const TExpToken& node, TExpToken& copy) {
        if (node.First) {
            copy.First = Prepare(*node.First);
            copy.First->Parent = &copy;
        }
        if (node.Second) {
            copy.Second = Prepare(*node.Second);
            copy.Second->Parent = &copy;
        }
        if (node.Third) {
            copy.Third = Prepare(*node.Third);
            copy.Third->Parent = &copy;
        }
    }

    ExpTokenPtr PrepareChain(const TExpToken& node) {
        const std::uint8_t code = node.Code;
        ExpTokenPtr top;
        TExpToken* holder = nullptr;
        const TExpToken* at = &node;
        while (at->Kind == kTokenBinary && at->Code == code) {
            ExpTokenPtr copy = Shallow(*at);
            copy->Second = Prepare(*at->Second);
            copy->Second->Parent = copy.get();
            TExpToken* raw = copy.get();
            if (holder == nullptr) {
                top = std::move(copy);
            } else {
                raw->Parent = holder;
                holder->First = std::move(copy);
            }
            holder = raw;
            at = at->First.get();
        }
        holder->First = Prepare(*at);
        holder->First->Parent = holder;
        return top;
    }

    // LIKE 'abc%' is a comparison of the first three characters.
    ExpTokenPtr PrefixLike(const TExpToken& node) {
        const TExpToken& pattern = *node.Second;
        if (!IsStringValueConstant(pattern)) {
            return nullptr;
        }
        const std::string_view text = TextValue(pattern);
        if (text.size() <= 1 || text.find('_') != std::string_view::npos ||
            text.find('%') != text.size() - 1) {
            return nullptr;
        }
        ExpTokenPtr copy = Shallow(node);
        copy->Kind = kTokenStringCompare;
        copy->Code = node.Code == kOpLike ? kOpEqual : kOpNotEqual;
        copy->PartialLength = static_cast<std::uint16_t>(text.size() - 1);
        // LIKE compares with case, whatever the filter's options.
        copy->NoCase = false;
        copy->First = Prepare(*node.First);
        copy->First->Parent = copy.get();
        copy->Second = Shallow(pattern);
        copy->Second->SetValueText(text.substr(0, text.size() - 1));
        copy->Second->Parent = copy.get();
        return copy;
    }

    // = and <> with a string constant: a trailing "*" compares a prefix, and the filter's
    // no-case option applies.
    ExpTokenPtr StringCompare(const TExpToken& node) {
        const bool constant_right = IsStringValueConstant(*node.Second);
        const bool constant_left = !constant_right && IsStringValueConstant(*node.First);
        if (!constant_right && !constant_left) {
            return nullptr;
        }
        const TExpToken& constant = constant_right ? *node.Second : *node.First;
        const TExpToken& operand = constant_right ? *node.First : *node.Second;
        if (!IsTextType(operand.DataType, operand.SubType)) {
            return nullptr;
        }
        const std::string_view text = TextValue(constant);
        const bool star = text.size() > 1 && text.back() == '*' && !no_partial_;
        if (!star && !no_case_) {
            return nullptr;
        }
        ExpTokenPtr copy = Shallow(node);
        copy->Kind = kTokenStringCompare;
        copy->NoCase = no_case_;
        copy->PartialLength = star ? static_cast<std::uint16_t>(text.size() - 1) : 0;
        copy->First = Prepare(operand);
        copy->First->Parent = copy.get();
        copy->Second = Shallow(constant);
        if (star) {
            copy->Second->SetValueText(text.substr(0, text.size() - 1));
        }
        copy->Second->Parent = copy.get();
        return copy;
    }

    // The constant of `comparison` in the type of its left operand; an inexact one moves the
    // bound and adjusts the operator.
    ExpTokenPtr ConstantFor(TExpToken& comparison, const TExpToken& left,
                            const TExpToken& constant) {
        ExpTokenPtr value =
            EvaluateExpression(constant, nullptr, sort_, language_, reader_, format_);
        value->Kind = kTokenConstant;
        value->Parent = &comparison;
        if (value->IsNull || value->DataType == kTypeString || value->DataType == left.DataType ||
            left.DataType == kTypeNone) {
            return value;
        }
        if (ExpTokenPtr exact = ConvertExactly(*value, left)) {
            exact->Parent = &comparison;
            return exact;
        }
        const std::uint8_t code = comparison.Code;
        if (code == kOpEqual || code == kOpNotEqual) {
            return value;
        }
        const bool up = code == kOpGreater || code == kOpGreaterEqual;
        ExpTokenPtr bound = RoundConstantTo(*value, left, up);
        if (!bound) {
            return value;
        }
        comparison.Code = up ? kOpGreaterEqual : kOpLessEqual;
        comparison.Text = up ? ">=" : "<=";
        bound->Parent = &comparison;
        return bound;
    }

    // An IN element or BETWEEN bound, converted only when exact; its chain link is not copied.
    ExpTokenPtr ExactConstant(const TExpToken& value_operand, const TExpToken& element) {
        ExpTokenPtr value =
            EvaluateAsType(value_operand, element, sort_, language_, reader_, format_);
        value->Kind = kTokenConstant;
        return value;
    }

    const db::TFormatSettings* format_;
    const ColumnReader& reader_;
    bool no_partial_;
    bool no_case_;
    SortId sort_;
    LanguageId language_;
};

// Moves the content of `other` into `node`, keeping node's place in its tree.
void TakeOver(TExpToken& node, ExpTokenPtr other) {
    TExpToken* parent = node.Parent;
    node.First.reset();
    node.Second.reset();
    node.Third.reset();
    node.Assign(*other);
    node.Parent = parent;
    node.First = std::move(other->First);
    node.Second = std::move(other->Second);
    node.Third = std::move(other->Third);
    for (TExpToken* child : {node.First.get(), node.Second.get(), node.Third.get()}) {
        if (child != nullptr) {
            child->Parent = &node;
        }
    }
}

bool IsNullComparison(const TExpToken& node) {
    return (node.Kind == kTokenBinary || node.Kind == kTokenStringCompare) &&
           (node.Code == kOpEqual || node.Code == kOpNotEqual) && node.First && node.Second &&
           (IsNullConstant(*node.First) || IsNullConstant(*node.Second));
}

bool IsLogical(const TExpToken& node) {
    return node.Kind == kTokenBinary && (node.Code == kOpAnd || node.Code == kOpOr);
}

// Combines a node whose two branches (slots a and b) were simplified.
bool Combine(ExpTokenPtr& node, ExpTokenPtr TExpToken::*a, ExpTokenPtr TExpToken::*b,
             bool a_removed, bool b_removed) {
    if (a_removed && b_removed) {
        node.reset();
        return true;
    }
    if (a_removed) {
        TakeOver(*node, std::move((*node).*b));
    } else if (b_removed) {
        TakeOver(*node, std::move((*node).*a));
    }
    return false;
}

}  // namespace

ExpTokenPtr EvaluateAsType(const TExpToken& target, const TExpToken& node, SortId sort,
                           LanguageId language, const ColumnReader& reader,
                           const db::TFormatSettings* format) {
    ExpTokenPtr value = EvaluateExpression(node, nullptr, sort, language, reader, format);
    if (value->IsNull || value->DataType == kTypeString || value->DataType == target.DataType ||
        target.DataType == kTypeNone) {
        return value;
    }
    if (ExpTokenPtr converted = ConvertExactly(*value, target)) {
        return converted;
    }
    return value;
}

ExpTokenPtr PrepareFilterTree(const TExpToken& node, const ColumnReader& reader, bool no_partial,
                              bool no_case, SortId sort, LanguageId language,
                              const db::TFormatSettings* format) {
    return FilterPreparer(reader, no_partial, no_case, sort, language, format).Prepare(node);
}

bool SimplifyNullComparisons(ExpTokenPtr& node) {
    if (!node) {
        return false;
    }
    if (IsNullComparison(*node)) {
        node.reset();
        return true;
    }
    if (node->Kind == kTokenFunction && node->Code == kOpIf) {
        const bool then_removed = SimplifyNullComparisons(node->Second);
        const bool else_removed = SimplifyNullComparisons(node->Third);
        return Combine(node, &TExpToken::Second, &TExpToken::Third, then_removed, else_removed);
    }
    if (!IsLogical(*node)) {
        return false;
    }
    // The chain of AND and OR nodes down the first children, bottom first, in a loop.
    std::vector<ExpTokenPtr*> spine{&node};
    while ((*spine.back())->First && IsLogical(*(*spine.back())->First)) {
        spine.push_back(&(*spine.back())->First);
    }
    bool lower_removed = false;
    for (std::size_t i = spine.size(); i-- > 0;) {
        ExpTokenPtr& at = *spine[i];
        bool first_removed = false;
        if (i + 1 == spine.size()) {
            first_removed = SimplifyNullComparisons(at->First);
        } else {
            first_removed = lower_removed;
        }
        const bool second_removed = SimplifyNullComparisons(at->Second);
        lower_removed =
            Combine(at, &TExpToken::First, &TExpToken::Second, first_removed, second_removed);
    }
    return lower_removed;
}

}  // namespace strata
