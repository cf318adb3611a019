#include "platform/ui/form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "platform/ui/application.h"
#include "platform/ui/qt_text.h"

namespace ui {
namespace {

std::vector<TForm*>& ModalForms() {
    static std::vector<TForm*> forms;
    return forms;
}

ModalHandler& InstalledHandler() {
    static ModalHandler handler;
    return handler;
}

}  // namespace

TForm::TForm(QWidget* owner, bool dialog)
    : QMainWindow(owner, dialog ? Qt::Dialog : Qt::Window), client_(new QWidget(this)) {
    setCentralWidget(client_);
    new QVBoxLayout(client_);
}

TForm::~TForm() {
    auto& forms = ModalForms();
    forms.erase(std::remove(forms.begin(), forms.end(), this), forms.end());
}

std::string TForm::Caption() const {
    return FromQ(windowTitle());
}

void TForm::SetCaption(std::string_view caption) {
    setWindowTitle(ToQ(caption));
}

QWidget* TForm::ActiveControl() const {
    QWidget* focus = focusWidget();
    return focus;
}

void TForm::SetActiveControl(QWidget* control) {
    if (control != nullptr)
        control->setFocus(Qt::OtherFocusReason);
}

QVBoxLayout* TForm::ClientLayout() const {
    return static_cast<QVBoxLayout*>(client_->layout());
}

void TForm::Show() {
    show();
    activateWindow();
}

bool TForm::CloseQuery() {
    bool can_close = true;
    if (OnCloseQuery)
        Guarded([&] { OnCloseQuery(can_close); });
    return can_close;
}

void TForm::RunOnClose() {
    if (OnClose)
        Guarded([this] { OnClose(); });
}

TModalResult TForm::ShowModal() {
    modal_result_ = mrNone;
    modal_ = true;
    ModalForms().push_back(this);
    setWindowModality(Qt::ApplicationModal);
    show();
    if (InstalledHandler()) {
        InstalledHandler()(*this);
        if (modal_result_ == mrNone)
            modal_result_ = mrCancel;
    } else {
        activateWindow();
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (modal_result_ == mrNone)
                continue;
            if (CloseQuery())
                break;
            modal_result_ = mrNone;
        }
    }
    RunOnClose();
    modal_ = false;
    auto& forms = ModalForms();
    forms.erase(std::remove(forms.begin(), forms.end(), this), forms.end());
    hide();
    setWindowModality(Qt::NonModal);
    return modal_result_;
}

void TForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!placed_) {
        placed_ = true;
        PlaceOnScreen();
    }
    // A window coming back from the task bar is not shown anew.
    if (OnShow && !event->spontaneous())
        Guarded([this] { OnShow(); });
}

void TForm::closeEvent(QCloseEvent* event) {
    if (modal_) {
        // The modal loop asks OnCloseQuery and closes the form itself.
        modal_result_ = mrCancel;
        event->ignore();
        return;
    }
    if (!CloseQuery()) {
        event->ignore();
        return;
    }
    RunOnClose();
    event->accept();
}

void TForm::PlaceOnScreen() {
    QRect area;
    if ((position_ == poMainFormCenter || position_ == poOwnerFormCenter) &&
        parentWidget() != nullptr) {
        area = parentWidget()->window()->frameGeometry();
    } else if (position_ != poDesigned && screen() != nullptr) {
        area = screen()->availableGeometry();
    }
    if (area.isValid()) {
        QRect frame = frameGeometry();
        frame.moveCenter(area.center());
        move(frame.topLeft());
    }
    KeepOnScreen();
}

void TForm::KeepOnScreen() {
    const QScreen* on = screen();
    if (on == nullptr)
        return;
    const QRect area = on->availableGeometry();
    const QRect frame = frameGeometry();
    // A window larger than the screen is left where it was placed.
    auto inside = [](int start, int size, int area_start, int area_size) {
        if (size > area_size)
            return start;
        return std::max(area_start, std::min(start, area_start + area_size - size));
    };
    move(inside(frame.left(), frame.width(), area.left(), area.width()),
         inside(frame.top(), frame.height(), area.top(), area.height()));
}

TForm* ActiveForm() {
    if (!ModalForms().empty())
        return ModalForms().back();
    return dynamic_cast<TForm*>(QApplication::activeWindow());
}

ScopedModalHandler::ScopedModalHandler(ModalHandler handler)
    : previous_(std::move(InstalledHandler())) {
    InstalledHandler() = std::move(handler);
}

ScopedModalHandler::~ScopedModalHandler() {
    InstalledHandler() = std::move(previous_);
}

}  // namespace ui
