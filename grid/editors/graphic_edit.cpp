#include "grid/editors/graphic_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QMimeData>
#include <QPainter>

#include "grid/core/draw_utils.h"
#include "grid/core/tree_list.h"
#include "grid/data/db_grid.h"
#include "grid/editors/blob_edit.h"
#include "grid/editors/button_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/canvas.h"
#include "platform/ui/file_dialog.h"
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

void DrawPicture(QPainter& painter, const QImage& picture, const QRect& r, const QColor& brush,
                 bool stretch, bool quick_draw) {
    painter.fillRect(r, brush);
    if (picture.isNull())
        return;
    painter.save();
    painter.setClipRect(r);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, !quick_draw);
    painter.drawImage(PictureTarget(picture.size(), r, stretch), picture);
    painter.restore();
}

TgxDBTreeListGraphicColumn::TgxDBTreeListGraphicColumn(db::TComponent* owner)
    : TgxDBGridColumn(owner), toolbar_(std::make_shared<TgxPopupToolBarWindow>()) {}

TgxInplaceEditClass TgxDBTreeListGraphicColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListGraphicEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListGraphicEdit>(parent);
            }};
}

void TgxDBTreeListGraphicColumn::SetQuickDraw(bool value) {
    if (value != quick_draw_) {
        quick_draw_ = value;
        Changed(false);
    }
}

void TgxDBTreeListGraphicColumn::SetCustomGraphic(bool value) {
    if (value != custom_graphic_) {
        custom_graphic_ = value;
        Changed(false);
    }
}

void TgxDBTreeListGraphicColumn::SetPopupToolbarPosStored(bool value) {
    toolbar_pos_stored_ = value;
    if (!value)
        toolbar_pos_ = kNoToolbarPos;
}

TGraphicClass TgxDBTreeListGraphicColumn::GraphicClassOf(const TgxTreeListNode* node) {
    TGraphicClass graphic_class;
    if (OnGetGraphicClass)
        OnGetGraphicClass(this, node, graphic_class);
    return graphic_class;
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
    // The cell text is the field's display text; the picture is in the value the row keeps.
    // A custom graphic class exists only in the running program, so the designer shows none.
    QImage& picture = drawing_picture_;
    picture = QImage();
    const bool designing = ComponentState().Contains(db::csDesigning);
    if (auto* grid = dynamic_cast<TCustomgxDBGrid*>(ATreeList());
        grid != nullptr && node != nullptr && !(custom_graphic_ && designing)) {
        const db::Variant value = grid->GetNodeVariant(node, GetIndex());
        if (!value.IsNull() && !value.IsClear())
            picture = LoadPictureFromBlob(value.AsString(), GraphicClassOf(node));
    }
    const QRect r(rect.left, rect.top, rect.Width(), rect.Height());
    // The grid's own colour behind the picture: a selected cell shows only the halftone.
    const ui::Color brush = ATreeList() != nullptr ? ATreeList()->GetColor() : color;
    DrawPicture(canvas.Painter(), picture, r, brush.ToQColor(), stretch_, quick_draw_);
    if (selected && shadow_selection_)
        DrawHalftoneRect(canvas, rect, ui::clHighlight);
    done = true;
}

void TgxDBTreeListGraphicColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    stretch_ = false;
    shadow_selection_ = true;
    quick_draw_ = false;
    custom_graphic_ = false;
    SetPopupToolbarPosStored(true);
}

void TgxDBTreeListGraphicColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListGraphicColumn*>(&source)) {
        SetStretch(c->stretch_);
        SetShadowSelection(c->shadow_selection_);
        SetQuickDraw(c->quick_draw_);
        SetCustomGraphic(c->custom_graphic_);
        SetPopupToolbarPosStored(c->toolbar_pos_stored_);
        *toolbar_ = *c->toolbar_;
    }
}

namespace {
const char* const kToolCaptions[7] = {"Cu&t",     "&Copy",       "&Paste", "&Delete",
                                      "&Load...", "&Save To...", ""};
const char* const kToolHints[7] = {
    "Cut", "Copy", "Paste", "Delete", "Load from file...", "Save to file...", ""};

bool ClipboardHasPicture() {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data != nullptr && data->hasImage();
}
}  // namespace

QImage ToolBarGlyph(TgxPopupToolBarButton button) {
    QImage glyph(16, 16, QImage::Format_ARGB32);
    glyph.fill(Qt::transparent);
    QPainter p(&glyph);
    const QColor ink(0, 0, 0), paper(255, 255, 255), navy(0, 0, 128), olive(128, 128, 0);
    p.setPen(ink);
    switch (button) {
        case ptbCut:  // scissors
            p.drawLine(5, 1, 9, 9);
            p.drawLine(10, 1, 6, 9);
            p.setPen(navy);
            p.drawEllipse(2, 9, 4, 5);
            p.drawEllipse(9, 9, 4, 5);
            break;
        case ptbCopy:  // two sheets
            p.setBrush(paper);
            p.drawRect(1, 1, 8, 10);
            p.drawRect(6, 4, 8, 10);
            p.setPen(navy);
            for (int y = 7; y <= 12; y += 2)
                p.drawLine(8, y, 12, y);
            break;
        case ptbPaste:  // a clipboard with a sheet
            p.setBrush(olive);
            p.drawRect(1, 2, 10, 12);
            p.setBrush(QColor(192, 192, 192));
            p.drawRect(4, 1, 4, 2);
            p.setBrush(paper);
            p.drawRect(6, 6, 8, 9);
            break;
        case ptbDelete:  // a red cross
            p.setPen(QPen(QColor(192, 0, 0), 2));
            p.drawLine(3, 3, 12, 12);
            p.drawLine(12, 3, 3, 12);
            break;
        case ptbLoad:  // an open folder
            p.setBrush(QColor(255, 255, 128));
            p.drawPolygon(QPolygon({QPoint(1, 4), QPoint(5, 4), QPoint(6, 5), QPoint(12, 5),
                                    QPoint(12, 13), QPoint(1, 13)}));
            p.setBrush(olive);
            p.drawPolygon(QPolygon({QPoint(3, 8), QPoint(15, 8), QPoint(12, 13), QPoint(1, 13)}));
            break;
        case ptbSave:  // a disk
            p.setBrush(navy);
            p.drawRect(1, 1, 13, 13);
            p.setBrush(paper);
            p.drawRect(4, 1, 7, 5);
            p.setBrush(QColor(192, 192, 192));
            p.drawRect(4, 9, 7, 5);
            break;
        default:
            break;
    }
    return glyph;
}

TgxPopupToolBar::TgxPopupToolBar(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle("Toolbox");
    for (int i = 0; i < 7; ++i) {
        auto* b = new QToolButton(this);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setText(kToolCaptions[i]);
        b->setToolTip(kToolHints[i]);
        b->setIcon(QIcon(QPixmap::fromImage(ToolBarGlyph(static_cast<TgxPopupToolBarButton>(i)))));
        b->setIconSize(QSize(16, 16));
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
    buttons_[ptbCustom]->setIcon(settings.CustomButtonGlyph.isNull()
                                     ? QIcon()
                                     : QIcon(QPixmap::fromImage(settings.CustomButtonGlyph)));
    LayoutButtons();
}

int TgxPopupToolBar::ButtonHeight() const {
    return std::max(22, QFontMetrics(font()).height() + 9);
}

void TgxPopupToolBar::LayoutButtons() {
    const QFontMetrics fm(font());
    const int h = ButtonHeight();
    const int w = h + 1;
    const bool vertical = alignment_ == ptaLeft || alignment_ == ptaRight;
    // Captions only in a vertical bar; a row shows glyphs alone.
    const bool captions = show_captions_ && vertical;
    int widest = 0;
    if (captions)
        for (int i = 0; i < 7; ++i)
            if ((shown_ & (1u << i)) != 0)
                widest = std::max(widest,
                                  fm.horizontalAdvance(
                                      buttons_[static_cast<std::size_t>(i)]->text().remove('&')) +
                                      8);
    int n = 0;
    for (int i = 0; i < 7; ++i) {
        QToolButton* b = buttons_[static_cast<std::size_t>(i)];
        const bool shown = (shown_ & (1u << i)) != 0;
        b->setVisible(shown);
        if (!shown)
            continue;
        b->setToolButtonStyle(captions ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
        if (vertical)
            b->setGeometry(0, n * h, w + widest, h);
        else
            b->setGeometry(n * w, 0, w, h);
        ++n;
    }
    if (vertical)
        resize(w + widest, std::max(1, n) * h);
    else
        resize(std::max(1, n) * w, h);
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
    // A toolbar the user moved keeps its place for the column.
    if (last_toolbar_pos_ != kNoToolbarPos && toolbar_->pos() != last_toolbar_pos_)
        SetToolbarPos(toolbar_->pos());
    toolbar_->LayoutButtons();
    const QPoint stored = IsToolbarPosStored() ? GetToolbarPos() : kNoToolbarPos;
    const QRect editor(mapToGlobal(QPoint(0, 0)), size());
    const QRect area = WorkAreaOf(*this);
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
    if (stored != kNoToolbarPos) {
        pos = stored;
    } else {
        pos.setX(
            std::clamp(pos.x(), area.left(), std::max(area.left(), area.right() + 1 - s.width())));
        pos.setY(
            std::clamp(pos.y(), area.top(), std::max(area.top(), area.bottom() + 1 - s.height())));
    }
    toolbar_->move(pos);
    last_toolbar_pos_ = pos;
    const TgxPopupToolBarWindow* settings = GetPopupToolBarWindow();
    if ((settings != nullptr && !settings->Visible) || toolbar_->ClosedByUser)
        return;
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
    const TGraphicClass graphic_class = GetGraphicClass();
    const std::string value = GetEditValue();
    const QImage picture = LoadPictureFromBlob(value, graphic_class);
    // Bytes that are no readable picture are said so, and Cut keeps them rather than
    // deleting what it could not copy.
    if (picture.isNull() && (index == ptbCut || index == ptbCopy || index == ptbSave) &&
        !value.empty())
        throw EInvalidGraphic(kFieldHoldsNoPicture);
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
                ui::TOpenDialog dialog;
                dialog.SetFilter(AllPicturesFilter());
                if (dialog.Execute())
                    AssignPicture(LoadPictureFromFile(dialog.FileName()));
            }
            break;
        case ptbSave:
            if (!picture.isNull()) {
                ui::TSaveDialog dialog;
                dialog.SetFilter(graphic_class.GraphicFilter());
                dialog.SetDefaultExt(graphic_class.GraphicExtension());
                if (dialog.Execute())
                    SavePictureToFile(picture, dialog.FileName(), graphic_class);
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
    DrawPicture(p, LoadPictureFromBlob(GetEditValue(), GetGraphicClass()), rect(),
                GetColor().ToQColor(), GetStretch(), false);
}

TgxDBTreeListGraphicColumn* TgxInplaceDBTreeListGraphicEdit::Column() const {
    return dynamic_cast<TgxDBTreeListGraphicColumn*>(EditorColumn(*this));
}

bool TgxInplaceDBTreeListGraphicEdit::GetStretch() {
    return ColumnSetting(Column(), &TgxDBTreeListGraphicColumn::Stretch, true);
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
    c->Field()->SetAsString(SavePictureToBlob(assigned, GetGraphicClass()));
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

TGraphicClass TgxInplaceDBTreeListGraphicEdit::GetGraphicClass() {
    auto* c = Column();
    return c != nullptr ? c->GraphicClassOf(FocusedNodeOf(*this)) : TGraphicClass();
}

void TgxInplaceDBTreeListGraphicEdit::DoCustomClick() {
    auto* c = Column();
    if (c != nullptr && c->OnCustomClick)
        c->OnCustomClick(c);
}

QPoint TgxInplaceDBTreeListGraphicEdit::GetToolbarPos() {
    return ColumnSetting(Column(), &TgxDBTreeListGraphicColumn::ToolbarPos, kNoToolbarPos);
}

void TgxInplaceDBTreeListGraphicEdit::SetToolbarPos(QPoint pos) {
    if (auto* c = Column())
        c->SetToolbarPos(pos);
}

bool TgxInplaceDBTreeListGraphicEdit::IsToolbarPosStored() {
    return ColumnSetting(Column(), &TgxDBTreeListGraphicColumn::PopupToolbarPosStored, true);
}

const TgxPopupToolBarWindow* TgxInplaceDBTreeListGraphicEdit::GetPopupToolBarWindow() {
    auto* c = Column();
    return c != nullptr ? &c->PopupToolBar() : nullptr;
}

}  // namespace grid
