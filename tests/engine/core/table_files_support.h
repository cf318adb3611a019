#pragma once

// Shared pieces of the table-file tests: a private folder, raw file bytes,
// field lists shaped like the application's tables, and a cursor that
// records the repair log.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/core/table_descriptors.h"
#include "engine/core/table_file_link.h"
#include "engine/storage/byte_order.h"

namespace strata::testing_support {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tables-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Offsets as a well-formed file has them: the auto-increment field at 5, every
// other stored field after the one before.
inline void LayOut(std::vector<FieldDescriptor>& fields) {
    std::uint32_t running = 9;
    for (FieldDescriptor& f : fields) {
        if (FieldIsAutoInc(f)) {
            PutU16(f, fd::kOffset, 5);
        } else {
            PutU16(f, fd::kOffset, running);
            running += FieldDataSize(f) + 1u;
        }
    }
}

// The list table "mailist": Index, Item, Category, Bounces, Comments, Name,
// Salutation, SendRights.
inline std::vector<FieldDescriptor> ListTableFields() {
    std::vector<FieldDescriptor> f = {
        MakeFieldDescriptor(1, "Index", 6, 29),         MakeFieldDescriptor(2, "Item", 1, 0, 80),
        MakeFieldDescriptor(3, "Category", 1, 0, 80),   MakeFieldDescriptor(4, "Bounces", 6),
        MakeFieldDescriptor(5, "Comments", 1, 0, 80),   MakeFieldDescriptor(6, "Name", 1, 0, 50),
        MakeFieldDescriptor(7, "Salutation", 1, 0, 25), MakeFieldDescriptor(8, "SendRights", 4),
    };
    LayOut(f);
    return f;
}

class RecordingCursor : public TFileCursor {
  public:
    bool RecheckTableChanged() override { return false; }
    bool RunningRepair() const override { return repair; }
    void RepairLog(std::string_view text) override { lines.emplace_back(text); }
    std::uint32_t ConsecutiveIndexRecords(std::uint32_t, bool) override { return 0; }

    bool repair = true;
    std::vector<std::string> lines;
};

}  // namespace strata::testing_support
