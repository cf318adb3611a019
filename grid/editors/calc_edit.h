#pragma once

// The pocket calculator popup (27 buttons over the calculation engine) and the calc editor
// that drops it down under a numeric cell, with the editor's text as its display.

#include <QRect>

#include <array>
#include <memory>
#include <string>

#include "grid/editors/button_edit.h"
#include "grid/editors/calc_engine.h"
#include "platform/ui/canvas.h"

namespace grid {

enum class TgxButtonStyle : std::uint8_t { bsStandard, bsFlat, bsExtraFlat };

class TCustomgxCalculator : public TgxEditorPopup {
  public:
    explicit TCustomgxCalculator(QWidget* parent = nullptr);
    ~TCustomgxCalculator() override;

    virtual std::string GetText() const { return own_text_; }
    virtual void SetText(const std::string& text) { own_text_ = text; }

    TgxCalcEngine& Engine() { return *engine_; }
    void ButtonClick(int code) { engine_->ButtonClick(code); }
    TgxButtonStyle ButtonStyle = TgxButtonStyle::bsStandard;
    bool ShowButtonFrame = false;
    bool ShowFocusRect = true;
    bool AutoFontSize = true;
    bool NoFocusOnClick = false;
    int CalcWidth() const { return calc_width_; }
    int CalcHeight() const { return calc_height_; }
    int ButtonHeight() const { return button_height_; }
    QRect ButtonRect(int code) const { return rects_[static_cast<std::size_t>(code)]; }
    // The button under a client point, or cbNone.
    int ButtonAt(QPoint p) const;
    bool ButtonDown(int code) const { return down_[static_cast<std::size_t>(code)]; }
    // Lays the buttons out for a client area of w by h and takes the resulting size (the
    // client area with the frame around it). A resize lays them out again.
    void LayoutFor(int w, int h);
    // Single: a sunken edge with Ctl3D, else a plain line, around the buttons.
    TBorderStyle BorderStyle() const { return border_style_; }
    void SetBorderStyle(TBorderStyle value);
    bool Ctl3D() const { return ctl3d_; }
    void SetCtl3D(bool value);

    void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void PopupKeyPress(char32_t& key) override;
    void PopupKeyUp(std::uint16_t& key, ui::TShiftState shift) override;

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    // The frame around the client area: its width on each side, and its drawing over the
    // whole widget.
    virtual int FrameWidth() const;
    virtual void PaintFrame(ui::TCanvas& canvas);
    // The buttons laid out again at their present size, after the frame changed.
    void FrameChanged();
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;
    // A key mapped to a button: pressed, and acted on unless it is Back.
    void PressKeyButton(int code);

  private:
    class HostedEngine;
    // Places the buttons for a button height of b and takes the resulting size.
    void ArrangeButtons(int b);
    // A client point of a widget point, and a widget rectangle of a client one.
    QPoint ClientPoint(QPoint widget_point) const;
    QRect WidgetRect(const QRect& client_rect) const;
    void PaintButton(QPainter& p, ui::TCanvas& canvas, int code);
    std::unique_ptr<TgxCalcEngine> engine_;
    std::string own_text_ = "0";
    std::array<QRect, kCalcButtonCount> rects_{};
    std::array<bool, kCalcButtonCount> down_{};
    int button_width_ = 28, button_height_ = 22, wide_button_width_ = 47, gap_ = 4, font_size_ = 8,
        calc_width_ = 207, calc_height_ = 137;
    int hot_button_ = cbNone, mouse_button_ = cbNone, key_button_ = cbNone;
    bool mouse_following_ = false;
    TBorderStyle border_style_ = bsNone;
    bool ctl3d_ = false;
    // The size the last layout gave the control; a resize to any other lays out again.
    QSize laid_out_size_;
};

class TgxInplaceCalcEdit;

class TgxPopupCalculator : public TCustomgxCalculator {
  public:
    explicit TgxPopupCalculator(TgxInplaceCalcEdit* editor);
    std::string GetText() const override;
    void SetText(const std::string& text) override;
    bool QuickClose = false;
    // The editor's flat style: a thin line around the popup instead of a raised edge.
    bool Flat() const { return flat_; }
    void SetFlat(bool value);
    void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void PopupKeyPress(char32_t& key) override;

  protected:
    // The popup's own border, so that it stands apart from the cells under it.
    int FrameWidth() const override { return flat_ ? 1 : 2; }
    void PaintFrame(ui::TCanvas& canvas) override;

  private:
    TgxInplaceCalcEdit* editor_;
    bool flat_ = false;
};

class TgxInplaceCalcEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplaceCalcEdit(QWidget* parent = nullptr);
    ~TgxInplaceCalcEdit() override;

    virtual TgxButtonStyle GetCalcButtonStyle() { return TgxButtonStyle::bsStandard; }
    virtual bool GetShowButtonFrame() { return false; }
    virtual int GetPrecision() { return 13; }
    virtual bool GetQuickClose() { return false; }

    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    TgxPopupCalculator* Calculator() const { return calc_.get(); }
    // Puts the text of the start of editing back (Esc in the calculator).
    void RestoreStartText();

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    std::unique_ptr<TgxPopupCalculator> calc_;
    std::string start_text_;
};

class TgxDBTreeListCalcColumn : public TgxDBTreeListDropDownColumn {
  public:
    using TgxDBTreeListDropDownColumn::TgxDBTreeListDropDownColumn;
    bool BeepOnError() const { return beep_on_error_; }
    void SetBeepOnError(bool value) { beep_on_error_ = value; }
    TgxButtonStyle ButtonStyle() const { return button_style_; }
    void SetButtonStyle(TgxButtonStyle value) { button_style_ = value; }
    int Precision() const { return precision_; }
    void SetPrecision(int value) { precision_ = value; }
    bool ShowButtonFrame() const { return show_button_frame_; }
    void SetShowButtonFrame(bool value) { show_button_frame_ = value; }
    bool QuickClose() const { return quick_close_; }
    void SetQuickClose(bool value) { quick_close_ = value; }
    TgxInplaceEditClass GetEditorClass() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    bool beep_on_error_ = true;
    TgxButtonStyle button_style_ = TgxButtonStyle::bsStandard;
    int precision_ = 13;
    bool show_button_frame_ = false;
    bool quick_close_ = false;
};
using TgxDBGridCalcColumn = TgxDBTreeListCalcColumn;

class TgxInplaceDBTreeListCalcEdit : public TgxInplaceCalcEdit {
  public:
    using TgxInplaceCalcEdit::TgxInplaceCalcEdit;
    TgxButtonStyle GetCalcButtonStyle() override;
    bool GetShowButtonFrame() override;
    int GetPrecision() override;
    bool GetQuickClose() override;
    bool GetReadOnly() override;
    TgxPopupBorder GetPopupBorder() override;
    void DoBeforeDropDown() override;

  private:
    TgxDBTreeListCalcColumn* Column() const;
};

}  // namespace grid
