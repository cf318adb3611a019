#pragma once

// The grid bound to a dataset. It turns records into rows in one of the load modes (buffer,
// partial window, every record), keeps the focused row and the current record in step,
// groups rows by column values with summaries, keeps its multi-selection as bookmarks, and
// saves its layout to the registry or an INI file.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "grid/data/db_tree_list_control.h"
#include "grid/data/grid_data_link.h"
#include "grid/data/summary.h"
#include "platform/db/variant.h"

namespace platform::config {
class TIniFile;
class TRegIniFile;
}  // namespace platform::config

namespace grid {

using TgxDBGridOptions = std::uint32_t;
inline constexpr TgxDBGridOptions egoColumnSizing = 1u << 0, egoColumnMoving = 1u << 1,
                                  egoEditing = 1u << 2, egoTabs = 1u << 3, egoTabThrough = 1u << 4,
                                  egoRowSelect = 1u << 5, egoMultiSelect = 1u << 6,
                                  egoCanDelete = 1u << 7, egoConfirmDelete = 1u << 8,
                                  egoCanNavigation = 1u << 9, egoCanAppend = 1u << 10,
                                  egoCancelOnExit = 1u << 11, egoImmediateEditor = 1u << 12,
                                  egoCanInsert = 1u << 13, egoLoadAllRecords = 1u << 14,
                                  egoPreview = 1u << 15, egoDrawEndEllipsis = 1u << 16,
                                  egoStoreToRegistry = 1u << 17, egoAutoWidth = 1u << 18,
                                  egoShowHourGlass = 1u << 19, egoCaseInsensitive = 1u << 20,
                                  egoDblClick = 1u << 21, egoIndicator = 1u << 22,
                                  egoExtMultiSelect = 1u << 23, egoResetColumnFocus = 1u << 24,
                                  egoExtCustomizing = 1u << 25, egoHideFocusRect = 1u << 26,
                                  egoStoreToIniFile = 1u << 27, egoUseLocate = 1u << 28,
                                  egoSmartReload = 1u << 29, egoSmartRefresh = 1u << 30,
                                  egoSeekDetail = 1u << 31;

using TgxDBGridOptionsEx = std::uint32_t;
inline constexpr TgxDBGridOptionsEx egoInvertSelect = 1u << 0, egoUseBitmap = 1u << 1,
                                    egoBandHeaderWidth = 1u << 2, egoAutoCalcPreviewLines = 1u << 3,
                                    egoBandSizing = 1u << 4, egoBandMoving = 1u << 5,
                                    egoHorzThrough = 1u << 6, egoVertThrough = 1u << 7,
                                    egoCellMultiSelect = 1u << 8, egoEnterThrough = 1u << 9,
                                    egoEnterShowEditor = 1u << 10, egoFullSizing = 1u << 11,
                                    egoDragScroll = 1u << 12, egoDragExpand = 1u << 13,
                                    egoDragCollapse = 1u << 14, egoRowAutoHeight = 1u << 15,
                                    egoBandButtonClicking = 1u << 16, egoBandPanelSizing = 1u << 17,
                                    egoHeaderButtonClicking = 1u << 18,
                                    egoHeaderPanelSizing = 1u << 19, egoRowSizing = 1u << 20,
                                    egoAutoSort = 1u << 21, egoNotHideColumn = 1u << 22,
                                    egoMultiSort = 1u << 23, egoShowButtonAlways = 1u << 24,
                                    egoAutoHeaderPanelHeight = 1u << 25,
                                    egoKeepColumnWidth = 1u << 26, egoSyncSelection = 1u << 27,
                                    egoCollapsedReload = 1u << 28, egoAnsiSort = 1u << 29,
                                    egoMouseScroll = 1u << 30, egoAutoSearch = 1u << 31;

inline constexpr TgxDBGridOptions kDefaultDBGridOptions = 0x3B97;
inline constexpr TgxDBGridOptionsEx kDefaultDBGridOptionsEx = 0x2014B6;

// The tree-list words the grid's option sets map to.
TLOptions MapGridOptions(TgxDBGridOptions options);
TLOptionsEx MapGridOptionsEx(TgxDBGridOptionsEx options, TLOptionsEx current);

// A record's bookmark as a row keeps it: runs of zero bytes (the padding of the key's
// fields) are stored as a count, in one small block, so that a row of a long list carries
// a pointer and a few dozen bytes instead of a string and the whole padded key.
class CompactBookmark {
  public:
    CompactBookmark() = default;
    CompactBookmark(const CompactBookmark& other) { *this = other; }
    CompactBookmark& operator=(const CompactBookmark& other);
    CompactBookmark(CompactBookmark&&) noexcept = default;
    CompactBookmark& operator=(CompactBookmark&&) noexcept = default;
    CompactBookmark& operator=(std::string_view bookmark);

    bool empty() const { return block_ == nullptr; }
    db::TBookmark Value() const;
    operator db::TBookmark() const { return Value(); }
    bool operator==(std::string_view bookmark) const;

  private:
    // The bookmark's size, then its bytes with each run of zeros as a zero and the run's
    // length (up to 255).
    std::unique_ptr<std::uint8_t[]> block_;
};

// One row of the data-aware grid: a record row, or a group row over record rows.
class TgxDBGridNode : public TgxTreeListTextNode {
  public:
    explicit TgxDBGridNode(TCustomgxTreeList* owner) : TgxTreeListTextNode(owner) {}
    ~TgxDBGridNode() override;

    // Rows are made and freed by the hundred thousand: they come from a pool of blocks
    // (classes derived from this one, being larger, from the heap).
    static void* operator new(std::size_t size);
    static void operator delete(void* node, std::size_t size) noexcept;

    // The value of a cell whose column keeps one (numbers, dates, ...), by column index;
    // only such cells are stored, in column order. Whole numbers, truth values and reals
    // sit in the cell itself, other values in a Variant of their own: a Variant in every
    // cell would weigh more than the rest of a row of a long list.
    class CellValue {
      public:
        CellValue(int column_index, const db::Variant& value);
        db::Variant Value() const;

        int column = 0;

      private:
        db::TVarType type_ = db::varEmpty;
        std::variant<std::int64_t, double, std::unique_ptr<db::Variant>> stored_;
    };
    struct SummaryEntry {
        long double value = 0;
        bool has_value = false;
    };

    // What few rows hold: a group row's value, text and summaries; a record row's preview
    // text and kept summary inputs. Made when first set, so that a plain row of a long list
    // carries one pointer for all of it.
    struct Extras {
        db::Variant GroupValue = db::Variant::Null();
        // A group row's value as its group column displays it.
        std::string GroupText;
        long double Summary = 0;
        bool HasSummary = false;
        std::vector<SummaryEntry> SummaryItems;
        // Record rows below a group row, set when summaries are finished.
        std::int64_t RecordCount = 0;
        std::string PreviewText;
        // The record's values of the fields the summaries read, taken when the row is
        // filled, so that sums recomputed from the rows do not depend on a column showing
        // those fields.
        std::vector<std::pair<const db::TField*, db::Variant>> SummaryInputs;
    };
    Extras& Extra() {
        if (!extras_)
            extras_ = std::make_unique<Extras>();
        return *extras_;
    }
    // An empty set for a row that holds none.
    const Extras& Extra() const;
    bool HasExtras() const { return extras_ != nullptr; }
    void DropExtras() { extras_.reset(); }
    // Null for record rows.
    const db::Variant& GroupValue() const { return Extra().GroupValue; }

    db::Variant Key;  // Unassigned for group rows
    std::int32_t RecNo = 0;
    bool IsGroup = false;
    std::vector<CellValue> CellValues;
    // The record's bookmark, so that selection and deletion find the record again.
    CompactBookmark Bookmark;

  private:
    std::unique_ptr<Extras> extras_;
};

class TCustomgxDBGrid : public TCustomgxDBTreeListControl {
  public:
    explicit TCustomgxDBGrid(QWidget* parent = nullptr);
    ~TCustomgxDBGrid() override;

    // ---- Data binding
    db::TDataSource* DataSource() const { return link_->DataSource(); }
    void SetDataSource(db::TDataSource* source);
    TgxGridDataLink* GetDataLink() const override { return link_.get(); }
    db::TDataSource* GetDataSource() const override { return DataSource(); }
    db::TDataSet* DataSet() const { return link_->DataSet(); }
    bool DefaultFields() const { return default_fields_; }
    void SetDefaultFields(bool value);
    bool GetDefaultFields() const override { return default_fields_; }
    const std::string& KeyField() const { return key_field_name_; }
    void SetKeyField(std::string_view value);
    db::TField* KeyFieldObject() const { return key_field_; }
    bool PartialLoad() const { return partial_load_; }
    void SetPartialLoad(bool value);
    int PartialLoadBufferCount() const { return partial_load_buffer_count_; }
    void SetPartialLoadBufferCount(int value) { partial_load_buffer_count_ = value; }
    bool UseBookmarks() const { return use_bookmarks_; }
    void SetUseBookmarks(bool value);
    const std::string& PreviewFieldName() const { return preview_field_name_; }
    void SetPreviewFieldName(std::string_view value);
    int PreviewMaxLength() const { return preview_max_length_; }
    void SetPreviewMaxLength(int value);
    bool StartRead() const { return start_read_; }
    bool EndRead() const { return end_read_; }

    // ---- Options
    // These hide the tree list's words of the same names, which the grid maps onto.
    TgxDBGridOptions Options() const { return grid_options_; }
    void SetOptions(TgxDBGridOptions value);
    TgxDBGridOptionsEx OptionsEx() const { return grid_options_ex_; }
    void SetOptionsEx(TgxDBGridOptionsEx value);
    TLOptions TreeListOptions() const { return TCustomgxTreeList::Options(); }
    TLOptionsEx TreeListOptionsEx() const { return TCustomgxTreeList::OptionsEx(); }

    // ---- Load modes
    bool IsGridMode() const;
    bool IsPartialLoadMode() const { return IsGridMode() && partial_load_; }
    bool IsBufferMode() const { return IsGridMode() && !partial_load_; }
    bool IsLoadAllMode() const { return !IsGridMode(); }
    virtual void LinkActive(bool active);
    void ReloadAll();
    virtual void LoadNodes() { LoadNodesWith(nullptr); }
    void ReloadNodes();
    // Mode 0 around the current record, 1 forward, 2 backward.
    void LoadPartialNodes(int mode, int focus_mode = 0, bool include_anchor = false);
    TgxDBGridNode* FindNodeByKeyValue(const db::Variant& value) const;
    // Finds a record as the dataset's Locate does. A grid holding every record keeps its rows
    // and only moves its focus to the record found, instead of reading every record again.
    bool LocateRecord(std::string_view key_fields, const db::Variant& key_values,
                      db::TLocateOptions options);
    // Runs fn, after which the dataset shows the records the rows hold once more (its
    // controls come back on after it was only filtered and walked meanwhile). A grid
    // holding every record keeps its rows and moves its focus to the current record,
    // instead of reading every record again.
    void KeepRowsThrough(const std::function<void()>& fn);
    // Scrolls a row into view (expanding its ancestors), with the row cache rebuilt first
    // when a lock left it stale, so that this never walks the rows once per row.
    void ShowRow(TgxTreeListNode* node);
    db::TField* GetFocusedField() const;
    void FocusField(db::TField* field);
    bool IsGridLoading() const override { return loading_rows_; }
    // Loads every record: the rows of the first screens at once, the rest in slices from the
    // event loop, so that a long list shows and answers while it loads. Only for lists
    // without grouping; a load started anew (a reload, a change of layout) replaces it.
    bool LoadInSlices() const { return load_in_slices_; }
    void SetLoadInSlices(bool value) { load_in_slices_ = value; }
    bool LoadingInBackground() const { return background_load_ != nullptr; }
    // Reads the rows a background load has not read yet, now.
    void LoadRemainingRows();
    std::function<void(TCustomgxDBGrid*)> OnRowsLoaded;
    // Records read from the dataset since the grid was made (benchmarks and tests).
    std::int64_t RecordsRead() const { return records_read_; }

    // ---- Synchronisation
    virtual void DataSetScrolled(int distance);
    void DataChanged();
    void RecordChanged(db::TField* field);
    void UpdateData();
    void SyncFocusedNode();
    // Moves the dataset to the record of new_node; false when it could not be found.
    bool MoveDataSetToNode(TgxDBGridNode* old_node, TgxDBGridNode* new_node, bool use_locate,
                           const db::Variant& key);
    void SetFocusedAbsoluteIndex(int index) override;
    // A move the dataset refuses (it cannot post the record being left) leaves the focus on
    // that record's row.
    void SetFocusedNodeColumn(TgxTreeListNode* node, int column, bool make_visible) override;
    void SetTopVisibleNode(TgxTreeListNode* node) override;
    // In buffer mode the vertical bar stands for the dataset: record numbers when the
    // dataset has them, else five positions (start, before, middle, after, end).
    void UpdateScrollBars() override;
    // A vertical scroll-bar command (QAbstractSlider::SliderAction) in buffer mode.
    void BufferScroll(int action);
    // In buffer mode the bar stands for the dataset's records, not for rows: the command
    // moves the dataset only (the rows are its buffer and never scroll themselves).
    void VerticalScrollAction(int action) override;

    // ---- Grouping
    void BeginGrouping();
    void EndGrouping();
    int GroupingLockCount() const { return grouping_lock_; }
    virtual bool CanAddGroupColumn(TgxDBTreeListColumn* column);
    void AddGroupColumn(int index, TgxDBTreeListColumn* column);
    void RemoveGroupColumn(int index);
    void ClearGrouping() override;
    void ChangeColumnGroupIndex(TgxDBTreeListColumn* column, int new_index) override;
    void ColumnGroupChanged(TgxDBTreeListColumn* column) override;
    void RegroupColumns();
    TgxDBTreeListColumn* GetGroupColumn(int index) const;
    int GetGroupColumnCount() const { return static_cast<int>(group_columns_.size()); }
    // The group column whose button contains the client point; none elsewhere.
    TgxDBTreeListColumn* GetGroupColumnAt(int x, int y) const;
    ui::Rect GetGroupButtonRect(int index) const;
    // Where a header dropped at client x goes among the group buttons.
    int GetGroupTargetPosition(int x) const;
    // A header dropped on the group panel at x; false when refused.
    bool DropColumnOnGroupPanel(TgxDBTreeListColumn* column, int x);
    // A group button dropped outside the panel ungroups its column.
    void DropGroupButtonOutside(TgxDBTreeListColumn* column);
    int GetGroupPanelHeight() const override;
    int GetGroupIndentWidth() const override;
    bool ShowGroupPanel() const { return show_group_panel_; }
    void SetShowGroupPanel(bool value);
    ui::Color GroupPanelColor = ui::clBtnShadow;
    ui::Color GroupPanelFontColor = ui::clBtnFace;
    void DrawGroupPanel(ui::TCanvas& canvas, const ui::Rect& r) override;
    ui::Color GetGridLineColorValue() const override;
    bool IsAutoSort() const override;
    bool IsMultiSort() const override;
    bool IsColumnMultiSort() const override { return IsMultiSort(); }
    int CompareNodes(const TgxTreeListNode* a, const TgxTreeListNode* b) const override;
    Value GetNodeCompareValue(const TgxTreeListNode* node, int column) const override;
    // Sorts the loaded rows by a column: at the group level of a group column, else at the
    // record level.
    void SortByColumn(TgxDBTreeListColumn* column, bool descending);
    // A header click re-sorts the loaded rows of a load-all grid by its new mark.
    void DoHeaderClick(int column) override;
    // A new sort mark takes the others away, unless it is added to the sort.
    void ColumnSortChanged(TgxTreeListColumn* column) override;

    // ---- Summaries
    TgxDBGridSummaryGroups& SummaryGroups() { return *summary_groups_; }
    void SetSummaryGroups(const TgxDBGridSummaryGroups& groups);
    const std::string& SummarySeparator() const { return summary_separator_; }
    void SetSummarySeparator(std::string_view value);
    bool ShowSummaryFooter() const { return ShowFooter(); }
    void SetShowSummaryFooter(bool value) { SetShowFooter(value); }
    void BindSummaryFields() override;
    double GetSummaryValue(const TgxTreeListNode* node) const override;
    void RenameSummaryColumn(std::string_view old_name, std::string_view new_name) override;
    void RecalcSummaries(TgxDBGridNode* changed = nullptr);
    std::string GetGroupSummaryText(const TgxDBGridNode* node) const;
    std::int64_t SummaryRecordCount() const { return summary_record_count_; }
    // Grid-level callbacks (not published): each group level's value, and the end of a
    // summary pass.
    std::function<void(TCustomgxDBGrid*, TgxDBGridNode*, db::TDataSet*, long double&)> OnSummary;
    std::function<void(TCustomgxDBGrid*)> OnSummariesChanged;

    // ---- Editing and selection
    int GetSelectedCount() const override { return static_cast<int>(selected_.size()); }
    // The row of the selected entry at index.
    TgxTreeListNode* GetSelectedItem(int index) const override;
    // The bookmark of the selected entry at index (empty for a group row kept by its row).
    db::TBookmark GetSelectedBookmark(int index) const;
    bool IsNodeRecordSelected(const TgxTreeListNode* node) const override;
    void SelectNode(TgxTreeListNode* node, bool value) override;
    void SelectRange(TgxTreeListNode* from, TgxTreeListNode* to);
    bool DoCanNodeSelected(TgxTreeListNode* node) override;
    void ClearSelection() override;
    bool DeleteSelection() override;
    void DoSelectedCountChange() override;
    void DeleteFocusedRecord();
    // A buffer grid's rows are only the records in view: these walk the dataset instead.
    void SaveAllToStrings(std::vector<std::string>& lines) override;
    void SaveSelectedToStrings(std::vector<std::string>& lines) override;
    void KeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    // Over the group panel a header is accepted when its column can group; dropped there
    // it groups, and a dragged group button dropped elsewhere ungroups.
    bool DoDragOverHeader(int column, ui::Point p, bool accept) override;
    bool GetOuterHeaderDropMark(int column, ui::Point p, ui::Point& mark) override;
    bool DoDragEndHeader(int column, ui::Point p, TgxHeaderPosInfo& pos) override;
    // Buffer and partial grids search the dataset, since their rows are not all records.
    bool SearchOutsideNodes(int visible_column, const std::string& text, int direction,
                            TgxTreeListNode*& found) override;
    bool FindNodeByText(TgxDBTreeListColumn* column, std::string_view text, TgxTreeListNode*& node,
                        bool continue_search, bool backward = false);

    void GetEditText(std::string& text) override;
    int GetEditMaxLength() override;
    void GetEditMask(std::string& mask) override;
    bool IsValidEditChar(char32_t key) override;
    bool CanEditModify() override;
    bool IsEditReadOnly() override;
    void DoEditing(TgxTreeListNode* node, bool& allow) override;
    bool IsEditing() const override;
    void DoEditedText(TgxTreeListNode* node, int column, const std::string& text) override;
    void BeginInsertRow(bool& done) override;
    void InsertRow() override;
    bool QueryInsertState() const override;
    std::string GetInsertRowText(int column) const override;
    int GetIndicatorKind(const TgxTreeListNode* node, bool selected) const override;

    // ---- Cells
    std::unique_ptr<TgxTreeListNode> CreateNode() override;
    std::string GetCellText(const TgxTreeListNode* node, int column) const override;
    std::string GetNodeString(const TgxTreeListNode* node, int column) const override;
    Value GetNodeValue(const TgxTreeListNode* node, int column) const override;
    db::Variant GetNodeVariant(const TgxTreeListNode* node, int column) const;
    // The column's text for the dataset's current record as a row would show it, for walks
    // over the dataset that have no row (a memo's text, not its field's "(MEMO)").
    std::string GetRecordText(int column) const;
    std::string GetPreviewText(const TgxTreeListNode* node) const override;
    bool GetNodeHasChildrenQuery(const TgxTreeListNode* node) const override;
    bool IsExistRowFooter(int level) const override;
    bool IsExistRowFooterCell(const TgxTreeListNode* node, int column, int level) const override;
    std::string GetRowFooterText(const TgxTreeListNode* node, int column, int level) const override;
    bool IsExistFooterCell(int column) const override;
    std::string GetFooterText(int column) const override;
    void BeginNodeRecord(const TgxTreeListNode* node) override;
    void EndNodeRecord(const TgxTreeListNode* node) override;

    // ---- Columns
    TgxDBTreeListColumn* CreateColumn(const TgxDBColumnClass& column_class) override;
    void DestroyColumns() override;
    std::unique_ptr<TgxTreeListColumn> RemoveColumn(TgxTreeListColumn* column) override;
    void MapColumnFields();
    void Loaded();

    // ---- Export (defined with the exporters)
    void SaveToXLS(std::string_view file_name, bool save_all);
    void SaveToHTML(std::string_view file_name, bool save_all);

    // ---- Layout persistence
    const std::string& IniFileName() const { return ini_file_name_; }
    void SetIniFileName(std::string_view v) { ini_file_name_ = v; }
    const std::string& IniSectionName() const { return ini_section_name_; }
    void SetIniSectionName(std::string_view v) { ini_section_name_ = v; }
    const std::string& RegistryPath() const { return registry_path_; }
    void SetRegistryPath(std::string_view v) { registry_path_ = v; }
    // The name of the form the grid sits on (remembered for saving at destruction).
    void SetParentFormName(std::string_view name) { parent_form_name_ = name; }
    const std::string& ParentFormName() const { return parent_form_name_; }
    void LoadFromRegistry(std::string_view path);
    void SaveToRegistry(std::string_view path);
    void LoadFromIniFile(std::string_view file_name);
    void SaveToIniFile(std::string_view file_name);

    // ---- Events
    std::function<void(TCustomgxDBGrid*, TgxDBTreeListColumn*, bool&)> OnAddGroupColumn;
    std::function<void(TCustomgxDBGrid*, ui::TCanvas&, const ui::Rect&)> OnBackgroundDrawEvent;
    std::function<void(TCustomgxDBGrid*, TgxTreeListNode*)> OnChangeNodeEx;
    std::function<void(TCustomgxDBGrid*)> OnClearNodeData;
    std::function<void(TCustomgxDBGrid*, TgxDBTreeListColumn*, int, bool&)> OnEndDragGroupColumn;
    std::function<void(TCustomgxDBGrid*, const TgxTreeListNode*, std::string&)> OnGetPreviewText;
    std::function<void(TCustomgxDBGrid*, TgxDBGridNode*)> OnRefreshNodeData;
    std::function<void(TCustomgxDBGrid*)> OnReloadGroupList;

    void DeleteColumnValue(TgxTreeListNode* node, int index) override;
    void DoDeletion(TgxTreeListNode* node, TgxTreeListNode* previous, bool repaint, bool last,
                    TgxTreeListNode* next) override;

  protected:
    void DoChangeNode(TgxTreeListNode* old_node, TgxTreeListNode* node) override;
    // Group buttons are pressed, clicked (sorting their level) and dragged like headers.
    void MouseDown(Qt::MouseButton button, ui::TShiftState shift, int x, int y) override;
    void MouseMove(ui::TShiftState shift, int x, int y) override;
    void MouseUp(Qt::MouseButton button, ui::TShiftState shift, int x, int y) override;
    void focusOutEvent(QFocusEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

  private:
    friend class TgxGridDataLink;
    friend class TgxDBTreeListColumn;
    class LayoutStore;
    struct SavedSelection;

    // view: where the rows stood before the caller took them out; taken here when null.
    void LoadNodesWith(std::vector<std::unique_ptr<TgxTreeListNode>>* reuse,
                       const ViewPlace* view = nullptr);
    // After a load: the focused row is back where it stood on the screen, and in view.
    void PlaceLoadedRows(TgxDBGridNode* focus, const ViewPlace& view);
    // The steps of a load of every record.
    struct RecordLoad;
    void DropMissingGroupColumns();
    void PrepareRecordLoad(RecordLoad& load);
    void TakeReusableRows(RecordLoad& load, NodeList* reuse);
    std::unique_ptr<TgxTreeListNode> TakeFromPool(RecordLoad& load, const db::Variant& key);
    TgxDBGridNode* PlaceLoadedRow(RecordLoad& load, std::unique_ptr<TgxTreeListNode> owned,
                                  const std::vector<db::Variant>& group_values);
    void PlaceRowsAgain(RecordLoad& load);
    // Reads records from the current one on, at least at_least of them and then on until
    // the clock passes `until`; true when the last record is in.
    bool ReadRecords(RecordLoad& load, std::int64_t at_least,
                     std::chrono::steady_clock::time_point until);
    void FinishReadingRecords(RecordLoad& load);
    // The rows after the first screens are read in slices from the event loop.
    void HandOverToBackground(RecordLoad& load);
    void ScheduleRecordSlice(int delay_ms = 0);
    // Requires: a background load. Reads one slice, or all the rest.
    void ReadRecordSlice(bool to_end);
    void CompleteBackgroundLoad();
    bool SliceCanRead() const;
    void FillGroupRows();
    void RestoreAfterRead(const RecordLoad& load);
    void RegroupInPlace();
    void ResolveKeyField();
    void ResolvePreviewField();
    void FillNode(TgxDBGridNode* node, std::int32_t rec_no);
    void FillPreviewText(std::string& preview) const;
    // Reads the current record into its row again and brings the summaries up to date, the
    // row moving to its group when a group value changed; false when no row has its key.
    bool RefreshCurrentRecordRow();
    TgxDBGridNode* FindOrCreateGroupPath(const std::vector<db::Variant>& values);
    std::vector<db::Variant> GroupValuesOfRecord() const;
    std::vector<db::Variant> GroupValuesOfNode(const TgxDBGridNode* node) const;
    void RemoveEmptyGroupChain(TgxTreeListNode* group);
    // sort: the rows are all in, and a sort mark orders them.
    void FinishLoad(TgxDBGridNode* focus, bool sort);
    void SortByMarkedColumn();
    int PartialWindowSize() const;
    int RowsForWindow() const;
    void ClearSortMarksInGridModes();
    void SaveSelection();
    void DropSavedSelection();
    bool TakeFromSavedSelection(TgxDBGridNode* node);
    void RestoreDataSet(const db::TBookmark& bookmark, bool bof, bool eof);
    // The steps of a partial load. Bounds: the records the window must reach (a saved
    // selection's, an extended range's) and the range whose rows join the selection.
    struct PartialBounds {
        db::TBookmark first;
        db::TBookmark last;
        db::TBookmark anchor_low;
        db::TBookmark anchor_high;
    };
    TgxDBGridNode* AddPartialRow(bool in_front, std::int32_t rec_no);
    TgxDBGridNode* PartialEdgeRow(bool at_end);
    void ReadPartialAfter(int window);
    void ReadPartialBefore(int window);
    void ReadPartialAround(int window, int focus_mode, bool include_anchor);
    PartialBounds PartialBoundsAround(const db::TBookmark& current, bool include_anchor) const;
    void SelectWithinAnchor(TgxDBGridNode* row, const PartialBounds& bounds);
    void ReadPartialUpTo(const db::TBookmark& current, int half, const PartialBounds& bounds);
    void ReadPartialFrom(const db::TBookmark& current, int window, int half,
                         const PartialBounds& bounds);
    void PlacePartialWindow(TgxDBGridNode* current_row, int distance, int focus_mode);
    // Takes every node out of the grid and appends its record rows, out of
    // their group rows, to `rows`; group rows and the selection go.
    void ReleaseRecordRows(NodeList& rows);
    void UpdateBufferRows();
    void AccumulateRecord(TgxDBGridNode* record, bool from_dataset);
    void FinishSummaries();
    void ResetSummaries();
    void SortGroupsBySummary();
    long double SummaryInput(db::TField* field, TgxSummaryType kind, const TgxDBGridNode* record,
                             bool from_dataset) const;
    void DeleteNodeRecord(TgxDBGridNode* node);
    // Buffer mode: moves the dataset and selects every record from the anchor to there.
    void ExtendBufferSelection(const std::function<void()>& move);
    // Buffer mode with egoSyncSelection: the record the dataset moved to becomes the
    // selection.
    void SyncBufferSelection();
    // The current record's text line, as a row's line reads.
    std::string RecordLineText() const;
    // Runs walk between DisableControls and EnableControls, then goes back to the record
    // and the buffer row it started from.
    void WalkBufferRecords(const std::function<void(db::TDataSet&)>& walk);
    bool CanWalkBufferRecords() const;
    // Scrolls the buffer so that the current record stands on buffer row `row` again.
    void KeepBufferRow(std::int64_t row);
    // The steps of the grid's own key handling; each answers whether it took the key (the
    // tree list's handling then does not run).
    void TakeKeyAnchor(ui::TShiftState shift);
    bool DataSetKey(std::uint16_t& key, ui::TShiftState shift);
    void DeleteKey();
    bool BufferModeKey(std::uint16_t& key, ui::TShiftState shift);
    bool BufferUpDownKey(std::uint16_t& key, ui::TShiftState shift);
    bool BufferPageKey(std::uint16_t& key, ui::TShiftState shift);
    bool BufferHomeEndKey(std::uint16_t& key, ui::TShiftState shift);
    bool LoadedRowsKey(std::uint16_t& key, ui::TShiftState shift);
    bool PartialEdgeKey(std::uint16_t& key, ui::TShiftState shift);
    bool LoadedUpDownKey(std::uint16_t& key);
    bool ConfirmDelete();
    void TakeChangeSnapshot();
    void CheckChangeNodeEx();
    int SelectedIndexOf(const db::TBookmark& bookmark, bool& found) const;
    int SelectedIndexOfNode(const TgxTreeListNode* node) const;
    void SlideGroupPanel(bool showing);
    bool RecordMatchesText(TgxDBTreeListColumn* column, std::string_view text) const;
    TgxDBGridNode* RecordRowOf(TgxTreeListNode* node) const;

    std::unique_ptr<TgxGridDataLink> link_;
    std::unique_ptr<TgxDBGridSummaryGroups> summary_groups_;
    bool default_fields_ = false;
    std::string key_field_name_;
    db::TField* key_field_ = nullptr;
    bool partial_load_ = false;
    int partial_load_buffer_count_ = 100;
    bool start_read_ = false;
    bool end_read_ = false;
    bool use_bookmarks_ = true;
    std::string preview_field_name_;
    db::TField* preview_field_ = nullptr;
    int preview_max_length_ = 0;
    TgxDBGridOptions grid_options_ = kDefaultDBGridOptions;
    TgxDBGridOptionsEx grid_options_ex_ = kDefaultDBGridOptionsEx;
    std::string summary_separator_ = ", ";
    bool show_group_panel_ = false;

    // Pending row: the row whose record is being edited or inserted.
    TgxDBGridNode* pending_node_ = nullptr;
    db::Variant pending_key_;
    // The rows the focus moves under way left (moves can nest), to go back to when the
    // dataset refuses the move; a row that goes is forgotten.
    std::vector<TgxTreeListNode*> focus_returns_;
    // The dataset could not be moved to a focused row's record.
    bool record_lost_ = false;
    bool loading_rows_ = false;
    bool load_in_slices_ = false;
    std::unique_ptr<RecordLoad> background_load_;
    std::uint32_t background_generation_ = 0;
    int partial_loading_ = 0;
    bool locating_ = false;
    bool keeping_rows_ = false;
    bool stream_loading_ = false;
    bool force_regroup_ = false;
    bool grouping_changed_ = false;
    bool smart_refresh_request_ = false;
    bool regrouping_ = false;
    bool in_column_group_changed_ = false;
    bool grouping_locked_in_buffer_mode_ = false;
    bool moving_by_ = false;
    // Set while the grid makes its own columns for DefaultFields.
    bool making_default_columns_ = false;
    // A pressed group button (a drag candidate) and the column whose button is dragged.
    TgxDBTreeListColumn* group_button_pressed_ = nullptr;
    ui::Point group_button_press_{};
    TgxDBTreeListColumn* group_button_dragged_ = nullptr;
    bool group_button_was_hidden_ = false;
    std::int64_t buffer_saved_active_ = -1;
    std::int64_t records_read_ = 0;

    std::vector<TgxDBTreeListColumn*> group_columns_;
    int grouping_lock_ = 0;
    std::vector<std::string> grouping_field_names_;

    // The selection: bookmarks in the dataset's order with their rows, or rows alone.
    struct SelectedEntry {
        db::TBookmark bookmark;
        TgxTreeListNode* node = nullptr;
    };
    std::vector<SelectedEntry> selected_;
    // While a range is selected: the rows the list held before it. Only those can stand in
    // it under a bookmark other than their own, so only they need a search of the whole list.
    const std::unordered_set<const TgxTreeListNode*>* selected_before_range_ = nullptr;
    db::TBookmark anchor_bookmark_;
    // Buffer mode with egoSyncSelection: the record the selection last followed to.
    db::TBookmark followed_bookmark_;
    TgxDBGridNode* anchor_row_ = nullptr;
    // Saved before rows are rebuilt: bookmarks, or sorted key values.
    std::unique_ptr<SavedSelection> saved_selection_;
    std::string edited_text_;

    // Summary state.
    std::int64_t summary_record_count_ = 0;
    // Every field a group, item or footer summary reads (each once).
    std::vector<db::TField*> summary_input_fields_;
    // The texts of the row being filled, kept between rows so that their room is reused.
    std::vector<std::string> fill_texts_;
    std::vector<std::pair<TgxDBTreeListColumn*, bool>> fill_columns_;

    // Snapshot for OnChangeNodeEx.
    db::Variant snapshot_key_ = db::Variant::Null();
    int snapshot_level_ = -1;
    bool snapshot_group_ = false;

    std::string ini_file_name_;
    std::string ini_section_name_;
    std::string registry_path_;
    std::string parent_form_name_;
};

// The grid the application places on its forms.
class TgxDBGrid : public TCustomgxDBGrid {
  public:
    using TCustomgxDBGrid::TCustomgxDBGrid;
};

// The process-wide list of live grids.
const std::vector<TCustomgxDBGrid*>& LiveGrids();

}  // namespace grid
