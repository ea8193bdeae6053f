// Handlers that check a record, an action or an attachment without changing anything.
#pragma once

#include "wire/xdrobject.h"

namespace KxRpc {

bool kxrpc_validate_action(XdrObject *request, XdrObject **result);
bool kxrpc_validate_record_props(XdrObject *request, XdrObject **result);
bool kxrpc_resolve_attachment(XdrObject *request, XdrObject **result);

} // namespace KxRpc
