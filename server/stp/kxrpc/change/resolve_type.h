// resolve_type: the kind, path and dbid text of a workspace item.
#pragma once

#include "wire/xdrobject.h"

namespace KxRpc {

bool kxrpc_resolve_type(XdrObject *request, XdrObject **result);

} // namespace KxRpc
