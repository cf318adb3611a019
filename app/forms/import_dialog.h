#pragma once

// The import dialog and its column-mapping dialog.

#include <array>
#include <string>

#include "app/forms/main_window.h"
#include "app/list/import_file.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class Tdlgimport2 : public ui::TForm {
  public:
    explicit Tdlgimport2(QWidget* owner);

    // The file the dialog reads its fields and example values from.
    void SetInputFile(std::string file) { input_file_ = std::move(file); }
    void ClearExamples();
    void FormShow();
    void edtdelimitChange();
    void btnUpClick(bool up);
    void OtherListClick(ui::TListBox& list);
    void BitBtn1Click();
    // The list field of each row; row i takes the file's column i.
    const std::array<std::string, kMappingRows>& Mapping() const { return mapping_; }

    ui::TListBox* ListBox1;
    ui::TListBox* ListBox2;
    ui::TListBox* ListBox3;
    ui::TListBox* ListBox4;
    ui::TListBox* ListBox5;
    ui::TEdit* edtdelimit;
    ui::TLabel* lbleg;
    ui::TCheckBox* chkheaderrow;
    ui::TButton* btnUp;
    ui::TButton* btnDown;
    ui::TButton* BitBtn1;
    ui::TButton* BitBtn2;

  private:
    void ReadFile();
    void ShowMapping();
    int FileFieldCount() const { return static_cast<int>(ListBox1->Items().Count()); }
    std::string input_file_;
    std::array<std::string, kMappingRows> mapping_ = DefaultImportMapping();
};

class TdlgImport : public ui::TForm {
  public:
    TdlgImport(QWidget* owner, ListServices services, ProgressReport progress);

    void FormShow();
    void btnbrowseClick();
    void edtfileChange();
    void RadioClick();
    void btnOKClick();

    ui::TEdit* edtfile;
    ui::TButton* btnbrowse;
    ui::TRadioButton* rdbSingleColumn;
    ui::TLabel* lblcategory;
    ui::TComboBox* edtcategory;
    ui::TRadioButton* rdbmultiplecategories;
    ui::TLabel* lblSettings;
    ui::TButton* btnEditSettings;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;
    ui::TButton* BitBtn2;
    Tdlgimport2* dlgimport2;

  private:
    ListServices services_;
    ProgressReport progress_;
};

}  // namespace app
