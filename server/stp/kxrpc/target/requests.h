// The bases of every request: ARM correlator, client locale, trace id, the session header, the
// requests without a session and the requests whose body is one target.
#pragma once

#include <memory>
#include <vector>

#include <rpc/xdr.h>

#include "tesutil/ustring.h"
#include "target/genericop.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

struct arm_correlator;

namespace Nul {
class ArmBuffer;
}

class AdSession;

namespace KxRpc {

class LoginSession;

class ArmCorrelatorArg : public XdrObject {
public:
    ArmCorrelatorArg() = default;
    ArmCorrelatorArg(ArmCorrelatorArg const &) = delete;
    ArmCorrelatorArg &operator=(ArmCorrelatorArg const &) = delete;
    // Releases the thread's base correlator when the request holds it.
    ~ArmCorrelatorArg() override;
    // Adds a transaction context with arm_target_uri when that is not empty.
    virtual void add_arm_context(Nul::ArmBuffer &buffer);
    virtual Nul::UString arm_user_name();
    virtual Nul::UString arm_target_uri();
    // True when the correlator was read before the header (property requests).
    virtual bool correlator_decoded();

    bool has_correlator() const { return correlator_ != nullptr; }
    arm_correlator *correlator() const { return correlator_; }
    // Length (0: none, at most 512), then the bytes: into the thread's base correlator while ARM
    // is on, otherwise read and dropped.
    bool_t xdr_correlator(XDR *xdrs);

protected:
    arm_correlator *correlator_ = nullptr;
};

class ContextArg : public ArmCorrelatorArg {
public:
    ContextArg();
    ~ContextArg() override;
    virtual Nul::UString client_locale() { return client_locale_; }
    virtual Nul::UString context_text() { return context_text_; }
    virtual bool_t xdr_body(XDR *xdrs) = 0;
    bool_t xdr_locale(XDR *xdrs);

protected:
    Nul::UString client_locale_;
    Nul::UString context_text_;
};

// The trace id of a request; a second base of requests.
class TraceInfo {
public:
    TraceInfo() = default;
    TraceInfo(TraceInfo const &) = default;
    TraceInfo &operator=(TraceInfo const &) = default;
    // "wtid:%x".
    virtual Nul::UString trace_line();
    virtual ~TraceInfo();
    // Decode only: one int.
    bool_t xdr(XDR *xdrs);
    int wtid() const { return wtid_; }

protected:
    int wtid_ = -1;
};

class SessionArg : public ContextArg, public TraceInfo {
public:
    SessionArg();
    ~SessionArg() override;
    // The session header: correlator (unless already read), session handle, client locale
    // (stored for the thread), trace id, then the body.
    bool_t xdr(XDR *xdrs) override;
    Nul::UString arm_user_name() override;
    Nul::UString trace_line() override;

    // The decoded login session; an unknown handle, or one that names another kind of item,
    // raises "Invalid Pointer".
    LoginSession *session_or_fail();
    // The user's product session; an administrator login has none and raises the same way.
    AdSession *api_session_or_fail();
    std::shared_ptr<LoginSession> const &session() const { return session_; }

protected:
    std::shared_ptr<LoginSession> session_;
};

// A further base of paged requests.
class InterruptibleArgs {
public:
    InterruptibleArgs();
    InterruptibleArgs(InterruptibleArgs const &) = delete;
    InterruptibleArgs &operator=(InterruptibleArgs const &) = delete;
    // request_num, is_returning, and the state handle of the earlier call when returning.
    virtual bool_t xdr(XDR *xdrs);
    // "is_returning:%s :: request_num:%d".
    virtual Nul::UString trace_line();
    int request_num() const { return request_num_; }
    bool is_returning() const { return is_returning_; }
    StateItemPtr const &state() const { return state_; }

protected:
    ~InterruptibleArgs();
    bool is_returning_ = false;
    StateItemPtr state_;
    int request_num_ = 0;
};

// Requests without a session: correlator, trace id, then their own fields.
class NoSessionArgs : public ArmCorrelatorArg, public TraceInfo {
public:
    ~NoSessionArgs() override;
    bool_t xdr(XDR *xdrs) override;

protected:
    virtual bool_t xdr_fields(XDR *xdrs) = 0;
};

// A session request whose body is its target.
class TargetOpArgs : public SessionArg, public GenericOpArgs {
public:
    ~TargetOpArgs() override;
    bool_t xdr_body(XDR *xdrs) override { return GenericOpArgs::xdr(xdrs); }
    // The target's ARM text in the request's product session.
    Nul::UString arm_target_uri() override;
    // "%s :: %s": the session line and the target line.
    Nul::UString session_and_target();
};

} // namespace KxRpc
