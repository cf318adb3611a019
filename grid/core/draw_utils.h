#pragma once

// Drawing primitives shared by the grid's painters: header and band buttons with the sort
// mark, indicator glyphs, expand buttons, cell and panel text, the halftone selection blend
// and focus frames. All glyphs are drawn in code.

#include <string>
#include <string_view>

#include "platform/ui/canvas.h"

class QImage;

namespace ui {
class TCustomImageList;
}

namespace grid {

enum class TAlignment;
enum class TgxLookAndFeel;
enum class TgxTreeListColumnSort;

// Which sides of a flat header button get an edge: 0 both ends of a row, 1 the last,
// 2 the first, 3 a middle cell.
struct THeaderButton {
    ui::Rect rect;
    std::string_view text;
    TAlignment alignment;
    ui::Color color;
    TgxLookAndFeel look;
    TgxTreeListColumnSort sorted;
    int edge_kind = 0;
    bool pressed = false;
    bool multi_line = false;
    bool end_ellipsis = true;
    bool highlighted = false;
    // Drawn at the left, its bottom-left pixel's colour transparent.
    const QImage* glyph = nullptr;
};

void DrawHeaderButton(ui::TCanvas& canvas, const THeaderButton& button);
// The sort mark takes the rightmost 16 pixels; narrower buttons show none.
inline constexpr int kSortMarkWidth = 16;
// Kinds: 0 none, 1 arrow, 2 edit, 3 insert, 4 selected, 5 arrow with selection.
void DrawIndicator(ui::TCanvas& canvas, const ui::Rect& r, int kind, ui::Color color,
                   TgxLookAndFeel look);
void DrawIndicatorGlyph(ui::TCanvas& canvas, const ui::Rect& r, int kind);
// A 9 x 9 box centred in r with a minus bar, and a plus bar when collapsed.
void DrawExpandButton(ui::TCanvas& canvas, const ui::Rect& r, bool expanded);
// The 12 x 12 expand glyph of grid mode centred in r: a button face with raised and sunken
// edges, a minus bar, and a plus bar when collapsed.
void DrawExpandGlyph(ui::TCanvas& canvas, const ui::Rect& r, bool expanded);
inline constexpr int kExpandGlyphSize = 12;
// Fills r with the brush and draws the text with a 2-pixel margin and a 2-pixel right gap.
void DrawCellText(ui::TCanvas& canvas, const ui::Rect& r, std::string_view text,
                  TAlignment alignment, bool multi_line, bool end_ellipsis);
// Fills r inset by 1 and draws the text transparently.
void DrawPanelText(ui::TCanvas& canvas, const ui::Rect& r, std::string_view text,
                   TAlignment alignment);
// A checkerboard of the highlight colour over what is there.
void DrawHalftoneRect(ui::TCanvas& canvas, const ui::Rect& r, ui::Color color);
// The four one-pixel sides of r inverted.
void DrawInvertedFrame(ui::TCanvas& canvas, const ui::Rect& r);
// The image centred in r; nothing for a null list or an index out of range.
void DrawImageListImage(ui::TCanvas& canvas, const ui::Rect& r, const ui::TCustomImageList* images,
                        int index);
// How many lines of line_height fit into height (line_height 0: the font's), limited to
// maximum unless it is -1. A zero line height gives 0 lines, never a division by zero.
int CountTextLines(int height, int line_height, int font_line_height, int maximum);

}  // namespace grid
