#include "app/forms/export_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <filesystem>

#include "app/list/entry_processing.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/printer.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

constexpr int kExportHelpContext = 208;

std::pair<ui::TButton*, ui::TButton*> OkCancel(ui::TForm& form, QBoxLayout& row) {
    auto* ok = new ui::TButton(form.Client(), "OK");
    ok->SetModalResult(ui::mrOk);
    ok->SetDefault(true);
    auto* cancel = new ui::TButton(form.Client(), "Cancel");
    cancel->SetModalResult(ui::mrCancel);
    cancel->SetCancel(true);
    row.addWidget(ok);
    row.addWidget(cancel);
    return {ok, cancel};
}

}  // namespace

TdlgExportOption::TdlgExportOption(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Export Option");
    SetPosition(ui::poMainFormCenter);
    rdbCSV = new ui::TRadioButton(Client(), "Export to a CSV format text file");
    rdbXLS = new ui::TRadioButton(Client(), "Export to a Excel spreadsheet");
    rdbHTML = new ui::TRadioButton(Client(), "Export to an HTML Web page");
    rdbCSV->SetChecked(true);
    // The spreadsheet and web-page writers are the list grid's.
    rdbXLS->SetEnabled(false);
    rdbHTML->SetEnabled(false);
    for (QWidget* w : std::initializer_list<QWidget*>{rdbCSV, rdbXLS, rdbHTML})
        ClientLayout()->addWidget(w);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    std::tie(btnOK, btnCancel) = OkCancel(*this, *row);
    ClientLayout()->addLayout(row);
}

TdlgExport::TdlgExport(QWidget* owner, strata::TStrataTable& table, ProgressReport progress)
    : ui::TForm(owner), table_(table), progress_(std::move(progress)) {
    SetCaption("Export E-mail List");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(kExportHelpContext);
    lblFile = new ui::TLabel(Client(), "Save the e-mail list to the file:");
    ClientLayout()->addWidget(lblFile);
    auto* file_row = new QHBoxLayout;
    edtfile = new ui::TEdit(Client());
    btnSave = new ui::TButton(Client(), "Save..");
    file_row->addWidget(edtfile, 1);
    file_row->addWidget(btnSave);
    ClientLayout()->addLayout(file_row);
    auto* delimit_row = new QHBoxLayout;
    lblDelimit = new ui::TLabel(Client(), "Separate fields with the character:");
    edtdelimit = new ui::TEdit(Client());
    edtdelimit->SetText(",");
    edtdelimit->setMaximumWidth(ScaleToScreen(40));
    delimit_row->addWidget(lblDelimit);
    delimit_row->addWidget(edtdelimit);
    delimit_row->addStretch(1);
    ClientLayout()->addLayout(delimit_row);
    lblFields = new ui::TLabel(Client(), "What fields do you want to export:");
    ClientLayout()->addWidget(lblFields);
    cbxFields = new ui::TCheckListBox(Client());
    for (const char* field :
         {"E-mail", "Category", "Full Name", "First Name", "Comments", "Bounces"})
        cbxFields->Items().Add(field);
    ClientLayout()->addWidget(cbxFields, 1);
    chkPrint = new ui::TCheckBox(Client(), "Print");
    chkPrint->SetVisible(false);
    auto* buttons = new QHBoxLayout;
    BitBtn2 = new ui::TButton(Client(), "Help");
    buttons->addWidget(BitBtn2);
    buttons->addStretch(1);
    std::tie(btnok, btnCancel) = OkCancel(*this, *buttons);
    ClientLayout()->addLayout(buttons);
    btnSave->OnClick = [this] { saveClick(); };
    btnok->OnClick = [this] { btnokClick(); };
    BitBtn2->OnClick = [this] { ui::OpenHelp(HelpContext()); };
    OnShow = [this] { FormShow(); };
    resize(ScaleToScreen(420), ScaleToScreen(360));
}

void TdlgExport::FormShow() {
    std::error_code error;
    edtfile->SetText(AppendPathDelimiter(std::filesystem::current_path(error).string()) +
                     "CVNExport.csv");
    if (chkPrint->Checked()) {
        SetCaption("Print E-mail List");
        lblFile->SetCaption("Print the e-mail list with the heading:");
        edtfile->SetText("Mailing List Print at " + EntryProcessor::getdatetimestring());
        btnSave->SetVisible(false);
        edtdelimit->SetVisible(false);
        lblDelimit->SetVisible(false);
        lblFields->SetCaption("What fields do you want to print:");
    }
    for (int i = 0; i < cbxFields->Items().Count(); ++i)
        cbxFields->SetChecked(i, true);
}

void TdlgExport::saveClick() {
    ui::TSaveDialog save;
    save.SetFileName(ExtractFileName(edtfile->Text()));
    std::string dir =
        edtfile->Text().substr(0, edtfile->Text().size() - ExtractFileName(edtfile->Text()).size());
    save.SetInitialDir(dir);
    save.SetFilter("Comma-delimited Files (*.csv)|*.csv|Text File (*.txt)|*.txt");
    save.SetDefaultExt("csv");
    if (save.Execute())
        edtfile->SetText(save.FileName());
}

ExportRequest TdlgExport::Request() const {
    ExportRequest request;
    request.file_name = chkPrint->Checked() ? std::string() : edtfile->Text();
    request.separator = chkPrint->Checked() ? std::string(",") : edtdelimit->Text();
    for (int i = 0; i < kExportFieldCount; ++i)
        request.chosen[static_cast<std::size_t>(i)] = cbxFields->Checked(i);
    return request;
}

void TdlgExport::btnokClick() {
    ExportRequest request = Request();
    // The list writer prints when it is given no file, so an export whose file name was
    // cleared prints the lines instead of writing nothing and saying nothing.
    if (!request.file_name.empty()) {
        succeeded_ = exportlist(table_, request, progress_);
        return;
    }
    std::vector<std::string> lines;
    succeeded_ = exportlist(table_, request, progress_, &lines);
    if (!succeeded_)
        return;
    const std::string heading = chkPrint->Checked() ? edtfile->Text() : std::string();
    ui::TPrinter printer;
    std::optional<int> copies = printer.ChooseCopies(heading);
    if (!copies) {
        succeeded_ = false;
        return;
    }
    // Laying out a long list takes a while; the print dialog above is left with the
    // ordinary cursor, the box of a failure is still part of the printing.
    const ui::THourglass hourglass;
    try {
        for (int copy = 0; copy < std::max(*copies, 1); ++copy)
            printer.PrintLines(heading, lines);
    } catch (const std::exception&) {
        ui::MessageDlg(
            "An error was encountered printing the file, , check you have "
            "sufficient disk space and try again.",
            ui::mtWarning, {ui::mbOK});
        succeeded_ = false;
    }
}

}  // namespace app
