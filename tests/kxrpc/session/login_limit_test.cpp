#include "session/login_limit.h"

#include <gtest/gtest.h>

using namespace KxRpc;
using Clock = LoginThrottle::Clock;
using std::chrono::seconds;

namespace {

LoginLimits limits(int per_name, int per_peer) {
    LoginLimits l;
    l.window = seconds(60);
    l.per_name = per_name;
    l.per_peer = per_peer;
    return l;
}

} // namespace

TEST(LoginThrottle, ANameIsRefusedPastItsLimitUntilTheWindowHasPassed) {
    LoginThrottle t(limits(3, 100));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(t.allows("10.0.0.1", "alice", t0)) << i;
        t.failed("10.0.0.1", "alice", t0);
    }
    EXPECT_FALSE(t.allows("10.0.0.1", "alice", t0));
    EXPECT_FALSE(t.allows("10.0.0.2", "alice", t0 + seconds(59))); // from anywhere
    EXPECT_TRUE(t.allows("10.0.0.1", "bob", t0));
    EXPECT_TRUE(t.allows("10.0.0.1", "alice", t0 + seconds(60)));
}

TEST(LoginThrottle, APeerIsRefusedPastItsLimitWhateverTheName) {
    LoginThrottle t(limits(100, 4));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 4; ++i) t.failed("10.0.0.1", "name" + std::to_string(i), t0);
    EXPECT_FALSE(t.allows("10.0.0.1", "carol", t0));
    EXPECT_TRUE(t.allows("10.0.0.2", "carol", t0));
    EXPECT_TRUE(t.allows("", "carol", t0)); // no peer: only the name counts
    EXPECT_TRUE(t.allows("10.0.0.1", "carol", t0 + seconds(61)));
}

TEST(LoginThrottle, SuccessStartsTheNameAgainButNotThePeer) {
    LoginThrottle t(limits(2, 3));
    Clock::time_point const t0 = Clock::now();
    t.failed("10.0.0.1", "alice", t0);
    t.failed("10.0.0.1", "alice", t0);
    EXPECT_FALSE(t.allows("10.0.0.9", "alice", t0));
    t.succeeded("alice");
    EXPECT_TRUE(t.allows("10.0.0.9", "alice", t0));
    t.failed("10.0.0.1", "dave", t0);
    EXPECT_FALSE(t.allows("10.0.0.1", "alice", t0));
}

TEST(LoginThrottle, ExpiredCountsMakeRoomForNewOnes) {
    LoginThrottle t(limits(1, 1000000));
    Clock::time_point const t0 = Clock::now();
    for (std::size_t i = 0; i < LoginThrottle::max_tracked; ++i) t.failed("", "n" + std::to_string(i), t0);
    EXPECT_FALSE(t.allows("", "n0", t0));
    // Full of live counts: a new name is not tracked, and never refused for it.
    t.failed("", "late", t0);
    EXPECT_TRUE(t.allows("", "late", t0));
    // Once the window has passed, the old counts go and the new one is kept.
    t.failed("", "later", t0 + seconds(61));
    EXPECT_FALSE(t.allows("", "later", t0 + seconds(61)));
}
