#pragma once

// The two editor bases most cell editors share: a masked text editor with one button at
// the right that fires a click, and one whose button opens and closes a popup window, with
// the keys and mouse rules every popup editor inherits. The matching column bases draw the
// button in cells that are not being edited and feed the editors their settings.

#include <QImage>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <type_traits>

#include "grid/core/container.h"
#include "grid/core/inplace_mask_edit.h"
#include "grid/data/db_column.h"

namespace grid {

enum class TgxEditButtonStyle : std::uint8_t { ebsSimple, ebsEllipsis, ebsDown, ebsGlyph };
using enum TgxEditButtonStyle;
enum class TgxShowButtonStyle : std::uint8_t { sbDefault, sbAlways, sbNone };
using enum TgxShowButtonStyle;
enum class TgxPopupBorder : std::uint8_t { pbDefault, pbSingle, pbFrame3D };
using enum TgxPopupBorder;

// Ctrl+Enter as a shortcut: the key with the Ctrl bit (0x4000).
inline constexpr std::uint16_t kCtrlEnterShortCut = 16397;
inline constexpr std::uint16_t ShortCutOf(std::uint16_t key, ui::TShiftState shift) {
    return static_cast<std::uint16_t>(key | ((shift & ui::ssShift) ? 0x2000 : 0) |
                                      ((shift & ui::ssCtrl) ? 0x4000 : 0) |
                                      ((shift & ui::ssAlt) ? 0x8000 : 0));
}

// The data-aware column an editor works for: the grid's focused column.
TgxDBTreeListColumn* EditorColumn(const TgxInplaceEdit& editor);
// A setting read from an editor's column through getter, or fallback when the editor works
// for no column.
template <class C, class Getter>
std::decay_t<std::invoke_result_t<Getter, const C&>> ColumnSetting(
    const C* column, Getter getter,
    std::type_identity_t<std::decay_t<std::invoke_result_t<Getter, const C&>>> fallback) {
    return column != nullptr ? std::invoke(getter, *column) : fallback;
}

// A data-aware editor is read-only when its own setting or its column says so.
template <class C>
bool ReadOnlyWithColumn(bool editor_read_only, const C* column) {
    return editor_read_only || (column != nullptr && column->ReadOnly());
}

// Fires the column's OnEditButtonClick, when it has one.
template <class C>
void FireEditButtonClick(C* column) {
    if (column != nullptr && column->OnEditButtonClick)
        column->OnEditButtonClick(column);
}

// The grid's focused node, or null.
TgxTreeListNode* FocusedNodeOf(const TgxInplaceEdit& editor);
// Hides the editor, gives the grid the focus and moves its focused column one to the side.
void MoveGridFocusedColumn(TgxInplaceEdit& editor, bool to_left);
// The desktop work area of the screen w is on.
QRect WorkAreaOf(const QWidget& w);
// Draws a button of the style in r (cells and editors alike).
void DrawEditButton(QPainter& painter, const QRect& r, TgxEditButtonStyle style, bool pressed,
                    const QImage& glyph = {});

class TgxInplaceButtonEdit : public TgxInplaceMaskEdit {
  public:
    explicit TgxInplaceButtonEdit(QWidget* parent = nullptr);

    virtual bool IsButtonHit(int x, int y);
    virtual std::uint16_t GetClickKey() { return kCtrlEnterShortCut; }
    virtual TgxEditButtonStyle GetButtonStyle() { return ebsEllipsis; }
    virtual QImage GetGlyph() { return {}; }
    virtual void DoButtonClick() {}
    virtual bool GetHideEditCursor() { return false; }
    virtual bool GetButtonOnly() { return false; }
    virtual void MoveFocusedColumn(bool) {}

    void GetButtonRect(ui::Rect& r) override;
    bool IsButtonAt(ui::Point p) override;
    void InitEditValue() override;
    bool IsTextEdit() override { return !button_only_; }
    bool UseEditWindow() const override { return !button_only_; }
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void DoEditorMouseDown(int x, int y) override;

    bool ButtonOnly() const { return button_only_; }
    bool Pressed() const { return pressed_; }
    int ButtonWidth() const;

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

  private:
    bool button_only_ = false;
    TgxEditButtonStyle style_ = ebsEllipsis;
    bool tracking_ = false;
    bool pressed_ = false;
};

// The popup window class of drop-down editors, with the keys an editor routes to it.
class TgxEditorPopup : public TgxInplacePopupControl {
  public:
    using TgxInplacePopupControl::TgxInplacePopupControl;
    // A key the editor passes on while the popup is shown; 0 when consumed.
    virtual void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) { (void)shift, key = 0; }
    virtual void PopupKeyPress(char32_t&) {}
    virtual void PopupKeyUp(std::uint16_t&, ui::TShiftState) {}
};

// A drop-down list: the left button selects the row under the pointer while held, and the
// release tells the editor whether it happened inside the list.
class TgxPopupList : public TgxEditorPopup {
  public:
    explicit TgxPopupList(QWidget* parent = nullptr);
    std::function<void(bool inside)> OnListMouseUp;
    // The row under a point (list coordinates), or -1.
    virtual int RowAt(QPoint p) const = 0;

  protected:
    // The row the pointer chose.
    virtual void SelectRow(int row) = 0;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
};

class TgxInplaceDropDownEdit : public TgxInplaceMaskEdit {
  public:
    explicit TgxInplaceDropDownEdit(QWidget* parent = nullptr);
    ~TgxInplaceDropDownEdit() override;

    virtual void DoDropDownKeys(std::uint16_t& key, ui::TShiftState shift);
    virtual bool IsButtonHit(int x, int y);
    virtual void CloseUp(bool) {}
    virtual void DropDown() {}
    virtual void DoBeforeDropDown() {}
    virtual void DoTextChanged(const std::string&) {}
    virtual TgxPopupBorder GetPopupBorder() { return pbDefault; }
    virtual bool GetImmediateDropDown() { return false; }

    void GetButtonRect(ui::Rect& r) override;
    bool IsButtonAt(ui::Point p) override;
    void Show() override;
    void Hide() override;
    void DoFirstShow() override;
    void DoEditorMouseUp() override;
    bool IsFlatStyle() override;
    bool IsEditFocused() override;
    void DoCloseUp() override { popup_shown_ = false; }
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyPress(char32_t& key) override;
    void EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) override;
    void DoKillFocus(QWidget* new_focus) override;

    bool PopupShown() const { return popup_shown_; }
    TgxEditorPopup* Popup() const { return popup_; }
    bool Pressed() const { return pressed_; }
    int ButtonWidth() const;
    // Closes the popup after a release on its list: accepted when inside the list.
    void ListMouseUp(bool inside) { CloseUp(inside); }

  protected:
    // Makes popup this editor's popup window.
    void AttachPopup(TgxEditorPopup& popup);
    // Shows the popup below the editor: moved right into the work area and left so that it
    // ends inside it, above the editor when it would leave the work area at the bottom.
    void ShowPopupBelow(TgxEditorPopup& popup);
    void SetPopupShown(bool shown) { popup_shown_ = shown; }
    bool route_keys_to_popup_ = true;
    bool popup_takes_typing_ = false;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

  private:
    bool tracking_ = false;
    bool pressed_ = false;
    bool popup_shown_ = false;
    QPointer<TgxEditorPopup> popup_;
};

// Column with a button (ellipsis, arrow or glyph) in its cells.
class TgxDBTreeListButtonColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    bool ButtonOnly() const { return button_only_; }
    void SetButtonOnly(bool value);
    TgxEditButtonStyle EditButtonStyle() const { return edit_button_style_; }
    void SetEditButtonStyle(TgxEditButtonStyle value);
    std::uint16_t ClickKey() const { return click_key_; }
    void SetClickKey(std::uint16_t value) { click_key_ = value; }
    const QImage& Glyph() const { return glyph_; }
    void SetGlyph(const QImage& value);
    bool HideEditCursor() const { return hide_edit_cursor_; }
    void SetHideEditCursor(bool value) { hide_edit_cursor_ = value; }
    TgxShowButtonStyle ShowButtonStyle() const { return show_button_style_; }
    void SetShowButtonStyle(TgxShowButtonStyle value);
    std::function<void(TgxDBTreeListColumn* sender)> OnEditButtonClick;

    TgxInplaceEditClass GetEditorClass() const override;
    bool IsEditButtonAt(ui::Point p) const override;
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;
    // Whether the cell of node shows the button now.
    bool ShowsButton(const TgxTreeListNode* node) const;

  private:
    bool button_only_ = false;
    TgxEditButtonStyle edit_button_style_ = ebsEllipsis;
    std::uint16_t click_key_ = kCtrlEnterShortCut;
    QImage glyph_;
    bool hide_edit_cursor_ = false;
    TgxShowButtonStyle show_button_style_ = sbDefault;
};
using TgxDBGridButtonColumn = TgxDBTreeListButtonColumn;

// Column whose editor opens a popup.
class TgxDBTreeListDropDownColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    TgxShowButtonStyle ShowButtonStyle() const { return show_button_style_; }
    void SetShowButtonStyle(TgxShowButtonStyle value);
    unsigned DropDownRows() const { return drop_down_rows_; }
    void SetDropDownRows(unsigned value) { drop_down_rows_ = value; }
    bool ImmediateDropDown() const { return immediate_drop_down_; }
    void SetImmediateDropDown(bool value) { immediate_drop_down_ = value; }
    TgxPopupBorder PopupBorder() const { return popup_border_; }
    void SetPopupBorder(TgxPopupBorder value) { popup_border_ = value; }
    std::function<void(TgxDBTreeListColumn* sender)> OnEditButtonClick;

    bool IsEditButtonAt(ui::Point p) const override;
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;
    bool ShowsButton(const TgxTreeListNode* node) const;

  private:
    TgxShowButtonStyle show_button_style_ = sbDefault;
    unsigned drop_down_rows_ = 7;
    bool immediate_drop_down_ = false;
    TgxPopupBorder popup_border_ = pbDefault;
};

class TgxInplaceDBTreeListButtonEdit : public TgxInplaceButtonEdit {
  public:
    using TgxInplaceButtonEdit::TgxInplaceButtonEdit;
    std::uint16_t GetClickKey() override;
    TgxEditButtonStyle GetButtonStyle() override;
    QImage GetGlyph() override;
    void DoButtonClick() override;
    bool GetHideEditCursor() override;
    bool GetButtonOnly() override;
    void MoveFocusedColumn(bool to_left) override { MoveGridFocusedColumn(*this, to_left); }

  private:
    TgxDBTreeListButtonColumn* Column() const;
};

}  // namespace grid
