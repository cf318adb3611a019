#pragma once

// The banded tree list with data-aware columns: column lookup by field name, creation and
// naming of columns, the column class for each field type, and the virtual operations the
// data-aware grid fills in.

#include <functional>
#include <memory>
#include <string_view>

#include "grid/core/tree_list_control.h"
#include "grid/data/db_column.h"
#include "platform/db/data_source.h"

namespace grid {

class TgxGridDataLink;

// How a column of some class is made.
using TgxDBColumnClass = std::function<std::unique_ptr<TgxDBTreeListColumn>()>;

template <class T>
TgxDBColumnClass ColumnClassOf() {
    return [] { return std::make_unique<T>(); };
}

// The process-wide table of default column classes per field type (types below 22); a
// registration of higher priority replaces one of lower.
void RegisterDefaultColumnClass(db::TFieldType type, TgxDBColumnClass column_class, int priority);
void RegisterLookupColumnClass(TgxDBColumnClass column_class, int priority);
TgxDBColumnClass DefaultColumnClassFor(db::TFieldType type);
TgxDBColumnClass LookupColumnClass();
// The priority an entry holds now (0 while nothing is registered).
int DefaultColumnClassPriority(db::TFieldType type);
int LookupColumnClassPriority();

class TCustomgxDBTreeListControl : public TCustomgxTreeListControl {
  public:
    explicit TCustomgxDBTreeListControl(QWidget* parent = nullptr);
    ~TCustomgxDBTreeListControl() override;

    int GrIndicatorWidth() const { return gr_indicator_width_; }
    void SetGrIndicatorWidth(int value);
    int GetIndicatorWidth() const override { return gr_indicator_width_; }

    // The first column bound to that field name (case aside); none when missing.
    TgxDBTreeListColumn* ColumnByFieldName(std::string_view name) const;
    TgxDBTreeListColumn* ColumnByName(std::string_view name) const;
    TgxDBTreeListColumn* GetColumn(int index) const;
    TgxDBTreeListColumn* VisibleColumn(int index) const;

    virtual TgxGridDataLink* GetDataLink() const { return nullptr; }
    virtual db::TDataSource* GetDataSource() const { return nullptr; }
    virtual bool GetDefaultFields() const { return false; }
    virtual void ColumnGroupChanged(TgxDBTreeListColumn*) {}
    virtual void ChangeColumnGroupIndex(TgxDBTreeListColumn*, int) {}
    virtual void BindSummaryFields() {}
    virtual double GetSummaryValue(const TgxTreeListNode*) const { return 0; }
    virtual void RenameSummaryColumn(std::string_view, std::string_view) {}
    virtual void ClearGrouping() {}
    // Creates a column of the class, named grid name + "Column" + N (N from the column
    // count + 1, skipping names that are taken), and adds it.
    virtual TgxDBTreeListColumn* CreateColumn(const TgxDBColumnClass& column_class);
    virtual TgxDBTreeListColumn* NewColumn(const TgxDBColumnClass& column_class);
    virtual void CreateDefaultColumns(db::TDataSet* dataset);
    virtual TgxDBColumnClass GetDefaultColumnClass() const;
    virtual TgxDBColumnClass GetColumnClassForField(const db::TField* field) const;
    // Whether the grid is reading rows now (columns then skip their rebinding work).
    virtual bool IsGridLoading() const { return false; }
    // Whether a layout change is being applied (columns then do not signal themselves).
    bool InLayoutChange() const { return layout_change_ > 0; }

    void ClearSorting() override;
    int GetIndicatorKind(const TgxTreeListNode* node, bool selected) const override;
    ui::Color GetEditColor() override;

    // The data-aware columns draw their own headers and footer cells through their events.
    bool HasCustomDrawHeader() const override;
    void DoCustomDrawHeader(int c, ui::TCanvas& canvas, const ui::Rect& r, std::string& text,
                            ui::Color& color, ui::TFont& font, TAlignment& alignment,
                            TgxTreeListColumnSort& sorted, bool& done) override;
    bool HasCustomDrawFooter(int level) const override;
    void DoCustomDrawFooter(ui::TCanvas& canvas, const ui::Rect& r, const TgxTreeListNode* node,
                            int c, int level, int footer_index, std::string& text, ui::Color& color,
                            ui::TFont& font, TAlignment& alignment, bool& done) override;

    // The editor's colour for the focused node and column, asked last.
    std::function<void(TCustomgxDBTreeListControl* sender, TgxTreeListNode* node, ui::Color& color,
                       TgxDBTreeListColumn* column)>
        OnGetEditColor;

  protected:
    int layout_change_ = 0;

  private:
    int gr_indicator_width_ = 12;
};

}  // namespace grid
