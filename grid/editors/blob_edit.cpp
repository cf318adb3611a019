#include "grid/editors/blob_edit.h"

#include <QApplication>
#include <QBuffer>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

#include <cstring>

#include "platform/ui/application.h"
#include "platform/ui/canvas.h"
#include "platform/ui/keys.h"

namespace grid {

QImage LoadPictureFromBlob(const std::string& bytes) {
    std::size_t offset = 0;
    if (bytes.size() >= 8) {
        auto u16 = [&](std::size_t at) {
            return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
                   static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        };
        const unsigned count = u16(0), type = u16(2);
        const std::uint32_t size = u16(4) | (static_cast<std::uint32_t>(u16(6)) << 16);
        if (count == 1 && type == 0x0100 && size == bytes.size() - 8)
            offset = 8;
    }
    if (offset >= bytes.size())
        return {};
    QImage image;
    image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()) + offset,
                       static_cast<int>(bytes.size() - offset));
    return image;
}

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

TCustomgxBlobPopup::TCustomgxBlobPopup(QWidget* parent)
    : TgxEditorPopup(parent), memo_(new QPlainTextEdit(this)), grip_(new QSizeGrip(this)) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setFocusPolicy(Qt::StrongFocus);
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
    resize(185, 89);
    SetButtons(kBlobOK | kBlobCancel);
}

TCustomgxBlobPopup::~TCustomgxBlobPopup() = default;

int TCustomgxBlobPopup::BandHeight() const {
    const QFontMetrics fm(font());
    const int edge = 4, spacing = fm.height() / 3;
    const int button = std::max(fm.height() + 6, font().pointSize() * 5 / 2);
    return edge + 2 * spacing + button;
}

void TCustomgxBlobPopup::SetPage(int page) {
    page_ = page;
    memo_->setVisible(page == 0);
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
    t.replace("\r\n", "\n");
    memo_->setPlainText(t);
    memo_->document()->setModified(false);
    band_buttons_[0]->setEnabled(false);
}

std::string TCustomgxBlobPopup::MemoText() const {
    return memo_->toPlainText().toStdString();
}

void TCustomgxBlobPopup::SetPicture(const QImage& picture) {
    picture_ = picture;
    picture_modified_ = false;
    update();
}

void TCustomgxBlobPopup::SetWordWrap(bool value) {
    memo_->setLineWrapMode(value ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void TCustomgxBlobPopup::SetSizeable(bool value) {
    sizeable_ = value;
    grip_->setVisible(value);
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

void TCustomgxBlobPopup::LayoutBand() {
    const int band = BandHeight();
    const QFontMetrics fm(font());
    const int edge = 4, spacing = fm.height() / 3, gap = fm.horizontalAdvance('0');
    const int margin =
        sizeable_ ? QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent) : gap;
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
    const int g = QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    grip_->setGeometry(width() - g - 1, height() - g - 1, g, g);
}

void TCustomgxBlobPopup::resizeEvent(QResizeEvent* e) {
    TgxEditorPopup::resizeEvent(e);
    LayoutBand();
}

void TCustomgxBlobPopup::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = QApplication::palette();
    p.fillRect(rect(), pal.color(QPalette::Button));
    const QRect page(2, 2, width() - 4, height() - BandHeight() - 3);
    p.fillRect(page, pal.color(QPalette::Base));
    if (page_ == 1 && !picture_.isNull()) {
        // Scaled to fit with its aspect ratio, anchored at the top-left corner.
        QSize s = picture_.size().scaled(page.size(), Qt::KeepAspectRatio);
        p.drawImage(QRect(page.topLeft(), s), picture_);
    }
    // The sunken line between the page and the band, and the window frame.
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(1, page.bottom() + 1, width() - 2, page.bottom() + 1);
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(1, page.bottom() + 2, width() - 2, page.bottom() + 2);
    p.setPen(pal.color(QPalette::Shadow));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
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
    TgxEditorPopup::ClosePopup();
    if (!was_visible)
        return;
    if (OnCloseSize)
        OnCloseSize(width(), height());
    if (AlwaysSave)
        Save();
}

void TCustomgxBlobPopup::PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0, ctrl = (shift & ui::ssCtrl) != 0;
    if (key == ui::VK_ESCAPE || (alt && (key == 'C'))) {
        Cancel();
        key = 0;
    } else if ((key == ui::VK_RETURN && ctrl) || (alt && key == 'O' && (buttons_ & kBlobOK))) {
        Accept();
        key = 0;
    } else if (((key == ui::VK_UP || key == ui::VK_DOWN) && alt) || (key == 115 && !alt)) {
        ClosePopup();
        key = 0;
    }
}

void TCustomgxBlobPopup::keyPressEvent(QKeyEvent* e) {
    std::uint16_t key = ui::VirtualKey(*e);
    ui::Guarded([&] { PopupKeyDown(key, ui::ShiftState(*e)); });
    if (key != 0)
        TgxEditorPopup::keyPressEvent(e);
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
        picture_auto_size_ = c->picture_auto_size_;
        popup_width_ = c->popup_width_;
        popup_height_ = c->popup_height_;
        sizeable_popup_ = c->sizeable_popup_;
        max_display_length_ = c->max_display_length_;
    }
}

TgxInplaceBlobEdit::TgxInplaceBlobEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {
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
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        popup->Picture().save(&buffer, "BMP");
        f->SetAsString(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
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
    popup.OwnerEdit = this;
    popup.Popped = true;
    SetPopup(popup_.get());
    popup.AlwaysSave = GetAlwaysSaveText();
    popup.setFont(Font().ToQFont());
    popup.Saved = false;
    popup.SetPage(page);
    popup.SetSizeable(GetSizeablePopup());
    popup.SetWordWrap(GetMemoWordWrap());
    db::TField* f = GetBlobField();
    if (page == 0)
        popup.SetMemoText(f != nullptr ? f->AsString() : std::string());
    else
        popup.SetPicture(f != nullptr && !f->IsNull() ? LoadPictureFromBlob(f->AsString())
                                                      : QImage());
    const bool read_only = GetReadOnly();
    popup.SetReadOnly(read_only);
    popup.SetButtons(read_only ? kBlobClose : kBlobOK | kBlobCancel);
    popup.OnSave = [this](TCustomgxBlobPopup* p) { SavePopupValue(p); };
    popup.OnCloseSize = [this](int w, int h) { SetPopupSize(w, h); };
    // Below the cell, kept inside the screen's available area.
    QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
    const QPoint below = mapToGlobal(QPoint(0, height()));
    const int room = std::max(area.bottom() + 1 - below.y(), below.y() - height() - area.top());
    QSize size(GetPopupWidth(), GetPopupHeight());
    if (page == 1 && !popup.Picture().isNull()) {
        QSize pict = popup.Picture().size() + QSize(4, popup.BandHeight() + 5);
        if (pict.width() > area.width() || pict.height() > room)
            pict.scale(QSize(area.width(), room), Qt::KeepAspectRatio);
        size = pict;
    }
    size = size.expandedTo(QSize(120, popup.BandHeight() + 40));
    size = size.boundedTo(QSize(area.width(), room));
    popup.resize(size);
    QPoint pos = below;
    pos.setX(std::max(area.left(), std::min(pos.x(), area.right() + 1 - size.width())));
    if (pos.y() + size.height() > area.bottom() + 1)
        pos.setY(pos.y() - height() - size.height());
    popup.move(pos);
    SetPopupShown(true);
    popup.ShowPopup();
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

TgxDBTreeListBlobColumn* TgxInplaceDBTreeListBlobEdit::Column() const {
    return dynamic_cast<TgxDBTreeListBlobColumn*>(EditorColumn(*this));
}

int TgxInplaceDBTreeListBlobEdit::GetPopupPage() {
    auto* c = Column();
    return c != nullptr ? c->PopupPage() : -1;
}

db::TField* TgxInplaceDBTreeListBlobEdit::GetBlobField() {
    auto* c = Column();
    return c != nullptr ? c->Field() : nullptr;
}

int TgxInplaceDBTreeListBlobEdit::GetPopupWidth() {
    auto* c = Column();
    return c != nullptr ? c->PopupWidth() : 200;
}

int TgxInplaceDBTreeListBlobEdit::GetPopupHeight() {
    auto* c = Column();
    return c != nullptr ? c->PopupHeight() : 140;
}

bool TgxInplaceDBTreeListBlobEdit::GetSizeablePopup() {
    auto* c = Column();
    return c == nullptr || c->SizeablePopup();
}

bool TgxInplaceDBTreeListBlobEdit::GetAlwaysSaveText() {
    auto* c = Column();
    return c != nullptr && c->AlwaysSaveText();
}

bool TgxInplaceDBTreeListBlobEdit::GetMemoWordWrap() {
    auto* c = Column();
    return c == nullptr || c->MemoWordWrap();
}

void TgxInplaceDBTreeListBlobEdit::SetPopupSize(int width, int height) {
    if (auto* c = Column()) {
        c->SetPopupWidth(width);
        c->SetPopupHeight(height);
    }
}

bool TgxInplaceDBTreeListBlobEdit::GetReadOnly() {
    auto* c = Column();
    return TgxInplaceBlobEdit::GetReadOnly() || (c != nullptr && c->ReadOnly());
}

}  // namespace grid
