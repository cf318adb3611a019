#pragma once

// What a repair does before it mends a table in place. It keeps the table's
// files aside under a dated name, so that a repair never leaves the user's
// files its only casualty, and it puts sound headers in place of the ones too
// damaged for the header checks to mend: a data header is rebuilt from the
// field descriptors still on disk (or the template's) with its counts taken
// from the records, an index header from the template. The template is a
// sound table of the same structure, typically an empty one just created from
// the program's own definition of the table.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace strata {

class TFileCursor;

// Where files are kept aside: the damaged files of a table started again stay
// beside it as "<base>-damaged-<stamp><ext>"; a repair's copies go to the
// folder "repair-copies" beside the table as "<name>-<stamp><ext>". `base` is
// the table's path without extension, the stamp the local date and time as
// yyyymmdd-hhnnss.
inline constexpr char kRepairCopiesFolder[] = "repair-copies";
std::string DamagedBase(std::string_view base);
std::string RepairCopiesBase(std::string_view base);
std::string AsideFileName(std::string_view aside_base, std::string_view stamp,
                          std::string_view ext);
std::string AsideStamp();

// Copies (or, with `move`, moves) every file of the table at `base` that
// exists to its name under `aside_base`; returns the names given. Requires:
// no program holds the files open.
std::vector<std::string> SetTableFilesAside(std::string_view base, std::string_view aside_base,
                                            bool move);
// Copies the files back over the table's (removing a file the table had not
// had); a copy that does not go back stays where it is.
void PutFilesBack(std::string_view base, const std::vector<std::string>& names) noexcept;
// Deletes the files (and their folder, once empty).
void DeleteFilesAside(const std::vector<std::string>& names) noexcept;
// Deletes every repair copy of the table at `base`: once it verifies, the
// copies of earlier repairs that never finished are of no more use either.
void DeleteRepairCopies(std::string_view base) noexcept;
// True when each copy aside still holds what the table's file holds: a
// repair that failed without changing a byte leaves nothing to keep.
bool CopiesUnneeded(std::string_view base, const std::vector<std::string>& names);

class THeaderRescue {
  public:
    // Reads the table's files at `base` (and the template's at
    // `template_base`, when not empty) and decides what to rebuild; writes
    // nothing. Raises 12035 for files of an earlier version, which belong to
    // the upgrade, and kErrNothingToSave when the data header cannot be read
    // and no whole record follows where the descriptors end.
    THeaderRescue(std::string base, bool in_memory, std::string template_base);

    bool HasTemplate() const noexcept { return !template_index_.empty(); }
    // Writes what the constructor decided and reports each mend to the log.
    void Apply(TFileCursor* log);
    // Puts the template's index header (or, without a template, none: the open
    // makes a new one) in place of an index header that does not verify.
    // False when there is nothing to put in its place.
    bool ReplaceIndexHeader(TFileCursor* log);

  private:
    void DecideData();
    void DecideIndex();
    void ReadTemplate();

    std::string base_;
    bool in_memory_;
    std::string template_base_;
    std::vector<std::uint8_t> template_data_;
    std::vector<std::uint8_t> template_index_;
    bool encrypted_ = false;
    bool rebuild_data_ = false;
    bool replace_index_ = false;
    bool index_replaced_ = false;
    bool mark_blob_current_ = false;
    // The rebuilt header and descriptors.
    std::vector<std::uint8_t> data_head_;
};

}  // namespace strata
