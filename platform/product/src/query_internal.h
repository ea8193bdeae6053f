// Pieces of the query engine shared by the definition model, its stored form and the compiler.
#pragma once
#include <vector>

#include "core.h"
#include "kxproduct/query.h"

namespace kxp {

// A field path resolved from the primary record type: the fields it passes, the last one the
// field shown or filtered on. Every field before the last is a reference with a record type.
struct FieldPath {
    enum Status { OK, NOT_FOUND, NOT_FOLLOWED } status = NOT_FOUND;
    std::vector<const AdFieldDef *> fields;
    const AdFieldDef *last() const { return fields.empty() ? nullptr : fields.back(); }
};
FieldPath resolve_path(AdEntityDef *primary, const CString &path);
// A resolved path that may be shown or filtered on (no attachment list at its end).
bool legal_path(const FieldPath &p);

// Operands an operator takes: the fewest and the most (-1: any number).
std::pair<int, int> operand_range(int comp_op);
CString comp_op_text(int comp_op);

} // namespace kxp
