// The user databases of a database set, for clients without a session (procedures 27 and 28).
#pragma once

#include <memory>

#include "wire/xdrobject.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_get_userdb_description(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_get_accessible_databases(XdrObject *request);

} // namespace KxRpc
