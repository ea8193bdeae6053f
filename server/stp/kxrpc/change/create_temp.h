// create_temp: a working copy of a resource held for the client under a state handle.
#pragma once

#include "kxproduct/entity.h"
#include "wire/xdrobject.h"

class AdSession;

namespace KxRpc {

class CreateTempArgs;
class CreateTempResp;

bool kxrpc_create_temp(XdrObject *request, XdrObject **result);
// Opens the request's record for its action (modify when none is named).
CreateTempResp *kxrpc_create_temp_record(CreateTempArgs &args);

} // namespace KxRpc
