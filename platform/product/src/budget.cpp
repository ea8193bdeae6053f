#include "budget.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "kxproduct/budget.h"

namespace kxp {

namespace {

using Clock = std::chrono::steady_clock;

// VM instructions between two looks at the clock.
constexpr int kProgressPeriod = 1000;
// A statement begun after an orderly stop has this long at most: the stop waits for the calls in
// flight, and one that began its statement just after the stop must not hold the process.
constexpr std::chrono::seconds kAfterStop{2};

// Bumped by each orderly stop; a statement armed under an older value is interrupted.
std::atomic<unsigned> g_stop_epoch{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "the stop must be safe in a signal handler");

enum class Spent { NOTHING, TIME, STOP };

struct ThreadClock {
    bool armed = false;
    Clock::time_point deadline;
    unsigned epoch = 0;
    bool after_stop = false; // the deadline is the stop's
    Spent spent = Spent::NOTHING;
};
thread_local ThreadClock t_clock;

int on_progress(void *) {
    ThreadClock &t = t_clock;
    if (!t.armed) return 0;
    if (g_stop_epoch.load(std::memory_order_relaxed) != t.epoch)
        t.spent = Spent::STOP;
    else if (Clock::now() >= t.deadline)
        t.spent = t.after_stop ? Spent::STOP : Spent::TIME;
    return t.spent != Spent::NOTHING;
}

} // namespace

long long env_number(const char *name, long long fallback, long long most) {
    const char *v = std::getenv(name);
    if (!v || !*v) return fallback;
    char *end = nullptr;
    long long n = std::strtoll(v, &end, 10);
    return *end == 0 && n > 0 ? std::min(n, most) : fallback;
}

void budget_connection(sqlite3 *db) {
    static std::once_flag heap;
    std::call_once(heap, [] { sqlite3_hard_heap_limit64(KXStatementBudget::HeapLimitBytes()); });
    sqlite3_progress_handler(db, kProgressPeriod, on_progress, nullptr);
}

void budget_client_connection(sqlite3 *db) {
    budget_connection(db);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, KXStatementBudget::kDeclaredValueBytes);
    sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, KXStatementBudget::kDeclaredSqlBytes);
}

StatementClock::StatementClock() : armed_(!t_clock.armed) {
    if (!armed_) return;
    ThreadClock &t = t_clock;
    t.armed = true;
    t.spent = Spent::NOTHING;
    t.epoch = g_stop_epoch.load(std::memory_order_relaxed);
    t.deadline = Clock::now() + std::chrono::milliseconds(KXStatementBudget::TimeLimitMs());
    t.after_stop = t.epoch != 0 && Clock::now() + kAfterStop < t.deadline;
    if (t.after_stop) t.deadline = Clock::now() + kAfterStop;
}

StatementClock::~StatementClock() {
    if (armed_) t_clock.armed = false;
}

std::string failure_text(sqlite3 *db, int rc) {
    switch (rc & 0xff) {
    case SQLITE_INTERRUPT:
        if (t_clock.spent == Spent::STOP) return "the statement was interrupted: the server is stopping";
        if (t_clock.spent == Spent::TIME)
            return "the statement ran past its time budget of " + std::to_string(KXStatementBudget::TimeLimitMs()) +
                   " ms";
        break;
    case SQLITE_NOMEM:
        return "the statement needed more than the store's memory budget of " +
               std::to_string(KXStatementBudget::HeapLimitBytes() >> 20) + " MiB";
    case SQLITE_TOOBIG:
        return "a value or statement is longer than the store's limit";
    default:
        break;
    }
    return db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
}

} // namespace kxp

long long KXStatementBudget::TimeLimitMs() {
    static const long long ms = kxp::env_number("KX_STATEMENT_TIME_MS", 10000, 86400000);
    return ms;
}

long long KXStatementBudget::HeapLimitBytes() {
    static const long long bytes = kxp::env_number("KX_STATEMENT_HEAP_MB", 512, 1 << 20) << 20;
    return bytes;
}

void KXStatementBudget::InterruptRunning() { kxp::g_stop_epoch.fetch_add(1, std::memory_order_relaxed); }
