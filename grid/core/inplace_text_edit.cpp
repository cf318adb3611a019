#include "grid/core/inplace_text_edit.h"

#include <QResizeEvent>
#include <QValidator>

#include <algorithm>

namespace grid {
namespace {

// Converts what is typed or pasted to one case, as the edit field's case styles do.
class CaseValidator : public QValidator {
  public:
    CaseValidator(TEditCharCase char_case, QObject* parent)
        : QValidator(parent), char_case_(char_case) {}
    State validate(QString& input, int&) const override {
        input = char_case_ == ecUpperCase ? input.toUpper() : input.toLower();
        return Acceptable;
    }

  private:
    TEditCharCase char_case_;
};

}  // namespace

TgxInplaceTextEdit::TgxInplaceTextEdit(QWidget* parent)
    : TgxInplaceEdit(parent), edit_(new QLineEdit(this)) {
    edit_->setFrame(false);
    setFocusProxy(edit_);
    RouteInputOf(edit_);
    QObject::connect(edit_, &QLineEdit::textEdited, this, [this] { modified_ = true; });
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
    if (max_length != max_length_)
        DoSetMaxLength(max_length);
    SetCharCase(GetContainerCharCase());
    StartText = GetContainerEditText();
    modified_ = false;
    edit_->setText(QString::fromStdString(StartText));
    // Read-only also blocks paste, cut and composed input of the line edit itself.
    edit_->setReadOnly(!CanModify() || GetReadOnly());
}

void TgxInplaceTextEdit::DoSetMaxLength(int length) {
    max_length_ = std::max(0, length);
    edit_->setMaxLength(max_length_ > 0 ? max_length_ : 32767);
}

void TgxInplaceTextEdit::SetPasswordChar(char32_t c) {
    password_char_ = c;
    edit_->setEchoMode(c != 0 ? QLineEdit::Password : QLineEdit::Normal);
}

void TgxInplaceTextEdit::SetCharCase(TEditCharCase value) {
    if (value == char_case_)
        return;
    char_case_ = value;
    delete edit_->validator();
    edit_->setValidator(value == ecNormal ? nullptr : new CaseValidator(value, edit_));
}

int TgxInplaceTextEdit::GetSelStart() const {
    return edit_->hasSelectedText() ? edit_->selectionStart() : edit_->cursorPosition();
}

void TgxInplaceTextEdit::SetSelLength(int length) {
    int start = GetSelStart();
    edit_->setSelection(start, length);
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
