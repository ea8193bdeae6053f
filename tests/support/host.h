// What the host offers tests that start servers: an IPv6 loopback, and a folder for files.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kxtest {

// False where ::1 cannot be bound (no IPv6, or IPv6 without a loopback address): checks over
// IPv6 are skipped there.
inline bool ipv6_loopback_available() {
    int sock = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool const bound = ::bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(sock);
    return bound;
}

// Binds a client's socket to a local address before it connects. With port 0 the port is chosen
// at connect, as for any client, by the whole address pair: a port chosen at bind would have to be
// free of every connection on that address, and a machine whose other processes hold many
// loopback ports runs out of those.
inline bool bind_client(int sock, sockaddr const *local, socklen_t length) {
    int one = 1;
    bool const any_port = local->sa_family == AF_INET ? reinterpret_cast<sockaddr_in const *>(local)->sin_port == 0
                                                      : reinterpret_cast<sockaddr_in6 const *>(local)->sin6_port == 0;
    if (any_port && ::setsockopt(sock, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one) != 0) return false;
    return ::bind(sock, local, length) == 0;
}

// A port that no socket of either family holds right now, below the ports the system hands out
// for port 0 and for outgoing connections, so that no server started on port 0 and no client
// takes it between this check and its use (0 when none was found).
inline int free_fixed_port() {
    int low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    if (low <= 10000) return 0;
    // Spread over the range so that tests running at once rarely try the same one.
    int const span = low - 10000;
    int const start = static_cast<int>(::getpid()) % span;
    for (int attempt = 0; attempt < 200; ++attempt) {
        int const port = 10000 + (start + attempt * 7919) % span;
        int v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        if (v4 < 0 || ::bind(v4, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            if (v4 >= 0) ::close(v4);
            continue;
        }
        // Free on IPv6 as well where the host has it.
        int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool free6 = true;
        if (v6 >= 0) {
            int on = 1;
            ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            sockaddr_in6 a6{};
            a6.sin6_family = AF_INET6;
            a6.sin6_port = a.sin_port;
            free6 = ::bind(v6, reinterpret_cast<sockaddr *>(&a6), sizeof a6) == 0 || errno == EADDRNOTAVAIL;
            ::close(v6);
        }
        ::close(v4);
        if (free6) return port;
    }
    return 0;
}

// $TMPDIR, else /tmp.
inline std::string temp_dir() {
    char const *base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

} // namespace kxtest
