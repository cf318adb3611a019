#include "grid/data/grid_data_link.h"

#include <algorithm>

#include "grid/data/db_grid.h"

namespace grid {

TgxGridDataLink::TgxGridDataLink(TCustomgxDBGrid* grid) : grid_(grid) {
    SetVisualControl(true);
}

TgxGridDataLink::~TgxGridDataLink() {
    ClearMapping();
}

void TgxGridDataLink::AddMapping(std::string_view field_name) {
    db::TDataSet* dataset = DataSet();
    db::TField* field = dataset != nullptr ? dataset->FindField(field_name) : nullptr;
    if (MappingCount() >= capacity_) {
        // A map that cannot grow any further keeps what it has; no grid has that many columns.
        if (capacity_ >= kMaxMapping)
            return;
        std::int64_t grown = capacity_ == 0 ? 8 : static_cast<std::int64_t>(capacity_) * 2;
        grown = std::clamp<std::int64_t>(grown, MappingCount() + 1, kMaxMapping);
        capacity_ = static_cast<int>(grown);
        map_.reserve(static_cast<std::size_t>(capacity_));
    }
    map_.push_back(field != nullptr ? static_cast<std::int32_t>(field->Index()) : -1);
}

db::TField* TgxGridDataLink::GetMappedField(int index) const {
    int field_index = MappedIndex(index);
    db::TDataSet* dataset = DataSet();
    if (field_index < 0 || dataset == nullptr || field_index >= dataset->FieldCount())
        return nullptr;
    return dataset->Fields().Fields(field_index);
}

void TgxGridDataLink::ClearMapping() {
    map_.clear();
    map_.shrink_to_fit();
    capacity_ = 0;
}

void TgxGridDataLink::Reset() {
    if (modified_) {
        RecordChanged(nullptr);
    } else if (db::TDataSet* dataset = DataSet(); dataset != nullptr) {
        dataset->Cancel();
    }
}

void TgxGridDataLink::ActiveChanged() {
    grid_->LinkActive(Active());
}

void TgxGridDataLink::DataSetChanged() {
    grid_->DataChanged();
    modified_ = false;
}

void TgxGridDataLink::DataSetScrolled(std::int64_t distance) {
    grid_->DataSetScrolled(static_cast<int>(-distance));
}

void TgxGridDataLink::FocusControl(db::TField** field) {
    if (field == nullptr || *field == nullptr || (grid_->Options() & egoCanNavigation) == 0)
        return;
    if (!grid_->IsBufferMode()) {
        TgxTreeListNode* node = grid_->GetFocusedNode();
        while (node != nullptr && node->GetFirstChild() != nullptr)
            node = node->GetFirstChild();
        if (node != nullptr) {
            grid_->SetFocusedNode(node);
            grid_->ShowRow(node);
        }
    }
    if ((grid_->Options() & egoRowSelect) != 0)
        return;
    if (grid_->ShowNewItemRow())
        grid_->SetNewItemRowActive(true);
    grid_->FocusField(*field);
    db::TField* focused = grid_->GetFocusedField();
    if (focused == *field && grid_->TrySetFocus()) {
        *field = nullptr;
        grid_->ShowEditor();
    }
}

void TgxGridDataLink::LayoutChanged() {
    const bool buffer = grid_->IsBufferMode();
    bool outer_lock = false;
    if (!buffer) {
        grid_->BeginGrouping();
        outer_lock = grid_->GroupingLockCount() > 1;
    }
    grid_->LayoutChanged();
    if (!buffer) {
        // The release regroups or reloads, never through the smart-refresh shortcut.
        grid_->force_regroup_ = true;
        try {
            grid_->EndGrouping();
        } catch (...) {
            grid_->force_regroup_ = false;
            throw;
        }
        grid_->force_regroup_ = false;
    }
    if (buffer || !outer_lock)
        db::TDataLink::LayoutChanged();
}

void TgxGridDataLink::RecordChanged(db::TField* field) {
    grid_->RecordChanged(field);
    modified_ = false;
}

void TgxGridDataLink::UpdateData() {
    if (modified_)
        grid_->UpdateData();
    modified_ = false;
}

}  // namespace grid
