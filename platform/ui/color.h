#pragma once

// Colours as the class library stores them: an RGB value (0x00BBGGRR), a system colour
// (0x80000000 | index) resolved through one fixed table, or the sentinel clNone.
// The fixed table keeps painting tests and exported palettes deterministic whatever
// the desktop's theme is.

#include <cstdint>
#include <iterator>

class QColor;

namespace ui {

class Color {
  public:
    constexpr Color() = default;
    constexpr explicit Color(std::int32_t value) : value_(value) {}
    static constexpr Color Rgb(int r, int g, int b) {
        return Color(
            static_cast<std::int32_t>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16)));
    }
    static constexpr Color System(int index) {
        return Color(static_cast<std::int32_t>(0x80000000u | static_cast<unsigned>(index)));
    }

    // The stored value, as streamed and compared.
    constexpr std::int32_t Value() const { return value_; }
    constexpr bool IsSystem() const { return value_ < 0; }
    constexpr bool IsNone() const;
    // 0x00BBGGRR: system colours through the fixed table; clNone gives black.
    std::uint32_t ToRgb() const;
    QColor ToQColor() const;
    static Color FromQColor(const QColor& c);

    constexpr int Red() const { return static_cast<int>(ToRgbConst() & 0xFF); }
    constexpr int Green() const { return static_cast<int>((ToRgbConst() >> 8) & 0xFF); }
    constexpr int Blue() const { return static_cast<int>((ToRgbConst() >> 16) & 0xFF); }

    constexpr bool operator==(const Color&) const = default;

  private:
    constexpr std::uint32_t ToRgbConst() const;
    std::int32_t value_ = 0;
};

using TColor = Color;

// The sentinel "no colour / use the default" (536870911). Both names stand for it.
inline constexpr Color clNone{0x1FFFFFFF};
inline constexpr Color clDefault = clNone;

inline constexpr Color clBlack = Color::Rgb(0, 0, 0);
inline constexpr Color clMaroon = Color::Rgb(128, 0, 0);
inline constexpr Color clGreen = Color::Rgb(0, 128, 0);
inline constexpr Color clOlive = Color::Rgb(128, 128, 0);
inline constexpr Color clNavy = Color::Rgb(0, 0, 128);
inline constexpr Color clPurple = Color::Rgb(128, 0, 128);
inline constexpr Color clTeal = Color::Rgb(0, 128, 128);
inline constexpr Color clGray = Color::Rgb(128, 128, 128);
inline constexpr Color clSilver = Color::Rgb(192, 192, 192);
inline constexpr Color clRed = Color::Rgb(255, 0, 0);
inline constexpr Color clLime = Color::Rgb(0, 255, 0);
inline constexpr Color clYellow = Color::Rgb(255, 255, 0);
inline constexpr Color clBlue = Color::Rgb(0, 0, 255);
inline constexpr Color clFuchsia = Color::Rgb(255, 0, 255);
inline constexpr Color clAqua = Color::Rgb(0, 255, 255);
inline constexpr Color clWhite = Color::Rgb(255, 255, 255);

inline constexpr Color clScrollBar = Color::System(0);
inline constexpr Color clBackground = Color::System(1);
inline constexpr Color clActiveCaption = Color::System(2);
inline constexpr Color clInactiveCaption = Color::System(3);
inline constexpr Color clMenu = Color::System(4);
inline constexpr Color clWindow = Color::System(5);
inline constexpr Color clWindowFrame = Color::System(6);
inline constexpr Color clMenuText = Color::System(7);
inline constexpr Color clWindowText = Color::System(8);
inline constexpr Color clCaptionText = Color::System(9);
inline constexpr Color clActiveBorder = Color::System(10);
inline constexpr Color clInactiveBorder = Color::System(11);
inline constexpr Color clAppWorkSpace = Color::System(12);
inline constexpr Color clHighlight = Color::System(13);
inline constexpr Color clHighlightText = Color::System(14);
inline constexpr Color clBtnFace = Color::System(15);
inline constexpr Color clBtnShadow = Color::System(16);
inline constexpr Color clGrayText = Color::System(17);
inline constexpr Color clBtnText = Color::System(18);
inline constexpr Color clInactiveCaptionText = Color::System(19);
inline constexpr Color clBtnHighlight = Color::System(20);
inline constexpr Color cl3DDkShadow = Color::System(21);
inline constexpr Color cl3DLight = Color::System(22);
inline constexpr Color clInfoText = Color::System(23);
inline constexpr Color clInfoBk = Color::System(24);

// The fixed system colour table (the classic Windows scheme), 0x00BBGGRR per index.
inline constexpr std::uint32_t kSystemColors[] = {
    0xC8D0D4,  // 0 scroll bar
    0xA56E3A,  // 1 desktop
    0x6A240A,  // 2 active caption
    0x808080,  // 3 inactive caption
    0xC8D0D4,  // 4 menu
    0xFFFFFF,  // 5 window
    0x000000,  // 6 window frame
    0x000000,  // 7 menu text
    0x000000,  // 8 window text
    0xFFFFFF,  // 9 caption text
    0xC8D0D4,  // 10 active border
    0xC8D0D4,  // 11 inactive border
    0x808080,  // 12 application workspace
    0x6A240A,  // 13 highlight
    0xFFFFFF,  // 14 highlight text
    0xC8D0D4,  // 15 button face
    0x808080,  // 16 button shadow
    0x808080,  // 17 grey text
    0x000000,  // 18 button text
    0xC8D0D4,  // 19 inactive caption text
    0xFFFFFF,  // 20 button highlight
    0x404040,  // 21 3-D dark shadow
    0xC8D0D4,  // 22 3-D light
    0x000000,  // 23 tooltip text
    0xE1FFFF,  // 24 tooltip background
};

constexpr bool Color::IsNone() const {
    return value_ == 0x1FFFFFFF;
}

constexpr std::uint32_t Color::ToRgbConst() const {
    if (IsSystem()) {
        unsigned index = static_cast<unsigned>(value_) & 0xFFu;
        return index < std::size(kSystemColors) ? kSystemColors[index] : 0;
    }
    if (IsNone())
        return 0;
    return static_cast<std::uint32_t>(value_) & 0xFFFFFFu;
}

}  // namespace ui
