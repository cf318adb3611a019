#include "platform/mail/address_book_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace mail {
namespace {

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
    });
    const auto chosen =
        ShowAddressBook({{"Ann Example", "ann@example.org"}, {"Bob", "bob@example.org"}},
                        {{{"Boss", "boss@example.org"}}, {}});
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->to, (std::vector<Mailbox>{{"Boss", "boss@example.org"}}));
    EXPECT_EQ(chosen->cc, (std::vector<Mailbox>{{"Ann Example", "ann@example.org"}}));

    WhenShown([](QDialog& dialog) {
        const auto labels = dialog.findChildren<QLabel*>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* label) {
            return label->text() == "The mail store has no contacts." &&
                   label->isVisibleTo(&dialog);
        }));
    });
    EXPECT_TRUE(ShowAddressBook({}, {}).has_value());
}

}  // namespace
}  // namespace mail
