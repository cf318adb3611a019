#pragma once

// Tick count and sleep, with hooks so tests of lock retries and time-outs
// run without real waiting.

#include <cstdint>
#include <functional>
#include <mutex>

namespace platform::os {

// Milliseconds of CLOCK_MONOTONIC cut to 32 bits: it wraps after 49.7 days,
// so compare ticks by unsigned difference.
std::uint32_t GetTickCount();

// Blocks the calling thread; 0 yields the time slice.
void Sleep(std::uint32_t milliseconds);

// Replacements for GetTickCount and Sleep; an empty function keeps the real one.
struct ClockHooks {
    std::function<std::uint32_t()> tick_count;
    std::function<void(std::uint32_t)> sleep;
};

// Installs hooks for the whole process while it lives and restores the
// previous ones when destroyed. Scopes must nest.
class ScopedClockHooks {
  public:
    explicit ScopedClockHooks(ClockHooks hooks);
    ~ScopedClockHooks();
    ScopedClockHooks(const ScopedClockHooks&) = delete;
    ScopedClockHooks& operator=(const ScopedClockHooks&) = delete;

  private:
    ClockHooks previous_;
};

// A clock that only moves when someone sleeps on it. Thread-safe.
class FakeClock {
  public:
    explicit FakeClock(std::uint32_t start_tick = 0) : now_(start_tick) {}

    // Hooks for ScopedClockHooks; they refer to this clock, which must outlive them.
    ClockHooks Hooks();
    std::uint32_t Now() const;
    void Advance(std::uint32_t milliseconds);
    // Number of Sleep calls and their total milliseconds.
    std::uint64_t SleepCount() const;
    std::uint64_t SleptMilliseconds() const;

  private:
    mutable std::mutex mutex_;
    std::uint32_t now_;
    std::uint64_t sleep_count_ = 0;
    std::uint64_t slept_ms_ = 0;
};

}  // namespace platform::os
