#pragma once

// The class library's menus: a tree of menu items under a main menu or a pop-up menu.
// An item's check mark changes only when code sets it (a click does not toggle it);
// OnClick runs inside the exception boundary.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace ui {

class TMenuItem {
  public:
    // The caption "-" makes a separator.
    explicit TMenuItem(std::string_view caption = {}, std::string_view name = {});
    ~TMenuItem();
    TMenuItem(const TMenuItem&) = delete;
    TMenuItem& operator=(const TMenuItem&) = delete;

    const std::string& Name() const { return name_; }
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);
    bool Enabled() const;
    void SetEnabled(bool enabled);
    bool Visible() const;
    void SetVisible(bool visible);
    std::string Hint() const { return hint_; }
    void SetHint(std::string_view hint) { hint_ = hint; }
    void SetShortCut(std::string_view keys);

    // Sub-items; the item owns them.
    TMenuItem& Add(std::unique_ptr<TMenuItem> item);
    TMenuItem& Add(std::string_view caption, std::string_view name = {},
                   std::function<void()> on_click = {});
    void AddSeparator();
    int Count() const { return static_cast<int>(items_.size()); }
    TMenuItem& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }
    void Delete(int index);
    void Clear();
    TMenuItem* Parent() const { return parent_; }
    // The item of this name in the tree under this one (this one included), or null.
    TMenuItem* Find(std::string_view name);

    // Runs OnClick as the user's choice does.
    void Click();
    std::function<void()> OnClick;

    QAction* Action() const { return action_.get(); }
    // The item's sub-menu, made when it gets its first sub-item.
    QMenu* Menu();

  private:
    std::string name_;
    std::string hint_;
    bool checked_ = false;
    TMenuItem* parent_ = nullptr;
    std::unique_ptr<QAction> action_;
    std::unique_ptr<QMenu> menu_;
    std::vector<std::unique_ptr<TMenuItem>> items_;
};

// The menu bar of a form: its top-level items are the menus.
class TMainMenu {
  public:
    TMainMenu() : items_("") {}
    TMenuItem& Items() { return items_; }
    TMenuItem& Add(std::string_view caption, std::string_view name = {});
    // Shows the menus on a form's menu bar.
    void AttachTo(QMenuBar& bar);

  private:
    TMenuItem items_;
};

class TPopupMenu {
  public:
    TPopupMenu() : items_("") {}
    TMenuItem& Items() { return items_; }
    // Runs OnPopup, then shows the menu at a screen point until the user chooses.
    void Popup(int x, int y);
    std::function<void()> OnPopup;

  private:
    TMenuItem items_;
};

}  // namespace ui
