// Computed fields of a cursor and the renumbering of fields after a
// restructure.

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "engine/core/data_cursor.h"
#include "engine/core/index_file.h"
#include "engine/storage/data_types.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/text_compare.h"
#include "engine/storage/value_convert.h"

namespace strata {

namespace {

bool IsStringType(std::uint8_t type) {
    return type == kTypeString;
}

}  // namespace

void TDataCursor::SetFieldExpression(std::uint32_t number, std::string_view text) {
    CheckOpen();
    const FieldDescriptor& field = GetFieldDesc(number);
    if (!FieldNotStored(field))
        Raise(kErrInvalidValidityCheck, FieldName(field));
    db::TFormatSettings format;
    LoadLocaleFormats(language_, sort_, format);
    TExpressionParser parser;
    parser.SetErrorCode(kErrInvalidValidityCheck);
    parser.SetObjectName(BaseName());
    parser.SetContext("computed field expression");
    parser.SetFormats(format);
    ExpTokenPtr tree = parser.ParseFilter(text, kParsePredicates);
    if (!tree)
        Raise(kErrInvalidValidityCheck, FieldName(field));
    const ExpressionErrorInfo errors{kErrInvalidValidityCheck, BaseName(),
                                     "computed field expression"};
    // Only stored fields resolve: a computed field never depends on another
    // one, so one pass in any order gives every value.
    CheckExpressionTypes(
        errors, false,
        [this](TExpToken& column) {
            for (std::size_t i = 0; i < fields_.size(); ++i) {
                const FieldDescriptor& f = fields_[i];
                if (FieldNotStored(f) ||
                    UpperCaseLang(0, 0, FieldName(f)) != UpperCaseLang(0, 0, column.ColumnName))
                    continue;
                column.FieldNumber = static_cast<std::uint16_t>(i + 1);
                column.DataType = FieldType(f);
                column.SubType = FieldSubtype(f);
                column.DataSize = 0;
                column.SetDataSize(FieldType(f) == kTypeBlob ? 4 : FieldDataSize(f));
                column.Scale = FieldDecimals(f);
                column.TableName.clear();
                return true;
            }
            return false;
        },
        nullptr, *tree, format);
    SetFieldExpression(number, std::move(tree));
}

void TDataCursor::SetFieldExpression(std::uint32_t number, ExpTokenPtr tree) {
    CheckOpen();
    const FieldDescriptor& field = GetFieldDesc(number);
    if (!FieldNotStored(field) || !tree)
        Raise(kErrInvalidValidityCheck, FieldName(field));
    const std::uint8_t type = FieldType(field);
    // A string result fits only a string field; other types convert between
    // each other at evaluation. Blob fields are never computed.
    if (type == kTypeBlob || IsStringType(tree->DataType) != IsStringType(type) ||
        tree->DataType == kTypeBlob)
        Raise(kErrInvalidValidityCheck, FieldName(field));
    field_expressions_.resize(fields_.size());
    field_expressions_[number - 1] = std::move(tree);
}

void TDataCursor::EvaluateComputedFieldsNow(RecordBuffer buffer) {
    if (!has_computed_ || evaluating_computed_ || buffer.size() < record_size_)
        return;
    evaluating_computed_ = true;
    struct GuardReset {
        bool& flag;
        ~GuardReset() { flag = false; }
    } reset{evaluating_computed_};
    db::TFormatSettings format;
    LoadLocaleFormats(language_, sort_, format);
    const ColumnReader reader = [this](const std::byte* record, TExpToken& column) {
        ReadColumn(record, column);
    };
    const auto* record = reinterpret_cast<const std::byte*>(buffer.data());
    for (std::size_t i = 0; i < fields_.size() && i < field_expressions_.size(); ++i) {
        const FieldDescriptor& field = fields_[i];
        if (!FieldNotStored(field) || !field_expressions_[i])
            continue;
        ExpTokenPtr target = NewExpToken();
        target->DataType = FieldType(field);
        target->SubType = FieldSubtype(field);
        target->SetDataSize(FieldDataSize(field));
        target->Scale = FieldDecimals(field);
        ExpTokenPtr value =
            EvaluateExpression(*field_expressions_[i], record, sort_, language_, reader, &format);
        if (value && !value->IsNull && value->DataType != FieldType(field)) {
            // The value is a constant now, so converting it needs no record.
            value = EvaluateAsType(*target, *value, sort_, language_, nullptr, &format);
        }
        if (!value || value->IsNull || value->DataType != FieldType(field)) {
            PutFieldWith(field, buffer, nullptr);
            continue;
        }
        std::array<std::uint8_t, 256> bytes{};
        if (IsStringType(FieldType(field))) {
            const std::string_view text = value->ValueText();
            std::copy_n(text.begin(), std::min<std::size_t>(text.size(), bytes.size() - 1),
                        bytes.begin());
        } else {
            std::memcpy(bytes.data(), value->Value(),
                        std::min<std::size_t>({bytes.size(), FieldDataSize(field),
                                               static_cast<std::size_t>(value->ValueCapacity())}));
        }
        PutFieldWith(field, buffer, bytes.data());
    }
}

void TDataCursor::RenumberFields() {
    CheckOpen();
    CheckExclusive();
    TDataFile& data = table_->DataFile();
    TIndexFile& index_file = table_->IndexFile();
    std::map<std::uint16_t, std::uint16_t> position_of;
    for (std::uint32_t i = 1; i <= data.GetFieldCount(); ++i)
        position_of.emplace(FieldNumber(data.GetFieldDescriptor(i)), static_cast<std::uint16_t>(i));
    // Every new index field list is built before anything is written, so a
    // missing field leaves the table as it was.
    struct NewFields {
        int slot;
        std::string name;
        std::vector<std::uint16_t> fields;
    };
    std::vector<NewFields> updates;
    for (int slot = 0; slot <= index_file.GetIndexCount(); ++slot) {
        const IndexDescriptor d = index_file.GetIndexDescriptor(slot);
        NewFields update{slot, std::string(IndexName(d)), {}};
        for (std::size_t k = 0; k < ixd::kMaxFields; ++k) {
            const std::uint16_t number = IndexFieldNumber(d, k);
            if (number == 0)
                break;
            const auto found = position_of.find(number);
            if (found == position_of.end())
                Raise(kErrInvalidIndexField, std::to_string(number),
                      slot == 0 ? "Primary" : IndexName(d));
            update.fields.push_back(found->second);
        }
        if (!update.fields.empty())
            updates.push_back(std::move(update));
    }
    for (const NewFields& update : updates)
        index_file.SetIndexFields(update.slot, update.name, update.fields);
    for (std::uint32_t i = 1; i <= data.GetFieldCount(); ++i) {
        FieldDescriptor d = data.GetFieldDescriptor(i);
        PutU16(d, fd::kNumber, static_cast<std::uint16_t>(i));
        data.SetFieldDescriptor(i, d);
    }
    for (auto& entry : state_cache_)
        entry.reset();
    LoadFieldDescriptors();
    current_.resize(record_size_);
}

}  // namespace strata
