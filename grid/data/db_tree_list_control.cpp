#include "grid/data/db_tree_list_control.h"

#include <algorithm>
#include <array>
#include <utility>

#include "grid/data/grid_data_link.h"
#include "grid/editors/default_columns.h"
#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/names.h"

namespace grid {

namespace {
struct ClassEntry {
    TgxDBColumnClass make;
    int priority = -1;
};
constexpr int kTypedClassCount = 22;
std::array<ClassEntry, kTypedClassCount>& TypedClasses() {
    static std::array<ClassEntry, kTypedClassCount> table;
    return table;
}
ClassEntry& LookupClassEntry() {
    static ClassEntry entry;
    return entry;
}
}  // namespace

void RegisterDefaultColumnClass(db::TFieldType type, TgxDBColumnClass column_class, int priority) {
    int index = static_cast<int>(type);
    if (index < 0 || index >= kTypedClassCount)
        return;
    ClassEntry& entry = TypedClasses()[static_cast<std::size_t>(index)];
    if (priority >= entry.priority)
        entry = {std::move(column_class), priority};
}

void RegisterLookupColumnClass(TgxDBColumnClass column_class, int priority) {
    ClassEntry& entry = LookupClassEntry();
    if (priority >= entry.priority)
        entry = {std::move(column_class), priority};
}

TgxDBColumnClass DefaultColumnClassFor(db::TFieldType type) {
    int index = static_cast<int>(type);
    if (index < 0 || index >= kTypedClassCount)
        return {};
    return TypedClasses()[static_cast<std::size_t>(index)].make;
}

TgxDBColumnClass LookupColumnClass() {
    return LookupClassEntry().make;
}

int DefaultColumnClassPriority(db::TFieldType type) {
    int index = static_cast<int>(type);
    if (index < 0 || index >= kTypedClassCount)
        return 0;
    return std::max(TypedClasses()[static_cast<std::size_t>(index)].priority, 0);
}

int LookupColumnClassPriority() {
    return std::max(LookupClassEntry().priority, 0);
}

TCustomgxDBTreeListControl::TCustomgxDBTreeListControl(QWidget* parent)
    : TCustomgxTreeListControl(parent) {}

TCustomgxDBTreeListControl::~TCustomgxDBTreeListControl() = default;

void TCustomgxDBTreeListControl::SetGrIndicatorWidth(int value) {
    value = std::max(value, TCustomgxTreeList::GetIndicatorWidth());
    if (value == gr_indicator_width_)
        return;
    gr_indicator_width_ = value;
    LayoutChanged();
}

TgxDBTreeListColumn* TCustomgxDBTreeListControl::ColumnByFieldName(std::string_view name) const {
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i); c != nullptr && db::SameName(c->FieldName(), name))
            return c;
    return nullptr;
}

TgxDBTreeListColumn* TCustomgxDBTreeListControl::ColumnByName(std::string_view name) const {
    return dynamic_cast<TgxDBTreeListColumn*>(FindColumnByName(name));
}

TgxDBTreeListColumn* TCustomgxDBTreeListControl::GetColumn(int index) const {
    return dynamic_cast<TgxDBTreeListColumn*>(Columns(index));
}

TgxDBTreeListColumn* TCustomgxDBTreeListControl::VisibleColumn(int index) const {
    return dynamic_cast<TgxDBTreeListColumn*>(GetColumnByVisibleIndex(index));
}

TgxDBTreeListColumn* TCustomgxDBTreeListControl::CreateColumn(
    const TgxDBColumnClass& column_class) {
    std::unique_ptr<TgxDBTreeListColumn> column =
        column_class ? column_class() : std::make_unique<TgxDBGridColumn>();
    NameNewColumn(*column, objectName().isEmpty() ? "gxDBGrid" : objectName().toStdString());
    TgxDBTreeListColumn* raw = column.get();
    AddColumn(std::move(column));
    return raw;
}

TgxDBTreeListColumn* TCustomgxDBTreeListControl::NewColumn(const TgxDBColumnClass& column_class) {
    std::unique_ptr<TgxDBTreeListColumn> column =
        column_class ? column_class() : std::make_unique<TgxDBGridColumn>();
    TgxDBTreeListColumn* raw = column.get();
    AddColumn(std::move(column));
    return raw;
}

void TCustomgxDBTreeListControl::CreateDefaultColumns(db::TDataSet* dataset) {
    if (dataset == nullptr)
        return;
    for (db::TField* field : dataset->Fields()) {
        TgxDBTreeListColumn* column = CreateColumn(GetColumnClassForField(field));
        column->SetFieldName(field->FieldName());
        column->SetVisible(field->Visible());
    }
}

TgxDBColumnClass TCustomgxDBTreeListControl::GetDefaultColumnClass() const {
    return ColumnClassOf<TgxDBGridColumn>();
}

TgxDBColumnClass TCustomgxDBTreeListControl::GetColumnClassForField(const db::TField* field) const {
    // The typed columns fill the table once, before the first lookup.
    RegisterTypedColumns();
    if (field != nullptr) {
        if (field->Lookup()) {
            if (TgxDBColumnClass lookup = LookupColumnClass())
                return lookup;
        } else if (static_cast<int>(field->DataType()) < kTypedClassCount) {
            if (TgxDBColumnClass typed = DefaultColumnClassFor(field->DataType()))
                return typed;
        }
    }
    return ColumnClassOf<TgxDBGridColumn>();
}

ui::Color TCustomgxDBTreeListControl::GetEditColor() {
    ui::Color color = TCustomgxTreeListControl::GetEditColor();
    if (OnGetEditColor)
        OnGetEditColor(this, GetFocusedNode(), color,
                       GetColumn(GetVisibleColumnIndex(GetFocusedColumn())));
    return color;
}

bool TCustomgxDBTreeListControl::HasCustomDrawHeader() const {
    if (TCustomgxTreeListControl::HasCustomDrawHeader())
        return true;
    for (int i = 0; i < ColumnCount(); ++i)
        if (TgxDBTreeListColumn* c = GetColumn(i); c != nullptr && c->OnCustomDrawHeader)
            return true;
    return false;
}

void TCustomgxDBTreeListControl::DoCustomDrawHeader(int c, ui::TCanvas& canvas, const ui::Rect& r,
                                                    std::string& text, ui::Color& color,
                                                    ui::TFont& font, TAlignment& alignment,
                                                    TgxTreeListColumnSort& sorted, bool& done) {
    TCustomgxTreeListControl::DoCustomDrawHeader(c, canvas, r, text, color, font, alignment, sorted,
                                                 done);
    TgxDBTreeListColumn* column = GetColumn(c);
    if (!done && column != nullptr && column->OnCustomDrawHeader)
        column->OnCustomDrawHeader(column, canvas, r, text, color, font, alignment, sorted, done);
}

bool TCustomgxDBTreeListControl::HasCustomDrawFooter(int level) const {
    if (TCustomgxTreeListControl::HasCustomDrawFooter(level))
        return true;
    if (level != -1)
        return false;
    for (int i = 0; i < ColumnCount(); ++i)
        if (TgxDBTreeListColumn* c = GetColumn(i); c != nullptr && c->OnDrawSummaryFooter)
            return true;
    return false;
}

void TCustomgxDBTreeListControl::DoCustomDrawFooter(ui::TCanvas& canvas, const ui::Rect& r,
                                                    const TgxTreeListNode* node, int c, int level,
                                                    int footer_index, std::string& text,
                                                    ui::Color& color, ui::TFont& font,
                                                    TAlignment& alignment, bool& done) {
    TCustomgxTreeListControl::DoCustomDrawFooter(canvas, r, node, c, level, footer_index, text,
                                                 color, font, alignment, done);
    TgxDBTreeListColumn* column = GetColumn(c);
    if (!done && level == -1 && column != nullptr && column->OnDrawSummaryFooter)
        column->OnDrawSummaryFooter(column, canvas, r, text, color, font, alignment, done);
}

void TCustomgxDBTreeListControl::ClearSorting() {
    TCustomgxTreeListControl::ClearSorting();
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i); c != nullptr && c->GroupIndex() < 0)
            c->SetSorted(csNone);
}

int TCustomgxDBTreeListControl::GetIndicatorKind(const TgxTreeListNode* node, bool selected) const {
    bool focused = node == GetFocusedNode();
    int kind = 0;
    if (focused)
        kind = (IsMultiSelect() && selected) ? 5 : 1;
    else if (selected)
        kind = 4;
    if (focused) {
        TgxGridDataLink* link = GetDataLink();
        if (link != nullptr && link->Active()) {
            if (link->DataSet()->State() == db::dsEdit)
                kind = 2;
            else if (link->DataSet()->State() == db::dsInsert)
                kind = 3;
        }
    }
    return kind;
}

}  // namespace grid
