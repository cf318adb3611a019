#include "platform/db/field_defs.h"

#include <string>

#include "platform/db/exception.h"

namespace db {

void TFieldDef::SetDataType(TFieldType data_type) {
    data_type_ = data_type;
    Changed(false);
}

void TFieldDef::SetSize(std::int32_t size) {
    if (size < 0) {
        throw EDatabaseError("Invalid field size");
    }
    size_ = size;
    Changed(false);
}

void TFieldDef::SetRequired(bool required) {
    required_ = required;
    Changed(false);
}

void TFieldDef::SetPrecision(std::int32_t precision) {
    precision_ = precision;
    Changed(false);
}

void TFieldDef::Assign(const TPersistent& source) {
    const auto* def = dynamic_cast<const TFieldDef*>(&source);
    if (def == nullptr) {
        TNamedItem::Assign(source);
        return;
    }
    if (def == this) {
        return;
    }
    TCollection* list = Collection();
    if (list != nullptr) {
        list->BeginUpdate();
    }
    try {
        SetName(def->Name());
        data_type_ = def->data_type_;
        size_ = def->size_;
        required_ = def->required_;
        field_no_ = def->field_no_;
        precision_ = def->precision_;
    } catch (...) {
        if (list != nullptr) {
            list->EndUpdate();
        }
        throw;
    }
    if (list != nullptr) {
        list->EndUpdate();
    }
}

TFieldDefs::TFieldDefs(TPersistent* dataset) : TDefCollection(ItemClass<TFieldDef>(), dataset) {}

TFieldDef* TFieldDefs::Add(std::string_view name, TFieldType data_type, std::int32_t size,
                           bool required) {
    if (name.empty()) {
        throw EDatabaseError("Field name missing");
    }
    if (IndexOf(name) >= 0) {
        throw EDatabaseError("Duplicate name '" + std::string(name) + "' in TFieldDefs");
    }
    if (size < 0) {
        throw EDatabaseError("Invalid field size");
    }
    BeginUpdate();
    TFieldDef* def = nullptr;
    try {
        def = static_cast<TFieldDef*>(TCollection::Add());
        def->SetName(name);
        def->SetDataType(data_type);
        def->SetSize(size);
        def->SetRequired(required);
        def->SetFieldNo(static_cast<std::int32_t>(Count()));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    return def;
}

TFieldDef* TFieldDefs::Find(std::string_view name) const {
    auto* def = static_cast<TFieldDef*>(TDefCollection::Find(name));
    if (def == nullptr) {
        throw EDatabaseError("Field '" + std::string(name) + "' not found");
    }
    return def;
}

}  // namespace db
