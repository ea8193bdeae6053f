// The checked down-casts of the protocol classes, one per target class.
#pragma once

#include "wire/casts.h"
#include "session/delete_state.h"
#include "session/login.h"
#include "wire/requests.h"
#include "wire/held_items.h"
#include "wire/xdrobject.h"

namespace KxRpc {

inline DeleteStateArgs *checked_delete_state_args_cast(XdrObject *p, char const *name) {
    return checked_cast<DeleteStateArgs>(p, name);
}
inline LoginArgs *checked_login_args_cast(XdrObject *p, char const *name) { return checked_cast<LoginArgs>(p, name); }

inline XdrVoid *checked_xdr_void_cast(XdrObject *p, char const *name) { return checked_cast<XdrVoid>(p, name); }
inline DeleteStateResp *checked_delete_state_resp_cast(XdrObject *p, char const *name) {
    return checked_cast<DeleteStateResp>(p, name);
}
inline LoginResp *checked_login_resp_cast(XdrObject *p, char const *name) { return checked_cast<LoginResp>(p, name); }

inline RecordStateItem *checked_record_state_item_cast(StateItem *p, char const *name) {
    return checked_cast<RecordStateItem>(p, name);
}
inline QueryItemStateItem *checked_query_item_state_item_cast(StateItem *p, char const *name) {
    return checked_cast<QueryItemStateItem>(p, name);
}

// Plain casts: null for another class, never an exception.
inline RecordStateItem *as_record_state_item(StateItem *p) { return plain_cast<RecordStateItem>(p); }
inline ArmStopOperation *as_arm_stop_operation(XdrObject *p) { return plain_cast<ArmStopOperation>(p); }
inline ArmCorrelatorArg *as_arm_correlator_arg(XdrObject *p) { return plain_cast<ArmCorrelatorArg>(p); }

} // namespace KxRpc
