#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grid/editors/calc_engine.h"

namespace grid {
namespace {

// Presses the buttons named by their captions, one per blank-separated word.
std::string Press(TgxCalcEngine& calc, const std::string& keys) {
    std::size_t pos = 0;
    while (pos < keys.size()) {
        std::size_t end = keys.find(' ', pos);
        if (end == std::string::npos)
            end = keys.size();
        std::string word = keys.substr(pos, end - pos);
        for (int code = 0; code < kCalcButtonCount; ++code)
            if (word == TgxCalcEngine::Caption(code)) {
                calc.ButtonClick(code);
                break;
            }
        pos = end + 1;
    }
    return calc.GetText();
}

TEST(CalcEngine, SequencesOfButtons) {
    struct Case {
        const char* keys;
        const char* shown;
    };
    const std::vector<Case> cases = {
        {"1 2 + 3 =", "15"},
        {"1 2 + 3 = =", "15"},
        {"8 / 0 =", "Error"},
        {"8 / 0 = 5", "Error"},
        {"8 / 0 = C", "0"},
        {"8 / 0 = CE 4", "4"},
        {"5 0 + 1 0 %", "5"},
        {"5 0 + 1 0 % =", "55"},
        {"2 0 0 * 5 %", "0.05"},
        {"5 +/- Back", "0"},
        {"7 Back", "0"},
        {"1 2 3 Back", "12"},
        {"4 +/- sqrt", "Error"},
        {"9 sqrt", "3"},
        {"0 1/x", "Error"},
        {"4 1/x", "0.25"},
        {"1 . . 5", "1.5"},
        {"3 - 5 =", "-2"},
        {"2 * 3 + 4 =", "10"},
        {"6 + * 2 =", "12"},
        {"1 0 0 0 0 0 0 0 0 0 0 0 0", "1000000000000"},
        {"1 0 0 0 0 0 0 0 0 0 0 0 0 9", "1000000000000"},
        {"1 / 3 =", "0.3333333333333"},
    };
    for (const Case& c : cases) {
        TgxCalcEngine calc;
        EXPECT_EQ(Press(calc, c.keys), c.shown) << c.keys;
    }
}

TEST(CalcEngine, ErrorsBeepAndOnlyClearLeavesThem) {
    TgxCalcEngine calc;
    int beeps = 0, errors = 0;
    calc.OnBeep = [&] { ++beeps; };
    calc.OnError = [&] { ++errors; };
    Press(calc, "8 / 0 =");
    EXPECT_EQ(calc.Status, csError);
    EXPECT_EQ(beeps, 1);
    Press(calc, "7 + MS");
    EXPECT_EQ(calc.GetText(), "Error");
    EXPECT_EQ(beeps, 4);
    EXPECT_EQ(errors, 4);
    EXPECT_EQ(calc.Memory, 0);
    Press(calc, "C");
    EXPECT_EQ(calc.Status, csValid);
    EXPECT_EQ(calc.GetText(), "0");
}

TEST(CalcEngine, PrecisionLimitsDigitsAndAllowsTheSign) {
    TgxCalcEngine calc;
    int beeps = 0;
    calc.OnBeep = [&] { ++beeps; };
    Press(calc, "1 2 3 4 5 6 7 8 9 1 2 3 4");
    EXPECT_EQ(beeps, 0);
    Press(calc, "5");
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(calc.GetText(), "1234567891234");
    calc.SetText("-123456789123");
    Press(calc, "4");
    EXPECT_EQ(calc.GetText(), "-1234567891234");
    calc.BeepOnError = false;
    Press(calc, "5");
    EXPECT_EQ(beeps, 1);
    calc.SetPrecision(1);
    EXPECT_EQ(calc.Precision(), 2);
}

TEST(CalcEngine, MemoryGraysItsButtonsAtZero) {
    TgxCalcEngine calc;
    int changes = 0;
    calc.OnMemoryChange = [&] { ++changes; };
    EXPECT_TRUE(calc.MemoryGrayed());
    Press(calc, "0 MS");
    EXPECT_TRUE(calc.MemoryGrayed());
    Press(calc, "3 MS");
    EXPECT_FALSE(calc.MemoryGrayed());
    Press(calc, "4 M+ C MR");
    EXPECT_EQ(calc.GetText(), "7");
    EXPECT_EQ(calc.Status, csEntering);
    Press(calc, "MC");
    EXPECT_TRUE(calc.MemoryGrayed());
    EXPECT_EQ(changes, 4);
}

TEST(CalcEngine, ButtonEventMayChangeTheButton) {
    TgxCalcEngine calc;
    calc.OnButtonClick = [](int& code) {
        if (code == cbNum1)
            code = cbNum2;
    };
    int results = 0;
    calc.OnResult = [&] { ++results; };
    EXPECT_EQ(Press(calc, "1 + 1 ="), "4");
    EXPECT_EQ(results, 1);
}

TEST(CalcEngine, PasteAndKeyMapping) {
    TgxCalcEngine calc(',');
    calc.PasteText(" 1.234,5 ", '.');
    EXPECT_EQ(calc.GetText(), "1234,5");
    EXPECT_EQ(calc.Status, csEntering);
    calc.PasteText("abc", '.');
    EXPECT_EQ(calc.GetText(), "0");
    EXPECT_EQ(calc.ButtonForChar(U','), cbDecimal);
    EXPECT_EQ(calc.ButtonForChar(U'.'), cbNone);
    EXPECT_EQ(calc.ButtonForChar(U'@'), cbSqrt);
    EXPECT_EQ(calc.ButtonForChar(8), cbBack);
    EXPECT_EQ(TgxCalcEngine::ButtonForKey('R', false), cbRev);
    EXPECT_EQ(TgxCalcEngine::ButtonForKey('R', true), cbMemRead);
    EXPECT_EQ(TgxCalcEngine::ButtonForKey('C', true), cbNone);
    EXPECT_EQ(TgxCalcEngine::ButtonForKey(46, false), cbCancelEntry);
}

}  // namespace
}  // namespace grid
