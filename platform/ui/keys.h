#pragma once

// Virtual key codes and shift states as the class library's key events carry them, and
// the mapping from Qt's key events.

#include <cstdint>

class QKeyEvent;

namespace ui {

using TShiftState = unsigned;
inline constexpr TShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16,
                             ssMiddle = 32, ssDouble = 64;

inline constexpr std::uint16_t VK_BACK = 8, VK_TAB = 9, VK_RETURN = 13, VK_SHIFT = 16,
                               VK_CONTROL = 17, VK_MENU = 18, VK_ESCAPE = 27, VK_SPACE = 32,
                               VK_PRIOR = 33, VK_NEXT = 34, VK_END = 35, VK_HOME = 36, VK_LEFT = 37,
                               VK_UP = 38, VK_RIGHT = 39, VK_DOWN = 40, VK_INSERT = 45,
                               VK_DELETE = 46, VK_ADD = 107, VK_SUBTRACT = 109, VK_MULTIPLY = 106,
                               VK_F2 = 113;

// The virtual key of a Qt key event (0 when it has none) and its shift state.
std::uint16_t VirtualKey(const QKeyEvent& event);
TShiftState ShiftState(const QKeyEvent& event);
// The character a key press delivers: Ctrl+C/V/X as 3/22/24, Tab 9, Enter 13, Escape 27,
// Backspace 8; 0 for none.
char32_t KeyChar(const QKeyEvent& event);

// Stands for MessageBeep: counts instead of sounding, so tests can check it.
void MessageBeep(unsigned type = 0);
int BeepCount();

}  // namespace ui
