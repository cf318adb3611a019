#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/def_collection.h"

namespace db {

// Index options as the engine stores them in an options byte.
using TIndexOptions = std::uint8_t;
inline constexpr TIndexOptions ixPrimary = 0x01;
inline constexpr TIndexOptions ixUnique = 0x02;
inline constexpr TIndexOptions ixDescending = 0x04;
inline constexpr TIndexOptions ixCaseInsensitive = 0x08;
inline constexpr TIndexOptions ixExpression = 0x10;
inline constexpr TIndexOptions ixNonMaintained = 0x20;

// The definition of one index: its name, its fields (names joined by ';') and options.
class TIndexDef : public TNamedItem {
  public:
    const std::string& Fields() const { return fields_; }
    void SetFields(std::string_view fields);
    const std::string& Expression() const { return expression_; }
    void SetExpression(std::string_view expression);
    TIndexOptions Options() const { return options_; }
    void SetOptions(TIndexOptions options);
    // The expression of an expression index, else the field list.
    const std::string& FieldExpression() const {
        return (options_ & ixExpression) != 0 ? expression_ : fields_;
    }

    void Assign(const TPersistent& source) override;

  private:
    std::string fields_;
    std::string expression_;
    TIndexOptions options_ = 0;
};

class TIndexDefs : public TDefCollection {
  public:
    explicit TIndexDefs(TPersistent* dataset = nullptr);

    TIndexDef* Items(std::int64_t index) const {
        return static_cast<TIndexDef*>(TCollection::Items(index));
    }
    // Adds a definition; a non-empty name already defined (case aside) raises EDatabaseError
    // "Duplicate name 'x' in TIndexDefs" and adds nothing.
    TIndexDef* Add(std::string_view name, std::string_view fields, TIndexOptions options);
    // Raises EDatabaseError "Index 'x' not found" when no definition has the name.
    TIndexDef* Find(std::string_view name) const;

    // The class library's choice of an index for a field list: an ascending, non-expression
    // index whose fields are exactly `fields`, else one whose fields begin with them; with
    // `case_insensitive` only case-insensitive indexes qualify. Field names compare case
    // aside. nullptr when none.
    TIndexDef* GetIndexForFields(std::string_view fields, bool case_insensitive) const;
    // The first ascending, non-expression index whose first fields are `fields` in order and
    // whose case-insensitive option equals `case_insensitive`; nullptr when none.
    TIndexDef* FindIndexForFields(std::string_view fields, bool case_insensitive) const;
};

}  // namespace db
