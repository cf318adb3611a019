#include "platform/mail/address_book_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace mail {
namespace {

QString Shown(const Mailbox& box) {
    const QString address = QString::fromStdString(box.address);
    return box.name.empty() ? address : QString::fromStdString(box.name) + " <" + address + ">";
}

void AddEntry(QListWidget& list, const Mailbox& box) {
    auto* item = new QListWidgetItem(Shown(box), &list);
    item->setData(Qt::UserRole, QString::fromStdString(box.name));
    item->setData(Qt::UserRole + 1, QString::fromStdString(box.address));
}

std::vector<Mailbox> Entries(const QListWidget& list) {
    std::vector<Mailbox> out;
    for (int i = 0; i < list.count(); ++i) {
        const QListWidgetItem* item = list.item(i);
        out.push_back({item->data(Qt::UserRole).toString().toStdString(),
                       item->data(Qt::UserRole + 1).toString().toStdString()});
    }
    return out;
}

}  // namespace

std::optional<AddressBookChoice> ShowAddressBook(const std::vector<ContactItem>& contacts,
                                                 const AddressBookChoice& preset) {
    QDialog dialog;
    dialog.setWindowTitle("Address Book");
    auto* layout = new QVBoxLayout(&dialog);
    auto* search = new QLineEdit(&dialog);
    search->setPlaceholderText("Search by name or address");
    layout->addWidget(search);
    auto* grid = new QGridLayout;
    auto* found = new QListWidget(&dialog);
    found->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (const ContactItem& contact : contacts) {
        if (contact.email1.find('@') != std::string::npos)
            AddEntry(*found, {contact.full_name, contact.email1});
    }
    auto* none = new QLabel("The mail store has no contacts.", &dialog);
    none->setVisible(found->count() == 0);
    auto* to = new QListWidget(&dialog);
    auto* cc = new QListWidget(&dialog);
    for (const Mailbox& box : preset.to)
        AddEntry(*to, box);
    for (const Mailbox& box : preset.cc)
        AddEntry(*cc, box);
    auto* to_button = new QPushButton("T&o ->", &dialog);
    auto* cc_button = new QPushButton("&CC ->", &dialog);
    auto* remove = new QPushButton("&Remove", &dialog);
    grid->addWidget(new QLabel("Contacts:", &dialog), 0, 0);
    grid->addWidget(found, 1, 0, 4, 1);
    grid->addWidget(none, 5, 0);
    grid->addWidget(to_button, 1, 1);
    grid->addWidget(new QLabel("To:", &dialog), 0, 2);
    grid->addWidget(to, 1, 2);
    grid->addWidget(cc_button, 3, 1);
    grid->addWidget(new QLabel("CC:", &dialog), 2, 2);
    grid->addWidget(cc, 3, 2);
    grid->addWidget(remove, 4, 2, Qt::AlignRight);
    layout->addLayout(grid);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);

    QObject::connect(search, &QLineEdit::textChanged, &dialog, [found](const QString& text) {
        for (int i = 0; i < found->count(); ++i)
            found->item(i)->setHidden(!found->item(i)->text().contains(text, Qt::CaseInsensitive));
    });
    const auto move_to = [found](QListWidget* target) {
        for (QListWidgetItem* item : found->selectedItems()) {
            if (target->findItems(item->text(), Qt::MatchExactly).isEmpty())
                target->addItem(item->clone());
        }
    };
    QObject::connect(to_button, &QPushButton::clicked, &dialog, [=] { move_to(to); });
    QObject::connect(cc_button, &QPushButton::clicked, &dialog, [=] { move_to(cc); });
    QObject::connect(found, &QListWidget::itemDoubleClicked, &dialog, [=] { move_to(to); });
    QObject::connect(remove, &QPushButton::clicked, &dialog, [to, cc] {
        for (QListWidget* list : {to, cc})
            qDeleteAll(list->selectedItems());
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialog.resize(560, 380);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return AddressBookChoice{Entries(*to), Entries(*cc)};
}

}  // namespace mail
