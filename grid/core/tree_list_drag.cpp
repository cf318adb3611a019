// Band and header drag and drop: the drag image and insert arrows that follow the
// pointer, the drop positions, and what a drop does (move, hide on the customizing form,
// show from it).

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPolygon>
#include <QScreen>
#include <QTabWidget>

#include <algorithm>

#include "grid/core/draw_utils.h"
#include "grid/core/grid_resources.h"
#include "grid/core/tree_list.h"

namespace grid {
namespace {

constexpr int kArrowWidth = 11;
// The drag scrolls sideways while the pointer is this close inside a scrolling edge.
constexpr int kDragScrollEdge = 12;
constexpr int kDeleteCursorShift = 32;

std::unique_ptr<QLabel> MakeFloatingWindow() {
    auto w = std::make_unique<QLabel>(
        nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
    w->setAttribute(Qt::WA_ShowWithoutActivating);
    w->setAttribute(Qt::WA_TransparentForMouseEvents);
    return w;
}

}  // namespace

bool TCustomgxTreeList::CanHeaderDragging(int column) const {
    return (options_ & tloColumnMoving) != 0 && column >= 0;
}

void TCustomgxTreeList::MakeHeaderDragImage(int column) {
    TDrawInfo info;
    CalcDrawInfo(info);
    int width = GetColumnWidth(column);
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.column == column)
            width = hc.rect.Width();
    if (width < 1)
        width = 20;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        width = std::min(width, screen->geometry().width());
    int height = std::max(1, header_row_height_);
    QPixmap pixmap(width, height);
    {
        ui::TCanvas canvas(pixmap);
        canvas.Font.Assign(header_font_);
        std::string text = GetHeaderText(column);
        THeaderButton b{{0, 0, width, height}, text,           GetHeaderAlignment(column),
                        HeaderColor,           look_and_feel_, GetColumnSorted(column)};
        b.glyph = GetHeaderGlyph(column);
        DrawHeaderButton(canvas, b);
    }
    auto window = MakeFloatingWindow();
    window->setPixmap(pixmap);
    window->setFixedSize(width, height);
    drag_image_ = std::move(window);
}

void TCustomgxTreeList::MakeBandDragImage(int band) {
    int width =
        drag_from_list_ ? 100 : GetBandDisplayWidth(band) + (band == 0 ? GetGroupIndentWidth() : 0);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        width = std::min(width, screen->geometry().width());
    width = std::max(width, 20);
    int height = std::max(1, band_panel_height_ > 0 ? band_panel_height_ : GetBandPanelHeight(1));
    QPixmap pixmap(width, height);
    {
        ui::TCanvas canvas(pixmap);
        canvas.Font.Assign(band_font_);
        std::string text = drag_from_list_ ? GetAbsoluteBandText(band) : GetBandText(band);
        THeaderButton b{{0, 0, width, height},
                        text,
                        drag_from_list_ ? taCenter : GetBandAlignment(band),
                        BandColor,
                        look_and_feel_,
                        csNone};
        b.multi_line = GetBandRowCount() > 1;
        DrawHeaderButton(canvas, b);
    }
    auto window = MakeFloatingWindow();
    window->setPixmap(pixmap);
    window->setFixedSize(width, height);
    drag_image_ = std::move(window);
}

void TCustomgxTreeList::MakeNodeDragImage(TgxTreeListNode* node, int column) {
    std::string text = GetNodeDragText(node, column);
    const int text_width = metrics_->TextWidth(Font(), text);
    int image_width = 0;
    if (state_images_ != nullptr && GetNodeStateIndex(node) != -1)
        image_width += state_images_->Width();
    if (images_ != nullptr && GetNodeImageIndex(node) != -1)
        image_width += images_->Width();
    const int width = text_width + 6 + 20 + image_width;
    const int height = default_row_height_ + 6;
    QPixmap pixmap(std::max(1, width), height);
    {
        ui::TCanvas canvas(pixmap);
        canvas.Brush = {GetColor(), ui::bsSolid, {}};
        canvas.FillRect({0, 0, width, height});
        ui::Rect frame{20, 0, width, height};
        for (int i = 0; i < 3; ++i) {
            canvas.DrawFocusRect(frame);
            frame = frame.Inflated(-1, -1);
        }
        int x = frame.left;
        if (state_images_ != nullptr && GetNodeStateIndex(node) != -1) {
            DrawImageListImage(canvas, {x, frame.top, x + state_images_->Width(), frame.bottom},
                               state_images_, GetNodeStateIndex(node));
            x += state_images_->Width();
        }
        if (images_ != nullptr && GetNodeImageIndex(node) != -1) {
            DrawImageListImage(canvas, {x, frame.top, x + images_->Width(), frame.bottom}, images_,
                               GetNodeImageIndex(node));
            x += images_->Width();
        }
        canvas.Font.Assign(Font());
        canvas.Brush.style = ui::bsClear;
        canvas.TextOut(x + 1, frame.top + (frame.Height() - metrics_->TextHeight(Font())) / 2,
                       text);
    }
    auto window = MakeFloatingWindow();
    window->setPixmap(pixmap);
    window->setFixedSize(pixmap.size());
    drag_image_ = std::move(window);
}

void TCustomgxTreeList::ShowDragImageAt(ui::Point screen) {
    if (!drag_image_)
        return;
    int x = screen.x - drag_image_->width() / 2 + (drag_delete_cursor_ ? kDeleteCursorShift : 0);
    int y = screen.y - drag_image_->height() / 2;
    drag_image_->move(x, y);
    if (drag_images_hidden_ == 0 && !drag_image_->isVisible())
        drag_image_->show();
}

void TCustomgxTreeList::UpdateDragArrows(ui::Point client_arrow, bool show) {
    if (!show) {
        if (drag_arrows_) {
            drag_arrows_->hide();
            drag_arrows_->setProperty("placed", false);
        }
        return;
    }
    int h = state_ == tsBandDragging ? band_panel_height_ : header_row_height_;
    int height = h + 18;
    if (!drag_arrows_ || drag_arrows_->height() != height) {
        QPixmap pixmap(kArrowWidth, height);
        pixmap.fill(Qt::transparent);
        {
            QPainter p(&pixmap);
            p.setPen(Qt::black);
            p.setBrush(ArrowsColor.ToQColor());
            const int b = height;
            QPolygon down;
            down << QPoint(5, 8) << QPoint(0, 3) << QPoint(3, 3) << QPoint(3, 0) << QPoint(7, 0)
                 << QPoint(7, 3) << QPoint(10, 3);
            QPolygon up;
            up << QPoint(5, b - 9) << QPoint(10, b - 4) << QPoint(7, b - 4) << QPoint(7, b - 1)
               << QPoint(3, b - 1) << QPoint(3, b - 4) << QPoint(0, b - 4);
            p.drawPolygon(down);
            p.drawPolygon(up);
        }
        auto window = MakeFloatingWindow();
        window->setAttribute(Qt::WA_TranslucentBackground);
        window->setPixmap(pixmap);
        window->setFixedSize(kArrowWidth, height);
        window->setMask(pixmap.createMaskFromColor(Qt::transparent));
        drag_arrows_ = std::move(window);
    }
    QPoint g = viewport()->mapToGlobal(QPoint(client_arrow.x, client_arrow.y));
    drag_arrows_->move(g);
    drag_arrows_->setProperty("placed", true);
    drag_arrows_->setProperty("clientX", client_arrow.x);
    drag_arrows_->setProperty("clientY", client_arrow.y);
    if (drag_images_hidden_ == 0)
        drag_arrows_->show();
}

void TCustomgxTreeList::EndDragVisuals() {
    horz_scroll_timer_.Stop();
    drag_image_.reset();
    if (drag_arrows_) {
        drag_arrows_->hide();
        drag_arrows_->setProperty("placed", false);
    }
    drag_delete_cursor_ = false;
    drag_cursor_ = Qt::ArrowCursor;
    viewport()->unsetCursor();
}

void TCustomgxTreeList::StartBandDragging(int band, bool from_list) {
    HideEditor();
    drag_from_list_ = from_list;
    drag_band_ = band;
    drop_band_ = -2;
    drop_mark_ = {-100, -100};
    MakeBandDragImage(band);
    SetState(tsBandDragging);
    UpdateDragArrows({-100, -100}, false);
    ShowDragImageAt({QCursor::pos().x(), QCursor::pos().y()});
    if (IsExtCustomizing() && customizing_form_)
        if (auto* pages = customizing_form_->findChild<QTabWidget*>("PageControl"))
            pages->setCurrentIndex(0);
}

void TCustomgxTreeList::StartHeaderDragging(int column, bool from_list) {
    HideEditor();
    drag_from_list_ = from_list;
    drag_column_ = column;
    drop_header_ = TgxHeaderPosInfo{};
    drop_mark_ = {-100, -100};
    MakeHeaderDragImage(column);
    SetState(tsColumnDragging);
    UpdateDragArrows({-100, -100}, false);
    ShowDragImageAt({QCursor::pos().x(), QCursor::pos().y()});
    if (IsExtCustomizing() && customizing_form_)
        if (auto* pages = customizing_form_->findChild<QTabWidget*>("PageControl"))
            pages->setCurrentIndex(pages->count() - 1);
}

void TCustomgxTreeList::StartHeaderEdgeScroll(int x, bool band_drag) {
    TDrawInfo info;
    CalcDrawInfo(info);
    const ui::Rect& panel = band_drag ? info.band_panel : info.header_panel;
    int left = info.fixed_left_band != -1 ? info.fixed_left_area.right : panel.left;
    int right = info.fixed_right_band != -1 ? info.fixed_right_area.left : panel.right;
    if (x >= left && x < left + kDragScrollEdge)
        StartHorzAutoScroll(false);
    else if (x < right && x >= right - kDragScrollEdge)
        StartHorzAutoScroll(true);
}

void TCustomgxTreeList::TrackHeaderDrag(ui::Point p) {
    horz_scroll_timer_.Stop();
    last_drag_point_ = p;
    if (UpdateHeaderDrop(p))
        StartHeaderEdgeScroll(p.x, false);
}

bool TCustomgxTreeList::UpdateHeaderDrop(ui::Point p) {
    QPoint global = viewport()->mapToGlobal(QPoint(p.x, p.y));
    const bool over_form = PointInCustomizingArea({global.x(), global.y()});
    ui::Point arrow{-100, -100};
    TgxHeaderPosInfo pos = over_form ? TgxHeaderPosInfo{} : GetHeaderDropPosition(p, &arrow);
    bool mark = pos.kind == -3 && arrow.x != -100;
    if (!over_form && pos.kind != -3)
        mark = GetOuterHeaderDropMark(drag_column_, p, arrow);
    bool changed = pos.band != drop_header_.band || pos.row != drop_header_.row ||
                   pos.position != drop_header_.position || pos.kind != drop_header_.kind ||
                   arrow.x != drop_mark_.x || arrow.y != drop_mark_.y;
    if (changed) {
        drop_header_ = pos;
        drop_mark_ = arrow;
        UpdateDragArrows(arrow, mark);
    }
    TDrawInfo info;
    CalcRectInfo(info);
    bool in_strip = p.x >= info.client.left && p.x < info.client.right &&
                    p.y >= info.header_panel.top && p.y < info.header_panel.bottom &&
                    !info.header_panel.IsEmpty();
    bool accept = DoDragOverHeader(drag_column_, p, in_strip);
    bool delete_cursor = !accept;
    bool no_band = GetBandCount() == 0;
    if (over_form) {
        bool only_visible = !drag_from_list_ && GetVisibleColumnCount() <= 1;
        bool disabled = drag_from_list_ && IsHeaderCustomizingDisabled(drag_column_);
        delete_cursor = only_visible || disabled;
    }
    if (no_band)
        delete_cursor = true;
    drag_delete_cursor_ = delete_cursor;
    drag_cursor_ = over_form && !delete_cursor ? Qt::DragMoveCursor : Qt::ArrowCursor;
    if (delete_cursor)
        viewport()->setCursor(GridCursor(crDelete));
    else
        viewport()->setCursor(drag_cursor_);
    ShowDragImageAt({global.x(), global.y()});
    return !over_form;
}

void TCustomgxTreeList::TrackBandDrag(ui::Point p) {
    horz_scroll_timer_.Stop();
    last_drag_point_ = p;
    if (UpdateBandDrop(p))
        StartHeaderEdgeScroll(p.x, true);
}

bool TCustomgxTreeList::UpdateBandDrop(ui::Point p) {
    QPoint global = viewport()->mapToGlobal(QPoint(p.x, p.y));
    const bool over_form = PointInCustomizingArea({global.x(), global.y()});
    ui::Point arrow{-100, -100};
    int pos = over_form ? -1 : GetBandDropPosition(p, &arrow);
    // The arrows follow the band edge also when only the view moved under the pointer.
    if (pos != drop_band_ || arrow.x != drop_mark_.x || arrow.y != drop_mark_.y) {
        drop_band_ = pos;
        drop_mark_ = arrow;
        UpdateDragArrows(arrow, pos >= 0 && arrow.x != -100);
    }
    TDrawInfo info;
    CalcRectInfo(info);
    bool in_strip = p.x >= info.client.left && p.x < info.client.right &&
                    p.y >= info.band_panel.top && p.y < info.band_panel.bottom &&
                    !info.band_panel.IsEmpty();
    bool accept = DoDragOverBand(drag_band_, p, in_strip);
    drag_delete_cursor_ = !accept && !over_form;
    if (over_form)
        drag_delete_cursor_ = drag_from_list_ || IsBandCustomizingDisabled(drag_band_);
    drag_cursor_ = over_form && !drag_delete_cursor_ ? Qt::DragMoveCursor : Qt::ArrowCursor;
    if (drag_delete_cursor_)
        viewport()->setCursor(GridCursor(crDelete));
    else
        viewport()->setCursor(drag_cursor_);
    ShowDragImageAt({global.x(), global.y()});
    return !over_form;
}

void TCustomgxTreeList::EndBandDrag(bool dropped) {
    const int band = drag_band_;
    const bool from_list = drag_from_list_;
    const ui::Point p = last_drag_point_;
    QPoint global = viewport()->mapToGlobal(QPoint(p.x, p.y));
    // The target is taken while the drag still knows what it drags.
    int target = PointInCustomizingArea({global.x(), global.y()}) ? -1 : GetBandDropPosition(p);
    SetState(tsNormal);
    EndDragVisuals();
    drag_band_ = -1;
    drag_from_list_ = false;
    pressed_band_ = -1;
    Repaint();
    if (!dropped || band < 0)
        return;
    drag_from_list_ = from_list;
    bool accepted = false;
    try {
        accepted = DoDragEndBand(band, p, target);
    } catch (...) {
        drag_from_list_ = false;
        throw;
    }
    drag_from_list_ = false;
    if (!accepted)
        return;
    if (from_list) {
        if (IsCustomizing() && target >= 0)
            ShowBand(band, target);
        return;
    }
    if (target >= 0) {
        if (target != band) {
            MoveBand(band, target);
            MakeBandVisible(std::clamp(target, 0, std::max(0, GetBandCount() - 1)));
        }
        return;
    }
    if (target == -1 && (IsCustomizing() || IsExtCustomizing()) && !IsBandCustomizingDisabled(band))
        HideBand(band);
}

void TCustomgxTreeList::EndHeaderDrag(bool dropped) {
    const int column = drag_column_;
    const bool from_list = drag_from_list_;
    const ui::Point p = last_drag_point_;
    QPoint global = viewport()->mapToGlobal(QPoint(p.x, p.y));
    TgxHeaderPosInfo pos = PointInCustomizingArea({global.x(), global.y()})
                               ? TgxHeaderPosInfo{}
                               : GetHeaderDropPosition(p);
    SetState(tsNormal);
    EndDragVisuals();
    drag_column_ = -1;
    drag_from_list_ = false;
    pressed_column_ = -1;
    Repaint();
    if (!dropped || column < 0)
        return;
    if (!DoDragEndHeader(column, p, pos))
        return;
    if (!from_list && IsColumnVisible(column)) {
        if (pos.kind == -3) {
            MoveHeader(column, pos.band, pos.row, pos.position);
            MakeColumnVisible(GetColumnVisibleIndex(column));
            return;
        }
    } else if (from_list && pos.kind == -3) {
        ShowHeaderAt(column, pos.band, pos.row, pos.position);
        return;
    }
    if (pos.band == -1 && !from_list && (IsCustomizing() || IsExtCustomizing()) &&
        !IsHeaderCustomizingDisabled(column) && GetVisibleColumnCount() > 1)
        HideHeader(column);
}

TCustomgxTreeList::TgxHeaderPosInfo TCustomgxTreeList::GetHeaderDropPosition(
    ui::Point p, ui::Point* arrow) const {
    TgxHeaderPosInfo result;
    if (arrow != nullptr)
        *arrow = {-100, -100};
    TDrawInfo info;
    CalcDrawInfo(info);
    const ui::Rect& hp = info.header_panel;
    if (hp.IsEmpty() || p.y < hp.top || p.y >= hp.bottom)
        return result;
    const int dragged = drag_column_;
    // A drag that is not from the customizing list started at the column itself, from its
    // header or from its group button.
    const int pressed = drag_from_list_ ? -1 : pressed_column_ >= 0 ? pressed_column_ : dragged;
    auto place_arrow = [&](const THeaderCellInfo& hc, bool before, int top) {
        if (arrow == nullptr)
            return;
        int x = (before ? hc.clip.left : hc.clip.right) - 5;
        x = std::min(std::max(x, hp.left - 5), hp.right);
        *arrow = {x, top - 9};
    };
    auto drop_at = [&](const THeaderCellInfo& hc, bool before) {
        const int target = hc.column;
        const int target_band = GetBandAbsoluteIndex(hc.band_index);
        result.band = hc.band_index;
        result.row = hc.row;
        result.position = hc.position;
        result.kind = -2;
        if (target == dragged)
            return;
        if (dragged >= 0) {
            int dragged_band = GetColumnBandIndex(dragged);
            if (dragged_band != target_band) {
                bool own = IsBandOnlyOwnColumns(hc.band_index);
                for (const TBandCellInfo& bc : info.band_cells)
                    if (GetBandAbsoluteIndex(bc.band_index) == dragged_band &&
                        IsBandOnlyOwnColumns(bc.band_index))
                        own = true;
                if (own)
                    return;
            }
            // A drop beside the dragged column's own place leaves it there.
            if (!drag_from_list_ && dragged_band == target_band &&
                GetColumnRowIndex(dragged) == hc.row) {
                for (const THeaderCellInfo& other : info.header_cells) {
                    if (other.column != dragged || other.band_index != hc.band_index ||
                        other.row != hc.row)
                        continue;
                    if (before && hc.position == other.position + 1)
                        return;
                    if (!before && hc.position == other.position - 1)
                        return;
                }
            }
        }
        int position = hc.position;
        if (before) {
            if (position > 0 && pressed != -1 && target > pressed &&
                GetColumnBandIndex(pressed) == target_band)
                --position;
        } else if ((pressed != -1 && target < pressed) ||
                   (dragged != -1 && (GetColumnBandIndex(dragged) != target_band ||
                                      GetColumnRowIndex(dragged) != hc.row || pressed == -1))) {
            ++position;
        }
        result.position = position;
        result.kind = -3;
        place_arrow(hc, before, hc.rect.top);
    };
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.clip.Contains(p)) {
            drop_at(hc, p.x <= (hc.rect.left + hc.rect.right) / 2);
            return result;
        }
    if (p.x <= info.bands_right_edge) {
        for (const THeaderCellInfo& hc : info.header_cells)
            if (p.x >= hc.clip.left && p.x < hc.clip.right) {
                result.band = hc.band_index;
                result.row = hc.row + 1;
                result.position = hc.position;
                result.kind = -3;
                place_arrow(hc, true, hc.rect.bottom);
                return result;
            }
        for (const TBandCellInfo& bc : info.band_cells)
            if (p.x >= bc.clip.left && p.x < bc.clip.right) {
                result.band = bc.band_index;
                result.row = 0;
                result.position = 0;
                result.kind = -3;
                return result;
            }
        return result;
    }
    // Right of the bands: after the panel's last header.
    const THeaderCellInfo* last = nullptr;
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.row == 0 && (last == nullptr || hc.rect.right >= last->rect.right))
            last = &hc;
    if (last != nullptr)
        drop_at(*last, false);
    return result;
}

int TCustomgxTreeList::GetBandDropPosition(ui::Point p, ui::Point* arrow) const {
    if (arrow != nullptr)
        *arrow = {-100, -100};
    TDrawInfo info;
    CalcDrawInfo(info);
    const ui::Rect& bp = info.band_panel;
    // With every band hidden the panel keeps its height but has no width; a band dropped
    // across it is the first again, or the grid could never show a column again.
    if (GetBandCount() == 0 && bp.top < bp.bottom && p.y >= bp.top && p.y < bp.bottom &&
        p.x >= info.client.left && p.x < info.client.right)
        return 0;
    if (bp.IsEmpty() || p.y < bp.top || p.y >= bp.bottom)
        return -1;
    if (info.band_cells.empty())
        return 0;
    const int dragged = drag_from_list_ ? -1 : drag_band_;
    auto drop_at = [&](const TBandCellInfo& bc, bool before) -> int {
        const int target = bc.band_index;
        if (target == dragged)
            return -2;
        if (dragged >= 0 &&
            ((before && target == dragged + 1) || (!before && target == dragged - 1)))
            return -2;
        if (before && target == info.fixed_left_band)
            return -2;
        if (!before && target == info.fixed_right_band)
            return -2;
        // Kept over the panel, as for headers: an edge scrolled past it would put the
        // arrows outside the grid.
        if (arrow != nullptr)
            *arrow = {std::clamp((before ? bc.rect.left : bc.rect.right) - 5, bp.left - 5,
                                 std::max(bp.left - 5, bp.right)),
                      bp.top - 9};
        if (before)
            return dragged >= 0 && dragged < target ? target - 1 : target;
        return dragged < 0 || dragged > target ? target + 1 : target;
    };
    for (const TBandCellInfo& bc : info.band_cells)
        if (bc.clip.Contains(p))
            return drop_at(bc, p.x <= (bc.rect.left + bc.rect.right) / 2);
    const TBandCellInfo* last = nullptr;
    for (const TBandCellInfo& bc : info.band_cells)
        if (last == nullptr || bc.rect.right >= last->rect.right)
            last = &bc;
    if (last != nullptr && p.x >= last->rect.right)
        return drop_at(*last, false);
    return -2;
}

}  // namespace grid
