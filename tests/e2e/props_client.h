// A libtirpc client of the property procedures: login, and fetch_props on a target given by
// name with its reply read back as short texts, one per requested entry.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "server_process.h"

namespace e2e {

using Handle = std::array<char, 16>;

struct Login {
    std::string repository = "KXDEMO/ISSUE", user = "alice";
    bool_t failed = TRUE;
    Handle handle{};
    ErrorRecord error;
};

// One requested property and the meta ids asked of it.
struct Prop {
    int id;
    std::vector<int> metas;
};

// A fetch_props call on a target given by name (or by the state handle `held` when
// `by_handle`), and its reply.
struct Fetch {
    Handle session{};
    int type = 31;
    std::vector<std::string> names;
    bool by_handle = false;
    Handle held{};
    std::vector<Prop> props;
    std::vector<std::pair<std::string, std::string>> dynamic; // namespace abbreviation, name
    // The reply: the error arm's reason and message, or one text per requested entry: "str:..",
    // "int:..", "bool:..", "enum:..", "empty:..", "name:..", "unsupported", "error:<reason>:..",
    // "res<code>:<segments>", "sel:<type>|<name>|<type id>|<id>" for a record name selector
    // and "[..,..]" for a list; the values of one entry's metas are
    // separated by a space.
    bool_t failed = FALSE;
    ErrorRecord error;
    std::vector<std::string> entries;
};

// deliver_change_context of record commits, one operation of `kind` (5 new, 6 edited) per
// record handle, and the result records of its reply.
struct Deliver {
    Handle session{};
    int kind = 6;
    std::vector<Handle> records;
    bool_t failed = TRUE;
    ErrorRecord error;
    struct Result {
        int kind = -1;
        std::string first, second;
        ErrorRecord error;
    };
    std::vector<Result> results;
};

// A state handle on the wire (16 opaque bytes), and the header every session request starts with.
bool_t xdr_handle(XDR *xdrs, Handle *h);
bool_t xdr_session_header(XDR *xdrs, Handle *session, int wtid);

// Login with the user's name as password.
clnt_stat call_login(Client &client, Login &login);
clnt_stat call_fetch(Client &client, Fetch &fetch);
// The fetch_props call as one record-marked record, for a client that speaks raw TCP.
std::vector<char> fetch_call_record(Fetch &fetch, u_int xid);
clnt_stat call_deliver(Client &client, Deliver &deliver);
// delete_state of `handles`: one answer per handle, 1 (TRUE) for an unknown one; {-1} when the call
// fails.
std::vector<int> delete_state(Client &client, std::vector<Handle> handles);

// The reply of make_attachment: FALSE and the new attachment's handle, then the names of its record
// type, record, field and file (read and dropped); or TRUE and the error record (error may be null
// when the caller wants no error).
bool_t xdr_made_attachment(XDR *xdrs, bool_t *failed, Handle *attachment, ErrorRecord *error);
// The request of get_attachment for an attachment's state handle, in chunks of `chunk` bytes.
bool_t xdr_get_by_handle(XDR *xdrs, Handle *session, Handle *attachment, int chunk);
// Its reply: FALSE, then the chunk stream, each chunk's bytes handed to `take`; false on TRUE.
bool_t xdr_chunk_stream(XDR *xdrs, int chunk, std::function<void(char const *, u_int)> const &take);

} // namespace e2e
