#pragma once

// The exception boundary: no exception ever crosses Qt. QApplication::notify and every
// handler adapter catch it and show it through the prompt service.

#include <QApplication>

#include <exception>
#include <functional>
#include <string>
#include <string_view>

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

// Lets the message queue run once (the class library's Application.ProcessMessages).
void ProcessMessages();

// The idle handler runs each time the message queue has emptied and the program is about
// to wait (the class library's Application.OnIdle). An empty function removes it.
void SetOnIdle(std::function<void()> handler);
// Runs the idle handler now (tests).
void RunIdle();

// The application's title (window group name and the default caption of boxes).
void SetApplicationTitle(std::string_view title);
std::string ApplicationTitle();

}  // namespace ui
