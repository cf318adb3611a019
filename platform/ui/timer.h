#pragma once

// The class library's timer: Interval, Enabled and OnTimer over a QTimer. Handlers run
// inside the exception boundary.

#include <functional>
#include <memory>

class QTimer;

namespace ui {

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

    // Runs OnTimer as if the interval had passed (for tests and forced steps).
    void Fire();

    std::function<void()> OnTimer;

  private:
    void Update();
    std::unique_ptr<QTimer> timer_;
    int interval_ = 1000;
    bool enabled_ = false;
};

}  // namespace ui
