// Orderly stop: the shutdown procedure, SIGINT and SIGTERM all end in shutdown_nice.
#include "core/shutdown.h"

#include "core/options.h"
#include "core/startup.h"
#include "core/trace.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "files/server_tmp.h"
#include "ks_rpcsvc.h"
#include "kxproduct/budget.h"
#include "kxwin/winsock.h"
#include "wire/casts.h"
#include "wire/environment.h"

namespace KxRpc {

namespace {
volatile std::sig_atomic_t recorded_signal = 0;

void close_listener(std::atomic<int> &handle, char const *closing, char const *closed) {
    int sock = handle.exchange(-1);
    if (sock < 0) return;
    trace_core("%s", closing);
    KxWin::closesocket(sock);
    trace_core("%s", closed);
}
} // namespace

[[noreturn]] void exit_now(int status) {
    close_server_tmp_dir();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}

void shutdown_nice(int status, Nul::UString const &text) {
    if (status != 0) {
        trace_core("Unexpected Exception 'shutdown_nice': status (%d) message (%s)", status, text.utf8_str().c_str());
        exit_now(status);
    }
    trace_core("Executing shutdown command, svc_exit...");
    KXStatementBudget::InterruptRunning();
    ks_svc_exit();
    trace_core("svc_exit  completed");
    close_listener(ipv6_socket, "Closing ipv6 socket", "Closed ipv6 socket");
    close_listener(ipv4_socket, "Closing ipv4 socket", "Closed ipv4 socket");
    trace_core("WSACleanup....");
    KxWin::WSACleanup();
    trace_core("Finished WSACleanup");
}

// Only records the signal and asks the service loop to end; the main thread does the rest once
// the loop has returned and the workers are gone.
extern "C" void stprpc_interrupt(int signum) {
    if (signum != SIGINT && signum != SIGTERM) std::abort();
    recorded_signal = signum;
    // A statement that runs on would keep its worker, and so the loop, from ever ending.
    KXStatementBudget::InterruptRunning();
    ks_svc_exit();
}

int pending_signal() { return recorded_signal; }

namespace {
std::atomic<bool> stop_asked{false};
}

void request_stop() {
    stop_asked = true;
    KXStatementBudget::InterruptRunning();
    ks_svc_exit();
}

bool stop_requested() { return stop_asked.load(); }

bool shutdown_allowed(PeerAddress const &peer, bool remote_allowed) { return remote_allowed || peer.is_loopback(); }

bool remote_shutdown_allowed() {
    static bool const allowed = positive_from_environment("KX_ALLOW_REMOTE_SHUTDOWN", 0) == 1;
    return allowed;
}

std::unique_ptr<XdrObject> kxrpc_shutdown(XdrObject *request) {
    checked_cast<XdrVoid>(request);
    trace_core("Info: (kxrpc_shutdown)");
    if (settings().just_exit) {
        trace_core("Exiting...");
        exit_now(0);
    }
    auto response = std::make_unique<XdrVoid>();
    shutdown_nice(0, Nul::UString());
    return response;
}

} // namespace KxRpc
