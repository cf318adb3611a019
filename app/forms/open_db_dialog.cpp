#include "app/forms/open_db_dialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "support/shelltree/shell_tree.h"

namespace app {

TdlgOpenDB::TdlgOpenDB(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Create/Open Mailing List Database");
    SetPosition(ui::poScreenCenter);
    lblExplanation = new ui::TLabel(
        Client(),
        "Please select the directory where you would like to load or create a mailing list "
        "database (If the directory contains a database, it will be loaded.  Otherwise you "
        "will be prompted to create one):");
    lblExplanation->setWordWrap(true);
    ClientLayout()->addWidget(lblExplanation);
    auto* row = new QHBoxLayout;
    row->addWidget(new ui::TLabel(Client(), "Directory:"));
    edtpath = new ui::TEdit(Client());
    edtpath->SetName("edtpath");
    row->addWidget(edtpath, 1);
    ClientLayout()->addLayout(row);
    ShellTree1 = new support::TShellTree(Client());
    ShellTree1->setObjectName("ShellTree1");
    ShellTree1->SetOptions({support::TF_FOLDERS});
    ShellTree1->SetShowIcons(true);
    ShellTree1->SetUpdAuto(true);
    ShellTree1->setMinimumHeight(ScaleToScreen(220));
    ShellTree1->OnChange = [this](support::TShellTree*, support::TShellnode*) {
        ShellTree1Change();
    };
    ClientLayout()->addWidget(ShellTree1, 1);
    auto* buttons = new QHBoxLayout;
    BitBtn1 = new ui::TButton(Client(), "OK");
    BitBtn1->SetModalResult(ui::mrOk);
    BitBtn1->SetDefault(true);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(btnCancel);
    ClientLayout()->addLayout(buttons);
    edtpath->OnChange = [this] { edtpathChange(); };
    BitBtn1->OnClick = [this] { BitBtn1Click(); };
    OnShow = [this] { ShellTree1Change(); };
    edtpathChange();
    resize(ScaleToScreen(460), ScaleToScreen(380));
}

TdlgOpenDB::~TdlgOpenDB() {
    // The tree's items go after this form's part of the object, and their going changes
    // the tree's selection.
    ShellTree1->OnChange = nullptr;
}

void TdlgOpenDB::edtpathChange() {
    BitBtn1->SetEnabled(!edtpath->Text().empty());
}

void TdlgOpenDB::ShellTree1Change() {
    // Before the user picks a folder the edit keeps what was typed or given.
    const std::string path = ShellTree1->Path();
    if (!path.empty())
        edtpath->SetText(path);
}

void TdlgOpenDB::BitBtn1Click() {
    std::string path = edtpath->Text();
    if (DirectoryExistsQuiet(path))
        return;
    if (!EnsureFolder(path, true, true))
        SetModalResult(ui::mrNone);
}

}  // namespace app
