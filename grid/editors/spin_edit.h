#pragma once

// Numeric and time cells: a text editor with up and down buttons that step the value, with
// auto-repeat while a button is held (400 ms to the first repeat, then every 100 ms). The
// time editor steps the section of "hh:nn:ss" at the caret; the currency editor checks
// range and decimals.

#include <cstdint>
#include <memory>
#include <string>

#include "grid/core/inplace_mask_edit.h"
#include "grid/core/inplace_text_edit.h"
#include "grid/data/db_column.h"
#include "platform/ui/timer.h"

namespace grid {

inline constexpr int kSpinFirstRepeat = 400, kSpinRepeat = 100;

// value clamped to min..max, unless the two are equal (no limit).
double ClampSpinValue(double value, double min, double max);

class TgxInplaceSpinEdit : public TgxInplaceMaskEdit {
  public:
    explicit TgxInplaceSpinEdit(QWidget* parent = nullptr);
    ~TgxInplaceSpinEdit() override;

    enum Half : std::uint8_t { hNone, hUp, hDown };

    virtual bool IsValidChar(char32_t key);
    virtual double GetValue();
    virtual void SetValue(double value);
    virtual bool GetEditorEnabled() { return true; }
    virtual int GetValueType() { return 0; }
    virtual double GetIncrement() { return 1.0; }
    virtual double GetMinValue() { return 0.0; }
    virtual double GetMaxValue() { return 0.0; }
    virtual bool GetUseCtrlIncrement() { return false; }
    // Why text cannot be posted as this editor's value; empty when it can.
    virtual std::string ValueError(const std::string& text);

    void InitEditValue() override;
    bool ValidateEdit() override;
    bool NeedsValidation() override { return false; }
    std::string GetEditMask() override { return {}; }
    void GetButtonRect(ui::Rect& r) override;
    bool IsButtonAt(ui::Point p) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyPress(char32_t& key) override;
    void EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) override;

    int ValueType() const { return value_type_; }
    void SetValueType(int type);
    bool UpPressed() const { return up_pressed_; }
    bool DownPressed() const { return down_pressed_; }
    // One step in the direction of the pressed button.
    void Step();
    // The current text, without going through the mask.
    std::string CurrentText() const {
        return Masked ? GetText() : LineEditConst().text().toStdString();
    }
    void SetCurrentText(const std::string& text);

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

  private:
    Half HalfAt(QPoint p);
    void EndTracking();
    void OnRepeat();
    int value_type_ = 0;
    bool capturing_ = false;
    bool up_pressed_ = false;
    bool down_pressed_ = false;
    Half tracked_ = hNone;
    std::unique_ptr<ui::TTimer> timer_;
};

class TgxInplaceTimeEdit : public TgxInplaceSpinEdit {
  public:
    // The mask's blank is the digit 0, so a shown 0 counts as typed and the raw text is kept.
    explicit TgxInplaceTimeEdit(QWidget* parent = nullptr) : TgxInplaceSpinEdit(parent) {
        RawEditText = true;
    }
    bool IsValidChar(char32_t key) override;
    double GetValue() override;
    void SetValue(double value) override;
    double GetIncrement() override;
    std::string ValueError(const std::string& text) override;
    std::string GetEditMask() override { return "00:00:00;1;0"; }
    void InitEditValue() override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    // The letter of "HH:NN:SS" at the caret.
    char SectionAtCaret() const;
};

class TgxInplaceCurrencyEdit : public TgxInplaceTextEdit {
  public:
    using TgxInplaceTextEdit::TgxInplaceTextEdit;
    virtual bool IsValidChar(char32_t key);
    virtual int GetDecimalPlaces() { return 2; }
    virtual double GetMinValue() { return 0.0; }
    virtual double GetMaxValue() { return 0.0; }
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyPress(char32_t& key) override;
    bool ValidateEdit() override;

  private:
    // Pastes only into a cell that may change, and only what reads as a number.
    void PasteNumber();
};

// The limits of the spin and currency columns: the field's own unless set.
class TgxLimitedColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    double MinValue() const;
    void SetMinValue(double value);
    double MaxValue() const;
    void SetMaxValue(double value);
    std::uint8_t LimitFlags() const { return flags_; }
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    double FieldLimit(bool max) const;
    double min_ = 0, max_ = 0;
    std::uint8_t flags_ = 0;
};

class TgxDBTreeListSpinColumn : public TgxLimitedColumn {
  public:
    using TgxLimitedColumn::TgxLimitedColumn;
    bool EditorEnabled() const { return editor_enabled_; }
    void SetEditorEnabled(bool value) { editor_enabled_ = value; }
    double Increment() const { return increment_; }
    void SetIncrement(double value) { increment_ = value; }
    bool UseCtrlIncrement() const { return use_ctrl_increment_; }
    void SetUseCtrlIncrement(bool value) { use_ctrl_increment_ = value; }
    TgxInplaceEditClass GetEditorClass() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    bool editor_enabled_ = true;
    double increment_ = 1.0;
    bool use_ctrl_increment_ = false;
};
using TgxDBGridSpinColumn = TgxDBTreeListSpinColumn;

class TgxDBTreeListTimeColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    bool UseCtrlIncrement() const { return use_ctrl_increment_; }
    void SetUseCtrlIncrement(bool value) { use_ctrl_increment_ = value; }
    TgxInplaceEditClass GetEditorClass() const override;
    std::string GetFieldText(db::TField* field) const override;
    void SetFieldText(db::TField* field, std::string_view text) const override;
    void RestoreDefaults() override;

  private:
    bool use_ctrl_increment_ = false;
};
using TgxDBGridTimeColumn = TgxDBTreeListTimeColumn;

class TgxDBTreeListCurrencyColumn : public TgxLimitedColumn {
  public:
    using TgxLimitedColumn::TgxLimitedColumn;
    unsigned DecimalPlaces() const { return decimal_places_; }
    void SetDecimalPlaces(unsigned value) { decimal_places_ = value; }
    TgxInplaceEditClass GetEditorClass() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    unsigned decimal_places_ = 2;
};
using TgxDBGridCurrencyColumn = TgxDBTreeListCurrencyColumn;

class TgxInplaceDBTreeListSpinEdit : public TgxInplaceSpinEdit {
  public:
    using TgxInplaceSpinEdit::TgxInplaceSpinEdit;
    bool GetEditorEnabled() override;
    int GetValueType() override;
    double GetIncrement() override;
    double GetMinValue() override;
    double GetMaxValue() override;
    bool GetUseCtrlIncrement() override;
    bool GetReadOnly() override;

  private:
    TgxDBTreeListSpinColumn* Column() const;
};

class TgxInplaceDBTreeListTimeEdit : public TgxInplaceTimeEdit {
  public:
    using TgxInplaceTimeEdit::TgxInplaceTimeEdit;
    bool GetUseCtrlIncrement() override;
};

class TgxInplaceDBTreeListCurrencyEdit : public TgxInplaceCurrencyEdit {
  public:
    using TgxInplaceCurrencyEdit::TgxInplaceCurrencyEdit;
    int GetDecimalPlaces() override;
    double GetMinValue() override;
    double GetMaxValue() override;

  private:
    TgxDBTreeListCurrencyColumn* Column() const;
};

}  // namespace grid
