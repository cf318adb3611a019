#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/object.h"

namespace db {

enum TSeekOrigin : std::uint8_t { soBeginning, soCurrent, soEnd };

// A sequence of bytes with a position. `Read` and `Write` answer how much they moved, which
// may be less than asked; `ReadBuffer` and `WriteBuffer` raise EReadError "Stream read error"
// and EWriteError "Stream write error" instead.
class TStream : public TObject {
  public:
    virtual std::int64_t Read(std::span<std::byte> buffer) = 0;
    virtual std::int64_t Write(std::span<const std::byte> data) = 0;
    // Answers the new position.
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, soBeginning); }
    virtual std::int64_t Size();
    // Streams that cannot change their size ignore this.
    virtual void SetSize(std::int64_t /*size*/) {}

    void ReadBuffer(std::span<std::byte> buffer);
    void WriteBuffer(std::span<const std::byte> data);
    void WriteText(std::string_view text);
    // Reads up to `count` bytes (fewer at the end).
    std::string ReadText(std::int64_t count);
    // Copies `count` bytes from the source's position, or with 0 the whole source from its
    // start; answers the bytes copied.
    std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A stream over a block of memory set by the derived class. A position may lie outside the
// block: reading there gives nothing.
class TCustomMemoryStream : public TStream {
  public:
    std::int64_t Read(std::span<std::byte> buffer) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return size_; }
    const std::byte* Memory() const { return memory_; }
    // Writes the whole block, whatever the position.
    void SaveToStream(TStream& stream) const;
    // As a string list does: a new file moved into place, EFCreateError on failure.
    void SaveToFile(std::string_view file_name) const;

  protected:
    void SetPointer(std::byte* memory, std::int64_t size) {
        memory_ = memory;
        size_ = size;
    }
    std::int64_t position_ = 0;

  private:
    std::byte* memory_ = nullptr;
    std::int64_t size_ = 0;
};

// A memory stream that owns its bytes and grows as it is written.
class TMemoryStream : public TCustomMemoryStream {
  public:
    std::int64_t Write(std::span<const std::byte> data) override;
    // New bytes are zero; a position beyond the new end moves to it.
    void SetSize(std::int64_t size) override;
    void Clear();
    // Replaces the contents with the whole of `stream` and moves to the start.
    void LoadFromStream(TStream& stream);
    // Raises EFOpenError "Cannot open file "name". reason" and keeps the contents on failure.
    void LoadFromFile(std::string_view file_name);

  private:
    std::vector<std::byte> data_;
};

}  // namespace db
