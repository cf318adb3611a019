#include "grid/editors/calc_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>
#include <cstdlib>

#include "platform/db/format_settings.h"
#include "platform/ui/application.h"
#include "platform/ui/keys.h"

namespace grid {

namespace {
int Rounded(int a, int b, int c) {
    return static_cast<int>(std::lround(static_cast<double>(a) * b / c));
}

QColor CaptionColor(int code) {
    static const QColor maroon(128, 0, 0), red(255, 0, 0), blue(0, 0, 255), navy(0, 0, 128);
    if (code <= cbClear)
        return maroon;
    if (code <= cbMemAdd)
        return red;
    if (code <= cbDecimal)
        return blue;
    if (code <= cbAdd || code == cbEqual)
        return red;
    return navy;
}

// The buttons of rows 1-4, columns 0-5.
constexpr int kGrid[4][6] = {
    {cbMemClear, cbNum7, cbNum8, cbNum9, cbDiv, cbSqrt},
    {cbMemRead, cbNum4, cbNum5, cbNum6, cbMul, cbPercent},
    {cbMemStore, cbNum1, cbNum2, cbNum3, cbSub, cbRev},
    {cbMemAdd, cbNum0, cbSign, cbDecimal, cbAdd, cbEqual},
};
}  // namespace

// The engine whose display is the calculator's host text.
class TCustomgxCalculator::HostedEngine : public TgxCalcEngine {
  public:
    HostedEngine(TCustomgxCalculator& owner, char decimal)
        : TgxCalcEngine(decimal), owner_(owner) {}
    std::string GetText() const override { return owner_.GetText(); }
    void SetText(const std::string& text) override { owner_.SetText(text); }

  private:
    TCustomgxCalculator& owner_;
};

TCustomgxCalculator::TCustomgxCalculator(QWidget* parent)
    : TgxEditorPopup(parent),
      engine_(std::make_unique<HostedEngine>(*this, db::FormatSettings().DecimalSeparator)) {
    engine_->OnBeep = [] { ui::MessageBeep(0); };
    engine_->OnMemoryChange = [this] {
        update(WidgetRect(ButtonRect(cbMemClear)));
        update(WidgetRect(ButtonRect(cbMemRead)));
    };
    engine_->OnDisplayChange = [this] { update(); };
    setMouseTracking(true);
    LayoutFor(204, 134);
}

TCustomgxCalculator::~TCustomgxCalculator() = default;

void TCustomgxCalculator::LayoutFor(int w, int h) {
    const int target = std::min(h, w * 137 / 207);
    auto distance = [&](int b) { return std::abs(5 * b + 6 * (b * 4 / 22) - target); };
    int b = 22;
    while (distance(b + 1) < distance(b))
        ++b;
    ArrangeButtons(b);
}

void TCustomgxCalculator::ArrangeButtons(int b) {
    button_height_ = b;
    button_width_ = Rounded(b, 28, 22);
    gap_ = Rounded(b, 4, 22);
    wide_button_width_ = button_width_ * 17 / 10;
    font_size_ = Rounded(b, 8, 22);
    calc_height_ = 5 * (button_height_ + gap_) + gap_;
    calc_width_ = 6 * (button_width_ + gap_) + 2 * gap_ + 4;
    auto column_left = [&](int c) {
        return c == 0 ? gap_ : c * (button_width_ + gap_) + 2 * gap_ + 4;
    };
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c)
            rects_[static_cast<std::size_t>(kGrid[r][c])] =
                QRect(column_left(c), (r + 1) * (button_height_ + gap_) + gap_, button_width_,
                      button_height_);
    int right = column_left(5) + button_width_;
    for (int code : {cbClear, cbCancelEntry, cbBack}) {
        rects_[static_cast<std::size_t>(code)] =
            QRect(right - wide_button_width_, gap_, wide_button_width_, button_height_);
        right -= wide_button_width_ + gap_;
    }
    const int frame = FrameWidth();
    laid_out_size_ = QSize(calc_width_ + 2 * frame, calc_height_ + 2 * frame);
    resize(laid_out_size_);
    update();
}

void TCustomgxCalculator::resizeEvent(QResizeEvent* e) {
    TgxEditorPopup::resizeEvent(e);
    // The size a layout gave is where a resize ends; any other is a new area to fill.
    if (size() != laid_out_size_) {
        const int frame = FrameWidth();
        LayoutFor(width() - 2 * frame, height() - 2 * frame);
    }
}

int TCustomgxCalculator::FrameWidth() const {
    if (border_style_ != bsSingle)
        return 0;
    return ctl3d_ ? 2 : 1;
}

void TCustomgxCalculator::FrameChanged() {
    ArrangeButtons(button_height_);
}

void TCustomgxCalculator::SetBorderStyle(TBorderStyle value) {
    if (value == border_style_)
        return;
    border_style_ = value;
    FrameChanged();
}

void TCustomgxCalculator::SetCtl3D(bool value) {
    if (value == ctl3d_)
        return;
    ctl3d_ = value;
    FrameChanged();
}

void TCustomgxCalculator::PaintFrame(ui::TCanvas& canvas) {
    const ui::Rect all{0, 0, width(), height()};
    if (border_style_ != bsSingle)
        return;
    if (ctl3d_) {
        canvas.DrawEdge(all, ui::EDGE_SUNKEN, ui::BF_RECT);
    } else {
        canvas.Brush.color = ui::clWindowFrame;
        canvas.FrameRect(all);
    }
}

QPoint TCustomgxCalculator::ClientPoint(QPoint widget_point) const {
    const int frame = FrameWidth();
    return widget_point - QPoint(frame, frame);
}

QRect TCustomgxCalculator::WidgetRect(const QRect& client_rect) const {
    const int frame = FrameWidth();
    return client_rect.translated(frame, frame);
}

int TCustomgxCalculator::ButtonAt(QPoint p) const {
    for (int code = 0; code < kCalcButtonCount; ++code)
        if (rects_[static_cast<std::size_t>(code)].contains(p))
            return code;
    return cbNone;
}

void TCustomgxCalculator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    ui::TCanvas canvas(p);
    PaintFrame(canvas);
    const int frame = FrameWidth();
    p.setClipRect(rect().adjusted(frame, frame, -frame, -frame));
    p.translate(frame, frame);
    p.fillRect(QRect(0, 0, calc_width_, calc_height_),
               QApplication::palette().color(QPalette::Button));
    QFont f = font();
    if (AutoFontSize) {
        f.setPointSize(font_size_);
        f.setBold(font_size_ >= 10);
    }
    p.setFont(f);
    for (int code = 0; code < kCalcButtonCount; ++code)
        PaintButton(p, canvas, code);
}

void TCustomgxCalculator::PaintButton(QPainter& p, ui::TCanvas& canvas, int code) {
    const QPalette pal = QApplication::palette();
    const QRect r = rects_[static_cast<std::size_t>(code)];
    const bool grayed = engine_->MemoryGrayed() && (code == cbMemClear || code == cbMemRead);
    const bool down = down_[static_cast<std::size_t>(code)] && !grayed;
    p.fillRect(r, pal.color(QPalette::Button));
    // Every edge lies inside the button, so that neighbours and the gaps stay untouched.
    const ui::Rect bounds{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
    if (ButtonStyle == TgxButtonStyle::bsStandard)
        canvas.DrawEdge(bounds, down ? ui::EDGE_SUNKEN : ui::EDGE_RAISED, ui::BF_RECT);
    else if (ButtonStyle == TgxButtonStyle::bsFlat || down || code == hot_button_)
        canvas.DrawEdge(bounds, down ? ui::BDR_SUNKENOUTER : ui::BDR_RAISEDINNER, ui::BF_RECT);
    const QString caption = code == cbDecimal ? QString(QChar(engine_->DecimalSeparator()))
                                              : QString::fromLatin1(TgxCalcEngine::Caption(code));
    const QRect text = r.translated(down ? 2 : 0, down ? 2 : 0);
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    if (!isEnabled()) {
        p.setPen(pal.color(QPalette::Light));
        p.drawText(text.translated(1, 1), flags, caption);
        p.setPen(pal.color(QPalette::Dark));
    } else {
        p.setPen(grayed ? pal.color(QPalette::Dark) : CaptionColor(code));
    }
    p.drawText(text, flags, caption);
    if (ShowButtonFrame) {
        p.setPen(pal.color(QPalette::Dark));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(3, 3, -4, -4), 3, 3);
    }
    if (code == cbEqual && ShowFocusRect && isEnabled() && hasFocus()) {
        p.setPen(QPen(pal.color(QPalette::WindowText), 1, Qt::DotLine));
        p.drawRect(r.adjusted(3, 3, -4, -4));
    }
}

void TCustomgxCalculator::mousePressEvent(QMouseEvent* e) {
    if (!NoFocusOnClick && focusPolicy() != Qt::NoFocus)
        setFocus();
    const int code = ButtonAt(ClientPoint(e->position().toPoint()));
    if (e->button() != Qt::LeftButton || code == cbNone)
        return;
    grabMouse();
    mouse_following_ = true;
    mouse_button_ = code;
    down_[static_cast<std::size_t>(code)] = true;
    update();
}

void TCustomgxCalculator::mouseMoveEvent(QMouseEvent* e) {
    const QPoint p = ClientPoint(e->position().toPoint());
    if (mouse_following_) {
        const bool over = rects_[static_cast<std::size_t>(mouse_button_)].contains(p);
        if (over != down_[static_cast<std::size_t>(mouse_button_)]) {
            down_[static_cast<std::size_t>(mouse_button_)] = over;
            update();
        }
    } else if (ButtonStyle == TgxButtonStyle::bsExtraFlat && isEnabled()) {
        const int code = ButtonAt(p);
        if (code != hot_button_) {
            hot_button_ = code;
            update();
        }
    }
}

void TCustomgxCalculator::mouseReleaseEvent(QMouseEvent* e) {
    if (!mouse_following_)
        return;
    const int code = mouse_button_;
    const bool counted = e->button() == Qt::LeftButton && down_[static_cast<std::size_t>(code)];
    mouse_following_ = false;
    releaseMouse();
    down_[static_cast<std::size_t>(code)] = false;
    mouse_button_ = cbNone;
    update();
    if (counted)
        ui::Guarded([&] { ButtonClick(code); });
}

void TCustomgxCalculator::leaveEvent(QEvent* e) {
    if (ButtonStyle == TgxButtonStyle::bsExtraFlat && hot_button_ != cbNone) {
        hot_button_ = cbNone;
        update();
    }
    TgxEditorPopup::leaveEvent(e);
}

void TCustomgxCalculator::PressKeyButton(int code) {
    if (code == cbNone || code == key_button_)
        return;
    if (key_button_ != cbNone)
        down_[static_cast<std::size_t>(key_button_)] = false;
    key_button_ = code;
    down_[static_cast<std::size_t>(code)] = true;
    repaint();
    if (code != cbBack)
        ButtonClick(code);
}

void TCustomgxCalculator::PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    if (key == ui::VK_INSERT && (shift & ui::ssShift)) {
        engine_->PasteText(QGuiApplication::clipboard()->text().toStdString(),
                           db::FormatSettings().ThousandSeparator);
    } else if (key == ui::VK_INSERT && ctrl) {
        QGuiApplication::clipboard()->setText(QString::fromStdString(GetText()));
    }
    const int code = TgxCalcEngine::ButtonForKey(key, ctrl);
    if (code != cbNone) {
        PressKeyButton(code);
        key = 0;
    }
}

void TCustomgxCalculator::PopupKeyPress(char32_t& key) {
    if (key == 22) {
        engine_->PasteText(QGuiApplication::clipboard()->text().toStdString(),
                           db::FormatSettings().ThousandSeparator);
    } else if (key == 3) {
        QGuiApplication::clipboard()->setText(QString::fromStdString(GetText()));
    } else {
        const int code = engine_->ButtonForChar(key);
        if (code == cbBack && key_button_ == cbBack)
            ButtonClick(cbBack);  // key repeat deletes again
        else if (code == cbBack) {
            PressKeyButton(cbBack);
            ButtonClick(cbBack);
        } else
            PressKeyButton(code);
    }
    key = 0;
}

void TCustomgxCalculator::PopupKeyUp(std::uint16_t&, ui::TShiftState) {
    if (key_button_ != cbNone) {
        down_[static_cast<std::size_t>(key_button_)] = false;
        key_button_ = cbNone;
        update();
    }
}

TgxPopupCalculator::TgxPopupCalculator(TgxInplaceCalcEdit* editor)
    : TCustomgxCalculator(editor != nullptr ? editor->window() : nullptr), editor_(editor) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    ShowFocusRect = false;
    Engine().OnResult = [] {};
    FrameChanged();
}

void TgxPopupCalculator::SetFlat(bool value) {
    if (value == flat_)
        return;
    flat_ = value;
    FrameChanged();
}

void TgxPopupCalculator::PaintFrame(ui::TCanvas& canvas) {
    canvas.DrawEdge({0, 0, width(), height()}, flat_ ? ui::BDR_RAISEDINNER : ui::EDGE_RAISED,
                    ui::BF_RECT | (flat_ ? ui::BF_FLAT : 0u));
}

std::string TgxPopupCalculator::GetText() const {
    if (editor_ == nullptr)
        return "0";
    return editor_->LineEditConst().text().toStdString();
}

void TgxPopupCalculator::SetText(const std::string& text) {
    // Results reach the cell only when it may change.
    if (editor_ != nullptr && editor_->Container != nullptr &&
        editor_->Container->CanEditModify()) {
        editor_->LineEdit().setText(QString::fromStdString(text));
        emit editor_->LineEdit().textEdited(editor_->LineEdit().text());
    }
}

void TgxPopupCalculator::PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0;
    if (key == ui::VK_RETURN) {
        ButtonClick(cbEqual);
        key = 0;
        if (editor_ != nullptr)
            editor_->CloseUp(true);
        return;
    }
    if (key == ui::VK_ESCAPE || ((key == ui::VK_UP || key == ui::VK_DOWN) && alt) ||
        (key == 115 && !alt)) {
        key = 0;
        if (editor_ != nullptr) {
            editor_->RestoreStartText();
            editor_->CloseUp(false);
        }
        return;
    }
    TCustomgxCalculator::PopupKeyDown(key, shift);
}

void TgxPopupCalculator::PopupKeyPress(char32_t& key) {
    const bool equal = key == U'=';
    TCustomgxCalculator::PopupKeyPress(key);
    if (equal && QuickClose && editor_ != nullptr)
        editor_->CloseUp(true);
}

TgxInplaceCalcEdit::TgxInplaceCalcEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {}

TgxInplaceCalcEdit::~TgxInplaceCalcEdit() = default;

void TgxInplaceCalcEdit::InitEditValue() {
    TgxInplaceDropDownEdit::InitEditValue();
    start_text_ = LineEdit().text().toStdString();
}

void TgxInplaceCalcEdit::RestoreStartText() {
    LineEdit().setText(QString::fromStdString(start_text_));
    emit LineEdit().textEdited(LineEdit().text());
}

void TgxInplaceCalcEdit::DropDown() {
    if (PopupShown() || GetReadOnly())
        return;
    DoBeforeDropDown();
    if (calc_ == nullptr)
        calc_ = std::make_unique<TgxPopupCalculator>(this);
    AttachPopup(*calc_);
    calc_->SetFlat(IsFlatStyle());
    calc_->QuickClose = GetQuickClose();
    calc_->setFont(Font().ToQFont());
    calc_->ButtonStyle = GetCalcButtonStyle();
    calc_->ShowButtonFrame = GetShowButtonFrame();
    calc_->Engine().SetPrecision(GetPrecision());
    calc_->Engine().Status = csValid;
    calc_->Engine().PendingOperator = cbEqual;
    calc_->ShowFocusRect = false;
    calc_->LayoutFor(204, 134);
    ShowPopupBelow(*calc_);
}

void TgxInplaceCalcEdit::CloseUp(bool) {
    if (!PopupShown() || calc_ == nullptr)
        return;
    calc_->ClosePopup();
    SetPopupShown(false);
}

void TgxInplaceCalcEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0;
    if (!PopupShown() &&
        (((key == ui::VK_UP || key == ui::VK_DOWN) && alt) || (key == 115 && !alt))) {
        DropDown();
        key = 0;
        return;
    }
    if (PopupShown() && calc_ != nullptr) {
        // Unmapped keys come back as characters (digits, operators).
        calc_->PopupKeyDown(key, shift);
        return;
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

bool TgxInplaceCalcEdit::eventFilter(QObject* watched, QEvent* e) {
    const bool calculating = PopupShown() && calc_ != nullptr;
    const bool consumed = TgxInplaceDropDownEdit::eventFilter(watched, e);
    // While the calculator is open it takes every key: one it has no button for (Shift+Insert
    // after its own paste, arrows, Home) must not edit the display behind its back.
    if (calculating && watched == &LineEdit() && e->type() == QEvent::KeyPress)
        return true;
    return consumed;
}

TgxInplaceEditClass TgxDBTreeListCalcColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListCalcEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListCalcEdit>(parent); }};
}

void TgxDBTreeListCalcColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    beep_on_error_ = true;
    button_style_ = TgxButtonStyle::bsStandard;
    precision_ = 13;
    show_button_frame_ = false;
    quick_close_ = false;
}

void TgxDBTreeListCalcColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListCalcColumn*>(&source)) {
        beep_on_error_ = c->beep_on_error_;
        button_style_ = c->button_style_;
        precision_ = c->precision_;
        show_button_frame_ = c->show_button_frame_;
        quick_close_ = c->quick_close_;
    }
}

TgxDBTreeListCalcColumn* TgxInplaceDBTreeListCalcEdit::Column() const {
    return dynamic_cast<TgxDBTreeListCalcColumn*>(EditorColumn(*this));
}

TgxButtonStyle TgxInplaceDBTreeListCalcEdit::GetCalcButtonStyle() {
    return ColumnSetting(Column(), &TgxDBTreeListCalcColumn::ButtonStyle,
                         TgxButtonStyle::bsStandard);
}

bool TgxInplaceDBTreeListCalcEdit::GetShowButtonFrame() {
    return ColumnSetting(Column(), &TgxDBTreeListCalcColumn::ShowButtonFrame, false);
}

int TgxInplaceDBTreeListCalcEdit::GetPrecision() {
    return ColumnSetting(Column(), &TgxDBTreeListCalcColumn::Precision, 13);
}

bool TgxInplaceDBTreeListCalcEdit::GetQuickClose() {
    return ColumnSetting(Column(), &TgxDBTreeListCalcColumn::QuickClose, false);
}

bool TgxInplaceDBTreeListCalcEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceCalcEdit::GetReadOnly(), Column());
}

TgxPopupBorder TgxInplaceDBTreeListCalcEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListCalcColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListCalcEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

}  // namespace grid
