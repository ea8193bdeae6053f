#include "wire/call_scope.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace KxRpc {

namespace {

thread_local CallState *current = nullptr;
thread_local CallState outside;

} // namespace

CallState &this_call() {
    CallState *call = current;
    return call != nullptr ? *call : outside;
}

bool PeerAddress::is_loopback() const {
    if (!known()) return false;
    if (addr.ss_family == AF_INET) {
        auto const *a = reinterpret_cast<sockaddr_in const *>(&addr);
        return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    }
    if (addr.ss_family == AF_INET6) {
        auto const *a = reinterpret_cast<sockaddr_in6 const *>(&addr);
        if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a->sin6_addr) && a->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

std::string PeerAddress::host() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (known() && addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in const *>(&addr)->sin_addr, text, sizeof text);
        return text;
    }
    if (known() && addr.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 const *>(&addr)->sin6_addr, text, sizeof text);
        return text;
    }
    return std::string();
}

std::string PeerAddress::host_key() const {
    if (!known()) return std::string();
    if (is_loopback()) return "loopback";
    if (addr.ss_family == AF_INET6) {
        auto const &a = reinterpret_cast<sockaddr_in6 const *>(&addr)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
            return text;
        }
        // One host holds a whole /64: its other addresses are no other peer.
        in6_addr prefix{};
        std::copy(a.s6_addr, a.s6_addr + 8, prefix.s6_addr);
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &prefix, text, sizeof text);
        return std::string(text) + "/64";
    }
    return host();
}

CallScope::CallScope(KS_SVCXPRT *transport) : outer_(current) {
    state_.transport = transport;
    state_.served = true;
    current = &state_;
}

CallScope::~CallScope() { current = outer_; }

bool in_served_call() { return this_call().served; }

PeerAddress const &call_peer() {
    CallState &call = this_call();
    if (!call.peer_asked && call.transport != nullptr) {
        call.peer_asked = true;
        PeerAddress &p = call.peer;
        p.length = sizeof p.addr;
        if (!ks_svc_getcaller(call.transport, reinterpret_cast<sockaddr *>(&p.addr), &p.length)) p.length = 0;
    }
    return call.peer;
}

std::uint64_t call_connection() {
    KS_SVCXPRT *transport = this_call().transport;
    return transport != nullptr ? ks_svc_connid(transport) : 0;
}

} // namespace KxRpc
