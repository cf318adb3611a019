#pragma once

// Keys of records: the sort key of the external sort and the index keys of
// the B-trees share one layout, and one comparison orders them all, so that
// the sort, the cursor and the pages never disagree.
//
// Key layout: per key field one flag byte (0 null, 1 value) and data-size
// bytes of the field's key segment; then, for sort keys and keys of indexes
// that are not unique, the record ID as a 4-byte sortable integer (the tail).
//
// Descending segments are inverted when the key is built for language 0, so
// then every key compares as plain bytes. Under a language the segments are
// stored ascending, strings compare by the language's collation, and the
// comparison reverses descending segments itself.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/table_descriptors.h"

namespace strata {

struct KeySegment {
    std::uint8_t type = 0;
    std::uint16_t data_size = 0;
    bool descending = false;
};

class TKeyComparer {
  public:
    TKeyComparer() = default;
    // 15878 for a language whose collation is not available.
    TKeyComparer(std::vector<KeySegment> segments, std::uint16_t language, std::uint16_t sort,
                 std::size_t key_size);

    // -1, 0 or 1; with_tail also compares the bytes after the fields.
    int Compare(const std::uint8_t* a, const std::uint8_t* b, bool with_tail) const;
    std::size_t KeySize() const noexcept { return key_size_; }
    // Whether whole keys compare as plain bytes (no language collation).
    bool PlainBytes() const noexcept { return language_ == 0; }
    std::size_t FieldBytes() const noexcept { return field_bytes_; }

  private:
    std::vector<KeySegment> segments_;
    std::uint16_t language_ = 0;
    std::uint16_t sort_ = 0;
    std::size_t key_size_ = 0;
    std::size_t field_bytes_ = 0;
};

// Builds the key of one record into `key` (every byte written, whatever it held): the listed
// fields, each with its descending byte (descriptor offset 253) combined
// with the overall flag, then the record ID when `with_record_id` is set.
// Requires: key.size() == sum(data size + 1) (+ 4 with the record ID).
void BuildRecordKey(std::span<const FieldDescriptor> fields, std::span<const std::uint8_t> record,
                    std::span<std::uint8_t> key, bool case_insensitive, bool overall_descending,
                    std::uint16_t language, std::uint16_t sort, bool with_record_id);

// The comparison's view of the same fields.
std::vector<KeySegment> KeySegmentsOf(std::span<const FieldDescriptor> fields,
                                      bool overall_descending);

}  // namespace strata
