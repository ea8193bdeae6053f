// Error modes, structured-exception guards, the unhandled-exception filter and crash dumps,
// in the shapes the server expects of Windows, over POSIX signals.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace KxWin {

// Error-mode flags. Only kept as process settings: Linux shows no dialogs.
constexpr std::uint32_t SEM_FAILCRITICALERRORS = 0x0001;
constexpr std::uint32_t SEM_NOGPFAULTERRORBOX = 0x0002;
constexpr std::uint32_t SEM_NOOPENFILEERRORBOX = 0x8000;
std::uint32_t SetErrorMode(std::uint32_t mode); // returns the previous mode
std::uint32_t GetErrorMode();

constexpr int _OUT_TO_DEFAULT = 0;
constexpr int _OUT_TO_STDERR = 1;
int _set_error_mode(int mode); // returns the previous mode
constexpr unsigned _WRITE_ABORT_MSG = 0x1;
constexpr unsigned _CALL_REPORTFAULT = 0x2;
unsigned _set_abort_behavior(unsigned flags, unsigned mask); // returns the previous flags

constexpr std::uint32_t EXCEPTION_NONCONTINUABLE = 0x1;
constexpr std::uint32_t EXCEPTION_ACCESS_VIOLATION = 0xC0000005u;
constexpr std::uint32_t EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002u;
constexpr std::uint32_t EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001Du;
constexpr std::uint32_t EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr std::uint32_t EXCEPTION_CPP = 0xE06D7363u; // a C++ exception reaching a guard

constexpr long EXCEPTION_EXECUTE_HANDLER = 1;
constexpr long EXCEPTION_CONTINUE_SEARCH = 0;
constexpr long EXCEPTION_CONTINUE_EXECUTION = -1;

constexpr std::uint32_t EXCEPTION_MAXIMUM_PARAMETERS = 15;

struct EXCEPTION_RECORD {
    std::uint32_t ExceptionCode;
    std::uint32_t ExceptionFlags;
    void *ExceptionAddress;
    std::uint32_t NumberParameters;
    std::uintptr_t ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD *ExceptionRecord;
    void *ContextRecord; // the signal's ucontext_t, or null for raised exceptions
    int Signal;          // the fault's signal number, 0 for raised and C++ exceptions
};

using LPTOP_LEVEL_EXCEPTION_FILTER = long (*)(EXCEPTION_POINTERS *);

// Installs the process's last resort for faults: handlers of SIGSEGV, SIGBUS, SIGILL and SIGFPE
// on an alternate stack, and a terminate handler. The filter runs for a fault no guard handled;
// afterwards the process dies of the fault. Returns the previous filter.
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// Raises a software exception through the guards of the calling thread. Returns only when a
// filter chose to continue execution of a continuable exception.
void RaiseException(std::uint32_t code, std::uint32_t flags, std::uint32_t count, std::uintptr_t const *args);

// A guard's filter; it may run inside a signal handler, so it must be async-signal-safe.
using GuardFilter = long (*)(EXCEPTION_POINTERS *, void *context);

// Runs body(body_context) under a guard: a fault, a raised exception or a C++ exception inside it
// asks `filter` what to do. Returns true when the body returned, false when the filter chose to
// handle a fault (the body's frames are abandoned, C++ destructors in them do not run); the
// fault's record is copied to `caught` when given. A C++ exception the filter passes on is
// rethrown.
bool seh_try(void (*body)(void *), void *body_context, GuardFilter filter, void *filter_context,
             EXCEPTION_RECORD *caught = nullptr);

// Gives the calling thread an alternate signal stack when it has none, so a fault on an exhausted
// stack can still be handled. Freed when the thread ends.
void ensure_alt_stack();

// Minidump types the server uses; the bits select what the dump holds.
constexpr std::uint32_t MiniDumpNormal = 0x0000;
constexpr std::uint32_t MiniDumpWithDataSegs = 0x0001;
constexpr std::uint32_t MiniDumpWithFullMemory = 0x0002;
constexpr std::uint32_t MiniDumpWithHandleData = 0x0004;
constexpr std::uint32_t MiniDumpWithUnloadedModules = 0x0020;
constexpr std::uint32_t MiniDumpWithProcessThreadData = 0x0100;

// Writes a text crash dump to `fd`: the exception, the registers of the faulting context, a
// backtrace of the calling thread and, with MiniDumpWithFullMemory, the memory map. Only
// async-signal-safe calls. Returns false with errno set when a write failed.
bool MiniDumpWriteDump(int fd, std::uint32_t type, EXCEPTION_POINTERS const *pointers);

// Async-signal-safe formatting: %d %i %u %x %p %s %c %% with l/ll/z length modifiers; the result
// is always terminated and cut to the buffer. Returns the length written.
std::size_t safe_vformat(char *buffer, std::size_t size, char const *format, std::va_list args);
std::size_t safe_format(char *buffer, std::size_t size, char const *format, ...) __attribute__((format(printf, 3, 4)));
// Formats and writes to a descriptor in one write.
void safe_write(int fd, char const *format, ...) __attribute__((format(printf, 2, 3)));
void safe_vwrite(int fd, char const *format, std::va_list args);

// Counts the entries of the current directory whose names begin with `prefix` and end with
// `suffix`, with async-signal-safe calls; -1 when the directory cannot be read.
int count_directory_entries(char const *prefix, char const *suffix);

} // namespace KxWin
