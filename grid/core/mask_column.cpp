#include "grid/core/mask_column.h"

#include "grid/core/tree_list_control.h"

namespace grid {

TgxInplaceEditClass TgxTreeListMaskColumn::GetEditorClass() const {
    return {typeid(TgxInplaceTreeListMaskEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceTreeListMaskEdit>(parent); }};
}

void TgxTreeListMaskColumn::Assign(const db::TPersistent& source) {
    const auto* mask = dynamic_cast<const TgxTreeListMaskColumn*>(&source);
    if (mask == nullptr) {
        TgxTreeListColumn::Assign(source);
        return;
    }
    TCustomgxTreeListControl* control = ATreeList();
    if (control != nullptr)
        control->BeginUpdate();
    try {
        TgxTreeListColumn::Assign(source);
        edit_mask_ = mask->edit_mask_;
    } catch (...) {
        if (control != nullptr)
            control->EndUpdate();
        throw;
    }
    if (control != nullptr)
        control->EndUpdate();
}

void TgxTreeListMaskColumn::RestoreDefaults() {
    TgxTreeListColumn::RestoreDefaults();
    edit_mask_.clear();
}

std::string TgxInplaceTreeListMaskEdit::GetEditMask() {
    std::string mask = TgxInplaceMaskEdit::GetEditMask();
    auto* control = dynamic_cast<TCustomgxTreeListControl*>(Container);
    if (control == nullptr)
        return mask;
    auto* column = dynamic_cast<TgxTreeListMaskColumn*>(
        control->Columns(control->GetVisibleColumnIndex(control->GetFocusedColumn())));
    if (column != nullptr && !column->EditMask().empty())
        mask = column->EditMask();
    return mask;
}

}  // namespace grid
