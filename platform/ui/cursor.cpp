#include "platform/ui/cursor.h"

#include <QApplication>

namespace ui {

THourglass::THourglass()
    : active_(qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) {
    if (active_)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

THourglass::~THourglass() {
    if (active_)
        QApplication::restoreOverrideCursor();
}

}  // namespace ui
