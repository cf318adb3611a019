#include "platform/ui/keys.h"

#include <QKeyEvent>

#include <atomic>

namespace ui {
namespace {
std::atomic<int> beeps{0};
}

std::uint16_t VirtualKey(const QKeyEvent& event) {
    int key = event.key();
    switch (key) {
        case Qt::Key_Backspace:
            return VK_BACK;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return VK_TAB;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return VK_RETURN;
        case Qt::Key_Shift:
            return VK_SHIFT;
        case Qt::Key_Control:
            return VK_CONTROL;
        case Qt::Key_Alt:
            return VK_MENU;
        case Qt::Key_Escape:
            return VK_ESCAPE;
        case Qt::Key_Space:
            return VK_SPACE;
        case Qt::Key_PageUp:
            return VK_PRIOR;
        case Qt::Key_PageDown:
            return VK_NEXT;
        case Qt::Key_End:
            return VK_END;
        case Qt::Key_Home:
            return VK_HOME;
        case Qt::Key_Left:
            return VK_LEFT;
        case Qt::Key_Up:
            return VK_UP;
        case Qt::Key_Right:
            return VK_RIGHT;
        case Qt::Key_Down:
            return VK_DOWN;
        case Qt::Key_Insert:
            return VK_INSERT;
        case Qt::Key_Delete:
            return VK_DELETE;
        default:
            break;
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return static_cast<std::uint16_t>(112 + (key - Qt::Key_F1));
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return static_cast<std::uint16_t>(key);
    if (event.modifiers() & Qt::KeypadModifier) {
        if (key == Qt::Key_Plus)
            return VK_ADD;
        if (key == Qt::Key_Minus)
            return VK_SUBTRACT;
        if (key == Qt::Key_Asterisk)
            return VK_MULTIPLY;
    }
    return 0;
}

TShiftState ShiftState(const QKeyEvent& event) {
    TShiftState s = 0;
    Qt::KeyboardModifiers m = event.modifiers();
    if (m & Qt::ShiftModifier)
        s |= ssShift;
    if (m & Qt::AltModifier)
        s |= ssAlt;
    if (m & Qt::ControlModifier)
        s |= ssCtrl;
    return s;
}

char32_t KeyChar(const QKeyEvent& event) {
    int key = event.key();
    if (event.modifiers() & Qt::ControlModifier) {
        if (key == Qt::Key_C)
            return 3;
        if (key == Qt::Key_V)
            return 22;
        if (key == Qt::Key_X)
            return 24;
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            return static_cast<char32_t>(key - Qt::Key_A + 1);
    }
    switch (key) {
        case Qt::Key_Tab:
            return 9;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Escape:
            return 27;
        case Qt::Key_Backspace:
            return 8;
        default:
            break;
    }
    QString text = event.text();
    if (text.isEmpty())
        return 0;
    char32_t c = text.toUcs4().value(0);
    return c;
}

void MessageBeep(unsigned) {
    ++beeps;
}
int BeepCount() {
    return beeps.load();
}

}  // namespace ui
