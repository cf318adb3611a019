#pragma once

// "Scan Outlook": the folder tree of the mail store, the parts of each
// message to read, and the scan whose addresses go to the manual-entry memo.

#include <QTimer>
#include <QTreeWidget>

#include <string>
#include <vector>

#include "app/mail/address_gathering.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class TdlgGetMore : public ui::TForm {
  public:
    TdlgGetMore(QWidget* owner, AddressGatherer& gatherer);

    void FormShow();
    void tmrLoadFoldersTimer();
    void trvFoldersClick();
    void chktoClick();
    void rdbmessagesClick();
    // Scans the chosen folder (or the contacts folder for a contacts scan);
    // the addresses go to `memin` unless the scan was cancelled.
    void ProcessSelectedFolder();

    QTreeWidget* trvFolders;
    ui::TCheckBox* chkfrom;
    ui::TCheckBox* CHKRECIPIENTS;
    ui::TCheckBox* chkbody;
    ui::TCheckBox* chkto;
    ui::TCheckBox* chkcc;
    ui::TCheckBox* chkScanContacts;
    ui::TRadioButton* rdbmessages;
    ui::TRadioButton* rdbcontacts;
    ui::TEdit* edtContactsFolder;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;
    ui::TButton* BitBtn3;
    QTimer* tmrLoadFolders;
    // The manual-entry dialog's memo that receives the addresses.
    ui::TMemo* memin = nullptr;

  private:
    GatheringChoice Choice() const;
    // The gatherer's progress reports a maximum of 0 to end the display.
    void HideProgress();
    std::vector<std::string> ChosenPath() const;

    AddressGatherer& gatherer_;
};

}  // namespace app
