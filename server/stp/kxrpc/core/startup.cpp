// start_rpc_program: from the command line to the RPC service loop.
#include "core/startup.h"

#include "core/crash.h"
#include "core/dispatch.h"
#include "core/options.h"
#include "core/product_flags.h"
#include "core/record_owners.h"
#include "core/service.h"
#include "core/shutdown.h"
#include "core/trace.h"
#include "files/downloads.h"
#include "files/exchange.h"
#include "files/server_tmp.h"
#include "wire/locale.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ks_rpcsvc.h"
#include "kxproduct/store.h"
#include "kxwin/winsock.h"
#include "props/recordprops.h"

namespace KxRpc {

std::atomic<int> ipv6_socket{-1};
std::atomic<int> ipv4_socket{-1};

int bind_listener(int family, std::int32_t &port) {
    sockaddr_storage address{};
    socklen_t length;
    auto const wire_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (family == AF_INET6) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_any;
        a6->sin6_port = wire_port;
        length = sizeof(sockaddr_in6);
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&address);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_ANY);
        a4->sin_port = wire_port;
        length = sizeof(sockaddr_in);
    }
    int sock = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    int on = 1;
    // The IPv4 listener shares the port, so the IPv6 one must not take IPv4 as well; address
    // reuse lets a fixed port be bound again right after a restart.
    if ((family == AF_INET6 && ::setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(sock, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        KxWin::closesocket(sock);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t bound_length = sizeof bound;
    if (::getsockname(sock, reinterpret_cast<sockaddr *>(&bound), &bound_length) != 0) {
        KxWin::closesocket(sock);
        return -1;
    }
    port = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return sock;
}

namespace {

// Hands a bound socket to the runtime with the program registered on it; closes it on failure.
int serve_listener(int sock) {
    if (sock < 0) return -1;
    KS_SVCXPRT *transport = ks_svctcp_create(sock, 0, 0);
    if (!transport || !ks_svc_register(transport, kxrpc_program, kxrpc_version, kxrpc_dispatch, 0)) {
        // A transport left behind would serve the port without the program registered on it.
        if (transport) ks_svc_destroy(transport);
        KxWin::closesocket(sock);
        return -1;
    }
    return sock;
}

} // namespace

int create_listener(int family, std::int32_t &port) { return serve_listener(bind_listener(family, port)); }

void open_listeners(std::int32_t &port, int &v6, int &v4) {
    v6 = v4 = -1;
    if (port == 0) {
        // The kernel picks a free number for IPv6 alone; IPv4 clients must reach this server on
        // the same number, so a number that IPv4 cannot bind is given back and another taken.
        for (int attempt = 0; attempt < 64 && v4 < 0; ++attempt) {
            std::int32_t chosen = 0;
            v6 = bind_listener(AF_INET6, chosen);
            if (v6 < 0) break; // no IPv6 here: IPv4 alone chooses below
            v4 = bind_listener(AF_INET, chosen);
            if (v4 >= 0) {
                port = chosen;
            } else {
                KxWin::closesocket(v6);
                v6 = -1;
            }
        }
        if (v4 < 0) v4 = bind_listener(AF_INET, port);
        if (v4 < 0 && v6 < 0) log_message("Cannot listen on a free port: %s\n", std::strerror(errno));
    } else {
        v6 = bind_listener(AF_INET6, port);
        int const v6_error = errno;
        v4 = bind_listener(AF_INET, port);
        int const v4_error = errno;
        // Serving one family only: whoever holds the number for the other would receive those
        // clients' logins. When neither can listen, the start ends with -1.
        if (v6 < 0 && v4 < 0) log_message("Cannot listen on port %d: %s\n", port, std::strerror(v4_error));
        if (v6 >= 0 && v4 < 0) log_message("Cannot listen on IPv4 port %d: %s\n", port, std::strerror(v4_error));
        if (v4 >= 0 && v6 < 0 && v6_error == EADDRINUSE)
            log_message("Cannot listen on IPv6 port %d: %s\n", port, std::strerror(v6_error));
    }
    v6 = serve_listener(v6);
    v4 = serve_listener(v4);
}

namespace {

void read_upfront_validation() {
    char const *value = std::getenv("VEXHUB_UPFRONT_REC_REF_VALIDATE");
    if (!value) return;
    trace_core("VEXHUB_UPFRONT_REC_REF_VALIDATE env is set to (%s)", value);
    settings().upfront_validation = std::atoi(value) == 1;
    trace_core("do_upfrount_record_ref_validation = %s", settings().upfront_validation ? "T" : "F");
    RecordProps::set_upfront_reference_validation(settings().upfront_validation);
}

// A closed standard stream is held by /dev/null opened for reading: no socket or file of the
// server takes its number (the port line would go to a client), and writes to it fail.
void hold_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

void install_signal_handlers() {
    // A write to a pipe or socket whose reader is gone fails with EPIPE and is reported where it
    // happens; it never ends the process.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = stprpc_interrupt;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    if (settings().sigterm_handler) ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

int start_rpc_program(int argc, char **argv) {
    hold_closed_standard_streams();
    report_command_line(argc, argv);
    if (parse_options(argc, argv) != 0) return -1;
    Settings &s = settings();
    // A table that cannot be built ends the start, not the first call of a serving process.
    if (std::string problem; !build_procedure_table(problem)) {
        log_message("kxrpc: the procedure table is inconsistent: %s\n", problem.c_str());
        return -1;
    }
    register_record_owners();
    read_upfront_validation();
    install_signal_handlers();

    KxWin::WSADATA wsa{};
    if (int rc = KxWin::WSAStartup(KxWin::MAKEWORD(2, 0), &wsa); rc != 0) {
        log_message("Can't initialize Windows Sockets - %d\n", rc);
        return -1;
    }
    if (char const *current = std::setlocale(LC_ALL, nullptr); current && std::strcmp(current, "C") == 0)
        std::setlocale(LC_ALL, "");

    // The server's temporary files, direct downloads among them, are made where the web tier
    // reads them, and go when the server ends.
    std::string const exchange = exchange_dir();
    if (exchange.empty()) {
        log_message("The exchange directory ($%s) is no directory\n", exchange_dir_variable);
        return -1;
    }
    std::chrono::seconds download_age{};
    if (!read_direct_download_age(download_age)) {
        log_message("$%s is not a number of seconds from 1 to 2147483647\n", direct_download_age_variable);
        return -1;
    }
    std::string why;
    if (!open_server_tmp_dir(exchange, KXProductStore::DataDirectory(), why)) {
        log_message("Cannot make the server's temporary directory: %s\n", why.c_str());
        return -1;
    }
    struct TmpDirEnd {
        ~TmpDirEnd() { close_server_tmp_dir(); }
    } const tmp_dir_end;
    expire_direct_downloads_after(download_age);

    apply_crash_handler_bits(s.crash_handler_bits);
    prepare_process();
    load_sso_password();

    int mode = 1;
    ks_rpc_control(KS_RPC_SVC_MTMODE, &mode);
    if (mode != 0 && s.worker_threads > KS_MAX_WORKER_THREADS) {
        log_message("-worker_threads %d is more than the runtime runs; using %d\n", s.worker_threads,
                    KS_MAX_WORKER_THREADS);
        s.worker_threads = KS_MAX_WORKER_THREADS;
    }
    if (mode != 0 && s.worker_threads > 0) ks_rpc_control(KS_RPC_SVC_THREADS_SET, &s.worker_threads);

    std::int32_t port = s.port;
    int v6 = -1, v4 = -1;
    open_listeners(port, v6, v4);
    ipv6_socket = v6;
    ipv4_socket = v4;
    if (ipv6_socket < 0 && ipv4_socket < 0) {
        trace_core("Exiting with -1, creating socket(s)");
        return -1;
    }
    // The server serves on when the line cannot be written; whoever started it learns the port
    // from standard error.
    if (std::printf("port=%u;pid=%d;\n", static_cast<unsigned>(port), static_cast<int>(::getpid())) < 0 ||
        std::fflush(stdout) != 0) {
        int const error = errno;
        std::clearerr(stdout);
        log_message("Cannot write the port line (port %d) to the standard output: %s\n", port, std::strerror(error));
    }
    trace_core("Wrote Port (%d) number to stdout", port);

    if (s.arm_level != 0) register_arm(s.arm_level);
    init_client_locale_key();
    if (s.test_crash > 0) run_test_crash(s.test_crash);

    trace_core("Just before calling svc_run");
    ks_svc_run();
    trace_core("Just after calling svc_run");
    if (int signum = pending_signal(); signum != 0) {
        // The handler only recorded the signal; the orderly part of the stop runs here.
        trace_core("Executing signal handler 'stprpc_interrupt': signum (%d)", signum);
        shutdown_nice(0, Nul::UString());
    } else if (stop_requested()) {
        shutdown_nice(0, Nul::UString());
    }
    // The workers have ended: every store connection closes, and with the last of a set its
    // write-ahead log is checkpointed and removed.
    KXProductStore::CloseConnections();
    return 0;
}

} // namespace KxRpc
