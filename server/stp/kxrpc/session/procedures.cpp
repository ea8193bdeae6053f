// The procedures of sessions: delete_state and login.
#include <span>

#include "session/delete_state.h"
#include "session/login.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> session_procedures() {
    static ProcedureRow const rows[] = {
        served<DeleteStateArgs>(2, L"delete_state", xdr_routine(xdr_result_of<DeleteStateResp>), kxrpc_delete_state),
        served<LoginArgs>(5, L"login", xdr_routine(xdr_result_of<LoginResp>), kxrpc_login),
    };
    return rows;
}

} // namespace KxRpc
