#pragma once

// Engine error codes, their message texts, the process-wide last engine error and
// the calls that raise a failure. Most of the engine needs only these; the
// exception classes themselves are in engine_error.h, for code that catches them.
//
// A code's high byte is its category: 0x22 navigation, 0x23 corruption,
// 0x24 input and output, 0x25 limits, 0x26 validity of values, 0x27
// definitions and handles, 0x28 locks, 0x29 rights, 0x2A blobs and engine
// state, 0x2B operating system, 0x2E SQL, 0x2F version, 0x30 index
// definition, 0x33 existence, 0x3E language.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace strata {

using EngineErrorCode = std::uint16_t;

inline constexpr EngineErrorCode kErrNone = 0;
inline constexpr EngineErrorCode kErrBeginningOfFile = 8705;
inline constexpr EngineErrorCode kErrEndOfFile = 8706;
inline constexpr EngineErrorCode kErrRecordChanged = 8708;
inline constexpr EngineErrorCode kErrNoCurrentRecord = 8709;
inline constexpr EngineErrorCode kErrRecordNotFound = 8710;
inline constexpr EngineErrorCode kErrEndOfBlob = 8711;
inline constexpr EngineErrorCode kErrHeaderCorrupt = 8961;
inline constexpr EngineErrorCode kErrDataRecordCorrupt = 8962;
inline constexpr EngineErrorCode kErrBlobBlockCorrupt = 8963;
inline constexpr EngineErrorCode kErrIndexPageCorrupt = 8965;
// A repair found the data file without one whole record to bring back.
inline constexpr EngineErrorCode kErrNothingToSave = 8966;
// A repair ran its rounds and verification still found faults.
inline constexpr EngineErrorCode kErrRepairIncomplete = 8967;
inline constexpr EngineErrorCode kErrRead = 9217;
inline constexpr EngineErrorCode kErrWrite = 9218;
inline constexpr EngineErrorCode kErrDeleteTable = 9220;
inline constexpr EngineErrorCode kErrHeaderAccess = 9221;
inline constexpr EngineErrorCode kErrMaxRecordSize = 9477;
inline constexpr EngineErrorCode kErrTableFull = 9479;
inline constexpr EngineErrorCode kErrTooManyFilters = 9482;
inline constexpr EngineErrorCode kErrIndexLimit = 9487;
inline constexpr EngineErrorCode kErrFieldLimit = 9492;
inline constexpr EngineErrorCode kErrTooManyBlobs = 9494;
inline constexpr EngineErrorCode kErrBlobLimit = 9498;
inline constexpr EngineErrorCode kErrDuplicateKey = 9729;
inline constexpr EngineErrorCode kErrBelowMinimum = 9730;
inline constexpr EngineErrorCode kErrAboveMaximum = 9731;
inline constexpr EngineErrorCode kErrRequiredValue = 9732;
inline constexpr EngineErrorCode kErrInvalidField = 9985;
inline constexpr EngineErrorCode kErrPrimaryIndexExists = 9993;
inline constexpr EngineErrorCode kErrInvalidBlobOffset = 9998;
inline constexpr EngineErrorCode kErrInvalidFieldDefinition = 10000;
inline constexpr EngineErrorCode kErrInvalidValidityCheck = 10006;
inline constexpr EngineErrorCode kErrIndexNameMissing = 10010;
inline constexpr EngineErrorCode kErrInvalidPassword = 10015;
inline constexpr EngineErrorCode kErrInvalidIndexName = 10022;
inline constexpr EngineErrorCode kErrInvalidIndexField = 10023;
inline constexpr EngineErrorCode kErrInvalidKeySize = 10026;
inline constexpr EngineErrorCode kErrIndexExists = 10027;
inline constexpr EngineErrorCode kErrInvalidBlobLength = 10029;
inline constexpr EngineErrorCode kErrInvalidBlobHandle = 10030;
inline constexpr EngineErrorCode kErrTableInUse = 10031;
inline constexpr EngineErrorCode kErrInvalidFieldName = 10038;
inline constexpr EngineErrorCode kErrInvalidFilterHandle = 10050;
inline constexpr EngineErrorCode kErrFilter = 10051;
inline constexpr EngineErrorCode kErrPrimaryIndexRemove = 10055;
inline constexpr EngineErrorCode kErrTableLocked = 10241;
inline constexpr EngineErrorCode kErrUnlock = 10242;
inline constexpr EngineErrorCode kErrLockFailure = 10249;
inline constexpr EngineErrorCode kErrNeedExclusive = 10253;
inline constexpr EngineErrorCode kErrRecordLocked = 10258;
inline constexpr EngineErrorCode kErrPasswordRequired = 10498;
inline constexpr EngineErrorCode kErrInvalidBlobField = 10753;
inline constexpr EngineErrorCode kErrEngineNotInitialized = 10758;
inline constexpr EngineErrorCode kErrInvalidPath = 11010;
inline constexpr EngineErrorCode kErrTooManyFiles = 11012;
inline constexpr EngineErrorCode kErrAccessDenied = 11013;
inline constexpr EngineErrorCode kErrInvalidHandle = 11014;
inline constexpr EngineErrorCode kErrOutOfMemory = 11016;
inline constexpr EngineErrorCode kErrInvalidMemoryLength = 11017;
inline constexpr EngineErrorCode kErrDeviceAccess = 11023;
inline constexpr EngineErrorCode kErrTableMoved = 11025;
inline constexpr EngineErrorCode kErrUnknownOs = 11047;
inline constexpr EngineErrorCode kErrSql = 11949;
inline constexpr EngineErrorCode kErrWrongVersion = 12035;
inline constexpr EngineErrorCode kErrInvalidIndexFieldType = 12292;
inline constexpr EngineErrorCode kErrTableExists = 13060;
inline constexpr EngineErrorCode kErrLanguageNotAvailable = 15878;

// The texts that fill a code's message template.
struct EngineErrorTexts {
    std::string table_name{};
    std::string field_name{};
    std::string index_name{};
    std::string extra{};
    // The operating system's error number behind a failed read or write, 0 when none.
    int os_error = 0;
};

// Longest message text (before "Strata Engine Error # <code> " is put in front).
inline constexpr std::size_t kMaxEngineMessageLength = 254;
// Longest stored name or extra text.
inline constexpr std::size_t kMaxEngineTextLength = 255;

// The message text of `code` filled with `texts`, at most 254 characters. A
// code without a template gives "Unknown error occurred with table '<table>'".
// An operating-system error adds ": <its reason>" at the end; where that would pass the
// limit, the table's path gives up its front, so that the reason is never cut.
std::string FormatEngineErrorMessage(EngineErrorCode code, const EngineErrorTexts& texts);

// Records the failure as the last engine error and raises it. Callers pass
// empty texts where nothing applies; file-layer failures pass the file's name
// as the table name.
[[noreturn]] void RaiseEngineError(EngineErrorCode code, std::string_view table_name = {},
                                   std::string_view field_name = {},
                                   std::string_view index_name = {}, std::string_view extra = {});

// RaiseEngineError for a failure of the file `file_name` that the operating system reported
// with `os_error` (0 when none): its reason ends the message.
[[noreturn]] void RaiseEngineFileError(EngineErrorCode code, std::string_view file_name,
                                       int os_error);

// Raises `code` without names and without touching the last engine error.
[[noreturn]] void RaiseEngineException(EngineErrorCode code);

// Nothing for 0, else RaiseEngineException.
void CheckEngineResult(EngineErrorCode code);

// The process-wide last engine error (under the engine error lock).
void SetLastEngineError(EngineErrorCode code, std::string_view table_name,
                        std::string_view field_name, std::string_view index_name,
                        std::string_view extra);
void ClearLastEngineError();
EngineErrorCode GetLastEngineErrorCode();
// 0 the field name, 1 the table name, 2 the index name; anything else empty.
std::string GetLastEngineErrorText(int which);
// The code's text filled with the names of the last engine error.
std::string GetEngineErrorMessage(EngineErrorCode code);

}  // namespace strata
