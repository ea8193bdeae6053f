// A clean stop of the real program after calls on two connections at once: every store
// connection closes, so neither the set's write-ahead log nor its shared-memory file stays
// beside it, and the set serves again at the next start.
#include <gtest/gtest.h>

#include <csignal>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "props_client.h"
#include "server_process.h"

using namespace e2e;

namespace {

// Logs in as `user` and reads the record type's name `reads` times.
void work(int port, std::string const &user, std::latch &both, int reads) {
    Client client(port);
    ASSERT_TRUE(client.ok());
    Login login;
    login.user = user;
    ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
    ASSERT_FALSE(login.failed) << login.error.message;
    both.arrive_and_wait();
    for (int i = 0; i < reads; ++i) {
        Fetch f;
        f.session = login.handle;
        f.names = {"Defect"};
        f.props = {{1061, {}}};
        ASSERT_EQ(RPC_SUCCESS, call_fetch(client, f));
        ASSERT_FALSE(f.failed) << f.error.message;
        EXPECT_EQ(f.entries, std::vector<std::string>{"str:Defect"});
    }
}

enum class Stop { SIGNAL, PROCEDURE };

void stop(ServerProcess &server, Stop how) {
    if (how == Stop::SIGNAL) {
        server.signal(SIGTERM);
        return;
    }
    Client client(server.port());
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(RPC_SUCCESS, client.call(1, xdr_none, nullptr, xdr_none, nullptr));
}

class StoreStopE2E : public testing::TestWithParam<Stop> {};

} // namespace

TEST_P(StoreStopE2E, ACleanStopLeavesNoLogBesideTheSet) {
    TempDir dir;
    std::vector<std::string> const env{"KX_PRODUCT_DATA=" + dir.file("data")};
    std::string const set = dir.file("data/KXDEMO.kxdb");
    {
        ServerProcess server({"-worker_threads", "4"}, dir.path(), env);
        ASSERT_TRUE(server.start());
        std::latch both(2);
        std::thread alice(work, server.port(), "alice", std::ref(both), 20);
        std::thread bob(work, server.port(), "bob", std::ref(both), 20);
        alice.join();
        bob.join();
        ASSERT_TRUE(file_exists(set + "-wal")); // the check below can fail
        stop(server, GetParam());
        EXPECT_EQ(0, server.wait(30000).status);
    }
    EXPECT_TRUE(file_exists(set));
    EXPECT_FALSE(file_exists(set + "-wal"));
    EXPECT_FALSE(file_exists(set + "-shm"));

    ServerProcess again({"-worker_threads", "2"}, dir.path(), env);
    ASSERT_TRUE(again.start());
    std::latch one(1);
    work(again.port(), "carol", one, 1);
    again.signal(SIGTERM);
    EXPECT_EQ(0, again.wait(30000).status);
}

INSTANTIATE_TEST_SUITE_P(BothStops, StoreStopE2E, testing::Values(Stop::SIGNAL, Stop::PROCEDURE),
                         [](testing::TestParamInfo<Stop> const &stop_info) {
                             return stop_info.param == Stop::SIGNAL ? std::string("Sigterm") : std::string("Shutdown");
                         });
