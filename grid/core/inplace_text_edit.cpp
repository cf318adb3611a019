#include "grid/core/inplace_text_edit.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QResizeEvent>
#include <QValidator>

#include <algorithm>
#include <functional>
#include <memory>

#include "platform/ui/keys.h"

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

// The edit field stops at its maximum length by itself, but silently, and cuts a paste or a
// drop to what fits. Here text that does not fit is refused whole with a beep, so nothing the
// user typed or pasted is lost without a sign.
class LimitedLineEdit : public QLineEdit {
  public:
    LimitedLineEdit(QWidget* parent, std::function<int()> limit)
        : QLineEdit(parent), limit_(std::move(limit)) {}

  protected:
    void keyPressEvent(QKeyEvent* e) override {
        const bool typed = !e->text().isEmpty() && e->text().at(0).isPrint();
        if (!isReadOnly() && ((e->matches(QKeySequence::Paste) && !Fits(Clipboard())) ||
                              (typed && !Fits(e->text())))) {
            Refuse(e);
            return;
        }
        QLineEdit::keyPressEvent(e);
    }
    void inputMethodEvent(QInputMethodEvent* e) override {
        if (!isReadOnly() && !Fits(e->commitString())) {
            Refuse(e);
            return;
        }
        QLineEdit::inputMethodEvent(e);
    }
    void dropEvent(QDropEvent* e) override {
        // A drag inside the field moves its own text and leaves the length as it is.
        if (!isReadOnly() && e->source() != this && e->mimeData()->hasText() &&
            !Fits(e->mimeData()->text(), false)) {
            e->ignore();
            ui::MessageBeep(0);
            return;
        }
        QLineEdit::dropEvent(e);
    }
    void contextMenuEvent(QContextMenuEvent* e) override {
        std::unique_ptr<QMenu> menu(createStandardContextMenu());
        for (QAction* action : menu->actions())
            if (action->objectName() == QLatin1String("edit-paste")) {
                QObject::disconnect(action, &QAction::triggered, nullptr, nullptr);
                QObject::connect(action, &QAction::triggered, this, [this] {
                    if (Fits(Clipboard()))
                        paste();
                    else
                        ui::MessageBeep(0);
                });
            }
        menu->exec(e->globalPos());
    }

  private:
    static QString Clipboard() { return QGuiApplication::clipboard()->text(); }
    // Whether the text stays within the limit with `inserted` in place of the selection.
    bool Fits(const QString& inserted, bool replaces_selection = true) const {
        const int limit = limit_();
        if (limit <= 0 || inserted.isEmpty())
            return true;
        const qsizetype kept =
            text().size() - (replaces_selection ? selectedText().size() : qsizetype{0});
        return kept + inserted.size() <= limit;
    }
    static void Refuse(QEvent* e) {
        e->accept();
        ui::MessageBeep(0);
    }

    std::function<int()> limit_;
};

}  // namespace

TgxInplaceTextEdit::TgxInplaceTextEdit(QWidget* parent)
    : TgxInplaceEdit(parent),
      edit_(new LimitedLineEdit(this, [this] { return Masked ? 0 : max_length_; })) {
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
    else  // a mask may have shortened the field for another cell; the start text must fit
        edit_->setMaxLength(max_length_ > 0 ? max_length_ : 32767);
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
