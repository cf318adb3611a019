#include "engine/core/key_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/table_descriptors.h"
#include "engine/storage/byte_order.h"

namespace strata {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A record of every kind of segment: text (with a null variant), integer,
// small integer, float and the auto-increment field, laid out after the
// record header.
struct Layout {
    std::vector<FieldDescriptor> fields;
    std::size_t record_size = 0;
};

Layout MakeLayout(bool descending_text) {
    Layout layout;
    std::size_t at = 9;
    const auto add = [&](std::uint8_t type, std::uint8_t subtype, std::uint8_t length) {
        FieldDescriptor f = MakeFieldDescriptor(
            static_cast<std::uint16_t>(layout.fields.size() + 1),
            "F" + std::to_string(layout.fields.size()), type, subtype, length, 0);
        PutU16(f, fd::kOffset, static_cast<std::uint16_t>(at));
        at += 1u + FieldDataSize(f);
        layout.fields.push_back(f);
    };
    add(1, 0, 11);
    add(2, 0, 0);
    add(5, 0, 0);
    add(7, 0, 0);
    add(6, kFieldTypeAutoIncSubtype, 0);
    add(1, 0, 5);
    layout.fields[0][fd::kDescending] = descending_text ? 1 : 0;
    layout.fields[2][fd::kDescending] = 1;
    layout.record_size = at;
    return layout;
}

Bytes MakeRecord(const Layout& layout, std::mt19937& random) {
    Bytes record(layout.record_size, 0);
    PutU32(record, 5, random() % 100000);
    for (const FieldDescriptor& f : layout.fields) {
        const std::size_t at = FieldOffset(f);
        // About one value in three is null; its stored bytes are left as noise.
        const bool null = random() % 3 == 0;
        record[at] = null ? 0 : 1;
        for (std::size_t i = 0; i < FieldDataSize(f); ++i)
            record[at + 1 + i] = null ? static_cast<std::uint8_t>(random()) : 0;
        if (null)
            continue;
        if (FieldType(f) == 1) {
            const std::string text = std::string("abcXYZ").substr(0, random() % 7);
            const std::size_t room = FieldDataSize(f) - 1u;
            std::memcpy(&record[at + 1], text.data(), std::min(text.size(), room));
        } else {
            for (std::size_t i = 0; i < FieldDataSize(f); ++i)
                record[at + 1 + i] = static_cast<std::uint8_t>(random());
            if (FieldType(f) == 7)
                record[at + 8] &= 0x3F;  // a finite double
        }
    }
    return record;
}

std::size_t KeyBytes(const Layout& layout) {
    std::size_t n = 0;
    for (const FieldDescriptor& f : layout.fields)
        n += 1u + FieldDataSize(f);
    return n;
}

// The builder writes every byte of the key itself: a buffer full of what an
// earlier, longer key left behind gives exactly the key a cleared one does,
// whatever nulls, directions, case and language the segments have.
TEST(RecordKeys, LeftoverBytesInTheBufferNeverReachTheKey) {
    std::mt19937 random(7);
    for (const bool descending_text : {false, true}) {
        const Layout layout = MakeLayout(descending_text);
        for (const bool overall : {false, true}) {
            for (const bool case_insensitive : {false, true}) {
                for (const std::uint16_t language : {std::uint16_t{0}, std::uint16_t{0x0409}}) {
                    for (const bool with_id : {false, true}) {
                        // Room beyond the segments and the record ID stays zero too.
                        const std::size_t size = KeyBytes(layout) + (with_id ? 4 : 0) + 3;
                        for (int round = 0; round < 40; ++round) {
                            const Bytes record = MakeRecord(layout, random);
                            Bytes cleared(size, 0);
                            BuildRecordKey(layout.fields, record, cleared, case_insensitive,
                                           overall, language, 0, with_id);
                            for (const std::uint8_t noise :
                                 {std::uint8_t{0xFF}, std::uint8_t{0x5A}}) {
                                Bytes reused(size, noise);
                                BuildRecordKey(layout.fields, record, reused, case_insensitive,
                                               overall, language, 0, with_id);
                                ASSERT_EQ(reused, cleared)
                                    << descending_text << overall << case_insensitive << language
                                    << with_id << " round " << round;
                            }
                            ASSERT_EQ(cleared[size - 1], 0);
                        }
                    }
                }
            }
        }
    }
}

// A null segment is zeros (inverted when descending without a language), not
// the noise its record holds where the value would stand.
TEST(RecordKeys, NullSegmentsIgnoreTheBytesStoredForThem) {
    const Layout layout = MakeLayout(false);
    Bytes record(layout.record_size, 0x77);
    PutU32(record, 5, 9);
    for (const FieldDescriptor& f : layout.fields)
        record[FieldOffset(f)] = 0;
    const std::span<const FieldDescriptor> text(layout.fields.data(), 1);
    Bytes key(1 + FieldDataSize(layout.fields[0]), 0xAB);
    BuildRecordKey(text, record, key, false, false, 0, 0, false);
    EXPECT_EQ(key, Bytes(key.size(), 0));
    BuildRecordKey(text, record, key, false, true, 0, 0, false);
    // Text inverts all but its last byte, which stays the terminating zero.
    Bytes inverted(key.size(), 0xFF);
    inverted.back() = 0;
    EXPECT_EQ(key, inverted);
}

}  // namespace
}  // namespace strata
