#include "session/login_limit.h"

#include <functional>

#include "wire/environment.h"

namespace KxRpc {

namespace {

// Keys are hashes: a client's long names take no room here.
std::size_t key_of(std::string const &text) { return std::hash<std::string>{}(text); }

} // namespace

LoginLimits LoginLimits::from_environment() {
    LoginLimits limits;
    limits.window = std::chrono::seconds(positive_from_environment("KX_LOGIN_WINDOW_SECONDS", limits.window.count()));
    limits.per_name = static_cast<int>(positive_from_environment("KX_LOGIN_FAILURES_PER_NAME", limits.per_name));
    limits.per_peer = static_cast<int>(positive_from_environment("KX_LOGIN_FAILURES_PER_PEER", limits.per_peer));
    return limits;
}

bool LoginThrottle::over(Counts &counts, std::size_t key, int limit, Clock::time_point now) {
    auto it = counts.find(key);
    if (it == counts.end()) return false;
    if (now - it->second.since >= limits_.window) {
        counts.erase(it);
        return false;
    }
    return it->second.failures >= limit;
}

void LoginThrottle::add(Counts &counts, std::size_t key, Clock::time_point now) {
    auto it = counts.find(key);
    if (it != counts.end() && now - it->second.since >= limits_.window) {
        counts.erase(it);
        it = counts.end();
    }
    if (it == counts.end()) {
        if (counts.size() >= max_tracked) {
            for (auto c = counts.begin(); c != counts.end();)
                c = now - c->second.since >= limits_.window ? counts.erase(c) : std::next(c);
            if (counts.size() >= max_tracked) return;
        }
        it = counts.emplace(key, Count{now, 0}).first;
    }
    ++it->second.failures;
}

bool LoginThrottle::allows(std::string const &peer, std::string const &name, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(mu_);
    bool const peer_over = !peer.empty() && over(peers_, key_of(peer), limits_.per_peer, now);
    bool const name_over = over(names_, key_of(name), limits_.per_name, now);
    return !peer_over && !name_over;
}

void LoginThrottle::failed(std::string const &peer, std::string const &name, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(mu_);
    if (!peer.empty()) add(peers_, key_of(peer), now);
    add(names_, key_of(name), now);
}

void LoginThrottle::succeeded(std::string const &name) {
    std::lock_guard<std::mutex> guard(mu_);
    names_.erase(key_of(name));
}

LoginThrottle &login_throttle() {
    static LoginThrottle *throttle = new LoginThrottle(LoginLimits::from_environment());
    return *throttle;
}

} // namespace KxRpc
