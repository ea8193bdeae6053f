// fire_hook and fire_script_alias against the real program and its demo set's Lua hooks, with a
// libtirpc client, ARM switched on with the recording agent.
#include <array>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "props_client.h"
#include "server_process.h"

using namespace e2e;

namespace {

// A target: a record type and a name, or a state handle.
struct Target {
    int type = 32;
    std::vector<std::string> names;
    Handle handle{};
};

// A call of fire_hook (hook given) or fire_script_alias (hook empty, action given), and its reply.
struct Fire {
    bool arm = false;
    Handle session{};
    Target record, hook, action;
    std::string param, form, tab;
    bool_t side_effects = FALSE;
    // Reply.
    bool_t failed = TRUE;
    ErrorRecord error;
    std::string result;
    bool_t has_record = FALSE, has_changes = FALSE;
    Handle held{};
    std::string name_text, id_text;
    std::vector<std::string> changes; // "field:tag:flags"
};

bool_t xdr_target(XDR *xdrs, Target &t) {
    bool const by_handle = t.names.empty();
    int marshall = by_handle ? 3 : 1;
    u_int length = 16;
    if (!xdr_int(xdrs, &t.type) || !xdr_int(xdrs, &marshall)) return FALSE;
    if (by_handle) return xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, t.handle.data(), 16);
    for (auto &name : t.names)
        if (!xdr_utf8(xdrs, &name)) return FALSE;
    return TRUE;
}

bool_t xdr_header(XDR *xdrs, Fire &f) {
    std::array<char, 8> correlator;
    correlator.fill(1);
    u_int correlator_length = f.arm ? 8 : 0, length = 16;
    int wtid = 5;
    std::string locale = "en_US";
    return xdr_u_int(xdrs, &correlator_length) && (!f.arm || xdr_opaque(xdrs, correlator.data(), 8)) &&
           xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, f.session.data(), 16) && xdr_utf8(xdrs, &locale) &&
           xdr_int(xdrs, &wtid);
}

bool_t xdr_hook_args(XDR *xdrs, Fire *f) {
    return xdr_header(xdrs, *f) && xdr_target(xdrs, f->record) && xdr_target(xdrs, f->hook) &&
           xdr_utf8(xdrs, &f->param) && xdr_bool(xdrs, &f->side_effects) && xdr_utf8(xdrs, &f->form) &&
           xdr_utf8(xdrs, &f->tab);
}

bool_t xdr_alias_args(XDR *xdrs, Fire *f) {
    return xdr_header(xdrs, *f) && xdr_target(xdrs, f->record) && xdr_target(xdrs, f->action) &&
           xdr_utf8(xdrs, &f->form) && xdr_utf8(xdrs, &f->tab);
}

bool_t xdr_hook_result(XDR *xdrs, Fire *f) {
    if (!xdr_bool(xdrs, &f->failed)) return FALSE;
    if (f->failed) return xdr_error_record(xdrs, &f->error);
    u_int length = 0;
    if (!xdr_utf8(xdrs, &f->result) || !xdr_bool(xdrs, &f->has_record)) return FALSE;
    if (f->has_record && !(xdr_u_int(xdrs, &length) && length == 16 && xdr_opaque(xdrs, f->held.data(), 16) &&
                           xdr_utf8(xdrs, &f->name_text) && xdr_utf8(xdrs, &f->id_text)))
        return FALSE;
    if (!xdr_bool(xdrs, &f->has_changes)) return FALSE;
    if (!f->has_changes) return TRUE;
    int count = 0;
    if (!xdr_int(xdrs, &count) || count < 0 || count > 100) return FALSE;
    for (int i = 0; i < count; ++i) {
        std::string name;
        int tag = 0;
        u_int flags = 0;
        if (!xdr_utf8(xdrs, &name) || !xdr_int(xdrs, &tag) || !xdr_u_int(xdrs, &flags)) return FALSE;
        f->changes.push_back(name + ":" + std::to_string(tag) + ":" + std::to_string(flags));
    }
    return TRUE;
}

bool_t xdr_alias_result(XDR *xdrs, Fire *f) {
    if (!xdr_bool(xdrs, &f->failed)) return FALSE;
    return f->failed ? xdr_error_record(xdrs, &f->error) : xdr_utf8(xdrs, &f->result);
}

template <class T>
xdrproc_t routine(bool_t (*r)(XDR *, T *)) {
    return reinterpret_cast<xdrproc_t>(r);
}

clnt_stat fire_hook(Client &client, Fire &f) {
    return client.call(16, routine(xdr_hook_args), &f, routine(xdr_hook_result), &f);
}

clnt_stat fire_alias(Client &client, Fire &f) {
    return client.call(17, routine(xdr_alias_args), &f, routine(xdr_alias_result), &f);
}

Target named(int type, std::string rectype, std::string name) { return Target{type, {rectype, name}, {}}; }
Target held(Handle const &handle) { return Target{32, {}, handle}; }

std::size_t count(std::string const &text, std::string const &what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class HooksE2E : public testing::Test {
protected:
    void SetUp() override {
        std::string const bin = program_path();
        std::string const arm4 = bin.substr(0, bin.find_last_of('/')) + "/../lib/arm4";
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-worker_threads", "2", "-arm", "2"}, dir_.path(),
            std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data"), "LD_LIBRARY_PATH=" + arm4,
                                     "KX_ARM4_LOG=" + arm_log()});
        ASSERT_TRUE(server_->start());
    }
    void TearDown() override {
        server_->signal(SIGTERM);
        Outcome const end = server_->wait();
        EXPECT_EQ(0, end.status) << end.err;
    }
    std::string arm_log() const { return dir_.file("arm.log"); }
    Handle login(Client &client) {
        Login l;
        EXPECT_EQ(RPC_SUCCESS, call_login(client, l));
        EXPECT_FALSE(l.failed) << l.error.message;
        return l.handle;
    }

    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
};

} // namespace

TEST_F(HooksE2E, HookOnAStoredRecordHandsOutTheRecordItOpenedAndItsChanges) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fire copy;
    copy.session = login(client);
    copy.record = named(32, "Defect", "ISSUE00000001");
    copy.hook = named(42, "Defect", "CopyHeadline");
    copy.side_effects = TRUE;
    ASSERT_EQ(RPC_SUCCESS, fire_hook(client, copy));
    ASSERT_FALSE(copy.failed) << copy.error.message;
    EXPECT_FALSE(copy.result.empty());
    ASSERT_TRUE(copy.has_record);
    EXPECT_EQ("Defect/ISSUE00000001", copy.name_text);
    EXPECT_NE(std::string::npos, copy.id_text.find('/'));
    ASSERT_TRUE(copy.has_changes);
    EXPECT_EQ(copy.changes, (std::vector<std::string>{"Notes_Log:970:1"}));

    // The global hook on the handed-out record: no record again, no changes asked for.
    Fire help;
    help.session = copy.session;
    help.record = held(copy.held);
    help.hook = Target{51, {"Open_Help"}, {}};
    help.param = "fields";
    ASSERT_EQ(RPC_SUCCESS, fire_hook(client, help));
    ASSERT_FALSE(help.failed) << help.error.message;
    EXPECT_EQ("ISSUE00000001", help.result);
    EXPECT_FALSE(help.has_record);
    EXPECT_FALSE(help.has_changes);

    // The script alias on the held record, and on a stored one that it cannot change.
    Fire triage;
    triage.session = copy.session;
    triage.record = held(copy.held);
    triage.action = named(40, "Defect", "Triage");
    triage.form = "Defect_Base";
    triage.tab = "Main";
    ASSERT_EQ(RPC_SUCCESS, fire_alias(client, triage));
    ASSERT_FALSE(triage.failed) << triage.error.message;
    EXPECT_NE(std::string::npos, triage.result.find('-')) << triage.result;

    Fire stored;
    stored.session = copy.session;
    stored.record = named(32, "Defect", "ISSUE00000002");
    stored.action = named(40, "Defect", "Triage");
    ASSERT_EQ(RPC_SUCCESS, fire_alias(client, stored));
    ASSERT_TRUE(stored.failed);
    EXPECT_EQ(17, stored.error.reason);
    EXPECT_EQ("TLQSV0791E Fire script alias failed: Hook 'Triage_Script' failed: Triage needs the record open for an "
              "action",
              stored.error.message);
}

TEST_F(HooksE2E, FailingHookIsAConflictAndArmSeesOneTransactionPerCall) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Handle session = login(client);
    std::size_t const starts = count(read_file(arm_log()), "start_transaction");

    Fire ok;
    ok.arm = true;
    ok.session = session;
    ok.record = named(32, "Defect", "ISSUE00000003");
    ok.hook = Target{51, {"Open_Help"}, {}};
    ASSERT_EQ(RPC_SUCCESS, fire_hook(client, ok));
    ASSERT_FALSE(ok.failed) << ok.error.message;
    EXPECT_FALSE(ok.has_record);

    Fire bad;
    bad.arm = true;
    bad.session = session;
    bad.record = named(32, "Defect", "ISSUE00000003");
    bad.hook = named(42, "Defect", "Initialize"); // writes a field of a record nobody opened
    bad.side_effects = TRUE;
    ASSERT_EQ(RPC_SUCCESS, fire_hook(client, bad));
    ASSERT_TRUE(bad.failed);
    EXPECT_EQ(17, bad.error.reason);
    EXPECT_EQ(0u, bad.error.message.find("TLQSV0776E Failed to fire hook: Hook 'Initialize' failed: "))
        << bad.error.message;

    // The agent writes a call's stop after its reply: wait for both stops, as long as a loaded
    // machine may take.
    std::string log;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (count(log = read_file(arm_log()), "stop_transaction") < 2 && std::chrono::steady_clock::now() < deadline)
        usleep(20000);
    EXPECT_EQ(starts + 2, count(log, "start_transaction")) << log;
    EXPECT_EQ(2u, count(log, "stop_transaction")) << log;
    EXPECT_EQ(1u, count(log, "status=0")) << log;
    EXPECT_EQ(1u, count(log, "status=2")) << log;
}
