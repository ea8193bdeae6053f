// Failed password checks counted per peer host and per login name: past a limit, a check is
// refused before the password is tried, until the window in which the failures were counted has
// passed. Every procedure that takes a password goes through one throttle.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "tesutil/ustring.h"

namespace KxRpc {

struct LoginLimits {
    std::chrono::seconds window{300}; // KX_LOGIN_WINDOW_SECONDS
    int per_name = 10;                // KX_LOGIN_FAILURES_PER_NAME
    int per_peer = 100;               // KX_LOGIN_FAILURES_PER_PEER
    static LoginLimits from_environment();
};

// A name that exists is counted for itself, whoever fails it: its table holds only real names, so
// no flood of made-up names can crowd one out. A name that does not exist is counted against the
// peer that tried it, both in the peer's count and, with the same per-name limit, under the peer,
// so that from one peer it answers as a real name does. Peers tracked at once are bounded.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    // Peers tracked at once, at most; past it, expired counts go first, then the oldest.
    static constexpr std::size_t max_peers = 65536;

    explicit LoginThrottle(LoginLimits const &limits) : limits_(limits) {}
    // False while the peer (empty: none), the name, or the name under this peer has failed its
    // limit within the window.
    bool allows(std::string const &peer, std::string const &name, Clock::time_point now = Clock::now());
    // `known`: the name exists.
    void failed(std::string const &peer, std::string const &name, bool known, Clock::time_point now = Clock::now());
    // The name's count starts again; the peer's stays.
    void succeeded(std::string const &name);
    // Counts held now: the throttle's memory.
    std::size_t names_tracked();
    std::size_t peers_tracked();

private:
    struct Count {
        Clock::time_point since;
        int failures = 0;
    };
    struct PeerCount : Count {
        std::map<std::size_t, int> unknown_names; // at most per_peer of them
    };
    bool live(Count const &c, Clock::time_point now) const { return now - c.since < limits_.window; }
    void count_name(std::size_t key, Clock::time_point now);
    PeerCount *count_peer(std::size_t key, Clock::time_point now);

    LoginLimits const limits_;
    std::mutex mu_;
    std::map<std::size_t, Count> names_;
    std::map<std::size_t, PeerCount> peers_;
    std::size_t next_name_sweep_ = 1024;
};

// The server's throttle, with the limits of its environment.
LoginThrottle &login_throttle();

// One password check of `name` for the database set `dbset`. From the network it goes through the
// server's throttle: made past the limit, it refuses at once with reason 47 ("Too many failed
// logins; try again later."). Outside a served call it is not counted.
class PasswordCheck {
public:
    PasswordCheck(Nul::UString const &dbset, Nul::UString const &name);
    // The password was wrong (or the check failed): counted against the name when the set holds
    // it, else against the peer. Never throws.
    void failed() noexcept;
    // The password was right: the name's count starts again.
    void succeeded();

private:
    bool counted_;
    Nul::UString dbset_, name_;
    std::string peer_, key_;
};

} // namespace KxRpc
