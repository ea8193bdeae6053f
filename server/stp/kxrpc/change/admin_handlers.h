// Handlers of the administration procedures.
#pragma once

#include "wire/xdrobject.h"

namespace KxRpc {

bool kxrpc_upgrade_databases(XdrObject *request, XdrObject **result);
bool kxrpc_get_userdb_description(XdrObject *request, XdrObject **result);
bool kxrpc_get_accessible_databases(XdrObject *request, XdrObject **result);
bool kxrpc_revert_record(XdrObject *request, XdrObject **result);
bool kxrpc_kx_masterproperty(XdrObject *request, XdrObject **result);
bool kxrpc_create_user(XdrObject *request, XdrObject **result);

} // namespace KxRpc
