#include "grid/core/inplace_text_edit.h"

#include <QResizeEvent>

namespace grid {

TgxInplaceTextEdit::TgxInplaceTextEdit(QWidget* parent)
    : TgxInplaceEdit(parent), edit_(new QLineEdit(this)) {
    edit_->setFrame(false);
    setFocusProxy(edit_);
    RouteInputOf(edit_);
}

void TgxInplaceTextEdit::SetBorderStyle(TBorderStyle style) {
    border_style_ = style;
    edit_->setFrame(style == bsSingle);
}

void TgxInplaceTextEdit::SetEditingText(const std::string& text) {
    if (CanModify())
        edit_->setText(QString::fromStdString(text));
}

void TgxInplaceTextEdit::InitEditValue() {
    TgxInplaceEdit::InitEditValue();
    edit_->setFont(Font().ToQFont());
    edit_->setPalette(palette());
    int max_length = GetMaxLength();
    edit_->setMaxLength(max_length > 0 ? max_length : 32767);
    StartText = GetContainerEditText();
    edit_->setText(QString::fromStdString(StartText));
    // Read-only also blocks paste, cut and composed input of the line edit itself.
    edit_->setReadOnly(!CanModify() || GetReadOnly());
}

void TgxInplaceTextEdit::RestoreText() {
    edit_->setText(QString::fromStdString(StartText));
}

void TgxInplaceTextEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_ESCAPE)
        RestoreText();
    TgxInplaceEdit::EditorKeyDown(key, shift);
}

void TgxInplaceTextEdit::resizeEvent(QResizeEvent* e) {
    TgxInplaceEdit::resizeEvent(e);
    edit_->setGeometry(0, 0, width(), height());
}

}  // namespace grid
