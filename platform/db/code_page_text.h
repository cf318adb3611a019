#pragma once

#include <string>
#include <string_view>

#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace db {

// Text crosses between the engine's single-byte code pages and the UTF-8 the rest of the
// program speaks here. Going into a code page, a character the page cannot hold is spelled with
// plain letters (ICU's Latin-ASCII transliteration), else it becomes "?"; malformed UTF-8 is
// refused with EConvertError naming `what`, since guessing would store something the user never
// typed. Coming out, a byte the code page leaves undefined becomes U+FFFD, so it stays visible.
std::string CodePageToUtf8(platform::nls::CodePage code_page, std::string_view bytes);
std::string Utf8ToCodePage(platform::nls::CodePage code_page, std::string_view utf8,
                           std::string_view what);
// The same into `bytes` (its room reused), answering false for malformed UTF-8 instead of
// raising, so that a caller names the value only when there is an error to report.
bool TryUtf8ToCodePage(platform::nls::CodePage code_page, std::string_view utf8,
                       std::string& bytes);
// Whether the UTF-8 text is already its own bytes in the code page (plain ASCII in a page that
// keeps ASCII), so that it can be stored without a conversion or a copy.
bool SameInCodePage(platform::nls::CodePage code_page, std::string_view utf8);
// The same where working out the code page costs: `page_of` is asked only when some page
// would change plain ASCII.
template <class PageOf>
bool SameInCodePageOf(PageOf page_of, std::string_view utf8) {
    return platform::nls::IsAscii(utf8) &&
           (platform::nls::EveryPageKeepsAscii() || platform::nls::KeepsAscii(page_of()));
}

}  // namespace db
