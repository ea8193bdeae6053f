// Options, their messages and the start-up steps before the service loop, in-process; what needs
// a server process of its own is in tests/e2e/startup_test.cpp.
#include "core/crash.h"
#include "core/dispatch.h"
#include "core/options.h"
#include "core/shutdown.h"
#include "core/startup.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "ks_rpcsvc.h"
#include "support/host.h"

using namespace KxRpc;

// Whole decimal numbers only: an optional "-" and digits, nothing around them, within 32 bits.
TEST(ParseInteger, TakesWholeDecimalNumbersOnly) {
    struct Case {
        char const *text;
        bool ok;
        int value;
    };
    Case const cases[] = {
        {"42", true, 42},
        {"0", true, 0},
        {"-17", true, -17},
        {"010", true, 10}, // decimal, not octal
        {"-0", true, 0},
        {"2147483647", true, INT_MAX},
        {"-2147483648", true, INT_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999", false, 0},
        {" 80", false, 0},
        {"\t80", false, 0},
        {"+2346", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"--1", false, 0},
        {"- 1", false, 0},
        {"-+1", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {"abc", false, 0},
        {"12x", false, 0},
        {"7 ", false, 0},
        {"0x1F", false, 0},
        {"1.5", false, 0},
        {"1e3", false, 0},
    };
    for (auto const &c : cases) {
        int v = 5;
        EXPECT_EQ(c.ok, parse_integer(c.text, v)) << '"' << c.text << '"';
        EXPECT_EQ(c.ok ? c.value : 5, v) << '"' << c.text << '"';
    }
}

TEST(ParsePort, TakesZeroTo65535Only) {
    int v = 5;
    EXPECT_TRUE(parse_port("0", v));
    EXPECT_EQ(0, v);
    EXPECT_TRUE(parse_port("65535", v));
    EXPECT_EQ(65535, v);
    for (char const *bad : {"65536", "70000", "-1", "12x", ""}) {
        EXPECT_FALSE(parse_port(bad, v)) << bad;
        EXPECT_EQ(65535, v) << bad;
    }
}

namespace {
int parse(std::vector<std::string> args) {
    settings() = Settings{};
    std::vector<char *> argv{const_cast<char *>("kxrpc")};
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()) + 1, argv.data());
}
} // namespace

TEST(Options, DefaultsWithoutArguments) {
    ASSERT_EQ(0, parse({}));
    Settings const &s = settings();
    EXPECT_EQ(0, s.port);
    EXPECT_EQ(0, s.worker_threads);
    EXPECT_EQ(0, s.arm_level);
    EXPECT_TRUE(s.sigterm_handler);
    EXPECT_FALSE(s.just_exit);
    EXPECT_EQ(0, s.test_crash);
    EXPECT_EQ(0, s.on_error);
    EXPECT_EQ(-1, s.crash_handler_bits);
    EXPECT_FALSE(s.verbose);
    EXPECT_EQ(0, s.crash_dump_level);
    EXPECT_EQ(10, s.crash_dump_limit);
}

TEST(Options, EveryOptionSetsItsSetting) {
    ASSERT_EQ(0, parse({"-port",
                        "2345",
                        "-team_bin",
                        "/opt/team/bin",
                        "-worker_threads",
                        "6",
                        "-arm",
                        "4",
                        "-no_sig_handler",
                        "-just_exit",
                        "-test_crash",
                        "3",
                        "-on_error",
                        "2",
                        "-win_crash_handler",
                        "18",
                        "-verbose",
                        "-create_crash_dump",
                        "2",
                        "-max_crash_dump_count",
                        "0"}));
    Settings const &s = settings();
    EXPECT_EQ(2345, s.port);
    EXPECT_EQ("/opt/team/bin", s.team_bin);
    EXPECT_EQ(6, s.worker_threads);
    EXPECT_EQ(4, s.arm_level);
    EXPECT_FALSE(s.sigterm_handler);
    EXPECT_TRUE(s.just_exit);
    EXPECT_EQ(3, s.test_crash);
    EXPECT_EQ(2, s.on_error);
    EXPECT_EQ(18, s.crash_handler_bits);
    EXPECT_TRUE(s.verbose);
    EXPECT_EQ(2, s.crash_dump_level);
    EXPECT_EQ(0, s.crash_dump_limit);
}

TEST(Options, TheLastValueWinsAndArmBoundsAreInclusive) {
    ASSERT_EQ(0, parse({"-port", "1", "-port", "65535", "-arm", "0"}));
    EXPECT_EQ(65535, settings().port);
    EXPECT_EQ(0, settings().arm_level);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, parse({"-arm", "5"}));
    EXPECT_EQ("ARM level must be between 0 (ARM_NONE) and 4 (ARM_VERBOSE)", testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, parse({"-worker_threads", "1", "-worker_threads"}));
    EXPECT_EQ("Must specify a number with -worker_threads option", testing::internal::GetCapturedStderr());
}

TEST(Options, UpfrontValidationFlagIsReadThroughItsAccessor) {
    settings().upfront_validation = true;
    EXPECT_TRUE(upfront_validation_enabled());
    settings().upfront_validation = false;
    EXPECT_FALSE(upfront_validation_enabled());
}

// The program as its main runs it, in a forked child: exit status as the shell shows it and both
// standard streams. Only start-ups that end before the service loop are run this way.
namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// `after` runs in the child once start_rpc_program has returned; its result is the exit status.
Outcome run_program(
    std::vector<std::string> args, std::vector<std::pair<char const *, std::string>> env = {},
    std::function<int(int)> after = [](int rc) { return rc; }) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (auto const &[name, value] : env) ::setenv(name, value.c_str(), 1);
        settings() = Settings{};
        std::vector<char *> argv{const_cast<char *>("kxrpc")};
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int status = after(start_rpc_program(static_cast<int>(args.size()) + 1, argv.data()));
        exit_now(status);
    }
    ::close(out[1]);
    ::close(err[1]);
    // The outputs are small: the child never blocks on a full pipe.
    Outcome o;
    int status = 0;
    ::waitpid(pid, &status, 0);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = drain(out[0]);
    o.err = drain(err[0]);
    return o;
}

std::string temp_path(std::string const &name) {
    return kxtest::temp_dir() + "/" + name + "_" + std::to_string(::getpid());
}

std::string read_text(std::string const &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using kxtest::ipv6_loopback_available;

// A port held by listeners of both families (where the host has IPv6), without address reuse,
// so that the server's listeners cannot bind it.
class TakenPort {
public:
    TakenPort() {
        for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
            int v4 = listen_on(AF_INET, 0);
            if (v4 < 0) continue;
            int p = bound_port(v4);
            int v6 = ipv6_loopback_available() ? listen_on(AF_INET6, p) : -2;
            if (v6 == -1) {
                ::close(v4);
                continue;
            }
            sockets_ = {v4, v6};
            port_ = p;
        }
    }
    ~TakenPort() {
        for (int s : sockets_)
            if (s >= 0) ::close(s);
    }
    int port() const { return port_; }

private:
    static int listen_on(int family, int port) {
        int sock = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage a{};
        socklen_t length;
        if (family == AF_INET6) {
            int on = 1;
            ::setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
            a6->sin6_family = AF_INET6;
            a6->sin6_port = htons(static_cast<std::uint16_t>(port));
            length = sizeof(sockaddr_in6);
        } else {
            auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
            a4->sin_family = AF_INET;
            a4->sin_port = htons(static_cast<std::uint16_t>(port));
            length = sizeof(sockaddr_in);
        }
        if (sock < 0 || ::bind(sock, reinterpret_cast<sockaddr *>(&a), length) != 0 || ::listen(sock, 1) != 0) {
            if (sock >= 0) ::close(sock);
            return -1;
        }
        return sock;
    }
    static int bound_port(int sock) {
        sockaddr_in a{};
        socklen_t length = sizeof a;
        ::getsockname(sock, reinterpret_cast<sockaddr *>(&a), &length);
        return ntohs(a.sin_port);
    }
    std::vector<int> sockets_;
    int port_ = 0;
};

// A ping (procedure 0) over a libtirpc client on the loopback address of the family.
bool ping_loopback(int family, int port) {
    sockaddr_storage a{};
    socklen_t length;
    if (family == AF_INET6) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<std::uint16_t>(port));
        a6->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<std::uint16_t>(port));
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    }
    int sock = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0 || ::connect(sock, reinterpret_cast<sockaddr *>(&a), length) != 0) {
        if (sock >= 0) ::close(sock);
        return false;
    }
    netbuf address{length, length, &a};
    CLIENT *client = clnt_vc_create(sock, &address, kxrpc_program, kxrpc_version, 0, 0);
    bool answered = false;
    if (client) {
        timeval tv{10, 0};
        auto none = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
        answered = clnt_call(client, 0, none, nullptr, none, nullptr, tv) == RPC_SUCCESS;
        clnt_destroy(client);
    }
    ::close(sock);
    return answered;
}

struct ErrorCase {
    std::vector<std::string> args;
    std::string err;
};

} // namespace

TEST(Program, EveryOptionErrorHasItsExactMessageAndStatusMinusOne) {
    std::vector<ErrorCase> const cases = {
        {{"-port"}, "Must specify a number with -port option"},
        {{"-port", "abc"}, "Must specify a valid integer with -port option: abc"},
        {{"-port", "99999999999"}, "Must specify a valid integer with -port option: 99999999999"},
        {{"-port", "12x"}, "Must specify a valid integer with -port option: 12x"},
        {{"-port", "70000"}, "Must specify a valid integer with -port option: 70000"},
        {{"-port", "65536"}, "Must specify a valid integer with -port option: 65536"},
        {{"-port", "-1"}, "Must specify a valid integer with -port option: -1"},
        {{"-team_bin"}, "Must specify full team/bin directory with -team_bin option"},
        {{"-worker_threads"}, "Must specify a number with -worker_threads option"},
        {{"-worker_threads", "x1"}, "Must specify a valid integer with -worker_threads option: x1"},
        {{"-worker_threads", "2x"}, "Must specify a valid integer with -worker_threads option: 2x"},
        {{"-worker_threads", "0"}, "worker thread count must be greater than zero"},
        {{"-worker_threads", "-3"}, "worker thread count must be greater than zero"},
        {{"-arm"}, "Must specify number with -arm option"},
        {{"-arm", "z"}, "Must specify a valid integer with -arm option: z"},
        {{"-arm", "3abc"}, "Must specify a valid integer with -arm option: 3abc"},
        {{"-arm", "5"}, "ARM level must be between 0 (ARM_NONE) and 4 (ARM_VERBOSE)"},
        {{"-arm", "-1"}, "ARM level must be between 0 (ARM_NONE) and 4 (ARM_VERBOSE)"},
        {{"-test_crash"}, "Must specify number with -test_crash option"},
        {{"-test_crash", "q"}, "Must specify a valid integer with -test_crash option: q"},
        {{"-on_error"}, "Must specify number with -on_error option"},
        {{"-on_error", ""}, "Must specify a valid integer with -on_error option: "},
        {{"-win_crash_handler"}, "Must specify number with -win_crash_handler option"},
        {{"-win_crash_handler", "-"}, "Must specify a valid integer with -win_crash_handler option: -"},
        {{"-create_crash_dump"}, "Must specify number with -create_crash_dump option"},
        {{"-create_crash_dump", "two"}, "Must specify a valid integer with -create_crash_dump option: two"},
        {{"-max_crash_dump_count"}, "Must specify number with -max_crash_dump_count option"},
        {{"-max_crash_dump_count", "+"}, "Must specify a valid integer with -max_crash_dump_count option: +"},
        {{"-max_crash_dump_count", "7 "}, "Must specify a valid integer with -max_crash_dump_count option: 7 "},
        {{"-port", " 80"}, "Must specify a valid integer with -port option:  80"},
        {{"-port", "+2346"}, "Must specify a valid integer with -port option: +2346"},
        {{"-worker_threads", " 2"}, "Must specify a valid integer with -worker_threads option:  2"},
        {{"-arm", "+3"}, "Must specify a valid integer with -arm option: +3"},
        {{"-max_crash_dump_count", "  7"}, "Must specify a valid integer with -max_crash_dump_count option:   7"},
        {{"-install_service", "-port", "+2346"}, "Must specify a valid integer with -port option: +2346"},
        {{"-bogus"}, "Unrecognized argument: -bogus"},
        {{"-PORT", "1"}, "Unrecognized argument: -PORT"},
        {{"-verbose", "-no_sig_handler", "-just_exit", "stray"}, "Unrecognized argument: stray"},
        {{"-sso_password"}, "Must specify a SSO password.\n"},
        {{"-sso_password", std::string(29, 'p')}, "The SSO password must be at least 30 characters in length.\n"},
        // The service's port is read before the service manager is reached.
        {{"-install_service", "-port"}, "Must specify a number with -port option"},
        {{"-install_service", "-port", "x"}, "Must specify a valid integer with -port option: x"},
        {{"-install_service", "-port", "70000"}, "Must specify a valid integer with -port option: 70000"},
        {{"-start_service", "-port", "2345z"}, "Must specify a valid integer with -port option: 2345z"},
    };
    for (auto const &c : cases) {
        std::string shown;
        for (auto const &a : c.args) shown += a + " ";
        Outcome o = run_program(c.args);
        EXPECT_EQ(255, o.status) << shown;
        EXPECT_EQ(c.err, o.err) << shown;
        EXPECT_EQ("", o.out) << shown;
    }
}

TEST(Program, HelpPrintsTheUsageAndEndsWithZero) {
    Outcome o = run_program({"-help"});
    EXPECT_EQ(0, o.status);
    EXPECT_EQ("\nUsage:\n\nkxrpc.exe -install_service [-port PORT]\n\nkxrpc.exe -remove_service\n\n"
              "kxrpc -sso_password PASSWORD\n",
              o.err);
    EXPECT_EQ("", o.out);
}

// Modes and levels past the ones with a meaning of their own are taken: -on_error 3 is mode 0,
// -create_crash_dump 3 a normal dump (tests/e2e/crash_test.cpp).
TEST(Options, OnErrorAndDumpLevelTakeAnyNumber) {
    ASSERT_EQ(0, parse({"-on_error", "3", "-create_crash_dump", "3"}));
    EXPECT_EQ(3, settings().on_error);
    EXPECT_EQ(3, settings().crash_dump_level);
    ASSERT_EQ(0, parse({"-on_error", "-1", "-create_crash_dump", "-2", "-win_crash_handler", "-1"}));
    EXPECT_EQ(-1, settings().on_error);
    EXPECT_EQ(-2, settings().crash_dump_level);
    EXPECT_EQ(-1, settings().crash_handler_bits);
}

TEST(Program, PortTakenOnBothFamiliesEndsWithMinusOneAndSaysWhy) {
    TakenPort taken;
    ASSERT_NE(0, taken.port());
    Outcome o = run_program({"-port", std::to_string(taken.port())});
    EXPECT_EQ(255, o.status);
    EXPECT_EQ("", o.out);
    EXPECT_EQ("Cannot listen on port " + std::to_string(taken.port()) + ": Address already in use\n", o.err);
}

// The table is built and checked before the listeners, with or without -arm: a table that
// cannot be built ends the start rather than the first call of a serving process.
TEST(Program, AStartWithoutArmHasBuiltTheProcedureTableBeforeItListens) {
    // The child starts from this process's state: no table yet.
    ASSERT_FALSE(procedure_table_built());
    TakenPort taken;
    ASSERT_NE(0, taken.port());
    auto built = [](int rc) { return rc == -1 ? (procedure_table_built() ? 1 : 2) : 99; };
    EXPECT_EQ(1, run_program({"-port", std::to_string(taken.port())}, {}, built).status);
    EXPECT_EQ(1, run_program({"-arm", "1", "-port", std::to_string(taken.port())}, {}, built).status);
    std::string problem;
    EXPECT_TRUE(build_procedure_table(problem)) << problem;
    EXPECT_EQ("", problem);
    EXPECT_TRUE(procedure_table_built());
}

// What the start cannot use is said, not dropped: a worker count above the runtime's bound and
// a KX_DIAG it cannot read. (The port is taken, so the start ends right after.)
TEST(Program, TooManyWorkersAndAnUnreadableDiagAreSaid) {
    TakenPort taken;
    ASSERT_NE(0, taken.port());
    std::string const port = std::to_string(taken.port());
    std::string const busy = "Cannot listen on port " + port + ": Address already in use\n";
    Outcome o = run_program({"-worker_threads", "5000", "-port", port});
    EXPECT_EQ(255, o.status);
    EXPECT_EQ("-worker_threads 5000 is more than the runtime runs; using 1024\n" + busy, o.err);
    o = run_program({"-worker_threads", "1024", "-port", port}, {{"KX_DIAG", "7=two"}});
    EXPECT_EQ(255, o.status);
    EXPECT_EQ("Cannot read KX_DIAG \"7=two\": entries from the first unreadable one on are ignored\n" + busy, o.err);
}

// Read before the listeners are made, so a start that cannot listen still shows the setting.
TEST(Program, UpfrontValidationIsOnOnlyForOneAndIsTraced) {
    TakenPort taken;
    ASSERT_NE(0, taken.port());
    std::string const trace_file = temp_path("kxrpc_options_trace");
    for (auto const &[value, flag] : std::vector<std::pair<std::string, char const *>>{
             {"1", "T"}, {"01", "T"}, {"2", "F"}, {"word", "F"}, {"", "F"}}) {
        ::unlink(trace_file.c_str());
        Outcome o =
            run_program({"-port", std::to_string(taken.port())},
                        {{"VEXHUB_UPFRONT_REC_REF_VALIDATE", value}, {"KX_DIAG", "66=1"}, {"KX_DIAG_FILE", trace_file}},
                        [](int rc) { return rc == -1 ? (upfront_validation_enabled() ? 1 : 0) : 99; });
        EXPECT_EQ(*flag == 'T' ? 1 : 0, o.status) << value;
        std::string const trace = read_text(trace_file);
        EXPECT_NE(std::string::npos, trace.find("VEXHUB_UPFRONT_REC_REF_VALIDATE env is set to (" + value + ")"))
            << trace;
        EXPECT_NE(std::string::npos, trace.find(std::string("do_upfrount_record_ref_validation = ") + flag)) << trace;
    }
    ::unlink(trace_file.c_str());
}

// The handlers are in place before the listeners; -no_sig_handler leaves SIGTERM its default.
TEST(Program, SigintIsAlwaysHandledAndSigtermUnlessNoSigHandler) {
    TakenPort taken;
    ASSERT_NE(0, taken.port());
    auto handlers = [](int rc) {
        struct sigaction on_int {
        }, on_term{};
        ::sigaction(SIGINT, nullptr, &on_int);
        ::sigaction(SIGTERM, nullptr, &on_term);
        int const interrupt = on_int.sa_handler == stprpc_interrupt ? 1 : 0;
        int const terminate = on_term.sa_handler == stprpc_interrupt ? 2 : on_term.sa_handler == SIG_DFL ? 0 : 4;
        return rc == -1 ? interrupt + terminate : 99;
    };
    EXPECT_EQ(3, run_program({"-port", std::to_string(taken.port())}, {}, handlers).status);
    EXPECT_EQ(1, run_program({"-no_sig_handler", "-port", std::to_string(taken.port())}, {}, handlers).status);
}

// Both listeners take the port the first one was given, and a fixed port is bound again right
// after the listeners of a previous run are gone. The port lies below those the system hands out,
// so no other process's client or server takes it in between.
TEST(Listeners, BothFamiliesShareThePortAndAFixedPortIsBoundAgain) {
    bool const ipv6 = ipv6_loopback_available();
    int const family = ipv6 ? AF_INET6 : AF_INET;
    std::int32_t const fixed = kxtest::free_fixed_port();
    ASSERT_NE(0, fixed);
    int mode = 1, threads = 2;
    ks_rpc_control(KS_RPC_SVC_MTMODE, &mode);
    ks_rpc_control(KS_RPC_SVC_THREADS_SET, &threads);
    for (int run = 0; run < 2; ++run) {
        std::int32_t port = fixed;
        int first = create_listener(family, port);
        ASSERT_GE(first, 0) << run;
        EXPECT_EQ(fixed, port);
        int second = ipv6 ? create_listener(AF_INET, port) : -1;
        if (ipv6) {
            ASSERT_GE(second, 0) << port;
        }
        std::thread loop([] { ks_svc_run(); });
        EXPECT_TRUE(ping_loopback(AF_INET, port)) << port;
        if (ipv6) {
            EXPECT_TRUE(ping_loopback(AF_INET6, port)) << port;
        }
        ks_svc_exit();
        loop.join();
        ::close(first);
        if (second >= 0) ::close(second);
    }
}

// A fixed port that another socket holds for IPv4 is said on standard error (its holder would get
// the IPv4 clients); port 0 ends with one number that both families hold. The held port lies below
// those the system hands out, so no other process holds it for IPv6 meanwhile.
TEST(Listeners, IPv4HeldElsewhereIsReportedAndPortZeroServesBothFamilies) {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback";
    std::int32_t held = kxtest::free_fixed_port();
    ASSERT_NE(0, held);
    int holder = bind_listener(AF_INET, held);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, ::listen(holder, 1));
    std::int32_t port = held;
    int v6 = -1, v4 = -1;
    testing::internal::CaptureStderr();
    open_listeners(port, v6, v4);
    EXPECT_EQ("Cannot listen on IPv4 port " + std::to_string(held) + ": Address already in use\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(-1, v4);
    EXPECT_GE(v6, 0);
    EXPECT_EQ(held, port);
    ::close(v6);
    ::close(holder);

    port = 0;
    testing::internal::CaptureStderr();
    open_listeners(port, v6, v4);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    ASSERT_GE(v6, 0);
    ASSERT_GE(v4, 0);
    for (int sock : {v6, v4}) {
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ASSERT_EQ(0, ::getsockname(sock, reinterpret_cast<sockaddr *>(&bound), &length));
        auto const number = bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                                        : reinterpret_cast<sockaddr_in &>(bound).sin_port;
        EXPECT_EQ(port, ntohs(number));
    }
    ::close(v6);
    ::close(v4);
}

// A dump never follows a link planted under its name: the file the link names stays as it was.
TEST(CrashDump, APlantedLinkIsNotFollowed) {
    std::string const dir = temp_path("kxrpc_dump_links");
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
    std::string const victim = dir + "/victim";
    { std::ofstream(victim) << "keep"; }
    for (int n = 1; n <= 4; ++n) {
        std::string const name = dir + "/kxrpc_" + std::to_string(n) + "_" + std::to_string(::getpid()) + ".dmp";
        ASSERT_EQ(0, ::symlink(victim.c_str(), name.c_str()));
    }
    char cwd[4096];
    ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, ::chdir(dir.c_str()));
    settings().crash_dump_level = 1;
    settings().crash_dump_limit = 0;
    write_crash_dump(nullptr);
    ASSERT_EQ(0, ::chdir(cwd));
    EXPECT_EQ("keep", read_text(victim));
    std::filesystem::remove_all(dir);
}
