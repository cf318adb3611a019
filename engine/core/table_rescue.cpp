#include "engine/core/table_rescue.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/core/record_pool.h"
#include "engine/core/table_descriptors.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_verifier.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/scramble.h"
#include "platform/nls/nls.h"
#include "platform/os/file_system.h"

namespace strata {

namespace {

constexpr std::array<const char*, 3> kExtensions = {".DAT", ".IDX", ".BLB"};
constexpr std::uint8_t kBlobType = 3;
// Versions the upgrade reads; a file of one of them is not damaged, only old.
constexpr std::uint8_t kOldestVersion = 1;
constexpr std::uint8_t kNewestOldVersion = 3;
constexpr std::size_t kScanChunk = std::size_t{1} << 20;

bool OldVersion(std::uint8_t version) {
    return version >= kOldestVersion && version <= kNewestOldVersion;
}

class RawFile {
  public:
    RawFile(const std::string& name, bool in_memory) {
        file_.SetName(name);
        file_.SetInMemory(in_memory);
        file_.SetExclusive(true);
    }
    bool Exists() { return file_.FileExists(); }
    void Open() { file_.Open(); }
    std::int64_t Size() { return file_.GetFileSize(); }
    // Up to n bytes from `offset`, fewer where the file ends.
    std::vector<std::uint8_t> Read(std::int64_t offset, std::size_t n) {
        std::vector<std::uint8_t> bytes(n, 0);
        const std::int64_t size = Size();
        if (offset >= size)
            return {};
        bytes.resize(static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(n), size - offset)));
        file_.SeekFile(offset, SeekOrigin::kBegin);
        file_.Read(bytes.data(), bytes.size());
        return bytes;
    }
    void Write(std::int64_t offset, std::span<const std::uint8_t> bytes) {
        file_.SeekFile(offset, SeekOrigin::kBegin);
        file_.Write(bytes.data(), bytes.size());
    }
    void CutAt(std::int64_t offset) {
        file_.SeekFile(offset, SeekOrigin::kBegin);
        file_.Write(std::span<const std::byte>{});
    }
    TFileHandler& Handler() { return file_; }

  private:
    TFileHandler file_;
};

std::vector<std::uint8_t> ReadWhole(const std::string& name, bool in_memory, std::size_t limit) {
    RawFile file(name, in_memory);
    if (!file.Exists())
        return {};
    file.Open();
    return file.Read(0, limit);
}

// A descriptor that can only have been written as field n of a table.
bool PlausibleDescriptor(std::span<const std::uint8_t> d, std::uint32_t n) {
    const std::size_t name_length = d[fd::kName];
    if (GetU16(d, fd::kNumber) != n || d[fd::kType] == 0 || name_length == 0 ||
        name_length > fd::kNameLength)
        return false;
    return ValidNameStart(GetShortString(d, fd::kName, fd::kNameLength));
}

std::uint32_t StoredRecordSize(std::span<const std::uint8_t> descriptors) {
    std::uint32_t size = kRecordHeaderSize;
    for (std::size_t at = 0; at + kFieldDescriptorSize <= descriptors.size();
         at += kFieldDescriptorSize) {
        const auto d = descriptors.subspan(at, kFieldDescriptorSize);
        const bool auto_inc = d[fd::kType] == 6 && d[fd::kSubtype] == kFieldTypeAutoIncSubtype;
        if (!auto_inc && d[fd::kNotStored] == 0)
            size += d[fd::kDataSize] + 1u;
    }
    return size;
}

std::string Stamp(const std::tm& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

bool SameContents(const std::string& a, const std::string& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    if (!first || !second)
        return false;
    std::vector<char> x(kScanChunk);
    std::vector<char> y(kScanChunk);
    while (first && second) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() ||
            !std::equal(x.begin(), x.begin() + first.gcount(), y.begin()))
            return false;
    }
    return first.eof() && second.eof();
}

}  // namespace

std::string AsideStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return Stamp(local);
}

std::string AsideFileName(std::string_view aside_base, std::string_view stamp,
                          std::string_view ext) {
    return std::string(aside_base) + "-" + std::string(stamp) + std::string(ext);
}

std::string DamagedBase(std::string_view base) {
    return std::string(base) + "-damaged";
}

std::string RepairCopiesBase(std::string_view base) {
    const std::filesystem::path path{std::string(base)};
    return (path.parent_path() / kRepairCopiesFolder / path.filename()).string();
}

std::vector<std::string> SetTableFilesAside(std::string_view base, std::string_view aside_base,
                                            bool move) {
    const std::filesystem::path folder =
        std::filesystem::path(std::string(aside_base)).parent_path();
    if (!folder.empty() && !platform::os::DirectoryExists(folder.string())) {
        if (const platform::os::Status made = platform::os::CreateDirectories(folder.string());
            !made.ok())
            RaiseEngineFileError(kErrWrite, folder.string(), made.sys_errno());
    }
    // A second repair within the same second gets a name of its own.
    std::string stamp = AsideStamp();
    for (int n = 2;; ++n) {
        bool taken = false;
        for (const char* ext : kExtensions)
            taken = taken || platform::os::FileExists(AsideFileName(aside_base, stamp, ext));
        if (!taken)
            break;
        stamp = AsideStamp() + "-" + std::to_string(n);
    }
    std::vector<std::string> made;
    try {
        for (const char* ext : kExtensions) {
            const std::string from = platform::os::ResolvePath(std::string(base) + ext);
            if (!platform::os::FileExists(from))
                continue;
            const std::string to = AsideFileName(aside_base, stamp, ext);
            if (move) {
                const platform::os::Status status = platform::os::MoveFile(from, to);
                if (!status.ok())
                    RaiseEngineFileError(kErrAccessDenied, from, status.sys_errno());
            } else {
                std::error_code ec;
                std::filesystem::copy_file(from, to, std::filesystem::copy_options::none, ec);
                if (ec) {
                    // A copy cut short by a full disk is no copy.
                    std::error_code ignored;
                    std::filesystem::remove(to, ignored);
                    RaiseEngineFileError(kErrWrite, to, ec.value());
                }
            }
            made.push_back(to);
        }
    } catch (...) {
        if (!move)
            DeleteFilesAside(made);
        throw;
    }
    return made;
}

void DeleteRepairCopies(std::string_view base) noexcept {
    const std::filesystem::path copies{RepairCopiesBase(base)};
    const std::string prefix = copies.filename().string() + "-";
    std::error_code ec;
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(copies.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        const std::string ext = entry.path().extension().string();
        if (name.size() > prefix.size() &&
            platform::nls::SameTextAnsi(name.substr(0, prefix.size()), prefix) &&
            name[prefix.size()] >= '0' && name[prefix.size()] <= '9' &&
            std::any_of(kExtensions.begin(), kExtensions.end(),
                        [&ext](const char* e) { return platform::nls::SameTextAnsi(ext, e); }))
            found.push_back(entry.path());
    }
    for (const auto& path : found)
        std::filesystem::remove(path, ec);
    // The folder goes with its last copy; one still holding others stays.
    std::filesystem::remove(copies.parent_path(), ec);
}

bool CopiesUnneeded(std::string_view base, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const std::string ext = std::filesystem::path(name).extension().string();
        if (!SameContents(platform::os::ResolvePath(std::string(base) + ext), name))
            return false;
    }
    return true;
}

void PutFilesBack(std::string_view base, const std::vector<std::string>& names) noexcept {
    for (const char* ext : kExtensions) {
        const std::string file = platform::os::ResolvePath(std::string(base) + ext);
        const auto copy = std::find_if(names.begin(), names.end(), [ext](const std::string& n) {
            return platform::nls::SameTextAnsi(std::filesystem::path(n).extension().string(), ext);
        });
        std::error_code ec;
        if (copy == names.end())
            std::filesystem::remove(file, ec);
        else
            std::filesystem::copy_file(*copy, file,
                                       std::filesystem::copy_options::overwrite_existing, ec);
    }
}

void DeleteFilesAside(const std::vector<std::string>& names) noexcept {
    std::error_code ignored;
    for (const std::string& name : names)
        std::filesystem::remove(name, ignored);
    if (!names.empty())
        std::filesystem::remove(std::filesystem::path(names.front()).parent_path(), ignored);
}

THeaderRescue::THeaderRescue(std::string base, bool in_memory, std::string template_base)
    : base_(std::move(base)), in_memory_(in_memory), template_base_(std::move(template_base)) {
    ReadTemplate();
    DecideData();
    DecideIndex();
}

void THeaderRescue::ReadTemplate() {
    if (template_base_.empty())
        return;
    const std::vector<std::uint8_t> head =
        ReadWhole(template_base_ + ".DAT", false, kDataHeaderSize);
    if (head.size() < kDataHeaderSize || head[dh::kVersion] != kTableFileVersion ||
        head[dh::kEncrypted] != 0)
        return;
    const std::size_t end = kDataHeaderSize + kFieldDescriptorSize * GetU16(head, dh::kFieldCount);
    template_data_ = ReadWhole(template_base_ + ".DAT", false, end);
    template_index_ = ReadWhole(template_base_ + ".IDX", false, kIndexHeaderSize);
    if (template_data_.size() != end)
        template_data_.clear();
    if (template_index_.size() != kIndexHeaderSize)
        template_index_.clear();
}

void THeaderRescue::DecideData() {
    RawFile data(base_ + ".DAT", in_memory_);
    if (!data.Exists())
        return;
    data.Open();
    const std::int64_t size = data.Size();
    DataHeader header{};
    const std::vector<std::uint8_t> read = data.Read(0, kDataHeaderSize);
    std::copy(read.begin(), read.end(), header.begin());
    const std::uint8_t version = header[dh::kVersion];
    encrypted_ = header[dh::kEncrypted] != 0;
    if (OldVersion(version))
        RaiseEngineError(kErrWrongVersion, base_);
    const std::uint32_t fields = GetU16(header, dh::kFieldCount);
    const std::int64_t descriptor_end =
        static_cast<std::int64_t>(kDataHeaderSize + kFieldDescriptorSize * std::size_t{fields});
    bool readable = read.size() == kDataHeaderSize && version == kTableFileVersion && fields >= 1 &&
                    fields <= kMaxFieldCount && descriptor_end <= size &&
                    GetU16(header, dh::kRecordSize) >= kRecordHeaderSize;
    // Scrambled descriptors cannot be judged here; the header checks do.
    if (readable && !encrypted_)
        readable = PlausibleDescriptor(data.Read(kDataHeaderSize, kFieldDescriptorSize), 1);
    if (readable && HasTemplate() && !encrypted_) {
        // A header that counts records over a file that holds not one of them: nothing is
        // left of the list, which a repair would turn into an empty one without a word.
        const std::uint32_t record_size = GetU16(header, dh::kRecordSize);
        if (GetU32(header, dh::kNextSlot) > 1 && size - descriptor_end < record_size)
            RaiseEngineError(kErrNothingToSave, base_);
    }
    if (readable || template_data_.empty())
        return;

    encrypted_ = false;
    // The descriptors on disk are what the records were written by; the
    // template's stand in when none is left, or when those left are only the
    // first of the template's own.
    std::vector<std::uint8_t> descriptors;
    std::uint32_t found = 0;
    while (found < kMaxFieldCount) {
        const std::int64_t at =
            static_cast<std::int64_t>(kDataHeaderSize) +
            std::int64_t{found} * static_cast<std::int64_t>(kFieldDescriptorSize);
        const std::vector<std::uint8_t> d = data.Read(at, kFieldDescriptorSize);
        if (d.size() != kFieldDescriptorSize || !PlausibleDescriptor(d, found + 1))
            break;
        descriptors.insert(descriptors.end(), d.begin(), d.end());
        ++found;
    }
    const std::span<const std::uint8_t> model(template_data_);
    const std::uint32_t model_fields = GetU16(model, dh::kFieldCount);
    const auto model_descriptors = model.subspan(kDataHeaderSize);
    bool prefix_of_model = found < model_fields;
    for (std::uint32_t n = 0; prefix_of_model && n < found; ++n) {
        const auto at = std::size_t{n} * kFieldDescriptorSize;
        prefix_of_model = platform::nls::SameTextAnsi(
            GetShortString(descriptors, at + fd::kName, fd::kNameLength),
            GetShortString(model_descriptors, at + fd::kName, fd::kNameLength));
    }
    if (found == 0 || prefix_of_model) {
        descriptors.assign(model_descriptors.begin(), model_descriptors.end());
        found = model_fields;
    }

    const std::uint32_t record_size = StoredRecordSize(descriptors);
    const std::int64_t end = static_cast<std::int64_t>(kDataHeaderSize + descriptors.size());
    const std::int64_t whole = size > end ? (size - end) / record_size : 0;
    if (whole < 1 || record_size > 0xFFFF)
        RaiseEngineError(kErrNothingToSave, base_);

    // The counts come from the records themselves.
    std::vector<std::size_t> blob_offsets;
    for (std::size_t at = 0; at < descriptors.size(); at += kFieldDescriptorSize) {
        if (descriptors[at + fd::kType] == kBlobType)
            blob_offsets.push_back(GetU16(descriptors, at + fd::kOffset));
    }
    std::uint32_t last_id = GetU32(model, dh::kLastAutoInc);
    std::uint32_t last_blob = GetU32(model, dh::kLastBlobNumber);
    const std::size_t per_chunk = std::max<std::size_t>(1, kScanChunk / record_size);
    for (std::int64_t first = 0; first < whole; first += static_cast<std::int64_t>(per_chunk)) {
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(per_chunk), whole - first));
        const std::vector<std::uint8_t> bytes =
            data.Read(end + first * record_size, count * record_size);
        for (std::size_t at = 0; at + record_size <= bytes.size(); at += record_size) {
            const auto record = std::span(bytes).subspan(at, record_size);
            if (record[0] != 0)
                continue;
            last_id = std::max(last_id, std::min(GetU32(record, 5), kMaxAutoIncrement));
            for (const std::size_t offset : blob_offsets) {
                if (offset + 9 <= record_size)
                    last_blob = std::max(last_blob,
                                         std::min(GetU32(record, offset + 5), kMaxAutoIncrement));
            }
        }
    }

    data_head_.assign(model.begin(), model.begin() + kDataHeaderSize);
    const std::span<std::uint8_t> h(data_head_);
    PutU32(h, dh::kChangeCounter, 0);
    PutU32(h, dh::kFirstFree, 0);
    PutU32(h, dh::kNextSlot, static_cast<std::uint64_t>(whole) + 1);
    PutU32(h, dh::kLastAutoInc, last_id);
    PutU16(h, dh::kRecordSize, record_size);
    PutU16(h, dh::kFieldCount, found);
    PutU16(h, dh::kBlobFieldCount, blob_offsets.size());
    PutU32(h, dh::kLastBlobNumber, last_blob);
    h[dh::kHeaderChanged] = 0;
    data_head_.insert(data_head_.end(), descriptors.begin(), descriptors.end());
    rebuild_data_ = true;
}

void THeaderRescue::DecideIndex() {
    RawFile index(base_ + ".IDX", in_memory_);
    if (!index.Exists()) {
        // A lost index file comes back with the definition's indexes.
        replace_index_ = HasTemplate();
        return;
    }
    if (!HasTemplate())
        return;
    index.Open();
    std::vector<std::uint8_t> header = index.Read(0, kIndexHeaderSize);
    if (header.size() == kIndexHeaderSize && encrypted_)
        UnscrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
    const std::uint8_t version = header.size() == kIndexHeaderSize ? header[8] : 0;
    // With the definition at hand, an index header of any other version is
    // rebuilt from it: the records are what counts, and they are all in the
    // data file. A data header rebuilt by another definition leaves the
    // index's definitions nothing to stand on either.
    replace_index_ = rebuild_data_ || header.size() < kIndexHeaderSize ||
                     (version != kTableFileVersion && version != kIndexRepairPending);
    RawFile blob(base_ + ".BLB", in_memory_);
    if (blob.Exists()) {
        blob.Open();
        std::vector<std::uint8_t> blob_header = blob.Read(0, kBlobHeaderSize);
        if (blob_header.size() == kBlobHeaderSize && encrypted_)
            UnscrambleBuffer(blob_header, kTableDataKeyLow, kTableDataKeyHigh);
        // The blob file's repair rebuilds its header from the file's size.
        mark_blob_current_ =
            blob_header.size() == kBlobHeaderSize && blob_header[8] != kTableFileVersion;
    }
}

void THeaderRescue::Apply(TFileCursor* log) {
    if (rebuild_data_) {
        RawFile data(base_ + ".DAT", in_memory_);
        data.Open();
        data.Write(0, data_head_);
        data.Handler().Flush();
        RepairLog(log,
                  "Table header unreadable, rebuilt from the table's definition and its "
                  "records, error fixed");
    }
    if (replace_index_)
        ReplaceIndexHeader(log);
    if (mark_blob_current_) {
        RawFile blob(base_ + ".BLB", in_memory_);
        blob.Open();
        WriteHeaderVersion(blob.Handler(), kBlobHeaderSize, encrypted_, kTableFileVersion);
        RepairLog(log, "BLOB file header unreadable, rebuilt from the file, error fixed");
    }
}

bool THeaderRescue::ReplaceIndexHeader(TFileCursor* log) {
    if (index_replaced_)
        return false;
    index_replaced_ = true;
    RawFile index(base_ + ".IDX", in_memory_);
    if (!index.Exists() && !HasTemplate())
        return false;
    if (!HasTemplate()) {
        // The open makes a new index file, holding no index of the user's.
        index.Handler().DeleteFile();
        RepairLog(log, "Index file header unreadable, index file made anew, error fixed");
        return true;
    }
    if (index.Exists())
        index.Open();
    else
        index.Handler().CreateFile();
    std::vector<std::uint8_t> header = template_index_;
    if (encrypted_)
        ScrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
    index.Write(0, header);
    index.CutAt(static_cast<std::int64_t>(kIndexHeaderSize));
    index.Handler().Flush();
    RepairLog(log,
              "Index file header unreadable, rebuilt from the table's definition, error fixed");
    return true;
}

}  // namespace strata
