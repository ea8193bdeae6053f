// Crash handling: the handler bits, crash dumps and the test crashes.
#pragma once

#include "kxwin/crash.h"

namespace KxRpc {

void apply_crash_handler_bits(int bits);
void log_crash_message(char const *format, ...) __attribute__((format(printf, 1, 2)));
void run_test_crash(int which);
// Writes a crash dump for the fault (none for a dump without one); async-signal-safe.
void write_crash_dump(void const *exception_pointers);
int crash_dump_counter();
long crash_filter(KxWin::EXCEPTION_POINTERS *pointers);

} // namespace KxRpc
