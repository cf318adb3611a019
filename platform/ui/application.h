#pragma once

// The exception boundary: no exception ever crosses Qt. QApplication::notify and every
// handler adapter catch it and show it through the prompt service.

#include <QApplication>

#include <exception>
#include <functional>
#include <string>

namespace ui {

class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Shows a caught exception through the prompt service (error box, OK). Runs the
// OnException hook instead when one is installed.
void HandleException(std::exception_ptr error);
// The message a caught exception is shown with.
std::string ExceptionMessage(std::exception_ptr error);
// Replaces the default showing of exceptions (tests, the application's own box).
void SetExceptionHandler(std::function<void(const std::string& message)> handler);

// Runs a handler inside the boundary; true when it finished without an exception.
bool Guarded(const std::function<void()>& handler);

}  // namespace ui
