// Calls against the real program: ping, unknown procedures, shutdown, concurrency, and the checks
// validate_action and resolve_attachment on demo records.
#include "raw_calls.h"
#include "server_process.h"
#include "wire/procedure.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace e2e;

namespace {

std::vector<std::string> trace_env(TempDir const &dir) {
    return {"KX_DIAG=66=1", "KX_DIAG_FILE=" + dir.file("trace.log")};
}

// The first procedure number past the table.
constexpr rpcproc_t past_table = KxRpc::procedure_count;

} // namespace

TEST(Calls, UnknownAndUnservedProceduresAreProcUnavail) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    ASSERT_TRUE(server.start());
    Client client(server.port());
    ASSERT_TRUE(client.ok());
    for (rpcproc_t proc : {past_table, past_table + 1, 1000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(RPC_PROCUNAVAIL, client.call(proc, xdr_none, nullptr, xdr_none, nullptr)) << proc;
        EXPECT_EQ(RPC_SUCCESS, client.ping()); // the connection stays usable
    }
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
}

TEST(Calls, ShutdownRepliesThenStopsInOrder) {
    TempDir dir;
    ServerProcess server({}, dir.path(), trace_env(dir));
    ASSERT_TRUE(server.start());
    {
        Client client(server.port());
        ASSERT_TRUE(client.ok());
        EXPECT_EQ(RPC_SUCCESS, client.call(1, xdr_none, nullptr, xdr_none, nullptr));
    }
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_EQ(server.port_line(), end.out);
    std::string trace = read_file(dir.file("trace.log"));
    std::vector<std::string> const sequence = {
        "KXRPC: Start shutdown ()",   "KXRPC: Info: (kxrpc_shutdown)", "KXRPC: Executing shutdown command, svc_exit...",
        "KXRPC: svc_exit  completed", "KXRPC: Closing ipv6 socket",    "KXRPC: Closed ipv6 socket",
        "KXRPC: Closing ipv4 socket", "KXRPC: Closed ipv4 socket",     "KXRPC: WSACleanup....",
        "KXRPC: Finished WSACleanup", "KXRPC: Finish shutdown ()",     "KXRPC: Just after calling svc_run"};
    std::size_t at = 0;
    for (auto const &line : sequence) {
        std::size_t found = trace.find(line + "\n", at);
        ASSERT_NE(std::string::npos, found) << line << "\n" << trace;
        at = found + line.size();
    }
}

TEST(Calls, TwoShutdownsAndASignalCloseEachSocketOnce) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "4"}, dir.path(), trace_env(dir));
    ASSERT_TRUE(server.start());
    {
        Client first(server.port()); // the shared null authenticator, made before the threads
        ASSERT_EQ(RPC_SUCCESS, first.ping());
    }
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; ++i)
        callers.emplace_back([&] {
            Client client(server.port());
            if (client.ok()) client.call(1, xdr_none, nullptr, xdr_none, nullptr);
        });
    for (auto &t : callers) t.join();
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.wait().status);
    std::string trace = read_file(dir.file("trace.log"));
    std::size_t closes = 0;
    for (std::size_t at = trace.find("Closing ipv4 socket"); at != std::string::npos;
         at = trace.find("Closing ipv4 socket", at + 1))
        ++closes;
    EXPECT_EQ(1u, closes) << trace;
}

TEST(Calls, JustExitEndsWithoutAReply) {
    TempDir dir;
    ServerProcess server({"-just_exit"}, dir.path());
    ASSERT_TRUE(server.start());
    {
        Client client(server.port(), false, 5);
        ASSERT_TRUE(client.ok());
        EXPECT_NE(RPC_SUCCESS, client.call(1, xdr_none, nullptr, xdr_none, nullptr));
    }
    Outcome end = server.wait();
    EXPECT_EQ(0, end.status);
    EXPECT_EQ(server.port_line(), end.out);
}

TEST(Calls, ManyClientsAtOnceWithSeveralWorkers) {
    TempDir dir;
    ServerProcess server({"-worker_threads", "4"}, dir.path());
    ASSERT_TRUE(server.start());
    {
        // libtirpc makes its shared null authenticator on first use without a lock: make it here.
        Client first(server.port());
        ASSERT_EQ(RPC_SUCCESS, first.ping());
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t)
        clients.emplace_back([&, t] {
            Client client(server.port(), t % 2 == 1);
            if (!client.ok()) {
                ++failures;
                return;
            }
            for (int i = 0; i < 50; ++i) {
                if (client.ping() != RPC_SUCCESS) ++failures;
                if (client.call(past_table + static_cast<rpcproc_t>(i), xdr_none, nullptr, xdr_none, nullptr) !=
                    RPC_PROCUNAVAIL)
                    ++failures;
            }
        });
    for (auto &t : clients) t.join();
    EXPECT_EQ(0, failures.load());
    server.signal(SIGINT);
    EXPECT_EQ(0, server.wait().status);
}

namespace {

// A record or attachment target by name: its type code and every segment.
Body target(Body body, int type, std::vector<std::string> const &names) {
    body.i(type).i(1);
    for (auto const &name : names) body.s(name);
    return body;
}

// validate_action of a record named by its id, or by the handle of a held record when `held`.
Body validate(std::string const &session_handle, std::string const &record, std::string const &action, int kind,
              bool held = false) {
    Body body = session(session_handle);
    body = held ? body.i(32).i(3).u(16).raw(record) : target(body, 32, {"Defect", record});
    return target(body, 40, {"Defect", action}).i(kind);
}

class ChecksE2E : public LoggedOnTest {};

} // namespace

TEST_F(ChecksE2E, ValidateActionAllowsOnlyADeleteOfARecordNobodyEdits) {
    Reply ok = call(*client_, 11, validate(alice_, "ISSUE00000001", "Delete", 7));
    EXPECT_EQ(ok.bytes, std::string(4, '\0')); // FALSE and nothing after it

    struct Case {
        char const *record, *action;
        int kind, reason;
        char const *message;
    } const refused[] = {
        {"ISSUE00000001", "Delete", 2, 40, "TLQSV0766E support for this has not been implemented yet"},
        {"ISSUE00000001", "Modify", 7, 4, "TLQSV0765E the kxaction is not a delete action"},
        {"ISSUE00000999", "Delete", 7, 53, "TLQSV0779E record not found"},
        {"ISSUE00000001", "Vanish", 7, 53, "TLQSV0782E action definition not found"},
    };
    for (Case const &c : refused) {
        Reply r = call(*client_, 11, validate(alice_, c.record, c.action, c.kind));
        ASSERT_EQ(r.u(), 1u) << c.record << " " << c.action;
        EXPECT_EQ(r.i(), c.reason) << c.record << " " << c.action;
        EXPECT_EQ(r.s(), c.message);
    }

    // Held for Modify by create_temp, the record is being edited: reason 1 without a message.
    Reply held =
        call(*client_, 9,
             target(target(session(alice_), 32, {"Defect", "ISSUE00000001"}).u(1), 40, {"Defect", "Modify"}).u(0));
    ASSERT_EQ(held.u(), 0u);
    Reply editing = call(*client_, 11, validate(alice_, held.handle(), "Delete", 7, true));
    ASSERT_EQ(editing.u(), 1u);
    EXPECT_EQ(editing.error(), std::make_pair(1, std::string()));
    EXPECT_TRUE(editing.done());
}

// A target marshalled in a form that is neither a state item, a name nor a dbid names nothing: a
// record is then not found as a record, a record type as a record type. The error names the target
// (one type code lower, the form, no segments).
TEST_F(ChecksE2E, ATargetOfAnUnknownFormIsNotFoundAsItsOwnKind) {
    struct Case {
        int type, form;
        char const *message;
    } const cases[] = {
        {32, 4, "TLQSV0779E record not found"},
        {32, 7, "TLQSV0779E record not found"},
        {31, 4, "TLQSV0786E Record type not found"},
    };
    for (Case const &c : cases) {
        Body fetch = props_session(alice_);
        fetch.i(c.type).i(c.form).i(1).i(1061).i(0).i(0).u(0).u(0);
        Body expected;
        expected.u(1).i(53).s(c.message).i(c.type - 1).i(c.form).u(0).i(0);
        EXPECT_EQ(call(*client_, 3, fetch).bytes, expected.bytes) << c.type << "," << c.form;
    }
}

TEST_F(ChecksE2E, ResolveAttachmentFindsOnlyAStoredFile) {
    Reply ok = call(*client_, 15, target(session(alice_), 44, {"Defect", "ISSUE00000001", "Attachments", "crash.log"}));
    EXPECT_EQ(ok.bytes, std::string(4, '\0'));
    for (auto const &names :
         std::vector<std::vector<std::string>>{{"Defect", "ISSUE00000001", "Attachments", "nope.log"},
                                               {"Defect", "ISSUE00000002", "Attachments", "crash.log"}}) {
        Reply r = call(*client_, 15, target(session(alice_), 44, names));
        ASSERT_EQ(r.u(), 1u) << names[1] << "/" << names[3];
        EXPECT_EQ(r.i(), 53);
        EXPECT_EQ(r.s(), "TLQSV0788E Attachment not found");
    }
}
