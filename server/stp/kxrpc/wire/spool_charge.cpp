#include "wire/spool_charge.h"

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "arm4/arm4.h"
#include "ks_rpcsvc.h"
#include "wire/catalog.h"
#include "wire/exceptions.h"
#include "wire/handles.h"

namespace KxRpc {

namespace {

struct SpoolOwner {
    Charge charge;
    std::exception_ptr refusal; // the bound that refused its bytes
};

std::atomic<SessionPlaceOf> place_of{nullptr};

// The session the arguments name, nil when they name none where `place` says.
Nul::Oid session_named(SessionPlace place, char const *args, std::size_t len) {
    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char *>(args), static_cast<u_int>(std::min<std::size_t>(len, 1u << 20)),
                  XDR_DECODE);
    u_int length = 0;
    char skipped[ARM_CORR_MAX_LENGTH];
    Nul::Oid oid;
    bool_t flag = FALSE;
    if (!xdr_u_int(&xdrs, &length) || length > ARM_CORR_MAX_LENGTH || !xdr_opaque(&xdrs, skipped, length) ||
        (place == SessionPlace::props_header && !xdr_bool(&xdrs, &flag)) || !xdr_handle_oid(&xdrs, oid))
        oid = Nul::Oid();
    xdr_destroy(&xdrs);
    return oid;
}

extern "C" void *admit_record(rpcprog_t prog, rpcvers_t vers, rpcproc_t proc, char const *args, size_t len) {
    try {
        SessionPlaceOf const place = place_of.load();
        SessionPlace const where = place != nullptr ? place(prog, vers, proc) : SessionPlace::none;
        if (where == SessionPlace::none) return nullptr;
        Nul::Oid const session = session_named(where, args, len);
        if (session.is_nil() || !ledger_session_open(session)) return nullptr;
        auto *owner = new SpoolOwner;
        owner->charge = Charge(Holding::disk, session, 0);
        return owner;
    } catch (...) {
        // Out of memory: the record goes no further, and its call is answered from its head.
        return nullptr;
    }
}

extern "C" int charge_record(void *owner, unsigned long long bytes) {
    auto *o = static_cast<SpoolOwner *>(owner);
    try {
        o->charge.resize(bytes);
        return 0;
    } catch (...) {
        // Kept for the call: its decode answers the refusal that names the bound.
        o->refusal = std::current_exception();
        return EDQUOT;
    }
}

extern "C" void release_record(void *owner) { delete static_cast<SpoolOwner *>(owner); }

ks_spool_owners const owners{admit_record, charge_record, release_record};

} // namespace

void register_spool_owners(SessionPlaceOf place) {
    place_of.store(place);
    ks_rpc_control(KS_RPC_SVC_SPOOL_OWNERS, const_cast<ks_spool_owners *>(&owners));
}

std::exception_ptr spool_refusal(XDR *xdrs) {
    int const why = ks_svc_args_cut(xdrs);
    if (why == EDQUOT) {
        auto const *owner = static_cast<SpoolOwner const *>(ks_svc_args_owner(xdrs));
        return owner != nullptr ? owner->refusal : nullptr;
    }
    if (why != EACCES) return nullptr;
    try {
        raise_reason(Reason::internal_error,
                     kx_message(MSG_RECORD_WITHOUT_SESSION,
                                Nul::UMessage::Arg(Nul::UString(std::to_wstring(KS_SPOOL_THRESHOLD).c_str()))));
    } catch (...) {
        // Made to be held: the call's decode answers it.
        return std::current_exception();
    }
}

void hold_spool_refusal(XDR *xdrs) noexcept {
    try {
        std::exception_ptr held = take_decode_failure();
        hold_decode_failure(held ? held : spool_refusal(xdrs));
    } catch (...) {
        // Answered as undecodable arguments, as before.
    }
}

void take_spool_charge(XDR *xdrs, Charge &into, std::uint64_t bytes) {
    auto *owner = static_cast<SpoolOwner *>(ks_svc_args_owner(xdrs));
    if (owner != nullptr)
        into.take(owner->charge, bytes);
    else
        into.grow(bytes);
}

} // namespace KxRpc
