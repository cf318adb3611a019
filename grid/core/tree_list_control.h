#pragma once

// The tree list with real columns arranged in bands: owns the column list and the bands,
// answers every layout query from them through cached lookup tables, keeps cell texts in
// text nodes, one in-place editor per editor kind and the list of sorted columns.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "grid/core/band.h"
#include "grid/core/column.h"
#include "grid/core/tree_list.h"

namespace grid {

class TCustomgxTreeListControl : public TCustomgxTreeList {
  public:
    explicit TCustomgxTreeListControl(QWidget* parent = nullptr);
    ~TCustomgxTreeListControl() override;

    TgxTreeListBands& Bands() { return *bands_; }
    const TgxTreeListBands& Bands() const { return *bands_; }
    int BandMaxRowCount() const { return band_max_row_count_; }
    void SetBandMaxRowCount(int v);
    int BandRowCount() const { return band_row_count_; }
    void SetBandRowCount(int v);
    bool DefaultLayout() const { return default_layout_; }
    void SetDefaultLayout(bool v);
    int HeaderMinRowCount() const { return header_min_row_count_; }
    void SetHeaderMinRowCount(int v);
    int HeaderPanelMaxRowCount() const { return header_panel_max_row_count_; }
    void SetHeaderPanelMaxRowCount(int v);
    int HeaderPanelRowCount() const { return header_panel_row_count_; }
    void SetHeaderPanelRowCount(int v);
    void ClearAutoHeaderPanelHeight();
    bool ShowHiddenInCustomizeBox = false;

    TgxTreeListColumn* Columns(int index) const;
    int ColumnCount() const { return static_cast<int>(columns_.size()); }
    TgxTreeListColumn* GetColumnByVisibleIndex(int index) const;
    TgxTreeListColumn* FindColumnByName(std::string_view name) const;
    // Creates a column of the plain kind, names it and attaches it.
    TgxTreeListColumn* CreateColumn();
    void AddColumn(std::unique_ptr<TgxTreeListColumn> column);
    virtual std::unique_ptr<TgxTreeListColumn> RemoveColumn(TgxTreeListColumn* column);
    virtual void DestroyColumns();
    void RefreshColumnsDefaults();
    void ColumnChanged(TgxTreeListColumn* column);
    void ColumnMoved(int from, int to);
    // Ends an open edit before a column or band leaves, moves or hides, while the
    // bound position still names the edited column; the edit of a removed column is dropped.
    void EndEditBeforeColumnChange(const TgxTreeListColumn* column, bool removed);
    // Drops a header or band sizing or drag under way without applying it.
    void CancelHeaderMouseOperation();
    void BandsChanged();
    void NormalizeLayout();
    void RebuildLayoutCache();
    int ColumnsRowIndexLimit() const { return header_panel_row_count_ - 1; }
    // Columns visible in the layout of a band row, in row order (absolute band index).
    std::vector<int> BandRowColumns(int band, int row) const;

    int GetBandCount() const override;
    int VisibleBandAbsoluteIndex(int visible) const;
    int BandVisibleIndex(int band) const;
    int GetBandWidth(int vb) const override;
    int GetBandMinWidth(int vb) const override;
    std::string GetBandText(int vb) const override;
    TAlignment GetBandAlignment(int vb) const override;
    int GetFixedLeftBand() const override;
    int GetFixedRightBand() const override;
    bool IsBandSizing(int vb) const override;
    bool IsBandHeaderWidth() const override;
    int GetColumnCount() const override { return ColumnCount(); }
    int GetHeaderAbsoluteIndex(int vb, int row, int pos) const override;
    int GetHeaderColCount(int vb, int row) const override;
    int GetHeaderRowCount(int vb) const override;
    int GetColumnWidth(int c) const override;
    int GetColumnMinWidth(int c) const override;
    int GetHeaderMaxLineCount(int c) const override;
    bool IsColumnMultiLine(int c) const override;
    std::string GetHeaderText(int c) const override;
    TAlignment GetHeaderAlignment(int c) const override;
    const QImage* GetHeaderGlyph(int c) const override;
    TgxTreeListColumnSort GetColumnSorted(int c) const override;
    TAlignment GetCellAlignment(const TgxTreeListNode*, int c) const override;
    ui::Color GetColumnColor(int c) const override;
    const ui::TFont& GetColumnFont(int c) const override;
    bool IsColumnFontExplicit(int c) const override;
    bool IsColumnVisible(int c) const override;
    bool IsColumnSizing(int c) const override;
    int GetMinColumnCellHeight(int c) const override;
    int GetBandMaxRowCount() const override { return band_max_row_count_; }
    int GetBandRowCount() const override { return band_row_count_; }
    int GetHeaderPanelMaxRowCount() const override { return header_panel_max_row_count_; }
    int GetHeaderPanelRowCount() const override { return header_panel_row_count_; }
    int GetHeaderMinRowCount() const override { return std::max(1, header_min_row_count_); }
    bool IsColumnListedInCustomizing(int c) const;
    void ColumnsLayoutChanged() override;

    std::unique_ptr<TgxTreeListNode> CreateNode() override;
    Value GetNodeValue(const TgxTreeListNode* node, int column) const override;
    std::string GetNodeString(const TgxTreeListNode* node, int column) const override;
    void SetNodeString(TgxTreeListNode* node, int column, std::string_view text) override;
    int GetNodeImageIndex(const TgxTreeListNode* node) const override;
    int GetNodeSelectedIndex(const TgxTreeListNode* node) const override;
    int GetNodeStateIndex(const TgxTreeListNode* node) const override;
    void DeleteColumnValue(TgxTreeListNode* node, int index) override;
    void SetNodeImageIndexes(TgxTreeListNode* node, int image, int selected, int state);
    Value GetNodeCompareValue(const TgxTreeListNode* node, int column) const override;
    std::unique_ptr<TgxInplaceEdit> CreateEditor() override;
    TgxInplaceEdit* FindEditor() override;
    void DoEditing(TgxTreeListNode* node, bool& allow) override;
    bool CanEditModify() override;
    void ApplyBestFit(TgxTreeListColumn* column);
    void SetColumnWidthFromSizing(int column, int width) override;
    void SetVisibleBandWidth(int vb, int width) override;
    // The column whose header lies under a client point; null over anything else.
    TgxTreeListColumn* GetColumnAt(int x, int y) const;

    void BeginSorting() { ++sort_lock_; }
    void EndSorting();
    bool IsSortLocked() const { return sort_lock_ > 0; }
    void ClearSorting() override;
    void HeaderPanelAutoRows() override { NormalizeLayout(); }
    TgxTreeListColumn* GetSortedColumn(int index) const;
    int SortedColumnCount() const { return static_cast<int>(sorted_columns_.size()); }
    bool SortedColumnDesc(int index) const;
    int SortedColumnIndex(int index) const;
    virtual void AddSortedColumn(TgxTreeListColumn* column);
    virtual void UpdateSortedColumns() {}
    virtual void ColumnSortChanged(TgxTreeListColumn*) {}
    virtual bool DoColumnSorting(TgxTreeListColumn* column);
    void RebuildSortedColumns();
    void RemoveSortedColumn(TgxTreeListColumn* column);
    // A header click: the click callback, then the sort mark cycles when AutoSort holds.
    void DoHeaderClick(int column) override;
    std::vector<std::pair<int, bool>> SortColumns() const override;
    void SetClearSortFlag(bool v) { clear_sort_ = v; }
    bool AddToSortFlag() const { return add_to_sort_; }
    void SetAddToSortFlag(bool v) { add_to_sort_ = v; }

    void Loaded();

    TgxTLCustomDrawCell OnCustomDrawCell;
    TgxTLCustomDrawHeader OnCustomDrawColumnHeader;
    std::function<void(TCustomgxTreeListControl*, int band, ui::TCanvas&, const ui::Rect&,
                       std::string&, ui::Color&, ui::TFont&, TAlignment&, bool&)>
        OnCustomDrawBand;
    std::function<void(TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                       const TgxTreeListNode*, bool, std::string&, bool&)>
        OnCustomDrawPreview;
    std::function<void(TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                       const TgxTreeListNode*, TgxTreeListColumn*, std::string&, ui::Color&,
                       ui::TFont&, TAlignment&, bool&)>
        OnCustomDrawFooter;
    std::function<void(TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                       const TgxTreeListNode*, TgxTreeListColumn*, int footer_index, std::string&,
                       ui::Color&, ui::TFont&, TAlignment&, bool&)>
        OnCustomDrawFooterNode;
    std::function<void(TCustomgxTreeListControl*, int level, ui::Color&)> OnGetLevelColor;
    std::function<void(TCustomgxTreeListControl*, int column, bool& exist)> OnIsExistFooterCell;
    std::function<void(TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                       const TgxTreeListNode*, bool, std::string&, ui::Color&, ui::Color&,
                       ui::TFont&, bool&)>
        OnCustomDrawPreviewCell;
    std::function<void(TCustomgxTreeListControl*, int from, int to)> OnColumnMoved;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*)> OnHeaderClick;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*, bool&)> OnColumnSorting;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*)> OnHideHeader;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*, int, int, int)> OnShowHeader;

    bool HasCustomDrawCell(int c) const override;
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& r, const TgxTreeListNode* node,
                          int c, bool selected, bool focused, bool new_item, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    bool HasCustomDrawHeader() const override;
    void DoCustomDrawHeader(int c, ui::TCanvas& canvas, const ui::Rect& r, std::string& text,
                            ui::Color& color, ui::TFont& font, TAlignment& alignment,
                            TgxTreeListColumnSort& sorted, bool& done) override;
    bool HasCustomDrawPreview() const override {
        return static_cast<bool>(OnCustomDrawPreview) || static_cast<bool>(OnCustomDrawPreviewCell);
    }
    void DoCustomDrawPreview(ui::TCanvas& canvas, const ui::Rect& r, const TgxTreeListNode* node,
                             bool selected, std::string& text, ui::Color& color,
                             ui::Color& text_color, ui::TFont& font, bool& done) override;
    bool HasCustomDrawBand() const override { return static_cast<bool>(OnCustomDrawBand); }
    void DoCustomDrawBand(int vb, ui::TCanvas& canvas, const ui::Rect& r, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    bool HasCustomDrawFooter(int level) const override {
        return level == -1 ? static_cast<bool>(OnCustomDrawFooter)
                           : static_cast<bool>(OnCustomDrawFooterNode);
    }
    void DoCustomDrawFooter(ui::TCanvas& canvas, const ui::Rect& r, const TgxTreeListNode* node,
                            int c, int level, int footer_index, std::string& text, ui::Color& color,
                            ui::TFont& font, TAlignment& alignment, bool& done) override;
    bool HasGetLevelColor() const override { return static_cast<bool>(OnGetLevelColor); }
    void DoGetLevelColor(int level, ui::Color& color) override {
        if (OnGetLevelColor)
            OnGetLevelColor(this, level, color);
    }
    bool IsExistFooterCell(int c) const override;
    void HideColumn(TgxTreeListColumn* column);
    void ShowColumnAt(TgxTreeListColumn* column, int vb, int row, int position);

    // Mouse hooks, sizing and band and header drag and drop.
    void DoColumnEdgeDblClick(int column) override;
    void DoBandClick(int band) override;
    void DoBandButtonClick() override;
    void DoHeaderButtonClick() override;
    void DoColumnsWidthChanged() override;
    void SetBandRowCountFromSizing(int rows) override { SetBandRowCount(rows); }
    void SetHeaderPanelRowCountFromSizing(int rows) override;
    void ScaleHiddenColumns(int band, int numerator, int denominator) override;
    bool CanBandDragging(int band) const override;
    bool CanHeaderDragging(int column) const override;
    void StartBandDragging(int band, bool from_list) override;
    void StartHeaderDragging(int column, bool from_list) override;
    bool DoDragOverBand(int band, ui::Point p, bool accept) override;
    bool DoDragOverHeader(int column, ui::Point p, bool accept) override;
    bool DoDragEndBand(int band, ui::Point p, int& new_index) override;
    bool DoDragEndHeader(int column, ui::Point p, TgxHeaderPosInfo& pos) override;
    bool IsBandCustomizingDisabled(int band) const override;
    bool IsHeaderCustomizingDisabled(int column) const override;
    bool IsBandOnlyOwnColumns(int band) const override;
    int GetColumnBandIndex(int column) const override;
    int GetColumnRowIndex(int column) const override;
    void MoveBand(int from, int to) override;
    void HideBand(int band) override;
    void ShowBand(int band, int visible_index) override;
    void MoveHeader(int column, int band, int row, int position) override;
    void HideHeader(int column) override { HideColumn(Columns(column)); }
    void ShowHeaderAt(int column, int band, int row, int position) override {
        ShowColumnAt(Columns(column), band, row, position);
    }
    bool IsColumnCustomizingListed(int column) const override {
        return IsColumnListedInCustomizing(column);
    }
    bool IsBandHidden(int band) const override;
    bool IsColumnTabStop(int column) const override {
        return Columns(column) == nullptr || Columns(column)->TabStop();
    }
    int GetBandAbsoluteIndex(int band) const override { return VisibleBandAbsoluteIndex(band); }
    int GetAllBandCount() const override { return static_cast<int>(bands_->Count()); }
    std::string GetAbsoluteBandText(int band) const override;

    std::function<void(TCustomgxTreeListControl*)> OnChangedColumnsWidth;
    std::function<void(TCustomgxTreeListControl*, const TgxTreeListNode*, TgxTreeListColumn*,
                       std::string&)>
        OnGetNodeDragText;
    std::string GetNodeDragText(const TgxTreeListNode* node, int column) const override {
        std::string text = TCustomgxTreeList::GetNodeDragText(node, column);
        if (OnGetNodeDragText)
            OnGetNodeDragText(const_cast<TCustomgxTreeListControl*>(this), node, Columns(column),
                              text);
        return text;
    }
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*, bool&)> OnCanBandDragging;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*)> OnStartBandDragging;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*, ui::Point, bool&)>
        OnDragOverBand;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*, ui::Point, int& absolute,
                       int& visible, int& new_index, bool& accept)>
        OnDragEndBand;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*, int)> OnShowBand;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*)> OnHideBand;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListBand*)> OnBandClick;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*, bool&)> OnCanHeaderDragging;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*)> OnStartHeaderDragging;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*, ui::Point, bool&)>
        OnDragOverHeader;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*, ui::Point, TgxHeaderPosInfo&,
                       bool&)>
        OnDragEndHeader;
    std::function<void(TCustomgxTreeListControl*)> OnBandButtonClick;
    std::function<void(TCustomgxTreeListControl*)> OnHeaderButtonClick;
    std::function<void(TCustomgxTreeListControl*, TgxTreeListColumn*)> OnHeaderMoved;

  protected:
    // Names a new column base + "Column" + N, N counting up from the column count + 1 past
    // names already taken. When the base cannot make a valid name the column stays unnamed.
    void NameNewColumn(TgxTreeListColumn& column, std::string_view base) const;

  private:
    friend class TgxTreeListColumn;
    friend class TgxTreeListBands;
    friend class TgxTreeListBand;
    void RenumberAfterBandDeletion(int deleted);
    void ForEachNode(const std::function<void(TgxTreeListNode*)>& fn);

    std::unique_ptr<TgxTreeListBands> bands_;
    std::vector<std::unique_ptr<TgxTreeListColumn>> columns_;
    std::vector<std::unique_ptr<TgxInplaceEdit>> editors_;
    std::vector<TgxTreeListColumn*> sorted_columns_;
    int band_max_row_count_ = 5;
    int band_row_count_ = 1;
    int header_min_row_count_ = 1;
    int header_panel_max_row_count_ = 5;
    int header_panel_row_count_ = 1;
    bool default_layout_ = true;
    int sort_lock_ = 0;
    bool auto_sizing_header_ = false;
    bool normalizing_ = false;
    bool clear_sort_ = false;
    bool add_to_sort_ = false;
    // Layout cache: visible bands (absolute indexes), each band's visible index, and per
    // visible band its header rows of column indexes.
    mutable bool cache_valid_ = false;
    mutable std::vector<int> visible_bands_;
    mutable std::vector<int> band_visible_index_;
    mutable std::vector<std::vector<std::vector<int>>> band_rows_;
    void EnsureCache() const;
};

}  // namespace grid
