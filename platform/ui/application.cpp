#include "platform/ui/application.h"

#include <QAbstractEventDispatcher>
#include <QMetaObject>

#include "platform/ui/prompt.h"
#include "platform/ui/qt_text.h"

namespace ui {
namespace {

std::function<void()>& IdleHandler() {
    static std::function<void()> handler;
    return handler;
}

std::function<void(const std::string&)>& Handler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException(std::current_exception());
        return false;
    }
}

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

void HandleException(std::exception_ptr error) {
    std::string message = ExceptionMessage(error);
    try {
        if (Handler())
            Handler()(message);
        else
            ShowException(message);
    } catch (...) {
        // Showing the failure failed too; there is nobody left to tell.
    }
}

void SetExceptionHandler(std::function<void(const std::string&)> handler) {
    Handler() = std::move(handler);
}

bool Guarded(const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (...) {
        HandleException(std::current_exception());
        return false;
    }
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RunIdle() {
    if (IdleHandler())
        Guarded(IdleHandler());
}

void SetOnIdle(std::function<void()> handler) {
    static QMetaObject::Connection connection;
    IdleHandler() = std::move(handler);
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr || connection)
        return;
    connection =
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { RunIdle(); });
}

void SetApplicationTitle(std::string_view title) {
    QCoreApplication::setApplicationName(ToQ(title));
}

std::string ApplicationTitle() {
    return FromQ(QCoreApplication::applicationName());
}

}  // namespace ui
