// The procedures of property access: fetch_props and put_props.
#include <span>

#include "props/replies.h"
#include "props/requests.h"
#include "wire/procedure.h"

namespace KxRpc {

std::span<ProcedureRow const> props_procedures() {
    static ProcedureRow const rows[] = {
        decoded<FetchPropsArgs>(3, L"fetch_props"),
        served<PutPropsArgs>(4, L"put_props", xdr_routine(xdr_result_of<PutPropsIter>), nullptr),
    };
    return rows;
}

} // namespace KxRpc
