#include "platform/ui/timer.h"

#include <QTimer>

#include "platform/ui/application.h"
#include "platform/ui/clock.h"

namespace ui {

TTimer::TTimer() : timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Fire(); });
}

TTimer::~TTimer() {
    if (driver_ != nullptr)
        driver_->StopTimer(*this);
}

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

void TTimer::Start(int ms) {
    interval_ = ms;
    enabled_ = true;
    Update();
}

void TTimer::Fire() {
    if (OnTimer)
        Guarded([this] { OnTimer(); });
}

void TTimer::Update() {
    timer_->stop();
    if (driver_ != nullptr) {
        driver_->StopTimer(*this);
        driver_ = nullptr;
    }
    if (!enabled_ || interval_ <= 0)
        return;
    UiClock& clock = Clock();
    if (clock.DrivesTimers()) {
        clock.StartTimer(*this, interval_);
        driver_ = &clock;
    } else {
        timer_->start(interval_);
    }
}

}  // namespace ui
