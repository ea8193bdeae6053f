// Hostile clients against the real program: peers that never read, half-sent records, more
// connections than allowed, idle or busy, and sessions that are never ended under a low descriptor limit.
#include "demo_server.h"
#include "props_client.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kxproduct/store.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// A TCP connection that writes call records by hand and reads only when told.
class Raw {
public:
    // from: the local address (127.0.0.x stands for another host).
    explicit Raw(int port, char const *from = nullptr) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (fd_ >= 0 && from != nullptr &&
            (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
             !kxtest::bind_client(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local))) {
            close(fd_);
            fd_ = -1;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Raw() {
        if (fd_ >= 0) close(fd_);
    }
    Raw(Raw const &) = delete;
    Raw &operator=(Raw const &) = delete;
    int fd() const { return fd_; }
    bool send_all(char const *p, std::size_t n) {
        while (n > 0) {
            ssize_t k = send(fd_, p, n, MSG_NOSIGNAL);
            if (k <= 0) return false;
            p += k;
            n -= std::size_t(k);
        }
        return true;
    }
    // Bytes until the peer ends the stream (-1: it did not within the time).
    long read_to_close(int timeout_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        long total = 0;
        char buf[65536];
        for (;;) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) != 1) return -1;
            ssize_t k = recv(fd_, buf, sizeof buf, 0);
            if (k <= 0) return total;
            total += k;
        }
    }
    // The server has ended the connection (nothing unread before the end).
    bool ended() const {
        char b;
        ssize_t const k = recv(fd_, &b, 1, MSG_PEEK | MSG_DONTWAIT);
        return k == 0 || (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    // One whole reply record's body size (-1 on close or timeout).
    long read_record(int timeout_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        long total = 0;
        for (bool last = false; !last;) {
            uint32_t mark = 0;
            if (!read_exact(reinterpret_cast<char *>(&mark), 4, deadline)) return -1;
            mark = ntohl(mark);
            last = (mark & 0x80000000u) != 0;
            std::vector<char> body(mark & 0x7fffffffu);
            if (!read_exact(body.data(), body.size(), deadline)) return -1;
            total += long(body.size());
        }
        return total;
    }

private:
    bool read_exact(char *p, std::size_t n, Clock::time_point deadline) {
        while (n > 0) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd q{fd_, POLLIN, 0};
            if (left <= 0 || poll(&q, 1, left) != 1) return false;
            ssize_t k = recv(fd_, p, n, 0);
            if (k <= 0) return false;
            p += k;
            n -= std::size_t(k);
        }
        return true;
    }
    int fd_ = -1;
};

// A well-behaved client logs in and is answered promptly.
void expect_served(int port, std::string const &repository = "KXDEMO/ISSUE") {
    auto t0 = Clock::now();
    Client client(port);
    ASSERT_TRUE(client.ok());
    Login login;
    login.repository = repository;
    ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
    EXPECT_FALSE(login.failed) << login.error.message;
    // Far below what a stalled peer would hold a worker for (its send timeout), far above what a
    // loaded machine takes.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
}

std::vector<std::string> limits(std::string const &data, std::vector<std::string> more) {
    more.push_back("KX_PRODUCT_DATA=" + data);
    return more;
}

int descriptors_of(pid_t pid) {
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

} // namespace

TEST(Hardening, PeersThatNeverReadLargeRepliesStopNobody) {
    TempDir dir;
    // A set whose dynamic list is 12 MB of values: fetching it gives a 12 MB reply.
    std::string xml = "<kxdefinition name=\"BIG\"><database name=\"ISSUE\"/>"
                      "<group name=\"Everyone\"><subscribe database=\"*\"/></group><list name=\"Huge\">";
    std::string const value(10000, 'v');
    for (int i = 0; i < 1200; ++i) xml += "<value>" + std::to_string(i) + value + "</value>";
    xml += "</list><user login=\"alice\" password=\"alice\"><member group=\"Everyone\"/></user></kxdefinition>";
    std::string const data = dir.file("data");
    ASSERT_EQ(0, mkdir(data.c_str(), 0700));
    KXProductStore::CreateFromDefinition(xml, data);

    // The peers read at the end, however long a loaded machine took to compute the replies.
    ServerProcess server({"-worker_threads", "8"}, dir.path(), limits(data, {"KS_SEND_TIMEOUT_MS=600000"}));
    ASSERT_TRUE(server.start());
    Client client(server.port());
    ASSERT_TRUE(client.ok());
    std::vector<std::unique_ptr<Raw>> lazy; // as many as the workers, none of them reading
    for (u_int i = 0; i < 8; ++i) {
        Login login; // a session each: one session's calls are not what this is about
        login.repository = "BIG/ISSUE";
        ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
        ASSERT_FALSE(login.failed) << login.error.message;
        Fetch huge;
        huge.session = login.handle;
        huge.type = 43;
        huge.names = {"Huge"};
        huge.props = {{527, {}}};
        std::vector<char> call = fetch_call_record(huge, 77 + i);
        ASSERT_FALSE(call.empty());
        lazy.push_back(std::make_unique<Raw>(server.port()));
        ASSERT_TRUE(lazy.back()->send_all(call.data(), call.size()));
    }
    // Every reply has begun to leave: its worker is done with it (or stuck sending it).
    for (auto &l : lazy) {
        pollfd p{l->fd(), POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 60000));
    }
    for (int round = 0; round < 3; ++round) expect_served(server.port(), "BIG/ISSUE");
    // Each reply waited whole on its own connection.
    EXPECT_GT(lazy.front()->read_record(20000), 12L * 1000 * 1000);
    EXPECT_GT(lazy.back()->read_record(20000), 12L * 1000 * 1000);
    lazy.clear();
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Hardening, HalfSentRecordIsClosedAtItsDeadline) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "2"}, dir.path(), limits(dir.file("data"), {"KS_RECORD_TIMEOUT_MS=400"}));
    ASSERT_TRUE(server.start());
    Raw half(server.port());
    Raw quiet(server.port()); // between records: no deadline
    Fetch any;
    std::vector<char> call = fetch_call_record(any, 5);
    ASSERT_TRUE(half.send_all(call.data(), call.size() / 2));
    auto t0 = Clock::now();
    EXPECT_EQ(0, half.read_to_close(30000));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20)); // its deadline, not the end of the test
    // The quiet one outlived the deadline: its call is answered (a session it never had).
    ASSERT_TRUE(quiet.send_all(call.data(), call.size()));
    EXPECT_GT(quiet.read_record(30000), 0);
    expect_served(server.port());
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Hardening, ConnectionPastTheLimitIsRefusedPlainlyWhenNoneIsIdle) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "2"}, dir.path(), limits(dir.file("data"), {"KS_MAX_CONNECTIONS=3"}));
    ASSERT_TRUE(server.start());
    // Each was served and holds half its next call: none is between calls, so none gives way.
    Fetch any;
    std::vector<char> call = fetch_call_record(any, 5);
    std::vector<std::unique_ptr<Raw>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<Raw>(server.port()));
        ASSERT_TRUE(held.back()->send_all(call.data(), call.size()));
        ASSERT_GT(held.back()->read_record(30000), 0);
        ASSERT_TRUE(held.back()->send_all(call.data(), call.size() / 2));
    }
    Raw refused(server.port());
    ASSERT_GE(refused.fd(), 0);
    pollfd p{refused.fd(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 30000));
    char c;
    errno = 0;
    EXPECT_EQ(-1, recv(refused.fd(), &c, 1, 0));
    EXPECT_EQ(ECONNRESET, errno);
    Client over(server.port(), false, 3);
    if (over.ok()) {
        EXPECT_NE(RPC_SUCCESS, over.ping());
    }
    // The held calls are whole and answered.
    for (auto &h : held) {
        ASSERT_TRUE(h->send_all(call.data() + call.size() / 2, call.size() - call.size() / 2));
        EXPECT_GT(h->read_record(30000), 0);
    }
    held.pop_back();
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) { // the server sees the close a moment later
        Client again(server.port(), false, 3);
        served = again.ok() && again.ping() == RPC_SUCCESS;
        if (!served) usleep(20000);
    }
    EXPECT_TRUE(served);
    held.clear();
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Hardening, IdleConnectionsGiveWayToALoginAndAPing) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "2"}, dir.path(), limits(dir.file("data"), {"KS_MAX_CONNECTIONS=8"}));
    ASSERT_TRUE(server.start());
    // One host fills the table with connections that never call; the server takes them in turn.
    std::vector<std::unique_ptr<Raw>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<Raw>(server.port()));
        ASSERT_GE(idle.back()->fd(), 0);
    }
    Client bob(server.port(), false, 10);
    ASSERT_TRUE(bob.ok());
    Login login;
    login.user = "bob";
    ASSERT_EQ(RPC_SUCCESS, call_login(bob, login));
    EXPECT_FALSE(login.failed) << login.error.message;
    Client fresh(server.port(), false, 10);
    ASSERT_TRUE(fresh.ok());
    EXPECT_EQ(RPC_SUCCESS, fresh.ping());
    // The two idle longest made room for them, and bob's connection goes on.
    EXPECT_EQ(0, idle[0]->read_to_close(30000));
    EXPECT_EQ(0, idle[1]->read_to_close(30000));
    EXPECT_EQ(RPC_SUCCESS, bob.ping());
    idle.clear();
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Hardening, SilentConnectionsFillingTheTableCutNoServedPoolNorANewLogin) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "2"}, dir.path(), limits(dir.file("data"), {"KS_MAX_CONNECTIONS=16"}));
    ASSERT_TRUE(server.start());
    // A web tier: one host, its pooled connections served.
    std::vector<std::unique_ptr<Client>> pool;
    for (int i = 0; i < 6; ++i) {
        pool.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(pool.back()->ok());
        ASSERT_EQ(RPC_SUCCESS, pool.back()->ping());
    }
    // Many hosts open connection after connection, each sending one byte of a record, as fast as
    // they are taken; between their bursts the pool calls, a new client pings and carol logs in
    // (a call in flight meets no burst, so what it meets is the table they left).
    std::vector<std::unique_ptr<Raw>> silent;
    int failed = 0;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 40; ++i) {
            std::string const from = "127.0.0." + std::to_string(2 + i % 8);
            silent.push_back(std::make_unique<Raw>(server.port(), from.c_str()));
            ASSERT_GE(silent.back()->fd(), 0);
            ASSERT_TRUE(silent.back()->send_all("\x80", 1));
        }
        for (auto &c : pool) failed += c->ping() != RPC_SUCCESS;
        Client fresh(server.port());
        failed += !fresh.ok() || fresh.ping() != RPC_SUCCESS;
        Client carol(server.port());
        Login login;
        login.user = "carol";
        failed += !carol.ok() || call_login(carol, login) != RPC_SUCCESS || login.failed || carol.ping() != RPC_SUCCESS;
    }
    EXPECT_EQ(0, failed);
    for (auto &c : pool) EXPECT_EQ(RPC_SUCCESS, c->ping());
    // The silent ones filled the table: most gave way to those after them.
    int ended = 0;
    for (auto &r : silent) ended += r->ended();
    EXPECT_GT(ended, 0);
    silent.clear();
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Hardening, ForgottenSessionsDoNotExhaustDescriptors) {
    TempDir dir;
    rlimit saved{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(1024, saved.rlim_cur);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low)); // inherited by the server: ulimit -n 1024
    // Each user may hold all the sessions this makes, and the well-behaved one after them.
    ServerProcess server({"-worker_threads", "4"}, dir.path(), limits(dir.file("data"), {"KX_SESSIONS_PER_USER=400"}));
    bool started = server.start();
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(started);
    // Clients that log in and leave without delete_state.
    for (int i = 0; i < 600; ++i) {
        Client client(server.port());
        ASSERT_TRUE(client.ok()) << i;
        Login login;
        login.user = i % 2 ? "alice" : "bob";
        ASSERT_EQ(RPC_SUCCESS, call_login(client, login)) << i;
        ASSERT_FALSE(login.failed) << i << ": " << login.error.message;
    }
    EXPECT_LT(descriptors_of(server.pid()), 100);
    expect_served(server.port());
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}
