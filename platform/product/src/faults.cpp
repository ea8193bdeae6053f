#include "kxproduct/faults.h"

#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"

namespace {

struct Armed {
    KXFault fault;
    long due; // call count at which it fires
};

std::mutex g_mu;
// Set once a test arms, resets or counts: until then nothing is armed and nobody reads the
// counts, so Enter costs one load (a served call enters hundreds of times).
std::atomic<bool> g_engaged{false};
std::map<std::string, long> &counts() {
    static std::map<std::string, long> m;
    return m;
}
std::map<std::string, Armed> &armed() {
    static std::map<std::string, Armed> m;
    return m;
}

} // namespace

void KXFaultInjector::Arm(const char *operation, const KXFault &fault, int nth) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_engaged.store(true, std::memory_order_release);
    long now = counts()[operation];
    armed()[operation] = Armed{fault, now + (nth < 1 ? 1 : nth)};
}

void KXFaultInjector::Disarm(const char *operation) {
    std::lock_guard<std::mutex> lock(g_mu);
    armed().erase(operation);
}

void KXFaultInjector::Reset() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_engaged.store(true, std::memory_order_release);
    armed().clear();
    counts().clear();
}

long KXFaultInjector::CallCount(const char *operation) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_engaged.store(true, std::memory_order_release);
    auto it = counts().find(operation);
    return it == counts().end() ? 0 : it->second;
}

std::optional<KXFault> KXFaultInjector::Enter(const char *operation, int accepts) {
    if (!g_engaged.load(std::memory_order_acquire)) return std::nullopt;
    KXFault fault;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        long n = ++counts()[operation];
        auto it = armed().find(operation);
        if (it == armed().end() || it->second.due != n) return std::nullopt;
        fault = it->second.fault;
        armed().erase(it);
    }
    CString source(operation);
    switch (fault.kind) {
    case KXFaultKind::KXException:
        throw new KXException(fault.msg_id, fault.text, source);
    case KXFaultKind::PaMsgException:
        throw new PaMsgException(fault.msg_id, fault.text);
    case KXFaultKind::CException:
        throw new CException(fault.text);
    case KXFaultKind::OutOfMemory:
        throw std::bad_alloc();
    case KXFaultKind::LookupStatus:
        if (!(accepts & kStatus)) throw std::logic_error(std::string(operation) + " answers no lookup status");
        return fault;
    case KXFaultKind::ErrorText:
        if (!(accepts & kText)) throw std::logic_error(std::string(operation) + " answers no error text");
        return fault;
    }
    return std::nullopt;
}
