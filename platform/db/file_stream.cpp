#include "platform/db/file_stream.h"

#include "platform/db/exception.h"

namespace db {
TFileStream::TFileStream(std::string_view file_name, TFileMode mode) : file_name_(file_name) {
    if (mode == fmCreate) {
        auto created = platform::os::File::Create(file_name);
        if (!created) {
            throw EFCreateError("Cannot create file \"" + file_name_ + "\". " +
                                platform::os::FailureReason(created.status()));
        }
        file_ = std::move(created).value();
        return;
    }
    platform::os::OpenOptions options;
    options.read_only = (mode & 0x0003) == fmOpenRead;
    const TFileMode share = mode & 0x00F0;
    options.share = share == fmShareExclusive || share == fmShareCompat
                        ? platform::os::ShareMode::kExclusive
                        : platform::os::ShareMode::kShared;
    auto opened = platform::os::File::Open(file_name, options);
    if (!opened) {
        throw EFOpenError("Cannot open file \"" + file_name_ + "\". " +
                          platform::os::FailureReason(opened.status()));
    }
    file_ = std::move(opened).value();
    if (!options.read_only && file_.ReadOnly()) {
        throw EFOpenError("Cannot open file \"" + file_name_ + "\". " +
                          platform::os::FailureReason(
                              platform::os::Status::FromCode(platform::os::kAccessDenied)));
    }
}

TFileStream::~TFileStream() {
    if (file_.IsOpen()) {
        (void)file_.Close();
    }
}

void TFileStream::CheckOpen() const {
    if (!file_.IsOpen()) {
        throw EStreamError("File \"" + file_name_ + "\" is closed");
    }
}

void TFileStream::Fail(const platform::os::Status& status, bool writing) const {
    const std::string message = "Cannot " + std::string(writing ? "write" : "read") + " file \"" +
                                file_name_ + "\". " + platform::os::FailureReason(status);
    if (writing) {
        throw EWriteError(message);
    }
    throw EReadError(message);
}

std::int64_t TFileStream::Read(std::span<std::byte> buffer) {
    CheckOpen();
    if (position_ < 0 || buffer.empty()) {
        return 0;
    }
    auto got = file_.ReadAt(static_cast<std::uint64_t>(position_), buffer);
    if (!got) {
        Fail(got.status(), false);
    }
    position_ += static_cast<std::int64_t>(*got);
    return static_cast<std::int64_t>(*got);
}

std::int64_t TFileStream::Write(std::span<const std::byte> data) {
    CheckOpen();
    if (data.empty()) {
        return 0;
    }
    if (position_ < 0) {
        Fail(platform::os::Status::FromCode(platform::os::kUnknownOsError), true);
    }
    auto put = file_.WriteAt(static_cast<std::uint64_t>(position_), data);
    if (!put) {
        Fail(put.status(), true);
    }
    written_ = true;
    position_ += static_cast<std::int64_t>(*put);
    return static_cast<std::int64_t>(*put);
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    CheckOpen();
    switch (origin) {
        case soBeginning:
            position_ = offset;
            break;
        case soCurrent:
            position_ += offset;
            break;
        case soEnd:
            position_ = Size() + offset;
            break;
    }
    return position_;
}

std::int64_t TFileStream::Size() {
    CheckOpen();
    auto size = file_.Size();
    if (!size) {
        Fail(size.status(), false);
    }
    return static_cast<std::int64_t>(*size);
}

void TFileStream::SetSize(std::int64_t size) {
    CheckOpen();
    if (size < 0) {
        Fail(platform::os::Status::FromCode(platform::os::kUnknownOsError), true);
    }
    if (auto status = file_.Truncate(static_cast<std::uint64_t>(size)); !status) {
        Fail(status, true);
    }
    written_ = true;
}

void TFileStream::Close() {
    if (!file_.IsOpen()) {
        return;
    }
    platform::os::Status flushed;
    if (written_) {
        flushed = file_.Flush();
    }
    const platform::os::Status closed = file_.Close();
    if (!flushed) {
        Fail(flushed, true);
    }
    if (!closed) {
        Fail(closed, true);
    }
}

}  // namespace db
