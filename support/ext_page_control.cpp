#include "support/ext_page_control.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QShortcutEvent>
#include <QStackedWidget>
#include <QTabBar>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cstdio>

#include "platform/ui/application.h"

namespace support {

namespace {

bool IsVertical(TExtTabPosition side) {
    return side == TExtTabPosition::tabPosLeft || side == TExtTabPosition::tabPosRight;
}

QRect ToQRect(const ui::Rect& r) {
    return QRect(r.left, r.top, r.Width(), r.Height());
}

ui::Rect FromQRect(const QRect& r) {
    return ui::Bounds(r.x(), r.y(), r.width(), r.height());
}

constexpr int kCaptionIndent = 8;  // caption alone on a vertical tab, and glyph offset there

}  // namespace

void TExtHottrack::SetEnabled(bool value) {
    enabled_ = value;
    owner_->Changed();
}

void TExtHottrack::SetTabActiveColor(ui::Color value) {
    active_ = value;
    owner_->Changed();
}

void TExtHottrack::SetTabInactiveColor(ui::Color value) {
    inactive_ = value;
    owner_->Changed();
}

void TExtGlyphs::SetGlyph(const QImage& value) {
    glyph_ = value;
    Rebuild();
}

void TExtGlyphs::SetNumGlyphs(std::uint16_t value) {
    num_glyphs_ = value;
    Rebuild();
}

void TExtGlyphs::SetPosition(TExtGlyphPosition value) {
    position_ = value;
    owner_->Changed();
}

void TExtGlyphs::SetSpacing(std::int32_t value) {
    spacing_ = value;
    owner_->Changed();
}

void TExtGlyphs::SetTransparentColor(ui::Color value) {
    transparent_ = value;
    Rebuild();
}

void TExtGlyphs::Rebuild() {
    if (num_glyphs_ != 0 && !glyph_.isNull()) {
        const int width = glyph_.width() / num_glyphs_;
        const int height = glyph_.height();
        images_ = std::make_unique<ui::TCustomImageList>(std::max(width, 1), std::max(height, 1));
        for (int i = 0; i < num_glyphs_ && width > 0; ++i)
            images_->AddMasked(glyph_.copy(i * width, 0, width, height), transparent_);
    }
    owner_->Changed();
}

ui::Rect ExtTabForeground(ui::Rect item, TExtTabPosition side, TExtTabStyle style, bool selected) {
    if (style == TExtTabStyle::tabStButton)
        return item;
    if (selected) {
        switch (side) {
            case TExtTabPosition::tabPosLeft:
                return item.Offset(-2, 0);
            case TExtTabPosition::tabPosRight:
                return item.Offset(2, 0);
            case TExtTabPosition::tabPosTop:
                return item.Offset(0, -1);
            case TExtTabPosition::tabPosBottom:
                return item;
        }
    }
    switch (side) {
        case TExtTabPosition::tabPosTop:
            return item.Offset(0, 1);
        case TExtTabPosition::tabPosBottom:
            return item.Offset(0, -2);
        default:
            return item;
    }
}

ExtTabLayout LayoutExtTab(const ExtTabLayoutInput& in) {
    ExtTabLayout out;
    int indent_x = 0;
    int indent_y = 0;
    bool centred = !IsVertical(in.side);
    const bool glyph = in.glyph_shown && in.glyph_width > 0 && in.glyph_height > 0;
    if (!in.glyph_shown && in.glyph_width > 0 && in.has_caption)
        centred = true;  // a disabled tab with glyphs: caption alone, centred
    else if (!glyph && IsVertical(in.side))
        indent_x = kCaptionIndent;
    else if (glyph && in.glyph_position == TExtGlyphPosition::glPosLeft) {
        if (IsVertical(in.side)) {
            indent_x = in.glyph_width + kCaptionIndent + in.spacing;
            centred = false;
        } else {
            indent_x = in.glyph_width + in.spacing;
        }
    } else if (glyph) {
        indent_y = in.has_caption ? in.glyph_height + in.spacing : 0;
        centred = true;
    }

    // The room for the caption: the foreground less 2 pixels, less the indent.
    const ui::Rect room{in.fg.left + 2 + indent_x, in.fg.top + 2 + indent_y, in.fg.right - 2,
                        in.fg.bottom - 2};
    const int width = std::clamp(in.caption_width, 0, std::max(room.Width(), 0));
    const int height = std::clamp(in.caption_height, 0, std::max(room.Height(), 0));
    const int top = room.top + std::max(0, (room.Height() - height) / 2);
    const int left = centred ? room.left + std::max(0, (room.Width() - width) / 2) : room.left;
    if (in.has_caption)
        out.caption = ui::Bounds(left, top, width, height);
    if (!glyph)
        return out;

    const int glyph_mid_y = in.fg.top + (in.fg.Height() - in.glyph_height) / 2;
    if (in.glyph_position == TExtGlyphPosition::glPosLeft) {
        const int x = IsVertical(in.side) ? in.fg.left + kCaptionIndent
                                          : left - (in.glyph_width + in.spacing);
        out.glyph = ui::Bounds(x, glyph_mid_y, in.glyph_width, in.glyph_height);
    } else if (in.has_caption) {
        const int x = in.fg.left + (in.fg.Width() - in.glyph_width) / 2;
        out.glyph =
            ui::Bounds(x, top - (in.glyph_height + in.spacing), in.glyph_width, in.glyph_height);
    } else {
        const int x = in.fg.left + (in.fg.Width() - in.glyph_width) / 2;
        out.glyph = ui::Bounds(x, glyph_mid_y, in.glyph_width, in.glyph_height);
    }
    return out;
}

// The tab row: sized by the control's tab size, painted by the control's rules.
class ExtTabBar : public QTabBar {
  public:
    explicit ExtTabBar(TExtPageControl* control) : QTabBar(control), control_(control) {
        setMouseTracking(true);
        setExpanding(false);
        setDrawBase(false);
        setElideMode(Qt::ElideNone);
    }

    // The page shown by tab i (tab indexes of the bar and the control agree).
    QWidget* Page(int i) const { return control_->widget(i); }
    bool PageEnabled(int i) const {
        const QWidget* page = Page(i);
        return page == nullptr || page->isEnabled();
    }

  protected:
    QSize tabSizeHint(int index) const override {
        const ui::TFont& font =
            index == currentIndex() ? control_->TabActiveFont() : control_->TabInactiveFont();
        const QFontMetrics metrics(font.ToQFont());
        const QString text = tabText(index);
        int width = metrics.horizontalAdvance(QString(text).remove(QLatin1Char('&'))) + 2 * 8;
        int height = metrics.height() + 8;
        const TExtGlyphs& glyphs = control_->TabGlyphs();
        if (control_->GlyphsVisible() && glyphs.NumGlyphs() != 0 && !glyphs.Glyph().isNull()) {
            const int gw = glyphs.Images().Width();
            const int gh = glyphs.Images().Height();
            if (glyphs.Position() == TExtGlyphPosition::glPosLeft) {
                width += gw + glyphs.Spacing();
                height = std::max(height, gh + 8);
            } else {
                height += gh + glyphs.Spacing();
                width = std::max(width, gw + 16);
            }
        }
        if (control_->TabWidth() != 0)
            width = control_->TabWidth();
        if (control_->TabHeight() != 0)
            height = control_->TabHeight();
        return QSize(width, height);
    }
    QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        ui::TCanvas canvas(painter);
        // Around the tabs: the parent's brush.
        const QWidget* parent = control_->parentWidget();
        const QColor outside =
            (parent != nullptr ? parent->palette() : palette()).color(QPalette::Window);
        QRegion region(rect());
        for (int i = 0; i < count(); ++i) {
            if (isTabVisible(i))
                region -= tabRect(i);
        }
        painter.save();
        painter.setClipRegion(region);
        painter.fillRect(rect(), outside);
        painter.restore();
        if (control_->OnDrawBkgndOutside) {
            ui::Guarded([&] { control_->OnDrawBkgndOutside(control_, canvas, region); });
        }
        for (int i = 0; i < count(); ++i) {
            if (isTabVisible(i))
                PaintTab(canvas, i);
        }
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        QTabBar::mouseMoveEvent(event);
        if (event->buttons() != Qt::NoButton)
            return;
        const int tab = tabAt(event->position().toPoint());
        TExtHottrack& hot = control_->Hottrack();
        if (tab == hot.hot_index_)
            return;
        const int previous = hot.hot_index_;
        hot.hot_index_ = tab;
        if (hot.Enabled()) {
            if (previous >= 0)
                update(tabRect(previous));
            if (tab >= 0)
                update(tabRect(tab));
        }
        QToolTip::hideText();
    }

    void leaveEvent(QEvent* event) override {
        QTabBar::leaveEvent(event);
        TExtHottrack& hot = control_->Hottrack();
        if (hot.hot_index_ >= 0 && hot.hot_index_ < count())
            update(tabRect(hot.hot_index_));
        hot.hot_index_ = -1;
    }

    // A tab control turns no page with the wheel.
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }

    void keyPressEvent(QKeyEvent* event) override {
        const bool vertical = control_->TabPosition() == TExtTabPosition::tabPosLeft ||
                              control_->TabPosition() == TExtTabPosition::tabPosRight;
        const int back = vertical ? Qt::Key_Up : Qt::Key_Left;
        const int ahead = vertical ? Qt::Key_Down : Qt::Key_Right;
        if (event->key() != back && event->key() != ahead) {
            QTabBar::keyPressEvent(event);
            return;
        }
        ui::Guarded([&] { control_->StepPage(event->key() == ahead ? 1 : -1, false); });
    }

    void mousePressEvent(QMouseEvent* event) override {
        const int tab = tabAt(event->position().toPoint());
        if (tab >= 0 && !PageEnabled(tab))
            return;  // the tab of a disabled page takes no click
        if (tab >= 0 && tab != currentIndex() && control_->OnChanging) {
            bool allow = true;
            ui::Guarded([&] { control_->OnChanging(control_, allow); });
            if (!allow)
                return;
        }
        QTabBar::mousePressEvent(event);
    }

    bool event(QEvent* event) override {
        if (event->type() == QEvent::Shortcut) {
            // An accelerator turns the page through the change test, as a click does.
            const QKeySequence key = static_cast<QShortcutEvent*>(event)->key();
            for (int i = 0; i < count(); ++i) {
                if (isTabVisible(i) && isTabEnabled(i) &&
                    QKeySequence::mnemonic(tabText(i)) == key) {
                    ui::Guarded([&] { control_->SetActivePage(Page(i)); });
                    return true;
                }
            }
        }
        if (event->type() == QEvent::ToolTip) {
            // The tab's own hint, just below the tab.
            const auto* help = static_cast<QHelpEvent*>(event);
            const int tab = tabAt(help->pos());
            const int page = tab >= 0 ? tab : -1;
            if (page >= 0 && page < control_->TabHints().Count()) {
                const QRect r = tabRect(tab);
                QToolTip::showText(mapToGlobal(r.bottomLeft() + QPoint(3, 2)),
                                   QString::fromStdString(control_->TabHints().Strings(page)),
                                   this);
                return true;
            }
        }
        return QTabBar::event(event);
    }

  private:
    void PaintTab(ui::TCanvas& canvas, int i) {
        const bool selected = i == currentIndex();
        const bool enabled = PageEnabled(i);
        const TExtTabStyle style = control_->TabStyle();
        const TExtTabPosition side = control_->TabPosition();
        const ui::Rect item = FromQRect(tabRect(i));
        const ui::Rect bg = item;
        const ui::Rect fg = ExtTabForeground(item, side, style, selected);
        TOwnerDrawState state = selected ? odSelected : 0;
        if (!enabled)
            state |= odDisabled;
        TExtHottrack& hot = control_->Hottrack();
        if (hot.Enabled() && hot.hot_index_ == i)
            state |= odHotLight;

        canvas.Brush.style = ui::bsSolid;
        canvas.Brush.color = selected ? control_->TabActiveColor() : control_->TabInactiveColor();
        canvas.FillRect(bg);
        DrawFrame(canvas, bg, side, style, selected);
        if (control_->OnDrawTab) {
            ui::Guarded([&] { control_->OnDrawTab(control_, i, selected, fg, bg, state); });
            return;
        }
        if (fg.Width() < 4 || fg.Height() < 4)
            return;

        canvas.Font.Assign(selected ? control_->TabActiveFont() : control_->TabInactiveFont());
        if ((state & odHotLight) != 0) {
            const ui::Color hot_color = selected ? hot.TabActiveColor() : hot.TabInactiveColor();
            if (!hot_color.IsNone())
                canvas.Font.SetColor(hot_color);
        }
        const TExtGlyphs& glyphs = control_->TabGlyphs();
        const bool has_glyphs =
            !glyphs.Glyph().isNull() && control_->GlyphsVisible() && glyphs.NumGlyphs() != 0;
        const std::string caption = tabText(i).toStdString();
        const unsigned flags = control_->TabWordWrap() ? ui::DT_WORDBREAK : ui::DT_SINGLELINE;

        ExtTabLayoutInput in;
        in.fg = fg;
        in.side = side;
        in.glyph_shown = has_glyphs && enabled;
        in.glyph_width = has_glyphs ? glyphs.Images().Width() : 0;
        in.glyph_height = has_glyphs ? glyphs.Images().Height() : 0;
        in.glyph_position = glyphs.Position();
        in.spacing = glyphs.Spacing();
        in.has_caption = !caption.empty();
        ui::Rect measure{0, 0, std::max(fg.Width() - 4, 1), std::max(fg.Height() - 4, 1)};
        canvas.DrawText(caption, measure, flags | ui::DT_CALCRECT);
        in.caption_width = measure.Width();
        in.caption_height = measure.Height();
        const ExtTabLayout layout = LayoutExtTab(in);

        if (!layout.glyph.IsEmpty())
            glyphs.Images().Draw(canvas, layout.glyph.left, layout.glyph.top, i, true);
        if (in.has_caption) {
            canvas.Brush.style = ui::bsClear;
            ui::Rect text = layout.caption;
            const unsigned centre = ui::DT_CENTER;
            if (enabled) {
                canvas.DrawText(caption, text, flags | centre);
            } else {
                canvas.Font.SetColor(ui::clBtnHighlight);
                ui::Rect shadow = text.Offset(1, 1);
                canvas.DrawText(caption, shadow, flags | centre);
                canvas.Font.SetColor(ui::clGrayText);
                canvas.DrawText(caption, text, flags | centre);
            }
        }
    }

    // The frame lines a tab control draws around its tabs; the side that meets
    // the page stays open.
    static void DrawFrame(ui::TCanvas& canvas, const ui::Rect& r, TExtTabPosition side,
                          TExtTabStyle style, bool selected) {
        if (style == TExtTabStyle::tabStButton) {
            canvas.DrawEdge(r, selected ? ui::EDGE_SUNKEN : ui::EDGE_RAISED, ui::BF_RECT);
            return;
        }
        unsigned edges = ui::BF_RECT;
        switch (side) {
            case TExtTabPosition::tabPosTop:
                edges &= ~ui::BF_BOTTOM;
                break;
            case TExtTabPosition::tabPosBottom:
                edges &= ~ui::BF_TOP;
                break;
            case TExtTabPosition::tabPosLeft:
                edges &= ~ui::BF_RIGHT;
                break;
            case TExtTabPosition::tabPosRight:
                edges &= ~ui::BF_LEFT;
                break;
        }
        canvas.DrawEdge(r, ui::EDGE_RAISED, edges);
    }

    TExtPageControl* control_;
};

TExtPageControl::TExtPageControl(QWidget* parent) : QTabWidget(parent) {
    bar_ = new ExtTabBar(this);
    setTabBar(bar_);
    tab_active_font_.OnChange = [this] { ApplyBarFont(); };
    tab_inactive_font_.OnChange = [this] { ApplyBarFont(); };
    connect(this, &QTabWidget::currentChanged, this, [this](int) {
        if (OnChange && !changing_)
            ui::Guarded([&] { OnChange(this); });
    });
    ApplyBarFont();
}

TExtPageControl::~TExtPageControl() {
    tab_active_font_.OnChange = nullptr;
    tab_inactive_font_.OnChange = nullptr;
}

void TExtPageControl::Changed() {
    if (bar_ != nullptr) {
        bar_->updateGeometry();
        bar_->update();
        // Setting the elide mode makes the bar lay its tabs out anew.
        bar_->setElideMode(bar_->elideMode());
    }
    update();
}

void TExtPageControl::SetTabActiveColor(ui::Color value) {
    tab_active_color_ = value;
    Changed();
}

void TExtPageControl::SetTabInactiveColor(ui::Color value) {
    tab_inactive_color_ = value;
    Changed();
}

void TExtPageControl::SetTabPosition(TExtTabPosition value) {
    if (IsVertical(value) != IsVertical(tab_position_) && IsVertical(value)) {
        if (tab_height_ == 0)
            tab_height_ = 35;
        if (tab_width_ == 0)
            tab_width_ = 70;
    }
    tab_position_ = value;
    if (value != TExtTabPosition::tabPosTop)
        tab_style_ = TExtTabStyle::tabStDefault;  // buttons exist only on top
    switch (value) {
        case TExtTabPosition::tabPosLeft:
            setTabPosition(QTabWidget::West);
            break;
        case TExtTabPosition::tabPosRight:
            setTabPosition(QTabWidget::East);
            break;
        case TExtTabPosition::tabPosTop:
            setTabPosition(QTabWidget::North);
            break;
        case TExtTabPosition::tabPosBottom:
            setTabPosition(QTabWidget::South);
            break;
    }
    Changed();
}

void TExtPageControl::SetTabStyle(TExtTabStyle value) {
    tab_style_ = value;
    Changed();
}

void TExtPageControl::SetTabWidth(std::uint16_t value) {
    tab_width_ = value;
    Changed();
}

void TExtPageControl::SetTabHeight(std::uint16_t value) {
    tab_height_ = value;
    Changed();
}

void TExtPageControl::SetTabWordWrap(bool value) {
    tab_word_wrap_ = value;
    Changed();
}

void TExtPageControl::SetGlyphsVisible(bool value) {
    glyphs_visible_ = value;
    Changed();
}

std::uint32_t TExtPageControl::Style() const {
    std::uint32_t style = TCS_OWNERDRAWFIXED;
    switch (tab_position_) {
        case TExtTabPosition::tabPosLeft:
            style |= TCS_VERTICAL;
            break;
        case TExtTabPosition::tabPosRight:
            style |= TCS_VERTICAL | TCS_RIGHT;
            break;
        case TExtTabPosition::tabPosTop:
            break;
        case TExtTabPosition::tabPosBottom:
            style |= TCS_BOTTOM;
            break;
    }
    if (tab_style_ == TExtTabStyle::tabStButton)
        style |= TCS_BUTTONS;
    return style;
}

void TExtPageControl::SetActivePage(QWidget* page) {
    if (page == currentWidget())
        return;
    const int index = indexOf(page);
    if (index < 0 || !isTabVisible(index))
        return;
    TurnTo(index);
}

void TExtPageControl::SetTabVisible(QWidget* page, bool visible) {
    const int index = indexOf(page);
    if (index >= 0)
        setTabVisible(index, visible);
}

int TExtPageControl::GetPageIndexByTabIndex(int tab_index) const {
    int shown = 0;
    for (int i = 0; i < count(); ++i) {
        if (!isTabVisible(i))
            continue;
        if (shown == tab_index)
            return i;
        ++shown;
    }
    char text[512];
    std::snprintf(text, sizeof text,
                  "Function GetPageIndexByTabIndex of component %s of class %s was called with "
                  "an invalid parameter (CurrentTabIndex = %d).",
                  objectName().toUtf8().constData(), "TExtPageControl", tab_index);
    throw EExtPageInvalidCall(text);
}

void TExtPageControl::Loaded() {
    if (initial_page_ >= 0 && initial_page_ < count())
        setCurrentIndex(initial_page_);
}

void TExtPageControl::ChangeScale(int m, int d) {
    // A size beyond the property's 16 bits stays at its largest, not wrapped round.
    const auto scaled = [m, d](std::uint16_t size) {
        return static_cast<std::uint16_t>(std::clamp(ui::MulDiv(size, m, d), 0, 0xFFFF));
    };
    tab_height_ = scaled(tab_height_);
    tab_width_ = scaled(tab_width_);
    tab_active_font_.SetSize(ui::MulDiv(tab_active_font_.Size(), m, d));
    tab_inactive_font_.SetSize(ui::MulDiv(tab_inactive_font_.Size(), m, d));
    Changed();
}

ui::Rect TExtPageControl::PageArea() const {
    const auto* stack = findChild<QStackedWidget*>();
    ui::Rect area = stack != nullptr ? FromQRect(stack->geometry()) : FromQRect(rect());
    switch (tab_position_) {
        case TExtTabPosition::tabPosLeft:
            area.left += 2;
            break;
        case TExtTabPosition::tabPosRight:
            area.right -= 2;
            break;
        case TExtTabPosition::tabPosTop:
            area.top += 2;
            break;
        case TExtTabPosition::tabPosBottom:
            area.bottom -= 2;
            break;
    }
    return area;
}

void TExtPageControl::paintEvent(QPaintEvent* event) {
    QTabWidget::paintEvent(event);
    QPainter painter(this);
    ui::TCanvas canvas(painter);
    const ui::Rect area = PageArea();
    painter.fillRect(ToQRect(area), palette().color(QPalette::Window));
    if (OnDrawBkgndInside)
        ui::Guarded([&] { OnDrawBkgndInside(this, canvas, currentWidget(), area); });
}

void TExtPageControl::TurnTo(int index) {
    if (OnChanging) {
        bool allow = true;
        OnChanging(this, allow);
        if (!allow)
            return;
    }
    setCurrentIndex(index);
}

void TExtPageControl::StepPage(int direction, bool wrap) {
    const int pages = count();
    if (pages == 0)
        return;
    int index = currentIndex();
    for (int step = 0; step < pages; ++step) {
        index += direction;
        if (index < 0 || index >= pages) {
            if (!wrap)
                return;
            index = (index + pages) % pages;
        }
        if (index == currentIndex())
            return;
        if (isTabVisible(index) && isTabEnabled(index))
            break;
    }
    TurnTo(index);
}

void TExtPageControl::keyPressEvent(QKeyEvent* event) {
    const bool control = (event->modifiers() & Qt::ControlModifier) != 0;
    const int key = event->key();
    if (control && (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_PageDown ||
                    key == Qt::Key_PageUp)) {
        const bool back = key == Qt::Key_Backtab || key == Qt::Key_PageUp ||
                          (key == Qt::Key_Tab && (event->modifiers() & Qt::ShiftModifier));
        ui::Guarded([&] { StepPage(back ? -1 : 1, true); });
        return;
    }
    QTabWidget::keyPressEvent(event);
}

void TExtPageControl::changeEvent(QEvent* event) {
    QTabWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        Changed();
}

void TExtPageControl::ApplyBarFont() {
    // The bar sizes its tabs for whichever font has the wider capital W.
    const QFont active = tab_active_font_.ToQFont();
    const QFont inactive = tab_inactive_font_.ToQFont();
    const int a = QFontMetrics(active).horizontalAdvance(QLatin1Char('W'));
    const int b = QFontMetrics(inactive).horizontalAdvance(QLatin1Char('W'));
    if (bar_ != nullptr)
        bar_->setFont(a >= b ? active : inactive);
    Changed();
}

}  // namespace support
