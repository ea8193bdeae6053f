// fetch_props and put_props against the real program and its demo set, with a libtirpc client.
#include "demo_server.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

using Handle = std::array<char, 16>;

bool_t xdr_handle(XDR *xdrs, Handle *h) {
    u_int length = 16;
    return xdr_u_int(xdrs, &length) && length == 16 && xdr_opaque(xdrs, h->data(), 16);
}

struct Login {
    std::string repository = "KXDEMO/ISSUE", user = "alice";
    bool_t failed = TRUE;
    Handle handle{};
    ErrorRecord error;
};

bool_t xdr_login_args(XDR *xdrs, Login *l) {
    u_int no_correlator = 0;
    int wtid = 1;
    bool_t security = FALSE;
    std::string locale = "en_US", empty;
    return xdr_u_int(xdrs, &no_correlator) && xdr_int(xdrs, &wtid) && xdr_utf8(xdrs, &l->repository) &&
           xdr_utf8(xdrs, &l->user) && xdr_utf8(xdrs, &l->user) && xdr_utf8(xdrs, &locale) &&
           xdr_utf8(xdrs, &empty) && xdr_bool(xdrs, &security) && xdr_utf8(xdrs, &empty);
}

bool_t xdr_login_result(XDR *xdrs, Login *l) {
    if (!xdr_bool(xdrs, &l->failed)) return FALSE;
    return l->failed ? xdr_error_record(xdrs, &l->error) : xdr_handle(xdrs, &l->handle);
}

// One requested property and the meta ids asked of it.
struct Prop {
    int id;
    std::vector<int> metas;
};

// A fetch_props call on a target given by name, and its reply as readable texts, one per value.
struct Fetch {
    Handle session{};
    int type = 31;
    std::vector<std::string> names;
    std::vector<Prop> props;
    std::vector<std::pair<std::string, std::string>> dynamic; // namespace abbreviation, name
    // The reply: error arm, or one text per requested entry.
    bool_t failed = FALSE;
    ErrorRecord error;
    std::vector<std::string> entries;
};

bool_t xdr_fetch_args(XDR *xdrs, Fetch *f) {
    u_int no_correlator = 0;
    bool_t no = FALSE;
    std::string locale = "en_US";
    int wtid = 2, by_name = 1;
    if (!xdr_u_int(xdrs, &no_correlator) || !xdr_bool(xdrs, &no) || !xdr_handle(xdrs, &f->session) ||
        !xdr_utf8(xdrs, &locale) || !xdr_int(xdrs, &wtid) || !xdr_int(xdrs, &f->type) || !xdr_int(xdrs, &by_name))
        return FALSE;
    for (std::string &name : f->names)
        if (!xdr_utf8(xdrs, &name)) return FALSE;
    int count = static_cast<int>(f->props.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (Prop &p : f->props) {
        if (!xdr_int(xdrs, &p.id)) return FALSE;
        if (p.metas.empty()) continue;
        int open = -1, close = -2;
        if (!xdr_int(xdrs, &open)) return FALSE;
        for (int &m : p.metas)
            if (!xdr_int(xdrs, &m)) return FALSE;
        if (!xdr_int(xdrs, &close)) return FALSE;
    }
    int end = 0;
    int dynamic = static_cast<int>(f->dynamic.size());
    if (!xdr_int(xdrs, &end) || !xdr_int(xdrs, &dynamic)) return FALSE;
    for (auto &[ns, name] : f->dynamic)
        if (!xdr_utf8(xdrs, &ns) || !xdr_utf8(xdrs, &name)) return FALSE;
    return xdr_bool(xdrs, &no) && xdr_bool(xdrs, &no);
}

bool_t read_value(XDR *xdrs, std::string &out);

bool_t read_int(XDR *xdrs, std::string &out) {
    int v = 0;
    if (!xdr_int(xdrs, &v)) return FALSE;
    out += std::to_string(v);
    return TRUE;
}

bool_t read_text(XDR *xdrs, std::string &out) {
    std::string text;
    if (!xdr_utf8(xdrs, &text)) return FALSE;
    out += text;
    return TRUE;
}

// Texts: "str:..", "int:..", "bool:..", "enum:..", "empty:..", "name:..", "unsupported",
// "error:<reason>", "res<code>:<segments>" and "[..,..]" for a list.
bool_t read_value(XDR *xdrs, std::string &out) {
    int tag = 0;
    if (!xdr_int(xdrs, &tag)) return FALSE;
    switch (tag) {
    case 100001: out += "str:"; return read_text(xdrs, out);
    case 100007: out += "time:"; return read_text(xdrs, out);
    case 100019: out += "xml:"; return read_text(xdrs, out);
    case 100002: out += "empty:"; return read_int(xdrs, out);
    case 100003: out += "enum:"; return read_int(xdrs, out);
    case 100005: out += "int:"; return read_int(xdrs, out);
    case 100006: out += "bool:"; return read_int(xdrs, out);
    case 100011: out += "unsupported"; return TRUE;
    case 100012: out += "unavailable"; return TRUE;
    case 100010: {
        bool_t by_id = FALSE;
        if (!xdr_bool(xdrs, &by_id)) return FALSE;
        out += "name:";
        return by_id ? read_int(xdrs, out) : read_text(xdrs, out);
    }
    case 100013: {
        ErrorRecord e;
        if (!xdr_error_record(xdrs, &e)) return FALSE;
        out += "error:" + std::to_string(e.reason) + ":" + e.message;
        return TRUE;
    }
    case 100008: {
        out += "[";
        int element = 0;
        bool_t more = FALSE;
        if (!xdr_int(xdrs, &element) || !xdr_bool(xdrs, &more)) return FALSE;
        for (bool first = true;; first = false) {
            int next = 0;
            // Peek the next tag: the end of the list, or one more element and its TRUE.
            u_int at = xdr_getpos(xdrs);
            if (!xdr_int(xdrs, &next)) return FALSE;
            if (next == 100009) break;
            if (at != static_cast<u_int>(-1) && !xdr_setpos(xdrs, at)) return FALSE;
            if (!first) out += ",";
            if (!read_value(xdrs, out) || !xdr_bool(xdrs, &more)) return FALSE;
        }
        out += "]";
        return TRUE;
    }
    default: {
        // A resource reference; the kinds these tests see carry one or two segments.
        int segments = tag == 31 ? 1 : 2;
        out += "res" + std::to_string(tag);
        for (int i = 0; i < segments; ++i) {
            out += i == 0 ? ":" : ",";
            if (!read_int(xdrs, out)) return FALSE;
        }
        return TRUE;
    }
    }
}

bool_t xdr_fetch_result(XDR *xdrs, Fetch *f) {
    if (!xdr_bool(xdrs, &f->failed)) return FALSE;
    // An error arm may name the target as its resource: only its reason and message are read.
    if (f->failed) return xdr_int(xdrs, &f->error.reason) && xdr_utf8(xdrs, &f->error.message);
    for (;;) {
        bool_t more = FALSE;
        if (!xdr_bool(xdrs, &more)) return FALSE;
        if (!more) return TRUE;
        f->entries.emplace_back();
        std::size_t metas = f->props.at(f->entries.size() - 1).metas.size();
        for (std::size_t i = 0; i < (metas ? metas : 1); ++i) {
            if (i) f->entries.back() += " ";
            if (!read_value(xdrs, f->entries.back())) return FALSE;
        }
    }
}

class PropsE2E : public DemoServerTest {
protected:
    static Handle login(Client &client) {
        Login l;
        EXPECT_EQ(RPC_SUCCESS, client.call(5, as_proc(xdr_login_args), &l, as_proc(xdr_login_result), &l));
        EXPECT_FALSE(l.failed) << l.error.message;
        return l.handle;
    }

    static clnt_stat fetch(Client &client, Fetch &f) {
        return client.call(3, as_proc(xdr_fetch_args), &f, as_proc(xdr_fetch_result), &f);
    }
};

} // namespace

TEST_F(PropsE2E, RecordTypePropertiesOfTheDemoSet) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fetch f;
    f.session = login(client);
    f.names = {"Defect"};
    f.props = {{1061, {}}, {515, {}}, {490, {}}, {636, {}}, {9999, {}}, {1061, {942, 943}}, {595, {}}};
    ASSERT_EQ(RPC_SUCCESS, fetch(client, f));
    ASSERT_FALSE(f.failed) << f.error.message;
    EXPECT_EQ(f.entries, (std::vector<std::string>{"str:Defect", "bool:0", "bool:0", "empty:954", "unsupported",
                                                   "str:Defect unsupported", "empty:967"}));
}

TEST_F(PropsE2E, FetchesOnFourConnectionsAtOnceAndAfterAFailedOne) {
    {
        // libtirpc makes its shared null authenticator on first use without a lock: make it here.
        Client first(server_->port());
        ASSERT_EQ(RPC_SUCCESS, first.ping());
    }
    std::vector<std::thread> clients;
    std::vector<std::vector<std::string>> seen(4);
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, t] {
            Client client(server_->port());
            if (!client.ok()) return;
            Handle session = login(client);
            for (int i = 0; i < 10; ++i) {
                // A target that does not exist fails the call; the connection goes on.
                Fetch missing;
                missing.session = session;
                missing.names = {"NoSuchType"};
                missing.props = {{1061, {}}};
                if (fetch(client, missing) != RPC_SUCCESS || !missing.failed || missing.error.reason == 0)
                    seen[t].push_back("no error");
                Fetch f;
                f.session = session;
                f.names = {i % 2 ? "AllIssues" : "Defect"};
                f.props = {{490, {}}, {516, {}}};
                if (fetch(client, f) != RPC_SUCCESS || f.failed) {
                    seen[t].push_back("failed");
                    continue;
                }
                seen[t].push_back(f.entries.at(0) + " " + f.entries.at(1));
            }
        });
    for (auto &c : clients)
        c.join();
    for (int t = 0; t < 4; ++t) {
        ASSERT_EQ(seen[t].size(), 10u) << t;
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(seen[t][i], i % 2 ? "bool:1 bool:0" : "bool:0 bool:1") << t << " " << i;
    }
}
