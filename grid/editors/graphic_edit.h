#pragma once

// Picture cells: the field's picture drawn into the cell, kept to its aspect ratio when
// stretched.

#include <QImage>

#include "grid/data/db_column.h"

namespace grid {

// Where a picture of size goes in r: stretched to fit with its aspect ratio kept and
// anchored at the top-left, or at its own size centred where it is smaller.
QRect PictureTarget(const QSize& picture, const QRect& r, bool stretch);

class TgxDBTreeListGraphicColumn : public TgxDBGridColumn {
  public:
    explicit TgxDBTreeListGraphicColumn(db::TComponent* owner = nullptr);
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    bool ShadowSelection() const { return shadow_selection_; }
    void SetShadowSelection(bool value) { shadow_selection_ = value; }
    bool CanEditBlob() const override { return true; }
    bool NeedsFieldValue() const override { return true; }
    void SetFieldText(db::TField*, std::string_view) const override {}
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;

  private:
    bool stretch_ = true;
    bool shadow_selection_ = true;
};
using TgxDBGridGraphicColumn = TgxDBTreeListGraphicColumn;

}  // namespace grid
