// What the host offers tests that start servers: an IPv6 loopback, and a folder for files.
#pragma once

#include <cstdlib>
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

// $TMPDIR, else /tmp.
inline std::string temp_dir() {
    char const *base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

} // namespace kxtest
