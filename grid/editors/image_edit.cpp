#include "grid/editors/image_edit.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>

#include "platform/db/conversions.h"
#include "platform/ui/canvas.h"
#include "platform/ui/keys.h"

namespace grid {

TgxImageIndexes ImageIndexesOf(const std::string& text, const std::vector<std::string>& values,
                               const std::vector<std::string>& descriptions,
                               const std::vector<std::string>& image_indexes, bool default_images) {
    TgxImageIndexes out;
    const auto found = std::find(values.begin(), values.end(), text);
    if (found == values.end())
        return out;
    const auto index = static_cast<std::size_t>(found - values.begin());
    out.description = index < descriptions.size() ? static_cast<int>(index) : -1;
    out.image = static_cast<int>(index);
    if (!default_images && index < image_indexes.size()) {
        std::int32_t v = -1;
        out.image = db::TryStrToInt(image_indexes[index], v) ? v : -1;
    }
    return out;
}

TgxDBTreeListImageColumn::TgxDBTreeListImageColumn(db::TComponent* owner)
    : TgxDBTreeListDropDownColumn(owner) {
    SetMinWidth(16);
    images_link_.OnChange = [this] { Changed(false); };
    large_images_link_.OnChange = [this] { Changed(false); };
}

TgxDBTreeListImageColumn::~TgxDBTreeListImageColumn() {
    if (images_ != nullptr)
        images_->UnRegisterChanges(images_link_);
    if (large_images_ != nullptr)
        large_images_->UnRegisterChanges(large_images_link_);
}

void TgxDBTreeListImageColumn::SetLargeImages(ui::TCustomImageList* images) {
    if (large_images_ != nullptr)
        large_images_->UnRegisterChanges(large_images_link_);
    large_images_ = images;
    if (large_images_ != nullptr)
        large_images_->RegisterChanges(large_images_link_);
    Changed(false);
}

void TgxDBTreeListImageColumn::SetImages(ui::TCustomImageList* images) {
    if (images_ != nullptr)
        images_->UnRegisterChanges(images_link_);
    images_ = images;
    if (images_ != nullptr)
        images_->RegisterChanges(images_link_);
    Changed(false);
}

void TgxDBTreeListImageColumn::SetShowDescription(bool value) {
    if (value != show_description_) {
        show_description_ = value;
        Changed(false);
    }
}

void TgxDBTreeListImageColumn::SetDefaultImages(bool value) {
    if (value != default_images_) {
        default_images_ = value;
        Changed(false);
    }
}

TgxImageIndexes TgxDBTreeListImageColumn::GetIndexes(const std::string& text) const {
    return ImageIndexesOf(text, Values, Descriptions, ImageIndexes, default_images_);
}

std::string TgxDBTreeListImageColumn::DisplayTextOf(const std::string& text) const {
    const TgxImageIndexes i = GetIndexes(text);
    return i.description >= 0 ? Descriptions[static_cast<std::size_t>(i.description)] : text;
}

std::vector<int> ListImageIndexes(std::size_t values, const std::vector<std::string>& image_indexes,
                                  bool default_images) {
    std::vector<int> out;
    for (std::size_t i = 0; i < values; ++i) {
        int image = static_cast<int>(i);
        if (!default_images) {
            std::int32_t v = -1;
            image = i < image_indexes.size() && db::TryStrToInt(image_indexes[i], v) ? v : -1;
        }
        out.push_back(image < 0 ? -2 : image);
    }
    return out;
}

std::vector<int> TgxDBTreeListImageColumn::ListImages() const {
    return ListImageIndexes(Values.size(), ImageIndexes, default_images_);
}

std::string TgxDBTreeListImageColumn::GetFieldDisplayText() const {
    return DisplayTextOf(TgxDBTreeListDropDownColumn::GetFieldDisplayText());
}

TgxInplaceEditClass TgxDBTreeListImageColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListImageEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListImageEdit>(parent);
            }};
}

void DrawImageValue(ui::TCanvas& canvas, const QRect& r, const ui::TCustomImageList* images,
                    int image, bool show_description, bool multi_line, const std::string& text,
                    TAlignment alignment) {
    const int w = images != nullptr ? images->Width() : r.height();
    const QRect area = show_description
                           ? QRect(r.left() + 1, r.top(), w, r.height())
                           : QRect(r.left() + (r.width() - w) / 2, r.top(), w, r.height());
    if (images != nullptr && image >= 0 && image < images->Count()) {
        const QImage& picture = images->Image(image);
        canvas.Painter().drawImage(
            QPoint(area.left(), area.top() + (area.height() - picture.height()) / 2), picture);
    }
    if (!show_description)
        return;
    ui::Rect text_rect{area.right() + 3, r.top(), r.right() + 1, r.bottom() + 1};
    unsigned flags = ui::DT_NOPREFIX | ui::DT_END_ELLIPSIS;
    if (multi_line)
        flags |= ui::DT_WORDBREAK | ui::DT_EXPANDTABS;
    else
        flags |= ui::DT_SINGLELINE | ui::DT_VCENTER |
                 (alignment == taRightJustify ? ui::DT_RIGHT
                  : alignment == taCenter     ? ui::DT_CENTER
                                              : ui::DT_LEFT);
    const ui::TBrush brush = canvas.Brush;
    canvas.Brush.style = ui::bsClear;
    canvas.DrawText(text, text_rect, flags);
    canvas.Brush = brush;
}

void TgxDBTreeListImageColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                const TgxTreeListNode* node, bool selected,
                                                bool focused, bool new_item_row, std::string& text,
                                                ui::Color& color, ui::TFont& font,
                                                TAlignment& alignment, bool& done) {
    TgxDBTreeListDropDownColumn::DoCustomDrawCell(canvas, rect, node, selected, focused,
                                                  new_item_row, text, color, font, alignment, done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    // The cell text is the description; find the value it stands for.
    std::string value = text;
    for (std::size_t i = 0; i < Values.size(); ++i)
        if (DisplayTextOf(Values[i]) == text) {
            value = Values[i];
            break;
        }
    canvas.Font = font;
    DrawImageValue(canvas, QRect(rect.left + 1, rect.top + 1, rect.Width() - 2, rect.Height() - 2),
                   images_, GetIndexes(value).image, show_description_, multi_line_text_, text,
                   alignment);
    done = true;
}

void TgxDBTreeListImageColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    SetMinWidth(16);
    list_width_ = 0;
    multi_line_text_ = false;
}

void TgxDBTreeListImageColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListImageColumn*>(&source)) {
        SetImages(c->images_);
        SetLargeImages(c->large_images_);
        list_width_ = c->list_width_;
        Values = c->Values;
        Descriptions = c->Descriptions;
        ImageIndexes = c->ImageIndexes;
        show_description_ = c->show_description_;
        default_images_ = c->default_images_;
        multi_line_text_ = c->multi_line_text_;
    }
}

int TgxPopupImageListBox::MeasureItem() const {
    const int text = QFontMetrics(ItemFont.ToQFont()).height();
    return ImageList != nullptr ? std::max(text, ImageList->Height() + 2) : text;
}

void TgxPopupImageListBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    ui::TCanvas canvas(p);
    canvas.Font = ItemFont;
    const QPalette pal = QApplication::palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    p.setPen(pal.color(QPalette::WindowText));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    for (int row = 0; row < Rows; ++row) {
        const int index = TopIndex + row;
        if (index >= static_cast<int>(Items.size()))
            break;
        const QRect r(1, 1 + row * ItemHeight, width() - 2, ItemHeight);
        const bool selected = index == ItemIndex;
        p.fillRect(r, selected ? pal.color(QPalette::Highlight) : pal.color(QPalette::Base));
        canvas.Font.SetColor(ui::Color::FromQColor(selected ? pal.color(QPalette::HighlightedText)
                                                            : pal.color(QPalette::Text)));
        const int image = index < static_cast<int>(ItemImages.size())
                              ? ItemImages[static_cast<std::size_t>(index)]
                              : -2;
        int image_width = 0;
        if (ImageList != nullptr) {
            if (image >= 0 && image < ImageList->Count())
                p.drawImage(QPoint(r.left() + 1, r.top() + (r.height() - ImageList->Height()) / 2),
                            ImageList->Image(image));
            image_width = ImageList->Width();
        }
        const std::string& text = Items[static_cast<std::size_t>(index)];
        canvas.Brush.style = ui::bsClear;
        if (MultiLine) {
            ui::Rect tr{r.left() + image_width + 1, r.top() + 2, r.right() - 1, r.bottom() - 1};
            canvas.DrawText(text, tr, ui::DT_WORDBREAK | ui::DT_NOPREFIX | ui::DT_END_ELLIPSIS);
        } else {
            ui::Rect tr{r.left() + image_width + 3, r.top(), r.right() + 1, r.bottom() + 1};
            canvas.DrawText(text, tr, ui::DT_SINGLELINE | ui::DT_VCENTER | ui::DT_NOPREFIX);
        }
    }
}

TgxInplaceImageEdit::TgxInplaceImageEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {
    WholeAreaClick = true;
    setFocusPolicy(Qt::StrongFocus);
    RouteInputOf(this);
}

TgxInplaceImageEdit::~TgxInplaceImageEdit() = default;

void TgxInplaceImageEdit::InitEditValue() {
    TgxInplaceDropDownEdit::InitEditValue();
    LineEdit().hide();
}

void TgxInplaceImageEdit::paintEvent(QPaintEvent* e) {
    {
        QPainter p(this);
        p.fillRect(rect(), GetColor().ToQColor());
        ui::Rect b;
        GetButtonRect(b);
        const std::string value = LineEdit().text().toStdString();
        const TgxImageIndexes indexes = GetIndexes(value);
        const std::vector<std::string> descriptions = GetDescriptions();
        const std::string text =
            indexes.description >= 0 && indexes.description < static_cast<int>(descriptions.size())
                ? descriptions[static_cast<std::size_t>(indexes.description)]
                : value;
        ui::TCanvas canvas(p);
        canvas.Font = Font();
        DrawImageValue(canvas, QRect(0, 0, b.left, height()), GetImages(), indexes.image,
                       GetShowDescription(), GetMultiLineText(), text, taLeftJustify);
    }
    TgxInplaceDropDownEdit::paintEvent(e);
}

void TgxInplaceImageEdit::DropDown() {
    const std::vector<std::string> values = GetValues();
    if (PopupShown() || GetReadOnly() || values.empty())
        return;
    DoBeforeDropDown();
    if (list_ == nullptr) {
        list_ = std::make_unique<TgxPopupImageListBox>(window());
        list_->OnListMouseUp = [this](bool inside) { ListMouseUp(inside); };
    }
    TgxPopupImageListBox& list = *list_;
    AttachPopup(list);
    list.setFont(Font().ToQFont());
    list.ItemFont = Font();
    list.MultiLine = GetMultiLineText();
    // The list shows the large pictures when there are any.
    list.ImageList = GetLargeImages() != nullptr ? GetLargeImages() : GetImages();
    list.ItemImages = ListImageIndexes(values.size(), GetImageIndexes(), GetDefaultImages());
    const std::vector<std::string> descriptions = GetDescriptions();
    list.Items.clear();
    for (std::size_t i = 0; i < values.size(); ++i)
        list.Items.push_back(i < descriptions.size() ? descriptions[i] : std::string());
    const QFontMetrics fm(list.font());
    list.ItemHeight = list.MeasureItem();
    list.Rows = std::min(static_cast<int>(list.Items.size()), std::max(1, GetDropDownRows()));
    int w = GetListWidth();
    if (w == 0) {
        int widest = 10;
        for (const std::string& item : list.Items)
            widest = std::max(widest, fm.horizontalAdvance(QString::fromStdString(item)));
        w = widest + (list.ImageList != nullptr ? list.ImageList->Width() : 16) + 4;
    }
    list.resize(std::max(w + 2, width()), list.Rows * list.ItemHeight + 2);
    const auto found = std::find(values.begin(), values.end(), LineEdit().text().toStdString());
    list.ItemIndex = found == values.end() ? -1 : static_cast<int>(found - values.begin());
    list.TopIndex = 0;
    list.MakeVisible(list.ItemIndex);
    ShowPopupBelow(list);
}

void TgxInplaceImageEdit::CloseUp(bool accept) {
    if (!PopupShown() || list_ == nullptr)
        return;
    if (QWidget::mouseGrabber() != nullptr)
        QWidget::mouseGrabber()->releaseMouse();
    list_->ClosePopup();
    SetPopupShown(false);
    const std::vector<std::string> values = GetValues();
    if (list_->ItemIndex < 0 || list_->ItemIndex >= static_cast<int>(values.size()))
        return;
    std::string value = values[static_cast<std::size_t>(list_->ItemIndex)];
    DoCloseUp(value, accept);
    if (accept && CanModify() && !GetReadOnly()) {
        LineEdit().setText(QString::fromStdString(value));
        emit LineEdit().textEdited(LineEdit().text());
        update();
    }
}

void TgxInplaceImageEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (!PopupShown() && (key == ui::VK_LEFT || key == ui::VK_RIGHT)) {
        MoveFocusedColumn(key == ui::VK_LEFT);
        key = 0;
        return;
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

TgxDBTreeListImageColumn* TgxInplaceDBTreeListImageEdit::Column() const {
    return dynamic_cast<TgxDBTreeListImageColumn*>(EditorColumn(*this));
}

bool TgxInplaceDBTreeListImageEdit::GetDefaultImages() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::DefaultImages, true);
}

void TgxInplaceDBTreeListImageEdit::DoCloseUp(std::string& value, bool& accept) {
    auto* c = Column();
    if (c != nullptr && c->OnCloseUp)
        c->OnCloseUp(c, value, accept);
}

bool TgxInplaceDBTreeListImageEdit::GetShowDescription() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::ShowDescription, true);
}

const ui::TCustomImageList* TgxInplaceDBTreeListImageEdit::GetImages() {
    auto* c = Column();
    return c != nullptr ? c->Images() : nullptr;
}

const ui::TCustomImageList* TgxInplaceDBTreeListImageEdit::GetLargeImages() {
    auto* c = Column();
    return c != nullptr ? c->LargeImages() : nullptr;
}

int TgxInplaceDBTreeListImageEdit::GetListWidth() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::ListWidth, 0);
}

TgxImageIndexes TgxInplaceDBTreeListImageEdit::GetIndexes(const std::string& text) {
    auto* c = Column();
    return c != nullptr ? c->GetIndexes(text) : TgxImageIndexes();
}

std::vector<std::string> TgxInplaceDBTreeListImageEdit::GetImageIndexes() {
    auto* c = Column();
    return c != nullptr ? c->ImageIndexes : std::vector<std::string>();
}

std::vector<std::string> TgxInplaceDBTreeListImageEdit::GetValues() {
    auto* c = Column();
    return c != nullptr ? c->Values : std::vector<std::string>();
}

std::vector<std::string> TgxInplaceDBTreeListImageEdit::GetDescriptions() {
    auto* c = Column();
    return c != nullptr ? c->Descriptions : std::vector<std::string>();
}

int TgxInplaceDBTreeListImageEdit::GetDropDownRows() {
    return static_cast<int>(ColumnSetting(Column(), &TgxDBTreeListImageColumn::DropDownRows, 7u));
}

bool TgxInplaceDBTreeListImageEdit::GetMultiLineText() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::MultiLineText, false);
}

bool TgxInplaceDBTreeListImageEdit::GetReadOnly() {
    auto* c = Column();
    return TgxInplaceImageEdit::GetReadOnly() || (c != nullptr && c->ReadOnly());
}

TgxPopupBorder TgxInplaceDBTreeListImageEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListImageEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

}  // namespace grid
