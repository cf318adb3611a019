#pragma once

// The class library's font object: a few properties plus OnChange, so that an owner
// can repaint or re-lay out when any of them changes.

#include <functional>
#include <string>
#include <string_view>

#include "platform/ui/color.h"

class QFont;

namespace ui {

enum class TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using enum TFontStyle;
using TFontStyles = unsigned;
constexpr TFontStyles operator|(TFontStyle a, TFontStyle b) {
    return static_cast<unsigned>(a) | static_cast<unsigned>(b);
}
constexpr bool HasStyle(TFontStyles set, TFontStyle s) {
    return (set & static_cast<unsigned>(s)) != 0;
}

class TFont {
  public:
    TFont();
    // Copies the properties, not the OnChange handler; fires OnChange once.
    void Assign(const TFont& source);
    bool SameAs(const TFont& other) const;

    const std::string& Name() const { return name_; }
    void SetName(std::string_view name);
    int Size() const { return size_; }  // points
    void SetSize(int size);
    Color GetColor() const { return color_; }
    void SetColor(Color color);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles style);

    QFont ToQFont() const;

    std::function<void()> OnChange;

  private:
    void Changed();
    std::string name_;
    int size_ = 8;
    Color color_ = clWindowText;
    TFontStyles style_ = 0;
};

}  // namespace ui
