#include "target/requests.h"

#include <cstring>

#include "target/login_session.h"
#include "tesutil/arm.h"
#include "tesutil/umessage.h"
#include "wire/decode_budget.h"
#include "wire/exceptions.h"
#include "wire/locale.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

constexpr u_int max_correlator_length = ARM_CORR_MAX_LENGTH;

Nul::UString format(char const *fmt, Nul::UMessage::Arg const &a1,
                    Nul::UMessage::Arg const &a2 = Nul::UMessage::Arg::nil) {
    return Nul::UMessage::sprintf(fmt, a1, a2);
}

} // namespace

// ---- ArmCorrelatorArg

ArmCorrelatorArg::~ArmCorrelatorArg() {
    if (correlator_ != nullptr) ignoring_failures([] { Nul::ArmPerThreadOperationStack::release_base_correlator(); });
}

bool_t ArmCorrelatorArg::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_DECODE) return FALSE;
    try {
        return decode(xdrs);
    } catch (...) {
        return hold_failure(xdrs, L"ArmCorrelatorArg::xdr");
    }
}

void ArmCorrelatorArg::add_arm_context(Nul::ArmBuffer &buffer) {
    Nul::UString uri = arm_target_uri();
    if (uri.empty()) return;
    Nul::ArmTransContextBuffer context;
    context.set_uri(uri);
    buffer.add_buffer(context);
}

Nul::UString ArmCorrelatorArg::arm_user_name() { return Nul::UString(); }
Nul::UString ArmCorrelatorArg::arm_target_uri() { return Nul::UString(); }

bool_t ArmCorrelatorArg::xdr_correlator(XDR *xdrs) {
    u_int length = 0;
    if (!xdr_u_int(xdrs, &length)) return FALSE;
    if (length == 0) return TRUE;
    // The correlator areas are fixed; a longer one is refused, never copied past them.
    if (length > max_correlator_length) return FALSE;
    arm_correlator *base = Nul::ArmPerThreadOperationStack::get_base_correlator();
    if (base == nullptr) {
        char scratch[max_correlator_length];
        return xdr_opaque(xdrs, scratch, length);
    }
    std::memset(base->opaque, 0, sizeof base->opaque);
    if (!xdr_opaque(xdrs, reinterpret_cast<char *>(base->opaque), length)) return FALSE;
    correlator_ = base;
    return TRUE;
}

// ---- TraceInfo, ContextArg

Nul::UString TraceInfo::trace_line() const {
    return format("wtid:%x", Nul::UMessage::Arg(static_cast<unsigned>(wtid)));
}

bool_t xdr_trace_id(XDR *xdrs, TraceInfo &trace) { return xdr_int(xdrs, &trace.wtid); }

ContextArg::ContextArg() : client_locale(Nul::UString(Nul::Utf8String(default_client_locale))) {}

// ---- SessionArg

SessionArg::~SessionArg() { clear_call_session(session_.get()); }

bool_t SessionArg::xdr_session_fields(XDR *xdrs) {
    StateItemPtr item;
    if (!xdr_state_handle(xdrs, item)) return FALSE;
    // A handle of another kind of item is no session.
    session_ = std::dynamic_pointer_cast<LoginSession>(item);
    // The handles that follow answer only if their items are this session's.
    set_call_session(session_.get());
    if (session_) note_call_connection(*session_);
    // Such a call is answered as for an unknown session whatever follows: nothing it lists is kept.
    if (!session_) drop_decoded_lists();
    if (!xdr_ustring(xdrs, context_.client_locale)) return FALSE;
    stprpc_abstract_set_client_locale(context_.client_locale);
    xdr_trace_id(xdrs, trace_);
    return TRUE;
}

Nul::UString SessionArg::arm_user_name() {
    if (!session_) return Nul::UString();
    return session_->arm_user_name(Nul::ArmApplication::level());
}

Nul::UString SessionArg::trace_line() {
    Nul::UString base = trace_.trace_line();
    if (!session_) return format("%s :: no session", Nul::UMessage::Arg(base));
    return format("%s :: session:(%s)", Nul::UMessage::Arg(base), Nul::UMessage::Arg(session_->trace_text()));
}

LoginSession *SessionArg::session_or_fail() {
    if (!session_) throw_internal_error(L"Invalid Pointer");
    return session_.get();
}

AdSession *SessionArg::api_session_or_fail() {
    AdSession *api = session_or_fail()->session();
    if (api == nullptr) throw_internal_error(L"Invalid Pointer");
    return api;
}

// ---- InterruptibleArgs

bool_t xdr_interruptible(XDR *xdrs, InterruptibleArgs &paging) {
    if (!xdr_int(xdrs, &paging.request_num_)) return FALSE;
    if (!xdr_flag(xdrs, paging.is_returning_)) return FALSE;
    return !paging.is_returning_ || xdr_state_handle(xdrs, paging.state_);
}

Nul::UString InterruptibleArgs::trace_line() const {
    return format("is_returning:%s :: request_num:%d", Nul::UMessage::Arg(is_returning_ ? "T" : "F"),
                  Nul::UMessage::Arg(request_num_));
}

// ---- TargetOpArgs

TargetOpArgs::~TargetOpArgs() = default;

bool_t TargetOpArgs::decode(XDR *xdrs) { return xdr_session_header(xdrs) && xdr_target(xdrs, target_op_); }

Nul::UString TargetOpArgs::arm_target_uri() { return target().arm_target_uri(session_or_fail()->session()); }

Nul::UString TargetOpArgs::session_and_target() {
    return text_format("%s :: %s", trace_line(), target_op_.trace_line());
}

} // namespace KxRpc
