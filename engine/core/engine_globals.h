#pragma once

// The engine core's process-wide state (started flag, current engine
// session), the languages and sort orders a table can be collated by, and
// the field routines the data, index and blob files share: data sizes, key
// segments and cache-entry ordering.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/core/table_descriptors.h"
#include "platform/nls/nls.h"

namespace strata {

class TDataSession;

// Starts the storage library and sets the started flag; nothing when started.
void StartEngine();
// Ends the storage library and clears the started flag; nothing when stopped.
void StopEngine();
bool IsEngineStarted();
// The current engine session; raises 10758 "Engine not initialized" while
// the engine is stopped.
TDataSession* GetEngineSession();
// Makes `session` (owned by its dataset session) the current one.
void SetCurrentEngineSession(TDataSession* session);

// The languages in the engine's order; entry 0 is "ANSI Standard" (id 0).
std::span<const platform::nls::LanguageInfo> EngineLanguages();
// Names compare without regard to case.
bool IsLanguageName(std::string_view name);
// The language's identifier; 0 when the name is not a language.
std::uint16_t LanguageIDFromName(std::string_view name);
// "Default Order" for every language, "German Phone Book Order" also for the
// five German ones; an unknown language has only "Default Order".
bool IsSortOrderName(std::uint16_t language_id, std::string_view name);
// 0 for "Default Order", 1 for "German Phone Book Order"; 0 for anything else.
std::uint16_t SortOrderIDFromName(std::uint16_t language_id, std::string_view name);

// The bytes a value of `type` takes in a record.
std::int64_t FieldDataSizeFor(std::uint8_t type, std::int64_t length);
// Sets the descriptor's data size from its type and length; 10000 (naming
// the field) when the size does not fit the descriptor.
void SetFieldDataSize(FieldDescriptor& field);
void SetFieldScale(FieldDescriptor& field);

// Writes one field's value (its record bytes, `value`) after the flag byte
// of `segment`, which the caller sets. Strings are copied up to their zero
// and at most data size - 1 bytes, the rest zero; case-insensitive strings
// are upper-cased by the language's rules (US English for language 0).
// Descending segments are inverted here only for language 0.
// Requires: segment holds 1 + data size bytes and value data size bytes
// (for a string, at least up to its zero); otherwise 10026.
void BuildKeySegment(const FieldDescriptor& field, std::span<const std::uint8_t> value,
                     std::span<std::uint8_t> segment, bool case_insensitive, bool descending,
                     std::uint16_t language_id, std::uint16_t sort_id);

// The sign of (entry number - wanted) for the record, page and block caches.
template <class Entry>
int CompareCacheEntry(const Entry& entry, std::int64_t wanted) {
    const auto number = static_cast<std::int64_t>(entry.Number());
    return number < wanted ? -1 : (number > wanted ? 1 : 0);
}
// Ascending by number, for sorting.
template <class Entry>
int CompareCacheEntries(const Entry& a, const Entry& b) {
    return CompareCacheEntry(a, static_cast<std::int64_t>(b.Number()));
}

}  // namespace strata
