#include "kxrpc_glue.h"
#include "kxrpc_requests.h"

namespace KxRpc {

EmptyArgs::~EmptyArgs() = default;

bool_t xdr_request_args(XDR *xdrs, void *object) {
    if (xdrs->x_op != XDR_DECODE || !object)
        return FALSE;
    return static_cast<XdrObject *>(object)->xdr(xdrs);
}

namespace {

bool_t result_routine(XDR *xdrs, void *result, bool framed) {
    auto **slot = static_cast<XdrObject **>(result);
    switch (xdrs->x_op) {
    case XDR_FREE:
        delete *slot;
        *slot = nullptr;
        return TRUE;
    case XDR_ENCODE: {
        if (!*slot)
            return FALSE;
        bool_t no_error = FALSE;
        if (framed && !xdr_bool(xdrs, &no_error))
            return FALSE;
        return (*slot)->xdr(xdrs);
    }
    default:
        return FALSE;
    }
}

} // namespace

bool_t xdr_framed_result(XDR *xdrs, void *result) { return result_routine(xdrs, result, true); }
bool_t xdr_unframed_result(XDR *xdrs, void *result) { return result_routine(xdrs, result, false); }

} // namespace KxRpc
