// Keeping the rows and the dataset's current record in step, in both directions.

#include <QFocusEvent>

#include <algorithm>

#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/ui/application.h"

namespace grid {

namespace {}  // namespace

void TCustomgxDBGrid::SyncFocusedNode() {
    if (IsBufferMode() || key_field_ == nullptr || !(grid_options_ & egoCanNavigation) ||
        loading_rows_ || !link_->Active())
        return;
    const db::Variant key = key_field_->Value();
    TgxTreeListNode* target = nullptr;
    if (group_columns_.empty()) {
        for (int i = 0; i < Count() && target == nullptr; ++i)
            if (db::VarCompare(static_cast<TgxDBGridNode*>(Items(i))->Key, key) == 0)
                target = Items(i);
        // The record moved to may be one a background load has not read yet.
        if (target == nullptr && background_load_ != nullptr) {
            LoadRemainingRows();
            for (int i = 0; i < Count() && target == nullptr; ++i)
                if (db::VarCompare(static_cast<TgxDBGridNode*>(Items(i))->Key, key) == 0)
                    target = Items(i);
        }
    } else {
        TgxTreeListNode* parent = nullptr;
        for (TgxDBTreeListColumn* column : group_columns_) {
            db::Variant value =
                column->Field() != nullptr ? column->Field()->Value() : db::Variant::Null();
            TgxTreeListNode* found = nullptr;
            int count = parent != nullptr ? parent->Count() : Count();
            for (int i = 0; i < count && found == nullptr; ++i) {
                TgxTreeListNode* n = parent != nullptr ? parent->Items(i) : Items(i);
                if (db::VarCompare(static_cast<TgxDBGridNode*>(n)->Extra().GroupValue, value) == 0)
                    found = n;
            }
            if (found == nullptr)
                break;
            parent = found;
            target = found;
        }
        if (parent != nullptr && target == parent) {
            for (int i = 0; i < parent->Count(); ++i) {
                auto* row = static_cast<TgxDBGridNode*>(parent->Items(i));
                if (!row->IsGroup && db::VarCompare(row->Key, key) == 0) {
                    target = row;
                    break;
                }
            }
        }
    }
    if (target == nullptr)
        return;
    if ((grid_options_ & egoSeekDetail) != 0)
        target = RecordRowOf(target);
    // The dataset is already there: focusing must not move it again.
    loading_rows_ = true;
    try {
        ShowRow(target);
        SetFocusedNodeColumn(target, GetFocusedColumn(), true);
    } catch (...) {
        loading_rows_ = false;
        throw;
    }
    loading_rows_ = false;
}

bool TCustomgxDBGrid::MoveDataSetToNode(TgxDBGridNode* old_node, TgxDBGridNode* new_node,
                                        bool use_locate, const db::Variant& row_key) {
    // A copy: the caller often passes the row's own key.
    const db::Variant key = row_key;
    db::TDataSet* dataset = DataSet();
    if (loading_rows_ || new_node == nullptr || dataset == nullptr || !link_->Active())
        return true;
    const bool current_has_key = key_field_ != nullptr && !dataset->IsEmpty() &&
                                 db::VarCompare(key_field_->Value(), key) == 0;
    if (new_node == old_node && current_has_key)
        return true;
    if (new_node == pending_node_ && dataset->State() == db::dsInsert)
        return true;
    if (!(grid_options_ & egoCanNavigation))
        return true;
    if (new_node->IsGroup)
        return true;
    const bool browse = dataset->State() == db::dsBrowse;
    loading_rows_ = browse;
    bool found = true;
    try {
        if (current_has_key) {
            // Already there.
        } else if (use_locate || key_field_ == nullptr || old_node == nullptr) {
            locating_ = true;
            found = key_field_ != nullptr && dataset->Locate(key_field_name_, key, {});
            locating_ = false;
        } else {
            TgxDBGridNode* from = old_node;
            if (dataset->State() == db::dsInsert && from == pending_node_) {
                TgxTreeListNode* n = from->GetPrev();
                while (n != nullptr && static_cast<TgxDBGridNode*>(n)->IsGroup)
                    n = n->GetPrev();
                if (n == nullptr) {
                    n = from->GetNext();
                    while (n != nullptr && static_cast<TgxDBGridNode*>(n)->IsGroup)
                        n = n->GetNext();
                }
                from = static_cast<TgxDBGridNode*>(n);
            }
            if (from != nullptr && from->IsGroup)
                from = RecordRowOf(from);
            // The relative move is only trusted from the record of the old row.
            if (from != nullptr && key_field_ != nullptr &&
                db::VarCompare(key_field_->Value(), from->Key) == 0) {
                moving_by_ = true;
                try {
                    dataset->MoveBy(static_cast<std::int64_t>(new_node->RecNo) - from->RecNo);
                } catch (...) {
                    moving_by_ = false;
                    throw;
                }
                moving_by_ = false;
            }
            // Another program may have added or removed rows meanwhile: the key decides.
            if (key_field_ != nullptr && db::VarCompare(key_field_->Value(), key) != 0) {
                locating_ = true;
                found = dataset->Locate(key_field_name_, key, {});
                locating_ = false;
            }
        }
    } catch (...) {
        loading_rows_ = false;
        locating_ = false;
        throw;
    }
    loading_rows_ = false;
    if (!found)
        return false;
    pending_node_ = new_node;
    pending_key_ = key;
    DataSetScrolled(0);
    return true;
}

void TCustomgxDBGrid::DoChangeNode(TgxTreeListNode* old_node, TgxTreeListNode* node) {
    if (!loading_rows_ && node != nullptr && IsBufferMode() && link_->Active()) {
        // A buffer row is a place in the link's window: the dataset moves there.
        int index = 0;
        while (index < Count() && Items(index) != node)
            ++index;
        if (index < Count() && index != link_->ActiveRecord())
            DataSet()->MoveBy(index - link_->ActiveRecord());
    } else if (!loading_rows_ && node != nullptr && !IsBufferMode()) {
        auto* row = static_cast<TgxDBGridNode*>(node);
        if (!MoveDataSetToNode(static_cast<TgxDBGridNode*>(old_node), row,
                               (grid_options_ & (egoUseLocate | egoSmartRefresh)) != 0, row->Key))
            record_lost_ = true;
    }
    TCustomgxDBTreeListControl::DoChangeNode(old_node, node);
}

void TCustomgxDBGrid::SetFocusedNodeColumn(TgxTreeListNode* node, int column, bool make_visible) {
    const int before_column = GetFocusedColumn();
    focus_returns_.push_back(GetFocusedNode());
    try {
        TCustomgxDBTreeListControl::SetFocusedNodeColumn(node, column, make_visible);
    } catch (...) {
        record_lost_ = false;
        TgxTreeListNode* const back = focus_returns_.back();
        focus_returns_.pop_back();
        const auto* row = static_cast<const TgxDBGridNode*>(back);
        // The dataset stayed on the record it could not post: its row takes the focus
        // again, or the next edit would go into that record under another row's name.
        db::TDataSet* dataset = DataSet();
        if (row != nullptr && row != GetFocusedNode() && State() != tsEditing && !row->IsGroup &&
            !IsBufferMode() && key_field_ != nullptr && dataset != nullptr && dataset->Active() &&
            !dataset->IsEmpty() && db::VarCompare(key_field_->Value(), row->Key) == 0) {
            loading_rows_ = true;
            try {
                TCustomgxDBTreeListControl::SetFocusedNodeColumn(back, before_column, true);
            } catch (...) {
                // The refusal that brought us here is the one to report.
            }
            loading_rows_ = false;
        } else if (IsBufferMode() && State() != tsEditing && link_->Active()) {
            // A buffer row is where the link's active record stands; the move that failed
            // left it there.
            const int active = link_->ActiveRecord();
            if (active >= 0 && active < Count() && Items(active) != GetFocusedNode()) {
                loading_rows_ = true;
                try {
                    TCustomgxDBTreeListControl::SetFocusedNodeColumn(Items(active), before_column,
                                                                     true);
                } catch (...) {
                    // The refusal that brought us here is the one to report.
                }
                loading_rows_ = false;
            }
        }
        throw;
    }
    focus_returns_.pop_back();
    if (record_lost_ && focus_returns_.empty()) {
        record_lost_ = false;
        // The row's record is gone (another program deleted it): the rows are read again and
        // the focus goes where the dataset stands, so that an edit never lands in another
        // record under this row's name.
        if (!IsBufferMode() && link_->Active() && UpdateLockCount() == 0) {
            RegroupInPlace();
            SyncFocusedNode();
        }
    }
}

void TCustomgxDBGrid::SetFocusedAbsoluteIndex(int index) {
    if (IsBufferMode()) {
        if (link_->Active())
            DataSet()->MoveBy(index - GetFocusedAbsoluteIndex());
        return;
    }
    TCustomgxDBTreeListControl::SetFocusedAbsoluteIndex(index);
}

bool TCustomgxDBGrid::LocateRecord(std::string_view key_fields, const db::Variant& key_values,
                                   db::TLocateOptions options) {
    db::TDataSet* dataset = DataSet();
    if (dataset == nullptr)
        return false;
    // Only where every record has its row can the found one be focused without a reload.
    if (!IsLoadAllMode() || key_field_ == nullptr || loading_rows_ || !link_->Active())
        return dataset->Locate(key_fields, key_values, options);
    locating_ = true;
    bool found = false;
    try {
        found = dataset->Locate(key_fields, key_values, options);
    } catch (...) {
        locating_ = false;
        throw;
    }
    locating_ = false;
    if (found)
        SyncFocusedNode();
    return found;
}

void TCustomgxDBGrid::KeepRowsThrough(const std::function<void()>& fn) {
    if (!IsLoadAllMode() || key_field_ == nullptr || loading_rows_ || !link_->Active()) {
        fn();
        return;
    }
    // The change the dataset reports meanwhile leaves the rows as they are.
    keeping_rows_ = true;
    try {
        fn();
    } catch (...) {
        keeping_rows_ = false;
        throw;
    }
    keeping_rows_ = false;
    // Mostly the record the user was on is current again, and its row has the focus.
    const auto* focused = static_cast<const TgxDBGridNode*>(GetFocusedNode());
    if (focused == nullptr || focused->IsGroup ||
        db::VarCompare(focused->Key, key_field_->Value()) != 0)
        SyncFocusedNode();
}

void TCustomgxDBGrid::DataSetScrolled(int distance) {
    db::TDataSet* dataset = DataSet();
    if (dataset == nullptr)
        return;
    if (!IsBufferMode()) {
        if (IsPartialLoadMode() && distance != 0 && partial_loading_ == 0 &&
            key_field_ != nullptr) {
            TgxDBGridNode* first = static_cast<TgxDBGridNode*>(GetFirstNode());
            TgxDBGridNode* last =
                static_cast<TgxDBGridNode*>(Count() > 0 ? Items(Count() - 1) : nullptr);
            const db::TBookmark current = dataset->Bookmark();
            int outside = 0;
            if (first != nullptr && !current.empty()) {
                if (dataset->CompareBookmarks(current, first->Bookmark) < 0)
                    outside = 1;
                else if (dataset->CompareBookmarks(current, last->Bookmark) > 0)
                    outside = 2;
            }
            if (outside != 0) {
                SaveSelection();
                try {
                    LoadPartialNodes(0, outside, false);
                } catch (...) {
                    DropSavedSelection();
                    throw;
                }
                DropSavedSelection();
            }
        }
        SyncFocusedNode();
        return;
    }
    if (!dataset->Bof() && !dataset->Eof() && State() != tsEditing) {
        UpdateBufferRows();
        if (std::abs(distance) > GetVisibleRowCount())
            Repaint();
        else
            InvalidateRect(GetNodesRect());
    }
    SyncBufferSelection();
    UpdateScrollBars();
}

void TCustomgxDBGrid::DataChanged() {
    db::TDataSet* dataset = DataSet();
    if (loading_rows_ || keeping_rows_ || dataset == nullptr)
        return;
    // A record the grid saw change is refreshed on its own once it is posted, instead of
    // reading every record again.
    bool refreshed = false;
    if (smart_refresh_request_ && (grid_options_ & egoSmartRefresh) && key_field_ != nullptr &&
        dataset->State() == db::dsBrowse && !IsBufferMode()) {
        smart_refresh_request_ = false;
        refreshed = RefreshCurrentRecordRow();
    }
    bool other_loading = false;
    for (TCustomgxDBGrid* g : LiveGrids())
        if (g != this && g->loading_rows_ && g->DataSet() == dataset)
            other_loading = true;
    // The grid's own move posted the record it leaves: the rows must outlive the move, so
    // they are not read again; the posted record's row and the sums take its values here.
    const bool own_move = moving_by_ || locating_;
    if ((other_loading && IsLoadAllMode()) || (own_move && !IsBufferMode())) {
        if (own_move && !refreshed && key_field_ != nullptr && dataset->State() == db::dsBrowse &&
            !RefreshCurrentRecordRow() && pending_node_ != nullptr &&
            pending_node_->Key.IsEmpty()) {
            // A new record's row takes the record it became.
            FillNode(pending_node_, pending_node_->RecNo);
            if (IsLoadAllMode())
                RecalcSummaries(pending_node_);
        }
        DataSetScrolled(0);
        return;
    }
    if (IsBufferMode()) {
        UpdateBufferRows();
        if (dataset->State() == db::dsInsert && (grid_options_ & egoResetColumnFocus))
            SetFocusedColumn(0);
        SyncBufferSelection();
    } else if (dataset->State() != db::dsEdit && dataset->State() != db::dsSetKey) {
        if (dataset->State() != db::dsInsert) {
            if (!refreshed)
                RegroupInPlace();
            if (!moving_by_)
                SyncFocusedNode();
        } else if (pending_node_ == nullptr || !pending_node_->Key.IsEmpty()) {
            // The new record's row stands after the focused row until it is posted.
            BeginUpdate();
            TgxTreeListNode* focused = GetFocusedNode();
            auto owned = CreateNode();
            auto* row = static_cast<TgxDBGridNode*>(owned.get());
            TgxTreeListNode* parent = focused != nullptr ? focused->Parent() : nullptr;
            int index = -1;
            if (focused != nullptr)
                index = focused->Index() + 1;
            AttachNode(std::move(owned), parent, index);
            row->Texts.assign(static_cast<std::size_t>(ColumnCount()));
            row->Key = db::Variant();
            row->RecNo = focused != nullptr ? static_cast<TgxDBGridNode*>(focused)->RecNo : 0;
            pending_node_ = row;
            loading_rows_ = true;
            SetFocusedNodeColumn(
                row, (grid_options_ & egoResetColumnFocus) ? 0 : GetFocusedColumn(), false);
            loading_rows_ = false;
            EndUpdate();
            ShowRow(row);
        }
    }
    if (dataset->State() != db::dsInsert)
        pending_node_ = nullptr;
    CheckChangeNodeEx();
}

bool TCustomgxDBGrid::RefreshCurrentRecordRow() {
    TgxDBGridNode* row = FindNodeByKeyValue(key_field_->Value());
    if (row == nullptr)
        return false;
    std::vector<db::Variant> before = GroupValuesOfNode(row);
    FillNode(row, row->RecNo);
    InvalidateRow(row);
    // A window keeps no summaries.
    if (IsPartialLoadMode())
        return true;
    if (GroupValuesOfNode(row) != before || !group_columns_.empty())
        RecalcSummaries(row);
    else
        RecalcSummaries(nullptr);
    return true;
}

void TCustomgxDBGrid::RecordChanged(db::TField*) {
    db::TDataSet* dataset = DataSet();
    if (dataset == nullptr)
        return;
    if (!IsBufferMode()) {
        if ((dataset->State() == db::dsInsert && pending_node_ == nullptr) ||
            dataset->State() == db::dsSetKey)
            return;
        auto* row = static_cast<TgxDBGridNode*>(GetFocusedNode());
        if (row == nullptr || row->IsGroup)
            return;
        db::Variant key = row->Key;
        std::int32_t rec_no = row->RecNo;
        db::TBookmark bookmark = row->Bookmark;
        FillNode(row, rec_no);
        if (dataset->State() == db::dsInsert) {
            row->Key = key;
            row->Bookmark = bookmark;
        }
        InvalidateRow(row);
        if ((grid_options_ & egoSmartRefresh) && dataset->State() == db::dsEdit)
            smart_refresh_request_ = true;
        if (pending_node_ == nullptr) {
            pending_node_ = row;
            pending_key_ = row->Key;
        }
    } else {
        InvalidateRect(GetNodesRect());
    }
    if (State() == tsEditing && InplaceEditor() != nullptr) {
        std::string text;
        GetEditText(text);
        if (EditingText() != text)
            SetEditingText(text);
    }
}

void TCustomgxDBGrid::UpdateData() {
    HideEditor();
}

void TCustomgxDBGrid::focusOutEvent(QFocusEvent* e) {
    TCustomgxDBTreeListControl::focusOutEvent(e);
    ui::Guarded([this] {
        db::TDataSet* dataset = DataSet();
        if (dataset == nullptr || !link_->Active())
            return;
        if (InplaceEditor() != nullptr &&
            InplaceEditor()->isAncestorOf(QApplication::focusWidget()))
            return;
        if ((grid_options_ & egoCancelOnExit) && dataset->State() == db::dsInsert &&
            !dataset->Modified() && !link_->IsModified()) {
            dataset->Cancel();
        } else {
            link_->UpdateRecord();
        }
    });
}

}  // namespace grid
