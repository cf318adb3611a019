#include "grid/editors/spin_edit.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

#include <cmath>
#include <limits>

#include "grid/editors/button_edit.h"
#include "platform/db/conversions.h"
#include "platform/db/fields_date_time.h"
#include "platform/db/fields_numeric.h"
#include "platform/ui/application.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"

namespace grid {

namespace {
const db::TDateTime kOneSecond = db::EncodeTime(0, 0, 1, 0);
const db::TDateTime kOneMinute = db::EncodeTime(0, 1, 0, 0);
const db::TDateTime kOneHour = db::EncodeTime(1, 0, 0, 0);
const db::TDateTime kMaxTime = db::EncodeTime(23, 59, 59, 0);

std::string IntegerText(double value) {
    // Rounded only after clamping, and kept inside the 64-bit range before the cast.
    constexpr double kLimit = 9.2e18;
    double r = std::round(value);
    if (!(r == r))
        r = 0;
    r = std::clamp(r, -kLimit, kLimit);
    return std::to_string(static_cast<long long>(r));
}
}  // namespace

double ClampSpinValue(double value, double min, double max) {
    if (min == max)
        return value;
    if (value < min)
        return min;
    if (value > max)
        return max;
    return value;
}

TgxInplaceSpinEdit::TgxInplaceSpinEdit(QWidget* parent)
    : TgxInplaceMaskEdit(parent), timer_(std::make_unique<ui::TTimer>()) {
    timer_->OnTimer = [this] { OnRepeat(); };
}

TgxInplaceSpinEdit::~TgxInplaceSpinEdit() {
    timer_->OnTimer = nullptr;
}

void TgxInplaceSpinEdit::SetCurrentText(const std::string& text) {
    if (Masked)
        SetText(text);
    else
        LineEdit().setText(QString::fromStdString(text));
}

bool TgxInplaceSpinEdit::IsValidChar(char32_t key) {
    if (!GetEditorEnabled())
        return !(key >= 32 || key == 8);
    if (key < 32)
        return true;
    if (key == U'+' || key == U'-' || (key >= U'0' && key <= U'9'))
        return true;
    return value_type_ == 1 && key == static_cast<char32_t>(static_cast<unsigned char>(
                                          db::FormatSettings().DecimalSeparator));
}

double TgxInplaceSpinEdit::GetValue() {
    const std::string text = CurrentText();
    if (value_type_ == 1) {
        double v = 0;
        if (db::TryStrToFloat(text, v, db::FormatSettings()))
            return v;
        return GetMinValue();
    }
    std::int64_t v = 0;
    if (db::TryStrToInt64(text, v))
        return static_cast<double>(v);
    return std::round(GetMinValue());
}

void TgxInplaceSpinEdit::SetValue(double value) {
    value = ClampSpinValue(value, GetMinValue(), GetMaxValue());
    if (value_type_ == 0)
        SetCurrentText(IntegerText(value));
    else
        SetCurrentText(
            db::FloatToStrF(value, db::TFloatFormat::ffGeneral, 15, 0, db::FormatSettings()));
}

void TgxInplaceSpinEdit::SetValueType(int type) {
    if (type == value_type_)
        return;
    value_type_ = type;
    if (!CurrentText().empty())
        SetValue(GetValue());
}

void TgxInplaceSpinEdit::InitEditValue() {
    TgxInplaceMaskEdit::InitEditValue();
    value_type_ = GetValueType();
    resizeEvent(nullptr);
}

bool TgxInplaceSpinEdit::ValidateEdit() {
    if (!TgxInplaceMaskEdit::ValidateEdit())
        return false;
    const std::string text = CurrentText();
    if (text.empty())
        return true;
    // A step falls back to the minimum on a text that is no number; a posted value must not,
    // or "12-3" would be stored as that minimum without a word.
    if (const std::string error = ValueError(text); !error.empty()) {
        // A value the field holds that reads back as no number (beyond the double range) is
        // left as it is while the user has not touched it.
        if (!TgxInplaceMaskEdit::Modified() && !TgxInplaceTextEdit::Modified())
            return true;
        ui::MessageBeep(0);
        ui::ShowException(error);
        return false;
    }
    SetValue(GetValue());
    return true;
}

std::string TgxInplaceSpinEdit::ValueError(const std::string& text) {
    if (value_type_ == 1) {
        double v = 0;
        if (db::TryStrToFloat(text, v, db::FormatSettings()))
            return {};
        return "'" + text + "' is not a valid floating point value";
    }
    std::int64_t v = 0;
    if (db::TryStrToInt64(text, v))
        return {};
    return "'" + text + "' is not a valid integer value";
}

void TgxInplaceSpinEdit::GetButtonRect(ui::Rect& r) {
    r = {0, 0, width(), height()};
    if (GetBorderStyle() == bsSingle)
        r = {1, 1, width() - 1, height() - 1};
    r.left = r.right - (QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent) - 1);
}

bool TgxInplaceSpinEdit::IsButtonAt(ui::Point p) {
    ui::Rect r;
    GetButtonRect(r);
    return r.Contains(p);
}

void TgxInplaceSpinEdit::Step() {
    if (GetReadOnly()) {
        ui::MessageBeep(0);
        return;
    }
    if (!CanModify())
        return;
    if (up_pressed_)
        SetValue(GetValue() + GetIncrement());
    else if (down_pressed_)
        SetValue(GetValue() - GetIncrement());
}

void TgxInplaceSpinEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_DELETE && !GetEditorEnabled()) {
        key = 0;
        return;
    }
    if ((key == ui::VK_UP || key == ui::VK_DOWN) &&
        (!GetUseCtrlIncrement() || (shift & ui::ssCtrl) != 0)) {
        up_pressed_ = key == ui::VK_UP;
        down_pressed_ = key == ui::VK_DOWN;
        update();
        Step();
        key = 0;
        return;
    }
    // Shift+Insert and Shift+Delete paste and cut as Ctrl+V and Ctrl+X do.
    const bool clipboard_edit =
        (key == 'X' && (shift & ui::ssCtrl)) ||
        ((key == ui::VK_INSERT || key == ui::VK_DELETE) && shift == ui::ssShift);
    if (clipboard_edit && (!GetEditorEnabled() || GetReadOnly())) {
        key = 0;
        return;
    }
    TgxInplaceMaskEdit::EditorKeyDown(key, shift);
}

void TgxInplaceSpinEdit::EditorKeyPress(char32_t& key) {
    if ((key == 22 || key == 24) && (!GetEditorEnabled() || GetReadOnly())) {
        key = 0;
        return;
    }
    if (key != 22 && key != 24 && key != 3 && !IsValidChar(key)) {
        key = 0;
        ui::MessageBeep(0);
        return;
    }
    TgxInplaceMaskEdit::EditorKeyPress(key);
}

void TgxInplaceSpinEdit::EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_UP || key == ui::VK_DOWN) {
        up_pressed_ = down_pressed_ = false;
        update();
    }
    TgxInplaceMaskEdit::EditorKeyUp(key, shift);
}

TgxInplaceSpinEdit::Half TgxInplaceSpinEdit::HalfAt(QPoint p) {
    ui::Rect r;
    GetButtonRect(r);
    if (!r.Contains({p.x(), p.y()}))
        return hNone;
    return p.y() <= r.top + r.Height() / 2 ? hUp : hDown;
}

void TgxInplaceSpinEdit::mousePressEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    Half half = HalfAt(p);
    if (e->button() != Qt::LeftButton || half == hNone) {
        TgxInplaceMaskEdit::mousePressEvent(e);
        return;
    }
    grabMouse();
    capturing_ = true;
    tracked_ = half;
    up_pressed_ = half == hUp;
    down_pressed_ = half == hDown;
    update();
    ui::Guarded([this] { Step(); });
    timer_->Start(kSpinFirstRepeat);
}

void TgxInplaceSpinEdit::mouseMoveEvent(QMouseEvent* e) {
    if (!capturing_ || tracked_ == hNone)
        return;
    // Only the half the press began on follows the pointer.
    bool over = HalfAt(e->position().toPoint()) == tracked_;
    bool& flag = tracked_ == hUp ? up_pressed_ : down_pressed_;
    if (flag != over) {
        flag = over;
        update();
    }
}

void TgxInplaceSpinEdit::mouseReleaseEvent(QMouseEvent*) {
    if (capturing_)
        EndTracking();
}

void TgxInplaceSpinEdit::EndTracking() {
    timer_->Stop();
    up_pressed_ = down_pressed_ = false;
    if (capturing_)
        releaseMouse();
    capturing_ = false;
    tracked_ = hNone;
    update();
}

void TgxInplaceSpinEdit::OnRepeat() {
    timer_->Stop();
    if (tracked_ != hNone && capturing_) {
        Step();
        timer_->Start(kSpinRepeat);
    }
}

void TgxInplaceSpinEdit::paintEvent(QPaintEvent* e) {
    TgxInplaceMaskEdit::paintEvent(e);
    QPainter p(this);
    ui::Rect r;
    GetButtonRect(r);
    const int mid = r.top + r.Height() / 2;
    const QPalette pal = QApplication::palette();
    auto draw = [&](QRect b, bool pressed, bool up) {
        p.fillRect(b, pal.color(QPalette::Button));
        p.setPen(pressed ? pal.color(QPalette::Dark) : pal.color(QPalette::Light));
        p.drawLine(b.topLeft(), b.topRight());
        p.drawLine(b.topLeft(), b.bottomLeft());
        p.setPen(pal.color(QPalette::Dark));
        p.drawLine(b.bottomLeft(), b.bottomRight());
        p.drawLine(b.topRight(), b.bottomRight());
        const int cx = b.center().x() + (pressed ? 1 : 0);
        const int cy = b.center().y() + (pressed ? 1 : 0);
        QPolygon arrow =
            up ? QPolygon({QPoint(cx - 3, cy + 1), QPoint(cx + 3, cy + 1), QPoint(cx, cy - 2)})
               : QPolygon({QPoint(cx - 3, cy - 1), QPoint(cx + 3, cy - 1), QPoint(cx, cy + 2)});
        p.setBrush(pal.color(QPalette::ButtonText));
        p.setPen(Qt::NoPen);
        p.drawPolygon(arrow);
    };
    draw(QRect(r.left, r.top, r.Width(), mid - r.top), up_pressed_, true);
    draw(QRect(r.left, mid, r.Width(), r.bottom - mid), down_pressed_, false);
}

void TgxInplaceSpinEdit::resizeEvent(QResizeEvent* e) {
    if (e != nullptr)
        TgxInplaceMaskEdit::resizeEvent(e);
    ui::Rect r;
    GetButtonRect(r);
    QRect g = LineEdit().geometry();
    g.setRight(std::max(g.left(), r.left - 1));
    LineEdit().setGeometry(g);
}

char TgxInplaceTimeEdit::SectionAtCaret() const {
    static const char kSections[] = "HH:NN:SS";
    const std::string text = LineEditConst().text().toStdString();
    int pos = GetSelStart() + 1;
    if (pos > static_cast<int>(text.size()))
        pos = static_cast<int>(text.size());
    pos = std::clamp(pos, 1, 8);
    char c = kSections[pos - 1];
    return c == ':' ? kSections[pos - 2] : c;
}

bool TgxInplaceTimeEdit::IsValidChar(char32_t key) {
    const int pos = GetSelStart();
    const std::string text = CurrentText();
    if (key < U'0' || key > U'9')
        return TgxInplaceSpinEdit::IsValidChar(key) || key > 127 || key == U':';
    if (pos == 0)
        return key <= U'2';
    if (pos == 1 && !text.empty() && text[0] == '2')
        return key <= U'3';
    if (pos == 3 || pos == 6)
        return key <= U'5';
    return true;
}

double TgxInplaceTimeEdit::GetValue() {
    db::TDateTime t;
    if (db::TryStrToTime(LineEditConst().text().toStdString(), t, db::FormatSettings()))
        return t.Value;
    return 0;
}

std::string TgxInplaceTimeEdit::ValueError(const std::string&) {
    // The raw text, zeros and separators as shown, is what GetValue reads.
    const std::string shown = LineEditConst().text().toStdString();
    db::TDateTime t;
    if (db::TryStrToTime(shown, t, db::FormatSettings()))
        return {};
    return "'" + shown + "' is not a valid time";
}

void TgxInplaceTimeEdit::SetValue(double value) {
    if (value < 0 || value > kMaxTime.Value + 1e-9)
        return;
    const char section = SectionAtCaret();
    db::TFormatSettings format = db::FormatSettings();
    format.TimeSeparator = ':';
    SetCurrentText(db::FormatDateTime("hh:nn:ss", db::TDateTime(value), format));
    const int start = section == 'H' ? 1 : (section == 'N' ? 4 : 7);
    LineEdit().setSelection(start, 1);
}

double TgxInplaceTimeEdit::GetIncrement() {
    switch (SectionAtCaret()) {
        case 'H':
            return kOneHour.Value;
        case 'N':
            return kOneMinute.Value;
        default:
            return kOneSecond.Value;
    }
}

void TgxInplaceTimeEdit::InitEditValue() {
    TgxInplaceSpinEdit::InitEditValue();
    SetValueType(1);
}

void TgxInplaceTimeEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_ESCAPE)
        RestoreText();
    TgxInplaceSpinEdit::EditorKeyDown(key, shift);
}

bool TgxInplaceCurrencyEdit::IsValidChar(char32_t key) {
    const char dec = db::FormatSettings().DecimalSeparator;
    const bool allowed = key == U'+' || key == U'-' || (key >= U'0' && key <= U'9') ||
                         key == U'E' || key == U'e' ||
                         key == static_cast<char32_t>(static_cast<unsigned char>(dec));
    if (!allowed)
        return false;
    std::string text = LineEdit().text().toStdString();
    const int start = GetSelStart();
    const int length = GetSelLength();
    text.replace(static_cast<std::size_t>(start), static_cast<std::size_t>(length), 1,
                 static_cast<char>(key));
    if (text == "-")
        return true;
    const std::size_t point = text.find(dec);
    if (point != std::string::npos) {
        std::size_t end = text.find_first_of("Ee", point);
        if (end == std::string::npos)
            end = text.size();
        if (static_cast<int>(end - point - 1) > GetDecimalPlaces())
            return false;
    }
    double v = 0;
    return db::TryStrToFloat(text, v, db::FormatSettings());
}

void TgxInplaceCurrencyEdit::EditorKeyPress(char32_t& key) {
    if (key == U',' || key == U'.') {
        const char32_t separator = static_cast<char32_t>(
            static_cast<unsigned char>(db::FormatSettings().DecimalSeparator));
        if (key != separator) {
            // Typed as the decimal separator, which the key itself is not.
            key = 0;
            if (IsValidChar(separator) && !GetReadOnly() && CanModify())
                LineEdit().insert(QString(QChar(separator)));
            else
                ui::MessageBeep(0);
            return;
        }
    }
    if (key >= 32 && key != 127 && !IsValidChar(key)) {
        key = 0;
        ui::MessageBeep(0);
        return;
    }
    if (key == 22) {
        key = 0;
        PasteNumber();
        return;
    }
    TgxInplaceTextEdit::EditorKeyPress(key);
}

void TgxInplaceCurrencyEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_INSERT && shift == ui::ssShift) {
        key = 0;
        PasteNumber();
        return;
    }
    TgxInplaceTextEdit::EditorKeyDown(key, shift);
}

void TgxInplaceCurrencyEdit::PasteNumber() {
    if (GetReadOnly() || !CanModify()) {
        ui::MessageBeep(0);
        return;
    }
    const QString before = LineEdit().text();
    LineEdit().paste();
    double v = 0;
    if (!db::TryStrToFloat(LineEdit().text().toStdString(), v, db::FormatSettings())) {
        LineEdit().setText(before);
        LineEdit().selectAll();
    }
}

bool TgxInplaceCurrencyEdit::ValidateEdit() {
    if (!TgxInplaceTextEdit::ValidateEdit())
        return false;
    const std::string text = LineEdit().text().toStdString();
    if (text.empty())
        return true;
    double v = 0;
    if (!db::TryStrToFloat(text, v, db::FormatSettings())) {
        ui::MessageBeep(0);
        ui::ShowException("'" + text + "' is not a valid floating point value");
        return false;
    }
    v = ClampSpinValue(v, GetMinValue(), GetMaxValue());
    LineEdit().setText(QString::fromStdString(
        db::FloatToStrF(v, db::TFloatFormat::ffGeneral, 15, 0, db::FormatSettings())));
    return true;
}

double TgxLimitedColumn::FieldLimit(bool max) const {
    db::TField* f = Field();
    if (f == nullptr)
        return 0;
    if (auto* i = dynamic_cast<db::TIntegerField*>(f))
        return static_cast<double>(max ? i->MaxValue() : i->MinValue());
    if (auto* fl = dynamic_cast<db::TFloatField*>(f)) {
        const double v = max ? fl->MaxValue() : fl->MinValue();
        return db::StrToFloat(db::FloatToStrF(v, db::TFloatFormat::ffGeneral, fl->Precision(), 0,
                                              db::FormatSettings()),
                              db::FormatSettings());
    }
    if (auto* b = dynamic_cast<db::TBCDField*>(f))
        return static_cast<double>((max ? b->MaxValue() : b->MinValue()).Raw()) / 10000.0;
    return 0;
}

double TgxLimitedColumn::MinValue() const {
    return (flags_ & 1) ? min_ : FieldLimit(false);
}
double TgxLimitedColumn::MaxValue() const {
    return (flags_ & 2) ? max_ : FieldLimit(true);
}

void TgxLimitedColumn::SetMinValue(double value) {
    if ((flags_ & 1) && value == min_)
        return;
    min_ = value;
    flags_ |= 1;
}

void TgxLimitedColumn::SetMaxValue(double value) {
    if ((flags_ & 2) && value == max_)
        return;
    max_ = value;
    flags_ |= 2;
}

void TgxLimitedColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    min_ = max_ = 0;
    flags_ = 0;
}

void TgxLimitedColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxLimitedColumn*>(&source)) {
        if (c->flags_ & 1)
            SetMinValue(c->min_);
        if (c->flags_ & 2)
            SetMaxValue(c->max_);
    }
}

TgxInplaceEditClass TgxDBTreeListSpinColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListSpinEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListSpinEdit>(parent); }};
}

void TgxDBTreeListSpinColumn::RestoreDefaults() {
    TgxLimitedColumn::RestoreDefaults();
    increment_ = 1.0;
    editor_enabled_ = true;
    use_ctrl_increment_ = false;
}

void TgxDBTreeListSpinColumn::Assign(const db::TPersistent& source) {
    TgxLimitedColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListSpinColumn*>(&source)) {
        increment_ = c->increment_;
        editor_enabled_ = c->editor_enabled_;
        use_ctrl_increment_ = c->use_ctrl_increment_;
    }
}

TgxInplaceEditClass TgxDBTreeListTimeColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListTimeEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListTimeEdit>(parent); }};
}

std::string TgxDBTreeListTimeColumn::GetFieldText(db::TField* field) const {
    if (field != nullptr && !field->IsNull() &&
        (field->DataType() == db::ftTime || field->DataType() == db::ftDateTime)) {
        db::TFormatSettings format = db::FormatSettings();
        format.TimeSeparator = ':';
        return db::FormatDateTime("hh:nn:ss", field->AsDateTime(), format);
    }
    return TgxDBGridColumn::GetFieldText(field);
}

void TgxDBTreeListTimeColumn::SetFieldText(db::TField* field, std::string_view text) const {
    if (field != nullptr && field->DataType() == db::ftDateTime && !text.empty()) {
        const db::TDateTime date =
            field->IsNull() ? db::TDateTime() : db::DateOf(field->AsDateTime());
        field->SetAsDateTime(db::CombineDateTime(date, db::StrToTime(text, db::FormatSettings())));
        return;
    }
    TgxDBGridColumn::SetFieldText(field, text);
}

void TgxDBTreeListTimeColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    use_ctrl_increment_ = false;
}

TgxInplaceEditClass TgxDBTreeListCurrencyColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListCurrencyEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListCurrencyEdit>(parent);
            }};
}

void TgxDBTreeListCurrencyColumn::RestoreDefaults() {
    TgxLimitedColumn::RestoreDefaults();
    decimal_places_ = 2;
}

void TgxDBTreeListCurrencyColumn::Assign(const db::TPersistent& source) {
    TgxLimitedColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListCurrencyColumn*>(&source))
        decimal_places_ = c->decimal_places_;
}

TgxDBTreeListSpinColumn* TgxInplaceDBTreeListSpinEdit::Column() const {
    return dynamic_cast<TgxDBTreeListSpinColumn*>(EditorColumn(*this));
}

bool TgxInplaceDBTreeListSpinEdit::GetEditorEnabled() {
    return ColumnSetting(Column(), &TgxDBTreeListSpinColumn::EditorEnabled, true);
}

int TgxInplaceDBTreeListSpinEdit::GetValueType() {
    auto* c = Column();
    if (c == nullptr || c->Field() == nullptr)
        return 0;
    return dynamic_cast<db::TFloatField*>(c->Field()) != nullptr ||
                   dynamic_cast<db::TBCDField*>(c->Field()) != nullptr
               ? 1
               : 0;
}

double TgxInplaceDBTreeListSpinEdit::GetIncrement() {
    return ColumnSetting(Column(), &TgxDBTreeListSpinColumn::Increment, 1.0);
}

double TgxInplaceDBTreeListSpinEdit::GetMinValue() {
    return ColumnSetting(Column(), &TgxDBTreeListSpinColumn::MinValue, 0.0);
}

double TgxInplaceDBTreeListSpinEdit::GetMaxValue() {
    return ColumnSetting(Column(), &TgxDBTreeListSpinColumn::MaxValue, 0.0);
}

bool TgxInplaceDBTreeListSpinEdit::GetUseCtrlIncrement() {
    return ColumnSetting(Column(), &TgxDBTreeListSpinColumn::UseCtrlIncrement, false);
}

bool TgxInplaceDBTreeListSpinEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceSpinEdit::GetReadOnly(), Column());
}

bool TgxInplaceDBTreeListTimeEdit::GetUseCtrlIncrement() {
    auto* c = dynamic_cast<TgxDBTreeListTimeColumn*>(EditorColumn(*this));
    return c != nullptr && c->UseCtrlIncrement();
}

TgxDBTreeListCurrencyColumn* TgxInplaceDBTreeListCurrencyEdit::Column() const {
    return dynamic_cast<TgxDBTreeListCurrencyColumn*>(EditorColumn(*this));
}

int TgxInplaceDBTreeListCurrencyEdit::GetDecimalPlaces() {
    return static_cast<int>(
        ColumnSetting(Column(), &TgxDBTreeListCurrencyColumn::DecimalPlaces, 2u));
}

double TgxInplaceDBTreeListCurrencyEdit::GetMinValue() {
    return ColumnSetting(Column(), &TgxDBTreeListCurrencyColumn::MinValue, 0.0);
}

double TgxInplaceDBTreeListCurrencyEdit::GetMaxValue() {
    return ColumnSetting(Column(), &TgxDBTreeListCurrencyColumn::MaxValue, 0.0);
}

}  // namespace grid
