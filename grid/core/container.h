#pragma once

// The protocol between a grid and its in-place cell editors. The grid side is
// TCustomgxContainer, the editor side TgxInplaceEdit; neither knows the other's kind.
// TgxInplacePopupControl is the base of the drop-down windows an editor opens.

#include <QAbstractScrollArea>
#include <QEvent>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"
#include "platform/ui/keys.h"

namespace grid {

enum class TEditCharCase { ecNormal, ecUpperCase, ecLowerCase };
using enum TEditCharCase;
enum class TBorderStyle { bsNone, bsSingle };
using enum TBorderStyle;

class TgxInplaceEdit;

class TCustomgxContainer : public QAbstractScrollArea {
  public:
    explicit TCustomgxContainer(QWidget* parent = nullptr);
    ~TCustomgxContainer() override;

    ui::Color GetColor() const { return color_; }
    virtual void SetColor(ui::Color color);
    ui::TFont& Font() { return font_; }
    const ui::TFont& Font() const { return font_; }

    // Queries the editor asks, in the order of the protocol.
    virtual TEditCharCase GetEditCharCase() { return ecNormal; }
    virtual ui::Color GetEditColor() { return color_; }
    virtual const ui::TFont& GetEditFont() { return font_; }
    virtual void GetEditMask(std::string& mask) { mask.clear(); }
    virtual void GetEditText(std::string& text) { text.clear(); }
    virtual int GetEditMaxLength() { return 0; }
    virtual void EditKeyDown(std::uint16_t& key, ui::TShiftState shift);
    virtual bool CanEditModify() { return false; }
    virtual bool IsValidEditChar(char32_t) { return false; }
    virtual void EditorFocusChanged() {}
    virtual bool IsEditColumnChanged() { return false; }
    virtual bool IsEditFlatStyle() { return true; }
    virtual bool IsImmediateEditor() { return false; }
    virtual bool IsShowButtonAlways() { return false; }
    virtual bool IsTabs() { return false; }
    virtual bool IsEditReadOnly() { return false; }
    virtual TBorderStyle GetEditBorderStyle() { return bsNone; }
    virtual bool UseEditMinHeight() { return true; }
    virtual bool IsHideFocusRect() { return false; }

    // The grid's own key and mouse handling that the editor forwards to.
    virtual void ContainerKeyDown(std::uint16_t& key, ui::TShiftState shift);
    virtual void ContainerKeyPress(char32_t& key);
    virtual void ContainerKeyUp(std::uint16_t& key, ui::TShiftState shift);
    virtual void ContainerDblClick();
    // Ends a mouse capture or drag (the cancel-mode message).
    virtual void CancelMode() {}

    std::function<void(TCustomgxContainer*, std::uint16_t&, ui::TShiftState)> OnKeyDown;
    std::function<void(TCustomgxContainer*, char32_t&)> OnKeyPress;
    std::function<void(TCustomgxContainer*, std::uint16_t&, ui::TShiftState)> OnKeyUp;
    std::function<void(TCustomgxContainer*)> OnDblClick;

  protected:
    // A container never resizes itself to its content; scrolling is computed by the control.
    void scrollContentsBy(int, int) override {}
    virtual void ColorChanged() {}

  private:
    ui::Color color_ = ui::clWindow;
    ui::TFont font_;
};

class TgxInplaceEdit : public QWidget {
  public:
    explicit TgxInplaceEdit(QWidget* parent = nullptr);
    ~TgxInplaceEdit() override;

    TCustomgxContainer* Container = nullptr;
    bool Shown = false;
    int ShowLock = 0;
    bool IgnoreGridClicks = false;
    bool Masked = false;
    bool Closing = false;
    bool WholeAreaClick = false;
    std::uint32_t ClickTime = 0;

    ui::Color GetColor() const { return color_; }
    void SetColor(ui::Color color);
    ui::TFont& Font() { return font_; }

    // Editor operations in the order of the protocol.
    virtual void DoSetFocus() {}
    virtual void GetButtonRect(ui::Rect& r) { r = {-1, -1, -1, -1}; }
    virtual bool IsButtonAt(ui::Point) { return false; }
    virtual bool CanModify();
    virtual void SetEditRect() {}
    virtual TBorderStyle GetBorderStyle() = 0;
    virtual void SetBorderStyle(TBorderStyle style) = 0;
    virtual bool GetReadOnly();
    virtual void SetReadOnly(bool) {}
    virtual bool NeedsValidation() { return Masked; }
    virtual void MoveCaretToEnd() {}
    virtual void DoKillFocus(QWidget* new_focus);
    virtual void SelectAll() {}
    // False when the text may not leave the editor (it has then said why and kept the
    // focus); the container stays in the editing state.
    virtual bool ValidateEdit() { return true; }
    virtual void GetEditingText(std::string& text);
    virtual void SetEditingText(const std::string& text);
    virtual void InitEditValue();
    virtual void DoEditorMouseUp() {}
    virtual void DoEditorMouseDown(int, int) {}
    virtual bool IsFlatStyle();
    virtual bool IsEditFocused();
    virtual bool IsShowButtonAlways();
    virtual bool IsTextEdit() { return false; }
    virtual bool IsPointInside(ui::Point p);
    virtual void DoFirstShow() {}
    virtual void Show();
    virtual void Hide();
    // The private close-up notice posted by a popup after it hid itself.
    virtual void DoCloseUp() {}

    void ShowInRect(const ui::Rect& r);
    int GetMinHeight(int font_height);
    TEditCharCase GetContainerCharCase();
    std::string GetContainerEditMask();
    std::string GetContainerEditText();
    int GetMaxLength();
    ui::Color GetContainerColor();

    // Key handling of the editor; a key or character set to 0 is consumed.
    virtual void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift);
    virtual void EditorKeyPress(char32_t& key);
    virtual void EditorKeyUp(std::uint16_t& key, ui::TShiftState shift);
    // A left button press at time; true when it counts as a double click (an immediate
    // editor clicked again within the double-click time of the grid click).
    bool LeftButtonDownIsDoubleClick(std::uint32_t time);
    // A double click on an editor button is a single press.
    bool DoubleClickIsPress(ui::Point p) { return IsButtonAt(p); }
    // Keys are dropped while the focused column changed under the editor.
    bool DropKeys();

    static QEvent::Type CloseUpEventType();

  protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    // Routes keys, mouse and focus of a child (the edit field) through the protocol.
    void RouteInputOf(QWidget* child);
    // Lets the class library's key handling run; false means consumed.
    virtual void DefaultKeyDown(std::uint16_t&, ui::TShiftState) {}

  private:
    ui::Color color_ = ui::clWindow;
    ui::TFont font_;
};

class TgxInplacePopupControl : public QWidget {
  public:
    explicit TgxInplacePopupControl(QWidget* parent = nullptr);
    ~TgxInplacePopupControl() override;

    bool Popped = false;
    QPointer<TgxInplaceEdit> OwnerEdit;

    virtual void ClosePopup();
    virtual void ShowPopup();

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
};

}  // namespace grid
