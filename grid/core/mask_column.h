#pragma once

// The tree list's column kind with an edit mask, and its editor: the mask editor bound to
// the focused column.

#include <string>

#include "grid/core/column.h"
#include "grid/core/inplace_mask_edit.h"

namespace grid {

class TgxTreeListMaskColumn : public TgxTreeListColumn {
  public:
    using TgxTreeListColumn::TgxTreeListColumn;

    const std::string& EditMask() const { return edit_mask_; }
    void SetEditMask(std::string_view mask) { edit_mask_ = mask; }

    TgxInplaceEditClass GetEditorClass() const override;
    void Assign(const db::TPersistent& source) override;
    void RestoreDefaults() override;

  private:
    std::string edit_mask_;
};

class TgxInplaceTreeListMaskEdit : public TgxInplaceMaskEdit {
  public:
    using TgxInplaceMaskEdit::TgxInplaceMaskEdit;
    // The focused mask column's own mask, when it has one, wins over the container's.
    std::string GetEditMask() override;
};

}  // namespace grid
