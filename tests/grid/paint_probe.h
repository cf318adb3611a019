#pragma once

// Offscreen rendering of a grid and pixel probes for painting tests.

#include <QImage>
#include <QPainter>

#include <functional>

#include "grid/core/tree_list.h"

namespace grid::testing {

inline QImage Render(TCustomgxTreeList& grid) {
    QImage image(grid.viewport()->size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);  // anything left unpainted shows
    QPainter painter(&image);
    ui::TCanvas canvas(painter);
    grid.Paint(canvas);
    return image;
}

inline QRgb Rgb(ui::Color c) {
    return c.ToQColor().rgb() & 0xFFFFFF;
}

inline QRgb Px(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}

inline bool AnyPixel(const QImage& image, const ui::Rect& r,
                     const std::function<bool(QColor)>& test) {
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)
            if (test(QColor(image.pixel(x, y))))
                return true;
    return false;
}

}  // namespace grid::testing
