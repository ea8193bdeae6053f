// The worker pool: concurrency across connections, order within one, and an exit that
// answers the calls in flight and leaves no thread behind.
#include "test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace kstest;
using Clock = std::chrono::steady_clock;

namespace {

int sleep_call(unsigned short port, int tag, int ms, clnt_stat *st) {
    CLIENT *c = tcp_client(port);
    if (c == nullptr) return -1;
    SleepArgs a{tag, ms};
    int out = -1;
    timeval tv{30, 0}; // past the 20 s a held call waits at most
    clnt_stat r = clnt_call(c, kSleep, xp(xdr_sleep_args), reinterpret_cast<caddr_t>(&a), xp(xdr_int),
                            reinterpret_cast<caddr_t>(&out), tv);
    if (st != nullptr) *st = r;
    clnt_destroy(c);
    return r == RPC_SUCCESS ? out : -1;
}

// n sleep calls of 5 ms on tag 7, one record each, xids from first on: for one write.
std::vector<char> sleep_calls(std::uint32_t first, std::uint32_t n) {
    std::vector<char> wire;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::vector<char> b = make_call(first + i, kProg, 2, kSleep, words({7, 5}));
        std::vector<char> h = words({0x80000000u | std::uint32_t(b.size())});
        wire.insert(wire.end(), h.begin(), h.end());
        wire.insert(wire.end(), b.begin(), b.end());
    }
    return wire;
}

// A joined thread leaves the process's task list a moment after its join returned.
bool threads_come_to(int n) {
    return wait_until([n] { return thread_count() == n; });
}

} // namespace

TEST(RpcsvcRun, FourSlowCallsOnFourConnectionsOverlap) {
    Server s(4);
    // Each call is held until four run at once: run one after another, they would never get there.
    std::vector<std::future<int>> calls;
    for (int i = 0; i < 4; ++i) calls.push_back(std::async(std::launch::async, sleep_call, s.port(), 0, -4, nullptr));
    for (auto &f : calls) EXPECT_EQ(f.get(), -4);
    EXPECT_EQ(observed().max_in_flight.load(), 4);
}

TEST(RpcsvcRun, OneWorkerRunsCallsOneAtATime) {
    Server s(1);
    auto t0 = Clock::now();
    std::vector<std::future<int>> calls;
    for (int i = 0; i < 3; ++i) calls.push_back(std::async(std::launch::async, sleep_call, s.port(), 0, 100, nullptr));
    for (auto &f : calls) EXPECT_EQ(f.get(), 100);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(observed().max_in_flight.load(), 1);
}

TEST(RpcsvcRun, OneConnectionIsServedInOrderByOneWorkerAtATime) {
    Server s(4);
    RawConn c(s.port());
    std::vector<char> wire = sleep_calls(900, 12);
    ASSERT_TRUE(c.send_all(wire.data(), wire.size()));
    for (std::uint32_t i = 0; i < 12; ++i) {
        auto rec = c.recv_record();
        ASSERT_TRUE(rec);
        EXPECT_EQ(word_at(*rec, 0), 900 + i);
    }
    EXPECT_EQ(observed().order_faults.load(), 0);
    EXPECT_EQ(observed().max_in_flight.load(), 1);
}

TEST(RpcsvcRun, AConnectionWithCallsBufferedGivesWayAfterItsTurn) {
    Server s(1);
    RawConn busy(s.port()), other(s.port());
    std::vector<char> wire = sleep_calls(100, 48);
    ASSERT_TRUE(busy.send_all(wire.data(), wire.size()));
    ASSERT_TRUE(wait_until([] { return observed().in_flight.load() >= 1; })); // its turn began
    ASSERT_TRUE(other.send_record(make_call(500, kProg, 2, kSleep, words({8, 0}))));
    auto rec = other.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(word_at(*rec, 0), 500u);
    // The one worker left the busy connection after a turn of 16 calls: not all are answered.
    std::uint32_t answered = 0;
    while (busy.recv_record(20)) ++answered;
    EXPECT_GE(answered, 16u);
    EXPECT_LT(answered, 48u);
    while (answered < 48 && busy.recv_record()) ++answered;
    EXPECT_EQ(answered, 48u);
    EXPECT_EQ(observed().order_faults.load(), 0);
}

TEST(RpcsvcRun, ExitFromACallAnswersCallsInFlightAndEndsEveryThread) {
    int before = thread_count();
    Server s(4);
    // Three calls held until four run at once; the fourth is the exit, once it has been asked. So
    // all three are in flight when the loop is told to end, however slowly they started.
    std::vector<std::future<int>> held;
    for (int i = 0; i < 3; ++i) held.push_back(std::async(std::launch::async, sleep_call, s.port(), 0, -4, nullptr));
    ASSERT_TRUE(wait_until([] { return observed().in_flight.load() >= 3; }, 20000));

    CLIENT *c = tcp_client(s.port());
    ASSERT_NE(c, nullptr);
    timeval tv{30, 0};
    EXPECT_EQ(clnt_call(c, kExit, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv), RPC_SUCCESS);
    for (auto &f : held) EXPECT_EQ(f.get(), -4); // answered although the exit came first
    EXPECT_EQ(observed().max_in_flight.load(), 4);
    s.wait(); // ks_svc_run returned by itself
    clnt_destroy(c);
    EXPECT_TRUE(threads_come_to(before));
}

TEST(RpcsvcRun, ExitFromAnotherThreadWhileIdleAndBusy) {
    int before = thread_count();
    {
        Server s(3);
        EXPECT_EQ(sleep_call(s.port(), 0, 1, nullptr), 1);
        s.stop();
    }
    EXPECT_TRUE(threads_come_to(before));
    {
        Server s(3);
        auto slow = std::async(std::launch::async, sleep_call, s.port(), 0, 300, nullptr);
        ASSERT_TRUE(wait_until([] { return observed().in_flight.load() >= 1; }));
        s.stop();
        EXPECT_EQ(slow.get(), 300);
    }
    EXPECT_TRUE(threads_come_to(before));
}

TEST(RpcsvcRun, ExitBeforeRunEndsTheNextRunAtOnce) {
    ks_svc_exit();
    auto t0 = Clock::now();
    ks_svc_run();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10)); // a run not ended would never return
    // The request was used up: a new server serves normally.
    Server s(2);
    EXPECT_EQ(sleep_call(s.port(), 0, 1, nullptr), 1);
}

TEST(RpcsvcRun, ServesAgainAfterARunEnded) {
    for (int round = 0; round < 3; ++round) {
        Server s(2);
        CLIENT *c = tcp_client(s.port());
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(call_echo(c, "round"), "round");
        s.stop();
        // The listener is gone with the run.
        clnt_stat st;
        call_echo(c, "after", &st);
        EXPECT_NE(st, RPC_SUCCESS);
        clnt_destroy(c);
        EXPECT_EQ(tcp_client(s.port()), nullptr);
    }
}

TEST(RpcsvcRun, ADestroyedTransportIsNotServed) {
    int fd = listen_socket(AF_INET, 0);
    ASSERT_GE(fd, 0);
    unsigned short port = bound_port(fd);
    KS_SVCXPRT *x = ks_svctcp_create(fd, 0, 0);
    ASSERT_NE(x, nullptr);
    EXPECT_TRUE(ks_svc_destroy(x));
    EXPECT_FALSE(ks_svc_destroy(nullptr));
    close(fd);
    // A run that follows serves only its own transports: the destroyed port is closed.
    Server s(2);
    EXPECT_EQ(tcp_client(port), nullptr);
    CLIENT *c = tcp_client(s.port());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(call_echo(c, "still"), "still");
    clnt_destroy(c);
}

// The runtime's identity of a connection: the same for each of its calls, new for every
// connection, even one from the address and port of a connection that has gone.
TEST(RpcsvcRun, EachConnectionHasAnIdentityOfItsOwn) {
    Server s(2);
    timeval tv{5, 0};
    auto id_of = [&](CLIENT *c) {
        u_quad_t id = 0;
        EXPECT_EQ(clnt_call(c, kConnId, xp(xdr_void), nullptr, xp(xdr_u_hyper), reinterpret_cast<caddr_t>(&id), tv),
                  RPC_SUCCESS);
        return id;
    };
    CLIENT *a = tcp_client(s.port());
    CLIENT *b = tcp_client(s.port());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    u_quad_t const first = id_of(a);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(id_of(a), first);
    u_quad_t const second = id_of(b);
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    clnt_destroy(a);
    clnt_destroy(b);
    CLIENT *c = tcp_client(s.port());
    ASSERT_NE(c, nullptr);
    u_quad_t const third = id_of(c);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    clnt_destroy(c);
    EXPECT_EQ(ks_svc_connid(nullptr), 0u);
}

TEST(RpcsvcRun, ThreadKeysHoldAValuePerWorkerAndFreeItWhenTheWorkerEnds) {
    int workers_met = 0;
    {
        Server s(2);
        CLIENT *c = tcp_client(s.port());
        ASSERT_NE(c, nullptr);
        timeval tv{5, 0};
        int total = 0;
        for (int i = 0; i < 6; ++i) {
            int n = 0;
            ASSERT_EQ(clnt_call(c, kThreadCount, xp(xdr_void), nullptr, xp(xdr_int), reinterpret_cast<caddr_t>(&n), tv),
                      RPC_SUCCESS);
            ASSERT_GE(n, 1);
            ASSERT_LE(n, i + 1);
            if (n == 1) ++workers_met; // a worker's first call made its value
            total += 1;
        }
        EXPECT_EQ(total, 6);
        EXPECT_GE(workers_met, 1);
        EXPECT_LE(workers_met, 2);
        clnt_destroy(c);
    }
    // Every value was freed by the key's destructor when its worker ended.
    EXPECT_EQ(observed().key_destructions.load(), workers_met);
}

TEST(RpcsvcRun, ThreadKeysOnPlainThreads) {
    static std::atomic<int> freed{0};
    freed.store(0); // a repeated run starts again
    ks_thread_key_t key;
    ASSERT_EQ(ks_thr_keycreate(&key,
                               [](void *p) {
                                   freed.fetch_add(*static_cast<int *>(p));
                                   delete static_cast<int *>(p);
                               }),
              0);
    void *v = reinterpret_cast<void *>(1);
    EXPECT_EQ(ks_thr_getspecific(key, &v), 0);
    EXPECT_EQ(v, nullptr); // nothing set on this thread yet
    std::thread t1([&] {
        EXPECT_EQ(ks_thr_setspecific(key, new int(10)), 0);
        void *mine = nullptr;
        EXPECT_EQ(ks_thr_getspecific(key, &mine), 0);
        EXPECT_EQ(*static_cast<int *>(mine), 10);
    });
    std::thread t2([&] { EXPECT_EQ(ks_thr_setspecific(key, new int(5)), 0); });
    t1.join();
    t2.join();
    EXPECT_EQ(freed.load(), 15);
    EXPECT_EQ(ks_thr_getspecific(key, &v), 0);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(ks_thr_keycreate(nullptr, nullptr), EINVAL);
    EXPECT_EQ(ks_thr_getspecific(key, nullptr), EINVAL);
    pthread_key_delete(key);
}

TEST(RpcsvcRun, AWorkerWaitingOnAnIdleConnectionIsCalledAway) {
    Server s(1);
    CLIENT *idle = tcp_client(s.port()); // its worker waits on it for a next call
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(call_echo(idle, "first"), "first");
    auto t0 = Clock::now();
    for (int i = 0; i < 20; ++i) {
        CLIENT *other = tcp_client(s.port());
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(call_echo(other, "other"), "other");
        EXPECT_EQ(call_echo(idle, "again"), "again"); // and back
        clnt_destroy(other);
    }
    // A worker not called away would hold the others until the clients' timeout.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
    // An exit is not held up by a worker waiting on an open, idle connection.
    int before_stop = thread_count();
    auto t1 = Clock::now();
    s.stop();
    EXPECT_LT(Clock::now() - t1, std::chrono::seconds(10));
    EXPECT_TRUE(threads_come_to(before_stop - 2)); // the loop's thread and its one worker
    clnt_destroy(idle);
}
