#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/field.h"

namespace db {

class TStream;

// Raw bytes of a fixed length (Bytes: Size bytes, zero-padded) or of a length up to Size
// (VarBytes: a 16-bit little-endian length, then Size bytes). A longer value is refused.
class TBytesField : public TField {
  public:
    explicit TBytesField(TComponent* owner);

    std::int32_t DataSize() const override;
    // False when null.
    bool GetValue(std::string& bytes) const;

  protected:
    TBytesField(TComponent* owner, TFieldType type);
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;
};

class TVarBytesField : public TBytesField {
  public:
    explicit TVarBytesField(TComponent* owner);
};

// A value kept apart from the record and reached through the dataset's blob stream. The
// display text is the type word in parentheses, in upper case when the field holds data and
// in lower case when it is null ("(BLOB)", "(blob)").
class TBlobField : public TField {
  public:
    explicit TBlobField(TComponent* owner);

    bool IsBlob() const override { return true; }
    bool IsNull() const override;
    void Clear() override;
    std::int64_t BlobSize() const;
    // Set while a written blob stream's change awaits the post; the dataset keeps the blob
    // open until then.
    bool Modified() const { return modified_; }
    void SetModified(bool modified) { modified_ = modified; }
    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;

  protected:
    TBlobField(TComponent* owner, TFieldType type);
    // The raw bytes.
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;
    std::string ReadAll() const;
    void WriteAll(std::string_view bytes);

  private:
    bool modified_ = false;
};

// Text in the dataset's code page, UTF-8 on this side.
class TMemoField : public TBlobField {
  public:
    explicit TMemoField(TComponent* owner);

  protected:
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    Variant GetAsVariant() const override;
    void GetText(std::string& text, bool display_text) const override;
};

class TGraphicField : public TBlobField {
  public:
    explicit TGraphicField(TComponent* owner);
};

}  // namespace db
