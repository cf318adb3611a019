#include "app/forms/log_dialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/list/delimited_text.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "platform/db/whole_file.h"
#include "platform/os/file_system.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"

namespace app {

Tdlglog::Tdlglog(QWidget* owner, std::string program_dir)
    : ui::TForm(owner), program_dir_(std::move(program_dir)) {
    SetCaption("Log");
    SetPosition(ui::poMainFormCenter);
    resize(ScaleToScreen(640), ScaleToScreen(420));
    memlogFile = new ui::TMemo(Client());
    memlogFile->SetName("memlogFile");
    memlogFile->SetWordWrap(false);
    memlogFile->setReadOnly(true);
    ClientLayout()->addWidget(memlogFile, 1);
    auto* buttons = new QHBoxLayout;
    btnclearlog = new ui::TButton(Client(), "Clear Log");
    BitBtn2 = new ui::TButton(Client(), "Save Log..");
    btnClose = new ui::TButton(Client(), "Close");
    btnClose->SetModalResult(ui::mrOk);
    btnClose->SetCancel(true);
    buttons->addWidget(btnclearlog);
    buttons->addWidget(BitBtn2);
    buttons->addStretch(1);
    buttons->addWidget(btnClose);
    ClientLayout()->addLayout(buttons);
    btnclearlog->OnClick = [this] { btnclearlogClick(); };
    BitBtn2->OnClick = [this] { BitBtn2Click(); };
    OnShow = [this] { FormShow(); };
}

std::string Tdlglog::LogPath() const {
    return AppendPathDelimiter(program_dir_) + kLogFileName;
}

void Tdlglog::FormShow() {
    ui::THourglass hourglass;
    memlogFile->Lines().Clear();
    try {
        if (platform::os::FileExists(LogPath()))
            memlogFile->Lines().SetText(ReadableLogText(db::ReadWholeFile(LogPath())));
    } catch (const std::exception&) {
        ui::MessageDlg("An error was encountered loading your text file!", ui::mtWarning,
                       {ui::mbOK});
    }
}

void Tdlglog::btnclearlogClick() {
    if (ui::MessageDlg("Are you sure you want to clear your log file?", ui::mtConfirmation,
                       ui::mbYesNo) != ui::mrYes)
        return;
    memlogFile->Lines().Clear();
    if (platform::os::FileExists(LogPath()) && !platform::os::DeleteFile(LogPath()))
        ui::MessageDlg("Error clearing your log file", ui::mtWarning, {ui::mbOK});
}

void Tdlglog::BitBtn2Click() {
    ui::TSaveDialog save;
    save.SetFilter("Text File (*.txt)|*.txt");
    save.SetDefaultExt("txt");
    if (save.Execute())
        memlogFile->Lines().SaveToFile(save.FileName());
}

}  // namespace app
