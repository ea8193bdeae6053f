// User databases, users and create_user against the real program and its demo set, with a
// libtirpc client.
#include "demo_server.h"
#include "props_client.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace e2e;

namespace {

bool_t put(XDR *x, std::string s) { return xdr_utf8(x, &s); }
bool_t put(XDR *x, int v) { return xdr_int(x, &v); }

// A value to put: id, value type and a string or bool body.
struct Value {
    int id;
    int type; // 100001 string, 100006 bool
    std::string text;
    bool flag = false;
};

struct PutCall {
    std::function<bool_t(XDR *)> write;
    bool_t failed = TRUE;
    ErrorRecord error;
    std::vector<std::string> results; // "ok" or "<reason>" per value
};

bool_t xdr_put_args(XDR *x, PutCall *c) { return c->write(x); }
bool_t xdr_put_result(XDR *x, PutCall *c) {
    if (!xdr_bool(x, &c->failed)) return FALSE;
    if (c->failed) return xdr_error_record(x, &c->error);
    for (;;) {
        bool_t more = FALSE, failed = FALSE;
        if (!xdr_bool(x, &more)) return FALSE;
        if (!more) break;
        if (!xdr_bool(x, &failed)) return FALSE;
        ErrorRecord e;
        if (failed && !xdr_error_record(x, &e)) return FALSE;
        c->results.push_back(failed ? std::to_string(e.reason) : "ok");
    }
    bool_t changed = TRUE;
    int count = -1;
    return xdr_bool(x, &changed) && !changed && xdr_int(x, &count) && count == 0;
}

class UsersE2E : public DemoServerTest {
protected:
    Handle login(Client &client, std::string user, std::string *error = nullptr) {
        Login l;
        l.user = user;
        EXPECT_EQ(RPC_SUCCESS, call_login(client, l));
        if (error) *error = l.failed ? l.error.message : "";
        return l.handle;
    }
    // Session header, then the user target by login name, then `middle`, then the values.
    static bool_t put_body(XDR *x, Handle h, std::string const &target, std::function<bool_t(XDR *)> const &middle,
                           std::vector<Value> values) {
        u_int no_correlator = 0, length = 16;
        bool_t no = FALSE;
        if (!xdr_u_int(x, &no_correlator) || !xdr_bool(x, &no) || !xdr_u_int(x, &length) ||
            !xdr_opaque(x, h.data(), 16) || !put(x, std::string("en_US")) || !put(x, 3) || !put(x, 47) || !put(x, 1) ||
            !put(x, target) || !middle(x) || !put(x, static_cast<int>(values.size())))
            return FALSE;
        for (Value &v : values) {
            if (!put(x, v.id) || !put(x, v.type)) return FALSE;
            bool_t flag = v.flag;
            if (!(v.type == 100006 ? xdr_bool(x, &flag) : put(x, v.text))) return FALSE;
        }
        return put(x, 0) && xdr_bool(x, &no) && xdr_bool(x, &no);
    }
    PutCall create_user(Client &client, Handle h, std::string name, std::vector<Value> values) {
        PutCall c;
        c.write = [=](XDR *x) {
            return put_body(
                x, h, "", [&](XDR *y) { return put(y, name); }, values);
        };
        EXPECT_EQ(RPC_SUCCESS, client.call(30, as_proc(xdr_put_args), &c, as_proc(xdr_put_result), &c));
        return c;
    }
    PutCall put_props(Client &client, Handle h, std::string user, std::vector<Value> values) {
        PutCall c;
        c.write = [=](XDR *x) {
            return put_body(
                x, h, user, [](XDR *) { return TRUE; }, values);
        };
        EXPECT_EQ(RPC_SUCCESS, client.call(4, as_proc(xdr_put_args), &c, as_proc(xdr_put_result), &c));
        return c;
    }
    // kxrpc_get_accessible_databases with the password checked: whether the password is taken.
    bool password_taken(Client &client, std::string user, std::string password) {
        struct Out {
            bool_t failed = TRUE;
        } out;
        struct In {
            std::string user, password;
        } in{std::move(user), std::move(password)};
        auto write = [](XDR *x, In *i) -> bool_t {
            bool_t security = TRUE;
            return put(x, 0) && put(x, 5) && put(x, std::string("KXDEMO")) && put(x, i->user) && put(x, i->password) &&
                   put(x, std::string("client")) && xdr_bool(x, &security);
        };
        auto read = [](XDR *x, Out *o) -> bool_t { return xdr_bool(x, &o->failed); };
        auto *w = +write;
        auto *r = +read;
        EXPECT_EQ(RPC_SUCCESS, client.call(28, as_proc(w), &in, as_proc(r), &out));
        return !out.failed;
    }
};

} // namespace

TEST_F(UsersE2E, UserDatabaseAndOwnUserFacts) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fetch db;
    db.session = login(client, "alice");
    db.type = 30;
    db.props = {{238, {}}, {227, {}}, {264, {}}, {265, {}}, {380, {}}, {275, {}}, {724, {}}, {1000000, {}}};
    db.dynamic = {{"PREF:", "S1"}};
    ASSERT_EQ(RPC_SUCCESS, call_fetch(client, db));
    ASSERT_FALSE(db.failed) << db.error.message;
    ASSERT_EQ(db.entries.size(), 8u);
    EXPECT_EQ(db.entries[0], "str:Everyone");
    EXPECT_EQ(db.entries[1], "[res50:Developers,res50:Everyone,res50:QA]");
    EXPECT_EQ(db.entries[2], "name:266");
    EXPECT_EQ(db.entries[3], "res27:local");
    EXPECT_EQ(db.entries[4], "res51:alice");
    EXPECT_EQ(db.entries[5].rfind("range:", 0), 0u) << db.entries[5];
    EXPECT_EQ(db.entries[6], "enum:1128");
    EXPECT_EQ(db.entries[7], "empty:970");

    Fetch me;
    me.session = db.session;
    me.type = 46;
    me.names = {"alice"};
    me.props = {{266, {}}, {231, {}}, {246, {}}, {289, {}}};
    ASSERT_EQ(RPC_SUCCESS, call_fetch(client, me));
    ASSERT_FALSE(me.failed) << me.error.message;
    EXPECT_EQ(me.entries, (std::vector<std::string>{"str:alice", "str:", "bool:1", "[res30:ISSUE,res30:TEST]"}));
}

TEST_F(UsersE2E, CreatedUserLogsOnlyOnceItHasAPasswordAndPutsSurviveSessions) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Handle admin = login(client, "admin");
    PutCall made = create_user(client, admin, "frank", {{237, 100001, "frank@korvax.example"}});
    ASSERT_FALSE(made.failed) << made.error.message;
    EXPECT_EQ(made.results, std::vector<std::string>{"ok"});
    // No password yet: nothing accepts one, not even an empty one.
    EXPECT_FALSE(password_taken(client, "frank", ""));
    EXPECT_FALSE(password_taken(client, "frank", "frank"));
    // The same name again is refused; a plain user may not create users.
    PutCall again = create_user(client, admin, "frank", {});
    EXPECT_TRUE(again.failed);
    EXPECT_EQ(again.error.reason, 4);
    Handle alice = login(client, "alice");
    EXPECT_TRUE(create_user(client, alice, "mallory", {}).failed);

    PutCall set = put_props(client, admin, "frank", {{231, 100001, "s3cret"}, {242, 100001, "Frank Fisher"}});
    ASSERT_FALSE(set.failed) << set.error.message;
    EXPECT_EQ(set.results, (std::vector<std::string>{"ok", "ok"}));
    EXPECT_TRUE(password_taken(client, "frank", "s3cret"));
    EXPECT_FALSE(password_taken(client, "frank", ""));

    // A second session of the administrator reads what the first one put.
    Client other(server_->port());
    ASSERT_TRUE(other.ok());
    Fetch f;
    f.session = login(other, "admin");
    f.type = 47;
    f.names = {"frank"};
    f.props = {{237, {}}, {242, {}}, {231, {}}, {246, {}}, {289, {}}};
    ASSERT_EQ(RPC_SUCCESS, call_fetch(other, f));
    ASSERT_FALSE(f.failed) << f.error.message;
    EXPECT_EQ(f.entries, (std::vector<std::string>{"str:frank@korvax.example", "str:Frank Fisher", "str:", "bool:1",
                                                   "empty:967"}));
}

namespace {

// A second server, B, on the data directory of the fixture's, A: two processes on one set, each
// with a folder of its own.
class TwoServersE2E : public UsersE2E {
protected:
    void SetUp() override {
        UsersE2E::SetUp();
        // The first login makes the demo set: A's, before B starts.
        Client a(server_->port());
        ASSERT_TRUE(a.ok());
        ASSERT_NE(login(a, "alice"), Handle{});
        other_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "2"}, other_dir_.path(),
                                                 std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data")});
        ASSERT_TRUE(other_->start());
    }
    void TearDown() override {
        other_->signal(SIGTERM);
        EXPECT_EQ(0, other_->wait().status);
        UsersE2E::TearDown();
    }
    // The user's full name as a fresh session of admin on `client` reads it.
    std::string full_name(Client &client, std::string const &user) {
        Fetch f;
        f.session = login(client, "admin");
        f.type = 47;
        f.names = {user};
        f.props = {{242, {}}};
        EXPECT_EQ(RPC_SUCCESS, call_fetch(client, f));
        EXPECT_FALSE(f.failed) << f.error.message;
        return f.entries.empty() ? "" : f.entries[0];
    }
    TempDir other_dir_;
    std::unique_ptr<ServerProcess> other_;
};

// A fetch of the session's own user: the cheapest call that names the session.
Fetch own_user(Handle session, std::string const &user) {
    Fetch f;
    f.session = session;
    f.type = 46;
    f.names = {user};
    f.props = {{266, {}}};
    return f;
}

} // namespace

// dave is made inactive through A: his session on B is refused at its next call as his logon is,
// and ends; his logon on B is refused too.
TEST_F(TwoServersE2E, AUserMadeInactiveThroughOneServerIsRefusedByTheOther) {
    Client a(server_->port()), b(other_->port());
    ASSERT_TRUE(a.ok() && b.ok());
    Handle const dave = login(b, "dave");
    Fetch before = own_user(dave, "dave");
    ASSERT_EQ(RPC_SUCCESS, call_fetch(b, before));
    ASSERT_FALSE(before.failed) << before.error.message;

    PutCall off = put_props(a, login(a, "admin"), "dave", {{246, 100006, "", false}});
    ASSERT_FALSE(off.failed) << off.error.message;
    ASSERT_EQ(off.results, std::vector<std::string>{"ok"});

    Fetch refused = own_user(dave, "dave");
    ASSERT_EQ(RPC_SUCCESS, call_fetch(b, refused));
    ASSERT_TRUE(refused.failed);
    EXPECT_EQ(refused.error.reason, 47);
    EXPECT_EQ(refused.error.message, "TLQSV0775E This login is forbidden: Login failed for user 'dave'.");
    // Released: the same handle now names no session.
    Fetch gone = own_user(dave, "dave");
    ASSERT_EQ(RPC_SUCCESS, call_fetch(b, gone));
    ASSERT_TRUE(gone.failed);
    EXPECT_EQ(gone.error.message, "TLQSV0769E Internal Error: Invalid Pointer");
    std::string error;
    login(b, "dave", &error);
    EXPECT_NE(error, "");
}

// bob, a super user while his administrator session on B was built, loses the right through A:
// that session sets no other user's full name from the next call on.
TEST_F(TwoServersE2E, ARightTakenAwayThroughOneServerIsGoneOnTheOther) {
    Client a(server_->port()), b(other_->port());
    ASSERT_TRUE(a.ok() && b.ok());
    Handle const admin = login(a, "admin");
    PutCall up = put_props(a, admin, "bob", {{260, 100006, "", true}});
    ASSERT_FALSE(up.failed) << up.error.message;
    ASSERT_EQ(up.results, std::vector<std::string>{"ok"});

    Handle const bob = login(b, "bob");
    PutCall as_super = put_props(b, bob, "carol", {{242, 100001, "Carol by Bob"}});
    ASSERT_FALSE(as_super.failed) << as_super.error.message;
    ASSERT_EQ(as_super.results, std::vector<std::string>{"ok"});
    EXPECT_EQ(full_name(a, "carol"), "str:Carol by Bob");

    PutCall down = put_props(a, admin, "bob", {{260, 100006, "", false}});
    ASSERT_FALSE(down.failed) << down.error.message;
    ASSERT_EQ(down.results, std::vector<std::string>{"ok"});

    PutCall refused = put_props(b, bob, "carol", {{242, 100001, "Carol again"}});
    EXPECT_TRUE(refused.failed || refused.results != std::vector<std::string>{"ok"});
    EXPECT_EQ(full_name(a, "carol"), "str:Carol by Bob");
    EXPECT_EQ(full_name(b, "carol"), "str:Carol by Bob");
    // His session itself goes on.
    Fetch mine = own_user(bob, "bob");
    ASSERT_EQ(RPC_SUCCESS, call_fetch(b, mine));
    EXPECT_FALSE(mine.failed) << mine.error.message;
}
