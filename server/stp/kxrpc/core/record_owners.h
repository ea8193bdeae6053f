// Who owns the program's call records that go on to disk: the login session their arguments name.
#pragma once

namespace KxRpc {

// Learns from the procedure table where each procedure's arguments name their session, and
// registers the owners with the runtime. Start-up calls it once the table is built.
void register_record_owners();

} // namespace KxRpc
