#include "platform/ui/font.h"

#include <QFont>

namespace ui {

TFont::TFont() : name_("DejaVu Sans") {}

void TFont::Assign(const TFont& source) {
    name_ = source.name_;
    size_ = source.size_;
    color_ = source.color_;
    style_ = source.style_;
    Changed();
}

bool TFont::SameAs(const TFont& other) const {
    return name_ == other.name_ && size_ == other.size_ && color_ == other.color_ &&
           style_ == other.style_;
}

void TFont::SetName(std::string_view name) {
    if (name_ == name)
        return;
    name_ = name;
    Changed();
}

void TFont::SetSize(int size) {
    if (size_ == size)
        return;
    size_ = size;
    Changed();
}

void TFont::SetColor(Color color) {
    if (color_ == color)
        return;
    color_ = color;
    Changed();
}

void TFont::SetStyle(TFontStyles style) {
    if (style_ == style)
        return;
    style_ = style;
    Changed();
}

QFont TFont::ToQFont() const {
    QFont font(QString::fromStdString(name_));
    font.setPointSize(size_ > 0 ? size_ : 8);
    font.setBold(HasStyle(style_, fsBold));
    font.setItalic(HasStyle(style_, fsItalic));
    font.setUnderline(HasStyle(style_, fsUnderline));
    font.setStrikeOut(HasStyle(style_, fsStrikeOut));
    return font;
}

void TFont::Changed() {
    if (OnChange)
        OnChange();
}

}  // namespace ui
