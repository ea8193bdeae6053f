// mkresource: a new record (and later queries, folders and reports) held for the client.
#pragma once

#include <memory>

#include "wire/xdrobject.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_mkresource(XdrObject *request);

} // namespace KxRpc
