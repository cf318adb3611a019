#include "support/cursors.h"

namespace support {

QCursor ScreenCursor(int number) {
    switch (number) {
        case crHandCur:
            return QCursor(Qt::PointingHandCursor);
        case crDragCur:
            return QCursor(Qt::ClosedHandCursor);
        default:
            return QCursor(Qt::ArrowCursor);
    }
}

}  // namespace support
