// The administration procedures against the real program and its demo set, with a libtirpc client.
#include "server_process.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// A request body written by a function.
struct Request {
    std::function<bool_t(XDR *)> write;
};
bool_t xdr_request(XDR *xdrs, Request *r) { return r->write(xdrs); }

// The reply: FALSE and its strings (a count first unless the body is one string), or TRUE and an
// error record.
struct Reply {
    enum Shape { EMPTY, ONE_STRING, COUNTED, PAIRS } shape = EMPTY;
    bool_t failed = FALSE;
    ErrorRecord error;
    std::vector<std::string> strings;
};
bool_t xdr_reply(XDR *xdrs, Reply *r) {
    if (!xdr_bool(xdrs, &r->failed)) return FALSE;
    if (r->failed) return xdr_error_record(xdrs, &r->error);
    int n = 0;
    if (r->shape == Reply::ONE_STRING)
        n = 1;
    else if (r->shape != Reply::EMPTY && !xdr_int(xdrs, &n))
        return FALSE;
    if (r->shape == Reply::PAIRS) n *= 2;
    if (n < 0 || n > 1000) return FALSE;
    r->strings.resize(static_cast<std::size_t>(n));
    for (auto &s : r->strings)
        if (!xdr_utf8(xdrs, &s)) return FALSE;
    return TRUE;
}

bool_t put(XDR *x, std::string s) { return xdr_utf8(x, &s); }
bool_t put(XDR *x, int v) { return xdr_int(x, &v); }

using Handle = std::array<char, 16>;

class AdminE2E : public testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "2"}, dir_.path(),
                                                  std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data")});
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
    }
    void TearDown() override {
        client_.reset();
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
    }

    Reply call(rpcproc_t proc, Reply::Shape shape, std::function<bool_t(XDR *)> write) {
        Request request{std::move(write)};
        Reply reply;
        reply.shape = shape;
        EXPECT_EQ(RPC_SUCCESS, client_->call(proc, as_proc(xdr_request), &request, as_proc(xdr_reply), &reply)) << proc;
        return reply;
    }

    // A call whose reply is FALSE and a state handle (its leading part, for create_temp).
    Handle handle_call(rpcproc_t proc, std::function<bool_t(XDR *)> write) {
        struct Out {
            Handle handle{};
            bool_t failed = TRUE;
        } out;
        Request request{std::move(write)};
        auto read = [](XDR *x, Out *o) -> bool_t {
            u_int length = 0;
            return xdr_bool(x, &o->failed) && !o->failed && xdr_u_int(x, &length) && length == 16 &&
                   xdr_opaque(x, o->handle.data(), 16);
        };
        auto *routine = +read;
        EXPECT_EQ(RPC_SUCCESS, client_->call(proc, as_proc(xdr_request), &request, as_proc(routine), &out)) << proc;
        EXPECT_FALSE(out.failed) << proc;
        return out.handle;
    }
    Handle login(std::string const &repository, std::string const &user) {
        return handle_call(5, [=](XDR *x) {
            bool_t security = FALSE;
            return put(x, 0) && put(x, 1) && put(x, repository) && put(x, user) && put(x, user) &&
                   put(x, std::string("en_US")) && put(x, std::string()) && xdr_bool(x, &security) &&
                   put(x, std::string());
        });
    }

    // Correlator none, the session handle, locale, trace id.
    static bool_t header(XDR *x, Handle &h) {
        u_int no_correlator = 0, length = 16;
        return xdr_u_int(x, &no_correlator) && xdr_u_int(x, &length) && xdr_opaque(x, h.data(), 16) &&
               put(x, std::string("en_US")) && put(x, 3);
    }
    Reply master(Handle h, std::string action, std::string value, bool user_session) {
        return call(34, Reply::ONE_STRING, [=](XDR *x) mutable {
            bool_t flag = user_session;
            return header(x, h) && put(x, action) && put(x, std::string("owner")) && put(x, value) &&
                   put(x, std::string("ISSUE")) && put(x, std::string("local")) && xdr_bool(x, &flag);
        });
    }
    // A user target by name (type 47).
    Reply upgrade(Handle h, std::string user) {
        return call(26, Reply::COUNTED,
                    [=](XDR *x) mutable { return header(x, h) && put(x, 47) && put(x, 1) && put(x, user); });
    }

    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

} // namespace

TEST_F(AdminE2E, AdministrationOverOneConnection) {
    Reply test = call(27, Reply::ONE_STRING, [](XDR *x) {
        return put(x, 0) && put(x, 5) && put(x, std::string("KXDEMO")) && put(x, std::string("TEST"));
    });
    ASSERT_FALSE(test.failed) << test.error.message;
    EXPECT_EQ(test.strings, std::vector<std::string>{"Scratch database for trying things out"});
    Reply dbs = call(28, Reply::PAIRS, [](XDR *x) {
        bool_t security = TRUE;
        return put(x, 0) && put(x, 5) && put(x, std::string("KXDEMO")) && put(x, std::string("carol")) &&
               put(x, std::string("carol")) && put(x, std::string("client")) && xdr_bool(x, &security);
    });
    EXPECT_EQ(dbs.strings, (std::vector<std::string>{"ISSUE", "Issue tracking demo database", "TEST",
                                                     "Scratch database for trying things out"}));

    Handle admin = login("KXDEMO", "admin");
    Handle alice = login("KXDEMO/ISSUE", "alice");
    EXPECT_EQ(master(admin, "SET_VALUE", "remote-east", false).strings, std::vector<std::string>{""});
    EXPECT_EQ(master(alice, "GET_VALUE", "", true).strings, std::vector<std::string>{"remote-east"});
    EXPECT_EQ(master(admin, "UNSET_VALUE", "", false).strings, std::vector<std::string>{""});
    EXPECT_EQ(master(admin, "get_value", "", false).error.reason, 33);
    EXPECT_EQ(upgrade(admin, "bob").strings,
              (std::vector<std::string>{"User 'bob' is up to date in database 'ISSUE'.",
                                        "User 'bob' is up to date in database 'TEST'."}));
    // alice is no administrator: refused, and the connection serves on.
    for (Reply r : {upgrade(alice, "bob"), master(alice, "SET_VALUE", "x", false)}) {
        EXPECT_EQ(r.error.reason, 47);
        EXPECT_EQ(r.error.message,
                  "TLQSV0775E This login is forbidden: User 'alice' has no administrator rights on 'KXDEMO'.");
    }
    // A record named by type and name is not held for editing: nothing to revert.
    Reply revert = call(29, Reply::EMPTY, [&](XDR *x) {
        return header(x, alice) && put(x, 32) && put(x, 1) && put(x, std::string("Defect")) &&
               put(x, std::string("ISSUE00000002"));
    });
    EXPECT_EQ(revert.error.message, "TLQSV0995E Only actionable resources are legal for Revert");
    // A record held by create_temp for its Modify action reverts once.
    Handle held = handle_call(9, [&](XDR *x) {
        bool_t has_action = TRUE, has_duplicate = FALSE;
        return header(x, alice) && put(x, 32) && put(x, 1) && put(x, std::string("Defect")) &&
               put(x, std::string("ISSUE00000002")) && xdr_bool(x, &has_action) && put(x, 40) && put(x, 1) &&
               put(x, std::string("Defect")) && put(x, std::string("Modify")) && xdr_bool(x, &has_duplicate);
    });
    auto revert_held = [&] {
        return call(29, Reply::EMPTY, [&](XDR *x) {
            u_int length = 16;
            return header(x, alice) && put(x, 32) && put(x, 3) && xdr_u_int(x, &length) &&
                   xdr_opaque(x, held.data(), 16);
        });
    };
    Reply first = revert_held();
    EXPECT_FALSE(first.failed) << first.error.message;
    EXPECT_EQ(revert_held().error.message, "TLQSV0995E Only actionable resources are legal for Revert");
    EXPECT_EQ(client_->ping(), RPC_SUCCESS);
}
