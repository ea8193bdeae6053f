// The procedures of the core: ping and shutdown.
#include <span>

#include "core/shutdown.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> core_procedures() {
    static ProcedureRow const rows[] = {
        // No arguments, no handler: the dispatcher answers at once with an empty reply.
        ProcedureRow{0, L"ping", nullptr, 0, nullptr, xdr_routine(xdr_void), nullptr},
        // No arguments; the empty reply carries no leading FALSE.
        served<XdrVoid>(1, L"shutdown", xdr_routine(xdr_unframed_result_of<XdrVoid>), kxrpc_shutdown),
    };
    return rows;
}

} // namespace KxRpc
