#include "platform/ui/menus.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

#include "platform/ui/application.h"
#include "platform/ui/qt_text.h"

namespace ui {

TMenuItem::TMenuItem(std::string_view caption, std::string_view name)
    : name_(name), action_(std::make_unique<QAction>()) {
    // A separator keeps no text: some styles draw a separator's text as a heading.
    if (caption == "-")
        action_->setSeparator(true);
    else
        action_->setText(ToQ(caption));
    QObject::connect(action_.get(), &QAction::triggered, [this] {
        // Qt toggles a checkable action by itself; the class library leaves it to code.
        action_->setChecked(checked_);
        Click();
    });
}

TMenuItem::~TMenuItem() {
    items_.clear();
}

std::string TMenuItem::Caption() const {
    if (action_->isSeparator())
        return "-";
    return FromQ(action_->text());
}

void TMenuItem::SetCaption(std::string_view caption) {
    action_->setText(ToQ(caption));
}

void TMenuItem::SetChecked(bool checked) {
    checked_ = checked;
    action_->setCheckable(true);
    action_->setChecked(checked);
}

bool TMenuItem::Enabled() const {
    return action_->isEnabled();
}

void TMenuItem::SetEnabled(bool enabled) {
    action_->setEnabled(enabled);
}

bool TMenuItem::Visible() const {
    return action_->isVisible();
}

void TMenuItem::SetVisible(bool visible) {
    action_->setVisible(visible);
}

void TMenuItem::SetShortCut(std::string_view keys) {
    action_->setShortcut(QKeySequence(ToQ(keys)));
    action_->setShortcutContext(Qt::ApplicationShortcut);
}

QMenu* TMenuItem::Menu() {
    if (!menu_) {
        menu_ = std::make_unique<QMenu>();
        menu_->setTitle(action_->text());
        action_->setMenu(menu_.get());
    }
    return menu_.get();
}

TMenuItem& TMenuItem::Add(std::unique_ptr<TMenuItem> item) {
    item->parent_ = this;
    Menu()->addAction(item->Action());
    items_.push_back(std::move(item));
    return *items_.back();
}

TMenuItem& TMenuItem::Add(std::string_view caption, std::string_view name,
                          std::function<void()> on_click) {
    TMenuItem& item = Add(std::make_unique<TMenuItem>(caption, name));
    item.OnClick = std::move(on_click);
    return item;
}

void TMenuItem::AddSeparator() {
    Add("-");
}

void TMenuItem::Delete(int index) {
    auto it = items_.begin() + index;
    if (menu_)
        menu_->removeAction((*it)->Action());
    items_.erase(it);
}

void TMenuItem::Clear() {
    while (!items_.empty())
        Delete(Count() - 1);
}

TMenuItem* TMenuItem::Find(std::string_view name) {
    if (name_ == name)
        return this;
    for (auto& item : items_)
        if (TMenuItem* found = item->Find(name))
            return found;
    return nullptr;
}

void TMenuItem::Click() {
    if (OnClick && action_->isEnabled())
        Guarded(OnClick);
}

TMenuItem& TMainMenu::Add(std::string_view caption, std::string_view name) {
    return items_.Add(caption, name);
}

void TMainMenu::AttachTo(QMenuBar& bar) {
    for (int i = 0; i < items_.Count(); ++i)
        bar.addMenu(items_.Items(i).Menu());
}

void TPopupMenu::Popup(int x, int y) {
    if (OnPopup)
        Guarded(OnPopup);
    items_.Menu()->exec(QPoint(x, y));
}

}  // namespace ui
