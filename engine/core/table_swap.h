#pragma once

// Putting finished table files in place of a table's current ones, so that a
// program killed at any moment leaves either the old table or the whole new
// one under the table's name.
//
// The new files wait beside the table under temporary names. A journal
// beside them, "<table>.SWP", names each file's replacement; once it is
// complete on disk the moves run, and whoever opens the table next finishes
// the moves a journal names before touching the files. The journal is held
// exclusively while its moves run, so a second program never runs them at
// the same time.
//
// Journal (text, one value per line; names without a folder for files in the journal's folder,
// whole paths for files in another one):
//   "table files swap"
//   per file: its name, the new file's name (empty: the file goes away),
//             the backup name (empty: the old file is deleted)
//   "end"
// A journal without its last line was cut short while written; no move had
// started, so it is dropped together with the new files it names.

#include <span>
#include <string>
#include <string_view>

namespace strata {

class TDataDirectory;

struct FileReplacement {
    std::string target;  // the table's file, a full path
    std::string staged;  // the new file beside it, or empty to drop the target
    std::string backup;  // where the old file goes, or empty to delete it
};

// Requires: all paths of one replacement set lie in the journal's folder.
// Moves every staged file in place; raises the file layer's error. A failure
// after the journal is written leaves it for the next open to finish.
void ReplaceTableFiles(std::string_view journal_path, std::span<const FileReplacement> files,
                       bool in_memory);

// Moves a table's files on disk to new names under a journal, like
// ReplaceTableFiles, so that a program killed part of the way leaves a
// journal that the next open of the table finishes. A failure part of the
// way moves the files back and removes the journal before it is raised.
// The new names may lie in another folder than the journal (beside the table's
// files), and on another file system, where each move copies and syncs its file
// before the original goes.
// Requires: every staged file exists; the data file comes last, so that the
// table opens under its new name only once its other files are there.
void MoveTableFiles(std::string_view journal_path, std::span<const FileReplacement> files);

// Finishes what a journal at `journal_path` names and removes it; nothing
// when there is none. 11013 while another program runs its moves.
void FinishTableReplacement(std::string_view journal_path);

// Puts the table `temp_name` that was built in `work` in place of the table
// `table_name` of `home`: the old files are deleted, or with `keep_backup`
// kept under the names ".DBK", ".IBK" and ".BBK". The new files move into
// `home` under a temporary name first, so the old table is given up only
// once its successor is there.
void PlaceRebuiltTable(TDataDirectory& home, TDataDirectory& work, std::string_view temp_name,
                       std::string_view table_name, bool keep_backup, bool in_memory);

// The journal path of a table whose files are `base` + ".DAT" etc.
std::string SwapJournalPath(std::string_view base);

}  // namespace strata
