#include "grid/core/draw_utils.h"

#include <QBitmap>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>

#include <algorithm>

#include "grid/core/tree_list.h"
#include "platform/ui/image_list.h"

namespace grid {
namespace {

unsigned AlignFlags(TAlignment a) {
    switch (a) {
        case taRightJustify:
            return ui::DT_RIGHT;
        case taCenter:
            return ui::DT_CENTER;
        case taLeftJustify:
            break;
    }
    return ui::DT_LEFT;
}

void Fill(ui::TCanvas& canvas, const ui::Rect& r, ui::Color c) {
    ui::TBrush saved = canvas.Brush;
    canvas.Brush = {c, ui::bsSolid, {}};
    canvas.FillRect(r);
    canvas.Brush = saved;
}

}  // namespace

void DrawHeaderButton(ui::TCanvas& canvas, const THeaderButton& b) {
    if (b.rect.IsEmpty())
        return;
    ui::Rect r = b.rect;
    Fill(canvas, r, b.color);
    if (b.look == lfStandard) {
        canvas.DrawEdge(r, ui::BDR_RAISEDINNER, ui::BF_RECT);
        if (b.pressed)
            canvas.DrawEdge(r.Inflated(-1, -1), ui::BDR_SUNKENOUTER, ui::BF_RECT);
    } else {
        unsigned sides = ui::BF_TOP | ui::BF_BOTTOM;
        if (b.edge_kind == 0 || b.edge_kind == 2)
            sides |= ui::BF_LEFT;
        sides |= ui::BF_RIGHT;
        canvas.DrawEdge(r, b.pressed ? ui::BDR_SUNKENOUTER : ui::BDR_RAISEDINNER, sides);
    }
    ui::Rect text = r.Inflated(-2, -1);
    if (b.sorted != csNone && r.Width() >= kSortMarkWidth) {
        ui::Rect mark{r.right - kSortMarkWidth, r.top, r.right, r.bottom};
        text.right = mark.left;
        int cx = mark.left + 4;
        int cy = (mark.top + mark.bottom) / 2;
        QPainter& p = canvas.Painter();
        p.save();
        p.setRenderHint(QPainter::Antialiasing, false);
        QPolygon tri;
        if (b.sorted == csUp)
            tri << QPoint(cx + 4, cy - 3) << QPoint(cx, cy + 3) << QPoint(cx + 8, cy + 3);
        else
            tri << QPoint(cx, cy - 3) << QPoint(cx + 8, cy - 3) << QPoint(cx + 4, cy + 3);
        p.setPen(ui::clBtnShadow.ToQColor());
        p.setBrush(ui::clBtnShadow.ToQColor());
        p.drawPolygon(tri);
        p.setPen(ui::clBtnHighlight.ToQColor());
        p.drawLine(tri[1], tri[2]);
        p.restore();
    }
    if (b.glyph != nullptr && !b.glyph->isNull() && !text.IsEmpty()) {
        const QImage& g = *b.glyph;
        QPixmap pixmap = QPixmap::fromImage(g);
        pixmap.setMask(pixmap.createMaskFromColor(g.pixelColor(0, g.height() - 1)));
        int gy = r.top + (r.Height() - g.height() + 1) / 2;
        QPainter& p = canvas.Painter();
        p.save();
        p.setClipRect(QRect(text.left, r.top, text.Width(), r.Height()), Qt::IntersectClip);
        p.drawPixmap(text.left, gy, pixmap);
        p.restore();
        text.left += g.width() + 2;
    }
    unsigned flags = AlignFlags(b.alignment) | ui::DT_NOPREFIX;
    flags |= b.multi_line ? ui::DT_WORDBREAK : (ui::DT_SINGLELINE | ui::DT_VCENTER);
    if (b.end_ellipsis)
        flags |= ui::DT_END_ELLIPSIS;
    if (!text.IsEmpty() && !b.text.empty())
        canvas.DrawText(b.text, text, flags);
    if (b.highlighted)
        canvas.InvertRect(r);
}

void DrawIndicatorGlyph(ui::TCanvas& canvas, const ui::Rect& r, int kind) {
    if (kind <= 0)
        return;
    QPainter& p = canvas.Painter();
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    int cx = (r.left + r.right) / 2;
    int cy = (r.top + r.bottom) / 2;
    switch (kind) {
        case 1:
        case 5: {
            QPolygon arrow;
            int x = kind == 5 ? cx - 3 : cx - 2;
            arrow << QPoint(x, cy - 4) << QPoint(x + 4, cy) << QPoint(x, cy + 4);
            p.drawPolygon(arrow);
            if (kind == 5)
                p.fillRect(QRect(cx + 2, cy - 1, 2, 2), Qt::black);
            break;
        }
        case 2:
            p.fillRect(QRect(cx - 2, cy - 4, 5, 1), Qt::black);
            p.fillRect(QRect(cx, cy - 4, 1, 9), Qt::black);
            p.fillRect(QRect(cx - 2, cy + 4, 5, 1), Qt::black);
            break;
        case 3:
            p.fillRect(QRect(cx - 3, cy, 7, 1), Qt::black);
            p.fillRect(QRect(cx, cy - 3, 1, 7), Qt::black);
            p.fillRect(QRect(cx - 2, cy - 2, 1, 1), Qt::black);
            p.fillRect(QRect(cx + 2, cy + 2, 1, 1), Qt::black);
            p.fillRect(QRect(cx + 2, cy - 2, 1, 1), Qt::black);
            p.fillRect(QRect(cx - 2, cy + 2, 1, 1), Qt::black);
            break;
        case 4:
            p.fillRect(QRect(cx - 1, cy - 1, 3, 3), Qt::black);
            break;
        default:
            break;
    }
    p.restore();
}

void DrawIndicator(ui::TCanvas& canvas, const ui::Rect& r, int kind, ui::Color color,
                   TgxLookAndFeel look) {
    Fill(canvas, r, color);
    if (look == lfStandard)
        canvas.DrawEdge(r, ui::BDR_RAISEDINNER, ui::BF_RECT);
    else
        canvas.DrawEdge(r, ui::BDR_RAISEDINNER, ui::BF_RIGHT | ui::BF_BOTTOM);
    DrawIndicatorGlyph(canvas, r, kind);
}

void DrawExpandButton(ui::TCanvas& canvas, const ui::Rect& r, bool expanded) {
    int left = (r.left + r.right - 9) / 2;
    int top = (r.top + r.bottom) / 2 - 4;
    ui::Rect box{left, top, left + 9, top + 9};
    Fill(canvas, box.Inflated(-1, -1), ui::clWindow);
    ui::TBrush saved = canvas.Brush;
    canvas.Brush = {ui::clGrayText, ui::bsSolid, {}};
    canvas.FrameRect(box);
    canvas.Brush = {ui::clWindowText, ui::bsSolid, {}};
    canvas.FillRect({left + 2, top + 4, left + 7, top + 5});
    if (!expanded)
        canvas.FillRect({left + 4, top + 2, left + 5, top + 7});
    canvas.Brush = saved;
}

void DrawExpandGlyph(ui::TCanvas& canvas, const ui::Rect& r, bool expanded) {
    int left = r.left + (r.Width() - kExpandGlyphSize + 1) / 2;
    int top = r.top + (r.Height() - kExpandGlyphSize + 1) / 2;
    ui::Rect box = ui::Bounds(left, top, kExpandGlyphSize, kExpandGlyphSize);
    Fill(canvas, box, ui::clBtnFace);
    canvas.DrawEdge(box, ui::BDR_RAISEDOUTER | ui::BDR_SUNKENINNER, ui::BF_RECT);
    Fill(canvas, {left + 3, top + 5, left + 9, top + 7}, ui::clBtnText);
    if (!expanded)
        Fill(canvas, {left + 5, top + 3, left + 7, top + 9}, ui::clBtnText);
}

void DrawCellText(ui::TCanvas& canvas, const ui::Rect& r, std::string_view text,
                  TAlignment alignment, bool multi_line, bool end_ellipsis) {
    if (r.IsEmpty())
        return;
    canvas.FillRect(r);
    ui::Rect t{r.left + 2, r.top + 1, r.right - 2, r.bottom};
    if (t.IsEmpty() || text.empty())
        return;
    unsigned flags = AlignFlags(alignment) | ui::DT_NOPREFIX;
    flags |= multi_line ? ui::DT_WORDBREAK : (ui::DT_SINGLELINE | ui::DT_VCENTER);
    if (end_ellipsis)
        flags |= ui::DT_END_ELLIPSIS;
    canvas.DrawText(text, t, flags);
}

void DrawPanelText(ui::TCanvas& canvas, const ui::Rect& r, std::string_view text,
                   TAlignment alignment) {
    ui::Rect inner = r.Inflated(-1, -1);
    canvas.FillRect(inner);
    ui::Rect t{inner.left + 2, inner.top, inner.right - 2, inner.bottom};
    if (!t.IsEmpty() && !text.empty())
        canvas.DrawText(
            text, t, AlignFlags(alignment) | ui::DT_SINGLELINE | ui::DT_VCENTER | ui::DT_NOPREFIX);
}

void DrawHalftoneRect(ui::TCanvas& canvas, const ui::Rect& r, ui::Color color) {
    if (r.IsEmpty())
        return;
    QPainter& p = canvas.Painter();
    p.save();
    // The dot phase follows the client origin, so neighbouring rectangles line up.
    p.setBrushOrigin(0, 0);
    p.setBackgroundMode(Qt::TransparentMode);
    p.fillRect(QRect(r.left, r.top, r.Width(), r.Height()),
               QBrush(color.ToQColor(), Qt::Dense4Pattern));
    p.restore();
}

void DrawInvertedFrame(ui::TCanvas& canvas, const ui::Rect& r) {
    if (r.IsEmpty())
        return;
    canvas.InvertRect({r.left, r.top, r.right, r.top + 1});
    canvas.InvertRect({r.right - 1, r.top + 1, r.right, r.bottom});
    canvas.InvertRect({r.left, r.top + 1, r.left + 1, r.bottom});
    canvas.InvertRect({r.left + 1, r.bottom - 1, r.right - 1, r.bottom});
}

void DrawImageListImage(ui::TCanvas& canvas, const ui::Rect& r, const ui::TCustomImageList* images,
                        int index) {
    if (images == nullptr || index < 0 || index >= images->Count())
        return;
    int x = r.left + (r.Width() - images->Width() + 1) / 2;
    int y = r.top + (r.Height() - images->Height() + 1) / 2;
    images->Draw(canvas, x, y, index);
}

int CountTextLines(int height, int line_height, int font_line_height, int maximum) {
    int lh = line_height != 0 ? line_height : font_line_height;
    if (lh <= 0)
        return 0;
    int count = std::max(0, height / lh);
    if (maximum != -1)
        count = std::min(count, maximum);
    return count;
}

}  // namespace grid
