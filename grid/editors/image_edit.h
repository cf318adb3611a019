#pragma once

// Cells whose value is one of a list of texts, shown as a picture from an image list with an
// optional description, and chosen from a drop-down list of pictures.

#include <functional>
#include <string>
#include <vector>

#include "grid/editors/button_edit.h"
#include "grid/editors/pick_edit.h"
#include "platform/ui/canvas.h"
#include "platform/ui/image_list.h"

namespace grid {

struct TgxImageIndexes {
    int image = -1;
    int description = -1;
};

// The indexes a value stands for: its place in values, the description of that place when
// there is one, and the image of that place (from image_indexes when default_images is off
// and the line exists; a line that is no number gives none).
TgxImageIndexes ImageIndexesOf(const std::string& text, const std::vector<std::string>& values,
                               const std::vector<std::string>& descriptions,
                               const std::vector<std::string>& image_indexes, bool default_images);

using TgxImageColumnCloseUp =
    std::function<void(TgxDBTreeListColumn* sender, std::string& value, bool& accept)>;

class TgxDBTreeListImageColumn : public TgxDBTreeListDropDownColumn {
  public:
    explicit TgxDBTreeListImageColumn(db::TComponent* owner = nullptr);
    ~TgxDBTreeListImageColumn() override;

    ui::TCustomImageList* Images() const { return images_; }
    void SetImages(ui::TCustomImageList* images);
    // The pictures of the drop-down list, when it shows larger ones than the cells.
    ui::TCustomImageList* LargeImages() const { return large_images_; }
    void SetLargeImages(ui::TCustomImageList* images);
    int ListWidth() const { return list_width_; }
    void SetListWidth(int value) { list_width_ = value; }
    std::vector<std::string> Values, Descriptions, ImageIndexes;
    bool ShowDescription() const { return show_description_; }
    void SetShowDescription(bool value);
    bool DefaultImages() const { return default_images_; }
    void SetDefaultImages(bool value);
    bool MultiLineText() const { return multi_line_text_; }
    void SetMultiLineText(bool value) { multi_line_text_ = value; }
    TgxImageColumnCloseUp OnCloseUp;

    TgxImageIndexes GetIndexes(const std::string& text) const;
    // The description of a value, or the value itself.
    std::string DisplayTextOf(const std::string& text) const;
    // Item images of the drop-down list: -2 for none.
    std::vector<int> ListImages() const;

    TgxInplaceEditClass GetEditorClass() const override;
    int GetMinCellHeight() const override { return images_ != nullptr ? images_->Height() : 0; }
    std::string GetFieldDisplayText() const override;
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    ui::TCustomImageList* images_ = nullptr;
    ui::TCustomImageList* large_images_ = nullptr;
    ui::TChangeLink images_link_;
    ui::TChangeLink large_images_link_;
    int list_width_ = 0;
    bool show_description_ = false;
    bool default_images_ = true;
    bool multi_line_text_ = false;
};
using TgxDBGridImageColumn = TgxDBTreeListImageColumn;

// Draws a value's picture in r and, with its description shown, the text after it: wrapped
// with an ellipsis at the end when multi-line, else on one vertically centred line.
void DrawImageValue(ui::TCanvas& canvas, const QRect& r, const ui::TCustomImageList* images,
                    int image, bool show_description, bool multi_line, const std::string& text,
                    TAlignment alignment);

// The drop-down list of pictures.
class TgxPopupImageListBox : public TPopupListbox {
  public:
    using TPopupListbox::TPopupListbox;
    const ui::TCustomImageList* ImageList = nullptr;
    std::vector<int> ItemImages;
    bool MultiLine = false;
    ui::TFont ItemFont;
    // An item's height: the text height of "Wg", at least the picture's height plus 2.
    int MeasureItem() const;

  protected:
    void paintEvent(QPaintEvent* e) override;
};

class TgxInplaceImageEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplaceImageEdit(QWidget* parent = nullptr);
    ~TgxInplaceImageEdit() override;

    bool IsTextEdit() override { return false; }
    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    TgxPopupImageListBox* List() const { return list_.get(); }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    TgxDBTreeListImageColumn* Column() const;
    std::unique_ptr<TgxPopupImageListBox> list_;
};
using TgxInplaceDBTreeListImageEdit = TgxInplaceImageEdit;

}  // namespace grid
