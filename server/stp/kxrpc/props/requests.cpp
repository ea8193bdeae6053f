#include "props/requests.h"

#include "target/login_session.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

// ---- PropsOpArgs

PropsOpArgs::PropsOpArgs() = default;
PropsOpArgs::~PropsOpArgs() = default;

bool_t PropsOpArgs::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    try {
        if (!xdr_correlator(xdrs) || !xdr_no_batch_flag(xdrs)) return FALSE;
        return SessionArg::xdr(xdrs);
    } catch (...) {
        ignore_current_exception(std::source_location::current());
        return FALSE;
    }
}

bool_t PropsOpArgs::xdr_no_batch_flag(XDR *xdrs) {
    bool batch = false;
    return xdr_flag(xdrs, batch) && !batch;
}

bool_t PropsOpArgs::xdr_body(XDR *xdrs) { return xdr_props(xdrs); }

bool_t PropsOpArgs::xdr_props(XDR *xdrs) { return GenericOpArgs::xdr(xdrs) && xdr_prop_items(xdrs); }

bool_t PropsOpArgs::xdr_prop_items(XDR *xdrs) {
    int count = 0;
    if (!xdr_list_count(xdrs, count) || count > max_wire_prop_count) return FALSE;
    return xdr_prop_list(xdrs, count) && xdr_dynamic_props_names(xdrs) && xdr_rest(xdrs);
}

bool_t PropsOpArgs::xdr_dynamic_props_names(XDR *xdrs) { return xdr_dynamic_prop_names(xdrs, dynamic_props_); }

Nul::UString PropsOpArgs::arm_target_uri() { return target_.arm_target_uri(session_or_fail()->session()); }

Nul::UString PropsOpArgs::trace_line() {
    return text_format("%s :: %s", SessionArg::trace_line(), GenericOpArgs::trace_line());
}

// ---- FetchPropsArgs

FetchPropsArgs::FetchPropsArgs() = default;
FetchPropsArgs::~FetchPropsArgs() = default;

bool_t FetchPropsArgs::xdr_prop_list(XDR *xdrs, int count) {
    return xdr_requested_props(xdrs, count, requested_props_);
}

bool_t FetchPropsArgs::xdr_rest(XDR *xdrs) {
    bool trailing = false;
    if (!xdr_flag(xdrs, trailing) || trailing) return FALSE;
    bool present = false;
    if (!xdr_flag(xdrs, present)) return FALSE;
    return !present || xdr_state_handle(xdrs, context_item_);
}

// ---- PutPropsArgs

PutPropsArgs::PutPropsArgs() = default;

PutPropsArgs::~PutPropsArgs() {
    for (BasePropValue *value : values_) ignoring_failures([value] { delete value; });
}

bool_t PutPropsArgs::xdr_value(XDR *xdrs, int prop_id, int value_type, std::unique_ptr<BasePropValue> &out) {
    return xdr_prop_value(xdrs, prop_id, value_type, out);
}

bool_t PutPropsArgs::xdr_prop_list(XDR *xdrs, int count) {
    if (count < 0) return FALSE;
    values_.reserve(list_reserve(count));
    for (int i = 0; i < count; ++i) {
        int prop = 0;
        int type = 0;
        if (!xdr_int(xdrs, &prop) || !xdr_int(xdrs, &type)) return FALSE;
        std::unique_ptr<BasePropValue> value;
        bool_t ok = xdr_value(xdrs, prop, type, value);
        // Kept even when its body failed, so the destructor frees it.
        if (value) values_.push_back(value.release());
        if (!ok) return FALSE;
    }
    return TRUE;
}

bool_t PutPropsArgs::xdr_flags(XDR *xdrs) { return xdr_flag(xdrs, atomic_) && xdr_flag(xdrs, register_callback_); }

bool_t PutPropsArgs::xdr_rest(XDR *xdrs) { return xdr_flags(xdrs); }

Nul::UString PutPropsArgs::describe() {
    return text_format("(%s) (atomic:%s :: register_callback:%s)", PropsOpArgs::trace_line(), tf(atomic_),
                       tf(register_callback_));
}

} // namespace KxRpc
