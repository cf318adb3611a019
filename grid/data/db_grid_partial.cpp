// The partial-load window: rows for the records around the current one, grown near its edges,
// and the rows of buffer mode.

#include <QScrollBar>

#include <algorithm>

#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/ui/application.h"

namespace grid {

void TCustomgxDBGrid::SortByMarkedColumn() {
    // The sort marks of ungrouped columns order the record rows again.
    for (int i = 0; i < SortedColumnCount(); ++i) {
        auto* c = dynamic_cast<TgxDBTreeListColumn*>(GetSortedColumn(i));
        if (c != nullptr && c->GroupIndex() < 0) {
            SortByColumn(c, c->Sorted() == csDown);
            break;
        }
    }
}

void TCustomgxDBGrid::FinishLoad(TgxDBGridNode* focus, bool sort) {
    if (IsLoadAllMode()) {
        if (sort)
            SortByMarkedColumn();
    } else if (group_columns_.empty()) {
        ClearSortMarksInGridModes();
    }
    if (focus == nullptr)
        focus = static_cast<TgxDBGridNode*>(GetFirstNode());
    if (focus != nullptr) {
        // Inside the update lock this only records the row.
        SetFocusedNodeColumn(focus, GetFocusedColumn(), false);
    }
}

void TCustomgxDBGrid::RestoreDataSet(const db::TBookmark& bookmark, bool bof, bool eof) {
    db::TDataSet* dataset = DataSet();
    if (!bookmark.empty() && dataset->BookmarkValid(bookmark)) {
        dataset->GotoBookmark(bookmark);
        if (bof && !dataset->Bof())
            dataset->Prior();
        if (eof && !dataset->Eof())
            dataset->Next();
    }
}

void TCustomgxDBGrid::LoadPartialNodes(int mode, int focus_mode, bool include_anchor) {
    db::TDataSet* dataset = DataSet();
    if (!link_->Active() || dataset == nullptr)
        return;
    const int window = PartialWindowSize();
    loading_rows_ = true;
    ++partial_loading_;
    // A window keeps no summaries.
    summary_input_fields_.clear();
    ResolveKeyField();
    ResolvePreviewField();
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i))
            c->BindField();
    BeginUpdate();
    dataset->DisableControls();
    const db::TBookmark bookmark = dataset->Bookmark();
    const bool bof = dataset->Bof();
    const bool eof = dataset->Eof();
    link_->SetBufferCount(1);
    auto finish = [&] {
        RestoreDataSet(bookmark, bof, eof);
        dataset->EnableControls();
        EndUpdate();
        --partial_loading_;
        loading_rows_ = false;
    };
    try {
        if (dataset->State() == db::dsEdit || dataset->State() == db::dsInsert ||
            dataset->State() == db::dsSetKey)
            dataset->Cancel();
        if (mode == 1)
            ReadPartialAfter(window);
        else if (mode == 2)
            ReadPartialBefore(window);
        else
            ReadPartialAround(window, focus_mode, include_anchor);
    } catch (...) {
        try {
            finish();
        } catch (...) {
            // The first failure is the one to report.
        }
        throw;
    }
    finish();
}

TgxDBGridNode* TCustomgxDBGrid::AddPartialRow(bool in_front, std::int32_t rec_no) {
    auto owned = CreateNode();
    auto* row = static_cast<TgxDBGridNode*>(owned.get());
    AttachNode(std::move(owned), nullptr, in_front ? 0 : -1);
    FillNode(row, rec_no);
    TakeFromSavedSelection(row);
    return row;
}

TgxDBGridNode* TCustomgxDBGrid::PartialEdgeRow(bool at_end) {
    // A row whose record another program deleted has no place in the table: the nearest row
    // inward that has one is read on from.
    db::TDataSet* dataset = DataSet();
    for (int k = 0; k < Count(); ++k) {
        auto* row = static_cast<TgxDBGridNode*>(Items(at_end ? Count() - 1 - k : k));
        if (!row->Bookmark.empty() && dataset->BookmarkValid(row->Bookmark))
            return row;
    }
    return nullptr;
}

void TCustomgxDBGrid::ReadPartialAfter(int window) {
    db::TDataSet* dataset = DataSet();
    auto* last = static_cast<TgxDBGridNode*>(Count() > 0 ? Items(Count() - 1) : nullptr);
    if (last != nullptr) {
        TgxDBGridNode* from = PartialEdgeRow(true);
        if (from == nullptr) {
            end_read_ = true;
            return;
        }
        dataset->GotoBookmark(from->Bookmark);
        dataset->Next();
    }
    std::int32_t rec_no = last != nullptr ? last->RecNo + 1 : 0;
    for (int added = 0; !dataset->Eof() && added < window; ++added) {
        AddPartialRow(false, rec_no++);
        dataset->Next();
    }
    end_read_ = dataset->Eof();
}

void TCustomgxDBGrid::ReadPartialBefore(int window) {
    db::TDataSet* dataset = DataSet();
    auto* first = static_cast<TgxDBGridNode*>(Count() > 0 ? Items(0) : nullptr);
    if (first != nullptr) {
        TgxDBGridNode* from = PartialEdgeRow(false);
        if (from == nullptr) {
            start_read_ = true;
            return;
        }
        dataset->GotoBookmark(from->Bookmark);
        dataset->Prior();
    }
    std::int32_t rec_no = first != nullptr ? first->RecNo - 1 : 0;
    for (int added = 0; !dataset->Bof() && added < window; ++added) {
        AddPartialRow(true, rec_no--);
        dataset->Prior();
    }
    start_read_ = dataset->Bof();
}

void TCustomgxDBGrid::SelectWithinAnchor(TgxDBGridNode* row, const PartialBounds& bounds) {
    if (bounds.anchor_low.empty())
        return;
    if (row->Bookmark == anchor_bookmark_)
        anchor_row_ = row;
    db::TDataSet* dataset = DataSet();
    if (dataset->CompareBookmarks(row->Bookmark, bounds.anchor_low) >= 0 &&
        dataset->CompareBookmarks(row->Bookmark, bounds.anchor_high) <= 0 &&
        DoCanNodeSelected(row)) {
        bool found = false;
        int at = SelectedIndexOf(row->Bookmark, found);
        if (!found)
            selected_.insert(selected_.begin() + at, SelectedEntry{row->Bookmark, row});
    }
}

TCustomgxDBGrid::PartialBounds TCustomgxDBGrid::PartialBoundsAround(const db::TBookmark& current,
                                                                    bool include_anchor) const {
    db::TDataSet* dataset = DataSet();
    auto compare = [&](const db::TBookmark& a, const db::TBookmark& b) {
        return dataset->CompareBookmarks(a, b);
    };
    PartialBounds bounds;
    if (saved_selection_ && saved_selection_->by_bookmark && !saved_selection_->bookmarks.empty()) {
        const auto& list = saved_selection_->bookmarks;
        bounds.first = compare(list.front(), current) < 0 ? list.front() : current;
        bounds.last = compare(list.back(), current) > 0 ? list.back() : current;
    }
    if (include_anchor && !anchor_bookmark_.empty()) {
        bool before = compare(anchor_bookmark_, current) <= 0;
        bounds.anchor_low = before ? anchor_bookmark_ : current;
        bounds.anchor_high = before ? current : anchor_bookmark_;
        if (bounds.first.empty() || compare(bounds.anchor_low, bounds.first) < 0)
            bounds.first = bounds.anchor_low;
        if (bounds.last.empty() || compare(bounds.anchor_high, bounds.last) > 0)
            bounds.last = bounds.anchor_high;
    }
    return bounds;
}

void TCustomgxDBGrid::ReadPartialUpTo(const db::TBookmark& current, int half,
                                      const PartialBounds& bounds) {
    db::TDataSet* dataset = DataSet();
    // The records before the current one are first counted backwards and then read forwards,
    // so that each row is appended: put in front one by one, a window stretched over a
    // selection far back would take a time growing with the square of its rows.
    for (int back = 1;; ++back) {
        dataset->Prior();
        if (dataset->Bof())
            break;
        if (back >= half && (bounds.first.empty() ||
                             dataset->CompareBookmarks(dataset->Bookmark(), bounds.first) < 0))
            break;
    }
    start_read_ = dataset->Bof();
    if (start_read_)
        dataset->First();
    else
        dataset->Next();
    // Read up to the current record itself, should another program have added or removed
    // records meanwhile; the rows are numbered down from it afterwards.
    for (bool first_step = true; !dataset->Eof(); first_step = false) {
        if (!first_step)
            dataset->Next();
        if (dataset->Eof())
            break;
        TgxDBGridNode* row = AddPartialRow(false, 0);
        SelectWithinAnchor(row, bounds);
        if (dataset->CompareBookmarks(row->Bookmark, current) >= 0)
            break;
    }
}

void TCustomgxDBGrid::ReadPartialFrom(const db::TBookmark& current, int window, int half,
                                      const PartialBounds& bounds) {
    db::TDataSet* dataset = DataSet();
    const int back = Count();
    dataset->GotoBookmark(current);
    dataset->Next();
    int forward = 0;
    int need = std::max(window - back, window - half);
    while (!dataset->Eof()) {
        if (forward >= need) {
            if (bounds.last.empty())
                break;
            int c = dataset->CompareBookmarks(dataset->Bookmark(), bounds.last);
            if (c > 0)
                break;
            if (c == 0)
                need = forward + half;
        }
        TgxDBGridNode* row = AddPartialRow(false, half + forward);
        SelectWithinAnchor(row, bounds);
        ++forward;
        dataset->Next();
    }
    end_read_ = dataset->Eof();
}

void TCustomgxDBGrid::ReadPartialAround(int window, int focus_mode, bool include_anchor) {
    db::TDataSet* dataset = DataSet();
    int distance = 0;
    if (GetFocusedNode() != nullptr && TopVisibleNode() != nullptr)
        distance =
            std::max(0, GetAbsoluteIndex(GetFocusedNode()) - GetAbsoluteIndex(TopVisibleNode()));
    pending_node_ = nullptr;
    anchor_row_ = nullptr;
    selected_.clear();
    ClearNodes();
    if (dataset->Bof() && dataset->Eof()) {
        start_read_ = true;
        end_read_ = true;
        return;
    }
    const db::TBookmark current = dataset->Bookmark();
    const PartialBounds bounds = PartialBoundsAround(current, include_anchor);
    const int half = window / 2;
    ReadPartialUpTo(current, half, bounds);
    const int back = Count();
    if (back == 0) {
        // The table emptied under the read: nothing to show.
        end_read_ = true;
        return;
    }
    for (int i = 0; i < back; ++i)
        static_cast<TgxDBGridNode*>(Items(i))->RecNo = half - back + i;
    TgxDBGridNode* current_row = static_cast<TgxDBGridNode*>(Items(Count() - 1));
    ReadPartialFrom(current, window, half, bounds);
    selected_.erase(std::unique(selected_.begin(), selected_.end(),
                                [](const SelectedEntry& a, const SelectedEntry& b) {
                                    return !a.bookmark.empty() && a.bookmark == b.bookmark;
                                }),
                    selected_.end());
    PlacePartialWindow(current_row, distance, focus_mode);
}

void TCustomgxDBGrid::PlacePartialWindow(TgxDBGridNode* current_row, int distance, int focus_mode) {
    // The current record's row is the first row made: top and focused.
    SetFocusedNodeColumn(current_row, GetFocusedColumn(), false);
    RebuildVisibleNodeCache();
    CalcRowsInView();
    const int c = GetAbsoluteIndex(current_row);
    SetTopVisibleNode(current_row);
    int top = c - distance;
    if (focus_mode == 1)
        top = c;
    else if (focus_mode == 2)
        top = GetVisibleRowCount();
    top = std::clamp(top, 0, std::max(0, GetAbsoluteCount() - GetVisibleRowCount()));
    SetTopVisibleNode(GetAbsoluteNode(top));
}

void TCustomgxDBGrid::SetTopVisibleNode(TgxTreeListNode* node) {
    TCustomgxDBTreeListControl::SetTopVisibleNode(node);
    if (!IsPartialLoadMode() || loading_rows_ || partial_loading_ > 0 || node == nullptr ||
        UpdateLockCount() > 0)
        return;
    const int v = RowsForWindow();
    const int index = GetAbsoluteIndex(node);
    if (!start_read_ && index <= v)
        LoadPartialNodes(2);
    else if (!end_read_ && index >= GetAbsoluteCount() - 2 * v)
        LoadPartialNodes(1);
}

void TCustomgxDBGrid::UpdateBufferRows() {
    db::TDataSet* dataset = DataSet();
    const int wanted = link_->Active() ? std::max(1, RowsInViewPartly()) : 0;
    if (link_->Active())
        link_->SetBufferCount(wanted);
    const int records = link_->Active() ? static_cast<int>(link_->RecordCount()) : 0;
    if (records != Count()) {
        BeginUpdate();
        selected_.erase(std::remove_if(selected_.begin(), selected_.end(),
                                       [](const SelectedEntry& e) { return e.node != nullptr; }),
                        selected_.end());
        pending_node_ = nullptr;
        anchor_row_ = nullptr;
        ClearNodes();
        for (int i = 0; i < records; ++i)
            Add();
        EndUpdate();
    }
    if (dataset != nullptr && link_->Active() && records > 0) {
        const int active = static_cast<int>(link_->ActiveRecord());
        TgxTreeListNode* row = Items(std::clamp(active, 0, records - 1));
        ++partial_loading_;
        loading_rows_ = true;
        SetFocusedNodeColumn(row, GetFocusedColumn(), false);
        loading_rows_ = false;
        --partial_loading_;
    }
    UpdateScrollBars();
    Repaint();
}

void TCustomgxDBGrid::UpdateScrollBars() {
    TCustomgxDBTreeListControl::UpdateScrollBars();
    if (!IsBufferMode() || !link_->Active() || !IsVertScrollBar())
        return;
    db::TDataSet* dataset = DataSet();
    QScrollBar* bar = verticalScrollBar();
    const int page = std::max(1, GetVisibleRowCount());
    if (dataset->IsSequenced()) {
        const int count = static_cast<int>(std::max<std::int64_t>(1, dataset->RecordCount()));
        setVerticalScrollBarPolicy(count > page ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        bar->setRange(1, count);
        bar->setPageStep(page);
        bar->setValue(static_cast<int>(std::max<std::int64_t>(1, dataset->RecNo())));
    } else {
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        bar->setRange(0, 4);
        bar->setPageStep(1);
        bar->setValue(dataset->Bof() ? 0 : dataset->Eof() ? 4 : 2);
    }
}

void TCustomgxDBGrid::VerticalScrollAction(int action) {
    if (IsBufferMode() && link_->Active())
        BufferScroll(action);
    else
        TCustomgxDBTreeListControl::VerticalScrollAction(action);
}

void TCustomgxDBGrid::BufferScroll(int action) {
    if (!IsBufferMode() || !link_->Active())
        return;
    db::TDataSet* dataset = DataSet();
    const std::int64_t rows = std::max(1, GetVisibleRowCount());
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            dataset->MoveBy(-1 - link_->ActiveRecord());
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            dataset->MoveBy(link_->RecordCount() - link_->ActiveRecord());
            break;
        case QAbstractSlider::SliderPageStepSub:
            dataset->MoveBy(-rows);
            break;
        case QAbstractSlider::SliderPageStepAdd:
            dataset->MoveBy(rows);
            break;
        case QAbstractSlider::SliderToMinimum:
            dataset->First();
            break;
        case QAbstractSlider::SliderToMaximum:
            dataset->Last();
            break;
        case QAbstractSlider::SliderMove: {
            const int position = verticalScrollBar()->sliderPosition();
            if (dataset->IsSequenced()) {
                if (position <= 1)
                    dataset->First();
                else if (position >= dataset->RecordCount())
                    dataset->Last();
                else
                    dataset->SetRecNo(position);
            } else if (position == 0) {
                dataset->First();
            } else if (position == 1) {
                dataset->MoveBy(-rows);
            } else if (position == 3) {
                dataset->MoveBy(rows);
            } else if (position == 4) {
                dataset->Last();
            }
            break;
        }
        default:
            break;
    }
    UpdateScrollBars();
}

void TCustomgxDBGrid::resizeEvent(QResizeEvent* e) {
    TCustomgxDBTreeListControl::resizeEvent(e);
    if (IsBufferMode() && link_->Active())
        ui::Guarded([this] { UpdateBufferRows(); });
}

}  // namespace grid
