// Command-line options and the start-up messages on the standard error stream.
#include "core/options.h"

#include "core/service.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace KxRpc {

Settings &settings() {
    static Settings s;
    return s;
}

void log_message(char const *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

bool parse_integer(char const *text, int &value) {
    // Only an optional "-" and digits: " 80", "+2346" and "12x" are typing errors, not numbers.
    char const *digits = text[0] == '-' ? text + 1 : text;
    if (*digits < '0' || *digits > '9') return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (*end != '\0') return false;
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

bool parse_port(char const *text, int &value) {
    int port = 0;
    if (!parse_integer(text, port) || port < 0 || port > 65535) return false;
    value = port;
    return true;
}

bool upfront_validation_enabled() { return settings().upfront_validation; }

namespace {

// One integer option: its value, or the option's messages. `article` selects the wording of the
// missing-value message of the first options ("a number") over the later ones ("number").
bool integer_option(int argc, char **argv, int &i, char const *name, bool article, int &out,
                    bool (*parse)(char const *, int &) = parse_integer) {
    if (i + 1 >= argc) {
        log_message(article ? "Must specify a number with %s option" : "Must specify number with %s option", name);
        return false;
    }
    char const *text = argv[++i];
    if (!parse(text, out)) {
        log_message("Must specify a valid integer with %s option: %s", name, text);
        return false;
    }
    return true;
}

} // namespace

int parse_options(int argc, char **argv) {
    Settings &s = settings();
    for (int i = 1; i < argc; ++i) {
        char const *arg = argv[i];
        if (std::strcmp(arg, "-port") == 0) {
            int port = 0;
            if (!integer_option(argc, argv, i, "-port", true, port, parse_port)) return -1;
            s.port = port;
        } else if (std::strcmp(arg, "-team_bin") == 0) {
            if (i + 1 >= argc) {
                log_message("Must specify full team/bin directory with -team_bin option");
                return -1;
            }
            s.team_bin = argv[++i];
        } else if (std::strcmp(arg, "-worker_threads") == 0) {
            if (!integer_option(argc, argv, i, "-worker_threads", true, s.worker_threads)) return -1;
            if (s.worker_threads <= 0) {
                log_message("worker thread count must be greater than zero");
                return -1;
            }
        } else if (std::strcmp(arg, "-arm") == 0) {
            if (!integer_option(argc, argv, i, "-arm", false, s.arm_level)) return -1;
            if (s.arm_level < 0 || s.arm_level > 4) {
                log_message("ARM level must be between %d (ARM_NONE) and %d (ARM_VERBOSE)", 0, 4);
                return -1;
            }
        } else if (std::strcmp(arg, "-no_sig_handler") == 0) {
            s.sigterm_handler = false;
        } else if (std::strcmp(arg, "-just_exit") == 0) {
            s.just_exit = true;
        } else if (std::strcmp(arg, "-test_crash") == 0) {
            if (!integer_option(argc, argv, i, "-test_crash", false, s.test_crash)) return -1;
        } else if (std::strcmp(arg, "-on_error") == 0) {
            if (!integer_option(argc, argv, i, "-on_error", false, s.on_error)) return -1;
        } else if (std::strcmp(arg, "-win_crash_handler") == 0) {
            if (!integer_option(argc, argv, i, "-win_crash_handler", false, s.crash_handler_bits)) return -1;
        } else if (std::strcmp(arg, "-verbose") == 0) {
            s.verbose = true;
        } else if (std::strcmp(arg, "-create_crash_dump") == 0) {
            if (!integer_option(argc, argv, i, "-create_crash_dump", false, s.crash_dump_level)) return -1;
        } else if (std::strcmp(arg, "-max_crash_dump_count") == 0) {
            if (!integer_option(argc, argv, i, "-max_crash_dump_count", false, s.crash_dump_limit)) return -1;
        } else if (!parse_service_options(argc, argv, i)) {
            log_message("Unrecognized argument: %s", arg);
            return -1;
        }
    }
    return 0;
}

} // namespace KxRpc
