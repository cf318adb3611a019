#include "support/password_dialog.h"

#include <string>
#include <utility>

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include "engine/dataset/strata_session.h"

namespace support {

namespace {

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace

TStrataPasswordDialog::TStrataPasswordDialog(PasswordActions actions, QWidget* parent)
    : QDialog(parent), actions_(std::move(actions)) {
    setWindowTitle(QStringLiteral("Enter password"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(273, 132);
    setObjectName(QStringLiteral("StrataPasswordDialog"));

    GroupBox = new QGroupBox(QStringLiteral("Password"), this);
    GroupBox->setGeometry(8, 4, 257, 89);
    Edit = new QLineEdit(GroupBox);
    Edit->setObjectName(QStringLiteral("Edit"));
    Edit->setEchoMode(QLineEdit::Password);
    // The mask character is the form's "*", not the style's own bullet.
    Edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    Edit->setGeometry(12, 20, 233, 21);
    AddButton = new QPushButton(QStringLiteral("&Add"), GroupBox);
    AddButton->setObjectName(QStringLiteral("AddButton"));
    AddButton->setGeometry(12, 52, 73, 25);
    AddButton->setEnabled(false);
    AddButton->setAutoDefault(false);
    RemoveButton = new QPushButton(QStringLiteral("&Remove"), GroupBox);
    RemoveButton->setObjectName(QStringLiteral("RemoveButton"));
    RemoveButton->setGeometry(92, 52, 73, 25);
    RemoveButton->setEnabled(false);
    RemoveButton->setAutoDefault(false);
    RemoveAllButton = new QPushButton(QStringLiteral("Re&move all"), GroupBox);
    RemoveAllButton->setObjectName(QStringLiteral("RemoveAllButton"));
    RemoveAllButton->setGeometry(172, 52, 73, 25);
    RemoveAllButton->setAutoDefault(false);
    OKButton = new QPushButton(QStringLiteral("&OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(112, 100, 73, 25);
    OKButton->setDefault(true);
    OKButton->setEnabled(false);
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(192, 100, 73, 25);
    CancelButton->setAutoDefault(false);

    connect(Edit, &QLineEdit::textChanged, this, [this] { EditChange(); });
    connect(AddButton, &QPushButton::clicked, this, [this] { AddButtonClick(); });
    connect(RemoveButton, &QPushButton::clicked, this, [this] { RemoveButtonClick(); });
    connect(RemoveAllButton, &QPushButton::clicked, this, [this] { RemoveAllButtonClick(); });
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    Edit->setFocus();
}

void TStrataPasswordDialog::EditChange() {
    const bool has_text = !Edit->text().isEmpty();
    AddButton->setEnabled(has_text);
    RemoveButton->setEnabled(has_text);
    OKButton->setEnabled(has_text || password_added_);
}

void TStrataPasswordDialog::AddButtonClick() {
    if (actions_.add)
        actions_.add(Utf8(Edit->text()));
    password_added_ = true;
    Edit->clear();
    EditChange();
    Edit->setFocus();
}

void TStrataPasswordDialog::RemoveButtonClick() {
    if (actions_.remove)
        actions_.remove(Utf8(Edit->text()));
    Edit->clear();
    EditChange();
    Edit->setFocus();
}

void TStrataPasswordDialog::RemoveAllButtonClick() {
    if (actions_.remove_all)
        actions_.remove_all();
    Edit->setFocus();
}

void TStrataPasswordDialog::OKButtonClick() {
    // An empty text is added too: the engine then retries with what the
    // session holds, which is what a user who pressed Add before expects.
    if (!OKButton->isEnabled())
        return;
    if (actions_.add)
        actions_.add(Utf8(Edit->text()));
    accept();
}

bool ExecutePasswordDialog(PasswordActions actions) {
    TStrataPasswordDialog dialog(std::move(actions));
    return dialog.exec() == QDialog::Accepted;
}

bool ShowPasswordDialog(strata::TStrataSession& session) {
    PasswordActions actions;
    actions.add = [&session](std::string_view password) { session.AddPassword(password); };
    actions.remove = [&session](std::string_view password) { session.RemovePassword(password); };
    actions.remove_all = [&session] { session.RemoveAllPasswords(); };
    return ExecutePasswordDialog(std::move(actions));
}

void InstallPasswordDialog() {
    strata::TStrataSession::PasswordPrompt = [](strata::TStrataSession& session) {
        return ShowPasswordDialog(session);
    };
}

}  // namespace support
