#include "app/forms/open_db_dialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"

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
    pnlTree = new ui::TPanel(Client());
    pnlTree->setFrameShape(QFrame::StyledPanel);
    pnlTree->setMinimumHeight(ScaleToScreen(220));
    ClientLayout()->addWidget(pnlTree, 1);
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
    edtpathChange();
    resize(ScaleToScreen(460), ScaleToScreen(380));
}

void TdlgOpenDB::edtpathChange() {
    BitBtn1->SetEnabled(!edtpath->Text().empty());
}

void TdlgOpenDB::BitBtn1Click() {
    std::string path = edtpath->Text();
    if (DirectoryExistsQuiet(path))
        return;
    if (!EnsureFolder(path, true, true))
        SetModalResult(ui::mrNone);
}

}  // namespace app
