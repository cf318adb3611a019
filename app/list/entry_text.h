#pragma once

// Rules for the text of a list entry's fields, shared by every road that makes one.

#include <string_view>

namespace app {

// True when the text holds a character that would start a new line, cut the text
// short or show as nothing in a field: a C0 control (tab, line feed, carriage return
// and NUL among them), DEL, a C1 control, or the Unicode line or paragraph separator.
bool ContainsControlCharacter(std::string_view utf8);

}  // namespace app
