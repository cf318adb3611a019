#include "platform/ui/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace ui {

void SetClipboardText(std::string_view text) {
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

std::string ClipboardText() {
    return QGuiApplication::clipboard()->text().toStdString();
}

std::string JoinLinesCrLf(std::span<const std::string> lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

}  // namespace ui
