// Whether the session's user database takes changes now.
#pragma once

#include "kxproduct/entity.h"

class AdSession;

namespace KxRpc {

// A locked user database raises LockedDatabaseException (reason 31); a product failure while
// asking becomes an internal error with message 47 and the product's text.
void check_user_database_unlocked(AdSession *session);

// Whether the record still has to be opened for the action: false when it is already being
// edited. After the database check, a record being edited for another action refuses (reason 1)
// any action other than a modify.
bool database_and_edit_check(AdSession *session, AdEntityPtr const &record, AdActionDef *action);

} // namespace KxRpc
