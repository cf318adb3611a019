#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "support/password_dialog.h"

namespace {

// A password list standing in for a session's.
struct PasswordLog {
    std::vector<std::string> passwords;
    std::vector<std::string> calls;

    support::PasswordActions Actions() {
        support::PasswordActions a;
        a.add = [this](std::string_view p) {
            passwords.emplace_back(p);
            calls.push_back("add " + std::string(p));
        };
        a.remove = [this](std::string_view p) {
            std::erase(passwords, std::string(p));
            calls.push_back("remove " + std::string(p));
        };
        a.remove_all = [this] {
            passwords.clear();
            calls.emplace_back("remove all");
        };
        return a;
    }
};

TEST(PasswordDialog, FormMatchesItsResource) {
    PasswordLog log;
    support::TStrataPasswordDialog dialog(log.Actions());
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Enter password");
    EXPECT_EQ(dialog.size(), QSize(273, 132));
    EXPECT_EQ(dialog.GroupBox->title().toStdString(), "Password");
    EXPECT_EQ(dialog.Edit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.AddButton->text().toStdString(), "&Add");
    EXPECT_EQ(dialog.RemoveButton->text().toStdString(), "&Remove");
    EXPECT_EQ(dialog.RemoveAllButton->text().toStdString(), "Re&move all");
    EXPECT_EQ(dialog.OKButton->text().toStdString(), "&OK");
    EXPECT_EQ(dialog.CancelButton->text().toStdString(), "Cancel");
    EXPECT_FALSE(dialog.AddButton->isEnabled());
    EXPECT_FALSE(dialog.RemoveButton->isEnabled());
    EXPECT_TRUE(dialog.RemoveAllButton->isEnabled());
    EXPECT_FALSE(dialog.OKButton->isEnabled());
    EXPECT_TRUE(dialog.OKButton->isDefault());
}

TEST(PasswordDialog, TypedTextIsMaskedAndEnablesButtons) {
    PasswordLog log;
    support::TStrataPasswordDialog dialog(log.Actions());
    dialog.Edit->setText("secret");
    EXPECT_EQ(dialog.Edit->displayText().toStdString(), "******");
    EXPECT_TRUE(dialog.AddButton->isEnabled());
    EXPECT_TRUE(dialog.RemoveButton->isEnabled());
    EXPECT_TRUE(dialog.OKButton->isEnabled());
    dialog.Edit->clear();
    EXPECT_FALSE(dialog.AddButton->isEnabled());
    EXPECT_FALSE(dialog.OKButton->isEnabled());
}

TEST(PasswordDialog, AddRemoveAndRemoveAllReachThePasswordList) {
    PasswordLog log;
    support::TStrataPasswordDialog dialog(log.Actions());
    dialog.Edit->setText("one");
    dialog.AddButton->click();
    EXPECT_TRUE(dialog.Edit->text().isEmpty());
    // A password added in this dialog keeps OK available with an empty edit.
    EXPECT_TRUE(dialog.OKButton->isEnabled());
    EXPECT_FALSE(dialog.AddButton->isEnabled());
    dialog.Edit->setText("two");
    dialog.AddButton->click();
    dialog.Edit->setText("one");
    dialog.RemoveButton->click();
    EXPECT_EQ(log.passwords, std::vector<std::string>{"two"});
    dialog.RemoveAllButton->click();
    EXPECT_TRUE(log.passwords.empty());
    EXPECT_EQ(log.calls,
              (std::vector<std::string>{"add one", "add two", "remove one", "remove all"}));
}

// Runs the dialog modally and drives it from inside its event loop.
template <typename Drive>
bool RunModal(PasswordLog& log, Drive drive) {
    QTimer::singleShot(0, [drive] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        drive(*static_cast<support::TStrataPasswordDialog*>(dialog));
    });
    return support::ExecutePasswordDialog(log.Actions());
}

TEST(PasswordDialog, ModalAnswers) {
    {
        // Nothing typed and nothing added: OK stays disabled, only Cancel closes.
        PasswordLog log;
        const bool answer = RunModal(log, [](support::TStrataPasswordDialog& d) {
            d.OKButton->click();
            EXPECT_TRUE(d.isVisible());
            d.CancelButton->click();
        });
        EXPECT_FALSE(answer);
        EXPECT_TRUE(log.calls.empty());
    }
    {
        // Added, then OK with an empty edit: true, and the empty text is added too.
        PasswordLog log;
        const bool answer = RunModal(log, [](support::TStrataPasswordDialog& d) {
            d.Edit->setText("pw");
            d.AddButton->click();
            d.OKButton->click();
        });
        EXPECT_TRUE(answer);
        EXPECT_EQ(log.calls, (std::vector<std::string>{"add pw", "add "}));
    }
    {
        PasswordLog log;
        const bool answer = RunModal(log, [](support::TStrataPasswordDialog& d) {
            d.Edit->setText("typed");
            d.OKButton->click();
        });
        EXPECT_TRUE(answer);
        EXPECT_EQ(log.passwords, std::vector<std::string>{"typed"});
    }
}

}  // namespace
