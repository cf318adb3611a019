#include "platform/os/clock.h"

#include <time.h>

#include <chrono>
#include <thread>
#include <utility>

namespace platform::os {
namespace {

std::mutex& hooks_mutex() {
    static std::mutex mutex;
    return mutex;
}

ClockHooks& installed_hooks() {
    static ClockHooks hooks;
    return hooks;
}

std::uint32_t real_tick_count() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

}  // namespace

std::uint32_t GetTickCount() {
    std::function<std::uint32_t()> hook;
    {
        std::lock_guard lock(hooks_mutex());
        hook = installed_hooks().tick_count;
    }
    return hook ? hook() : real_tick_count();
}

void Sleep(std::uint32_t milliseconds) {
    std::function<void(std::uint32_t)> hook;
    {
        std::lock_guard lock(hooks_mutex());
        hook = installed_hooks().sleep;
    }
    if (hook) {
        hook(milliseconds);
    } else if (milliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

ScopedClockHooks::ScopedClockHooks(ClockHooks hooks) {
    std::lock_guard lock(hooks_mutex());
    previous_ = std::exchange(installed_hooks(), std::move(hooks));
}

ScopedClockHooks::~ScopedClockHooks() {
    std::lock_guard lock(hooks_mutex());
    installed_hooks() = std::move(previous_);
}

ClockHooks FakeClock::Hooks() {
    return {[this] { return Now(); },
            [this](std::uint32_t ms) {
                std::lock_guard lock(mutex_);
                now_ += ms;
                ++sleep_count_;
                slept_ms_ += ms;
            }};
}

std::uint32_t FakeClock::Now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void FakeClock::Advance(std::uint32_t milliseconds) {
    std::lock_guard lock(mutex_);
    now_ += milliseconds;
}

std::uint64_t FakeClock::SleepCount() const {
    std::lock_guard lock(mutex_);
    return sleep_count_;
}

std::uint64_t FakeClock::SleptMilliseconds() const {
    std::lock_guard lock(mutex_);
    return slept_ms_;
}

}  // namespace platform::os
