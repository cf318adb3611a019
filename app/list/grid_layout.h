#pragma once

// The list grid's layout under the registry key "\SOFTWARE\Brovik\Corvane\":
// four grid-wide switches in the key itself and, per column, a subkey named
// after the column with "Visible", "Index", "GroupIndex", "Width" and
// "Sorted" (0 none, 1 ascending, 2 descending). The grid maps its columns to
// and from these states.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr std::string_view kGridLayoutKey = "\\SOFTWARE\\Brovik\\Corvane\\";

struct GridColumnState {
    std::string name;  // the column component's name, e.g. "gxDBGrid1Item"
    bool Visible = true;
    std::int32_t Index = 0;
    std::int32_t GroupIndex = -1;
    std::int32_t Width = 64;
    std::int32_t Sorted = 0;
};

struct GridLayout {
    bool ShowGroupPanel = true;
    bool FlatStyle = true;
    bool AutoWidth = false;
    bool AutoPreview = false;
    std::vector<GridColumnState> columns;
};

// False when the registry cannot be written (a damaged settings file is never
// written over); whoever saves the settings next reports that.
bool SaveGridLayout(std::string_view key, const GridLayout& layout);

// Reads each column's values with its current ones as defaults; the grid-wide
// values are not read back. With the cache limit on, grouping and sorting are
// not read, and the e-mail column is sorted ascending instead.
void LoadGridLayout(std::string_view key, GridLayout& layout, bool limit_db_cache);

}  // namespace app
