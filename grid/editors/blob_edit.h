#pragma once

// Blob cells: an icon or the text in the cell, and a sizeable popup holding either a
// multi-line text page or a picture page, with OK and Cancel (Close for a read-only cell)
// in a band at the bottom. The popup's value is saved once on OK, never on Cancel.

#include <QImage>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include <functional>
#include <memory>
#include <string>

#include "grid/editors/button_edit.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/picture.h"
#include "platform/ui/menus.h"

namespace grid {

enum class TgxBlobKind : std::uint8_t { bkAuto, bkBlob, bkMemo, bkPict, bkOle };
using enum TgxBlobKind;
enum class TgxBlobPaintStyle : std::uint8_t { bpsDefault, bpsIcon, bpsText };
using enum TgxBlobPaintStyle;
inline constexpr unsigned kBlobOK = 1, kBlobCancel = 2, kBlobClose = 4;

// The icon index (0-7) of a field type; the null form is one less.
int BlobIconOfType(db::TFieldType type);

// What a point of the blob popup answers when the window manager asks where it is.
inline constexpr int HTNOWHERE = 0, HTCLIENT = 1, HTRIGHT = 11, HTBOTTOM = 15, HTBOTTOMRIGHT = 17,
                     HTBORDER = 18;
// The width and height of the dialog frame strips that resize a sizeable popup.
inline constexpr int kDlgFrameWidth = 3;

// The answer for p (window coordinates) in a popup of size window whose page ends above
// page_bottom: on a sizeable popup, while no band button is pressed, the grip square in the
// bottom-right corner, then the bottom strip, then the right strip resize it; the page is
// client area and every other point is border.
int BlobPopupHitTest(QPoint p, QSize window, int page_bottom, bool sizeable, bool pressing,
                     int grip_size);
// The scroll offset that thumb tracking at bar position t gives, for a picture of size
// picture in a page of size client.
int BlobThumbOffset(int t, int picture, int client);

// The context menu items of the picture page, in caption order.
enum TgxBlobPictureCommand : std::uint8_t {
    bpcCut,
    bpcCopy,
    bpcPaste,
    bpcDelete,
    bpcSaveToFile,
    bpcLoadFromFile
};

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
    // Shown on the picture page while it holds no picture (bytes that do not read as one, so
    // that they are not taken for an empty field); a new picture clears it.
    std::string PictureNote;
    void SetWordWrap(bool value);
    void SetSizeable(bool value);
    bool Sizeable() const { return sizeable_; }
    void SetWantTabs(bool value);
    bool WantTabs() const { return want_tabs_; }
    void SetScrollBars(TScrollStyle value);
    // The memo's limit of characters typed (0: none).
    void SetMaxLength(int value) { max_length_ = value; }
    TGraphicClass GraphicClass;
    void SetPictureAutoSize(bool value);
    bool PictureAutoSize() const { return picture_auto_size_; }
    bool AlwaysSave = false;
    bool Saved = false;
    bool Modified() const;
    void SetModified(bool value);
    std::function<void(TCustomgxBlobPopup*)> OnSave;
    std::function<void(int width, int height)> OnCloseSize;
    // Tab without want-tabs: the popup has closed; the grid moves to the neighbouring column.
    std::function<void(bool to_left)> OnTabOut;
    // The picture page's context menu, when it has one (the editor owns it).
    ui::TPopupMenu* PictureMenu = nullptr;

    // Picture commands: each change marks the popup modified.
    bool PictureEmpty() const { return picture_.isNull(); }
    void PictureCommand(TgxBlobPictureCommand command);

    // The picture page's scrolling (without picture auto size).
    int ScrollOffset(Qt::Orientation o) const;
    void SetScrollOffset(Qt::Orientation o, int value);
    QScrollBar* ScrollBar(Qt::Orientation o) const;
    // The page above the band, in window coordinates (scroll bars excluded).
    QRect PageRect() const;
    int HitTest(QPoint p) const;
    // The smallest size the user may drag the popup to.
    QSize MinimumTrackSize() const;

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
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void LayoutBand();
    void UpdateScrollBars();
    void PictureChanged();
    void Save();
    int GripSize() const;
    int page_ = 0;
    bool read_only_ = false;
    bool sizeable_ = true;
    bool want_tabs_ = true;
    bool picture_auto_size_ = true;
    int max_length_ = 0;
    // The field's text broke its lines with "\r\n"; saving keeps them so.
    bool crlf_ = false;
    unsigned buttons_ = kBlobOK | kBlobCancel;
    QImage picture_;
    bool picture_modified_ = false;
    int offset_x_ = 0, offset_y_ = 0;
    // A resize by the frame in progress: the hit area, the pointer and size at its start.
    int sizing_ = HTNOWHERE;
    QPoint sizing_from_;
    QSize sizing_size_;
    QPlainTextEdit* memo_;
    QPushButton* band_buttons_[3];
    QScrollBar* hbar_;
    QScrollBar* vbar_;
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
    TScrollStyle MemoScrollBars() const { return memo_scroll_bars_; }
    void SetMemoScrollBars(TScrollStyle value) { memo_scroll_bars_ = value; }
    bool MemoWantTabs() const { return memo_want_tabs_; }
    void SetMemoWantTabs(bool value) { memo_want_tabs_ = value; }
    bool ImmediatePopup() const { return immediate_popup_; }
    void SetImmediatePopup(bool value) { immediate_popup_ = value; }
    bool ShowExPopupItems() const { return show_ex_popup_items_; }
    void SetShowExPopupItems(bool value) { show_ex_popup_items_ = value; }
    bool ShowPicturePopup() const { return show_picture_popup_; }
    void SetShowPicturePopup(bool value) { show_picture_popup_ = value; }
    std::function<void(TgxDBTreeListColumn* sender, const TgxTreeListNode* node,
                       TGraphicClass& graphic_class)>
        OnGetGraphicClass;
    std::function<void(TgxDBTreeListColumn* sender, QImage& picture)> OnAssignPicture;
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
    TScrollStyle memo_scroll_bars_ = TScrollStyle::ssBoth;
    bool memo_want_tabs_ = true;
    bool immediate_popup_ = false;
    bool show_ex_popup_items_ = false;
    bool show_picture_popup_ = false;
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
    virtual TScrollStyle GetMemoScrollBars() { return TScrollStyle::ssBoth; }
    virtual bool GetMemoWantTabs() { return true; }
    virtual int GetMemoMaxLength() { return GetMaxLength(); }
    virtual bool GetPictureAutoSize() { return true; }
    virtual TGraphicClass GetGraphicClass() { return {}; }
    virtual void DoAssignPicture(QImage&) {}
    virtual bool GetShowExPopupItems() { return false; }
    virtual bool GetShowPicturePopup() { return false; }
    virtual void SetPopupSize(int, int) {}
    virtual void SavePopupValue(TCustomgxBlobPopup* popup);
    virtual void MoveFocusedColumn(bool) {}

    bool IsTextEdit() override { return false; }
    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyPress(char32_t& key) override;
    TCustomgxBlobPopup* BlobPopup() const { return popup_.get(); }
    ui::TPopupMenu* PictureMenu() const { return picture_menu_.get(); }
    // Enables and shows the picture menu's items for the popup's picture and the clipboard.
    void RefreshPictureMenu();

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    std::unique_ptr<TCustomgxBlobPopup> popup_;
    std::unique_ptr<ui::TPopupMenu> picture_menu_;
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
    TScrollStyle GetMemoScrollBars() override;
    bool GetMemoWantTabs() override;
    int GetMemoMaxLength() override;
    bool GetPictureAutoSize() override;
    TGraphicClass GetGraphicClass() override;
    void DoAssignPicture(QImage& picture) override;
    bool GetShowExPopupItems() override;
    bool GetShowPicturePopup() override;
    bool GetImmediateDropDown() override;
    TgxPopupBorder GetPopupBorder() override;
    void DoBeforeDropDown() override;
    void SetPopupSize(int width, int height) override;
    bool GetReadOnly() override;
    void MoveFocusedColumn(bool to_left) override { MoveGridFocusedColumn(*this, to_left); }

  private:
    TgxDBTreeListBlobColumn* Column() const;
};

}  // namespace grid
