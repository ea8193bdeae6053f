#include "props_client.h"

#include <arpa/inet.h>

#include <cstring>

namespace e2e {

bool_t xdr_handle(XDR *xdrs, Handle *h) {
    u_int length = 16;
    return xdr_u_int(xdrs, &length) && length == 16 && xdr_opaque(xdrs, h->data(), 16);
}

bool_t xdr_session_header(XDR *xdrs, Handle *session, int wtid) {
    u_int no_correlator = 0;
    std::string locale = "en_US";
    return xdr_u_int(xdrs, &no_correlator) && xdr_handle(xdrs, session) && xdr_utf8(xdrs, &locale) &&
           xdr_int(xdrs, &wtid);
}

namespace {

bool_t xdr_login_args(XDR *xdrs, Login *l) {
    u_int no_correlator = 0;
    int wtid = 1;
    bool_t security = FALSE;
    std::string locale = "en_US", empty;
    return xdr_u_int(xdrs, &no_correlator) && xdr_int(xdrs, &wtid) && xdr_utf8(xdrs, &l->repository) &&
           xdr_utf8(xdrs, &l->user) && xdr_utf8(xdrs, &l->user) && xdr_utf8(xdrs, &locale) && xdr_utf8(xdrs, &empty) &&
           xdr_bool(xdrs, &security) && xdr_utf8(xdrs, &empty);
}

bool_t xdr_login_result(XDR *xdrs, Login *l) {
    if (!xdr_bool(xdrs, &l->failed)) return FALSE;
    return l->failed ? xdr_error_record(xdrs, &l->error) : xdr_handle(xdrs, &l->handle);
}

bool_t xdr_fetch_args(XDR *xdrs, Fetch *f) {
    u_int no_correlator = 0;
    bool_t no = FALSE;
    std::string locale = "en_US";
    int wtid = 2, marshall = f->by_handle ? 3 : 1;
    // A database set or user database target is its type alone.
    bool const bodiless = f->type == 29 || f->type == 30;
    if (!xdr_u_int(xdrs, &no_correlator) || !xdr_bool(xdrs, &no) || !xdr_handle(xdrs, &f->session) ||
        !xdr_utf8(xdrs, &locale) || !xdr_int(xdrs, &wtid) || !xdr_int(xdrs, &f->type) ||
        (!bodiless && !xdr_int(xdrs, &marshall)))
        return FALSE;
    if (f->by_handle && !xdr_handle(xdrs, &f->held)) return FALSE;
    for (std::string &name : f->names)
        if (!f->by_handle && !bodiless && !xdr_utf8(xdrs, &name)) return FALSE;
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
bool_t read_tagged(XDR *xdrs, int tag, std::string &out);

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
    return xdr_int(xdrs, &tag) && read_tagged(xdrs, tag, out);
}

// The value after its tag. A record stream cannot seek back: a list reads each element's tag
// first to see whether the list ends.
bool_t read_tagged(XDR *xdrs, int tag, std::string &out) {
    switch (tag) {
    case 100001:
        out += "str:";
        return read_text(xdrs, out);
    case 100007:
        out += "time:";
        return read_text(xdrs, out);
    case 100019:
        out += "xml:";
        return read_text(xdrs, out);
    case 100002:
        out += "empty:";
        return read_int(xdrs, out);
    case 100003:
        out += "enum:";
        return read_int(xdrs, out);
    case 100005:
        out += "int:";
        return read_int(xdrs, out);
    case 100006:
        out += "bool:";
        return read_int(xdrs, out);
    case 100011:
        out += "unsupported";
        return TRUE;
    case 100012:
        out += "unavailable";
        return TRUE;
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
            if (!xdr_int(xdrs, &next)) return FALSE;
            if (next == 100009) break;
            if (!first) out += ",";
            if (!read_tagged(xdrs, next, out) || !xdr_bool(xdrs, &more)) return FALSE;
        }
        out += "]";
        return TRUE;
    }
    case 33:
        out += "sel:";
        for (int i = 0; i < 4; ++i) {
            if (i) out += "|";
            if (!read_text(xdrs, out)) return FALSE;
        }
        return TRUE;
    case 27: // replica, user database, user, group and login named by text
    case 30:
    case 49:
    case 50:
    case 51:
        out += "res" + std::to_string(tag) + ":";
        return read_text(xdrs, out);
    case 100022:
        out += "range:";
        if (!read_int(xdrs, out)) return FALSE;
        out += "-";
        return read_int(xdrs, out);
    case 100020: {
        // A child binding: the child's name, then its reference.
        int type = 0;
        out += "bind:";
        if (!read_text(xdrs, out) || !xdr_int(xdrs, &type)) return FALSE;
        out += "=";
        return read_tagged(xdrs, type, out);
    }
    default: {
        // A resource reference: one segment for record types, workspace items and lists, three
        // for attachment folders, two for the others.
        int segments = tag == 31 || (tag >= 35 && tag <= 38) || tag == 42 ? 1 : tag == 44 ? 3 : 2;
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

bool_t xdr_deliver(XDR *xdrs, Deliver *d) {
    u_int no_correlator = 0;
    int wtid = 1;
    std::string locale = "en_US";
    if (!xdr_u_int(xdrs, &no_correlator) || !xdr_handle(xdrs, &d->session) || !xdr_utf8(xdrs, &locale) ||
        !xdr_int(xdrs, &wtid))
        return FALSE;
    for (auto &h : d->records) {
        bool_t more = TRUE;
        if (!xdr_bool(xdrs, &more) || !xdr_int(xdrs, &d->kind) || !xdr_handle(xdrs, &h)) return FALSE;
    }
    bool_t end = FALSE;
    return xdr_bool(xdrs, &end);
}

bool_t xdr_deliver_reply(XDR *xdrs, Deliver *d) {
    if (!xdr_bool(xdrs, &d->failed)) return FALSE;
    if (d->failed) return xdr_error_record(xdrs, &d->error);
    for (;;) {
        bool_t more = FALSE;
        if (!xdr_bool(xdrs, &more)) return FALSE;
        if (!more) return TRUE;
        Deliver::Result r;
        if (!xdr_int(xdrs, &r.kind)) return FALSE;
        if (r.kind == 0 && !xdr_error_record(xdrs, &r.error)) return FALSE;
        if (r.kind == 1 && (!xdr_utf8(xdrs, &r.first) || !xdr_utf8(xdrs, &r.second))) return FALSE;
        if (r.kind != 0 && r.kind != 1) return FALSE;
        d->results.push_back(r);
    }
}

} // namespace

clnt_stat call_login(Client &client, Login &login) {
    return client.call(5, as_proc(xdr_login_args), &login, as_proc(xdr_login_result), &login);
}

clnt_stat call_fetch(Client &client, Fetch &fetch) {
    return client.call(3, as_proc(xdr_fetch_args), &fetch, as_proc(xdr_fetch_result), &fetch);
}

std::vector<char> fetch_call_record(Fetch &fetch, u_int xid) {
    std::vector<char> record(4 + 64 * 1024);
    XDR xdrs;
    xdrmem_create(&xdrs, record.data() + 4, static_cast<u_int>(record.size() - 4), XDR_ENCODE);
    rpc_msg call{};
    call.rm_xid = xid;
    call.rm_direction = CALL;
    call.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    call.rm_call.cb_prog = program;
    call.rm_call.cb_vers = version;
    call.rm_call.cb_proc = 3;
    call.rm_call.cb_cred = _null_auth;
    call.rm_call.cb_verf = _null_auth;
    bool ok = xdr_callmsg(&xdrs, &call) && xdr_fetch_args(&xdrs, &fetch);
    u_int length = ok ? xdr_getpos(&xdrs) : 0;
    xdr_destroy(&xdrs);
    record.resize(ok ? 4 + length : 0);
    if (ok) {
        u_int mark = htonl(0x80000000u | length);
        std::memcpy(record.data(), &mark, 4);
    }
    return record;
}

clnt_stat call_deliver(Client &client, Deliver &deliver) {
    return client.call(10, as_proc(xdr_deliver), &deliver, as_proc(xdr_deliver_reply), &deliver);
}

namespace {

struct DeleteRequest {
    std::vector<Handle> handles;
};

bool_t xdr_delete_request(XDR *xdrs, DeleteRequest *r) {
    u_int no_correlator = 0;
    int count = static_cast<int>(r->handles.size());
    if (!xdr_u_int(xdrs, &no_correlator) || !xdr_int(xdrs, &count)) return FALSE;
    for (auto &h : r->handles)
        if (!xdr_handle(xdrs, &h)) return FALSE;
    return TRUE;
}

struct DeleteReply {
    std::size_t expected = 0;
    std::vector<int> unknown;
};

bool_t xdr_delete_reply(XDR *xdrs, DeleteReply *r) {
    bool_t failed = FALSE;
    if (!xdr_bool(xdrs, &failed) || failed) return FALSE;
    r->unknown.assign(r->expected, 0);
    for (auto &u : r->unknown)
        if (!xdr_bool(xdrs, &u)) return FALSE;
    return TRUE;
}

} // namespace

std::vector<int> delete_state(Client &client, std::vector<Handle> handles) {
    DeleteRequest request{std::move(handles)};
    DeleteReply reply;
    reply.expected = request.handles.size();
    if (client.call(2, as_proc(xdr_delete_request), &request, as_proc(xdr_delete_reply), &reply) != RPC_SUCCESS)
        return {-1};
    return reply.unknown;
}

bool_t xdr_made_attachment(XDR *xdrs, bool_t *failed, Handle *attachment, ErrorRecord *error) {
    if (!xdr_bool(xdrs, failed)) return FALSE;
    if (*failed) return error != nullptr && xdr_error_record(xdrs, error);
    if (!xdr_handle(xdrs, attachment)) return FALSE;
    for (int i = 0; i < 4; ++i) {
        std::string text;
        if (!xdr_utf8(xdrs, &text)) return FALSE;
    }
    return TRUE;
}

bool_t xdr_get_by_handle(XDR *xdrs, Handle *session, Handle *attachment, int chunk) {
    int type = 44, by_handle = 3;
    return xdr_session_header(xdrs, session, 3) && xdr_int(xdrs, &type) && xdr_int(xdrs, &by_handle) &&
           xdr_handle(xdrs, attachment) && xdr_int(xdrs, &chunk);
}

bool_t xdr_chunk_stream(XDR *xdrs, int chunk, std::function<void(char const *, u_int)> const &take) {
    std::vector<char> piece(static_cast<std::size_t>(chunk));
    bool_t failed = TRUE;
    if (!xdr_bool(xdrs, &failed) || failed) return FALSE;
    for (;;) {
        bool_t error = FALSE;
        u_int n = 0;
        if (!xdr_bool(xdrs, &error) || error || !xdr_u_int(xdrs, &n) || n > piece.size() ||
            !xdr_opaque(xdrs, piece.data(), n))
            return FALSE;
        take(piece.data(), n);
        if (n < static_cast<u_int>(chunk)) return TRUE;
    }
}

} // namespace e2e
