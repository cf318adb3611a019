#pragma once

// The exported files speak a single-byte code page: the worksheet that of the table it
// shows, the page Windows-1252; the grid hands its texts over as UTF-8. The two formats
// treat a character the code page lacks differently: the worksheet has no escape and shows
// "?", the page names the character by number so that nothing is lost.

#include <string>
#include <string_view>

#include "platform/nls/nls.h"

namespace grid {

// The code page's bytes of a UTF-8 text; a character the code page lacks, and every byte of
// a malformed sequence, becomes "?".
std::string ToWorksheetText(std::string_view utf8,
                            platform::nls::CodePage code_page = platform::nls::CodePage::Western);

// The text as HTML in Windows-1252: "&", "<", ">" and '"' as entities, a character the code
// page lacks as "&#N;", a malformed byte as "&#65533;".
std::string ToHtmlText(std::string_view utf8);

}  // namespace grid
