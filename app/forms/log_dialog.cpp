#include "app/forms/log_dialog.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>

#include <QVBoxLayout>
#include <algorithm>

#include "app/list/delimited_text.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "platform/db/whole_file.h"
#include "platform/os/file_system.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/qt_text.h"

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
        if (platform::os::FileExists(LogPath())) {
            const std::string text = ReadableLogText(db::ReadWholeFile(LogPath()));
            memlogFile->Lines().SetText(text);
            ShowNewestLinesWhole(text);
        }
    } catch (const std::exception&) {
        ui::MessageDlg("An error was encountered loading your text file!", ui::mtWarning,
                       {ui::mbOK});
    }
}

void Tdlglog::ShowNewestLinesWhole(std::string_view text) {
    // A line's result stands at its end: the viewer grows, as far as the screen allows,
    // until the longest line fits.
    const QFontMetrics metrics(memlogFile->font());
    int widest = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        widest = std::max(widest, metrics.horizontalAdvance(ui::ToQ(line)));
        start = end + 1;
    }
    const int chrome = width() - memlogFile->viewport()->width();
    int wanted = widest + chrome + 2 * static_cast<int>(memlogFile->document()->documentMargin()) +
                 memlogFile->verticalScrollBar()->sizeHint().width();
    if (const QScreen* on = screen())
        wanted =
            std::min(wanted, on->availableGeometry().width() - (frameGeometry().width() - width()));
    if (wanted > width()) {
        // It grows on both sides of where it was placed, and stays on the screen.
        const int grown = wanted - width();
        resize(wanted, height());
        move(pos().x() - grown / 2, pos().y());
        KeepOnScreen();
    }
    // The newest lines are at the end of the file: the viewer opens there, once the new
    // width (and any scroll bar it brings) has been laid out.
    memlogFile->moveCursor(QTextCursor::End);
    memlogFile->moveCursor(QTextCursor::StartOfLine);
    QMetaObject::invokeMethod(
        memlogFile,
        [viewer = memlogFile] {
            viewer->verticalScrollBar()->setValue(viewer->verticalScrollBar()->maximum());
            viewer->horizontalScrollBar()->setValue(0);
        },
        Qt::QueuedConnection);
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
