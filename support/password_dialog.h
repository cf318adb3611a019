#pragma once

// TStrataPasswordDialog: the modal dialog in which the user adds passwords to
// a session's password list, removes them or clears the list, when the
// engine opens an encrypted table whose password the session lacks.

#include <functional>
#include <string_view>

#include <QDialog>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace strata {
class TStrataSession;
}

namespace support {

// What the dialog does to the session's password list. Kept as three
// actions so the dialog can be run against any holder of passwords.
struct PasswordActions {
    std::function<void(std::string_view password)> add;
    std::function<void(std::string_view password)> remove;
    std::function<void()> remove_all;
};

class TStrataPasswordDialog : public QDialog {
  public:
    explicit TStrataPasswordDialog(PasswordActions actions, QWidget* parent = nullptr);

    void EditChange();
    void AddButtonClick();
    void RemoveButtonClick();
    void RemoveAllButtonClick();
    void OKButtonClick();

    QGroupBox* GroupBox;
    QLineEdit* Edit;
    QPushButton* AddButton;
    QPushButton* RemoveButton;
    QPushButton* RemoveAllButton;
    QPushButton* OKButton;
    QPushButton* CancelButton;

  private:
    PasswordActions actions_;
    bool password_added_ = false;
};

// Shows the dialog modally over the given actions; true when it closed with OK.
bool ExecutePasswordDialog(PasswordActions actions);

// Shows the dialog for a session; true when the engine should try again.
bool ShowPasswordDialog(strata::TStrataSession& session);

// Makes the dialog the sessions' password prompt (TStrataSession::PasswordPrompt).
void InstallPasswordDialog();

}  // namespace support
