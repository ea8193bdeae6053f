// mkresource: a new record (and later queries, folders and reports) held for the client.
#pragma once

#include "wire/xdrobject.h"

namespace KxRpc {

bool kxrpc_mkresource(XdrObject *request, XdrObject **result);

} // namespace KxRpc
