// What each row shows: cell texts and values, previews, group row texts, footers; and the
// columns of the grid.

#include <algorithm>

#include "grid/core/exceptions.h"
#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/nls/text.h"

namespace grid {

namespace {
Value ToValue(const db::Variant& v) {
    switch (v.VarType()) {
        case db::varEmpty:
        case db::varNull:
            return Value();
        case db::varBoolean:
            return Value(v.AsBoolean());
        case db::varSmallint:
        case db::varInteger:
        case db::varShortInt:
        case db::varByte:
        case db::varWord:
        case db::varLongWord:
        case db::varInt64:
            return Value(v.AsInt64());
        case db::varSingle:
        case db::varDouble:
        case db::varCurrency:
        case db::varDate:
            return Value(v.AsDouble());
        default:
            return Value(db::VarToStr(v));
    }
}
}  // namespace

std::unique_ptr<TgxTreeListNode> TCustomgxDBGrid::CreateNode() {
    return std::make_unique<TgxDBGridNode>(this);
}

TgxDBGridNode* TCustomgxDBGrid::RecordRowOf(TgxTreeListNode* node) const {
    while (node != nullptr && static_cast<TgxDBGridNode*>(node)->IsGroup)
        node = node->GetFirstChild();
    return static_cast<TgxDBGridNode*>(node);
}

bool TCustomgxDBGrid::GetNodeHasChildrenQuery(const TgxTreeListNode* node) const {
    return node != nullptr && static_cast<const TgxDBGridNode*>(node)->IsGroup;
}

void TCustomgxDBGrid::BeginNodeRecord(const TgxTreeListNode* node) {
    if (IsBufferMode() && link_->Active() && node != nullptr && node->Parent() == nullptr) {
        int index = 0;
        while (index < Count() && Items(index) != node)
            ++index;
        buffer_saved_active_ = link_->ActiveRecord();
        link_->SetActiveRecord(index);
    }
}

void TCustomgxDBGrid::EndNodeRecord(const TgxTreeListNode* node) {
    if (IsBufferMode() && link_->Active() && node != nullptr && buffer_saved_active_ >= 0) {
        link_->SetActiveRecord(buffer_saved_active_);
        buffer_saved_active_ = -1;
    }
}

std::string TCustomgxDBGrid::GetNodeString(const TgxTreeListNode* node, int column) const {
    return GetCellText(node, column);
}

std::string TCustomgxDBGrid::GetCellText(const TgxTreeListNode* node, int column) const {
    if (node == nullptr)
        return {};
    const auto* row = static_cast<const TgxDBGridNode*>(node);
    TgxDBTreeListColumn* c = GetColumn(column);
    if (IsBufferMode()) {
        if (c == nullptr || c->Field() == nullptr || !link_->Active())
            return {};
        auto* self = const_cast<TCustomgxDBGrid*>(this);
        self->BeginNodeRecord(node);
        std::string text;
        try {
            c->AssignDisplayText(c->GetFieldDisplayText(), text);
        } catch (...) {
            self->EndNodeRecord(node);
            throw;
        }
        self->EndNodeRecord(node);
        if (c->OnGetText)
            c->OnGetText(c, node, text);
        return text;
    }
    if (row->IsGroup) {
        std::string text = row->Extra().GroupText;
        int level = node->Level();
        if (level >= 0 && level < GetGroupColumnCount()) {
            TgxDBTreeListColumn* g = group_columns_[static_cast<std::size_t>(level)];
            if (g->OnGetText)
                g->OnGetText(g, node, text);
        }
        std::string summary = GetGroupSummaryText(row);
        if (!summary.empty())
            text += " " + summary;
        return text;
    }
    std::string text = column >= 0 && column < static_cast<int>(row->Texts.size())
                           ? std::string(row->Texts[static_cast<std::size_t>(column)])
                           : std::string();
    if (c != nullptr && c->OnGetText)
        c->OnGetText(c, node, text);
    return text;
}

std::string TCustomgxDBGrid::GetRecordText(int column) const {
    const TgxDBTreeListColumn* c = GetColumn(column);
    if (c == nullptr || c->Field() == nullptr)
        return {};
    std::string text;
    c->AssignDisplayText(c->GetFieldDisplayText(), text);
    return text;
}

db::Variant TCustomgxDBGrid::GetNodeVariant(const TgxTreeListNode* node, int column) const {
    if (node == nullptr)
        return db::Variant::Null();
    const auto* row = static_cast<const TgxDBGridNode*>(node);
    if (IsBufferMode()) {
        TgxDBTreeListColumn* c = GetColumn(column);
        if (c == nullptr || c->Field() == nullptr || !link_->Active())
            return db::Variant::Null();
        auto* self = const_cast<TCustomgxDBGrid*>(this);
        self->BeginNodeRecord(node);
        db::Variant v = c->Field()->Value();
        self->EndNodeRecord(node);
        return v;
    }
    if (row->IsGroup)
        return row->Extra().GroupValue;
    for (const TgxDBGridNode::CellValue& cell : row->CellValues)
        if (cell.column == column)
            return cell.Value();
    if (const TgxDBTreeListColumn* c = GetColumn(column);
        c != nullptr && key_field_ != nullptr && c->Field() == key_field_ && !row->Key.IsEmpty())
        return row->Key;
    return db::Variant(GetCellText(node, column));
}

Value TCustomgxDBGrid::GetNodeValue(const TgxTreeListNode* node, int column) const {
    return ToValue(GetNodeVariant(node, column));
}

Value TCustomgxDBGrid::GetNodeCompareValue(const TgxTreeListNode* node, int column) const {
    TgxDBTreeListColumn* c = GetColumn(column);
    const auto* row = static_cast<const TgxDBGridNode*>(node);
    if (c != nullptr && row->IsGroup && c->SortBySummary())
        return Value(static_cast<double>(row->Extra().Summary));
    if (row->IsGroup)
        return ToValue(row->Extra().GroupValue);
    if (c != nullptr && c->GetValueVariantType() != db::varString &&
        c->GetValueVariantType() != db::varUnknown)
        return ToValue(GetNodeVariant(node, column));
    std::string text = GetCellText(node, column);
    return Value(IsCaseInsensitive() ? platform::nls::AsciiUpper(text) : text);
}

std::string TCustomgxDBGrid::GetPreviewText(const TgxTreeListNode* node) const {
    if (node == nullptr)
        return {};
    std::string text;
    if (IsBufferMode()) {
        if (preview_field_ != nullptr && link_->Active()) {
            auto* self = const_cast<TCustomgxDBGrid*>(this);
            self->BeginNodeRecord(node);
            text = preview_field_->Text();
            self->EndNodeRecord(node);
        }
    } else {
        text = static_cast<const TgxDBGridNode*>(node)->Extra().PreviewText;
    }
    if (OnGetPreviewText)
        OnGetPreviewText(const_cast<TCustomgxDBGrid*>(this), node, text);
    return text;
}

void TCustomgxDBGrid::DeleteColumnValue(TgxTreeListNode* node, int index) {
    auto* row = static_cast<TgxDBGridNode*>(node);
    if (row != nullptr && index >= 0) {
        std::erase_if(row->CellValues, [index](const TgxDBGridNode::CellValue& cell) {
            return cell.column == index;
        });
        for (TgxDBGridNode::CellValue& cell : row->CellValues)
            if (cell.column > index)
                --cell.column;
    }
    TCustomgxDBTreeListControl::DeleteColumnValue(node, index);
}

TgxDBGridNode* TCustomgxDBGrid::FindNodeByKeyValue(const db::Variant& value) const {
    if (IsBufferMode())
        return nullptr;
    std::function<TgxDBGridNode*(TgxTreeListNode*)> search = [&](TgxTreeListNode* n) {
        auto* row = static_cast<TgxDBGridNode*>(n);
        if (!row->IsGroup)
            return db::VarCompare(row->Key, value) == 0 ? row : nullptr;
        for (int i = 0; i < n->Count(); ++i)
            if (TgxDBGridNode* found = search(n->Items(i)))
                return found;
        return static_cast<TgxDBGridNode*>(nullptr);
    };
    for (int i = 0; i < Count(); ++i)
        if (TgxDBGridNode* found = search(Items(i)))
            return found;
    return nullptr;
}

void TCustomgxDBGrid::ShowRow(TgxTreeListNode* node) {
    if (node == nullptr)
        return;
    if (!VisibleNodeCacheValid())
        RebuildVisibleNodeCache();
    MakeNodeVisible(node);
}

db::TField* TCustomgxDBGrid::GetFocusedField() const {
    if (GetVisibleColumnCount() == 0)
        return nullptr;
    TgxDBTreeListColumn* c = GetColumn(GetVisibleColumnIndex(GetFocusedColumn()));
    return c != nullptr ? c->Field() : nullptr;
}

void TCustomgxDBGrid::FocusField(db::TField* field) {
    for (int v = 0; v < GetVisibleColumnCount(); ++v) {
        TgxDBTreeListColumn* c = GetColumn(GetVisibleColumnIndex(v));
        if (c != nullptr && c->Field() == field && c->TabStop()) {
            SetFocusedColumn(v);
            return;
        }
    }
}

TgxDBTreeListColumn* TCustomgxDBGrid::CreateColumn(const TgxDBColumnClass& column_class) {
    if (default_fields_ && !making_default_columns_)
        throw EInvalidgxTreeListOperation(
            "Columns cannot be added or removed while the grid makes them from the fields");
    return TCustomgxDBTreeListControl::CreateColumn(column_class);
}

void TCustomgxDBGrid::DestroyColumns() {
    if (default_fields_ && !making_default_columns_ && !IsLoading() && !IsDestroying() &&
        !InLayoutChange())
        throw EInvalidgxTreeListOperation(
            "Columns cannot be added or removed while the grid makes them from the fields");
    TCustomgxDBTreeListControl::DestroyColumns();
}

std::unique_ptr<TgxTreeListColumn> TCustomgxDBGrid::RemoveColumn(TgxTreeListColumn* column) {
    auto* c = dynamic_cast<TgxDBTreeListColumn*>(column);
    if (c != nullptr) {
        auto it = std::find(group_columns_.begin(), group_columns_.end(), c);
        if (it != group_columns_.end()) {
            group_columns_.erase(it);
            for (std::size_t i = 0; i < group_columns_.size(); ++i)
                group_columns_[i]->StoreGroupIndex(static_cast<int>(i));
            c->StoreGroupIndex(-1);
        }
        if (!IsDestroying() && !c->Name().empty())
            RenameSummaryColumn(c->Name(), "");
    }
    return TCustomgxDBTreeListControl::RemoveColumn(column);
}

void TCustomgxDBGrid::Loaded() {
    stream_loading_ = true;
    BeginUpdate();
    try {
        TCustomgxDBTreeListControl::Loaded();
        force_regroup_ = true;
        RegroupColumns();
        force_regroup_ = false;
        if (!registry_path_.empty() && (grid_options_ & egoStoreToRegistry))
            LoadFromRegistry(registry_path_);
        if (!ini_file_name_.empty() && (grid_options_ & egoStoreToIniFile))
            LoadFromIniFile(ini_file_name_);
        if (group_columns_.empty())
            ClearSortMarksInGridModes();
        if (grid_options_ex_ & egoAutoHeaderPanelHeight)
            HeaderPanelAutoRows();
    } catch (...) {
        force_regroup_ = false;
        stream_loading_ = false;
        EndUpdate();
        throw;
    }
    stream_loading_ = false;
    EndUpdate();
    ReloadAll();
}

}  // namespace grid
