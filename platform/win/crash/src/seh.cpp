// Structured-exception guards over POSIX signals. A fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE) runs
// the filters of the faulting thread's guards, innermost first; the first that handles it gets
// control back through siglongjmp. A fault no guard handles goes to the unhandled-exception
// filter and then kills the process with its own signal.
#include "kxwin/crash.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <exception>
#include <execinfo.h>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>

namespace KxWin {
namespace {

struct Guard {
    sigjmp_buf jump;
    GuardFilter filter;
    void *context;
    Guard *prev;
    EXCEPTION_RECORD record;
};

// Initial-exec TLS: read from signal handlers, so its access must never allocate.
__attribute__((tls_model("initial-exec"))) thread_local Guard *top_guard = nullptr;

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> unhandled_filter{nullptr};

int const fault_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

std::uint32_t code_for(int sig) {
    switch (sig) {
    case SIGBUS:
        return EXCEPTION_DATATYPE_MISALIGNMENT;
    case SIGILL:
        return EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
        return EXCEPTION_INT_DIVIDE_BY_ZERO;
    default:
        return EXCEPTION_ACCESS_VIOLATION;
    }
}

void *instruction_pointer(void *uc) {
    if (!uc) return nullptr;
#if defined(__x86_64__)
    return reinterpret_cast<void *>(static_cast<ucontext_t *>(uc)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void *>(static_cast<ucontext_t *>(uc)->uc_mcontext.pc);
#else
    return nullptr;
#endif
}

// Runs the guards' filters. Returns true when execution is to continue where it was; does not
// return when a guard handles the exception.
bool dispatch_to_guards(EXCEPTION_POINTERS *pointers) {
    bool const continuable = !(pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE);
    for (Guard *g = top_guard; g; g = g->prev) {
        long verdict = g->filter(pointers, g->context);
        if (verdict == EXCEPTION_EXECUTE_HANDLER) {
            g->record = *pointers->ExceptionRecord;
            top_guard = g->prev;
            // The guard's jump buffer does not hold the signal mask (saving it would cost a
            // system call per guard): leaving a handler this way must unblock the fault's
            // signal itself, or the next fault on this thread could not be caught.
            if (pointers->Signal != 0 && pointers->ContextRecord)
                pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t *>(pointers->ContextRecord)->uc_sigmask, nullptr);
            siglongjmp(g->jump, 1);
        }
        if (verdict == EXCEPTION_CONTINUE_EXECUTION && continuable) return true;
    }
    return false;
}

// The last resort: true when the filter asked to continue a continuable exception.
bool run_unhandled_filter(EXCEPTION_POINTERS *pointers) {
    LPTOP_LEVEL_EXCEPTION_FILTER filter = unhandled_filter.load();
    if (!filter) return false;
    long verdict = filter(pointers);
    return verdict == EXCEPTION_CONTINUE_EXECUTION &&
           !(pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE);
}

void fault_handler(int sig, siginfo_t *info, void *uc) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code_for(sig);
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = instruction_pointer(uc);
    if (sig == SIGSEGV || sig == SIGBUS) {
        record.NumberParameters = 2;
        record.ExceptionInformation[1] = reinterpret_cast<std::uintptr_t>(info->si_addr);
    }
    EXCEPTION_POINTERS pointers{&record, uc, sig};
    dispatch_to_guards(&pointers);
    run_unhandled_filter(&pointers);
    // Die of the fault itself: with the default action restored, a real fault recurs on return
    // and a sent signal is sent again.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    if (info->si_code <= 0) raise(sig);
}

void install_fault_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        // backtrace() loads its unwinder on first use; do it now, not inside a handler.
        void *frames[2];
        backtrace(frames, 2);
        struct sigaction sa {};
        sa.sa_sigaction = fault_handler;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        for (int sig : fault_signals) sigaction(sig, &sa, nullptr);
    });
}

[[noreturn]] void terminate_handler() {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_CPP;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = __builtin_return_address(0);
    EXCEPTION_POINTERS pointers{&record, nullptr, 0};
    run_unhandled_filter(&pointers);
    std::abort();
}

struct AltStack {
    void *memory = nullptr;
    std::size_t size = 0;
    ~AltStack() {
        if (!memory) return;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(memory, size);
    }
};

thread_local AltStack alt_stack;

} // namespace

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    install_fault_handlers();
    ensure_alt_stack();
    std::set_terminate(terminate_handler);
    return unhandled_filter.exchange(filter);
}

void RaiseException(std::uint32_t code, std::uint32_t flags, std::uint32_t count, std::uintptr_t const *args) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = flags & EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = __builtin_return_address(0);
    record.NumberParameters = count > EXCEPTION_MAXIMUM_PARAMETERS ? EXCEPTION_MAXIMUM_PARAMETERS : count;
    // Without a parameter array the count still travels, but no parameters do.
    if (args) std::memcpy(record.ExceptionInformation, args, record.NumberParameters * sizeof(std::uintptr_t));
    EXCEPTION_POINTERS pointers{&record, nullptr, 0};
    if (dispatch_to_guards(&pointers) || run_unhandled_filter(&pointers)) return;
    std::abort();
}

bool seh_try(void (*body)(void *), void *body_context, GuardFilter filter, void *filter_context,
             EXCEPTION_RECORD *caught) {
    install_fault_handlers();
    ensure_alt_stack();
    Guard guard;
    guard.filter = filter;
    guard.context = filter_context;
    guard.prev = top_guard;
    if (sigsetjmp(guard.jump, 0)) {
        // A filter handled a fault; dispatch_to_guards has popped this guard already.
        if (caught) *caught = guard.record;
        return false;
    }
    top_guard = &guard;
    try {
        body(body_context);
    } catch (...) {
        top_guard = guard.prev;
        EXCEPTION_RECORD record{};
        record.ExceptionCode = EXCEPTION_CPP;
        record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        EXCEPTION_POINTERS pointers{&record, nullptr, 0};
        if (filter(&pointers, filter_context) != EXCEPTION_EXECUTE_HANDLER) throw;
        if (caught) *caught = record;
        return false;
    }
    top_guard = guard.prev;
    return true;
}

void ensure_alt_stack() {
    // Once per thread: the guards run per call and must not ask the kernel every time.
    thread_local bool checked = false;
    if (checked) return;
    checked = true;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
    std::size_t const size = 128 * 1024;
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, size);
        return;
    }
    alt_stack.memory = memory;
    alt_stack.size = size;
}

} // namespace KxWin
