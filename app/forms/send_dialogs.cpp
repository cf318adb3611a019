#include "app/forms/send_dialogs.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>

#include <algorithm>

#include "app/list/cancel_flag.h"
#include "app/routines/text_routines.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

std::vector<std::string> Items(const ui::TListBox& list) {
    std::vector<std::string> items;
    for (std::int64_t i = 0; i < list.Items().Count(); ++i)
        items.push_back(list.Items().Get(i));
    return items;
}

ui::TButton* AddButton(QWidget* parent, QHBoxLayout* row, std::string_view caption,
                       ui::TModalResult result) {
    auto* b = new ui::TButton(parent, caption);
    b->SetModalResult(result);
    row->addWidget(b);
    return b;
}

class DeleteKeyFilter : public QObject {
  public:
    DeleteKeyFilter(QObject* parent, std::function<void()> action)
        : QObject(parent), action_(std::move(action)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
            action_();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> action_;
};

void SetItems(ui::TListBox& list, const std::vector<std::string>& items) {
    list.Items().Clear();
    for (const std::string& a : items)
        list.Items().Add(a);
}

}  // namespace

void DeleteCurrentTListboxItem(ui::TListBox& list) {
    const int index = list.ItemIndex();
    if (index < 0) {
        ui::MessageBeep();
        if (list.Items().Count() > 0)
            list.SetItemIndex(0);
        return;
    }
    list.Items().Delete(index);
    const auto count = static_cast<int>(list.Items().Count());
    if (count > 0)
        list.SetItemIndex(std::min(index, count - 1));
}

void OnDeleteKey(QWidget& widget, std::function<void()> action) {
    widget.installEventFilter(new DeleteKeyFilter(&widget, std::move(action)));
}

TdlgAddRecip::TdlgAddRecip(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Add Recipients");
    SetPosition(ui::poMainFormCenter);
    auto* intro = new ui::TLabel(
        Client(),
        "If you want all messages to also be sent to or CC'ed to a special address add "
        "it here (All other addresses will appear in the bcc: field so they will be "
        "invisible to recipients)");
    intro->setWordWrap(true);
    ClientLayout()->addWidget(intro);
    auto* grid = new QGridLayout;
    auto row = [&](int r, std::string_view caption, ui::TButton*& book, ui::TEdit*& edit,
                   ui::TButton*& add, ui::TButton*& remove, ui::TListBox*& list, bool cc) {
        book = new ui::TButton(Client(), caption);
        book->OnClick = [this] { ToButtonClick(); };
        grid->addWidget(book, r, 0);
        edit = new ui::TEdit(Client());
        grid->addWidget(edit, r, 1);
        add = new ui::TButton(Client(), ">>");
        remove = new ui::TButton(Client(), "<<");
        for (ui::TButton* arrows : {add, remove})
            arrows->setFixedWidth(ScaleToScreen(40));
        grid->addWidget(add, r, 2);
        grid->addWidget(remove, r, 3);
        list = new ui::TListBox(Client());
        list->SetSorted(true);
        grid->addWidget(list, r, 4);
        add->OnClick = [this, cc] { btnToAddClick(cc); };
        remove->OnClick = [this, cc] { btnToRemoveClick(cc); };
        QObject::connect(edit, &QLineEdit::editingFinished, this,
                         [this, cc] { btnToAddClick(cc); });
        OnDeleteKey(*list, [list] { DeleteCurrentTListboxItem(*list); });
    };
    row(0, "T&o...", ToButton, Recipient, btnToAdd, btnToRemove, lbTo, false);
    row(1, "&CC...", CCButton, CC, btnCCAdd, btnCCRemove, lbCC, true);
    // The typed address and the lists get the width; ">>" and "<<" need none.
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(4, 3);
    ClientLayout()->addLayout(grid, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    AddButton(Client(), buttons, "Close", ui::mrOk);
    ClientLayout()->addLayout(buttons);
    resize(ScaleToScreen(600), ScaleToScreen(260));
}

void TdlgAddRecip::btnToAddClick(bool cc) {
    ui::TEdit* edit = cc ? CC : Recipient;
    ui::TListBox* list = cc ? lbCC : lbTo;
    const std::string typed = edit->Text();
    if (typed.empty())
        return;
    std::vector<std::string> added;
    if (ApplyAddressRule)
        ApplyAddressRule(added, typed);
    else
        added.push_back(typed);
    edit->SetText("");
    for (const std::string& a : added)
        list->Items().Add(a);
}

void TdlgAddRecip::btnToRemoveClick(bool cc) {
    DeleteCurrentTListboxItem(cc ? *lbCC : *lbTo);
}

void TdlgAddRecip::ToButtonClick() {
    if (OnAddressBook)
        OnAddressBook();
}

std::vector<std::string> TdlgAddRecip::ToList() const {
    return Items(*lbTo);
}
std::vector<std::string> TdlgAddRecip::CCList() const {
    return Items(*lbCC);
}

void TdlgAddRecip::SetToList(const std::vector<std::string>& list) {
    SetItems(*lbTo, list);
}

void TdlgAddRecip::SetCCList(const std::vector<std::string>& list) {
    SetItems(*lbCC, list);
}

TdlgStagger::TdlgStagger(QWidget* owner, int delay_seconds)
    : ui::TForm(owner), delay_(delay_seconds) {
    SetCaption("Send Delay");
    SetPosition(ui::poMainFormCenter);
    ClientLayout()->addWidget(new ui::TLabel(
        Client(), "You have set the option to stagger the sending of your messages"));
    auto* count = new QHBoxLayout;
    count->addWidget(new ui::TLabel(Client(), "The next e-mail will be sent in"));
    SpinEdit1 = new ui::TSpinEdit(Client());
    SpinEdit1->SetRange(-1, 1000000);
    count->addWidget(SpinEdit1);
    count->addWidget(new ui::TLabel(Client(), "seconds"));
    count->addStretch(1);
    ClientLayout()->addLayout(count);
    auto* buttons = new QHBoxLayout;
    btnSkip = AddButton(Client(), buttons, "Skip this Delay", ui::mrOk);
    btnCancel = AddButton(Client(), buttons, "Cancel", ui::mrCancel);
    btnSkipAll = AddButton(Client(), buttons, "Skip All Delays", ui::mrAll);
    ClientLayout()->addLayout(buttons);
    Timer1.SetEnabled(false);
    Timer1.SetInterval(1000);
    Timer1.OnTimer = [this] { Timer1Timer(); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { Timer1.Stop(); };
}

void TdlgStagger::FormShow() {
    SpinEdit1->SetValue(delay_);
    Timer1.Start(1000);
}

void TdlgStagger::Timer1Timer() {
    SpinEdit1->SetValue(SpinEdit1->Value() - 1);
    if (SpinEdit1->Value() < 0) {
        Timer1.Stop();
        SetModalResult(ui::mrOk);
    }
}

TdlgSendError::TdlgSendError(QWidget* owner, std::string_view text) : ui::TForm(owner) {
    SetCaption("Sending Error");
    SetPosition(ui::poMainFormCenter);
    ClientLayout()->addWidget(new ui::TLabel(Client(), "Send Error!"));
    lblError = new ui::TLabel(Client(), text);
    lblError->setWordWrap(true);
    ClientLayout()->addWidget(lblError, 1);
    chkHideErrors = new ui::TCheckBox(Client(), "Do not show further errors");
    ClientLayout()->addWidget(chkHideErrors);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    AddButton(Client(), buttons, "Abort", ui::mrAbort);
    // Enter goes on with the mail-out, as the report of any message box does.
    AddButton(Client(), buttons, "OK", ui::mrOk)->SetDefault(true);
    ClientLayout()->addLayout(buttons);
    resize(ScaleToScreen(380), ScaleToScreen(180));
}

bool ShowSendError(QWidget* owner, std::string_view text, bool hidden) {
    if (hidden)
        return true;
    TdlgSendError dialog(owner, text);
    if (dialog.ShowModal() == ui::mrAbort)
        SetCancelled(ui::MessageDlg("Are you sure you want to cancel processing?",
                                    ui::mtConfirmation, ui::mbYesNo) == ui::mrYes);
    return dialog.chkHideErrors->Checked();
}

}  // namespace app
