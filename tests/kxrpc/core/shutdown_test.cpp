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

TEST(PeerAddress, HostAndConnectionTexts) {
    EXPECT_EQ(peer("192.0.2.2").host(), "192.0.2.2");
    EXPECT_EQ(peer("192.0.2.2").connection(), "[192.0.2.2]:4242");
    EXPECT_EQ(peer("fd00::2").connection(), "[fd00::2]:4242");
    EXPECT_EQ(PeerAddress{}.host(), "");
    EXPECT_EQ(PeerAddress{}.connection(), "");
    // Outside a served call there is no peer.
    EXPECT_FALSE(in_served_call());
    EXPECT_FALSE(call_peer().known());
}
