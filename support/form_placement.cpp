#include "support/form_placement.h"

#include <QCloseEvent>
#include <QEvent>

#include "platform/config/ini_file.h"
#include "platform/config/reg_ini_file.h"
#include "platform/ui/application.h"
#include "support/window_hook_qt.h"

namespace support {

namespace {

constexpr std::intptr_t HTLEFT = 10;
constexpr std::intptr_t HTBOTTOMRIGHT = 17;

bool HasMaximizeButton(const QWidget* form) {
    const Qt::WindowFlags flags = form->windowFlags();
    if (flags & Qt::WindowMaximizeButtonHint)
        return true;
    return form->windowType() == Qt::Window && !(flags & Qt::CustomizeWindowHint);
}

void ShowMaximizeButton(QWidget* form, bool show) {
    if (HasMaximizeButton(form) == show)
        return;
    const bool visible = form->isVisible();
    Qt::WindowFlags flags = form->windowFlags();
    if (show) {
        flags |= Qt::WindowMaximizeButtonHint;
    } else {
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
        flags &= ~Qt::WindowMaximizeButtonHint;
    }
    form->setWindowFlags(flags);
    if (visible)
        form->show();  // changing the flags hides a window
}

}  // namespace

int MaximizedBorderSize(TFormBorderStyle border) {
    switch (border) {
        case TFormBorderStyle::bsNone:
            return 0;
        case TFormBorderStyle::bsSingle:
        case TFormBorderStyle::bsToolWindow:
            return -1;  // thin border
        case TFormBorderStyle::bsSizeable:
        case TFormBorderStyle::bsSizeToolWin:
            return -4;  // sizing frame
        case TFormBorderStyle::bsDialog:
            return -3;  // dialog frame
    }
    return 0;
}

bool TWinMinMaxInfo::DefaultMinMaxInfo() const {
    for (std::int32_t value : values_) {
        if (value != 0)
            return false;
    }
    return true;
}

void TWinMinMaxInfo::Assign(const db::TPersistent& source) {
    if (const auto* other = dynamic_cast<const TWinMinMaxInfo*>(&source)) {
        std::copy(std::begin(other->values_), std::end(other->values_), values_);
        if (owner_ != nullptr)
            owner_->CheckToggleHook();
        return;
    }
    db::TPersistent::Assign(source);
}

void TWinMinMaxInfo::Set(int index, std::int32_t value) {
    if (values_[index] == value)
        return;
    values_[index] = value;
    if (owner_ != nullptr)
        owner_->CheckToggleHook();
}

TFormPlacement::TFormPlacement(db::TComponent* owner, QWidget* form)
    : db::TComponent(owner), form_(form) {
    if (form != nullptr)
        options_ = {fpState, fpPosition};
}

TFormPlacement::~TFormPlacement() {
    // A storage failure here is shown, never thrown out of a destructor.
    if (form_ && !ComponentState().Contains(db::csDesigning))
        ui::Guarded([this] { FormDestroy(); });
    hook_.reset();
}

std::string TFormPlacement::IniFileName() const {
    if (!ini_file_name_.empty() || ComponentState().Contains(db::csDesigning))
        return ini_file_name_;
    return use_registry_ ? GetDefaultIniRegKey() : GetDefaultIniName();
}

std::string TFormPlacement::IniSection() const {
    if (!ini_section_.empty() || ComponentState().Contains(db::csDesigning))
        return ini_section_;
    return form_ ? GetDefaultSection(form_) : Name();
}

void TFormPlacement::Loaded() {
    db::TComponent::Loaded();
    if (ComponentState().Contains(db::csDesigning) || !form_)
        return;
    had_maximize_button_ = HasMaximizeButton(form_);
    hook_ = std::make_unique<TWindowHook>(nullptr);
    hook_->BeforeMessage = [this](TWindowHook*, TMessage& msg, bool& handled) {
        BeforeMessage(msg, handled);
    };
    hook_->AfterMessage = [this](TWindowHook*, TMessage& msg, bool& handled) {
        AfterMessage(msg, handled);
    };
    hook_->SetWinControl(QtHookTarget::For(form_));
    hooked_ = true;
    if (prevent_resize_)
        ShowMaximizeButton(form_, false);
    CheckToggleHook();
}

void TFormPlacement::SetPreventResize(bool value) {
    if (!form_ || value == prevent_resize_)
        return;
    prevent_resize_ = value;
    UpdatePlacement();
    const bool was_active = active_;
    active_ = false;
    ShowMaximizeButton(form_, !prevent_resize_ && had_maximize_button_ &&
                                  FormBorderStyle(form_) != TFormBorderStyle::bsDialog);
    active_ = was_active;
    if (!ComponentState().Contains(db::csLoading))
        CheckToggleHook();
}

void TFormPlacement::CheckToggleHook() {
    // The events hook stays on for show and close; the size limits follow the
    // settings at once.
    if (hooked_ && form_)
        QtHookTarget::For(form_)->ApplyMinMaxInfo();
    UpdatePlacement();
}

void TFormPlacement::BeforeMessage(TMessage& msg, bool&) {
    // The window system's own show events (a minimised window coming back) are
    // no showing of the form.
    if (msg.Msg == WM_SHOWWINDOW && msg.WParam != 0 &&
        (msg.Event == nullptr || !static_cast<QEvent*>(msg.Event)->spontaneous()))
        FormShow();
}

void TFormPlacement::AfterMessage(TMessage& msg, bool&) {
    if (msg.Msg == WM_CLOSE && msg.Event != nullptr) {
        FormCloseQuery(static_cast<QEvent*>(msg.Event)->isAccepted());
        return;
    }
    if (!form_)
        return;
    const bool limits = prevent_resize_ || !min_max_info_.DefaultMinMaxInfo();
    if (!limits)
        return;
    if (prevent_resize_) {
        if (msg.Msg == WM_GETMINMAXINFO && msg.LParam != 0 && form_->isVisible()) {
            auto* info = reinterpret_cast<TMinMaxInfo*>(msg.LParam);
            info->ptMinTrackSize = {form_->width(), form_->height()};
            info->ptMaxTrackSize = {form_->width(), form_->height()};
            msg.Result = 1;
        } else if (msg.Msg == WM_NCHITTEST) {
            if (msg.Result >= HTLEFT && msg.Result <= HTBOTTOMRIGHT)
                msg.Result = 0;
        } else if (msg.Msg == WM_INITMENUPOPUP && (msg.LParam >> 16) != 0) {
            msg.Result = 1;  // the system menu: no size or maximise command
        }
        return;
    }
    if (msg.Msg == WM_GETMINMAXINFO && msg.LParam != 0) {
        auto* info = reinterpret_cast<TMinMaxInfo*>(msg.LParam);
        const TWinMinMaxInfo& m = min_max_info_;
        if (m.MinTrackWidth() != 0)
            info->ptMinTrackSize.x = m.MinTrackWidth();
        if (m.MinTrackHeight() != 0)
            info->ptMinTrackSize.y = m.MinTrackHeight();
        if (m.MaxTrackWidth() != 0)
            info->ptMaxTrackSize.x = m.MaxTrackWidth();
        if (m.MaxTrackHeight() != 0)
            info->ptMaxTrackSize.y = m.MaxTrackHeight();
        if (m.MaxSizeWidth() != 0)
            info->ptMaxSize.x = m.MaxSizeWidth();
        if (m.MaxSizeHeight() != 0)
            info->ptMaxSize.y = m.MaxSizeHeight();
        if (m.MaxPosLeft() != 0)
            info->ptMaxPosition.x = m.MaxPosLeft();
        if (m.MaxPosTop() != 0)
            info->ptMaxPosition.y = m.MaxPosTop();
        msg.Result = 1;
    }
}

void TFormPlacement::FormShow() {
    if (active_)
        RestoreFormPlacement();
}

void TFormPlacement::FormCloseQuery(bool accepted) {
    if (accepted && active_ && form_)
        SaveFormPlacement();
}

void TFormPlacement::FormDestroy() {
    if (destroy_done_)
        return;
    destroy_done_ = true;
    if (active_ && !saved_ && form_) {
        destroying_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{destroying_};
        SaveFormPlacement();
    }
}

void TFormPlacement::WithStorage(const std::function<void(IniObject, const std::string&)>& fn) {
    const std::string section = IniSection();
    if (use_registry_) {
        platform::config::TRegIniFile registry(IniFileName());
        fn(&registry, section);
        registry.CloseKey();
    } else {
        platform::config::TIniFile file(IniFileName());
        fn(&file, section);
    }
}

void TFormPlacement::SaveFormPlacement() {
    if (active_ && !restored_)
        return;  // a placement that was never loaded is not written
    WithStorage([this](IniObject ini, const std::string& section) {
        WritePlacementValues(ini, section);
        if (OnSavePlacement)
            OnSavePlacement(this);
        saved_ = true;
    });
}

void TFormPlacement::RestoreFormPlacement() {
    saved_ = false;
    WithStorage([this](IniObject ini, const std::string& section) {
        ReadPlacementValues(ini, section);
        restored_ = true;
        if (OnRestorePlacement)
            OnRestorePlacement(this);
        if (options_.Contains(fpActiveControl) && form_) {
            const std::string name = IniReadString(ini, section, "ActiveControl", "");
            if (!name.empty()) {
                auto* control = form_->findChild<QWidget*>(QString::fromStdString(name));
                if (control != nullptr && control->focusPolicy() != Qt::NoFocus &&
                    control->isEnabled())
                    control->setFocus();
            }
        }
    });
    UpdatePlacement();
}

void TFormPlacement::WritePlacementValues(IniObject ini, std::string_view section) {
    if (!form_)
        return;
    StoreFormPlacement(form_, ini, section);
    if (options_.Contains(fpActiveControl)) {
        if (QWidget* focused = form_->focusWidget(); focused != nullptr && focused != form_)
            IniWriteString(ini, section, "ActiveControl", focused->objectName().toStdString());
    }
    IniWriteBool(ini, section, "Visible", destroying_);
}

void TFormPlacement::ReadPlacementValues(IniObject ini, std::string_view section) {
    if (form_)
        LoadFormPlacement(form_, ini, section, options_.Contains(fpState),
                          options_.Contains(fpPosition));
}

void TFormPlacement::UpdatePlacement() {
    if (!form_ || ComponentState().Contains(db::csLoading) || prevent_resize_ ||
        !min_max_info_.DefaultMinMaxInfo())
        return;
    const int border = MaximizedBorderSize(FormBorderStyle(form_));
    SetMaximizedPosition(form_, border, border);
}

}  // namespace support
