// The connection table on its own: hosts as counted, and who gives way in which order.
#include "../../../platform/rpcsvc/src/conn_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using ksrpc::ConnTable;
using ksrpc::host_key;

namespace {

sockaddr_storage address(const std::string &text, unsigned short port = 1000) {
    sockaddr_storage ss{};
    if (text.find(':') == std::string::npos) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        EXPECT_EQ(1, inet_pton(AF_INET, text.c_str(), &a->sin_addr)) << text;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        EXPECT_EQ(1, inet_pton(AF_INET6, text.c_str(), &a->sin6_addr)) << text;
    }
    return ss;
}

ksrpc::HostKey key_of(const std::string &text, unsigned short port = 1000) {
    sockaddr_storage ss = address(text, port);
    return host_key(reinterpret_cast<sockaddr *>(&ss), sizeof ss);
}

// A connection as the table sees it: one end of a socket pair, whose other end plays the peer.
struct Conn : ConnTable::Entry {
    int peer = -1;
    Conn() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            fd = sv[0];
            peer = sv[1];
        }
    }
    ~Conn() { close(peer); } // fd is closed by the table
    // The table shut it down: the peer sees the end of the stream.
    bool shut() const {
        char b;
        return recv(peer, &b, 1, MSG_DONTWAIT) == 0;
    }
};

// Waits until the clock has passed t, so that what is listed next is listed later.
void tick(ConnTable::Clock::time_point t) {
    while (ConnTable::Clock::now() <= t) {
    }
}

class ConnTableTest : public ::testing::Test {
protected:
    ConnTable table;
    std::vector<std::unique_ptr<Conn>> conns;

    void TearDown() override {
        for (auto &c : conns)
            if (c->fd >= 0) table.remove(c.get());
        EXPECT_EQ(0u, table.open());
        EXPECT_EQ(0u, table.going());
    }
    Conn *open(const std::string &host) {
        conns.push_back(std::make_unique<Conn>());
        Conn *c = conns.back().get();
        sockaddr_storage ss = address(host);
        table.add(c, reinterpret_cast<sockaddr *>(&ss), sizeof ss);
        return c;
    }
    // Its first call arrived and was answered; it waits for the next one.
    Conn *served(const std::string &host) {
        Conn *c = open(host);
        EXPECT_TRUE(table.first_record(c));
        table.set_idle(c);
        return c;
    }
    // Accepted as the table admits it (on trial when it is full).
    Conn *admitted(const std::string &host) {
        EXPECT_EQ(ConnTable::Admit::Take, table.admit());
        return open(host);
    }
    void close_conn(Conn *c) {
        table.remove(c);
        c->fd = -1;
    }
    std::vector<bool> shut() const {
        std::vector<bool> v;
        for (auto &c : conns) v.push_back(c->shut());
        return v;
    }
};

} // namespace

TEST(HostKey, CountsAddressesAsTheLoginLimitsDoButEachLoopbackAlone) {
    struct Case {
        const char *a, *b;
        bool same;
    } cases[] = {
        {"192.0.2.1", "192.0.2.1", true},
        {"192.0.2.1", "::ffff:192.0.2.1", true},
        {"192.0.2.1", "192.0.2.2", false},
        {"2001:db8::1", "2001:db8::ffff:1", true},
        {"2001:db8::1", "2001:db8:0:1::1", false},
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.2", "::ffff:127.0.0.2", true},
        {"::1", "::2", false},
        {"::1", "::1", true},
        {"::1", "127.0.0.1", false},
    };
    for (const Case &c : cases) EXPECT_EQ(c.same, key_of(c.a, 1) == key_of(c.b, 2)) << c.a << " " << c.b;
    EXPECT_TRUE(host_key(nullptr, 0) == host_key(nullptr, 0)); // an unknown peer is one host
}

TEST_F(ConnTableTest, BelowTheLimitEveryConnectionIsTaken) {
    table.set_limit(2);
    EXPECT_EQ(ConnTable::Admit::Take, table.admit());
    served("192.0.2.1");
    EXPECT_EQ(ConnTable::Admit::Take, table.admit());
    open("192.0.2.1");
    EXPECT_EQ(2u, table.open());
    EXPECT_EQ((std::vector<bool>{false, false}), shut());
}

TEST_F(ConnTableTest, FreshConnectionsGiveWayFirstTheOneOpenLongestFirst) {
    table.set_limit(4);
    Conn *quiet = open("192.0.2.9"); // nothing sent yet
    table.set_idle(quiet);
    Conn *mid = open("192.0.2.9"); // its first record arriving: not between calls
    served("192.0.2.1");
    served("192.0.2.1");
    // Two new ones: each time the oldest fresh one goes, never a served one.
    EXPECT_EQ(ConnTable::Admit::Wait, table.admit());
    EXPECT_EQ((std::vector<bool>{true, false, false, false}), shut());
    EXPECT_TRUE(table.remove(quiet));
    quiet->fd = -1;
    EXPECT_EQ(ConnTable::Admit::Take, table.admit());
    open("192.0.2.3");
    EXPECT_EQ(ConnTable::Admit::Wait, table.admit());
    EXPECT_TRUE(table.giving_way(mid));
    EXPECT_FALSE(table.first_record(mid)) << "a call that arrives after it was made to go is not served";
}

TEST_F(ConnTableTest, AFreshConnectionReceivingItsFirstCallIsPassedOver) {
    table.set_limit(2);
    Conn *arriving = open("192.0.2.9");
    Conn *silent = open("192.0.2.9");
    ASSERT_EQ(1, send(arriving->peer, "x", 1, 0));
    EXPECT_EQ(ConnTable::Admit::Wait, table.admit());
    EXPECT_FALSE(table.giving_way(arriving));
    EXPECT_TRUE(table.giving_way(silent));
    close_conn(silent);
    // Only first calls arriving: the workers are behind, so the next one waits, and nobody goes.
    admitted("192.0.2.9");
    ASSERT_EQ(1, send(conns.back()->peer, "x", 1, 0));
    EXPECT_EQ(ConnTable::Admit::Later, table.admit());
    EXPECT_EQ(0u, table.going());
}

TEST_F(ConnTableTest, ANewConnectionTakesAServedOnesPlaceOnlyOnceItsFirstCallHasArrived) {
    table.set_limit(4);
    Conn *b = served("192.0.2.2"); // idle longest, but its host holds one
    Conn *a1 = served("192.0.2.1");
    served("192.0.2.1");
    served("192.0.2.1");
    Conn *trial = admitted("192.0.2.3");
    EXPECT_EQ((std::vector<bool>{false, false, false, false, false}), shut());
    // A silent one in its turn takes the place of the one on trial, not of a served one.
    EXPECT_EQ(ConnTable::Admit::Wait, table.admit());
    EXPECT_TRUE(table.giving_way(trial));
    close_conn(trial);
    Conn *caller = admitted("192.0.2.3");
    EXPECT_TRUE(table.first_record(caller));
    EXPECT_TRUE(table.giving_way(a1)) << "the longest idle of the host holding the most";
    EXPECT_FALSE(table.giving_way(b));
    close_conn(a1);
    // 192.0.2.1 and 192.0.2.3 hold two each: the one idle longer of the two gives way.
    tick(ConnTable::Clock::now());
    table.set_idle(caller);
    Conn *next = admitted("192.0.2.3");
    EXPECT_TRUE(table.first_record(next));
    EXPECT_TRUE(table.giving_way(conns[2].get()));
    EXPECT_FALSE(table.giving_way(b));
    EXPECT_FALSE(table.giving_way(caller));
}

TEST_F(ConnTableTest, WithNobodyBetweenCallsTheNewOneIsRefused) {
    table.set_limit(2);
    Conn *a = served("192.0.2.1");
    open("192.0.2.2");
    table.first_record(conns[1].get()); // in its first call
    table.set_busy(a);                  // in a call
    EXPECT_EQ(ConnTable::Admit::Refuse, table.admit());
    // On trial while one was between calls, which is in a call by the time the trial's call arrives.
    table.set_idle(a);
    Conn *trial = admitted("192.0.2.3");
    table.set_busy(a);
    EXPECT_FALSE(table.first_record(trial));
    EXPECT_EQ((std::vector<bool>{false, false, true}), shut()) << "the one on trial goes";
}

TEST_F(ConnTableTest, AServedConnectionWhoseNextCallIsArrivingIsNotIdle) {
    table.set_limit(2);
    Conn *a = served("192.0.2.1");
    served("192.0.2.1");
    ASSERT_EQ(1, send(a->peer, "x", 1, 0));
    Conn *trial = admitted("192.0.2.1");
    EXPECT_TRUE(table.first_record(trial));
    EXPECT_EQ((std::vector<bool>{false, true, false}), shut());
}

TEST_F(ConnTableTest, ConnectionsIdlePastTheCutoffGiveWayAndLeaveTheList) {
    table.set_limit(8);
    Conn *quiet = open("192.0.2.1");
    table.set_idle(quiet);
    Conn *a = served("192.0.2.1");
    const auto cutoff = ConnTable::Clock::now();
    tick(cutoff);
    Conn *late = served("192.0.2.2");
    Conn *busy = open("192.0.2.3");
    table.expire_idle(cutoff);
    EXPECT_TRUE(table.giving_way(quiet));
    EXPECT_TRUE(table.giving_way(a));
    EXPECT_FALSE(table.giving_way(late));
    EXPECT_FALSE(table.giving_way(busy));
    EXPECT_EQ(2u, table.going());
    EXPECT_FALSE(table.remove(quiet));
    quiet->fd = -1;
    EXPECT_TRUE(table.remove(a)) << "the last of those going: room";
    a->fd = -1;
    table.set_busy(late);
    EXPECT_EQ(ConnTable::Clock::time_point::max(), table.idle_longest_since());
}
