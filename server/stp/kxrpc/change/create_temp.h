// create_temp: a working copy of a resource held for the client under a state handle.
#pragma once

#include <memory>

#include "kxproduct/entity.h"
#include "wire/xdrobject.h"

class AdSession;

namespace KxRpc {

class CreateTempArgs;
class CreateTempResp;

std::unique_ptr<XdrObject> kxrpc_create_temp(XdrObject *request);
// Opens the request's record for its action (modify when none is named).
CreateTempResp *kxrpc_create_temp_record(CreateTempArgs &args);

} // namespace KxRpc
