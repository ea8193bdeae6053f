#include "change/requests.h"

#include "target/login_session.h"
#include "wire/textfmt.h"
#include "wire/xdr.h"

namespace KxRpc {

ValidateRecordPropsArgs::~ValidateRecordPropsArgs() = default;

RevertRecordArgs::~RevertRecordArgs() = default;

ValidateActionArgs::~ValidateActionArgs() = default;

bool_t ValidateActionArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_target(xdrs, action_) &&
           xdr_int(xdrs, &action_type_);
}

Nul::UString ValidateActionArgs::describe() {
    return text_format("(%s) (%s) :: (action:%s :: type:%d)", SessionArg::trace_line(), target_op_.trace_line(),
                       action_.trace_line(), action_type_);
}

FireHookArgs::~FireHookArgs() = default;

bool_t FireHookArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_target(xdrs, hook_) &&
           xdr_ustring(xdrs, param_, max_wire_text) && xdr_flag(xdrs, get_side_effects_) &&
           xdr_ustring(xdrs, form_name_) && xdr_ustring(xdrs, tab_name_);
}

Nul::UString FireHookArgs::describe() {
    return text_format("%s :: %s :: (hook:%s :: param:%s:: get_side_effects:%s :: formName:%s :: tabName:%s)",
                       SessionArg::trace_line(), target_op_.trace_line(), hook_.trace_line(), param_,
                       tf(get_side_effects_), form_name_, tab_name_);
}

FireScriptAliasArgs::~FireScriptAliasArgs() = default;

bool_t FireScriptAliasArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_target(xdrs, action_) &&
           xdr_ustring(xdrs, form_name_) && xdr_ustring(xdrs, tab_name_);
}

Nul::UString FireScriptAliasArgs::describe() {
    return text_format("%s :: %s :: action:%s :: formName:%s :: tabName:%s", SessionArg::trace_line(),
                       target_op_.trace_line(), action_.trace_line(), form_name_, tab_name_);
}

FireScriptAliasResp::FireScriptAliasResp(Nul::UString const &result) : result_(result) {}

FireScriptAliasResp::~FireScriptAliasResp() = default;

bool_t FireScriptAliasResp::xdr(XDR *xdrs) { return encode_only(xdrs) && xdr_ustring(xdrs, result_); }

} // namespace KxRpc
