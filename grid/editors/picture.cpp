#include "grid/editors/picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/os/byte_order.h"

namespace grid {

std::string TGraphicClass::GraphicExtension() const {
    if (Format.empty())
        return "bmp";
    std::string ext = QString::fromStdString(Format).toLower().toStdString();
    return ext == "jpeg" ? "jpg" : ext;
}

std::string TGraphicClass::GraphicFilter() const {
    if (Format.empty())
        return "Bitmaps (*.bmp)|*.bmp";
    const std::string ext = GraphicExtension();
    return Format + " pictures (*." + ext + ")|*." + ext;
}

std::string AllPicturesFilter() {
    return "All pictures|*.bmp;*.png;*.jpg;*.jpeg;*.gif|Bitmaps (*.bmp)|*.bmp|"
           "PNG pictures (*.png)|*.png|JPEG pictures (*.jpg)|*.jpg;*.jpeg";
}

TMemoryStreamReadOnly::TMemoryStreamReadOnly(std::span<const std::byte> bytes) {
    // Only reads reach the memory, so dropping const is safe.
    SetPointer(const_cast<std::byte*>(bytes.data()), static_cast<std::int64_t>(bytes.size()));
}

QImage LoadPictureFromBlob(const std::string& bytes, const TGraphicClass& graphic_class) {
    TMemoryStreamReadOnly stream(std::as_bytes(std::span(bytes)));
    if (stream.Size() >= 8) {
        std::array<std::byte, 8> header{};
        stream.ReadBuffer(header);
        const unsigned count = platform::os::LoadLittle<std::uint16_t>(header.data());
        const unsigned type = platform::os::LoadLittle<std::uint16_t>(header.data() + 2);
        const std::uint32_t size = platform::os::LoadLittle<std::uint32_t>(header.data() + 4);
        if (count != 1 || type != 0x0100 || size != static_cast<std::uint64_t>(stream.Size()) - 8)
            stream.SetPosition(0);
    }
    const std::int64_t offset = stream.Position();
    if (offset >= stream.Size())
        return {};
    QImage image;
    image.loadFromData(QByteArrayView(reinterpret_cast<const char*>(stream.Memory() + offset),
                                      static_cast<qsizetype>(stream.Size() - offset)),
                       graphic_class.IsEmpty() ? nullptr : graphic_class.Format.c_str());
    return image;
}

std::string SavePictureToBlob(const QImage& picture, const TGraphicClass& graphic_class) {
    if (picture.isNull())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, graphic_class.IsEmpty() ? "BMP" : graphic_class.Format.c_str()))
        throw EInvalidGraphic("The picture could not be stored as " + (graphic_class.IsEmpty()
                                                                           ? std::string("BMP")
                                                                           : graphic_class.Format));
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QImage LoadPictureFromFile(const std::string& path) {
    QImage image;
    if (!image.load(QString::fromStdString(path)))
        throw EInvalidGraphic("The file " + path + " holds no picture this program reads");
    return image;
}

void SavePictureToFile(const QImage& picture, const std::string& path,
                       const TGraphicClass& graphic_class) {
    if (!picture.save(QString::fromStdString(path),
                      graphic_class.IsEmpty() ? "BMP" : graphic_class.Format.c_str()))
        throw EInvalidGraphic("The picture could not be saved to " + path);
}

}  // namespace grid
