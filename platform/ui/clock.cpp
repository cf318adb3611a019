#include "platform/ui/clock.h"

#include <QApplication>
#include <QStyleHints>

#include <chrono>
#include <utility>

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
