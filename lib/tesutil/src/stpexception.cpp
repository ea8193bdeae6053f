#include "tesutil/stpexception.h"

#include <atomic>

#include "tesutil/critsec.h"
#include "wexlog/logmanager.h"

namespace Nul {

namespace {
std::atomic<bool> logging_on{false};
} // namespace

STPException::STPException(stp_reason_code_t reason, UMessage const &message, Resource const *resource,
                           STPException const *cause, stp_log_level_t)
    : reason_(reason), resource_(resource ? resource->clone() : nullptr), message_(message) {
    if (cause) causes_.emplace_back(cause->clone());
}

STPException::STPException(stp_reason_code_t reason, UMessage const &message, Resource const *resource,
                           std::vector<STPException *> const &causes, stp_log_level_t)
    : reason_(reason), resource_(resource ? resource->clone() : nullptr), message_(message) {
    causes_.reserve(causes.size());
    for (auto *c : causes)
        if (c) causes_.emplace_back(c->clone());
}

STPException::STPException(STPException const &o)
    : reason_(o.reason_), resource_(o.resource_ ? o.resource_->clone() : nullptr), message_(o.message_) {
    causes_.reserve(o.causes_.size());
    for (auto const &c : o.causes_) causes_.emplace_back(c->clone());
}

STPException &STPException::operator=(STPException const &o) {
    if (this == &o) return *this;
    // Copy everything first: a clone that throws leaves this object as it was.
    std::unique_ptr<Resource> r(o.resource_ ? o.resource_->clone() : nullptr);
    std::vector<std::unique_ptr<STPException>> cs;
    cs.reserve(o.causes_.size());
    for (auto const &c : o.causes_) cs.emplace_back(c->clone());
    UMessage m(o.message_);
    reason_ = o.reason_;
    message_ = std::move(m);
    resource_.swap(r);
    causes_.swap(cs);
    return *this;
}

STPException::~STPException() = default;
STPException *STPException::clone() const { return new STPException(*this); }

StateException::~StateException() = default;
IllegalArgException::~IllegalArgException() = default;
IreqException::~IreqException() = default;
RuntimeException::~RuntimeException() = default;

void STPException::set_logging_enabled(bool on) { logging_on.store(on, std::memory_order_relaxed); }
bool STPException::logging_enabled() { return logging_on.load(std::memory_order_relaxed); }

void STPException::log(UMessage const &message, stp_log_level_t level) {
    if (!logging_enabled()) return;
    Log::LoggerGroup *group = Log::LogAdaptor::logger_nul();
    if (!group) return;
    std::string text = message.message_string(nullptr).utf8_str();
    switch (level) {
    case LOG_ERROR:
        group->error(text, 0);
        break;
    case LOG_WARNING:
        group->warning(text, 0);
        break;
    case LOG_INFO:
        group->info(text, 0);
        break;
    default:
        break;
    }
}

void STPException::raise(stp_reason_code_t reason, UMessage const &message, Resource const *resource,
                         STPException const *cause, stp_log_level_t level) {
    log(message, level);
    throw STPException(reason, message, resource, cause, level);
}

void STPException::raise(stp_reason_code_t reason, UMessage const &message, Resource const *resource,
                         std::vector<STPException *> const &causes, stp_log_level_t level) {
    log(message, level);
    throw STPException(reason, message, resource, causes, level);
}

void STPException::raise(STPException const &e, stp_log_level_t level) {
    log(e.message(), level);
    throw STPException(e);
}

} // namespace Nul

namespace Log {

namespace {
struct Binding {
    std::atomic<LogManager *> manager{nullptr};
    std::atomic<LoggerGroup *> stprpc{nullptr}, nul{nullptr}, vtrpc{nullptr}, kxrpc{nullptr};
};
Binding &binding() {
    static Binding b;
    return b;
}
Nul::CriticalSectionLock &binding_lock() {
    static auto *lock = new Nul::CriticalSectionLock;
    return *lock;
}
} // namespace

LogManager *LogAdaptor::initialize(char const *a, char const *b, char const *c, int n) {
    Nul::CriticalSection guard(binding_lock());
    Binding &bd = binding();
    LogManager *m = TsLogManager::initialize(a ? a : "", b ? b : ".", c ? c : "", n, std::string());
    bd.manager = m;
    if (m) {
        bd.stprpc = m->group("StpRpc");
        bd.nul = m->group("Nul");
        bd.vtrpc = m->group("VtRpc");
        bd.kxrpc = m->group("KxRpc");
    }
    return m;
}

LogManager *LogAdaptor::get_log_manager() { return binding().manager; }
LoggerGroup *LogAdaptor::logger_stprpc() { return binding().stprpc; }
LoggerGroup *LogAdaptor::logger_nul() { return binding().nul; }
LoggerGroup *LogAdaptor::logger_vtrpc() { return binding().vtrpc; }
LoggerGroup *LogAdaptor::logger_kxrpc() { return binding().kxrpc; }

} // namespace Log
