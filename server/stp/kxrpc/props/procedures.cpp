// The procedures of property access: fetch_props and put_props.
#include <span>

#include "props/handlers.h"
#include "props/replies.h"
#include "props/requests.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> props_procedures() {
    static ProcedureRow const rows[] = {
        served<FetchPropsArgs>(3, L"fetch_props", xdr_routine(xdr_result_of<FetchPropsIter>), kxrpc_fetch_props),
        served<PutPropsArgs>(4, L"put_props", xdr_routine(xdr_result_of<PutPropsIter>), kxrpc_put_props),
    };
    return rows;
}

} // namespace KxRpc
