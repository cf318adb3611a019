#include "app/forms/about_dialogs.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/routines/file_routines.h"
#include "platform/os/file_system.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

ui::TRadioButton* Choice(ui::TForm& form, const char* caption, const char* address) {
    auto* button = new ui::TRadioButton(form.Client(), caption);
    // The address a choice opens travels as its hint, where the user can see it too.
    button->SetHint(address);
    form.ClientLayout()->addWidget(button);
    return button;
}

ui::TButton* OkButton(ui::TForm& form) {
    auto* row = new QHBoxLayout;
    auto* ok = new ui::TButton(form.Client(), "OK");
    ok->SetModalResult(ui::mrOk);
    ok->SetDefault(true);
    auto* cancel = new ui::TButton(form.Client(), "Cancel");
    cancel->SetModalResult(ui::mrCancel);
    cancel->SetCancel(true);
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    form.ClientLayout()->addLayout(row);
    return ok;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* owner) : ui::TForm(owner) {
    SetCaption("About Corvane");
    SetPosition(ui::poMainFormCenter);
    ProductName = new ui::TLabel(Client(), "Corvane for Microsoft Outlook");
    QFont big = ProductName->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    ProductName->setFont(big);
    Version = new ui::TLabel(Client(), "v3.03");
    lblMaker = new ui::TButton(Client(), "Brovik Software");
    lblMaker->setFlat(true);
    lblMail = new ui::TButton(Client(), "support@corvane.example.org");
    lblMail->setFlat(true);
    for (QWidget* w : std::initializer_list<QWidget*>{ProductName, Version, lblMaker, lblMail})
        ClientLayout()->addWidget(w, 0, Qt::AlignHCenter);
    lblMaker->OnClick = [this] {
        if (OnWebsite)
            OnWebsite();
    };
    lblMail->OnClick = [] { ui::ShellOpen(kSupportMail); };
    OKButton = OkButton(*this);
    // The box opens with OK focused, so Enter closes it rather than following the first
    // link; the links stay reachable with Tab.
    OKButton->setFocus();
}

TdlgSupport::TdlgSupport(QWidget* owner, std::string program_dir)
    : ui::TForm(owner), program_dir_(std::move(program_dir)) {
    SetCaption("Corvane Support Options");
    SetPosition(ui::poMainFormCenter);
    rdbLocalFaq = Choice(*this, "Display Frequently Asked Questions (Local Copy)", "FAQ.html");
    rdbWebFaq = Choice(*this, "Display Frequently Asked Questions (On the Web)", kWebFaq);
    rdbSupportForm = Choice(*this, "Send a Message to Corvane Support", kSupportForm);
    rdbSupportPage = Choice(*this, "Go to Corvane Support Page (On the Web)", kSupportPage);
    rdbLocalFaq->SetChecked(true);
    btnOK = OkButton(*this);
    btnOK->OnClick = [this] { OKClick(); };
}

void TdlgSupport::OKClick() {
    ui::THourglass hourglass;
    if (rdbLocalFaq->Checked()) {
        // A copy in the program folder comes first; the one installed with the
        // help pages serves everyone else.
        std::string path = AppendPathDelimiter(program_dir_) + "FAQ.html";
        const std::string installed = AppendPathDelimiter(ui::HelpFolder()) + "FAQ.html";
        if (!platform::os::FileExists(path) && !ui::HelpFolder().empty() &&
            platform::os::FileExists(installed))
            path = installed;
        if (!platform::os::FileExists(path)) {
            ui::MessageDlg("Corvane cannot locate the file, " + path, ui::mtWarning, {ui::mbOK});
            return;
        }
        ui::ShellOpen(path);
        return;
    }
    for (ui::TRadioButton* choice : {rdbWebFaq, rdbSupportForm, rdbSupportPage})
        if (choice->Checked())
            ui::ShellOpen(choice->Hint());
}

TdlgBrovikWebsite::TdlgBrovikWebsite(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Corvane on the Web");
    SetPosition(ui::poMainFormCenter);
    rdbHome = Choice(*this, "Brovik Software Home Page", kHomePage);
    rdbDownload = Choice(*this, "Corvane Download Page", kDownloadPage);
    rdbSupport = Choice(*this, "Corvane Support Page", kSupportPage);
    rdbHome->SetChecked(true);
    btnOK = OkButton(*this);
    btnOK->OnClick = [this] { OKClick(); };
}

void TdlgBrovikWebsite::OKClick() {
    ui::THourglass hourglass;
    for (ui::TRadioButton* choice : {rdbHome, rdbDownload, rdbSupport})
        if (choice->Checked())
            ui::ShellOpen(choice->Hint());
}

}  // namespace app
