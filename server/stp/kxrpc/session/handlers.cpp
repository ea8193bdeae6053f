// Handlers of delete_state and login.
#include "session/handlers.h"

#include "session/delete_state.h"
#include "session/login.h"
#include "wire/casts.h"
#include "wire/trace.h"

namespace KxRpc {

bool kxrpc_delete_state(XdrObject *request, XdrObject **result) {
    DeleteStateArgs *args = checked_cast<DeleteStateArgs>(request, "DeleteStateArgs");
    auto *response = new DeleteStateResp(*args);
    *result = response;
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_delete_state %s)", args->describe()); });
    return true;
}

bool kxrpc_login(XdrObject *request, XdrObject **result) {
    LoginArgs *args = checked_cast<LoginArgs>(request, "LoginArgs");
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_login %s)", args->trace_line()); });
    *result = new LoginResp(*args);
    return true;
}

} // namespace KxRpc
