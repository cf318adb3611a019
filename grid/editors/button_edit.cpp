#include "grid/editors/button_edit.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>

#include "grid/data/db_tree_list_control.h"
#include "platform/ui/application.h"
#include "platform/ui/canvas.h"

namespace grid {

namespace {
QRect ToQRect(const ui::Rect& r) {
    return QRect(r.left, r.top, r.Width(), r.Height());
}

int ScrollBarWidth() {
    return QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

// The cell text beside a button strip, in the cell's colours.
void DrawButtonCell(ui::TCanvas& canvas, const ui::Rect& rect, const std::string& text,
                    ui::Color color, const ui::TFont& font, TAlignment alignment,
                    const QRect& button, TgxEditButtonStyle style, const QImage& glyph) {
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    QPainter& p = canvas.Painter();
    DrawEditButton(p, button, style, false, glyph);
    ui::Rect text_rect = rect;
    text_rect.right = button.left();
    canvas.Font.Assign(font);
    unsigned flags = ui::DT_SINGLELINE | ui::DT_VCENTER | ui::DT_NOPREFIX | ui::DT_END_ELLIPSIS;
    if (alignment == taRightJustify)
        flags |= ui::DT_RIGHT;
    else if (alignment == taCenter)
        flags |= ui::DT_CENTER;
    text_rect.left += 2;
    text_rect.right -= 2;
    if (text_rect.right > text_rect.left)
        canvas.DrawText(text, text_rect, flags);
}
}  // namespace

QRect WorkAreaOf(const QWidget& w) {
    QScreen* screen = w.screen() != nullptr ? w.screen() : QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
}

TgxDBTreeListColumn* EditorColumn(const TgxInplaceEdit& editor) {
    auto* grid = dynamic_cast<TCustomgxDBTreeListControl*>(editor.Container);
    if (grid == nullptr)
        return nullptr;
    return grid->GetColumn(grid->GetVisibleColumnIndex(grid->GetFocusedColumn()));
}

TgxTreeListNode* FocusedNodeOf(const TgxInplaceEdit& editor) {
    auto* grid = dynamic_cast<TCustomgxTreeListControl*>(editor.Container);
    return grid != nullptr ? grid->GetFocusedNode() : nullptr;
}

void MoveGridFocusedColumn(TgxInplaceEdit& editor, bool to_left) {
    auto* grid = dynamic_cast<TCustomgxTreeListControl*>(editor.Container);
    if (grid == nullptr)
        return;
    grid->HideEditorAndFocus();
    grid->SetFocusedColumn(grid->GetFocusedColumn() + (to_left ? -1 : 1));
}

void DrawEditButton(QPainter& p, const QRect& r, TgxEditButtonStyle style, bool pressed,
                    const QImage& glyph) {
    if (style == ebsSimple || r.isEmpty())
        return;
    const QPalette pal = QApplication::palette();
    p.save();
    p.fillRect(r, pal.color(QPalette::Button));
    // A raised edge, flat while pressed.
    p.setPen(pressed ? pal.color(QPalette::Dark) : pal.color(QPalette::Light));
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
    const int shift = pressed ? 1 : 0;
    if (style == ebsEllipsis) {
        const int side = std::clamp(r.width() / 8, 1, 2);
        const int cx = r.left() + r.width() / 2 - 1 + shift;
        const int cy = r.top() + r.height() / 2 - 1 + shift;
        for (int dx : {-2 * side - side / 2, 0, 2 * side + side / 2})
            p.fillRect(cx + dx, cy, side, side, Qt::black);
    } else if (style == ebsDown) {
        const int cx = r.left() + r.width() / 2 + shift;
        const int cy = r.top() + r.height() / 2 + shift;
        QPolygon arrow({QPoint(cx - 3, cy - 1), QPoint(cx + 3, cy - 1), QPoint(cx, cy + 2)});
        p.setBrush(pal.color(QPalette::ButtonText));
        p.setPen(Qt::NoPen);
        p.drawPolygon(arrow);
    } else if (style == ebsGlyph && !glyph.isNull()) {
        QRect inner = r.adjusted(2, 2, -2, -2).translated(shift, shift);
        QImage g = glyph.convertToFormat(QImage::Format_ARGB32);
        // The bottom-left pixel is the transparent colour.
        const QRgb key = g.pixel(0, g.height() - 1);
        for (int y = 0; y < g.height(); ++y)
            for (int x = 0; x < g.width(); ++x)
                if (g.pixel(x, y) == key)
                    g.setPixel(x, y, qRgba(0, 0, 0, 0));
        p.drawImage(QPoint(inner.left() + (inner.width() - g.width()) / 2,
                           inner.top() + (inner.height() - g.height()) / 2),
                    g);
    }
    p.restore();
}

TgxInplaceButtonEdit::TgxInplaceButtonEdit(QWidget* parent) : TgxInplaceMaskEdit(parent) {
    setMouseTracking(true);
}

int TgxInplaceButtonEdit::ButtonWidth() const {
    return button_only_ ? width() : ScrollBarWidth();
}

bool TgxInplaceButtonEdit::IsButtonHit(int x, int y) {
    if (!IsShowButtonAlways())
        return false;
    QPoint p = mapFromParent(QPoint(x, y));
    return IsButtonAt({p.x(), p.y()});
}

void TgxInplaceButtonEdit::GetButtonRect(ui::Rect& r) {
    r = {0, 0, width(), height()};
    if (GetBorderStyle() == bsSingle)
        r = {1, 1, width() - 1, height() - 1};
    r.left = r.right - ButtonWidth();
}

bool TgxInplaceButtonEdit::IsButtonAt(ui::Point p) {
    if (style_ == ebsSimple)
        return false;
    ui::Rect r;
    GetButtonRect(r);
    return r.Contains(p);
}

void TgxInplaceButtonEdit::InitEditValue() {
    style_ = GetButtonStyle();
    button_only_ = GetButtonOnly() && style_ != ebsSimple;
    TgxInplaceMaskEdit::InitEditValue();
    LineEdit().setVisible(!button_only_);
    LineEdit().setReadOnly(GetHideEditCursor() || LineEdit().isReadOnly());
    resizeEvent(nullptr);
}

void TgxInplaceButtonEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (button_only_ && (key == ui::VK_LEFT || key == ui::VK_RIGHT)) {
        MoveFocusedColumn(key == ui::VK_LEFT);
        key = 0;
        return;
    }
    if (style_ != ebsSimple && key != 0 && ShortCutOf(key, shift) == GetClickKey()) {
        if (!GetReadOnly())
            DoButtonClick();
        key = 0;
        return;
    }
    TgxInplaceMaskEdit::EditorKeyDown(key, shift);
}

void TgxInplaceButtonEdit::DoEditorMouseDown(int x, int y) {
    if (!IsButtonHit(x, y))
        return;
    QPoint p = mapFromParent(QPoint(x, y));
    QMouseEvent press(QEvent::MouseButtonPress, p, mapToGlobal(p), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    mousePressEvent(&press);
}

void TgxInplaceButtonEdit::paintEvent(QPaintEvent* e) {
    TgxInplaceMaskEdit::paintEvent(e);
    if (style_ == ebsSimple)
        return;
    QPainter p(this);
    ui::Rect r;
    GetButtonRect(r);
    DrawEditButton(p, ToQRect(r), style_, pressed_, GetGlyph());
}

void TgxInplaceButtonEdit::resizeEvent(QResizeEvent* e) {
    if (e != nullptr)
        TgxInplaceMaskEdit::resizeEvent(e);
    if (style_ != ebsSimple && !button_only_) {
        ui::Rect r;
        GetButtonRect(r);
        QRect g = LineEdit().geometry();
        g.setRight(std::max(g.left(), r.left - 1));
        LineEdit().setGeometry(g);
    }
}

void TgxInplaceButtonEdit::mousePressEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    if (e->button() == Qt::LeftButton && IsButtonAt({p.x(), p.y()})) {
        tracking_ = true;
        pressed_ = true;
        grabMouse();
        update();
        return;
    }
    TgxInplaceMaskEdit::mousePressEvent(e);
}

void TgxInplaceButtonEdit::mouseMoveEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    if (tracking_) {
        bool over = IsButtonAt({p.x(), p.y()});
        if (over != pressed_) {
            pressed_ = over;
            update();
        }
    }
    setCursor(IsButtonAt({p.x(), p.y()}) || GetHideEditCursor() ? Qt::ArrowCursor
                                                                : Qt::IBeamCursor);
}

void TgxInplaceButtonEdit::mouseReleaseEvent(QMouseEvent* e) {
    if (!tracking_)
        return;
    tracking_ = false;
    releaseMouse();
    bool click = e->button() == Qt::LeftButton && pressed_;
    pressed_ = false;
    update();
    if (click && !GetReadOnly())
        ui::Guarded([this] { DoButtonClick(); });
}

TgxInplaceDropDownEdit::TgxInplaceDropDownEdit(QWidget* parent) : TgxInplaceMaskEdit(parent) {}

TgxInplaceDropDownEdit::~TgxInplaceDropDownEdit() = default;

void TgxInplaceDropDownEdit::AttachPopup(TgxEditorPopup& popup) {
    popup.OwnerEdit = this;
    popup.Popped = true;
    popup_ = &popup;
}

void TgxInplaceDropDownEdit::ShowPopupBelow(TgxEditorPopup& popup) {
    const QRect area = WorkAreaOf(*this);
    QPoint pos = mapToGlobal(QPoint(0, height()));
    if (pos.x() < area.left())
        pos.setX(area.left());
    if (pos.x() + popup.width() > area.right() + 1)
        pos.setX(area.right() + 1 - popup.width());
    if (pos.y() + popup.height() > area.bottom() + 1)
        pos.setY(pos.y() - height() - popup.height());
    popup.move(pos);
    SetPopupShown(true);
    popup.ShowPopup();
}

TgxPopupList::TgxPopupList(QWidget* parent) : TgxEditorPopup(parent) {
    setMouseTracking(true);
}

void TgxPopupList::mousePressEvent(QMouseEvent* e) {
    mouseMoveEvent(e);
}

void TgxPopupList::mouseMoveEvent(QMouseEvent* e) {
    if (!(e->buttons() & Qt::LeftButton))
        return;
    const int row = RowAt(e->position().toPoint());
    if (row >= 0)
        ui::Guarded([&] { SelectRow(row); });
}

void TgxPopupList::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return;
    if (QWidget::mouseGrabber() == this)
        releaseMouse();
    const bool inside = rect().contains(e->position().toPoint());
    if (OnListMouseUp)
        ui::Guarded([&] { OnListMouseUp(inside); });
}

int TgxInplaceDropDownEdit::ButtonWidth() const {
    return ScrollBarWidth();
}

bool TgxInplaceDropDownEdit::IsButtonHit(int x, int y) {
    if (!IsShowButtonAlways())
        return false;
    QPoint p = mapFromParent(QPoint(x, y));
    return IsButtonAt({p.x(), p.y()});
}

void TgxInplaceDropDownEdit::GetButtonRect(ui::Rect& r) {
    r = {0, 0, width(), height()};
    if (GetBorderStyle() == bsSingle)
        r = {1, 1, width() - 1, height() - 1};
    r.left = r.right - ButtonWidth();
}

bool TgxInplaceDropDownEdit::IsButtonAt(ui::Point p) {
    ui::Rect r;
    GetButtonRect(r);
    return r.Contains(p);
}

void TgxInplaceDropDownEdit::Show() {
    popup_shown_ = false;
    TgxInplaceMaskEdit::Show();
}

void TgxInplaceDropDownEdit::Hide() {
    if (popup_shown_ && popup_ != nullptr)
        popup_->ClosePopup();
    popup_shown_ = false;
    TgxInplaceMaskEdit::Hide();
}

void TgxInplaceDropDownEdit::DoFirstShow() {
    TgxInplaceMaskEdit::DoFirstShow();
    if (GetImmediateDropDown())
        QMetaObject::invokeMethod(
            this, [this] { ui::Guarded([this] { DropDown(); }); }, Qt::QueuedConnection);
}

void TgxInplaceDropDownEdit::DoEditorMouseUp() {
    if (WholeAreaClick && !popup_shown_)
        DropDown();
}

bool TgxInplaceDropDownEdit::IsFlatStyle() {
    switch (GetPopupBorder()) {
        case pbSingle:
            return true;
        case pbFrame3D:
            return false;
        default:
            return TgxInplaceMaskEdit::IsFlatStyle();
    }
}

bool TgxInplaceDropDownEdit::IsEditFocused() {
    if (TgxInplaceMaskEdit::IsEditFocused())
        return true;
    QWidget* focus = QApplication::focusWidget();
    return popup_ != nullptr && focus != nullptr &&
           (focus == popup_ || popup_->isAncestorOf(focus));
}

void TgxInplaceDropDownEdit::DoKillFocus(QWidget* new_focus) {
    TgxInplaceMaskEdit::DoKillFocus(new_focus);
    if (popup_shown_ && !(popup_ != nullptr && new_focus != nullptr &&
                          (new_focus == popup_ || popup_->isAncestorOf(new_focus))))
        CloseUp(false);
}

void TgxInplaceDropDownEdit::DoDropDownKeys(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0;
    if (((key == ui::VK_UP || key == ui::VK_DOWN) && alt) || (key == 115 && !alt)) {
        if (popup_shown_)
            CloseUp(true);
        else
            DropDown();
        key = 0;
    } else if ((key == ui::VK_RETURN || key == ui::VK_ESCAPE) && !alt && popup_shown_) {
        CloseUp(key == ui::VK_RETURN);
        key = 0;
    }
}

void TgxInplaceDropDownEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (route_keys_to_popup_) {
        DoDropDownKeys(key, shift);
        if (key == 0)
            return;
        if (popup_shown_ && popup_ != nullptr) {
            if (popup_takes_typing_) {
                switch (key) {
                    case ui::VK_PRIOR:
                    case ui::VK_NEXT:
                    case ui::VK_END:
                    case ui::VK_HOME:
                    case ui::VK_LEFT:
                    case ui::VK_UP:
                    case ui::VK_RIGHT:
                    case ui::VK_DOWN:
                        popup_->PopupKeyDown(key, shift);
                        key = 0;
                        return;
                    case ui::VK_BACK:
                    case ui::VK_DELETE:
                        break;
                    default:
                        return;  // characters come as key presses
                }
            } else {
                popup_->PopupKeyDown(key, shift);
                key = 0;
                return;
            }
        }
    }
    TgxInplaceMaskEdit::EditorKeyDown(key, shift);
}

void TgxInplaceDropDownEdit::EditorKeyPress(char32_t& key) {
    if (route_keys_to_popup_ && popup_shown_ && popup_ != nullptr && !popup_takes_typing_) {
        popup_->PopupKeyPress(key);
        key = 0;
        return;
    }
    TgxInplaceMaskEdit::EditorKeyPress(key);
    if (route_keys_to_popup_ && popup_shown_ && popup_takes_typing_)
        DoTextChanged(LineEdit().text().toStdString());
}

void TgxInplaceDropDownEdit::EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) {
    if (route_keys_to_popup_ && popup_shown_ && popup_ != nullptr && !popup_takes_typing_) {
        popup_->PopupKeyUp(key, shift);
        return;
    }
    TgxInplaceMaskEdit::EditorKeyUp(key, shift);
}

void TgxInplaceDropDownEdit::paintEvent(QPaintEvent* e) {
    TgxInplaceMaskEdit::paintEvent(e);
    QPainter p(this);
    ui::Rect r;
    GetButtonRect(r);
    DrawEditButton(p, ToQRect(r), ebsDown, pressed_);
}

void TgxInplaceDropDownEdit::resizeEvent(QResizeEvent* e) {
    TgxInplaceMaskEdit::resizeEvent(e);
    ui::Rect r;
    GetButtonRect(r);
    QRect g = LineEdit().geometry();
    g.setRight(std::max(g.left(), r.left - 1));
    LineEdit().setGeometry(g);
}

void TgxInplaceDropDownEdit::mousePressEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    if (e->button() == Qt::LeftButton && (IsButtonAt({p.x(), p.y()}) || WholeAreaClick)) {
        if (popup_shown_ && route_keys_to_popup_) {
            CloseUp(false);
        } else if (!popup_shown_) {
            tracking_ = true;
            pressed_ = true;
            grabMouse();
            update();
            ui::Guarded([this] { DropDown(); });
        }
        return;
    }
    TgxInplaceMaskEdit::mousePressEvent(e);
}

void TgxInplaceDropDownEdit::mouseMoveEvent(QMouseEvent* e) {
    if (!tracking_)
        return;
    QPoint p = e->position().toPoint();
    bool over = IsButtonAt({p.x(), p.y()});
    if (over != pressed_) {
        pressed_ = over;
        update();
    }
    // A drag from the button into the popup goes on as a press there.
    if (popup_shown_ && popup_ != nullptr) {
        QPoint in_popup = popup_->mapFromGlobal(mapToGlobal(p));
        if (popup_->rect().contains(in_popup)) {
            tracking_ = false;
            pressed_ = false;
            releaseMouse();
            update();
            QMouseEvent press(QEvent::MouseButtonPress, in_popup, popup_->mapToGlobal(in_popup),
                              Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(popup_, &press);
            popup_->grabMouse();
        }
    }
}

void TgxInplaceDropDownEdit::mouseReleaseEvent(QMouseEvent*) {
    if (!tracking_)
        return;
    tracking_ = false;
    pressed_ = false;
    releaseMouse();
    update();
}

void TgxDBTreeListButtonColumn::SetButtonOnly(bool value) {
    if (value != button_only_) {
        button_only_ = value;
        Changed(false);
    }
}

void TgxDBTreeListButtonColumn::SetEditButtonStyle(TgxEditButtonStyle value) {
    edit_button_style_ = value;
}

void TgxDBTreeListButtonColumn::SetGlyph(const QImage& value) {
    glyph_ = value;
    Changed(false);
}

void TgxDBTreeListButtonColumn::SetShowButtonStyle(TgxShowButtonStyle value) {
    if (value != show_button_style_) {
        show_button_style_ = value;
        Changed(false);
    }
}

TgxInplaceEditClass TgxDBTreeListButtonColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListButtonEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListButtonEdit>(parent);
            }};
}

namespace {
bool ShowRule(const TgxTreeListColumn& column, TgxShowButtonStyle style,
              const TgxTreeListNode* node) {
    if (style == sbNone || column.ATreeList() == nullptr || node == nullptr)
        return false;
    if (!column.ATreeList()->IsShowButtonAlways())
        return false;
    return style == sbAlways || node == column.ATreeList()->GetFocusedNode();
}
}  // namespace

bool TgxDBTreeListButtonColumn::ShowsButton(const TgxTreeListNode* node) const {
    return ShowRule(*this, show_button_style_, node);
}

bool TgxDBTreeListButtonColumn::IsEditButtonAt(ui::Point) const {
    return show_button_style_ != sbNone;
}

void TgxDBTreeListButtonColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                 const TgxTreeListNode* node, bool selected,
                                                 bool focused, bool new_item_row, std::string& text,
                                                 ui::Color& color, ui::TFont& font,
                                                 TAlignment& alignment, bool& done) {
    TgxDBGridColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                      color, font, alignment, done);
    if (done || edit_button_style_ == ebsSimple || !ShowsButton(node))
        return;
    const int w = button_only_ ? rect.Width() : ScrollBarWidth();
    QRect button(rect.right - w, rect.top, w, rect.Height());
    DrawButtonCell(canvas, rect, button_only_ ? std::string() : text, color, font, alignment,
                   button, edit_button_style_, glyph_);
    done = true;
}

void TgxDBTreeListButtonColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    button_only_ = false;
    edit_button_style_ = ebsEllipsis;
    click_key_ = kCtrlEnterShortCut;
    glyph_ = QImage();
    hide_edit_cursor_ = false;
    show_button_style_ = sbDefault;
}

void TgxDBTreeListButtonColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* b = dynamic_cast<const TgxDBTreeListButtonColumn*>(&source)) {
        button_only_ = b->button_only_;
        edit_button_style_ = b->edit_button_style_;
        click_key_ = b->click_key_;
        glyph_ = b->glyph_;
        hide_edit_cursor_ = b->hide_edit_cursor_;
        show_button_style_ = b->show_button_style_;
        OnEditButtonClick = b->OnEditButtonClick;
    }
}

void TgxDBTreeListDropDownColumn::SetShowButtonStyle(TgxShowButtonStyle value) {
    if (value != show_button_style_) {
        show_button_style_ = value;
        Changed(false);
    }
}

bool TgxDBTreeListDropDownColumn::ShowsButton(const TgxTreeListNode* node) const {
    return ShowRule(*this, show_button_style_, node);
}

bool TgxDBTreeListDropDownColumn::IsEditButtonAt(ui::Point) const {
    return show_button_style_ != sbNone;
}

void TgxDBTreeListDropDownColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                   const TgxTreeListNode* node, bool selected,
                                                   bool focused, bool new_item_row,
                                                   std::string& text, ui::Color& color,
                                                   ui::TFont& font, TAlignment& alignment,
                                                   bool& done) {
    TgxDBGridColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                      color, font, alignment, done);
    if (done || !ShowsButton(node))
        return;
    const int w = ScrollBarWidth();
    DrawButtonCell(canvas, rect, text, color, font, alignment,
                   QRect(rect.right - w, rect.top, w, rect.Height()), ebsDown, {});
    done = true;
}

void TgxDBTreeListDropDownColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    drop_down_rows_ = 7;
    immediate_drop_down_ = false;
    popup_border_ = pbDefault;
    show_button_style_ = sbDefault;
}

void TgxDBTreeListDropDownColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* d = dynamic_cast<const TgxDBTreeListDropDownColumn*>(&source)) {
        drop_down_rows_ = d->drop_down_rows_;
        immediate_drop_down_ = d->immediate_drop_down_;
        popup_border_ = d->popup_border_;
        show_button_style_ = d->show_button_style_;
        OnEditButtonClick = d->OnEditButtonClick;
    }
}

TgxDBTreeListButtonColumn* TgxInplaceDBTreeListButtonEdit::Column() const {
    return dynamic_cast<TgxDBTreeListButtonColumn*>(EditorColumn(*this));
}

std::uint16_t TgxInplaceDBTreeListButtonEdit::GetClickKey() {
    return ColumnSetting(Column(), &TgxDBTreeListButtonColumn::ClickKey,
                         TgxInplaceButtonEdit::GetClickKey());
}

TgxEditButtonStyle TgxInplaceDBTreeListButtonEdit::GetButtonStyle() {
    return ColumnSetting(Column(), &TgxDBTreeListButtonColumn::EditButtonStyle,
                         TgxInplaceButtonEdit::GetButtonStyle());
}

QImage TgxInplaceDBTreeListButtonEdit::GetGlyph() {
    return ColumnSetting(Column(), &TgxDBTreeListButtonColumn::Glyph, QImage());
}

void TgxInplaceDBTreeListButtonEdit::DoButtonClick() {
    FireEditButtonClick(Column());
}

bool TgxInplaceDBTreeListButtonEdit::GetHideEditCursor() {
    return ColumnSetting(Column(), &TgxDBTreeListButtonColumn::HideEditCursor, false);
}

bool TgxInplaceDBTreeListButtonEdit::GetButtonOnly() {
    return ColumnSetting(Column(), &TgxDBTreeListButtonColumn::ButtonOnly, false);
}

}  // namespace grid
