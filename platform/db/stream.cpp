#include "platform/db/stream.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/db/exception.h"
#include "platform/db/whole_file.h"

namespace db {

std::int64_t TStream::Size() {
    const std::int64_t position = Seek(0, soCurrent);
    const std::int64_t end = Seek(0, soEnd);
    Seek(position, soBeginning);
    return end;
}

void TStream::ReadBuffer(std::span<std::byte> buffer) {
    if (Read(buffer) != static_cast<std::int64_t>(buffer.size())) {
        throw EReadError("Stream read error");
    }
}

void TStream::WriteBuffer(std::span<const std::byte> data) {
    if (Write(data) != static_cast<std::int64_t>(data.size())) {
        throw EWriteError("Stream write error");
    }
}

void TStream::WriteText(std::string_view text) {
    WriteBuffer(std::as_bytes(std::span(text.data(), text.size())));
}

std::string TStream::ReadText(std::int64_t count) {
    std::string text(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), '\0');
    const std::int64_t got = Read(std::as_writable_bytes(std::span(text.data(), text.size())));
    text.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    return text;
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::array<std::byte, 65536> buffer{};
    std::int64_t copied = 0;
    while (copied < count) {
        const auto chunk = static_cast<std::size_t>(
            std::min<std::int64_t>(count - copied, static_cast<std::int64_t>(buffer.size())));
        source.ReadBuffer(std::span(buffer.data(), chunk));
        WriteBuffer(std::span(buffer.data(), chunk));
        copied += static_cast<std::int64_t>(chunk);
    }
    return copied;
}

std::int64_t TCustomMemoryStream::Read(std::span<std::byte> buffer) {
    if (position_ < 0 || position_ >= size_ || buffer.empty()) {
        return 0;
    }
    const std::int64_t count =
        std::min<std::int64_t>(size_ - position_, static_cast<std::int64_t>(buffer.size()));
    std::memcpy(buffer.data(), memory_ + position_, static_cast<std::size_t>(count));
    position_ += count;
    return count;
}

std::int64_t TCustomMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    switch (origin) {
        case soBeginning:
            position_ = offset;
            break;
        case soCurrent:
            position_ += offset;
            break;
        case soEnd:
            position_ = size_ + offset;
            break;
    }
    return position_;
}

void TCustomMemoryStream::SaveToStream(TStream& stream) const {
    if (size_ > 0) {
        stream.WriteBuffer(std::span<const std::byte>(memory_, static_cast<std::size_t>(size_)));
    }
}

void TCustomMemoryStream::SaveToFile(std::string_view file_name) const {
    ReplaceWholeFile(file_name, std::string_view(reinterpret_cast<const char*>(memory_),
                                                 static_cast<std::size_t>(size_)));
}

std::int64_t TMemoryStream::Write(std::span<const std::byte> data) {
    if (position_ < 0 || data.empty()) {
        return 0;
    }
    const std::int64_t end = position_ + static_cast<std::int64_t>(data.size());
    if (end > static_cast<std::int64_t>(data_.size())) {
        data_.resize(static_cast<std::size_t>(end));
    }
    std::memcpy(data_.data() + position_, data.data(), data.size());
    SetPointer(data_.data(), static_cast<std::int64_t>(data_.size()));
    position_ = end;
    return static_cast<std::int64_t>(data.size());
}

void TMemoryStream::SetSize(std::int64_t size) {
    data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
    SetPointer(data_.data(), static_cast<std::int64_t>(data_.size()));
    position_ = std::min(position_, Size());
}

void TMemoryStream::Clear() {
    data_.clear();
    data_.shrink_to_fit();
    SetPointer(nullptr, 0);
    position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
    stream.SetPosition(0);
    const std::int64_t count = stream.Size();
    std::vector<std::byte> data(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    stream.ReadBuffer(data);
    data_ = std::move(data);
    SetPointer(data_.data(), static_cast<std::int64_t>(data_.size()));
    position_ = 0;
}

void TMemoryStream::LoadFromFile(std::string_view file_name) {
    const std::string contents = ReadWholeFile(file_name);
    const auto bytes = std::as_bytes(std::span(contents.data(), contents.size()));
    data_.assign(bytes.begin(), bytes.end());
    SetPointer(data_.data(), static_cast<std::int64_t>(data_.size()));
    position_ = 0;
}

}  // namespace db
