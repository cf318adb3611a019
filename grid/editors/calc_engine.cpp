#include "grid/editors/calc_engine.h"

#include <cmath>

#include "platform/db/conversions.h"
#include "platform/db/format_settings.h"

namespace grid {

namespace {
std::string Trimmed(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    std::size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool IsOperator(int code) {
    return code == cbDiv || code == cbMul || code == cbSub || code == cbAdd;
}
}  // namespace

TgxCalcEngine::TgxCalcEngine(char decimal_separator) : decimal_(decimal_separator) {}

const char* TgxCalcEngine::Caption(int code) {
    static const char* const kCaptions[kCalcButtonCount] = {
        "Back", "CE", "C", "MC",  "MR", "MS", "M+", "0", "1", "2",    "3", "4",   "5", "6",
        "7",    "8",  "9", "+/-", ".",  "/",  "*",  "-", "+", "sqrt", "%", "1/x", "="};
    return code >= 0 && code < kCalcButtonCount ? kCaptions[code] : "";
}

long double TgxCalcEngine::GetDisplayValue() const {
    if (Status == csError)
        return 0;
    std::string s = Trimmed(GetText());
    if (s.empty())
        s = "0";
    db::TFormatSettings format = db::FormatSettings();
    format.DecimalSeparator = decimal_;
    return db::StrToFloat(s, format);
}

void TgxCalcEngine::SetDisplayValue(long double value) {
    // A result beyond the shown numbers' range would read "INF", which no later key and no
    // cell can take as a number.
    if (!std::isfinite(static_cast<double>(value))) {
        EnterError();
        return;
    }
    db::TFormatSettings format = db::FormatSettings();
    format.DecimalSeparator = decimal_;
    std::string s = db::FloatToStrF(static_cast<double>(value), db::TFloatFormat::ffGeneral,
                                    Precision(), 0, format);
    if (s != GetText()) {
        SetText(s);
        if (OnDisplayChange)
            OnDisplayChange();
    }
}

void TgxCalcEngine::PasteText(const std::string& text, char thousand_separator) {
    std::string s;
    for (char c : text)
        if (c != thousand_separator)
            s += c;
    db::TFormatSettings format = db::FormatSettings();
    format.DecimalSeparator = decimal_;
    double value = 0;
    if (!db::TryStrToFloat(Trimmed(s), value, format))
        value = 0;
    SetDisplayValue(value);
    Status = csEntering;
}

void TgxCalcEngine::Beep() {
    if (BeepOnError && OnBeep)
        OnBeep();
}

void TgxCalcEngine::BeginEntry() {
    if (Status == csValid) {
        Status = csEntering;
        SetText("0");
    }
}

void TgxCalcEngine::EnterError() {
    Status = csError;
    SetText("Error");
    Beep();
    if (OnError)
        OnError();
}

void TgxCalcEngine::MemoryChanged() {
    if (OnMemoryChange)
        OnMemoryChange();
}

void TgxCalcEngine::ButtonClick(int code) {
    if (OnButtonClick)
        OnButtonClick(code);
    if (Status == csError && code != cbCancelEntry && code != cbClear) {
        EnterError();
        return;
    }
    switch (code) {
        case cbDecimal: {
            BeginEntry();
            std::string s = GetText();
            if (s.find(decimal_) == std::string::npos)
                SetText(s + decimal_);
            break;
        }
        case cbBack: {
            BeginEntry();
            std::string s = GetText();
            if (s.size() <= 1 || (s.size() == 2 && s[0] == '-'))
                SetText("0");
            else
                SetText(s.substr(0, s.size() - 1));
            break;
        }
        case cbCancelEntry:
        case cbClear:
            Status = csValid;
            SetDisplayValue(0);
            PendingOperator = cbEqual;
            break;
        case cbMemClear:
            Memory = 0;
            MemoryChanged();
            break;
        case cbMemRead:
            Status = csValid;
            BeginEntry();
            SetDisplayValue(Memory);
            break;
        case cbMemStore:
            Status = csValid;
            Memory = GetDisplayValue();
            MemoryChanged();
            break;
        case cbMemAdd:
            Status = csValid;
            Memory += GetDisplayValue();
            MemoryChanged();
            break;
        case cbSign:
            SetDisplayValue(-GetDisplayValue());
            break;
        case cbSqrt:
        case cbRev: {
            Status = IsOperator(PendingOperator) ? csEntering : csValid;
            long double x = GetDisplayValue();
            if ((code == cbSqrt && x < 0) || (code == cbRev && x == 0))
                EnterError();
            else
                SetDisplayValue(code == cbSqrt ? std::sqrt(x) : 1 / x);
            break;
        }
        case cbDiv:
        case cbMul:
        case cbSub:
        case cbAdd:
        case cbEqual:
            if (Status == csEntering) {
                Status = csValid;
                long double x = GetDisplayValue();
                switch (PendingOperator) {
                    case cbDiv:
                        if (x == 0) {
                            EnterError();
                            return;
                        }
                        SetDisplayValue(Operand / x);
                        break;
                    case cbMul:
                        SetDisplayValue(Operand * x);
                        break;
                    case cbSub:
                        SetDisplayValue(Operand - x);
                        break;
                    case cbAdd:
                        SetDisplayValue(Operand + x);
                        break;
                    default:
                        break;
                }
            }
            PendingOperator = code;
            Operand = GetDisplayValue();
            if (code == cbEqual && OnResult)
                OnResult();
            break;
        case cbPercent:
            // The entered number becomes its percentage; the pending operation waits for "=".
            if (Status == csEntering) {
                long double x = GetDisplayValue();
                if (PendingOperator == cbDiv || PendingOperator == cbMul)
                    x = x / 100;
                else if (PendingOperator == cbSub || PendingOperator == cbAdd)
                    x = Operand * x / 100;
                SetDisplayValue(x);
            }
            if (OnResult)
                OnResult();
            break;
        default:
            if (code >= cbNum0 && code <= cbNum9) {
                BeginEntry();
                std::string s = GetText();
                if (s == "0")
                    s.clear();
                std::size_t limit = static_cast<std::size_t>(Precision()) +
                                    (s.find('-') != std::string::npos ? 1 : 0);
                if (s.size() < limit)
                    SetText(s + static_cast<char>('0' + (code - cbNum0)));
                else
                    Beep();
            }
            break;
    }
}

int TgxCalcEngine::ButtonForKey(std::uint16_t key, bool ctrl) {
    switch (key) {
        case 'L':
            return ctrl ? cbMemClear : cbNone;
        case 13:
            return cbEqual;
        case 27:
            return cbClear;
        case 46:
            return cbCancelEntry;
        case 'C':
            return ctrl ? cbNone : cbClear;
        case 'M':
            return ctrl ? cbMemStore : cbNone;
        case 'P':
            return ctrl ? cbMemAdd : cbNone;
        case 'R':
            return ctrl ? cbMemRead : cbRev;
        case 120:  // F9
            return cbSign;
        default:
            return cbNone;
    }
}

int TgxCalcEngine::ButtonForChar(char32_t ch) const {
    if (ch >= U'0' && ch <= U'9')
        return cbNum0 + static_cast<int>(ch - U'0');
    switch (ch) {
        case U'/':
            return cbDiv;
        case U'*':
            return cbMul;
        case U'-':
            return cbSub;
        case U'+':
            return cbAdd;
        case U'%':
            return cbPercent;
        case U'=':
            return cbEqual;
        case U'@':
            return cbSqrt;
        case 8:
            return cbBack;
        default:
            return ch == static_cast<char32_t>(static_cast<unsigned char>(decimal_)) ? cbDecimal
                                                                                     : cbNone;
    }
}

}  // namespace grid
