#pragma once

// Verification and repair of a whole table through a cursor: the three
// files' headers and structures, then every physical record (its record ID,
// its blob references and, when repairing, its keys in every index, rebuilt
// from scratch). Also the small file helpers the upgrade shares with it.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/cursor_handlers.h"

namespace strata {

class TFileHandler;

// The index header's version byte that earlier repairs and index rebuilds
// left while they ran (the data file's in-progress flag has taken its
// place). The open refuses it (12035); a repair accepts it and rebuilds.
inline constexpr std::uint8_t kIndexRepairPending = 0xFE;

// Requires: the cursor is closed, exclusive (and writable unless verifying),
// with its table name set. Log lines go to `log` (installed on the cursor, so
// the file checks write through it too), progress to `progress`.
// A repair copies the files aside first and keeps the copies when it fails;
// it succeeds only once verification finds nothing (else kErrRepairIncomplete).
// `template_base`, when given, names a sound table of the same structure (its
// path without extension) whose headers stand in for ones too damaged to read
// (see table_rescue.h); kErrNothingToSave when no whole record is left.
void RepairTable(TDataCursor& cursor, bool verify_only, std::uint8_t blob_check,
                 ProgressHandler progress = {}, LogHandler log = {},
                 std::string_view template_base = {});

// The file name of the cursor's table with another extension (".DAT", ...).
std::string TableFilePath(const TDataCursor& cursor, std::string_view extension);

// The current local date and time in the process-wide short date and long
// time formats, for the opening and closing lines of repair and upgrade.
std::string MaintenanceTimeStamp();

// The version byte (offset 8) of a table file's header; headers of index and
// blob files are scrambled as a whole when the table is encrypted.
std::uint8_t ReadHeaderVersion(TFileHandler& file, std::size_t header_size, bool scrambled);
void WriteHeaderVersion(TFileHandler& file, std::size_t header_size, bool scrambled,
                        std::uint8_t version);

}  // namespace strata
