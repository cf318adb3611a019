// Layout arithmetic of the tree list: metrics, band and column widths, row heights and
// the drawing information. Computed on demand; only the per-node row height is cached.

#include <algorithm>

#include "grid/core/tree_list.h"

namespace grid {
namespace {

constexpr int kLevelIndent = 16;

// A proportional share; nothing to share out of a zero total.
int Share(int available, int width, int total) {
    if (total == 0)
        return 0;
    return std::max(0, ui::MulDiv(available, width, total));
}

bool Overlaps(int a, int b, int lo, int hi) {
    return (a >= lo && a <= hi) || (b >= lo && b <= hi) || (a <= lo && b >= hi);
}

// Lines a text needs when wrapped at word boundaries into width pixels.
int WrappedLines(const ui::TextMetrics& metrics, const ui::TFont& font, const std::string& text,
                 int width) {
    if (text.empty())
        return 0;
    int lines = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string para =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!para.empty() && para.back() == '\r')
            para.pop_back();
        int para_lines = 1;
        std::string line;
        std::size_t pos = 0;
        while (pos < para.size()) {
            std::size_t space = para.find(' ', pos);
            std::string word =
                para.substr(pos, space == std::string::npos ? std::string::npos : space - pos + 1);
            if (!line.empty() && metrics.TextWidth(font, line + word) > width) {
                ++para_lines;
                line = word;
            } else {
                line += word;
            }
            if (space == std::string::npos)
                break;
            pos = space + 1;
        }
        lines += para_lines;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

}  // namespace

ui::Rect TCustomgxTreeList::ClientRect() const {
    return {0, 0, viewport()->width(), viewport()->height()};
}

int TCustomgxTreeList::GetBandPanelHeight(int rows) const {
    return band_line_height_ * rows + 5 + (look_and_feel_ == lfStandard ? 1 : 0);
}

int TCustomgxTreeList::CalcBandMinWidth(int band) const {
    int result = IsBandSizing(band) ? GetBandMinWidth(band) : GetBandWidth(band);
    for (int r = 0, rows = GetHeaderRowCount(band); r < rows; ++r) {
        int sum = 0;
        for (int p = 0, n = GetHeaderColCount(band, r); p < n; ++p)
            sum += GetColumnMinWidth(GetHeaderAbsoluteIndex(band, r, p));
        result = std::max(result, sum);
    }
    return result;
}

int TCustomgxTreeList::CalcBandWidth(int band) const {
    int width = 0;
    if (IsBandHeaderWidth()) {
        for (int r = 0, rows = GetHeaderRowCount(band); r < rows; ++r) {
            int sum = 0;
            for (int p = 0, n = GetHeaderColCount(band, r); p < n; ++p)
                sum += GetColumnWidth(GetHeaderAbsoluteIndex(band, r, p));
            width = std::max(width, sum);
        }
    }
    if (width == 0)
        width = GetBandWidth(band);
    return std::max(width, CalcBandMinWidth(band));
}

int TCustomgxTreeList::GetBandsWidth() const {
    int n = GetBandCount();
    if (n == 0)
        return 0;
    int indent = GetGroupIndentWidth();
    if (!IsAutoWidth()) {
        int sum = indent;
        for (int i = 0; i < n; ++i)
            sum += CalcBandWidth(i);
        return sum;
    }
    int min_sum = indent;
    bool any_sizable = false;
    for (int i = 0; i < n; ++i) {
        min_sum += CalcBandMinWidth(i);
        any_sizable = any_sizable || IsBandSizing(i);
    }
    int width = GetDataAreaRect().Width();
    return (width < min_sum || !any_sizable) ? min_sum : width;
}

int TCustomgxTreeList::GetBandDisplayWidth(int band) const {
    if (!IsAutoWidth())
        return CalcBandWidth(band);
    int n = GetBandCount();
    if (band < 0 || band >= n)
        return 0;
    int indent = GetGroupIndentWidth();
    if (band == n - 1) {
        // The remainders of the divisions land here, so the bands fill the width exactly.
        int rest = GetBandsWidth() - indent;
        for (int j = 0; j < n - 1; ++j)
            rest -= GetBandDisplayWidth(j);
        return rest;
    }
    int total = 0;
    int min_total = 0;
    for (int j = 0; j < n; ++j) {
        total += CalcBandWidth(j);
        min_total += CalcBandMinWidth(j);
    }
    int available = GetBandsWidth() - indent;
    int scaling = 0;
    for (int j = 0; j < n; ++j)
        if (IsBandSizing(j) && Share(available, CalcBandWidth(j), total) > CalcBandMinWidth(j))
            scaling += CalcBandWidth(j);
    int width = CalcBandWidth(band);
    if (!IsBandSizing(band))
        return width;
    int share = Share(available, width, total);
    if (scaling == total)
        return share;
    int minimum = CalcBandMinWidth(band);
    return minimum + (share > minimum ? Share(available - min_total, width, scaling) : 0);
}

std::vector<int> TCustomgxTreeList::RowCellWidths(int band, int row, int band_width) const {
    int n = GetHeaderColCount(band, row);
    std::vector<int> widths(static_cast<std::size_t>(std::max(0, n)));
    if (n <= 0)
        return widths;
    int indent = band == 0 ? GetGroupIndentWidth() : 0;
    int available = band_width - indent;
    int total = 0;
    int min_total = 0;
    for (int p = 0; p < n; ++p) {
        int c = GetHeaderAbsoluteIndex(band, row, p);
        total += GetColumnWidth(c);
        min_total += GetColumnMinWidth(c);
    }
    int scaling = 0;
    bool shrink = false;
    for (int p = 0; p < n; ++p) {
        int c = GetHeaderAbsoluteIndex(band, row, p);
        if (!IsColumnSizing(c))
            continue;
        if (Share(available, GetColumnWidth(c), total) > GetColumnMinWidth(c))
            scaling += GetColumnWidth(c);
        else
            shrink = true;
    }
    int x0 = 0;
    for (int p = 0; p < n; ++p) {
        int c = GetHeaderAbsoluteIndex(band, row, p);
        int width = GetColumnWidth(c);
        int minimum = GetColumnMinWidth(c);
        int w;
        if (p == n - 1) {
            w = band_width - x0;
        } else if (IsColumnSizing(c)) {
            int share = Share(available, width, total);
            if (scaling == total)
                w = share;
            else if (share > minimum)
                w = shrink ? minimum + Share(available - min_total, width, scaling) : share;
            else
                w = minimum;
        } else {
            w = width;
            available -= width;
            total -= width;
            min_total -= minimum;
        }
        if (band == 0 && p == 0 && n > 1)
            w += indent;
        widths[static_cast<std::size_t>(p)] = w;
        x0 += w;
    }
    return widths;
}

int TCustomgxTreeList::GetHeaderWidth(int column) const {
    int bands = GetBandCount();
    for (int b = 0; b < bands; ++b)
        for (int r = 0, rows = GetHeaderRowCount(b); r < rows; ++r)
            for (int p = 0, n = GetHeaderColCount(b, r); p < n; ++p)
                if (GetHeaderAbsoluteIndex(b, r, p) == column) {
                    int band_width = GetBandDisplayWidth(b) + (b == 0 ? GetGroupIndentWidth() : 0);
                    return RowCellWidths(b, r, band_width)[static_cast<std::size_t>(p)];
                }
    return GetColumnWidth(column);
}

int TCustomgxTreeList::GetBandLeft(int band) const {
    int n = GetBandCount();
    if (n < 2 || band < 0 || band >= n || band == GetFixedRightBand())
        return 0;
    int first = GetFixedLeftBand() == 0 ? 1 : 0;
    if (band <= first)
        return 0;
    int left = 0;
    for (int j = first; j < band; ++j)
        left += GetBandDisplayWidth(j) + (j == 0 ? GetGroupIndentWidth() : 0);
    return left;
}

int TCustomgxTreeList::GetScrollableBandsWidth() const {
    int width = GetBandsWidth();
    if (GetFixedLeftBand() != -1)
        width -= GetBandDisplayWidth(0) + GetGroupIndentWidth();
    int fr = GetFixedRightBand();
    if (fr != -1)
        width -= GetBandDisplayWidth(fr);
    return width;
}

ui::Rect TCustomgxTreeList::GetDataAreaRect() const {
    ui::Rect r = ClientRect();
    r.left += IndicatorWidthShown();
    return r;
}

ui::Rect TCustomgxTreeList::GetScrollableAreaRect() const {
    ui::Rect r = GetDataAreaRect();
    r.top += GetGroupPanelHeight();
    if (!IsAutoWidth()) {
        if (GetFixedLeftBand() != -1)
            r.left += GetBandDisplayWidth(0) + GetGroupIndentWidth();
        int fr = GetFixedRightBand();
        if (fr != -1)
            r.right -= GetBandDisplayWidth(fr);
    }
    return r;
}

int TCustomgxTreeList::GetNodeIndent(const TgxTreeListNode* node, int& image_left,
                                     int& text_left) const {
    bool tree_mode = !grid_mode_;
    int count = node->Level() + ((node->HasChildren() || tree_mode) ? 1 : 0);
    image_left = count * kLevelIndent - ((tree_mode && !show_root_) ? kLevelIndent : 0);
    image_left = std::max(0, image_left);
    text_left = image_left;
    if (state_images_ != nullptr && GetNodeStateIndex(node) >= 0)
        text_left += state_images_->Width();
    if (images_ != nullptr)
        text_left += images_->Width();
    return count;
}

int TCustomgxTreeList::GetNodeTextWidth(const TgxTreeListNode* node) const {
    int image_left = 0;
    int text_left = 0;
    GetNodeIndent(node, image_left, text_left);
    return GetBandsWidth() - (show_grid_ ? 1 : 0) - text_left;
}

bool TCustomgxTreeList::IsAutoRowHeightActive() const {
    return !IsShowPreview() && GetHeaderPanelRowCount() == 1 && IsRowAutoHeight();
}

int TCustomgxTreeList::GetNodeLineCount(const TgxTreeListNode* node, int& line_height) const {
    (void)line_height;
    if (GetNodeHasChildrenQuery(node))
        return 1;
    int lines = 1;
    for (int i = 0, n = GetVisibleColumnCount(); i < n; ++i) {
        int column = GetVisibleColumnIndex(i);
        int width = GetHeaderWidth(column) - 4;
        if (i == 0) {
            int image_left = 0, text_left = 0;
            GetNodeIndent(node, image_left, text_left);
            width -= text_left;
        }
        int count = WrappedLines(*metrics_, GetColumnFont(column), GetCellText(node, column),
                                 std::max(1, width));
        lines = std::max(lines, count);
    }
    if (max_row_line_count_ > 0)
        lines = std::min(lines, max_row_line_count_);
    return lines;
}

int TCustomgxTreeList::GetNodePreviewLineCount(const TgxTreeListNode* node) const {
    if (node == nullptr || !IsAutoCalcPreviewLines())
        return std::max(0, preview_lines_);
    std::string text = GetPreviewText(node);
    if (text.empty())
        return 0;
    int width = std::max(1, GetBandsWidth() - indent_desc_);
    return std::max(0, WrappedLines(*metrics_, preview_font_, text, width));
}

int TCustomgxTreeList::GetNodeRowHeight(TgxTreeListNode* node, int line_height,
                                        bool no_cache) const {
    if (QueryDataReady() && !no_cache && node != nullptr && node->measure_cache_ != 0 &&
        node->measure_generation_ == measure_generation_)
        return node->measure_cache_;
    int p = IsShowPreview() ? GetNodePreviewLineCount(node) : 0;
    int h = show_grid_ ? RowSeparatorLineWidth() : 0;
    if (node != nullptr && IsAutoRowHeightActive()) {
        int lh = line_height;
        int n = GetNodeLineCount(node, lh);
        if (n > 1 && lh == line_height)
            line_height += (n - 1) * font_line_height_;
        if (lh > line_height)
            line_height = lh;
    }
    bool group = node != nullptr && GetNodeHasChildrenQuery(node);
    bool grid_lines = show_grid_ && show_preview_grid_;
    if (group) {
        h += line_height;
    } else {
        h += line_height * GetHeaderPanelRowCount() + p * preview_line_height_;
        if (p >= 1 && grid_lines)
            h += 1;
    }
    if (!show_grid_ && grid_mode_ && node != nullptr && node->HasChildren())
        h += 1;
    if (p > 0 && !group)
        h += 2;
    if (grid_lines)
        h -= 1;
    h += GetNodeFooterCount(node) * row_footer_height_;
    if (!no_cache && node != nullptr) {
        node->measure_cache_ = h;
        node->measure_generation_ = measure_generation_;
    }
    return h;
}

int TCustomgxTreeList::GetNodeFooterCount(const TgxTreeListNode* node) const {
    if (!IsShowRowFooter() || node == nullptr || node->HasChildren() || node->Parent() == nullptr ||
        !node->IsLast())
        return 0;
    int count = 0;
    for (const TgxTreeListNode* n = node; n->Parent() != nullptr && n->IsLast(); n = n->Parent())
        if (IsExistRowFooter(n->Parent()->Level()))
            ++count;
    return count;
}

int TCustomgxTreeList::GetNodeFooterLevel(const TgxTreeListNode* node, int index) const {
    if (!IsShowRowFooter() || node == nullptr || node->HasChildren() || node->Parent() == nullptr ||
        !node->IsLast())
        return -1;
    int k = 0;
    for (const TgxTreeListNode* n = node; n->Parent() != nullptr && n->IsLast(); n = n->Parent()) {
        int level = n->Parent()->Level();
        if (IsExistRowFooter(level)) {
            if (k == index)
                return level;
            ++k;
        }
    }
    return -1;
}

int TCustomgxTreeList::GetNodeFooterCountBelowLevel(const TgxTreeListNode* node, int level) const {
    int count = 0;
    for (int k = 0, n = GetNodeFooterCount(node); k < n; ++k)
        if (GetNodeFooterLevel(node, k) < level)
            ++count;
    return count;
}

int TCustomgxTreeList::GetVisibleColumnCount() const {
    int count = 0;
    for (int c = 0, n = GetColumnCount(); c < n; ++c)
        if (IsColumnVisible(c))
            ++count;
    return count;
}

int TCustomgxTreeList::GetVisibleColumnIndex(int n) const {
    if (n < 0)
        return -1;
    // Row by row of the band layout: row 0 of every band, then row 1, and so on.
    int bands = GetBandCount();
    int max_rows = 0;
    for (int b = 0; b < bands; ++b)
        max_rows = std::max(max_rows, GetHeaderRowCount(b));
    int k = 0;
    for (int r = 0; r < max_rows; ++r)
        for (int b = 0; b < bands; ++b) {
            if (r >= GetHeaderRowCount(b))
                continue;
            for (int p = 0, cols = GetHeaderColCount(b, r); p < cols; ++p) {
                if (k == n)
                    return GetHeaderAbsoluteIndex(b, r, p);
                ++k;
            }
        }
    return -1;
}

int TCustomgxTreeList::GetColumnVisibleIndex(int column) const {
    for (int i = 0, n = GetVisibleColumnCount(); i < n; ++i)
        if (GetVisibleColumnIndex(i) == column)
            return i;
    // A hidden column has no visible position.
    return -1;
}

int TCustomgxTreeList::CalcBandRowCountAt(int y) const {
    TDrawInfo info;
    CalcRectInfo(info);
    int count = 0;
    for (int k = 1; k <= GetBandMaxRowCount(); ++k) {
        if (info.band_panel.top + GetBandPanelHeight(k) > y)
            break;
        count = k;
    }
    return std::max(1, count);
}

int TCustomgxTreeList::CalcHeaderRowCountAt(int y) const {
    if (header_row_height_ <= 0)
        return 1;
    TDrawInfo info;
    CalcRectInfo(info);
    int rows = (y - info.header_panel.top + header_row_height_ / 2) / header_row_height_;
    return std::max(1, rows);
}

void TCustomgxTreeList::SnapBandPanelSizingLine(int y, int& draw_y, int& y2) const {
    TDrawInfo info;
    CalcRectInfo(info);
    if (info.band_panel.top == info.band_panel.bottom)
        return;
    const int top = info.band_panel.top;
    int line = top + GetBandPanelHeight(1);
    for (int k = 2; k <= GetBandMaxRowCount(); ++k) {
        int mid = top + (GetBandPanelHeight(k - 1) + GetBandPanelHeight(k)) / 2;
        if (mid > y)
            break;
        line = top + GetBandPanelHeight(k);
    }
    draw_y = y2 = line;
}

void TCustomgxTreeList::SnapHeaderPanelSizingLine(int y, int& draw_y, int& y2) const {
    if (header_row_height_ <= 0)
        return;
    TDrawInfo info;
    CalcRectInfo(info);
    int top = info.header_panel.top;
    int rows = (y - top + header_row_height_ / 2) / header_row_height_;
    rows = std::clamp(rows, 1, std::max(1, GetHeaderPanelMaxRowCount()));
    draw_y = y2 = top + header_row_height_ * rows;
}

void TCustomgxTreeList::GetRowSizingLimits(TgxTreeListNode* node, int y, int& max_y,
                                           int& min_y) const {
    TDrawInfo info;
    CalcRectInfo(info);
    min_y = y + GetNodeRowHeight(node, row_line_height_, true);
    max_y = (info.footer.IsEmpty() ? info.node_area.bottom : info.footer.top) - 1;
}

void TCustomgxTreeList::GetBandSizingLimits(int band, int, int& max_x, int& min_x,
                                            int& left_x) const {
    TDrawInfo info;
    CalcDrawInfo(info);
    left_x = 0;
    for (const TBandCellInfo& bc : info.band_cells)
        if (bc.band_index == band)
            left_x = bc.rect.left;
    min_x = left_x + CalcBandMinWidth(band) + (band == 0 ? GetGroupIndentWidth() : 0);
    max_x = IsFullSizing() ? 100000 : info.client.Width() - 2;
}

void TCustomgxTreeList::GetColumnSizingLimits(int column, int, int& max_x, int& min_x,
                                              int& left_x) const {
    TDrawInfo info;
    CalcDrawInfo(info);
    const THeaderCellInfo* cell = nullptr;
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.column == column)
            cell = &hc;
    if (cell == nullptr) {
        left_x = min_x = max_x = 0;
        return;
    }
    left_x = cell->rect.left;
    min_x = left_x + GetColumnMinWidth(column) +
            (cell->first_of_header && cell->row == 0 ? GetGroupIndentWidth() : 0);
    if (!IsAutoWidth() && IsFullSizingHeader()) {
        max_x = 100000;
    } else if (IsBandHeaderAutoWidth()) {
        max_x = info.client.Width() - 1;
    } else {
        max_x = cell->rect.right;
        for (const TBandCellInfo& bc : info.band_cells)
            if (bc.band_index == cell->band_index)
                max_x = bc.rect.right;
    }
}

int TCustomgxTreeList::CalcRowHeightAt(TgxTreeListNode* node, int height) const {
    // height is the row's height measured from its top.
    if (height < row_line_height_)
        return default_row_height_;
    int best = default_row_height_;
    bool found = false;
    for (int h = row_line_height_; h <= height; ++h) {
        if (GetNodeRowHeight(node, h, true) <= height) {
            best = h;
            found = true;
        } else if (found) {
            break;
        }
    }
    return best;
}

void TCustomgxTreeList::CalcRectInfo(TDrawInfo& info) const {
    ui::Rect c = ClientRect();
    info.client = c;
    int g = GetGroupPanelHeight();
    int b = band_panel_height_;
    int h = header_panel_height_;
    int n = new_item_row_height_;
    int i = IndicatorWidthShown();
    int f = footer_height_;
    int y = c.top;
    if (g > 0) {
        info.group_panel = {c.left, y, c.right, y + g};
        y += g;
    }
    info.band_panel = {c.left + i, y, c.right, y + b};
    if (i > 0)
        info.band_button = {c.left, y, c.left + i, y + b};
    y += b;
    info.header_panel = {c.left + i, y, c.right, y + h};
    if (i > 0)
        info.header_button = {c.left, y, c.left + i, y + h};
    y += h;
    if (n > 0) {
        info.new_item_row = {c.left, y, c.right, y + n};
        y += n;
    }
    int bottom = std::max(y, c.bottom - f);
    info.node_area = {c.left + i, y, c.right, bottom};
    info.indicator = {c.left, y, c.left + i, bottom};
    if (f > 0)
        info.footer = {c.left, bottom, c.right, bottom + f};
}

void TCustomgxTreeList::CalcDrawInfo(TDrawInfo& info) const {
    info = TDrawInfo{};
    CalcRectInfo(info);
    const BandStrip strip = CalcFixedBandAreas(info);
    CalcScrolledBandCells(info, strip);
    const int last_unfixed_band = strip.fixed_right != -1 ? strip.fixed_right - 1 : strip.bands - 1;
    for (const TBandCellInfo& bc : info.band_cells)
        CalcBandHeaderCells(info, bc, last_unfixed_band);
    const int rows_bottom = CalcRowInfos(info);
    CalcDrawInfoEdges(info, strip, rows_bottom);
}

TCustomgxTreeList::BandStrip TCustomgxTreeList::CalcFixedBandAreas(TDrawInfo& info) const {
    BandStrip s;
    s.bands = GetBandCount();
    s.last = s.bands - 1;
    const int indent = GetGroupIndentWidth();
    const int extra = look_and_feel_ == lfFlat ? 5 : 6;
    ui::Rect& bp = info.band_panel;
    s.left = bp.left;
    s.right = bp.right;
    s.fixed_left = GetFixedLeftBand();
    if (s.bands > 0 && s.fixed_left != -1) {
        int w = GetBandDisplayWidth(0) + indent;
        s.left += w;
        info.fixed_left_area = {bp.left, bp.top, bp.left + w, info.node_area.top};
        if (!info.new_item_row.IsEmpty())
            info.fixed_left_area.bottom -= extra;
        ui::Rect cell{bp.left, bp.top, info.fixed_left_area.right - fixed_band_line_width_,
                      bp.bottom};
        info.band_cells.push_back({0, cell, cell});
        info.fixed_left_band = 0;
        s.first = 1;
    }
    s.bands_width = GetBandsWidth();
    if (bp.Width() > s.bands_width) {
        int edge = bp.left + s.bands_width;
        bp.right = edge;
        info.header_panel.right = edge;
        info.empty_right = {edge, bp.top, info.client.right, info.node_area.bottom};
        if (!info.new_item_row.IsEmpty())
            info.new_item_row.right = edge;
    }
    s.fixed_right = s.bands > 0 ? GetFixedRightBand() : -1;
    if (s.fixed_right != -1) {
        int w = GetBandDisplayWidth(s.fixed_right);
        ui::Rect& a = info.fixed_right_area;
        a = {bp.right - w, bp.top, bp.right, info.node_area.top};
        if (!info.new_item_row.IsEmpty())
            a.bottom -= extra;
        int floor = std::max(info.fixed_left_area.right, info.indicator.right);
        if (a.left < floor) {
            a.left = floor;
            a.right = a.left + w;
        }
        info.fixed_right_band = s.last;
        --s.last;
        s.right = a.left;
    }
    return s;
}

void TCustomgxTreeList::CalcScrolledBandCells(TDrawInfo& info, const BandStrip& s) const {
    const ui::Rect& bp = info.band_panel;
    const int indent = GetGroupIndentWidth();
    const int L = s.left;
    const int R = s.right;
    int x = -left_coord_;
    for (int i = s.first; i <= s.last; ++i) {
        int w = GetBandDisplayWidth(i) + (i == 0 ? indent : 0);
        if (Overlaps(x, x + w, 0, R - L)) {
            ui::Rect cell{L + x, bp.top, L + x + w, bp.bottom};
            ui::Rect clip{std::max(cell.left, L), cell.top, std::min(cell.right, R), cell.bottom};
            info.band_cells.push_back({i, cell, clip});
        }
        x += w;
        if (s.fixed_right != -1)
            info.last_scrolled_band = i;
        if (x > R - L)
            break;
    }
    if (s.fixed_right != -1) {
        ui::Rect cell{info.fixed_right_area.left + fixed_band_line_width_, bp.top,
                      info.fixed_right_area.right, bp.bottom};
        ui::Rect clip = cell;
        clip.right = std::min(clip.right, bp.right);
        info.band_cells.push_back({s.fixed_right, cell, clip});
    }
}

void TCustomgxTreeList::CalcBandHeaderCells(TDrawInfo& info, const TBandCellInfo& bc,
                                            int last_unfixed_band) const {
    const int row_h = header_row_height_;
    const int panel_rows = GetHeaderPanelRowCount();
    const int b = bc.band_index;
    const ui::Rect& B = bc.rect;
    const ui::Rect& C = bc.clip;
    const int T = B.bottom;
    const int rows = GetHeaderRowCount(b);
    if (rows < 1) {
        ui::Rect area{B.left, T, B.right, T + panel_rows * row_h};
        if (Overlaps(B.left, B.right, C.left, C.right)) {
            info.empty_headers.push_back({b,
                                          {std::max(area.left, C.left), area.top,
                                           std::min(area.right, C.right), area.bottom},
                                          B.right > C.right});
        }
        return;
    }
    for (int r = 0; r < rows; ++r) {
        int n = GetHeaderColCount(b, r);
        std::vector<int> widths = RowCellWidths(b, r, B.Width());
        int x0 = 0;
        for (int p = 0; p < n; ++p) {
            int column = GetHeaderAbsoluteIndex(b, r, p);
            int w = widths[static_cast<std::size_t>(p)];
            int lines = 1;
            if (r == rows - 1) {
                lines = GetHeaderMaxLineCount(column);
                if (lines == 0 || lines > panel_rows - r)
                    lines = panel_rows - r;
            }
            lines = std::max(1, lines);
            ui::Rect cell{B.left + x0, T + r * row_h, B.left + x0 + w, T + (r + lines) * row_h};
            x0 += w;
            if (!Overlaps(cell.left, cell.right, C.left, C.right))
                continue;
            THeaderCellInfo hc;
            hc.column = column;
            hc.band_index = b;
            hc.row = r;
            hc.position = p;
            hc.line_count = lines;
            hc.rect = cell;
            hc.clip = {std::max(cell.left, C.left), cell.top, std::min(cell.right, C.right),
                       cell.bottom};
            hc.first_in_row = p == 0;
            hc.last_in_row = p == n - 1;
            hc.first_of_header = p == 0 && b == 0;
            hc.last_of_header = p == n - 1 && b == last_unfixed_band;
            hc.multi_line = IsColumnMultiLine(column);
            if (r == rows - 1 && r + lines < panel_rows)
                hc.fill = {hc.clip.left, T + (r + lines) * row_h, hc.clip.right,
                           T + panel_rows * row_h};
            info.header_cells.push_back(hc);
        }
    }
}

int TCustomgxTreeList::CalcRowInfos(TDrawInfo& info) const {
    // As many rows as fit, whatever their heights.
    int y = info.node_area.top;
    for (TgxTreeListNode* node = top_node_; node != nullptr && y < info.node_area.bottom;
         node = GetNextVisibleNode(node)) {
        TRowInfo row;
        row.node = node;
        row.group_row = GetNodeHasChildrenQuery(node);
        row.selected = node->Selected();
        row.row_height = GetNodeRowHeight(node, default_row_height_, false);
        row.row_footer_count = GetNodeFooterCount(node);
        row.row_footer_height = row.row_footer_count * row_footer_height_;
        row.indicator_kind = GetIndicatorKind(node, row.selected);
        // A group row has no preview strip: its height leaves none.
        row.preview_line_count =
            IsShowPreview() && !row.group_row ? GetNodePreviewLineCount(node) : 0;
        if (IsAutoRowHeightActive()) {
            int lh = default_row_height_;
            row.line_count = GetNodeLineCount(node, lh);
        }
        info.rows.push_back(row);
        // A zero height would never advance; every row takes at least one pixel.
        y += std::max(1, row.row_height);
    }
    return y;
}

void TCustomgxTreeList::CalcDrawInfoEdges(TDrawInfo& info, const BandStrip& s,
                                          int rows_bottom) const {
    const int fl = s.fixed_left;
    const int fr = s.fixed_right;
    const int y = rows_bottom;
    info.bands_right_edge = info.node_area.left + s.bands_width - 1 - (fl == -1 ? left_coord_ : 0);
    if (fr != -1)
        info.bands_right_edge = std::min(info.bands_right_edge, info.node_area.right - 1);
    if (y < info.node_area.bottom) {
        info.last_row_bottom = y - 1;
        info.empty_bottom = {info.client.left, y, info.bands_right_edge + 1, info.node_area.bottom};
        info.indicator.bottom = y;
    } else {
        info.last_row_bottom = -1;
    }
    if (s.bands > 0) {
        int extent = GetBandDisplayWidth(0) + GetGroupIndentWidth();
        if (fl != -1)
            extent = std::min(
                extent, info.fixed_left_area.right - fixed_band_line_width_ - info.node_area.left);
        if (fr != -1) {
            int shift = fl == -1 ? left_coord_ : 0;
            if (info.node_area.left + extent - shift > info.fixed_right_area.left)
                extent = shift + info.fixed_right_area.left - info.node_area.left;
        }
        info.first_band_extent = extent;
    }
    info.grid_line_width = show_grid_ ? RowSeparatorLineWidth() : 0;
    for (ui::Rect* r :
         {&info.band_panel, &info.band_button, &info.header_panel, &info.header_button})
        if (r->top == r->bottom)
            *r = ui::Rect{};
}

ui::Rect TCustomgxTreeList::GetNodesRect() const {
    TDrawInfo info;
    CalcRectInfo(info);
    return info.node_area;
}

ui::Rect TCustomgxTreeList::GetRowRect(const TgxTreeListNode* node) const {
    if (node == nullptr || top_node_ == nullptr)
        return {};
    TDrawInfo info;
    CalcRectInfo(info);
    int y = info.node_area.top;
    for (TgxTreeListNode* n = top_node_; n != nullptr && y < info.node_area.bottom;
         n = GetNextVisibleNode(n)) {
        int h = std::max(1, GetNodeRowHeight(n, default_row_height_, false));
        if (n == node)
            return {info.client.left, y, info.client.right, std::min(y + h, info.node_area.bottom)};
        y += h;
    }
    return {};
}

ui::Rect TCustomgxTreeList::GetCellRect(const TgxTreeListNode* node, int visible_column) const {
    if (node == nullptr)
        return {};
    int column = GetVisibleColumnIndex(visible_column);
    if (column < 0)
        return {};
    TDrawInfo info;
    CalcDrawInfo(info);
    int y = info.node_area.top;
    const TRowInfo* found = nullptr;
    for (const TRowInfo& row : info.rows) {
        if (row.node == node) {
            found = &row;
            break;
        }
        y += std::max(1, row.row_height);
    }
    if (found == nullptr)
        return {};
    for (const THeaderCellInfo& hc : info.header_cells) {
        if (hc.column != column)
            continue;
        CellLayout layout = LayoutCell(*found, y, hc, info);
        return layout.clipped;
    }
    return {};
}

TCustomgxTreeList::CellLayout TCustomgxTreeList::LayoutCell(const TRowInfo& row, int row_top,
                                                            const THeaderCellInfo& hc,
                                                            const TDrawInfo& info) const {
    CellLayout out;
    int preview_block = 0;
    if (row.preview_line_count > 0)
        preview_block = row.preview_line_count * preview_line_height_ + 2 +
                        (show_grid_ && show_preview_grid_ ? 1 : 0);
    int area_bottom = std::min(row_top + row.row_height - preview_block - row.row_footer_height,
                               info.node_area.bottom);
    int line_h = default_row_height_;
    int rows = GetHeaderRowCount(hc.band_index);
    ui::Rect r{hc.rect.left, row_top + hc.row * line_h, hc.rect.right,
               row_top + (hc.row + hc.line_count) * line_h};
    if (hc.row + hc.line_count >= rows || hc.row + hc.line_count >= GetHeaderPanelRowCount())
        r.bottom = area_bottom;
    r.bottom = std::min(r.bottom, area_bottom);
    if (hc.first_of_header) {
        // The first cell starts after the node's indent and images.
        int image_left = 0, text_left = 0;
        GetNodeIndent(row.node, image_left, text_left);
        r.left = hc.rect.left + text_left;
    }
    if (show_grid_) {
        r.right -= 1;
        r.bottom -= RowSeparatorLineWidth();
    }
    out.rect = r;
    out.clipped = ui::Intersect(
        r, ui::Rect{hc.clip.left, info.node_area.top, hc.clip.right, info.node_area.bottom});
    out.area_bottom = area_bottom;
    return out;
}

int TCustomgxTreeList::GetIndicatorKind(const TgxTreeListNode* node, bool selected) const {
    bool focused = node == focused_node_;
    if (focused && state_ == tsEditing)
        return 2;
    if (focused)
        return (IsMultiSelect() && selected) ? 5 : 1;
    if (IsMultiSelect() && selected)
        return 4;
    return 0;
}

ui::Color TCustomgxTreeList::GetGridLineColorValue() const {
    return GridLineColor.IsNone() ? ui::clBtnShadow : GridLineColor;
}

void TCustomgxTreeList::LayoutChanged() {
    if (layout_running_ != 0)
        return;
    ++layout_running_;
    try {
        CalcLayout();
    } catch (...) {
        --layout_running_;
        throw;
    }
    --layout_running_;
}

void TCustomgxTreeList::CalcLayout() {
    if (loading_ || destroying_)
        return;
    const ui::TextMetrics& m = *metrics_;
    bool standard = look_and_feel_ == lfStandard;
    int panel_rows = GetHeaderPanelRowCount();
    band_line_height_ = m.TextHeight(band_font_);
    band_panel_height_ = show_bands_ ? GetBandPanelHeight(GetBandRowCount()) : 0;
    header_row_height_ =
        m.TextHeight(header_font_) * std::max(1, GetHeaderMinRowCount()) + 5 + (standard ? 1 : 0);
    header_panel_height_ = show_header_ ? header_row_height_ * panel_rows : 0;
    font_line_height_ = m.TextHeight(Font());
    bool grid_lines = show_grid_ && show_preview_grid_;
    int extra = grid_lines ? 1 : 0;
    int rlh = std::max(GetRowLineHeight(font_line_height_), 16);
    for (ui::TCustomImageList* list : {images_, state_images_})
        if (list != nullptr && list->Height() > panel_rows * (rlh + extra))
            rlh = list->Height();
    int min_cell = 0;
    for (int c = 0, n = GetColumnCount(); c < n; ++c)
        if (IsColumnVisible(c))
            min_cell = std::max(min_cell, GetMinColumnCellHeight(c));
    if (min_cell > rlh + extra)
        rlh = min_cell;
    rlh += extra;
    if (IsInvertSelect())
        rlh += 2;
    row_line_height_ = rlh;
    if (!default_row_height_explicit_) {
        default_row_height_ = rlh;
    } else {
        default_row_height_ = std::max(default_row_height_, rlh);
        if (default_row_height_ == rlh)
            default_row_height_explicit_ = false;
    }
    footer_row_height_ = font_line_height_ + 7;
    row_footer_height_ = footer_row_height_ * panel_rows + 2 + extra;
    footer_height_ = show_footer_ ? footer_row_height_ * panel_rows + 3 + (standard ? 1 : 0) : 0;
    preview_line_height_ = m.TextHeight(preview_font_);
    zero_width_ = m.TextWidth(Font(), "0");
    new_item_row_height_ = (show_new_item_row_ && panel_rows == 1 && GetBandCount() > 0)
                               ? default_row_height_ + (standard ? 6 : 5)
                               : 0;
    ClearCaches();
    ColumnsLayoutChanged();
    RebuildVisibleNodeCache();
    CalcRowsInView();
    UpdateScrollBars();
    LinkChanged();
    int count = GetAbsoluteCount();
    if (count > 0 && top_node_ != nullptr) {
        int top = GetTopIndex();
        int limit = std::max(0, count - rows_in_view_);
        if (top > limit)
            SetTopVisibleNode(GetAbsoluteNode(limit));
    }
    int content = GetScrollableBandsWidth();
    int client = GetScrollableAreaWidth();
    left_coord_ = std::clamp(left_coord_, 0, std::max(0, content - client));
    Repaint();
}

}  // namespace grid
