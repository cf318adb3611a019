// Focus, navigation, scrolling and the selection protocol of the tree list.

#include <QScrollBar>

#include <algorithm>
#include <cstdlib>

#include "grid/core/tree_list.h"

namespace grid {

int TCustomgxTreeList::GetFocusedColumn() const {
    if (IsRowSelect())
        return 0;
    if (focused_column_ < 0 || focused_column_ >= GetVisibleColumnCount())
        return 0;
    return focused_column_;
}

int TCustomgxTreeList::GetFocusedAbsoluteIndex() const {
    return focused_node_ != nullptr ? GetAbsoluteIndex(focused_node_) : 0;
}

int TCustomgxTreeList::GetTopIndex() const {
    return top_node_ != nullptr ? GetAbsoluteIndex(top_node_) : -1;
}

void TCustomgxTreeList::SetFocusedNodeColumn(TgxTreeListNode* node, int column, bool make_visible) {
    if (node == nullptr)
        return;
    HideEditor();
    // The editor refused its text: the focus stays with it.
    if (state_ == tsEditing && editor_ && editor_->Shown &&
        (node != focused_node_ || (!IsRowSelect() && column != GetFocusedColumn())))
        return;
    TgxTreeListNode* old_node = focused_node_;
    int old_column = GetFocusedColumn();
    if (update_lock_ != 0) {
        focused_node_ = node;
        if (!IsRowSelect())
            focused_column_ = column;
        return;
    }
    bool column_changed = false;
    if (node == old_node) {
        if (!IsRowSelect() && column != old_column) {
            MakeColumnVisible(column);
            InvalidateRect(GetCellRect(node, old_column));
            focused_column_ = column;
            InvalidateRect(GetCellRect(node, GetFocusedColumn()));
            column_changed = GetFocusedColumn() != old_column;
        }
    } else {
        if (!IsRowSelect()) {
            focused_column_ = column;
            column_changed = GetFocusedColumn() != old_column;
            if (column_changed)
                MakeColumnVisible(GetFocusedColumn());
        }
        InvalidateRow(old_node);
        focused_node_ = node;
        InvalidateRow(node);
        if (new_item_row_active_)
            SetNewItemRowActive(false);
    }
    if (make_visible)
        MakeNodeVisible(focused_node_);
    // A search that did not move the focus itself ends with the move.
    if (searching_ && ((node != old_node && search_lock_ == 0) || column_changed))
        EndSearch();
    if (node != old_node)
        DoChangeNode(old_node, node);
    if (column_changed)
        DoChangeColumn(node, GetFocusedColumn());
}

void TCustomgxTreeList::SetFocusedAbsoluteIndex(int index) {
    int count = GetAbsoluteCount();
    if (count == 0)
        return;
    index = std::clamp(index, 0, count - 1);
    if (focused_node_ != nullptr && index == GetAbsoluteIndex(focused_node_))
        return;
    SetFocusedNodeColumn(GetAbsoluteNode(index), focused_column_, true);
}

void TCustomgxTreeList::SetFocusedColumn(int index) {
    if (index == focused_column_ || index < 0 || index >= GetVisibleColumnCount())
        return;
    SetFocusedNodeColumn(focused_node_, index, true);
}

void TCustomgxTreeList::SetTopVisibleNode(TgxTreeListNode* node) {
    top_node_ = node;
    if (OnChangeTopVisibleNode)
        OnChangeTopVisibleNode(this);
}

void TCustomgxTreeList::SetTopIndex(int index) {
    HideEditor();
    int count = GetAbsoluteCount();
    if (count == 0)
        return;
    // Always within the rows that exist, and the last page stays full.
    index = std::clamp(index, 0, std::max(0, count - rows_in_view_));
    int current = GetTopIndex();
    if (index == current)
        return;
    TgxTreeListNode* old_focus = focused_node_;
    ui::Rect old_focus_rect = GetRowRect(old_focus);
    SetTopVisibleNode(GetAbsoluteNode(index));
    CalcRowsInView();
    UpdateScrollBars();
    if (update_lock_ != 0)
        return;
    if (std::abs(index - current) <= rows_in_view_ && current >= 0) {
        // Only a scroll of at most a screen needs the heights of the rows passed; they are
        // taken row after row, not each by its place counted from the first row.
        const int from = std::min(index, current);
        const int to = std::max(index, current);
        int distance = 0;
        TgxTreeListNode* n = GetAbsoluteNode(from);
        for (int i = from; i < to && n != nullptr; ++i, n = GetNextVisibleNode(n))
            distance += GetNodeRowHeight(n, default_row_height_, false);
        ScrollVertical(index > current ? -distance : distance);
    } else {
        Repaint();
    }
    InvalidateRect(old_focus_rect);
    InvalidateRow(old_focus);
}

void TCustomgxTreeList::ScrollVertical(int dy) {
    ui::Rect nodes = GetNodesRect();
    if (editor_)
        editor_->Hide();
    ++invalidations_;
    viewport()->scroll(0, dy, QRect(nodes.left, nodes.top, nodes.Width(), nodes.Height()));
    // Moved dots would lose their phase by an odd distance: the tree strip is drawn anew.
    if (!grid_mode_ && ShowLines && TreeLineStyle == tlsDotted && GetBandCount() > 0)
        InvalidateRect({nodes.left, nodes.top,
                        nodes.left + GetBandDisplayWidth(0) + GetGroupIndentWidth(), nodes.bottom});
}

void TCustomgxTreeList::ScrollHorizontal(int dx) {
    ui::Rect area = GetScrollableAreaRect();
    if (editor_)
        editor_->Hide();
    ++invalidations_;
    viewport()->scroll(dx, 0, QRect(area.left, area.top, area.Width(), area.Height()));
}

void TCustomgxTreeList::SetLeftCoord(int value) {
    HideEditor();
    int content = GetScrollableBandsWidth();
    int client = GetScrollableAreaWidth();
    value = std::max(0, value);
    if (value > content - client)
        value = std::max(0, content - client);
    if (value == left_coord_)
        return;
    int shift = value - left_coord_;
    left_coord_ = value;
    UpdateScrollBars();
    if (update_lock_ != 0)
        return;
    if (!show_footer_ && GetFixedLeftBand() == -1 && GetFixedRightBand() == -1 &&
        std::abs(shift) <= ClientRect().Width())
        ScrollHorizontal(-shift);
    else
        Repaint();
    DoChangeLeftCoord();
}

void TCustomgxTreeList::WheelScroll(int delta_y) {
    if (delta_y == 0)
        return;
    // A reversed direction starts counting afresh.
    if ((wheel_accumulated_ > 0) != (delta_y > 0))
        wheel_accumulated_ = 0;
    // Counted in 64 bits: a device or a sent event may report any delta.
    wheel_accumulated_ += delta_y;
    const std::int64_t rows = wheel_accumulated_ / 120;
    if (rows == 0)
        return;
    wheel_accumulated_ -= rows * 120;
    const int count = GetAbsoluteCount();
    SetTopIndex(static_cast<int>(std::clamp<std::int64_t>(
        std::max(0, GetTopIndex()) - rows, std::int64_t{0}, std::max(0, count - 1))));
}

void TCustomgxTreeList::MakeBandVisible(int band) {
    if (band < 0 || band >= GetBandCount() || band == GetFixedLeftBand() ||
        band == GetFixedRightBand())
        return;
    const int x = GetBandLeft(band);
    const int w = GetBandDisplayWidth(band) + (band == 0 ? GetGroupIndentWidth() : 0);
    const int view = GetScrollableAreaWidth();
    if (x < left_coord_)
        SetLeftCoord(x);
    else if (x + w > left_coord_ + view)
        SetLeftCoord(std::min(x + w - view, x));
}

void TCustomgxTreeList::MakeColumnVisible(int visible_column) {
    int column = GetVisibleColumnIndex(visible_column);
    if (column < 0)
        return;
    int fixed_left = GetFixedLeftBand();
    int fixed_right = GetFixedRightBand();
    for (int b = 0, bands = GetBandCount(); b < bands; ++b)
        for (int r = 0, rows = GetHeaderRowCount(b); r < rows; ++r)
            for (int p = 0, n = GetHeaderColCount(b, r); p < n; ++p) {
                if (GetHeaderAbsoluteIndex(b, r, p) != column)
                    continue;
                if (b == fixed_left || b == fixed_right)
                    return;
                // Content coordinates of the column inside the scrolling strip.
                int band_width = GetBandDisplayWidth(b) + (b == 0 ? GetGroupIndentWidth() : 0);
                std::vector<int> widths = RowCellWidths(b, r, band_width);
                int x = GetBandLeft(b);
                for (int i = 0; i < p; ++i)
                    x += widths[static_cast<std::size_t>(i)];
                int w = widths[static_cast<std::size_t>(p)];
                int view = GetScrollableAreaWidth();
                if (x < left_coord_)
                    SetLeftCoord(x);
                else if (x + w > left_coord_ + view)
                    SetLeftCoord(std::min(x + w - view, x));
                return;
            }
}

void TCustomgxTreeList::UpdateScrollBarsOnce() {
    QScrollBar* v = verticalScrollBar();
    if (IsVertScrollBar()) {
        int count = GetAbsoluteCount();
        int page = std::max(1, rows_in_view_);
        int maximum = count > page ? count - 1 : 0;
        int range = std::max(0, maximum - page + 1);
        setVerticalScrollBarPolicy(maximum > 0 ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        if (v->maximum() != range)
            v->setRange(0, range);
        if (v->pageStep() != page)
            v->setPageStep(page);
        int top = std::max(0, GetTopIndex());
        if (v->value() != top)
            v->setValue(top);
    } else {
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    QScrollBar* h = horizontalScrollBar();
    if (IsHorzScrollBar()) {
        int content = GetScrollableBandsWidth();
        int page = std::max(1, GetScrollableAreaWidth());
        int range = content > page ? content - page : 0;
        setHorizontalScrollBarPolicy(range > 0 ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        if (h->maximum() != range)
            h->setRange(0, range);
        if (h->pageStep() != page)
            h->setPageStep(page);
        if (h->value() != left_coord_)
            h->setValue(left_coord_);
    } else {
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
}

void TCustomgxTreeList::UpdateScrollBars() {
    // The second pass settles the bars after the first changed the client area.
    UpdateScrollBarsOnce();
    CalcRowsInView();
    UpdateScrollBarsOnce();
}

void TCustomgxTreeList::CalcRowsInView() {
    ui::Rect area = GetNodesRect();
    int height = area.Height();
    int whole = 0;
    int partly = 0;
    int y = 0;
    for (TgxTreeListNode* n = top_node_; n != nullptr && y < height; n = GetNextVisibleNode(n)) {
        int h = GetNodeRowHeight(n, default_row_height_, false);
        ++partly;
        if (y + h <= height)
            ++whole;
        y += h;
    }
    // Rows below the last node count with the default height, so paging stays sensible.
    int rest = height - y;
    if (rest > 0 && default_row_height_ > 0) {
        whole += rest / default_row_height_;
        partly += (rest + default_row_height_ - 1) / default_row_height_;
    }
    rows_in_view_ = std::max(1, whole);
    rows_in_view_partly_ = std::max(1, partly);
}

bool TCustomgxTreeList::DoCanNodeSelected(TgxTreeListNode* node) {
    bool allow = true;
    if (OnCanNodeSelected)
        OnCanNodeSelected(this, node, allow);
    if (allow && !IsExtMultiSelect()) {
        TgxTreeListNode* anchor = GetSelectionAnchor();
        if (anchor != nullptr)
            allow = anchor->Parent() == node->Parent();
    }
    return allow;
}

void TCustomgxTreeList::ClearSelection() {
    anchor_set_ = false;
    DoSelectedCountChange();
}

int TCustomgxTreeList::CompareWithAnchor(const TgxTreeListNode* node) const {
    int a = GetAbsoluteIndex(GetSelectionAnchor());
    int n = GetAbsoluteIndex(node);
    return a > n ? -1 : (a < n ? 1 : 0);
}

bool TCustomgxTreeList::DeleteSelection() {
    anchor_set_ = false;
    DoSelectedCountChange();
    return true;
}

void TCustomgxTreeList::DoSelectedCountChange() {
    if (destroying_ || selection_lock_ > 0)
        return;
    if (OnSelectedCountChange)
        OnSelectedCountChange(this);
}

void TCustomgxTreeList::InvalidateSelection() {
    int count = GetSelectedCount();
    if (count >= 11) {
        Repaint();
        return;
    }
    InvalidateRow(focused_node_);
    for (int i = 0; i < count; ++i)
        InvalidateRow(GetSelectedItem(i));
}

void TCustomgxTreeList::SelectNode(TgxTreeListNode*, bool) {
    DoSelectedCountChange();
}

void TCustomgxTreeList::SelectRange(TgxTreeListNode* a, TgxTreeListNode* b) {
    int ia = GetAbsoluteIndex(a);
    int ib = GetAbsoluteIndex(b);
    if (ia < 0 || ib < 0)
        return;
    BeginSelection();
    if (ia > ib)
        std::swap(ia, ib);
    TgxTreeListNode* n = GetAbsoluteNode(ia);
    for (int i = ia; i <= ib && n != nullptr; ++i, n = GetNextVisibleNode(n))
        n->SetSelected(true);
    EndSelection();
}

TgxTreeListNode* TCustomgxTreeList::GetSelectionAnchor() const {
    if (GetSelectedCount() > 0)
        return GetSelectedItem(0);
    return anchor_;
}

TgxTreeListNode* TCustomgxTreeList::RangeAnchor() const {
    // A selection kept in record order answers its first record as the anchor, which is not
    // where the user started a range from Shift+Up or a Shift click below it.
    if (anchor_ != nullptr && GetAbsoluteIndex(anchor_) >= 0)
        return anchor_;
    return GetSelectionAnchor();
}

}  // namespace grid
