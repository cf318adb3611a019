#include "app/forms/find_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/list/find_entry.h"
#include "app/routines/text_routines.h"

namespace app {
namespace {

constexpr const char* kFields[] = {"E-mail", "Category", "Name", "Salutation", "Comments"};

}  // namespace

TdlgFind::TdlgFind(QWidget* owner, db::TDataSet& table) : ui::TForm(owner), table_(table) {
    SetCaption("Find Record");
    SetPosition(ui::poMainFormCenter);
    auto* grid = new QGridLayout;
    for (int i = 0; i < 3; ++i) {
        chkField[i] = new ui::TCheckBox(Client(), "Field");
        cmbField[i] = new ui::TComboBox(Client(), ui::csDropDownList);
        for (const char* field : kFields)
            cmbField[i]->Items().Add(field);
        lblRelation[i] = new ui::TLabel(Client());
        edtField[i] = new ui::TEdit(Client());
        grid->addWidget(chkField[i], i, 0);
        grid->addWidget(cmbField[i], i, 1);
        grid->addWidget(lblRelation[i], i, 2);
        grid->addWidget(edtField[i], i, 3);
        edtField[i]->OnChange = [this, i] { edtField1Change(i); };
    }
    grid->setColumnStretch(3, 1);
    chkField[0]->SetChecked(true);
    ClientLayout()->addLayout(grid);
    chkCaseInsensitive = new ui::TCheckBox(Client(), "Case Insensitive");
    chkCaseInsensitive->SetChecked(true);
    chkpartialMatches = new ui::TCheckBox(Client(), "Allow Partial Matches");
    chkpartialMatches->SetChecked(true);
    chkpartialMatches->OnClick = [this] { chkpartialMatchesClick(); };
    auto* options = new QHBoxLayout;
    options->addWidget(chkCaseInsensitive);
    options->addWidget(chkpartialMatches);
    options->addStretch(1);
    BitBtn2 = new ui::TButton(Client(), "OK");
    BitBtn2->SetModalResult(ui::mrOk);
    BitBtn2->SetDefault(true);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    options->addWidget(BitBtn2);
    options->addWidget(btnCancel);
    ClientLayout()->addLayout(options);
    BitBtn2->OnClick = [this] { BitBtn2Click(); };
    OnShow = [this] { FormShow(); };
    resize(ScaleToScreen(480), sizeHint().height());
}

void TdlgFind::FormShow() {
    for (int i = 0; i < 3; ++i)
        cmbField[i]->SetItemIndex(i);
    chkpartialMatchesClick();
    SetActiveControl(edtField[0]);
}

void TdlgFind::chkpartialMatchesClick() {
    for (ui::TLabel* label : lblRelation)
        label->SetCaption(chkpartialMatches->Checked() ? "starts with" : "equals");
}

void TdlgFind::edtField1Change(int row) {
    chkField[row]->SetChecked(!edtField[row]->Text().empty());
}

void TdlgFind::BitBtn2Click() {
    std::array<FindCondition, 3> conditions;
    for (int i = 0; i < 3; ++i)
        conditions[i] = {chkField[i]->Checked(), cmbField[i]->Text(), edtField[i]->Text()};
    try {
        switch (FindEntry(table_, conditions, chkCaseInsensitive->Checked(),
                          chkpartialMatches->Checked(), Locate)) {
            case FindOutcome::kNothingToFind:
                ui::MessageDlg("You have not entered anything to search for!", ui::mtInformation,
                               {ui::mbOK});
                SetModalResult(ui::mrNone);
                return;
            case FindOutcome::kNotFound:
                ui::MessageDlg("A record could not be found for the entries you specified",
                               ui::mtInformation, {ui::mbOK});
                SetModalResult(ui::mrNone);
                return;
            case FindOutcome::kFound:
                if (OnFound)
                    OnFound();
                return;
        }
    } catch (const std::exception&) {
        ui::MessageDlg("An error was encountred processing your search!", ui::mtError, {ui::mbOK});
        SetModalResult(ui::mrNone);
    }
}

}  // namespace app
