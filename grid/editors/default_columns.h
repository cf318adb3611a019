#pragma once

// The table of default column classes the data-aware grid picks from when it makes columns
// for a dataset's fields, and the registration of the typed columns into it.

#include <functional>

#include "grid/data/db_tree_list_control.h"

namespace grid {

// One entry offered to a registration callback: the class and its priority.
struct TgxColumnClassEntry {
    TgxDBColumnClass column_class;
    int priority = 0;
};

// field type code (0-21; 0 for the lookup entry), field kind (0 data, 2 lookup), entry.
using TgxColumnClassProc = std::function<void(int type, int kind, TgxColumnClassEntry& entry)>;

// Offers every entry to the callback and keeps its answer where the priority is higher
// than the entry's; an equal priority keeps what was there.
void RegisterDefaultColumnClasses(const TgxColumnClassProc& proc);
// The typed columns' answers, all with priority 1.
void DefaultGridColumnClassProc(int type, int kind, TgxColumnClassEntry& entry);
// The typed columns' start-up step: the check column's default values and the
// registration above. Runs once; later calls do nothing.
void RegisterTypedColumns();

}  // namespace grid
