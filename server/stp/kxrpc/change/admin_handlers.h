// Handlers of the administration procedures.
#pragma once

#include <memory>

#include "wire/xdrobject.h"

namespace KxRpc {

std::unique_ptr<XdrObject> kxrpc_upgrade_databases(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_revert_record(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_kx_masterproperty(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_create_user(XdrObject *request);

} // namespace KxRpc
