// Typed argument and result routines of the procedures. A failure of any kind, a cast mismatch
// included, is held for the dispatcher (hold_failure) and reported as FALSE: nothing unwinds into
// the RPC runtime.
#pragma once

#include <source_location>

#include <rpc/xdr.h>

#include "wire/casts.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/spool_charge.h"
#include "wire/trace.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// Decodes the request object built in the dispatcher's storage; encode and free are refused
// and leave the object alone (the dispatcher destroys it in place).
template <class T>
bool_t xdr_args_of(XDR *xdrs, void *object) noexcept {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    try {
        XdrObject *request = checked_cast<T>(static_cast<XdrObject *>(object));
        if (request->xdr(xdrs)) return TRUE;
        // A record cut on its way to disk is answered with why, not as undecodable arguments.
        hold_spool_refusal(xdrs);
        return FALSE;
    } catch (...) {
        return hold_failure(xdrs, L"xdr_args_of");
    }
}

// `result` points to the response pointer. Encode writes the leading FALSE when `framed`, then
// the response; free deletes the response (a null one too) and clears the pointer.
template <class T, bool framed = true>
bool_t xdr_result_of(XDR *xdrs, void *result) noexcept {
    auto **slot = static_cast<XdrObject **>(result);
    if (!slot) return xdrs->x_op == XDR_FREE ? TRUE : FALSE;
    try {
        switch (xdrs->x_op) {
        case XDR_FREE: {
            XdrObject *object = *slot;
            *slot = nullptr;
            delete object;
            return TRUE;
        }
        case XDR_ENCODE: {
            XdrObject *response = checked_cast<T>(*slot);
            bool_t no_error = FALSE;
            if (framed && !xdr_bool(xdrs, &no_error)) return FALSE;
            return response->xdr(xdrs);
        }
        default:
            return FALSE;
        }
    } catch (...) {
        return hold_failure(xdrs, L"xdr_result_of");
    }
}

template <class T>
bool_t xdr_unframed_result_of(XDR *xdrs, void *result) noexcept {
    return xdr_result_of<T, false>(xdrs, result);
}

} // namespace KxRpc
