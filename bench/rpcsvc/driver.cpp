// Load driver: libtirpc clients on N connections against the reference server (libtirpc's
// svc_run) and against the libwexrpcsvc server, in one run, with the ratio of the two.
//
//   rpcsvc_load_driver [-seconds S] [-rounds R] [-worker_threads N]
#include <rpc/rpc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr rpcprog_t kProg = 0x20049100;
using Clock = std::chrono::steady_clock;

template <class F>
xdrproc_t xp(F f)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

struct Child {
    pid_t pid = -1;
    unsigned short port = 0;
};

std::string own_dir()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = '\0';
    std::string s(buf);
    return s.substr(0, s.rfind('/'));
}

Child spawn(const std::vector<std::string>& argv)
{
    Child c;
    int fds[2];
    if (pipe(fds) != 0)
        return c;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&c.pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        c.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string line;
    char ch;
    while (c.pid > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n')
        line += ch;
    close(fds[0]);
    unsigned p = 0;
    if (std::sscanf(line.c_str(), "port=%u", &p) == 1)
        c.port = static_cast<unsigned short>(p);
    return c;
}

void stop(Child& c)
{
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        int st;
        waitpid(c.pid, &st, 0);
        c.pid = -1;
    }
}

// Calls per second over all connections.
double measure(unsigned short port, int conns, u_int usec, double seconds)
{
    std::atomic<long> calls{0}, errors{0};
    auto start = Clock::now() + std::chrono::milliseconds(200);  // connect first
    auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> ts;
    for (int i = 0; i < conns; ++i) {
        ts.emplace_back([&] {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            int sock = RPC_ANYSOCK;
            CLIENT* c = clnttcp_create(&a, kProg, 1, &sock, 0, 0);
            if (c == nullptr) {
                errors.fetch_add(1);
                return;
            }
            timeval tv{30, 0};
            while (Clock::now() < start)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            long n = 0;
            while (Clock::now() < end) {
                clnt_stat st;
                if (usec == 0) {
                    st = clnt_call(c, 0, xp(xdr_void), nullptr, xp(xdr_void), nullptr, tv);
                } else {
                    u_int in = usec, out = 0;
                    st = clnt_call(c, 1, xp(xdr_u_int), reinterpret_cast<caddr_t>(&in), xp(xdr_u_int),
                                   reinterpret_cast<caddr_t>(&out), tv);
                }
                if (st == RPC_SUCCESS)
                    ++n;
                else
                    errors.fetch_add(1);
            }
            calls.fetch_add(n);
            clnt_destroy(c);
        });
    }
    for (auto& t : ts)
        t.join();
    if (errors.load() != 0)
        std::fprintf(stderr, "  (%ld failed calls)\n", errors.load());
    return double(calls.load()) / seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 1.0;
    int rounds = 3;
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
    std::string dir = own_dir();
    Child ref = spawn({dir + "/rpcsvc_ref_server"});
    Child ours = spawn({dir + "/rpcsvc_ks_server", "-worker_threads", workers});
    if (ref.port == 0 || ours.port == 0) {
        std::fprintf(stderr, "servers did not start\n");
        stop(ref);
        stop(ours);
        return 1;
    }
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::printf("calls per second, best of %d rounds of %.1f s; libwexrpcsvc workers: %s (cores: %ld)\n",
                rounds, seconds, workers == "0" ? "default" : workers.c_str(), cores);
    std::printf("%-22s %14s %14s %8s %8s\n", "case", "svc_run", "libwexrpcsvc", "ratio", "target");
    struct Case {
        const char* name;
        int conns;
        u_int usec;
        double target;
    } cases[] = {
        {"1 conn, null", 1, 0, 1.0},
        {"1 conn, 1 ms", 1, 1000, 0.0},
        {"32 conns, null", 32, 0, 0.0},
        {"32 conns, 1 ms", 32, 1000, 4.0},
    };
    bool met = true;
    for (const Case& c : cases) {
        // Best of a few alternating rounds: other load on the machine only ever slows a round.
        double r = 0, o = 0;
        for (int round = 0; round < rounds; ++round) {
            r = std::max(r, measure(ref.port, c.conns, c.usec, seconds));
            o = std::max(o, measure(ours.port, c.conns, c.usec, seconds));
        }
        double ratio = r > 0 ? o / r : 0;
        char target[16] = "-";
        if (c.target > 0) {
            std::snprintf(target, sizeof target, ">=%.0f %s", c.target, ratio >= c.target ? "ok" : "MISS");
            met = met && ratio >= c.target;
        }
        std::printf("%-22s %14.0f %14.0f %8.2f %8s\n", c.name, r, o, ratio, target);
        std::fflush(stdout);
    }
    stop(ref);
    stop(ours);
    return met ? 0 : 2;
}
