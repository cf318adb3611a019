#include <gtest/gtest.h>

#include <string>

#include "platform/nls/nls.h"

namespace platform::nls {
namespace {

constexpr CodePage kAllCodePages[] = {
    CodePage::Thai,   CodePage::CentralEuropean, CodePage::Cyrillic, CodePage::Western,
    CodePage::Greek,  CodePage::Turkish,         CodePage::Hebrew,   CodePage::Arabic,
    CodePage::Baltic, CodePage::Vietnamese};

TEST(CodePage, KnownCharacters) {
    const std::tuple<CodePage, std::uint8_t, char32_t> cases[] = {
        {CodePage::Western, 0x80, U'€'},         {CodePage::Western, 0x9F, U'Ÿ'},
        {CodePage::Western, 0x41, U'A'},         {CodePage::CentralEuropean, 0x8A, U'Š'},
        {CodePage::Cyrillic, 0xC0, U'А'},        {CodePage::Greek, 0xC1, U'Α'},
        {CodePage::Turkish, 0xDD, U'İ'},         {CodePage::Hebrew, 0xE0, U'א'},
        {CodePage::Arabic, 0xC7, U'ا'},          {CodePage::Baltic, 0xE0, U'ą'},
        {CodePage::Vietnamese, 0xD2, U'\u0309'}, {CodePage::Thai, 0xA1, U'ก'},
    };
    for (const auto& [cp, byte, ch] : cases) {
        EXPECT_EQ(ByteToUnicode(cp, byte), std::optional<char32_t>(ch));
        EXPECT_EQ(UnicodeToByte(cp, ch), std::optional<std::uint8_t>(byte));
    }
    EXPECT_EQ(ByteToUnicode(CodePage::Greek, 0xD2), std::nullopt);
    EXPECT_EQ(UnicodeToByte(CodePage::Western, U'Ж'), std::nullopt);
}

TEST(CodePage, EveryDefinedByteRoundTrips) {
    bool every_keeps_ascii = true;
    for (CodePage cp : kAllCodePages) {
        every_keeps_ascii = every_keeps_ascii && KeepsAscii(cp);
        std::string all;
        for (int b = 0; b < 256; ++b) {
            if (ByteToUnicode(cp, static_cast<std::uint8_t>(b)))
                all.push_back(static_cast<char>(b));
        }
        EXPECT_GE(all.size(), 240u) << static_cast<int>(cp);
        const ConversionResult utf8 = BytesToUtf8(cp, all);
        ASSERT_TRUE(utf8.ok());
        const ConversionResult back = Utf8ToBytes(cp, utf8.text);
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back.text, all) << static_cast<int>(cp);
    }
    EXPECT_EQ(EveryPageKeepsAscii(), every_keeps_ascii);
}

TEST(CodePage, UndefinedBytesAndUnmappableCharactersAreReported) {
    const ConversionResult undefined = BytesToUtf8(CodePage::Greek, std::string("ab\xD2", 3));
    EXPECT_EQ(undefined.status, ConversionStatus::Unmappable);
    EXPECT_EQ(undefined.error_offset, 2u);

    const ConversionResult cyrillic = Utf8ToBytes(CodePage::Western, "a\xC3\xA9\xD0\x96z");
    EXPECT_EQ(cyrillic.status, ConversionStatus::Unmappable);
    EXPECT_EQ(cyrillic.error_offset, 3u);
    EXPECT_EQ(cyrillic.unmappable, U'Ж');
    EXPECT_EQ(cyrillic.text, "a\xE9");

    const ConversionResult replaced = Utf8ToBytes(
        CodePage::Western, "a\xD0\x96z", [](char32_t) { return std::optional<std::string>("?"); });
    EXPECT_TRUE(replaced.ok());
    EXPECT_EQ(replaced.text, "a?z");

    const ConversionResult declined =
        Utf8ToBytes(CodePage::Western, "\xF0\x9F\x98\x80",
                    [](char32_t) { return std::optional<std::string>(); });
    EXPECT_EQ(declined.status, ConversionStatus::Unmappable);
    EXPECT_EQ(declined.unmappable, U'\U0001F600');
}

TEST(CodePage, MalformedUtf8IsRejected) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"ab\x80", 2},            // stray continuation byte
        {"a\xC0\x80", 1},         // overlong NUL
        {"\xE0\x80\xAF", 0},      // overlong slash
        {"x\xED\xA0\x80", 1},     // surrogate
        {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
        {"ok\xE2\x82", 2},        // truncated
        {"\xFF", 0},
    };
    for (const auto& [text, offset] : cases) {
        const ConversionResult r = Utf8ToBytes(CodePage::Western, text);
        EXPECT_EQ(r.status, ConversionStatus::InvalidUtf8) << offset;
        EXPECT_EQ(r.error_offset, offset);
    }
}

TEST(CodePage, VietnameseLettersAreWrittenWithCombiningMarks) {
    // "Tiếng Việt": ế is ê + acute, ệ is ê + dot below in Windows-1258.
    const std::string utf8 = "Ti\xE1\xBA\xBFng Vi\xE1\xBB\x87t";
    const ConversionResult bytes = Utf8ToBytes(CodePage::Vietnamese, utf8);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes.text, "Ti\xEA\xECng Vi\xEA\xF2t");
    const ConversionResult back = BytesToUtf8(CodePage::Vietnamese, bytes.text);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.text, utf8);
    // A mark that composes with nothing stays a combining character.
    EXPECT_EQ(BytesToUtf8(CodePage::Vietnamese, "x\xEC").text, "x\xCC\x81");
    // Windows-1252 has no combining marks: no decomposition there.
    EXPECT_EQ(Utf8ToBytes(CodePage::Western, "\xE1\xBB\x87").status, ConversionStatus::Unmappable);
    // Precomposed letters of the code page stay single bytes.
    EXPECT_EQ(Utf8ToBytes(CodePage::Vietnamese, "\xC3\xA0").text, "\xE0");
}

TEST(CodePage, NulBytesPassThrough) {
    using namespace std::string_view_literals;
    EXPECT_EQ(BytesToUtf8(CodePage::Western, "a\0b"sv).text, "a\0b"sv);
    EXPECT_EQ(Utf8ToBytes(CodePage::Western, "a\0b"sv).text, "a\0b"sv);
}

}  // namespace
}  // namespace platform::nls
