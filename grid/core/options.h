#pragma once

// The tree list's two option words. Bit numbers are fixed: the data-aware grid maps its
// own option sets onto them.

#include <cstdint>

namespace grid {

using TLOptions = std::uint16_t;
using TLOptionsEx = std::uint32_t;

inline constexpr TLOptions tloColumnSizing = 1u << 0, tloColumnMoving = 1u << 1,
                           tloEditing = 1u << 2, tloTabs = 1u << 3, tloTabThrough = 1u << 4,
                           tloRowSelect = 1u << 5, tloMultiSelect = 1u << 6,
                           tloImmediateEditor = 1u << 7, tloPreview = 1u << 8,
                           tloDrawEndEllipsis = 1u << 9, tloAutoWidth = 1u << 10,
                           tloExtMultiSelect = 1u << 11, tloExtCustomizing = 1u << 12,
                           tloHideFocusRect = 1u << 13, tloAutoSort = 1u << 14,
                           tloCaseInsensitive = 1u << 15;

inline constexpr TLOptionsEx tlxInvertSelect = 1u << 0, tlxUseBitmap = 1u << 1,
                             tlxBandHeaderWidth = 1u << 2, tlxAutoCalcPreviewLines = 1u << 3,
                             tlxBandSizing = 1u << 4, tlxBandMoving = 1u << 5,
                             tlxHorzThrough = 1u << 6, tlxVertThrough = 1u << 7,
                             tlxCellMultiSelect = 1u << 8, tlxEnterThrough = 1u << 9,
                             tlxEnterShowEditor = 1u << 10, tlxFullSizing = 1u << 11,
                             tlxDragScroll = 1u << 12, tlxDragExpand = 1u << 13,
                             tlxDragCollapse = 1u << 14, tlxRowAutoHeight = 1u << 15,
                             tlxShowHourGlass = 1u << 16, tlxBandButtonClicking = 1u << 17,
                             tlxBandPanelSizing = 1u << 18, tlxHeaderButtonClicking = 1u << 19,
                             tlxHeaderPanelSizing = 1u << 20, tlxRowSizing = 1u << 21,
                             tlxMultiSort = 1u << 22, tlxShowButtonAlways = 1u << 24,
                             tlxAutoHeaderPanelHeight = 1u << 25, tlxKeepColumnWidth = 1u << 26,
                             tlxAnsiSort = 1u << 27, tlxMouseScroll = 1u << 28,
                             tlxAutoSearch = 1u << 29;

inline constexpr TLOptions kDefaultTLOptions = 55;
inline constexpr TLOptionsEx kDefaultTLOptionsEx = 12350;

}  // namespace grid
