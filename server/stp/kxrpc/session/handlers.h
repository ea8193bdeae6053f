// Handlers of the session procedures.
#pragma once

#include "wire/xdrobject.h"

namespace KxRpc {

bool kxrpc_delete_state(XdrObject *request, XdrObject **result);
bool kxrpc_login(XdrObject *request, XdrObject **result);

} // namespace KxRpc
