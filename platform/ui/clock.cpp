#include "platform/ui/clock.h"

#include <QApplication>
#include <QStyleHints>

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/ui/timer.h"

namespace ui {
namespace {

std::unique_ptr<UiClock>& Installed() {
    static std::unique_ptr<UiClock> clock;
    return clock;
}

}  // namespace

std::uint32_t SystemUiClock::TickCount() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());
}

std::uint32_t SystemUiClock::DoubleClickTime() const {
    if (QGuiApplication::instance() == nullptr)
        return 500;
    return static_cast<std::uint32_t>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
}

ManualUiClock::~ManualUiClock() {
    // Timers outlive a test's clock: they simply stop being driven.
    for (Entry& e : timers_)
        e.timer->driver_ = nullptr;
}

void ManualUiClock::StartTimer(TTimer& timer, int interval) {
    StopTimer(timer);
    auto step = static_cast<std::uint64_t>(std::max(1, interval));
    timers_.push_back({&timer, now_ + step, step, next_order_++});
}

void ManualUiClock::StopTimer(TTimer& timer) {
    std::erase_if(timers_, [&timer](const Entry& e) { return e.timer == &timer; });
}

void ManualUiClock::Advance(std::uint32_t ms) {
    const std::uint64_t target = now_ + ms;
    for (;;) {
        // Handlers may start, stop or destroy timers, so the earliest is looked up afresh.
        auto due =
            std::min_element(timers_.begin(), timers_.end(), [](const Entry& a, const Entry& b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
        if (due == timers_.end() || due->due > target)
            break;
        now_ = due->due;
        due->due += due->interval;
        due->order = next_order_++;
        TTimer* timer = due->timer;
        timer->Fire();
    }
    now_ = target;
}

UiClock& Clock() {
    static SystemUiClock system;
    if (auto& clock = Installed())
        return *clock;
    return system;
}

std::unique_ptr<UiClock> SetClock(std::unique_ptr<UiClock> clock) {
    return std::exchange(Installed(), std::move(clock));
}

}  // namespace ui
