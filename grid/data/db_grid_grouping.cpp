// Grouping by column values: the group list, its lock, regrouping, the group panel and
// sorting of grouped or fully loaded rows.

#include <QElapsedTimer>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <map>

#include "grid/core/draw_utils.h"
#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/db/names.h"

namespace grid {

void TCustomgxDBGrid::BeginGrouping() {
    if (grouping_lock_ == 0) {
        grouping_field_names_.clear();
        for (TgxDBTreeListColumn* c : group_columns_)
            grouping_field_names_.push_back(c->FieldName());
        grouping_locked_in_buffer_mode_ = IsBufferMode();
    }
    ++grouping_lock_;
}

void TCustomgxDBGrid::EndGrouping() {
    if (grouping_lock_ <= 0)
        return;
    if (--grouping_lock_ > 0)
        return;
    if (grouping_locked_in_buffer_mode_)
        grouping_changed_ = false;
    bool differ = grouping_field_names_.size() != group_columns_.size();
    for (std::size_t i = 0; !differ && i < group_columns_.size(); ++i)
        differ = !db::SameName(grouping_field_names_[i], group_columns_[i]->FieldName());
    if (differ)
        ReloadAll();
    else
        RegroupInPlace();
}

bool TCustomgxDBGrid::CanAddGroupColumn(TgxDBTreeListColumn* column) {
    if (default_fields_)
        return false;
    if (!regrouping_) {
        if (column == nullptr || column->DisableGrouping())
            return false;
        if (column->Field() != nullptr && column->Field()->IsBlob())
            return false;
        if (column->Visible() && GetVisibleColumnCount() <= 1)
            return false;
    }
    if (column == nullptr)
        return false;
    for (TgxDBTreeListColumn* g : group_columns_) {
        if (g == column)
            return false;
        if (column->Field() != nullptr && g->Field() == column->Field())
            return false;
        if (column->Field() == nullptr && !column->FieldName().empty() &&
            db::SameName(g->FieldName(), column->FieldName()))
            return false;
    }
    bool allow = true;
    if (OnAddGroupColumn)
        OnAddGroupColumn(this, column, allow);
    return allow;
}

void TCustomgxDBGrid::AddGroupColumn(int index, TgxDBTreeListColumn* column) {
    if (!CanAddGroupColumn(column))
        return;
    index = std::clamp(index, 0, GetGroupColumnCount());
    // The rows of a buffer or partial grid are not all the records: its first grouping reads.
    const bool all_rows_loaded = !IsBufferMode() && !IsPartialLoadMode();
    group_columns_.insert(group_columns_.begin() + index, column);
    for (std::size_t i = 0; i < group_columns_.size(); ++i)
        group_columns_[i]->StoreGroupIndex(static_cast<int>(i));
    if (all_rows_loaded)
        grouping_changed_ = true;
    if (column->Sorted() == csNone)
        column->SetSorted(csUp);
    if (!(grid_options_ex_ & egoNotHideColumn))
        column->SetVisible(false);
    if (grouping_lock_ == 0)
        ReloadAll();
}

void TCustomgxDBGrid::RemoveGroupColumn(int index) {
    if (index < 0 || index >= GetGroupColumnCount())
        return;
    TgxDBTreeListColumn* column = group_columns_[static_cast<std::size_t>(index)];
    column->SetVisible(true);
    column->SetSorted(csNone);
    column->StoreGroupIndex(-1);
    group_columns_.erase(group_columns_.begin() + index);
    for (std::size_t i = 0; i < group_columns_.size(); ++i)
        group_columns_[i]->StoreGroupIndex(static_cast<int>(i));
    grouping_changed_ = true;
    if (grouping_lock_ == 0)
        ReloadAll();
}

void TCustomgxDBGrid::ClearGrouping() {
    BeginUpdate();
    BeginGrouping();
    try {
        while (!group_columns_.empty())
            RemoveGroupColumn(GetGroupColumnCount() - 1);
    } catch (...) {
        EndGrouping();
        EndUpdate();
        throw;
    }
    EndGrouping();
    EndUpdate();
}

void TCustomgxDBGrid::ChangeColumnGroupIndex(TgxDBTreeListColumn* column, int new_index) {
    if (column == nullptr)
        return;
    if (new_index == column->GroupIndex() && !regrouping_)
        return;
    BeginUpdate();
    BeginGrouping();
    try {
        auto it = std::find(group_columns_.begin(), group_columns_.end(), column);
        if (it != group_columns_.end())
            RemoveGroupColumn(static_cast<int>(it - group_columns_.begin()));
        if (new_index != -1)
            AddGroupColumn(new_index, column);
    } catch (...) {
        EndGrouping();
        EndUpdate();
        throw;
    }
    EndGrouping();
    EndUpdate();
}

void TCustomgxDBGrid::ColumnGroupChanged(TgxDBTreeListColumn* column) {
    if (in_column_group_changed_ || loading_rows_ || column == nullptr)
        return;
    in_column_group_changed_ = true;
    try {
        db::TDataSet* dataset = DataSet();
        bool missing = column->FieldName().empty() ||
                       (column->Field() != nullptr && column->Field()->IsBlob()) ||
                       (dataset != nullptr && dataset->Active() &&
                        dataset->FindField(column->FieldName()) == nullptr);
        if (missing) {
            if (column->GroupIndex() >= 0)
                ChangeColumnGroupIndex(column, -1);
        } else {
            BeginGrouping();
            EndGrouping();
        }
    } catch (...) {
        in_column_group_changed_ = false;
        throw;
    }
    in_column_group_changed_ = false;
}

void TCustomgxDBGrid::RegroupColumns() {
    if ((grid_options_ & egoSmartRefresh) && !force_regroup_ && !IsBufferMode()) {
        BeginUpdate();
        grouping_changed_ = true;
        RecalcSummaries(nullptr);
        EndUpdate();
        return;
    }
    regrouping_ = true;
    try {
        std::map<std::string, TgxDBTreeListColumn*> ordered;
        for (int i = 0; i < ColumnCount(); ++i) {
            TgxDBTreeListColumn* c = GetColumn(i);
            if (c == nullptr || c->GroupIndex() < 0)
                continue;
            char key[32];
            std::snprintf(key, sizeof key, "%11d", c->GroupIndex());
            ordered.emplace(std::string(key) + c->Name() + std::to_string(i), c);
        }
        if (!ordered.empty()) {
            BeginGrouping();
            try {
                // Any stale list is rebuilt from the columns' own indexes.
                for (TgxDBTreeListColumn* g : group_columns_)
                    if (g->GroupIndex() < 0)
                        g->StoreGroupIndex(-1);
                group_columns_.clear();
                int position = 0;
                for (auto& entry : ordered) {
                    TgxDBTreeListColumn* c = entry.second;
                    c->StoreGroupIndex(-1);
                    AddGroupColumn(position, c);
                    if (c->GroupIndex() >= 0)
                        ++position;
                }
                grouping_changed_ = false;
            } catch (...) {
                EndGrouping();
                throw;
            }
            EndGrouping();
        } else if (!IsBufferMode()) {
            ReloadAll();
        }
    } catch (...) {
        regrouping_ = false;
        throw;
    }
    regrouping_ = false;
}

void TCustomgxDBGrid::RegroupInPlace() {
    if (IsBufferMode()) {
        if (!stream_loading_)
            UpdateBufferRows();
        return;
    }
    const ViewPlace view = RememberView();
    BeginUpdate();
    SaveSelection();
    try {
        std::vector<std::unique_ptr<TgxTreeListNode>> reuse;
        if (IsLoadAllMode() && !group_columns_.empty() && Count() > 0 &&
            !(Count() == 1 && Items(0)->Count() == 0)) {
            // The record rows are taken out of their group rows for LoadNodes to reuse.
            ReleaseRecordRows(reuse);
        }
        LoadNodesWith(reuse.empty() ? nullptr : &reuse, &view);
    } catch (...) {
        DropSavedSelection();
        EndUpdate();
        throw;
    }
    DropSavedSelection();
    EndUpdate();
}

TgxDBTreeListColumn* TCustomgxDBGrid::GetGroupColumn(int index) const {
    if (index < 0 || index >= GetGroupColumnCount())
        return nullptr;
    return group_columns_[static_cast<std::size_t>(index)];
}

int TCustomgxDBGrid::GetGroupPanelHeight() const {
    if (!show_group_panel_)
        return 0;
    const int h = HeaderRowHeight();
    const int n = GetGroupColumnCount();
    return (n - 1) * (h / 2) + h + 16;
}

int TCustomgxDBGrid::GetGroupIndentWidth() const {
    return GetGroupColumnCount() * IndentDesc();
}

ui::Rect TCustomgxDBGrid::GetGroupButtonRect(int index) const {
    const int h = HeaderRowHeight();
    return ui::Bounds(8 + 104 * index, 8 + (h / 2) * index, 100, h);
}

TgxDBTreeListColumn* TCustomgxDBGrid::GetGroupColumnAt(int x, int y) const {
    if (!show_group_panel_ || y < 0 || y >= GetGroupPanelHeight())
        return nullptr;
    for (int i = 0; i < GetGroupColumnCount(); ++i)
        if (GetGroupButtonRect(i).Contains({x, y}))
            return GetGroupColumn(i);
    return nullptr;
}

int TCustomgxDBGrid::GetGroupTargetPosition(int x) const {
    int position = 0;
    for (int i = 0; i < GetGroupColumnCount(); ++i) {
        ui::Rect r = GetGroupButtonRect(i);
        if ((r.left + r.right) / 2 < x)
            ++position;
    }
    return position;
}

bool TCustomgxDBGrid::DropColumnOnGroupPanel(TgxDBTreeListColumn* column, int x) {
    if (column == nullptr)
        return false;
    int target = GetGroupTargetPosition(x);
    if (column->GroupIndex() >= 0)
        target = std::min(target, GetGroupColumnCount() - 1);
    bool allow = true;
    if (OnEndDragGroupColumn)
        OnEndDragGroupColumn(this, column, target, allow);
    if (!allow)
        return false;
    const bool was_visible = column->Visible();
    column->SetGroupIndex(target);
    if (!column->Visible() && column->GroupIndex() < 0 && was_visible && OnHideHeader)
        OnHideHeader(this, column);
    return column->GroupIndex() >= 0;
}

void TCustomgxDBGrid::DropGroupButtonOutside(TgxDBTreeListColumn* column) {
    if (column == nullptr || column->GroupIndex() < 0)
        return;
    column->SetGroupIndex(-1);
    if (IsGridMode())
        ClearSortMarksInGridModes();
}

void TCustomgxDBGrid::MouseDown(Qt::MouseButton button, ui::TShiftState shift, int x, int y) {
    group_button_pressed_ = nullptr;
    if (button == Qt::LeftButton && State() == tsNormal) {
        TgxDBTreeListColumn* column = GetGroupColumnAt(x, y);
        if (column != nullptr && !column->DisableDragging()) {
            HideEditor();
            group_button_pressed_ = column;
            group_button_press_ = {x, y};
            return;
        }
    }
    TCustomgxDBTreeListControl::MouseDown(button, shift, x, y);
}

void TCustomgxDBGrid::MouseMove(ui::TShiftState shift, int x, int y) {
    if (group_button_pressed_ != nullptr) {
        if (std::abs(x - group_button_press_.x) > 5 || std::abs(y - group_button_press_.y) > 5) {
            // The button is dragged like the header of its (hidden) column.
            group_button_dragged_ = group_button_pressed_;
            group_button_was_hidden_ = !group_button_dragged_->Visible();
            group_button_pressed_ = nullptr;
            // A column still shown among the headers is dragged as its header; a hidden one
            // comes in as from the customizing list.
            StartHeaderDragging(group_button_dragged_->GetIndex(), group_button_was_hidden_);
            TrackHeaderDrag({x, y});
        }
        return;
    }
    TCustomgxDBTreeListControl::MouseMove(shift, x, y);
}

void TCustomgxDBGrid::MouseUp(Qt::MouseButton button, ui::TShiftState shift, int x, int y) {
    if (group_button_pressed_ != nullptr) {
        // A click without a drag reverses the order of that group level.
        TgxDBTreeListColumn* column = group_button_pressed_;
        group_button_pressed_ = nullptr;
        if (IsAutoSort() && DoColumnSorting(column)) {
            column->SetSorted(column->Sorted() == csUp ? csDown : csUp);
            SortByColumn(column, column->Sorted() == csDown);
        }
        return;
    }
    TCustomgxDBTreeListControl::MouseUp(button, shift, x, y);
    group_button_dragged_ = nullptr;
}

bool TCustomgxDBGrid::DoDragOverHeader(int column, ui::Point p, bool accept) {
    if (show_group_panel_ && p.y >= 0 && p.y < GetGroupPanelHeight()) {
        TgxDBTreeListColumn* c = GetColumn(column);
        return c != nullptr && (c->GroupIndex() >= 0 || CanAddGroupColumn(c));
    }
    return TCustomgxDBTreeListControl::DoDragOverHeader(column, p, accept);
}

bool TCustomgxDBGrid::GetOuterHeaderDropMark(int column, ui::Point p, ui::Point& mark) {
    if (!show_group_panel_ || p.y < 0 || p.y >= GetGroupPanelHeight())
        return false;
    TgxDBTreeListColumn* c = GetColumn(column);
    if (c == nullptr || (c->GroupIndex() < 0 && !CanAddGroupColumn(c)))
        return false;
    // The arrows stand left of the button the column would become, as over the headers.
    int target = GetGroupTargetPosition(p.x);
    if (c->GroupIndex() >= 0)
        target = std::min(target, GetGroupColumnCount() - 1);
    const ui::Rect button = GetGroupButtonRect(target);
    mark = {button.left - 5, button.top - 9};
    return true;
}

bool TCustomgxDBGrid::DoDragEndHeader(int column, ui::Point p, TgxHeaderPosInfo& pos) {
    TgxDBTreeListColumn* c = GetColumn(column);
    const bool on_panel = show_group_panel_ && p.y >= 0 && p.y < GetGroupPanelHeight();
    if (c != nullptr && on_panel) {
        group_button_dragged_ = nullptr;
        DropColumnOnGroupPanel(c, p.x);
        return false;
    }
    if (c != nullptr && c == group_button_dragged_) {
        group_button_dragged_ = nullptr;
        const bool on_form = pos.band == -1 && IsCustomizing();
        DropGroupButtonOutside(c);
        if (on_form && group_button_was_hidden_ && GetVisibleColumnCount() > 1)
            c->SetVisible(false);
        if (!c->Visible() && OnHideHeader)
            OnHideHeader(this, c);
        // A drop on the headers also places the column there.
        return pos.kind == -3 && c->Visible();
    }
    return TCustomgxDBTreeListControl::DoDragEndHeader(column, p, pos);
}

void TCustomgxDBGrid::SetShowGroupPanel(bool value) {
    if (value == show_group_panel_)
        return;
    HideEditor();
    show_group_panel_ = value;
    if (isVisible() && !IsLoading() && State() == tsNormal)
        SlideGroupPanel(value);
    LayoutChanged();
}

void TCustomgxDBGrid::SlideGroupPanel(bool showing) {
    // The content below the panel moves in steps that grow, for at most 400 ms.
    const int distance =
        (GetGroupColumnCount() - 1) * (HeaderRowHeight() / 2) + HeaderRowHeight() + 16;
    int step = std::max(1, ClientRect().Height() / 256);
    int covered = 0;
    QElapsedTimer timer;
    timer.start();
    while (covered < distance && timer.elapsed() < 400) {
        int remaining = distance - covered;
        if (step > remaining / 2)
            step = remaining;
        viewport()->scroll(0, showing ? step : -step);
        covered += step;
        if (covered > 20)
            ++step;
    }
}

void TCustomgxDBGrid::DrawGroupPanel(ui::TCanvas& canvas, const ui::Rect& r) {
    if (OnBackgroundDrawEvent) {
        OnBackgroundDrawEvent(this, canvas, r);
    } else {
        canvas.Brush = {GroupPanelColor, ui::bsSolid, {}};
        canvas.FillRect(r);
    }
    if (group_columns_.empty()) {
        ui::TFont font;
        font.Assign(GetHeaderFont());
        font.SetColor(GroupPanelFontColor);
        canvas.Font.Assign(font);
        canvas.Brush = {GroupPanelColor, ui::bsClear, {}};
        ui::Rect text_rect = r;
        canvas.DrawText(std::string(" ") + "Drag a column header here to group by that column",
                        text_rect,
                        ui::DT_SINGLELINE | ui::DT_VCENTER | ui::DT_NOPREFIX | ui::DT_LEFT);
        return;
    }
    for (int i = 0; i < GetGroupColumnCount(); ++i) {
        ui::Rect b = GetGroupButtonRect(i);
        b.left += r.left;
        b.right += r.left;
        b.top += r.top;
        b.bottom += r.top;
        TgxDBTreeListColumn* c = GetGroupColumn(i);
        canvas.Font.Assign(GetHeaderFont());
        std::string caption = c->Caption();
        THeaderButton button{b, caption, taLeftJustify, HeaderColor, LookAndFeel(), c->Sorted()};
        DrawHeaderButton(canvas, button);
        if (i + 1 < GetGroupColumnCount()) {
            ui::Rect next = GetGroupButtonRect(i + 1);
            int mid_x = (b.left + b.right) / 2;
            int y0 = b.bottom - 1;
            canvas.Pen = {ui::clBtnText, 1, ui::psSolid, ui::pmCopy};
            canvas.MoveTo(mid_x, y0);
            canvas.LineTo(mid_x, y0 + 3);
            canvas.LineTo(r.left + next.left + 1, y0 + 3);
        }
    }
}

ui::Color TCustomgxDBGrid::GetGridLineColorValue() const {
    if (!GridLineColor.IsNone())
        return GridLineColor;
    if (!group_columns_.empty())
        return TCustomgxDBTreeListControl::GetGridLineColorValue();
    const std::uint32_t face = ui::clBtnFace.ToRgb();
    if (GetColor().ToRgb() == face || face == 0 || face == 0xFFFFFF)
        return ui::clBtnShadow;
    return ui::clBtnFace;
}

bool TCustomgxDBGrid::IsAutoSort() const {
    return (grid_options_ex_ & egoAutoSort) && IsLoadAllMode();
}

bool TCustomgxDBGrid::IsMultiSort() const {
    return (grid_options_ex_ & egoMultiSort) && !IsBufferMode();
}

int TCustomgxDBGrid::CompareNodes(const TgxTreeListNode* a, const TgxTreeListNode* b) const {
    const auto* ra = static_cast<const TgxDBGridNode*>(a);
    const auto* rb = static_cast<const TgxDBGridNode*>(b);
    if (ra->Key.IsEmpty() || rb->Key.IsEmpty())
        return 0;
    int c = db::VarCompare(ra->Key, rb->Key);
    return c != 0 ? c : TCustomgxDBTreeListControl::CompareNodes(a, b);
}

void TCustomgxDBGrid::DoHeaderClick(int index) {
    TgxDBTreeListColumn* column = GetColumn(index);
    const bool was_sorted = column != nullptr && column->Sorted() != csNone;
    TCustomgxDBTreeListControl::DoHeaderClick(index);
    if (column == nullptr || !IsAutoSort())
        return;
    if (column->Sorted() != csNone)
        SortByColumn(column, column->Sorted() == csDown);
    else if (was_sorted)
        // Ctrl took the mark away: the rows go back to the order the remaining marks give,
        // the dataset's own order when none is left.
        RegroupInPlace();
}

void TCustomgxDBGrid::ColumnSortChanged(TgxTreeListColumn* column) {
    TCustomgxDBTreeListControl::ColumnSortChanged(column);
    if (AddToSortFlag())
        return;
    // A group column's mark orders its group level and leaves the record order alone.
    auto* sorted = dynamic_cast<TgxDBTreeListColumn*>(column);
    if (sorted != nullptr && sorted->GroupIndex() >= 0)
        return;
    for (int i = 0; i < ColumnCount(); ++i)
        if (TgxDBTreeListColumn* other = GetColumn(i); other != nullptr && other != column &&
                                                       other->GroupIndex() < 0 &&
                                                       other->Sorted() != csNone)
            other->SetSorted(csNone);
}

void TCustomgxDBGrid::SortByColumn(TgxDBTreeListColumn* column, bool descending) {
    if (column == nullptr || IsGridMode())
        return;
    auto it = std::find(group_columns_.begin(), group_columns_.end(), column);
    if (it != group_columns_.end()) {
        SortNodes(static_cast<int>(it - group_columns_.begin()), column->GetIndex(), descending);
        return;
    }
    for (TgxDBTreeListColumn* g : group_columns_)
        if (g->Field() != nullptr && g->Field() == column->Field())
            return;
    SortNodes(GetGroupColumnCount(), column->GetIndex(), descending);
}

void TCustomgxDBGrid::ReleaseRecordRows(NodeList& rows) {
    pending_node_ = nullptr;
    anchor_row_ = nullptr;
    selected_.clear();
    NodeList forest = ReleaseAllNodes();
    std::function<void(NodeList&)> harvest = [&](NodeList& list) {
        for (auto& n : list) {
            auto* row = static_cast<TgxDBGridNode*>(n.get());
            if (row->IsGroup) {
                NodeList children = TakeChildren(row);
                harvest(children);
            } else {
                rows.push_back(std::move(n));
            }
        }
    };
    harvest(forest);
}

}  // namespace grid
