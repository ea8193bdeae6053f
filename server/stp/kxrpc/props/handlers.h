// Handlers of the property procedures.
#pragma once

#include "wire/xdrobject.h"

namespace KxRpc {

bool kxrpc_fetch_props(XdrObject *request, XdrObject **result);
bool kxrpc_put_props(XdrObject *request, XdrObject **result);

} // namespace KxRpc
