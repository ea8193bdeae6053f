// resolve_type: the kind, path and dbid text of a workspace item.
#pragma once

#include <memory>

#include "wire/xdrobject.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_resolve_type(XdrObject *request);

} // namespace KxRpc
