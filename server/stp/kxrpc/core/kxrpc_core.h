// Process entry, options, listeners, shutdown and crash handling of the kxrpc server.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tesutil/ustring.h"

namespace KxRpc {

// Settings written by the option loop before the service loop starts and only read afterwards.
struct Settings {
    std::int32_t port = 0;
    std::string team_bin;
    int worker_threads = 0;
    int arm_level = 0;
    bool sigterm_handler = true;
    bool just_exit = false;
    int test_crash = 0;
    int on_error = 0;
    int crash_handler_bits = -1;
    bool verbose = false;
    int crash_dump_level = 0;
    int crash_dump_limit = 10;
    bool upfront_validation = false;
};
Settings &settings();

// The listening sockets; -1 when absent or closed. Atomic so that a second shutdown finds them
// already taken and never closes a descriptor twice.
extern std::atomic<int> ipv6_socket;
extern std::atomic<int> ipv4_socket;

int start_rpc_program(int argc, char **argv);

// Printf-style text on the standard error stream, flushed at once.
void log_message(char const *format, ...) __attribute__((format(printf, 1, 2)));

// Decimal conversion as strtol with base 10; false when no digit was read or the value does not
// fit a 32-bit int.
bool parse_integer(char const *text, int &value);

bool upfront_validation_enabled();

// Binds a listener of the family (AF_INET6 or AF_INET) on `port` (0: any free port) and writes
// the bound port back; returns the socket or -1.
int create_listener(int family, std::int32_t &port);

// Parses the options into settings(); returns -1 on an option error, 0 otherwise.
int parse_options(int argc, char **argv);

// Trace lines of the core: category "KXRPC", event 66, level 1.
void trace_core(char const *format, ...) __attribute__((format(printf, 1, 2)));

// Shutdown and signals.
void shutdown_nice(int status, Nul::UString const &text);
extern "C" void stprpc_interrupt(int signum);
// The signal recorded by stprpc_interrupt, 0 when none.
int pending_signal();
// Flushes the standard streams and ends the process at once.
[[noreturn]] void exit_now(int status);

// Crash handling.
void apply_crash_handler_bits(int bits);
void log_crash_message(char const *format, ...) __attribute__((format(printf, 1, 2)));
void run_test_crash(int which);
// Writes a crash dump for the fault (none for a dump without one); async-signal-safe.
void write_crash_dump(void const *exception_pointers);
int crash_dump_counter();

// Service mode and the password tool.
bool parse_service_options(int argc, char **argv, int &index);
void service_main(std::uint32_t argc, wchar_t **argv);
void service_control_handler(std::uint32_t control);
// Asks the server to stop as a signal would, from a thread of the service manager.
void request_stop();
bool stop_requested();
void load_sso_password();

} // namespace KxRpc

#include "kxwin/crash.h"

namespace KxRpc {
// Start-up steps that reach the product and the protocol.
void report_command_line(int argc, char **argv);
void prepare_process();
void init_client_locale();
[[noreturn]] void throw_product_test_failure();
long crash_filter(KxWin::EXCEPTION_POINTERS *pointers);
} // namespace KxRpc
