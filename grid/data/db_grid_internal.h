#pragma once

// What the data-aware grid's source files share and nobody else needs.

#include <chrono>
#include <limits>
#include <memory>
#include <vector>

#include "grid/data/db_grid.h"
#include "platform/ui/cursor.h"

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

// One load of every record into rows, from its start to its finish.
struct TCustomgxDBGrid::RecordLoad {
    ViewPlace before;
    bool smart = false;
    bool own_saved_selection = false;
    // Where the dataset stood, to be put back after the read.
    db::TBookmark bookmark;
    bool bof = false;
    bool eof = false;
    std::unique_ptr<ui::THourglass> hourglass;
    // The row to focus once loaded: the one of the key focused before, at its level.
    TgxDBGridNode* focus = nullptr;
    db::Variant focus_key = db::Variant::Null();
    int focus_level = 0;
    // Rows to use again, sorted by key, and their keys.
    NodeList pool;
    std::vector<db::Variant> pool_keys;
    std::int32_t rec_no = 0;
    // The last record read, for a load that goes on in the background.
    db::TBookmark last_bookmark;
    std::unique_ptr<SavedSelection> saved_selection;
    // When the last slice ended, and what it spent after its reading.
    std::chrono::steady_clock::time_point last_slice_end;
    std::chrono::steady_clock::duration slice_overhead{};
};

// How many rows a load in slices reads at once: the first screens, however tall the window.
inline constexpr std::int64_t kFirstSliceRows = 2048;
inline constexpr std::int64_t kAllRows = std::numeric_limits<std::int64_t>::max();
// A slice of a background load ends after this time, so that input waits no longer.
inline constexpr std::chrono::milliseconds kSliceTime{12};
inline constexpr std::int64_t kRowsBetweenClockReads = 256;
// A slice that waits for an edit or an update to end tries again after this many ms.
inline constexpr int kRetryDelayMs = 50;

}  // namespace grid
