#pragma once

// Checks on the text of a list entry before it reaches the table.

#include <string>
#include <string_view>

#include "platform/nls/nls.h"

namespace app {

// True when the UTF-8 text holds a control character (C0 with the tab, DEL, C1) or a
// Unicode line or paragraph separator: a category, name or comment holding one would
// break the grid's rows, the export's lines and the errors list. Bytes that are not
// well-formed UTF-8 are judged one by one.
bool ContainsControlCharacter(std::string_view utf8);

// The same check for a comment, which is free text over several lines: the program's own
// back-ups carry such comments, so line breaks and tabs in it are kept and only the other
// control characters count.
bool ContainsControlCharacterInComment(std::string_view utf8);

// The text as the table stores it in its code page, read back as UTF-8: equal to the
// text unless the page lacks one of its characters ("李小龍" comes back as "???").
std::string StoredEntryText(platform::nls::CodePage code_page, std::string_view utf8);

}  // namespace app
