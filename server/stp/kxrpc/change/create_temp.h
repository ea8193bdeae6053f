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

// Whether the record still has to be opened for the action: false when it is already being
// edited for it. A locked user database, or another action in progress when the action is not
// a modify, is refused.
bool record_needs_opening(AdSession *session, AdEntityPtr const &record, AdActionDef *action);

} // namespace KxRpc
