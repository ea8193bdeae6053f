// Record validation: whether a record being edited may be committed, and why not.
#pragma once

#include <vector>

#include "kxproduct/entity.h"

class AdSession;

namespace KxRpc {

// The record's invalid fields in the product's order; empty when the record is valid. A record
// not being edited, a taken display name (reason 70), a refusal of the record as a whole
// (reason 4 with the product's text) and a failing product raise. Nothing in the record changes.
std::vector<AdFieldInfo> validate_record(AdEntityPtr const &record, AdSession *session);

// Nothing for no fields; otherwise an InvalidFieldsException naming each field with its type.
void throw_invalid_fields(std::vector<AdFieldInfo> const &invalid);

} // namespace KxRpc
