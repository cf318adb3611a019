#pragma once

// Text measurement behind an interface, so layout arithmetic can be tested with fixed
// numbers and no display.

#include <string_view>

namespace ui {

class TFont;

class TextMetrics {
  public:
    virtual ~TextMetrics() = default;
    virtual int TextWidth(const TFont& font, std::string_view text) const = 0;
    // Ascent plus descent, as GDI's text height.
    virtual int TextHeight(const TFont& font) const = 0;
};

// Measures with Qt's font metrics.
class QtTextMetrics final : public TextMetrics {
  public:
    int TextWidth(const TFont& font, std::string_view text) const override;
    int TextHeight(const TFont& font) const override;
};

// Every character is char_width wide, every line line_height high, whatever the font.
class FixedTextMetrics final : public TextMetrics {
  public:
    FixedTextMetrics(int char_width, int line_height)
        : char_width_(char_width), line_height_(line_height) {}
    int TextWidth(const TFont& font, std::string_view text) const override;
    int TextHeight(const TFont&) const override { return line_height_; }

  private:
    int char_width_;
    int line_height_;
};

// The Qt metrics, shared.
const TextMetrics& DefaultTextMetrics();

}  // namespace ui
