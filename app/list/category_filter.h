#pragma once

// The main window's category filter as an expression on the list table, with the count
// label and the window caption that go with it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace db {
class TDataSet;
}

namespace app {

// The expression for one category or a comma-separated list of them. Each category
// matches as a prefix ("news" also matches "newsletter"); include joins them with OR
// and "=", exclude with AND and "<>". Blanks around the parts do not count.
std::string BuildCategoryFilter(std::string_view text, bool include);

// The filter the filter bar asks for; nullopt when the list is to be shown unfiltered.
std::optional<std::string> CategoryFilterExpression(bool include, std::string_view include_text,
                                                    std::string_view exclude_text, bool exclude);

// Applies the filter bar's choice to the list table.
void SetFilter(db::TDataSet& table, bool include, std::string_view include_text,
               std::string_view exclude_text, bool exclude);

// "  <count> Records", with " Displayed" when one of the filter choices is on.
std::string CountLabel(std::int64_t count, bool filter_chosen);

// "Corvane" with "  DEBUG MODE" in debug mode, else with the database folder (the
// program directory when the path is empty or "%") while a database is open.
std::string MainCaption(bool debug, bool open, std::string_view db_path,
                        std::string_view program_dir);

}  // namespace app
