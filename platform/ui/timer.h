#pragma once

// The class library's timer: Interval, Enabled and OnTimer over a QTimer, or over the
// installed clock when that drives timers (tests). Handlers run inside the exception
// boundary.

#include <functional>
#include <memory>

class QTimer;

namespace ui {

class UiClock;

class TTimer {
  public:
    TTimer();
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    int Interval() const { return interval_; }
    // Restarts a running timer with the new interval; 0 stops it.
    void SetInterval(int ms);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    // (Re)starts the timer with an interval, counting from now.
    void Start(int ms);
    void Stop() { SetEnabled(false); }
    // Running: enabled with an interval above 0.
    bool Running() const { return enabled_ && interval_ > 0; }

    // Runs OnTimer as if the interval had passed (for tests and forced steps).
    void Fire();

    std::function<void()> OnTimer;

  private:
    friend class ManualUiClock;
    void Update();
    std::unique_ptr<QTimer> timer_;
    UiClock* driver_ = nullptr;  // the clock running this timer, when one does
    int interval_ = 1000;
    bool enabled_ = false;
};

}  // namespace ui
