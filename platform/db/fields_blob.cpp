#include "platform/db/fields_blob.h"

#include <algorithm>
#include <vector>

#include "platform/db/code_page_text.h"
#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/stream.h"
#include "platform/nls/text.h"
#include "platform/os/byte_order.h"

namespace db {

namespace {

std::string_view BlobTypeWord(TFieldType type) {
    switch (type) {
        case ftMemo:
            return "MEMO";
        case ftGraphic:
            return "GRAPHIC";
        case ftFmtMemo:
            return "FMTMEMO";
        case ftParadoxOle:
        case ftDBaseOle:
            return "OLE";
        case ftTypedBinary:
            return "BINARY";
        default:
            return "BLOB";
    }
}

}  // namespace

TBytesField::TBytesField(TComponent* owner) : TBytesField(owner, ftBytes) {}

TBytesField::TBytesField(TComponent* owner, TFieldType type) : TField(owner) {
    SetDataType(type);
    SetSize(16);
}

TVarBytesField::TVarBytesField(TComponent* owner) : TBytesField(owner, ftVarBytes) {}

std::int32_t TBytesField::DataSize() const {
    return DataType() == ftVarBytes ? Size() + 2 : Size();
}

bool TBytesField::GetValue(std::string& bytes) const {
    std::vector<std::byte> buffer(static_cast<std::size_t>(DataSize()));
    if (!GetData(buffer)) {
        bytes.clear();
        return false;
    }
    const auto* data = reinterpret_cast<const char*>(buffer.data());
    if (DataType() == ftVarBytes) {
        const std::size_t length = std::min<std::size_t>(
            platform::os::LoadLittle<std::uint16_t>(buffer.data()), buffer.size() - 2);
        bytes.assign(data + 2, length);
    } else {
        bytes.assign(data, buffer.size());
    }
    return true;
}

std::string TBytesField::GetAsString() const {
    std::string bytes;
    GetValue(bytes);
    return bytes;
}

void TBytesField::SetAsStringValue(std::string_view value) {
    if (static_cast<std::int64_t>(value.size()) > Size()) {
        throw EDatabaseError("Value of field '" + DisplayName() +
                             "' is too long: " + std::to_string(value.size()) +
                             " bytes for a size of " + std::to_string(Size()));
    }
    std::vector<std::byte> buffer(static_cast<std::size_t>(DataSize()));
    std::size_t at = 0;
    if (DataType() == ftVarBytes) {
        platform::os::StoreLittle(buffer.data(), static_cast<std::uint16_t>(value.size()));
        at = 2;
    }
    std::copy_n(reinterpret_cast<const std::byte*>(value.data()), value.size(),
                buffer.begin() + static_cast<std::ptrdiff_t>(at));
    SetData(buffer);
}

Variant TBytesField::GetAsVariant() const {
    std::string bytes;
    if (!GetValue(bytes)) {
        return Variant::Null();
    }
    return Variant::FromBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void TBytesField::SetVarValue(const Variant& value) {
    const std::vector<std::uint8_t> bytes = value.AsBytes();
    SetAsStringValue(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void TBytesField::GetText(std::string& text, bool /*display_text*/) const {
    text = "(" + std::string(FieldTypeName(DataType())) + ")";
}

TBlobField::TBlobField(TComponent* owner) : TBlobField(owner, ftBlob) {}

TBlobField::TBlobField(TComponent* owner, TFieldType type) : TField(owner) {
    SetDataType(type);
}

TMemoField::TMemoField(TComponent* owner) : TBlobField(owner, ftMemo) {}

TGraphicField::TGraphicField(TComponent* owner) : TBlobField(owner, ftGraphic) {}

bool TBlobField::IsNull() const {
    return !GetData({});
}

std::string TBlobField::ReadAll() const {
    if (DataSet() == nullptr) {
        throw EDatabaseError("Field '" + DisplayName() + "' has no dataset");
    }
    std::unique_ptr<TStream> stream =
        DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
    std::string bytes;
    char chunk[4096];
    for (;;) {
        const std::int64_t got = stream->Read(std::as_writable_bytes(std::span(chunk)));
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

void TBlobField::WriteAll(std::string_view bytes) {
    if (DataSet() == nullptr) {
        throw EDatabaseError("Field '" + DisplayName() + "' has no dataset");
    }
    std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(this, bmWrite);
    stream->WriteBuffer(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

void TBlobField::Clear() {
    WriteAll({});
}

std::int64_t TBlobField::BlobSize() const {
    return static_cast<std::int64_t>(ReadAll().size());
}

void TBlobField::LoadFromStream(TStream& stream) {
    stream.SetPosition(0);
    WriteAll(stream.ReadText(stream.Size()));
}

void TBlobField::SaveToStream(TStream& stream) const {
    stream.WriteText(ReadAll());
}

std::string TBlobField::GetAsString() const {
    return ReadAll();
}

void TBlobField::SetAsStringValue(std::string_view value) {
    WriteAll(value);
}

Variant TBlobField::GetAsVariant() const {
    if (IsNull()) {
        return Variant::Null();
    }
    const std::string bytes = ReadAll();
    return Variant::FromBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void TBlobField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
        return;
    }
    const std::vector<std::uint8_t> bytes = value.AsBytes();
    WriteAll(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void TBlobField::GetText(std::string& text, bool /*display_text*/) const {
    std::string word(BlobTypeWord(DataType()));
    if (IsNull())
        word = platform::nls::AsciiLower(word);
    text = "(" + word + ")";
}

std::string TMemoField::GetAsString() const {
    const platform::nls::CodePage code_page =
        DataSet() != nullptr ? DataSet()->TextCodePage() : platform::nls::CodePage::Western;
    return CodePageToUtf8(code_page, ReadAll());
}

void TMemoField::SetAsStringValue(std::string_view value) {
    const platform::nls::CodePage code_page =
        DataSet() != nullptr ? DataSet()->TextCodePage() : platform::nls::CodePage::Western;
    WriteAll(Utf8ToCodePage(code_page, value, "field '" + DisplayName() + "'"));
}

Variant TMemoField::GetAsVariant() const {
    if (IsNull()) {
        return Variant::Null();
    }
    return Variant(GetAsString());
}

void TMemoField::GetText(std::string& text, bool display_text) const {
    if (display_text) {
        TBlobField::GetText(text, true);
    } else {
        text = GetAsString();
    }
}

}  // namespace db
