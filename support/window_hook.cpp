#include "support/window_hook.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cassert>

namespace support {

namespace {

std::unique_ptr<THookList>& ListHolder() {
    static std::unique_ptr<THookList> list;
    return list;
}

}  // namespace

THookTarget::~THookTarget() {
    Gone();
}

void THookTarget::Gone() {
    if (destroying_)
        return;
    destroying_ = true;
    if (THookList::Exists())
        THookList::Instance().TargetGone(this);
}

void THookTarget::Perform(TMessage& message) {
    if (const WindowProc proc = GetWindowProc())
        (*proc)(message);
    else
        DefaultHandler(message);
}

TControlHook::TControlHook(THookTarget* control)
    : control_(control),
      replacement_(std::make_shared<const TWndMethod>([this](TMessage& m) { WndProc(m); })) {}

TControlHook::~TControlHook() {
    destroying_ = true;
    for (TWindowHook* hook : std::vector<TWindowHook*>(hooks_))
        Unregister(*hook);
    control_ = nullptr;
}

void TControlHook::Install() {
    if (control_ == nullptr || control_->Designing() || control_->Destroying() || destroying_)
        return;
    control_->HandleNeeded();
    const WindowProc current = control_->GetWindowProc();
    if (current != replacement_) {
        previous_ = current;
        has_previous_ = true;
        control_->SetWindowProc(replacement_);
    }
}

void TControlHook::Remove() {
    if (control_ == nullptr || !control_->HandleAllocated() || !has_previous_)
        return;
    // A procedure someone else installed after ours stays.
    if (control_->GetWindowProc() == replacement_)
        control_->SetWindowProc(previous_);
    previous_.reset();
    has_previous_ = false;
}

void TControlHook::Register(TWindowHook& hook) {
    if (std::find(hooks_.begin(), hooks_.end(), &hook) == hooks_.end())
        hooks_.push_back(&hook);
    hook.control_hook_ = this;
    Install();
}

void TControlHook::Unregister(TWindowHook& hook) {
    const auto at = std::find(hooks_.begin(), hooks_.end(), &hook);
    if (at != hooks_.end())
        hooks_.erase(at);
    if (hook.control_hook_ == this)
        hook.control_hook_ = nullptr;
    if (hooks_.empty())
        Remove();
}

void TControlHook::WndProc(TMessage& message) {
    if (control_ == nullptr)
        return;
    bool handled = false;
    if (message.Msg != WM_QUIT)
        NotifyBefore(message, handled);
    if (!handled || message.Msg == WM_DESTROY) {
        if (previous_)
            (*previous_)(message);
        else if (control_ != nullptr)
            control_->DefaultHandler(message);
    }
    NotifyAfter(message, handled);
    if (message.Msg == WM_DESTROY) {
        Remove();
        if (THookList::Exists() && !destroying_ && control_ != nullptr && !control_->Destroying())
            THookList::Instance().Post(CM_REHOOK, this);
    }
}

void TControlHook::NotifyBefore(TMessage& message, bool& handled) {
    if (hooks_.empty() || control_ == nullptr || control_->Destroying() || destroying_)
        return;
    // A hook may unregister while it runs; walk a copy.
    const std::vector<TWindowHook*> hooks = hooks_;
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
        (*it)->DoBeforeMessage(message, handled);
        if (handled)
            break;
    }
}

void TControlHook::NotifyAfter(TMessage& message, bool& handled) {
    if (hooks_.empty() || control_ == nullptr || control_->Destroying() || destroying_)
        return;
    const std::vector<TWindowHook*> hooks = hooks_;
    // A message handled before still shows the last hook its "after".
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
        (*it)->DoAfterMessage(message, handled);
        if (handled)
            break;
    }
}

void TControlHook::ControlGone() {
    for (TWindowHook* hook : std::vector<TWindowHook*>(hooks_)) {
        Unregister(*hook);
        hook->win_control_ = nullptr;
    }
    previous_.reset();
    has_previous_ = false;
    control_ = nullptr;
}

THookList& THookList::Instance() {
    auto& list = ListHolder();
    if (!list)
        list.reset(new THookList());
    return *list;
}

bool THookList::Exists() {
    return ListHolder() != nullptr;
}

TControlHook* THookList::Find(THookTarget* control, bool create) {
    for (const auto& hook : hooks_) {
        if (hook->Control() == control && !hook->Destroying())
            return hook.get();
    }
    if (!create || control == nullptr)
        return nullptr;
    hooks_.push_back(std::make_unique<TControlHook>(control));
    return hooks_.back().get();
}

bool THookList::Contains(const TControlHook* hook) const {
    return std::any_of(hooks_.begin(), hooks_.end(),
                       [hook](const auto& h) { return h.get() == hook; });
}

void THookList::Post(std::uint32_t message, TControlHook* hook) {
    TMessage posted;
    posted.Msg = message;
    posted.WParam = reinterpret_cast<std::intptr_t>(hook);
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && app->thread() == QThread::currentThread()) {
        QMetaObject::invokeMethod(
            app,
            [posted]() mutable {
                if (THookList::Exists())
                    THookList::Instance().WndProc(posted);
            },
            Qt::QueuedConnection);
    } else {
        posted_.push_back(posted);
    }
}

void THookList::ProcessPosted() {
    while (!posted_.empty()) {
        TMessage message = posted_.front();
        posted_.erase(posted_.begin());
        WndProc(message);
    }
}

void THookList::WndProc(TMessage& message) {
    auto* hook = reinterpret_cast<TControlHook*>(message.WParam);
    if (message.Msg == CM_REHOOK) {
        if (Contains(hook))
            hook->Install();
    } else if (message.Msg == CM_RELEASE) {
        if (Contains(hook) && hook->Hooks().empty())
            Take(hook);
    }
}

void THookList::Take(TControlHook* hook) {
    const auto at = std::find_if(hooks_.begin(), hooks_.end(),
                                 [hook](const auto& h) { return h.get() == hook; });
    if (at == hooks_.end())
        return;
    std::unique_ptr<TControlHook> owned = std::move(*at);
    hooks_.erase(at);
    owned.reset();
}

void THookList::TargetGone(THookTarget* control) {
    for (const auto& hook : hooks_) {
        if (hook->Control() == control)
            hook->ControlGone();
    }
    std::erase_if(hooks_, [](const auto& h) { return h->Control() == nullptr; });
}

TWindowHook::TWindowHook(db::TComponent* owner) : db::TComponent(owner) {}

TWindowHook::~TWindowHook() {
    SetActive(false);
    SetWinControl(nullptr);
}

void TWindowHook::SetActive(bool value) {
    if (value)
        Register();
    else
        Unregister();
    active_ = value;
}

void TWindowHook::SetWinControl(THookTarget* control) {
    if (control == win_control_)
        return;
    TControlHook* old_hook = control_hook_;
    Unregister();
    win_control_ = control;
    if (old_hook != nullptr && THookList::Exists() && THookList::Instance().Contains(old_hook) &&
        old_hook->Hooks().empty())
        THookList::Instance().Post(CM_RELEASE, old_hook);
    if (active_)
        Register();
}

void TWindowHook::Register() {
    if (win_control_ == nullptr)
        return;
    if (TControlHook* hook = THookList::Instance().Find(win_control_, true))
        hook->Register(*this);
}

void TWindowHook::Unregister() {
    if (control_hook_ != nullptr)
        control_hook_->Unregister(*this);
}

void TWindowHook::DoBeforeMessage(TMessage& msg, bool& handled) {
    if (BeforeMessage)
        BeforeMessage(this, msg, handled);
}

void TWindowHook::DoAfterMessage(TMessage& msg, bool& handled) {
    if (AfterMessage)
        AfterMessage(this, msg, handled);
}

}  // namespace support
