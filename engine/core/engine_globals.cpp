#include "engine/core/engine_globals.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "engine/core/index_file.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/key_encoding.h"
#include "engine/storage/storage_library.h"
#include "engine/storage/text_compare.h"

namespace strata {
namespace {

struct EngineState {
    std::mutex lock;
    bool started = false;
    TDataSession* current_session = nullptr;
};

EngineState& State() {
    static EngineState state;
    return state;
}

template <std::size_t N>
void Put(std::span<std::uint8_t> segment, const std::array<std::uint8_t, N>& bytes) {
    std::copy(bytes.begin(), bytes.end(), segment.begin() + 1);
}

}  // namespace

void StartEngine() {
    EngineState& state = State();
    std::lock_guard guard(state.lock);
    if (state.started) {
        return;
    }
    InitializeStorageLibrary();
    state.started = true;
}

void StopEngine() {
    EngineState& state = State();
    std::lock_guard guard(state.lock);
    if (!state.started) {
        return;
    }
    state.current_session = nullptr;
    FinalizeStorageLibrary();
    ReleasePageReserve();
    state.started = false;
}

bool IsEngineStarted() {
    EngineState& state = State();
    std::lock_guard guard(state.lock);
    return state.started;
}

TDataSession* GetEngineSession() {
    EngineState& state = State();
    std::unique_lock guard(state.lock);
    if (!state.started) {
        guard.unlock();
        RaiseEngineError(kErrEngineNotInitialized);
    }
    return state.current_session;
}

void SetCurrentEngineSession(TDataSession* session) {
    EngineState& state = State();
    std::lock_guard guard(state.lock);
    state.current_session = session;
}

std::span<const platform::nls::LanguageInfo> EngineLanguages() {
    return platform::nls::Languages();
}

bool IsLanguageName(std::string_view name) {
    return platform::nls::FindLanguageByName(name) != nullptr;
}

std::uint16_t LanguageIDFromName(std::string_view name) {
    const platform::nls::LanguageInfo* language = platform::nls::FindLanguageByName(name);
    return language == nullptr ? 0 : language->id;
}

bool IsSortOrderName(std::uint16_t language_id, std::string_view name) {
    const auto orders = platform::nls::SortOrders(language_id);
    return std::any_of(orders.begin(), orders.end(), [&](const platform::nls::SortOrderInfo& o) {
        return platform::nls::SameTextAnsi(o.name, name);
    });
}

std::uint16_t SortOrderIDFromName(std::uint16_t language_id, std::string_view name) {
    for (const platform::nls::SortOrderInfo& order : platform::nls::SortOrders(language_id)) {
        if (platform::nls::SameTextAnsi(order.name, name)) {
            return order.id;
        }
    }
    return 0;
}

std::int64_t FieldDataSizeFor(std::uint8_t type, std::int64_t length) {
    switch (type) {
        case 1:
            return length + 1;
        case 2:
        case 6:
        case 10:
        case 13:
            return 4;
        case 3:
        case 7:
        case 8:
        case 11:
            return 8;
        case 4:
        case 5:
        case 12:
            return 2;
        case 14:
            return 10;
        default:
            return length;
    }
}

void SetFieldDataSize(FieldDescriptor& field) {
    const std::int64_t size = FieldDataSizeFor(FieldType(field), FieldLength(field));
    if (size < 0 || size > 0xFF) {
        RaiseEngineError(kErrInvalidFieldDefinition, "", FieldName(field));
    }
    field[fd::kDataSize] = static_cast<std::uint8_t>(size);
}

void SetFieldScale(FieldDescriptor& field) {
    field[fd::kScale] = field[fd::kDecimals];
}

void BuildKeySegment(const FieldDescriptor& field, std::span<const std::uint8_t> value,
                     std::span<std::uint8_t> segment, bool case_insensitive, bool descending,
                     std::uint16_t language_id, std::uint16_t sort_id) {
    const std::size_t data_size = FieldDataSize(field);
    const std::uint8_t type = FieldType(field);
    if (segment.size() < 1 + data_size) {
        RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
    }
    std::span<std::uint8_t> data = segment.subspan(1, data_size);
    if (type == 1) {
        // Never more than data size - 1 bytes, so a value without its zero
        // cannot run on into the next field.
        const std::size_t limit = std::min(value.size(), data_size == 0 ? 0 : data_size - 1);
        const auto* begin = value.data();
        const void* end = limit == 0 ? nullptr : std::memchr(begin, 0, limit);
        const std::size_t length =
            end == nullptr
                ? limit
                : static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - begin);
        std::fill(std::copy(begin, begin + length, data.begin()), data.end(), std::uint8_t{0});
        if (case_insensitive)
            UpperCaseLangInPlace(language_id, sort_id, data.first(length));
        if (descending && language_id == 0 && data_size > 0) {
            InvertKeyBytes(segment.first(data_size));
        }
        return;
    }
    if (value.size() < data_size) {
        RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
    }
    switch (type) {
        case 2:
        case 6:
        case 10:
            if (data_size != 4) {
                RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
            }
            Put(segment, EncodeIntegerKey(static_cast<std::int32_t>(GetU32(value, 0))));
            break;
        case 5:
            if (data_size != 2) {
                RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
            }
            Put(segment, EncodeSmallIntKey(static_cast<std::int16_t>(GetU16(value, 0))));
            break;
        case 4:
        case 12:
            if (data_size != 2) {
                RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
            }
            Put(segment, EncodeWordKey(GetU16(value, 0)));
            break;
        case 7:
        case 11:
            if (data_size != 8) {
                RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
            }
            Put(segment, EncodeFloatKey(GetF64(value, 0)));
            break;
        case 8:
            if (data_size != 8) {
                RaiseEngineError(kErrInvalidKeySize, "", FieldName(field));
            }
            Put(segment, EncodeInt64Key(static_cast<std::int64_t>(GetU64(value, 0))));
            break;
        default:
            std::copy(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(data_size),
                      data.begin());
            break;
    }
    if (descending && language_id == 0) {
        InvertKeyBytes(segment.first(1 + data_size));
    }
}

}  // namespace strata
