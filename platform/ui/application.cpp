#include "platform/ui/application.h"

#include "platform/ui/prompt.h"

namespace ui {
namespace {

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

}  // namespace ui
