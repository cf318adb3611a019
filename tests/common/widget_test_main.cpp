#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

#include <cstdlib>
#include <ctime>

#include "platform/ui/application.h"

// Widget suites need a QApplication; the environment, style and font are fixed before Qt
// starts, so no test depends on the machine it runs on.
int main(int argc, char** argv) {
    setenv("TZ", "UTC", 1);
    setenv("LANG", "C.UTF-8", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QT_SCALE_FACTOR", "1", 1);
    tzset();
    ui::TApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setFont(QFont("DejaVu Sans", 8));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
