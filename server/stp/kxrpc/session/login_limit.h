// Failed logins counted per peer address and per login name: past a limit, a login is refused
// before its password is checked, until the window in which the failures were counted has passed.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace KxRpc {

struct LoginLimits {
    std::chrono::seconds window{300}; // KX_LOGIN_WINDOW_SECONDS
    int per_name = 10;                // KX_LOGIN_FAILURES_PER_NAME
    int per_peer = 100;               // KX_LOGIN_FAILURES_PER_PEER
    static LoginLimits from_environment();
};

class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    // Names and peers tracked at once, at most; past it, expired counts are dropped first.
    static constexpr std::size_t max_tracked = 65536;

    explicit LoginThrottle(LoginLimits const &limits) : limits_(limits) {}
    // False while the peer (empty: none) or the name has failed its limit within the window.
    bool allows(std::string const &peer, std::string const &name, Clock::time_point now = Clock::now());
    void failed(std::string const &peer, std::string const &name, Clock::time_point now = Clock::now());
    // The name's count starts again; the peer's stays.
    void succeeded(std::string const &name);

private:
    struct Count {
        Clock::time_point since;
        int failures = 0;
    };
    using Counts = std::map<std::size_t, Count>;
    bool over(Counts &counts, std::size_t key, int limit, Clock::time_point now);
    void add(Counts &counts, std::size_t key, Clock::time_point now);

    LoginLimits const limits_;
    std::mutex mu_;
    Counts peers_, names_;
};

// The server's throttle, with the limits of its environment.
LoginThrottle &login_throttle();

} // namespace KxRpc
