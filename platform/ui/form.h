#pragma once

// The class library's form over a QMainWindow: Caption, Position, ActiveControl, the
// OnShow/OnCloseQuery/OnClose events and ShowModal with its modal result. A modal form
// stays up until its ModalResult is set (by a button or by code) and OnCloseQuery allows
// it; a handler may set ModalResult back to mrNone to keep the form open.
//
// Tests never block on a form: with a modal handler installed, ShowModal shows the form,
// hands it to the handler (which clicks and types as a user would) and returns the result
// the handler left behind.

#include <QMainWindow>

#include <functional>
#include <string>
#include <string_view>

#include "platform/ui/prompt.h"

class QVBoxLayout;

namespace ui {

enum class TPosition { poDesigned, poScreenCenter, poMainFormCenter, poOwnerFormCenter };
using enum TPosition;

class TForm : public QMainWindow {
  public:
    // A dialog form stays on top of its owner and has no task-bar entry of its own.
    explicit TForm(QWidget* owner = nullptr, bool dialog = true);
    ~TForm() override;

    std::string Caption() const;
    void SetCaption(std::string_view caption);

    TPosition Position() const { return position_; }
    void SetPosition(TPosition position) { position_ = position; }

    QWidget* ActiveControl() const;
    void SetActiveControl(QWidget* control);

    TModalResult ModalResult() const { return modal_result_; }
    void SetModalResult(TModalResult result) { modal_result_ = result; }
    // Shows the form modally and answers the modal result it closed with.
    TModalResult ShowModal();
    bool Modal() const { return modal_; }

    void Show();
    void Hide() { hide(); }
    // Asks OnCloseQuery, then runs OnClose and hides the form.
    void Close() { close(); }
    // Runs OnCloseQuery; true when the form may close.
    bool CloseQuery();

    int HelpContext() const { return help_context_; }
    void SetHelpContext(int context) { help_context_ = context; }

    // The area that holds the form's controls (under the menu, above the status bar).
    QWidget* Client() const { return client_; }
    // The client's vertical layout, for forms that stack their parts.
    QVBoxLayout* ClientLayout() const;

    std::function<void()> OnShow;
    std::function<void(bool& can_close)> OnCloseQuery;
    std::function<void()> OnClose;

  protected:
    // Moves the window, frame and all, inside its screen's free area where it fits there.
    void KeepOnScreen();
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void PlaceOnScreen();
    void RunOnClose();

    QWidget* client_;
    TPosition position_ = poScreenCenter;
    TModalResult modal_result_ = mrNone;
    bool modal_ = false;
    bool placed_ = false;
    int help_context_ = 0;
};

// The form the user is working in: the innermost modal form, else the active window.
TForm* ActiveForm();

// What a test does with a form that is shown modally. It runs after OnShow; the form's
// ModalResult afterwards is ShowModal's answer (mrCancel when the handler left none).
using ModalHandler = std::function<void(TForm& form)>;
// Installs a modal handler for one scope and restores the previous one afterwards.
class ScopedModalHandler {
  public:
    explicit ScopedModalHandler(ModalHandler handler);
    ~ScopedModalHandler();
    ScopedModalHandler(const ScopedModalHandler&) = delete;
    ScopedModalHandler& operator=(const ScopedModalHandler&) = delete;

  private:
    ModalHandler previous_;
};

}  // namespace ui
