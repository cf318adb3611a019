#include "platform/ui/timer.h"

#include <QTimer>

#include "platform/ui/application.h"

namespace ui {

TTimer::TTimer() : timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Fire(); });
}

TTimer::~TTimer() = default;

void TTimer::SetInterval(int ms) {
    if (interval_ == ms)
        return;
    interval_ = ms;
    Update();
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled_ == enabled)
        return;
    enabled_ = enabled;
    Update();
}

void TTimer::Fire() {
    if (OnTimer)
        Guarded([this] { OnTimer(); });
}

void TTimer::Update() {
    timer_->stop();
    if (enabled_ && interval_ > 0)
        timer_->start(interval_);
}

}  // namespace ui
