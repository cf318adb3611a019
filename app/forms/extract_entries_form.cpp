#include "app/forms/extract_entries_form.h"

#include <QApplication>
#include <QHBoxLayout>

#include "app/list/cancel_flag.h"
#include "app/list/list_database.h"
#include "app/mail/request_extraction.h"
#include "app/routines/text_routines.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"

namespace app {

TfrmExtractentries::TfrmExtractentries(QWidget* owner, ExtractEntries& run, ListDatabase& database)
    : ui::TForm(owner), run_(run), database_(database) {
    SetCaption("Outlook Objects");
    SetPosition(ui::poMainFormCenter);
    lblStatus = new ui::TLabel(Client(), "Accessing Outlook Entries..");
    ProgressBar1 = new ui::TProgressBar(Client());
    ProgressBar1->SetMax(100);
    SpeedButton1 = new ui::TButton(Client(), "x");
    SpeedButton1->setFixedWidth(ScaleToScreen(24));
    OpenBtn = new ui::TButton(Client(), "Open Outlook");
    OpenBtn->hide();
    auto* row = new QHBoxLayout;
    row->addWidget(ProgressBar1, 1);
    row->addWidget(SpeedButton1);
    ClientLayout()->addWidget(lblStatus);
    ClientLayout()->addLayout(row);
    Timer1 = new QTimer(this);
    Timer1->setInterval(350);
    Timer1->setSingleShot(true);
    QObject::connect(Timer1, &QTimer::timeout, this,
                     [this] { ui::Guarded([this] { OpenBtnClick(); }); });
    SpeedButton1->OnClick = [this] { SpeedButton1Click(); };
    OpenBtn->OnClick = [this] { OpenBtnClick(); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { database_.SaveDatabase(); };
    run_.OnProgress = [this](std::int64_t counted, std::int64_t total) {
        ProgressBar1->SetPosition(
            static_cast<int>(counted * 100 / std::max<std::int64_t>(total, 1)));
        if (counted % 20 == 0)
            QApplication::processEvents();
    };
    run_.Cancelled = [] { return Cancelled(); };
    resize(ScaleToScreen(300), sizeHint().height());
}

void TfrmExtractentries::FormShow() {
    Timer1->start();
}

void TfrmExtractentries::OpenBtnClick() {
    Timer1->stop();
    SetCancelled(false);
    // The window closes however the run ends, so that the check never leaves it open.
    struct Done {
        TfrmExtractentries& form;
        ~Done() {
            form.SetModalResult(ui::mrOk);
            form.Close();
        }
    } done{*this};
    ui::THourglass hourglass;
    run_.OpenBtnClick();
}

void TfrmExtractentries::SpeedButton1Click() {
    SetCancelled(true);
}

}  // namespace app
