#include "engine/core/engine_globals.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/engine_error.h"

namespace strata {
namespace {

using Bytes = std::vector<std::uint8_t>;

FieldDescriptor Field(std::uint8_t type, std::uint8_t length = 0) {
    FieldDescriptor field{};
    field[fd::kType] = type;
    field[fd::kLength] = length;
    field[fd::kName] = 4;
    std::memcpy(&field[fd::kName + 1], "Item", 4);
    SetFieldDataSize(field);
    return field;
}

template <class T>
Bytes LittleEndian(T value) {
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));  // the test machine is little-endian
    return bytes;
}

Bytes Segment(const FieldDescriptor& field, const Bytes& value, bool case_insensitive,
              bool descending, std::uint16_t language = 0, std::uint16_t sort = 0) {
    Bytes segment(1 + FieldDataSize(field), 0xEE);
    segment[0] = 1;
    BuildKeySegment(field, value, segment, case_insensitive, descending, language, sort);
    return segment;
}

TEST(EngineLanguages, NamesLookUpWithoutRegardToCase) {
    const std::pair<const char*, std::uint16_t> cases[] = {
        {"English (USA)", 0x0409},      {"english (usa)", 0x0409},     {"ENGLISH (usa)", 0x0409},
        {"ANSI Standard", 0},           {"Ukranian", 0x0422},          {"Arabic (U.A.E)", 0x3801},
        {"Norwegian (Bokmal)", 0x0414}, {"German (Standard)", 0x0407}, {"Vietnamese", 0x042A},
    };
    for (const auto& [name, id] : cases) {
        EXPECT_TRUE(IsLanguageName(name)) << name;
        EXPECT_EQ(LanguageIDFromName(name), id) << name;
    }
    for (const char* name : {"Klingon", "", "English", "Ukrainian"}) {
        EXPECT_FALSE(IsLanguageName(name)) << name;
        EXPECT_EQ(LanguageIDFromName(name), 0) << name;
    }
    const auto languages = EngineLanguages();
    ASSERT_EQ(languages.size(), 99u);
    EXPECT_EQ(languages[0].name, "ANSI Standard");
    EXPECT_EQ(languages[28].name, "English (USA)");
    EXPECT_EQ(languages[98].name, "Vietnamese");
}

TEST(EngineLanguages, SortOrdersBelongToTheirLanguages) {
    struct Case {
        std::uint16_t language;
        const char* name;
        bool valid;
        std::uint16_t id;
    };
    const Case cases[] = {
        {0x0407, "German Phone Book Order", true, 1},
        {0x0407, "german phone book order", true, 1},
        {0x1407, "German Phone Book Order", true, 1},
        {0x0409, "German Phone Book Order", false, 0},
        {0x0409, "Default Order", true, 0},
        {0x0407, "DEFAULT ORDER", true, 0},
        {0, "default order", true, 0},
        {0x7777, "Default Order", true, 0},
        {0x7777, "German Phone Book Order", false, 0},
        {0x0409, "Phone Book", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.language << " " << c.name);
        EXPECT_EQ(IsSortOrderName(c.language, c.name), c.valid);
        EXPECT_EQ(SortOrderIDFromName(c.language, c.name), c.id);
    }
}

TEST(FieldRoutines, DataSizesFollowTheType) {
    struct Case {
        std::uint8_t type;
        std::uint8_t length;
        std::int64_t size;
    };
    const Case cases[] = {
        {1, 30, 31}, {1, 250, 251}, {2, 0, 4},   {3, 0, 8},      {4, 0, 2},  {5, 0, 2},
        {6, 0, 4},   {7, 0, 8},     {8, 0, 8},   {9, 16, 16},    {10, 0, 4}, {11, 0, 8},
        {12, 0, 2},  {13, 0, 4},    {14, 0, 10}, {15, 100, 100}, {99, 7, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        EXPECT_EQ(FieldDataSizeFor(c.type, c.length), c.size);
        EXPECT_EQ(FieldDataSize(Field(c.type, c.length)), c.size);
    }
    FieldDescriptor too_long{};
    too_long[fd::kType] = 1;
    too_long[fd::kLength] = 255;
    EXPECT_THROW(SetFieldDataSize(too_long), EStrataEngineError);
    FieldDescriptor scaled = Field(8);
    scaled[fd::kDecimals] = 2;
    SetFieldScale(scaled);
    EXPECT_EQ(scaled[fd::kScale], 2);
}

TEST(FieldRoutines, KeySegmentsOfEveryTypeAreByteExact) {
    struct Case {
        const char* what;
        FieldDescriptor field;
        Bytes value;
        bool descending;
        Bytes expected;
    };
    const Case cases[] = {
        {"integer -1",
         Field(6),
         LittleEndian<std::int32_t>(-1),
         false,
         {1, 0x7F, 0xFF, 0xFF, 0xFF}},
        {"integer -1 desc",
         Field(6),
         LittleEndian<std::int32_t>(-1),
         true,
         {0xFE, 0x80, 0x00, 0x00, 0x00}},
        {"date 1", Field(2), LittleEndian<std::int32_t>(1), false, {1, 0x80, 0, 0, 1}},
        {"time 0", Field(10), LittleEndian<std::int32_t>(0), false, {1, 0x80, 0, 0, 0}},
        {"smallint -2", Field(5), LittleEndian<std::int16_t>(-2), false, {1, 0x7F, 0xFE}},
        {"word 65535", Field(12), LittleEndian<std::uint16_t>(65535), false, {1, 0xFF, 0xFF}},
        {"boolean true", Field(4), LittleEndian<std::uint16_t>(1), false, {1, 0x00, 0x01}},
        {"float 0.5",
         Field(7),
         LittleEndian<double>(0.5),
         false,
         {1, 0xBF, 0xE0, 0, 0, 0, 0, 0, 0}},
        {"float -2",
         Field(7),
         LittleEndian<double>(-2.0),
         false,
         {1, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"timestamp 0",
         Field(11),
         LittleEndian<double>(0.0),
         false,
         {1, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {"bcd 12342",
         Field(8),
         LittleEndian<std::int64_t>(12342),
         false,
         {1, 0x80, 0, 0, 0, 0, 0, 0x30, 0x36}},
        {"bytes", Field(9, 3), {0x01, 0x02, 0x03}, false, {1, 0x01, 0x02, 0x03}},
        {"bytes desc", Field(9, 3), {0x01, 0x02, 0x03}, true, {0xFE, 0xFE, 0xFD, 0xFC}},
        {"blob", Field(3), {1, 2, 3, 4, 5, 6, 7, 8}, false, {1, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"string", Field(1, 4), {'a', 'b', 0, 'z', 'z'}, false, {1, 'a', 'b', 0, 0, 0}},
        // The flag and the first data-size bytes; the last byte stays.
        {"string desc",
         Field(1, 4),
         {'a', 'b', 0, 'z', 'z'},
         true,
         {0xFE, 0x9E, 0x9D, 0xFF, 0xFF, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Segment(c.field, c.value, false, c.descending), c.expected);
    }
}

TEST(FieldRoutines, CaseInsensitiveStringsAreUpperCased) {
    EXPECT_EQ(Segment(Field(1, 5), {'a', 'b', 'c', 0}, true, false),
              (Bytes{1, 'A', 'B', 'C', 0, 0, 0}));
    // Windows-1252 letters beyond ASCII, US English rules: é -> É, ß stays.
    EXPECT_EQ(Segment(Field(1, 3), {0xE9, 0xDF, 0}, true, false), (Bytes{1, 0xC9, 0xDF, 0, 0}));
    // A language: the same upper-casing, and descending left to the comparison.
    EXPECT_EQ(Segment(Field(1, 3), {'a', 'b', 0}, true, true, 0x0409), (Bytes{1, 'A', 'B', 0, 0}));
}

TEST(FieldRoutines, StringsNeverRunPastTheirDataSize) {
    // No terminating zero within the value: at most data size - 1 bytes.
    const Bytes unterminated(64, 'x');
    EXPECT_EQ(Segment(Field(1, 3), unterminated, false, false), (Bytes{1, 'x', 'x', 'x', 0}));
    EXPECT_EQ(Segment(Field(1, 3), unterminated, true, false), (Bytes{1, 'X', 'X', 'X', 0}));
    // A value shorter than the field (a short buffer) is read only as far as it goes.
    EXPECT_EQ(Segment(Field(1, 6), {'h', 'i'}, false, false), (Bytes{1, 'h', 'i', 0, 0, 0, 0, 0}));
}

TEST(FieldRoutines, ShortBuffersAreRefused) {
    Bytes small(3);
    EXPECT_THROW(
        BuildKeySegment(Field(6), LittleEndian<std::int32_t>(1), small, false, false, 0, 0),
        EStrataEngineError);
    Bytes segment(5);
    EXPECT_THROW(BuildKeySegment(Field(6), Bytes{1, 2}, segment, false, false, 0, 0),
                 EStrataEngineError);
}

TEST(FieldRoutines, CacheEntriesCompareByNumber) {
    struct Entry {
        std::uint32_t number;
        std::uint32_t Number() const { return number; }
    };
    EXPECT_EQ(CompareCacheEntry(Entry{5}, 7), -1);
    EXPECT_EQ(CompareCacheEntry(Entry{7}, 7), 0);
    EXPECT_EQ(CompareCacheEntry(Entry{0xFFFFFFFF}, 1), 1);  // no wrap through 32 bits
    EXPECT_EQ(CompareCacheEntries(Entry{2}, Entry{1}), 1);
}

TEST(EngineStart, SessionNeedsAStartedEngine) {
    StopEngine();
    EXPECT_FALSE(IsEngineStarted());
    try {
        GetEngineSession();
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.Message(), "Strata Engine Error # 10758 Engine not initialized");
    }
    StartEngine();
    StartEngine();  // once only
    EXPECT_TRUE(IsEngineStarted());
    EXPECT_EQ(GetEngineSession(), nullptr);
    auto* fake = reinterpret_cast<TDataSession*>(0x1000);  // never dereferenced
    SetCurrentEngineSession(fake);
    EXPECT_EQ(GetEngineSession(), fake);
    StopEngine();
    EXPECT_FALSE(IsEngineStarted());
    StartEngine();
    EXPECT_EQ(GetEngineSession(), nullptr);
    StopEngine();
}

}  // namespace
}  // namespace strata
