#include "store_failures.h"

#include <sqlite3.h>

#include "core.h"
#include "kxproduct/diag.h"

namespace kxp {

namespace {

RepeatedFailures &full_disk() {
    static RepeatedFailures failures(std::chrono::minutes(1));
    return failures;
}

} // namespace

void RepeatedFailures::set_interval(Clock::duration interval) {
    std::lock_guard<std::mutex> lock(mu_);
    interval_ = interval;
    last_.reset();
    unsaid_ = 0;
}

std::optional<std::string> RepeatedFailures::line(const std::string &text, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mu_);
    if (last_ && now - *last_ < interval_) {
        ++unsaid_;
        return std::nullopt;
    }
    std::string out = text;
    if (unsaid_ > 0) out += " (and " + std::to_string(unsaid_) + " more since the last report)";
    last_ = now;
    unsaid_ = 0;
    return out;
}

void report_store_failure(const std::string &what, const StoreError &e) {
    std::string const text = what + ": " + e.text;
    if ((e.code & 0xff) != SQLITE_FULL) {
        AdDiagnostic::Report(L"Store", w(text).GetString());
        return;
    }
    if (auto line = full_disk().line(text, RepeatedFailures::Clock::now()))
        AdDiagnostic::Report(L"Store", w(*line).GetString());
}

void set_full_report_interval(std::chrono::milliseconds interval) { full_disk().set_interval(interval); }

} // namespace kxp
