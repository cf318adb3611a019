#pragma once

// UTF-8 text to and from Qt's strings, at the one place the widgets are called.

#include <QString>

#include <string>
#include <string_view>

namespace ui {

inline QString ToQ(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQ(const QString& text) {
    QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace ui
