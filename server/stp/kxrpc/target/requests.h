// What requests share, and the small decoders of their common fields. A request class lists its
// fields in wire order in one `decode` function built from these decoders: the ARM correlator,
// the trace id, the session header, targets and the paging part.
#pragma once

#include <memory>
#include <vector>

#include <rpc/xdr.h>

#include "target/genericop.h"
#include "tesutil/ustring.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

struct arm_correlator;

namespace Nul {
class ArmBuffer;
}

class AdSession;

namespace KxRpc {

class LoginSession;

// The root of every request: the ARM correlator the call carried and what the dispatcher asks of
// a request for the call's ARM transaction.
class ArmCorrelatorArg : public XdrObject {
public:
    ArmCorrelatorArg() = default;
    ArmCorrelatorArg(ArmCorrelatorArg const &) = delete;
    ArmCorrelatorArg &operator=(ArmCorrelatorArg const &) = delete;
    // Releases the thread's base correlator when the request holds it.
    ~ArmCorrelatorArg() override;
    // Decode only (free succeeds and does nothing): runs `decode`. A server exception is held for
    // the dispatcher to answer; any failure is reported as FALSE.
    bool_t xdr(XDR *xdrs) override;
    // Adds a transaction context with arm_target_uri when that is not empty.
    void add_arm_context(Nul::ArmBuffer &buffer);
    virtual Nul::UString arm_user_name();
    virtual Nul::UString arm_target_uri();

    bool has_correlator() const { return correlator_ != nullptr; }
    arm_correlator *correlator() const { return correlator_; }
    // Length (0: none, at most 512), then the bytes: into the thread's base correlator while ARM
    // is on, otherwise read and dropped.
    bool_t xdr_correlator(XDR *xdrs);

protected:
    // The request's fields, in wire order.
    virtual bool_t decode(XDR *xdrs) = 0;

    arm_correlator *correlator_ = nullptr;
};

// The trace id of a request, -1 until decoded.
struct TraceInfo {
    // "wtid:%x".
    Nul::UString trace_line() const;
    int wtid = -1;
};

// One int; decode only.
bool_t xdr_trace_id(XDR *xdrs, TraceInfo &trace);

// The client's locale ("en_US" until decoded) and, in a login, its context text.
struct ContextArg {
    ContextArg();
    Nul::UString client_locale;
    Nul::UString context_text;
};

// A request made in a login session.
class SessionArg : public ArmCorrelatorArg {
public:
    ~SessionArg() override;
    Nul::UString arm_user_name() override;
    // "wtid:%x :: session:(%s)", or "wtid:%x :: no session".
    Nul::UString trace_line();
    int wtid() const { return trace_.wtid; }
    Nul::UString client_locale() const { return context_.client_locale; }
    Nul::UString context_text() const { return context_.context_text; }

    // The decoded login session; an unknown handle, or one that names another kind of item,
    // raises "Invalid Pointer".
    LoginSession *session_or_fail();
    // The user's product session; an administrator login has none and raises the same way.
    AdSession *api_session_or_fail();
    std::shared_ptr<LoginSession> const &session() const { return session_; }

protected:
    // The session header: correlator, then the session fields.
    bool_t xdr_session_header(XDR *xdrs) { return xdr_correlator(xdrs) && xdr_session_fields(xdrs); }
    // Session handle, client locale (stored for the thread at once), trace id (its outcome not
    // tested).
    bool_t xdr_session_fields(XDR *xdrs);

    TraceInfo trace_;
    ContextArg context_;
    std::shared_ptr<LoginSession> session_;
};

// The paging part of a paged request: request_num, is_returning, and the state handle of the
// earlier call when returning.
class InterruptibleArgs {
public:
    // "is_returning:%s :: request_num:%d".
    Nul::UString trace_line() const;
    int request_num() const { return request_num_; }
    bool is_returning() const { return is_returning_; }
    StateItemPtr const &state() const { return state_; }

private:
    friend bool_t xdr_interruptible(XDR *xdrs, InterruptibleArgs &paging);
    bool is_returning_ = false;
    StateItemPtr state_;
    int request_num_ = 0;
};

bool_t xdr_interruptible(XDR *xdrs, InterruptibleArgs &paging);

// A session request that addresses one resource: its target and the target's accessors. Its body
// is the target unless the request's own decode says more.
class TargetOpArgs : public SessionArg {
public:
    ~TargetOpArgs() override;
    // The target's ARM text in the request's product session.
    Nul::UString arm_target_uri() override;
    // "%s :: %s": the session line and the target line.
    Nul::UString session_and_target();

    GenericOpArgs &target_op() { return target_op_; }
    int resource_type() const { return target_op_.resource_type(); }
    TargetResourceArg &target() { return target_op_.target(); }
    TargetResourceArg const &target() const { return target_op_.target(); }
    AdEntityPtr record(AdSession *session) { return target_op_.record(session); }
    AdBucketPtr bucket(AdSession *session) { return target_op_.bucket(session); }
    StateItem *state_item_or_fail() const { return target_op_.state_item_or_fail(); }
    bool is_state_item_target() const { return target_op_.is_state_item_target(); }

protected:
    // Session header, target.
    bool_t decode(XDR *xdrs) override;

    GenericOpArgs target_op_;
};

} // namespace KxRpc
