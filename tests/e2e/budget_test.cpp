// Statement budgets against the real program: declared queries that would run for good are
// refused when their time is spent while ping still answers, a huge value is refused at once,
// and SIGTERM during such a query ends the server.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_calls.h"
#include "server_process.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// Six cross joins of the records: hours of work without a budget.
std::string const kRunaway = "SELECT count(*) FROM records a, records b, records c, records d, records e, records f";

std::string declared(std::string const &sql) {
    return "<CTG:execute-query xmlns:CTG=\"http://korvax.example/TEAM/CTG\" xmlns:TEAM=\"http://korvax.example/TEAM\">"
           "<CTG:definition><CTG:primary-record-type><TEAM:href>kx.record:Defect@KXDEMO/ISSUE</TEAM:href>"
           "</CTG:primary-record-type><CTG:sql>" +
           sql + "</CTG:sql></CTG:definition></CTG:execute-query>";
}

struct QueryOutcome {
    bool replied = false;
    bool failed = false;
    std::string message;
    long ms = 0;
};

// execute_query with the document on a connection of its own, logged on as admin.
QueryOutcome run_query(int port, std::string const &document) {
    QueryOutcome out;
    Client client(port, false, 60);
    if (!client.ok()) return out;
    std::string const admin = login(client, "admin");
    if (admin.size() != 16) return out;
    Body body = session(admin);
    body.i(10).u(0).u(0).s(document);
    Reply reply;
    auto const start = Clock::now();
    out.replied = client.call(7, as_proc(xdr_body), &body, as_proc(xdr_reply), &reply) == RPC_SUCCESS;
    out.ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    if (out.replied && reply.u() != 0) {
        out.failed = true;
        out.message = reply.error().second;
    }
    return out;
}

class BudgetE2E : public testing::Test {
protected:
    void start(std::string const &time_ms) {
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-worker_threads", "2"}, dir_.path(),
            std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data"), "KX_STATEMENT_TIME_MS=" + time_ms});
        ASSERT_TRUE(server_->start());
    }
    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
};

} // namespace

TEST_F(BudgetE2E, RunawayQueriesOnEveryWorkerAreRefusedAndPingStillAnswers) {
    start("1500");
    std::vector<QueryOutcome> outcomes(2);
    std::vector<std::thread> attackers;
    for (QueryOutcome &o : outcomes)
        attackers.emplace_back([&o, this] { o = run_query(server_->port(), declared(kRunaway)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Both workers are held now; ping waits at most for the budget to run out.
    Client pinger(server_->port(), false, 30);
    ASSERT_TRUE(pinger.ok());
    auto const start = Clock::now();
    EXPECT_EQ(RPC_SUCCESS, pinger.ping());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
    for (std::thread &t : attackers) t.join();
    for (QueryOutcome const &o : outcomes) {
        ASSERT_TRUE(o.replied);
        EXPECT_TRUE(o.failed);
        EXPECT_NE(o.message.find("time budget of 1500 ms"), std::string::npos) << o.message;
        EXPECT_LT(o.ms, 10000);
    }
    // A value past the length limit is refused without taking its memory.
    QueryOutcome blob = run_query(server_->port(), declared("SELECT randomblob(900000000)"));
    ASSERT_TRUE(blob.replied);
    EXPECT_TRUE(blob.failed);
    // The limit's own message, not the time budget's: refused before it ran.
    EXPECT_NE(blob.message.find("longer than the store's limit"), std::string::npos) << blob.message;
    EXPECT_EQ(RPC_SUCCESS, pinger.ping());
    server_->signal(SIGTERM);
    EXPECT_EQ(0, server_->wait().status);
}

TEST_F(BudgetE2E, SigtermDuringARunawayQueryEndsTheServer) {
    start("600000");
    QueryOutcome attack;
    std::thread attacker([&] { attack = run_query(server_->port(), declared(kRunaway)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto const start = Clock::now();
    server_->signal(SIGTERM);
    EXPECT_EQ(0, server_->wait(15000).status);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    attacker.join();
    // The call either got its error reply before the stop or saw the connection end.
    if (attack.replied) {
        EXPECT_TRUE(attack.failed);
        EXPECT_NE(attack.message.find("stopping"), std::string::npos) << attack.message;
    }
}
