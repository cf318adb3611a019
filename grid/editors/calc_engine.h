#pragma once

// The pocket calculator's arithmetic: the shown number, the pending operator with its left
// operand, the memory register and the error state. It holds no window; the shown text is
// read and written through GetText and SetText, which a host overrides to use its own
// display (the calc editor's text).

#include <cstdint>
#include <functional>
#include <string>

namespace grid {

// Button codes; 27 stands for no button.
enum TgxCalcButton : std::uint8_t {
    cbBack,
    cbCancelEntry,
    cbClear,
    cbMemClear,
    cbMemRead,
    cbMemStore,
    cbMemAdd,
    cbNum0,
    cbNum1,
    cbNum2,
    cbNum3,
    cbNum4,
    cbNum5,
    cbNum6,
    cbNum7,
    cbNum8,
    cbNum9,
    cbSign,
    cbDecimal,
    cbDiv,
    cbMul,
    cbSub,
    cbAdd,
    cbSqrt,
    cbPercent,
    cbRev,
    cbEqual,
    cbNone
};
inline constexpr int kCalcButtonCount = 27;

enum class TgxCalcStatus : std::uint8_t { csValid, csEntering, csError };
using enum TgxCalcStatus;

class TgxCalcEngine {
  public:
    explicit TgxCalcEngine(char decimal_separator = '.');
    virtual ~TgxCalcEngine() = default;

    virtual std::string GetText() const { return text_; }
    virtual void SetText(const std::string& text) { text_ = text; }

    void ButtonClick(int code);
    // 0 in the error state; otherwise the shown text as a number (empty counts as "0").
    // A text that is no number raises db::EConvertError.
    long double GetDisplayValue() const;
    void SetDisplayValue(long double value);
    // The clipboard text as a number: thousand separators removed; no number shows 0.
    void PasteText(const std::string& text, char thousand_separator = ',');

    long double Memory = 0;
    int PendingOperator = cbEqual;
    long double Operand = 0;
    TgxCalcStatus Status = csValid;
    bool BeepOnError = true;
    int Precision() const { return precision_ < 2 ? 2 : precision_; }
    void SetPrecision(int value) { precision_ = value; }
    char DecimalSeparator() const { return decimal_; }
    // MC and MR are grayed exactly while the memory holds 0.
    bool MemoryGrayed() const { return Memory == 0; }

    std::function<void()> OnDisplayChange;
    std::function<void(int& code)> OnButtonClick;
    std::function<void()> OnError;
    std::function<void()> OnResult;
    std::function<void()> OnMemoryChange;
    std::function<void()> OnBeep;

    // The button a key (virtual key with Ctrl) or a typed character stands for; cbNone when
    // none.
    static int ButtonForKey(std::uint16_t key, bool ctrl);
    int ButtonForChar(char32_t ch) const;

    static const char* Caption(int code);

  private:
    void BeginEntry();
    void EnterError();
    void Beep();
    void MemoryChanged();
    std::string text_ = "0";
    int precision_ = 13;
    char decimal_;
};

}  // namespace grid
