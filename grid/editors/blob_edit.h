#pragma once

// Blob cells: an icon or the text in the cell, and a sizeable popup holding either a
// multi-line text page or a picture page, with OK and Cancel (Close for a read-only cell)
// in a band at the bottom. The popup's value is saved once on OK, never on Cancel.

#include <QImage>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSizeGrip>

#include <functional>
#include <memory>
#include <string>

#include "grid/editors/button_edit.h"
#include "grid/editors/memo_edit.h"

namespace grid {

enum class TgxBlobKind : std::uint8_t { bkAuto, bkBlob, bkMemo, bkPict, bkOle };
using enum TgxBlobKind;
enum class TgxBlobPaintStyle : std::uint8_t { bpsDefault, bpsIcon, bpsText };
using enum TgxBlobPaintStyle;
inline constexpr unsigned kBlobOK = 1, kBlobCancel = 2, kBlobClose = 4;

// A picture from a blob value: an 8-byte header (1, 0x0100, length - 8) is skipped; an
// empty value or bytes that are no picture give an empty image.
QImage LoadPictureFromBlob(const std::string& bytes);
// The icon index (0-7) of a field type; the null form is one less.
int BlobIconOfType(db::TFieldType type);

class TCustomgxBlobPopup : public TgxEditorPopup {
  public:
    explicit TCustomgxBlobPopup(QWidget* parent = nullptr);
    ~TCustomgxBlobPopup() override;

    // 0 memo, 1 picture.
    int Page() const { return page_; }
    void SetPage(int page);
    void SetReadOnly(bool value);
    bool ReadOnly() const { return read_only_; }
    void SetButtons(unsigned buttons);
    unsigned Buttons() const { return buttons_; }
    void SetMemoText(const std::string& text);
    std::string MemoText() const;
    const QImage& Picture() const { return picture_; }
    void SetPicture(const QImage& picture);
    void SetWordWrap(bool value);
    void SetSizeable(bool value);
    bool AlwaysSave = false;
    bool Saved = false;
    bool Modified() const;
    void SetModified(bool value);
    std::function<void(TCustomgxBlobPopup*)> OnSave;
    std::function<void(int width, int height)> OnCloseSize;

    // The band's buttons (OK, Cancel, Close), for the editor and tests.
    QPushButton* Button(int index) const { return band_buttons_[index]; }
    QPlainTextEdit& Memo() { return *memo_; }
    int BandHeight() const;

    void Accept();
    void Cancel();
    void ClosePopup() override;
    void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) override;

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

  private:
    void LayoutBand();
    void Save();
    int page_ = 0;
    bool read_only_ = false;
    bool sizeable_ = true;
    unsigned buttons_ = kBlobOK | kBlobCancel;
    QImage picture_;
    bool picture_modified_ = false;
    QPlainTextEdit* memo_;
    QPushButton* band_buttons_[3];
    QSizeGrip* grip_;
};

class TgxDBTreeListBlobColumn : public TgxDBTreeListDropDownColumn {
  public:
    explicit TgxDBTreeListBlobColumn(db::TComponent* owner = nullptr);
    TgxBlobKind BlobKind() const { return blob_kind_; }
    void SetBlobKind(TgxBlobKind value) { blob_kind_ = value; }
    TgxBlobPaintStyle BlobPaintStyle() const { return paint_style_; }
    void SetBlobPaintStyle(TgxBlobPaintStyle value);
    bool AlwaysSaveText() const { return always_save_text_; }
    void SetAlwaysSaveText(bool value) { always_save_text_ = value; }
    int MemoMaxLength() const { return memo_max_length_; }
    void SetMemoMaxLength(int value) { memo_max_length_ = value; }
    bool MemoWordWrap() const { return memo_word_wrap_; }
    void SetMemoWordWrap(bool value) { memo_word_wrap_ = value; }
    bool PictureAutoSize() const { return picture_auto_size_; }
    void SetPictureAutoSize(bool value) { picture_auto_size_ = value; }
    int PopupWidth() const { return popup_width_; }
    void SetPopupWidth(int value) { popup_width_ = value; }
    int PopupHeight() const { return popup_height_; }
    void SetPopupHeight(int value) { popup_height_ = value; }
    bool SizeablePopup() const { return sizeable_popup_; }
    void SetSizeablePopup(bool value) { sizeable_popup_ = value; }
    int MaxDisplayLength() const { return max_display_length_; }
    void SetMaxDisplayLength(int value) { max_display_length_ = value; }

    // The page the popup opens on: 0 memo, 1 picture, -1 none.
    int PopupPage() const;
    // The icon a cell shows for its text.
    int CellIcon(const std::string& text) const;

    TgxInplaceEditClass GetEditorClass() const override;
    bool CanEditBlob() const override { return true; }
    // The popup writes the field itself; the editor's text never does.
    void SetFieldText(db::TField*, std::string_view) const override {}
    std::string GetFieldDisplayText() const override;
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    TgxBlobKind blob_kind_ = bkAuto;
    TgxBlobPaintStyle paint_style_ = bpsIcon;
    bool always_save_text_ = false;
    int memo_max_length_ = 0;
    bool memo_word_wrap_ = true;
    bool picture_auto_size_ = true;
    int popup_width_ = 200;
    int popup_height_ = 140;
    bool sizeable_popup_ = true;
    int max_display_length_ = 255;
};
using TgxDBGridBlobColumn = TgxDBTreeListBlobColumn;

class TgxInplaceBlobEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplaceBlobEdit(QWidget* parent = nullptr);
    ~TgxInplaceBlobEdit() override;

    virtual int GetPopupPage() { return 0; }
    virtual db::TField* GetBlobField() { return nullptr; }
    virtual int GetPopupWidth() { return 200; }
    virtual int GetPopupHeight() { return 140; }
    virtual bool GetSizeablePopup() { return true; }
    virtual bool GetAlwaysSaveText() { return false; }
    virtual bool GetMemoWordWrap() { return true; }
    virtual void SetPopupSize(int, int) {}
    virtual void SavePopupValue(TCustomgxBlobPopup* popup);
    virtual void MoveFocusedColumn(bool) {}

    bool IsTextEdit() override { return false; }
    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    TCustomgxBlobPopup* BlobPopup() const { return popup_.get(); }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    std::unique_ptr<TCustomgxBlobPopup> popup_;
};

class TgxInplaceDBTreeListBlobEdit : public TgxInplaceBlobEdit {
  public:
    using TgxInplaceBlobEdit::TgxInplaceBlobEdit;
    int GetPopupPage() override;
    db::TField* GetBlobField() override;
    int GetPopupWidth() override;
    int GetPopupHeight() override;
    bool GetSizeablePopup() override;
    bool GetAlwaysSaveText() override;
    bool GetMemoWordWrap() override;
    void SetPopupSize(int width, int height) override;
    bool GetReadOnly() override;
    void MoveFocusedColumn(bool to_left) override { MoveGridFocusedColumn(*this, to_left); }

  private:
    TgxDBTreeListBlobColumn* Column() const;
};

}  // namespace grid
