#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <stdexcept>

#include "platform/ui/application.h"
#include "platform/ui/prompt.h"
#include "platform/ui/timer.h"

namespace ui {
namespace {

class Thrower : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("handler failed");
        return QObject::event(e);
    }
};

TEST(ExceptionBoundary, NotifyShowsTheFailureAndQtCarriesOn) {
    auto service = std::make_unique<ScriptedPromptService>();
    ScriptedPromptService& script = *service;
    ScopedPromptService scope(std::move(service));
    Thrower thrower;
    QEvent event(QEvent::User);
    EXPECT_NO_THROW(QCoreApplication::sendEvent(&thrower, &event));
    ASSERT_EQ(script.Asked().size(), 1u);
    EXPECT_EQ(script.Asked()[0].text, "handler failed");
    EXPECT_EQ(script.Asked()[0].type, mtError);
}

TEST(ExceptionBoundary, GuardedHandlersReportThroughTheHook) {
    std::string shown;
    SetExceptionHandler([&](const std::string& m) { shown = m; });
    EXPECT_TRUE(Guarded([] {}));
    EXPECT_FALSE(Guarded([] { throw std::logic_error("bad"); }));
    EXPECT_FALSE(Guarded([] { throw 42; }));
    EXPECT_EQ(shown, "Unknown error");
    SetExceptionHandler(nullptr);
}

TEST(Timer, FiresWhenEnabledAndCatchesHandlerFailures) {
    std::string shown;
    SetExceptionHandler([&](const std::string& m) { shown = m; });
    TTimer timer;
    int fired = 0;
    timer.OnTimer = [&] {
        ++fired;
        timer.SetEnabled(false);
        throw std::runtime_error("tick");
    };
    timer.SetInterval(1);
    timer.SetEnabled(true);
    QElapsedTimer waited;
    waited.start();
    while (fired == 0 && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(shown, "tick");
    EXPECT_FALSE(timer.Enabled());
    SetExceptionHandler(nullptr);
}

}  // namespace
}  // namespace ui
