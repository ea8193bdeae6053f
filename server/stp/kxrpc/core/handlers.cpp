// Handlers of delete_state and login.
#include "kxrpc_dispatch.h"

#include "protocol/checked_casts.h"
#include "protocol/login.h"
#include "protocol/requests.h"
#include "protocol/trace.h"

namespace KxRpc {

bool kxrpc_delete_state(XdrObject *request, XdrObject **result) {
    DeleteStateArgs *args = checked_delete_state_args_cast(request, "DeleteStateArgs");
    auto *response = new DeleteStateResp(*args);
    *result = response;
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_delete_state %s)", args->describe()); });
    return true;
}

bool kxrpc_login(XdrObject *request, XdrObject **result) {
    LoginArgs *args = checked_login_args_cast(request, "LoginArgs");
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_login %s)", args->trace_line()); });
    *result = new LoginResp(*args);
    return true;
}

} // namespace KxRpc
