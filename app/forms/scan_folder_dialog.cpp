#include "app/forms/scan_folder_dialog.h"

#include <QHBoxLayout>

#include "app/routines/text_routines.h"
#include "support/shelltree/shell_tree.h"

namespace app {
namespace {

// "Text Files (*.txt)|*.txt|All files (*.*)|*.*" as captions and masks.
constexpr const char* kTypes[][2] = {{"Text Files (*.txt)", "*.txt"}, {"All files (*.*)", "*.*"}};

}  // namespace

TdlgScanFolder::TdlgScanFolder(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Scan Folders for E-mail Addresses (Step 1 of 2)");
    SetPosition(ui::poMainFormCenter);
    ClientLayout()->addWidget(
        new ui::TLabel(Client(), "Please select the folder whose files are to be scanned:"));
    ScanDirectory = new support::TShellTree(Client());
    ScanDirectory->setObjectName("ScanDirectory");
    ScanDirectory->SetOptions({support::TF_FOLDERS});
    ScanDirectory->SetShowIcons(true);
    ScanDirectory->setMinimumHeight(ScaleToScreen(220));
    ScanDirectory->OnChange = [this](support::TShellTree*, support::TShellnode*) {
        ScanDirectoryChange();
    };
    ClientLayout()->addWidget(ScanDirectory, 1);
    FilterComboBox1 = new ui::TComboBox(Client(), ui::csDropDownList);
    for (const auto& type : kTypes)
        FilterComboBox1->Items().Add(type[0]);
    FilterComboBox1->SetItemIndex(0);
    ClientLayout()->addWidget(FilterComboBox1);
    btnNext1 = new ui::TButton(Client(), "Next");
    btnNext1->SetModalResult(ui::mrOk);
    btnNext1->SetDefault(true);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(btnNext1);
    row->addWidget(btnCancel);
    ClientLayout()->addLayout(row);
    ScanDirectoryChange();
    resize(ScaleToScreen(420), ScaleToScreen(380));
}

TdlgScanFolder::~TdlgScanFolder() {
    // The tree's items go after this form's part of the object, and their going changes
    // the tree's selection.
    ScanDirectory->OnChange = nullptr;
}

std::string TdlgScanFolder::Mask() const {
    const int index = FilterComboBox1->ItemIndex();
    return index == 1 ? kTypes[1][1] : kTypes[0][1];
}

void TdlgScanFolder::ScanDirectoryChange() {
    btnNext1->SetEnabled(!ScanDirectory->Path().empty());
}

}  // namespace app
