// Process entry: start-up, the listeners and the service loop.
#pragma once

#include <atomic>
#include <cstdint>

namespace KxRpc {

// The listening sockets; -1 when absent or closed. Atomic so that a second shutdown finds them
// already taken and never closes a descriptor twice.
extern std::atomic<int> ipv6_socket;
extern std::atomic<int> ipv4_socket;

int start_rpc_program(int argc, char **argv);

// Binds a listener of the family (AF_INET6 or AF_INET) on `port` (0: any free port) and writes
// the bound port back; returns the socket or -1.
int create_listener(int family, std::int32_t &port);

} // namespace KxRpc
