// A load of every record that goes on in slices from the event loop once the first screens
// of rows are in: the list shows and answers while the rest of a long one is read.

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <utility>

#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/ui/application.h"

namespace grid {

void TCustomgxDBGrid::HandOverToBackground(RecordLoad& load) {
    auto rest = std::make_unique<RecordLoad>();
    rest->rec_no = load.rec_no;
    rest->last_bookmark = load.last_bookmark;
    // The rows still to come join the selection they stood in before the load.
    if (saved_selection_ != nullptr)
        rest->saved_selection = std::make_unique<SavedSelection>(*saved_selection_);
    // Rows kept for use again that the first part did not take are freed now: the rest
    // makes its own, and the focus was settled by the first part.
    load.pool.clear();
    background_load_ = std::move(rest);
    ++background_generation_;
}

void TCustomgxDBGrid::ScheduleRecordSlice(int delay_ms) {
    const std::uint32_t generation = background_generation_;
    QTimer::singleShot(delay_ms, this, [this, generation] {
        if (background_load_ == nullptr || generation != background_generation_)
            return;
        ui::Guarded([this] { ReadRecordSlice(false); });
    });
}

void TCustomgxDBGrid::LoadRemainingRows() {
    while (background_load_ != nullptr && SliceCanRead())
        ReadRecordSlice(true);
}

bool TCustomgxDBGrid::SliceCanRead() const {
    // A record being edited, or a load or an update of the rows under way, is waited for.
    const db::TDataSet* dataset = DataSet();
    return dataset != nullptr && link_->Active() && dataset->State() == db::dsBrowse &&
           !loading_rows_ && UpdateLockCount() == 0 && saved_selection_ == nullptr;
}

void TCustomgxDBGrid::ReadRecordSlice(bool to_end) {
    using Clock = std::chrono::steady_clock;
    db::TDataSet* dataset = DataSet();
    if (dataset == nullptr || !link_->Active()) {
        background_load_.reset();
        return;
    }
    RecordLoad& load = *background_load_;
    if (!SliceCanRead()) {
        load.last_slice_end = {};
        ScheduleRecordSlice(kRetryDelayMs);
        return;
    }
    // Each slice has the rows' display order made again, which takes longer as the list
    // grows: a slice reads at least three times as long as the event loop spent since the last
    // one, so that the reading keeps most of the time however long the list.
    const Clock::time_point start = Clock::now();
    Clock::duration budget = kSliceTime;
    if (load.last_slice_end != Clock::time_point{})
        budget = std::max(budget, 3 * (start - load.last_slice_end + load.slice_overhead));
    const Clock::time_point until = to_end ? Clock::time_point::max() : start + budget;
    if (!dataset->BookmarkValid(load.last_bookmark)) {
        // Another program took away the record read last: the list is read again.
        background_load_.reset();
        LoadNodes();
        return;
    }
    const db::TBookmark bookmark = dataset->Bookmark();
    const bool bof = dataset->Bof();
    const bool eof = dataset->Eof();
    loading_rows_ = true;
    dataset->DisableControls();
    // A slice adds rows after those read before, in a list without groups: the display order
    // of the rows in is extended, not made again over a list that grows with every slice.
    SetAppendingRows(group_columns_.empty());
    BeginUpdate();
    bool complete = false;
    Clock::time_point read_end;
    try {
        dataset->GotoBookmark(load.last_bookmark);
        dataset->Next();
        saved_selection_ = std::move(load.saved_selection);
        complete = ReadRecords(load, 0, until);
        read_end = Clock::now();
        load.saved_selection = std::move(saved_selection_);
        RestoreDataSet(bookmark, bof, eof);
        if (complete)
            FinishReadingRecords(load);
    } catch (...) {
        saved_selection_.reset();
        background_load_.reset();
        dataset->EnableControls();
        SetAppendingRows(false);
        CancelUpdate();
        loading_rows_ = false;
        throw;
    }
    dataset->EnableControls();
    EndUpdate();
    SetAppendingRows(false);
    loading_rows_ = false;
    if (complete) {
        CompleteBackgroundLoad();
    } else if (!to_end && background_load_ != nullptr) {
        background_load_->last_slice_end = Clock::now();
        background_load_->slice_overhead = background_load_->last_slice_end - read_end;
        ScheduleRecordSlice();
    }
}

void TCustomgxDBGrid::CompleteBackgroundLoad() {
    background_load_.reset();
    const ViewPlace view = RememberView();
    BeginUpdate();
    try {
        SortByMarkedColumn();
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    // The current record may have been one read only now.
    SyncFocusedNode();
    RestoreView(view);
    if (OnRowsLoaded)
        OnRowsLoaded(this);
}

}  // namespace grid
