// Helpers shared by the SELECT and the changing statements for turning parts of a condition
// into cursor filters.

#include "engine/sql/condition_parts.h"

#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/storage/data_types.h"
#include "engine/storage/expression_eval.h"

namespace strata {

// For preparing filter trees, whose constants read no columns.
ColumnReader NoColumns() {
    return [](const std::byte* /*record*/, TExpToken& column) { column.IsNull = true; };
}

// A condition part prepared as a filter of `cursor`. Within one execution a parameter is a
// constant, and only constants reach an index.
ExpTokenPtr FilterCopy(const TExpToken& part, TDataCursor& cursor,
                       const db::TFormatSettings& formats) {
    ExpTokenPtr bound = CopyTokenTree(&part);
    std::vector<TExpToken*> stack{bound.get()};
    while (!stack.empty()) {
        TExpToken* node = stack.back();
        stack.pop_back();
        node->IsParameter = false;
        for (TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
    return PrepareFilterTree(*bound, NoColumns(), true, false, cursor.GetSortID(),
                             cursor.GetLanguageID(), &formats);
}

// The AND-joined parts of a condition, left to right.
void SplitConjuncts(const TExpToken* node, std::vector<const TExpToken*>& parts) {
    if (node->Kind == kTokenBinary && node->Code == kOpAnd && node->First && node->Second) {
        SplitConjuncts(node->First.get(), parts);
        SplitConjuncts(node->Second.get(), parts);
        return;
    }
    parts.push_back(node);
}

// A node a cursor filter would answer otherwise than the row evaluation, or could not answer
// on its own.
bool FilterAnswersOtherwise(const TExpToken& node) {
    return node.Kind == kTokenSubSelect || node.SubSelect != nullptr ||
           (node.Kind == kTokenUnary && node.Code == kOpNot) ||
           ((node.Kind == kTokenBinary || node.Kind == kTokenStringCompare) &&
            node.Code == kOpNotEqual) ||
           (node.Kind == kTokenExtended &&
            (node.Code == kOpNotLike || node.Code == kOpNotInList || node.Code == kOpNotBetween ||
             node.Code == kOpInSelect || node.Code == kOpNotInSelect));
}

ExpTokenPtr AndJoin(ExpTokenPtr left, ExpTokenPtr right) {
    if (!left) {
        return right;
    }
    ExpTokenPtr node = NewExpToken();
    node->Kind = kTokenBinary;
    node->Code = kOpAnd;
    node->Text = "AND";
    node->DataType = kTypeBoolean;
    node->SetDataSize(2);
    left->Parent = node.get();
    right->Parent = node.get();
    node->First = std::move(left);
    node->Second = std::move(right);
    return node;
}

}  // namespace strata
