#include "grid/export/grid_export.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <unordered_set>

#include "grid/data/db_grid.h"
#include "grid/export/export_excel.h"
#include "grid/export/export_html.h"
#include "platform/db/exception.h"
#include "platform/db/stream.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

namespace grid {
namespace {

// A write-only stream into a replacement of the target file, buffered because the
// writers put out many small records.
class ReplacementStream : public db::TStream {
  public:
    explicit ReplacementStream(std::string_view file_name)
        : file_name_(file_name), path_(platform::os::ResolvePath(file_name)) {
        platform::os::ReplaceOptions options;
        options.new_file_mode = 0644;
        if (const auto error = file_.Open(path_, options))
            Fail("Cannot create file \"", error);
        buffer_.reserve(kBufferSize);
    }

    std::int64_t Read(std::span<std::byte>) override { return 0; }
    std::int64_t Write(std::span<const std::byte> data) override {
        // The footer the driver still writes after a failure must not reach a closed file.
        if (failed_)
            throw db::EWriteError("Cannot write file \"" + file_name_ + "\".");
        const auto* bytes = reinterpret_cast<const char*>(data.data());
        if (buffer_.size() + data.size() > kBufferSize)
            Flush();
        if (data.size() >= kBufferSize)
            Put({bytes, data.size()});
        else
            buffer_.append(bytes, data.size());
        written_ += static_cast<std::int64_t>(data.size());
        return static_cast<std::int64_t>(data.size());
    }
    std::int64_t Seek(std::int64_t, db::TSeekOrigin) override { return written_; }

    void Commit() {
        if (failed_)
            throw db::EWriteError("Cannot write file \"" + file_name_ + "\".");
        Flush();
        if (const auto error = file_.Commit())
            Fail("Cannot create file \"", error);
    }

  private:
    static constexpr std::size_t kBufferSize = 1 << 16;

    void Flush() {
        if (!buffer_.empty())
            Put(buffer_);
        buffer_.clear();
    }
    void Put(std::string_view bytes) {
        if (const auto error = file_.Write(bytes))
            Fail("Cannot write file \"", error);
    }
    [[noreturn]] void Fail(std::string_view what, const std::error_code& error) {
        failed_ = true;
        buffer_.clear();
        file_.Discard();
        const std::string message =
            std::string(what) + file_name_ + "\". " + std::strerror(error.value());
        if (what.starts_with("Cannot write"))
            throw db::EWriteError(message);
        throw db::EFCreateError(message);
    }

    std::string file_name_;
    std::string path_;
    platform::os::FileReplacement file_;
    std::string buffer_;
    std::int64_t written_ = 0;
    bool failed_ = false;
};

void AddSubtree(std::vector<TgxTreeListNode*>& list, TgxTreeListNode* node) {
    list.push_back(node);
    if (!node->HasChildren())
        return;
    for (int i = 0; i < node->Count(); ++i)
        AddSubtree(list, node->Items(i));
}

// Tree order: a parent before its children, siblings by index.
int CompareTreeOrder(const TgxTreeListNode* a, const TgxTreeListNode* b) {
    if (a == b)
        return 0;
    if (a->HasAsParent(b))
        return 1;
    if (b->HasAsParent(a))
        return -1;
    int level_a = a->Level(), level_b = b->Level();
    while (level_a > level_b) {
        a = a->Parent();
        --level_a;
    }
    while (level_b > level_a) {
        b = b->Parent();
        --level_b;
    }
    while (a->Parent() != b->Parent()) {
        a = a->Parent();
        b = b->Parent();
    }
    return a->Index() - b->Index();
}

// Puts the grid and its dataset back as they were, also when the export fails.
class ExportState {
  public:
    ExportState(TCustomgxDBGrid& grid, db::TDataSet& dataset)
        : grid_(grid), dataset_(dataset), top_index_(grid.GetTopIndex()) {
        dataset_.DisableControls();
        if (dataset_.Active())
            bookmark_ = dataset_.Bookmark();
    }
    // Requires: called once, before destruction on the success path.
    void Restore() {
        restored_ = true;
        struct Enable {
            db::TDataSet& dataset;
            ~Enable() { dataset.EnableControls(); }
        } enable{dataset_};
        if (dataset_.Active() && !bookmark_.empty())
            dataset_.GotoBookmark(bookmark_);
        grid_.SetTopIndex(top_index_);
    }
    ~ExportState() {
        if (restored_)
            return;
        try {
            Restore();
        } catch (...) {
            // The failure that brought us here is the one to report.
        }
    }
    ExportState(const ExportState&) = delete;
    ExportState& operator=(const ExportState&) = delete;

  private:
    TCustomgxDBGrid& grid_;
    db::TDataSet& dataset_;
    db::TBookmark bookmark_;
    int top_index_;
    bool restored_ = false;
};

template <class Exporter>
void ExportGrid(TCustomgxDBGrid* grid, std::string_view file_name, bool save_all) {
    Exporter exporter;
    exporter.FileName = file_name;
    exporter.Grid = grid;
    exporter.SaveAll = save_all;
    exporter.SaveToFile();
}

}  // namespace

void TgxDBGridExport::Write(std::string_view bytes) {
    Stream->WriteBuffer(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

bool TgxDBGridExport::WalksDataset() const {
    const bool export_all = SaveAll || Grid->GetSelectedCount() == 0;
    return (Grid->IsBufferMode() || Grid->IsPartialLoadMode()) && export_all;
}

void TgxDBGridExport::SaveToFile() {
    ReplacementStream stream(FileName);
    Stream = &stream;
    try {
        WriteToStream();
        stream.Commit();
    } catch (...) {
        Stream = nullptr;
        throw;
    }
    Stream = nullptr;
}

void TgxDBGridExport::WriteToStream() {
    if (Grid == nullptr || Grid->DataSource() == nullptr ||
        Grid->DataSource()->DataSet() == nullptr)
        return;
    db::TDataSet& dataset = *Grid->DataSource()->DataSet();
    const bool export_all = SaveAll || Grid->GetSelectedCount() == 0;
    ExportState state(*Grid, dataset);
    WriteHeader();
    try {
        RowIndex = 0;
        WriteHeaders();
        if (!Grid->IsBufferMode() && !(Grid->IsPartialLoadMode() && export_all)) {
            std::vector<TgxTreeListNode*> nodes;
            CollectNodes(nodes);
            for (TgxTreeListNode* node : nodes) {
                WriteNode(node);
                ++RowIndex;
            }
        } else if (Grid->IsBufferMode() && !export_all) {
            for (int i = 0; i < Grid->GetSelectedCount(); ++i) {
                dataset.GotoBookmark(Grid->GetSelectedBookmark(i));
                WriteNode(nullptr);
                ++RowIndex;
            }
        } else {
            for (dataset.First(); !dataset.Eof(); dataset.Next()) {
                WriteNode(nullptr);
                ++RowIndex;
            }
        }
        WriteSummaryFooter();
    } catch (...) {
        try {
            WriteFooter();
        } catch (...) {
            // The first failure is the one to report.
        }
        throw;
    }
    WriteFooter();
    state.Restore();
}

void TgxDBGridExport::CollectNodes(std::vector<TgxTreeListNode*>& list) const {
    list.clear();
    if (SaveAll || Grid->GetSelectedCount() == 0) {
        for (int i = 0; i < Grid->Count(); ++i)
            AddSubtree(list, Grid->Items(i));
        return;
    }
    std::unordered_set<const TgxTreeListNode*> present;
    for (int i = 0; i < Grid->GetSelectedCount(); ++i) {
        TgxTreeListNode* node = Grid->GetSelectedItem(i);
        if (node == nullptr)
            continue;
        if (present.insert(node).second)
            list.push_back(node);
        for (TgxTreeListNode* up = node->Parent(); up != nullptr; up = up->Parent()) {
            if (!present.insert(up).second)
                break;
            list.push_back(up);
        }
        if (node->HasChildren()) {
            std::vector<TgxTreeListNode*> below;
            for (int c = 0; c < node->Count(); ++c)
                AddSubtree(below, node->Items(c));
            for (TgxTreeListNode* n : below)
                if (present.insert(n).second)
                    list.push_back(n);
        }
    }
    std::sort(list.begin(), list.end(), [](const TgxTreeListNode* a, const TgxTreeListNode* b) {
        return CompareTreeOrder(a, b) < 0;
    });
}

void ExportGridToExcel(TCustomgxDBGrid* grid, std::string_view file_name, bool save_all) {
    ExportGrid<TgxDBGridExportExcel>(grid, file_name, save_all);
}

void ExportGridToHTML(TCustomgxDBGrid* grid, std::string_view file_name, bool save_all) {
    ExportGrid<TgxDBGridExportHTML>(grid, file_name, save_all);
}

}  // namespace grid
