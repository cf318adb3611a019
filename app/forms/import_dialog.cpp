#include "app/forms/import_dialog.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/list/delimited_text.h"
#include "app/list/entry_processing.h"
#include "app/list/list_commands.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/routines/text_routines.h"
#include "platform/ui/application.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

constexpr int kImportHelpContext = 206;
constexpr const char* kNoField = " (no field)";

ui::TListBox* MappingList(QWidget* parent, QGridLayout& grid, int column, const char* title) {
    grid.addWidget(new ui::TLabel(parent, title), 0, column);
    auto* list = new ui::TListBox(parent);
    list->setMinimumHeight(ScaleToScreen(200));
    grid.addWidget(list, 1, column);
    return list;
}

}  // namespace

Tdlgimport2::Tdlgimport2(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Importation Settings");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(kImportHelpContext);
    auto* top = new QHBoxLayout;
    top->addWidget(new ui::TLabel(Client(), "Field separator:"));
    edtdelimit = new ui::TEdit(Client());
    edtdelimit->setMaximumWidth(ScaleToScreen(40));
    top->addWidget(edtdelimit);
    lbleg = new ui::TLabel(Client());
    top->addWidget(lbleg, 1);
    ClientLayout()->addLayout(top);
    chkheaderrow = new ui::TCheckBox(Client(), "File has a row of column headings");
    ClientLayout()->addWidget(chkheaderrow);
    auto* grid = new QGridLayout;
    ListBox1 = MappingList(Client(), *grid, 0, "File fields");
    ListBox4 = MappingList(Client(), *grid, 1, "");
    ListBox2 = MappingList(Client(), *grid, 2, "Example values");
    ListBox5 = MappingList(Client(), *grid, 3, "");
    ListBox3 = MappingList(Client(), *grid, 4, "List fields");
    for (ui::TListBox* arrows : {ListBox4, ListBox5}) {
        arrows->setMaximumWidth(ScaleToScreen(40));
        arrows->setFocusPolicy(Qt::NoFocus);
    }
    ClientLayout()->addLayout(grid, 1);
    auto* buttons = new QHBoxLayout;
    btnUp = new ui::TButton(Client(), "Move Up");
    btnDown = new ui::TButton(Client(), "Move Down");
    BitBtn2 = new ui::TButton(Client(), "Help");
    BitBtn1 = new ui::TButton(Client(), "OK");
    BitBtn1->SetModalResult(ui::mrOk);
    BitBtn1->SetDefault(true);
    buttons->addWidget(btnUp);
    buttons->addWidget(btnDown);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn2);
    buttons->addWidget(BitBtn1);
    ClientLayout()->addLayout(buttons);

    edtdelimit->OnChange = [this] { edtdelimitChange(); };
    chkheaderrow->OnClick = [this] { edtdelimitChange(); };
    btnUp->OnClick = [this] { btnUpClick(true); };
    btnDown->OnClick = [this] { btnUpClick(false); };
    BitBtn1->OnClick = [this] { BitBtn1Click(); };
    BitBtn2->OnClick = [this] { ui::OpenHelp(HelpContext()); };
    for (ui::TListBox* list : {ListBox1, ListBox2, ListBox4, ListBox5})
        list->OnClick = [this, list] { OtherListClick(*list); };
    OnShow = [this] { FormShow(); };
    ShowMapping();
    resize(ScaleToScreen(620), ScaleToScreen(400));
}

void Tdlgimport2::ClearExamples() {
    ListBox1->Items().Clear();
    ListBox2->Items().Clear();
    ListBox4->Items().Clear();
    ListBox5->Items().Clear();
    ShowMapping();
}

void Tdlgimport2::FormShow() {
    if (ListBox2->Items().Count() != 0)
        return;
    if (input_file_.empty()) {
        ui::MessageDlg("Please select your input file before performing your field mapping",
                       ui::mtInformation, {ui::mbOK});
        for (int i = 1; i <= 6; ++i)
            ListBox1->Items().Add("Field " + std::to_string(i));
        for (int i = 0; i < 6; ++i) {
            ListBox4->Items().Add("-->");
            ListBox5->Items().Add("-->");
        }
        ShowMapping();
        return;
    }
    ReadFile();
}

void Tdlgimport2::ReadFile() {
    ClearExamples();
    std::string separator = edtdelimit->Text();
    // Only the heading and the first entry are shown: splitting every line of a file of
    // 100,000 entries kept the dialog from opening, and again at each key in the separator.
    auto records = SplitDelimitedRecords(ReadImportFile(input_file_), separator, 2);
    std::vector<std::string> names;
    std::vector<std::string> examples;
    if (chkheaderrow->Checked()) {
        if (!records.empty())
            names = records[0];
        if (records.size() > 1)
            examples = records[1];
    } else if (!records.empty()) {
        examples = records[0];
    }
    std::size_t count =
        std::min<std::size_t>(std::max(names.size(), examples.size()), kMappingRows);
    for (std::size_t i = 0; i < count; ++i) {
        ListBox1->Items().Add(chkheaderrow->Checked() && i < names.size()
                                  ? names[i]
                                  : "Field " + std::to_string(i + 1));
        ListBox2->Items().Add(i < examples.size() ? examples[i] : "");
        ListBox4->Items().Add("-->");
        ListBox5->Items().Add("-->");
    }
    ShowMapping();
}

void Tdlgimport2::ShowMapping() {
    const int selected = ListBox3->ItemIndex();
    ListBox3->Items().Clear();
    for (std::size_t i = 0; i < mapping_.size(); ++i) {
        const bool has_field = static_cast<int>(i) < FileFieldCount();
        std::string text = mapping_[i];
        if (!has_field && text != kIgnoreField)
            text += kNoField;
        ListBox3->Items().Add(text);
        // A row with no file field beside it is greyed.
        ListBox3->item(static_cast<int>(i))
            ->setForeground(has_field
                                ? ListBox3->palette().text()
                                : ListBox3->palette().brush(QPalette::Disabled, QPalette::Text));
    }
    ListBox3->SetItemIndex(selected);
}

void Tdlgimport2::edtdelimitChange() {
    ClearExamples();
    lbleg->SetCaption("(e.g. someone@example.com" + edtdelimit->Text() + "My_Category)");
    if (!edtdelimit->Text().empty() && !input_file_.empty())
        ui::Guarded([this] { ReadFile(); });
}

void Tdlgimport2::btnUpClick(bool up) {
    const int row = ListBox3->ItemIndex();
    if (row < 0) {
        ui::MessageDlg("You have not selected a field to move!", ui::mtWarning, {ui::mbOK});
        return;
    }
    const int target = up ? row - 1 : row + 1;
    if (target < 0 || target >= static_cast<int>(mapping_.size())) {
        QApplication::beep();
        return;
    }
    std::swap(mapping_[static_cast<std::size_t>(row)], mapping_[static_cast<std::size_t>(target)]);
    ShowMapping();
    ListBox3->SetItemIndex(target);
}

void Tdlgimport2::OtherListClick(ui::TListBox& list) {
    const int row = list.ItemIndex();
    list.ClearSelection();
    ListBox3->SetItemIndex(row);
}

void Tdlgimport2::BitBtn1Click() {
    for (std::size_t i = 0; i < mapping_.size(); ++i)
        if (mapping_[i] == "E-mail" && static_cast<int>(i) >= FileFieldCount()) {
            ui::MessageDlg("You have not mapped your e-mail field.  This field is required!",
                           ui::mtInformation, {ui::mbOK});
            SetModalResult(ui::mrNone);
        }
}

TdlgImport::TdlgImport(QWidget* owner, ListServices services, ProgressReport progress)
    : ui::TForm(owner), services_(services), progress_(std::move(progress)) {
    SetCaption("Import E-mail Addresses");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(kImportHelpContext);
    auto* file_row = new QHBoxLayout;
    file_row->addWidget(new ui::TLabel(Client(), "File:"));
    edtfile = new ui::TEdit(Client());
    btnbrowse = new ui::TButton(Client(), "Browse..");
    file_row->addWidget(edtfile, 1);
    file_row->addWidget(btnbrowse);
    ClientLayout()->addLayout(file_row);
    rdbSingleColumn =
        new ui::TRadioButton(Client(), "File only contains a single column of e-mail addresses");
    ClientLayout()->addWidget(rdbSingleColumn);
    auto* category_row = new QHBoxLayout;
    lblcategory = new ui::TLabel(Client(), "Add to Category:");
    edtcategory = new ui::TComboBox(Client());
    category_row->addSpacing(ScaleToScreen(20));
    category_row->addWidget(lblcategory);
    category_row->addWidget(edtcategory, 1);
    ClientLayout()->addLayout(category_row);
    rdbmultiplecategories = new ui::TRadioButton(Client(), "File contains multiple columns");
    ClientLayout()->addWidget(rdbmultiplecategories);
    auto* settings_row = new QHBoxLayout;
    lblSettings = new ui::TLabel(Client(), "Choose which column holds which field:");
    btnEditSettings = new ui::TButton(Client(), "Edit Settings..");
    settings_row->addSpacing(ScaleToScreen(20));
    settings_row->addWidget(lblSettings);
    settings_row->addWidget(btnEditSettings);
    settings_row->addStretch(1);
    ClientLayout()->addLayout(settings_row);
    auto* buttons = new QHBoxLayout;
    BitBtn2 = new ui::TButton(Client(), "Help");
    btnOK = new ui::TButton(Client(), "OK");
    btnOK->SetModalResult(ui::mrOk);
    btnOK->SetEnabled(false);
    btnOK->SetDefault(true);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    buttons->addWidget(BitBtn2);
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    ClientLayout()->addLayout(buttons);
    dlgimport2 = new Tdlgimport2(this);

    btnbrowse->OnClick = [this] { btnbrowseClick(); };
    edtfile->OnChange = [this] { edtfileChange(); };
    rdbSingleColumn->OnClick = [this] { RadioClick(); };
    rdbmultiplecategories->OnClick = [this] { RadioClick(); };
    btnEditSettings->OnClick = [this] { dlgimport2->ShowModal(); };
    btnOK->OnClick = [this] { btnOKClick(); };
    BitBtn2->OnClick = [this] { ui::OpenHelp(HelpContext()); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { services_.database.SaveDatabase(); };
    rdbSingleColumn->SetChecked(true);
    resize(ScaleToScreen(460), sizeHint().height());
}

void TdlgImport::FormShow() {
    dlgimport2->edtdelimit->SetText(",");
    edtcategory->SetText(services_.settings.defaultcategory);
    edtcategory->Items().Clear();
    for (const std::string& category : services_.settings.lbxcategories)
        edtcategory->Items().Add(category);
    edtcategory->SetText(services_.settings.defaultcategory);
}

void TdlgImport::btnbrowseClick() {
    ui::TOpenDialog open;
    open.SetFilter("Comma-delimited Files (*.csv,*.txt)|*.csv;*.txt");
    if (!open.Execute())
        return;
    edtfile->SetText(open.FileName());
    btnOK->SetEnabled(true);
}

void TdlgImport::edtfileChange() {
    dlgimport2->SetInputFile(edtfile->Text());
    dlgimport2->ClearExamples();
    btnOK->SetEnabled(!edtfile->Text().empty());
}

void TdlgImport::RadioClick() {
    const bool single = rdbSingleColumn->Checked();
    lblcategory->SetEnabled(single);
    edtcategory->SetEnabled(single);
    lblSettings->SetEnabled(!single);
    btnEditSettings->SetEnabled(!single);
}

void TdlgImport::btnOKClick() {
    const bool single = rdbSingleColumn->Checked();
    const std::string category = Trim(edtcategory->Text());
    if (single && category.empty()) {
        ui::MessageDlg("You have not entered a list category to add these addresses to!",
                       ui::mtInformation, {ui::mbOK});
        SetModalResult(ui::mrNone);
        return;
    }
    const std::string text = ReadImportFile(edtfile->Text());
    if (single && !CheckCategory(category))
        return;
    if (single) {
        ImportRequest request;
        request.show_done = true;
        request.caption = ImportCaption(edtfile->Text());
        request.category = category;
        Importfile(services_.entries, ImportLines(text), request, progress_);
        return;
    }
    MultiColumnImport import;
    import.text = text;
    import.separator = dlgimport2->edtdelimit->Text();
    import.header_row = dlgimport2->chkheaderrow->Checked();
    import.mapping = dlgimport2->Mapping();
    import.caption = ImportCaption(edtfile->Text());
    ImportMultiColumnFile(services_.entries, import, progress_);
}

}  // namespace app
