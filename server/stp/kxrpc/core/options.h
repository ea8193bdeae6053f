// The server's command-line options and the settings they leave.
#pragma once

#include <cstdint>
#include <string>

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

// Parses the options into settings(); returns -1 on an option error, 0 otherwise.
int parse_options(int argc, char **argv);

// A whole decimal number: an optional "-" and digits, nothing before or after; false for anything
// else and for a value that does not fit a 32-bit int.
bool parse_integer(char const *text, int &value);
// parse_integer limited to a TCP port number, 0 to 65535.
bool parse_port(char const *text, int &value);

bool upfront_validation_enabled();

// Printf-style text on the standard error stream, flushed at once.
void log_message(char const *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace KxRpc
