// Which request class, argument routine and result routine serve each procedure number. An
// entry whose request or response class is not built yet has null routines: such a procedure
// gets no handler and is answered PROC_UNAVAIL.
#pragma once

#include <cstddef>

#include <rpc/xdr.h>

#include "wire/xdrobject.h"

namespace KxRpc {

constexpr int procedure_map_size = 37;

struct ProcedureGlue {
    wchar_t const *name;
    XdrObject *(*construct)(void *storage); // builds the request in the dispatcher's storage
    std::size_t request_size;
    xdrproc_t xdr_args;   // decode only
    xdrproc_t xdr_result; // encode (with or without the leading FALSE) and free
};

// Null outside 0 to 36.
ProcedureGlue const *procedure_glue(int number);

} // namespace KxRpc
