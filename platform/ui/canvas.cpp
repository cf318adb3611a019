#include "platform/ui/canvas.h"

#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>
#include <QRegion>

#include <cstdlib>

namespace ui {
namespace {

QRect ToQRect(const Rect& r) {
    return QRect(r.left, r.top, r.Width(), r.Height());
}

QString ToQString(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QBrush ToQBrush(const TBrush& b) {
    if (b.style == bsClear)
        return QBrush(Qt::NoBrush);
    return QBrush(b.color.ToQColor(), b.style == bsHalftone ? Qt::Dense4Pattern : Qt::SolidPattern);
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

// Removes mnemonic markers: "&&" stands for one ampersand.
QString StripPrefix(const QString& s) {
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == u'&' && i + 1 < s.size())
            ++i;
        else if (s[i] == u'&')
            continue;
        out += s[i];
    }
    return out;
}

}  // namespace

TCanvas::TCanvas(QPainter& painter) : painter_(&painter) {}

TCanvas::TCanvas(QPaintDevice& device)
    : own_painter_(std::make_unique<QPainter>(&device)), painter_(own_painter_.get()) {}

TCanvas::~TCanvas() = default;

void TCanvas::FillRect(const Rect& r) {
    if (r.IsEmpty() || Brush.style == bsClear)
        return;
    QBrush brush = ToQBrush(Brush);
    if (Brush.style == bsHalftone) {
        // Qt's 50% pattern covers the pixels whose x + y is odd relative to the brush
        // origin; one step right puts the brush colour on the origin's own parity.
        painter_->fillRect(ToQRect(r), Brush.background.ToQColor());
        painter_->save();
        painter_->setBrushOrigin(Brush.origin.x + 1, Brush.origin.y);
        painter_->fillRect(ToQRect(r), brush);
        painter_->restore();
        return;
    }
    painter_->fillRect(ToQRect(r), brush);
}

void TCanvas::FrameRect(const Rect& r) {
    if (r.IsEmpty())
        return;
    QColor c = Brush.color.ToQColor();
    painter_->fillRect(QRect(r.left, r.top, r.Width(), 1), c);
    painter_->fillRect(QRect(r.left, r.bottom - 1, r.Width(), 1), c);
    painter_->fillRect(QRect(r.left, r.top, 1, r.Height()), c);
    painter_->fillRect(QRect(r.right - 1, r.top, 1, r.Height()), c);
}

void TCanvas::Rectangle(const Rect& r) {
    if (r.IsEmpty())
        return;
    FillRect(r.Inflated(-Pen.width, -Pen.width));
    if (Pen.style == psClear)
        return;
    TBrush saved = Brush;
    Brush = {Pen.color, bsSolid, {}};
    for (int i = 0; i < Pen.width; ++i)
        FrameRect(r.Inflated(-i, -i));
    Brush = saved;
}

void TCanvas::ApplyPen() {
    if (Pen.style == psClear) {
        painter_->setPen(Qt::NoPen);
        return;
    }
    QPen pen(Pen.color.ToQColor());
    pen.setWidth(Pen.width <= 1 ? 0 : Pen.width);
    pen.setCapStyle(Qt::SquareCap);
    if (Pen.style == psDot)
        pen.setStyle(Qt::DotLine);
    painter_->setPen(pen);
    switch (Pen.mode) {
        case pmCopy:
            painter_->setCompositionMode(QPainter::CompositionMode_SourceOver);
            break;
        case pmNot:
            painter_->setCompositionMode(QPainter::RasterOp_NotDestination);
            break;
        case pmXor:
            painter_->setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            break;
        case pmNotXor:
            painter_->setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
            break;
    }
}

// GDI leaves out a line's last pixel; a square-capped cosmetic Qt line keeps both ends,
// so the segment is shortened by one step towards its start.
void TCanvas::DrawSegment(Point a, Point b) {
    int dx = b.x - a.x;
    int dy = b.y - a.y;
    if (dx == 0 && dy == 0)
        return;
    Point end{b.x, b.y};
    if (dx == 0 || dy == 0 || std::abs(dx) == std::abs(dy)) {
        end = {b.x - Sign(dx), b.y - Sign(dy)};
    } else if (std::abs(dx) > std::abs(dy)) {
        end = {b.x - Sign(dx), a.y + static_cast<int>(static_cast<long long>(dy) *
                                                      (std::abs(dx) - 1) / std::abs(dx))};
    } else {
        end = {
            a.x + static_cast<int>(static_cast<long long>(dx) * (std::abs(dy) - 1) / std::abs(dy)),
            b.y - Sign(dy)};
    }
    painter_->drawLine(a.x, a.y, end.x, end.y);
}

void TCanvas::LineTo(int x, int y) {
    painter_->save();
    ApplyPen();
    if (Pen.style != psClear)
        DrawSegment(pen_pos_, {x, y});
    painter_->restore();
    pen_pos_ = {x, y};
}

void TCanvas::Polyline(std::span<const Point> points) {
    if (points.empty())
        return;
    MoveTo(points[0].x, points[0].y);
    for (std::size_t i = 1; i < points.size(); ++i)
        LineTo(points[i].x, points[i].y);
}

void TCanvas::PolyPolyline(std::span<const std::pair<Point, Point>> segments) {
    if (Pen.style == psClear)
        return;
    painter_->save();
    ApplyPen();
    for (const auto& [a, b] : segments)
        DrawSegment(a, b);
    painter_->restore();
}

void TCanvas::SetPixel(int x, int y, Color c) {
    painter_->fillRect(QRect(x, y, 1, 1), c.ToQColor());
}

void TCanvas::TextOut(int x, int y, std::string_view text) {
    QFontMetrics metrics(Font.ToQFont());
    QString s = ToQString(text);
    TextRect(Rect{x, y, x + metrics.horizontalAdvance(s), y + metrics.height()}, x, y, text);
}

void TCanvas::TextRect(const Rect& r, int x, int y, std::string_view text) {
    FillRect(r);
    if (r.IsEmpty())
        return;
    painter_->save();
    painter_->setClipRect(ToQRect(r),
                          painter_->hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
    QFont font = Font.ToQFont();
    painter_->setFont(font);
    painter_->setPen(Font.GetColor().ToQColor());
    QFontMetrics metrics(font);
    painter_->drawText(x, y + metrics.ascent(), ToQString(text));
    painter_->restore();
}

int TCanvas::DrawText(std::string_view text, Rect& r, unsigned flags) {
    QFont font = Font.ToQFont();
    QFontMetrics metrics(font);
    QString s = ToQString(text);
    if ((flags & DT_NOPREFIX) == 0)
        s = StripPrefix(s);
    int qflags = 0;
    qflags |= (flags & DT_CENTER)  ? Qt::AlignHCenter
              : (flags & DT_RIGHT) ? Qt::AlignRight
                                   : Qt::AlignLeft;
    if (flags & DT_SINGLELINE) {
        qflags |= (flags & DT_VCENTER)  ? Qt::AlignVCenter
                  : (flags & DT_BOTTOM) ? Qt::AlignBottom
                                        : Qt::AlignTop;
        s.replace(u'\n', u' ');
        s.remove(u'\r');
    } else {
        qflags |= Qt::AlignTop;
    }
    if (flags & DT_WORDBREAK)
        qflags |= Qt::TextWordWrap;
    if (flags & DT_EXPANDTABS)
        qflags |= Qt::TextExpandTabs;
    if ((flags & DT_END_ELLIPSIS) && (flags & DT_WORDBREAK) == 0) {
        // Elide line by line, so a multi-line cell keeps its lines.
        QStringList lines = s.split(u'\n');
        for (QString& line : lines)
            line = metrics.elidedText(line, Qt::ElideRight, std::max(0, r.Width()));
        s = lines.join(u'\n');
    }
    QRect bounds = metrics.boundingRect(ToQRect(r), qflags, s);
    if (flags & DT_CALCRECT) {
        r.right = r.left + bounds.width();
        r.bottom = r.top + bounds.height();
        return bounds.height();
    }
    painter_->save();
    painter_->setFont(font);
    painter_->setPen(Font.GetColor().ToQColor());
    if ((flags & DT_NOCLIP) == 0) {
        painter_->setClipRect(ToQRect(r),
                              painter_->hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
    }
    painter_->drawText(ToQRect(r), qflags, s);
    painter_->restore();
    return bounds.height();
}

int TCanvas::TextWidth(std::string_view text) const {
    return QFontMetrics(Font.ToQFont()).horizontalAdvance(ToQString(text));
}

int TCanvas::TextHeight(std::string_view) const {
    return QFontMetrics(Font.ToQFont()).height();
}

void TCanvas::DrawFocusRect(const Rect& r) {
    if (r.IsEmpty())
        return;
    painter_->save();
    painter_->setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter_->setPen(Qt::NoPen);
    // Every other pixel along the frame, the phase fixed by the rectangle's corner.
    std::vector<QRect> dots;
    auto dot = [&](int x, int y) {
        if (((x - r.left) + (y - r.top)) % 2 == 0)
            dots.emplace_back(x, y, 1, 1);
    };
    for (int x = r.left; x < r.right; ++x) {
        dot(x, r.top);
        if (r.bottom - 1 > r.top)
            dot(x, r.bottom - 1);
    }
    for (int y = r.top + 1; y < r.bottom - 1; ++y) {
        dot(r.left, y);
        if (r.right - 1 > r.left)
            dot(r.right - 1, y);
    }
    for (const QRect& d : dots)
        painter_->fillRect(d, Qt::white);
    painter_->restore();
}

void TCanvas::InvertRect(const Rect& r) {
    if (r.IsEmpty())
        return;
    painter_->save();
    painter_->setCompositionMode(QPainter::RasterOp_NotDestination);
    painter_->fillRect(ToQRect(r), Qt::black);
    painter_->restore();
}

Rect TCanvas::DrawEdge(const Rect& r, unsigned edge, unsigned flags) {
    Rect inner = r;
    auto band = [&](Color top_left, Color bottom_right) {
        if (inner.IsEmpty())
            return;
        QColor tl = top_left.ToQColor();
        QColor br = bottom_right.ToQColor();
        if (flags & BF_FLAT)
            tl = br = clBtnShadow.ToQColor();
        // Bottom and right first: the top-left colour owns the shared corners.
        if (flags & BF_BOTTOM)
            painter_->fillRect(QRect(inner.left, inner.bottom - 1, inner.Width(), 1), br);
        if (flags & BF_RIGHT)
            painter_->fillRect(QRect(inner.right - 1, inner.top, 1, inner.Height()), br);
        if (flags & BF_TOP)
            painter_->fillRect(
                QRect(inner.left, inner.top, inner.Width() - ((flags & BF_RIGHT) ? 1 : 0), 1), tl);
        if (flags & BF_LEFT)
            painter_->fillRect(
                QRect(inner.left, inner.top, 1, inner.Height() - ((flags & BF_BOTTOM) ? 1 : 0)),
                tl);
        if (flags & BF_LEFT)
            ++inner.left;
        if (flags & BF_TOP)
            ++inner.top;
        if (flags & BF_RIGHT)
            --inner.right;
        if (flags & BF_BOTTOM)
            --inner.bottom;
    };
    if (edge & BDR_RAISEDOUTER)
        band(cl3DLight, cl3DDkShadow);
    else if (edge & BDR_SUNKENOUTER)
        band(clBtnShadow, clBtnHighlight);
    if (edge & BDR_RAISEDINNER)
        band(clBtnHighlight, clBtnShadow);
    else if (edge & BDR_SUNKENINNER)
        band(cl3DDkShadow, cl3DLight);
    if ((flags & BF_MIDDLE) && !inner.IsEmpty())
        painter_->fillRect(ToQRect(inner), clBtnFace.ToQColor());
    return (flags & BF_ADJUST) ? inner : r;
}

Rect TCanvas::DeviceRect() const {
    const QPaintDevice* device = painter_->device();
    if (device == nullptr)
        return {};
    return {0, 0, device->width(), device->height()};
}

void TCanvas::IntersectClipRect(const Rect& r) {
    if (painter_->hasClipping())
        painter_->setClipRect(ToQRect(r), Qt::IntersectClip);
    else
        painter_->setClipRect(ToQRect(Intersect(r, DeviceRect())), Qt::ReplaceClip);
}

void TCanvas::ExcludeClipRect(const Rect& r) {
    QRegion current =
        painter_->hasClipping() ? painter_->clipRegion() : QRegion(ToQRect(DeviceRect()));
    painter_->setClipRegion(current.subtracted(QRegion(ToQRect(r))));
}

bool TCanvas::RectVisible(const Rect& r) const {
    if (r.IsEmpty())
        return false;
    if (paint_region_ && !paint_region_->intersects(ToQRect(r)))
        return false;
    if (painter_->hasClipping())
        return painter_->clipRegion().intersects(ToQRect(r));
    return !Intersect(r, DeviceRect()).IsEmpty();
}

void TCanvas::SetPaintRegion(const QRegion& region) {
    paint_region_ = std::make_unique<QRegion>(region);
}

TCanvas::StateGuard::StateGuard(TCanvas& canvas) : canvas_(canvas) {
    canvas_.painter_->save();
}
TCanvas::StateGuard::~StateGuard() {
    canvas_.painter_->restore();
}

}  // namespace ui
