#include "target/genericop.h"

#include "wire/decode_budget.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/xdr.h"

namespace KxRpc {

GenericOpArgs::GenericOpArgs() = default;
GenericOpArgs::GenericOpArgs(GenericOpArgs const &other)
    : resource_type_(other.resource_type_), target_(other.target_) {}

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

bool_t xdr_target(XDR *xdrs, GenericOpArgs &target) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    try {
        if (!xdr_int(xdrs, &target.resource_type_)) return FALSE;
        target.target_.set_type(target.resource_type_);
        return target.target_.xdr(xdrs);
    } catch (...) {
        return hold_failure(xdrs, L"xdr_target");
    }
}

bool_t xdr_optional_target(XDR *xdrs, bool &present, GenericOpArgs &target) {
    return xdr_flag(xdrs, present) && (!present || xdr_target(xdrs, target));
}

Nul::UString GenericOpArgs::trace_line() { return text_format("target_resource_arg:(%s)", target_.trace_line()); }

bool_t xdr_targets(XDR *xdrs, int count, std::vector<GenericOpArgs> &targets) {
    if (count < 0) return FALSE;
    targets.reserve(list_reserve(count));
    for (int i = 0; i < count; ++i) {
        GenericOpArgs target;
        if (!xdr_target(xdrs, target) || !keep_decoded(targets, std::move(target))) return FALSE;
    }
    return TRUE;
}

bool_t xdr_target_list(XDR *xdrs, std::vector<GenericOpArgs> &targets) {
    int count = 0;
    return xdr_list_count(xdrs, count) && xdr_targets(xdrs, count, targets);
}

} // namespace KxRpc
