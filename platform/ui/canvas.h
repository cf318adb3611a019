#pragma once

// The class library's canvas over a QPainter: brush, pen and font objects plus the GDI
// drawing calls the grid uses. Coordinates and rectangles follow GDI: a rectangle's
// right and bottom are exclusive and a line leaves out its end point.

#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"

class QPainter;
class QPaintDevice;
class QRegion;

namespace ui {

enum class TBrushStyle { bsSolid, bsClear, bsHalftone };
using enum TBrushStyle;

struct TBrush {
    Color color = clWhite;
    TBrushStyle style = bsSolid;
    // The dot phase of the halftone pattern: the brush colour lies where x + y has the
    // parity of origin.x + origin.y, the background in the gaps.
    Point origin{};
    Color background = clWhite;
};

enum class TPenStyle { psSolid, psDot, psClear };
using enum TPenStyle;
enum class TPenMode { pmCopy, pmNot, pmXor, pmNotXor };
using enum TPenMode;

struct TPen {
    Color color = clBlack;
    int width = 1;
    TPenStyle style = psSolid;
    TPenMode mode = pmCopy;
};

// DrawText flags with their Windows values.
inline constexpr unsigned DT_TOP = 0x0, DT_LEFT = 0x0, DT_CENTER = 0x1, DT_RIGHT = 0x2,
                          DT_VCENTER = 0x4, DT_BOTTOM = 0x8, DT_WORDBREAK = 0x10,
                          DT_SINGLELINE = 0x20, DT_EXPANDTABS = 0x40, DT_NOCLIP = 0x100,
                          DT_CALCRECT = 0x400, DT_NOPREFIX = 0x800, DT_END_ELLIPSIS = 0x8000;

// DrawEdge edges and borders with their Windows values.
inline constexpr unsigned BDR_RAISEDOUTER = 0x1, BDR_SUNKENOUTER = 0x2, BDR_RAISEDINNER = 0x4,
                          BDR_SUNKENINNER = 0x8;
inline constexpr unsigned EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER,
                          EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER,
                          EDGE_ETCHED = BDR_SUNKENOUTER | BDR_RAISEDINNER,
                          EDGE_BUMP = BDR_RAISEDOUTER | BDR_SUNKENINNER;
inline constexpr unsigned BF_LEFT = 0x1, BF_TOP = 0x2, BF_RIGHT = 0x4, BF_BOTTOM = 0x8,
                          BF_RECT = 0xF, BF_MIDDLE = 0x800, BF_ADJUST = 0x2000, BF_FLAT = 0x4000;

class TCanvas {
  public:
    // Draws through a painter that the caller keeps alive.
    explicit TCanvas(QPainter& painter);
    // Opens a painter of its own on the device for the canvas's lifetime.
    explicit TCanvas(QPaintDevice& device);
    ~TCanvas();
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    TBrush Brush;
    TPen Pen;
    TFont Font;

    QPainter& Painter() { return *painter_; }

    void FillRect(const Rect& r);
    // A one-pixel frame in the brush colour.
    void FrameRect(const Rect& r);
    // Pen outline and brush interior, as GDI's Rectangle.
    void Rectangle(const Rect& r);
    void MoveTo(int x, int y) { pen_pos_ = {x, y}; }
    void LineTo(int x, int y);
    void Polyline(std::span<const Point> points);
    // Many separate segments in one call: each pair of points is a segment.
    void PolyPolyline(std::span<const std::pair<Point, Point>> segments);
    void SetPixel(int x, int y, Color c);

    // Text in the font colour; fills the background with the brush unless it is clear.
    void TextOut(int x, int y, std::string_view text);
    // Text at (x, y) clipped to r; r is filled with the brush first unless it is clear.
    void TextRect(const Rect& r, int x, int y, std::string_view text);
    // Returns the text height; with DT_CALCRECT r receives the needed size and nothing is drawn.
    int DrawText(std::string_view text, Rect& r, unsigned flags);
    int TextWidth(std::string_view text) const;
    int TextHeight(std::string_view text) const;

    // Dotted frame drawn by inverting, so drawing it twice removes it.
    void DrawFocusRect(const Rect& r);
    void InvertRect(const Rect& r);
    // Returns the rectangle left inside the edge.
    Rect DrawEdge(const Rect& r, unsigned edge, unsigned flags);

    // Clipping. The first restriction starts from the whole device.
    void IntersectClipRect(const Rect& r);
    void ExcludeClipRect(const Rect& r);
    bool RectVisible(const Rect& r) const;
    // Limits RectVisible to a paint event's region.
    void SetPaintRegion(const QRegion& region);

    // Saves the painter state (clip included) and restores it on scope exit.
    class StateGuard {
      public:
        explicit StateGuard(TCanvas& canvas);
        ~StateGuard();
        StateGuard(const StateGuard&) = delete;
        StateGuard& operator=(const StateGuard&) = delete;

      private:
        TCanvas& canvas_;
    };

  private:
    void ApplyPen();
    void DrawSegment(Point a, Point b);
    Rect DeviceRect() const;
    std::unique_ptr<QPainter> own_painter_;
    QPainter* painter_;
    Point pen_pos_{};
    std::unique_ptr<QRegion> paint_region_;
};

}  // namespace ui
