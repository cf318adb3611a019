// A program guarded by TOneInstance, started by the guard's tests as first and
// later copies. It prints "first" or "handed over" on its standard output; a
// first copy appends every hand-over it receives to the file named by
// CORVANE_PEER_LOG: "event <count>" followed by one "param <text>" line each,
// then "window minimized" or "window shown" for its own window, which it
// starts minimised. A first copy that is handed the parameter "quit" ends
// normally after logging it; one handed "wait" runs a nested event loop for a
// second before it returns, as a handler showing a modal box would. CORVANE_PEER_SCOPE,
// when set, is the guard's scope.

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support/one_instance.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    support::TOneInstance guard(nullptr);
    QWidget window;
    guard.OnInstanceStarted = [&window](db::TObject*, db::TStringList& params) {
        const char* log = std::getenv("CORVANE_PEER_LOG");
        if (log == nullptr)
            return;
        std::ofstream out(log, std::ios::app);
        out << "event " << params.Count() << '\n';
        for (std::int64_t i = 0; i < params.Count(); ++i)
            out << "param " << params.Strings(i) << '\n';
        out << (window.isMinimized() ? "window minimized" : "window shown") << '\n';
        out.flush();
        if (params.IndexOf("wait") >= 0) {
            QEventLoop loop;
            QTimer::singleShot(1000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (params.IndexOf("quit") >= 0)
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    };
    // CORVANE_PEER_HALT set: a copy that hands over ends at once.
    guard.SetUseHaltToExit(std::getenv("CORVANE_PEER_HALT") != nullptr);
    if (const char* scope = std::getenv("CORVANE_PEER_SCOPE"))
        guard.SetScope(scope);
    guard.Loaded();
    if (guard.IsFirstCopy())
        window.showMinimized();
    std::puts(guard.HandedOver() ? "handed over" : guard.IsFirstCopy() ? "first" : "unguarded");
    std::fflush(stdout);
    return app.exec();
}
