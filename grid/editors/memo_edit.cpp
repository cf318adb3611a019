#include "grid/editors/memo_edit.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextDocument>

#include <functional>

#include "grid/editors/button_edit.h"
#include "platform/ui/keys.h"

namespace grid {

std::string FirstCharacters(const std::string& text, int count) {
    if (count < 0)
        return text;
    std::size_t i = 0;
    for (int n = 0; n < count && i < text.size(); ++n) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            ++i;
    }
    return text.substr(0, i);
}

std::string MemoTextOf(const QPlainTextEdit& memo, bool crlf) {
    QString t = memo.document()->toRawText();
    t.replace(QChar::ParagraphSeparator, QChar('\n'));
    if (crlf)
        t.replace("\n", "\r\n");
    return t.toStdString();
}

namespace {

// The memo holds the field's maximum length as the one-line editor does: typed, pasted or
// dropped text that does not fit is refused whole with a beep instead of being cut.
class LimitedMemo : public QPlainTextEdit {
  public:
    // `limit` answers the maximum length (0: none), `crlf` whether line breaks are stored as
    // two characters.
    LimitedMemo(QWidget* parent, std::function<int()> limit, std::function<bool()> crlf)
        : QPlainTextEdit(parent), limit_(std::move(limit)), crlf_(std::move(crlf)) {}

    bool Fits(const QString& inserted) const {
        const int limit = limit_();
        if (limit <= 0 || inserted.isEmpty())
            return true;
        const qsizetype kept = Stored(toPlainText()) - Stored(textCursor().selectedText());
        return kept + Stored(inserted) <= limit;
    }

  protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (!isReadOnly() && !e->text().isEmpty() && e->text().at(0).isPrint() &&
            !Fits(e->text())) {
            e->accept();
            ui::MessageBeep(0);
            return;
        }
        QPlainTextEdit::keyPressEvent(e);
    }
    void insertFromMimeData(const QMimeData* source) override {
        if (source->hasText() && !Fits(source->text())) {
            ui::MessageBeep(0);
            return;
        }
        QPlainTextEdit::insertFromMimeData(source);
    }

  private:
    // The length of a text as the field keeps it (a selection marks line breaks as U+2029).
    qsizetype Stored(const QString& text) const {
        const qsizetype breaks = crlf_() ? text.count(QChar('\n')) + text.count(QChar(0x2029)) : 0;
        return text.size() + breaks;
    }

    std::function<int()> limit_;
    std::function<bool()> crlf_;
};

}  // namespace

TgxInplaceMemoEdit::TgxInplaceMemoEdit(QWidget* parent)
    : TgxInplaceTextEdit(parent),
      memo_(new LimitedMemo(
          this, [this] { return MaxLength(); }, [this] { return crlf_; })) {
    LineEdit().hide();
    memo_->setFrameShape(QFrame::NoFrame);
    memo_->setTabChangesFocus(true);
    setFocusProxy(memo_);
    RouteInputOf(memo_);
}

void TgxInplaceMemoEdit::resizeEvent(QResizeEvent* e) {
    TgxInplaceTextEdit::resizeEvent(e);
    memo_->setGeometry(rect());
}

void TgxInplaceMemoEdit::GetEditingText(std::string& text) {
    // Untouched, the text is the one the memo started with, line breaks and all: the window
    // knows only one kind of break, and passing through a cell must not rewrite them.
    if (!memo_->document()->isModified()) {
        text = StartText;
        return;
    }
    text = MemoTextOf(*memo_, crlf_);
}

void TgxInplaceMemoEdit::SetEditingText(const std::string& text) {
    if (!CanModify())
        return;
    QString t = QString::fromStdString(text);
    t.replace("\r\n", "\n");
    memo_->setPlainText(t);
    memo_->document()->setModified(true);  // the window's text is now the one to give back
}

void TgxInplaceMemoEdit::InitEditValue() {
    TgxInplaceTextEdit::InitEditValue();
    memo_->setFont(Font().ToQFont());
    memo_->setPalette(palette());
    memo_->setLineWrapMode(GetWordWrap() ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    const TScrollStyle bars = GetScrollBars();
    const bool h = bars == TScrollStyle::ssHorizontal || bars == TScrollStyle::ssBoth;
    const bool v = bars == TScrollStyle::ssVertical || bars == TScrollStyle::ssBoth;
    memo_->setHorizontalScrollBarPolicy(h ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    memo_->setVerticalScrollBarPolicy(v ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    crlf_ = StartText.find("\r\n") != std::string::npos;
    QString t = QString::fromStdString(StartText);
    t.replace("\r\n", "\n");
    t.replace("\r", "\n");
    memo_->setPlainText(t);
    memo_->setReadOnly(!CanModify() || GetReadOnly());
    memo_->document()->setModified(false);
}

void TgxInplaceMemoEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    if (key == ui::VK_RETURN && !ctrl) {
        if (!GetReadOnly() && CanModify()) {
            if (static_cast<LimitedMemo*>(memo_)->Fits("\n"))
                memo_->insertPlainText("\n");
            else
                ui::MessageBeep(0);
        }
        key = 0;
        return;
    }
    if (key == ui::VK_PRIOR || key == ui::VK_NEXT || key == ui::VK_UP || key == ui::VK_DOWN)
        return;  // moves inside the memo
    if (key == ui::VK_ESCAPE) {
        memo_->setPlainText(QString::fromStdString(StartText).replace("\r\n", "\n"));
        memo_->document()->setModified(false);
    }
    TgxInplaceTextEdit::EditorKeyDown(key, shift);
}

void TgxDBTreeListMemoColumn::SetMaxDisplayLength(int value) {
    if (value != max_display_length_) {
        max_display_length_ = value;
        Changed(false);
    }
}

TgxInplaceEditClass TgxDBTreeListMemoColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListMemoEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListMemoEdit>(parent); }};
}

std::string TgxDBTreeListMemoColumn::GetFieldDisplayText() const {
    db::TField* f = Field();
    if (f == nullptr)
        return {};
    return FirstCharacters(f->IsBlob() ? f->AsString() : f->DisplayText(), max_display_length_);
}

void TgxDBTreeListMemoColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    max_display_length_ = 255;
    scroll_bars_ = TScrollStyle::ssNone;
    word_wrap_ = true;
    header_max_line_count_ = 0;
}

void TgxDBTreeListMemoColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListMemoColumn*>(&source)) {
        max_display_length_ = c->max_display_length_;
        scroll_bars_ = c->scroll_bars_;
        word_wrap_ = c->word_wrap_;
        header_max_line_count_ = c->header_max_line_count_;
    }
}

TScrollStyle TgxInplaceDBTreeListMemoEdit::GetScrollBars() {
    auto* c = dynamic_cast<TgxDBTreeListMemoColumn*>(EditorColumn(*this));
    return c != nullptr ? c->ScrollBars() : TScrollStyle::ssNone;
}

bool TgxInplaceDBTreeListMemoEdit::GetWordWrap() {
    auto* c = dynamic_cast<TgxDBTreeListMemoColumn*>(EditorColumn(*this));
    return c == nullptr || c->WordWrap();
}

bool TgxInplaceDBTreeListMemoEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceMemoEdit::GetReadOnly(), EditorColumn(*this));
}

std::string TgxInplaceDBTreeListMaskEdit::GetEditMask() {
    auto* c = dynamic_cast<TgxDBGridMaskColumn*>(EditorColumn(*this));
    if (c != nullptr && !c->EditMask().empty())
        return c->EditMask();
    return TgxInplaceMaskEdit::GetEditMask();
}

void TgxInplaceDBTreeListMaskEdit::InitEditValue() {
    TgxInplaceMaskEdit::InitEditValue();
    shown_at_start_ = LineEdit().text();
}

void TgxInplaceDBTreeListMaskEdit::GetEditingText(std::string& text) {
    // A value that does not fit the mask shows cut to it ("user@example.org" in "000-000"
    // shows "use-___"); passing through the cell without an edit gives back the value as it
    // came, never the cut text.
    if (Masked && !TgxInplaceMaskEdit::Modified() && !TgxInplaceTextEdit::Modified() &&
        LineEdit().text() == shown_at_start_) {
        text = StartText;
        return;
    }
    TgxInplaceMaskEdit::GetEditingText(text);
}

TgxInplaceEditClass TgxDBGridMaskColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListMaskEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListMaskEdit>(parent); }};
}

}  // namespace grid
