// Buffer mode's walks over the dataset: the text lines of every or of the selected records
// (the rows are only the records in view), and the selection that follows the dataset.

#include "grid/data/db_grid.h"

namespace grid {

void TCustomgxDBGrid::KeepBufferRow(std::int64_t row) {
    // A step that scrolls the buffer to put the record at an edge, and the step back, so
    // that the rows do not jump under the user.
    db::TDataSet* dataset = DataSet();
    const std::int64_t now = link_->ActiveRecord();
    if (now == row)
        return;
    const std::int64_t last = link_->BufferCount() - 1;
    const std::int64_t out = now > row ? dataset->MoveBy(last - row) : dataset->MoveBy(-row);
    dataset->MoveBy(-out);
    UpdateBufferRows();
}

void TCustomgxDBGrid::WalkBufferRecords(const std::function<void(db::TDataSet&)>& walk) {
    db::TDataSet& dataset = *DataSet();
    const db::TBookmark back = dataset.Bookmark();
    const std::int64_t row = link_->ActiveRecord();
    // The walk and the way back are no moves of the user's: the selection stays.
    BeginSelection();
    struct EndSel {
        TCustomgxDBGrid* grid;
        ~EndSel() { grid->EndSelection(); }
    } end_selection{this};
    dataset.DisableControls();
    try {
        walk(dataset);
        if (!back.empty())
            dataset.GotoBookmark(back);
    } catch (...) {
        try {
            if (!back.empty())
                dataset.GotoBookmark(back);
        } catch (...) {
            // The failure of the walk is the one to report.
        }
        dataset.EnableControls();
        throw;
    }
    dataset.EnableControls();
    KeepBufferRow(row);
}

std::string TCustomgxDBGrid::RecordLineText() const {
    std::string line;
    for (int i = 0, n = GetVisibleColumnCount(); i < n; ++i) {
        line += GetRecordText(GetVisibleColumnIndex(i));
        line += '\t';
    }
    return line;
}

bool TCustomgxDBGrid::CanWalkBufferRecords() const {
    // A walk would post or cancel a record being edited: then only the rows in view count.
    return IsBufferMode() && link_->Active() && DataSet()->State() == db::dsBrowse;
}

void TCustomgxDBGrid::SaveAllToStrings(std::vector<std::string>& lines) {
    if (!CanWalkBufferRecords()) {
        TCustomgxDBTreeListControl::SaveAllToStrings(lines);
        return;
    }
    lines.push_back(GetHeaderLineText());
    WalkBufferRecords([&](db::TDataSet& dataset) {
        for (dataset.First(); !dataset.Eof(); dataset.Next())
            lines.push_back(RecordLineText());
    });
}

void TCustomgxDBGrid::SaveSelectedToStrings(std::vector<std::string>& lines) {
    if (!CanWalkBufferRecords() || !IsMultiSelect()) {
        TCustomgxDBTreeListControl::SaveSelectedToStrings(lines);
        return;
    }
    lines.push_back(GetHeaderLineText());
    WalkBufferRecords([&](db::TDataSet& dataset) {
        // The list is in the dataset's order already; a record deleted meanwhile is left out.
        for (const SelectedEntry& entry : selected_) {
            if (!dataset.BookmarkValid(entry.bookmark))
                continue;
            dataset.GotoBookmark(entry.bookmark);
            lines.push_back(RecordLineText());
        }
    });
}

void TCustomgxDBGrid::SyncBufferSelection() {
    db::TDataSet* dataset = DataSet();
    if ((grid_options_ex_ & egoSyncSelection) == 0 || !IsMultiSelect() || !link_->Active() ||
        dataset->IsEmpty() || State() == tsEditing)
        return;
    // Only a move to another record is followed: a notice that leaves the dataset where it
    // was (a post, a refresh) keeps the selection the user made.
    const db::TBookmark current = dataset->Bookmark();
    const bool moved = followed_bookmark_.empty() || !dataset->BookmarkValid(followed_bookmark_) ||
                       dataset->CompareBookmarks(current, followed_bookmark_) != 0;
    followed_bookmark_ = current;
    // The grid's own keys and clicks, and its updates, hold the selection lock and make
    // their selection themselves.
    if (!moved || SelectionLockCount() > 0)
        return;
    const std::int64_t active = link_->ActiveRecord();
    TgxTreeListNode* row =
        active >= 0 && active < Count() ? Items(static_cast<int>(active)) : nullptr;
    BeginSelection();
    ClearSelection();
    if (row != nullptr && DoCanNodeSelected(row))
        selected_.push_back(SelectedEntry{current, nullptr});
    // A range the user extends next starts here, as after a click.
    anchor_bookmark_ = current;
    EndSelection();
    InvalidateRect(GetNodesRect());
}

}  // namespace grid
