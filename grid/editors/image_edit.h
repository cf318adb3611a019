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

// The image index of each value's list item: its place with default images, else the
// number in its line of image_indexes; -2 (no image) for a negative, missing or unreadable
// one.
std::vector<int> ListImageIndexes(std::size_t values, const std::vector<std::string>& image_indexes,
                                  bool default_images);

using TgxImageColumnCloseUp =
    std::function<void(TgxDBTreeListColumn* sender, std::string& value, bool& accept)>;

class TgxDBTreeListImageColumn : public TgxDBTreeListDropDownColumn {
  public:
    explicit TgxDBTreeListImageColumn(db::TComponent* owner = nullptr);
    ~TgxDBTreeListImageColumn() override;

    ui::TCustomImageList* Images() const { return images_link_.Sender(); }
    void SetImages(ui::TCustomImageList* images);
    // The pictures of the drop-down list, when it shows larger ones than the cells.
    ui::TCustomImageList* LargeImages() const { return large_images_link_.Sender(); }
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
    // Fitting the column to its contents leaves room for the picture beside the text.
    int CalcTextWidth(const ui::TextMetrics& metrics, const ui::TFont& font,
                      std::string_view text) const override;
    int GetMinCellHeight() const override { return Images() != nullptr ? Images()->Height() : 0; }
    std::string GetFieldDisplayText() const override;
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
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

// An owner-drawn list of texts with a picture each. An item's picture is its index in the
// image list (-2, like any index the list lacks, for none). Rows may differ in height: each
// is as tall as ItemHeightOf says, by default the height MeasureItem gives every item.
class TCustomgxImageListBox : public TPopupListbox {
  public:
    explicit TCustomgxImageListBox(QWidget* parent = nullptr);

    // Referenced: destroying the list clears it here, and a change of its pictures lays the
    // rows out again.
    ui::TCustomImageList* ImageList() const { return images_link_.Sender(); }
    void SetImageList(ui::TCustomImageList* images);
    bool MultiLine() const { return multi_line_; }
    void SetMultiLine(bool value);
    std::vector<int> ItemImages;
    ui::TFont ItemFont;
    // The background of the list and of its unselected items.
    ui::Color Color = ui::clWindow;

    // An item's height: the text height of "Wg", at least the picture's height plus 2.
    int MeasureItem() const;
    // The height of the row of item index.
    virtual int ItemHeightOf(int index) const;
    // Takes the measured height for every item.
    void UpdateItemHeight();
    // The rows from the top item down, in list coordinates; an item not shown gives an
    // empty rectangle.
    QRect ItemRect(int index) const;
    int RowAt(QPoint p) const override;
    void MakeVisible(int index) override;
    // The height of count rows from the top item (the list's client height).
    int RowsHeight(int count) const;
    // Draws one item into r: its picture 1 pixel from the left and vertically centred, then
    // its text, wrapped inside r shrunk by 2 when multi-line, else on one centred line.
    void DrawItem(ui::TCanvas& canvas, int index, const QRect& r, bool selected) const;

  protected:
    void paintEvent(QPaintEvent* e) override;
    // The list's edge.
    virtual void DrawBorder(QPainter& painter);

  private:
    ui::TChangeLink images_link_;
    bool multi_line_ = false;
};

// The image editor's drop-down list: flat, or with a sunken edge.
class TgxPopupImageListBox : public TCustomgxImageListBox {
  public:
    using TCustomgxImageListBox::TCustomgxImageListBox;
    bool Flat() const { return flat_; }
    void SetFlat(bool value);

  protected:
    void DrawBorder(QPainter& painter) override;

  private:
    bool flat_ = true;
};

class TgxInplaceImageEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplaceImageEdit(QWidget* parent = nullptr);
    ~TgxInplaceImageEdit() override;

    virtual bool GetDefaultImages() { return true; }
    virtual void DoCloseUp(std::string&, bool&) {}
    using TgxInplaceDropDownEdit::DoCloseUp;
    virtual bool GetShowDescription() { return true; }
    virtual ui::TCustomImageList* GetImages() { return nullptr; }
    virtual ui::TCustomImageList* GetLargeImages() { return nullptr; }
    virtual int GetListWidth() { return 0; }
    virtual TgxImageIndexes GetIndexes(const std::string&) { return {}; }
    int GetImageIndex(const std::string& text) { return GetIndexes(text).image; }
    virtual std::vector<std::string> GetImageIndexes() { return {}; }
    virtual std::vector<std::string> GetValues() { return {}; }
    virtual std::vector<std::string> GetDescriptions() { return {}; }
    virtual int GetDropDownRows() { return 7; }
    virtual bool GetMultiLineText() { return false; }
    virtual void MoveFocusedColumn(bool) {}

    bool IsTextEdit() override { return false; }
    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    TgxPopupImageListBox* List() const { return list_.get(); }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    std::unique_ptr<TgxPopupImageListBox> list_;
};

class TgxInplaceDBTreeListImageEdit : public TgxInplaceImageEdit {
  public:
    using TgxInplaceImageEdit::DoCloseUp;
    using TgxInplaceImageEdit::TgxInplaceImageEdit;
    bool GetDefaultImages() override;
    void DoCloseUp(std::string& value, bool& accept) override;
    bool GetShowDescription() override;
    ui::TCustomImageList* GetImages() override;
    ui::TCustomImageList* GetLargeImages() override;
    int GetListWidth() override;
    TgxImageIndexes GetIndexes(const std::string& text) override;
    std::vector<std::string> GetImageIndexes() override;
    std::vector<std::string> GetValues() override;
    std::vector<std::string> GetDescriptions() override;
    int GetDropDownRows() override;
    bool GetMultiLineText() override;
    void MoveFocusedColumn(bool to_left) override { MoveGridFocusedColumn(*this, to_left); }
    bool GetReadOnly() override;
    TgxPopupBorder GetPopupBorder() override;
    void DoBeforeDropDown() override;

  private:
    TgxDBTreeListImageColumn* Column() const;
};

}  // namespace grid
