// In-place editing through the dataset, the keys that map to dataset operations, and the
// multi-selection kept as record bookmarks.

#include <QString>

#include <algorithm>

#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"

namespace grid {

namespace {
bool EditState(const db::TDataSet* dataset) {
    return dataset->State() == db::dsEdit || dataset->State() == db::dsInsert ||
           dataset->State() == db::dsSetKey;
}

bool BookmarkLess(const db::TDataSet* dataset, bool active, const db::TBookmark& a,
                  const db::TBookmark& b) {
    if (!active || dataset == nullptr)
        return true;
    return dataset->CompareBookmarks(a, b) < 0;
}
}  // namespace

bool TCustomgxDBGrid::IsEditing() const {
    const auto* row = static_cast<const TgxDBGridNode*>(GetFocusedNode());
    return TCustomgxDBTreeListControl::IsEditing() && row != nullptr && !row->IsGroup &&
           link_->Active();
}

void TCustomgxDBGrid::GetEditText(std::string& text) {
    text.clear();
    TgxDBTreeListColumn* c = GetColumn(GetVisibleColumnIndex(GetFocusedColumn()));
    if (c != nullptr && c->Field() != nullptr && link_->Active())
        text = c->GetFieldText(c->Field());
    edited_text_ = text;
}

int TCustomgxDBGrid::GetEditMaxLength() {
    db::TField* f = GetFocusedField();
    return f != nullptr && f->DataType() == db::ftString ? f->Size() : 0;
}

void TCustomgxDBGrid::GetEditMask(std::string& mask) {
    mask.clear();
    db::TField* f = GetFocusedField();
    if (f != nullptr && link_->Active())
        mask = f->EditMask();
}

bool TCustomgxDBGrid::IsValidEditChar(char32_t key) {
    db::TField* f = GetFocusedField();
    if (f == nullptr)
        return true;
    if (!link_->Active())
        return false;
    return f->IsValidChar(key);
}

bool TCustomgxDBGrid::CanEditModify() {
    if (!IsBufferMode() && !((grid_options_ & egoCanNavigation) && key_field_ != nullptr))
        return false;
    if (!link_->Active() || link_->ReadOnly() || GetVisibleColumnCount() == 0)
        return false;
    TgxDBTreeListColumn* c = GetColumn(GetVisibleColumnIndex(GetFocusedColumn()));
    if (c == nullptr || c->ReadOnly() || c->Field() == nullptr)
        return false;
    db::TField* f = c->Field();
    if (!f->CanModify())
        return false;
    if (f->IsBlob() && !c->CanEditBlob())
        return false;
    db::TDataSet* dataset = DataSet();
    if (!(grid_options_ & egoCanInsert) && dataset->Bof() && dataset->Eof())
        return false;
    link_->Edit();
    if (link_->Editing()) {
        link_->Modified();
        return true;
    }
    return false;
}

bool TCustomgxDBGrid::IsEditReadOnly() {
    if (TCustomgxDBTreeListControl::IsEditReadOnly())
        return true;
    db::TDataSet* dataset = DataSet();
    return dataset != nullptr && dataset->Active() && !(grid_options_ & egoCanInsert) &&
           dataset->IsEmpty();
}

void TCustomgxDBGrid::DoEditing(TgxTreeListNode* node, bool& allow) {
    TCustomgxDBTreeListControl::DoEditing(node, allow);
    const auto* row = static_cast<const TgxDBGridNode*>(node);
    allow = allow && row != nullptr && !row->IsGroup &&
            (IsBufferMode() || (grid_options_ & egoCanNavigation));
}

void TCustomgxDBGrid::DoEditedText(TgxTreeListNode* node, int column, const std::string& text) {
    edited_text_ = text;
    db::TDataSet* dataset = DataSet();
    const int absolute = GetVisibleColumnIndex(column);
    TgxDBTreeListColumn* c = GetColumn(absolute);
    if (c != nullptr && dataset != nullptr && link_->IsModified() && EditState(dataset)) {
        // A text the editor got from the field and gives back unchanged is not written: the
        // text of some values is shorter than the value (a double past 15 digits, a time's
        // milliseconds), and passing through a cell must not change what it holds.
        if (c->Field() == nullptr || text != c->GetFieldText(c->Field()))
            c->SetFieldText(c->Field(), text);
        else
            link_->ClearModified();
        auto* row = static_cast<TgxDBGridNode*>(node);
        if (row != nullptr && absolute >= 0 && c->Field() != nullptr) {
            row->Texts.Set(static_cast<std::size_t>(absolute), c->GetFieldDisplayText());
        }
    }
    TCustomgxDBTreeListControl::DoEditedText(node, column, text);
}

void TCustomgxDBGrid::BeginInsertRow(bool& done) {
    done = false;
    InsertRow();
    db::TDataSet* dataset = DataSet();
    if (dataset != nullptr && dataset->State() == db::dsInsert)
        done = true;
}

void TCustomgxDBGrid::InsertRow() {
    db::TDataSet* dataset = DataSet();
    if (dataset == nullptr || !dataset->Active() || !(grid_options_ & egoCanInsert) ||
        !(grid_options_ & egoCanNavigation))
        return;
    if (dataset->State() != db::dsInsert)
        dataset->Append();
    bool allow = true;
    if (OnEditing)
        OnEditing(this, GetFocusedNode(), allow);
}

bool TCustomgxDBGrid::QueryInsertState() const {
    db::TDataSet* dataset = DataSet();
    return TCustomgxDBTreeListControl::QueryInsertState() && dataset != nullptr &&
           dataset->State() == db::dsInsert;
}

std::string TCustomgxDBGrid::GetInsertRowText(int column) const {
    if (!IsNewItemRowActive() || GetFocusedNode() == nullptr)
        return {};
    return GetCellText(GetFocusedNode(), column);
}

int TCustomgxDBGrid::GetIndicatorKind(const TgxTreeListNode* node, bool selected) const {
    return TCustomgxDBTreeListControl::GetIndicatorKind(node, selected);
}

int TCustomgxDBGrid::SelectedIndexOf(const db::TBookmark& bookmark, bool& found) const {
    const db::TDataSet* dataset = DataSet();
    const bool active = link_->Active();
    auto it = std::lower_bound(selected_.begin(), selected_.end(), bookmark,
                               [&](const SelectedEntry& e, const db::TBookmark& b) {
                                   return BookmarkLess(dataset, active, e.bookmark, b);
                               });
    found = it != selected_.end() && it->bookmark == bookmark;
    return static_cast<int>(it - selected_.begin());
}

int TCustomgxDBGrid::SelectedIndexOfNode(const TgxTreeListNode* node) const {
    if (node == nullptr)
        return -1;
    const auto* row = static_cast<const TgxDBGridNode*>(node);
    if ((use_bookmarks_ || IsBufferMode()) && !row->IsGroup && !row->Bookmark.empty()) {
        bool found = false;
        int at = SelectedIndexOf(row->Bookmark, found);
        if (found && (selected_[static_cast<std::size_t>(at)].node == node || IsBufferMode()))
            return at;
    }
    if (selected_before_range_ != nullptr && !selected_before_range_->contains(node))
        return -1;
    for (std::size_t i = 0; i < selected_.size(); ++i)
        if (selected_[i].node == node)
            return static_cast<int>(i);
    return -1;
}

TgxTreeListNode* TCustomgxDBGrid::GetSelectedItem(int index) const {
    if (index < 0 || index >= GetSelectedCount())
        return nullptr;
    return selected_[static_cast<std::size_t>(index)].node;
}

db::TBookmark TCustomgxDBGrid::GetSelectedBookmark(int index) const {
    if (index < 0 || index >= GetSelectedCount())
        return {};
    return selected_[static_cast<std::size_t>(index)].bookmark;
}

bool TCustomgxDBGrid::IsNodeRecordSelected(const TgxTreeListNode* node) const {
    if (selected_.empty() || node == nullptr)
        return false;
    if (IsBufferMode()) {
        auto* self = const_cast<TCustomgxDBGrid*>(this);
        self->BeginNodeRecord(node);
        db::TBookmark bookmark = DataSet()->Bookmark();
        self->EndNodeRecord(node);
        bool found = false;
        SelectedIndexOf(bookmark, found);
        return found;
    }
    return SelectedIndexOfNode(node) >= 0;
}

void TCustomgxDBGrid::SelectNode(TgxTreeListNode* node, bool value) {
    if (!IsMultiSelect() || !link_->Active() || node == nullptr)
        return;
    auto* row = static_cast<TgxDBGridNode*>(node);
    if (use_bookmarks_ || IsBufferMode()) {
        db::TBookmark bookmark = row->Bookmark;
        if (IsBufferMode()) {
            BeginNodeRecord(node);
            bookmark = DataSet()->Bookmark();
            EndNodeRecord(node);
        }
        if (!IsBufferMode() && row->IsGroup) {
            if (!IsExtMultiSelect())
                return;
            bookmark.clear();
        }
        const int existing = SelectedIndexOfNode(node);
        if ((existing >= 0) == value)
            return;
        if (value) {
            if (!DoCanNodeSelected(node))
                return;
            bool found = false;
            int at = bookmark.empty() ? static_cast<int>(selected_.size())
                                      : SelectedIndexOf(bookmark, found);
            selected_.insert(selected_.begin() + at,
                             SelectedEntry{bookmark, IsBufferMode() ? nullptr : node});
        } else {
            selected_.erase(selected_.begin() + existing);
        }
    } else {
        const int existing = SelectedIndexOfNode(node);
        if ((existing >= 0) == value)
            return;
        if (value) {
            if (!DoCanNodeSelected(node))
                return;
            auto it = std::lower_bound(
                selected_.begin(), selected_.end(), node,
                [](const SelectedEntry& e, const TgxTreeListNode* n) { return e.node < n; });
            selected_.insert(it, SelectedEntry{{}, node});
        } else {
            selected_.erase(selected_.begin() + existing);
        }
    }
    InvalidateRow(node);
    TCustomgxDBTreeListControl::SelectNode(node, value);
}

bool TCustomgxDBGrid::DoCanNodeSelected(TgxTreeListNode* node) {
    bool allow = true;
    if (OnCanNodeSelected)
        OnCanNodeSelected(this, node, allow);
    if (allow && !IsBufferMode() && !IsExtMultiSelect()) {
        auto* focused = static_cast<TgxDBGridNode*>(GetFocusedNode());
        if (focused != nullptr && node != nullptr)
            allow = focused->IsGroup == static_cast<TgxDBGridNode*>(node)->IsGroup;
    }
    return allow;
}

void TCustomgxDBGrid::SelectRange(TgxTreeListNode* from, TgxTreeListNode* to) {
    db::TDataSet* dataset = DataSet();
    if (dataset == nullptr || EditState(dataset) || !IsMultiSelect() || from == nullptr ||
        to == nullptr)
        return;
    // Each row of a range of loaded rows asks whether it is selected already: without this a
    // range of 100,000 rows searched the growing list once per row.
    std::unordered_set<const TgxTreeListNode*> selected_already;
    struct RangeScope {
        const std::unordered_set<const TgxTreeListNode*>*& slot;
        ~RangeScope() { slot = nullptr; }
    } scope{selected_before_range_};
    const auto over_loaded_rows = [&] {
        for (const SelectedEntry& e : selected_)
            selected_already.insert(e.node);
        selected_before_range_ = &selected_already;
    };
    BeginSelection();
    try {
        if (!(use_bookmarks_ || IsBufferMode())) {
            BeginUpdate();
            int a = GetAbsoluteIndex(from);
            int b = GetAbsoluteIndex(to);
            if (a > b)
                std::swap(a, b);
            RebuildVisibleNodeCache();
            over_loaded_rows();
            for (int i = a; i <= b; ++i)
                if (TgxTreeListNode* n = GetAbsoluteNode(i))
                    SelectNode(n, true);
            EndUpdate();
        } else if (IsBufferMode()) {
            TCustomgxDBTreeListControl::SelectRange(from, to);
        } else if (IsPartialLoadMode()) {
            if (anchor_bookmark_.empty())
                anchor_bookmark_ = static_cast<TgxDBGridNode*>(from)->Bookmark;
            MoveDataSetToNode(static_cast<TgxDBGridNode*>(GetFocusedNode()),
                              static_cast<TgxDBGridNode*>(to), true,
                              static_cast<TgxDBGridNode*>(to)->Key);
            SaveSelection();
            try {
                LoadPartialNodes(0, 0, true);
            } catch (...) {
                DropSavedSelection();
                throw;
            }
            DropSavedSelection();
        } else if (link_->Active()) {
            RebuildVisibleNodeCache();
            int a = GetAbsoluteIndex(from);
            int b = GetAbsoluteIndex(to);
            if (a > b)
                std::swap(a, b);
            TgxTreeListNode* before = GetFocusedNode();
            dataset->DisableControls();
            BeginUpdate();
            try {
                RebuildVisibleNodeCache();
                over_loaded_rows();
                TgxTreeListNode* n = GetAbsoluteNode(a);
                for (int i = 0; i <= b - a && n != nullptr; ++i) {
                    SelectNode(n, true);
                    n = GetNextVisibleNode(n);
                }
            } catch (...) {
                EndUpdate();
                dataset->EnableControls();
                throw;
            }
            EndUpdate();
            loading_rows_ = true;
            dataset->EnableControls();
            loading_rows_ = false;
            if (before != nullptr)
                SetFocusedNodeColumn(before, GetFocusedColumn(), false);
        }
    } catch (...) {
        EndSelection();
        throw;
    }
    EndSelection();
}

void TCustomgxDBGrid::ClearSelection() {
    if (!selected_.empty()) {
        if (!IsDestroying())
            for (const SelectedEntry& e : selected_)
                InvalidateRow(e.node);
        selected_.clear();
    }
    TCustomgxDBTreeListControl::ClearSelection();
}

void TCustomgxDBGrid::DoDeletion(TgxTreeListNode* node, TgxTreeListNode* previous, bool repaint,
                                 bool last, TgxTreeListNode* next) {
    if (node == pending_node_)
        pending_node_ = nullptr;
    if (node == anchor_row_)
        anchor_row_ = nullptr;
    std::replace(focus_returns_.begin(), focus_returns_.end(), node,
                 static_cast<TgxTreeListNode*>(nullptr));
    if (!IsClearing()) {
        int at = SelectedIndexOfNode(node);
        if (at >= 0 && !(use_bookmarks_ || IsBufferMode()))
            selected_.erase(selected_.begin() + at);
        else if (at >= 0)
            selected_[static_cast<std::size_t>(at)].node = nullptr;
    }
    TCustomgxDBTreeListControl::DoDeletion(node, previous, repaint, last, next);
}

void TCustomgxDBGrid::SaveSelection() {
    auto saved = std::make_unique<SavedSelection>();
    saved->by_bookmark = use_bookmarks_ || IsBufferMode();
    for (const SelectedEntry& e : selected_) {
        if (saved->by_bookmark) {
            if (!e.bookmark.empty())
                saved->bookmarks.push_back(e.bookmark);
        } else if (e.node != nullptr) {
            saved->keys.push_back(static_cast<TgxDBGridNode*>(e.node)->Key);
        }
    }
    std::sort(saved->keys.begin(), saved->keys.end(),
              [](const db::Variant& a, const db::Variant& b) { return db::VarCompare(a, b) < 0; });
    saved_selection_ = std::move(saved);
}

void TCustomgxDBGrid::DropSavedSelection() {
    saved_selection_.reset();
}

bool TCustomgxDBGrid::TakeFromSavedSelection(TgxDBGridNode* node) {
    if (!saved_selection_ || node->IsGroup)
        return false;
    db::TDataSet* dataset = DataSet();
    std::vector<bool>& taken = saved_selection_->taken;
    // The first entry equal to the row's that no row has taken yet.
    const auto take = [&taken](auto first, auto it, auto last, const auto& equal) {
        taken.resize(static_cast<std::size_t>(last - first));
        for (; it != last && equal(*it); ++it) {
            const auto at = static_cast<std::size_t>(it - first);
            if (!taken[at]) {
                taken[at] = true;
                return true;
            }
        }
        return false;
    };
    if (saved_selection_->by_bookmark) {
        auto& list = saved_selection_->bookmarks;
        auto it = std::lower_bound(list.begin(), list.end(), node->Bookmark,
                                   [&](const db::TBookmark& a, const db::TBookmark& b) {
                                       return BookmarkLess(dataset, true, a, b);
                                   });
        if (!take(list.begin(), it, list.end(),
                  [&](const db::TBookmark& b) { return b == node->Bookmark; }))
            return false;
        bool found = false;
        int at = SelectedIndexOf(node->Bookmark, found);
        if (!found)
            selected_.insert(selected_.begin() + at, SelectedEntry{node->Bookmark, node});
        return true;
    }
    auto& keys = saved_selection_->keys;
    auto it = std::lower_bound(
        keys.begin(), keys.end(), node->Key,
        [](const db::Variant& a, const db::Variant& b) { return db::VarCompare(a, b) < 0; });
    if (!take(keys.begin(), it, keys.end(),
              [&](const db::Variant& k) { return db::VarCompare(k, node->Key) == 0; }))
        return false;
    auto pos = std::lower_bound(
        selected_.begin(), selected_.end(), node,
        [](const SelectedEntry& e, const TgxTreeListNode* n) { return e.node < n; });
    selected_.insert(pos, SelectedEntry{{}, node});
    return true;
}

bool TCustomgxDBGrid::ConfirmDelete() {
    if (!(grid_options_ & egoConfirmDelete))
        return true;
    const char* text = GetSelectedCount() > 1 ? "Delete all selected records?" : "Delete record?";
    return ui::MessageBox(text, "Confirm", ui::mtConfirmation, ui::mbOKCancel) == ui::mrOk;
}

void TCustomgxDBGrid::DeleteNodeRecord(TgxDBGridNode* node) {
    db::TDataSet* dataset = DataSet();
    if (node == nullptr || node->IsGroup || dataset == nullptr)
        return;
    const db::Variant key = node->Key;
    bool there = false;
    if (key_field_ != nullptr && !dataset->IsEmpty() &&
        db::VarCompare(key_field_->Value(), key) == 0) {
        there = true;
    } else if (grid_options_ & (egoUseLocate | egoSmartRefresh)) {
        there = key_field_ != nullptr && dataset->Locate(key_field_name_, key, {});
    } else {
        there = MoveDataSetToNode(static_cast<TgxDBGridNode*>(GetFocusedNode()), node, false, key);
        there = there && key_field_ != nullptr && db::VarCompare(key_field_->Value(), key) == 0;
    }
    if (!there) {
        // The record is gone (another program deleted it): nothing is deleted, rows reload.
        RegroupInPlace();
        return;
    }
    pending_node_ = node;
    dataset->Delete();
}

void TCustomgxDBGrid::DeleteFocusedRecord() {
    DeleteNodeRecord(static_cast<TgxDBGridNode*>(GetFocusedNode()));
}

bool TCustomgxDBGrid::DeleteSelection() {
    TCustomgxDBTreeListControl::DeleteSelection();
    db::TDataSet* dataset = DataSet();
    if (!link_->Active() || dataset == nullptr)
        return true;
    HideEditor();
    force_regroup_ = true;
    std::vector<SelectedEntry> entries = selected_;
    const db::TBookmark back = dataset->Bookmark();
    dataset->DisableControls();
    try {
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            auto* row = static_cast<TgxDBGridNode*>(it->node);
            if (row != nullptr && row->IsGroup)
                continue;
            if (use_bookmarks_ || IsBufferMode()) {
                if (it->bookmark.empty() || !dataset->BookmarkValid(it->bookmark))
                    continue;
                dataset->GotoBookmark(it->bookmark);
                // A bookmark that another program's change moved to another record is not
                // trusted: the row's key decides.
                if (row != nullptr && key_field_ != nullptr &&
                    db::VarCompare(key_field_->Value(), row->Key) != 0 &&
                    !dataset->Locate(key_field_name_, row->Key, {}))
                    continue;
                dataset->Delete();
            } else if (row != nullptr && key_field_ != nullptr) {
                if (dataset->Locate(key_field_name_, row->Key, {}))
                    dataset->Delete();
            }
        }
        if (!back.empty() && dataset->BookmarkValid(back))
            dataset->GotoBookmark(back);
    } catch (...) {
        selected_.clear();
        dataset->EnableControls();
        force_regroup_ = false;
        throw;
    }
    selected_.clear();
    dataset->EnableControls();
    force_regroup_ = false;
    return true;
}

void TCustomgxDBGrid::DoSelectedCountChange() {
    TCustomgxDBTreeListControl::DoSelectedCountChange();
    if (!IsDestroying() && OnChangeNodeEx)
        CheckChangeNodeEx();
}

void TCustomgxDBGrid::TakeChangeSnapshot() {
    auto* row = static_cast<TgxDBGridNode*>(GetFocusedNode());
    db::TDataSet* dataset = DataSet();
    if (row == nullptr || dataset == nullptr || !dataset->Active()) {
        snapshot_key_ = db::Variant::Null();
        snapshot_level_ = -1;
        snapshot_group_ = false;
        return;
    }
    snapshot_key_ = key_field_ != nullptr ? key_field_->Value() : db::Variant::Null();
    snapshot_level_ = row->Level();
    snapshot_group_ = row->IsGroup;
}

void TCustomgxDBGrid::CheckChangeNodeEx() {
    if (!OnChangeNodeEx)
        return;
    db::Variant key = snapshot_key_;
    int level = snapshot_level_;
    bool group = snapshot_group_;
    TakeChangeSnapshot();
    bool differ = level != snapshot_level_ || group != snapshot_group_ ||
                  key.VarType() != snapshot_key_.VarType() ||
                  db::VarCompare(key, snapshot_key_) != 0;
    if (differ && link_->Active())
        OnChangeNodeEx(this, GetFocusedNode());
}

bool TCustomgxDBGrid::RecordMatchesText(TgxDBTreeListColumn* column, std::string_view text) const {
    if (column == nullptr || column->Field() == nullptr)
        return false;
    return StartsWithText(column->Field()->Text(), text);
}

bool TCustomgxDBGrid::SearchOutsideNodes(int visible_column, const std::string& text, int direction,
                                         TgxTreeListNode*& found) {
    const bool on_dataset = IsBufferMode() || (IsPartialLoadMode() && !(start_read_ && end_read_));
    if (!on_dataset)
        return false;
    TgxDBTreeListColumn* column = GetColumn(GetVisibleColumnIndex(visible_column));
    TgxTreeListNode* node = nullptr;
    const bool matched = FindNodeByText(column, text, node, direction != 0, direction == 1);
    found = matched ? GetFocusedNode() : nullptr;
    return true;
}

bool TCustomgxDBGrid::FindNodeByText(TgxDBTreeListColumn* column, std::string_view text,
                                     TgxTreeListNode*& node, bool continue_search, bool backward) {
    db::TDataSet* dataset = DataSet();
    const bool on_dataset = IsBufferMode() || (IsPartialLoadMode() && !(start_read_ && end_read_));
    if (on_dataset) {
        if (dataset == nullptr || !dataset->Active() || dataset->IsEmpty() || text.empty())
            return false;
        if (!continue_search && RecordMatchesText(column, text))
            return true;
        const db::TBookmark start = dataset->Bookmark();
        bool found = false;
        dataset->DisableControls();
        try {
            while (true) {
                if (backward) {
                    dataset->Prior();
                    if (dataset->Bof())
                        dataset->Last();
                } else {
                    dataset->Next();
                    if (dataset->Eof())
                        dataset->First();
                }
                if (dataset->Bookmark() == start)
                    break;
                if (RecordMatchesText(column, text)) {
                    found = true;
                    break;
                }
            }
            if (!found && dataset->BookmarkValid(start))
                dataset->GotoBookmark(start);
        } catch (...) {
            dataset->EnableControls();
            throw;
        }
        dataset->EnableControls();
        node = GetFocusedNode();
        return found;
    }
    // Over the loaded rows.
    TgxTreeListNode* start = node != nullptr ? node : GetFirstNode();
    if (start == nullptr || column == nullptr)
        return false;
    auto matches = [&](TgxTreeListNode* n) {
        return StartsWithText(GetCellText(n, column->GetIndex()), text);
    };
    TgxTreeListNode* n = continue_search ? start->GetNext() : start;
    for (; n != nullptr; n = n->GetNext())
        if (!static_cast<TgxDBGridNode*>(n)->IsGroup && matches(n)) {
            node = n;
            return true;
        }
    return false;
}

void TCustomgxDBGrid::ExtendBufferSelection(const std::function<void()>& move) {
    db::TDataSet* dataset = DataSet();
    if (dataset->IsEmpty()) {
        move();
        return;
    }
    if (anchor_bookmark_.empty() || !dataset->BookmarkValid(anchor_bookmark_))
        anchor_bookmark_ = dataset->Bookmark();
    move();
    // Every record from the anchor to where the dataset now stands, in the dataset's order.
    const db::TBookmark end = dataset->Bookmark();
    const std::int64_t row = link_->ActiveRecord();
    const bool forward = dataset->CompareBookmarks(anchor_bookmark_, end) <= 0;
    const db::TBookmark& from = forward ? anchor_bookmark_ : end;
    const db::TBookmark& to = forward ? end : anchor_bookmark_;
    std::vector<SelectedEntry> walked;
    dataset->DisableControls();
    try {
        dataset->GotoBookmark(from);
        while (!dataset->Eof()) {
            walked.push_back(SelectedEntry{dataset->Bookmark(), nullptr});
            if (dataset->CompareBookmarks(dataset->Bookmark(), to) >= 0)
                break;
            dataset->Next();
        }
        dataset->GotoBookmark(end);
    } catch (...) {
        dataset->EnableControls();
        throw;
    }
    dataset->EnableControls();
    selected_ = std::move(walked);
    KeepBufferRow(row);
    InvalidateRect(GetNodesRect());
    DoSelectedCountChange();
}

void TCustomgxDBGrid::KeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == 0)
        return;
    BeginSelection();
    struct EndSel {
        TCustomgxDBGrid* grid;
        ~EndSel() { grid->EndSelection(); }
    } end_selection{this};

    TakeKeyAnchor(shift);
    if (State() == tsEditing &&
        (key == ui::VK_BACK || key == ui::VK_ESCAPE || key == ui::VK_DELETE ||
         (key == ui::VK_RETURN && (shift & (ui::ssShift | ui::ssCtrl)) != 0))) {
        TCustomgxDBTreeListControl::KeyDown(key, shift);
        return;
    }
    if (link_->Active() && DataSet() != nullptr && DataSetKey(key, shift))
        return;
    TCustomgxDBTreeListControl::KeyDown(key, shift);
}

void TCustomgxDBGrid::TakeKeyAnchor(ui::TShiftState shift) {
    const bool shift_held = (shift & ui::ssShift) != 0;
    if (IsPartialLoadMode() && shift_held && link_->Active()) {
        if (auto* row = static_cast<TgxDBGridNode*>(GetFocusedNode())) {
            anchor_row_ = row;
            if (anchor_bookmark_.empty())
                anchor_bookmark_ = row->Bookmark;
        }
    } else if (IsBufferMode() && shift_held && link_->Active() && anchor_bookmark_.empty()) {
        // A range of buffer rows grows from the record it started on.
        anchor_bookmark_ = DataSet()->Bookmark();
    } else if (!shift_held) {
        anchor_bookmark_.clear();
    }
}

bool TCustomgxDBGrid::DataSetKey(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_DELETE && (shift & ui::ssCtrl) != 0 && !IsNewItemRowActive()) {
        key = 0;
        DeleteKey();
        return true;
    }
    // The tree list's own Escape follows: it ends a search, else clears the selection.
    if (key == ui::VK_ESCAPE && State() != tsEditing)
        link_->Reset();
    return IsBufferMode() ? BufferModeKey(key, shift) : LoadedRowsKey(key, shift);
}

void TCustomgxDBGrid::DeleteKey() {
    db::TDataSet* dataset = DataSet();
    auto* focused = static_cast<TgxDBGridNode*>(GetFocusedNode());
    const bool modifiable = dataset->CanModify() && !link_->ReadOnly();
    if (!(grid_options_ & egoCanDelete) || !(grid_options_ & egoCanNavigation) ||
        IsEditReadOnly() || focused == nullptr || focused->IsGroup || dataset->IsEmpty() ||
        !modifiable)
        return;
    if (!ConfirmDelete())
        return;
    // With a selection only the selected rows go, never an unselected focused one.
    if (GetSelectedCount() >= 1)
        DeleteSelection();
    else
        DeleteFocusedRecord();
}

bool TCustomgxDBGrid::BufferModeKey(std::uint16_t& key, ui::TShiftState shift) {
    const bool consumed =
        ((key == ui::VK_UP || key == ui::VK_DOWN) && BufferUpDownKey(key, shift)) ||
        ((key == ui::VK_PRIOR || key == ui::VK_NEXT) && BufferPageKey(key, shift)) ||
        ((key == ui::VK_HOME || key == ui::VK_END) && BufferHomeEndKey(key, shift));
    if (consumed)
        return true;
    if (key == ui::VK_INSERT && (shift & ui::ssCtrl) == 0 && (grid_options_ & egoCanInsert) &&
        (grid_options_ & egoCanNavigation)) {
        ClearSelection();
        DataSet()->Insert();
        key = 0;
        return true;
    }
    return false;
}

bool TCustomgxDBGrid::BufferUpDownKey(std::uint16_t& key, ui::TShiftState shift) {
    db::TDataSet* dataset = DataSet();
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    const bool shift_held = (shift & ui::ssShift) != 0;
    if (shift_held && !ctrl && IsMultiSelect() && dataset->State() == db::dsBrowse &&
        State() != tsEditing) {
        // The range is of records, not of buffer rows, which show other records once the
        // buffer scrolls.
        ExtendBufferSelection([&] { dataset->MoveBy(key == ui::VK_UP ? -1 : 1); });
        key = 0;
        return true;
    }
    const bool modifiable = dataset->CanModify() && !link_->ReadOnly();
    if (!(grid_options_ & egoEditing) || (grid_options_ & egoRowSelect) || !modifiable)
        return false;
    // Text typed into the new record's editor goes into the field first.
    if (State() == tsEditing && dataset->State() == db::dsInsert) {
        HideEditorAndFocus();
        if (State() == tsEditing) {
            key = 0;
            return true;
        }
    }
    // An untouched new record goes back by Up only at the end, by Down only between rows;
    // otherwise the move itself leaves it.
    if (dataset->State() == db::dsInsert && !dataset->Modified() &&
        (key == ui::VK_UP) == dataset->Eof()) {
        dataset->Cancel();
        key = 0;
        return true;
    }
    // From the last row Down steps the dataset on itself, which finds its end.
    TgxTreeListNode* focused = GetFocusedNode();
    if (key == ui::VK_DOWN && focused != nullptr && IsLastNode(focused)) {
        dataset->Next();
        if (dataset->Eof() && (grid_options_ & egoCanAppend) && (grid_options_ & egoCanInsert)) {
            if (GetSelectedCount() == 1)
                SelectNode(GetSelectedItem(0), false);
            dataset->Append();
        }
        key = 0;
        return true;
    }
    return false;
}

bool TCustomgxDBGrid::BufferPageKey(std::uint16_t& key, ui::TShiftState shift) {
    if ((shift & ui::ssCtrl) != 0 || IsNewItemRowActive() || Count() == 0)
        return false;
    // The rows are the link's buffer: a page moves the dataset, which scrolls the buffer,
    // instead of stopping at its last row.
    HideEditor();
    if (State() == tsEditing) {
        key = 0;
        return true;
    }
    db::TDataSet* dataset = DataSet();
    const int index = std::max(0, GetFocusedAbsoluteIndex());
    const int top = std::max(0, GetTopIndex());
    const int rows = GetVisibleRowCount();
    const int last_visible = std::min(Count() - 1, top + std::max(1, rows) - 1);
    const bool down = key == ui::VK_NEXT;
    int distance = (down ? 1 : -1) * std::max(1, rows - 1);
    if (index > top && index < last_visible)
        distance = (down ? last_visible : top) - index;
    if ((shift & ui::ssShift) != 0 && IsMultiSelect()) {
        ExtendBufferSelection([&] { dataset->MoveBy(distance); });
    } else {
        dataset->MoveBy(distance);
        ClearSelection();
    }
    key = 0;
    return true;
}

bool TCustomgxDBGrid::BufferHomeEndKey(std::uint16_t& key, ui::TShiftState shift) {
    db::TDataSet* dataset = DataSet();
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    const bool shift_held = (shift & ui::ssShift) != 0;
    auto to_edge = [&] {
        if (key == ui::VK_HOME)
            dataset->First();
        else
            dataset->Last();
    };
    if (shift_held && IsMultiSelect()) {
        ExtendBufferSelection(to_edge);
        key = 0;
        return true;
    }
    if (shift_held || !(ctrl || (grid_options_ & egoRowSelect)))
        return false;
    to_edge();
    if (!ctrl) {
        ClearSelection();
        if (GetFocusedNode() != nullptr)
            SelectNode(GetFocusedNode(), true);
    }
    key = 0;
    return true;
}

bool TCustomgxDBGrid::LoadedRowsKey(std::uint16_t& key, ui::TShiftState shift) {
    db::TDataSet* dataset = DataSet();
    auto* focused = static_cast<TgxDBGridNode*>(GetFocusedNode());
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    if ((key == ui::VK_HOME || key == ui::VK_END) && PartialEdgeKey(key, shift))
        return true;
    if (!(grid_options_ & egoRowSelect) && !IsNewItemRowActive() && focused != nullptr &&
        focused->IsGroup && (key == ui::VK_LEFT || key == ui::VK_RIGHT)) {
        if (key == ui::VK_LEFT)
            focused->Collapse(false);
        else
            focused->Expand(false);
        key = 0;
        return true;
    }
    const bool modifiable = dataset->CanModify() && !link_->ReadOnly();
    if (key == ui::VK_INSERT && !ctrl && !(grid_options_ & egoRowSelect) &&
        (grid_options_ & egoCanInsert) && (grid_options_ & egoCanNavigation) && modifiable) {
        HideEditor();
        ClearSelection();
        dataset->Insert();
        ShowEditor();
        key = 0;
        return true;
    }
    if ((key == ui::VK_UP || key == ui::VK_DOWN) && LoadedUpDownKey(key))
        return true;
    if ((grid_options_ & egoRowSelect) && focused != nullptr && !focused->IsGroup &&
        (key == ui::VK_LEFT || key == ui::VK_RIGHT)) {
        SetLeftCoord(LeftCoord() + (key == ui::VK_LEFT ? -ZeroWidth() * 2 : ZeroWidth() * 2));
        key = 0;
        return true;
    }
    return false;
}

bool TCustomgxDBGrid::PartialEdgeKey(std::uint16_t& key, ui::TShiftState shift) {
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    const bool shift_held = (shift & ui::ssShift) != 0;
    const bool to_edge = (ctrl || shift_held || (grid_options_ & egoRowSelect)) &&
                         !IsNewItemRowActive() && State() != tsEditing;
    if (!to_edge || !IsPartialLoadMode() || GetFocusedNode() == nullptr ||
        (key == ui::VK_HOME ? start_read_ : end_read_))
        return false;
    // The window does not reach that end of the table: the table goes there and the window
    // follows, as a jump to the last loaded row would stop short.
    if (key == ui::VK_HOME)
        DataSet()->First();
    else
        DataSet()->Last();
    if (shift_held && IsMultiSelect()) {
        // As a range within the window: from the anchor to here, nothing else.
        ClearSelection();
        if (TgxTreeListNode* row = GetFocusedNode())
            SelectRange(row, row);
    } else if (!ctrl) {
        ClearSelection();
        SetSelectionAnchor(GetFocusedNode());
    }
    key = 0;
    return true;
}

bool TCustomgxDBGrid::LoadedUpDownKey(std::uint16_t& key) {
    db::TDataSet* dataset = DataSet();
    if (State() == tsEditing && dataset->State() == db::dsInsert) {
        // Text typed into the new record's editor changes the record: it goes into the field
        // before the record is judged untouched.
        HideEditorAndFocus();
        if (State() == tsEditing) {
            key = 0;
            return true;
        }
    }
    TgxTreeListNode* focused = GetFocusedNode();
    if (key == ui::VK_UP && EditState(dataset)) {
        // Only a record appended at the end goes back unwritten; one inserted between rows
        // is left to the move, as any other row is.
        if (dataset->State() == db::dsInsert && !dataset->Modified() && dataset->Eof()) {
            dataset->Cancel();
            key = 0;
            return true;
        }
        if (focused != nullptr && focused == GetFirstNode()) {
            dataset->Post();
            key = 0;
            return true;
        }
    }
    if (key == ui::VK_DOWN && focused != nullptr && IsLastNode(focused)) {
        if (dataset->State() == db::dsInsert && !dataset->Modified()) {
            key = 0;
            return true;
        }
        const bool modifiable = dataset->CanModify() && !link_->ReadOnly();
        if ((grid_options_ & egoCanAppend) && (grid_options_ & egoCanInsert) && modifiable) {
            if (GetSelectedCount() == 1)
                SelectNode(GetSelectedItem(0), false);
            dataset->Append();
            key = 0;
            return true;
        }
        if (EditState(dataset))
            dataset->Post();
    }
    return false;
}

}  // namespace grid
