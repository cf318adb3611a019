#pragma once

// The hook target of a Qt widget. Its "window procedure" is an event filter:
// while a procedure is set, every event of the widget becomes a message, runs
// through the procedure, and reaches the widget only through `DefaultHandler`.
// Close, show, hide, move and resize events carry their window message numbers;
// other events carry WM_QTEVENT plus their type. WM_GETMINMAXINFO is asked of
// the procedure when the widget is shown and whenever `ApplyMinMaxInfo` runs,
// and its answer becomes the widget's minimum and maximum size.

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <vector>

#include "support/window_hook.h"

namespace support {

class QtHookTarget : public QObject, public THookTarget {
  public:
    // The one target of a widget, made on first use and freed with the widget.
    static QtHookTarget* For(QWidget* widget);
    ~QtHookTarget() override;

    QWidget* Widget() const { return widget_; }

    bool HandleAllocated() const override;
    void HandleNeeded() override;
    WindowProc GetWindowProc() const override { return proc_; }
    void SetWindowProc(WindowProc proc) override;
    void DefaultHandler(TMessage& message) override;
    bool Destroying() const override;

    // Asks the procedure for the size limits and applies them.
    void ApplyMinMaxInfo();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    explicit QtHookTarget(QWidget* widget);
    QPointer<QWidget> widget_;
    WindowProc proc_;
    // The widget's own limits, before any hook changed them.
    // The events handed to the widget while filters run, innermost last.
    std::vector<QEvent*> delivered_;
    QSize base_min_;
    QSize base_max_;
};

}  // namespace support
