// Start-up of the real program: the port line, both listeners, options and their messages,
// signals and the usage text.
#include "server_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

using namespace e2e;

TEST(Startup, PrintsOnlyThePortLineAndListensOnIPv6AndIPv4) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    ASSERT_TRUE(server.start()) << server.port_line();
    EXPECT_EQ("port=" + std::to_string(server.port()) + ";pid=" + std::to_string(server.pid()) + ";\n",
              server.port_line());
    EXPECT_GT(server.port(), 0);
    {
        Client v4(server.port(), false);
        ASSERT_TRUE(v4.ok());
        EXPECT_EQ(RPC_SUCCESS, v4.ping());
        Client v6(server.port(), true);
        ASSERT_TRUE(v6.ok());
        EXPECT_EQ(RPC_SUCCESS, v6.ping());
    }
    server.signal(SIGTERM);
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_EQ(server.port_line(), end.out); // nothing else on the standard output
    EXPECT_EQ("", end.err);
}

TEST(Startup, RpcinfoFindsTheProgram) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "2"}, dir.path());
    ASSERT_TRUE(server.start());
    int status = -1;
    // This rpcinfo reads the program number in decimal only (537073749 is 0x20031855), and its
    // "-n PORT -t" form asks a port mapper first; the universal-address form talks to the port.
    std::string const tail = "." + std::to_string(server.port() / 256) + "." + std::to_string(server.port() % 256);
    std::string out = run_command("rpcinfo -a 127.0.0.1" + tail + " -T tcp 537073749 1 2>&1", &status);
    EXPECT_EQ(0, status) << out;
    EXPECT_EQ("program 537073749 version 1 ready and waiting\n", out);
    out = run_command("rpcinfo -a ::1" + tail + " -T tcp6 537073749 1 2>&1", &status);
    EXPECT_EQ(0, status) << out;
    EXPECT_EQ("program 537073749 version 1 ready and waiting\n", out);
    // Only version 1 is served.
    out = run_command("rpcinfo -a 127.0.0.1" + tail + " -T tcp 537073749 2 2>&1", &status);
    EXPECT_NE(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("low version = 1, high version = 1")) << out;
    server.signal(SIGINT);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Startup, FixedPortIsUsedByBothListeners) {
    TempDir dir;
    // Find a free port, then ask for it.
    int port;
    {
        ServerProcess probe({}, dir.path());
        ASSERT_TRUE(probe.start());
        port = probe.port();
        probe.signal(SIGTERM);
        ASSERT_EQ(0, probe.wait().status);
    }
    ServerProcess server({"-port", std::to_string(port), "-team_bin", "/nowhere/bin"}, dir.path());
    ASSERT_TRUE(server.start());
    EXPECT_EQ(port, server.port());
    Client v6(port, true);
    ASSERT_TRUE(v6.ok());
    EXPECT_EQ(RPC_SUCCESS, v6.ping());
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Startup, PortTakenOnBothFamiliesEndsWithMinusOne) {
    TempDir dir;
    ServerProcess first({}, dir.path());
    ASSERT_TRUE(first.start());
    Outcome second = run_to_exit({"-port", std::to_string(first.port())}, dir.path());
    EXPECT_EQ(255, second.status);
    EXPECT_EQ("", second.out);
    EXPECT_EQ("", second.err);
    first.signal(SIGTERM);
    EXPECT_EQ(0, first.wait().status);
}

struct OptionCase {
    std::vector<std::string> args;
    std::string err;
};

TEST(Options, EveryErrorHasItsExactMessageAndStatusMinusOne) {
    std::vector<OptionCase> const cases = {
        {{"-port"}, "Must specify a number with -port option"},
        {{"-port", "abc"}, "Must specify a valid integer with -port option: abc"},
        {{"-port", "99999999999"}, "Must specify a valid integer with -port option: 99999999999"},
        {{"-team_bin"}, "Must specify full team/bin directory with -team_bin option"},
        {{"-worker_threads"}, "Must specify a number with -worker_threads option"},
        {{"-worker_threads", "x1"}, "Must specify a valid integer with -worker_threads option: x1"},
        {{"-worker_threads", "0"}, "worker thread count must be greater than zero"},
        {{"-worker_threads", "-3"}, "worker thread count must be greater than zero"},
        {{"-arm"}, "Must specify number with -arm option"},
        {{"-arm", "z"}, "Must specify a valid integer with -arm option: z"},
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
        {{"-bogus"}, "Unrecognized argument: -bogus"},
        {{"-PORT", "1"}, "Unrecognized argument: -PORT"},
        {{"-verbose", "-no_sig_handler", "-just_exit", "stray"}, "Unrecognized argument: stray"},
        {{"-sso_password"}, "Must specify a SSO password.\n"},
        {{"-sso_password", std::string(29, 'p')}, "The SSO password must be at least 30 characters in length.\n"},
    };
    TempDir dir;
    for (auto const &c : cases) {
        Outcome o = run_to_exit(c.args, dir.path());
        std::string shown = c.args.empty() ? "" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(255, o.status) << shown;
        EXPECT_EQ(c.err, o.err) << shown;
        EXPECT_EQ("", o.out) << shown;
    }
}

TEST(Options, IntegerValuesReadTheirLeadingNumber) {
    TempDir dir;
    // "3abc" reads as 3, which is a valid ARM level; "2x" worker threads are 2.
    ServerProcess server({"-arm", "3abc", "-worker_threads", "2x", "-max_crash_dump_count", "  7"}, dir.path());
    ASSERT_TRUE(server.start());
    server.signal(SIGTERM);
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_EQ("", end.err);
}

TEST(Options, HelpPrintsTheUsageAndEndsWithZero) {
    TempDir dir;
    Outcome o = run_to_exit({"-help"}, dir.path());
    EXPECT_EQ(0, o.status);
    EXPECT_EQ("\nUsage:\n\nkxrpc.exe -install_service [-port PORT]\n\nkxrpc.exe -remove_service\n\n"
              "kxrpc -sso_password PASSWORD\n",
              o.err);
    EXPECT_EQ("", o.out);
}

TEST(Signals, SigintAndSigtermEndWithZero) {
    for (int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        ServerProcess server({}, dir.path());
        ASSERT_TRUE(server.start());
        server.signal(sig);
        Outcome end = server.wait();
        EXPECT_EQ(0, end.status) << sig;
        EXPECT_EQ(server.port_line(), end.out);
    }
}

TEST(Signals, NoSigHandlerLeavesSigtermItsDefaultButNotSigint) {
    TempDir dir;
    {
        ServerProcess server({"-no_sig_handler"}, dir.path());
        ASSERT_TRUE(server.start());
        server.signal(SIGTERM);
        EXPECT_EQ(128 + SIGTERM, server.wait().status);
    }
    {
        ServerProcess server({"-no_sig_handler"}, dir.path());
        ASSERT_TRUE(server.start());
        server.signal(SIGINT);
        EXPECT_EQ(0, server.wait().status);
    }
}

TEST(Signals, RepeatedSignalsStopOnceAndCleanly) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "3"}, dir.path(), {"KX_DIAG=66=1", "KX_DIAG_FILE=" + dir.file("trace.log")});
    ASSERT_TRUE(server.start());
    server.signal(SIGTERM);
    server.signal(SIGINT);
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
    std::string trace = read_file(dir.file("trace.log"));
    auto count = [&](std::string const &what) {
        std::size_t n = 0;
        for (std::size_t at = trace.find(what); at != std::string::npos; at = trace.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(1u, count("Closing ipv6 socket")) << trace;
    EXPECT_EQ(1u, count("Closing ipv4 socket")) << trace;
    EXPECT_NE(std::string::npos, trace.find("Executing signal handler 'stprpc_interrupt': signum ("));
}

TEST(Environment, UpfrontValidationIsTraced) {
    struct Case {
        std::string value;
        char const *flag;
    };
    for (Case const &c : {Case{"1", "T"}, Case{"2", "F"}, Case{"word", "F"}, Case{"", "F"}}) {
        TempDir dir;
        ServerProcess server({}, dir.path(),
                             {"VEXHUB_UPFRONT_REC_REF_VALIDATE=" + c.value, "KX_DIAG=66=1",
                              "KX_DIAG_FILE=" + dir.file("trace.log")});
        ASSERT_TRUE(server.start());
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status);
        std::string trace = read_file(dir.file("trace.log"));
        EXPECT_NE(std::string::npos, trace.find("VEXHUB_UPFRONT_REC_REF_VALIDATE env is set to (" + c.value + ")"));
        EXPECT_NE(std::string::npos, trace.find(std::string("do_upfrount_record_ref_validation = ") + c.flag)) << trace;
    }
}

TEST(Arm, RegistersTheApplicationItsProceduresAndCommitTransactions) {
    TempDir dir;
    std::string const log = dir.file("arm.log");
    ServerProcess server({"-arm", "2"}, dir.path(),
                         {"LD_LIBRARY_PATH=" + std::string(KX_ARM4_DIR), "KX_ARM4_LOG=" + log});
    ASSERT_TRUE(server.start());
    {
        Client client(server.port());
        EXPECT_EQ(RPC_SUCCESS, client.ping());
    }
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
    std::string text = read_file(log);
    EXPECT_NE(std::string::npos, text.find("register_application name=kxrpc")) << text;
    std::size_t registered = 0;
    for (auto at = text.find("register_transaction"); at != std::string::npos; at = text.find("register_transaction", at + 1))
        ++registered;
    // One per procedure, and the ten commit transactions of change batches.
    EXPECT_EQ(37u + 10u, registered);
    for (char const *name : {"name=ping", "name=shutdown", "name=login", "name=move_query", "name=make_query_commit",
                             "name=modify_dynamic_list_commit"})
        EXPECT_NE(std::string::npos, text.find(name)) << name;
    EXPECT_NE(std::string::npos, text.find("start_application"));
    // A ping is no transaction.
    EXPECT_EQ(std::string::npos, text.find("start_transaction"));
}

TEST(Arm, WithoutTheAgentTheServerRunsOn) {
    TempDir dir;
    ServerProcess server({"-arm", "4"}, dir.path(), {"LD_LIBRARY_PATH="});
    ASSERT_TRUE(server.start());
    Client client(server.port());
    EXPECT_EQ(RPC_SUCCESS, client.ping());
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}
