#pragma once

// A field's value shown as a check box and toggled in place. The editor holds the cell's
// text, draws the box for it and replaces the text on a toggle; the grid posts that text
// like any edited text.

#include <cstdint>
#include <functional>
#include <string>

#include "grid/core/container.h"
#include "grid/data/db_column.h"

namespace grid {

enum class TgxCheckBoxState : std::uint8_t { cbsUnchecked, cbsChecked, cbsGrayed };
using enum TgxCheckBoxState;
enum class TgxShowNullFieldStyle : std::uint8_t { nsUnchecked, nsInactive, nsGrayedChecked };
using enum TgxShowNullFieldStyle;

// The program-wide defaults of ValueChecked and ValueUnchecked.
std::string& DefaultValueChecked();
std::string& DefaultValueUnchecked();

// Draws the box of a state centred in r.
void DrawCheckBox(QPainter& painter, const QRect& r, TgxCheckBoxState state,
                  TgxShowNullFieldStyle null_style, bool border_3d, bool pressed);

class TgxInplaceCheckEdit : public TgxInplaceEdit {
  public:
    explicit TgxInplaceCheckEdit(QWidget* parent = nullptr);

    virtual ui::Color GetCheckColor() { return GetColor(); }
    virtual TgxCheckBoxState GetCheckState(const std::string&) { return cbsGrayed; }
    virtual bool GetBorder3D() { return false; }
    virtual TgxShowNullFieldStyle GetShowNullFieldStyle() { return nsGrayedChecked; }
    virtual void MoveFocusedColumn(bool) {}
    virtual void Toggle() {}

    TBorderStyle GetBorderStyle() override { return border_style_; }
    void SetBorderStyle(TBorderStyle style) override;
    bool GetReadOnly() override { return read_only_ || TgxInplaceEdit::GetReadOnly(); }
    void SetReadOnly(bool value) override { read_only_ = value; }
    void DoEditorMouseUp() override { Toggle(); }
    void InitEditValue() override;
    void GetEditingText(std::string& text) override { text = text_; }
    void SetEditingText(const std::string& text) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) override;

    const std::string& Text() const { return text_; }
    void SetText(const std::string& text);
    bool Pressed() const { return pressed_; }

  protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

  private:
    std::string text_;
    TBorderStyle border_style_ = bsNone;
    bool read_only_ = false;
    bool tracking_ = false;
    bool pressed_ = false;
};

using TgxToggleEvent =
    std::function<void(TgxDBTreeListColumn* sender, const std::string& text, TgxCheckBoxState)>;

class TgxDBTreeListCheckColumn : public TgxDBGridColumn {
  public:
    explicit TgxDBTreeListCheckColumn(db::TComponent* owner = nullptr);

    bool Border3D() const { return border_3d_; }
    void SetBorder3D(bool value);
    TgxShowNullFieldStyle ShowNullFieldStyle() const { return show_null_field_style_; }
    void SetShowNullFieldStyle(TgxShowNullFieldStyle value);
    const std::string& ValueChecked() const { return value_checked_; }
    void SetValueChecked(std::string_view value);
    const std::string& ValueUnchecked() const { return value_unchecked_; }
    void SetValueUnchecked(std::string_view value);
    TgxToggleEvent OnToggleClick;

    // The state a text stands for, case aside.
    TgxCheckBoxState GetCheckBoxState(const std::string& text) const;
    // The value text of a state.
    std::string GetDisplayValue(TgxCheckBoxState state) const;

    TgxInplaceEditClass GetEditorClass() const override;
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    bool border_3d_ = false;
    TgxShowNullFieldStyle show_null_field_style_ = nsUnchecked;
    std::string value_checked_;
    std::string value_unchecked_;
};

class TgxDBGridCheckColumn : public TgxDBTreeListCheckColumn {
  public:
    using TgxDBTreeListCheckColumn::TgxDBTreeListCheckColumn;
    const std::string& DisplayChecked() const { return display_checked_; }
    void SetDisplayChecked(std::string_view value);
    const std::string& DisplayUnChecked() const { return display_unchecked_; }
    void SetDisplayUnChecked(std::string_view value);
    const std::string& DisplayNull() const { return display_null_; }
    void SetDisplayNull(std::string_view value);

    std::string GetFieldDisplayText() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    std::string display_checked_;
    std::string display_unchecked_;
    std::string display_null_;
};

class TgxInplaceDBTreeListCheckEdit : public TgxInplaceCheckEdit {
  public:
    using TgxInplaceCheckEdit::TgxInplaceCheckEdit;
    ui::Color GetCheckColor() override;
    TgxCheckBoxState GetCheckState(const std::string& text) override;
    bool GetBorder3D() override;
    TgxShowNullFieldStyle GetShowNullFieldStyle() override;
    bool GetReadOnly() override;
    void MoveFocusedColumn(bool to_left) override;
    void Toggle() override;

  private:
    TgxDBTreeListCheckColumn* Column() const;
};

}  // namespace grid
