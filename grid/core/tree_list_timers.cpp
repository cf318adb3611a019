// Timers of the tree list: auto-scroll while dragging or pressing, drag-expand and the
// delayed editor after a click; plus drag source tracking and the customizing form's
// close handler.

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QListWidget>

#include "grid/core/tree_list.h"
#include "platform/ui/application.h"
#include "platform/ui/clock.h"

namespace grid {
namespace {

constexpr int kVertScrollInterval = 100;
constexpr int kHorzScrollInterval = 100;
// A pointer this close to the top or bottom edge of the rows scrolls them.
constexpr int kScrollEdge = 12;

}  // namespace

void TCustomgxTreeList::SetDragObject(QObject* object) {
    if (drag_object_ == object)
        return;
    drag_object_ = object;
    InvalidateRow(focused_node_);
    if (object == nullptr) {
        drag_expand_node_ = nullptr;
        drag_expand_timer_.Stop();
    }
}

TgxTreeListNode* TCustomgxTreeList::NodeAtPoint(ui::Point p) const {
    TDrawInfo info;
    CalcDrawInfo(info);
    if (!info.node_area.Contains(p) && !info.indicator.Contains(p))
        return nullptr;
    int y = info.node_area.top;
    for (const TRowInfo& row : info.rows) {
        int bottom = y + std::max(1, row.row_height);
        if (p.y >= y && p.y < bottom)
            return row.node;
        y = bottom;
    }
    return nullptr;
}

void TCustomgxTreeList::DragOverNodes(ui::Point p) {
    drag_point_ = p;
    TgxTreeListNode* node = NodeAtPoint(p);
    if (IsDragScroll()) {
        ui::Rect rows = GetNodesRect();
        int index = GetAbsoluteIndex(node);
        int top = GetTopIndex();
        bool up = p.y < rows.top + kScrollEdge ||
                  (node != nullptr && node == top_node_ && !IsFirstNode(node));
        bool down = p.y >= rows.bottom - kScrollEdge ||
                    (node != nullptr && index >= top + rows_in_view_ - 1 && !IsLastNode(node));
        if (up)
            StartVertAutoScroll(false);
        else if (down)
            StartVertAutoScroll(true);
        else
            vert_scroll_timer_.Stop();
        if (node != nullptr && node != focused_node_)
            SetFocusedNodeColumn(node, focused_column_, false);
    }
    if (IsDragExpand() && node != drag_expand_node_) {
        drag_expand_node_ = node;
        if (node != nullptr) {
            drag_expand_timer_.OnTimer = [this] { DragExpandTick(); };
            drag_expand_timer_.Start(static_cast<int>(WaitForExpandNodeTime));
        } else {
            drag_expand_timer_.Stop();
        }
    }
}

void TCustomgxTreeList::BeginDragNode(TgxTreeListNode* node) {
    HideEditor();
    if (drag_node_ == nullptr)
        drag_node_ = node;
    if (drag_node_ == nullptr)
        return;
    DoBeginDragNode(drag_node_);
    SetState(tsNodeDragging);
}

void TCustomgxTreeList::EndDragNode() {
    drag_node_ = nullptr;
    EndDragOverNodes();
    if (state_ == tsNodeDragging)
        SetState(tsNormal);
}

void TCustomgxTreeList::DoBeginDragNode(TgxTreeListNode* node) {
    if (OnBeginDragNode)
        OnBeginDragNode(this, node);
}

void TCustomgxTreeList::EndDragOverNodes() {
    vert_scroll_timer_.Stop();
    drag_expand_timer_.Stop();
    drag_expand_node_ = nullptr;
}

void TCustomgxTreeList::DragExpandTick() {
    drag_expand_timer_.Stop();
    TgxTreeListNode* node = drag_expand_node_;
    if (node == nullptr || NodeAtPoint(drag_point_) != node)
        return;
    if (IsDragCollapse()) {
        node->SetExpanded(!node->Expanded());
        drag_expand_timer_.Start(static_cast<int>(WaitForExpandNodeTime) * 2);
    } else {
        node->SetExpanded(true);
    }
}

void TCustomgxTreeList::StartVertAutoScroll(bool down) {
    scroll_down_ = down;
    if (vert_scroll_timer_.Running())
        return;
    vert_scroll_timer_.OnTimer = [this] { VertAutoScrollTick(); };
    vert_scroll_timer_.Start(kVertScrollInterval);
}

void TCustomgxTreeList::StartHorzAutoScroll(bool right) {
    scroll_right_ = right;
    if (horz_scroll_timer_.Running())
        return;
    horz_scroll_timer_.OnTimer = [this] { HorzAutoScrollTick(); };
    horz_scroll_timer_.Start(kHorzScrollInterval);
}

void TCustomgxTreeList::StopAutoScroll() {
    vert_scroll_timer_.Stop();
    horz_scroll_timer_.Stop();
}

void TCustomgxTreeList::VertAutoScrollTick() {
    bool dragging = state_ == tsNodeDragging || drag_object_ != nullptr;
    if (state_ != tsNodeDown && !dragging) {
        vert_scroll_timer_.Stop();
        return;
    }
    if (dragging) {
        // Only while the pointer is over the grid itself.
        QWidget* under = QApplication::widgetAt(QCursor::pos());
        if (under != nullptr && under != this && !isAncestorOf(under))
            return;
    }
    int count = GetAbsoluteCount();
    if (count == 0)
        return;
    int index = focused_node_ != nullptr ? GetAbsoluteIndex(focused_node_) : GetTopIndex();
    int next = std::clamp(index + (scroll_down_ ? 1 : -1), 0, count - 1);
    if (next != index)
        SetFocusedNodeColumn(GetAbsoluteNode(next), focused_column_, true);
}

void TCustomgxTreeList::HorzAutoScrollTick() {
    bool dragging =
        state_ == tsColumnDragging || state_ == tsBandDragging || drag_object_ != nullptr;
    if (!dragging) {
        horz_scroll_timer_.Stop();
        return;
    }
    int step = std::max(1, zero_width_);
    SetLeftCoord(left_coord_ + (scroll_right_ ? step : -step));
    int limit = std::max(0, GetScrollableBandsWidth() - GetScrollableAreaWidth());
    if ((!scroll_right_ && left_coord_ <= 0) || (scroll_right_ && left_coord_ >= limit))
        horz_scroll_timer_.Stop();
    // The headers moved under the still pointer: the arrows follow, so that they show where a
    // drop now lands.
    if (state_ == tsColumnDragging)
        UpdateHeaderDrop(last_drag_point_);
    else if (state_ == tsBandDragging)
        UpdateBandDrop(last_drag_point_);
}

void TCustomgxTreeList::StartClickEditTimer() {
    // Only one runs: a new click restarts it.
    click_edit_node_ = focused_node_;
    click_edit_column_ = GetFocusedColumn();
    click_edit_new_row_ = IsNewItemRowActive();
    click_edit_timer_.OnTimer = [this] { ClickEditTick(); };
    click_edit_timer_.Start(static_cast<int>(ui::Clock().DoubleClickTime()));
}

void TCustomgxTreeList::ClickEditTick() {
    click_edit_timer_.Stop();
    // The focus left the clicked cell meanwhile (a key, or the row deleted under it): the
    // editor would open on a cell the user never clicked.
    const bool same_cell = click_edit_node_ != nullptr && focused_node_ == click_edit_node_ &&
                           GetFocusedColumn() == click_edit_column_ &&
                           IsNewItemRowActive() == click_edit_new_row_;
    click_edit_node_ = nullptr;
    if (state_ == tsNormal && same_cell)
        ShowEditor();
}

void TCustomgxTreeList::SetCustomizingForm(std::unique_ptr<QWidget> form, QListWidget* bands_list,
                                           QListWidget* headers_list) {
    if (customizing_form_) {
        customizing_form_->removeEventFilter(this);
        customizing_form_.reset();
    }
    customizing_form_ = std::move(form);
    customizing_bands_list_ = bands_list;
    customizing_headers_list_ = headers_list;
    if (customizing_form_)
        customizing_form_->installEventFilter(this);
}

void TCustomgxTreeList::CustomizingFormClose() {
    if (!customizing_form_)
        return;
    // A drag out of the form's lists loses its source with the form: left running, its image
    // would hang on the screen and the next click on the grid would drop the item.
    if (drag_from_list_ && (state_ == tsColumnDragging || state_ == tsBandDragging))
        CancelMode();
    customizing_pos_ = {customizing_form_->x(), customizing_form_->y()};
    customizing_bands_index_ = customizing_bands_list_ ? customizing_bands_list_->currentRow() : -1;
    customizing_headers_index_ =
        customizing_headers_list_ ? customizing_headers_list_->currentRow() : -1;
    customizing_form_->removeEventFilter(this);
    // The form may be inside its own close event: it goes once that has returned.
    customizing_form_.release()->deleteLater();
    customizing_bands_list_ = nullptr;
    customizing_headers_list_ = nullptr;
    if (OnEndColumnsCustomizing)
        OnEndColumnsCustomizing(this);
}

bool TCustomgxTreeList::eventFilter(QObject* watched, QEvent* e) {
    if (customizing_form_ && watched == customizing_form_.get()) {
        if (e->type() == QEvent::Close)
            ui::Guarded([this] { CustomizingFormClose(); });
        else if (e->type() == QEvent::WindowActivate)
            ui::Guarded([this] { HideEditor(); });
    }
    return TCustomgxContainer::eventFilter(watched, e);
}

}  // namespace grid
