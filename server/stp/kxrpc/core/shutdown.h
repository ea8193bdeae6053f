// Shutdown: the shutdown procedure, signals and stop requests.
#pragma once

#include <memory>

#include "tesutil/ustring.h"
#include "wire/call_scope.h"
#include "wire/xdrobject.h"

namespace KxRpc {

void shutdown_nice(int status, Nul::UString const &text);
extern "C" void stprpc_interrupt(int signum);
// The signal recorded by stprpc_interrupt, 0 when none.
int pending_signal();
// Flushes the standard streams and ends the process at once.
[[noreturn]] void exit_now(int status);
// Asks the server to stop as a signal would, from a thread of the service manager.
void request_stop();
bool stop_requested();

// The number of the shutdown procedure.
constexpr int shutdown_procedure = 1;
// Whether a peer may stop the server: loopback peers always, others only when remote stops are
// allowed (KX_ALLOW_REMOTE_SHUTDOWN=1).
bool shutdown_allowed(PeerAddress const &peer, bool remote_allowed);
bool remote_shutdown_allowed();

// The handler of procedure 1.
std::unique_ptr<XdrObject> kxrpc_shutdown(XdrObject *request);

} // namespace KxRpc
