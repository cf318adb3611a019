#pragma once

// The picture services shared by the graphic editor, graphic cells and the blob popup:
// loading a picture from a blob value, saving one into bytes for a blob field, and the
// file dialogs' filters of a picture format.

#include <QImage>

#include <span>
#include <string>

#include "platform/db/exception.h"
#include "platform/db/stream.h"

namespace grid {

// A picture that cannot be read or written.
class EInvalidGraphic : public db::Exception {
  public:
    using db::Exception::Exception;
};

// A picture format standing in for a graphic class: the name Qt reads and writes it by
// ("BMP", "PNG", "JPG"). Without a format, a picture loads from whatever format its bytes
// are in and is saved as a bitmap.
struct TGraphicClass {
    std::string Format;

    bool IsEmpty() const { return Format.empty(); }
    // The save dialog's filter ("description|patterns") and default extension.
    std::string GraphicFilter() const;
    std::string GraphicExtension() const;
};

// A stream over bytes it does not own, so that a picture loads from a blob value without a
// copy: writing stores nothing and reports 0 bytes.
class TMemoryStreamReadOnly : public db::TCustomMemoryStream {
  public:
    explicit TMemoryStreamReadOnly(std::span<const std::byte> bytes);
    std::int64_t Write(std::span<const std::byte>) override { return 0; }
};

// What the user is told of a field whose bytes are no picture this program reads.
inline constexpr const char* kFieldHoldsNoPicture = "The field holds no picture this program reads";

// A picture from a blob value: an 8-byte header (1, 0x0100, length - 8) is skipped; an
// empty value or bytes that are no picture of the class give an empty image.
QImage LoadPictureFromBlob(const std::string& bytes, const TGraphicClass& graphic_class = {});
// The bytes a blob field stores for a picture: a bitmap unless the class names a format.
std::string SavePictureToBlob(const QImage& picture, const TGraphicClass& graphic_class = {});
// The open dialog's filter of every picture format the program reads.
std::string AllPicturesFilter();
// A picture file read from disk; raises EInvalidGraphic when it is none.
QImage LoadPictureFromFile(const std::string& path);
// Writes a picture file in the class's format; raises EInvalidGraphic on failure.
void SavePictureToFile(const QImage& picture, const std::string& path,
                       const TGraphicClass& graphic_class);

}  // namespace grid
