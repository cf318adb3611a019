#pragma once

// Message-clock milliseconds and window timers behind an interface, so double-click,
// auto-scroll and delayed-action timing can be driven by tests.

#include <cstdint>
#include <memory>
#include <vector>

namespace ui {

class TTimer;

class UiClock {
  public:
    virtual ~UiClock() = default;
    // Milliseconds on a monotonic clock (wraps like GetTickCount).
    virtual std::uint32_t TickCount() const = 0;
    // The double-click interval in milliseconds.
    virtual std::uint32_t DoubleClickTime() const = 0;
    // True when this clock runs the timers itself; otherwise they run on Qt's event loop.
    virtual bool DrivesTimers() const { return false; }
    virtual void StartTimer(TTimer&, int) {}
    virtual void StopTimer(TTimer&) {}
};

// Steady clock and the desktop's double-click time.
class SystemUiClock final : public UiClock {
  public:
    std::uint32_t TickCount() const override;
    std::uint32_t DoubleClickTime() const override;
};

// Time moves only when a test says so; timers started while it is installed fire only as
// Advance passes their due times.
class ManualUiClock final : public UiClock {
  public:
    ManualUiClock() = default;
    ~ManualUiClock() override;
    ManualUiClock(const ManualUiClock&) = delete;
    ManualUiClock& operator=(const ManualUiClock&) = delete;

    std::uint32_t TickCount() const override { return static_cast<std::uint32_t>(now_); }
    std::uint32_t DoubleClickTime() const override { return double_click_; }
    bool DrivesTimers() const override { return true; }
    void StartTimer(TTimer& timer, int interval) override;
    void StopTimer(TTimer& timer) override;

    // Moves time on by ms, firing every timer that falls due on the way, earliest first
    // (a repeating timer as often as its interval fits).
    void Advance(std::uint32_t ms);
    void Set(std::uint32_t ms) { now_ = ms; }
    void SetDoubleClickTime(std::uint32_t ms) { double_click_ = ms; }
    int RunningTimers() const { return static_cast<int>(timers_.size()); }

  private:
    struct Entry {
        TTimer* timer;
        std::uint64_t due;
        std::uint64_t interval;
        std::uint64_t order;
    };
    std::uint64_t now_ = 1000;
    std::uint32_t double_click_ = 500;
    std::uint64_t next_order_ = 0;
    std::vector<Entry> timers_;
};

UiClock& Clock();
// Installs a clock and returns the one it replaces (null for the built-in one).
std::unique_ptr<UiClock> SetClock(std::unique_ptr<UiClock> clock);

}  // namespace ui
