// Painting of the tree list: panels, indicator, footer and the node rows, all from one
// drawing-information record computed at the start of the paint.

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <limits>

#include "grid/core/draw_utils.h"
#include "grid/core/tree_list.h"
#include "platform/ui/application.h"

namespace grid {
namespace {

constexpr int kLevelIndent = 16;

using Segments = std::vector<std::pair<ui::Point, ui::Point>>;

void FillSolid(ui::TCanvas& canvas, const ui::Rect& r, ui::Color c) {
    canvas.Brush = {c, ui::bsSolid, {}};
    canvas.FillRect(r);
}

// Clips to r for the scope, inside whatever clip is in force.
class ClipScope {
  public:
    ClipScope(ui::TCanvas& canvas, const ui::Rect& r) : guard_(canvas) {
        canvas.IntersectClipRect(r);
    }

  private:
    ui::TCanvas::StateGuard guard_;
};

}  // namespace

bool TCustomgxTreeList::viewportEvent(QEvent* e) {
    if (e->type() == QEvent::Paint) {
        ui::Guarded([&] {
            QPainter painter(viewport());
            ui::TCanvas canvas(painter);
            canvas.SetPaintRegion(static_cast<QPaintEvent*>(e)->region());
            Paint(canvas);
            PaintSizingLine(canvas);
        });
        return true;
    }
    if (e->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(e);
        int dy = wheel->angleDelta().y();
        ui::Guarded([&] { WheelScroll(dy); });
        wheel->accept();
        return true;
    }
    return TCustomgxContainer::viewportEvent(e);
}

bool TCustomgxTreeList::PaintFocused() const {
    QWidget* focus = QApplication::focusWidget();
    if (focus == nullptr)
        return false;
    if (focus == this || isAncestorOf(focus))
        return true;
    return state_ == tsEditing && editor_ && const_cast<TgxInplaceEdit&>(*editor_).IsEditFocused();
}

TCustomgxTreeList::CellColors TCustomgxTreeList::GetCellColors(const TgxTreeListNode* node,
                                                               bool selected, bool focused,
                                                               int column) {
    ui::Color text = Font().GetColor();
    // While something is dragged over the unfocused grid, the focused row shows where the
    // drop goes.
    if (!focused && drag_object_ != nullptr && node != nullptr && node == focused_node_)
        return {HighlightColor, HighlightTextColor};
    if (selected) {
        if (focused)
            return {HighlightColor, HighlightTextColor};
        if (!hide_selection_)
            return {HideSelectionColor, HideSelectionTextColor};
    }
    if (grid_mode_ && node != nullptr && GetNodeHasChildrenQuery(node)) {
        ui::Color c = GroupNodeColor;
        if (HasGetLevelColor())
            DoGetLevelColor(node->Level(), c);
        return {c, GroupNodeTextColor.IsNone() ? text : GroupNodeTextColor};
    }
    if (column >= 0) {
        ui::Color c = GetColumnColor(column);
        if (c.ToRgb() != GetColor().ToRgb())
            return {c, text};
    }
    return {GetColor(), text};
}

void TCustomgxTreeList::DrawCell(ui::TCanvas& canvas, const ui::Rect& r,
                                 const TgxTreeListNode* node, int column, bool selected,
                                 bool focused, int kind, bool multi_line, ui::Color color,
                                 ui::Color text_color) {
    std::string text;
    TAlignment alignment = taLeftJustify;
    if (kind == 1) {
        text = GetRowFooterText(node, column, row_footer_level_);
        alignment = column >= 0 ? GetCellAlignment(node, column) : taLeftJustify;
    } else if (kind == 2) {
        text = GetInsertRowText(column);
        alignment = column >= 0 ? GetCellAlignment(node, column) : taLeftJustify;
    } else if (node != nullptr) {
        text = column >= 0 ? GetCellText(node, column) : GetCellText(node, 0);
        alignment = column >= 0 ? GetCellAlignment(node, column) : taLeftJustify;
    }
    ui::TFont font;
    font.Assign(column >= 0 && IsColumnFontExplicit(column) ? GetColumnFont(column) : Font());
    font.SetColor(text_color);
    bool done = false;
    if (kind == 1) {
        if (HasCustomDrawFooter(row_footer_level_))
            DoCustomDrawFooter(canvas, r, node, column, row_footer_level_, row_footer_index_, text,
                               color, font, alignment, done);
    } else if (HasCustomDrawCell(column)) {
        DoCustomDrawCell(canvas, r, node, column, selected, focused, kind == 2, text, color, font,
                         alignment, done);
    }
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.Font.Assign(font);
    DrawCellText(canvas, r, text, alignment, multi_line, IsDrawEndEllipsis());
    if (kind == 0 && searching_ && node != nullptr && node == focused_node_ && column >= 0 &&
        column == GetVisibleColumnIndex(search_column_) && !search_text_.empty()) {
        // The part of the text the search matched, in the search colours.
        auto inverse = [](ui::Color c) {
            QColor q = c.ToQColor();
            return ui::Color::Rgb(255 - q.red(), 255 - q.green(), 255 - q.blue());
        };
        // As the cell spells it, which may keep an accent as a mark of its own.
        std::string prefix = MatchedTextPrefix(text, search_text_);
        if (prefix.empty())
            prefix = QString::fromStdString(text)
                         .left(QString::fromStdString(search_text_).size())
                         .toStdString();
        ui::TFont mark_font;
        mark_font.Assign(font);
        mark_font.SetColor(AutoSearchTextColor.IsNone() ? inverse(text_color)
                                                        : AutoSearchTextColor);
        canvas.Font.Assign(mark_font);
        ui::Rect mark{r.left, r.top, std::min(r.right, r.left + canvas.TextWidth(prefix) + 3),
                      r.bottom};
        canvas.Brush = {
            AutoSearchColor.IsNone() ? inverse(color) : AutoSearchColor, ui::bsSolid, {}};
        DrawCellText(canvas, mark, prefix, taLeftJustify, false, false);
        canvas.DrawFocusRect(r.Inflated(-1, -1));
    }
}

void TCustomgxTreeList::DrawPreview(ui::TCanvas& canvas, const ui::Rect& r,
                                    const TgxTreeListNode* node, bool selected, ui::Color color,
                                    ui::Color text_color) {
    std::string text = GetPreviewText(node);
    ui::TFont font;
    font.Assign(preview_font_);
    ui::Color tc = selected && color == HighlightColor ? text_color : preview_font_.GetColor();
    bool done = false;
    if (HasCustomDrawPreview())
        DoCustomDrawPreview(canvas, r, node, selected, text, color, tc, font, done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(r);
    font.SetColor(tc);
    canvas.Font.Assign(font);
    ui::Rect t{r.left + indent_desc_, r.top + 1, r.right - 2, r.bottom};
    if (!t.IsEmpty() && !text.empty())
        canvas.DrawText(
            text, t,
            ui::DT_WORDBREAK | ui::DT_NOPREFIX | (IsDrawEndEllipsis() ? ui::DT_END_ELLIPSIS : 0u));
}

// What every row of one paint shares: the sideways scroll, the left edge of the rows, the
// indent slots and the line brush of the tree.
struct TCustomgxTreeList::RowPaintContext {
    int scroll = 0;
    bool tree = false;
    int grid = 0;
    int area_left = 0;
    int slot_base = 0;
    ui::TBrush tree_brush;
    const TgxTreeListNode* last_node = nullptr;
    int indent_limit = std::numeric_limits<int>::max();
    int bands_right = 0;
};

void TCustomgxTreeList::Paint(ui::TCanvas& canvas) {
    TDrawInfo info;
    CalcDrawInfo(info);
    const bool focused = PaintFocused();
    if (!info.group_panel.IsEmpty() && canvas.RectVisible(info.group_panel))
        DrawGroupPanel(canvas, info.group_panel);
    PaintBands(canvas, info);
    PaintHeaders(canvas, info);
    if (!info.new_item_row.IsEmpty() && canvas.RectVisible(info.new_item_row))
        PaintNewItemRow(canvas, info, focused);
    PaintIndicator(canvas, info);
    PaintFooter(canvas, info);
    PaintRows(canvas, info, focused);
}

void TCustomgxTreeList::PaintBands(ui::TCanvas& canvas, const TDrawInfo& info) {
    if (!info.band_button.IsEmpty() && canvas.RectVisible(info.band_button))
        DrawHeaderButton(canvas, {info.band_button, "", taLeftJustify, BandColor, look_and_feel_,
                                  csNone, 0, band_button_down_});
    if (!info.band_panel.IsEmpty() && canvas.RectVisible(info.band_panel)) {
        for (const TBandCellInfo& bc : info.band_cells) {
            ClipScope clip(canvas, bc.clip);
            std::string text = GetBandText(bc.band_index);
            TAlignment alignment = GetBandAlignment(bc.band_index);
            ui::Color color = BandColor;
            canvas.Font.Assign(band_font_);
            bool done = false;
            if (HasCustomDrawBand())
                DoCustomDrawBand(bc.band_index, canvas, bc.rect, text, color, canvas.Font,
                                 alignment, done);
            if (done)
                continue;
            THeaderButton b{bc.rect, text, alignment, color, look_and_feel_, csNone};
            b.multi_line = GetBandRowCount() > 1;
            b.pressed = state_ == tsBandDown && pressed_band_ == bc.band_index;
            DrawHeaderButton(canvas, b);
        }
    }
    for (bool left : {true, false}) {
        const ui::Rect& area = left ? info.fixed_left_area : info.fixed_right_area;
        if (area.IsEmpty())
            continue;
        ui::Rect line =
            left ? ui::Rect{area.right - fixed_band_line_width_, area.top, area.right, area.bottom}
                 : ui::Rect{area.left, area.top, area.left + fixed_band_line_width_, area.bottom};
        if (canvas.RectVisible(line))
            FillSolid(canvas, line, FixedBandLineColor);
    }
}

void TCustomgxTreeList::PaintHeaders(ui::TCanvas& canvas, const TDrawInfo& info) {
    if (!info.header_button.IsEmpty() && canvas.RectVisible(info.header_button))
        DrawHeaderButton(canvas, {info.header_button, "", taLeftJustify, HeaderColor,
                                  look_and_feel_, csNone, 0, header_button_down_});
    if (info.header_panel.IsEmpty() || !canvas.RectVisible(info.header_panel))
        return;
    for (const THeaderCellInfo& hc : info.header_cells) {
        {
            ClipScope clip(canvas, hc.clip);
            std::string text = GetHeaderText(hc.column);
            TAlignment alignment = GetHeaderAlignment(hc.column);
            TgxTreeListColumnSort sorted = GetColumnSorted(hc.column);
            ui::Color color = HeaderColor;
            canvas.Font.Assign(header_font_);
            bool done = false;
            if (HasCustomDrawHeader())
                DoCustomDrawHeader(hc.column, canvas, hc.rect, text, color, canvas.Font, alignment,
                                   sorted, done);
            if (!done) {
                THeaderButton b{hc.rect, text, alignment, color, look_and_feel_, sorted};
                b.glyph = GetHeaderGlyph(hc.column);
                b.pressed = state_ == tsColumnDown && pressed_column_ == hc.column;
                b.edge_kind = hc.first_in_row && hc.last_in_row ? 0
                              : hc.first_in_row                 ? 2
                              : hc.last_in_row                  ? 1
                                                                : 3;
                b.multi_line = hc.line_count >= 2 || GetHeaderMinRowCount() >= 2;
                DrawHeaderButton(canvas, b);
            }
        }
        if (!hc.fill.IsEmpty())
            FillSolid(canvas, hc.fill, ui::clBtnShadow);
    }
    for (const TEmptyHeaderInfo& e : info.empty_headers)
        FillSolid(canvas, e.rect, ui::clBtnShadow);
}

void TCustomgxTreeList::PaintIndicator(ui::TCanvas& canvas, const TDrawInfo& info) {
    if (!info.indicator.IsEmpty() && !info.rows.empty() && canvas.RectVisible(info.indicator)) {
        int y = info.node_area.top;
        for (const TRowInfo& row : info.rows) {
            ui::Rect cell{info.indicator.left, y, info.indicator.right,
                          std::min(y + row.row_height, info.node_area.bottom)};
            DrawIndicator(canvas, cell, row.indicator_kind, HeaderColor, look_and_feel_);
            y += std::max(1, row.row_height);
        }
    }
    // Kept out of everything drawn later.
    if (!info.indicator.IsEmpty())
        canvas.ExcludeClipRect(info.indicator);
}

void TCustomgxTreeList::PaintFooter(ui::TCanvas& canvas, const TDrawInfo& info) {
    if (info.footer.IsEmpty() || !canvas.RectVisible(info.footer))
        return;
    ui::Rect r = info.footer;
    // While scrolled, the footer's side edges stay outside the view.
    if (info.fixed_left_band == -1) {
        int widen = look_and_feel_ == lfFlat ? 1 : 2;
        if (left_coord_ != 0)
            r.left -= widen;
        if (info.bands_right_edge + 1 > r.right)
            r.right += widen;
    }
    if (look_and_feel_ == lfFlat) {
        canvas.DrawEdge(r, ui::BDR_SUNKENOUTER, ui::BF_TOP);
        r.top += 1;
    } else {
        canvas.Brush = {ui::clWindowFrame, ui::bsSolid, {}};
        canvas.FrameRect(r);
        r = r.Inflated(-1, -1);
    }
    r = canvas.DrawEdge(r, ui::BDR_RAISEDINNER, ui::BF_RECT | ui::BF_ADJUST);
    FillSolid(canvas, r, HeaderColor);
    for (const THeaderCellInfo& hc : info.header_cells)
        if (IsExistFooterCell(hc.column))
            PaintFooterCell(canvas, info, hc, r);
}

void TCustomgxTreeList::PaintFooterCell(ui::TCanvas& canvas, const TDrawInfo& info,
                                        const THeaderCellInfo& hc, const ui::Rect& footer) {
    ui::Rect cell{hc.rect.left, footer.top + hc.row * footer_row_height_, hc.rect.right,
                  footer.top + (hc.row + 1) * footer_row_height_};
    cell = cell.Inflated(-1, -1);
    if (hc.first_of_header)
        cell.left += 1;
    if (hc.last_in_row && !info.band_cells.empty() &&
        hc.band_index == info.band_cells.back().band_index)
        cell.right -= 2;
    ClipScope clip(canvas, ui::Rect{hc.clip.left, footer.top, hc.clip.right, footer.bottom});
    cell = canvas.DrawEdge(cell, ui::BDR_SUNKENOUTER, ui::BF_RECT | ui::BF_ADJUST);
    std::string text = GetFooterText(hc.column);
    ui::Color color = HeaderColor;
    // Footer cells go through the cell painter's footer mode, so they align like the
    // column's cells (sums under right-aligned numbers).
    TAlignment alignment = GetCellAlignment(nullptr, hc.column);
    ui::TFont font;
    font.Assign(Font());
    bool done = false;
    if (HasCustomDrawFooter(-1))
        DoCustomDrawFooter(canvas, cell, nullptr, hc.column, -1, 0, text, color, font, alignment,
                           done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.Font.Assign(font);
    DrawCellText(canvas, cell, text, alignment, hc.line_count > 1 || hc.multi_line, true);
}

void TCustomgxTreeList::PaintRows(ui::TCanvas& canvas, TDrawInfo& info, bool focused) {
    for (const ui::Rect& empty : {info.empty_right, info.empty_bottom})
        if (!empty.IsEmpty() && canvas.RectVisible(empty))
            FillSolid(canvas, empty, GetColor());
    if (info.rows.empty() || !canvas.RectVisible(info.node_area))
        return;
    ClipScope node_clip(canvas, info.node_area);
    RowPaintContext ctx;
    ctx.scroll = info.fixed_left_band == -1 ? left_coord_ : 0;
    ctx.tree = !grid_mode_;
    ctx.grid = show_grid_ ? RowSeparatorLineWidth() : 0;
    ctx.area_left = info.node_area.left - ctx.scroll;
    // Slots of the indent strip move one level left when the root has no indent.
    ctx.slot_base = ctx.area_left - ((ctx.tree && !show_root_) ? kLevelIndent : 0);
    // Dotted tree lines keep one dot phase in client coordinates, so rows line up.
    ctx.tree_brush = TreeLineStyle == tlsDotted
                         ? ui::TBrush{TreeLineColor, ui::bsHalftone, {0, 0}, GetColor()}
                         : ui::TBrush{TreeLineColor, ui::bsSolid, {}};
    ctx.last_node = GetLastNode();
    // The indent of a deep node may run past the first column; the cells drawn there cover
    // its strip, and its slot lines must not cut through them either.
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.first_of_header && hc.row == 0)
            ctx.indent_limit = hc.rect.right;
    ctx.bands_right = info.bands_right_edge + 1;
    Segments lines;
    lines.reserve(info.rows.size() * (info.header_cells.size() + 4));
    int y = info.node_area.top;
    for (TRowInfo& row : info.rows) {
        BeginNodeRecord(row.node);
        try {
            PaintRowIndent(canvas, info, ctx, row, y, lines);
        } catch (...) {
            EndNodeRecord(row.node);
            throw;
        }
        EndNodeRecord(row.node);
        y += std::max(1, row.row_height);
    }
    y = info.node_area.top;
    for (TRowInfo& row : info.rows) {
        BeginNodeRecord(row.node);
        try {
            PaintRowContent(canvas, info, ctx, row, y, focused, lines);
        } catch (...) {
            EndNodeRecord(row.node);
            throw;
        }
        EndNodeRecord(row.node);
        y += std::max(1, row.row_height);
    }
    canvas.Pen = {show_grid_ ? GetGridLineColorValue() : GetColor(), 1, ui::psSolid, ui::pmCopy};
    canvas.PolyPolyline(lines);
}

void TCustomgxTreeList::PaintRowIndent(ui::TCanvas& canvas, const TDrawInfo& info,
                                       const RowPaintContext& ctx, TRowInfo& row, int y,
                                       Segments& lines) {
    const TgxTreeListNode* node = row.node;
    int image_left = 0, text_left = 0;
    int slot_count = GetNodeIndent(node, image_left, text_left);
    row.indent_start = text_left;
    const int bottom = std::min(y + row.row_height, info.node_area.bottom);
    const ui::Color row_color = grid_mode_ ? GroupNodeColor : GetColor();
    if (image_left > 0) {
        PaintIndentSlots(canvas, ctx, row, y, slot_count, lines);
        if (ctx.tree && ShowLines)
            PaintTreeLines(canvas, ctx, row, y, bottom);
        if (ShowButtons && node->HasChildren() && slot_count > 0) {
            const int level = node->Level();
            ui::Rect slot{ctx.slot_base + level * kLevelIndent, y,
                          ctx.slot_base + (level + 1) * kLevelIndent, y + row.row_height};
            if (ctx.tree)
                DrawExpandButton(canvas, slot, node->Expanded());
            else
                DrawExpandGlyph(canvas, slot, node->Expanded());
        }
    }
    int image_x = ctx.area_left + image_left;
    if (state_images_ != nullptr && GetNodeStateIndex(node) >= 0) {
        ui::Rect r{image_x, y, image_x + state_images_->Width(), bottom};
        FillSolid(canvas, r, row_color);
        DrawImageListImage(canvas, r, state_images_, GetNodeStateIndex(node));
        image_x += state_images_->Width();
    }
    if (images_ != nullptr) {
        ui::Rect r{image_x, y, image_x + images_->Width(), bottom};
        FillSolid(canvas, r, grid_mode_ ? row_color : GetColor());
        int index = node == focused_node_ ? GetNodeSelectedIndex(node) : GetNodeImageIndex(node);
        DrawImageListImage(canvas, r, images_, index);
    }
}

void TCustomgxTreeList::PaintIndentSlots(ui::TCanvas& canvas, const RowPaintContext& ctx,
                                         const TRowInfo& row, int y, int slot_count,
                                         Segments& lines) {
    const TgxTreeListNode* node = row.node;
    const bool tree = ctx.tree;
    const int level = node->Level();
    const int row_bottom = y + row.row_height;
    const ui::Color row_color = grid_mode_ ? GroupNodeColor : GetColor();
    // Where the row's horizontal grid line starts inside the indent.
    int g = level * kLevelIndent;
    if (node->Expanded())
        g += kLevelIndent - 1;
    if (!node->HasChildren() && node->IsLast())
        g -= kLevelIndent;
    if (const TgxTreeListNode* next = GetNextVisibleNode(node);
        next != nullptr && next->Level() < level)
        g = next->Level() * kLevelIndent;
    if (node == ctx.last_node)
        g = 0;
    if (tree && !show_root_)
        g -= kLevelIndent;
    const bool full_slots = tree && !show_grid_;
    const int group_level = row.group_row ? level : level - 1;
    for (int i = (tree && !show_root_) ? 1 : 0; i < slot_count; ++i) {
        int x0 = ctx.slot_base + i * kLevelIndent;
        int x1 = x0 + kLevelIndent - (full_slots ? 0 : 1);
        int y0 = y + ((!tree && row.group_row && !show_grid_ && i == slot_count - 1) ? 1 : 0);
        int y1 = row_bottom - row_footer_height_ * GetNodeFooterCountBelowLevel(node, i);
        bool shortened = !full_slots && x1 > ctx.area_left + g && ctx.grid > 0;
        if (shortened)
            y1 -= ctx.grid;
        ui::Color c = row_color;
        if (!tree && i <= group_level && HasGetLevelColor())
            DoGetLevelColor(i, c);
        FillSolid(canvas, {x0, y0, x1, y1}, c);
        if (!full_slots && x1 < ctx.indent_limit)
            lines.push_back({{x1, y}, {x1, y1 + ctx.grid}});
        // The row's horizontal grid line under the slot.
        if (shortened && x0 < ctx.indent_limit)
            lines.push_back({{x0, y1}, {std::min(x1 + 1, ctx.indent_limit), y1}});
    }
}

void TCustomgxTreeList::PaintTreeLines(ui::TCanvas& canvas, const RowPaintContext& ctx,
                                       const TRowInfo& row, int y, int bottom) {
    const TgxTreeListNode* node = row.node;
    const int level = node->Level();
    canvas.Brush = ctx.tree_brush;
    int mid = y + row.row_height / 2;
    int x = ctx.slot_base + level * kLevelIndent + kLevelIndent / 2 - 1;
    bool button = ShowButtons && node->HasChildren();
    bool first_top = node->Parent() == nullptr && node->Index() == 0;
    canvas.FillRect(
        {x + (button ? 5 : 0), mid, ctx.slot_base + (level + 1) * kLevelIndent, mid + 1});
    if (button) {
        if (!first_top)
            canvas.FillRect({x, y, x + 1, mid - 5});
        if (!node->IsLast())
            canvas.FillRect({x, mid + 5, x + 1, bottom});
    } else {
        canvas.FillRect({x, first_top ? mid : y, x + 1, node->IsLast() ? mid : bottom});
    }
    int slot = level - 1;
    for (const TgxTreeListNode* a = node->Parent(); a != nullptr; a = a->Parent(), --slot) {
        if (a->IsLast())
            continue;
        int ax = ctx.slot_base + slot * kLevelIndent + kLevelIndent / 2 - 1;
        canvas.FillRect({ax, y, ax + 1, bottom});
    }
}

void TCustomgxTreeList::PaintRowContent(ui::TCanvas& canvas, const TDrawInfo& info,
                                        const RowPaintContext& ctx, const TRowInfo& row, int y,
                                        bool focused, Segments& lines) {
    const bool row_focused = row.node == focused_node_;
    const bool row_selected = row.selected || (IsRowSelect() && row_focused && !IsMultiSelect());
    int preview_block = 0;
    if (row.preview_line_count > 0)
        preview_block = row.preview_line_count * preview_line_height_ + 2 +
                        (show_grid_ && show_preview_grid_ ? 1 : 0);
    const int cell_bottom =
        std::min(y + row.row_height - preview_block - row.row_footer_height, info.node_area.bottom);
    const int row_bottom = std::min(y + row.row_height, info.node_area.bottom);
    const int footers_top = y + row.row_height - row.row_footer_height;
    ui::Rect focus_rect;
    if (row.group_row) {
        ui::Rect area{ctx.area_left + row.indent_start, y, ctx.bands_right, cell_bottom - ctx.grid};
        CellColors colors = GetCellColors(row.node, row_selected, focused, -1);
        DrawCell(canvas, area, row.node, -1, row_selected, row_focused, 0, false, colors.color,
                 colors.text);
        if (row_focused)
            focus_rect = area;
        if (show_grid_)
            lines.push_back({{area.left, cell_bottom - 1}, {ctx.bands_right, cell_bottom - 1}});
    } else {
        focus_rect =
            PaintDataCells(canvas, info, row, y, cell_bottom, row_selected, focused, lines);
        if (row_focused && (IsRowSelect() || IsInvertSelect()))
            focus_rect = {ctx.area_left + row.indent_start, y,
                          ctx.bands_right - (show_grid_ ? 1 : 0),
                          std::min(footers_top, info.node_area.bottom) - ctx.grid};
    }
    if (row.preview_line_count > 0 && !row.group_row) {
        ui::Rect preview{ctx.area_left + row.indent_start, cell_bottom,
                         ctx.bands_right - (show_grid_ ? 1 : 0),
                         std::min(cell_bottom + preview_block, row_bottom) -
                             (show_grid_ && show_preview_grid_ ? 1 : 0)};
        CellColors colors = GetCellColors(row.node, row_selected, focused, -1);
        DrawPreview(canvas, preview, row.node, row_selected, colors.color, colors.text);
        if (show_grid_ && show_preview_grid_)
            lines.push_back({{preview.left, preview.bottom}, {ctx.bands_right, preview.bottom}});
        // The grid's right edge continues past the preview strip.
        if (show_grid_)
            lines.push_back({{preview.right, preview.top}, {preview.right, preview.bottom}});
    }
    if (row.row_footer_count > 0)
        PaintRowFooters(canvas, info, row, footers_top, lines);
    if (!focus_rect.IsEmpty()) {
        if (focused) {
            if (!IsHideFocusRect())
                canvas.DrawFocusRect(focus_rect);
        } else if (!hide_focus_rect_ && drag_object_ == nullptr) {
            DrawInvertedFrame(canvas, focus_rect);
        }
    }
}

ui::Rect TCustomgxTreeList::PaintDataCells(ui::TCanvas& canvas, const TDrawInfo& info,
                                           const TRowInfo& row, int y, int cell_bottom,
                                           bool row_selected, bool focused, Segments& lines) {
    const bool row_focused = row.node == focused_node_;
    const int grid = show_grid_ ? RowSeparatorLineWidth() : 0;
    if (!info.fixed_left_area.IsEmpty())
        FillSolid(canvas,
                  {info.fixed_left_area.right - fixed_band_line_width_, y,
                   info.fixed_left_area.right, cell_bottom},
                  FixedBandLineColor);
    if (!info.fixed_right_area.IsEmpty())
        FillSolid(canvas,
                  {info.fixed_right_area.left, y,
                   info.fixed_right_area.left + fixed_band_line_width_, cell_bottom},
                  FixedBandLineColor);
    // A band without visible columns has no cells: its strip of the row is plain background
    // rather than whatever was on the screen.
    for (const TEmptyHeaderInfo& e : info.empty_headers)
        FillSolid(canvas, {e.rect.left, y, e.rect.right, cell_bottom}, GetColor());
    const int focused_column = GetVisibleColumnIndex(GetFocusedColumn());
    ui::Rect focus_rect;
    for (const THeaderCellInfo& hc : info.header_cells) {
        CellLayout cell = LayoutCell(row, y, hc, info);
        bool cell_focused = row_focused && hc.column == focused_column;
        // A first cell that the indent has eaten up still keeps its grid line.
        if (!cell.clipped.IsEmpty() || !cell.rect.IsEmpty()) {
            CellColors colors = GetCellColors(row.node, row_selected, focused, hc.column);
            bool multi = hc.line_count > 1 || row.line_count > 1 || IsColumnMultiLine(hc.column);
            ClipScope clip(canvas, ui::Rect{hc.clip.left, info.node_area.top, hc.clip.right,
                                            info.node_area.bottom});
            DrawCell(canvas, cell.rect, row.node, hc.column, row_selected, cell_focused, 0, multi,
                     colors.color, colors.text);
        }
        int right = std::min(cell.rect.right, hc.clip.right - (show_grid_ ? 1 : 0));
        int left = std::max(cell.rect.left, hc.clip.left);
        if (show_grid_ && right >= left) {
            lines.push_back(
                {{cell.rect.right, cell.rect.top}, {cell.rect.right, cell.rect.bottom + grid}});
            lines.push_back({{left, cell.rect.bottom},
                             {std::min(hc.clip.right, cell.rect.right + 1), cell.rect.bottom}});
        }
        if (cell_focused && !IsRowSelect() && !IsInvertSelect() && !new_item_row_active_)
            focus_rect = ui::Intersect(cell.rect, ui::Rect{hc.clip.left, info.node_area.top,
                                                           hc.clip.right, info.node_area.bottom});
    }
    return focus_rect;
}

void TCustomgxTreeList::GetRowFooterRect(const TgxTreeListNode* node, int k, ui::Rect& rect,
                                         const TDrawInfo& info, int grid_line, int y) const {
    const bool loses_level = !grid_mode_ && !show_root_;
    int l = GetNodeFooterLevel(node, k);
    rect.top = y + k * row_footer_height_;
    rect.bottom = rect.top + row_footer_height_;
    rect.left = l == -1 ? info.node_area.left : info.node_area.left + (l + 1) * kLevelIndent;
    if (loses_level)
        rect.left -= kLevelIndent;
    rect.right = info.node_area.left + GetBandsWidth() - grid_line;
    if (info.fixed_left_band == -1) {
        rect.left -= left_coord_;
        rect.right -= left_coord_;
    } else {
        rect.right -= left_coord_;
    }
    if (info.fixed_right_band != -1) {
        if (rect.right >= info.node_area.right)
            rect.right = info.node_area.right - grid_line;
        rect.left = std::min(rect.left, info.fixed_right_area.left);
    }
    rect.left = std::max(rect.left, info.node_area.left);
}

void TCustomgxTreeList::PaintRowFooters(ui::TCanvas& canvas, const TDrawInfo& info,
                                        const TRowInfo& row, int footers_top, Segments& lines) {
    const int grid_line = show_grid_ ? 1 : 0;
    for (int k = 0; k < row.row_footer_count; ++k) {
        ui::Rect band;
        GetRowFooterRect(row.node, k, band, info, grid_line, footers_top);
        if (band.IsEmpty() || !canvas.RectVisible(band))
            continue;
        const int level = GetNodeFooterLevel(row.node, k);
        ClipScope band_clip(canvas, band);
        FillSolid(canvas, band, RowFooterColor);
        if (grid_line > 0)
            lines.push_back({{band.right, band.top}, {band.right, band.bottom}});
        for (const THeaderCellInfo& hc : info.header_cells) {
            if (!IsExistRowFooterCell(row.node, hc.column, level))
                continue;
            ui::Rect cell{hc.rect.left, band.top + hc.row * footer_row_height_, hc.rect.right,
                          band.top + (hc.row + hc.line_count) * footer_row_height_};
            // The first cell starts where the footer's band does, past the level's indent.
            if (hc.first_of_header)
                cell.left = std::max(cell.left, band.left);
            cell = cell.Inflated(-1, -1);
            if (cell.IsEmpty())
                continue;
            ClipScope clip(canvas, ui::Rect{hc.clip.left, band.top, hc.clip.right, band.bottom});
            cell = canvas.DrawEdge(cell, ui::BDR_SUNKENOUTER, ui::BF_RECT | ui::BF_ADJUST);
            row_footer_level_ = level;
            row_footer_index_ = k;
            DrawCell(canvas, cell, row.node, hc.column, false, false, 1, hc.line_count > 1,
                     RowFooterColor, RowFooterTextColor);
        }
    }
}

void TCustomgxTreeList::PaintNewItemRow(ui::TCanvas& canvas, const TDrawInfo& info, bool focused) {
    const ui::Rect& strip = info.new_item_row;
    const int indicator = IndicatorWidthShown();
    const bool grid_lines = show_grid_ && show_preview_grid_;
    const int cells_bottom = strip.top + default_row_height_ - (grid_lines ? 1 : 0);
    ui::Rect data{strip.left + indicator, strip.top, strip.right, cells_bottom};
    // The cells sit on the window colour; the strip under them separates the new-item
    // row from the rows in the header colour.
    FillSolid(canvas, data, GetColor());
    FillSolid(canvas, {strip.left + indicator, cells_bottom, strip.right, strip.bottom},
              HeaderColor);
    if (indicator > 0)
        DrawIndicator(canvas, {strip.left, strip.top, strip.left + indicator, strip.bottom}, 3,
                      HeaderColor, look_and_feel_);
    Segments lines;
    const int grid = show_grid_ ? 1 : 0;
    const int focused_column = GetVisibleColumnIndex(GetFocusedColumn());
    for (const THeaderCellInfo& hc : info.header_cells) {
        ui::Rect cell{hc.rect.left, strip.top + hc.row * default_row_height_, hc.rect.right,
                      strip.top + (hc.row + hc.line_count) * default_row_height_};
        cell.bottom = std::min(cell.bottom, cells_bottom);
        if (show_grid_) {
            cell.right -= 1;
            cell.bottom -= grid;
        }
        ui::Rect clip{hc.clip.left, strip.top, hc.clip.right, cells_bottom};
        if (cell.IsEmpty() || ui::Intersect(cell, clip).IsEmpty())
            continue;
        bool cell_focused = new_item_row_active_ && hc.column == focused_column;
        CellColors colors = GetCellColors(nullptr, false, focused, hc.column);
        {
            ClipScope scope(canvas, clip);
            DrawCell(canvas, cell, nullptr, hc.column, false, cell_focused, 2,
                     hc.line_count > 1 || IsColumnMultiLine(hc.column), colors.color, colors.text);
            if (cell_focused && !IsRowSelect() && !IsInvertSelect() && focused &&
                !IsHideFocusRect())
                canvas.DrawFocusRect(ui::Intersect(cell, clip));
        }
        if (show_grid_) {
            lines.push_back({{cell.right, cell.top}, {cell.right, cell.bottom + grid}});
            lines.push_back({{std::max(cell.left, clip.left), cell.bottom},
                             {std::min(clip.right, cell.right + 1), cell.bottom}});
        }
    }
    canvas.Pen = {GetGridLineColorValue(), 1, ui::psSolid, ui::pmCopy};
    canvas.PolyPolyline(lines);
}

}  // namespace grid
