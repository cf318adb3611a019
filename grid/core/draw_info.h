#pragma once

// What one paint, hit test or geometry query needs of the control's layout. All
// coordinates are client pixels; a part that is not produced is an all-zero rectangle.

#include <vector>

#include "platform/ui/geometry.h"

namespace grid {

class TgxTreeListNode;

struct TBandCellInfo {
    int band_index = 0;
    ui::Rect rect;
    ui::Rect clip;
};

struct THeaderCellInfo {
    int column = 0;
    int band_index = 0;
    int row = 0;
    int position = 0;
    int line_count = 1;
    ui::Rect rect;
    ui::Rect clip;
    ui::Rect fill;
    bool first_in_row = false;
    bool last_in_row = false;
    bool first_of_header = false;
    bool last_of_header = false;
    bool multi_line = false;
};

struct TEmptyHeaderInfo {
    int band_index = 0;
    ui::Rect rect;
    bool cut = false;
};

struct TRowInfo {
    TgxTreeListNode* node = nullptr;
    bool group_row = false;
    bool selected = false;
    int row_height = 0;
    int row_footer_count = 0;
    int row_footer_height = 0;
    int indicator_kind = 0;
    int preview_line_count = 0;
    int line_count = -1;
    int indent_start = 0;
};

struct TDrawInfo {
    ui::Rect client;
    ui::Rect group_panel;
    ui::Rect band_panel;
    ui::Rect band_button;
    ui::Rect header_panel;
    ui::Rect header_button;
    ui::Rect indicator;
    ui::Rect new_item_row;
    ui::Rect node_area;
    ui::Rect empty_right;
    ui::Rect empty_bottom;
    ui::Rect footer;
    ui::Rect fixed_left_area;
    ui::Rect fixed_right_area;
    int fixed_left_band = -1;
    int fixed_right_band = -1;
    int last_scrolled_band = -1;
    int bands_right_edge = 0;
    int last_row_bottom = -1;
    int first_band_extent = 0;
    int grid_line_width = 0;
    std::vector<TBandCellInfo> band_cells;
    std::vector<THeaderCellInfo> header_cells;
    std::vector<TEmptyHeaderInfo> empty_headers;
    // Grows with the rows actually produced, whatever their heights.
    std::vector<TRowInfo> rows;
};

}  // namespace grid
