#include "target/login_limit.h"

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

constexpr bool known = true, unknown = false;

} // namespace

TEST(LoginThrottle, ANameIsRefusedPastItsLimitUntilTheWindowHasPassed) {
    LoginThrottle t(limits(3, 100));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(t.allows("10.0.0.1", "alice", t0)) << i;
        t.failed("10.0.0.1", "alice", known, t0);
    }
    EXPECT_FALSE(t.allows("10.0.0.1", "alice", t0));
    EXPECT_FALSE(t.allows("10.0.0.2", "alice", t0 + seconds(59))); // from anywhere
    EXPECT_FALSE(t.allows("", "alice", t0));
    EXPECT_TRUE(t.allows("10.0.0.1", "bob", t0));
    EXPECT_TRUE(t.allows("10.0.0.1", "alice", t0 + seconds(60)));
}

TEST(LoginThrottle, APeerIsRefusedPastItsLimitWhateverTheName) {
    LoginThrottle t(limits(100, 4));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 2; ++i) t.failed("10.0.0.1", "name" + std::to_string(i), unknown, t0);
    for (int i = 0; i < 2; ++i) t.failed("10.0.0.1", "real" + std::to_string(i), known, t0);
    EXPECT_FALSE(t.allows("10.0.0.1", "carol", t0));
    EXPECT_TRUE(t.allows("10.0.0.2", "carol", t0));
    EXPECT_TRUE(t.allows("", "carol", t0)); // no peer: only the name counts
    EXPECT_TRUE(t.allows("10.0.0.1", "carol", t0 + seconds(61)));
}

TEST(LoginThrottle, AnUnknownNameIsCountedUnderItsPeerOnly) {
    LoginThrottle t(limits(3, 100));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(t.allows("10.0.0.1", "ghost", t0)) << i;
        t.failed("10.0.0.1", "ghost", unknown, t0);
    }
    // From that peer it answers as a real name does; elsewhere it is not known.
    EXPECT_FALSE(t.allows("10.0.0.1", "ghost", t0));
    EXPECT_TRUE(t.allows("10.0.0.2", "ghost", t0));
    EXPECT_TRUE(t.allows("10.0.0.1", "ghost", t0 + seconds(60)));
    EXPECT_EQ(t.names_tracked(), 0u);
    // Without a peer an unknown name leaves nothing behind.
    t.failed("", "ghost", unknown, t0);
    EXPECT_EQ(t.names_tracked(), 0u);
    EXPECT_EQ(t.peers_tracked(), 1u);
}

TEST(LoginThrottle, SuccessStartsTheNameAgainButNotThePeer) {
    LoginThrottle t(limits(2, 3));
    Clock::time_point const t0 = Clock::now();
    t.failed("10.0.0.1", "alice", known, t0);
    t.failed("10.0.0.1", "alice", known, t0);
    EXPECT_FALSE(t.allows("10.0.0.9", "alice", t0));
    t.succeeded("alice");
    EXPECT_TRUE(t.allows("10.0.0.9", "alice", t0));
    t.failed("10.0.0.1", "dave", known, t0);
    EXPECT_FALSE(t.allows("10.0.0.1", "alice", t0));
}

TEST(LoginThrottle, AFloodOfMadeUpNamesFromAnyNumberOfPeersLeavesARealNameCounted) {
    LoginThrottle t(limits(10, 100));
    Clock::time_point const t0 = Clock::now();
    // Past the peers' bound, each peer one fresh name at a time, as many as the peers allow.
    std::size_t const peers = LoginThrottle::max_peers + 500;
    for (std::size_t p = 0; p < peers; ++p)
        for (int i = 0; i < 3; ++i)
            t.failed("peer" + std::to_string(p), "fresh" + std::to_string(p) + "-" + std::to_string(i), unknown, t0);
    EXPECT_EQ(t.names_tracked(), 0u);
    EXPECT_EQ(t.peers_tracked(), LoginThrottle::max_peers);
    // Every failure of the real name still counts, from peers old and new.
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(t.allows("peer" + std::to_string(i * 7919), "alice", t0)) << i;
        t.failed("peer" + std::to_string(i * 7919), "alice", known, t0);
    }
    EXPECT_FALSE(t.allows("elsewhere", "alice", t0));
    EXPECT_EQ(t.names_tracked(), 1u);
}

TEST(LoginThrottle, PastThePeersBoundTheOldestGoesFirst) {
    LoginThrottle t(limits(10, 2));
    Clock::time_point const t0 = Clock::now();
    t.failed("first", "x", unknown, t0);
    t.failed("first", "y", unknown, t0);
    for (std::size_t p = 1; p < LoginThrottle::max_peers; ++p)
        t.failed("peer" + std::to_string(p), "x", unknown, t0 + seconds(1));
    EXPECT_FALSE(t.allows("first", "z", t0 + seconds(1)));
    t.failed("newcomer", "x", unknown, t0 + seconds(2));
    t.failed("newcomer", "y", unknown, t0 + seconds(2));
    EXPECT_FALSE(t.allows("newcomer", "z", t0 + seconds(2)));
    EXPECT_TRUE(t.allows("first", "z", t0 + seconds(2)));
    EXPECT_EQ(t.peers_tracked(), LoginThrottle::max_peers);
}

TEST(LoginThrottle, AnUnknownNamePerPeerTakesNoMoreRoomThanThePeersLimit) {
    LoginThrottle t(limits(10, 5));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 5; ++i) t.failed("10.0.0.1", "n" + std::to_string(i), unknown, t0);
    EXPECT_FALSE(t.allows("10.0.0.1", "n0", t0));
    // Failures that raced past the refusal are counted against the peer, and take no new room.
    for (int i = 5; i < 50; ++i) t.failed("10.0.0.1", "n" + std::to_string(i), unknown, t0);
    EXPECT_FALSE(t.allows("10.0.0.1", "n0", t0));
    EXPECT_TRUE(t.allows("10.0.0.1", "n0", t0 + seconds(60)));
}

TEST(LoginThrottle, ExpiredNamesGoOnceTheTableHasGrown) {
    LoginThrottle t(limits(1, 1000000));
    Clock::time_point const t0 = Clock::now();
    for (int i = 0; i < 1024; ++i) t.failed("", "user" + std::to_string(i), known, t0);
    EXPECT_EQ(t.names_tracked(), 1024u);
    EXPECT_FALSE(t.allows("", "user0", t0 + seconds(59)));
    t.failed("", "late", known, t0 + seconds(61));
    EXPECT_EQ(t.names_tracked(), 1u);
    EXPECT_FALSE(t.allows("", "late", t0 + seconds(61)));
}
