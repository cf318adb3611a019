#pragma once

#include <QFrame>

#include "grid/core/tree_list_control.h"
#include "platform/ui/text_metrics.h"

namespace grid::testing {

// Readies a grid of any class for a test: no frame and no scroll bars, so its client area
// is exactly its size, shown off screen, measuring text with `metrics`.
inline void ShowPlain(TCustomgxTreeListControl& grid, ui::FixedTextMetrics& metrics, int width,
                      int height) {
    grid.SetBorderStyle(bsNone);
    grid.SetScrollBars(ssNone);
    grid.resize(width, height);
    grid.setAttribute(Qt::WA_DontShowOnScreen);
    grid.show();
    grid.SetTextMetrics(&metrics);
}

// A banded grid with fixed text metrics (7 pixels a character, 13 a line), no frame and
// no scroll bars, so its client area is exactly its size.
struct GridFixture {
    ui::FixedTextMetrics metrics{7, 13};
    TCustomgxTreeListControl grid;

    GridFixture(int width, int height) { ShowPlain(grid, metrics, width, height); }

    TgxTreeListColumn* AddColumn(std::string_view caption, int width, int band = 0, int row = 0) {
        TgxTreeListColumn* c = grid.CreateColumn();
        c->SetCaption(caption);
        c->SetBandIndex(band);
        c->SetRowIndex(row);
        c->SetWidth(width);
        return c;
    }
};

}  // namespace grid::testing
