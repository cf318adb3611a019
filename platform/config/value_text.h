#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::config {

// "true"/"false" in any case and "1"/"0"; anything else is not a boolean.
std::optional<bool> ParseBoolText(std::string_view text);

// A 32-bit signed decimal number with an optional sign and no blanks or other
// characters around it. With allow_hex, a text longer than two characters that
// begins with "0x" or "0X" is read as hexadecimal (the INI file's rule); the
// hexadecimal value is taken as the 32-bit pattern, so "0xFFFFFFFF" is -1.
std::optional<std::int32_t> ParseIntegerText(std::string_view text, bool allow_hex = false);

// Case-insensitive equality of two names: ASCII and Latin-1/Latin Extended-A
// letters in UTF-8 fold to upper case; every other byte compares exactly. The
// fold never depends on the process locale.
bool NamesEqual(std::string_view a, std::string_view b);

// The folded form used to order and compare names (see NamesEqual).
std::string FoldName(std::string_view name);

}  // namespace platform::config
