#include "app/forms/list_grid.h"

#include <algorithm>
#include <memory>
#include <string>

#include "app/routines/text_routines.h"
#include "grid/core/draw_utils.h"
#include "grid/data/db_grid.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/default_columns.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/spin_edit.h"

namespace app {
namespace {

using grid::TgxDBTreeListColumn;

template <class Column>
Column* AddColumn(grid::TgxDBGrid& grid, std::string_view field, std::string_view caption,
                  int width) {
    auto* column = static_cast<Column*>(grid.CreateColumn(grid::ColumnClassOf<Column>()));
    column->SetName(grid.objectName().toStdString() + std::string(field));
    column->SetFieldName(field);
    column->SetCaption(caption);
    column->SetWidth(width);
    return column;
}

// A narrow column the user sorts is never narrower than its caption beside the sort mark,
// which takes the header's rightmost pixels: sharing out the window's width (or a narrower
// stored width) would otherwise cut "Bounces" to "Bou..." as soon as it is sorted. Wide
// columns keep the grid's default minimum, so the shares of the others stay as designed.
void KeepCaptionBesideSortMark(grid::TgxDBGrid& grid, TgxDBTreeListColumn& column) {
    constexpr int kCaptionInsets = 2 + 2 + 2;  // the text's insets and a pixel each side
    const int needed = grid.Metrics().TextWidth(grid.GetHeaderFont(), column.Caption()) +
                       grid::kSortMarkWidth + kCaptionInsets;
    if (needed > column.Width())
        column.SetMinWidth(std::max(column.MinWidth(), needed));
}

}  // namespace

grid::TgxTreeListColumnSort SortMarkFromStored(std::int32_t stored) {
    // The grid marks ascending with an arrow up (the first header click) and descending
    // with one down; the stored numbers are the settings' own and never the enum's order.
    switch (stored) {
        case 1:
            return grid::csUp;
        case 2:
            return grid::csDown;
        default:
            return grid::csNone;
    }
}

std::int32_t StoredFromSortMark(grid::TgxTreeListColumnSort mark) {
    switch (mark) {
        case grid::csUp:
            return 1;
        case grid::csDown:
            return 2;
        default:
            return 0;
    }
}

void AddListColumns(grid::TgxDBGrid& grid) {
    grid::RegisterTypedColumns();
    grid.BeginUpdate();
    AddColumn<grid::TgxDBGridMaskColumn>(grid, "Item", "E-mail Address", 220);
    // Group rows by category show how many entries each holds: "news (COUNT=12)".
    AddColumn<grid::TgxDBGridColumn>(grid, "Category", "List Category", 120)
        ->SetSummaryType(grid::cstCount);
    AddColumn<grid::TgxDBGridSpinColumn>(grid, "Bounces", "Bounces", 60);
    AddColumn<grid::TgxDBGridColumn>(grid, "Name", "Name", 140);
    AddColumn<grid::TgxDBGridColumn>(grid, "Salutation", "Salutation", 90);
    AddColumn<grid::TgxDBGridMemoColumn>(grid, "Comments", "Comments", 200);
    AddColumn<grid::TgxDBGridCheckColumn>(grid, "SendRights", "Can Send", 70);
    for (int i = 0; i < grid.GetColumnCount(); ++i) {
        auto* column = dynamic_cast<TgxDBTreeListColumn*>(grid.GetColumn(i));
        if (column != nullptr && IsSortableListField(column->FieldName()))
            KeepCaptionBesideSortMark(grid, *column);
    }
    grid.SetKeyField("Index");
    // Columns share the window's width, sorting ignores case, and regrouping
    // places the loaded rows again instead of reading the whole list once more.
    grid.SetOptions(grid.Options() | grid::egoAutoWidth | grid::egoCaseInsensitive |
                    grid::egoSmartReload);
    grid.EndUpdate();
}

void AddStatsColumns(grid::TgxDBGrid& grid) {
    grid::RegisterTypedColumns();
    grid.BeginUpdate();
    AddColumn<grid::TgxDBGridDateColumn>(grid, "Date", "Date", 100);
    for (std::string_view field : {"Subscribes", "Unsubscribes", "Bounces"}) {
        auto* column = AddColumn<grid::TgxDBGridSpinColumn>(grid, field, field, 90);
        column->SetSummaryFooterType(grid::cstSum);
        column->SetSummaryFooterField(field);
        column->SetSummaryFooterFormat("0");
    }
    AddColumn<grid::TgxDBGridMemoColumn>(grid, "Notes", "Notes", 240);
    grid.SetKeyField("Date");
    grid.SetShowSummaryFooter(true);
    grid.EndUpdate();
}

GridLayout TakeGridLayout(const grid::TgxDBGrid& grid) {
    GridLayout layout;
    layout.ShowGroupPanel = grid.ShowGroupPanel();
    layout.FlatStyle = grid.LookAndFeel() == grid::lfFlat;
    layout.AutoWidth = (grid.Options() & grid::egoAutoWidth) != 0;
    layout.AutoPreview = (grid.Options() & grid::egoPreview) != 0;
    for (int i = 0; i < grid.GetColumnCount(); ++i) {
        const TgxDBTreeListColumn* column = grid.GetColumn(i);
        layout.columns.push_back(GridColumnState{
            column->Name(), column->Visible(), column->GetIndex(), column->GroupIndex(),
            column->Width(), StoredFromSortMark(column->Sorted())});
    }
    return layout;
}

void ApplyGridLayout(grid::TgxDBGrid& grid, const GridLayout& layout) {
    grid.BeginUpdate();
    grid.BeginGrouping();
    // Setting an index reorders the columns, so they are all found by name first.
    std::vector<std::pair<TgxDBTreeListColumn*, const GridColumnState*>> found;
    for (const GridColumnState& state : layout.columns)
        if (TgxDBTreeListColumn* column = grid.ColumnByName(state.name))
            found.emplace_back(column, &state);
    try {
        for (auto [column, state] : found) {
            column->SetVisible(state->Visible);
            const int last = grid.GetColumnCount() - 1;
            column->SetIndex(std::clamp(state->Index, 0, std::max(last, 0)));
            if (!column->DisableGrouping())
                column->SetGroupIndex(std::max(state->GroupIndex, -1));
            column->SetWidth(std::max(state->Width, 1));
            column->SetSorted(SortMarkFromStored(state->Sorted));
        }
    } catch (...) {
        grid.EndGrouping();
        grid.EndUpdate();
        throw;
    }
    grid.EndGrouping();
    grid.EndUpdate();
}

namespace {

std::optional<std::int32_t> RecordKey(const grid::TgxTreeListNode* node) {
    auto* row = dynamic_cast<const grid::TgxDBGridNode*>(node);
    if (row == nullptr || row->IsGroup || row->Key.IsNull() || row->Key.IsEmpty())
        return std::nullopt;
    return row->Key.AsInteger();
}

}  // namespace

std::optional<std::int32_t> KeyAfterDeletion(const grid::TgxDBGrid& grid, const EntryKeys& going) {
    const grid::TgxTreeListNode* focused = grid.GetFocusedNode();
    if (focused == nullptr)
        return std::nullopt;
    auto stays = [&](const grid::TgxTreeListNode* node) {
        std::optional<std::int32_t> key = RecordKey(node);
        return key && std::find(going.begin(), going.end(), *key) == going.end();
    };
    if (stays(focused))
        return RecordKey(focused);
    for (const grid::TgxTreeListNode* n = focused->GetNextVisible(); n; n = n->GetNextVisible())
        if (stays(n))
            return RecordKey(n);
    for (const grid::TgxTreeListNode* n = focused->GetPriorVisible(); n; n = n->GetPriorVisible())
        if (stays(n))
            return RecordKey(n);
    return std::nullopt;
}

void FocusKey(grid::TgxDBGrid& grid, std::optional<std::int32_t> key, int top_index) {
    // The grid follows the table, so the table moves and the grid's focus comes along.
    db::TDataSet* table = grid.DataSet();
    if (table == nullptr || !table->Active())
        return;
    if (!key || !table->Locate("Index", db::Variant(*key), {}))
        table->First();
    grid.ClearSelection();
    if (grid::TgxTreeListNode* focused = grid.GetFocusedNode())
        focused->SetSelected(true);
    if (top_index >= 0)
        grid.SetTopIndex(top_index);
}

EntryKeys SelectedKeys(const grid::TgxDBGrid& grid) {
    EntryKeys keys;
    for (int i = 0; i < grid.GetSelectedCount(); ++i)
        if (std::optional<std::int32_t> key = RecordKey(grid.GetSelectedItem(i)))
            keys.push_back(*key);
    return keys;
}

bool IsSortableListField(std::string_view field) {
    return SameText(field, "Item") || SameText(field, "Category") || SameText(field, "Bounces");
}

}  // namespace app
