// Clients that misbehave must never hold up the others, nor end the process.
#include "test_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

using namespace kstest;
using Clock = std::chrono::steady_clock;

namespace {

// A well-behaved client must be answered promptly while the hostile one does its thing.
void expect_others_served(unsigned short port) {
    auto t0 = Clock::now();
    CLIENT *c = tcp_client(port);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(call_echo(c, "unhurt"), "unhurt");
    EXPECT_EQ(call_echo(c, "still unhurt"), "still unhurt");
    clnt_destroy(c);
    // A worker held by the hostile peer would keep it waiting for the peer's own timeouts (30 s and
    // more), or for good; a loaded machine under the sanitizers answers well within this.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
}

// Reads a kBig reply of n bytes, whole: its first, middle and last bytes are the pattern's.
void expect_big_reply(RawConn &c, std::uint32_t xid, std::uint32_t n) {
    auto rec = c.recv_record(20000);
    ASSERT_TRUE(rec);
    auto r = parse_reply(*rec);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->xid, xid);
    ASSERT_EQ(r->results.size(), 4u + n);
    for (std::size_t i : {std::size_t(0), std::size_t(n / 2), std::size_t(n - 1)})
        EXPECT_EQ(r->results[4 + i], pattern_byte(i));
}

std::vector<char> framed(const std::vector<char> &body) {
    std::vector<char> v = words({0x80000000u | std::uint32_t(body.size())});
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

} // namespace

class RpcsvcHostile : public ::testing::Test {
protected:
    void SetUp() override { old_ = std::signal(SIGPIPE, SIG_DFL); } // a SIGPIPE would end the test
    void TearDown() override { std::signal(SIGPIPE, old_); }
    void (*old_)(int) = nullptr;
};

namespace {

// A limit the runtime reads when ks_svc_run starts, for one test.
struct ScopedEnv {
    const char *name;
    ScopedEnv(const char *n, const std::string &v) : name(n) { setenv(n, v.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name); }
};

// A kSum call of n pattern bytes, sent in fragments of `piece` bytes.
std::uint32_t send_sum_call(RawConn &c, std::uint32_t xid, std::uint32_t n, std::size_t piece) {
    std::vector<char> body = make_call(xid, kProg, 2, kSum, words({n}));
    std::uint32_t sum = 0;
    std::size_t head = body.size();
    body.resize(head + n);
    for (std::uint32_t i = 0; i < n; ++i) {
        body[head + i] = char(i * 131 % 251);
        sum += std::uint32_t(i * 131 % 251);
    }
    for (std::size_t at = 0; at < body.size(); at += piece) {
        std::size_t k = std::min(piece, body.size() - at);
        std::vector<char> h = words({std::uint32_t(k) | (at + k == body.size() ? 0x80000000u : 0u)});
        if (!c.send_all(h.data(), h.size()) || !c.send_all(body.data() + at, k)) return 0;
    }
    return sum;
}

// Descriptors of this process that name files no directory holds.
int unnamed_files_open() {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(e.path(), ec).string();
        n += !ec && target.find("(deleted)") != std::string::npos;
    }
    return n;
}

struct SumResult {
    std::uint32_t n, sum;
    int cut;
};

std::optional<SumResult> sum_reply(RawConn &c, std::uint32_t xid) {
    auto rec = c.recv_record(20000);
    if (!rec) return std::nullopt;
    auto r = parse_reply(*rec);
    if (!r || r->xid != xid || r->accept_stat != SUCCESS || r->results.size() != 12) return std::nullopt;
    return SumResult{word_at(r->results, 0), word_at(r->results, 4), int(word_at(r->results, 8))};
}

} // namespace

TEST_F(RpcsvcHostile, RecordPastTheBoundIsAnsweredAndItsConnectionGoesOn) {
    ScopedEnv bound("KS_MAX_RECORD_SIZE", "65536");
    Server s(1);
    RawConn c(s.port());
    ASSERT_NE(send_sum_call(c, 5, 200000, 10000), 0u);
    auto r = sum_reply(c, 5);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cut, EFBIG); // the procedure met the end of what was kept, and was told why
    ASSERT_TRUE(c.send_record(make_call(6, kProg, 2, kEcho, xdr_encode_text("fine"))));
    auto rec = c.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(parse_reply(*rec)->results, xdr_encode_text("fine"));

    // At the bound exactly, the record is whole.
    std::uint32_t head = std::uint32_t(make_call(7, kProg, 2, kSum, words({0})).size());
    std::uint32_t sum = send_sum_call(c, 7, 65536 - head, 65536);
    r = sum_reply(c, 7);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cut, 0);
    EXPECT_EQ(r->n, 65536 - head);
    EXPECT_EQ(r->sum, sum);

    RawConn huge(s.port()); // announced in one header, never sent: holds nobody up
    std::vector<char> h = words({0x80000000u | 0x7fffffffu});
    ASSERT_TRUE(huge.send_all(h.data(), h.size()));
    expect_others_served(s.port());
}

TEST_F(RpcsvcHostile, LargeRecordsGoThroughAFileWholeOrCut) {
    ScopedEnv bound("KS_MAX_RECORD_SIZE", std::to_string(6u << 20));
    Server s(2);
    RawConn c(s.port());
    // Past the spool threshold, in fragments of the size a libtirpc client sends, and in one.
    for (std::size_t piece : {std::size_t(8192), std::size_t(8u << 20)}) {
        std::uint32_t sum = send_sum_call(c, 8, 5u << 20, piece);
        auto r = sum_reply(c, 8);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->cut, 0);
        EXPECT_EQ(r->n, 5u << 20);
        EXPECT_EQ(r->sum, sum);
    }
    ASSERT_NE(send_sum_call(c, 9, 7u << 20, 100000), 0u);
    auto r = sum_reply(c, 9);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cut, EFBIG);
    expect_others_served(s.port());
    // A file may outlive its reply, not the next call of its connection.
    ASSERT_TRUE(c.send_record(make_call(10, kProg, 2, kNull)));
    ASSERT_TRUE(c.recv_record(20000));
    EXPECT_EQ(unnamed_files_open(), 0); // the files went with their calls
}

TEST_F(RpcsvcHostile, LargeRecordsMeetingAFullSpoolAreAnsweredAndTheConnectionGoesOn) {
    // Full from the first byte, part way through the first spill, and after it.
    for (const char *room : {"0", "524288", "2097152"}) {
        SCOPED_TRACE(room);
        ScopedEnv full("KS_TEST_SPOOL_FULL_AT", room);
        Server s(2);
        RawConn c(s.port());
        for (std::size_t piece : {std::size_t(8192), std::size_t(8u << 20)}) {
            ASSERT_NE(send_sum_call(c, 11, 5u << 20, piece), 0u);
            auto r = sum_reply(c, 11);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->cut, ENOSPC);
            EXPECT_EQ(r->n, 0u);
        }
        // The connection stayed in step, and a record under the threshold is whole.
        std::uint32_t sum = send_sum_call(c, 13, 1000, 1000);
        auto r = sum_reply(c, 13);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->cut, 0);
        EXPECT_EQ(r->sum, sum);
        EXPECT_EQ(unnamed_files_open(), 0);
    }
}

namespace {

// Spool owners that admit every record and refuse every byte of its file.
int refusing_owner;
std::atomic<int> owners_released{0};
void *admit_every_record(rpcprog_t, rpcvers_t, rpcproc_t, const char *, size_t) { return &refusing_owner; }
int refuse_every_byte(void *, unsigned long long bytes) { return bytes > 0 ? EDQUOT : 0; }
void count_release(void *) { ++owners_released; }
const ks_spool_owners refusing_owners{admit_every_record, refuse_every_byte, count_release};

} // namespace

TEST_F(RpcsvcHostile, ARecordRefusedBeforeItsFileKeepsItsOwnerForItsCall) {
    ASSERT_TRUE(ks_rpc_control(KS_RPC_SVC_SPOOL_OWNERS, const_cast<ks_spool_owners *>(&refusing_owners)));
    struct NoOwnersAfter {
        ~NoOwnersAfter() { ks_rpc_control(KS_RPC_SVC_SPOOL_OWNERS, nullptr); }
    } no_owners_after;
    Server s(1);
    RawConn c(s.port());
    ASSERT_NE(send_sum_call(c, 21, 2u << 20, 64 * 1024), 0u);
    auto r = sum_reply(c, 21);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cut, EDQUOT);
    // The owner's refusal answers the call: it is at hand while the call decodes, and goes once after.
    EXPECT_EQ(observed().cut_owner.load(), &refusing_owner);
    EXPECT_TRUE(wait_until([] { return owners_released.load() >= 1; }));
    EXPECT_EQ(owners_released.load(), 1);
    // The connection's reader lets go of its record on the loop's own time.
    EXPECT_TRUE(wait_until([] { return unnamed_files_open() == 0; }));
}

TEST_F(RpcsvcHostile, RepliesLeaveInFragmentsOfTheTransportsSize) {
    struct Case {
        u_int sendsz;
        std::uint32_t n;
        std::size_t largest; // the largest fragment the reply may have
    } cases[] = {
        {8192, 100000, 8192},
        {0, 3u << 20, KS_REPLY_BUFFER_SIZE}, // a reply within the buffer leaves in one fragment
        {0, 20u << 20, KS_REPLY_BUFFER_SIZE},
    };
    for (const Case &k : cases) {
        Server s(2, false, k.sendsz);
        RawConn c(s.port());
        ASSERT_TRUE(c.send_record(make_call(40, kProg, 2, kBig, words({k.n}))));
        expect_big_reply(c, 40, k.n);
        const auto &f = c.fragments();
        std::size_t total = 0;
        for (std::size_t len : f) {
            EXPECT_LE(len, k.largest);
            total += len;
        }
        EXPECT_EQ(total, 24u + 4u + k.n); // reply header, the length word, the bytes
        if (k.n + 28 <= k.largest)
            EXPECT_EQ(f.size(), 1u);
        else
            EXPECT_GE(f.size(), (k.n + 28) / k.largest);
        ASSERT_TRUE(c.send_record(make_call(41, kProg, 2, kEcho, xdr_encode_text("after"))));
        auto rec = c.recv_record();
        ASSERT_TRUE(rec);
        EXPECT_EQ(parse_reply(*rec)->results, xdr_encode_text("after"));
    }
}

TEST_F(RpcsvcHostile, FileBytesLeaveAsTheSameRecordInFragmentsOfTheTransportsSize) {
    struct Case {
        u_int sendsz;
        std::uint32_t n;
        std::size_t largest;
    } cases[] = {
        {8192, 100001, 8192}, // padded
        {0, 3u << 20, KS_REPLY_BUFFER_SIZE},
        {0, (20u << 20) + 2, KS_REPLY_BUFFER_SIZE},
    };
    for (const Case &k : cases) {
        Server s(2, false, k.sendsz);
        RawConn c(s.port());
        ASSERT_TRUE(c.send_record(make_call(42, kProg, 2, kBig, words({k.n}))));
        auto encoded = c.recv_record(20000);
        ASSERT_TRUE(encoded);
        ASSERT_TRUE(c.send_record(make_call(42, kProg, 2, kFile, words({k.n}))));
        auto from_file = c.recv_record(20000);
        ASSERT_TRUE(from_file);
        EXPECT_EQ(observed().sent_from_file.load(), 1) << k.n;
        EXPECT_TRUE(*from_file == *encoded) << k.n; // byte for byte
        for (std::size_t len : c.fragments()) EXPECT_LE(len, k.largest);
        ASSERT_TRUE(c.send_record(make_call(43, kProg, 2, kEcho, xdr_encode_text("after"))));
        auto rec = c.recv_record();
        ASSERT_TRUE(rec);
        EXPECT_EQ(parse_reply(*rec)->results, xdr_encode_text("after"));
    }
}

// The one worker waits for a peer that reads slowly only while nobody else wants it.
TEST_F(RpcsvcHostile, LargeReplyToASlowReaderLeavesTheOnlyWorkerFree) {
    for (Proc proc : {kBig, kFile}) {
        Server s(1, false, 0);
        RawConn lazy(s.port());
        const std::uint32_t n = 3 * KS_REPLY_BUFFER_SIZE;
        ASSERT_TRUE(lazy.send_record(make_call(79, kProg, 2, proc, words({n}))));
        pollfd pfd{lazy.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 20000), 1); // it has begun to leave
        expect_others_served(s.port());
        expect_big_reply(lazy, 79, n);
    }
}

namespace {

double rss_mb() {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Reads one reply record through a small buffer, so that the reader's own memory stays out of
// the process's figures; returns its length.
std::size_t drain_record(RawConn &c) {
    timeval tv{20, 0};
    setsockopt(c.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    static char buf[64 * 1024];
    std::size_t total = 0;
    for (bool last = false; !last;) {
        std::uint32_t w = 0;
        if (recv(c.fd(), &w, 4, MSG_WAITALL) != 4) return 0;
        w = ntohl(w);
        last = (w & 0x80000000u) != 0;
        for (std::size_t left = w & 0x7fffffffu; left > 0;) {
            ssize_t k = recv(c.fd(), buf, std::min(left, sizeof buf), 0);
            if (k <= 0) return 0;
            left -= std::size_t(k);
            total += std::size_t(k);
        }
    }
    return total;
}

} // namespace

TEST_F(RpcsvcHostile, MemoryOfLargeRepliesGoesBackOnceTheyHaveLeft) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators keep memory their own way";
#endif
    Server s(4);
    constexpr std::uint32_t n = 24u << 20;
    {
        RawConn warm(s.port()); // the allocator settles on where replies of this size go
        ASSERT_TRUE(warm.send_record(make_call(50, kProg, 2, kBig, words({n}))));
        EXPECT_EQ(drain_record(warm), 24u + 4u + n);
    }
    double before = rss_mb();
    {
        // Replies that wait for their readers, one per worker, made together: more than the heap
        // would give back by itself.
        std::vector<std::unique_ptr<RawConn>> conns;
        for (int i = 0; i < 4; ++i) {
            conns.push_back(std::make_unique<RawConn>(s.port()));
            ASSERT_TRUE(conns.back()->send_record(make_call(60 + i, kProg, 2, kBig, words({n}))));
        }
        // Every reply has begun to leave: all four are made at once.
        for (auto &c : conns) {
            pollfd pfd{c->fd(), POLLIN, 0};
            ASSERT_EQ(poll(&pfd, 1, 20000), 1);
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(drain_record(*conns[i]), 24u + 4u + n);
    }
    EXPECT_TRUE(wait_until([&] { return rss_mb() < before + 40; }, 20000))
        << rss_mb() << " MB after, " << before << " MB before";
}

TEST_F(RpcsvcHostile, HalfSentRecordBlocksNobody) {
    Server s(1); // one worker: a blocked worker would block everyone
    RawConn slow(s.port());
    std::vector<char> rec = framed(make_call(31, kProg, 2, kEcho, xdr_encode_text("in two halves")));
    ASSERT_TRUE(slow.send_all(rec.data(), 2)); // not even the whole header
    expect_others_served(s.port());
    ASSERT_TRUE(slow.send_all(rec.data() + 2, 20));
    expect_others_served(s.port());
    ASSERT_TRUE(slow.send_all(rec.data() + 22, rec.size() - 22));
    auto reply = slow.recv_record();
    ASSERT_TRUE(reply);
    EXPECT_EQ(parse_reply(*reply)->results, xdr_encode_text("in two halves"));
}

TEST_F(RpcsvcHostile, ClientThatStopsReadingBlocksNobody) {
    Server s(1);
    RawConn lazy(s.port());
    // Many calls whose replies together far exceed what the sockets hold.
    constexpr std::uint32_t kCalls = 400;
    std::vector<char> wire;
    for (std::uint32_t i = 0; i < kCalls; ++i) {
        std::vector<char> f = framed(make_call(500 + i, kProg, 2, kBig, words({65536})));
        wire.insert(wire.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(lazy.send_all(wire.data(), wire.size()));
    // The worker runs calls until the lazy peer's replies fill what may be held, then stalls.
    int seen = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            int now = observed().big_calls.load();
            bool stalled = now > 0 && now == seen;
            seen = now;
            return stalled;
        },
        20000, 50));
    expect_others_served(s.port());
    // Then it reads: every reply is there, whole and in order.
    for (std::uint32_t i = 0; i < kCalls; ++i) {
        auto rec = lazy.recv_record(10000);
        ASSERT_TRUE(rec) << i;
        auto r = parse_reply(*rec);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->xid, 500 + i);
        ASSERT_EQ(r->results.size(), 4u + 65536u);
        EXPECT_EQ(r->results[4 + 1000], pattern_byte(1000));
    }
}

TEST_F(RpcsvcHostile, ReplyLargerThanTheBufferToASlowReader) {
    Server s(2);
    RawConn lazy(s.port());
    const std::uint32_t n = 3 * KS_REPLY_BUFFER_SIZE; // more than the encoder sends before queueing
    ASSERT_TRUE(lazy.send_record(make_call(77, kProg, 2, kBig, words({n}))));
    ASSERT_TRUE(wait_until([] { return observed().big_calls.load() >= 1; }));
    expect_others_served(s.port());
    expect_big_reply(lazy, 77, n);
}

TEST_F(RpcsvcHostile, ReplyThatFailsAfterPartOfItLeftClosesTheConnection) {
    Server s(1);
    RawConn c(s.port());
    ASSERT_TRUE(c.send_record(make_call(3, kProg, 2, kFailLate)));
    // The peer gets a cut record, then the end of the stream: never a second reply.
    char h[4];
    ASSERT_EQ(recv(c.fd(), h, 4, MSG_WAITALL), 4);
    std::uint32_t w;
    std::memcpy(&w, h, 4);
    EXPECT_EQ(ntohl(w) & 0x80000000u, 0u); // a first fragment, never finished
    EXPECT_TRUE(c.wait_closed(10000));
    expect_others_served(s.port());
}

TEST_F(RpcsvcHostile, ConnectionClosedMidCallOrMidRecord) {
    Server s(2);
    for (int round = 0; round < 3; ++round) {
        {
            RawConn c(s.port()); // asks for a large reply and leaves at once
            std::uint32_t n = round == 0 ? 2 * KS_REPLY_BUFFER_SIZE : 65536;
            ASSERT_TRUE(c.send_record(make_call(1, kProg, 2, kBig, words({n}))));
        }
        {
            RawConn c(s.port()); // leaves while its call sleeps
            std::vector<char> args = words({0, 50});
            ASSERT_TRUE(c.send_record(make_call(2, kProg, 2, kSleep, args)));
        }
        {
            RawConn c(s.port()); // leaves in the middle of a record
            std::vector<char> rec = framed(make_call(3, kProg, 2, kEcho, xdr_encode_text("cut")));
            ASSERT_TRUE(c.send_all(rec.data(), rec.size() / 2));
        }
        {
            RawConn c(s.port()); // resets the connection with unread replies
            const int begun = observed().big_calls.load();
            ASSERT_TRUE(c.send_record(make_call(4, kProg, 2, kBig, words({1u << 20}))));
            ASSERT_TRUE(wait_until([&] { return observed().big_calls.load() > begun; }));
            linger lg{1, 0};
            setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
    }
    ASSERT_TRUE(wait_until([] { return observed().in_flight.load() == 0; }));
    expect_others_served(s.port());
}

TEST_F(RpcsvcHostile, ThousandIdleConnections) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 2200 && rl.rlim_max >= 2200) {
        rl.rlim_cur = 2200;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    getrlimit(RLIMIT_NOFILE, &rl);
    ASSERT_GE(rl.rlim_cur, 2200u) << "descriptor limit too low for this test";
    Server s(2);
    std::vector<std::unique_ptr<RawConn>> idle;
    for (int i = 0; i < 1000; ++i) {
        idle.push_back(std::make_unique<RawConn>(s.port()));
        ASSERT_TRUE(idle.back()->ok()) << i;
    }
    expect_others_served(s.port());
    // The idle ones are still served when they speak, the last one first.
    for (int i : {999, 0, 500}) {
        ASSERT_TRUE(idle[std::size_t(i)]->send_record(make_call(std::uint32_t(i), kProg, 2, kNull)));
        auto rec = idle[std::size_t(i)]->recv_record();
        ASSERT_TRUE(rec) << i;
        EXPECT_EQ(word_at(*rec, 0), std::uint32_t(i));
    }
    idle.clear();
    expect_others_served(s.port());
}

namespace {

// The descriptor limit under which exactly `spare` numbers are still free.
rlim_t limit_leaving(int spare) {
    std::vector<bool> used(65536, false);
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return 0;
    while (dirent *e = readdir(d)) {
        int fd = std::atoi(e->d_name);
        if (e->d_name[0] != '.' && fd >= 0 && fd < int(used.size()) && fd != dirfd(d)) used[std::size_t(fd)] = true;
    }
    closedir(d);
    rlim_t limit = 0;
    for (int free = 0; free < spare; ++limit)
        if (!used[limit]) ++free;
    return limit;
}

} // namespace

TEST_F(RpcsvcHostile, OutOfDescriptorsPausesAcceptingAndRecovers) {
    Server s(1);
    int with_warm = 0;
    {
        RawConn warm(s.port()); // the loop and its worker are up: their descriptors exist
        ASSERT_TRUE(warm.send_record(make_call(1, kProg, 2, kNull)));
        ASSERT_TRUE(warm.recv_record());
        with_warm = open_descriptors();
    }
    // Both ends of the warm connection are closed.
    ASSERT_TRUE(wait_until([&] { return open_descriptors() <= with_warm - 2; }));
    int late = socket(AF_INET, SOCK_STREAM, 0); // made now, connected when nothing is left
    ASSERT_GE(late, 0);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = limit_leaving(6); // three connections, both ends
    ASSERT_GT(low.rlim_cur, 0u);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<std::unique_ptr<RawConn>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawConn>(s.port()));
        ASSERT_TRUE(held.back()->ok());
    }
    // An answered call on each shows the server accepted all three: every descriptor is taken.
    for (auto &h : held) {
        ASSERT_TRUE(h->send_record(make_call(5, kProg, 2, kNull)));
        ASSERT_TRUE(h->recv_record());
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(s.port());
    ASSERT_EQ(connect(late, reinterpret_cast<sockaddr *>(&a), sizeof a), 0); // waits in the backlog
    std::vector<char> call = framed(make_call(42, kProg, 2, kNull));
    ASSERT_EQ(send(late, call.data(), call.size(), MSG_NOSIGNAL), ssize_t(call.size()));
    pollfd pfd{late, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 300), 0); // not accepted yet
    // The held connections still work meanwhile.
    ASSERT_TRUE(held[1]->send_record(make_call(2, kProg, 2, kNull)));
    EXPECT_TRUE(held[1]->recv_record());
    held[0].reset(); // frees a descriptor on both ends
    ASSERT_EQ(poll(&pfd, 1, 3000), 1);
    char buf[64];
    ssize_t n = recv(late, buf, sizeof buf, 0);
    ASSERT_GE(n, 8);
    std::uint32_t xid;
    std::memcpy(&xid, buf + 4, 4);
    EXPECT_EQ(ntohl(xid), 42u);
    held.clear();
    close(late);
    setrlimit(RLIMIT_NOFILE, &saved);
}

namespace {

// A limit of the next ks_svc_run, taken from the environment it reads at start.
class ScopedLimit {
public:
    ScopedLimit(const char *name, const char *value) : name_(name) { setenv(name, value, 1); }
    ~ScopedLimit() { unsetenv(name_); }

private:
    const char *name_;
};

} // namespace

TEST_F(RpcsvcHostile, PeersThatNeverReadLargeRepliesHoldNoWorker) {
    Server s(2);
    constexpr std::uint32_t kReply = 12u << 20;
    std::vector<std::unique_ptr<RawConn>> lazy;
    for (std::uint32_t i = 0; i < 4; ++i) { // twice the workers
        lazy.push_back(std::make_unique<RawConn>(s.port()));
        ASSERT_TRUE(lazy.back()->send_record(make_call(100 + i, kProg, 2, kBig, words({kReply}))));
    }
    // Every reply has begun to leave: its worker is done with it (or stuck sending it).
    for (auto &l : lazy) {
        pollfd pfd{l->fd(), POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 60000), 1);
    }
    expect_others_served(s.port());
    // Each reply waited on its own connection, whole.
    for (std::uint32_t i : {0u, 3u}) expect_big_reply(*lazy[i], 100 + i, kReply);
}

TEST_F(RpcsvcHostile, ReplyPastTheQueueBoundClosesThatConnectionOnly) {
    ScopedLimit bound("KS_MAX_REPLY_QUEUE", "1048576");
    Server s(1);
    RawConn lazy(s.port());
    ASSERT_TRUE(lazy.send_record(make_call(1, kProg, 2, kBig, words({8u << 20}))));
    EXPECT_TRUE(lazy.wait_closed(10000));
    RawConn fits(s.port()); // a reply within the bound still leaves whole
    ASSERT_TRUE(fits.send_record(make_call(2, kProg, 2, kBig, words({512u << 10}))));
    auto rec = fits.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(parse_reply(*rec)->results.size(), 4u + (512u << 10));
    expect_others_served(s.port());
}

TEST_F(RpcsvcHostile, RecordNotCompleteByItsDeadlineClosesItsConnection) {
    ScopedLimit deadline("KS_RECORD_TIMEOUT_MS", "300");
    Server s(1);
    std::vector<char> rec = framed(make_call(5, kProg, 2, kEcho, xdr_encode_text("never finished")));
    RawConn half(s.port());
    RawConn idle(s.port()); // between records: no deadline
    RawConn trickle(s.port());
    ASSERT_TRUE(half.send_all(rec.data(), rec.size() / 2));
    auto t0 = Clock::now();
    EXPECT_TRUE(half.wait_closed(20000)); // nothing else happens meanwhile
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
    // One byte every 50 ms: the deadline runs from the record's first byte, not the last.
    bool trickle_closed = false;
    for (std::size_t i = 0; i < rec.size() - 1 && !trickle_closed; ++i) {
        trickle.send_all(rec.data() + i, 1);
        pollfd pfd{trickle.fd(), POLLIN, 0};
        trickle_closed = poll(&pfd, 1, 50) == 1;
    }
    EXPECT_TRUE(trickle_closed);
    // The idle connection outlived the deadline and is served.
    ASSERT_TRUE(idle.send_record(make_call(6, kProg, 2, kNull)));
    auto reply = idle.recv_record();
    ASSERT_TRUE(reply);
    EXPECT_EQ(word_at(*reply, 0), 6u);
}

namespace {

// Once the server's kernel holds all that c sent, a call that comes later is served after the
// (single) worker has read them.
bool all_read(RawConn &c, unsigned short port) {
    bool const sent = wait_until([&] {
        int unsent = -1;
        return ioctl(c.fd(), SIOCOUTQ, &unsent) == 0 && unsent == 0;
    });
    RawConn probe(port);
    return sent && probe.send_record(make_call(1, kProg, 2, kNull)) && probe.recv_record();
}

} // namespace

TEST_F(RpcsvcHostile, CallBytesPastTheTotalCloseTheConnectionThatWouldPassIt) {
    ScopedLimit total("KS_MAX_CALL_BYTES", "1048576");
    Server s(1);
    const std::string big(700 * 1024, 'b');
    std::vector<char> first = framed(make_call(7, kProg, 2, kEcho, xdr_encode_text(big)));
    std::vector<char> second = framed(make_call(8, kProg, 2, kEcho, xdr_encode_text(big)));
    RawConn a(s.port());
    RawConn b(s.port());
    ASSERT_TRUE(a.send_all(first.data(), first.size() - 10)); // held, not complete
    ASSERT_TRUE(all_read(a, s.port()));
    b.send_all(second.data(), second.size()); // would pass the total: b goes
    EXPECT_TRUE(b.wait_closed());
    ASSERT_TRUE(a.send_all(first.data() + first.size() - 10, 10));
    auto rec = a.recv_record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(parse_reply(*rec)->results, xdr_encode_text(big));
    expect_others_served(s.port()); // the total is free again
}

TEST_F(RpcsvcHostile, SpooledBytesPastTheTotalCloseTheConnectionThatWouldPassIt) {
    ScopedLimit total("KS_MAX_SPOOL_BYTES", "3145728");
    Server s(1);
    constexpr std::uint32_t n = 2 * 1024 * 1024;
    // kSum's answer: the bytes taken and whether the runtime cut them.
    auto summed = [](RawConn &c) {
        auto rec = c.recv_record();
        if (!rec) return false;
        auto reply = parse_reply(*rec);
        return reply && reply->results.size() == 12 && word_at(reply->results, 0) == n &&
               word_at(reply->results, 8) == 0;
    };
    std::vector<char> first = make_call(7, kProg, 2, kSum, words({n}));
    first.resize(first.size() + n, 'a');
    std::vector<char> framed_first = framed(first);
    RawConn a(s.port());
    RawConn b(s.port());
    ASSERT_TRUE(a.send_all(framed_first.data(), framed_first.size() - 10)); // in its file, not complete
    ASSERT_TRUE(all_read(a, s.port()));
    send_sum_call(b, 8, n, 64 * 1024); // its file would pass the total: b goes
    EXPECT_TRUE(b.wait_closed());
    ASSERT_TRUE(a.send_all(framed_first.data() + framed_first.size() - 10, 10));
    EXPECT_TRUE(summed(a));
    // a's file has gone with its call: the total is free again.
    RawConn c(s.port());
    send_sum_call(c, 9, n, 64 * 1024);
    EXPECT_TRUE(summed(c));
}

namespace {

// A null call answered on c.
bool answered(RawConn &c, std::uint32_t xid) {
    if (!c.send_record(make_call(xid, kProg, 2, kNull))) return false;
    auto rec = c.recv_record(10000);
    return rec && word_at(*rec, 0) == xid;
}

// The server has ended the connection already (nothing unread is left before the end).
bool ended(RawConn &c) {
    char byte;
    const ssize_t n = recv(c.fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A connection the server reset at once, as one past the limit is.
bool reset_at_once(RawConn &c) {
    pollfd pfd{c.fd(), POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) return false;
    char byte;
    errno = 0;
    return recv(c.fd(), &byte, 1, 0) == -1 && errno == ECONNRESET;
}

} // namespace

TEST_F(RpcsvcHostile, TheLongestIdleConnectionGivesWayToANewOne) {
    ScopedEnv cap("KS_MAX_CONNECTIONS", "3");
    Server s(1);
    RawConn a(s.port()), b(s.port()), c(s.port());
    // Idle since their last calls: b longest, then c, then a.
    ASSERT_TRUE(answered(a, 1));
    ASSERT_TRUE(answered(b, 2));
    ASSERT_TRUE(answered(c, 3));
    ASSERT_TRUE(answered(a, 4));
    RawConn d(s.port());
    ASSERT_TRUE(answered(d, 5)); // taken, not reset
    EXPECT_TRUE(b.wait_closed(10000));
    RawConn e(s.port());
    ASSERT_TRUE(answered(e, 6));
    EXPECT_TRUE(c.wait_closed(10000));
    // The others were left alone.
    EXPECT_TRUE(answered(a, 7));
    EXPECT_TRUE(answered(d, 8));
    EXPECT_TRUE(answered(e, 9));
}

TEST_F(RpcsvcHostile, NoServedConnectionMidRecordInACallOrWithAReplyQueuedGivesWay) {
    ScopedEnv cap("KS_MAX_CONNECTIONS", "3");
    Server s(2);
    // A call in progress: held until a second such call runs beside it.
    RawConn busy(s.port());
    ASSERT_TRUE(busy.send_record(make_call(1, kProg, 2, kSleep, words({0, std::uint32_t(-2)}))));
    ASSERT_TRUE(wait_until([] { return observed().in_flight.load() == 1; }));
    // A reply the peer does not read: far more than the sockets hold.
    constexpr std::uint32_t kReply = 24u << 20;
    RawConn queued(s.port());
    ASSERT_TRUE(queued.send_record(make_call(2, kProg, 2, kBig, words({kReply}))));
    ASSERT_TRUE(wait_until([] { return observed().big_calls.load() == 1; }));
    // Half a record, after a call served (a first record would give way): the call that releases
    // the one in progress.
    std::vector<char> rec = framed(make_call(3, kProg, 2, kSleep, words({0, std::uint32_t(-2)})));
    RawConn mid(s.port());
    ASSERT_TRUE(answered(mid, 4));
    ASSERT_TRUE(mid.send_all(rec.data(), rec.size() / 2));
    ASSERT_TRUE(wait_until([&] {
        int unsent = -1;
        return ioctl(mid.fd(), SIOCOUTQ, &unsent) == 0 && unsent == 0;
    }));
    RawConn refused(s.port());
    ASSERT_TRUE(refused.ok()); // the handshake is the kernel's
    EXPECT_TRUE(reset_at_once(refused));
    // All three go on as if nothing had happened.
    ASSERT_TRUE(mid.send_all(rec.data() + rec.size() / 2, rec.size() - rec.size() / 2));
    for (RawConn *c : {&busy, &mid}) {
        auto reply = c->recv_record(20000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(parse_reply(*reply)->accept_stat, SUCCESS);
    }
    expect_big_reply(queued, 2, kReply);
    // A connection that leaves makes room as before.
    busy.close_now();
    ASSERT_TRUE(wait_until([&] {
        RawConn again(s.port());
        return again.send_record(make_call(9, kProg, 2, kNull)) && again.recv_record(500).has_value();
    }));
}

TEST_F(RpcsvcHostile, ConnectionsThatNeverCompletedACallGiveWayBeforeServedOnes) {
    ScopedEnv cap("KS_MAX_CONNECTIONS", "4");
    Server s(2);
    RawConn a(s.port()), b(s.port());
    ASSERT_TRUE(answered(a, 1));
    ASSERT_TRUE(answered(b, 2));
    RawConn quiet(s.port()); // sends nothing
    RawConn mid(s.port());   // its first record stops after the record mark and a word
    std::vector<char> rec = framed(make_call(3, kProg, 2, kNull));
    ASSERT_TRUE(mid.send_all(rec.data(), 8));
    RawConn first(s.port());
    ASSERT_TRUE(answered(first, 4));
    EXPECT_TRUE(quiet.wait_closed(10000)); // open longest of those never served
    RawConn second(s.port());
    ASSERT_TRUE(answered(second, 5));
    EXPECT_TRUE(mid.wait_closed(10000));
    // None is fresh now: the next caller's room is made by a served one between calls (which
    // of them went idle first is the workers' race).
    RawConn third(s.port());
    ASSERT_TRUE(answered(third, 6));
    EXPECT_TRUE(wait_until([&] { return ended(a) || ended(b) || ended(first) || ended(second); }));
    int served = 0;
    for (RawConn *c : {&a, &b, &first, &second, &third}) served += answered(*c, 7);
    EXPECT_EQ(4, served);
}

TEST_F(RpcsvcHostile, AFirstRecordWithoutItsWholeCallHeaderByItsDeadlineClosesItsConnection) {
    ScopedEnv deadline("KS_FIRST_RECORD_TIMEOUT_MS", "300");
    Server s(2);
    const std::vector<char> rec = framed(make_call(8, kProg, 2, kEcho, xdr_encode_text("whole")));
    // A later record has the time of any record; so has a first one once its header is whole.
    RawConn served(s.port());
    ASSERT_TRUE(answered(served, 1));
    ASSERT_TRUE(served.send_all(rec.data(), 6));
    RawConn header(s.port());
    ASSERT_TRUE(header.send_all(rec.data(), rec.size() - 4)); // in one write: header whole at once
    // Cut in the record mark, in the fixed words, and one byte short of the verifier's end.
    constexpr std::size_t kHeader = 4 + 40; // mark, AUTH_NONE call header
    for (std::size_t cut : {std::size_t(2), std::size_t(4 + 10), kHeader - 1}) {
        RawConn part(s.port());
        ASSERT_TRUE(part.send_all(rec.data(), cut));
        EXPECT_TRUE(part.wait_closed(20000)) << cut;
    }
    for (RawConn *c : {&served, &header}) {
        ASSERT_TRUE(c->send_all(rec.data() + (c == &served ? 6 : rec.size() - 4), c == &served ? rec.size() - 6 : 4));
        auto reply = c->recv_record();
        ASSERT_TRUE(reply);
        EXPECT_EQ(parse_reply(*reply)->results, xdr_encode_text("whole"));
    }
}

TEST_F(RpcsvcHostile, AHostsSilentConnectionsNeverTakeAnotherHostsServedOnes) {
    ScopedEnv cap("KS_MAX_CONNECTIONS", "4");
    Server s(2, false);
    std::vector<std::unique_ptr<RawConn>> pool; // a web tier: one host, served, pooled
    for (std::uint32_t i = 0; i < 4; ++i) {
        pool.push_back(std::make_unique<RawConn>(s.port(), 4, "127.0.0.1"));
        ASSERT_TRUE(answered(*pool.back(), i));
    }
    // Another host opens connection after connection, half of them sending a byte of a record:
    // each takes the place of the one before, never one of the pool's.
    std::vector<std::unique_ptr<RawConn>> silent;
    for (int i = 0; i < 12; ++i) {
        silent.push_back(std::make_unique<RawConn>(s.port(), 4, "127.0.0.2"));
        ASSERT_TRUE(silent.back()->ok());
        if (i % 2 == 1) {
            ASSERT_TRUE(silent.back()->send_all("\x80", 1));
        }
    }
    for (std::size_t i = 0; i + 1 < silent.size(); ++i) EXPECT_TRUE(silent[i]->wait_closed(20000)) << i;
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_TRUE(answered(*pool[i], 10 + i)) << i;
    // A third host whose connections call takes the place of the last silent one, and once its
    // call has arrived, of one of the host that holds the most: the pool's, until the third
    // host holds more. (Which of a host's connections went idle first is the workers' race.)
    auto closed = [](std::initializer_list<RawConn *> cs) {
        return std::count_if(cs.begin(), cs.end(), [](RawConn *c) { return ended(*c); });
    };
    RawConn caller(s.port(), 4, "127.0.0.3");
    ASSERT_TRUE(answered(caller, 20));
    EXPECT_TRUE(silent.back()->wait_closed(20000));
    RawConn *p0 = pool[0].get(), *p1 = pool[1].get(), *p2 = pool[2].get(), *p3 = pool[3].get();
    EXPECT_TRUE(wait_until([&] { return closed({p0, p1, p2, p3}) == 1; }));
    RawConn next(s.port(), 4, "127.0.0.3");
    ASSERT_TRUE(answered(next, 21));
    EXPECT_TRUE(wait_until([&] { return closed({p0, p1, p2, p3}) == 2; }));
    RawConn third(s.port(), 4, "127.0.0.3");
    ASSERT_TRUE(answered(third, 22));
    EXPECT_TRUE(wait_until([&] { return closed({&caller, &next}) == 1; }));
    // The rest are served: two of the pool, one of the third host's first two, and the last.
    std::uint32_t xid = 23;
    int served = 0;
    for (RawConn *c : {p0, p1, p2, p3, &caller, &next, &third}) served += answered(*c, xid++);
    EXPECT_EQ(4, served);
    EXPECT_FALSE(ended(third));
}

TEST_F(RpcsvcHostile, ConnectionsIdleBetweenCallsPastTheTimeoutAreClosed) {
    ScopedEnv idle_for("KS_IDLE_TIMEOUT_MS", "1000");
    Server s(2);
    RawConn silent(s.port()); // never calls
    RawConn called(s.port());
    ASSERT_TRUE(answered(called, 1));
    RawConn busy(s.port()); // in a call for longer than the timeout
    ASSERT_TRUE(busy.send_record(make_call(2, kProg, 2, kSleep, words({0, std::uint32_t(-2)}))));
    ASSERT_TRUE(wait_until([] { return observed().in_flight.load() == 1; }));
    EXPECT_TRUE(silent.wait_closed(20000));
    EXPECT_TRUE(called.wait_closed(20000));
    // The call outlived the timeout and is answered; then its connection is idle in turn.
    RawConn second(s.port());
    ASSERT_TRUE(second.send_record(make_call(3, kProg, 2, kSleep, words({0, std::uint32_t(-2)}))));
    for (RawConn *c : {&busy, &second}) {
        auto reply = c->recv_record(20000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(parse_reply(*reply)->accept_stat, SUCCESS);
    }
    EXPECT_TRUE(busy.wait_closed(20000));
}

TEST_F(RpcsvcHostile, ReplyBytesPastTheTotalCloseTheConnectionThatWouldPassThem) {
    ScopedLimit total("KS_MAX_REPLY_BYTES", "33554432");
    Server s(1);
    // Neither peer reads. The kernel takes at most a few MiB of a reply; the rest of it waits on
    // its connection: one such reply fits the total, a second one passes it.
    constexpr std::uint32_t kReply = 24u << 20;
    RawConn first(s.port());
    RawConn second(s.port());
    ASSERT_TRUE(first.send_record(make_call(1, kProg, 2, kBig, words({kReply}))));
    // A null call on a new connection is answered by the one worker only after the call before.
    auto after_the_call_before = [&](std::uint32_t xid) {
        RawConn probe(s.port());
        return probe.send_record(make_call(xid, kProg, 2, kNull)) && probe.recv_record(20000).has_value();
    };
    ASSERT_TRUE(after_the_call_before(2));
    ASSERT_TRUE(second.send_record(make_call(3, kProg, 2, kBig, words({kReply}))));
    ASSERT_TRUE(after_the_call_before(4));
    EXPECT_TRUE(second.wait_closed(20000)); // cut short: it does not hold its whole reply
    expect_others_served(s.port());
    expect_big_reply(first, 1, kReply);
}

namespace {

// Connected sockets of this process whose local port is the server's: its side of connections.
int server_side_connections(unsigned short port) {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) {
        int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == dirfd(d)) continue;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0 || ss.ss_family != AF_INET ||
            ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port) != port)
            continue;
        len = sizeof ss;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) == 0) ++n;
    }
    closedir(d);
    return n;
}

} // namespace

TEST_F(RpcsvcHostile, ConnectCloseStormNeverHoldsMoreThanTheLimit) {
    ScopedLimit cap("KS_MAX_CONNECTIONS", "16");
    Server s(2, false);
    std::atomic<bool> storming{true};
    std::atomic<int> peak{0};
    std::thread watch([&] {
        while (storming.load()) peak.store(std::max(peak.load(), server_side_connections(s.port())));
    });
    std::vector<std::thread> storm;
    for (int t = 0; t < 8; ++t) {
        storm.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < 250; ++i) {
                RawConn c(s.port());
                if (t % 2 == 0 && c.send_record(make_call(i, kProg, 2, kNull)))
                    c.recv_record(2000); // answered, or reset when past the limit
                if (t % 4 == 1) {        // some go with a reset, the moment they are connected
                    struct linger lg {
                        1, 0
                    };
                    setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                }
            }
        });
    }
    for (auto &t : storm) t.join();
    storming.store(false);
    watch.join();
    // One more may be open for the moment it takes to refuse it.
    EXPECT_LE(peak.load(), 16 + 1);
    EXPECT_GT(peak.load(), 0);
    EXPECT_TRUE(wait_until([&] { return server_side_connections(s.port()) == 0; }));
    expect_others_served(s.port());
}
