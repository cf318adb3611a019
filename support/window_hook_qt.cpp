#include "support/window_hook_qt.h"

#include <QEvent>

#include <algorithm>

#include "platform/ui/application.h"

namespace support {

namespace {

constexpr const char* kTargetName = "corvane_hook_target";
constexpr int kQWidgetMaxSize = 16777215;  // QWIDGETSIZE_MAX

TMessage MessageOf(QEvent* event) {
    TMessage message;
    message.Event = event;
    switch (event->type()) {
        case QEvent::Close:
            message.Msg = WM_CLOSE;
            break;
        case QEvent::Show:
            message.Msg = WM_SHOWWINDOW;
            message.WParam = 1;
            break;
        case QEvent::Hide:
            message.Msg = WM_SHOWWINDOW;
            break;
        case QEvent::Move:
            message.Msg = WM_MOVE;
            break;
        case QEvent::Resize:
            message.Msg = WM_SIZE;
            break;
        default:
            message.Msg = WM_QTEVENT + static_cast<std::uint32_t>(event->type());
            break;
    }
    return message;
}

}  // namespace

QtHookTarget* QtHookTarget::For(QWidget* widget) {
    if (widget == nullptr)
        return nullptr;
    for (QObject* child : widget->children()) {
        if (child->objectName() == QLatin1String(kTargetName)) {
            if (auto* target = dynamic_cast<QtHookTarget*>(child))
                return target;
        }
    }
    return new QtHookTarget(widget);
}

QtHookTarget::QtHookTarget(QWidget* widget) : QObject(widget), widget_(widget) {
    setObjectName(QLatin1String(kTargetName));
    base_min_ = widget->minimumSize();
    base_max_ = widget->maximumSize();
}

QtHookTarget::~QtHookTarget() {
    Gone();
}

bool QtHookTarget::HandleAllocated() const {
    return widget_ != nullptr;
}

void QtHookTarget::HandleNeeded() {}

bool QtHookTarget::Destroying() const {
    return widget_ == nullptr || THookTarget::Destroying();
}

void QtHookTarget::SetWindowProc(WindowProc proc) {
    if (widget_ == nullptr)
        return;
    if (proc && !proc_)
        widget_->installEventFilter(this);
    else if (!proc && proc_)
        widget_->removeEventFilter(this);
    proc_ = std::move(proc);
}

void QtHookTarget::DefaultHandler(TMessage& message) {
    if (widget_ == nullptr)
        return;
    if (message.Event != nullptr) {
        // QObject::event is public; the widget's override runs.
        QObject* object = widget_;
        delivered_.push_back(static_cast<QEvent*>(message.Event));
        message.Result = object->event(static_cast<QEvent*>(message.Event)) ? 1 : 0;
    } else if (message.Msg == WM_GETMINMAXINFO && message.LParam != 0) {
        auto* info = reinterpret_cast<TMinMaxInfo*>(message.LParam);
        const QSize min = base_min_;
        const QSize max = base_max_;
        info->ptMinTrackSize = {min.width(), min.height()};
        info->ptMaxTrackSize = {max.width(), max.height()};
    }
}

void QtHookTarget::ApplyMinMaxInfo() {
    if (widget_ == nullptr)
        return;
    TMinMaxInfo info;
    TMessage message;
    message.Msg = WM_GETMINMAXINFO;
    message.LParam = reinterpret_cast<std::intptr_t>(&info);
    DefaultHandler(message);  // the widget's own limits come first
    message.Result = 0;
    Perform(message);
    const auto clamp = [](std::int32_t v) { return std::clamp(v, 0, kQWidgetMaxSize); };
    widget_->setMinimumSize(clamp(info.ptMinTrackSize.x), clamp(info.ptMinTrackSize.y));
    widget_->setMaximumSize(clamp(info.ptMaxTrackSize.x), clamp(info.ptMaxTrackSize.y));
}

bool QtHookTarget::eventFilter(QObject* watched, QEvent* event) {
    if (watched != widget_ || !proc_)
        return false;
    TMessage message = MessageOf(event);
    const WindowProc proc = proc_;  // the procedure may be replaced while it runs
    // A hook's failure is shown; it never crosses Qt, and it never keeps the
    // event from the widget (a placement that cannot be read must not cost the
    // form its own show).
    const std::size_t mark = delivered_.size();
    const bool ok = ui::Guarded([&] {
        if (event->type() == QEvent::Show)
            ApplyMinMaxInfo();
        (*proc)(message);
    });
    const bool reached =
        std::find(
            delivered_.begin() + static_cast<std::ptrdiff_t>(std::min(mark, delivered_.size())),
            delivered_.end(), event) != delivered_.end();
    delivered_.resize(std::min(mark, delivered_.size()));
    if (!ok && !reached && widget_ != nullptr) {
        QObject* object = widget_;
        ui::Guarded([&] { object->event(event); });
    }
    return true;
}

}  // namespace support
