#include "grid/core/container.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include "platform/ui/application.h"
#include "platform/ui/clock.h"

namespace grid {

using ui::TShiftState;

TCustomgxContainer::TCustomgxContainer(QWidget* parent) : QAbstractScrollArea(parent) {}

TCustomgxContainer::~TCustomgxContainer() = default;

void TCustomgxContainer::SetColor(ui::Color color) {
    if (color_ == color)
        return;
    color_ = color;
    ColorChanged();
}

void TCustomgxContainer::EditKeyDown(std::uint16_t& key, TShiftState shift) {
    if (OnKeyDown)
        OnKeyDown(this, key, shift);
}

void TCustomgxContainer::ContainerKeyDown(std::uint16_t& key, TShiftState shift) {
    if (OnKeyDown)
        OnKeyDown(this, key, shift);
}

void TCustomgxContainer::ContainerKeyPress(char32_t& key) {
    if (OnKeyPress)
        OnKeyPress(this, key);
}

void TCustomgxContainer::ContainerKeyUp(std::uint16_t& key, TShiftState shift) {
    if (OnKeyUp)
        OnKeyUp(this, key, shift);
}

void TCustomgxContainer::ContainerDblClick() {
    if (OnDblClick)
        OnDblClick(this);
}

TgxInplaceEdit::TgxInplaceEdit(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::ClickFocus);  // no tab stop
    QWidget::hide();
}

TgxInplaceEdit::~TgxInplaceEdit() = default;

void TgxInplaceEdit::SetColor(ui::Color color) {
    color_ = color;
    QPalette p = palette();
    p.setColor(QPalette::Base, color.ToQColor());
    p.setColor(QPalette::Window, color.ToQColor());
    setPalette(p);
}

bool TgxInplaceEdit::CanModify() {
    return Container != nullptr && Container->CanEditModify();
}

bool TgxInplaceEdit::GetReadOnly() {
    return Container != nullptr && Container->IsEditReadOnly();
}

void TgxInplaceEdit::DoKillFocus(QWidget* new_focus) {
    if (Container != nullptr && new_focus != Container && new_focus != Container->viewport())
        Container->EditorFocusChanged();
}

void TgxInplaceEdit::GetEditingText(std::string& text) {
    text = windowTitle().toStdString();
}

void TgxInplaceEdit::SetEditingText(const std::string& text) {
    if (CanModify())
        setWindowTitle(QString::fromStdString(text));
}

void TgxInplaceEdit::InitEditValue() {
    Closing = false;
    setWindowTitle(QString());
    // Every colour the raster backing store can show is its own nearest colour.
    SetColor(GetContainerColor());
    if (Container != nullptr)
        font_.Assign(Container->GetEditFont());
    setFont(font_.ToQFont());
}

bool TgxInplaceEdit::IsFlatStyle() {
    return Container != nullptr && Container->IsEditFlatStyle();
}

bool TgxInplaceEdit::IsEditFocused() {
    QWidget* focus = QApplication::focusWidget();
    return focus != nullptr && (focus == this || isAncestorOf(focus));
}

bool TgxInplaceEdit::IsShowButtonAlways() {
    return Container != nullptr && Container->IsShowButtonAlways();
}

bool TgxInplaceEdit::IsPointInside(ui::Point p) {
    return IsButtonAt(p) || (WholeAreaClick && ui::Rect{0, 0, width(), height()}.Contains(p));
}

void TgxInplaceEdit::Show() {
    QWidget::show();
    Shown = true;
}

void TgxInplaceEdit::Hide() {
    Shown = false;
    if (isVisible()) {
        if (Container != nullptr)
            Container->viewport()->update(geometry());
        QWidget::hide();
        setGeometry(0, 0, 0, 0);
    }
}

void TgxInplaceEdit::ShowInRect(const ui::Rect& r) {
    if (r.IsEmpty()) {
        Hide();
        return;
    }
    TBorderStyle style = Container != nullptr ? Container->GetEditBorderStyle() : bsNone;
    SetBorderStyle(style);
    ui::Rect area = style == bsSingle ? r.Inflated(1, 1) : r;
    bool was_shown = Shown;
    setGeometry(area.left, area.top, area.Width(), area.Height());
    SetEditRect();
    Show();
    setFocus(Qt::OtherFocusReason);
    SelectAll();
    if (!was_shown && ShowLock == 0)
        DoFirstShow();
}

int TgxInplaceEdit::GetMinHeight(int font_height) {
    if (Container != nullptr && Container->UseEditMinHeight())
        return std::max(height(), font_height + 20);
    return height();
}

TEditCharCase TgxInplaceEdit::GetContainerCharCase() {
    return Container != nullptr ? Container->GetEditCharCase() : ecNormal;
}

std::string TgxInplaceEdit::GetContainerEditMask() {
    std::string mask;
    if (Container != nullptr)
        Container->GetEditMask(mask);
    return mask;
}

std::string TgxInplaceEdit::GetContainerEditText() {
    std::string text;
    if (Container != nullptr)
        Container->GetEditText(text);
    return text;
}

int TgxInplaceEdit::GetMaxLength() {
    return Container != nullptr ? Container->GetEditMaxLength() : 0;
}

ui::Color TgxInplaceEdit::GetContainerColor() {
    return Container != nullptr ? Container->GetEditColor() : GetColor();
}

void TgxInplaceEdit::EditorKeyDown(std::uint16_t& key, TShiftState shift) {
    if (Container == nullptr)
        return;
    bool alt = (shift & ui::ssAlt) != 0;
    switch (key) {
        case ui::VK_UP:
        case ui::VK_DOWN:
        case ui::VK_PRIOR:
        case ui::VK_NEXT:
        case ui::VK_RETURN:
        case ui::VK_ESCAPE:
            Container->ContainerKeyDown(key, shift);
            key = 0;
            return;
        case ui::VK_TAB:
            if (!alt) {
                Container->ContainerKeyDown(key, shift);
                key = 0;
                return;
            }
            break;
        case ui::VK_INSERT:
            if (shift == 0) {
                Container->ContainerKeyDown(key, shift);
                key = 0;
                return;
            }
            if (shift == ui::ssShift && !Container->CanEditModify())
                key = 0;
            break;
        case ui::VK_F2:
            Container->EditKeyDown(key, shift);
            if (key == ui::VK_F2) {
                MoveCaretToEnd();
                key = 0;
            }
            return;
        case ui::VK_DELETE:
            if (!Container->CanEditModify())
                key = 0;
            break;
        default:
            break;
    }
    if (key != 0)
        Container->EditKeyDown(key, shift);
    if (key != 0)
        DefaultKeyDown(key, shift);
}

void TgxInplaceEdit::EditorKeyPress(char32_t& key) {
    if (Container != nullptr)
        Container->ContainerKeyPress(key);
    // Every printable character is checked, not only the single-byte range.
    bool printable = key >= 32 && key != 127;
    if (printable && Container != nullptr && !Container->IsValidEditChar(key)) {
        key = 0;
        ui::MessageBeep(0);
    }
    if (key == 9 || key == 27)
        key = 0;
    bool modifying = key == 8 || key == 22 || key == 24 || (key >= 32 && key != 127);
    if (modifying && !CanModify())
        key = 0;
}

void TgxInplaceEdit::EditorKeyUp(std::uint16_t& key, TShiftState shift) {
    if (Container != nullptr)
        Container->ContainerKeyUp(key, shift);
}

bool TgxInplaceEdit::LeftButtonDownIsDoubleClick(std::uint32_t time) {
    if (Container == nullptr || !Container->IsImmediateEditor())
        return false;
    bool is_double = ClickTime != 0 && time - ClickTime < ui::Clock().DoubleClickTime();
    ClickTime = 0;
    return is_double;
}

bool TgxInplaceEdit::DropKeys() {
    return Container != nullptr && Container->IsEditColumnChanged();
}

QEvent::Type TgxInplaceEdit::CloseUpEventType() {
    static const auto type =
        static_cast<QEvent::Type>(QEvent::registerEventType(QEvent::User + 0x65));
    return type;
}

bool TgxInplaceEdit::event(QEvent* e) {
    if (e->type() == CloseUpEventType()) {
        ui::Guarded([this] { DoCloseUp(); });
        return true;
    }
    return QWidget::event(e);
}

void TgxInplaceEdit::focusInEvent(QFocusEvent* e) {
    QWidget::focusInEvent(e);
    if (Container != nullptr)
        Container->EditorFocusChanged();
    DoSetFocus();
}

void TgxInplaceEdit::focusOutEvent(QFocusEvent* e) {
    QWidget::focusOutEvent(e);
    DoKillFocus(QApplication::focusWidget());
}

void TgxInplaceEdit::RouteInputOf(QWidget* child) {
    child->installEventFilter(this);
}

bool TgxInplaceEdit::eventFilter(QObject* watched, QEvent* e) {
    bool consumed = false;
    bool handled = ui::Guarded([&] {
        switch (e->type()) {
            case QEvent::KeyPress: {
                if (DropKeys()) {
                    consumed = true;
                    return;
                }
                auto* ke = static_cast<QKeyEvent*>(e);
                std::uint16_t key = ui::VirtualKey(*ke);
                TShiftState shift = ui::ShiftState(*ke);
                if (key != 0) {
                    EditorKeyDown(key, shift);
                    if (key == 0) {
                        consumed = true;
                        return;
                    }
                }
                char32_t ch = ui::KeyChar(*ke);
                if (ch != 0) {
                    EditorKeyPress(ch);
                    if (ch == 0)
                        consumed = true;
                }
                return;
            }
            case QEvent::KeyRelease: {
                auto* ke = static_cast<QKeyEvent*>(e);
                std::uint16_t key = ui::VirtualKey(*ke);
                TShiftState shift = ui::ShiftState(*ke);
                EditorKeyUp(key, shift);
                return;
            }
            case QEvent::InputMethod:
                // Composed input is typing too: refused when the cell may not change.
                if (!CanModify())
                    consumed = true;
                return;
            case QEvent::MouseButtonPress: {
                auto* me = static_cast<QMouseEvent*>(e);
                if (me->button() == Qt::LeftButton &&
                    LeftButtonDownIsDoubleClick(static_cast<std::uint32_t>(me->timestamp()))) {
                    if (Container != nullptr)
                        Container->ContainerDblClick();
                    consumed = true;
                }
                return;
            }
            case QEvent::MouseButtonDblClick: {
                auto* me = static_cast<QMouseEvent*>(e);
                QPoint p = static_cast<QWidget*>(watched)->mapTo(this, me->position().toPoint());
                // A double click on a button is a single press: let it through as one.
                if (!DoubleClickIsPress({p.x(), p.y()}) && Container != nullptr)
                    Container->ContainerDblClick();
                return;
            }
            case QEvent::Wheel:
                if (Container != nullptr) {
                    Container->CancelMode();
                    std::unique_ptr<QEvent> copy(e->clone());
                    QCoreApplication::sendEvent(Container->viewport(), copy.get());
                    consumed = true;
                }
                return;
            case QEvent::FocusIn:
                if (Container != nullptr)
                    Container->EditorFocusChanged();
                DoSetFocus();
                return;
            case QEvent::FocusOut:
                DoKillFocus(QApplication::focusWidget());
                return;
            default:
                return;
        }
    });
    if (!handled)
        return true;
    return consumed || QWidget::eventFilter(watched, e);
}

TgxInplacePopupControl::TgxInplacePopupControl(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
}

TgxInplacePopupControl::~TgxInplacePopupControl() {
    if (qApp != nullptr)
        qApp->removeEventFilter(this);
}

void TgxInplacePopupControl::ClosePopup() {
    qApp->removeEventFilter(this);
    if (isVisible()) {
        hide();
        if (QApplication::activeWindow() != nullptr && OwnerEdit)
            OwnerEdit->setFocus();
    }
    // Posted, so the editor reacts after the popup has hidden; a deleted editor gets nothing.
    if (OwnerEdit)
        QCoreApplication::postEvent(OwnerEdit, new QEvent(TgxInplaceEdit::CloseUpEventType()));
}

void TgxInplacePopupControl::ShowPopup() {
    show();
    raise();
    // Focus stays in the editor; a click anywhere else closes the popup.
    qApp->installEventFilter(this);
}

bool TgxInplacePopupControl::eventFilter(QObject* watched, QEvent* e) {
    if (Popped && e->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
        auto* w = static_cast<QWidget*>(watched);
        bool inside = w == this || isAncestorOf(w) ||
                      (OwnerEdit && (w == OwnerEdit || OwnerEdit->isAncestorOf(w)));
        if (!inside)
            ui::Guarded([this] { ClosePopup(); });
    }
    return QWidget::eventFilter(watched, e);
}

}  // namespace grid
