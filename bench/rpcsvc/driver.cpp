// Load driver: raw clients against three servers in one run, rounds interleaved: a loopback echo
// (answers every call record with the reply bytes at once: the limit of the loopback), the
// reference server (libtirpc's svc_run) and the libwexrpcsvc server. Each case reports the median
// and spread of its rounds, its ratios to the echo and to svc_run, and the machine's load.
//
//   rpcsvc_load_driver [-seconds S] [-rounds R] [-worker_threads N]
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr std::uint32_t kProg = 0x20049100;
constexpr std::size_t kConnectionLimit = 4096; // the runtime's default connection limit
using Clock = std::chrono::steady_clock;

// ---- wire bytes ---------------------------------------------------------------------------

void put(std::vector<char> &v, std::uint32_t w) {
    w = htonl(w);
    const char *p = reinterpret_cast<const char *>(&w);
    v.insert(v.end(), p, p + 4);
}

std::uint32_t get(const char *p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return ntohl(w);
}

// One call record: procedure 0 (null) or 1 (sleep usec).
std::vector<char> call_record(std::uint32_t xid, std::uint32_t usec) {
    std::vector<char> v;
    put(v, 0x80000000u | (usec == 0 ? 40u : 44u));
    for (std::uint32_t w : {xid, 0u, 2u, kProg, 1u, usec == 0 ? 0u : 1u, 0u, 0u, 0u, 0u}) put(v, w);
    if (usec != 0) put(v, usec);
    return v;
}

// The reply of a null call: accepted, success, no results.
void put_reply(std::vector<char> &v, std::uint32_t xid) {
    put(v, 0x80000000u | 24u);
    for (std::uint32_t w : {xid, 1u, 0u, 0u, 0u, 0u}) put(v, w);
}

// Moves all n bytes to or from the peer; false when it is gone.
bool transfer_all(int fd, char *p, std::size_t n, bool sending) {
    while (n > 0) {
        ssize_t k = sending ? send(fd, p, n, MSG_NOSIGNAL) : recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= std::size_t(k);
    }
    return true;
}

bool send_all(int fd, const char *p, std::size_t n) { return transfer_all(fd, const_cast<char *>(p), n, true); }

bool recv_all(int fd, char *p, std::size_t n) { return transfer_all(fd, p, n, false); }

// Reads `count` reply records; false on a short stream or a reply out of order.
bool read_replies(int fd, std::uint32_t first_xid, std::size_t count) {
    char head[8];
    std::vector<char> rest;
    for (std::size_t i = 0; i < count; ++i) {
        if (!recv_all(fd, head, 8)) return false;
        std::uint32_t len = get(head) & 0x7fffffffu;
        if (len < 4 || get(head + 4) != first_xid + i) return false;
        rest.resize(len - 4);
        if (!recv_all(fd, rest.data(), rest.size())) return false;
    }
    return true;
}

int connect_to(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// ---- the loopback echo ----------------------------------------------------------------------

void echo_connection(int fd) {
    std::vector<char> in(65536), out;
    std::size_t have = 0;
    for (;;) {
        ssize_t n = recv(fd, in.data() + have, in.size() - have, 0);
        if (n <= 0) break;
        have += std::size_t(n);
        std::size_t at = 0;
        out.clear();
        while (have - at >= 8) {
            std::size_t len = get(in.data() + at) & 0x7fffffffu;
            if (have - at < 4 + len) break;
            put_reply(out, get(in.data() + at + 4));
            at += 4 + len;
        }
        std::memmove(in.data(), in.data() + at, have - at);
        have -= at;
        if (!out.empty() && !send_all(fd, out.data(), out.size())) break;
    }
    close(fd);
}

int echo_main() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 1;
    std::printf("port=%u\n", unsigned(ntohs(a.sin_port)));
    std::fflush(stdout);
    for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) continue;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(echo_connection, c).detach();
    }
}

// ---- servers --------------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    unsigned short port = 0;
};

std::string own_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./rpcsvc_load_driver";
    buf[n] = '\0';
    return buf;
}

Child spawn(const std::vector<std::string> &argv) {
    Child c;
    int fds[2];
    if (pipe(fds) != 0) return c;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&c.pid, args[0], &fa, nullptr, args.data(), environ) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string line;
    char ch;
    while (c.pid > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n') line += ch;
    close(fds[0]);
    unsigned p = 0;
    if (std::sscanf(line.c_str(), "port=%u", &p) == 1) c.port = static_cast<unsigned short>(p);
    return c;
}

void stop(Child &c) {
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        int st;
        waitpid(c.pid, &st, 0);
        c.pid = -1;
    }
}

int open_descriptors(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long v = 0;
            in >> v;
            return v;
        }
        in.ignore(1 << 20, '\n');
    }
    return -1;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double load_now() {
    std::ifstream in("/proc/loadavg");
    double one = -1;
    in >> one;
    return one;
}

// ---- load -----------------------------------------------------------------------------------

// Calls per second over `conns` connections, each sending a call and reading its reply; with
// `batch` above 1, each connection writes `batch` calls at once and then reads their replies.
double calls_per_second(unsigned short port, int conns, std::uint32_t usec, int batch, double seconds) {
    std::atomic<long> calls{0}, failures{0};
    auto start = Clock::now() + std::chrono::milliseconds(100); // connect first
    auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> ts;
    for (int i = 0; i < conns; ++i) {
        ts.emplace_back([&] {
            int fd = connect_to(port);
            if (fd < 0) {
                failures.fetch_add(1);
                return;
            }
            std::vector<char> wire;
            std::uint32_t xid = 1;
            while (Clock::now() < start) std::this_thread::sleep_for(std::chrono::microseconds(100));
            long n = 0;
            while (Clock::now() < end) {
                wire.clear();
                for (int k = 0; k < batch; ++k) {
                    std::vector<char> one = call_record(xid + std::uint32_t(k), usec);
                    wire.insert(wire.end(), one.begin(), one.end());
                }
                if (!send_all(fd, wire.data(), wire.size()) || !read_replies(fd, xid, std::size_t(batch))) {
                    failures.fetch_add(1);
                    break;
                }
                xid += std::uint32_t(batch);
                n += batch;
            }
            calls.fetch_add(n);
            close(fd);
        });
    }
    for (auto &t : ts) t.join();
    if (failures.load() != 0) std::fprintf(stderr, "  (%ld connections failed)\n", failures.load());
    return double(calls.load()) / seconds;
}

struct Storm {
    double connects_per_second = 0;
    int peak = 0;       // most connections the server held open at once
    long rss_after = 0; // KiB, a moment after the storm
};

// 16 clients connect and reset as fast as they can while the server's descriptors are counted.
Storm storm(const Child &server, double seconds) {
    Storm s;
    int base = open_descriptors(server.pid);
    std::atomic<bool> on{true};
    std::atomic<long> connects{0};
    std::thread watch([&] {
        while (on.load()) s.peak = std::max(s.peak, open_descriptors(server.pid) - base);
    });
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> ts;
    for (int i = 0; i < 16; ++i) {
        ts.emplace_back([&] {
            long n = 0;
            while (Clock::now() < end) {
                int fd = connect_to(server.port);
                if (fd >= 0) {
                    // Closed with a reset: no TIME_WAIT, so the storm is not held back by
                    // the client's ports.
                    struct linger lg {
                        1, 0
                    };
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                    close(fd);
                    ++n;
                }
            }
            connects.fetch_add(n);
        });
    }
    for (auto &t : ts) t.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last closes arrive
    on.store(false);
    watch.join();
    s.connects_per_second = double(connects.load()) / seconds;
    s.rss_after = rss_kib(server.pid);
    return s;
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread spread_of(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.low = v.front();
    s.high = v.back();
    return s;
}

std::string show(const Spread &s) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.0f (%.0f..%.0f)", s.median, s.low, s.high);
    return buf;
}

std::size_t connection_limit() {
    std::size_t limit = kConnectionLimit;
    if (const char *v = std::getenv("KS_MAX_CONNECTIONS"); v != nullptr && std::atoll(v) > 0)
        limit = std::size_t(std::atoll(v));
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        limit = std::max<std::size_t>(1, std::min<std::size_t>(limit, rl.rlim_cur / 2));
    return limit;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "-echo") == 0) return echo_main();
    double seconds = 1.0;
    int rounds = 5;
    std::string workers = "0";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-seconds") == 0)
            seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "-rounds") == 0)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "-worker_threads") == 0)
            workers = argv[++i];
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::string self = own_path();
    std::string dir = self.substr(0, self.rfind('/'));
    Child echo = spawn({self, "-echo"});
    Child ref = spawn({dir + "/rpcsvc_ref_server"});
    Child ours = spawn({dir + "/rpcsvc_ks_server", "-worker_threads", workers});
    if (echo.port == 0 || ref.port == 0 || ours.port == 0) {
        std::fprintf(stderr, "servers did not start\n");
        stop(echo);
        stop(ref);
        stop(ours);
        return 1;
    }
    std::printf("load average at start: %s; cores: %ld; libwexrpcsvc workers: %s\n", load_average().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), workers == "0" ? "default" : workers.c_str());
    std::printf("calls per second: median (min..max) of %d interleaved rounds of %.1f s\n", rounds, seconds);
    std::printf("%-20s %-26s %-26s %-26s %6s %8s %5s  %s\n", "case", "loopback echo", "svc_run", "libwexrpcsvc",
                "/echo", "/svc_run", "load", "target");
    struct Case {
        const char *name;
        int conns;
        std::uint32_t usec;
        int batch;
        double to_echo; // targets as ratios; 0: none
        double to_ref;
    } cases[] = {
        {"1 conn, null", 1, 0, 1, 0, 0},
        {"32 conns, null", 32, 0, 1, 0.7, 0},
        {"pipelined 1000", 1, 0, 1000, 0, 1.0},
        {"32 conns, 1 ms", 32, 1000, 1, 0, 4.0},
    };
    bool met = true;
    for (const Case &c : cases) {
        double load = load_now();
        std::vector<double> e, r, o;
        for (int round = 0; round < rounds; ++round) {
            if (c.usec == 0) // the echo does no work: no limit for calls that sleep
                e.push_back(calls_per_second(echo.port, c.conns, c.usec, c.batch, seconds));
            r.push_back(calls_per_second(ref.port, c.conns, c.usec, c.batch, seconds));
            o.push_back(calls_per_second(ours.port, c.conns, c.usec, c.batch, seconds));
        }
        Spread se = spread_of(e), sr = spread_of(r), so = spread_of(o);
        double to_echo = se.median > 0 ? so.median / se.median : 0;
        double to_ref = sr.median > 0 ? so.median / sr.median : 0;
        std::string target = "-";
        if (c.to_echo > 0 || c.to_ref > 0) {
            bool ok = c.to_echo > 0 ? to_echo >= c.to_echo : to_ref >= c.to_ref;
            char t[48];
            std::snprintf(t, sizeof t, "%s >= %.1f %s", c.to_echo > 0 ? "/echo" : "/svc_run",
                          c.to_echo > 0 ? c.to_echo : c.to_ref, ok ? "ok" : "MISS");
            target = t;
            met = met && ok;
        }
        char te[16] = "-";
        if (se.median > 0) std::snprintf(te, sizeof te, "%.2f", to_echo);
        std::printf("%-20s %-26s %-26s %-26s %6s %8.2f %5.2f  %s\n", c.name, se.median > 0 ? show(se).c_str() : "-",
                    show(sr).c_str(), show(so).c_str(), te, to_ref, load, target.c_str());
        std::fflush(stdout);
    }

    // Connect/close storm: the most connections each server held, and its memory afterwards.
    double load = load_now();
    long rss_before_ref = rss_kib(ref.pid), rss_before_ours = rss_kib(ours.pid);
    std::vector<double> rate_ref, rate_ours;
    int peak_ref = 0, peak_ours = 0;
    long rss_ref = 0, rss_ours = 0;
    for (int round = 0; round < rounds; ++round) {
        Storm a = storm(ref, seconds);
        Storm b = storm(ours, seconds);
        rate_ref.push_back(a.connects_per_second);
        rate_ours.push_back(b.connects_per_second);
        peak_ref = std::max(peak_ref, a.peak);
        peak_ours = std::max(peak_ours, b.peak);
        rss_ref = a.rss_after;
        rss_ours = b.rss_after;
    }
    std::size_t limit = connection_limit();
    bool storm_ok = std::size_t(peak_ours) <= limit;
    met = met && storm_ok;
    std::printf("%-20s connects per second %s (svc_run %s); load %.2f\n", "connect/close storm",
                show(spread_of(rate_ours)).c_str(), show(spread_of(rate_ref)).c_str(), load);
    std::printf("%-20s peak open connections %d (svc_run %d), limit %zu %s; RSS after %ld KiB (before %ld; "
                "svc_run %ld, before %ld)\n",
                "", peak_ours, peak_ref, limit, storm_ok ? "ok" : "MISS", rss_ours, rss_before_ours, rss_ref,
                rss_before_ref);
    std::printf("load average at end: %s\n", load_average().c_str());
    stop(echo);
    stop(ref);
    stop(ours);
    return met ? 0 : 2;
}
