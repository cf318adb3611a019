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
    QLineEdit& LineEdit() { return *edit_; }
    const QLineEdit& LineEditConst() const { return *edit_; }

  protected:
    void resizeEvent(QResizeEvent* e) override;

  private:
    QLineEdit* edit_;  // child widget, owned by Qt parentage
    TBorderStyle border_style_ = bsNone;
};

}  // namespace grid
