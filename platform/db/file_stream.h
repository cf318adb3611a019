#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/stream.h"
#include "platform/os/file.h"

namespace db {

// Open modes of a file stream, as the class library numbers them: an access mode or'ed with
// a share mode, or fmCreate.
using TFileMode = std::uint16_t;
inline constexpr TFileMode fmCreate = 0xFFFF;
inline constexpr TFileMode fmOpenRead = 0x0000;
inline constexpr TFileMode fmOpenWrite = 0x0001;
inline constexpr TFileMode fmOpenReadWrite = 0x0002;
inline constexpr TFileMode fmShareCompat = 0x0000;
inline constexpr TFileMode fmShareExclusive = 0x0010;
inline constexpr TFileMode fmShareDenyWrite = 0x0020;
inline constexpr TFileMode fmShareDenyRead = 0x0030;
inline constexpr TFileMode fmShareDenyNone = 0x0040;

// A stream over a file. fmCreate makes or empties the file; the open modes open an existing
// one, the exclusive and compatible share modes refusing other users, the others sharing with
// readers and writers. Failure to open raises EFOpenError, to create EFCreateError, naming the
// file. Every write is complete or raises EWriteError; `Close` reports a failed flush.
class TFileStream : public TStream {
  public:
    TFileStream(std::string_view file_name, TFileMode mode);
    // Closes quietly; call `Close` to learn of a failure.
    ~TFileStream() override;

    std::int64_t Read(std::span<std::byte> buffer) override;
    std::int64_t Write(std::span<const std::byte> data) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override;
    void SetSize(std::int64_t size) override;

    const std::string& FileName() const { return file_name_; }
    // Flushes to disk and closes; raises EWriteError when either fails. Further use raises.
    void Close();

  private:
    [[noreturn]] void Fail(const platform::os::Status& status, bool writing) const;
    void CheckOpen() const;

    std::string file_name_;
    platform::os::File file_;
    std::int64_t position_ = 0;
    bool written_ = false;
};

}  // namespace db
