// Record lookups by dbid and by display name in one record type, with the product's status.
#pragma once

#include <cstdint>

#include "kxproduct/entity.h"
#include "tesutil/ustring.h"

namespace KxRpc {

// Null when there is no such record.
AdEntityPtr lookup_record_by_dbid(AdSessionPtr const &session, AdEntityDef *def, std::int64_t dbid);
AdEntityPtr lookup_record_by_name(AdSessionPtr const &session, AdEntityDef *def, Nul::UString const &name);
// Status 3 (a record of another record type) raises reason 37 with the product's text; every
// other status passes.
void check_record_lookup_status(int status, Nul::UString const &error_text);

} // namespace KxRpc
