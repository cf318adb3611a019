#include "app/forms/get_more_dialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/routines/text_routines.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

void AddNodes(QTreeWidgetItem* parent, QTreeWidget* tree, const std::vector<FolderNode>& nodes) {
    for (const FolderNode& node : nodes) {
        auto* item = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
        item->setText(0, QString::fromStdString(node.text));
        AddNodes(item, tree, node.children);
    }
}

}  // namespace

TdlgGetMore::TdlgGetMore(QWidget* owner, AddressGatherer& gatherer)
    : ui::TForm(owner), gatherer_(gatherer) {
    SetCaption("Scan Outlook");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(204);
    ClientLayout()->addWidget(new ui::TLabel(
        Client(), "Please select the Outlook folder you would like to retrieve addresses from:"));
    auto* row = new QHBoxLayout;
    trvFolders = new QTreeWidget(Client());
    trvFolders->setHeaderHidden(true);
    row->addWidget(trvFolders, 1);
    auto* options = new ui::TGroupBox(Client(), "Options:");
    options->Layout()->addWidget(new ui::TLabel(options, "Retrieve e-mail addresses from:"));
    chkfrom = new ui::TCheckBox(options, "From Address");
    chkfrom->SetChecked(true);
    CHKRECIPIENTS = new ui::TCheckBox(options, "Recipient Addresses");
    chkbody = new ui::TCheckBox(options, "Message Body ");
    for (ui::TCheckBox* box : {chkfrom, CHKRECIPIENTS, chkbody})
        options->Layout()->addWidget(box);
    options->Layout()->addStretch(1);
    row->addWidget(options);
    ClientLayout()->addLayout(row, 1);
    ClientLayout()->addWidget(new ui::TLabel(Client(), "* Folder contains Outlook contacts"));
    // Working controls the user never sees.
    chkto = new ui::TCheckBox(Client(), "To Address");
    chkcc = new ui::TCheckBox(Client(), "CC: Address");
    chkScanContacts = new ui::TCheckBox(Client());
    rdbmessages = new ui::TRadioButton(Client());
    rdbcontacts = new ui::TRadioButton(Client());
    rdbmessages->SetChecked(true);
    edtContactsFolder = new ui::TEdit(Client());
    for (QWidget* hidden : std::initializer_list<QWidget*>{
             chkto, chkcc, chkScanContacts, rdbmessages, rdbcontacts, edtContactsFolder})
        hidden->hide();
    btnOK = new ui::TButton(Client(), "OK");
    btnOK->SetModalResult(ui::mrOk);
    btnOK->SetDefault(true);
    btnOK->SetEnabled(false);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    BitBtn3 = new ui::TButton(Client(), "Help");
    BitBtn3->OnClick = [this] { ui::OpenHelp(HelpContext()); };
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    buttons->addWidget(BitBtn3);
    ClientLayout()->addLayout(buttons);
    tmrLoadFolders = new QTimer(this);
    tmrLoadFolders->setInterval(125);
    tmrLoadFolders->setSingleShot(true);
    // A failure must not leave through the event loop, which would end the program.
    QObject::connect(tmrLoadFolders, &QTimer::timeout, this,
                     [this] { ui::Guarded([this] { tmrLoadFoldersTimer(); }); });
    QObject::connect(trvFolders, &QTreeWidget::itemClicked, this, [this] { trvFoldersClick(); });
    for (ui::TCheckBox* box : {chkfrom, CHKRECIPIENTS, chkbody, chkto, chkcc})
        box->OnClick = [this] { chktoClick(); };
    rdbmessages->OnClick = [this] { rdbmessagesClick(); };
    rdbcontacts->OnClick = [this] { rdbmessagesClick(); };
    OnShow = [this] { FormShow(); };
    resize(ScaleToScreen(520), ScaleToScreen(360));
}

void TdlgGetMore::FormShow() {
    SetCaption("LOADING...");
    tmrLoadFolders->start();
}

void TdlgGetMore::tmrLoadFoldersTimer() {
    tmrLoadFolders->stop();
    ui::THourglass hourglass;
    std::vector<FolderNode> tree;
    std::string contacts;
    trvFolders->clear();
    // Whatever happens below, the progress display goes and the caption is set.
    struct Finish {
        TdlgGetMore& dialog;
        ~Finish() {
            dialog.HideProgress();
            dialog.SetCaption("Scan Outlook Folders for E-mail Addresses (Step 1 of 2)");
        }
    } finish{*this};
    if (gatherer_.LoadFolders(tree, contacts)) {
        AddNodes(nullptr, trvFolders, tree);
        edtContactsFolder->SetText(contacts);
        if (chkScanContacts->Checked()) {
            if (contacts.empty()) {
                ui::MessageDlg("Your Contacts folder could not be found", ui::mtWarning,
                               {ui::mbOK});
            } else {
                rdbcontacts->SetChecked(true);
                ProcessSelectedFolder();
            }
        }
    }
}

void TdlgGetMore::HideProgress() {
    if (gatherer_.OnProgress)
        gatherer_.OnProgress(0, 0, {});
}

GatheringChoice TdlgGetMore::Choice() const {
    GatheringChoice choice;
    choice.options = {chkfrom->Checked(), CHKRECIPIENTS->Checked(), chkbody->Checked(),
                      chkto->Checked(), chkcc->Checked()};
    if (const QTreeWidgetItem* item = trvFolders->currentItem())
        choice.chosen_node = item->text(0).toStdString();
    choice.contacts = rdbcontacts->Checked();
    return choice;
}

void TdlgGetMore::chktoClick() {
    btnOK->SetEnabled(Choice().OkEnabled());
}

void TdlgGetMore::trvFoldersClick() {
    GatheringChoice choice = Choice();
    choice.ChooseNode(choice.chosen_node);
    if (choice.contacts)
        rdbcontacts->SetChecked(true);
    else
        rdbmessages->SetChecked(true);
    rdbmessagesClick();
}

void TdlgGetMore::rdbmessagesClick() {
    const bool contacts = rdbcontacts->Checked();
    chkfrom->SetCaption(contacts ? "Contact E-mail Address" : "From Address");
    if (contacts) {
        chkfrom->SetChecked(true);
        CHKRECIPIENTS->SetChecked(false);
        chkbody->SetChecked(false);
    }
    chkfrom->SetEnabled(!contacts);
    CHKRECIPIENTS->SetVisible(!contacts);
    chkbody->SetVisible(!contacts);
    chktoClick();
}

std::vector<std::string> TdlgGetMore::ChosenPath() const {
    std::vector<std::string> path;
    for (const QTreeWidgetItem* item = trvFolders->currentItem(); item != nullptr;
         item = item->parent())
        path.insert(path.begin(), StripContactMarker(item->text(0).toStdString()));
    return path;
}

void TdlgGetMore::ProcessSelectedFolder() {
    const bool contacts_scan = chkScanContacts->Checked();
    if (trvFolders->currentItem() == nullptr && !contacts_scan)
        return;
    ui::THourglass hourglass;
    const std::vector<std::string> path =
        contacts_scan ? std::vector<std::string>{edtContactsFolder->Text()} : ChosenPath();
    std::vector<std::string> result;
    if (gatherer_.ProcessSelectedFolder(path, rdbcontacts->Checked(), Choice().options, result) &&
        memin != nullptr) {
        memin->Lines().Clear();
        for (const std::string& line : result)
            memin->Lines().Add(line);
    }
    HideProgress();
    chkScanContacts->SetChecked(false);
}

}  // namespace app
