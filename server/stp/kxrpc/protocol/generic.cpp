#include "protocol/generic.h"

namespace KxRpc {

GenericOpArgs::~GenericOpArgs() = default;

bool_t GenericOpArgs::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    enum_t type = 0;
    if (!xdr_enum(xdrs, &type)) return FALSE;
    resource_type_ = type;
    target_.set_type(type);
    return target_.xdr(xdrs);
}

Nul::UString GenericOpArgs::trace_line() {
    return Nul::UString(L"target_resource_arg:(") + target_.trace_line() + Nul::UString(L")");
}

void GenericOpArgs::assign(GenericOpArgs const &other) {
    if (this == &other) return;
    resource_type_ = other.resource_type_;
    target_ = other.target_;
}

} // namespace KxRpc
