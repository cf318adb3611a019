#pragma once

// The plain text editor the tree list opens in a cell: one line edit filling the editor.

#include <QLineEdit>

#include "grid/core/container.h"

namespace grid {

class TgxInplaceTextEdit : public TgxInplaceEdit {
  public:
    explicit TgxInplaceTextEdit(QWidget* parent = nullptr);

    TBorderStyle GetBorderStyle() override { return border_style_; }
    void SetBorderStyle(TBorderStyle style) override;
    void SetReadOnly(bool value) override { edit_->setReadOnly(value); }
    void MoveCaretToEnd() override { edit_->end(false); }
    void SelectAll() override { edit_->selectAll(); }
    void GetEditingText(std::string& text) override { text = edit_->text().toStdString(); }
    void SetEditingText(const std::string& text) override;
    void InitEditValue() override;
    bool IsTextEdit() override { return true; }
    // Escape puts the start text back before the grid sees the key.
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    virtual void RestoreText();
    // The text the editor started with.
    std::string StartText;
    // 0: no limit. Unless masked, text past it is refused whole with a beep, never cut.
    int MaxLength() const { return max_length_; }
    virtual void DoSetMaxLength(int length);
    // A password character hides what is typed (0: none).
    char32_t PasswordChar() const { return password_char_; }
    void SetPasswordChar(char32_t c);
    TEditCharCase CharCase() const { return char_case_; }
    void SetCharCase(TEditCharCase value);
    bool Modified() const { return modified_; }
    int GetSelStart() const;
    void SetSelStart(int pos) { edit_->setCursorPosition(pos); }
    int GetSelLength() const { return static_cast<int>(edit_->selectedText().size()); }
    void SetSelLength(int length);
    std::string GetSelText() const { return edit_->selectedText().toStdString(); }
    // The window is an edit field; kinds without one answer false.
    virtual bool UseEditWindow() const { return true; }
    QLineEdit& LineEdit() { return *edit_; }
    const QLineEdit& LineEditConst() const { return *edit_; }

  protected:
    void resizeEvent(QResizeEvent* e) override;

  private:
    QLineEdit* edit_;  // child widget, owned by Qt parentage
    TBorderStyle border_style_ = bsNone;
    int max_length_ = 0;
    char32_t password_char_ = 0;
    TEditCharCase char_case_ = ecNormal;
    bool modified_ = false;
};

}  // namespace grid
