// Crash handling: error modes, the guard filter, crash dumps with a count limit, test crashes.
// Everything reachable from a fault handler here is async-signal-safe.
#include "core/crash.h"

#include <atomic>

#include "core/options.h"
#include "core/shutdown.h"
#include "core/test_failure.h"
#include "core/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "kxwin/crash.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"

namespace KxRpc {

namespace {
std::atomic<int> dump_counter{0};

long unhandled_filter(KxWin::EXCEPTION_POINTERS *pointers) {
    write_crash_dump(pointers);
    return KxWin::EXCEPTION_EXECUTE_HANDLER;
}
} // namespace

int crash_dump_counter() { return dump_counter.load(); }

void log_crash_message(char const *format, ...) {
    if (!settings().verbose) return;
    std::va_list args;
    va_start(args, format);
    KxWin::safe_vwrite(2, format, args);
    va_end(args);
}

void apply_crash_handler_bits(int bits) {
    if (bits == 0) return;
    if (bits & 0x7) {
        log_crash_message("Setting SEM Flags...\n");
        std::uint32_t flags = 0;
        if (bits & 0x1) {
            log_crash_message("Adding  SEM_FAILCRITICALERRORS...\n");
            flags |= KxWin::SEM_FAILCRITICALERRORS;
        }
        if (bits & 0x2) {
            log_crash_message("Adding  SEM_NOGPFAULTERRORBOX...\n");
            flags |= KxWin::SEM_NOGPFAULTERRORBOX;
        }
        if (bits & 0x4) {
            log_crash_message("Adding  SEM_NOOPENFILEERRORBOX...\n");
            flags |= KxWin::SEM_NOOPENFILEERRORBOX;
        }
        std::uint32_t previous = KxWin::SetErrorMode(flags);
        KxWin::SetErrorMode(previous | flags);
    }
    if (bits & 0x8) {
        log_crash_message("Setting _set_error_mode(_OUT_TO_STDERR)...\n");
        KxWin::_set_error_mode(KxWin::_OUT_TO_STDERR);
    }
    if (bits & 0x10) {
        log_crash_message("Setting _set_abort_behavior(0, _CALL_REPORTFAULT)...\n");
        KxWin::_set_abort_behavior(0, KxWin::_CALL_REPORTFAULT);
    }
    if (bits & 0x20) {
        log_crash_message("Setting unhandled exception filter...\n");
        KxWin::SetUnhandledExceptionFilter(unhandled_filter);
    }
}

long crash_filter(KxWin::EXCEPTION_POINTERS *pointers) {
    if (settings().on_error == 2) return KxWin::EXCEPTION_CONTINUE_SEARCH;
    write_crash_dump(pointers);
    return KxWin::EXCEPTION_EXECUTE_HANDLER;
}

void write_crash_dump(void const *exception_pointers) {
    auto const *pointers = static_cast<KxWin::EXCEPTION_POINTERS const *>(exception_pointers);
    Settings const &s = settings();
    if (s.crash_dump_level <= 0) {
        log_crash_message("crash dump is disabled\n");
        return;
    }
    if (s.crash_dump_limit > 0) {
        int existing = KxWin::count_directory_entries("kxrpc_", ".dmp");
        log_crash_message("Existing crash count is: %d\n", existing);
        if (existing >= s.crash_dump_limit) {
            log_crash_message("Number of existing crash dumps is equal to or exceeds max limit no crash dump will be "
                              "created\n");
            log_crash_message("Found %d, Max allowed is %d\n", existing, s.crash_dump_limit);
            return;
        }
    }
    int const number = dump_counter.fetch_add(1) + 1;
    char name[64];
    KxWin::safe_format(name, sizeof name, "kxrpc_%d_%d.dmp", number, static_cast<int>(::getpid()));
    int fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        log_crash_message("CreateFile failed: %s. Error: %u \n", name, static_cast<unsigned>(errno));
        return;
    }
    std::uint32_t type = KxWin::MiniDumpNormal;
    if (s.crash_dump_level == 1) {
        log_crash_message("Using Level One crash settings...\n");
    } else if (s.crash_dump_level == 2) {
        log_crash_message("Using Level Two crash settings...\n");
        type = KxWin::MiniDumpWithDataSegs | KxWin::MiniDumpWithFullMemory | KxWin::MiniDumpWithHandleData |
               KxWin::MiniDumpWithUnloadedModules | KxWin::MiniDumpWithProcessThreadData;
    }
    if (KxWin::MiniDumpWriteDump(fd, type, pointers))
        log_crash_message("Dump created: %s.\n", name);
    else
        log_crash_message("DumpWriteDump failed. Error: %u \n", static_cast<unsigned>(errno));
    ::close(fd);
}

namespace {

char const *volatile null_text = nullptr;

__attribute__((no_sanitize("address", "undefined"), noinline)) void access_violation() {
    char c = *static_cast<char const volatile *>(null_text);
    (void)c;
}

void test_crash_case(int which) {
    switch (which) {
    case 2:
        log_crash_message("Test STP Error...\n");
        throw KXInternalErrorException(Nul::UString(L"Internal Error Test"), nullptr);
    case 3:
        log_crash_message("Test Runtime Error bad...\n");
        KxWin::RaiseException(KxWin::EXCEPTION_CPP, KxWin::EXCEPTION_NONCONTINUABLE, 10, nullptr);
        break;
    case 4:
        log_crash_message("Test Runtime Error good...\n");
        KxWin::RaiseException(0x0924FF9C, KxWin::EXCEPTION_NONCONTINUABLE, 0, nullptr);
        break;
    case 5:
        log_crash_message("Test Runtime Error cont...\n");
        KxWin::RaiseException(1, 0, 0, nullptr);
        break;
    case 6:
        log_crash_message("Trying pamsgexception error\n");
        throw_product_test_failure();
    default:
        log_crash_message("Test Access Error...\n");
        access_violation();
        break;
    }
}

void test_crash_body(void *context) {
    int const which = *static_cast<int const *>(context);
    // A product exception is deleted here, so the guard may swallow what goes on in its place.
    auto const as_internal_error = [](ProductFailure const &f) { throw_internal_error(f.text_or_unknown()); };
    try {
        product_call([&] { test_crash_case(which); }, as_internal_error);
    } catch (...) {
        log_crash_message("Test Crash Exec caught Error...\n");
        throw;
    }
}

long test_crash_filter(KxWin::EXCEPTION_POINTERS *pointers, void *) { return crash_filter(pointers); }

} // namespace

void run_test_crash(int which) {
    log_crash_message("Test Crash Exec...\n");
    try {
        if (!KxWin::seh_try(test_crash_body, &which, test_crash_filter, nullptr) && settings().on_error == 1)
            std::abort();
    } catch (...) {
        // Passed on by the guard (on-error mode 2): nothing above may see it; the last resort takes it.
        std::terminate();
    }
}

} // namespace KxRpc
