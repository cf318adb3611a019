#include "grid/editors/hyperlink_edit.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrlQuery>

#include "grid/editors/button_edit.h"
#include "platform/ui/application.h"

namespace grid {

std::optional<QUrl> HyperLinkUrl(const std::string& text) {
    QString t = QString::fromStdString(text).trimmed();
    if (t.isEmpty())
        return std::nullopt;
    if (t.startsWith("www.", Qt::CaseInsensitive))
        t = "http://" + t;
    const QUrl url(t, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() ||
        !(scheme == "http" || scheme == "https" || scheme == "mailto" || scheme == "ftp"))
        return std::nullopt;
    if (scheme != "mailto" && url.host().isEmpty())
        return std::nullopt;
    // Mail programs honour more than the message's headers: "attach=" and its kin would send a
    // file of the user's named by the cell's text. Only the header fields of a message pass.
    if (scheme == "mailto") {
        // An encoded "?" in the address would start a query once the mail program decodes it.
        const QString to = url.path(QUrl::FullyDecoded);
        if (to.contains('?') || to.contains('&'))
            return std::nullopt;
        static const QStringList kHeaders = {"to", "cc", "bcc", "subject", "body", "in-reply-to"};
        for (const auto& item : QUrlQuery(url).queryItems())
            if (!kHeaders.contains(item.first.trimmed(), Qt::CaseInsensitive))
                return std::nullopt;
    }
    return url;
}

std::function<bool(const QUrl&)>& HyperLinkOpener() {
    static std::function<bool(const QUrl&)> opener = [](const QUrl& url) {
        return QDesktopServices::openUrl(url);
    };
    return opener;
}

void TgxInplaceHyperLinkEdit::StartLink() {
    if (auto url = HyperLinkUrl(LineEdit().text().toStdString()); url && HyperLinkOpener())
        HyperLinkOpener()(*url);
}

void TgxInplaceHyperLinkEdit::InitEditValue() {
    TgxInplaceTextEdit::InitEditValue();
    QFont f = LineEdit().font();
    f.setUnderline(true);
    LineEdit().setFont(f);
    QPalette pal = LineEdit().palette();
    pal.setColor(QPalette::Text, GetEditFontColor().ToQColor());
    pal.setColor(QPalette::Base, GetEditBackgroundColor().ToQColor());
    LineEdit().setPalette(pal);
    LineEdit().setCursor(Qt::PointingHandCursor);
}

void TgxInplaceHyperLinkEdit::DoEditorMouseUp() {
    if (GetSingleClick())
        StartLink();
}

void TgxInplaceHyperLinkEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key != 0 && ShortCutOf(key, shift) == GetStartKey()) {
        key = 0;
        StartLink();
        return;
    }
    TgxInplaceTextEdit::EditorKeyDown(key, shift);
}

bool TgxInplaceHyperLinkEdit::eventFilter(QObject* watched, QEvent* e) {
    if (watched == &LineEdit() && e->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(e);
        if (me->button() == Qt::LeftButton && LineEdit().rect().contains(me->position().toPoint()))
            ui::Guarded([this] { StartLink(); });
    }
    return TgxInplaceTextEdit::eventFilter(watched, e);
}

TgxInplaceEditClass TgxDBTreeListHyperLinkColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListHyperLinkEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListHyperLinkEdit>(parent);
            }};
}

void TgxDBTreeListHyperLinkColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                    const TgxTreeListNode* node, bool selected,
                                                    bool focused, bool new_item_row,
                                                    std::string& text, ui::Color& color,
                                                    ui::TFont& font, TAlignment& alignment,
                                                    bool& done) {
    TgxDBGridColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                      color, font, alignment, done);
    if (done)
        return;
    font.SetStyle(font.Style() | static_cast<ui::TFontStyles>(ui::fsUnderline));
    // A single click opens the link, so a cell that looks like the editor takes its ink.
    if (single_click_ && color.ToQColor().rgb() == edit_background_color_.ToQColor().rgb())
        font.SetColor(edit_font_color_);
}

void TgxDBTreeListHyperLinkColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    edit_background_color_ = ui::clWhite;
    edit_font_color_ = ui::clBlue;
    single_click_ = false;
    start_key_ = 16397;
}

void TgxDBTreeListHyperLinkColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListHyperLinkColumn*>(&source)) {
        edit_background_color_ = c->edit_background_color_;
        edit_font_color_ = c->edit_font_color_;
        single_click_ = c->single_click_;
        start_key_ = c->start_key_;
    }
}

TgxDBTreeListHyperLinkColumn* TgxInplaceDBTreeListHyperLinkEdit::Column() const {
    return dynamic_cast<TgxDBTreeListHyperLinkColumn*>(EditorColumn(*this));
}

void TgxInplaceDBTreeListHyperLinkEdit::StartLink() {
    auto* c = Column();
    if (c != nullptr && c->OnStartClick)
        c->OnStartClick(c);
    else
        TgxInplaceHyperLinkEdit::StartLink();
}

ui::Color TgxInplaceDBTreeListHyperLinkEdit::GetEditFontColor() {
    return ColumnSetting(Column(), &TgxDBTreeListHyperLinkColumn::EditFontColor, ui::clBlue);
}

ui::Color TgxInplaceDBTreeListHyperLinkEdit::GetEditBackgroundColor() {
    return ColumnSetting(Column(), &TgxDBTreeListHyperLinkColumn::EditBackgroundColor, ui::clWhite);
}

bool TgxInplaceDBTreeListHyperLinkEdit::GetSingleClick() {
    return ColumnSetting(Column(), &TgxDBTreeListHyperLinkColumn::SingleClick, false);
}

std::uint16_t TgxInplaceDBTreeListHyperLinkEdit::GetStartKey() {
    return ColumnSetting(Column(), &TgxDBTreeListHyperLinkColumn::StartKey, 16397);
}

}  // namespace grid
