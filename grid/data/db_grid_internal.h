#pragma once

// What the data-aware grid's source files share and nobody else needs.

#include <vector>

#include "grid/data/db_grid.h"

namespace grid {

// The selection remembered while rows are rebuilt: bookmarks (in the dataset's order) or
// the key values of the selected rows, sorted.
// Rows loaded again take their entry, which is then marked taken: the rows come in the
// list's own order, and erasing each entry from the front moved the rest once per row.
struct TCustomgxDBGrid::SavedSelection {
    bool by_bookmark = true;
    std::vector<db::TBookmark> bookmarks;
    std::vector<db::Variant> keys;
    std::vector<bool> taken;
};

}  // namespace grid
