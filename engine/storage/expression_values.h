#pragma once

// Reading the values of expression tokens: what evaluation and filter preparation both need.
// Internal to the expression machinery.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#include "engine/storage/exp_token.h"
#include "engine/storage/text_compare.h"
#include "engine/storage/value_convert.h"

namespace strata {

inline bool IsComparison(std::uint8_t code) {
    return code >= kOpEqual && code <= kOpLessEqual;
}

// The bytes of a text value: up to its size and its first NUL, never past the buffer.
inline std::string_view TextValue(const TExpToken& token) {
    if (token.IsNull)
        return {};
    const auto* chars = reinterpret_cast<const char*>(token.Value());
    const std::size_t limit = std::min<std::size_t>(token.DataSize, token.ValueCapacity());
    return {chars, chars == nullptr ? 0 : strnlen(chars, limit)};
}

inline void ClearValue(TExpToken& token) {
    std::fill_n(token.Value(), token.ValueCapacity(), std::byte{0});
}

// The number a token holds; none for booleans, which no arithmetic takes.
inline std::optional<EngineNumber> ReadNumber(const TExpToken& token) {
    if (token.DataType == kTypeBoolean)
        return std::nullopt;
    return ReadEngineNumber(token.DataType, token.Value());
}

// Compares two non-NULL values of comparable types (numbers exactly, dates and times by their
// instant, texts with the table's collation): <0, 0 or >0; none for types that do not compare.
std::optional<int> CompareValues(const TExpToken& a, const TExpToken& b, SortId sort,
                                 LanguageId language);

}  // namespace strata
