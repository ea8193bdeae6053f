// The budget every statement of the product runs under: a wall-time limit per statement, a cap on
// SQLite's heap, and an interrupt for the orderly stop.
#pragma once

class KXStatementBudget {
public:
    // Wall time one statement may run: $KX_STATEMENT_TIME_MS (default 10000), read once per process.
    static long long TimeLimitMs();
    // SQLite's heap across the process: $KX_STATEMENT_HEAP_MB (default 512) MiB, read once per process.
    static long long HeapLimitBytes();
    // Longest value, and longest statement text, that a client's declared SQL may make or give.
    static constexpr int kDeclaredValueBytes = 16 << 20;
    static constexpr int kDeclaredSqlBytes = 1 << 20;
    // Stops every statement that is running now with an error; statements started later run as
    // usual. Safe from a signal handler and from any thread.
    static void InterruptRunning();
};
