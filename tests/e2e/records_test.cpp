// Editing a demo record end to end: fetch_props, create_temp, put_props and delete_state against
// the real program with a libtirpc client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "demo_server.h"
#include "props_client.h"

using namespace e2e;

namespace {

// The test and the servers it starts run in a zone other than UTC. Set here, before main: the
// test's ENV carries KXRPC_BIN, which the sandboxed run needs, and takes one variable only.
[[maybe_unused]] int const zone = ::setenv("TZ", "Asia/Kolkata", 1);

bool_t xdr_no_correlator(XDR *xdrs) {
    u_int none = 0;
    return xdr_u_int(xdrs, &none);
}

// The session header of a request after its correlator.
bool_t xdr_session(XDR *xdrs, Handle *session) {
    std::string locale = "en_US";
    int wtid = 11;
    return xdr_handle(xdrs, session) && xdr_utf8(xdrs, &locale) && xdr_int(xdrs, &wtid);
}

// A target by name (record type and object) or by state handle.
struct Target {
    int type = 32;
    std::vector<std::string> names;
    bool by_handle = false;
    Handle handle{};
};

bool_t xdr_target(XDR *xdrs, Target *t) {
    int marshall = t->by_handle ? 3 : 1;
    if (!xdr_int(xdrs, &t->type) || !xdr_int(xdrs, &marshall)) return FALSE;
    if (t->by_handle) return xdr_handle(xdrs, &t->handle);
    for (auto &name : t->names)
        if (!xdr_utf8(xdrs, &name)) return FALSE;
    return TRUE;
}

Target by_name(std::string rectype, std::string name, int type = 32) {
    Target t;
    t.type = type;
    t.names = {std::move(rectype), std::move(name)};
    return t;
}

Target held(Handle const &handle) {
    Target t;
    t.by_handle = true;
    t.handle = handle;
    return t;
}

// create_temp of a record for an action; the reply is FALSE, the handle and two texts.
struct CreateTemp {
    Handle session{};
    Target record, action;
    bool_t failed = TRUE;
    Handle handle{};
    std::string name, id;
    ErrorRecord error;
};

bool_t xdr_create_temp(XDR *xdrs, CreateTemp *r) {
    bool_t has_action = TRUE, has_duplicate = FALSE;
    return xdr_no_correlator(xdrs) && xdr_session(xdrs, &r->session) && xdr_target(xdrs, &r->record) &&
           xdr_bool(xdrs, &has_action) && xdr_target(xdrs, &r->action) && xdr_bool(xdrs, &has_duplicate);
}

bool_t xdr_create_temp_reply(XDR *xdrs, CreateTemp *r) {
    if (!xdr_bool(xdrs, &r->failed)) return FALSE;
    if (r->failed) return xdr_error_record(xdrs, &r->error);
    return xdr_handle(xdrs, &r->handle) && xdr_utf8(xdrs, &r->name) && xdr_utf8(xdrs, &r->id);
}

// put_props of one string to the first declared field, asking for the changed fields.
struct Put {
    Handle session{};
    Target target;
    std::string field, value;
    bool_t failed = TRUE, value_failed = TRUE, present = FALSE;
    ErrorRecord error;
    std::string selector;
    struct Changed {
        std::string name;
        int tag = 0;
        u_int flags = 0;
    };
    std::vector<Changed> changed;
};

bool_t xdr_put(XDR *xdrs, Put *r) {
    int count = 1, prop = 1000000, type = 100001, fields = 1;
    bool_t batch = FALSE, atomic = FALSE, callback = TRUE;
    std::string ns = "FLD:";
    return xdr_no_correlator(xdrs) && xdr_bool(xdrs, &batch) && xdr_session(xdrs, &r->session) &&
           xdr_target(xdrs, &r->target) && xdr_int(xdrs, &count) && xdr_int(xdrs, &prop) && xdr_int(xdrs, &type) &&
           xdr_utf8(xdrs, &r->value) && xdr_int(xdrs, &fields) && xdr_utf8(xdrs, &ns) && xdr_utf8(xdrs, &r->field) &&
           xdr_bool(xdrs, &atomic) && xdr_bool(xdrs, &callback);
}

// FALSE; per value TRUE and its failure flag; FALSE; then the changed-fields trailer.
bool_t xdr_put_reply(XDR *xdrs, Put *r) {
    bool_t more = FALSE;
    if (!xdr_bool(xdrs, &r->failed)) return FALSE;
    if (r->failed) return xdr_error_record(xdrs, &r->error);
    if (!xdr_bool(xdrs, &more) || !more || !xdr_bool(xdrs, &r->value_failed)) return FALSE;
    if (r->value_failed) return xdr_error_record(xdrs, &r->error);
    int count = 0;
    if (!xdr_bool(xdrs, &more) || more || !xdr_bool(xdrs, &r->present) || !xdr_utf8(xdrs, &r->selector) ||
        !xdr_int(xdrs, &count) || count < 0 || count > 100)
        return FALSE;
    r->changed.resize(static_cast<std::size_t>(count));
    for (auto &c : r->changed)
        if (!xdr_utf8(xdrs, &c.name) || !xdr_int(xdrs, &c.tag) || !xdr_u_int(xdrs, &c.flags)) return FALSE;
    return TRUE;
}

struct Delete {
    std::vector<Handle> handles;
    std::vector<int> unknown;
};

bool_t xdr_delete(XDR *xdrs, Delete *r) {
    int count = static_cast<int>(r->handles.size());
    if (!xdr_no_correlator(xdrs) || !xdr_int(xdrs, &count)) return FALSE;
    for (auto &h : r->handles)
        if (!xdr_handle(xdrs, &h)) return FALSE;
    return TRUE;
}

bool_t xdr_delete_reply(XDR *xdrs, Delete *r) {
    bool_t failed = TRUE;
    if (!xdr_bool(xdrs, &failed) || failed) return FALSE;
    r->unknown.assign(r->handles.size(), -1);
    for (int &u : r->unknown)
        if (!xdr_bool(xdrs, &u)) return FALSE;
    return TRUE;
}

class RecordsE2E : public DemoServerTest {
protected:
    void SetUp() override {
        DemoServerTest::SetUp();
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
        Login login;
        ASSERT_EQ(RPC_SUCCESS, call_login(*client_, login));
        ASSERT_FALSE(login.failed) << login.error.message;
        session_ = login.handle;
    }
    void TearDown() override {
        client_.reset();
        DemoServerTest::TearDown();
    }

    // One text per requested entry; `fields` are declared as 1000000, 1000001, ...
    std::vector<std::string> fetch(Target const &target, std::vector<Prop> props, std::vector<std::string> fields,
                                   Handle const *as = nullptr) {
        Fetch f;
        f.session = as != nullptr ? *as : session_;
        f.type = target.type;
        f.names = target.names;
        f.by_handle = target.by_handle;
        f.held = target.handle;
        f.props = std::move(props);
        for (auto &field : fields) f.dynamic.emplace_back("FLD:", field);
        EXPECT_EQ(RPC_SUCCESS, call_fetch(*client_, f));
        EXPECT_FALSE(f.failed) << f.error.message;
        return f.entries;
    }
    // `as`: another session than the fixture's.
    CreateTemp create_temp(Target const &record, char const *action, Handle const *as = nullptr) {
        CreateTemp c;
        c.session = as != nullptr ? *as : session_;
        c.record = record;
        c.action = by_name("Defect", action, 40);
        EXPECT_EQ(RPC_SUCCESS, client_->call(9, as_proc(xdr_create_temp), &c, as_proc(xdr_create_temp_reply), &c));
        EXPECT_FALSE(c.failed) << c.error.message;
        return c;
    }
    Put put(Handle const &handle, std::string field, std::string value, Handle const *as = nullptr) {
        Put p;
        p.session = as != nullptr ? *as : session_;
        p.target = held(handle);
        p.field = std::move(field);
        p.value = std::move(value);
        EXPECT_EQ(RPC_SUCCESS, client_->call(4, as_proc(xdr_put), &p, as_proc(xdr_put_reply), &p));
        EXPECT_FALSE(p.failed) << p.error.message;
        EXPECT_FALSE(p.value_failed) << p.error.message;
        return p;
    }
    Deliver deliver(Handle const &session, Handle const &record) {
        Deliver d;
        d.session = session;
        d.records = {record};
        EXPECT_EQ(RPC_SUCCESS, call_deliver(*client_, d));
        EXPECT_FALSE(d.failed) << d.error.message;
        EXPECT_EQ(1u, d.results.size());
        return d;
    }
    std::vector<int> release(Handle const &handle) {
        Delete d;
        d.handles = {handle};
        EXPECT_EQ(RPC_SUCCESS, client_->call(2, as_proc(xdr_delete), &d, as_proc(xdr_delete_reply), &d));
        return d.unknown;
    }

    std::unique_ptr<Client> client_;
    Handle session_{};
};

} // namespace

TEST_F(RecordsE2E, EditAHeadlineThroughATemporaryRecordAndDiscardIt) {
    Target const record = by_name("Defect", "ISSUE00000001");
    // Metas come in ascending order: requiredness, value, value status.
    std::vector<std::string> before =
        fetch(record, {{1000000, {942, 934, 946}}, {488, {}}, {578, {}}, {1000001, {}}}, {"Headline", "Project"});
    ASSERT_EQ(4u, before.size());
    EXPECT_EQ("enum:530 str:Crash when saving an empty record enum:465", before[0]);
    EXPECT_EQ("bool:0", before[1]);
    EXPECT_EQ("str:Defect/ISSUE00000001", before[2]);
    EXPECT_EQ(0u, before[3].find("sel:Project|Apollo|")) << before[3];

    CreateTemp temp = create_temp(record, "Modify");
    EXPECT_EQ("Defect/ISSUE00000001", temp.name);
    EXPECT_NE(std::string::npos, temp.id.find('/'));

    Put changed = put(temp.handle, "Headline", "Crash when saving a record");
    EXPECT_TRUE(changed.present);
    EXPECT_EQ("Defect/ISSUE00000001", changed.selector);
    ASSERT_EQ(1u, changed.changed.size());
    EXPECT_EQ("Headline", changed.changed[0].name);
    EXPECT_EQ(970, changed.changed[0].tag);
    EXPECT_NE(0u, changed.changed[0].flags & 1u);

    EXPECT_EQ((std::vector<std::string>{"str:Crash when saving a record", "bool:1"}),
              fetch(held(temp.handle), {{1000000, {}}, {488, {}}}, {"Headline"}));
    EXPECT_EQ(std::vector<int>{0}, release(temp.handle));
    EXPECT_EQ(std::vector<std::string>{"str:Crash when saving an empty record"},
              fetch(record, {{1000000, {}}}, {"Headline"}));
}

TEST_F(RecordsE2E, ASecondTemporaryRecordOnAHeldOneDoesNotDiscardItsEdits) {
    CreateTemp first = create_temp(by_name("Defect", "ISSUE00000002"), "Modify");
    put(first.handle, "Headline", "Edited once");
    CreateTemp second = create_temp(held(first.handle), "Modify");
    EXPECT_NE(first.handle, second.handle);
    EXPECT_EQ(std::vector<int>{0}, release(second.handle));
    EXPECT_EQ((std::vector<std::string>{"str:Edited once", "bool:1"}),
              fetch(held(first.handle), {{1000000, {}}, {488, {}}}, {"Headline"}));
}

TEST_F(RecordsE2E, DeliverCommitsAnEditedRecordOnce) {
    CreateTemp temp = create_temp(by_name("Defect", "ISSUE00000009"), "Modify");
    put(temp.handle, "Headline", "Delivered over TCP");
    Deliver d;
    d.session = session_;
    d.records = {temp.handle};
    ASSERT_EQ(RPC_SUCCESS, call_deliver(*client_, d));
    ASSERT_FALSE(d.failed) << d.error.message;
    ASSERT_EQ(1u, d.results.size());
    EXPECT_EQ(1, d.results[0].kind);
    EXPECT_EQ(temp.id, d.results[0].first); // record type dbid "/" record dbid
    EXPECT_EQ("", d.results[0].second);
    EXPECT_EQ(std::vector<std::string>{"str:Delivered over TCP"},
              fetch(by_name("Defect", "ISSUE00000009"), {{1000000, {}}}, {"Headline"}));
    // The batch consumed the handle.
    EXPECT_EQ(std::vector<int>{1}, release(temp.handle));
}

TEST_F(RecordsE2E, ServerKilledDuringBatchesLeavesEveryRecordWhole) {
    std::vector<std::string> const names = {"ISSUE00000006", "ISSUE00000007", "ISSUE00000008"};
    std::vector<std::string> const fields = {"Headline", "Description", "Found_In"};
    // Rounds the server acknowledged, per record; the server is killed while rounds go on.
    std::vector<int> acknowledged(names.size(), 0);
    constexpr int kill_after = 12;
    std::atomic<int> delivered{0};
    // Killed a little after the twelfth batch, while the client is in the middle of later ones.
    std::thread killer([&] {
        while (delivered.load() < kill_after) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        server_->signal(SIGKILL);
    });
    int round = 0;
    for (; round < 400; ++round) {
        std::size_t const which = static_cast<std::size_t>(round) % names.size();
        CreateTemp c;
        c.session = session_;
        c.record = by_name("Defect", names[which]);
        c.action = by_name("Defect", "Modify", 40);
        if (client_->call(9, as_proc(xdr_create_temp), &c, as_proc(xdr_create_temp_reply), &c) != RPC_SUCCESS) break;
        if (c.failed) {
            ADD_FAILURE() << c.error.message;
            break;
        }
        std::string const value = "round " + std::to_string(round);
        bool lost = false;
        for (auto const &field : fields) {
            Put p;
            p.session = session_;
            p.target = held(c.handle);
            p.field = field;
            p.value = value;
            if (client_->call(4, as_proc(xdr_put), &p, as_proc(xdr_put_reply), &p) != RPC_SUCCESS) lost = true;
            if (lost) break;
        }
        if (lost) break;
        Deliver d;
        d.session = session_;
        d.records = {c.handle};
        if (call_deliver(*client_, d) != RPC_SUCCESS) break;
        if (d.failed || d.results.size() != 1 || d.results[0].kind != 1) {
            ADD_FAILURE() << "batch refused: " << d.error.message;
            break;
        }
        acknowledged[which] = round;
        ++delivered;
    }
    delivered = kill_after;
    killer.join();
    ASSERT_GE(round, kill_after);
    ASSERT_LT(round, 400) << "the server was not killed";
    EXPECT_EQ(128 + SIGKILL, server_->wait().status);

    // The same data under a new server: each record at one round, all of its fields from it.
    client_.reset();
    server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "4"}, dir_.path(),
                                              std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data")});
    ASSERT_TRUE(server_->start());
    client_ = std::make_unique<Client>(server_->port());
    Login login;
    ASSERT_EQ(RPC_SUCCESS, call_login(*client_, login));
    ASSERT_FALSE(login.failed) << login.error.message;
    session_ = login.handle;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::vector<std::string> values =
            fetch(by_name("Defect", names[i]), {{1000000, {}}, {1000001, {}}, {1000002, {}}}, fields);
        ASSERT_EQ(3u, values.size());
        EXPECT_EQ(values[0], values[1]) << names[i];
        EXPECT_EQ(values[0], values[2]) << names[i];
        ASSERT_EQ(0u, values[0].find("str:round ")) << values[0];
        int const stored = std::stoi(values[0].substr(10));
        EXPECT_GE(stored, acknowledged[i]) << names[i];
        EXPECT_EQ(static_cast<std::size_t>(stored) % names.size(), i);
    }
}

// Two sessions may hold one record at once; the later commit fails with reason 49 and keeps its
// handle and edits, and holding the record again reads the winner's values.
TEST_F(RecordsE2E, TheLaterOfTwoCommitsOfOneRecordIsRefusedAsChangedByAnotherSession) {
    Login bob_login;
    bob_login.user = "bob";
    ASSERT_EQ(RPC_SUCCESS, call_login(*client_, bob_login));
    ASSERT_FALSE(bob_login.failed) << bob_login.error.message;
    Handle const bob = bob_login.handle;
    Target const record = by_name("Defect", "ISSUE00000003");
    CreateTemp alices = create_temp(record, "Modify");
    CreateTemp bobs = create_temp(record, "Modify", &bob);
    put(alices.handle, "Headline", "Alice's headline");
    put(bobs.handle, "Description", "Bob's description", &bob);

    Deliver first = deliver(session_, alices.handle);
    ASSERT_EQ(1u, first.results.size());
    EXPECT_EQ(1, first.results[0].kind);
    Deliver later = deliver(bob, bobs.handle);
    ASSERT_EQ(1u, later.results.size());
    EXPECT_EQ(0, later.results[0].kind);
    EXPECT_EQ(49, later.results[0].error.reason);
    EXPECT_EQ("TLQSV0999E The attempt to save the record failed; got: Record 'ISSUE00000003' was changed by another "
              "session.",
              later.results[0].error.message);
    EXPECT_EQ((std::vector<std::string>{"str:Bob's description"}),
              fetch(held(bobs.handle), {{1000000, {}}}, {"Description"}, &bob))
        << "a refused commit keeps its edits";

    EXPECT_EQ(std::vector<int>{0}, release(bobs.handle));
    CreateTemp again = create_temp(record, "Modify", &bob);
    put(again.handle, "Description", "Bob's description", &bob);
    EXPECT_EQ(1, deliver(bob, again.handle).results.at(0).kind);
    EXPECT_EQ((std::vector<std::string>{"str:Alice's headline", "str:Bob's description"}),
              fetch(record, {{1000000, {}}, {1000001, {}}}, {"Headline", "Description"}));
}
