#include "props/requests.h"

#include "target/login_session.h"
#include "wire/decode_budget.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// A flag that the request must send as FALSE.
bool_t xdr_false_flag(XDR *xdrs) {
    bool flag = false;
    return xdr_flag(xdrs, flag) && !flag;
}

bool_t xdr_prop_count(XDR *xdrs, int &count) { return xdr_list_count(xdrs, count) && count <= max_wire_prop_count; }

// A flag, then the handle when the flag is TRUE.
bool_t xdr_optional_state_handle(XDR *xdrs, StateItemPtr &item) {
    bool present = false;
    return xdr_flag(xdrs, present) && (!present || xdr_state_handle(xdrs, item));
}

} // namespace

// ---- PropsOpArgs

PropsOpArgs::~PropsOpArgs() = default;

bool_t PropsOpArgs::xdr_props_header(XDR *xdrs) {
    return xdr_correlator(xdrs) && xdr_false_flag(xdrs) && xdr_session_fields(xdrs);
}

// ---- FetchPropsArgs

FetchPropsArgs::FetchPropsArgs() = default;
FetchPropsArgs::~FetchPropsArgs() = default;

bool_t FetchPropsArgs::decode(XDR *xdrs) {
    int count = 0;
    return xdr_props_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_prop_count(xdrs, count) &&
           xdr_requested_props(xdrs, count, requested_props_) && xdr_dynamic_prop_names(xdrs, dynamic_props_) &&
           xdr_false_flag(xdrs) && xdr_optional_state_handle(xdrs, context_item_);
}

// ---- PutPropsArgs

PutPropsArgs::PutPropsArgs() = default;

PutPropsArgs::~PutPropsArgs() = default;

bool_t PutPropsArgs::decode(XDR *xdrs) {
    return xdr_props_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_put_items(xdrs);
}

bool_t PutPropsArgs::xdr_put_items(XDR *xdrs) {
    int count = 0;
    if (!xdr_prop_count(xdrs, count)) return FALSE;
    values_.reserve(list_reserve(count));
    for (int i = 0; i < count; ++i) {
        int prop = 0;
        int type = 0;
        if (!xdr_int(xdrs, &prop) || !xdr_int(xdrs, &type)) return FALSE;
        std::unique_ptr<BasePropValue> value;
        bool_t ok = xdr_prop_value(xdrs, prop, type, value);
        ++value_count_;
        // Kept even when its body failed, so the destructor frees it.
        if (value && !keep_decoded(values_, std::move(value))) return FALSE;
        if (!ok) return FALSE;
    }
    return xdr_dynamic_prop_names(xdrs, dynamic_props_) && xdr_flag(xdrs, atomic_) &&
           xdr_flag(xdrs, register_callback_);
}

Nul::UString PutPropsArgs::describe() {
    return text_format("(%s) (atomic:%s :: register_callback:%s)", trace_line(), tf(atomic_), tf(register_callback_));
}

} // namespace KxRpc
