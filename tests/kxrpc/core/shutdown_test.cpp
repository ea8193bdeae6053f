#include "core/shutdown.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "wire/call_scope.h"

using namespace KxRpc;

namespace {

// An address of either family, as the runtime gives it; unknown when the text is none.
PeerAddress peer(char const *text) {
    PeerAddress p;
    auto *a4 = reinterpret_cast<sockaddr_in *>(&p.addr);
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&p.addr);
    if (inet_pton(AF_INET, text, &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET;
        a4->sin_port = htons(4242);
        p.length = sizeof *a4;
    } else if (inet_pton(AF_INET6, text, &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(4242);
        p.length = sizeof *a6;
    }
    return p;
}

} // namespace

TEST(Shutdown, OnlyLoopbackPeersUnlessRemoteStopsAreAllowed) {
    struct Case {
        char const *text;
        bool loopback;
    } const cases[] = {
        {"127.0.0.1", true},        {"127.200.1.2", true},       {"::1", true},
        {"::ffff:127.0.0.1", true}, {"192.0.2.2", false},        {"10.127.0.1", false},
        {"fd00::2", false},         {"::ffff:192.0.2.2", false}, {"not an address", false},
    };
    for (Case const &c : cases) {
        EXPECT_EQ(shutdown_allowed(peer(c.text), false), c.loopback) << c.text;
        EXPECT_TRUE(shutdown_allowed(peer(c.text), true)) << c.text;
    }
}

TEST(PeerAddress, HostTextAndTheHostFailuresCountAgainst) {
    struct Case {
        char const *text;
        char const *host_key;
    } const cases[] = {
        {"192.0.2.2", "192.0.2.2"},
        {"::ffff:192.0.2.2", "192.0.2.2"}, // IPv4-mapped: the IPv4 peer
        {"127.0.0.1", "loopback"},
        {"127.0.0.2", "loopback"},
        {"127.255.255.254", "loopback"},
        {"::1", "loopback"},
        {"::ffff:127.0.0.3", "loopback"},
        {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"fe80::1", "fe80::/64"},
        {"::", "::/64"},
    };
    for (Case const &c : cases) EXPECT_EQ(peer(c.text).host_key(), c.host_key) << c.text;
    EXPECT_EQ(peer("192.0.2.2").host(), "192.0.2.2");
    EXPECT_EQ(peer("2001:db8::7").host(), "2001:db8::7");
    EXPECT_EQ(PeerAddress{}.host(), "");
    EXPECT_EQ(PeerAddress{}.host_key(), "");
    // Outside a served call there is no peer and no connection.
    EXPECT_FALSE(in_served_call());
    EXPECT_FALSE(call_peer().known());
    EXPECT_EQ(call_connection(), 0u);
}
