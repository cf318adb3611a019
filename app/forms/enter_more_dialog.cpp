#include "app/forms/enter_more_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/list/import_file.h"
#include "app/list/list_commands.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/routines/text_routines.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

constexpr int kManualEntryHelpContext = 203;

}  // namespace

TdlgEnterMore::TdlgEnterMore(QWidget* owner, ListServices services, ProgressReport progress)
    : ui::TForm(owner), services_(services), progress_(std::move(progress)) {
    SetCaption("Enter Addresses");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(kManualEntryHelpContext);
    lblHeading =
        new ui::TLabel(Client(), "Please enter the e-mail addresses you would like to process:");
    lblHeading->setWordWrap(true);
    ClientLayout()->addWidget(lblHeading);
    memin = new ui::TMemo(Client());
    memin->SetName("memin");
    memin->SetWordWrap(false);
    // Tab goes on to the choices below, as in every other dialog; an address never holds one.
    memin->setTabChangesFocus(true);
    ClientLayout()->addWidget(memin, 1);
    Label1 = new ui::TLabel(Client());
    ClientLayout()->addWidget(Label1);

    auto* choices = new QWidget(Client());
    auto* grid = new QGridLayout(choices);
    grid->setContentsMargins(0, 0, 0, 0);
    rdbadd = new ui::TRadioButton(choices, "Add to Mailing List");
    lblcategory = new ui::TLabel(choices, "Category:");
    edtcategory = new ui::TComboBox(choices);
    rdbremove = new ui::TRadioButton(choices, "Remove from Mailing List");
    // The inner choice of the removal forms a group of its own.
    auto* removal = new QWidget(choices);
    auto* removal_row = new QHBoxLayout(removal);
    removal_row->setContentsMargins(0, 0, 0, 0);
    rdbremoveall = new ui::TRadioButton(removal, "All Categories");
    rdbremovecat = new ui::TRadioButton(removal, "Category:");
    edtremovecat = new ui::TComboBox(removal);
    removal_row->addWidget(rdbremoveall);
    removal_row->addWidget(rdbremovecat);
    removal_row->addWidget(edtremovecat, 1);
    rdbbounce = new ui::TRadioButton(choices, "Process as Undeliverable");
    grid->addWidget(rdbadd, 0, 0);
    grid->addWidget(lblcategory, 0, 1);
    grid->addWidget(edtcategory, 0, 2);
    grid->addWidget(rdbremove, 1, 0);
    grid->addWidget(removal, 1, 1, 1, 2);
    grid->addWidget(rdbbounce, 2, 0);
    grid->setColumnStretch(2, 1);
    ClientLayout()->addWidget(choices);

    auto* buttons = new QHBoxLayout;
    btnLoad = new ui::TButton(Client(), "Load..");
    btnPaste = new ui::TButton(Client(), "Paste");
    BitBtn2 = new ui::TButton(Client(), "Help");
    btnProcessAll = new ui::TButton(Client(), "OK");
    btnProcessAll->SetModalResult(ui::mrOk);
    btnProcessAll->SetDefault(true);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    buttons->addWidget(btnLoad);
    buttons->addWidget(btnPaste);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn2);
    buttons->addWidget(btnProcessAll);
    buttons->addWidget(btnCancel);
    ClientLayout()->addLayout(buttons);

    rdbadd->SetChecked(true);
    rdbremoveall->SetChecked(true);
    for (ui::TRadioButton* r : {rdbadd, rdbremove, rdbremoveall, rdbremovecat, rdbbounce})
        r->OnClick = [this] { rdbremoveallClick(); };
    memin->OnChange = [this] { meminChange(); };
    btnProcessAll->OnClick = [this] { btnProcessAllClick(); };
    btnLoad->OnClick = [this] { btnLoadClick(); };
    btnPaste->OnClick = [this] { btnPasteClick(); };
    BitBtn2->OnClick = [this] { ui::OpenHelp(HelpContext()); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { services_.database.SaveDatabase(); };
    rdbremoveallClick();
    meminChange();
    resize(ScaleToScreen(520), ScaleToScreen(440));
}

void TdlgEnterMore::FormShow() {
    const Settings& settings = services_.settings;
    for (ui::TComboBox* box : {edtcategory, edtremovecat}) {
        box->Items().Clear();
        for (const std::string& category : settings.lbxcategories)
            box->Items().Add(category);
    }
    edtcategory->SetText(settings.defaultcategory);
}

void TdlgEnterMore::meminChange() {
    const std::int64_t lines = memin->Lines().Count();
    Label1->SetCaption("How should these " + (lines > 0 ? std::to_string(lines) : std::string()) +
                       " addresses be processed?");
    btnProcessAll->SetEnabled(lines > 0);
}

void TdlgEnterMore::rdbremoveallClick() {
    lblcategory->SetEnabled(rdbadd->Checked());
    edtcategory->SetEnabled(rdbadd->Checked());
    rdbremoveall->SetEnabled(rdbremove->Checked());
    rdbremovecat->SetEnabled(rdbremove->Checked());
    edtremovecat->SetEnabled(rdbremove->Checked() && rdbremovecat->Checked());
}

void TdlgEnterMore::btnProcessAllClick() {
    if (rdbremove->Checked() && rdbremovecat->Checked() && edtremovecat->Text().empty()) {
        ui::MessageDlg("You have not entered a category to remove these addresses from!",
                       ui::mtInformation, {ui::mbOK});
        SetModalResult(ui::mrNone);
        return;
    }
    std::string category;
    if (rdbremove->Checked())
        category = rdbremoveall->Checked() ? std::string() : edtremovecat->Text();
    else
        category = edtcategory->Text();
    if (!rdbbounce->Checked() && !category.empty() && !CheckCategory(category)) {
        SetModalResult(ui::mrNone);
        return;
    }
    ImportRequest request;
    request.is_add = rdbadd->Checked();
    request.caption = "Manual insertion of addresses at ";
    request.separator = ",";
    request.category = category;
    request.as_bounces = rdbbounce->Checked();
    ImportTally tally;
    const std::int64_t processed =
        Importfile(services_.entries, memin->Lines().ToVector(), request, progress_, &tally);
    // Stopped, the lines stay to be entered again once the cause is mended.
    if (tally.stopped)
        return;
    memin->Lines().Clear();
    // Typed addresses that were refused or changed would otherwise pass without a word.
    ui::MessageDlg(std::to_string(processed) + " addresses were processed." + tally.Summary(),
                   ui::mtInformation, {ui::mbOK});
}

void TdlgEnterMore::btnLoadClick() {
    ui::TOpenDialog open;
    open.SetFilter("Text Files (*.csv,*.txt)|*.csv;*.txt");
    if (open.Execute())
        memin->SetText(ReadImportFile(open.FileName()));
}

}  // namespace app
