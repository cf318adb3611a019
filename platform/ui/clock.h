#pragma once

// Message-clock milliseconds behind an interface, so double-click and auto-scroll timing
// can be driven by tests.

#include <cstdint>
#include <memory>

namespace ui {

class UiClock {
  public:
    virtual ~UiClock() = default;
    // Milliseconds on a monotonic clock (wraps like GetTickCount).
    virtual std::uint32_t TickCount() const = 0;
    // The double-click interval in milliseconds.
    virtual std::uint32_t DoubleClickTime() const = 0;
};

// Steady clock and the desktop's double-click time.
class SystemUiClock final : public UiClock {
  public:
    std::uint32_t TickCount() const override;
    std::uint32_t DoubleClickTime() const override;
};

// Time moves only when a test says so.
class ManualUiClock final : public UiClock {
  public:
    std::uint32_t TickCount() const override { return now_; }
    std::uint32_t DoubleClickTime() const override { return double_click_; }
    void Advance(std::uint32_t ms) { now_ += ms; }
    void Set(std::uint32_t ms) { now_ = ms; }
    void SetDoubleClickTime(std::uint32_t ms) { double_click_ = ms; }

  private:
    std::uint32_t now_ = 1000;
    std::uint32_t double_click_ = 500;
};

UiClock& Clock();
// Installs a clock and returns the one it replaces (null for the built-in one).
std::unique_ptr<UiClock> SetClock(std::unique_ptr<UiClock> clock);

}  // namespace ui
