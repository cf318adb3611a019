#pragma once

// The two shared cursors of the screen's cursor table: a pointing hand and a
// dragging hand, entered when the program starts under these numbers.

#include <QCursor>

namespace support {

inline constexpr int crHandCur = 14000;
inline constexpr int crDragCur = 14001;

// The cursor of a number of the screen's table: the two shared cursors, or
// the arrow for a number the table does not hold.
QCursor ScreenCursor(int number);

}  // namespace support
