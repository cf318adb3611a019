#include "app/list/category_filter.h"

#include "app/list/word_split.h"
#include "app/routines/text_routines.h"
#include "engine/dataset/strata_table.h"

namespace app {
namespace {

std::string Quoted(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

}  // namespace

std::string BuildCategoryFilter(std::string_view text, bool include) {
    const std::string comparison = include ? "=" : "<>";
    const std::string joining = include ? "OR" : "AND";
    if (text.find(',') == std::string_view::npos)
        return "Category " + comparison + " '" + Quoted(Trim(text)) + "*'";
    std::string expression;
    for (const std::string& part : OLCStrToStringlist(text, ",", false, false, false)) {
        const std::string term = "(Category " + comparison + " '" + Quoted(Trim(part)) + "*')";
        expression += expression.empty() ? term : " " + joining + " " + term;
    }
    return expression;
}

void SetFilter(strata::TStrataTable& table, bool include, std::string_view include_text,
               std::string_view exclude_text, bool exclude) {
    if (include && !include_text.empty()) {
        table.SetFilter(BuildCategoryFilter(include_text, true));
        table.SetFiltered(true);
    } else if (!exclude || exclude_text.empty()) {
        table.SetFiltered(false);
    } else {
        table.SetFilter(BuildCategoryFilter(exclude_text, false));
        table.SetFiltered(true);
    }
}

}  // namespace app
