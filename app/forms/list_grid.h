#pragma once

// The data grids of the main window and the statistics dialog: their columns over the list
// and statistics tables, the mapping of the stored column layout to and from the grid, and
// the list rows chosen in the grid as `Index` keys.

#include <cstdint>
#include <optional>
#include <string_view>

#include "app/list/grid_layout.h"
#include "app/list/list_commands.h"
#include "grid/core/tree_list.h"

namespace grid {
class TgxDBGrid;
class TgxDBTreeListColumn;
}  // namespace grid

namespace app {

// Stored "Sorted" values mean 0 none, 1 ascending, 2 descending; anything else is none.
grid::TgxTreeListColumnSort SortMarkFromStored(std::int32_t stored);
std::int32_t StoredFromSortMark(grid::TgxTreeListColumnSort mark);

// The list grid's columns, named after the grid and field (gxDBGrid1Item), keyed by `Index`,
// with a count on the category's group rows and the list grid's own switches (auto width,
// case-insensitive, smart reload) added to the grid's options.
void AddListColumns(grid::TgxDBGrid& grid);
// The statistics grid's columns, each with a footer summing its own field.
void AddStatsColumns(grid::TgxDBGrid& grid);

// The grid's switches and columns as the settings store them, and back.
GridLayout TakeGridLayout(const grid::TgxDBGrid& grid);
// Applies a layout under the grid's update and grouping locks; with the cache limit on,
// grouping and sorting are left as the layout was read (without them).
void ApplyGridLayout(grid::TgxDBGrid& grid, const GridLayout& layout);

// The `Index` keys of the selected record rows, in selection order; group rows are skipped.
EntryKeys SelectedKeys(const grid::TgxDBGrid& grid);

// The row the focus goes to when the rows of these keys are deleted: the first row after the
// focused one that stays, else the nearest before it; none without a focused row.
std::optional<std::int32_t> KeyAfterDeletion(const grid::TgxDBGrid& grid, const EntryKeys& going);
// Selects and focuses the row of the key, else the first row; the top row stays where it was.
void FocusKey(grid::TgxDBGrid& grid, std::optional<std::int32_t> key, int top_index);

// The sortable columns of the list when the cache limit is on (the table's indexes).
bool IsSortableListField(std::string_view field);

}  // namespace app
