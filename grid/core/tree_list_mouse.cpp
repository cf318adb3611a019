// Hit testing and the mouse state machine of the tree list: a press names the part under
// the pointer and enters a mouse state, moves track it and the release applies it.

#include <QApplication>
#include <QMouseEvent>

#include <algorithm>
#include <cstdlib>

#include "grid/core/tree_list.h"
#include "platform/ui/application.h"

namespace grid {
namespace {

constexpr int kLevelIndent = 16;
// Edges of headers, bands, panels and rows take the pointer this close.
constexpr int kEdgeZone = 4;
// A press becomes a drag only after the pointer moved further than this.
constexpr int kDragThreshold = 5;

ui::TShiftState MouseShift(const QMouseEvent& e) {
    ui::TShiftState shift = 0;
    Qt::KeyboardModifiers m = e.modifiers();
    if (m & Qt::ShiftModifier)
        shift |= ui::ssShift;
    if (m & Qt::ControlModifier)
        shift |= ui::ssCtrl;
    if (m & Qt::AltModifier)
        shift |= ui::ssAlt;
    Qt::MouseButtons b = e.buttons();
    if (b & Qt::LeftButton)
        shift |= ui::ssLeft;
    if (b & Qt::RightButton)
        shift |= ui::ssRight;
    if (b & Qt::MiddleButton)
        shift |= ui::ssMiddle;
    return shift;
}

bool InEdge(int v, int edge) {
    return v >= edge - kEdgeZone && v <= edge + kEdgeZone;
}

// Only an edge the user sees can be taken: a right edge scrolled under a fixed band or past
// the panel would size a header that lies hidden under the one the pointer is on.
bool InVisibleEdge(int v, const ui::Rect& rect, const ui::Rect& clip) {
    return rect.right <= clip.right && InEdge(v, rect.right);
}

// The row under y, with its top, or -1; rows shared by the indicator and the node area.
int RowAt(const TDrawInfo& info, int y, int& top) {
    top = info.node_area.top;
    for (std::size_t i = 0; i < info.rows.size(); ++i) {
        int h = std::max(1, info.rows[i].row_height);
        if (y >= top && y < top + h)
            return static_cast<int>(i);
        top += h;
    }
    return -1;
}

bool IsSizingState(std::uint8_t s) {
    return s == tsColumnSizing || s == tsBandSizing || s == tsBandPanelSizing ||
           s == tsHeaderPanelSizing || s == tsRowSizing;
}

}  // namespace

void TCustomgxTreeList::CalcHitInfo(ui::Point p, TgxTreeListHitInfo& hit) const {
    hit = TgxTreeListHitInfo{};
    TDrawInfo info;
    CalcDrawInfo(info);
    if (!info.client.Contains(p))
        return;
    hit.kind = htNowhere;
    if (info.group_panel.Contains(p)) {
        hit.kind = htGroupPanel;
        return;
    }
    if (HitBandArea(info, p, hit) || HitHeaderArea(info, p, hit) || HitNewItemRow(info, p, hit) ||
        HitIndicator(info, p, hit) || HitFooter(info, p, hit))
        return;
    HitNodeArea(info, p, hit);
}

bool TCustomgxTreeList::HitBandArea(const TDrawInfo& info, ui::Point p,
                                    TgxTreeListHitInfo& hit) const {
    const ui::Rect& bp = info.band_panel;
    if (!bp.IsEmpty() && IsBandPanelSizing() && p.x >= bp.left && p.x < bp.right &&
        p.y >= bp.bottom - kEdgeZone && p.y < bp.bottom + kEdgeZone) {
        hit.kind = htBandPanelEdge;
        return true;
    }
    if (info.band_button.Contains(p)) {
        hit.kind = htBandButton;
        return true;
    }
    if (!bp.Contains(p))
        return false;
    if ((options_ex_ & tlxBandSizing) != 0)
        for (const TBandCellInfo& bc : info.band_cells)
            if (IsBandSizing(bc.band_index) && InVisibleEdge(p.x, bc.rect, bc.clip)) {
                hit.band = bc.band_index;
                hit.kind = htBandEdge;
                return true;
            }
    for (const TBandCellInfo& bc : info.band_cells)
        if (bc.clip.Contains(p)) {
            hit.band = bc.band_index;
            hit.kind = htBand;
            return true;
        }
    return true;
}

bool TCustomgxTreeList::HitHeaderArea(const TDrawInfo& info, ui::Point p,
                                      TgxTreeListHitInfo& hit) const {
    const ui::Rect& hp = info.header_panel;
    if (!hp.IsEmpty() && IsHeaderPanelSizing() && p.x >= hp.left && p.x < hp.right &&
        p.y >= hp.bottom - kEdgeZone && p.y < hp.bottom + kEdgeZone) {
        hit.kind = htHeaderPanelEdge;
        return true;
    }
    if (info.header_button.Contains(p)) {
        hit.kind = htHeaderButton;
        return true;
    }
    if (!hp.Contains(p))
        return false;
    auto take = [&](const THeaderCellInfo& hc, std::uint8_t kind) {
        hit.band = hc.band_index;
        hit.column = hc.column;
        hit.row2 = hc.row;
        hit.kind = kind;
    };
    for (const THeaderCellInfo& hc : info.header_cells)
        if (p.y >= hc.rect.top && p.y < hc.rect.bottom && InVisibleEdge(p.x, hc.rect, hc.clip) &&
            CanColumnSizing(hc.column)) {
            take(hc, htColumnEdge);
            return true;
        }
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.clip.Contains(p)) {
            take(hc, htColumn);
            return true;
        }
    return true;
}

bool TCustomgxTreeList::HitNewItemRow(const TDrawInfo& info, ui::Point p,
                                      TgxTreeListHitInfo& hit) const {
    if (!info.new_item_row.Contains(p))
        return false;
    const int extra = look_and_feel_ == lfFlat ? 5 : 6;
    if (p.y < info.new_item_row.bottom - extra)
        for (const THeaderCellInfo& hc : info.header_cells)
            if (p.x >= hc.rect.left && p.x < hc.rect.right && p.x >= hc.clip.left &&
                p.x < hc.clip.right) {
                hit.band = hc.band_index;
                hit.column = hc.column;
                hit.kind = htNewItemRow;
                return true;
            }
    return true;
}

int TCustomgxTreeList::RowEdgeAt(const TDrawInfo& info, int y) const {
    // The bottom of the row above or of this row, within the zone.
    if (!IsRowSizing())
        return -1;
    int top = info.node_area.top;
    for (std::size_t i = 0; i < info.rows.size(); ++i) {
        int bottom = top + std::max(1, info.rows[i].row_height);
        if (y >= bottom - kEdgeZone && y < bottom + kEdgeZone)
            return static_cast<int>(i);
        top = bottom;
    }
    return -1;
}

bool TCustomgxTreeList::HitIndicator(const TDrawInfo& info, ui::Point p,
                                     TgxTreeListHitInfo& hit) const {
    if (!info.indicator.Contains(p))
        return false;
    if (int edge = RowEdgeAt(info, p.y); edge >= 0) {
        hit.node = info.rows[static_cast<std::size_t>(edge)].node;
        hit.row = edge;
        hit.kind = htRowEdge;
        return true;
    }
    int top = 0;
    int r = RowAt(info, p.y, top);
    if (r >= 0) {
        hit.node = info.rows[static_cast<std::size_t>(r)].node;
        hit.row = r;
        hit.kind = htIndicator;
    }
    return true;
}

bool TCustomgxTreeList::HitFooter(const TDrawInfo& info, ui::Point p,
                                  TgxTreeListHitInfo& hit) const {
    if (!info.footer.Contains(p))
        return false;
    hit.kind = htSummaryFooter;
    for (const THeaderCellInfo& hc : info.header_cells) {
        int top = info.footer.top + footer_row_height_ * hc.row;
        int bottom = top + footer_row_height_ * hc.line_count;
        if (p.x >= hc.rect.left && p.x < hc.rect.right && p.x >= hc.clip.left &&
            p.x < hc.clip.right && p.y >= top && p.y < bottom) {
            hit.band = hc.band_index;
            hit.column = hc.column;
            break;
        }
    }
    return true;
}

void TCustomgxTreeList::HitNodeArea(const TDrawInfo& info, ui::Point p,
                                    TgxTreeListHitInfo& hit) const {
    if (!info.node_area.Contains(p))
        return;
    if (int edge = RowEdgeAt(info, p.y); edge >= 0) {
        hit.node = info.rows[static_cast<std::size_t>(edge)].node;
        hit.row = edge;
        hit.kind = htRowEdge;
        return;
    }
    int row_top = 0;
    int r = RowAt(info, p.y, row_top);
    if (r < 0)
        return;
    const TRowInfo& row = info.rows[static_cast<std::size_t>(r)];
    hit.node = row.node;
    hit.row = r;
    if (p.x > info.bands_right_edge) {
        hit.kind = htRight;
        return;
    }
    int footer_top = row_top + row.row_height - row.row_footer_height;
    if (row.row_footer_count > 0 && p.y >= footer_top) {
        hit.kind = htRowFooter;
        hit.row2 = row_footer_height_ > 0 ? (p.y - footer_top) / row_footer_height_ : 0;
        for (const THeaderCellInfo& hc : info.header_cells)
            if (p.x >= hc.clip.left && p.x < hc.clip.right) {
                hit.band = hc.band_index;
                hit.column = hc.column;
                break;
            }
        return;
    }
    HitRowCells(info, row, row_top, p, hit);
}

void TCustomgxTreeList::HitRowCells(const TDrawInfo& info, const TRowInfo& row, int row_top,
                                    ui::Point p, TgxTreeListHitInfo& hit) const {
    const int footer_top = row_top + row.row_height - row.row_footer_height;
    for (const THeaderCellInfo& hc : info.header_cells) {
        if (p.x < hc.clip.left || p.x >= hc.clip.right)
            continue;
        CellLayout cell = LayoutCell(row, row_top, hc, info);
        if (p.y >= cell.area_bottom) {
            if (p.y < footer_top) {
                hit.kind = htPreview;
                hit.band = hc.band_index;
                return;
            }
            continue;
        }
        if (p.y < cell.rect.top || p.y >= cell.rect.bottom + (show_grid_ ? 1 : 0))
            continue;
        hit.band = hc.band_index;
        hit.column = hc.column;
        hit.row2 = hc.row;
        if (hc.first_of_header && p.x < cell.rect.left)
            HitCellLead(row, hc, p, hit);
        else
            hit.kind = htLabel;
        return;
    }
}

void TCustomgxTreeList::HitCellLead(const TRowInfo& row, const THeaderCellInfo& hc, ui::Point p,
                                    TgxTreeListHitInfo& hit) const {
    int image_left = 0, text_left = 0;
    GetNodeIndent(row.node, image_left, text_left);
    int area_left = hc.rect.left;
    int slot_base = area_left - ((!grid_mode_ && !show_root_) ? kLevelIndent : 0);
    int level = row.node->Level();
    int rel = p.x - area_left;
    if (rel < image_left) {
        int button_left = slot_base + level * kLevelIndent;
        bool on_button = ShowButtons && row.node->HasChildren() && p.x >= button_left &&
                         p.x < button_left + kLevelIndent;
        hit.kind = on_button ? htButton : htIndent;
        return;
    }
    int x = image_left;
    if (state_images_ != nullptr && GetNodeStateIndex(row.node) >= 0) {
        if (rel < x + state_images_->Width()) {
            hit.kind = htStateIcon;
            return;
        }
        x += state_images_->Width();
    }
    hit.kind = htIcon;
}

std::uint8_t TCustomgxTreeList::GetHitTestAt(int x, int y) const {
    TgxTreeListHitInfo hit;
    CalcHitInfo({x, y}, hit);
    return hit.kind;
}

TgxTreeListNode* TCustomgxTreeList::GetNodeAt(int x, int y) const {
    TgxTreeListHitInfo hit;
    CalcHitInfo({x, y}, hit);
    return hit.node;
}

void TCustomgxTreeList::mousePressEvent(QMouseEvent* e) {
    // Any press ends a pending delayed editor.
    StopClickEditTimer();
    // The editor needs the press time to tell a double click across the two windows.
    if (e->button() == Qt::LeftButton && editor_)
        editor_->ClickTime = static_cast<std::uint32_t>(e->timestamp());
    QPoint p = e->position().toPoint();
    ui::TShiftState shift = MouseShift(*e);
    ui::Guarded([&] { MouseDown(e->button(), shift, p.x(), p.y()); });
    e->accept();
}

void TCustomgxTreeList::mouseDoubleClickEvent(QMouseEvent* e) {
    StopClickEditTimer();
    QPoint p = e->position().toPoint();
    ui::TShiftState shift = MouseShift(*e) | ui::ssDouble;
    ui::Guarded([&] { MouseDown(e->button(), shift, p.x(), p.y()); });
    e->accept();
}

void TCustomgxTreeList::mouseMoveEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    ui::TShiftState shift = MouseShift(*e);
    ui::Guarded([&] { MouseMove(shift, p.x(), p.y()); });
    e->accept();
}

void TCustomgxTreeList::mouseReleaseEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    ui::TShiftState shift = MouseShift(*e);
    ui::Guarded([&] { MouseUp(e->button(), shift, p.x(), p.y()); });
    e->accept();
}

void TCustomgxTreeList::MouseDown(Qt::MouseButton button, ui::TShiftState shift, int x, int y) {
    editor_closed_by_press_ = false;
    if (state_ == tsEditing && editor_ && editor_->IgnoreGridClicks)
        return;
    if (editor_ && editor_->Shown && !editor_->IsEditFocused()) {
        editor_closed_by_press_ = state_ == tsEditing;
        HideEditorAndFocus();
        // A text the editor refuses keeps it open, and the press does nothing more.
        if (state_ == tsEditing)
            return;
    }
    if (TrySetFocus() && focusPolicy() != Qt::NoFocus && !hasFocus() && isVisible())
        setFocus(Qt::MouseFocusReason);
    const ui::Point p{x, y};
    TgxTreeListHitInfo hit;
    CalcHitInfo(p, hit);
    const bool dbl = (shift & ui::ssDouble) != 0;
    if (button != Qt::LeftButton && state_ != tsNormal && state_ != tsEditing) {
        CancelMode();
        return;
    }
    if (button == Qt::MiddleButton) {
        if (IsMouseScroll() && !IsPanScrolling())
            StartPanScroll({mapToGlobal(viewport()->mapTo(this, QPoint(x, y))).x(),
                            mapToGlobal(viewport()->mapTo(this, QPoint(x, y))).y()});
        if (OnMouseDown)
            OnMouseDown(this, button, shift, x, y);
        return;
    }
    press_point_ = p;
    if (button == Qt::LeftButton && state_ == tsNormal) {
        switch (hit.kind) {
            case htBandEdge:
                if (dbl)
                    DoBandEdgeDblClick(hit.band);
                else
                    BeginSizing(tsBandSizing, hit, p);
                break;
            case htColumnEdge:
                if (dbl)
                    DoColumnEdgeDblClick(hit.column);
                else
                    BeginSizing(tsColumnSizing, hit, p);
                break;
            case htBandPanelEdge:
                BeginSizing(tsBandPanelSizing, hit, p);
                break;
            case htHeaderPanelEdge:
                BeginSizing(tsHeaderPanelSizing, hit, p);
                break;
            case htRowEdge:
                BeginSizing(tsRowSizing, hit, p);
                break;
            case htBand:
                SetState(tsBandDown);
                pressed_band_ = hit.band;
                Repaint();
                break;
            case htColumn:
                SetState(tsColumnDown);
                pressed_column_ = hit.column;
                Repaint();
                break;
            case htBandButton:
                if (IsBandButtonClicking()) {
                    SetState(tsBandButtonDown);
                    band_button_down_ = true;
                    Repaint();
                }
                break;
            case htHeaderButton:
                if (IsHeaderButtonClicking()) {
                    SetState(tsHeaderButtonDown);
                    header_button_down_ = true;
                    Repaint();
                }
                break;
            default:
                break;
        }
    }
    const std::uint8_t k = hit.kind;
    const bool node_part = k == htIcon || k == htStateIcon || k == htLabel || k == htRowFooter ||
                           k == htPreview || k == htIndicator;
    const bool right_part = k == htIcon || k == htStateIcon || k == htLabel || k == htNewItemRow ||
                            k == htRowFooter || k == htPreview;
    const bool takes_part = button == Qt::LeftButton || (button == Qt::RightButton && right_part);
    if (takes_part && (state_ == tsNormal || state_ == tsNodeDown) && hit.node != nullptr &&
        node_part && !dbl)
        PressNode(button, shift, hit, p);
    if (takes_part && k == htNewItemRow) {
        if (focused_node_ == nullptr)
            InsertRow();
        if (focused_node_ != nullptr) {
            bool was_active = IsNewItemRowActive();
            int old_column = GetFocusedColumn();
            int column = hit.column >= 0 ? GetColumnVisibleIndex(hit.column) : -1;
            if (column >= 0)
                SetFocusedColumn(column);
            SetNewItemRowActive(true);
            if (button == Qt::LeftButton && !IsRowSelect() && column >= 0 && was_active &&
                column == old_column && !editor_closed_by_press_ && state_ != tsEditing &&
                !ClickEditPending() && !dbl)
                StartClickEditTimer();
        }
    } else if (takes_part && hit.node != nullptr) {
        bool dbl_node = dbl && (k == htIcon || k == htStateIcon || k == htLabel ||
                                k == htRowFooter || k == htPreview);
        if (k == htButton || dbl_node)
            StopClickEditTimer();
        if (k == htButton || (dbl_node && DblClkExpanding))
            hit.node->SetExpanded(!hit.node->Expanded());
        if (dbl_node && IsDblClick()) {
            if (OnDblClickRow)
                OnDblClickRow(this);
            ContainerDblClick();
        }
    }
    if (OnMouseDown)
        OnMouseDown(this, button, shift, x, y);
}

void TCustomgxTreeList::PressNode(Qt::MouseButton button, ui::TShiftState shift,
                                  const TgxTreeListHitInfo& hit, ui::Point p) {
    TgxTreeListNode* node = hit.node;
    if (button == Qt::LeftButton && hit.kind != htIndicator)
        SetState(tsNodeDown);
    press_in_update_ = update_lock_ != 0;
    pressed_node_ = node;
    if (IsNewItemRowActive())
        SetNewItemRowActive(false);
    selection_changed_by_press_ = false;
    postponed_clear_ = false;
    BeginSelection();
    TgxTreeListNode* previous = focused_node_;
    int previous_column = GetFocusedColumn();
    int column = hit.column >= 0 ? GetColumnVisibleIndex(hit.column) : previous_column;
    if (column < 0)
        column = previous_column;
    try {
        SetFocusedNodeColumn(node, column, true);
    } catch (...) {
        // The focus could not move (the record being left was not posted): the press ends
        // here and leaves no lock behind.
        EndSelection();
        if (state_ == tsNodeDown)
            SetState(tsNormal);
        throw;
    }
    press_point_ = p;
    press_on_focused_ = previous == node && (IsRowSelect() || previous_column == column);
    const bool shift_held = (shift & ui::ssShift) != 0;
    const bool ctrl_held = (shift & ui::ssCtrl) != 0;
    if (IsMultiSelect()) {
        if (shift_held || ctrl_held)
            selection_changed_by_press_ = true;
        if (ctrl_held && !shift_held) {
            node->SetSelected(!node->Selected());
            SetSelectionAnchor(node);
        } else if (shift_held) {
            TgxTreeListNode* anchor = RangeAnchor();
            if (anchor == nullptr) {
                anchor = previous;
                SetSelectionAnchor(anchor);
            }
            if (!ctrl_held) {
                ClearSelection();
                SetSelectionAnchor(anchor);
            }
            if (anchor != nullptr)
                SelectRange(anchor, node);
            else
                node->SetSelected(!node->Selected());
        } else if (!node->Selected()) {
            ClearSelection();
            node->SetSelected(true);
            SetSelectionAnchor(node);
        } else if (button != Qt::RightButton) {
            postponed_clear_ = true;
        }
    }
    EndSelection();
    if (button == Qt::LeftButton && !IsRowSelect() && press_on_focused_ &&
        !editor_closed_by_press_ && state_ != tsEditing && hit.kind != htIndicator &&
        hit.column >= 0)
        StartClickEditTimer();
}

void TCustomgxTreeList::MouseMove(ui::TShiftState shift, int x, int y) {
    const ui::Point p{x, y};
    const bool moved_far = std::abs(x - press_point_.x) > kDragThreshold ||
                           std::abs(y - press_point_.y) > kDragThreshold;
    switch (state_) {
        case tsBandSizing:
        case tsColumnSizing:
        case tsBandPanelSizing:
        case tsHeaderPanelSizing:
        case tsRowSizing:
            TrackSizing(p);
            return;
        case tsBandDown:
            if (moved_far && CanBandDragging(pressed_band_))
                StartBandDragging(pressed_band_, false);
            return;
        case tsColumnDown:
            if (moved_far && CanHeaderDragging(pressed_column_))
                StartHeaderDragging(pressed_column_, false);
            return;
        case tsBandDragging:
            TrackBandDrag(p);
            return;
        case tsNodeDragging: {
            QPoint g = viewport()->mapToGlobal(QPoint(x, y));
            ShowDragImageAt({g.x(), g.y()});
            DragOverNodes(p);
            return;
        }
        case tsColumnDragging:
            TrackHeaderDrag(p);
            return;
        case tsNodeDown: {
            if ((shift & ui::ssLeft) == 0) {
                SetState(tsNormal);
                return;
            }
            if (DragMode == TDragMode::dmAutomatic) {
                if (!moved_far)
                    return;
                // The pressed row, not whatever row now lies under the press point: rows
                // deleted or scrolled since the press put another one there.
                TgxTreeListNode* node = pressed_node_;
                if (node == nullptr) {
                    SetState(tsNormal);
                    return;
                }
                BeginSelection();
                try {
                    if (!postponed_clear_ && !selection_changed_by_press_ && IsMultiSelect())
                        ClearSelection();
                    postponed_clear_ = false;
                    SetFocusedNodeColumn(node, focused_column_, true);
                    if (IsMultiSelect())
                        node->SetSelected(true);
                } catch (...) {
                    EndSelection();
                    SetState(tsNormal);
                    throw;
                }
                EndSelection();
                SetState(tsNormal);
                BeginDragNode(node);
                if (state_ == tsNodeDragging) {
                    MakeNodeDragImage(node, GetVisibleColumnIndex(GetFocusedColumn()));
                    QPoint g = viewport()->mapToGlobal(QPoint(x, y));
                    ShowDragImageAt({g.x(), g.y()});
                }
                return;
            }
            if (!IsMouseScroll())
                return;
            ui::Rect rows = GetNodesRect();
            if (y < rows.top) {
                SetFocusedAbsoluteIndex(GetFocusedAbsoluteIndex() - 1);
            } else if (y >= rows.bottom) {
                SetFocusedAbsoluteIndex(GetFocusedAbsoluteIndex() + 1);
            } else if (TgxTreeListNode* node = NodeAtPoint(p);
                       node != nullptr && node != focused_node_) {
                SetFocusedNodeColumn(node, focused_column_, true);
                if (IsMultiSelect()) {
                    BeginSelection();
                    ClearSelection();
                    node->SetSelected(true);
                    SetSelectionAnchor(node);
                    EndSelection();
                }
            }
            return;
        }
        default:
            break;
    }
    Qt::CursorShape shape = Qt::ArrowCursor;
    switch (GetHitTestAt(x, y)) {
        case htColumnEdge:
        case htBandEdge:
            shape = Qt::SplitHCursor;
            break;
        case htBandPanelEdge:
        case htHeaderPanelEdge:
        case htRowEdge:
            shape = Qt::SplitVCursor;
            break;
        default:
            break;
    }
    if (viewport()->cursor().shape() != shape)
        viewport()->setCursor(shape);
}

void TCustomgxTreeList::MouseUp(Qt::MouseButton button, ui::TShiftState shift, int x, int y) {
    const ui::Point p{x, y};
    TgxTreeListHitInfo hit;
    CalcHitInfo(p, hit);
    const std::uint8_t state = state_;
    bool node_press = false;
    switch (state) {
        case tsBandSizing:
        case tsColumnSizing:
        case tsBandPanelSizing:
        case tsHeaderPanelSizing:
        case tsRowSizing:
            if (button == Qt::LeftButton)
                EndSizing(p);
            break;
        case tsBandDown: {
            int band = pressed_band_;
            SetState(tsNormal);
            pressed_band_ = -1;
            Repaint();
            if (hit.kind == htBand && hit.band == band)
                DoBandClick(band);
            break;
        }
        case tsBandDragging:
            EndBandDrag(true);
            break;
        case tsColumnDown: {
            int column = pressed_column_;
            SetState(tsNormal);
            pressed_column_ = -1;
            Repaint();
            if (hit.kind == htColumn && hit.column == column) {
                header_click_shift_ = (shift & ui::ssShift) != 0 && IsColumnMultiSort();
                header_click_ctrl_ = (shift & ui::ssCtrl) != 0;
                try {
                    DoHeaderClick(column);
                } catch (...) {
                    header_click_shift_ = header_click_ctrl_ = false;
                    throw;
                }
                header_click_shift_ = header_click_ctrl_ = false;
            }
            break;
        }
        case tsColumnDragging:
            EndHeaderDrag(true);
            break;
        case tsBandButtonDown:
        case tsHeaderButtonDown: {
            bool was_down = state == tsBandButtonDown ? band_button_down_ : header_button_down_;
            SetState(tsNormal);
            band_button_down_ = header_button_down_ = false;
            Repaint();
            if (was_down && state == tsBandButtonDown && hit.kind == htBandButton)
                DoBandButtonClick();
            if (was_down && state == tsHeaderButtonDown && hit.kind == htHeaderButton)
                DoHeaderButtonClick();
            break;
        }
        case tsNodeDragging:
            drag_image_.reset();
            EndDragNode();
            node_press = true;
            break;
        case tsEditing:
        case tsNodeDown:
            node_press = true;
            break;
        default:
            break;
    }
    if (postponed_clear_) {
        postponed_clear_ = false;
        BeginSelection();
        ClearSelection();
        if (focused_node_ != nullptr) {
            focused_node_->SetSelected(true);
            SetSelectionAnchor(focused_node_);
        }
        EndSelection();
        DoSelectedCountChange();
    }
    node_press = node_press || press_in_update_;
    press_in_update_ = false;
    if (node_press) {
        int pressed_visible = GetFocusedColumn();
        bool on_cell = (hit.kind == htLabel && hit.node == focused_node_) ||
                       (hit.kind == htNewItemRow && IsNewItemRowActive());
        bool same_column = hit.column >= 0 && GetColumnVisibleIndex(hit.column) == pressed_visible;
        if (button == Qt::LeftButton && IsImmediateEditor() && !IsRowSelect() && on_cell &&
            same_column && (shift & ui::ssDouble) == 0 &&
            (hit.kind == htNewItemRow || focused_node_ == pressed_node_)) {
            if (state_ == tsNodeDown)
                SetState(tsNormal);
            if ((shift & (ui::ssShift | ui::ssCtrl)) == 0 && state_ == tsNormal) {
                StopClickEditTimer();
                ShowEditor();
                if (state_ == tsEditing && editor_)
                    editor_->DoEditorMouseUp();
            }
        }
        if (state_ == tsNodeDown)
            SetState(tsNormal);
        if (OnClick)
            OnClick(this);
    }
    pressed_node_ = nullptr;
    if (OnMouseUp)
        OnMouseUp(this, button, shift, x, y);
}

void TCustomgxTreeList::CancelMode() {
    switch (state_) {
        case tsColumnSizing:
        case tsBandSizing:
        case tsBandPanelSizing:
        case tsHeaderPanelSizing:
        case tsRowSizing:
            SetSizingLine(sizing_pos_, false);
            SetState(tsNormal);
            viewport()->unsetCursor();
            break;
        case tsBandDown:
            SetState(tsNormal);
            pressed_band_ = -1;
            Repaint();
            break;
        case tsBandDragging:
            EndBandDrag(false);
            break;
        case tsColumnDown:
            SetState(tsNormal);
            pressed_column_ = -1;
            Repaint();
            break;
        case tsColumnDragging:
            EndHeaderDrag(false);
            break;
        case tsBandButtonDown:
            SetState(tsNormal);
            band_button_down_ = false;
            Repaint();
            break;
        case tsHeaderButtonDown:
            SetState(tsNormal);
            header_button_down_ = false;
            Repaint();
            break;
        default:
            break;
    }
    StopPanScroll();
}

void TCustomgxTreeList::BeginSizing(std::uint8_t state, const TgxTreeListHitInfo& hit,
                                    ui::Point p) {
    HideEditor();
    sizing_band_ = hit.band;
    sizing_column_ = hit.column;
    sizing_node_ = hit.node;
    sizing_left_ = 0;
    int pos = 0;
    switch (state) {
        case tsBandSizing:
            GetBandSizingLimits(hit.band, p.x, sizing_max_, sizing_min_, sizing_left_);
            pos = p.x;
            break;
        case tsColumnSizing:
            GetColumnSizingLimits(hit.column, p.x, sizing_max_, sizing_min_, sizing_left_);
            pos = p.x;
            break;
        case tsBandPanelSizing:
        case tsHeaderPanelSizing:
            sizing_min_ = 0;
            sizing_max_ = ClientRect().bottom;
            pos = p.y;
            break;
        case tsRowSizing: {
            TDrawInfo info;
            CalcDrawInfo(info);
            int top = info.node_area.top;
            for (std::size_t i = 0; i < info.rows.size() && static_cast<int>(i) < hit.row; ++i)
                top += std::max(1, info.rows[i].row_height);
            sizing_row_top_ = top;
            GetRowSizingLimits(hit.node, top, sizing_max_, sizing_min_);
            pos = p.y;
            break;
        }
        default:
            return;
    }
    SetState(state);
    sizing_start_ = pos;
    sizing_line_shown_ = false;
    sizing_pos_ = std::clamp(pos, sizing_min_, std::max(sizing_min_, sizing_max_));
    if (state == tsBandPanelSizing || state == tsHeaderPanelSizing) {
        int draw_y = sizing_pos_, y2 = sizing_pos_;
        if (state == tsBandPanelSizing)
            SnapBandPanelSizingLine(pos, draw_y, y2);
        else
            SnapHeaderPanelSizingLine(pos, draw_y, y2);
        sizing_pos_ = draw_y;
    }
    SetSizingLine(sizing_pos_, true);
}

void TCustomgxTreeList::TrackSizing(ui::Point p) {
    int pos = 0;
    switch (state_) {
        case tsBandSizing:
        case tsColumnSizing:
            pos = std::clamp(p.x, sizing_min_, std::max(sizing_min_, sizing_max_));
            break;
        case tsBandPanelSizing: {
            int y2 = 0;
            pos = sizing_pos_;
            SnapBandPanelSizingLine(p.y, pos, y2);
            break;
        }
        case tsHeaderPanelSizing: {
            int y2 = 0;
            pos = sizing_pos_;
            SnapHeaderPanelSizingLine(p.y, pos, y2);
            break;
        }
        case tsRowSizing:
            pos = std::clamp(p.y, sizing_min_, std::max(sizing_min_, sizing_max_));
            break;
        default:
            return;
    }
    if (pos != sizing_pos_)
        SetSizingLine(pos, true);
}

void TCustomgxTreeList::EndSizing(ui::Point) {
    const std::uint8_t state = state_;
    const int pos = sizing_pos_;
    SetSizingLine(pos, false);
    SetState(tsNormal);
    viewport()->unsetCursor();
    switch (state) {
        case tsBandSizing: {
            int width = pos - sizing_left_ - (sizing_band_ == 0 ? GetGroupIndentWidth() : 0);
            ApplyBandSizing(width, sizing_band_);
            DoColumnsWidthChanged();
            break;
        }
        case tsColumnSizing: {
            TDrawInfo info;
            CalcDrawInfo(info);
            int band = -1;
            for (const THeaderCellInfo& hc : info.header_cells)
                if (hc.column == sizing_column_)
                    band = hc.band_index;
            if (band < 0)
                break;
            int width = pos - sizing_left_;
            if (IsAutoWidth())
                ApplyColumnSizing(width, band, sizing_column_);
            else
                ApplyColumnSizingNoAutoWidth(width, band, sizing_column_);
            DoColumnsWidthChanged();
            break;
        }
        case tsBandPanelSizing:
            SetBandRowCountFromSizing(CalcBandRowCountAt(pos));
            break;
        case tsHeaderPanelSizing:
            SetHeaderPanelRowCountFromSizing(CalcHeaderRowCountAt(pos));
            break;
        case tsRowSizing:
            if (pos != sizing_start_ && sizing_node_ != nullptr)
                SetRowHeightFromSizing(CalcRowHeightAt(sizing_node_, pos - sizing_row_top_));
            break;
        default:
            break;
    }
    sizing_node_ = nullptr;
}

ui::Rect TCustomgxTreeList::SizingLineRect() const {
    if (!IsSizingState(state_))
        return {};
    ui::Rect client = ClientRect();
    switch (state_) {
        case tsBandSizing:
            return {sizing_pos_ - 1, client.top, sizing_pos_ + 1, client.bottom};
        case tsColumnSizing:
            return {sizing_pos_ - 1, client.top, sizing_pos_, client.bottom};
        case tsRowSizing:
            return {client.left, sizing_pos_ - 1, client.right, sizing_pos_};
        default:
            return {client.left, sizing_pos_ - 1, client.right, sizing_pos_ + 1};
    }
}

void TCustomgxTreeList::SetSizingLine(int pos, bool show) {
    // The line is painted over the content; both its old and new places are repainted.
    if (sizing_line_shown_)
        InvalidateRect(SizingLineRect());
    sizing_pos_ = pos;
    sizing_line_shown_ = show;
    if (show)
        InvalidateRect(SizingLineRect());
    if (IsFullSizing() && show && state_ == tsColumnSizing)
        viewport()->update();
}

void TCustomgxTreeList::PaintSizingLine(ui::TCanvas& canvas) {
    if (!sizing_line_shown_ || drag_images_hidden_ > 0 || !IsSizingState(state_))
        return;
    // A black pen mixed by NOT XOR inverts what is under it, so the line shows on any colour.
    ui::Rect r = SizingLineRect();
    canvas.Pen = {ui::clBlack, 1, ui::psSolid, ui::pmNotXor};
    canvas.Brush = {ui::clBlack, ui::bsSolid, {}};
    canvas.InvertRect(r);
}

}  // namespace grid
