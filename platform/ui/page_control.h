#pragma once

// The class library's plain page control: tab sheets with captions, the active page and
// OnChange when the user turns a page (not when code does).

#include <QTabWidget>

#include <string>
#include <string_view>

#include "platform/ui/controls.h"

class QVBoxLayout;

namespace ui {

class TPageControl;

class TTabSheet : public TControlOf<QWidget> {
  public:
    // Appends the sheet to the page control (the plain one or any other
    // tabbed control, such as the extended page control).
    TTabSheet(QTabWidget& pages, std::string_view caption);
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    int PageIndex() const;
    bool TabVisible() const { return tab_visible_; }
    void SetTabVisible(bool visible);
    // The sheet's vertical layout for the controls it holds.
    QVBoxLayout* Layout() const;

  private:
    QTabWidget& pages_;
    bool tab_visible_ = true;
};

class TPageControl : public TControlOf<QTabWidget> {
  public:
    explicit TPageControl(QWidget* parent);
    int PageCount() const { return count(); }
    TTabSheet* Pages(int index) const;
    TTabSheet* ActivePage() const;
    void SetActivePage(TTabSheet* page);
    int ActivePageIndex() const { return currentIndex(); }
    void SetActivePageIndex(int index);
    TNotify OnChange;

  private:
    bool setting_ = false;
};

}  // namespace ui
