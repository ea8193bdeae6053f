// Start-up of the real program: the port line, both listeners with real clients, the ARM agent
// loaded by name, and the stop on signals. Options and their messages are tested in-process
// (tests/kxrpc/core/options_test.cpp); only what needs a process of its own is here.
#include "server_process.h"
#include "wire/procedure.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace e2e;

namespace {

std::size_t count(std::string const &text, std::string const &what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The recording agent sits in the build tree's lib/arm4, beside the program's bin/.
std::string arm4_dir() {
    std::string path = program_path();
    std::size_t const slash = path.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/../lib/arm4";
}

} // namespace

TEST(Startup, ServesBothFamiliesRegistersWithArmAndStopsOnceOnRepeatedSignals) {
    TempDir dir;
    std::string const trace_file = dir.file("trace.log"), arm_log = dir.file("arm.log");
    ServerProcess server({"-worker_threads", "2", "-arm", "2"}, dir.path(),
                         {"LD_LIBRARY_PATH=" + arm4_dir(), "KX_ARM4_LOG=" + arm_log, "KX_DIAG=66=1",
                          "KX_DIAG_FILE=" + trace_file, "VEXHUB_UPFRONT_REC_REF_VALIDATE=1"});
    ASSERT_TRUE(server.start()) << server.port_line();
    EXPECT_GT(server.port(), 0);
    EXPECT_EQ("port=" + std::to_string(server.port()) + ";pid=" + std::to_string(server.pid()) + ";\n",
              server.port_line());
    bool const ipv6 = ipv6_loopback_available();
    {
        Client v4(server.port(), false);
        ASSERT_TRUE(v4.ok());
        EXPECT_EQ(RPC_SUCCESS, v4.ping());
        if (ipv6) {
            Client v6(server.port(), true);
            ASSERT_TRUE(v6.ok());
            EXPECT_EQ(RPC_SUCCESS, v6.ping());
        }
    }
    // This rpcinfo reads the program number in decimal only (537073749 is 0x20031855), and its
    // "-n PORT -t" form asks a port mapper first; the universal-address form talks to the port.
    std::string const tail = "." + std::to_string(server.port() / 256) + "." + std::to_string(server.port() % 256);
    int status = -1;
    std::string out = run_command("rpcinfo -a 127.0.0.1" + tail + " -T tcp 537073749 1 2>&1", &status);
    EXPECT_EQ(0, status) << out;
    EXPECT_EQ("program 537073749 version 1 ready and waiting\n", out);
    if (ipv6) {
        out = run_command("rpcinfo -a ::1" + tail + " -T tcp6 537073749 1 2>&1", &status);
        EXPECT_EQ(0, status) << out;
        EXPECT_EQ("program 537073749 version 1 ready and waiting\n", out);
    }
    // Only version 1 is served.
    out = run_command("rpcinfo -a 127.0.0.1" + tail + " -T tcp 537073749 2 2>&1", &status);
    EXPECT_NE(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("low version = 1, high version = 1")) << out;

    // Either signal stops the server; one arriving while it stops changes nothing.
    server.signal(SIGINT);
    server.signal(SIGTERM);
    server.signal(SIGINT);
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_EQ(server.port_line(), end.out); // nothing else on the standard output
    EXPECT_EQ("", end.err);

    std::string const trace = read_file(trace_file);
    EXPECT_EQ(1u, count(trace, "Closing ipv6 socket")) << trace;
    EXPECT_EQ(1u, count(trace, "Closing ipv4 socket")) << trace;
    EXPECT_NE(std::string::npos, trace.find("Executing signal handler 'stprpc_interrupt': signum (")) << trace;
    EXPECT_NE(std::string::npos, trace.find("VEXHUB_UPFRONT_REC_REF_VALIDATE env is set to (1)")) << trace;
    EXPECT_NE(std::string::npos, trace.find("do_upfrount_record_ref_validation = T")) << trace;

    // The agent was found by name on the library path: the application, one transaction per
    // procedure and the ten commit transactions of change batches; a ping is no transaction.
    std::string const arm = read_file(arm_log);
    EXPECT_NE(std::string::npos, arm.find("register_application name=kxrpc")) << arm;
    EXPECT_EQ(static_cast<std::size_t>(KxRpc::procedure_count) + 10u, count(arm, "register_transaction"));
    for (char const *name : {"name=ping", "name=shutdown", "name=login", "name=move_query", "name=make_query_commit",
                             "name=modify_dynamic_list_commit"})
        EXPECT_NE(std::string::npos, arm.find(name)) << name;
    EXPECT_NE(std::string::npos, arm.find("start_application"));
    EXPECT_EQ(std::string::npos, arm.find("start_transaction"));
}

// SIGTERM keeps its default action only in a process of its own; ARM without an agent runs on.
TEST(Startup, NoSigHandlerLeavesSigtermItsDefaultAndArmWithoutAgentRunsOn) {
    TempDir dir;
    ServerProcess server({"-no_sig_handler", "-arm", "4"}, dir.path(), {"LD_LIBRARY_PATH="});
    ASSERT_TRUE(server.start());
    {
        Client client(server.port());
        ASSERT_TRUE(client.ok());
        EXPECT_EQ(RPC_SUCCESS, client.ping());
    }
    server.signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, server.wait().status);
}

namespace {

// Runs the program with the standard output `out_fd` (closed when -1) and the standard error in a
// file; waits until that file says the port line could not be written, and returns the port it
// names (0 when it never did).
int start_without_port_line(TempDir const &dir, int out_fd, pid_t &pid) {
    std::string const err_path = dir.file("stderr");
    pid = ::fork();
    if (pid == 0) {
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        if (out_fd < 0)
            ::close(1);
        else
            ::dup2(out_fd, 1);
        if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
        ::execl(program_path(), program_path(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::string const said = "Cannot write the port line (port ";
    for (int waited = 0; waited < 15000; waited += 20) {
        std::string const err = read_file(err_path);
        if (auto at = err.find(said); at != std::string::npos && err.find('\n', at) != std::string::npos)
            return std::atoi(err.c_str() + at + said.size());
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return 0;
        }
        ::usleep(20000);
    }
    return 0;
}

// Stops the server with SIGTERM and gives its exit status as the shell shows it.
int stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

// Without a reader of the port line the server says so on standard error and serves on: a
// closed standard output (never taken by a listening socket) and a pipe whose reader is gone.
TEST(Startup, AnUnwritablePortLineIsReportedAndTheServerServes) {
    int gone[2];
    ASSERT_EQ(0, ::pipe(gone));
    ::close(gone[0]);
    for (int out_fd : {-1, gone[1]}) {
        TempDir dir;
        pid_t pid = -1;
        int const port = start_without_port_line(dir, out_fd, pid);
        ASSERT_GT(pid, 0) << out_fd << ": " << read_file(dir.file("stderr"));
        EXPECT_GT(port, 0) << read_file(dir.file("stderr"));
        {
            Client client(port);
            EXPECT_TRUE(client.ok());
            if (client.ok()) {
                EXPECT_EQ(RPC_SUCCESS, client.ping());
            }
        }
        EXPECT_EQ(0, stop(pid)) << out_fd;
    }
    ::close(gone[1]);
}
