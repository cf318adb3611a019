#pragma once

// The first step of scanning a disk folder's files for addresses: the folder and the
// kind of files.

#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace support {
class TShellTree;
}

namespace app {

class TdlgScanFolder : public ui::TForm {
  public:
    explicit TdlgScanFolder(QWidget* owner);
    ~TdlgScanFolder() override;

    // The file mask of the chosen file type ("*.txt" or "*.*").
    std::string Mask() const;
    void ScanDirectoryChange();

    support::TShellTree* ScanDirectory;
    ui::TComboBox* FilterComboBox1;
    ui::TButton* btnNext1;
    ui::TButton* btnCancel;
};

}  // namespace app
