// XDR glue of the procedure table: argument routines decode the request object in place;
// result routines encode through a pointer to the response pointer and delete on XDR_FREE.
#pragma once

#include <new>

#include <rpc/xdr.h>

#include "protocol/xdrobject.h"

namespace KxRpc {

// Decode only; every other operation fails.
bool_t xdr_request_args(XDR *xdrs, void *object);

// The response framing: FALSE (no error) and the response object's own encoding.
bool_t xdr_framed_result(XDR *xdrs, void *result);
// A response that writes its own leading FALSE or error arm.
bool_t xdr_unframed_result(XDR *xdrs, void *result);

// The runtime's routine type is variadic; every routine here is (XDR *, void *).
template <class F>
xdrproc_t as_xdrproc(F *routine) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}

template <class Args>
XdrObject *construct_request(void *buffer) {
    return ::new (buffer) Args();
}

} // namespace KxRpc
