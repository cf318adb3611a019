#pragma once

// What both export formats share: the exporter object, the file it writes, the choice of
// rows (loaded nodes, selected bookmarks or the whole dataset) and the order in which the
// format writer is called, with the grid and its dataset restored afterwards.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "grid/core/exceptions.h"

namespace db {
class TStream;
}

namespace grid {

class TCustomgxDBGrid;
class TgxTreeListNode;

// An export the file format cannot hold (too many rows or columns).
class EgxExportError : public db::Exception {
  public:
    using db::Exception::Exception;
};

class TgxDBGridExport {
  public:
    TgxDBGridExport() = default;
    virtual ~TgxDBGridExport() = default;
    TgxDBGridExport(const TgxDBGridExport&) = delete;
    TgxDBGridExport& operator=(const TgxDBGridExport&) = delete;

    std::string FileName;
    TCustomgxDBGrid* Grid = nullptr;
    bool SaveAll = false;
    // The sheet row of the next record; the writers advance it for their own rows.
    std::int32_t RowIndex = 0;
    // Set while SaveToFile or a caller of WriteToStream runs.
    db::TStream* Stream = nullptr;

    virtual void WriteHeader() {}
    virtual void WriteFooter() {}
    virtual void WriteHeaders() {}
    virtual void WriteSummaryFooter() {}
    // node nil: the dataset's current record.
    virtual void WriteNode(TgxTreeListNode* /*node*/) {}
    // Writes the whole file beside FileName and puts it in place only when complete, so a
    // failed export leaves an existing file as it was.
    virtual void SaveToFile();
    // Requires: Stream is set.
    virtual void WriteToStream();

    // The nodes to export in tree order: every node, or the selected ones with their
    // ancestors and descendants, each once.
    void CollectNodes(std::vector<TgxTreeListNode*>& list) const;

  protected:
    void Write(std::string_view bytes);
    // True when the rows come from a walk over the whole dataset rather than from the grid's
    // loaded rows, whose summaries then describe only part of what is written.
    bool WalksDataset() const;
};

void ExportGridToExcel(TCustomgxDBGrid* grid, std::string_view file_name, bool save_all);
void ExportGridToHTML(TCustomgxDBGrid* grid, std::string_view file_name, bool save_all);

}  // namespace grid
