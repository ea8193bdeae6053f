#include "core/shutdown.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "wire/call_scope.h"

using namespace KxRpc;

namespace {

PeerAddress v4(char const *text) {
    PeerAddress p;
    auto *a = reinterpret_cast<sockaddr_in *>(&p.addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(4242);
    inet_pton(AF_INET, text, &a->sin_addr);
    p.length = sizeof *a;
    return p;
}

PeerAddress v6(char const *text) {
    PeerAddress p;
    auto *a = reinterpret_cast<sockaddr_in6 *>(&p.addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(4242);
    inet_pton(AF_INET6, text, &a->sin6_addr);
    p.length = sizeof *a;
    return p;
}

} // namespace

TEST(Shutdown, OnlyLoopbackPeersUnlessRemoteStopsAreAllowed) {
    struct Case {
        PeerAddress peer;
        bool loopback;
    } const cases[] = {
        {v4("127.0.0.1"), true},     {v4("127.200.1.2"), true}, {v6("::1"), true},
        {v6("::ffff:127.0.0.1"), true}, {v4("192.0.2.2"), false}, {v4("10.127.0.1"), false},
        {v6("fd00::2"), false},      {v6("::ffff:192.0.2.2"), false}, {PeerAddress{}, false},
    };
    for (Case const &c : cases) {
        EXPECT_EQ(shutdown_allowed(c.peer, false), c.loopback) << c.peer.host();
        EXPECT_TRUE(shutdown_allowed(c.peer, true)) << c.peer.host();
    }
}

TEST(PeerAddress, HostAndConnectionTexts) {
    EXPECT_EQ(v4("192.0.2.2").host(), "192.0.2.2");
    EXPECT_EQ(v4("192.0.2.2").connection(), "[192.0.2.2]:4242");
    EXPECT_EQ(v6("fd00::2").connection(), "[fd00::2]:4242");
    EXPECT_EQ(PeerAddress{}.host(), "");
    EXPECT_EQ(PeerAddress{}.connection(), "");
    // Outside a served call there is no peer.
    EXPECT_FALSE(in_served_call());
    EXPECT_FALSE(call_peer().known());
}
