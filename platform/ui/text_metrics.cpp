#include "platform/ui/text_metrics.h"

#include <QFontMetrics>

#include "platform/ui/font.h"

namespace ui {

int QtTextMetrics::TextWidth(const TFont& font, std::string_view text) const {
    QFontMetrics metrics(font.ToQFont());
    return metrics.horizontalAdvance(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

int QtTextMetrics::TextHeight(const TFont& font) const {
    return QFontMetrics(font.ToQFont()).height();
}

int FixedTextMetrics::TextWidth(const TFont&, std::string_view text) const {
    // Count code points, not bytes, so UTF-8 text measures like the real thing.
    int count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count * char_width_;
}

const TextMetrics& DefaultTextMetrics() {
    static const QtTextMetrics metrics;
    return metrics;
}

}  // namespace ui
