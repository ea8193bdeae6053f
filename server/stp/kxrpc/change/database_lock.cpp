#include "change/database_lock.h"

#include "kxproduct/session.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"

namespace KxRpc {

void check_user_database_unlocked(AdSession *session) {
    bool const locked =
        product_call([&] { return AdConnectionMgr::IsUserDatabaseLocked(session->GetDatabaseConnection()) != FALSE; },
                     unexpected_in(L"is_user_database_locked"));
    if (locked) throw_locked_database();
}

bool database_and_edit_check(AdSession *session, AdEntityPtr const &record, AdActionDef *action) {
    check_user_database_unlocked(session);
    if (!record->IsEditable()) return true;
    AdActionDef *current = record->GetActionDef();
    if (action->GetActionType() != AD_ACTION_MODIFY && current && current->GetDbId() != action->GetDbId())
        raise_reason(Reason::action_in_progress);
    return false;
}

} // namespace KxRpc
