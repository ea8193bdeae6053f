#include "wire/ledger.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "wire/catalog.h"
#include "wire/environment.h"
#include "wire/exceptions.h"

namespace KxRpc {

namespace {

constexpr std::size_t kinds = 2;
constexpr std::size_t levels = 3;
using Bytes = std::array<std::uint64_t, kinds>;

std::size_t at(Holding kind) { return static_cast<std::size_t>(kind); }
std::size_t at(LedgerOwner owner) { return static_cast<std::size_t>(owner); }

struct Bound {
    char const *variable;
    std::uint64_t fallback;
    int message;
};

// By kind, then by owner.
constexpr Bound bounds[kinds][levels] = {
    {{"KX_SESSION_DISK_BYTES", default_session_disk_bytes, MSG_SESSION_DISK_FULL},
     {"KX_USER_DISK_BYTES", default_user_disk_bytes, MSG_USER_DISK_FULL},
     {"KX_PROCESS_DISK_BYTES", default_process_disk_bytes, MSG_PROCESS_DISK_FULL}},
    {{"KX_SESSION_MEMORY_BYTES", default_session_memory_bytes, MSG_SESSION_MEMORY_FULL},
     {"KX_USER_MEMORY_BYTES", default_user_memory_bytes, MSG_USER_MEMORY_FULL},
     {"KX_PROCESS_MEMORY_BYTES", default_process_memory_bytes, MSG_PROCESS_MEMORY_FULL}},
};

std::atomic<std::uint64_t> set_bounds[kinds][levels];

// A session stays while it is open or still holds bytes: a charge that outlives its session gives
// its bytes back to the same user.
struct Session {
    std::string user;
    bool open = false;
    Bytes held{};
};

struct Ledger {
    std::mutex lock;
    std::map<Nul::Oid, Session> sessions;
    std::map<std::string, Bytes> users;
    Bytes process{};
};

// Never destroyed: charges held by static objects may go after it would have.
Ledger &ledger() {
    static Ledger *l = new Ledger;
    return *l;
}

bool empty(Bytes const &b) { return b[0] == 0 && b[1] == 0; }

void forget_if_done(Ledger &l, std::map<Nul::Oid, Session>::iterator s) {
    if (s->second.open || !empty(s->second.held)) return;
    l.sessions.erase(s);
}

// Adds `bytes` unless a bound would be passed; the bound passed, or none. The caller holds the lock.
std::optional<LedgerOwner> add(Ledger &l, Holding kind, Nul::Oid const &session, std::uint64_t bytes) {
    std::size_t const k = at(kind);
    auto fits = [&](std::uint64_t held, LedgerOwner owner) {
        std::uint64_t const limit = ledger_bound(kind, owner);
        return bytes <= limit && held <= limit - bytes;
    };
    Session *s = nullptr;
    Bytes *u = nullptr;
    if (!session.is_nil()) {
        auto found = l.sessions.find(session);
        if (!fits(found == l.sessions.end() ? 0 : found->second.held[k], LedgerOwner::session))
            return LedgerOwner::session;
        std::string const user = found == l.sessions.end() ? std::string() : found->second.user;
        if (!user.empty()) {
            auto uf = l.users.find(user);
            if (!fits(uf == l.users.end() ? 0 : uf->second[k], LedgerOwner::user)) return LedgerOwner::user;
        }
        if (!fits(l.process[k], LedgerOwner::process)) return LedgerOwner::process;
        s = &l.sessions[session];
        if (!user.empty()) u = &l.users[user];
    } else if (!fits(l.process[k], LedgerOwner::process)) {
        return LedgerOwner::process;
    }
    if (s != nullptr) s->held[k] += bytes;
    if (u != nullptr) (*u)[k] += bytes;
    l.process[k] += bytes;
    return std::nullopt;
}

void subtract(Ledger &l, Holding kind, Nul::Oid const &session, std::uint64_t bytes) {
    std::size_t const k = at(kind);
    l.process[k] -= std::min(l.process[k], bytes);
    if (session.is_nil()) return;
    auto s = l.sessions.find(session);
    if (s == l.sessions.end()) return;
    s->second.held[k] -= std::min(s->second.held[k], bytes);
    if (!s->second.user.empty()) {
        auto u = l.users.find(s->second.user);
        if (u != l.users.end()) {
            u->second[k] -= std::min(u->second[k], bytes);
            if (empty(u->second)) l.users.erase(u);
        }
    }
    forget_if_done(l, s);
}

[[noreturn]] void refuse(Holding kind, LedgerOwner owner) {
    Bound const &b = bounds[at(kind)][at(owner)];
    raise_reason(
        Reason::internal_error,
        kx_message(b.message, Nul::UMessage::Arg(Nul::UString(std::to_wstring(ledger_bound(kind, owner)).c_str()))));
}

// Charges, or raises the refusal once the lock is let go.
void charge(Holding kind, Nul::Oid const &session, std::uint64_t bytes) {
    if (bytes == 0) return;
    Ledger &l = ledger();
    std::optional<LedgerOwner> passed;
    {
        std::lock_guard<std::mutex> guard(l.lock);
        passed = add(l, kind, session, bytes);
    }
    if (passed) refuse(kind, *passed);
}

void give_back(Holding kind, Nul::Oid const &session, std::uint64_t bytes) noexcept {
    if (bytes == 0) return;
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    subtract(l, kind, session, bytes);
}

} // namespace

std::uint64_t ledger_bound(Holding kind, LedgerOwner owner) {
    std::uint64_t const set = set_bounds[at(kind)][at(owner)].load(std::memory_order_relaxed);
    if (set != 0) return set;
    // Read once per process, each on first use.
    static std::array<std::array<std::uint64_t, levels>, kinds> const from_environment = [] {
        std::array<std::array<std::uint64_t, levels>, kinds> read{};
        for (std::size_t k = 0; k < kinds; ++k)
            for (std::size_t o = 0; o < levels; ++o)
                read[k][o] = static_cast<std::uint64_t>(
                    positive_from_environment(bounds[k][o].variable, static_cast<long>(bounds[k][o].fallback)));
        return read;
    }();
    return from_environment[at(kind)][at(owner)];
}

void set_ledger_bound(Holding kind, LedgerOwner owner, std::uint64_t bytes) {
    set_bounds[at(kind)][at(owner)].store(bytes, std::memory_order_relaxed);
}

void ledger_open(Nul::Oid const &session, std::string const &user) {
    if (session.is_nil()) return;
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    Session &s = l.sessions[session];
    s.open = true;
    if (s.user == user) return;
    // Bytes charged before the session was known move to its user.
    if (!user.empty() && !empty(s.held)) {
        Bytes &u = l.users[user];
        for (std::size_t k = 0; k < kinds; ++k) u[k] += s.held[k];
    }
    s.user = user;
}

void ledger_close(Nul::Oid const &session) {
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    auto s = l.sessions.find(session);
    if (s == l.sessions.end()) return;
    s->second.open = false;
    forget_if_done(l, s);
}

bool ledger_session_open(Nul::Oid const &session) {
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    auto s = l.sessions.find(session);
    return s != l.sessions.end() && s->second.open;
}

Charge::Charge(Holding kind, Nul::Oid const &session, std::uint64_t bytes) : kind_(kind), session_(session) {
    charge(kind, session, bytes);
    bytes_ = bytes;
}

Charge::Charge(Charge &&other) noexcept
    : kind_(other.kind_), session_(other.session_), bytes_(std::exchange(other.bytes_, 0)) {}

Charge &Charge::operator=(Charge &&other) noexcept {
    if (this != &other) {
        release();
        kind_ = other.kind_;
        session_ = other.session_;
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

void Charge::grow(std::uint64_t bytes) {
    charge(kind_, session_, bytes);
    bytes_ += bytes;
}

void Charge::resize(std::uint64_t bytes) {
    if (bytes > bytes_) {
        grow(bytes - bytes_);
    } else {
        give_back(kind_, session_, bytes_ - bytes);
        bytes_ = bytes;
    }
}

void Charge::take(Charge &from, std::uint64_t bytes) {
    std::uint64_t moved = 0;
    if (&from != this && from.kind_ == kind_ && from.session_ == session_) {
        moved = std::min(bytes, from.bytes_);
        from.bytes_ -= moved;
        bytes_ += moved;
    }
    grow(bytes - moved);
}

void Charge::release() noexcept {
    give_back(kind_, session_, bytes_);
    bytes_ = 0;
}

std::uint64_t ledger_held(Holding kind, Nul::Oid const &session) {
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    if (session.is_nil()) return 0;
    auto s = l.sessions.find(session);
    return s == l.sessions.end() ? 0 : s->second.held[at(kind)];
}

std::uint64_t ledger_user_held(Holding kind, std::string const &user) {
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    auto u = l.users.find(user);
    return u == l.users.end() ? 0 : u->second[at(kind)];
}

std::uint64_t ledger_process_held(Holding kind) {
    Ledger &l = ledger();
    std::lock_guard<std::mutex> guard(l.lock);
    return l.process[at(kind)];
}

} // namespace KxRpc
