// Handlers that check a record, an action or an attachment without changing anything.
#pragma once

#include <memory>

#include "wire/xdrobject.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_validate_action(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_validate_record_props(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_resolve_attachment(XdrObject *request);

} // namespace KxRpc
