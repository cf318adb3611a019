#include "app/list/category_filter.h"

#include "app/routines/text_routines.h"
#include "platform/db/dataset.h"
#include "platform/db/string_list.h"
#include "platform/ui/cursor.h"

namespace app {
namespace {

// A quote in a category is doubled, so it stays part of the text and never
// ends the filter's string.
std::string QuotedCategory(std::string_view text) {
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
        return "Category " + comparison + " '" + QuotedCategory(Trim(text)) + "*'";
    db::TStringList parts;
    SplitToStrings(parts, text, ",", false, false);
    std::string expression;
    for (std::int64_t i = 0; i < parts.Count(); ++i) {
        if (i > 0)
            expression += " " + joining + " ";
        expression += "(Category " + comparison + " '" + QuotedCategory(parts.Get(i)) + "*')";
    }
    return expression;
}

std::optional<std::string> CategoryFilterExpression(bool include, std::string_view include_text,
                                                    std::string_view exclude_text, bool exclude) {
    if (include && !include_text.empty())
        return BuildCategoryFilter(include_text, true);
    if (!exclude || exclude_text.empty())
        return std::nullopt;
    return BuildCategoryFilter(exclude_text, false);
}

void SetFilter(db::TDataSet& table, bool include, std::string_view include_text,
               std::string_view exclude_text, bool exclude) {
    ui::THourglass hourglass;
    auto expression = CategoryFilterExpression(include, include_text, exclude_text, exclude);
    if (!expression) {
        table.SetFiltered(false);
        return;
    }
    table.SetFilter(*expression);
    table.SetFiltered(true);
}

std::string CountLabel(std::int64_t count, bool filter_chosen) {
    std::string label = "  " + std::to_string(count) + " Records";
    if (filter_chosen)
        label += " Displayed";
    return label;
}

std::string MainCaption(bool debug, bool open, std::string_view db_path,
                        std::string_view program_dir) {
    std::string caption = "Corvane";
    if (debug)
        return caption + "  DEBUG MODE";
    if (!open)
        return caption;
    std::string_view folder = (db_path.empty() || db_path == "%") ? program_dir : db_path;
    return caption + "  (Database: " + std::string(folder) + ")";
}

}  // namespace app
