#include "target/login_limit.h"

#include <algorithm>
#include <functional>

#include "kxproduct/session.h"
#include "target/login_session.h"
#include "wire/call_scope.h"
#include "wire/conversions.h"
#include "wire/environment.h"
#include "wire/product_failure.h"

namespace KxRpc {

namespace {

// Keys are hashes: a client's long names take no room here.
std::size_t key_of(std::string const &text) { return std::hash<std::string>{}(text); }

constexpr std::size_t least_name_sweep = 1024;

} // namespace

LoginLimits LoginLimits::from_environment() {
    LoginLimits limits;
    limits.window = std::chrono::seconds(positive_from_environment("KX_LOGIN_WINDOW_SECONDS", limits.window.count()));
    limits.per_name = static_cast<int>(positive_from_environment("KX_LOGIN_FAILURES_PER_NAME", limits.per_name));
    limits.per_peer = static_cast<int>(positive_from_environment("KX_LOGIN_FAILURES_PER_PEER", limits.per_peer));
    return limits;
}

bool LoginThrottle::allows(std::string const &peer, std::string const &name, Clock::time_point now) {
    std::size_t const name_key = key_of(name);
    std::lock_guard<std::mutex> guard(mu_);
    auto n = names_.find(name_key);
    if (n != names_.end() && !live(n->second, now)) {
        names_.erase(n);
    } else if (n != names_.end() && n->second.failures >= limits_.per_name) {
        return false;
    }
    if (peer.empty()) return true;
    auto p = peers_.find(key_of(peer));
    if (p == peers_.end() || !live(p->second, now)) return true;
    if (p->second.failures >= limits_.per_peer) return false;
    auto u = p->second.unknown_names.find(name_key);
    return u == p->second.unknown_names.end() || u->second < limits_.per_name;
}

void LoginThrottle::count_name(std::size_t key, Clock::time_point now) {
    auto it = names_.find(key);
    if (it != names_.end() && !live(it->second, now)) it->second = Count{now, 0};
    if (it == names_.end()) {
        // Only real names are here, so the table is as large as the users who failed lately; the
        // expired ones go whenever it has doubled.
        if (names_.size() >= next_name_sweep_) {
            std::erase_if(names_, [&](auto const &e) { return !live(e.second, now); });
            next_name_sweep_ = std::max(least_name_sweep, 2 * names_.size());
        }
        it = names_.emplace(key, Count{now, 0}).first;
    }
    ++it->second.failures;
}

LoginThrottle::PeerCount *LoginThrottle::count_peer(std::size_t key, Clock::time_point now) {
    auto it = peers_.find(key);
    if (it != peers_.end() && !live(it->second, now)) it->second = PeerCount{{now, 0}, {}};
    if (it == peers_.end()) {
        if (peers_.size() >= max_peers) {
            std::erase_if(peers_, [&](auto const &e) { return !live(e.second, now); });
            if (peers_.size() >= max_peers)
                peers_.erase(std::min_element(peers_.begin(), peers_.end(), [](auto const &a, auto const &b) {
                    return a.second.since < b.second.since;
                }));
        }
        it = peers_.emplace(key, PeerCount{{now, 0}, {}}).first;
    }
    ++it->second.failures;
    return &it->second;
}

void LoginThrottle::failed(std::string const &peer, std::string const &name, bool known, Clock::time_point now) {
    std::size_t const name_key = key_of(name);
    std::lock_guard<std::mutex> guard(mu_);
    if (known) count_name(name_key, now);
    if (peer.empty()) return;
    PeerCount *p = count_peer(key_of(peer), now);
    if (known) return;
    auto &unknown = p->unknown_names;
    auto u = unknown.find(name_key);
    // A peer fails no more names than its own limit before it is refused outright.
    if (u == unknown.end() && unknown.size() < static_cast<std::size_t>(limits_.per_peer))
        u = unknown.emplace(name_key, 0).first;
    if (u != unknown.end()) ++u->second;
}

void LoginThrottle::succeeded(std::string const &name) {
    std::lock_guard<std::mutex> guard(mu_);
    names_.erase(key_of(name));
}

std::size_t LoginThrottle::names_tracked() {
    std::lock_guard<std::mutex> guard(mu_);
    return names_.size();
}

std::size_t LoginThrottle::peers_tracked() {
    std::lock_guard<std::mutex> guard(mu_);
    return peers_.size();
}

LoginThrottle &login_throttle() {
    static LoginThrottle *throttle = new LoginThrottle(LoginLimits::from_environment());
    return *throttle;
}

// ---- PasswordCheck

PasswordCheck::PasswordCheck(Nul::UString const &dbset, Nul::UString const &name)
    : counted_(in_served_call()), dbset_(dbset), name_(name) {
    if (!counted_) return;
    peer_ = call_peer().host_key();
    key_ = name.utf8_str().std_str();
    if (!login_throttle().allows(peer_, key_))
        login_forbidden(Reason::login_refused, Nul::UString(L"Too many failed logins; try again later."), dbset);
}

void PasswordCheck::failed() noexcept {
    if (!counted_) return;
    try {
        bool known = true; // when the set cannot say, the name is counted for itself
        auto const failure = failure_of([&] { known = AdSessionMgr::IsLoginName(cstr(name_), cstr(dbset_)) != FALSE; },
                                        taking_everything);
        if (failure) known = true;
        login_throttle().failed(peer_, key_, known);
    } catch (...) {
        // Out of memory: the refusal that follows still goes out.
    }
}

void PasswordCheck::succeeded() {
    if (counted_) login_throttle().succeeded(key_);
}

} // namespace KxRpc
