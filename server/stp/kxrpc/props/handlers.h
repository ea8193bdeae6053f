// Handlers of the property procedures.
#pragma once

#include <memory>

#include "wire/xdrobject.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_fetch_props(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_put_props(XdrObject *request);

} // namespace KxRpc
