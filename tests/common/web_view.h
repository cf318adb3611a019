#pragma once

// Widget tests of a web view: its pages load, paint and answer questions
// after the calls that ask for them have returned, so the tests wait.

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <functional>
#include <memory>
#include <optional>

namespace web_testing {

// Runs `start`, then waits until the view has finished a load; false when none
// finished within the time.
inline bool AwaitLoad(QWebEngineView& view, const std::function<void()>& start,
                      int timeout_ms = 30000) {
    QEventLoop loop;
    bool finished = false;
    const auto connection = QObject::connect(&view, &QWebEngineView::loadFinished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    start();
    if (!finished) {
        QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QObject::disconnect(connection);
    return finished;
}

// What an asynchronous question to the page answers; nothing after the time.
template <typename T, typename Ask>
std::optional<T> Answer(Ask ask, int timeout_ms = 10000) {
    auto answer = std::make_shared<std::optional<T>>();
    QEventLoop loop;
    QPointer<QEventLoop> waiting(&loop);
    ask([answer, waiting](const T& value) {
        *answer = value;
        if (waiting)
            waiting->quit();
    });
    if (!answer->has_value()) {
        QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return *answer;
}

// The text of the view's page as laid out.
inline QString PageText(QWebEngineView& view) {
    return Answer<QString>([&view](auto done) { view.page()->toPlainText(done); })
        .value_or(QStringLiteral("<no answer>"));
}

// What an expression says about the page, asked from the test's own script
// world (the page's scripts are off; this one is not the page's).
inline QVariant Evaluate(QWebEngineView& view, const QString& expression) {
    return Answer<QVariant>([&](auto done) {
               view.page()->runJavaScript(expression, QWebEngineScript::ApplicationWorld, done);
           })
        .value_or(QVariant());
}

// The widget as drawn, once `ready` accepts the picture (the page paints a
// little after it has loaded) or the time is up.
inline QImage Painted(QWidget& widget, const std::function<bool(const QImage&)>& ready,
                      int timeout_ms = 10000) {
    QImage image;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        image = widget.grab().toImage();
        if (ready(image))
            break;
        QEventLoop pause;
        QTimer::singleShot(50, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return image;
}

// Whether some pixel of the picture matches.
inline bool AnyPixel(const QImage& image, const std::function<bool(const QColor&)>& match) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixelColor(x, y)))
                return true;
    return false;
}

}  // namespace web_testing
