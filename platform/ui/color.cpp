#include "platform/ui/color.h"

#include <QColor>

namespace ui {

std::uint32_t Color::ToRgb() const {
    return ToRgbConst();
}

QColor Color::ToQColor() const {
    return QColor(Red(), Green(), Blue());
}

Color Color::FromQColor(const QColor& c) {
    return Rgb(c.red(), c.green(), c.blue());
}

}  // namespace ui
