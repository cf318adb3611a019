#pragma once

// The category filter of the list: an include or exclude text of categories,
// comma-separated, each matched as a prefix, turned into the engine's filter
// expression.

#include <string>
#include <string_view>

namespace strata {
class TStrataTable;
}

namespace app {

// "Category = 'news*'" for "news"; with commas, one bracketed comparison per
// part joined by OR (include) or AND (exclude, with "<>"). A quote in a
// category is doubled, so it stays part of the text.
std::string BuildCategoryFilter(std::string_view text, bool include);

// Applies the include filter, else the exclude filter, else none.
void SetFilter(strata::TStrataTable& table, bool include, std::string_view include_text,
               std::string_view exclude_text, bool exclude);

}  // namespace app
