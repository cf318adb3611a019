#include "platform/ui/screen.h"

#include <QGuiApplication>
#include <QScreen>

namespace ui {

int ScreenPixelsPerInch() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            return static_cast<int>(screen->logicalDotsPerInch());
    }
    return 96;
}

}  // namespace ui
