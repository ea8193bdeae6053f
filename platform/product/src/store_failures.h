// Store failures as the diagnostics report them. A full disk refuses every write, hundreds a
// second under load: those are said once, then at most once per interval with how many since.
#pragma once
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "sqlite_db.h"

namespace kxp {

// The lines to write for a failure that repeats: the first, then the first after each interval,
// which says how many were left unsaid since the last line.
class RepeatedFailures {
public:
    using Clock = std::chrono::steady_clock;
    explicit RepeatedFailures(Clock::duration interval) : interval_(interval) {}
    // A new interval, from a fresh start: the next failure is said.
    void set_interval(Clock::duration interval);
    // The line for one more failure at `now`, or none when one was written within the interval.
    std::optional<std::string> line(const std::string &text, Clock::time_point now);

private:
    std::mutex mu_;
    Clock::duration interval_;
    std::optional<Clock::time_point> last_;
    long long unsaid_ = 0;
};

// Reports a failure of the store under "Store" as "<what>: <text>"; failures for want of space
// (SQLITE_FULL) go through one RepeatedFailures of the process, once a minute at most.
void report_store_failure(const std::string &what, const StoreError &e);
// For tests: the interval of the failures for want of space, from a fresh start.
void set_full_report_interval(std::chrono::milliseconds interval);

} // namespace kxp
