// The Simple-MAPI module's address book window (built into the module; the
// widget tests compile it in too).
#include "platform/mail/address_book_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

namespace mail {
namespace {

const std::filesystem::path kStartDir = std::filesystem::current_path();

// Acts on the window once it shows: what `act` does to it, then OK.
void WhenShown(std::function<void(QDialog&)> act) {
    QTimer::singleShot(0, [act] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible()) {
                act(*dialog);
                dialog->accept();
            }
    });
}

TEST(AddressBookDialog, SearchesTheContactsAndFillsToAndCc) {
    WhenShown([](QDialog& dialog) {
        const auto lists = dialog.findChildren<QListWidget*>();
        ASSERT_EQ(lists.size(), 3);
        dialog.findChild<QLineEdit*>()->setText("ann");
        QListWidget& found = *lists[0];
        EXPECT_FALSE(found.item(0)->isHidden());
        EXPECT_TRUE(found.item(1)->isHidden()) << "Bob does not match";
        found.item(0)->setSelected(true);
        for (QPushButton* b : dialog.findChildren<QPushButton*>())
            if (b->text() == "&CC ->")
                b->click();
        dialog.grab().save(QString::fromStdString((kStartDir / "address_book.png").string()));
    });
    const auto chosen =
        ShowAddressBook({{"Ann Example", "ann@example.org"}, {"Bob", "bob@example.org"}},
                        {{{"Boss", "boss@example.org"}}, {}});
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->to, (std::vector<Mailbox>{{"Boss", "boss@example.org"}}));
    EXPECT_EQ(chosen->cc, (std::vector<Mailbox>{{"Ann Example", "ann@example.org"}}));

    WhenShown([](QDialog& dialog) {
        bool said = false;
        for (QLabel* label : dialog.findChildren<QLabel*>())
            said = said || (label->text() == "The mail store has no contacts." &&
                            label->isVisibleTo(&dialog));
        EXPECT_TRUE(said);
    });
    EXPECT_TRUE(ShowAddressBook({}, {}).has_value());
}

}  // namespace
}  // namespace mail
