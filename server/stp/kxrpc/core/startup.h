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
// Binds a listening socket only (not yet served); same contract as create_listener.
int bind_listener(int family, std::int32_t &port);
// The listeners of both families on one number: port 0 retries until IPv4 can bind the number
// that IPv6 was given; a fixed port that IPv4 cannot bind is reported on standard error. Either
// socket is -1 when its family could not listen; `port` is the number served.
void open_listeners(std::int32_t &port, int &v6, int &v4);

} // namespace KxRpc
