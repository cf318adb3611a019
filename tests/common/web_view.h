#pragma once

// Web views load, paint and answer after the calls that ask have returned:
// widget tests wait for them here.

#include <QEventLoop>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWebEngineView>

#include <functional>
#include <memory>

namespace web_testing {

// Runs `start`, then waits until the view has shown a page (a load cut short
// by the next one does not count); false when none did within the time.
inline bool AwaitLoad(QWebEngineView& view, const std::function<void()>& start) {
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&view, &QWebEngineView::loadFinished, &loop, [&](bool ok) {
        finished = ok;
        if (ok)
            loop.quit();
    });
    start();
    if (!finished) {
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return finished;
}

// The page's text as laid out; an answer after the wait finds no loop.
inline QString PageText(QWebEngineView& view) {
    auto text = std::make_shared<QString>(QStringLiteral("<no answer>"));
    QEventLoop loop;
    view.page()->toPlainText([text, waiting = QPointer<QEventLoop>(&loop)](const QString& answer) {
        *text = answer;
        if (waiting)
            waiting->quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return *text;
}

// The widget as drawn once `ready` accepts it (the page paints a little after
// it has loaded), or after some seconds.
inline QImage Painted(QWidget& widget, const std::function<bool(const QImage&)>& ready) {
    QImage image = widget.grab().toImage();
    for (int i = 0; i < 100 && !ready(image); ++i, image = widget.grab().toImage()) {
        QEventLoop pause;
        QTimer::singleShot(100, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return image;
}

}  // namespace web_testing
