#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QWidget>

#include <string>
#include <vector>

#include "support/window_hook.h"
#include "support/window_hook_qt.h"

namespace {

using support::TMessage;
using support::TWindowHook;

class Counting : public QWidget {
  public:
    std::vector<std::string>* log = nullptr;

  protected:
    void closeEvent(QCloseEvent* e) override {
        log->push_back("widget close");
        e->accept();
    }
};

TEST(QtWindowHook, EventsRunThroughTheChainsAroundTheWidget) {
    std::vector<std::string> log;
    Counting widget;
    widget.log = &log;
    TWindowHook hook(nullptr);
    bool swallow = false;
    hook.BeforeMessage = [&](TWindowHook*, TMessage& m, bool& handled) {
        if (m.Msg == support::WM_CLOSE) {
            log.push_back("before close");
            handled = swallow;
        }
    };
    hook.AfterMessage = [&](TWindowHook*, TMessage& m, bool&) {
        if (m.Msg == support::WM_CLOSE)
            log.push_back("after close");
    };
    hook.SetWinControl(support::QtHookTarget::For(&widget));
    widget.show();
    EXPECT_TRUE(widget.close());
    EXPECT_EQ(log, (std::vector<std::string>{"before close", "widget close", "after close"}));

    // A handled message never reaches the widget.
    log.clear();
    swallow = true;
    widget.show();
    QCloseEvent close;
    QApplication::sendEvent(&widget, &close);
    EXPECT_EQ(log, (std::vector<std::string>{"before close", "after close"}));

    // Without hooks the widget runs on its own again.
    log.clear();
    hook.SetActive(false);
    QApplication::sendEvent(&widget, &close);
    EXPECT_EQ(log, std::vector<std::string>{"widget close"});
}

TEST(QtWindowHook, HookLetsGoOfADestroyedWidget) {
    TWindowHook hook(nullptr);
    auto* widget = new QWidget;
    hook.SetWinControl(support::QtHookTarget::For(widget));
    EXPECT_EQ(support::QtHookTarget::For(widget), hook.WinControl());  // one target per widget
    delete widget;
    EXPECT_EQ(hook.WinControl(), nullptr);
    QApplication::processEvents();
}

}  // namespace
