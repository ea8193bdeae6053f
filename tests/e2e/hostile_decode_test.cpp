// Hostile arguments against the real program: every list a request carries, sent as long as the
// decode budget allows and past it. The server's resident memory is read from /proc around each
// call: what one call decodes stays within a fixed bound, goes back after the call, and a call
// whose session is unknown costs no more than its record. A record past the spool threshold that
// names no known session is refused before it reaches the disk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_calls.h"
#include "server_process.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// The budget the server runs with, small enough that going past it is quick.
constexpr std::size_t budget = std::size_t{8} << 20;
// What a decoded list item of one state handle is charged: a shared_ptr slot, twice for growth.
constexpr std::size_t handle_slot = 2 * 16;
// A call's resident memory above what the server held before it: the budget, with room for the
// record's buffer, the reply and the allocator's rounding.
constexpr long peak_bound_kib = static_cast<long>(3 * budget / 1024);
// What may stay after a call: the connection's buffers and what the arenas keep.
constexpr long settle_bound_kib = static_cast<long>(budget / 1024);
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's redzones and quarantine are not the server's: the bounds are not read there.
constexpr bool memory_measured = false;
#else
constexpr bool memory_measured = true;
#endif

constexpr int dbset = 29, rectype = 31, string_list = 100021;

// A field of /proc/<pid>/status, in KiB.
long status_kib(pid_t pid, std::string const &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    ADD_FAILURE() << "no " << field << " for " << pid;
    return 0;
}

// The peak (VmHWM) starts again from the current resident size.
void reset_peak(pid_t pid) {
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    out << "5";
    ASSERT_TRUE(out.flush().good());
}

// `count` copies of a list item.
Body repeat(Body body, std::size_t count, Body const &item) {
    body.bytes.reserve(body.bytes.size() + count * item.bytes.size());
    for (std::size_t n = 0; n < count; ++n) body.raw(item.bytes);
    return body;
}

// Kind 6 (commit a record) of no record: the smallest operation of a change batch.
Body smallest_operation() { return Body().i(1).i(6).u(4).u(0); }

Body deliver(std::string const &handle, std::size_t ops) {
    return repeat(session(handle), ops, smallest_operation()).i(0);
}

Body delete_state(std::size_t handles) {
    return repeat(Body().u(0).i(static_cast<int>(handles)), handles, Body().u(4).u(0));
}

// fetch_props of the database set: one property with `metas` meta-properties, `dynamic` names.
Body fetch_props(std::string const &handle, std::size_t metas, std::size_t dynamic) {
    Body body = props_session(handle).i(dbset).i(1).i(1).i(-1);
    body = repeat(body, metas, Body().i(7)).i(-2).i(0).i(static_cast<int>(dynamic));
    body = repeat(body, dynamic, Body().s("KX").s(std::string(4000, 'd')));
    return body.i(0).i(0);
}

// The put items: one string-list value of `strings` texts of 1000 bytes, no dynamic names.
Body put_items(Body body, std::size_t strings) {
    body.i(1).i(1).i(string_list).i(static_cast<int>(strings));
    return repeat(body, strings, Body().s(std::string(1000, 'v'))).i(0).i(0).i(0);
}

// copy_query of the database set with `ids` dbids not to copy.
Body copy_query(std::string const &handle, std::size_t ids) {
    Body body = props_session(handle).i(dbset).s("/x").i(static_cast<int>(ids));
    return put_items(repeat(body, ids, Body().i(3)).i(0), 1);
}

// `count` record types named by 1000 bytes.
Body record_types(Body body, std::size_t count) {
    return repeat(body.i(static_cast<int>(count)), count, Body().named(rectype, std::string(1000, 't')));
}

struct Case {
    char const *name;
    rpcproc_t proc;
    std::function<Body(std::string const &)> within, past;
};

std::string const without_session = "TLQSV1112E The call's record is longer than the server takes outside a "
                                    "known login session (KS_SPOOL_THRESHOLD, 1048576 bytes); log in first, or "
                                    "send less.";

std::string const refusal = "TLQSV1105E The call's arguments need more memory than one call may hold "
                            "(KX_DECODE_BYTES, 8388608 bytes); send fewer or smaller items.";

class HostileDecode : public LoggedOnTest {
protected:
    std::vector<std::string> environment() const override { return {"KX_DECODE_BYTES=" + std::to_string(budget)}; }

    // Calls with the peak measured: the reply, and the peak above the resident size before.
    Reply measured(rpcproc_t proc, Body const &body, long *peak_kib) {
        pid_t const pid = server_->pid();
        reset_peak(pid);
        long const before = status_kib(pid, "VmRSS");
        Reply reply = call(*client_, proc, body);
        *peak_kib = memory_measured ? status_kib(pid, "VmHWM") - before : 0;
        return reply;
    }

    // Waits until the resident size is back within `settle_bound_kib` of `idle`.
    void expect_settles(long idle, char const *what) {
        if (!memory_measured) return;
        auto const deadline = Clock::now() + std::chrono::seconds(20);
        long rss = status_kib(server_->pid(), "VmRSS");
        while (rss - idle > settle_bound_kib && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            rss = status_kib(server_->pid(), "VmRSS");
        }
        EXPECT_LE(rss - idle, settle_bound_kib) << what << ": resident " << rss << " KiB, idle " << idle << " KiB";
    }
};

// The refusal of arguments past the budget, as an error reply.
void expect_refused(Reply reply, char const *what) {
    ASSERT_EQ(1u, reply.u()) << what;
    auto const [reason, message] = reply.error();
    EXPECT_EQ(40, reason) << what;
    EXPECT_EQ(refusal, message) << what;
}

bool is_refusal(Reply reply) {
    if (reply.bytes.size() < 8 || reply.u() != 1) return false;
    reply.i();
    return reply.s() == refusal;
}

} // namespace

TEST_F(HostileDecode, EveryListIsBoundedInMemoryAndGivesItBack) {
    std::size_t const past_ops = 4 * budget / 16; // 32 MiB of the smallest operations
    Case const cases[] = {
        {"deliver_change_context", 10, [](auto const &h) { return deliver(h, 40000); },
         [&](auto const &h) { return deliver(h, past_ops); }},
        {"fetch_props metas", 3, [](auto const &h) { return fetch_props(h, budget / 12, 0); },
         [](auto const &h) { return fetch_props(h, budget / 4, 0); }},
        {"fetch_props dynamic names", 3, [](auto const &h) { return fetch_props(h, 0, 700); },
         [](auto const &h) { return fetch_props(h, 0, 4096); }},
        {"put_props", 4, [](auto const &h) { return put_items(props_session(h).i(dbset), budget / 3000); },
         [](auto const &h) { return put_items(props_session(h).i(dbset), budget / 1000); }},
        {"move_query", 36,
         [](auto const &h) { return put_items(props_session(h).i(dbset).s("/x").i(0), budget / 3000); },
         [](auto const &h) { return put_items(props_session(h).i(dbset).s("/x").i(0), budget / 1000); }},
        {"copy_query", 20, [](auto const &h) { return copy_query(h, budget / 12); },
         [](auto const &h) { return copy_query(h, budget / 4); }},
        {"find_record", 23, [](auto const &h) { return record_types(session(h).i(0).s("x").i(1), budget / 3500); },
         [](auto const &h) { return record_types(session(h).i(0).s("x").i(1), budget / 1000); }},
        {"execute_fulltext_search", 25,
         [](auto const &h) {
             return record_types(session(h).i(0).i(0).i(10).i(0).s("x").i(0), budget / 3500)
                 .i(0)
                 .i(dbset)
                 .s("")
                 .i(dbset);
         },
         [](auto const &h) { return record_types(session(h).i(0).i(0).i(10).i(0).s("x").i(0), budget / 1000); }},
    };
    long const idle = status_kib(server_->pid(), "VmRSS");
    for (Case const &c : cases) {
        long peak = 0;
        Reply const within = measured(c.proc, c.within(alice_), &peak);
        EXPECT_FALSE(within.bytes.empty()) << c.name;
        EXPECT_FALSE(is_refusal(within)) << c.name;
        EXPECT_LE(peak, peak_bound_kib) << c.name << " within the budget";

        expect_refused(measured(c.proc, c.past(alice_), &peak), c.name);
        EXPECT_LE(peak, peak_bound_kib) << c.name << " past the budget";
        expect_settles(idle, c.name);
    }
}

// delete_state names no session: the longest list of handles whose record stays within the
// spool threshold is decoded and answered whole, and a longer one is refused.
TEST_F(HostileDecode, LongestHandleListIsAnsweredWhole) {
    std::size_t const most = ((std::size_t{1} << 20) - 64) / 8; // 8 bytes a handle of none
    Reply reply = call(*client_, 2, delete_state(most));
    ASSERT_EQ(4 * (most + 1), reply.bytes.size());
    EXPECT_EQ(0u, reply.u());
    std::size_t unknown = 0;
    while (!reply.done()) unknown += reply.u();
    EXPECT_EQ(most, unknown);
    Reply past = call(*client_, 2, delete_state(budget / handle_slot));
    ASSERT_EQ(1u, past.u());
    auto const [reason, message] = past.error();
    EXPECT_EQ(40, reason);
    EXPECT_EQ(without_session, message);
}

// A made-up session: the operations are read and dropped, and the call is answered as for any
// unknown session (past the spool threshold, as for no session), at about the cost of its record.
TEST_F(HostileDecode, UnknownSessionCostsNoMoreThanItsRecord) {
    std::string const made_up(16, '\x5a');
    long const idle = status_kib(server_->pid(), "VmRSS");
    // A record past the spool threshold goes no further than its head.
    struct Case {
        std::size_t ops;
        std::string message;
    } const cases[] = {{1000, "TLQSV0769E Internal Error: Invalid Pointer"}, {4 * budget / 16, without_session}};
    for (Case const &c : cases) {
        std::size_t const ops = c.ops;
        long peak = 0;
        Reply reply = measured(10, deliver(made_up, ops), &peak);
        ASSERT_EQ(1u, reply.u()) << ops;
        auto const [reason, message] = reply.error();
        EXPECT_EQ(40, reason) << ops;
        EXPECT_EQ(c.message, message) << ops;
        EXPECT_LE(peak, static_cast<long>(budget / 1024)) << ops;
    }
    expect_settles(idle, "unknown session");
}
