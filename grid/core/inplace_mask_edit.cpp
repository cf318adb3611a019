#include "grid/core/inplace_mask_edit.h"

#include <QEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMouseEvent>

#include <algorithm>

#include "platform/db/format_settings.h"
#include "platform/ui/application.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"

namespace grid {
namespace {

constexpr std::string_view kInvalidInputAbandon =
    "Invalid input value.  Use escape key to abandon changes";

std::u32string ToU32(const std::string& s) {
    return QString::fromStdString(s).toStdU32String();
}

std::string FromU32(std::u32string_view s) {
    return QString::fromStdU32String(std::u32string(s)).toStdString();
}

char32_t Separator(char c, char32_t fallback) {
    return c != 0 ? static_cast<char32_t>(static_cast<unsigned char>(c)) : fallback;
}

}  // namespace

TgxInplaceMaskEdit::TgxInplaceMaskEdit(QWidget* parent) : TgxInplaceTextEdit(parent) {}

std::u32string TgxInplaceMaskEdit::DisplayText() const {
    return LineEditConst().text().toStdU32String();
}

int TgxInplaceMaskEdit::CaretPos() const {
    return LineEditConst().cursorPosition();
}

void TgxInplaceMaskEdit::GetSel(int& start, int& end) const {
    const QLineEdit& e = LineEditConst();
    if (e.hasSelectedText()) {
        start = e.selectionStart();
        end = start + static_cast<int>(e.selectedText().size());
    } else {
        start = end = e.cursorPosition();
    }
}

TMaskFill TgxInplaceMaskEdit::Filled() const {
    std::u32string display = DisplayText();
    return display == filled_for_ ? filled_ : mask_.FillOf(display);
}

void TgxInplaceMaskEdit::SetDisplay(const std::u32string& display, int caret, TMaskFill filled) {
    filled_ = std::move(filled);
    filled_for_ = display;
    LineEdit().setText(QString::fromStdU32String(display));
    PlaceCaret(caret);
}

void TgxInplaceMaskEdit::RememberOldValue() {
    OldValue = DisplayText();
    old_filled_ = Filled();
    old_filled_for_ = OldValue;
}

void TgxInplaceMaskEdit::PlaceCaret(int pos, bool extend) {
    // The caret never rests on a literal, nor past the last position.
    pos = std::clamp(pos, 0, std::max(0, MaxChars()));
    int next = mask_.NextEditPos(pos);
    if (next < MaxChars())
        pos = next;
    else if (pos >= MaxChars())
        pos = MaxChars();
    QLineEdit& e = LineEdit();
    if (extend) {
        int anchor = e.hasSelectedText()
                         ? (e.cursorPosition() == e.selectionStart()
                                ? e.selectionStart() + static_cast<int>(e.selectedText().size())
                                : e.selectionStart())
                         : e.cursorPosition();
        e.setSelection(anchor, pos - anchor);
    } else {
        e.setCursorPosition(pos);
    }
}

void TgxInplaceMaskEdit::SetText(const std::string& value) {
    if (!Masked) {
        LineEdit().setText(QString::fromStdString(value));
        return;
    }
    TMaskFill filled;
    std::u32string display = mask_.Format(ToU32(value), &filled);
    SetDisplay(display, 0, std::move(filled));
}

std::string TgxInplaceMaskEdit::GetText() const {
    if (!Masked)
        return LineEditConst().text().toStdString();
    return FromU32(mask_.Extract(DisplayText(), Filled()));
}

void TgxInplaceMaskEdit::InitEditValue() {
    TgxInplaceTextEdit::InitEditValue();
    EditMask = GetEditMask();
    const db::TFormatSettings& format = db::FormatSettings();
    mask_ = TEditMask(ToU32(EditMask), Separator(format.DateSeparator, U'/'),
                      Separator(format.TimeSeparator, U':'));
    Masked = !mask_.Empty();
    modified_ = false;
    reentering_ = false;
    if (Masked) {
        MaskBlank = mask_.Blank();
        LineEdit().setMaxLength(std::max(1, MaxChars()));
        // Pasting, dropping and editing go through the mask only.
        LineEdit().setContextMenuPolicy(Qt::NoContextMenu);
        LineEdit().setAcceptDrops(false);
        TMaskFill filled;
        std::u32string display = mask_.Format(ToU32(StartText), &filled);
        SetDisplay(display, 0, std::move(filled));
    } else {
        LineEdit().setContextMenuPolicy(Qt::DefaultContextMenu);
        LineEdit().setAcceptDrops(true);
    }
    RememberOldValue();
}

void TgxInplaceMaskEdit::RestoreText() {
    if (!Masked) {
        TgxInplaceTextEdit::RestoreText();
        return;
    }
    if (!modified_)
        return;
    SetDisplay(OldValue, 0, OldValue == old_filled_for_ ? old_filled_ : mask_.FillOf(OldValue));
    modified_ = false;
}

bool TgxInplaceMaskEdit::ValidateEdit() {
    if (!Masked || !modified_)
        return true;
    int bad = mask_.Validate(DisplayText(), Filled(), RawEditText);
    if (bad < 0)
        return true;
    if (Closing) {
        RestoreText();
        return true;
    }
    reentering_ = true;
    if (isVisible())
        LineEdit().setFocus();
    PlaceCaret(bad);
    ui::MessageBeep(0);
    ui::ShowException(kInvalidInputAbandon);
    return false;
}

void TgxInplaceMaskEdit::GetEditingText(std::string& text) {
    if (RawEditText) {
        text = LineEdit().text().toStdString();
        return;
    }
    if (Masked && mask_.AllBlank(Filled())) {
        text.clear();
        return;
    }
    text = GetText();
}

void TgxInplaceMaskEdit::DeleteSelection(bool backspace) {
    int start = 0, end = 0;
    GetSel(start, end);
    if (start == end) {
        if (backspace) {
            start = mask_.PrevEditPos(start);
            if (start < 0)
                return;
        }
        end = start + 1;
    }
    TMaskFill filled = Filled();
    std::u32string display = mask_.Clear(DisplayText(), start, end, &filled);
    bool single = end - start == 1;
    SetDisplay(display, start, std::move(filled));
    if (single && backspace)
        LineEdit().setCursorPosition(start);
    modified_ = true;
}

void TgxInplaceMaskEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (!Masked) {
        TgxInplaceTextEdit::EditorKeyDown(key, shift);
        return;
    }
    const bool alt = (shift & ui::ssAlt) != 0;
    const bool with_shift = (shift & ui::ssShift) != 0;
    // Shift+Insert and Shift+Delete paste and cut through the mask, as Ctrl+V and Ctrl+X do.
    if (shift == ui::ssShift && (key == ui::VK_INSERT || key == ui::VK_DELETE)) {
        if (CanModify() && !GetReadOnly()) {
            if (key == ui::VK_INSERT)
                PasteFromClipboard();
            else
                CutToClipboard();
        }
        key = 0;
        return;
    }
    switch (key) {
        case ui::VK_TAB:
        case ui::VK_RETURN:
        case ui::VK_ESCAPE:
        case ui::VK_PRIOR:
        case ui::VK_NEXT:
        case ui::VK_UP:
        case ui::VK_DOWN:
        case ui::VK_INSERT:
            if (key == ui::VK_ESCAPE) {
                RestoreText();
            } else if ((key != ui::VK_INSERT || shift == 0) && !ValidateEdit()) {
                key = 0;
                return;
            }
            TgxInplaceTextEdit::EditorKeyDown(key, shift);
            return;
        default:
            break;
    }
    if (alt) {
        TgxInplaceTextEdit::EditorKeyDown(key, shift);
        return;
    }
    switch (key) {
        case ui::VK_HOME:
            PlaceCaret(0, with_shift);
            key = 0;
            return;
        case ui::VK_END:
            PlaceCaret(MaxChars(), with_shift);
            key = 0;
            return;
        case ui::VK_LEFT: {
            int prev = mask_.PrevEditPos(CaretPos());
            LineEdit().cursorBackward(with_shift, CaretPos() - std::max(0, prev));
            key = 0;
            return;
        }
        case ui::VK_RIGHT: {
            int next = std::min(MaxChars(), mask_.NextEditPos(CaretPos() + 1));
            LineEdit().cursorForward(with_shift, next - CaretPos());
            key = 0;
            return;
        }
        case ui::VK_DELETE:
        case ui::VK_BACK:
            // Ctrl+Delete deletes as Delete does: a word deleted past the mask would take
            // its literals along.
            if (CanModify() && !GetReadOnly())
                DeleteSelection(key == ui::VK_BACK);
            key = 0;
            return;
        default:
            TgxInplaceTextEdit::EditorKeyDown(key, shift);
            return;
    }
}

void TgxInplaceMaskEdit::EditorKeyPress(char32_t& key) {
    if (!Masked) {
        TgxInplaceTextEdit::EditorKeyPress(key);
        return;
    }
    if (key == 3)
        return;  // copying needs no mask
    if (key == 22 || key == 24) {
        if (CanModify() && !GetReadOnly()) {
            if (key == 22)
                PasteFromClipboard();
            else
                CutToClipboard();
        }
        key = 0;
        return;
    }
    TgxInplaceTextEdit::EditorKeyPress(key);
    if (key == 0)
        return;
    if (key < 32 || key == 127 || !CanModify() || GetReadOnly()) {
        key = 0;
        return;
    }
    int start = 0, end = 0;
    GetSel(start, end);
    std::u32string display = DisplayText();
    TMaskFill filled = Filled();
    if (end - start > 1) {
        display = mask_.Clear(display, start, end, &filled);
        start = mask_.NextEditPos(start);
    }
    std::u32string typed = display;
    TMaskFill typed_filled = filled;
    int after = mask_.Type(typed, start, std::u32string(1, key), &typed_filled);
    // Typing the character a position already shows still fills it.
    const bool changed = typed != display || typed_filled != filled;
    if (changed || after != start) {
        SetDisplay(typed, after, std::move(typed_filled));
        modified_ = modified_ || changed;
    } else {
        ui::MessageBeep(0);
    }
    key = 0;
}

void TgxInplaceMaskEdit::EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) {
    TgxInplaceTextEdit::EditorKeyUp(key, shift);
    if (Masked && (key == ui::VK_LEFT || key == ui::VK_RIGHT) && (shift & ui::ssCtrl) != 0 &&
        !LineEdit().hasSelectedText())
        PlaceCaret(CaretPos());
}

void TgxInplaceMaskEdit::CutToClipboard() {
    int start = 0, end = 0;
    GetSel(start, end);
    if (start == end)
        return;
    ui::SetClipboardText(LineEdit().selectedText().toStdString());
    DeleteSelection(false);
}

void TgxInplaceMaskEdit::PasteFromClipboard() {
    int start = 0, end = 0;
    GetSel(start, end);
    RememberOldValue();
    TMaskFill filled = Filled();
    std::u32string display = mask_.Clear(OldValue, start, end, &filled);
    int after = mask_.Type(display, start, ToU32(ui::ClipboardText()), &filled);
    SetDisplay(display, after, std::move(filled));
    modified_ = true;
    ValidateEdit();
}

void TgxInplaceMaskEdit::ClearText() {
    if (!CanModify() || GetReadOnly())
        return;
    RememberOldValue();
    SetDisplay(mask_.BlankText(), 0, TMaskFill(static_cast<std::size_t>(MaxChars()), false));
    modified_ = true;
}

bool TgxInplaceMaskEdit::eventFilter(QObject* watched, QEvent* e) {
    if (watched == &LineEdit() && Masked) {
        switch (e->type()) {
            case QEvent::MouseButtonRelease:
                if (!LineEdit().hasSelectedText())
                    ui::Guarded([this] { PlaceCaret(CaretPos()); });
                break;
            case QEvent::FocusIn:
                if (!reentering_)
                    RememberOldValue();
                reentering_ = false;
                ui::Guarded([this] { PlaceCaret(CaretPos()); });
                break;
            case QEvent::InputMethod: {
                // Composed text is typed through the mask like keys.
                auto* im = static_cast<QInputMethodEvent*>(e);
                if (!CanModify() || GetReadOnly())
                    return true;
                std::u32string text = im->commitString().toStdU32String();
                ui::Guarded([&] {
                    for (char32_t ch : text) {
                        char32_t key = ch;
                        EditorKeyPress(key);
                    }
                });
                return true;
            }
            default:
                break;
        }
    }
    return TgxInplaceTextEdit::eventFilter(watched, e);
}

}  // namespace grid
