// Calls through libtirpc clients, rpcinfo and raw records; every RPC-level error keeps the
// connection usable.
#include "test_server.h"

#include "support/host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kstest;

namespace {

std::string run(const std::string &cmd, int *status) {
    std::string out;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
    *status = pclose(p);
    return out;
}

Reply call(RawConn &c, std::uint32_t xid, rpcprog_t prog, rpcvers_t vers, rpcproc_t proc,
           const std::vector<char> &args = {}) {
    EXPECT_TRUE(c.send_record(make_call(xid, prog, vers, proc, args)));
    auto rec = c.recv_record();
    EXPECT_TRUE(rec.has_value());
    if (!rec) return {};
    auto r = parse_reply(*rec);
    EXPECT_TRUE(r.has_value());
    return r ? *r : Reply{};
}

} // namespace

TEST(RpcsvcBasic, LibtirpcClientOnIpv4AndIpv6) {
    Server s(2);
    CLIENT *c = tcp_client(s.port());
    ASSERT_NE(c, nullptr);
    timeval tv{5, 0};
    EXPECT_EQ(clnt_call(c, kNull, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv), RPC_SUCCESS);
    clnt_stat st;
    EXPECT_EQ(call_echo(c, "h\xc3\xa9llo", &st), "h\xc3\xa9llo");
    EXPECT_EQ(st, RPC_SUCCESS);
    std::string big(100000, 'x'); // several fragments each way
    EXPECT_EQ(call_echo(c, big), big);
    int ab[2] = {40, 2}, sum = 0;
    EXPECT_EQ(clnt_call(c, kAdd, xp(xdr_add_args), reinterpret_cast<caddr_t>(ab), xp(xdr_int),
                        reinterpret_cast<caddr_t>(&sum), tv),
              RPC_SUCCESS);
    EXPECT_EQ(sum, 42);
    clnt_destroy(c);

    if (!kxtest::ipv6_loopback_available()) GTEST_SKIP() << "IPv6 checks need ::1, which this host lacks";
    ASSERT_TRUE(s.has_ipv6());
    CLIENT *c6 = tcp6_client(s.port());
    ASSERT_NE(c6, nullptr);
    EXPECT_EQ(call_echo(c6, "over ::1"), "over ::1");
    clnt_destroy(c6);
}

TEST(RpcsvcBasic, AuthSysCredentialsAreAccepted) {
    Server s(1);
    CLIENT *c = tcp_client(s.port());
    ASSERT_NE(c, nullptr);
    auth_destroy(c->cl_auth);
    c->cl_auth = authunix_create_default();
    EXPECT_EQ(call_echo(c, "sys"), "sys");
    auth_destroy(c->cl_auth); // the client does not own it
    clnt_destroy(c);
}

TEST(RpcsvcBasic, RpcinfoWithoutRpcbind) {
    Server s(2);
    // The universal-address form talks to the port itself; "-n PORT -t" of this rpcinfo asks
    // rpcbind first, which a server that does not register with a port mapper cannot satisfy.
    std::string addr = "127.0.0.1." + std::to_string(s.port() / 256) + "." + std::to_string(s.port() % 256);
    std::string base = "rpcinfo -a " + addr + " -T tcp ";
    std::string prog = std::to_string(kProg);
    int status = -1;
    std::string out = run(base + prog + " 2", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("program " + prog + " version 2 ready and waiting"), std::string::npos) << out;

    // Without a version rpcinfo learns the range from PROG_MISMATCH and tries each.
    out = run(base + prog, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("version 2 ready and waiting"), std::string::npos) << out;
    EXPECT_NE(out.find("version 3 ready and waiting"), std::string::npos) << out;

    out = run(base + prog + " 7", &status);
    EXPECT_NE(status, 0) << out;
    EXPECT_NE(out.find("low version = 2, high version = 3"), std::string::npos) << out;

    out = run(base + std::to_string(kProg + 1) + " 1", &status);
    EXPECT_NE(status, 0) << out;
    EXPECT_NE(out.find("Program unavailable"), std::string::npos) << out;

    if (!kxtest::ipv6_loopback_available()) GTEST_SKIP() << "IPv6 checks need ::1, which this host lacks";
    ASSERT_TRUE(s.has_ipv6());
    std::string addr6 = "::1." + std::to_string(s.port() / 256) + "." + std::to_string(s.port() % 256);
    out = run("rpcinfo -a " + addr6 + " -T tcp6 " + prog + " 2", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("version 2 ready and waiting"), std::string::npos) << out;
}

TEST(RpcsvcBasic, ErrorsOnOneConnectionExactWords) {
    Server s(2);
    RawConn c(s.port());
    ASSERT_TRUE(c.ok());

    Reply r = call(c, 101, kProg + 1, 2, kNull);
    EXPECT_EQ(r.xid, 101u);
    EXPECT_EQ(r.direction, 1u);
    EXPECT_EQ(r.reply_stat, std::uint32_t(MSG_ACCEPTED));
    EXPECT_EQ(r.accept_stat, std::uint32_t(PROG_UNAVAIL));
    EXPECT_TRUE(r.results.empty());

    r = call(c, 102, kProg, 9, kNull);
    EXPECT_EQ(r.xid, 102u);
    EXPECT_EQ(r.accept_stat, std::uint32_t(PROG_MISMATCH));
    EXPECT_EQ(r.low, 2u);
    EXPECT_EQ(r.high, 3u);
    EXPECT_TRUE(r.results.empty());

    r = call(c, 103, kProg, 2, 99);
    EXPECT_EQ(r.xid, 103u);
    EXPECT_EQ(r.accept_stat, std::uint32_t(PROC_UNAVAIL));

    r = call(c, 104, kProg, 2, kAdd, words({5})); // one int of two
    EXPECT_EQ(r.xid, 104u);
    EXPECT_EQ(r.accept_stat, std::uint32_t(GARBAGE_ARGS));

    r = call(c, 105, kProg, 3, kAdd, words({5, 0xffffffffu}));
    EXPECT_EQ(r.accept_stat, std::uint32_t(SUCCESS));
    ASSERT_EQ(r.results.size(), 4u);
    EXPECT_EQ(word_at(r.results, 0), 4u);

    // The whole reply of a ping: xid, REPLY, MSG_ACCEPTED, null verifier, SUCCESS.
    ASSERT_TRUE(c.send_record(make_call(106, kProg, 2, kNull)));
    auto rec = c.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(*rec, words({106, 1, 0, 0, 0, 0}));
}

TEST(RpcsvcBasic, RpcVersionAndCredentialRefused) {
    Server s(1);
    RawConn c(s.port());
    ASSERT_TRUE(c.send_record(make_call(7, kProg, 2, kNull, {}, 3)));
    auto rec = c.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(*rec, words({7, 1, 1 /* MSG_DENIED */, 0 /* RPC_MISMATCH */, 2, 2}));

    ASSERT_TRUE(c.send_record(make_call(8, kProg, 2, kNull, {}, 2, 6 /* RPCSEC_GSS */)));
    rec = c.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(*rec, words({8, 1, 1, 1 /* AUTH_ERROR */, AUTH_REJECTEDCRED}));

    Reply r = call(c, 9, kProg, 2, kEcho, xdr_encode_text("still here"));
    EXPECT_EQ(r.accept_stat, std::uint32_t(SUCCESS));
    EXPECT_EQ(r.results, xdr_encode_text("still here"));
}

TEST(RpcsvcBasic, LibtirpcClientSeesErrorsAndGoesOn) {
    Server s(2);
    CLIENT *c = tcp_client(s.port());
    ASSERT_NE(c, nullptr);
    timeval tv{5, 0};
    EXPECT_EQ(clnt_call(c, 77, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv), RPC_PROCUNAVAIL);
    EXPECT_EQ(call_echo(c, "after noproc"), "after noproc");
    int one = 1, out = 0;
    EXPECT_EQ(clnt_call(c, kAdd, xp(xdr_int), reinterpret_cast<caddr_t>(&one), xp(xdr_int),
                        reinterpret_cast<caddr_t>(&out), tv),
              RPC_CANTDECODEARGS);
    EXPECT_EQ(call_echo(c, "after garbage"), "after garbage");
    EXPECT_EQ(clnt_call(c, kThrow, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv), RPC_SYSTEMERROR);
    EXPECT_EQ(clnt_call(c, kFailEncode, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv), RPC_SYSTEMERROR);
    EXPECT_EQ(call_echo(c, "after system errors"), "after system errors");
    clnt_destroy(c);

    CLIENT *v9 = tcp_client(s.port(), 9);
    ASSERT_NE(v9, nullptr);
    EXPECT_EQ(clnt_call(v9, kNull, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv), RPC_PROGVERSMISMATCH);
    rpc_err e{};
    clnt_geterr(v9, &e);
    EXPECT_EQ(e.re_vers.low, 2u);
    EXPECT_EQ(e.re_vers.high, 3u);
    clnt_destroy(v9);
}

TEST(RpcsvcBasic, FragmentedAndPipelinedCalls) {
    Server s(4);
    RawConn c(s.port());
    // One call cut into three fragments, one of them empty.
    std::vector<char> body = make_call(55, kProg, 2, kEcho, xdr_encode_text("fragments"));
    std::vector<char> wire;
    auto frag = [&](std::size_t from, std::size_t to, bool last) {
        std::vector<char> h = words({std::uint32_t(to - from) | (last ? 0x80000000u : 0u)});
        wire.insert(wire.end(), h.begin(), h.end());
        wire.insert(wire.end(), body.begin() + std::ptrdiff_t(from), body.begin() + std::ptrdiff_t(to));
    };
    frag(0, 10, false);
    frag(10, 10, false);
    frag(10, body.size(), true);
    // Then twenty calls in one write; answered in order.
    for (std::uint32_t i = 0; i < 20; ++i) {
        std::vector<char> b = make_call(1000 + i, kProg, 2, kAdd, words({i, 1}));
        std::vector<char> h = words({0x80000000u | std::uint32_t(b.size())});
        wire.insert(wire.end(), h.begin(), h.end());
        wire.insert(wire.end(), b.begin(), b.end());
    }
    ASSERT_TRUE(c.send_all(wire.data(), wire.size()));
    auto rec = c.recv_record();
    ASSERT_TRUE(rec);
    auto r = parse_reply(*rec);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->xid, 55u);
    EXPECT_EQ(r->results, xdr_encode_text("fragments"));
    for (std::uint32_t i = 0; i < 20; ++i) {
        rec = c.recv_record();
        ASSERT_TRUE(rec);
        r = parse_reply(*rec);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->xid, 1000 + i);
        EXPECT_EQ(r->results, words({i + 1}));
    }
}

// Data segments this socket has received so far.
static unsigned data_segments_in(int fd) {
    tcp_info ti{};
    socklen_t len = sizeof ti;
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len), 0);
    return ti.tcpi_data_segs_in;
}

TEST(RpcsvcBasic, RepliesToBufferedCallsLeaveInOrderInOneWrite) {
    Server s(4);
    RawConn c(s.port());
    // 100 calls in one write (they fit the server's read buffer); a reply whose encoding fails
    // and a procedure that throws sit among them.
    std::vector<char> wire;
    for (std::uint32_t i = 0; i < 100; ++i) {
        rpcproc_t proc = i == 40 ? kFailEncode : i == 70 ? kThrow : kAdd;
        std::vector<char> b = make_call(2000 + i, kProg, 2, proc, proc == kAdd ? words({i, 2}) : std::vector<char>{});
        std::vector<char> h = words({0x80000000u | std::uint32_t(b.size())});
        wire.insert(wire.end(), h.begin(), h.end());
        wire.insert(wire.end(), b.begin(), b.end());
    }
    ASSERT_LT(wire.size(), 8192u);
    unsigned before = data_segments_in(c.fd());
    ASSERT_TRUE(c.send_all(wire.data(), wire.size()));
    for (std::uint32_t i = 0; i < 100; ++i) {
        auto rec = c.recv_record();
        ASSERT_TRUE(rec);
        auto r = parse_reply(*rec);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->xid, 2000 + i);
        if (i == 40 || i == 70) {
            EXPECT_EQ(r->accept_stat, std::uint32_t(SYSTEM_ERR));
            EXPECT_TRUE(r->results.empty());
        } else {
            EXPECT_EQ(r->accept_stat, std::uint32_t(SUCCESS));
            EXPECT_EQ(r->results, words({i + 2}));
        }
    }
    // One write of replies is one segment on loopback; a write per reply would be a hundred.
    EXPECT_LE(data_segments_in(c.fd()) - before, 2u);
}

TEST(RpcsvcBasic, RecordThatIsNoCallIsDropped) {
    Server s(1);
    RawConn c(s.port());
    ASSERT_TRUE(c.send_record(words({1, 2, 3}))); // not a message
    ASSERT_TRUE(c.send_record(words({5, 1 /* REPLY */, 0, 0, 0, 0})));
    ASSERT_TRUE(c.send_record(make_call(6, kProg, 2, kNull)));
    auto rec = c.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(word_at(*rec, 0), 6u);
}

TEST(RpcsvcBasic, ControlRequests) {
    int mode = 1;
    EXPECT_TRUE(ks_rpc_control(KS_RPC_SVC_MTMODE, &mode));
    EXPECT_EQ(mode, 1);
    for (int bad : {0, -1, KS_MAX_WORKER_THREADS + 1}) {
        int n = bad;
        EXPECT_FALSE(ks_rpc_control(KS_RPC_SVC_THREADS_SET, &n)) << bad;
    }
    int n = KS_MAX_WORKER_THREADS;
    EXPECT_TRUE(ks_rpc_control(KS_RPC_SVC_THREADS_SET, &n));
    n = 3;
    EXPECT_TRUE(ks_rpc_control(KS_RPC_SVC_THREADS_SET, &n));
    EXPECT_FALSE(ks_rpc_control(99, &n));
    EXPECT_FALSE(ks_rpc_control(KS_RPC_SVC_THREADS_SET, nullptr));
}

TEST(RpcsvcBasic, RegistrationAndTransportChecks) {
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(ks_svctcp_create(udp, 0, 0), nullptr);
    close(udp);
    EXPECT_EQ(ks_svctcp_create(-1, 0, 0), nullptr);

    if (!kxtest::ipv6_loopback_available()) GTEST_SKIP() << "IPv6 checks need ::1, which this host lacks";
    int fd = socket(AF_INET6, SOCK_STREAM, 0); // unbound: bound to a free port, IPv6 only
    KS_SVCXPRT *t = ks_svctcp_create(fd, 0, 0);
    ASSERT_NE(t, nullptr);
    int v6only = 0;
    socklen_t len = sizeof v6only;
    getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len);
    EXPECT_EQ(v6only, 1);
    auto d1 = [](ks_svc_req *, KS_SVCXPRT *) {};
    auto d2 = [](ks_svc_req *, KS_SVCXPRT *) {};
    EXPECT_TRUE(ks_svc_register(t, 0x20049002, 1, d1, 0));
    EXPECT_TRUE(ks_svc_register(t, 0x20049002, 1, d1, 0));  // again, same routine
    EXPECT_FALSE(ks_svc_register(t, 0x20049002, 1, d2, 0)); // taken by another
    EXPECT_FALSE(ks_svc_register(t, 0x20049002, 2, d2, 6)); // port mapper not offered
    EXPECT_FALSE(ks_svc_register(nullptr, 0x20049002, 2, d2, 0));
    close(fd);
    ks_svc_exit();
    ks_svc_run(); // returns at once and releases the transport
}

TEST(RpcsvcBasic, SendReplyOutsideACallFails) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    KS_SVCXPRT *t = ks_svctcp_create(fd, 0, 0);
    ASSERT_NE(t, nullptr);
    int v = 1;
    EXPECT_FALSE(ks_svc_sendreply(t, xp(xdr_int), &v));
    EXPECT_FALSE(ks_svc_getargs(t, xp(xdr_int), &v));
    EXPECT_FALSE(ks_svc_sendreply(nullptr, xp(xdr_int), &v));
    ks_svcerr_noproc(t); // no call: nothing happens
    close(fd);
    ks_svc_exit();
    ks_svc_run();
}
