// The call this thread serves: the peer it came from. The dispatcher opens the scope for each
// call; code below it asks for the peer only when it needs it.
#pragma once

#include <cstdint>
#include <string>

#include <sys/socket.h>

#include "ks_rpcsvc.h"

namespace KxRpc {

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

class CallScope {
public:
    explicit CallScope(KS_SVCXPRT *transport);
    ~CallScope();
    CallScope(CallScope const &) = delete;
    CallScope &operator=(CallScope const &) = delete;
};

// True inside a call that the dispatcher serves (not in tools and tests that run handlers).
bool in_served_call();
// The current call's peer, asked of the runtime on first use; unknown outside a served call.
PeerAddress const &call_peer();
// The runtime's identity of the current call's connection, never reused while the server runs;
// 0 outside a served call.
std::uint64_t call_connection();

} // namespace KxRpc
