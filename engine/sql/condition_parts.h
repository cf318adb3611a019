#pragma once

// Parts of a WHERE or JOIN condition as cursor filters: the AND-joined parts, whether a filter
// answers a part as the row evaluation does, and a part's copy prepared for one cursor.

#include <vector>

#include "engine/storage/exp_token.h"
#include "engine/storage/expression_eval.h"
#include "platform/db/format_settings.h"

namespace strata {

class TDataCursor;

// A reader for preparing filter trees, whose constants read no columns.
ColumnReader NoColumns();

// A condition part prepared as a filter of `cursor`, parameters taken as the constants they are
// within one execution; null when the part gives no filter.
ExpTokenPtr FilterCopy(const TExpToken& part, TDataCursor& cursor,
                       const db::TFormatSettings& formats);

// The AND-joined parts of a condition, left to right.
void SplitConjuncts(const TExpToken* node, std::vector<const TExpToken*>& parts);

// A node a cursor filter would answer otherwise than the row evaluation, or could not answer
// on its own.
bool FilterAnswersOtherwise(const TExpToken& node);

// `left` AND `right`; `right` alone when `left` is null.
ExpTokenPtr AndJoin(ExpTokenPtr left, ExpTokenPtr right);

}  // namespace strata
