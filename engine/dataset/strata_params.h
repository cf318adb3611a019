#pragma once

// The query's parameters: TStrataParam (one named, typed value), TStrataParams
// (the list, with its stored binary form "Data"), the parameter markers of an
// SQL text, and the value buffer and descriptors a statement receives.
//
// "Data" (all integers little-endian; written in version 1, versions above 2
// refused; the widths in brackets are version 2's):
//   u16 version   u16 [u32] count
//   per parameter: u8 [u32] name length, name, u8 parameter type, u8 data
//   type (0: no value follows), u16 [u32] value size and the native value
//   (only with a data type), u8 null flag, u8 bound flag.
//
// Native values: strings and memos their text and a zero byte; smallint,
// word and boolean 2 bytes; integer, auto-increment, date (day number) and
// time (milliseconds since midnight) 4; float, currency and date-time
// (milliseconds since year 1, a double) 8; BCD the value scaled to 4
// decimals as a 64-bit integer; blob types their raw bytes.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/descriptor_types.h"
#include "platform/db/currency.h"
#include "platform/db/date_time.h"
#include "platform/db/field.h"
#include "platform/db/field_defs.h"
#include "platform/db/field_type.h"
#include "platform/db/params.h"
#include "platform/db/variant.h"
#include "platform/nls/nls.h"

namespace strata {

class TStrataParams;

inline constexpr std::size_t kMaxStoredParamValue = 2048;
inline constexpr std::size_t kMaxStatementString = 250;

class TStrataParam {
  public:
    explicit TStrataParam(TStrataParams* owner = nullptr) : owner_(owner) {}

    TStrataParams* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(std::string_view name) { name_ = name; }
    db::TFieldType DataType() const { return data_type_; }
    void SetDataType(db::TFieldType type) { data_type_ = type; }
    db::TParamType ParamType() const { return param_type_; }
    void SetParamType(db::TParamType type) { param_type_ = type; }
    bool IsNull() const { return null_; }
    bool Bound() const { return bound_; }
    void SetBound(bool value) { bound_ = value; }
    const db::Variant& Value() const { return value_; }

    void SetAsString(std::string_view value);
    void SetAsMemo(std::string_view value);
    void SetAsSmallInt(std::int16_t value);
    void SetAsWord(std::uint16_t value);
    void SetAsInteger(std::int32_t value);
    void SetAsBoolean(bool value);
    void SetAsFloat(double value);
    void SetAsCurrency(double value);
    void SetAsBCD(db::Currency value);
    void SetAsDate(db::TDateTime value);
    void SetAsTime(db::TDateTime value);
    void SetAsDateTime(db::TDateTime value);
    void SetAsBlob(std::span<const std::uint8_t> value, db::TFieldType type = db::ftBlob);
    // Null, with an empty value.
    void Clear();

    // Type, value or null, bound flag and name; the parameter type only when
    // this one has none.
    void Assign(const TStrataParam& source);
    // The field's type (a memo above 255 characters as a string), value or
    // null and name; bound.
    void AssignField(const db::TField& field);
    bool operator==(const TStrataParam& other) const;

    // The native value (zeros of the type's size for a null one). Raises
    // "Field '%s' is of unknown type" / "... of an unsupported type".
    std::vector<std::uint8_t> NativeValue() const;
    // Takes a native value of the type; false when its size does not fit the type.
    bool SetNativeValue(db::TFieldType type, std::span<const std::uint8_t> value);

  private:
    void Set(db::TFieldType type, db::Variant value);

    TStrataParams* owner_;
    db::Variant value_;
    std::string name_;
    db::TFieldType data_type_ = db::ftUnknown;
    bool null_ = true;
    bool bound_ = false;
    db::TParamType param_type_ = db::ptUnknown;
};

class TStrataParams {
  public:
    TStrataParams() = default;
    TStrataParams(const TStrataParams&) = delete;
    TStrataParams& operator=(const TStrataParams&) = delete;

    TStrataParam& CreateParam(db::TFieldType type, std::string_view name,
                              db::TParamType param_type);
    // Case aside; nullptr when none.
    TStrataParam* FindParam(std::string_view name) const;
    // Raises "Parameter '%s' not found".
    TStrataParam& ParamByName(std::string_view name) const;
    std::size_t Count() const { return items_.size(); }
    TStrataParam& Items(std::size_t index) const { return *items_.at(index); }
    void Clear() { items_.clear(); }
    void Assign(const TStrataParams& source);
    // Every own parameter takes the first parameter of `source` with the same
    // name (compared exactly).
    void AssignValues(const TStrataParams& source);
    bool operator==(const TStrataParams& other) const;

    // The stored form; refuses values above 2048 bytes and names above 255.
    std::vector<std::uint8_t> WriteData() const;
    // Replaces the list; a damaged or unknown block raises "Unable to load
    // bind parameters" and leaves the list as it was.
    void ReadData(std::span<const std::uint8_t> data);

  private:
    std::vector<std::unique_ptr<TStrataParam>> items_;
};

// The SQL text with "?" in place of each parameter marker; with `params`
// one parameter of type ftUnknown per marker is added to it.
std::string ParseSQLParams(std::string_view sql, TStrataParams* params);

// What a statement receives for its parameters: one descriptor per
// parameter and one buffer of slots, each a flag byte (1 unless null) and
// the value. Blob types pass a 4-byte length and an 8-byte pointer into
// `blobs`, which must outlive the statement's use of the buffer.
struct StatementParams {
    std::vector<FieldDescriptor> descriptors;
    std::vector<std::uint8_t> buffer;
    std::vector<std::vector<std::uint8_t>> blobs;
};
inline constexpr std::size_t kBlobParamSlotSize = 12;

// The code page of a table's text from its language and sort identifiers;
// Western (Windows-1252) for language 0 or an unknown locale.
platform::nls::CodePage TableCodePage(std::uint16_t language, std::uint16_t sort);

// Field definitions read from the engine carry names in `page`: they become UTF-8.
void NamesToUtf8(db::TFieldDefs& defs, platform::nls::CodePage page);

// Names and string and memo values go into `code_page` (they are UTF-8 in
// the parameters). Raises "No value for parameter '%s'" for a type without an
// engine type and "Field '%s' is of an unsupported type" for strings over 250
// bytes in that code page.
StatementParams BuildStatementParams(
    const TStrataParams& params,
    platform::nls::CodePage code_page = platform::nls::CodePage::Western);

}  // namespace strata
