#include "genericop.h"

#include "protocol/textfmt.h"

namespace KxRpc {

GenericOpArgs::GenericOpArgs() = default;
GenericOpArgs::GenericOpArgs(GenericOpArgs const &other) : resource_type_(other.resource_type_), target_(other.target_) {}

GenericOpArgs &GenericOpArgs::operator=(GenericOpArgs const &other) {
    assign(other);
    return *this;
}

GenericOpArgs::~GenericOpArgs() = default;

void GenericOpArgs::assign(GenericOpArgs const &other) {
    if (this == &other) return;
    resource_type_ = other.resource_type_;
    target_ = other.target_;
}

bool_t GenericOpArgs::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    try {
        if (!xdr_int(xdrs, &resource_type_)) return FALSE;
        target_.set_type(resource_type_);
        return target_.xdr(xdrs);
    } catch (...) {
        return FALSE;
    }
}

Nul::UString GenericOpArgs::trace_line() { return text_format("target_resource_arg:(%s)", target_.trace_line()); }

} // namespace KxRpc
