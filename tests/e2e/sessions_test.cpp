// Hostile logged-on users against the real program: another session's handles, items and
// sessions left behind, password guessing and remote stops.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_calls.h"
#include "server_process.h"
#include "support/tirpc_auth.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

std::string const ctg = "http://korvax.example/TEAM/CTG";
std::string const invalid_pointer = "TLQSV0769E Internal Error: Invalid Pointer";

std::string query_doc(std::string const &sql = "") {
    std::string doc = "<CTG:execute-query xmlns:CTG=\"" + ctg +
                      "\" xmlns:TEAM=\"http://korvax.example/TEAM\"><CTG:definition><CTG:primary-record-type>"
                      "<TEAM:href>kx.record:Defect@KXDEMO/ISSUE</TEAM:href></CTG:primary-record-type>";
    if (sql.empty())
        doc += "<CTG:display-fields><CTG:column><CTG:field-path><CTG:field><CTG:definition>"
               "kx.field:Defect/id@KXDEMO/ISSUE</CTG:definition></CTG:field></CTG:field-path></CTG:column>"
               "</CTG:display-fields>";
    else
        doc += "<CTG:sql>" + sql + "</CTG:sql>";
    return doc + "</CTG:definition></CTG:execute-query>";
}

// The outcome of an execute_query page: the error, or the handle of the rest (empty at the end).
struct Page {
    int reason = 0;
    std::string message;
    std::string handle;
};

Page read_page(Reply r) {
    Page p;
    if (r.u() != 0) {
        auto e = r.error();
        p.reason = e.first;
        p.message = e.second;
        return p;
    }
    // The handle is the reply's last field: 4 bytes of length, then 16 or 4 bytes.
    std::string const &b = r.bytes;
    if (b.size() >= 20 && b[b.size() - 17] == 16) p.handle = b.substr(b.size() - 16);
    return p;
}

Page first_page(Client &client, std::string const &session_handle, std::string const &sql = "") {
    Body b = session(session_handle);
    b.i(1).u(0).u(0).s(query_doc(sql));
    return read_page(call(client, 7, b));
}

Page next_page(Client &client, std::string const &session_handle, std::string const &handle) {
    Body b = session(session_handle);
    b.i(1).u(1).u(16).raw(handle);
    return read_page(call(client, 7, b));
}

// The handles of `count` first pages, as far as they were answered with one.
std::vector<std::string> open_pages(Client &client, std::string const &session_handle, int count) {
    std::vector<std::string> handles;
    for (int i = 0; i < count; ++i) {
        Page page = first_page(client, session_handle);
        EXPECT_EQ(page.handle.size(), 16u) << page.message;
        if (page.handle.size() != 16u) break;
        handles.push_back(page.handle);
    }
    return handles;
}

// delete_state: one answer per handle, 1 for a handle the request does not know.
std::vector<int> delete_state(Client &client, std::vector<std::string> const &handles) {
    Body b;
    b.u(0).i(static_cast<int>(handles.size()));
    for (auto const &h : handles) b.u(16).raw(h);
    Reply r = call(client, 2, b);
    std::vector<int> out;
    if (r.u() != 0) return out;
    for (std::size_t i = 0; i < handles.size(); ++i) out.push_back(r.i());
    return out;
}

std::vector<std::string> trace_env(TempDir const &dir, std::vector<std::string> more = {}) {
    more.push_back("KX_PRODUCT_DATA=" + dir.file("data"));
    more.push_back("KX_DIAG=66=1");
    more.push_back("KX_DIAG_FILE=" + dir.file("trace.log"));
    return more;
}

int count_of(std::string const &text, std::string const &what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

int descriptors_of(pid_t pid) {
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

struct LoginOutcome {
    bool failed = true;
    int reason = 0;
    std::string message;
};

// The error arm's reason and message, if the reply is one (a login failure also carries the
// database set as its extension text, not read here).
LoginOutcome outcome_of(Reply r) {
    LoginOutcome out;
    out.failed = r.u() != 0;
    if (out.failed) {
        out.reason = r.i();
        out.message = r.s();
    }
    return out;
}

LoginOutcome login_as(Client &client, std::string const &user, std::string const &password) {
    Body b;
    b.u(0).i(7).s("KXDEMO/ISSUE").s(user).s(password).s("en_US").s("").i(0).s("");
    return outcome_of(call(client, 5, b));
}

std::string const too_many = "TLQSV0775E This login is forbidden: Too many failed logins; try again later.";

// Why this process cannot make a test host (below), or "" when it can: a network namespace and a
// veth pair need CAP_NET_ADMIN, `ip netns` mounts the namespace (CAP_SYS_ADMIN), and both need
// iproute2's ip. A container without them skips the tests that need one, saying so.
std::string test_host_unavailable() {
    std::string const status = read_file("/proc/self/status");
    std::size_t const at = status.find("\nCapEff:");
    unsigned long long const caps = at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 9, nullptr, 16);
    if ((caps & (1ull << 12)) == 0) return "a network namespace needs CAP_NET_ADMIN (run as root)";
    if ((caps & (1ull << 21)) == 0) return "ip netns needs CAP_SYS_ADMIN to mount the namespace (run as root)";
    if (std::system("command -v ip >/dev/null 2>&1") != 0) return "a network namespace needs iproute2 (ip)";
    return "";
}

// A test host of our own: a network namespace joined to this one by a veth pair, so that a peer
// that is not loopback can be had without reaching any address outside the machine. The server
// (in this namespace) is reached at 192.0.2.<4n+1> from the host at 192.0.2.<4n+2>; n keeps tests
// that run at once apart.
class TestHost {
public:
    explicit TestHost(int n) {
        std::string const id = std::to_string(::getpid()) + "-" + std::to_string(n);
        ns_ = "kxrpc-" + id;
        link_ = "kxv" + std::to_string(::getpid() % 100000) + std::to_string(n);
        server_address_ = "192.0.2." + std::to_string(4 * n + 1);
        std::string const host = "192.0.2." + std::to_string(4 * n + 2);
        ok_ = set_up("ip netns add " + ns_) &&
              set_up("ip link add " + link_ + "a type veth peer name " + link_ + "b netns " + ns_) &&
              set_up("ip addr add " + server_address_ + "/30 dev " + link_ + "a") &&
              set_up("ip link set " + link_ + "a up") &&
              set_up("ip netns exec " + ns_ + " ip addr add " + host + "/30 dev " + link_ + "b") &&
              set_up("ip netns exec " + ns_ + " ip link set " + link_ + "b up");
    }
    ~TestHost() {
        run("ip link del " + link_ + "a 2>/dev/null");
        run("ip netns del " + ns_ + " 2>/dev/null");
    }
    bool ok() const { return ok_; }
    // The step that failed and what it said.
    std::string const &failure() const { return failure_; }
    std::string const &server_address() const { return server_address_; }
    // Runs `f` in a child that has joined the test host's namespace; its exit status.
    int in_host(std::function<int()> const &f) const {
        int const fd = ::open(("/var/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return -1;
        pid_t const child = ::fork();
        if (child == 0) ::_exit(::setns(fd, CLONE_NEWNET) == 0 ? f() : 100);
        ::close(fd);
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static bool run(std::string const &command) { return std::system(command.c_str()) == 0; }
    bool set_up(std::string const &command) {
        int status = 0;
        std::string const said = run_command(command + " 2>&1", &status);
        if (status != 0) failure_ = command + ": " + said;
        return status == 0;
    }
    std::string ns_, link_, server_address_, failure_;
    bool ok_ = false;
};

// The shutdown procedure from a libtirpc client connected to `address`; the call's status and,
// for an authentication error, why.
std::pair<clnt_stat, int> shutdown_from(std::string const &address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    int sock = RPC_ANYSOCK;
    kxtest::share_auth_none();
    CLIENT *c = clnttcp_create(&a, program, version, &sock, 0, 0);
    if (c == nullptr) return {RPC_CANTSEND, 0};
    timeval tv{10, 0};
    clnt_stat st = clnt_call(c, 1, xdr_none, nullptr, xdr_none, nullptr, tv);
    rpc_err err{};
    clnt_geterr(c, &err);
    clnt_destroy(c);
    return {st, st == RPC_AUTHERROR ? static_cast<int>(err.re_why) : 0};
}

class Sessions : public testing::Test {
protected:
    void start(std::vector<std::string> env) {
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "4"}, dir_.path(),
                                                  std::move(env));
        ASSERT_TRUE(server_->start());
    }
    void stop() {
        if (!server_) return;
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
        server_.reset();
    }
    void TearDown() override { stop(); }
    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
};

} // namespace

TEST_F(Sessions, AHandleAnswersOnlyTheSessionThatMadeIt) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data")});
    Client alice_client(server_->port()), bob_client(server_->port());
    std::string const alice = login(alice_client, "alice"), bob = login(bob_client, "bob");
    ASSERT_EQ(alice.size(), 16u);
    ASSERT_EQ(bob.size(), 16u);
    Page page = first_page(alice_client, alice);
    ASSERT_EQ(page.reason, 0) << page.message;
    ASSERT_EQ(page.handle.size(), 16u);

    // bob names alice's query under his own session: a handle that is not found.
    Page const unknown = next_page(bob_client, bob, std::string(16, 'x'));
    EXPECT_EQ(unknown.reason, 40);
    Page stolen = next_page(bob_client, bob, page.handle);
    EXPECT_EQ(stolen.reason, unknown.reason);
    EXPECT_EQ(stolen.message, unknown.message);
    // Neither releases it: alone from his connection, or beside his session.
    EXPECT_EQ(delete_state(bob_client, {page.handle}), (std::vector<int>{1}));
    EXPECT_EQ(delete_state(bob_client, {bob, page.handle}), (std::vector<int>{0, 1}));
    EXPECT_EQ(next_page(bob_client, login(bob_client, "bob"), page.handle).reason, 40);

    // alice still pages on, and releases it from her connection.
    Page second = next_page(alice_client, alice, page.handle);
    EXPECT_EQ(second.reason, 0) << second.message;
    EXPECT_EQ(second.handle, page.handle);
    EXPECT_EQ(delete_state(alice_client, {page.handle}), (std::vector<int>{0}));
    EXPECT_EQ(next_page(alice_client, alice, page.handle).reason, 40);
    EXPECT_EQ(alice_client.ping(), RPC_SUCCESS);
}

TEST_F(Sessions, ASessionsItemsEndWithIt) {
    start(trace_env(dir_));
    Client client(server_->port());
    std::string const alice = login(client, "alice");
    ASSERT_EQ(alice.size(), 16u);
    std::vector<std::string> const handles = open_pages(client, alice, 3);
    ASSERT_EQ(handles.size(), 3u);
    EXPECT_EQ(delete_state(client, {alice}), (std::vector<int>{0}));
    EXPECT_EQ(delete_state(client, handles), (std::vector<int>{1, 1, 1}));
    stop();
    // The three query items went with the session.
    EXPECT_EQ(count_of(read_file(dir_.file("trace.log")), "remove_pointer_entry"), 4);
}

TEST_F(Sessions, AbandonedDeclaredSqlPagesHoldNoDescriptors) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data")});
    Client client(server_->port());
    std::string const admin = login(client, "admin");
    ASSERT_EQ(admin.size(), 16u);
    ASSERT_EQ(first_page(client, admin, "SELECT dbid FROM records").reason, 0);
    int const before = descriptors_of(server_->pid());
    for (int i = 0; i < 200; ++i) {
        Page page = first_page(client, admin, "SELECT dbid FROM records");
        ASSERT_EQ(page.reason, 0) << page.message;
        ASSERT_EQ(page.handle.size(), 16u);
    }
    EXPECT_LT(descriptors_of(server_->pid()), before + 10);
}

TEST_F(Sessions, IdleSessionsEndWithTheirItems) {
    start(trace_env(dir_, {"KX_SESSION_IDLE_SECONDS=1"}));
    Client client(server_->port());
    std::string const idle = login(client, "alice");
    ASSERT_EQ(idle.size(), 16u);
    Page page = first_page(client, idle);
    ASSERT_EQ(page.handle.size(), 16u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    // The next registry access ends the idle session; a later call naming it finds nothing.
    std::string const fresh = login(client, "bob");
    EXPECT_EQ(first_page(client, fresh).reason, 0);
    Page late = next_page(client, idle, page.handle);
    EXPECT_EQ(late.reason, 40);
    EXPECT_EQ(late.message, invalid_pointer); // the session itself is not found
    EXPECT_EQ(delete_state(client, {idle, page.handle}), (std::vector<int>{1, 1}));
    stop();
    EXPECT_GE(count_of(read_file(dir_.file("trace.log")), "remove_pointer_entry"), 2);
}

TEST_F(Sessions, PasswordGuessingIsRefusedAtOnceWhilePingsAreAnswered) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_LOGIN_WINDOW_SECONDS=10", "KX_LOGIN_FAILURES_PER_NAME=5",
           "KX_LOGIN_FAILURES_PER_PEER=1000"});
    Client attacker(server_->port());
    auto const t0 = Clock::now();
    // The window opens at the server's first failure, at the latest when its answer arrives.
    Clock::time_point window_opened;
    for (int i = 0; i < 5; ++i) {
        LoginOutcome guess = login_as(attacker, "alice", "guess" + std::to_string(i));
        if (i == 0) window_opened = Clock::now();
        EXPECT_TRUE(guess.failed);
        EXPECT_EQ(guess.reason, 47);
        EXPECT_NE(guess.message, too_many);
    }
    // Past the limit the right password is refused like a wrong one, before it is checked.
    LoginOutcome right = login_as(attacker, "alice", "alice");
    EXPECT_TRUE(right.failed);
    EXPECT_EQ(right.reason, 47);
    EXPECT_EQ(right.message, too_many);
    // Another name from the same peer is not refused for alice's failures.
    EXPECT_FALSE(login_as(attacker, "bob", "bob").failed);

    // Guessing on four connections while a well-behaved client pings.
    // They stop well inside the window, so that none of their failures opens a new one; the window
    // is long enough that a loaded machine still gets them going before that.
    Client friendly(server_->port());
    std::atomic<bool> done{false};
    std::atomic<int> tries{0}, refused{0};
    std::vector<std::thread> guessers;
    for (int t = 0; t < 4; ++t)
        guessers.emplace_back([&, t] {
            Client c(server_->port());
            for (int i = 0; i < 150 && Clock::now() < t0 + std::chrono::seconds(7); ++i) {
                ++tries;
                if (login_as(c, "alice", "g" + std::to_string(t * 1000 + i)).message == too_many) ++refused;
            }
            done = true;
        });
    auto slowest = Clock::duration::zero();
    int pings = 0;
    while (!done || pings == 0) {
        auto p0 = Clock::now();
        ASSERT_EQ(friendly.ping(), RPC_SUCCESS);
        slowest = std::max(slowest, Clock::now() - p0);
        ++pings;
    }
    for (auto &g : guessers) g.join();
    EXPECT_GT(pings, 0);
    EXPECT_LT(slowest, std::chrono::milliseconds(500));
    EXPECT_GT(tries, 0);
    EXPECT_EQ(refused, tries);

    // Once the window has passed the right password works again.
    std::this_thread::sleep_until(window_opened + std::chrono::milliseconds(10300));
    LoginOutcome after = login_as(friendly, "alice", "alice");
    EXPECT_FALSE(after.failed) << after.message;
}

TEST_F(Sessions, APeerPastItsLimitIsRefusedForEveryName) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_LOGIN_WINDOW_SECONDS=60", "KX_LOGIN_FAILURES_PER_PEER=4"});
    Client client(server_->port());
    for (int i = 0; i < 4; ++i) EXPECT_NE(login_as(client, "nobody" + std::to_string(i), "x").message, too_many);
    EXPECT_EQ(login_as(client, "carol", "carol").message, too_many);
    EXPECT_EQ(client.ping(), RPC_SUCCESS);
}

// Procedure 28: the databases a user may log on to, the password checked when `security` is set.
static LoginOutcome accessible_databases(Client &client, std::string const &user, std::string const &password,
                                         bool security) {
    Body b;
    b.u(0).i(7).s("KXDEMO").s(user).s(password).s("").i(security ? 1 : 0);
    return outcome_of(call(client, 28, b));
}

static std::string const login_failed = "TLQSV0775E This login is forbidden: Login failed for user 'alice'.";

TEST_F(Sessions, AccessibleDatabasesGuessesCountWithTheLoginsAndMeetTheirLimit) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_LOGIN_FAILURES_PER_PEER=1000"});
    Client attacker(server_->port());
    // The documented ten failures of a name, half through each procedure.
    for (int i = 0; i < 10; ++i) {
        LoginOutcome guess = i % 2 == 0 ? accessible_databases(attacker, "alice", "guess" + std::to_string(i), true)
                                        : login_as(attacker, "alice", "guess" + std::to_string(i));
        EXPECT_TRUE(guess.failed) << i;
        EXPECT_EQ(guess.reason, 47) << i;
        EXPECT_EQ(guess.message, login_failed) << i;
    }
    // Past them the right password is refused through either, before it is checked.
    for (bool listing : {true, false}) {
        LoginOutcome right =
            listing ? accessible_databases(attacker, "alice", "alice", true) : login_as(attacker, "alice", "alice");
        EXPECT_TRUE(right.failed) << listing;
        EXPECT_EQ(right.reason, 47) << listing;
        EXPECT_EQ(right.message, too_many) << listing;
    }
    // Without security the listing checks no password, so it is not limited.
    LoginOutcome unchecked = accessible_databases(attacker, "alice", "", false);
    EXPECT_FALSE(unchecked.failed) << unchecked.message;
    // bob's right password through the listing starts his count again, as a login does.
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(accessible_databases(attacker, "bob", "x", true).message.find("Too many"), std::string::npos);
    EXPECT_FALSE(accessible_databases(attacker, "bob", "bob", true).failed);
    for (int i = 0; i < 9; ++i) EXPECT_NE(login_as(attacker, "bob", "x").message, too_many) << i;
    EXPECT_FALSE(login_as(attacker, "bob", "bob").failed);
}

TEST_F(Sessions, EveryLoopbackAddressIsOnePeer) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_LOGIN_WINDOW_SECONDS=300", "KX_LOGIN_FAILURES_PER_PEER=8"});
    // Two made-up names from each of four addresses of the one host: its eight failures.
    int n = 0;
    for (char const *address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "::1"}) {
        Client client(server_->port(), address, 0);
        ASSERT_TRUE(client.ok()) << address;
        for (int i = 0; i < 2; ++i) EXPECT_NE(login_as(client, "nobody" + std::to_string(n++), "x").message, too_many);
    }
    for (char const *address : {"127.0.0.1", "127.0.0.9", "127.1.2.3", "::1"}) {
        Client client(server_->port(), address, 0);
        ASSERT_TRUE(client.ok()) << address;
        EXPECT_EQ(login_as(client, "carol", "carol").message, too_many) << address;
        EXPECT_EQ(accessible_databases(client, "carol", "carol", true).message, too_many) << address;
    }
}

TEST_F(Sessions, AFloodOfMadeUpNamesFromManyAddressesLeavesARealNameCounted) {
    // Peers are not what stops this flood: it is to fill the names' table, which once held 65536.
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_LOGIN_FAILURES_PER_PEER=1000000"});
    constexpr int threads = 8, addresses_per_thread = 85, names_per_address = 100; // 68000 names
    std::atomic<int> refused{0}, sent{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < threads; ++t)
        flood.emplace_back([&, t] {
            for (int a = 0; a < addresses_per_thread; ++a) {
                int const address = t * addresses_per_thread + a;
                std::string const from =
                    "127.0." + std::to_string(1 + address / 250) + "." + std::to_string(1 + address % 250);
                Client c(server_->port(), from.c_str(), 0);
                if (!c.ok()) return;
                for (int i = 0; i < names_per_address; ++i) {
                    ++sent;
                    if (login_as(c, "fresh" + std::to_string(address) + "-" + std::to_string(i), "x").message ==
                        too_many)
                        ++refused;
                }
            }
        });
    for (auto &f : flood) f.join();
    EXPECT_EQ(sent, threads * addresses_per_thread * names_per_address);
    EXPECT_EQ(refused, 0);
    // alice's failures still count: the documented ten, then the right password is refused.
    Client client(server_->port());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(login_as(client, "alice", "guess").message, login_failed) << i;
    EXPECT_EQ(login_as(client, "alice", "alice").message, too_many);
}

TEST_F(Sessions, AnotherConnectionFromTheSameAddressAndPortReleasesNothing) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data")});
    int port = 0;
    std::string alice, query;
    {
        // A port below those handed out for outgoing connections: once hers has ended, no other
        // process's connection takes it before the attacker binds it.
        Client victim(server_->port(), "127.0.0.1", free_port());
        ASSERT_TRUE(victim.ok());
        port = victim.local_port();
        alice = login(victim, "alice");
        ASSERT_EQ(alice.size(), 16u);
        Page page = first_page(victim, alice);
        ASSERT_EQ(page.reason, 0) << page.message;
        ASSERT_EQ(page.handle.size(), 16u);
        query = page.handle;
    }
    // Her connection has ended; the next one from her address and port is someone else's.
    Client attacker(server_->port(), "127.0.0.1", port);
    ASSERT_TRUE(attacker.ok());
    ASSERT_EQ(attacker.local_port(), port);
    EXPECT_EQ(delete_state(attacker, {query}), (std::vector<int>{1}));
    // Her item is still there for her.
    Client again(server_->port());
    Page next = next_page(again, alice, query);
    EXPECT_EQ(next.reason, 0) << next.message;
    EXPECT_EQ(next.handle, query);
    EXPECT_EQ(delete_state(again, {query}), (std::vector<int>{0}));
}

TEST_F(Sessions, SessionsPastTheBoundOfAUserOrTheServerAreRefused) {
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_SESSIONS_PER_USER=3", "KX_SESSIONS_MAX=5"});
    Client client(server_->port());
    std::vector<std::string> mine;
    for (int i = 0; i < 3; ++i) mine.push_back(login(client, "alice"));
    for (auto const &h : mine) ASSERT_EQ(h.size(), 16u);
    LoginOutcome fourth = login_as(client, "alice", "alice");
    EXPECT_TRUE(fourth.failed);
    EXPECT_EQ(fourth.reason, 47);
    EXPECT_EQ(fourth.message,
              "TLQSV0775E This login is forbidden: Too many sessions of this user; end one and try again.");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(login(client, "bob").size(), 16u);
    LoginOutcome full = login_as(client, "carol", "carol");
    EXPECT_EQ(full.message, "TLQSV0775E This login is forbidden: Too many sessions on this server; try again later.");
    // A refusal holds no session: the ones refused took no room, and an ended one makes room.
    EXPECT_EQ(delete_state(client, {mine[0]}), (std::vector<int>{0}));
    EXPECT_EQ(login(client, "alice").size(), 16u);
    EXPECT_EQ(login_as(client, "carol", "carol").message, full.message);
    EXPECT_EQ(client.ping(), RPC_SUCCESS);
}

namespace {

std::string const items_full =
    "TLQSV1103E Too many items held by this session (KX_SESSION_ITEMS, 3); release some and try again.";

// make_attachment of four bytes to a record's attachments: its handle, or its refusal.
Answer upload(Client &client, std::string const &session_handle) {
    Body body = session(session_handle).i(45).i(1).s("Defect").s("ISSUE00000003").s("Attachments");
    body.s("e2e.bin").s("bound").i(4).u(4).raw("abcd").u(0);
    return answer(call(client, 14, body), true);
}

// put_props of KX:is-active on a user, by an administrator's session: the value's outcome.
std::string put_active(Client &client, std::string const &admin, std::string const &user, bool active) {
    Body b = props_session(admin);
    b.i(47).i(1).s(user).i(1).i(246).i(100006).u(active ? 1 : 0).i(0).u(0).u(0);
    Reply r = call(client, 4, b);
    if (r.u() != 0) return "refused: " + r.error().second;
    bool const more = r.u() != 0, failed = r.u() != 0;
    return more && !failed ? "ok" : "value refused";
}

} // namespace

namespace {

// create_temp of a Defect for its Modify action: the record item's handle, or its refusal.
Answer edit(Client &client, std::string const &session_handle, std::string const &record) {
    Body b = session(session_handle);
    b.named(32, "Defect").s(record).u(1).i(40).i(1).s("Defect").s("Modify").u(0);
    return answer(call(client, 9, b), true);
}

// put_props of one string to a held record's Description: the value's outcome ("" when it was
// set), or the call's refusal.
std::string put_description(Client &client, std::string const &session_handle, std::string const &item,
                            std::string const &text) {
    Body b = props_session(session_handle);
    b.i(32).i(3).u(16).raw(item).i(1).i(1000000).i(100001).s(text).i(1).s("FLD:").s("Description").u(0).u(0);
    Reply r = call(client, 4, b);
    if (r.u() != 0) return "refused: " + r.error().second;
    if (r.u() == 0) return "no value";
    return r.u() == 0 ? std::string() : r.error().second;
}

// The resident set of a process, in bytes.
std::uint64_t resident_bytes(pid_t pid) {
    std::string const status = read_file("/proc/" + std::to_string(pid) + "/status");
    std::size_t const at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 6, nullptr, 10) * 1024;
}

} // namespace

TEST_F(Sessions, LargeUnsavedValuesOnManyRecordsMeetTheSessionsMemoryBound) {
    constexpr std::uint64_t MiB = 1 << 20, bound = 64 * MiB;
    // Under AddressSanitizer freed blocks wait in its quarantine (256 MiB) before they go back: keep
    // it small so the server's resident size shows what it holds, not what it freed.
    char const *asan = std::getenv("ASAN_OPTIONS");
    std::string const quarantine = "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=1";
    start(trace_env(dir_, {"KX_SESSION_MEMORY_BYTES=" + std::to_string(bound), quarantine}));
    Client client(server_->port());
    std::string const alice = login(client, "alice");
    ASSERT_EQ(alice.size(), 16u);
    std::string const description(8 * MiB, 'x');
    std::uint64_t const before = resident_bytes(server_->pid());
    ASSERT_GT(before, 0u);
    // One 8 MiB Description after another, each on a record of its own and never delivered.
    std::vector<std::string> items;
    std::string refusal;
    for (int n = 1; n <= 35 && refusal.empty(); ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "ISSUE%08d", n);
        Answer const item = edit(client, alice, name);
        if (item.failed) continue; // not a Defect
        std::string const outcome = put_description(client, alice, item.value, description);
        if (outcome.empty())
            items.push_back(item.value);
        else if (outcome.find("is read-only") == std::string::npos) // in a state that keeps it
            refusal = outcome;
    }
    // Every value held costs at least its 8 MiB, so fewer than eight fit; the put past the bound
    // names it.
    EXPECT_GE(items.size(), 4u);
    EXPECT_LT(items.size(), 8u);
    EXPECT_NE(std::string::npos, refusal.find("TLQSV1109E")) << refusal;
    EXPECT_NE(std::string::npos, refusal.find("(KX_SESSION_MEMORY_BYTES, 67108864)")) << refusal;
    // The server holds what it was charged for, not four bytes a character of every value.
    std::uint64_t const after = resident_bytes(server_->pid());
    EXPECT_LT(after - std::min(after, before), 3 * bound) << "grew from " << before << " to " << after;
    // Replacing a held value needs room for both while it is set: refused now, it fits once
    // another item has given its bytes back.
    ASSERT_GE(items.size(), 2u);
    std::string const other(8 * MiB, 'y');
    EXPECT_NE(std::string::npos, put_description(client, alice, items.back(), other).find("TLQSV1109E"));
    EXPECT_EQ(delete_state(client, {items.front()}), (std::vector<int>{0}));
    EXPECT_EQ(put_description(client, alice, items.back(), other), "");
}

TEST_F(Sessions, AQueryPageKeptPastTheSessionsMemoryBoundEndsTheQuery) {
    start(trace_env(dir_, {"KX_SESSION_MEMORY_BYTES=4096"}));
    Client client(server_->port());
    std::string const alice = login(client, "alice");
    ASSERT_EQ(alice.size(), 16u);
    // The result set's page and definition are more than 4 KiB: the page is not kept.
    Page const refused = first_page(client, alice);
    EXPECT_EQ(refused.reason, 40);
    EXPECT_EQ(refused.message, "TLQSV1109E Too many bytes held in memory by this session's items "
                               "(KX_SESSION_MEMORY_BYTES, 4096); release some and try again.");
    EXPECT_TRUE(refused.handle.empty());
    stop();
    // Nothing was registered for the refused query: only the session.
    EXPECT_EQ(count_of(read_file(dir_.file("trace.log")), "add_pointer_entry"), 1);
}

TEST_F(Sessions, ItemsPastTheSessionBoundAreRefusedAndHoldNothing) {
    start(trace_env(dir_, {"KX_SESSION_ITEMS=3"}));
    Client client(server_->port());
    std::string const alice = login(client, "alice"), bob = login(client, "bob");
    ASSERT_EQ(alice.size(), 16u);
    std::vector<std::string> const pages = open_pages(client, alice, 3);
    ASSERT_EQ(pages.size(), 3u);
    // One more of any kind is refused, naming the bound: a query page (known only once it ran)
    // and an upload (refused before its content is taken).
    Page const over = first_page(client, alice);
    EXPECT_EQ(over.reason, 47);
    EXPECT_EQ(over.message, items_full);
    Answer const refused = upload(client, alice);
    EXPECT_TRUE(refused.failed);
    EXPECT_EQ(refused.reason, 47);
    EXPECT_EQ(refused.message, items_full);
    // What the session holds serves on; another session has its own bound.
    EXPECT_EQ(next_page(client, alice, pages[0]).reason, 0);
    EXPECT_EQ(first_page(client, bob).reason, 0);
    // A released item makes room again.
    EXPECT_EQ(delete_state(client, {pages[0]}), (std::vector<int>{0}));
    Answer const taken = upload(client, alice);
    EXPECT_FALSE(taken.failed) << taken.message;
    EXPECT_EQ(upload(client, alice).message, items_full);
    stop();
    // Registered: two sessions, alice's three pages, bob's page and the upload; the refused calls
    // registered nothing.
    std::string const trace = read_file(dir_.file("trace.log"));
    EXPECT_EQ(count_of(trace, "add_pointer_entry"), 7);
    EXPECT_EQ(count_of(trace, "remove_pointer_entry"), 1);
}

TEST_F(Sessions, ASessionOfAUserMadeInactiveEndsAtItsNextCall) {
    start(trace_env(dir_));
    Client admin_client(server_->port()), dave_client(server_->port());
    std::string const admin = login(admin_client, "admin"), dave = login(dave_client, "dave");
    ASSERT_EQ(admin.size(), 16u);
    ASSERT_EQ(dave.size(), 16u);
    Page const page = first_page(dave_client, dave);
    ASSERT_EQ(page.handle.size(), 16u) << page.message;

    ASSERT_EQ(put_active(admin_client, admin, "dave", false), "ok");
    // His next call gets the error his login gets now, and his session ends with its items.
    LoginOutcome const login_refused = login_as(admin_client, "dave", "dave");
    ASSERT_TRUE(login_refused.failed);
    // The error record is a login failure's, with its database set (not read here).
    Body next_call = session(dave);
    next_call.i(1).u(1).u(16).raw(page.handle);
    LoginOutcome const next = outcome_of(call(dave_client, 7, next_call));
    EXPECT_TRUE(next.failed);
    EXPECT_EQ(next.reason, login_refused.reason);
    EXPECT_EQ(next.message, login_refused.message);
    EXPECT_EQ(next.reason, 47);
    EXPECT_EQ(next.message, "TLQSV0775E This login is forbidden: Login failed for user 'dave'.");
    EXPECT_EQ(first_page(dave_client, dave).message, invalid_pointer);
    EXPECT_EQ(delete_state(dave_client, {dave, page.handle}), (std::vector<int>{1, 1}));
    // Others serve on; made active again, he logs on anew.
    EXPECT_EQ(first_page(admin_client, admin).reason, 0);
    ASSERT_EQ(put_active(admin_client, admin, "dave", true), "ok");
    EXPECT_EQ(login(dave_client, "dave").size(), 16u);
    stop();
    // The session and its page were released at the refused call.
    EXPECT_EQ(count_of(read_file(dir_.file("trace.log")), "remove_pointer_entry"), 2);
}

// The shutdown procedure from the test host: 0 for RPC_SUCCESS, 1 for AUTH_TOOWEAK, 2 otherwise.
static int shutdown_from_host(TestHost const &host, int port) {
    return host.in_host([&] {
        auto const [status, why] = shutdown_from(host.server_address(), port);
        return status == RPC_SUCCESS ? 0 : (status == RPC_AUTHERROR && why == AUTH_TOOWEAK ? 1 : 2);
    });
}

TEST_F(Sessions, OnlyLoopbackPeersStopTheServer) {
    if (std::string const why = test_host_unavailable(); !why.empty()) GTEST_SKIP() << why;
    TestHost host(1);
    ASSERT_TRUE(host.ok()) << host.failure();
    start({"KX_PRODUCT_DATA=" + dir_.file("data")});
    EXPECT_EQ(shutdown_from_host(host, server_->port()), 1);
    EXPECT_TRUE(server_->running());
    Client client(server_->port());
    EXPECT_EQ(client.ping(), RPC_SUCCESS);
    EXPECT_EQ(shutdown_from("127.0.0.1", server_->port()).first, RPC_SUCCESS);
    EXPECT_EQ(0, server_->wait().status);
    server_.reset();
}

TEST_F(Sessions, RemoteStopsWhenAllowed) {
    if (std::string const why = test_host_unavailable(); !why.empty()) GTEST_SKIP() << why;
    TestHost host(2);
    ASSERT_TRUE(host.ok()) << host.failure();
    start({"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_ALLOW_REMOTE_SHUTDOWN=1"});
    EXPECT_EQ(shutdown_from_host(host, server_->port()), 0);
    EXPECT_EQ(0, server_->wait().status);
    server_.reset();
}
