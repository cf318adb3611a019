#pragma once

// Token tests the statement grammars share.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/storage/expression_parser.h"

namespace strata {

// A plain name or a quoted string: what may name a table.
inline bool IsNameClass(std::uint8_t token_class) {
    return token_class == kClassSymbol || token_class == kClassString;
}

// A plain, bracketed or quoted name: what may name a column or an alias.
inline bool IsAliasClass(std::uint8_t token_class) {
    return token_class == kClassSymbol || token_class == kClassBracketed ||
           token_class == kClassString;
}

inline bool IsKeywordOf(const TExpressionParser& lexer, std::span<const std::string_view> words) {
    return std::any_of(words.begin(), words.end(),
                       [&](std::string_view word) { return lexer.IsKeyword(word); });
}

}  // namespace strata
