#include "engine/core/header_image.h"

#include <vector>

#include "engine/storage/scramble.h"

namespace strata {

void ReadHeaderImage(TFileHandler& file, std::span<std::uint8_t> header, bool encrypted) {
    {
        const TFileHandler::FileObjectLock lock(file);
        file.SeekFile(0, SeekOrigin::kBegin);
        file.Read(header.data(), header.size());
    }
    if (encrypted)
        UnscrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
}

void WriteHeaderImage(TFileHandler& file, std::span<const std::uint8_t> header, bool encrypted) {
    std::vector<std::uint8_t> out(header.begin(), header.end());
    if (encrypted)
        ScrambleBuffer(out, kTableDataKeyLow, kTableDataKeyHigh);
    const TFileHandler::FileObjectWriteLock lock(file);
    file.SeekFile(0, SeekOrigin::kBegin);
    file.Write(out.data(), out.size());
}

}  // namespace strata
