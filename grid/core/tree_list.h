#pragma once

// The control core of every grid: nodes, options, locks, state, focus and selection, the
// in-place editing cycle and the layout arithmetic. It knows nothing of columns or bands:
// every such question is a virtual query whose base answer describes an empty grid, and
// the banded control answers them.

#include <QListWidget>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "grid/core/container.h"
#include "grid/core/draw_info.h"
#include "grid/core/grid_resources.h"
#include "grid/core/hit_info.h"
#include "grid/core/options.h"
#include "grid/core/tree_list_node.h"
#include "grid/core/value.h"
#include "platform/ui/canvas.h"
#include "platform/ui/image_list.h"
#include "platform/ui/text_metrics.h"
#include "platform/ui/timer.h"

namespace grid {

class TCustomgxTreeList;

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };
using enum TAlignment;
enum class TgxLookAndFeel { lfStandard, lfFlat };
using enum TgxLookAndFeel;
enum class TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
using enum TScrollStyle;
enum class TgxTreeListColumnSort { csNone, csDown, csUp };
using enum TgxTreeListColumnSort;
// How tree lines are drawn; dotted is the default.
enum class TTreeLineStyle { tlsSolid = 0, tlsDotted = 1 };
using enum TTreeLineStyle;

// Control states: 0 normal, 2 editing; the mouse states use the others.
enum TgxTreeListState : std::uint8_t {
    tsNormal = 0,
    tsColumnSizing = 1,
    tsEditing = 2,
    tsColumnDragging = 3,
    tsColumnDown = 4,
    tsNodeDragging = 5,
    tsNodeDown = 6,
    tsHeaderButtonDown = 7,
    tsBandSizing = 8,
    tsBandDragging = 9,
    tsBandDown = 10,
    tsBandButtonDown = 11,
    tsBandPanelSizing = 12,
    tsHeaderPanelSizing = 13,
    tsRowSizing = 14,
};

// Where the rows stand on the screen: the top row index and, when the focused row was in
// view, its distance below the top row (-1 when it was not).
struct ViewPlace {
    int top = -1;
    const TgxTreeListNode* focused = nullptr;
    int focused_offset = -1;
};

class TCustomgxTreeList : public TCustomgxContainer {
    // The first member, so that the cursors stay until the rest of the control is gone.
    TreeListUnitUser unit_user_;

  public:
    explicit TCustomgxTreeList(QWidget* parent = nullptr);
    ~TCustomgxTreeList() override;

    TgxTreeListNode* Add();
    TgxTreeListNode* Insert(TgxTreeListNode* before);
    void ClearNodes();
    int Count() const { return static_cast<int>(nodes_.size()); }
    TgxTreeListNode* Items(int index) const;
    TgxTreeListNode* GetFirstNode() const { return Items(0); }
    TgxTreeListNode* GetLastNode() const;
    TgxTreeListNode* GetNextVisibleNode(const TgxTreeListNode* node) const;
    int GetAbsoluteCount() const;
    int GetAbsoluteIndex(const TgxTreeListNode* node) const;
    TgxTreeListNode* GetAbsoluteNode(int index) const;
    virtual bool IsFirstNode(const TgxTreeListNode* node) const;
    virtual bool IsLastNode(const TgxTreeListNode* node) const;
    void MakeNodeVisible(TgxTreeListNode* node);
    bool IsClearing() const { return clearing_; }
    bool IsDestroying() const { return destroying_; }
    bool IsLoading() const { return loading_; }
    void SetLoading(bool loading) { loading_ = loading; }

    virtual std::unique_ptr<TgxTreeListNode> CreateNode();
    virtual void NodeAdded(TgxTreeListNode* node);
    // Whether a node shows an expand button once its children are gone.
    virtual bool GetNodeHasChildren(const TgxTreeListNode* node) const;
    virtual void NodeChanged(TgxTreeListNode* node, bool layout_changed);
    virtual void DoDeletion(TgxTreeListNode* node, TgxTreeListNode* previous, bool repaint,
                            bool last, TgxTreeListNode* next);
    virtual void ClearCaches();
    // Removes the value at index from the node's values (when it holds that many) and from
    // its children's.
    virtual void DeleteColumnValue(TgxTreeListNode* node, int index);
    // Whether the control may take the focus now.
    virtual bool TrySetFocus() { return true; }
    virtual bool IsDblClick() const { return true; }
    // Runs after every re-layout (the data-aware grid re-reads its data link there).
    virtual void LinkChanged() {}
    virtual void RebuildVisibleNodeCache();
    bool VisibleNodeCacheValid() const { return cache_valid_; }
    virtual Value GetNodeValue(const TgxTreeListNode* node, int column) const;
    virtual std::string GetNodeString(const TgxTreeListNode* node, int column) const;
    virtual void SetNodeString(TgxTreeListNode* node, int column, std::string_view text);
    virtual int GetNodeImageIndex(const TgxTreeListNode*) const { return -1; }
    virtual int GetNodeSelectedIndex(const TgxTreeListNode*) const { return -1; }
    virtual int GetNodeStateIndex(const TgxTreeListNode*) const { return -1; }

    void BeginUpdate();
    void EndUpdate();
    void CancelUpdate();
    int UpdateLockCount() const { return update_lock_; }
    int SelectionLockCount() const { return selection_lock_; }
    void BeginSelection();
    void EndSelection();
    std::uint8_t State() const { return state_; }
    virtual void SetState(std::uint8_t state);

    // Options (each switch has its own query)
    TLOptions Options() const { return options_; }
    void SetOptions(TLOptions value);
    TLOptionsEx OptionsEx() const { return options_ex_; }
    void SetOptionsEx(TLOptionsEx value);
    virtual bool IsAnsiSort() const { return (options_ex_ & tlxAnsiSort) != 0; }
    virtual bool IsAutoCalcPreviewLines() const {
        return (options_ex_ & tlxAutoCalcPreviewLines) != 0;
    }
    virtual bool IsAutoHeaderPanelHeight() const {
        return (options_ex_ & tlxAutoHeaderPanelHeight) != 0;
    }
    virtual bool IsAutoSearch() const { return (options_ex_ & tlxAutoSearch) != 0; }
    virtual bool IsAutoSort() const { return (options_ & tloAutoSort) != 0; }
    virtual bool IsAutoWidth() const { return (options_ & tloAutoWidth) != 0; }
    virtual bool IsBandHeaderWidth() const { return (options_ex_ & tlxBandHeaderWidth) != 0; }
    virtual bool IsCaseInsensitive() const { return (options_ & tloCaseInsensitive) != 0; }
    virtual bool IsCellMultiSelect() const { return (options_ex_ & tlxCellMultiSelect) != 0; }
    virtual bool IsDragCollapse() const { return (options_ex_ & tlxDragCollapse) != 0; }
    virtual bool IsDrawEndEllipsis() const { return (options_ & tloDrawEndEllipsis) != 0; }
    virtual bool IsDragExpand() const { return (options_ex_ & tlxDragExpand) != 0; }
    virtual bool IsDragScroll() const { return (options_ex_ & tlxDragScroll) != 0; }
    virtual bool IsEditingOption() const { return (options_ & tloEditing) != 0; }
    virtual bool IsEnterShowEditor() const { return (options_ex_ & tlxEnterShowEditor) != 0; }
    virtual bool IsEnterThrough() const {
        return (options_ex_ & tlxEnterThrough) != 0 && IsEnterShowEditor();
    }
    virtual bool IsExtCustomizing() const { return (options_ & tloExtCustomizing) != 0; }
    virtual bool IsExtMultiSelect() const { return (options_ & tloExtMultiSelect) != 0; }
    virtual bool IsHorzThrough() const { return (options_ex_ & tlxHorzThrough) != 0; }
    virtual bool IsHorzScrollBar() const {
        return scroll_bars_ == ssHorizontal || scroll_bars_ == ssBoth;
    }
    virtual bool IsMouseScroll() const;
    virtual bool IsMultiSelect() const { return (options_ & tloMultiSelect) != 0; }
    virtual bool IsMultiSort() const { return (options_ex_ & tlxMultiSort) != 0; }
    virtual bool IsNewItemRowActive() const { return new_item_row_active_; }
    virtual bool IsNewItemRowVisible() const {
        return show_new_item_row_ && new_item_row_height_ > 0;
    }
    virtual bool IsRowAutoHeight() const {
        return (options_ex_ & tlxRowAutoHeight) != 0 && max_row_line_count_ != 0;
    }
    virtual bool IsRowSelect() const { return (options_ & tloRowSelect) != 0; }
    virtual bool IsShowHourGlass() const { return (options_ex_ & tlxShowHourGlass) != 0; }
    virtual bool IsShowRowFooter() const { return show_row_footer_; }
    virtual bool IsShowPreview() const {
        return (options_ & tloPreview) != 0 && preview_lines_ != 0;
    }
    virtual bool QueryDataReady() const { return true; }
    virtual bool IsTabThrough() const { return (options_ & tloTabThrough) != 0; }
    virtual bool IsVertThrough() const { return (options_ex_ & tlxVertThrough) != 0; }
    virtual bool QueryDataBusy() const { return false; }
    virtual bool IsVertScrollBar() const {
        return scroll_bars_ == ssVertical || scroll_bars_ == ssBoth;
    }
    virtual bool IsUseBitmap() const { return (options_ex_ & tlxUseBitmap) != 0; }
    virtual bool IsBandButtonClicking() const { return (options_ex_ & tlxBandButtonClicking) != 0; }
    virtual bool IsFullSizing() const { return (options_ex_ & tlxFullSizing) != 0; }
    virtual bool IsBandPanelSizing() const { return (options_ex_ & tlxBandPanelSizing) != 0; }
    virtual bool IsBandSizing(int) const { return true; }
    virtual bool IsBandHeaderAutoWidth() const { return IsBandHeaderWidth() && !show_bands_; }
    virtual bool IsHeaderButtonClicking() const {
        return (options_ex_ & tlxHeaderButtonClicking) != 0;
    }
    virtual bool IsFullSizingHeader() const { return (options_ex_ & tlxFullSizing) != 0; }
    virtual bool IsHeaderPanelSizing() const { return (options_ex_ & tlxHeaderPanelSizing) != 0; }
    virtual bool IsColumnSizing(int) const { return true; }
    virtual bool CanColumnSizing(int column) const {
        return (options_ & tloColumnSizing) != 0 && IsColumnSizing(column);
    }
    virtual bool IsRowSizing() const { return (options_ex_ & tlxRowSizing) != 0; }
    virtual bool IsInvertSelect() const { return (options_ex_ & tlxInvertSelect) != 0; }
    // The Ctrl key as the current input event reports it (set by the key handling).
    void SetCtrlHeld(bool held) { ctrl_held_ = held; }

    ui::Color GetEditColor() override;
    const ui::TFont& GetEditFont() override;
    bool CanEditModify() override { return true; }
    bool IsValidEditChar(char32_t) override { return true; }
    void EditorFocusChanged() override { InvalidateSelection(); }
    bool IsEditColumnChanged() override;
    bool IsEditFlatStyle() override { return look_and_feel_ == lfFlat; }
    bool IsImmediateEditor() override { return (options_ & tloImmediateEditor) != 0; }
    bool IsShowButtonAlways() override { return (options_ex_ & tlxShowButtonAlways) != 0; }
    bool IsTabs() override { return (options_ & tloTabs) != 0 && !ctrl_held_; }
    TBorderStyle GetEditBorderStyle() override { return show_grid_ ? bsNone : bsSingle; }
    bool IsHideFocusRect() override {
        return (options_ & tloHideFocusRect) != 0 || hide_focus_rect_;
    }

    void ShowEditor();
    void UpdateEditor(bool keep_hidden);
    void HideEditor();
    // Validates, posts and hides the editor, then gives the focus to the grid.
    void HideEditorAndFocus();
    void CloseEditor(bool refocus);
    void PostEditorValue();
    void CancelEditor();
    virtual bool IsEditing() const;
    virtual std::unique_ptr<TgxInplaceEdit> CreateEditor();
    virtual TgxInplaceEdit* FindEditor() { return editor_.get(); }
    virtual void DoEditedText(TgxTreeListNode* node, int column, const std::string& text);
    virtual void BeginInsertRow(bool&) {}
    virtual void InsertRow() {}
    std::string EditingText();
    void SetEditingText(const std::string& text);
    TgxInplaceEdit* InplaceEditor() const { return editor_.get(); }
    TgxTreeListNode* EditNode() const { return edit_node_; }
    int EditColumn() const { return edit_column_; }

    TgxTreeListNode* GetFocusedNode() const { return focused_node_; }
    int GetFocusedColumn() const;
    int GetFocusedAbsoluteIndex() const;
    int GetTopIndex() const;
    TgxTreeListNode* TopVisibleNode() const { return top_node_; }
    int GetVisibleRowCount() const { return rows_in_view_; }
    int RowsInViewPartly() const { return rows_in_view_partly_; }
    virtual void SetFocusedNodeColumn(TgxTreeListNode* node, int column, bool make_visible);
    virtual void SetFocusedAbsoluteIndex(int index);
    void SetFocusedColumn(int index);
    void SetFocusedNode(TgxTreeListNode* node) {
        SetFocusedNodeColumn(node, focused_column_, true);
    }
    virtual void SetTopVisibleNode(TgxTreeListNode* node);
    void SetTopIndex(int index);
    // A command of the vertical scroll bar (QAbstractSlider::SliderAction), its slider
    // already moved: the rows follow the slider.
    virtual void VerticalScrollAction(int action);
    int LeftCoord() const { return left_coord_; }
    void SetLeftCoord(int value);
    // Scrolls so that a visible column lies inside the scrollable strip; nothing for a
    // column of a fixed band or an index out of range.
    void MakeColumnVisible(int visible_column);
    // Scrolls the view sideways so that the visible band shows, its left edge first.
    void MakeBandVisible(int band);
    // Wheel input: vertical deltas accumulate, one row per 120; horizontal or zero deltas
    // never scroll the rows.
    void WheelScroll(int delta_y);
    virtual void UpdateScrollBars();
    virtual void CalcRowsInView();
    virtual bool DoCanNodeSelected(TgxTreeListNode* node);
    virtual void ClearSelection();
    int CompareWithAnchor(const TgxTreeListNode* node) const;
    virtual bool DeleteSelection();
    virtual void DoSelectedCountChange();
    virtual int GetSelectedCount() const { return 0; }
    virtual TgxTreeListNode* GetSelectedItem(int) const { return nullptr; }
    virtual void InvalidateSelection();
    virtual bool IsNodeRecordSelected(const TgxTreeListNode*) const { return false; }
    virtual void SelectNode(TgxTreeListNode* node, bool value);
    void SelectRange(TgxTreeListNode* a, TgxTreeListNode* b);
    void SetSelectionAnchor(TgxTreeListNode* node) { anchor_ = node; }
    // The anchor as last stored (GetSelectionAnchor may answer from the selection).
    TgxTreeListNode* StoredSelectionAnchor() const { return anchor_; }
    virtual TgxTreeListNode* GetSelectionAnchor() const;
    // Where a Shift range starts: the row the user last anchored while it is shown.
    TgxTreeListNode* RangeAnchor() const;

    virtual void SaveAllToStrings(std::vector<std::string>& lines);
    virtual void SaveSelectedToStrings(std::vector<std::string>& lines);
    void CopySelectedToClipboard();
    virtual std::string GetHeaderLineText();
    virtual std::string GetNodeLineText(const TgxTreeListNode* node);

    // Layout queries (an empty grid in the base)
    virtual int GetGroupPanelHeight() const { return 0; }
    virtual int GetBandCount() const { return 0; }
    virtual int GetBandWidth(int) const { return 0; }
    virtual int GetBandMinWidth(int) const { return 0; }
    virtual std::string GetBandText(int) const { return {}; }
    virtual TAlignment GetBandAlignment(int) const { return taLeftJustify; }
    virtual int GetFixedLeftBand() const { return -1; }
    virtual int GetFixedRightBand() const { return -1; }
    virtual int GetGroupIndentWidth() const { return 0; }
    virtual int GetColumnCount() const { return 0; }
    virtual int GetHeaderAbsoluteIndex(int, int, int) const { return -1; }
    virtual int GetHeaderColCount(int, int) const { return 0; }
    virtual int GetHeaderRowCount(int) const { return 0; }
    virtual int GetColumnWidth(int) const { return 0; }
    virtual int GetColumnMinWidth(int) const { return 0; }
    virtual int GetHeaderMaxLineCount(int) const { return 1; }
    virtual bool IsColumnMultiLine(int) const { return false; }
    virtual std::string GetHeaderText(int) const { return {}; }
    virtual TAlignment GetHeaderAlignment(int) const { return taLeftJustify; }
    virtual const QImage* GetHeaderGlyph(int) const { return nullptr; }
    virtual TgxTreeListColumnSort GetColumnSorted(int) const { return csNone; }
    virtual TAlignment GetCellAlignment(const TgxTreeListNode*, int) const { return taLeftJustify; }
    virtual std::string GetCellText(const TgxTreeListNode* node, int column) const;
    virtual ui::Color GetColumnColor(int) const { return GetColor(); }
    virtual const ui::TFont& GetColumnFont(int) const { return Font(); }
    virtual bool IsColumnFontExplicit(int) const { return false; }
    virtual bool IsColumnVisible(int) const { return true; }
    virtual int GetMinColumnCellHeight(int) const { return 0; }
    virtual int GetIndicatorWidth() const { return 12; }
    virtual int GetBandMaxRowCount() const { return 5; }
    virtual int GetBandRowCount() const { return 1; }
    virtual int GetHeaderPanelMaxRowCount() const { return 4; }
    virtual int GetHeaderPanelRowCount() const { return 1; }
    virtual int GetHeaderMinRowCount() const { return 1; }
    virtual std::string GetPreviewText(const TgxTreeListNode*) const { return {}; }
    // The text a cell of the new-item row shows.
    virtual std::string GetInsertRowText(int) const { return {}; }
    virtual int GetIndicatorKind(const TgxTreeListNode* node, bool selected) const;
    virtual bool GetNodeHasChildrenQuery(const TgxTreeListNode*) const { return false; }
    virtual bool IsExistRowFooter(int) const { return false; }
    virtual bool IsExistRowFooterCell(const TgxTreeListNode*, int, int) const { return false; }
    virtual std::string GetRowFooterText(const TgxTreeListNode*, int, int) const { return {}; }
    virtual bool IsExistFooterCell(int) const { return false; }
    virtual std::string GetFooterText(int) const { return {}; }
    virtual Value GetNodeCompareValue(const TgxTreeListNode*, int) const {
        return Value(std::string());
    }
    virtual ui::Color GetGridLineColorValue() const;
    virtual bool QueryInsertState() const { return true; }

    int GetBandPanelHeight(int rows) const;
    int GetRowLineHeight(int font_height) const { return font_height + 3; }
    int CalcBandMinWidth(int band) const;
    int CalcBandWidth(int band) const;
    int GetBandsWidth() const;
    int GetBandDisplayWidth(int band) const;
    int GetHeaderWidth(int column) const;
    int GetBandLeft(int band) const;
    int GetScrollableBandsWidth() const;
    ui::Rect GetDataAreaRect() const;
    ui::Rect GetScrollableAreaRect() const;
    int GetScrollableAreaWidth() const { return GetScrollableAreaRect().Width(); }
    int GetNodeIndent(const TgxTreeListNode* node, int& image_left, int& text_left) const;
    int GetNodeTextWidth(const TgxTreeListNode* node) const;
    int GetNodeRowHeight(TgxTreeListNode* node, int line_height, bool no_cache) const;
    int GetNodeFooterCount(const TgxTreeListNode* node) const;
    int GetNodeFooterLevel(const TgxTreeListNode* node, int index) const;
    // How many of the node's row footers belong to a level below level.
    int GetNodeFooterCountBelowLevel(const TgxTreeListNode* node, int level) const;
    // The k-th row-footer band of a node whose footers start at y (grid_line: 1 with
    // grid lines, else 0).
    void GetRowFooterRect(const TgxTreeListNode* node, int k, ui::Rect& rect, const TDrawInfo& info,
                          int grid_line, int y) const;
    bool IsAutoRowHeightActive() const;
    virtual int GetNodeLineCount(const TgxTreeListNode* node, int& line_height) const;
    virtual int GetNodePreviewLineCount(const TgxTreeListNode* node) const;
    int GetVisibleColumnCount() const;
    int GetVisibleColumnIndex(int n) const;
    int GetColumnVisibleIndex(int column) const;
    int CalcBandRowCountAt(int y) const;
    // Where the band panel's sizing line goes for a pointer at y: at the panel bottom for
    // the row count whose midpoints the pointer has passed (draw_y and y2 both).
    void SnapBandPanelSizingLine(int y, int& draw_y, int& y2) const;
    void SnapHeaderPanelSizingLine(int y, int& draw_y, int& y2) const;
    // Row sizing of a node whose row starts at y.
    void GetRowSizingLimits(TgxTreeListNode* node, int y, int& max_y, int& min_y) const;
    void GetBandSizingLimits(int band, int x, int& max_x, int& min_x, int& left_x) const;
    void GetColumnSizingLimits(int column, int x, int& max_x, int& min_x, int& left_x) const;
    // The visible position of the focused column.
    int GetFocusedVisibleIndex() const { return GetFocusedColumn(); }
    // Moves the window content: sideways over the scrollable strip, vertically over the
    // rows; exposed parts are repainted.
    void ScrollHorizontal(int dx);
    void ScrollVertical(int dy);
    int CalcHeaderRowCountAt(int y) const;
    int CalcRowHeightAt(TgxTreeListNode* node, int height) const;
    void CalcRectInfo(TDrawInfo& info) const;
    void CalcDrawInfo(TDrawInfo& info) const;
    ui::Rect GetCellRect(const TgxTreeListNode* node, int visible_column) const;
    // Displayed widths of the cells of one header row of a band, filling band_width exactly.
    std::vector<int> RowCellWidths(int band, int row, int band_width) const;
    struct CellLayout {
        ui::Rect rect;     // the cell, grid line excluded
        ui::Rect clipped;  // the part inside its band's visible strip and the node area
        int area_bottom = 0;
    };
    // Where a row's cell under a header cell lies, the row starting at row_top.
    CellLayout LayoutCell(const TRowInfo& row, int row_top, const THeaderCellInfo& hc,
                          const TDrawInfo& info) const;
    ui::Rect GetNodesRect() const;
    ui::Rect GetRowRect(const TgxTreeListNode* node) const;

    // Applies the widths shown under AutoWidth as stored widths (AutoWidth switched off
    // while KeepColumnWidth is on).
    void FreezeDisplayedWidths();
    virtual void SetColumnWidthFromSizing(int, int) {}
    virtual void SetVisibleBandWidth(int, int) {}

    virtual void LayoutChanged();
    void CalcLayout();
    virtual void ColumnsLayoutChanged() {}
    // Measures text for layout; the Qt metrics unless a test installs fixed ones.
    void SetTextMetrics(const ui::TextMetrics* metrics);
    const ui::TextMetrics& Metrics() const { return *metrics_; }
    int FontLineHeight() const { return font_line_height_; }
    int HeaderRowHeight() const { return header_row_height_; }
    int HeaderPanelHeight() const { return header_panel_height_; }
    int BandPanelHeight() const { return band_panel_height_; }
    int FooterHeight() const { return footer_height_; }
    int FooterRowHeight() const { return footer_row_height_; }
    int RowFooterHeight() const { return row_footer_height_; }
    int PreviewLineHeight() const { return preview_line_height_; }
    int RowLineHeight() const { return row_line_height_; }
    int NewItemRowHeight() const { return new_item_row_height_; }
    int ZeroWidth() const { return zero_width_; }
    int IndicatorWidthShown() const { return show_indicator_ ? GetIndicatorWidth() : 0; }
    ui::Rect ClientRect() const;

    ui::Color ArrowsColor = ui::Color::Rgb(0, 255, 0);
    ui::Color BandColor = ui::clBtnFace;
    ui::Color HeaderColor = ui::clBtnFace;
    ui::Color GroupNodeColor = ui::clBtnFace;
    ui::Color GridLineColor = ui::clNone;
    ui::Color GroupNodeTextColor = ui::clNone;
    ui::Color AutoSearchColor = ui::clNone;
    ui::Color AutoSearchTextColor = ui::clNone;
    ui::Color FixedBandLineColor = ui::clWindowFrame;
    ui::Color RowFooterColor = ui::cl3DLight;
    ui::Color RowFooterTextColor = ui::clWindowText;
    ui::Color HighlightColor = ui::clHighlight;
    ui::Color HighlightTextColor = ui::clHighlightText;
    ui::Color HideSelectionColor = ui::clBtnFace;
    ui::Color HideSelectionTextColor = ui::clBtnText;
    ui::TFont& BandFont() { return band_font_; }
    ui::TFont& HeaderFont() { return header_font_; }
    ui::TFont& PreviewFont() { return preview_font_; }
    const ui::TFont& GetHeaderFont() const { return header_font_; }
    // While on, the control's fonts follow its parent's; changing the band, header or
    // preview font switches it off.
    bool ParentFont() const { return parent_font_; }
    void SetParentFont(bool v) { parent_font_ = v; }
    // The parent's font changed: with ParentFont the control font, the band and header
    // fonts take it, and the preview font its name, size and style in blue.
    void ParentFontChanged(const ui::TFont& font);
    bool HideSelection() const { return hide_selection_; }
    void SetHideSelection(bool v);
    bool HideFocusRect() const { return hide_focus_rect_; }
    void SetHideFocusRect(bool v);
    bool ShowBands() const { return show_bands_; }
    void SetShowBands(bool v);
    bool ShowGrid() const { return show_grid_; }
    void SetShowGrid(bool v);
    bool ShowHeader() const { return show_header_; }
    bool IsHeaderVisible() const { return show_header_; }
    void SetShowHeader(bool v);
    bool ShowPreviewGrid() const { return show_preview_grid_; }
    void SetShowPreviewGrid(bool v);
    bool ShowRowFooter() const { return show_row_footer_; }
    void SetShowRowFooter(bool v);
    bool ShowNewItemRow() const { return show_new_item_row_; }
    void SetShowNewItemRow(bool v);
    bool ShowFooter() const { return show_footer_; }
    void SetShowFooter(bool v);
    bool ShowIndicator() const { return show_indicator_; }
    void SetShowIndicator(bool v);
    // Grid mode: rows without tree indentation (the data-aware grid switches it on).
    bool GridMode() const { return grid_mode_; }
    void SetGridMode(bool v);
    bool ShowRoot() const { return show_root_; }
    void SetShowRoot(bool v);
    int DefaultRowHeight() const { return default_row_height_; }
    void SetDefaultRowHeight(int v);
    bool DefaultRowHeightExplicit() const { return default_row_height_explicit_; }
    int IndentDesc() const { return indent_desc_; }
    void SetIndentDesc(int v);
    int PreviewLines() const { return preview_lines_; }
    void SetPreviewLines(int v);
    int FixedBandLineWidth() const { return fixed_band_line_width_; }
    void SetFixedBandLineWidth(int v);
    int RowSeparatorLineWidth() const { return std::max(1, row_separator_line_width_); }
    void SetRowSeparatorLineWidth(int v);
    int MaxRowLineCount() const { return max_row_line_count_; }
    void SetMaxRowLineCount(int v);
    int CustomizingRowCount() const { return customizing_row_count_; }
    void SetCustomizingRowCount(int v) { customizing_row_count_ = std::max(2, v); }
    unsigned WaitForExpandNodeTime = 500;
    bool AutoExpandOnSearch = true;
    bool DblClkExpanding = true;
    TgxLookAndFeel LookAndFeel() const { return look_and_feel_; }
    void SetLookAndFeel(TgxLookAndFeel v);
    TScrollStyle ScrollBars() const { return scroll_bars_; }
    void SetScrollBars(TScrollStyle v);
    TBorderStyle BorderStyle() const { return border_style_; }
    void SetBorderStyle(TBorderStyle v);
    // The three-dimensional look of the class library's controls; the HTML export reads it.
    bool Ctl3D() const { return ctl3d_; }
    void SetCtl3D(bool v) { ctl3d_ = v; }
    ui::TCustomImageList* Images() const { return images_; }
    void SetImages(ui::TCustomImageList* list);
    ui::TCustomImageList* StateImages() const { return state_images_; }
    void SetStateImages(ui::TCustomImageList* list);
    void SetNewItemRowActive(bool active);

    std::function<void(TCustomgxTreeList*, TgxTreeListNode*)> OnBeginDragNode;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, bool&)> OnCanNodeSelected;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, int)> OnChangeColumn;
    std::function<void(TCustomgxTreeList*)> OnChangeLeftCoord;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, TgxTreeListNode*)> OnChangeNode;
    std::function<void(TCustomgxTreeList*)> OnChangeTopVisibleNode;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*)> OnCollapsed;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, bool&)> OnCollapsing;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, TgxTreeListNode*, int&)> OnCompare;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*)> OnDeletion;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*)> OnEdited;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, bool&)> OnEditing;
    std::function<void(TCustomgxTreeList*)> OnEndColumnsCustomizing;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*)> OnExpanded;
    std::function<void(TCustomgxTreeList*, TgxTreeListNode*, bool&)> OnExpanding;
    // The one name for the edit colour event at this level.
    std::function<void(TCustomgxTreeList*, ui::Color&)> OnGetEditorColor;
    std::function<void(TCustomgxTreeList*)> OnSelectedCountChange;

    virtual void DoCollapsed(TgxTreeListNode* node);
    virtual void DoEdited(TgxTreeListNode* node);
    virtual void DoExpanded(TgxTreeListNode* node);
    virtual void DoCollapsing(TgxTreeListNode* node, bool& allow);
    virtual void DoEditing(TgxTreeListNode* node, bool& allow);
    virtual void DoExpanding(TgxTreeListNode* node, bool& allow);
    virtual void DoChangeColumn(TgxTreeListNode* node, int column);
    virtual void DoChangeLeftCoord();
    virtual void DoChangeNode(TgxTreeListNode* old_node, TgxTreeListNode* node);
    virtual bool DoFocusNode(TgxTreeListNode* node);

    // Empties the list of sorted columns (the banded control keeps one).
    virtual void ClearSorting() {}
    // Recomputes the header panel's row count from the columns (the banded control).
    virtual void HeaderPanelAutoRows() {}
    virtual bool IsColumnMultiSort() const { return IsMultiSort(); }
    // Final tie-break of equal rows: the order they had before the sort.
    virtual int CompareNodes(const TgxTreeListNode* a, const TgxTreeListNode* b) const;
    // Level -1: every list; level N: the children lists at depth N (0: the top level).
    virtual void SortNodes(int level, int column, bool descending);
    // Taken before the rows are reordered or rebuilt, and given back afterwards: the focused
    // row keeps its place on the screen when it was in view, else the top row index stays.
    ViewPlace RememberView() const;
    void RestoreView(const ViewPlace& view);
    // The sorted columns and their directions for multi-column sorts; none in the base.
    virtual std::vector<std::pair<int, bool>> SortColumns() const { return {}; }

    // Draws the whole control on a canvas whose origin is the viewport's.
    void Paint(ui::TCanvas& canvas);
    struct CellColors {
        ui::Color color;
        ui::Color text;
    };
    CellColors GetCellColors(const TgxTreeListNode* node, bool selected, bool focused, int column);
    // The control, or a window inside it such as the editor, has the keyboard focus.
    bool PaintFocused() const;
    // Cell kinds: 0 a data cell, 1 a row-footer cell, 2 a new-item-row cell, 3 inserting.
    virtual void DrawCell(ui::TCanvas& canvas, const ui::Rect& r, const TgxTreeListNode* node,
                          int column, bool selected, bool focused, int kind, bool multi_line,
                          ui::Color color, ui::Color text_color);
    virtual void DrawPreview(ui::TCanvas& canvas, const ui::Rect& r, const TgxTreeListNode* node,
                             bool selected, ui::Color color, ui::Color text_color);
    virtual void DrawGroupPanel(ui::TCanvas&, const ui::Rect&) {}
    virtual bool HasCustomDrawBand() const { return false; }
    virtual void DoCustomDrawBand(int, ui::TCanvas&, const ui::Rect&, std::string&, ui::Color&,
                                  ui::TFont&, TAlignment&, bool&) {}
    virtual bool HasCustomDrawHeader() const { return false; }
    virtual void DoCustomDrawHeader(int, ui::TCanvas&, const ui::Rect&, std::string&, ui::Color&,
                                    ui::TFont&, TAlignment&, TgxTreeListColumnSort&, bool&) {}
    virtual bool HasCustomDrawCell(int) const { return false; }
    virtual void DoCustomDrawCell(ui::TCanvas&, const ui::Rect&, const TgxTreeListNode*, int, bool,
                                  bool, bool, std::string&, ui::Color&, ui::TFont&, TAlignment&,
                                  bool&) {}
    virtual bool HasCustomDrawFooter(int) const { return false; }
    // Level -1: a cell of the summary footer; any other: a row-footer cell (footer k).
    virtual void DoCustomDrawFooter(ui::TCanvas&, const ui::Rect&, const TgxTreeListNode*, int, int,
                                    int, std::string&, ui::Color&, ui::TFont&, TAlignment&, bool&) {
    }
    virtual bool HasGetLevelColor() const { return false; }
    virtual void DoGetLevelColor(int, ui::Color&) {}
    virtual bool HasCustomDrawPreview() const { return false; }
    virtual void DoCustomDrawPreview(ui::TCanvas&, const ui::Rect&, const TgxTreeListNode*, bool,
                                     std::string&, ui::Color&, ui::Color&, ui::TFont&, bool&) {}
    // Bracket every row's drawing (the data-aware grid positions its dataset there).
    virtual void BeginNodeRecord(const TgxTreeListNode*) {}
    virtual void EndNodeRecord(const TgxTreeListNode*) {}
    ui::Color TreeLineColor = ui::clGrayText;
    TTreeLineStyle TreeLineStyle = tlsDotted;
    bool ShowButtons = true;
    bool ShowLines = true;

    // The object being dragged over the control (null when none); it suppresses the
    // unfocused focus frame and paints the focused row highlighted.
    QObject* DragObject() const { return drag_object_; }
    void SetDragObject(QObject* object);
    // A node or object dragged over the rows at p: scrolls near the edges (DragScroll),
    // focuses the node under the cursor (DragScroll) and expands it after a wait
    // (DragExpand).
    void DragOverNodes(ui::Point p);
    // The drag left the rows or ended: the drag timers stop.
    void EndDragOverNodes();
    TgxTreeListNode* DragExpandNode() const { return drag_expand_node_; }
    // The tree list as a drag source of its own nodes: a running edit closes, the node
    // (when none is set yet) becomes the dragged node, OnBeginDragNode fires and the state
    // becomes node dragging.
    void BeginDragNode(TgxTreeListNode* node);
    void EndDragNode();
    TgxTreeListNode* DragNode() const { return drag_node_; }
    virtual void DoBeginDragNode(TgxTreeListNode* node);
    // One row per tick in the direction given, while a node is pressed or dragged.
    void StartVertAutoScroll(bool down);
    // One step per tick toward the pointer, while a header or band is dragged.
    void StartHorzAutoScroll(bool right);
    void StopAutoScroll();
    bool VertAutoScrolling() const { return vert_scroll_timer_.Running(); }
    bool HorzAutoScrolling() const { return horz_scroll_timer_.Running(); }
    // A click on the focused cell arms the delayed editor; any press disarms it.
    void StartClickEditTimer();
    void StopClickEditTimer() { click_edit_timer_.Stop(); }
    bool ClickEditPending() const { return click_edit_timer_.Running(); }
    // The row under a client point, null outside the rows.
    TgxTreeListNode* NodeAtPoint(ui::Point p) const;

    // Hit testing and the mouse.
    // Names the part of the control under a client point; the parts are tried in a fixed
    // order and the first that holds the point wins.
    void CalcHitInfo(ui::Point p, TgxTreeListHitInfo& hit) const;
    std::uint8_t GetHitTestAt(int x, int y) const;
    TgxTreeListNode* GetNodeAt(int x, int y) const;
    int PressedColumn() const { return pressed_column_; }
    int PressedBand() const { return pressed_band_; }
    // The Shift and Ctrl flags of the header click in progress (multi-column sorting).
    bool HeaderClickShift() const { return header_click_shift_; }
    bool HeaderClickCtrl() const { return header_click_ctrl_; }
    // The size line's tracked position (x for widths, y for heights) while sizing.
    int SizingLinePos() const { return sizing_pos_; }
    ui::Rect SizingLineRect() const;
    // Ends the current mouse state without applying it.
    void CancelMode() override;
    virtual void DoBandEdgeDblClick(int) {}
    virtual void DoColumnEdgeDblClick(int) {}
    virtual void DoBandClick(int) {}
    virtual void DoBandButtonClick() {}
    virtual void DoHeaderButtonClick() {}
    virtual void DoHeaderClick(int) {}
    // Widths were changed by sizing (the banded control fires OnChangedColumnsWidth).
    virtual void DoColumnsWidthChanged() {}
    virtual void SetBandRowCountFromSizing(int) {}
    virtual void SetHeaderPanelRowCountFromSizing(int) {}
    virtual void SetRowHeightFromSizing(int height) { SetDefaultRowHeight(height); }
    virtual bool HasAllNodes() const { return true; }
    // Whether Tab, Enter and the through-moves may stop on a column.
    virtual bool IsColumnTabStop(int) const { return true; }
    // The event's own handling of a double click on a row (OnDblClick).
    std::function<void(TCustomgxTreeList*)> OnDblClickRow;
    std::function<void(TCustomgxTreeList*, Qt::MouseButton, ui::TShiftState, int, int)> OnMouseDown;
    std::function<void(TCustomgxTreeList*, Qt::MouseButton, ui::TShiftState, int, int)> OnMouseUp;
    std::function<void(TCustomgxTreeList*)> OnClick;

    // Keyboard and incremental search.
    virtual bool IsKeyAllowed(std::uint16_t) { return true; }
    // The tree list's own key handling; the data-aware grid overrides it and calls it.
    virtual void KeyDown(std::uint16_t& key, ui::TShiftState shift);
    virtual void KeyPress(char32_t& key);
    void ContainerKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void ContainerKeyPress(char32_t& key) override;
    // Moves the focus one page; direction true goes down.
    void MovePage(bool down);
    bool StartSearch(int column, const std::string& text);
    // Direction 0 from the focused node, 1 backwards, 2 forwards.
    bool SearchStep(const std::string& text, int direction, bool clear_on_failure);
    void EndSearch();
    bool IsSearching() const { return searching_; }
    const std::string& SearchText() const { return search_text_; }
    int SearchColumn() const { return search_column_; }
    // The node's text in the search column (the data-aware grid may search its dataset).
    virtual std::string GetSearchText(const TgxTreeListNode* node, int visible_column) const;
    // A control whose nodes hold only part of its data searches that data itself: true when
    // it did, with found the node of the match (null for none).
    virtual bool SearchOutsideNodes(int /*visible_column*/, const std::string& /*text*/,
                                    int /*direction*/, TgxTreeListNode*& /*found*/) {
        return false;
    }

    // Sizing, drag visuals and pan scrolling.
    void ApplyBandSizing(int width, int band);
    void ApplyColumnSizing(int width, int band, int column);
    void ApplyColumnSizingNoAutoWidth(int width, int band, int column);
    void FitBandColumns(int width, int band);
    // Hides and shows the size line, the drag image and the insert arrows around
    // painting and scrolling; pairs nest.
    void HideDragImages();
    void ShowDragImages();
    int DragImagesHidden() const { return drag_images_hidden_; }
    QWidget* DragImageWindow() const { return drag_image_.get(); }
    QWidget* DragArrowsWindow() const { return drag_arrows_.get(); }
    // The cursor the header or band drag shows now.
    Qt::CursorShape DragCursorShape() const { return drag_cursor_; }
    bool DragDeleteCursor() const { return drag_delete_cursor_; }
    // Middle-button pan scrolling; true while the mode runs.
    bool IsPanScrolling() const;
    void StopPanScroll();
    // Direction (0 none, 1 left, 2 up, 3 right, 4 down) and speed (0 .. 12) for a
    // pointer at dx, dy from the start point.
    static void PanDirection(int dx, int dy, int mark, bool horz, bool vert, int& direction,
                             int& speed);

    // Automatic: a node pressed and moved more than 5 pixels starts a node drag.
    enum class TDragMode { dmManual, dmAutomatic };
    TDragMode DragMode = TDragMode::dmManual;
    // The text a dragged node shows (the banded control asks OnGetNodeDragText).
    virtual std::string GetNodeDragText(const TgxTreeListNode* node, int column) const {
        return GetCellText(node, column);
    }
    void MakeNodeDragImage(TgxTreeListNode* node, int column);

    // Band and header drag and drop.
    struct TgxHeaderPosInfo {
        int band = -1;
        int row = -1;
        int position = -1;
        int kind = -2;  // -3 a drop at band, row and position; -2 no move
    };
    virtual bool CanBandDragging(int) const { return (options_ex_ & tlxBandMoving) != 0; }
    virtual bool CanHeaderDragging(int column) const;
    // Starts a band drag of a visible band (from_list: the band comes from the
    // customizing list and has no place in the panel).
    virtual void StartBandDragging(int band, bool from_list);
    virtual void StartHeaderDragging(int column, bool from_list);
    // One mouse move of a drag, at a client point.
    void TrackBandDrag(ui::Point p);
    void TrackHeaderDrag(ui::Point p);
    // The drop target, insert arrows, cursor and drag image for a client point, also after the
    // view scrolled under a still pointer; false while the point is over the customizing form.
    bool UpdateBandDrop(ui::Point p);
    bool UpdateHeaderDrop(ui::Point p);
    virtual void EndBandDrag(bool dropped);
    virtual void EndHeaderDrag(bool dropped);
    int DragBand() const { return drag_band_; }
    int DragColumn() const { return drag_column_; }
    // Whether the drag under way, or the drop being ended, came from the customizing lists:
    // its band is then an absolute index, since a hidden band has no visible one.
    bool DragFromList() const { return drag_from_list_; }
    // Where a dragged header or band lands for a client point.
    TgxHeaderPosInfo GetHeaderDropPosition(ui::Point p, ui::Point* arrow = nullptr) const;
    int GetBandDropPosition(ui::Point p, ui::Point* arrow = nullptr) const;
    virtual bool DoDragOverBand(int, ui::Point, bool accept) { return accept; }
    virtual bool DoDragOverHeader(int, ui::Point, bool accept) { return accept; }
    // A drop place for a dragged header outside the header panel (the grouping panel of the
    // data-aware grid): true with the insert arrows' client point when there is one.
    virtual bool GetOuterHeaderDropMark(int, ui::Point, ui::Point&) { return false; }
    virtual bool DoDragEndBand(int, ui::Point, int&) { return true; }
    virtual bool DoDragEndHeader(int, ui::Point, TgxHeaderPosInfo&) { return true; }
    virtual bool IsBandCustomizingDisabled(int) const { return false; }
    virtual bool IsHeaderCustomizingDisabled(int) const { return false; }
    virtual bool IsBandOnlyOwnColumns(int) const { return false; }
    virtual int GetColumnBandIndex(int) const { return 0; }
    virtual int GetColumnRowIndex(int) const { return 0; }
    virtual void MoveBand(int, int) {}
    virtual void HideBand(int) {}
    // Shows a band (absolute index) at a visible index.
    virtual void ShowBand(int, int) {}
    virtual void MoveHeader(int, int, int, int) {}
    virtual void HideHeader(int) {}
    virtual void ShowHeaderAt(int, int, int, int) {}
    virtual bool IsColumnCustomizingListed(int) const { return false; }
    virtual bool IsBandHidden(int) const { return false; }
    virtual int GetBandAbsoluteIndex(int band) const { return band; }
    // Every band, hidden ones included.
    virtual int GetAllBandCount() const { return GetBandCount(); }
    // The caption of a band by its absolute index (hidden bands included).
    virtual std::string GetAbsoluteBandText(int) const { return {}; }
    // Rescales a band's hidden, sizable columns by new / old.
    virtual void ScaleHiddenColumns(int, int, int) {}

    // ---- Customizing form
    // Opens the form listing the hidden bands and headers (one per grid).
    void ShowColumnsCustomizing();
    void CloseColumnsCustomizing();
    bool PointInCustomizingArea(ui::Point screen) const;
    bool SimpleCustomizeBox = false;
    QListWidget* CustomizingBandsList() const { return customizing_bands_list_; }
    QListWidget* CustomizingHeadersList() const { return customizing_headers_list_; }
    // The form's list boxes show what changed.
    void RefreshCustomizingLists();
    // Takes the customizing form and its lists (either may be null); closing the form runs
    // CustomizingFormClose.
    void SetCustomizingForm(std::unique_ptr<QWidget> form, QListWidget* bands_list,
                            QListWidget* headers_list);
    bool IsCustomizing() const { return customizing_form_ != nullptr; }
    QWidget* CustomizingForm() const { return customizing_form_.get(); }
    // Remembers where the form was and which items were current, frees the form and
    // fires OnEndColumnsCustomizing.
    void CustomizingFormClose();
    ui::Point CustomizingFormPos() const { return customizing_pos_; }
    int CustomizingBandsIndex() const { return customizing_bands_index_; }
    int CustomizingHeadersIndex() const { return customizing_headers_index_; }

    void InvalidateRow(const TgxTreeListNode* node);
    void RepaintFrom(const TgxTreeListNode* node);
    void InvalidateRect(const ui::Rect& r);
    int InvalidationCount() const { return invalidations_; }
    // Tab stays in the grid while IsTabs answers true.
    bool focusNextPrevChild(bool next) override;

  protected:
    friend class TgxTreeListNode;
    NodeList& TopNodes() { return nodes_; }
    // Bulk moves for controls that rebuild their tree from the rows they have: the whole
    // forest taken out without deletion bookkeeping (focus, top and anchor are forgotten),
    // a node's children taken out, and a node attached under a parent (null: the top
    // level) before position index (-1: at the end).
    NodeList ReleaseAllNodes();
    static NodeList TakeChildren(TgxTreeListNode* node);
    void AttachNode(std::unique_ptr<TgxTreeListNode> node, TgxTreeListNode* parent, int index);
    // Marks the control as being destroyed, so that clearing skips locks, events and repaints.
    void SetDestroying() { destroying_ = true; }
    void ColorChanged() override { Repaint(); }
    void Repaint();
    void resizeEvent(QResizeEvent* e) override;
    bool viewportEvent(QEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void changeEvent(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    // The mouse handling with client coordinates (the Qt handlers translate to these).
    virtual void MouseDown(Qt::MouseButton button, ui::TShiftState shift, int x, int y);
    virtual void MouseMove(ui::TShiftState shift, int x, int y);
    virtual void MouseUp(Qt::MouseButton button, ui::TShiftState shift, int x, int y);
    // Draws the size line over a finished paint.
    void PaintSizingLine(ui::TCanvas& canvas);
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    // Applies the window frame of BorderStyle and LookAndFeel.
    void UpdateFrame();
    void ClearNodeMeasures();
    // Set while the only change to the rows is rows added at the end of the top level, none
    // with child rows shown (a list read in slices): the display order made before them is
    // kept and extended rather than made again over the whole list.
    void SetAppendingRows(bool value) { appending_rows_ = value; }

    std::unique_ptr<TgxInplaceEdit> editor_;
    TgxTreeListNode* edit_node_ = nullptr;
    int edit_column_ = -1;
    int edit_column_at_bind_ = -1;

  private:
    // The steps of CalcDrawInfo, in order.
    struct BandStrip {
        int bands = 0;
        int first = 0, last = -1;  // the scrolled bands
        int left = 0, right = 0;   // the strip they scroll in
        int fixed_left = -1, fixed_right = -1;
        int bands_width = 0;
    };
    BandStrip CalcFixedBandAreas(TDrawInfo& info) const;
    void CalcScrolledBandCells(TDrawInfo& info, const BandStrip& strip) const;
    void CalcBandHeaderCells(TDrawInfo& info, const TBandCellInfo& band,
                             int last_unfixed_band) const;
    // Returns where the rows end.
    int CalcRowInfos(TDrawInfo& info) const;
    void CalcDrawInfoEdges(TDrawInfo& info, const BandStrip& strip, int rows_bottom) const;
    // The steps of CalcHitInfo, one per area of the control; each answers whether the point
    // lies in its area (the hit is then complete).
    bool HitBandArea(const TDrawInfo& info, ui::Point p, TgxTreeListHitInfo& hit) const;
    bool HitHeaderArea(const TDrawInfo& info, ui::Point p, TgxTreeListHitInfo& hit) const;
    bool HitNewItemRow(const TDrawInfo& info, ui::Point p, TgxTreeListHitInfo& hit) const;
    bool HitIndicator(const TDrawInfo& info, ui::Point p, TgxTreeListHitInfo& hit) const;
    bool HitFooter(const TDrawInfo& info, ui::Point p, TgxTreeListHitInfo& hit) const;
    void HitNodeArea(const TDrawInfo& info, ui::Point p, TgxTreeListHitInfo& hit) const;
    // A point on a row's cells (not its footers), the row starting at row_top.
    void HitRowCells(const TDrawInfo& info, const TRowInfo& row, int row_top, ui::Point p,
                     TgxTreeListHitInfo& hit) const;
    // A point left of the first cell's text: the indent, the expand button or the images.
    void HitCellLead(const TRowInfo& row, const THeaderCellInfo& hc, ui::Point p,
                     TgxTreeListHitInfo& hit) const;
    // The row edge within the sizing zone of y, or -1 (also without row sizing).
    int RowEdgeAt(const TDrawInfo& info, int y) const;

    void VertAutoScrollTick();
    void HorzAutoScrollTick();
    void DragExpandTick();
    void ClickEditTick();
    void PaintRowFooters(ui::TCanvas& canvas, const TDrawInfo& info, const TRowInfo& row,
                         int footers_top, std::vector<std::pair<ui::Point, ui::Point>>& lines);
    void PaintNewItemRow(ui::TCanvas& canvas, const TDrawInfo& info, bool focused);
    // The parts of one paint, in the order they are drawn.
    using PaintSegments = std::vector<std::pair<ui::Point, ui::Point>>;
    struct RowPaintContext;
    void PaintBands(ui::TCanvas& canvas, const TDrawInfo& info);
    void PaintHeaders(ui::TCanvas& canvas, const TDrawInfo& info);
    void PaintIndicator(ui::TCanvas& canvas, const TDrawInfo& info);
    void PaintFooter(ui::TCanvas& canvas, const TDrawInfo& info);
    void PaintFooterCell(ui::TCanvas& canvas, const TDrawInfo& info, const THeaderCellInfo& hc,
                         const ui::Rect& footer);
    void PaintRows(ui::TCanvas& canvas, TDrawInfo& info, bool focused);
    void PaintRowIndent(ui::TCanvas& canvas, const TDrawInfo& info, const RowPaintContext& ctx,
                        TRowInfo& row, int y, PaintSegments& lines);
    void PaintIndentSlots(ui::TCanvas& canvas, const RowPaintContext& ctx, const TRowInfo& row,
                          int y, int slot_count, PaintSegments& lines);
    void PaintTreeLines(ui::TCanvas& canvas, const RowPaintContext& ctx, const TRowInfo& row, int y,
                        int bottom);
    void PaintRowContent(ui::TCanvas& canvas, const TDrawInfo& info, const RowPaintContext& ctx,
                         const TRowInfo& row, int y, bool focused, PaintSegments& lines);
    // Draws the cells of a data row and answers the focused cell's rectangle (empty if none).
    ui::Rect PaintDataCells(ui::TCanvas& canvas, const TDrawInfo& info, const TRowInfo& row, int y,
                            int cell_bottom, bool row_selected, bool focused, PaintSegments& lines);
    int CountDisplayed(const NodeList& list) const;
    // The node's position in the visible-node cache, -1 when it is not there.
    int CachedDisplayIndex(const TgxTreeListNode* node) const;
    // Adds the top-level rows after those of the kept display order to it; false (the order
    // then to be made again) when the kept order is not where the rows begin or a new row
    // shows child rows.
    bool ExtendVisibleNodeCache();
    void UpdateScrollBarsOnce();

    NodeList nodes_;
    // Visible-node cache: display order and the position of each node in it.
    std::vector<TgxTreeListNode*> display_order_;
    // Stamped into the nodes with their display positions; a new value outdates them all.
    std::uint32_t display_generation_ = 1;
    bool cache_valid_ = false;
    // Stamped into the nodes with their measured heights; a new value drops them all.
    std::uint32_t measure_generation_ = 1;
    bool appending_rows_ = false;

    TgxTreeListNode* focused_node_ = nullptr;
    int focused_column_ = -1;
    TgxTreeListNode* top_node_ = nullptr;
    TgxTreeListNode* anchor_ = nullptr;
    TgxTreeListNode* hot_node_ = nullptr;
    TgxTreeListNode* drag_node_ = nullptr;
    bool anchor_set_ = false;
    int left_coord_ = 0;
    int rows_in_view_ = 1;
    int rows_in_view_partly_ = 1;
    bool new_item_row_active_ = false;

    int update_lock_ = 0;
    int selection_lock_ = 0;
    int selected_count_at_lock_ = 0;
    bool clearing_ = false;
    bool destroying_ = false;
    bool loading_ = false;
    std::uint8_t state_ = tsNormal;
    bool ctrl_held_ = false;
    int layout_running_ = 0;
    int invalidations_ = 0;
    std::int64_t wheel_accumulated_ = 0;

    TLOptions options_ = kDefaultTLOptions;
    TLOptionsEx options_ex_ = kDefaultTLOptionsEx;

    ui::TFont band_font_;
    ui::TFont header_font_;
    ui::TFont preview_font_;
    ui::TChangeLink images_link_;
    ui::TChangeLink state_images_link_;
    ui::TCustomImageList* images_ = nullptr;
    ui::TCustomImageList* state_images_ = nullptr;
    const ui::TextMetrics* metrics_;

    bool parent_font_ = true;
    bool following_parent_font_ = false;
    bool hide_selection_ = true;
    bool hide_focus_rect_ = true;
    bool show_bands_ = false;
    bool show_grid_ = false;
    bool show_header_ = true;
    bool show_preview_grid_ = true;
    bool show_row_footer_ = false;
    bool show_new_item_row_ = false;
    bool show_footer_ = false;
    bool show_indicator_ = false;
    bool grid_mode_ = false;
    bool show_root_ = true;
    int default_row_height_ = 18;
    bool default_row_height_explicit_ = false;
    int indent_desc_ = 20;
    int preview_lines_ = 2;
    int fixed_band_line_width_ = 2;
    int row_separator_line_width_ = 1;
    int max_row_line_count_ = -1;
    int customizing_row_count_ = 11;
    TgxLookAndFeel look_and_feel_ = lfStandard;
    TScrollStyle scroll_bars_ = ssBoth;
    TBorderStyle border_style_ = bsSingle;
    bool ctl3d_ = true;

    QObject* drag_object_ = nullptr;
    TgxTreeListNode* drag_expand_node_ = nullptr;
    ui::Point drag_point_{};
    bool scroll_down_ = false;
    bool scroll_right_ = false;
    ui::TTimer vert_scroll_timer_;
    ui::TTimer horz_scroll_timer_;
    ui::TTimer click_edit_timer_;
    // The cell whose click started the delayed editor; the editor opens only on it.
    TgxTreeListNode* click_edit_node_ = nullptr;
    int click_edit_column_ = -1;
    bool click_edit_new_row_ = false;
    ui::TTimer drag_expand_timer_;
    // The footer level and index of the row-footer cell being drawn.
    int row_footer_level_ = 0;
    int row_footer_index_ = 0;

    std::unique_ptr<QWidget> customizing_form_;
    QPointer<QListWidget> customizing_bands_list_;
    QPointer<QListWidget> customizing_headers_list_;
    ui::Point customizing_pos_{-1000, -1000};
    int customizing_bands_index_ = -1;
    int customizing_headers_index_ = -1;

    // Layout metrics, set by CalcLayout.
    int band_line_height_ = 0;
    int band_panel_height_ = 0;
    int header_row_height_ = 0;
    int header_panel_height_ = 0;
    int font_line_height_ = 0;
    int row_line_height_ = 0;
    int footer_row_height_ = 0;
    int footer_height_ = 0;
    int row_footer_height_ = 0;
    int preview_line_height_ = 0;
    int new_item_row_height_ = 0;
    int zero_width_ = 0;

    // Mouse press state.
    ui::Point press_point_{};
    int pressed_band_ = -1;
    int pressed_column_ = -1;
    TgxTreeListNode* pressed_node_ = nullptr;
    bool press_on_focused_ = false;
    bool selection_changed_by_press_ = false;
    bool postponed_clear_ = false;
    bool editor_closed_by_press_ = false;
    bool press_in_update_ = false;
    bool header_click_shift_ = false;
    bool header_click_ctrl_ = false;
    bool band_button_down_ = false;
    bool header_button_down_ = false;
    int sizing_pos_ = 0;
    int sizing_start_ = 0;
    int sizing_min_ = 0;
    int sizing_max_ = 0;
    int sizing_left_ = 0;
    int sizing_band_ = -1;
    int sizing_column_ = -1;
    TgxTreeListNode* sizing_node_ = nullptr;
    int sizing_row_top_ = 0;
    bool sizing_line_shown_ = false;
    int drag_images_hidden_ = 0;

    // Incremental search.
    int search_column_ = -1;
    std::string search_text_;
    bool searching_ = false;
    int search_lock_ = 0;

    // Header and band drag.
    int drag_band_ = -1;
    int drag_column_ = -1;
    bool drag_from_list_ = false;
    TgxHeaderPosInfo drop_header_{};
    ui::Point drop_mark_{-100, -100};
    int drop_band_ = -2;
    std::unique_ptr<QWidget> drag_image_;
    std::unique_ptr<QWidget> drag_arrows_;
    Qt::CursorShape drag_cursor_ = Qt::ArrowCursor;
    bool drag_delete_cursor_ = false;
    ui::Point last_drag_point_{};
    void ShowDragImageAt(ui::Point screen);
    void UpdateDragArrows(ui::Point client_arrow, bool show);
    void EndDragVisuals();
    void MakeHeaderDragImage(int column);
    void MakeBandDragImage(int band);
    void StartHeaderEdgeScroll(int x, bool band_drag);

    // Pan scrolling runs as a small state of its own.
    class PanScroller;
    struct PanDeleter {
        void operator()(PanScroller* pan) const;
    };
    std::unique_ptr<PanScroller, PanDeleter> pan_;
    void StartPanScroll(ui::Point screen);

    void BeginSizing(std::uint8_t state, const TgxTreeListHitInfo& hit, ui::Point p);
    void TrackSizing(ui::Point p);
    void EndSizing(ui::Point p);
    void SetSizingLine(int pos, bool show);
    void PressNode(Qt::MouseButton button, ui::TShiftState shift, const TgxTreeListHitInfo& hit,
                   ui::Point p);
    void MoveFocus(TgxTreeListNode* node, int column, ui::TShiftState shift, bool range_keys);
    int NextFocusableColumn(int from, bool forward) const;
    // The first (or last) column that takes the focus by keys, for a move into another row.
    int EdgeFocusableColumn(bool first) const;
    // The steps of one key down; each answers whether the key goes on to the next step (or,
    // for the plain keys, to the closing selection of the focused row).
    void NodeDragKey(std::uint16_t key);
    bool CloseEditorForKey(std::uint16_t key);
    void LeaveNewItemRowByKey(ui::TShiftState shift);
    bool SearchKey(std::uint16_t key, ui::TShiftState shift);
    bool CtrlKey(std::uint16_t key);
    bool PlainKey(std::uint16_t key, ui::TShiftState shift);
    void TabKey(bool forward);
    void CellLeftRightKey(bool right);
    void RowLeftRightKey(bool right);
    bool UpDownKey(bool down, ui::TShiftState shift);
    // Up and Down across the column rows of a band: kDone when the focus moved inside the
    // node or stays at the grid's end, kWrapped when it goes on to the next node in
    // target_column.
    enum class BandRowStep { kNone, kDone, kWrapped };
    BandRowStep StepBandRow(bool down, int& target_column);
};

}  // namespace grid
