#include "platform/db/field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/db/code_page_text.h"
#include "platform/db/date_time.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"
#include "platform/db/fields_date_time.h"
#include "platform/db/fields_numeric.h"
#include "platform/db/fields_text.h"
#include "platform/db/format_settings.h"
#include "tests/platform/db/mem_dataset.h"

namespace db {
namespace {

using testing::TMemDataSet;

// One record with a column of every kind, in edit mode, under US English formats.
class FieldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_format_ = FormatSettings();
        FormatSettings() = EnglishFormatSettings();
        ds = MakeComponent<TMemDataSet>(nullptr);
        ds->AddColumn("Text", ftString, 10);
        ds->AddColumn("Small", ftSmallint);
        ds->AddColumn("Int", ftInteger);
        ds->AddColumn("Word", ftWord);
        ds->AddColumn("Big", ftLargeint);
        ds->AddColumn("Flag", ftBoolean);
        ds->AddColumn("Float", ftFloat);
        ds->AddColumn("Money", ftCurrency);
        ds->AddColumn("Dec", ftBCD, 2);
        ds->AddColumn("Day", ftDate);
        ds->AddColumn("Clock", ftTime);
        ds->AddColumn("Stamp", ftDateTime);
        ds->AddColumn("Raw", ftBytes, 4);
        ds->AddColumn("VarRaw", ftVarBytes, 4);
        ds->AddColumn("Notes", ftMemo);
        ds->AddColumn("Data", ftBlob);
        ds->AddColumn("Picture", ftGraphic);
        ds->Open();
        ds->Append();
    }
    void TearDown() override {
        ds.reset();
        FormatSettings() = saved_format_;
    }

    TField* F(const char* name) const { return ds->FieldByName(name); }

    // The native bytes of a field of the record being edited.
    template <class T>
    T Native(const char* name) const {
        T value{};
        std::byte buffer[sizeof(T)] = {};
        EXPECT_TRUE(F(name)->GetData(buffer));
        std::memcpy(&value, buffer, sizeof(T));
        return value;
    }

    TFormatSettings saved_format_;
    ComponentPtr<TMemDataSet> ds;
};

TEST_F(FieldTest, DefaultFieldsHaveTheirTypesAndSizes) {
    struct Case {
        const char* name;
        TFieldType type;
        std::int32_t data_size;
        TAlignment alignment;
    };
    const Case cases[] = {
        {"Text", ftString, 11, taLeftJustify},    {"Small", ftSmallint, 2, taRightJustify},
        {"Int", ftInteger, 4, taRightJustify},    {"Word", ftWord, 2, taRightJustify},
        {"Big", ftLargeint, 8, taRightJustify},   {"Flag", ftBoolean, 2, taLeftJustify},
        {"Float", ftFloat, 8, taRightJustify},    {"Money", ftCurrency, 8, taRightJustify},
        {"Dec", ftBCD, 8, taRightJustify},        {"Day", ftDate, 4, taLeftJustify},
        {"Clock", ftTime, 4, taLeftJustify},      {"Stamp", ftDateTime, 8, taLeftJustify},
        {"Raw", ftBytes, 4, taLeftJustify},       {"VarRaw", ftVarBytes, 6, taLeftJustify},
        {"Notes", ftMemo, 0, taLeftJustify},      {"Data", ftBlob, 0, taLeftJustify},
        {"Picture", ftGraphic, 0, taLeftJustify},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TField* field = F(c.name);
        EXPECT_EQ(field->DataType(), c.type);
        EXPECT_EQ(field->DataSize(), c.data_size);
        EXPECT_EQ(field->Alignment(), c.alignment);
        EXPECT_TRUE(field->IsNull());
        EXPECT_TRUE(field->Value().IsNull());
        EXPECT_EQ(field->FieldNo(), field->Index() + 1);
    }
    EXPECT_EQ(F("Dec")->Size(), 2);
    EXPECT_EQ(F("Text")->DisplayWidth(), 10);
    EXPECT_EQ(F("Text")->DisplayLabel(), "Text");
    F("Text")->SetDisplayLabel("Label");
    EXPECT_EQ(F("Text")->DisplayName(), "Label");
}

TEST_F(FieldTest, TextSetterConvertsOrRaisesAndKeepsTheOldValue) {
    struct Case {
        const char* field;
        const char* good;
        const char* shown;
        const char* bad;
    };
    const Case cases[] = {
        {"Small", "-32768", "-32768", "32768"},
        {"Int", " 42 ", "42", "4x"},
        {"Word", "65535", "65535", "-1"},
        {"Big", "9223372036854775807", "9223372036854775807", "9223372036854775808"},
        {"Float", "1.5", "1.5", "1,5"},
        {"Dec", "12.345", "12.35", "twelve"},
        {"Flag", "true", "True", "maybe"},
        {"Day", "2/3/2001", "2/3/2001", "2/30/2001"},
        {"Clock", "13:45:10", "1:45:10 PM", "25:00"},
        {"Stamp", "2/3/2001 6:00", "2/3/2001 6:00:00 AM", "2/3/2001 x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        TField* field = F(c.field);
        field->SetText(c.good);
        EXPECT_EQ(field->Text(), c.shown);
        EXPECT_THROW(field->SetText(c.bad), Exception);
        EXPECT_EQ(field->Text(), c.shown);
        field->SetText("");
        EXPECT_TRUE(field->IsNull());
    }
}

TEST_F(FieldTest, IntegerRangesAndLimits) {
    auto* small = static_cast<TIntegerField*>(F("Small"));
    EXPECT_THROW(small->SetAsInteger(40000), EDatabaseError);
    EXPECT_THROW(small->SetAsFloat(1e300), EDatabaseError);
    small->SetAsFloat(2.5);
    EXPECT_EQ(small->AsInteger(), 3);  // half away from zero
    small->SetMinValue(1);
    small->SetMaxValue(10);
    try {
        small->SetAsInteger(11);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(),
                     "11 is not a valid value for field 'Small'. The allowed range is 1 to 10");
    }
    small->SetAsInteger(10);
    EXPECT_EQ(small->Value().VarType(), varSmallint);
    EXPECT_EQ(Native<std::int16_t>("Small"), 10);

    F("Int")->SetAsLargeInt(-7);
    EXPECT_EQ(Native<std::int32_t>("Int"), -7);
    EXPECT_THROW(F("Int")->SetAsLargeInt(1LL << 40), EDatabaseError);
    EXPECT_THROW(F("Word")->SetAsInteger(-1), EDatabaseError);
    F("Word")->SetValue(Variant(65535));
    EXPECT_EQ(Native<std::uint16_t>("Word"), 65535);
    F("Big")->SetAsLargeInt(1LL << 40);
    EXPECT_THROW(F("Big")->AsInteger(), EDatabaseError);
    EXPECT_EQ(F("Big")->Value().VarType(), varInt64);
    EXPECT_FALSE(F("Int")->IsValidChar('a'));
    EXPECT_TRUE(F("Int")->IsValidChar('-'));
}

TEST_F(FieldTest, FloatsFormatAndRefuseWhatTheyCannotHold) {
    auto* value = static_cast<TFloatField*>(F("Float"));
    value->SetAsFloat(0.125);
    value->SetDisplayFormat("0.00");
    EXPECT_EQ(value->DisplayText(), "0.13");
    EXPECT_EQ(value->Text(), "0.13");
    value->SetEditFormat("0.000");
    EXPECT_EQ(value->Text(), "0.125");
    EXPECT_THROW(value->SetAsFloat(std::numeric_limits<double>::quiet_NaN()), EDatabaseError);
    value->SetMinValue(-1);
    value->SetMaxValue(1);
    EXPECT_THROW(value->SetAsFloat(1.5), EDatabaseError);
    EXPECT_DOUBLE_EQ(value->AsFloat(), 0.125);
    EXPECT_EQ(value->Value().VarType(), varDouble);

    F("Money")->SetAsFloat(1234.5);
    EXPECT_EQ(F("Money")->DisplayText(), "$1,234.50");
    EXPECT_EQ(F("Money")->Text(), "1234.50");
}

TEST_F(FieldTest, BcdRoundsToItsScaleAndKeepsCurrencyNatively) {
    auto* dec = static_cast<TBCDField*>(F("Dec"));
    dec->SetAsFloat(12.345);
    EXPECT_EQ(dec->AsCurrency(), Currency::FromRaw(123500));
    EXPECT_EQ(Native<std::int64_t>("Dec"), 123500);
    dec->SetAsCurrency(Currency::FromRaw(-123450));
    EXPECT_EQ(dec->AsString(), "-12.35");
    EXPECT_EQ(dec->Value().VarType(), varCurrency);
    EXPECT_THROW(dec->SetAsFloat(1e30), EDatabaseError);
    dec->SetMaxValue(Currency::FromRaw(100000));
    EXPECT_THROW(dec->SetAsInteger(11), EDatabaseError);
    EXPECT_EQ(dec->AsInteger(), -12);
}

TEST_F(FieldTest, DatesAndTimesUseTheEngineEncodings) {
    const TDateTime day = EncodeDate(2001, 2, 3);
    const TTimeStamp stamp = DateTimeToTimeStamp(day);
    F("Day")->SetAsDateTime(day);
    EXPECT_EQ(Native<std::int32_t>("Day"), stamp.Date);
    EXPECT_EQ(Native<std::int32_t>("Day"), 730519);
    EXPECT_EQ(F("Day")->AsDateTime(), day);

    F("Clock")->SetAsDateTime(EncodeTime(0, 0, 1, 5));
    EXPECT_EQ(Native<std::int32_t>("Clock"), 1005);
    F("Stamp")->SetAsDateTime(CombineDateTime(EncodeDate(1, 1, 1), EncodeTime(0, 0, 0, 1)));
    // 0001-01-01 at one millisecond past midnight: day 1 in milliseconds, plus 1.
    EXPECT_DOUBLE_EQ(Native<double>("Stamp"), 86400000.0 + 1);
    F("Stamp")->SetAsDateTime(TDateTime(day.Value + 0.25));
    EXPECT_DOUBLE_EQ(Native<double>("Stamp"), 730519.0 * 86400000.0 + 6 * 3600000.0);
    EXPECT_EQ(F("Stamp")->Value().VarType(), varDate);
    EXPECT_DOUBLE_EQ(F("Stamp")->AsFloat(), day.Value + 0.25);
    EXPECT_THROW(F("Day")->SetAsDateTime(TDateTime(1e9)), EConvertError);

    static_cast<TDateTimeField*>(F("Day"))->SetDisplayFormat("yyyy-mm-dd");
    EXPECT_EQ(F("Day")->DisplayText(), "2001-02-03");
    EXPECT_EQ(F("Day")->Text(), "2/3/2001");
}

TEST_F(FieldTest, StringsCrossTheCodePageBoundary) {
    TField* text = F("Text");
    text->SetAsString("Müller €");
    EXPECT_EQ(text->AsString(), "Müller €");
    ds->Post();
    EXPECT_EQ(ds->StoredText(0, 1), "M\xFCller \x80");
    ds->Edit();

    text->SetAsString("Ωmega");  // Greek letters are not in Windows-1252
    EXPECT_EQ(text->AsString(), "?mega");
    EXPECT_EQ(text->Value().AsString(), "?mega");

    try {
        text->SetAsString("éééééééééé!");  // 11 bytes in the code page
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Value of field 'Text' is too long: 11 characters for a size of 10");
    }
    text->SetAsString("éééééééééé");  // 20 bytes of UTF-8, 10 in the code page
    EXPECT_EQ(text->AsString(), "éééééééééé");
    EXPECT_THROW(text->SetAsString("bad \xC3"), EConvertError);
    EXPECT_THROW(text->SetAsString(std::string("a\0b", 3)), EConvertError);
    EXPECT_THROW(text->SetAsString(std::string("abcdefg\0", 8)), EConvertError);
    EXPECT_THROW(text->SetAsString("abcdefghijk"), EDatabaseError);
    EXPECT_EQ(text->AsString(), "éééééééééé");
    text->SetValue(Variant(std::string("Müller")));
    EXPECT_EQ(text->AsString(), "Müller");

    ds->Cancel();
    ds->Close();
    ds->code_page = platform::nls::CodePage::Cyrillic;
    ds->Open();
    ds->Edit();
    F("Text")->SetAsString("Привет");
    ds->Post();
    EXPECT_EQ(ds->StoredText(0, 1), "\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_EQ(F("Text")->AsString(), "Привет");
}

TEST(CodePageText, LettersThePageLacksAreSpelledPlainElseQuestionMarks) {
    using platform::nls::CodePage;
    // "Łódź": ó is in Windows-1252, Ł and ź are not and lose only their marks.
    EXPECT_EQ(Utf8ToCodePage(CodePage::Western,
                             "\xC5\x81\xC3\xB3"
                             "d\xC5\xBA",
                             "x"),
              "L\xF3"
              "dz");
    // The "fi" ligature becomes two letters; a Han character has no Latin spelling.
    EXPECT_EQ(Utf8ToCodePage(CodePage::Western, "\xEF\xAC\x81x", "x"), "fix");
    EXPECT_EQ(Utf8ToCodePage(CodePage::Western,
                             "a\xE4\xB8\xAD"
                             "b",
                             "x"),
              "a?b");
    // A page that has the letter keeps it.
    EXPECT_EQ(Utf8ToCodePage(CodePage::CentralEuropean, "\xC5\x81", "x"), "\xA3");
    // Base letters with combining marks are the letters the page holds: "e" + U+0301 is é,
    // "A" + U+030A is Å, "z" + U+030C is ž in Central European.
    EXPECT_EQ(Utf8ToCodePage(CodePage::Western, "Jose\xCC\x81 A\xCC\x8A", "x"), "Jos\xE9 \xC5");
    EXPECT_EQ(Utf8ToCodePage(CodePage::CentralEuropean, "z\xCC\x8C", "x"), "\x9E");
    // A mark with no letter to join keeps its old fate.
    EXPECT_EQ(Utf8ToCodePage(CodePage::Western, "\xCC\x81", "x"), "?");
}

TEST(CodePageText, OnlyPlainAsciiIsItsOwnBytes) {
    for (const auto& [text, same] : {std::pair<std::string_view, bool>{"a@x.com", true},
                                     {"", true},
                                     {"j\xC3\xB6rg", false},
                                     {"ok\xFF", false}})
        EXPECT_EQ(SameInCodePage(platform::nls::CodePage::Western, text), same) << text;
}

TEST(CodePageText, UndefinedBytesStayVisibleAndBadUtf8IsRefused) {
    using platform::nls::CodePage;
    // 0xD2 is undefined in Windows-1253: it reads as U+FFFD, the rest is kept.
    EXPECT_EQ(CodePageToUtf8(CodePage::Greek, "a\xD2\xE1"), "a\xEF\xBF\xBD\xCE\xB1");
    EXPECT_EQ(Utf8ToCodePage(CodePage::Greek, "\xCE\xB1\xE2\x82\xAC", "x"), "\xE1\x80");
    EXPECT_EQ(Utf8ToCodePage(CodePage::Western, "\xE4\xB8\xAD", "x"), "?");
    try {
        Utf8ToCodePage(CodePage::Western, "ok\xFF", "field 'A'");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Text for field 'A' is not valid UTF-8 (byte 2)");
    }
}

TEST_F(FieldTest, StringConversionsToOtherTypes) {
    TField* text = F("Text");
    text->SetAsInteger(12);
    EXPECT_EQ(text->AsInteger(), 12);
    text->SetAsBoolean(true);
    EXPECT_TRUE(text->AsBoolean());
    text->SetAsString("x");
    EXPECT_THROW(text->AsInteger(), EConvertError);
    text->SetAsString("");
    EXPECT_TRUE(text->IsNull());
}

TEST_F(FieldTest, BooleansUseTheirDisplayValues) {
    auto* flag = static_cast<TBooleanField*>(F("Flag"));
    flag->SetAsBoolean(true);
    EXPECT_EQ(Native<std::uint16_t>("Flag"), 1);
    EXPECT_EQ(flag->Value().VarType(), varBoolean);
    flag->SetDisplayValues("Yes;No");
    EXPECT_EQ(flag->DisplayText(), "Yes");
    flag->SetText("no");
    EXPECT_FALSE(flag->AsBoolean());
    EXPECT_EQ(flag->DisplayText(), "No");
    EXPECT_THROW(flag->SetDisplayValues(";"), EDatabaseError);
    EXPECT_THROW(flag->AsInteger(), EDatabaseError);
}

TEST_F(FieldTest, ByteFieldsRefuseLongValues) {
    F("Raw")->SetAsString("ab");
    EXPECT_EQ(F("Raw")->AsString(), std::string("ab\0\0", 4));
    F("VarRaw")->SetAsString("abc");
    EXPECT_EQ(F("VarRaw")->AsString(), "abc");
    EXPECT_EQ(F("VarRaw")->Value().AsBytes().size(), 3U);
    EXPECT_THROW(F("VarRaw")->SetAsString("abcde"), EDatabaseError);
    EXPECT_EQ(F("Raw")->DisplayText(), "(Bytes)");
}

TEST_F(FieldTest, BlobDisplayTextShowsWhetherTheBlobHoldsData) {
    struct Case {
        const char* field;
        const char* empty;
        const char* filled;
    };
    const Case cases[] = {
        {"Notes", "(memo)", "(MEMO)"},
        {"Data", "(blob)", "(BLOB)"},
        {"Picture", "(graphic)", "(GRAPHIC)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        auto* blob = static_cast<TBlobField*>(F(c.field));
        EXPECT_TRUE(blob->IsNull());
        EXPECT_EQ(blob->DisplayText(), c.empty);
        blob->SetAsString("content");
        EXPECT_FALSE(blob->IsNull());
        EXPECT_TRUE(blob->Modified());
        EXPECT_EQ(blob->DisplayText(), c.filled);
        EXPECT_EQ(blob->BlobSize(), 7);
    }
    ds->Post();
    EXPECT_FALSE(static_cast<TBlobField*>(F("Notes"))->Modified());
    EXPECT_EQ(F("Data")->AsString(), "content");
    ds->Edit();
    F("Notes")->SetAsString("Grüße\r\nzwei");
    EXPECT_EQ(F("Notes")->AsString(), "Grüße\r\nzwei");
    EXPECT_EQ(F("Notes")->Text(), "Grüße\r\nzwei");
    F("Data")->Clear();
    EXPECT_EQ(F("Data")->DisplayText(), "(blob)");
    ds->Cancel();
    EXPECT_EQ(F("Notes")->AsString(), "content");
    EXPECT_EQ(F("Data")->DisplayText(), "(BLOB)");
    EXPECT_THROW(F("Notes")->SetAsString("browse"), EDatabaseError);
}

TEST_F(FieldTest, ValidateSeesTheNewValueAndCanRefuseIt) {
    TField* value = F("Int");
    value->SetAsInteger(1);
    std::vector<std::int32_t> seen;
    value->OnValidate = [&seen](TField* sender) {
        seen.push_back(sender->AsInteger());
        if (sender->AsInteger() < 0) {
            throw EDatabaseError("negative");
        }
    };
    value->SetAsInteger(5);
    EXPECT_THROW(value->SetAsInteger(-5), EDatabaseError);
    EXPECT_EQ(seen, (std::vector<std::int32_t>{5, -5}));
    EXPECT_EQ(value->AsInteger(), 5);
}

TEST_F(FieldTest, ChangeAndTextEventsRun) {
    TField* text = F("Text");
    int changes = 0;
    text->OnChange = [&changes](TField*) { ++changes; };
    text->OnGetText = [](TField* sender, std::string& out, bool display) {
        out = (display ? "show:" : "edit:") + sender->AsString();
    };
    text->OnSetText = [](TField* sender, std::string_view in) {
        sender->SetAsString(std::string(in) + "!");
    };
    text->SetText("hi");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(text->AsString(), "hi!");
    EXPECT_EQ(text->Text(), "edit:hi!");
    EXPECT_EQ(text->DisplayText(), "show:hi!");
}

TEST_F(FieldTest, ReadOnlyFieldsAndVariantValues) {
    F("Text")->SetReadOnly(true);
    EXPECT_FALSE(F("Text")->CanModify());
    try {
        F("Text")->SetAsString("x");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'Text' cannot be modified");
    }
    F("Int")->SetValue(Variant("17"));
    EXPECT_EQ(F("Int")->AsInteger(), 17);
    F("Int")->SetValue(Variant::Null());
    EXPECT_TRUE(F("Int")->IsNull());
    F("Float")->SetValue(Variant(Currency::FromRaw(25000)));
    EXPECT_DOUBLE_EQ(F("Float")->AsFloat(), 2.5);
    EXPECT_THROW(F("Flag")->AsDateTime(), EDatabaseError);
}

}  // namespace
}  // namespace db
