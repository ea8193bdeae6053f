// The call this thread serves, as one object: the peer it came from, its login session, what it
// registered, the failures its decoder and encoder hold for the dispatcher, its decode budget.
// The dispatcher opens the scope for each call and owns the object.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "ks_rpcsvc.h"
#include "tesutil/oid.h"

namespace KxRpc {

class StateItem;
class DecodeBudget;

// A peer's address as its connection gives it.
struct PeerAddress {
    sockaddr_storage addr{};
    socklen_t length = 0;
    bool known() const { return length > 0; }
    // 127.0.0.0/8, ::1 and IPv4-mapped loopback addresses.
    bool is_loopback() const;
    // The address alone, as text ("" when unknown).
    std::string host() const;
    // The host that failures are counted against: an IPv4 address (an IPv4-mapped one too) as
    // itself, an IPv6 address by its /64, and every loopback address as one ("" when unknown).
    std::string host_key() const;
};

// What lives for one call and no longer. The XDR routines are C callbacks with fixed
// signatures, so they reach it through the thread's pointer to the current call.
struct CallState {
    KS_SVCXPRT *transport = nullptr;
    bool served = false;
    bool peer_asked = false;
    PeerAddress peer;
    // The login session the header named (null: none), its key, and the items the call registered
    // for it (wire/handles.cpp).
    StateItem *session = nullptr;
    Nul::Oid session_key;
    std::vector<Nul::Oid> made;
    // Held for the dispatcher to answer (wire/exceptions.h).
    std::exception_ptr decode_failure;
    std::exception_ptr reply_failure;
    // The budget that decoding charges; none: decoding is not charged (wire/decode_budget.h).
    DecodeBudget *budget = nullptr;
};

// Makes a fresh CallState the thread's current call for its lifetime.
class CallScope {
public:
    explicit CallScope(KS_SVCXPRT *transport);
    ~CallScope();
    CallScope(CallScope const &) = delete;
    CallScope &operator=(CallScope const &) = delete;
    CallState &state() { return state_; }

private:
    CallState state_;
    CallState *outer_;
};

// The thread's current call; outside any scope (tools and tests that run handlers), one the
// thread keeps for itself.
CallState &this_call();

// True inside a call that the dispatcher serves (not in tools and tests that run handlers).
bool in_served_call();
// The current call's peer, asked of the runtime on first use; unknown outside a served call.
PeerAddress const &call_peer();
// The runtime's identity of the current call's connection, never reused while the server runs;
// 0 outside a served call.
std::uint64_t call_connection();

} // namespace KxRpc
