#include "platform/ui/page_control.h"

#include <QTabBar>
#include <QVBoxLayout>

#include "platform/ui/application.h"
#include "platform/ui/qt_text.h"

namespace ui {

TTabSheet::TTabSheet(QTabWidget& pages, std::string_view caption)
    : TControlOf<QWidget>(&pages), pages_(pages) {
    new QVBoxLayout(this);
    pages.addTab(this, ToQ(caption));
}

std::string TTabSheet::Caption() const {
    return FromQ(pages_.tabText(PageIndex()));
}

void TTabSheet::SetCaption(std::string_view caption) {
    pages_.setTabText(PageIndex(), ToQ(caption));
}

int TTabSheet::PageIndex() const {
    return pages_.indexOf(const_cast<TTabSheet*>(this));
}

void TTabSheet::SetTabVisible(bool visible) {
    tab_visible_ = visible;
    pages_.setTabVisible(PageIndex(), visible);
}

QVBoxLayout* TTabSheet::Layout() const {
    return static_cast<QVBoxLayout*>(layout());
}

TPageControl::TPageControl(QWidget* parent) : TControlOf<QTabWidget>(parent) {
    connect(this, &QTabWidget::currentChanged, [this] {
        if (!setting_ && OnChange)
            Guarded(OnChange);
    });
}

TTabSheet* TPageControl::Pages(int index) const {
    return dynamic_cast<TTabSheet*>(widget(index));
}

TTabSheet* TPageControl::ActivePage() const {
    return dynamic_cast<TTabSheet*>(currentWidget());
}

void TPageControl::SetActivePage(TTabSheet* page) {
    setting_ = true;
    setCurrentWidget(page);
    setting_ = false;
}

void TPageControl::SetActivePageIndex(int index) {
    setting_ = true;
    setCurrentIndex(index);
    setting_ = false;
}

}  // namespace ui
