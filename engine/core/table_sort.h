#pragma once

// TTableSort: the work behind TDataFile::SortRecords. It rewrites a data file
// with its live records in key order: a table that fits one run is sorted in
// memory; a larger one is cut into sorted runs in temporary ".TMP" files that
// are merged and always deleted, also on failure.
//
// Run file: the run's records, whole record images (scrambled like the data
// file's), in key order, written with one write.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/core/data_file.h"
#include "engine/core/key_builder.h"

namespace strata {

class TTableSort {
  public:
    struct Options {
        bool descending = false;
        bool case_insensitive = false;
        bool unique = false;
        bool group = false;
        const TDataFile::MergeCallback* merge = nullptr;
        bool finish = false;
        const TDataFile::RecordCallback* on_finish = nullptr;
        bool accept = false;
        const TDataFile::AcceptCallback* on_accept = nullptr;
    };

    TTableSort(TDataFile& file, std::span<const FieldDescriptor> key_fields, Options options);
    ~TTableSort();
    TTableSort(const TTableSort&) = delete;
    TTableSort& operator=(const TTableSort&) = delete;

    void Run();

    // Records per run for a record size.
    static std::uint32_t RunSize(std::uint32_t record_size);
    // The run files made by the last sort in this process (all deleted by now).
    static std::vector<std::string> LastRunNames();

  private:
    struct RunFile;
    class Output;

    void BuildKey(TRecord& record);
    int CompareRecords(const TRecord& a, const TRecord& b, bool with_tail) const;
    // Reads records [first, first + count) into pooled records, live ones only.
    void ReadLive(std::uint32_t first, std::uint32_t count,
                  std::vector<std::unique_ptr<TRecord>>& out);
    void SortRun(std::vector<std::unique_ptr<TRecord>>& run) const;
    // Writes a sorted run to a run file of its own and gives its records back to the pool.
    void WriteRunFile(std::vector<std::unique_ptr<TRecord>>& run);
    void Finish(std::uint32_t output_count);
    void RebuildHiddenIndex();
    void RebuildIndexes();

    TDataFile& file_;
    std::vector<FieldDescriptor> key_fields_;
    Options options_;
    TKeyComparer comparer_;
    std::size_t key_size_ = 0;
    std::vector<std::unique_ptr<RunFile>> runs_;
};

}  // namespace strata
