#pragma once

// What lies under a point of the tree list: the answer of its hit test. The kind values
// are fixed; the application's mouse handlers compare them.

#include <cstdint>

namespace grid {

class TgxTreeListNode;

enum TgxTreeListHitTest : std::uint8_t {
    htNowhere = 0,
    htColumn = 1,
    htColumnEdge = 2,
    htButton = 3,
    htIcon = 4,
    htStateIcon = 5,
    htIndent = 6,
    htLabel = 7,
    htRight = 8,
    htOutside = 9,
    htGroupPanel = 10,
    htBandButton = 11,
    htBand = 12,
    htBandEdge = 13,
    htHeaderButton = 14,
    htIndicator = 15,
    htNewItemRow = 16,
    htRowFooter = 17,
    htSummaryFooter = 18,
    htBandPanelEdge = 19,
    htHeaderPanelEdge = 20,
    htRowEdge = 21,
    htPreview = 22,
};

struct TgxTreeListHitInfo {
    int band = -1;    // visible band index
    int column = -1;  // absolute column index
    TgxTreeListNode* node = nullptr;
    int row = -1;   // index among the displayed rows
    int row2 = -1;  // the header row of a stacked band, or the row footer's line
    std::uint8_t kind = htOutside;
};

}  // namespace grid
