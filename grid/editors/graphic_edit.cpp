#include "grid/editors/graphic_edit.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QPainter>
#include <QScreen>

#include "grid/core/tree_list.h"
#include "grid/editors/blob_edit.h"
#include "grid/editors/button_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/canvas.h"
#include "platform/ui/keys.h"

namespace grid {

QRect PictureTarget(const QSize& picture, const QRect& r, bool stretch) {
    if (picture.isEmpty())
        return {};
    if (stretch) {
        QSize s = picture.scaled(r.size(), Qt::KeepAspectRatio);
        return QRect(r.topLeft(), s);
    }
    const int x =
        picture.width() < r.width() ? r.left() + (r.width() - picture.width()) / 2 : r.left();
    const int y =
        picture.height() < r.height() ? r.top() + (r.height() - picture.height()) / 2 : r.top();
    return QRect(QPoint(x, y), picture);
}

TgxDBTreeListGraphicColumn::TgxDBTreeListGraphicColumn(db::TComponent* owner)
    : TgxDBGridColumn(owner), toolbar_(std::make_shared<TgxPopupToolBarWindow>()) {}

TgxInplaceEditClass TgxDBTreeListGraphicColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListGraphicEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListGraphicEdit>(parent);
            }};
}

void TgxDBTreeListGraphicColumn::SetStretch(bool value) {
    if (value != stretch_) {
        stretch_ = value;
        Changed(false);
    }
}

void TgxDBTreeListGraphicColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                  const TgxTreeListNode* node, bool selected,
                                                  bool focused, bool new_item_row,
                                                  std::string& text, ui::Color& color,
                                                  ui::TFont& font, TAlignment& alignment,
                                                  bool& done) {
    TgxDBGridColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                      color, font, alignment, done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    const QImage picture = node != nullptr ? LoadPictureFromBlob(text) : QImage();
    const QRect r(rect.left, rect.top, rect.Width(), rect.Height());
    if (!picture.isNull()) {
        QPainter& p = canvas.Painter();
        p.save();
        p.setClipRect(r);
        p.drawImage(PictureTarget(picture.size(), r, stretch_), picture);
        if (selected && shadow_selection_)
            p.fillRect(r, QColor(0, 0, 128, 128));
        p.restore();
    }
    done = true;
}

void TgxDBTreeListGraphicColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    stretch_ = false;
    shadow_selection_ = true;
}

namespace {
const char* const kToolCaptions[7] = {"Cut", "Copy", "Paste", "Delete", "Load...", "Save...", ""};

bool ClipboardHasPicture() {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data != nullptr && data->hasImage();
}
}  // namespace

TgxPopupToolBar::TgxPopupToolBar(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle("Toolbox");
    for (int i = 0; i < 7; ++i) {
        auto* b = new QToolButton(this);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setText(kToolCaptions[i]);
        b->setToolTip(kToolCaptions[i]);
        QObject::connect(b, &QToolButton::clicked, this, [this, i] {
            if (OnButtonClick)
                ui::Guarded([&] { OnButtonClick(i); });
        });
        buttons_[static_cast<std::size_t>(i)] = b;
    }
    // Paste follows the clipboard.
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
                     [this] { UpdateStates(); });
}

void TgxPopupToolBar::Apply(const TgxPopupToolBarWindow& settings) {
    shown_ = settings.Buttons;
    show_captions_ = settings.ShowCaptions;
    alignment_ = settings.Alignment;
    buttons_[ptbCustom]->setText(QString::fromStdString(settings.CustomButtonCaption));
    LayoutButtons();
}

void TgxPopupToolBar::LayoutButtons() {
    const QFontMetrics fm(font());
    const int h = std::max(22, fm.height() + 9);
    const int w = h + 1;
    const bool vertical = alignment_ == ptaLeft || alignment_ == ptaRight;
    const bool captions = show_captions_ && vertical;
    int widest = 0;
    if (captions)
        for (int i = 0; i < 7; ++i)
            widest = std::max(
                widest, fm.horizontalAdvance(buttons_[static_cast<std::size_t>(i)]->text()) + 8);
    int n = 0;
    for (int i = 0; i < 7; ++i) {
        QToolButton* b = buttons_[static_cast<std::size_t>(i)];
        const bool shown = (shown_ & (1u << i)) != 0;
        b->setVisible(shown);
        if (!shown)
            continue;
        b->setToolButtonStyle(captions ? Qt::ToolButtonTextOnly : Qt::ToolButtonTextOnly);
        if (vertical)
            b->setGeometry(0, n * h, w + widest, h);
        else
            b->setGeometry(n * (w + fm.horizontalAdvance(b->text())), 0,
                           w + fm.horizontalAdvance(b->text()), h);
        ++n;
    }
    if (vertical)
        resize(w + widest, n * h);
    else
        resize(std::max(1, childrenRect().right() + 1), h);
}

void TgxPopupToolBar::UpdateStates() {
    buttons_[ptbCut]->setEnabled(!PictureEmpty && !ReadOnly);
    buttons_[ptbCopy]->setEnabled(!PictureEmpty);
    buttons_[ptbPaste]->setEnabled(!ReadOnly && ClipboardHasPicture());
    buttons_[ptbDelete]->setEnabled(!PictureEmpty && !ReadOnly);
    buttons_[ptbLoad]->setEnabled(!ReadOnly);
    buttons_[ptbSave]->setEnabled(!PictureEmpty);
}

void TgxPopupToolBar::closeEvent(QCloseEvent* e) {
    // Closed by the user: hidden until the next edit.
    ClosedByUser = true;
    hide();
    e->ignore();
}

TgxInplaceGraphicEdit::TgxInplaceGraphicEdit(QWidget* parent)
    : TgxInplaceEdit(parent), toolbar_(std::make_unique<TgxPopupToolBar>(window())) {
    setFocusPolicy(Qt::StrongFocus);
    RouteInputOf(this);
    toolbar_->OnButtonClick = [this](int index) { ToolbarClick(index); };
}

TgxInplaceGraphicEdit::~TgxInplaceGraphicEdit() = default;

void TgxInplaceGraphicEdit::InitEditValue() {
    TgxInplaceEdit::InitEditValue();
    toolbar_->setFont(Font().ToQFont());
    if (const TgxPopupToolBarWindow* settings = GetPopupToolBarWindow())
        toolbar_->Apply(*settings);
    else
        toolbar_->LayoutButtons();
    toolbar_->PictureEmpty = IsPictureEmpty();
    toolbar_->ReadOnly = GetReadOnly();
    toolbar_->ClosedByUser = false;
    toolbar_->UpdateStates();
    update();
}

void TgxInplaceGraphicEdit::ShowToolbar() {
    const TgxPopupToolBarWindow* settings = GetPopupToolBarWindow();
    if ((settings != nullptr && !settings->Visible) || toolbar_->ClosedByUser)
        return;
    const QRect editor(mapToGlobal(QPoint(0, 0)), size());
    QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
    const QSize s = toolbar_->size();
    QPoint pos;
    switch (toolbar_->Alignment()) {
        case ptaLeft:
            pos = QPoint(editor.left() - s.width(), editor.top());
            if (pos.x() < area.left())
                pos.setX(editor.right() + 1);
            break;
        case ptaRight:
            pos = QPoint(editor.right() + 1, editor.top());
            if (pos.x() + s.width() > area.right() + 1)
                pos.setX(editor.left() - s.width());
            break;
        case ptaTop:
            pos = QPoint(editor.left(), editor.top() - s.height());
            if (pos.y() < area.top())
                pos.setY(editor.bottom() + 1);
            break;
        default:
            pos = QPoint(editor.left(), editor.bottom() + 1);
            if (pos.y() + s.height() > area.bottom() + 1)
                pos.setY(editor.top() - s.height());
            break;
    }
    pos.setX(std::clamp(pos.x(), area.left(), std::max(area.left(), area.right() + 1 - s.width())));
    pos.setY(std::clamp(pos.y(), area.top(), std::max(area.top(), area.bottom() + 1 - s.height())));
    toolbar_->move(pos);
    toolbar_->show();
}

void TgxInplaceGraphicEdit::DoKillFocus(QWidget* new_focus) {
    TgxInplaceEdit::DoKillFocus(new_focus);
    if (new_focus == nullptr || !(new_focus == toolbar_.get() || toolbar_->isAncestorOf(new_focus)))
        toolbar_->hide();
}

bool TgxInplaceGraphicEdit::IsEditFocused() {
    QWidget* focus = QApplication::focusWidget();
    return TgxInplaceEdit::IsEditFocused() ||
           (focus != nullptr && (focus == toolbar_.get() || toolbar_->isAncestorOf(focus)));
}

void TgxInplaceGraphicEdit::Hide() {
    toolbar_->hide();
    TgxInplaceEdit::Hide();
}

void TgxInplaceGraphicEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_LEFT || key == ui::VK_RIGHT)
        MoveFocusedColumn(key == ui::VK_LEFT);
    TgxInplaceEdit::EditorKeyDown(key, shift);
}

void TgxInplaceGraphicEdit::ToolbarClick(int index) {
    const QImage picture = LoadPictureFromBlob(GetEditValue());
    switch (index) {
        case ptbCut:
            ToolbarClick(ptbCopy);
            ToolbarClick(ptbDelete);
            break;
        case ptbCopy:
            if (!picture.isNull())
                QGuiApplication::clipboard()->setImage(picture);
            break;
        case ptbPaste:
            if (ClipboardHasPicture() && CanModify())
                AssignPicture(QGuiApplication::clipboard()->image());
            break;
        case ptbDelete:
            if (CanModify())
                ClearPicture();
            break;
        case ptbLoad:
            if (CanModify()) {
                const QString name =
                    QFileDialog::getOpenFileName(this, {}, {}, "Pictures (*.bmp *.png *.jpg)");
                QImage loaded;
                if (!name.isEmpty() && loaded.load(name))
                    AssignPicture(loaded);
            }
            break;
        case ptbSave:
            if (!picture.isNull()) {
                const QString name = QFileDialog::getSaveFileName(this, {}, {}, "Bitmaps (*.bmp)");
                if (!name.isEmpty() && !picture.save(name, "BMP"))
                    throw std::runtime_error("The picture could not be saved to " +
                                             name.toStdString());
            }
            break;
        default:
            DoCustomClick();
            break;
    }
    toolbar_->PictureEmpty = IsPictureEmpty();
    toolbar_->UpdateStates();
    update();
}

void TgxInplaceGraphicEdit::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), GetColor().ToQColor());
    const QImage picture = LoadPictureFromBlob(GetEditValue());
    if (!picture.isNull())
        p.drawImage(PictureTarget(picture.size(), rect(), GetStretch()), picture);
}

TgxDBTreeListGraphicColumn* TgxInplaceDBTreeListGraphicEdit::Column() const {
    return dynamic_cast<TgxDBTreeListGraphicColumn*>(EditorColumn(*this));
}

bool TgxInplaceDBTreeListGraphicEdit::GetStretch() {
    auto* c = Column();
    return c == nullptr || c->Stretch();
}

std::string TgxInplaceDBTreeListGraphicEdit::GetEditValue() {
    auto* c = Column();
    return c != nullptr && c->Field() != nullptr && !c->Field()->IsNull() ? c->Field()->AsString()
                                                                          : std::string();
}

void TgxInplaceDBTreeListGraphicEdit::MoveFocusedColumn(bool to_left) {
    MoveGridFocusedColumn(*this, to_left);
}

void TgxInplaceDBTreeListGraphicEdit::AssignPicture(const QImage& picture) {
    auto* c = Column();
    if (c == nullptr || c->Field() == nullptr)
        return;
    QImage assigned = picture;
    if (c->OnAssignPicture)
        c->OnAssignPicture(c, assigned);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    assigned.save(&buffer, "BMP");
    c->Field()->SetAsString(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void TgxInplaceDBTreeListGraphicEdit::ClearPicture() {
    auto* c = Column();
    if (c != nullptr && c->Field() != nullptr)
        c->Field()->Clear();
}

bool TgxInplaceDBTreeListGraphicEdit::IsPictureEmpty() {
    auto* c = Column();
    return c == nullptr || c->Field() == nullptr || c->Field()->IsNull();
}

const TgxPopupToolBarWindow* TgxInplaceDBTreeListGraphicEdit::GetPopupToolBarWindow() {
    auto* c = Column();
    return c != nullptr ? &c->PopupToolBar() : nullptr;
}

}  // namespace grid
