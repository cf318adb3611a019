#include "grid/editors/blob_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QStyleOptionSizeGrip>
#include <QTextCursor>

#include <cstring>

#include "grid/editors/memo_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/canvas.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/keys.h"

namespace grid {

int BlobIconOfType(db::TFieldType type) {
    switch (type) {
        case db::ftMemo:
        case db::ftFmtMemo:
            return 3;
        case db::ftGraphic:
            return 5;
        case db::ftParadoxOle:
        case db::ftDBaseOle:
            return 7;
        default:
            return 1;
    }
}

namespace {
const char* const kButtonCaptions[3] = {"&OK", "&Cancel", "&Close"};
const char* const kPictureMenuCaptions[6] = {
    "Cu&t", "&Copy", "&Paste", "&Delete", "&Save to file...", "&Load from file..."};

bool ClipboardHoldsPicture() {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data != nullptr && data->hasImage();
}

// The eight blob icons, drawn: blob, memo, picture, OLE, each empty (null) and filled.
void DrawBlobIcon(QPainter& p, const QRect& cell, int index) {
    const QRect r(cell.center().x() - 7, cell.center().y() - 6, 14, 12);
    const bool null = index % 2 == 0;
    p.save();
    p.setPen(QColor(0, 0, 0));
    p.setBrush(null ? QColor(255, 255, 255) : QColor(255, 255, 192));
    p.drawRect(r.adjusted(0, 0, -1, -1));
    if (!null) {
        p.setPen(QColor(0, 0, 128));
        switch (index / 2) {
            case 1:  // memo: lines of text
                for (int y = r.top() + 3; y < r.bottom() - 1; y += 2)
                    p.drawLine(r.left() + 2, y, r.right() - 3, y);
                break;
            case 2:  // picture: a hill under the sun
                p.setBrush(QColor(0, 128, 0));
                p.drawPolygon(QPolygon({QPoint(r.left() + 2, r.bottom() - 2),
                                        QPoint(r.left() + 6, r.top() + 4),
                                        QPoint(r.right() - 3, r.bottom() - 2)}));
                break;
            default:  // blob and OLE: a block of bytes
                p.fillRect(r.adjusted(3, 3, -4, -4), QColor(0, 0, 128));
                break;
        }
    }
    p.restore();
}
}  // namespace

int BlobPopupHitTest(QPoint p, QSize window, int page_bottom, bool sizeable, bool pressing,
                     int grip_size) {
    if (p.x() < 0 || p.y() < 0 || p.x() >= window.width() || p.y() >= window.height())
        return HTNOWHERE;
    if (sizeable && !pressing) {
        if (p.x() >= window.width() - grip_size && p.y() >= window.height() - grip_size)
            return HTBOTTOMRIGHT;
        if (p.y() >= window.height() - kDlgFrameWidth)
            return HTBOTTOM;
        if (p.x() >= window.width() - kDlgFrameWidth)
            return HTRIGHT;
    }
    if (p.y() < page_bottom && p.x() >= kDlgFrameWidth - 1 && p.y() >= kDlgFrameWidth - 1 &&
        p.x() < window.width() - kDlgFrameWidth + 1)
        return HTCLIENT;
    return HTBORDER;
}

int BlobThumbOffset(int t, int picture, int client) {
    if (t < 1)
        return 0;
    const int end = std::max(0, picture - client);
    if (t >= picture)
        return end;
    if (picture <= t + 1 + client)
        return t + 1;
    return (t + 1) / 4 * 4;
}

TCustomgxBlobPopup::TCustomgxBlobPopup(QWidget* parent)
    : TgxEditorPopup(parent),
      memo_(new QPlainTextEdit(this)),
      hbar_(new QScrollBar(Qt::Horizontal, this)),
      vbar_(new QScrollBar(Qt::Vertical, this)) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    memo_->setFrameShape(QFrame::NoFrame);
    memo_->installEventFilter(this);
    for (int i = 0; i < 3; ++i) {
        band_buttons_[i] = new QPushButton(QString::fromLatin1(kButtonCaptions[i]), this);
        band_buttons_[i]->setFocusPolicy(Qt::NoFocus);
    }
    QObject::connect(band_buttons_[0], &QPushButton::clicked, this,
                     [this] { ui::Guarded([this] { Accept(); }); });
    QObject::connect(band_buttons_[1], &QPushButton::clicked, this,
                     [this] { ui::Guarded([this] { Cancel(); }); });
    QObject::connect(band_buttons_[2], &QPushButton::clicked, this,
                     [this] { ui::Guarded([this] { Cancel(); }); });
    QObject::connect(memo_, &QPlainTextEdit::modificationChanged, this,
                     [this](bool) { band_buttons_[0]->setEnabled(Modified()); });
    // Typing stops at the maximum length, as an edit window's limit does.
    QObject::connect(memo_->document(), &QTextDocument::contentsChange, this,
                     [this](int position, int, int added) {
                         if (max_length_ <= 0 || added <= 0)
                             return;
                         const int excess = memo_->document()->characterCount() - 1 - max_length_;
                         if (excess <= 0)
                             return;
                         QTextCursor cursor(memo_->document());
                         cursor.setPosition(position + added - std::min(excess, added));
                         cursor.setPosition(position + added, QTextCursor::KeepAnchor);
                         cursor.removeSelectedText();
                     });
    for (QScrollBar* bar : {hbar_, vbar_}) {
        bar->hide();
        bar->setFocusPolicy(Qt::NoFocus);
        const Qt::Orientation o = bar->orientation();
        QObject::connect(bar, &QScrollBar::actionTriggered, this, [this, bar, o](int action) {
            const QRect page = PageRect();
            const int client = o == Qt::Horizontal ? page.width() : page.height();
            const int size = o == Qt::Horizontal ? picture_.width() : picture_.height();
            const int line = QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
            int offset = ScrollOffset(o);
            switch (action) {
                case QAbstractSlider::SliderSingleStepAdd:
                    offset += line;
                    break;
                case QAbstractSlider::SliderSingleStepSub:
                    offset -= line;
                    break;
                case QAbstractSlider::SliderPageStepAdd:
                    offset += client;
                    break;
                case QAbstractSlider::SliderPageStepSub:
                    offset -= client;
                    break;
                case QAbstractSlider::SliderToMinimum:
                    offset = 0;
                    break;
                case QAbstractSlider::SliderToMaximum:
                    offset = size;
                    break;
                case QAbstractSlider::SliderMove:
                    offset = BlobThumbOffset(bar->sliderPosition(), size, client);
                    break;
                default:
                    return;
            }
            SetScrollOffset(o, offset);
            bar->setSliderPosition(ScrollOffset(o));
        });
    }
    resize(185, 89);
    SetButtons(kBlobOK | kBlobCancel);
}

TCustomgxBlobPopup::~TCustomgxBlobPopup() = default;

int TCustomgxBlobPopup::GripSize() const {
    return QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

int TCustomgxBlobPopup::BandHeight() const {
    const QFontMetrics fm(font());
    const int edge = 4, spacing = fm.height() / 3;
    // The button holds its caption even where the font's point size is small for its height.
    const int button = std::max(fm.height() + 6, font().pointSize() * 5 / 2);
    return edge + 2 * spacing + button;
}

QSize TCustomgxBlobPopup::MinimumTrackSize() const {
    const QFontMetrics fm(font());
    const int gap = fm.horizontalAdvance('0');
    const int margin = sizeable_ ? GripSize() : gap;
    int n = 0, button_width = 0;
    for (int i = 0; i < 3; ++i)
        if ((buttons_ & (1u << i)) != 0) {
            ++n;
            button_width = std::max(
                button_width, fm.horizontalAdvance(QString(kButtonCaptions[i]).remove('&') + "00"));
        }
    const int width = 2 * margin + n * (button_width + gap) - gap + 2 * kDlgFrameWidth + 2 + 2;
    return {width, 3 * GripSize() + BandHeight()};
}

QRect TCustomgxBlobPopup::PageRect() const {
    QRect page(2, 2, width() - 4, height() - BandHeight() - 3);
    if (vbar_->isVisibleTo(this))
        page.setRight(page.right() - vbar_->width());
    if (hbar_->isVisibleTo(this))
        page.setBottom(page.bottom() - hbar_->height());
    return page;
}

int TCustomgxBlobPopup::HitTest(QPoint p) const {
    return BlobPopupHitTest(p, size(), height() - BandHeight() - 1, sizeable_, sizing_ != HTNOWHERE,
                            GripSize());
}

void TCustomgxBlobPopup::SetPage(int page) {
    page_ = page;
    memo_->setVisible(page == 0);
    offset_x_ = offset_y_ = 0;
    UpdateScrollBars();
    update();
}

void TCustomgxBlobPopup::SetReadOnly(bool value) {
    read_only_ = value;
    memo_->setReadOnly(value);
}

void TCustomgxBlobPopup::SetButtons(unsigned buttons) {
    buttons_ = buttons;
    for (int i = 0; i < 3; ++i)
        band_buttons_[i]->setVisible((buttons & (1u << i)) != 0);
    band_buttons_[0]->setEnabled(Modified());
    LayoutBand();
}

void TCustomgxBlobPopup::SetMemoText(const std::string& text) {
    QString t = QString::fromStdString(text);
    crlf_ = t.contains("\r\n");
    t.replace("\r\n", "\n");
    const int limit = max_length_;
    max_length_ = 0;  // a stored text longer than the limit is shown whole
    memo_->setPlainText(t);
    max_length_ = limit;
    memo_->document()->setModified(false);
    band_buttons_[0]->setEnabled(false);
}

std::string TCustomgxBlobPopup::MemoText() const {
    return MemoTextOf(*memo_, crlf_);
}

void TCustomgxBlobPopup::SetPicture(const QImage& picture) {
    picture_ = picture;
    picture_modified_ = false;
    offset_x_ = offset_y_ = 0;
    UpdateScrollBars();
    update();
}

void TCustomgxBlobPopup::SetPictureAutoSize(bool value) {
    picture_auto_size_ = value;
    UpdateScrollBars();
    update();
}

void TCustomgxBlobPopup::SetWordWrap(bool value) {
    memo_->setLineWrapMode(value ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void TCustomgxBlobPopup::SetWantTabs(bool value) {
    want_tabs_ = value;
    memo_->setTabChangesFocus(!value);
}

void TCustomgxBlobPopup::SetScrollBars(TScrollStyle value) {
    const bool h = value == TScrollStyle::ssHorizontal || value == TScrollStyle::ssBoth;
    const bool v = value == TScrollStyle::ssVertical || value == TScrollStyle::ssBoth;
    memo_->setHorizontalScrollBarPolicy(h ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    memo_->setVerticalScrollBarPolicy(v ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
}

void TCustomgxBlobPopup::SetSizeable(bool value) {
    sizeable_ = value;
    LayoutBand();
    update();
}

bool TCustomgxBlobPopup::Modified() const {
    return page_ == 0 ? memo_->document()->isModified() : picture_modified_;
}

void TCustomgxBlobPopup::SetModified(bool value) {
    if (page_ == 0)
        memo_->document()->setModified(value);
    else
        picture_modified_ = value;
    band_buttons_[0]->setEnabled(value);
}

int TCustomgxBlobPopup::ScrollOffset(Qt::Orientation o) const {
    return o == Qt::Horizontal ? offset_x_ : offset_y_;
}

QScrollBar* TCustomgxBlobPopup::ScrollBar(Qt::Orientation o) const {
    return o == Qt::Horizontal ? hbar_ : vbar_;
}

void TCustomgxBlobPopup::SetScrollOffset(Qt::Orientation o, int value) {
    const QRect page = PageRect();
    const int client = o == Qt::Horizontal ? page.width() : page.height();
    const int size = o == Qt::Horizontal ? picture_.width() : picture_.height();
    value = std::clamp(value, 0, std::max(0, size - client));
    int& offset = o == Qt::Horizontal ? offset_x_ : offset_y_;
    if (value == offset)
        return;
    offset = value;
    UpdateScrollBars();
    // The page is repainted from the picture; Qt's backing store makes a scroll as cheap.
    update(page);
}

void TCustomgxBlobPopup::UpdateScrollBars() {
    const bool scrolling = page_ == 1 && !picture_auto_size_ && !picture_.isNull();
    const int extent = GripSize();
    const QRect full(2, 2, width() - 4, height() - BandHeight() - 3);
    // A bar is needed in one direction when the picture does not fit, taking the other
    // bar's room into account.
    bool need_h = scrolling && picture_.width() > full.width();
    bool need_v = scrolling && picture_.height() > full.height();
    need_h = need_h || (scrolling && need_v && picture_.width() > full.width() - extent);
    need_v = need_v || (scrolling && need_h && picture_.height() > full.height() - extent);
    hbar_->setVisible(need_h);
    vbar_->setVisible(need_v);
    const QRect page = PageRect();
    if (need_h)
        hbar_->setGeometry(page.left(), page.bottom() + 1, page.width(), extent);
    if (need_v)
        vbar_->setGeometry(page.right() + 1, page.top(), extent, page.height());
    for (QScrollBar* bar : {hbar_, vbar_}) {
        const bool horizontal = bar == hbar_;
        const int client = horizontal ? page.width() : page.height();
        const int size = horizontal ? picture_.width() : picture_.height();
        int& offset = horizontal ? offset_x_ : offset_y_;
        offset = std::clamp(offset, 0, std::max(0, size - client));
        const QSignalBlocker block(bar);
        // Qt's range ends where the last page starts.
        bar->setRange(0, std::max(0, size - client));
        bar->setPageStep(std::max(1, client));
        bar->setSingleStep(extent);
        bar->setValue(offset);
    }
}

void TCustomgxBlobPopup::LayoutBand() {
    const int band = BandHeight();
    const QFontMetrics fm(font());
    const int edge = 4, spacing = fm.height() / 3, gap = fm.horizontalAdvance('0');
    const int margin = sizeable_ ? GripSize() : gap;
    int button_width = 0;
    for (int i = 0; i < 3; ++i)
        if (band_buttons_[i]->isVisibleTo(this))
            button_width = std::max(
                button_width, fm.horizontalAdvance(QString(kButtonCaptions[i]).remove('&') + "00"));
    const int button_height = band - edge - 2 * spacing;
    const int top = height() - 1 - band + edge + spacing;
    int right = width() - 1 - margin;
    for (int i = 2; i >= 0; --i) {
        if (!band_buttons_[i]->isVisibleTo(this))
            continue;
        band_buttons_[i]->setGeometry(right - button_width, top, button_width, button_height);
        right -= button_width + gap;
    }
    memo_->setGeometry(2, 2, width() - 4, height() - band - 3);
    setMinimumSize(MinimumTrackSize());
    UpdateScrollBars();
}

void TCustomgxBlobPopup::resizeEvent(QResizeEvent* e) {
    TgxEditorPopup::resizeEvent(e);
    LayoutBand();
}

void TCustomgxBlobPopup::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = QApplication::palette();
    p.fillRect(rect(), pal.color(QPalette::Button));
    const QRect page = PageRect();
    const QRect page_area(2, 2, width() - 4, height() - BandHeight() - 3);
    p.fillRect(page_area, pal.color(QPalette::Base));
    if (page_ == 1 && !picture_.isNull()) {
        p.save();
        p.setClipRect(page);
        if (picture_auto_size_) {
            // Scaled to fit with its aspect ratio, anchored at the top-left corner.
            const QSize s = picture_.size().scaled(page.size(), Qt::KeepAspectRatio);
            p.drawImage(QRect(page.topLeft(), s), picture_);
        } else {
            p.drawImage(page.topLeft() - QPoint(offset_x_, offset_y_), picture_);
        }
        p.restore();
    } else if (page_ == 1 && !PictureNote.empty()) {
        p.setPen(pal.color(QPalette::Text));
        p.drawText(page.adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap,
                   QString::fromStdString(PictureNote));
    }
    // The sunken line between the page and the band, and the window frame.
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(1, page_area.bottom() + 1, width() - 2, page_area.bottom() + 1);
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(1, page_area.bottom() + 2, width() - 2, page_area.bottom() + 2);
    if (sizeable_) {
        QStyleOptionSizeGrip grip;
        grip.initFrom(this);
        grip.corner = Qt::BottomRightCorner;
        grip.rect =
            QRect(width() - GripSize() - 1, height() - GripSize() - 1, GripSize(), GripSize());
        QApplication::style()->drawControl(QStyle::CE_SizeGrip, &grip, &p, this);
    }
    p.setPen(pal.color(QPalette::Shadow));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TCustomgxBlobPopup::mousePressEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    const int hit = e->button() == Qt::LeftButton ? HitTest(p) : HTNOWHERE;
    if (hit == HTBOTTOMRIGHT || hit == HTBOTTOM || hit == HTRIGHT) {
        sizing_ = hit;
        sizing_from_ = e->globalPosition().toPoint();
        sizing_size_ = size();
        return;
    }
    TgxEditorPopup::mousePressEvent(e);
}

void TCustomgxBlobPopup::mouseMoveEvent(QMouseEvent* e) {
    if (sizing_ == HTNOWHERE) {
        switch (HitTest(e->position().toPoint())) {
            case HTBOTTOMRIGHT:
                setCursor(Qt::SizeFDiagCursor);
                break;
            case HTBOTTOM:
                setCursor(Qt::SizeVerCursor);
                break;
            case HTRIGHT:
                setCursor(Qt::SizeHorCursor);
                break;
            default:
                unsetCursor();
                break;
        }
        return;
    }
    const QPoint delta = e->globalPosition().toPoint() - sizing_from_;
    QSize s = sizing_size_;
    if (sizing_ != HTBOTTOM)
        s.setWidth(s.width() + delta.x());
    if (sizing_ != HTRIGHT)
        s.setHeight(s.height() + delta.y());
    resize(s.expandedTo(MinimumTrackSize()));
}

void TCustomgxBlobPopup::mouseReleaseEvent(QMouseEvent* e) {
    if (sizing_ != HTNOWHERE && e->button() == Qt::LeftButton) {
        sizing_ = HTNOWHERE;
        return;
    }
    TgxEditorPopup::mouseReleaseEvent(e);
}

void TCustomgxBlobPopup::contextMenuEvent(QContextMenuEvent* e) {
    if (page_ == 1 && PictureMenu != nullptr) {
        const QPoint at = e->globalPos();
        ui::Guarded([&] { PictureMenu->Popup(at.x(), at.y()); });
        e->accept();
        return;
    }
    TgxEditorPopup::contextMenuEvent(e);
}

void TCustomgxBlobPopup::PictureChanged() {
    picture_modified_ = true;
    if (!picture_.isNull())
        PictureNote.clear();
    band_buttons_[0]->setEnabled(true);
    offset_x_ = offset_y_ = 0;
    UpdateScrollBars();
    update();
}

void TCustomgxBlobPopup::PictureCommand(TgxBlobPictureCommand command) {
    switch (command) {
        case bpcCut:
            PictureCommand(bpcCopy);
            if (!read_only_ && !picture_.isNull()) {
                picture_ = QImage();
                PictureChanged();
            }
            break;
        case bpcCopy:
            if (!picture_.isNull())
                QGuiApplication::clipboard()->setImage(picture_);
            break;
        case bpcPaste:
            if (!read_only_ && ClipboardHoldsPicture()) {
                picture_ = QGuiApplication::clipboard()->image();
                PictureChanged();
            }
            break;
        case bpcDelete:
            if (!read_only_ && !picture_.isNull()) {
                picture_ = QImage();
                PictureChanged();
            }
            break;
        case bpcSaveToFile: {
            if (picture_.isNull())
                break;
            ui::TSaveDialog dialog;
            dialog.SetFilter(GraphicClass.GraphicFilter());
            dialog.SetDefaultExt(GraphicClass.GraphicExtension());
            const bool chosen = dialog.Execute();
            if (isHidden() && Popped)
                ShowPopup();
            if (chosen)
                SavePictureToFile(picture_, dialog.FileName(), GraphicClass);
            break;
        }
        case bpcLoadFromFile: {
            if (read_only_)
                break;
            ui::TOpenDialog dialog;
            dialog.SetFilter(AllPicturesFilter());
            const bool chosen = dialog.Execute();
            if (isHidden() && Popped)
                ShowPopup();
            if (chosen) {
                picture_ = LoadPictureFromFile(dialog.FileName());
                PictureChanged();
            }
            break;
        }
    }
}

void TCustomgxBlobPopup::Save() {
    if (Saved || !Modified() || !OnSave)
        return;
    Saved = true;
    OnSave(this);
}

void TCustomgxBlobPopup::Accept() {
    ClosePopup();
    Save();
}

void TCustomgxBlobPopup::Cancel() {
    Saved = true;
    ClosePopup();
}

void TCustomgxBlobPopup::ClosePopup() {
    const bool was_visible = isVisible();
    sizing_ = HTNOWHERE;
    TgxEditorPopup::ClosePopup();
    if (!was_visible)
        return;
    if (OnCloseSize)
        OnCloseSize(width(), height());
    if (AlwaysSave)
        Save();
}

void TCustomgxBlobPopup::PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0, ctrl = (shift & ui::ssCtrl) != 0,
               shifted = (shift & ui::ssShift) != 0;
    if (key == ui::VK_TAB && !want_tabs_) {
        ClosePopup();
        if (OnTabOut)
            OnTabOut(shifted);
        key = 0;
    } else if (key == ui::VK_ESCAPE || (alt && key == 'C')) {
        Cancel();
        key = 0;
    } else if ((key == ui::VK_RETURN && ctrl) || (alt && key == 'O' && (buttons_ & kBlobOK))) {
        Accept();
        key = 0;
    } else if (((key == ui::VK_UP || key == ui::VK_DOWN) && alt) || (key == 115 && !alt)) {
        ClosePopup();
        key = 0;
    } else if (page_ == 1) {
        // The clipboard keys of the picture page.
        if ((ctrl && key == ui::VK_INSERT) || (ctrl && key == 'C'))
            PictureCommand(bpcCopy);
        else if ((shifted && key == ui::VK_INSERT) || (ctrl && key == 'V'))
            PictureCommand(bpcPaste);
        else if ((shifted && key == ui::VK_DELETE) || (ctrl && key == 'X'))
            PictureCommand(bpcCut);
        else
            return;
        key = 0;
    }
}

void TCustomgxBlobPopup::keyPressEvent(QKeyEvent* e) {
    std::uint16_t key = ui::VirtualKey(*e);
    ui::Guarded([&] { PopupKeyDown(key, ui::ShiftState(*e)); });
    if (key != 0)
        TgxEditorPopup::keyPressEvent(e);
}

bool TCustomgxBlobPopup::eventFilter(QObject* watched, QEvent* e) {
    if (watched == memo_ && e->type() == QEvent::KeyPress) {
        auto* ke = static_cast<QKeyEvent*>(e);
        std::uint16_t key = ui::VirtualKey(*ke);
        ui::Guarded([&] { PopupKeyDown(key, ui::ShiftState(*ke)); });
        if (key == 0)
            return true;
    }
    return TgxEditorPopup::eventFilter(watched, e);
}

TgxDBTreeListBlobColumn::TgxDBTreeListBlobColumn(db::TComponent* owner)
    : TgxDBTreeListDropDownColumn(owner) {
    SetMinWidth(20);
}

void TgxDBTreeListBlobColumn::SetBlobPaintStyle(TgxBlobPaintStyle value) {
    if (value != paint_style_) {
        paint_style_ = value;
        Changed(true);
    }
}

int TgxDBTreeListBlobColumn::PopupPage() const {
    if (Field() == nullptr)
        return -1;
    switch (blob_kind_) {
        case bkMemo:
            return 0;
        case bkPict:
            return 1;
        case bkBlob:
        case bkOle:
            return -1;
        default: {
            const int icon = BlobIconOfType(Field()->DataType());
            return icon == 3 ? 0 : (icon == 5 ? 1 : -1);
        }
    }
}

int TgxDBTreeListBlobColumn::CellIcon(const std::string& text) const {
    int icon = blob_kind_ == bkAuto
                   ? BlobIconOfType(Field() != nullptr ? Field()->DataType() : db::ftBlob)
                   : (static_cast<int>(blob_kind_) - 1) * 2 + 1;
    if (text.empty())
        return icon - 1;
    return icon;
}

std::string TgxDBTreeListBlobColumn::GetFieldDisplayText() const {
    db::TField* f = Field();
    if (f == nullptr)
        return {};
    if (paint_style_ == bpsText)
        return FirstCharacters(f->AsString(), max_display_length_);
    if (paint_style_ == bpsIcon)
        return f->IsNull() ? std::string() : std::string("*");
    return f->DisplayText();
}

TgxInplaceEditClass TgxDBTreeListBlobColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListBlobEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListBlobEdit>(parent); }};
}

void TgxDBTreeListBlobColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                               const TgxTreeListNode* node, bool selected,
                                               bool focused, bool new_item_row, std::string& text,
                                               ui::Color& color, ui::TFont& font,
                                               TAlignment& alignment, bool& done) {
    TgxDBTreeListDropDownColumn::DoCustomDrawCell(canvas, rect, node, selected, focused,
                                                  new_item_row, text, color, font, alignment, done);
    if (done || paint_style_ != bpsIcon)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    DrawBlobIcon(canvas.Painter(), QRect(rect.left, rect.top, rect.Width(), rect.Height()),
                 CellIcon(text));
    done = true;
}

void TgxDBTreeListBlobColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    SetMinWidth(20);
    blob_kind_ = bkAuto;
    paint_style_ = bpsIcon;
    always_save_text_ = false;
    memo_max_length_ = 0;
    memo_word_wrap_ = true;
    memo_scroll_bars_ = TScrollStyle::ssBoth;
    memo_want_tabs_ = true;
    immediate_popup_ = false;
    show_ex_popup_items_ = false;
    show_picture_popup_ = false;
    picture_auto_size_ = true;
    popup_width_ = 200;
    popup_height_ = 140;
    sizeable_popup_ = true;
    max_display_length_ = 255;
}

void TgxDBTreeListBlobColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListBlobColumn*>(&source)) {
        blob_kind_ = c->blob_kind_;
        paint_style_ = c->paint_style_;
        always_save_text_ = c->always_save_text_;
        memo_max_length_ = c->memo_max_length_;
        memo_word_wrap_ = c->memo_word_wrap_;
        memo_scroll_bars_ = c->memo_scroll_bars_;
        memo_want_tabs_ = c->memo_want_tabs_;
        immediate_popup_ = c->immediate_popup_;
        show_ex_popup_items_ = c->show_ex_popup_items_;
        show_picture_popup_ = c->show_picture_popup_;
        picture_auto_size_ = c->picture_auto_size_;
        popup_width_ = c->popup_width_;
        popup_height_ = c->popup_height_;
        sizeable_popup_ = c->sizeable_popup_;
        max_display_length_ = c->max_display_length_;
    }
}

TgxInplaceBlobEdit::TgxInplaceBlobEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {
    // The popup's keys are routed by the editor's own rules.
    route_keys_to_popup_ = false;
    WholeAreaClick = true;
    // No text is edited: the editor takes its keys itself.
    setFocusPolicy(Qt::StrongFocus);
    RouteInputOf(this);
}

TgxInplaceBlobEdit::~TgxInplaceBlobEdit() = default;

void TgxInplaceBlobEdit::InitEditValue() {
    TgxInplaceDropDownEdit::InitEditValue();
    LineEdit().hide();
}

void TgxInplaceBlobEdit::paintEvent(QPaintEvent* e) {
    {
        QPainter p(this);
        p.fillRect(rect(), GetColor().ToQColor());
        db::TField* f = GetBlobField();
        const int icon = f != nullptr ? BlobIconOfType(f->DataType()) - (f->IsNull() ? 1 : 0) : 1;
        ui::Rect b;
        GetButtonRect(b);
        DrawBlobIcon(p, QRect(0, 0, b.left, height()), icon);
    }
    TgxInplaceDropDownEdit::paintEvent(e);
}

void TgxInplaceBlobEdit::SavePopupValue(TCustomgxBlobPopup* popup) {
    db::TField* f = GetBlobField();
    if (popup != popup_.get() || f == nullptr || !CanModify())
        return;
    if (popup->Page() == 0) {
        f->SetAsString(popup->MemoText());
    } else if (popup->Picture().isNull()) {
        f->Clear();
    } else {
        QImage picture = popup->Picture();
        DoAssignPicture(picture);
        f->SetAsString(SavePictureToBlob(picture, popup->GraphicClass));
    }
}

void TgxInplaceBlobEdit::RefreshPictureMenu() {
    if (picture_menu_ == nullptr || popup_ == nullptr)
        return;
    const bool read_only = popup_->ReadOnly(), empty = popup_->PictureEmpty();
    const bool enabled[6] = {!read_only && !empty, !empty, !read_only && ClipboardHoldsPicture(),
                             !read_only && !empty, !empty, !read_only};
    const bool extra = GetShowExPopupItems();
    for (int i = 0; i < 6; ++i) {
        ui::TMenuItem& item = picture_menu_->Items().Items(i);
        item.SetEnabled(enabled[i]);
        if (i >= bpcSaveToFile)
            item.SetVisible(extra);
    }
}

void TgxInplaceBlobEdit::DropDown() {
    if (PopupShown())
        return;
    DoBeforeDropDown();
    const int page = GetPopupPage();
    if (page < 0)
        return;
    if (popup_ == nullptr)
        popup_ = std::make_unique<TCustomgxBlobPopup>(window());
    TCustomgxBlobPopup& popup = *popup_;
    AttachPopup(popup);
    popup.PictureMenu = nullptr;
    popup.AlwaysSave = GetAlwaysSaveText();
    popup.SetPictureAutoSize(GetPictureAutoSize());
    popup.setFont(Font().ToQFont());
    popup.Saved = false;
    popup.SetPage(page);
    popup.SetSizeable(GetSizeablePopup());
    popup.SetScrollBars(GetMemoScrollBars());
    popup.SetWantTabs(GetMemoWantTabs());
    popup.SetWordWrap(GetMemoWordWrap());
    db::TField* f = GetBlobField();
    if (page == 0) {
        popup.SetMaxLength(GetMemoMaxLength());
        popup.SetMemoText(f != nullptr ? f->AsString() : std::string());
    } else {
        popup.GraphicClass = GetGraphicClass();
        const std::string bytes = f != nullptr && !f->IsNull() ? f->AsString() : std::string();
        popup.SetPicture(LoadPictureFromBlob(bytes, popup.GraphicClass));
        popup.PictureNote = !bytes.empty() && popup.Picture().isNull() ? kFieldHoldsNoPicture : "";
        if (picture_menu_ == nullptr) {
            picture_menu_ = std::make_unique<ui::TPopupMenu>();
            for (int i = 0; i < 6; ++i)
                picture_menu_->Items().Add(kPictureMenuCaptions[i], {}, [this, i] {
                    if (popup_ != nullptr)
                        popup_->PictureCommand(static_cast<TgxBlobPictureCommand>(i));
                });
            picture_menu_->OnPopup = [this] { RefreshPictureMenu(); };
        }
        RefreshPictureMenu();
        if (GetShowPicturePopup())
            popup.PictureMenu = picture_menu_.get();
    }
    const bool read_only = GetReadOnly();
    popup.SetReadOnly(read_only);
    popup.SetButtons(read_only ? kBlobClose : kBlobOK | kBlobCancel);
    popup.OnSave = [this](TCustomgxBlobPopup* p) { SavePopupValue(p); };
    popup.OnCloseSize = [this](int w, int h) { SetPopupSize(w, h); };
    popup.OnTabOut = [this](bool to_left) { MoveFocusedColumn(to_left); };
    // Below the cell, kept inside the screen's available area.
    const QRect area = WorkAreaOf(*this);
    const QPoint below = mapToGlobal(QPoint(0, height()));
    const int room = std::max(area.bottom() + 1 - below.y(), below.y() - height() - area.top());
    QSize size(GetPopupWidth(), GetPopupHeight());
    if (page == 1 && GetPictureAutoSize() && !popup.Picture().isNull()) {
        QSize pict = popup.Picture().size() + QSize(4, popup.BandHeight() + 5);
        if (pict.width() > area.width() || pict.height() > room)
            pict.scale(QSize(area.width(), room), Qt::KeepAspectRatio);
        size = pict;
    }
    size = size.expandedTo(popup.MinimumTrackSize());
    size = size.boundedTo(QSize(area.width(), room));
    popup.resize(size);
    ShowPopupBelow(popup);
    if (page == 0) {
        popup.activateWindow();
        popup.Memo().setFocus();
    }
}

void TgxInplaceBlobEdit::CloseUp(bool accept) {
    if (!PopupShown() || popup_ == nullptr)
        return;
    if (accept)
        popup_->Accept();
    else
        popup_->ClosePopup();
    SetPopupShown(false);
}

void TgxInplaceBlobEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0;
    if (((key == ui::VK_UP || key == ui::VK_DOWN) && alt) || (key == 115 && !alt)) {
        if (!PopupShown())
            DropDown();
        key = 0;
        return;
    }
    if (key == ui::VK_LEFT || key == ui::VK_RIGHT) {
        MoveFocusedColumn(key == ui::VK_LEFT);
        key = 0;
        return;
    }
    if (key == ui::VK_DELETE) {
        key = 0;
        return;
    }
    if (PopupShown() && popup_ != nullptr) {
        popup_->PopupKeyDown(key, shift);
        if (key == 0)
            return;
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

void TgxInplaceBlobEdit::EditorKeyPress(char32_t& key) {
    // The character that opened an immediate popup starts its empty text.
    if (PopupShown() && popup_ != nullptr && popup_->Page() == 0 && key >= 32 && key != 127 &&
        popup_->Memo().document()->isEmpty() && !popup_->ReadOnly()) {
        popup_->Memo().insertPlainText(QString::fromStdU32String(std::u32string(1, key)));
        key = 0;
        return;
    }
    TgxInplaceDropDownEdit::EditorKeyPress(key);
}

TgxDBTreeListBlobColumn* TgxInplaceDBTreeListBlobEdit::Column() const {
    return dynamic_cast<TgxDBTreeListBlobColumn*>(EditorColumn(*this));
}

int TgxInplaceDBTreeListBlobEdit::GetPopupPage() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::PopupPage, -1);
}

db::TField* TgxInplaceDBTreeListBlobEdit::GetBlobField() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::Field, nullptr);
}

int TgxInplaceDBTreeListBlobEdit::GetPopupWidth() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::PopupWidth, 200);
}

int TgxInplaceDBTreeListBlobEdit::GetPopupHeight() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::PopupHeight, 140);
}

bool TgxInplaceDBTreeListBlobEdit::GetSizeablePopup() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::SizeablePopup, true);
}

bool TgxInplaceDBTreeListBlobEdit::GetAlwaysSaveText() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::AlwaysSaveText, false);
}

bool TgxInplaceDBTreeListBlobEdit::GetMemoWordWrap() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::MemoWordWrap, true);
}

TScrollStyle TgxInplaceDBTreeListBlobEdit::GetMemoScrollBars() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::MemoScrollBars, TScrollStyle::ssBoth);
}

bool TgxInplaceDBTreeListBlobEdit::GetMemoWantTabs() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::MemoWantTabs, true);
}

int TgxInplaceDBTreeListBlobEdit::GetMemoMaxLength() {
    // The smaller positive limit of the editor's and the column's.
    const int own = TgxInplaceBlobEdit::GetMemoMaxLength();
    auto* c = Column();
    const int column = c != nullptr ? c->MemoMaxLength() : 0;
    if (own > 0 && column > 0)
        return std::min(own, column);
    return std::max(0, own > 0 ? own : column);
}

bool TgxInplaceDBTreeListBlobEdit::GetPictureAutoSize() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::PictureAutoSize, true);
}

TGraphicClass TgxInplaceDBTreeListBlobEdit::GetGraphicClass() {
    TGraphicClass graphic_class;
    auto* c = Column();
    if (c != nullptr && c->OnGetGraphicClass && Container != nullptr)
        c->OnGetGraphicClass(c, FocusedNodeOf(*this), graphic_class);
    return graphic_class;
}

void TgxInplaceDBTreeListBlobEdit::DoAssignPicture(QImage& picture) {
    auto* c = Column();
    if (c != nullptr && c->OnAssignPicture)
        c->OnAssignPicture(c, picture);
}

bool TgxInplaceDBTreeListBlobEdit::GetShowExPopupItems() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::ShowExPopupItems, false);
}

bool TgxInplaceDBTreeListBlobEdit::GetShowPicturePopup() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::ShowPicturePopup, false);
}

bool TgxInplaceDBTreeListBlobEdit::GetImmediateDropDown() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::ImmediatePopup, false);
}

TgxPopupBorder TgxInplaceDBTreeListBlobEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListBlobColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListBlobEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

void TgxInplaceDBTreeListBlobEdit::SetPopupSize(int width, int height) {
    if (auto* c = Column()) {
        c->SetPopupWidth(width);
        c->SetPopupHeight(height);
    }
}

bool TgxInplaceDBTreeListBlobEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceBlobEdit::GetReadOnly(), Column());
}

}  // namespace grid
