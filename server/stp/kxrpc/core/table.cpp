// The procedure table: one entry per procedure number, from the protocol's procedure map and the
// handlers that exist.
#include "core/kxrpc_dispatch.h"

#include "wire/glue.h"
#include "core/procmap.h"
#include "session/handlers.h"

namespace KxRpc {

namespace {

rpc_handler_t handler_of(int number) {
    switch (number) {
    case 1:
        return kxrpc_shutdown;
    case 2:
        return kxrpc_delete_state;
    case 5:
        return kxrpc_login;
    default:
        return nullptr;
    }
}

RpcProcedure make_entry(int number) {
    ProcedureGlue const *glue = procedure_glue(number);
    rpc_handler_t handler = handler_of(number);
    // A handler is only reachable with a request to decode and a reply to encode.
    if (!glue->construct || !glue->xdr_args || !glue->xdr_result || glue->request_size > max_request_size)
        handler = nullptr;
    return RpcProcedure{handler, glue->construct, glue->request_size, glue->xdr_args, glue->xdr_result, glue->name, {}};
}

} // namespace

RpcProcedure *procedure_table() {
    // Built on first use, which start-up makes before the service loop runs; read-only afterwards.
    static RpcProcedure *table = [] {
        static RpcProcedure entries[procedure_count_value];
        for (int i = 0; i < procedure_count_value; ++i)
            entries[i] = make_entry(i);
        return entries;
    }();
    return table;
}

int procedure_count() { return procedure_count_value; }

} // namespace KxRpc
