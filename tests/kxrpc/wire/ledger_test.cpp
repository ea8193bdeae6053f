// The ledger's bounds by owner: the exact edge, refusals that charge nothing and name the bound
// passed, bytes given back when a charge goes, a user's sessions counted together.
#include "wire/ledger.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "refusal.h"

using namespace KxRpc;
using kxtest::refusal_of;

namespace {

constexpr std::array<std::uint64_t, 3> disk_bounds{100, 150, 200};
constexpr std::array<std::uint64_t, 3> memory_bounds{10, 15, 20};
constexpr LedgerOwner owners[] = {LedgerOwner::session, LedgerOwner::user, LedgerOwner::process};

class Ledger : public testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < 3; ++i) {
            set_ledger_bound(Holding::disk, owners[i], disk_bounds[i]);
            set_ledger_bound(Holding::memory, owners[i], memory_bounds[i]);
        }
    }
    void TearDown() override {
        for (LedgerOwner owner : owners) {
            set_ledger_bound(Holding::disk, owner, 0);
            set_ledger_bound(Holding::memory, owner, 0);
        }
    }
};

} // namespace

TEST_F(Ledger, TheFirstBoundPassedRefusesAndNothingStaysCharged) {
    // Sessions 0 and 1 are alice's, 2 bob's, 3 never opened (no user), 4 nil (the process only).
    struct Step {
        int session;
        std::uint64_t bytes;
        char const *refused; // the bound named in the refusal, or null
    };
    struct Case {
        Holding kind;
        std::vector<Step> steps;
        std::array<std::uint64_t, 4> held; // by session afterwards
        std::uint64_t alice, process;
    } const cases[] = {
        {Holding::disk, {{0, 100, nullptr}}, {100, 0, 0, 0}, 100, 100},
        {Holding::disk, {{0, 101, "KX_SESSION_DISK_BYTES, 100"}}, {0, 0, 0, 0}, 0, 0},
        {Holding::disk, {{0, 60, nullptr}, {0, 41, "KX_SESSION_DISK_BYTES, 100"}}, {60, 0, 0, 0}, 60, 60},
        {Holding::disk, {{0, UINT64_MAX, "KX_SESSION_DISK_BYTES, 100"}}, {0, 0, 0, 0}, 0, 0},
        // Two sessions of one user share its bound; another user's session does not.
        {Holding::disk,
         {{0, 100, nullptr}, {1, 50, nullptr}, {1, 1, "KX_USER_DISK_BYTES, 150"}, {2, 50, nullptr}},
         {100, 50, 50, 0},
         150,
         200},
        {Holding::disk,
         {{0, 100, nullptr},
          {2, 100, nullptr},
          {3, 1, "KX_PROCESS_DISK_BYTES, 200"},
          {4, 1, "KX_PROCESS_DISK_BYTES, 200"}},
         {100, 0, 100, 0},
         100,
         200},
        {Holding::disk,
         {{4, 190, nullptr}, {3, 10, nullptr}, {0, 1, "KX_PROCESS_DISK_BYTES, 200"}},
         {0, 0, 0, 10},
         0,
         200},
        {Holding::memory,
         {{0, 10, nullptr}, {1, 5, nullptr}, {1, 1, "KX_USER_MEMORY_BYTES, 15"}, {0, 1, "KX_SESSION_MEMORY_BYTES, 10"}},
         {10, 5, 0, 0},
         15,
         15},
        {Holding::memory,
         {{2, 10, nullptr}, {4, 10, nullptr}, {3, 1, "KX_PROCESS_MEMORY_BYTES, 20"}},
         {0, 0, 10, 0},
         0,
         20},
    };
    int n = 0;
    for (Case const &c : cases) {
        SCOPED_TRACE(n++);
        std::string const alice = "set/alice" + std::to_string(n), bob = "set/bob" + std::to_string(n);
        std::array<Nul::Oid, 5> const sessions{Nul::Oid::gen(), Nul::Oid::gen(), Nul::Oid::gen(), Nul::Oid::gen(),
                                               Nul::Oid()};
        ledger_open(sessions[0], alice);
        ledger_open(sessions[1], alice);
        ledger_open(sessions[2], bob);
        std::vector<Charge> kept;
        for (Step const &step : c.steps) {
            auto const [reason, text] =
                refusal_of([&] { kept.emplace_back(c.kind, sessions[step.session], step.bytes); });
            if (step.refused == nullptr) {
                EXPECT_EQ(reason, -1) << text;
                continue;
            }
            EXPECT_EQ(reason, 40);
            EXPECT_NE(text.find(std::string("(") + step.refused + ")"), std::string::npos) << text;
        }
        Holding const other = c.kind == Holding::disk ? Holding::memory : Holding::disk;
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(ledger_held(c.kind, sessions[i]), c.held[i]) << i;
            EXPECT_EQ(ledger_held(other, sessions[i]), 0u) << i;
        }
        EXPECT_EQ(ledger_user_held(c.kind, alice), c.alice);
        EXPECT_EQ(ledger_process_held(c.kind), c.process);
        EXPECT_EQ(ledger_process_held(other), 0u);
        kept.clear();
        for (Nul::Oid const &session : sessions) ledger_close(session);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(ledger_held(c.kind, sessions[i]), 0u) << i;
        EXPECT_EQ(ledger_user_held(c.kind, alice), 0u);
        EXPECT_EQ(ledger_user_held(c.kind, bob), 0u);
        EXPECT_EQ(ledger_process_held(c.kind), 0u);
    }
}

TEST_F(Ledger, RefusalsSayWhichBoundInTheCataloguesWords) {
    Nul::Oid const session = Nul::Oid::gen();
    ledger_open(session, "set/carol");
    Charge held(Holding::disk, session, 100);
    EXPECT_EQ(refusal_of([&] { Charge(Holding::disk, session, 1); }).second,
              "TLQSV1104E Too many bytes in this session's files on the server (KX_SESSION_DISK_BYTES, 100); release "
              "some and try again.");
    Nul::Oid const second = Nul::Oid::gen();
    ledger_open(second, "set/carol");
    EXPECT_EQ(refusal_of([&] { Charge(Holding::disk, second, 51); }).second,
              "TLQSV1107E Too many bytes in this user's files on the server (KX_USER_DISK_BYTES, 150); release some "
              "and try again.");
    ledger_close(session);
    ledger_close(second);
}

TEST_F(Ledger, AChargeGrowsResizesMovesAndGivesItsBytesBackOnce) {
    Nul::Oid const session = Nul::Oid::gen();
    ledger_open(session, "set/dave");
    Charge charge(Holding::disk, session, 30);
    charge.grow(20);
    EXPECT_EQ(charge.bytes(), 50u);
    // A growth past the bound keeps what was charged.
    EXPECT_EQ(refusal_of([&] { charge.grow(51); }).first, 40);
    EXPECT_EQ(refusal_of([&] { charge.resize(101); }).first, 40);
    EXPECT_EQ(charge.bytes(), 50u);
    EXPECT_EQ(ledger_held(Holding::disk, session), 50u);
    charge.resize(100);
    charge.resize(40);
    EXPECT_EQ(ledger_user_held(Holding::disk, "set/dave"), 40u);
    Charge moved(std::move(charge));
    EXPECT_EQ(charge.bytes(), 0u);
    charge.release();
    EXPECT_EQ(ledger_held(Holding::disk, session), 40u);
    Charge other(Holding::memory, session, 10);
    other = std::move(moved); // the 10 of memory go back, the 40 of disk stay with `other`
    EXPECT_EQ(other.kind(), Holding::disk);
    EXPECT_EQ(other.owner(), session);
    EXPECT_EQ(ledger_held(Holding::memory, session), 0u);
    EXPECT_EQ(ledger_held(Holding::disk, session), 40u);
    other.release();
    other.release();
    EXPECT_EQ(ledger_held(Holding::disk, session), 0u);
    EXPECT_EQ(ledger_process_held(Holding::disk), 0u);
    ledger_close(session);
}

TEST_F(Ledger, BytesOutlivingTheirSessionGoBackToItsUser) {
    Nul::Oid const session = Nul::Oid::gen();
    // Charged before the session is known: its user takes the bytes on when it opens.
    Charge early(Holding::disk, session, 20);
    ledger_open(session, "set/erin");
    EXPECT_TRUE(ledger_session_open(session));
    EXPECT_EQ(ledger_user_held(Holding::disk, "set/erin"), 20u);
    Charge late(Holding::disk, session, 30);
    ledger_close(session);
    EXPECT_FALSE(ledger_session_open(session));
    EXPECT_EQ(ledger_user_held(Holding::disk, "set/erin"), 50u);
    early.release();
    late.release();
    EXPECT_EQ(ledger_user_held(Holding::disk, "set/erin"), 0u);
    EXPECT_EQ(ledger_held(Holding::disk, session), 0u);
    EXPECT_EQ(ledger_process_held(Holding::disk), 0u);
}
