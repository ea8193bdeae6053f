// Text crash dumps written from a fault handler: only write(2), open(2), read(2) and
// backtrace_symbols_fd, which allocate nothing once backtrace has been used.
#include "kxwin/crash.h"

#include <cerrno>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace KxWin {
namespace {

bool write_all(int fd, char const *data, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        ssize_t w = ::write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

bool put(int fd, char const *format, ...) __attribute__((format(printf, 2, 3)));
bool put(int fd, char const *format, ...) {
    char line[512];
    std::va_list args;
    va_start(args, format);
    std::size_t n = safe_vformat(line, sizeof line, format, args);
    va_end(args);
    return write_all(fd, line, n);
}

bool put_registers(int fd, void *context) {
    if (!context) return put(fd, "registers: none\n");
    bool ok = put(fd, "registers:\n");
#if defined(__x86_64__)
    static char const *const names[] = {"r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rdi",
                                        "rsi", "rbp", "rbx", "rdx", "rax", "rcx", "rsp", "rip", "efl"};
    greg_t const *regs = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
    for (int i = 0; i < 18 && ok; ++i)
        ok = put(fd, "  %s=0x%llx\n", names[i], static_cast<unsigned long long>(regs[i]));
#elif defined(__aarch64__)
    auto const &mc = static_cast<ucontext_t *>(context)->uc_mcontext;
    for (int i = 0; i < 31 && ok; ++i) ok = put(fd, "  x%d=0x%llx\n", i, static_cast<unsigned long long>(mc.regs[i]));
    ok = ok && put(fd, "  sp=0x%llx\n  pc=0x%llx\n", static_cast<unsigned long long>(mc.sp),
                   static_cast<unsigned long long>(mc.pc));
#endif
    return ok;
}

bool put_memory_map(int fd) {
    if (!put(fd, "memory map:\n")) return false;
    int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return put(fd, "  unavailable\n");
    char buffer[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(maps, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!(ok = write_all(fd, buffer, static_cast<std::size_t>(n)))) break;
    }
    int saved = errno;
    ::close(maps);
    errno = saved;
    return ok;
}

} // namespace

bool MiniDumpWriteDump(int fd, std::uint32_t type, EXCEPTION_POINTERS const *pointers) {
    bool ok = put(fd, "kxrpc crash dump\ntype: 0x%x\npid: %d\nthread: %ld\n", type, static_cast<int>(::getpid()),
                  static_cast<long>(::syscall(SYS_gettid)));
    if (ok && pointers && pointers->ExceptionRecord) {
        EXCEPTION_RECORD const &r = *pointers->ExceptionRecord;
        ok = put(fd, "exception: 0x%x\nflags: 0x%x\nsignal: %d\naddress: %p\nparameters: %u\n", r.ExceptionCode,
                 r.ExceptionFlags, pointers->Signal, r.ExceptionAddress, r.NumberParameters);
        if (ok && r.NumberParameters >= 2 && pointers->Signal != 0)
            ok = put(fd, "fault address: %p\n", reinterpret_cast<void *>(r.ExceptionInformation[1]));
        ok = ok && put_registers(fd, pointers->ContextRecord);
    } else if (ok) {
        ok = put(fd, "exception: none\n");
    }
    if (ok && (ok = put(fd, "backtrace:\n"))) {
        void *frames[64];
        int n = backtrace(frames, 64);
        backtrace_symbols_fd(frames, n, fd);
    }
    if (ok && (type & MiniDumpWithFullMemory)) ok = put_memory_map(fd);
    return ok;
}

} // namespace KxWin
