// Process error-mode settings. Linux has no error dialogs to suppress, so the settings are only
// kept and reported back, which is all the server reads of them.
#include "kxwin/crash.h"

#include <atomic>

namespace KxWin {
namespace {
std::atomic<std::uint32_t> error_mode{0};
std::atomic<int> crt_error_mode{_OUT_TO_DEFAULT};
std::atomic<unsigned> abort_behavior{_WRITE_ABORT_MSG | _CALL_REPORTFAULT};
} // namespace

std::uint32_t SetErrorMode(std::uint32_t mode) { return error_mode.exchange(mode); }

std::uint32_t GetErrorMode() { return error_mode.load(); }

int _set_error_mode(int mode) {
    if (mode < _OUT_TO_DEFAULT || mode > _OUT_TO_STDERR) return crt_error_mode.load();
    return crt_error_mode.exchange(mode);
}

unsigned _set_abort_behavior(unsigned flags, unsigned mask) {
    unsigned old = abort_behavior.load();
    while (!abort_behavior.compare_exchange_weak(old, (old & ~mask) | (flags & mask))) {
    }
    return old;
}

} // namespace KxWin
