#include "engine/core/key_builder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/core/engine_globals.h"
#include "engine/core/record_pool.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/key_encoding.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {
// SORT_STRINGSORT | NORM_IGNORENONSPACE, as every string key comparison uses.
constexpr std::uint32_t kKeyCompareFlags = 4098;

int Sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

int CompareRaw(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return Sign(std::memcmp(a, b, n));
}
}  // namespace

TKeyComparer::TKeyComparer(std::vector<KeySegment> segments, std::uint16_t language,
                           std::uint16_t sort, std::size_t key_size)
    : segments_(std::move(segments)), language_(language), sort_(sort), key_size_(key_size) {
    for (const KeySegment& s : segments_)
        field_bytes_ += s.data_size + 1u;
    if (language_ != 0 &&
        !platform::nls::IsValidLocale(platform::nls::MakeLocaleId(language_, sort_))) {
        RaiseEngineError(kErrLanguageNotAvailable);
    }
}

int TKeyComparer::Compare(const std::uint8_t* a, const std::uint8_t* b, bool with_tail) const {
    // Without a language every segment and the tail compare as plain bytes.
    if (language_ == 0)
        return CompareRaw(a, b, with_tail ? key_size_ : std::min(field_bytes_, key_size_));
    std::size_t p = 0;
    for (const KeySegment& s : segments_) {
        if (p >= key_size_)
            break;
        if (language_ != 0 && s.type == 1) {
            int c = CompareRaw(a + p, b + p, 1);
            if (c != 0)
                return s.descending ? -c : c;
            const std::size_t n = std::min<std::size_t>(s.data_size, key_size_ - p - 1);
            const auto text = [&](const std::uint8_t* k) {
                const char* t = reinterpret_cast<const char*>(k + p + 1);
                return std::string_view(t, strnlen(t, n));
            };
            c = platform::nls::CompareString(platform::nls::MakeLocaleId(language_, sort_),
                                             kKeyCompareFlags, text(a), text(b)) -
                2;
            if (c != 0)
                return s.descending ? -c : c;
            p += n + 1;
            continue;
        }
        const std::size_t n = std::min<std::size_t>(s.data_size + 1u, key_size_ - p);
        const int c = CompareRaw(a + p, b + p, n);
        // Language 0 segments were inverted when built; only a language key
        // reverses here.
        if (c != 0)
            return (language_ != 0 && s.descending) ? -c : c;
        p += n;
    }
    if (with_tail && p < key_size_)
        return CompareRaw(a + p, b + p, key_size_ - p);
    return 0;
}

std::vector<KeySegment> KeySegmentsOf(std::span<const FieldDescriptor> fields,
                                      bool overall_descending) {
    std::vector<KeySegment> segments;
    segments.reserve(fields.size());
    for (const FieldDescriptor& f : fields) {
        segments.push_back(
            {FieldType(f), FieldDataSize(f), (f[fd::kDescending] != 0) != overall_descending});
    }
    return segments;
}

void BuildRecordKey(std::span<const FieldDescriptor> fields, std::span<const std::uint8_t> record,
                    std::span<std::uint8_t> key, bool case_insensitive, bool overall_descending,
                    std::uint16_t language, std::uint16_t sort, bool with_record_id) {
    // Each byte is written once, so the key needs no clearing first: a value fills its
    // segment, a null's bytes and those after the last segment are zeroed here.
    std::size_t p = 0;
    for (const FieldDescriptor& f : fields) {
        const std::size_t size = FieldDataSize(f);
        if (p + size + 1 > key.size())
            RaiseEngineError(kErrInvalidKeySize);
        const bool descending = (f[fd::kDescending] != 0) != overall_descending;
        std::span<std::uint8_t> segment = key.subspan(p, size + 1);
        if (FieldIsAutoInc(f)) {
            // The auto-increment field is the record ID itself and never null.
            segment[0] = 1;
            std::array<std::uint8_t, 4> id{};
            PutU32(id, 0, GetU32(record, 5));
            BuildKeySegment(f, id, segment, case_insensitive, descending, language, sort);
        } else {
            const std::size_t at = FieldOffset(f);
            if (at + 1 + size > record.size())
                RaiseEngineError(kErrInvalidKeySize);
            segment[0] = record[at] != 0 ? 1 : 0;
            if (segment[0] != 0) {
                BuildKeySegment(f, record.subspan(at + 1, size), segment, case_insensitive,
                                descending, language, sort);
            } else {
                std::fill(segment.begin() + 1, segment.end(), std::uint8_t{0});
                if (language == 0 && descending)
                    InvertKeyBytes(segment.first(FieldType(f) == 1 ? size : size + 1));
            }
        }
        p += size + 1;
    }
    std::fill(key.begin() + static_cast<std::ptrdiff_t>(p), key.end(), std::uint8_t{0});
    if (with_record_id) {
        if (p + 4 > key.size())
            RaiseEngineError(kErrInvalidKeySize);
        const auto id = EncodeIntegerKey(static_cast<std::int32_t>(GetU32(record, 5)));
        std::copy(id.begin(), id.end(), key.begin() + static_cast<std::ptrdiff_t>(p));
    }
}

}  // namespace strata
