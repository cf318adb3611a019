#pragma once

// `TExtPageControl`: a page control that draws its own tabs, in colours and
// fonts of their own for the active and the other tabs, on any of the four
// sides (captions stay horizontal on the left and right), as tabs or as
// buttons, with a glyph per tab, hot tracking and a hint per tab.
//
// Where glyph and caption go inside a tab is computed by `LayoutExtTab`, apart
// from painting.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <QImage>
#include <QTabWidget>

#include "platform/db/exception.h"
#include "platform/db/string_list.h"
#include "platform/ui/canvas.h"
#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"
#include "platform/ui/image_list.h"

class QRegion;

namespace support {

class TExtPageControl;

enum class TExtTabPosition { tabPosLeft, tabPosRight, tabPosTop, tabPosBottom };
enum class TExtTabStyle { tabStDefault, tabStButton };
enum class TExtGlyphPosition { glPosLeft, glPosTop };

// Window style bits of the tab control.
inline constexpr std::uint32_t TCS_BOTTOM = 0x2;
inline constexpr std::uint32_t TCS_RIGHT = 0x2;
inline constexpr std::uint32_t TCS_VERTICAL = 0x80;
inline constexpr std::uint32_t TCS_BUTTONS = 0x100;
inline constexpr std::uint32_t TCS_OWNERDRAWFIXED = 0x2000;

// Owner-draw state bits handed to OnDrawTab.
using TOwnerDrawState = std::uint32_t;
inline constexpr TOwnerDrawState odSelected = 0x1;
inline constexpr TOwnerDrawState odDisabled = 0x4;
inline constexpr TOwnerDrawState odHotLight = 0x40;

class EExtPageInvalidCall : public db::Exception {
  public:
    using db::Exception::Exception;
};

class TExtHottrack {
  public:
    explicit TExtHottrack(TExtPageControl* owner) : owner_(owner) {}
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    ui::Color TabActiveColor() const { return active_; }
    void SetTabActiveColor(ui::Color value);
    ui::Color TabInactiveColor() const { return inactive_; }
    void SetTabInactiveColor(ui::Color value);
    int HotIndex() const { return hot_index_; }

  private:
    friend class TExtPageControl;
    friend class ExtTabBar;
    TExtPageControl* owner_;
    bool enabled_ = false;
    ui::Color active_ = ui::clHighlight;
    ui::Color inactive_ = ui::clHighlight;
    int hot_index_ = -1;
};

class TExtGlyphs {
  public:
    explicit TExtGlyphs(TExtPageControl* owner) : owner_(owner) {}
    const QImage& Glyph() const { return glyph_; }
    void SetGlyph(const QImage& value);
    std::uint16_t NumGlyphs() const { return num_glyphs_; }
    void SetNumGlyphs(std::uint16_t value);
    TExtGlyphPosition Position() const { return position_; }
    void SetPosition(TExtGlyphPosition value);
    std::int32_t Spacing() const { return spacing_; }
    void SetSpacing(std::int32_t value);
    ui::Color TransparentColor() const { return transparent_; }
    void SetTransparentColor(ui::Color value);
    // Image i is the glyph of tab i.
    const ui::TCustomImageList& Images() const { return *images_; }

  private:
    void Rebuild();
    TExtPageControl* owner_;
    QImage glyph_;
    std::uint16_t num_glyphs_ = 0;
    TExtGlyphPosition position_ = TExtGlyphPosition::glPosLeft;
    std::int32_t spacing_ = 5;
    ui::Color transparent_{0xFF00FF};
    std::unique_ptr<ui::TCustomImageList> images_ = std::make_unique<ui::TCustomImageList>();
};

// Where the glyph and the caption of one tab stand.
struct ExtTabLayout {
    ui::Rect glyph;    // empty without a glyph
    ui::Rect caption;  // the caption's measured extent, placed
};

struct ExtTabLayoutInput {
    ui::Rect fg;  // the foreground rectangle
    TExtTabPosition side = TExtTabPosition::tabPosTop;
    bool glyph_shown = false;  // a glyph strip is set, visible, and the tab is enabled
    int glyph_width = 0;
    int glyph_height = 0;
    TExtGlyphPosition glyph_position = TExtGlyphPosition::glPosLeft;
    int spacing = 5;
    bool has_caption = true;
    // The caption's measured size (DT_CALCRECT), before it is cut to the room.
    int caption_width = 0;
    int caption_height = 0;
};

ExtTabLayout LayoutExtTab(const ExtTabLayoutInput& in);

// The foreground rectangle of a tab: its item rectangle moved by the side and
// the style.
ui::Rect ExtTabForeground(ui::Rect item, TExtTabPosition side, TExtTabStyle style, bool selected);

using TExtNbDrawTabEvent =
    std::function<void(TExtPageControl* control, int index, bool active_tab,
                       const ui::Rect& rect_fg, const ui::Rect& rect_bg, TOwnerDrawState state)>;
using TExtDrawBkgndInside = std::function<void(TExtPageControl* control, ui::TCanvas& dc,
                                               QWidget* curr_page, const ui::Rect& rect_bg)>;
using TExtDrawBkgndOutside =
    std::function<void(TExtPageControl* control, ui::TCanvas& dc, const QRegion& rgn_bg)>;

class ExtTabBar;

class TExtPageControl : public QTabWidget {
  public:
    explicit TExtPageControl(QWidget* parent = nullptr);
    ~TExtPageControl() override;

    TExtHottrack& Hottrack() { return hottrack_; }
    std::int32_t InitialPage() const { return initial_page_; }
    void SetInitialPage(std::int32_t value) { initial_page_ = value; }
    ui::Color TabActiveColor() const { return tab_active_color_; }
    void SetTabActiveColor(ui::Color value);
    ui::Color TabInactiveColor() const { return tab_inactive_color_; }
    void SetTabInactiveColor(ui::Color value);
    ui::TFont& TabActiveFont() { return tab_active_font_; }
    ui::TFont& TabInactiveFont() { return tab_inactive_font_; }
    TExtGlyphs& TabGlyphs() { return tab_glyphs_; }
    db::TStringList& TabHints() { return tab_hints_; }
    TExtTabPosition TabPosition() const { return tab_position_; }
    void SetTabPosition(TExtTabPosition value);
    TExtTabStyle TabStyle() const { return tab_style_; }
    void SetTabStyle(TExtTabStyle value);
    std::uint16_t TabWidth() const { return tab_width_; }
    void SetTabWidth(std::uint16_t value);
    std::uint16_t TabHeight() const { return tab_height_; }
    void SetTabHeight(std::uint16_t value);
    bool TabWordWrap() const { return tab_word_wrap_; }
    void SetTabWordWrap(bool value);
    bool GlyphsVisible() const { return glyphs_visible_; }
    void SetGlyphsVisible(bool value);

    TExtNbDrawTabEvent OnDrawTab;
    TExtDrawBkgndInside OnDrawBkgndInside;
    TExtDrawBkgndOutside OnDrawBkgndOutside;
    // Asked before the page changes; clear `allow` to keep the page.
    std::function<void(TExtPageControl* sender, bool& allow)> OnChanging;
    std::function<void(TExtPageControl* sender)> OnChange;

    // The page of the current tab. Setting a page whose tab is hidden, or the
    // current page, does nothing; OnChanging may refuse the change.
    QWidget* ActivePage() const { return currentWidget(); }
    void SetActivePage(QWidget* page);
    // Shows or hides a page's tab (the page's TabVisible).
    void SetTabVisible(QWidget* page, bool visible);

    // The page index of the page whose tab has this index among the shown tabs.
    int GetPageIndexByTabIndex(int tab_index) const;

    // The form has been loaded: the initial page becomes active.
    void Loaded();
    // The form is scaled from one pixel density to another.
    void ChangeScale(int m, int d);

    // The tab control's window style bits.
    std::uint32_t Style() const;
    // The area of the pages: the display rectangle with its edge on the tabs'
    // side moved 2 pixels inwards.
    ui::Rect PageArea() const;
    // The tab under the mouse with hot tracking (-1 for none).
    int HotTab() const { return hottrack_.hot_index_; }

    ExtTabBar* Bar() const { return bar_; }
    void Changed();  // repaints after a property change

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp turn pages through the
    // change test.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    friend class ExtTabBar;
    void ApplyBarFont();
    // Moves to the next shown, enabled tab in a direction (+1 or -1), round
    // from the last to the first with `wrap`, when the change test allows it.
    void StepPage(int direction, bool wrap);
    // Turns to the tab at `index` when the change test allows it.
    void TurnTo(int index);

    TExtHottrack hottrack_{this};
    std::int32_t initial_page_ = -1;
    ui::Color tab_active_color_ = ui::clBtnFace;
    ui::Color tab_inactive_color_ = ui::Color::Rgb(160, 160, 164);
    ui::TFont tab_active_font_;
    ui::TFont tab_inactive_font_;
    TExtGlyphs tab_glyphs_{this};
    db::TStringList tab_hints_;
    TExtTabPosition tab_position_ = TExtTabPosition::tabPosTop;
    TExtTabStyle tab_style_ = TExtTabStyle::tabStDefault;
    std::uint16_t tab_width_ = 0;
    std::uint16_t tab_height_ = 0;
    bool tab_word_wrap_ = false;
    bool glyphs_visible_ = true;
    bool changing_ = false;
    ExtTabBar* bar_ = nullptr;  // owned by Qt's parent chain
};

}  // namespace support
