// Crash handling of the real program: the test crashes, dumps, their limit and the on-error modes.
#include "server_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

using namespace e2e;

namespace {

int count_dumps(TempDir const &dir) {
    int n = 0;
    for (auto const &entry : std::filesystem::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind("kxrpc_", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".dmp") ++n;
    }
    return n;
}

struct CrashCase {
    int which;
    char const *message;
    char const *code;
};

} // namespace

TEST(TestCrash, EachCaseWritesOneDumpAndTheServerServesOn) {
    CrashCase const cases[] = {
        {1, "Test Access Error...\n", "exception: 0xc0000005\nflags: 0x1\nsignal: 11\n"},
        {2, "Test STP Error...\nTest Crash Exec caught Error...\n", "exception: 0xe06d7363\n"},
        {3, "Test Runtime Error bad...\n", "exception: 0xe06d7363\nflags: 0x1\nsignal: 0\n"},
        {4, "Test Runtime Error good...\n", "exception: 0x924ff9c\nflags: 0x1\n"},
        {5, "Test Runtime Error cont...\n", "exception: 0x1\nflags: 0x0\n"},
        {6, "Trying pamsgexception error\nTest Crash Exec caught Error...\n", "exception: 0xe06d7363\n"},
        {7, "Test Access Error...\n", "exception: 0xc0000005\n"},
    };
    for (auto const &c : cases) {
        TempDir dir;
        ServerProcess server({"-test_crash", std::to_string(c.which), "-create_crash_dump", "2", "-verbose"},
                             dir.path());
        ASSERT_TRUE(server.start()) << c.which;
        Client client(server.port());
        ASSERT_TRUE(client.ok());
        EXPECT_EQ(RPC_SUCCESS, client.ping());
        server.signal(SIGTERM);
        Outcome end = server.wait();
        EXPECT_EQ(0, end.status) << c.which;
        std::string name = "kxrpc_1_" + std::to_string(server.pid()) + ".dmp";
        ASSERT_TRUE(file_exists(dir.file(name))) << c.which << "\n" << end.err;
        EXPECT_EQ(1, count_dumps(dir));
        std::string dump = read_file(dir.file(name));
        EXPECT_NE(std::string::npos, dump.find("type: 0x127\n")) << dump;
        EXPECT_NE(std::string::npos, dump.find(c.code)) << c.which << "\n" << dump;
        EXPECT_NE(std::string::npos, dump.find("backtrace:\n"));
        EXPECT_NE(std::string::npos, dump.find("memory map:\n"));
        EXPECT_EQ(std::string("Test Crash Exec...\n") + c.message + "Existing crash count is: 0\n" +
                      "Using Level Two crash settings...\nDump created: " + name + ".\n",
                  end.err.substr(end.err.find("Test Crash Exec...")))
            << c.which;
        EXPECT_EQ(std::filesystem::perms::none,
                  std::filesystem::status(dir.file(name)).permissions() &
                      (std::filesystem::perms::group_all | std::filesystem::perms::others_all));
    }
}

TEST(TestCrash, LevelOneDumpHasRegistersButNoMemoryMap) {
    TempDir dir;
    ServerProcess server({"-test_crash", "1", "-create_crash_dump", "1"}, dir.path());
    ASSERT_TRUE(server.start());
    server.signal(SIGTERM);
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_EQ("", end.err); // messages only with -verbose
    std::string dump = read_file(dir.file("kxrpc_1_" + std::to_string(server.pid()) + ".dmp"));
    EXPECT_NE(std::string::npos, dump.find("type: 0x0\n"));
    EXPECT_NE(std::string::npos, dump.find("fault address: 0x0\n"));
    EXPECT_NE(std::string::npos, dump.find("registers:\n"));
    EXPECT_EQ(std::string::npos, dump.find("memory map:"));
}

TEST(TestCrash, NoDumpWithoutALevel) {
    TempDir dir;
    ServerProcess server({"-test_crash", "1", "-verbose"}, dir.path());
    ASSERT_TRUE(server.start());
    server.signal(SIGTERM);
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_NE(std::string::npos, end.err.find("Test Access Error...\ncrash dump is disabled\n")) << end.err;
    EXPECT_EQ(0, count_dumps(dir));
}

TEST(TestCrash, TheLimitCountsExistingDumps) {
    TempDir dir;
    for (int i = 0; i < 10; ++i) write_file(dir.file("kxrpc_old" + std::to_string(i) + ".dmp"), "x");
    write_file(dir.file("kxrpc_other.txt"), "x");
    {
        ServerProcess server({"-test_crash", "1", "-create_crash_dump", "2", "-verbose"}, dir.path());
        ASSERT_TRUE(server.start());
        server.signal(SIGTERM);
        Outcome end = server.wait();
        EXPECT_NE(std::string::npos,
                  end.err.find("Existing crash count is: 10\nNumber of existing crash dumps is equal to or exceeds max "
                               "limit no crash dump will be created\nFound 10, Max allowed is 10\n"))
            << end.err;
        EXPECT_EQ(10, count_dumps(dir));
    }
    {
        ServerProcess server({"-test_crash", "1", "-create_crash_dump", "2", "-max_crash_dump_count", "11"},
                             dir.path());
        ASSERT_TRUE(server.start());
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status);
        EXPECT_EQ(11, count_dumps(dir));
    }
    {
        // No limit at all.
        ServerProcess server({"-test_crash", "1", "-create_crash_dump", "1", "-max_crash_dump_count", "0"}, dir.path());
        ASSERT_TRUE(server.start());
        server.signal(SIGTERM);
        EXPECT_EQ(0, server.wait().status);
        EXPECT_EQ(12, count_dumps(dir));
    }
}

TEST(TestCrash, OnErrorOneAbortsAfterTheDump) {
    TempDir dir;
    Outcome end = run_to_exit({"-test_crash", "1", "-create_crash_dump", "1", "-on_error", "1"}, dir.path());
    EXPECT_EQ(128 + SIGABRT, end.status);
    EXPECT_EQ(1, count_dumps(dir));
    EXPECT_NE(std::string::npos, end.out.find("port="));
}

TEST(TestCrash, OnErrorTwoLeavesTheFaultToTheProcess) {
    {
        // The unhandled-exception filter (bit 0x20, on by default) writes the dump.
        TempDir dir;
        Outcome end = run_to_exit({"-test_crash", "1", "-create_crash_dump", "1", "-on_error", "2"}, dir.path());
        EXPECT_EQ(128 + SIGSEGV, end.status);
        EXPECT_EQ(1, count_dumps(dir));
    }
    {
        TempDir dir;
        Outcome end = run_to_exit(
            {"-test_crash", "1", "-create_crash_dump", "1", "-on_error", "2", "-win_crash_handler", "0"}, dir.path());
        EXPECT_EQ(128 + SIGSEGV, end.status);
        EXPECT_EQ(0, count_dumps(dir));
    }
}

// Modes other than 1 and 2 act as mode 0, and levels other than 1 and 2 write a normal dump
// without a level message.
TEST(TestCrash, OnErrorThreeServesOnAndLevelThreeWritesANormalDump) {
    TempDir dir;
    ServerProcess server({"-test_crash", "1", "-create_crash_dump", "3", "-on_error", "3", "-verbose"}, dir.path());
    ASSERT_TRUE(server.start());
    Client client(server.port());
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(RPC_SUCCESS, client.ping());
    server.signal(SIGTERM);
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    std::string const name = "kxrpc_1_" + std::to_string(server.pid()) + ".dmp";
    EXPECT_EQ("Test Crash Exec...\nTest Access Error...\nExisting crash count is: 0\nDump created: " + name + ".\n",
              end.err.substr(end.err.find("Test Crash Exec...")));
    EXPECT_NE(std::string::npos, read_file(dir.file(name)).find("type: 0x0\n"));
    EXPECT_EQ(1, count_dumps(dir));
}

TEST(CrashHandlerBits, MessagesOnlyWithVerboseAndInOrder) {
    TempDir dir;
    ServerProcess server({"-verbose"}, dir.path());
    ASSERT_TRUE(server.start());
    server.signal(SIGTERM);
    Outcome end = server.wait();
    EXPECT_EQ("Setting SEM Flags...\nAdding  SEM_FAILCRITICALERRORS...\nAdding  SEM_NOGPFAULTERRORBOX...\n"
              "Adding  SEM_NOOPENFILEERRORBOX...\nSetting _set_error_mode(_OUT_TO_STDERR)...\n"
              "Setting _set_abort_behavior(0, _CALL_REPORTFAULT)...\nSetting unhandled exception filter...\n",
              end.err);
    TempDir dir2;
    ServerProcess some({"-verbose", "-win_crash_handler", "18"}, dir2.path());
    ASSERT_TRUE(some.start());
    some.signal(SIGTERM);
    end = some.wait();
    EXPECT_EQ("Setting SEM Flags...\nAdding  SEM_NOGPFAULTERRORBOX...\n"
              "Setting _set_abort_behavior(0, _CALL_REPORTFAULT)...\n",
              end.err);
    TempDir dir3;
    ServerProcess none({"-verbose", "-win_crash_handler", "0"}, dir3.path());
    ASSERT_TRUE(none.start());
    none.signal(SIGTERM);
    EXPECT_EQ("", none.wait().err);
}
