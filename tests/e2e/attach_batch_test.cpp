// Attachments through a change batch against the real program with a libtirpc client: upload with
// make_attachment, add it to a record being edited (kind 8), commit the record (kind 6) and read
// the stored content back with get_attachment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo_server.h"
#include "props_client.h"

using namespace e2e;

namespace {

bool_t xdr_header(XDR *xdrs, Handle *session) { return xdr_session_header(xdrs, session, 5); }

bool_t xdr_names(XDR *xdrs, int type, std::vector<std::string> names) {
    int by_name = 1;
    if (!xdr_int(xdrs, &type) || !xdr_int(xdrs, &by_name)) return FALSE;
    for (auto &n : names)
        if (!xdr_utf8(xdrs, &n)) return FALSE;
    return TRUE;
}

constexpr char const *record_name = "ISSUE00000003";

// make_attachment of `content` in chunks of at most 4 bytes, ended by an empty chunk.
struct Upload {
    Handle session{}, attachment{};
    std::string content;
    bool_t failed = TRUE;
    ErrorRecord error;
};

bool_t xdr_upload(XDR *xdrs, Upload *u) {
    int chunk = 4;
    std::string file = "e2e.bin", comment = "through a batch";
    if (!xdr_header(xdrs, &u->session) || !xdr_names(xdrs, 45, {"Defect", record_name, "Attachments"}) ||
        !xdr_utf8(xdrs, &file) || !xdr_utf8(xdrs, &comment) || !xdr_int(xdrs, &chunk))
        return FALSE;
    for (std::size_t at = 0; at < u->content.size(); at += 4) {
        u_int n = static_cast<u_int>(std::min<std::size_t>(4, u->content.size() - at));
        if (!xdr_u_int(xdrs, &n) || !xdr_opaque(xdrs, u->content.data() + at, n)) return FALSE;
    }
    u_int end = 0;
    return xdr_u_int(xdrs, &end);
}

bool_t xdr_upload_reply(XDR *xdrs, Upload *u) {
    if (!xdr_bool(xdrs, &u->failed)) return FALSE;
    if (u->failed) return xdr_error_record(xdrs, &u->error);
    if (!xdr_handle(xdrs, &u->attachment)) return FALSE;
    for (int i = 0; i < 4; ++i) {
        std::string text;
        if (!xdr_utf8(xdrs, &text)) return FALSE;
    }
    return TRUE;
}

// create_temp of the record for Modify.
struct Temp {
    Handle session{}, record{};
    bool_t failed = TRUE;
    ErrorRecord error;
};

bool_t xdr_temp(XDR *xdrs, Temp *t) {
    u_int no_correlator = 0;
    std::string locale = "en_US";
    int wtid = 5;
    bool_t has_action = TRUE, has_duplicate = FALSE;
    return xdr_u_int(xdrs, &no_correlator) && xdr_handle(xdrs, &t->session) && xdr_utf8(xdrs, &locale) &&
           xdr_int(xdrs, &wtid) && xdr_names(xdrs, 32, {"Defect", record_name}) && xdr_bool(xdrs, &has_action) &&
           xdr_names(xdrs, 40, {"Defect", "Modify"}) && xdr_bool(xdrs, &has_duplicate);
}

bool_t xdr_temp_reply(XDR *xdrs, Temp *t) {
    std::string name, id;
    if (!xdr_bool(xdrs, &t->failed)) return FALSE;
    if (t->failed) return xdr_error_record(xdrs, &t->error);
    return xdr_handle(xdrs, &t->record) && xdr_utf8(xdrs, &name) && xdr_utf8(xdrs, &id);
}

// deliver_change_context: kind 8 (record, attachment), then kind 6 (record).
struct Batch {
    Handle session{}, record{}, attachment{};
    bool_t failed = TRUE;
    ErrorRecord error;
    std::vector<int> kinds;
    std::vector<std::string> firsts;
};

bool_t xdr_batch(XDR *xdrs, Batch *b) {
    bool_t more = TRUE, end = FALSE;
    int add = 8, commit = 6;
    return xdr_header(xdrs, &b->session) && xdr_bool(xdrs, &more) && xdr_int(xdrs, &add) &&
           xdr_handle(xdrs, &b->record) && xdr_handle(xdrs, &b->attachment) && xdr_bool(xdrs, &more) &&
           xdr_int(xdrs, &commit) && xdr_handle(xdrs, &b->record) && xdr_bool(xdrs, &end);
}

bool_t xdr_batch_reply(XDR *xdrs, Batch *b) {
    if (!xdr_bool(xdrs, &b->failed)) return FALSE;
    if (b->failed) return xdr_error_record(xdrs, &b->error);
    for (;;) {
        bool_t more = FALSE;
        int kind = -1;
        if (!xdr_bool(xdrs, &more)) return FALSE;
        if (!more) return TRUE;
        if (!xdr_int(xdrs, &kind)) return FALSE;
        b->kinds.push_back(kind);
        std::string first, second;
        if (kind == 0 && !xdr_error_record(xdrs, &b->error)) return FALSE;
        if (kind == 1 && (!xdr_utf8(xdrs, &first) || !xdr_utf8(xdrs, &second))) return FALSE;
        if (kind != 0 && kind != 1) return FALSE;
        b->firsts.push_back(first);
    }
}

// get_attachment of the stored attachment by name, in chunks of 4 bytes.
struct Download {
    Handle session{};
    bool_t failed = TRUE;
    ErrorRecord error;
    std::vector<std::string> chunks;
};

bool_t xdr_download(XDR *xdrs, Download *d) {
    int chunk = 4;
    return xdr_header(xdrs, &d->session) && xdr_names(xdrs, 44, {"Defect", record_name, "Attachments", "e2e.bin"}) &&
           xdr_int(xdrs, &chunk);
}

bool_t xdr_download_reply(XDR *xdrs, Download *d) {
    if (!xdr_bool(xdrs, &d->failed)) return FALSE;
    if (d->failed) return xdr_error_record(xdrs, &d->error);
    for (;;) {
        bool_t error = FALSE;
        u_int n = 0;
        char bytes[4];
        if (!xdr_bool(xdrs, &error) || error || !xdr_u_int(xdrs, &n) || n > 4 || !xdr_opaque(xdrs, bytes, n))
            return FALSE;
        d->chunks.emplace_back(bytes, n);
        if (n < 4) return TRUE;
    }
}

class AttachBatchE2E : public DemoServerTest {};

} // namespace

TEST_F(AttachBatchE2E, UploadAddInABatchAndDownloadTheStoredBytes) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Login login;
    ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
    ASSERT_FALSE(login.failed) << login.error.message;

    Upload up;
    up.session = login.handle;
    up.content = "abcdefghi"; // 4 + 4 + 1 bytes, one of them zero
    up.content[6] = '\0';
    ASSERT_EQ(RPC_SUCCESS, client.call(14, as_proc(xdr_upload), &up, as_proc(xdr_upload_reply), &up));
    ASSERT_FALSE(up.failed) << up.error.message;

    Temp temp;
    temp.session = login.handle;
    ASSERT_EQ(RPC_SUCCESS, client.call(9, as_proc(xdr_temp), &temp, as_proc(xdr_temp_reply), &temp));
    ASSERT_FALSE(temp.failed) << temp.error.message;

    Batch batch;
    batch.session = login.handle;
    batch.record = temp.record;
    batch.attachment = up.attachment;
    ASSERT_EQ(RPC_SUCCESS, client.call(10, as_proc(xdr_batch), &batch, as_proc(xdr_batch_reply), &batch));
    ASSERT_FALSE(batch.failed) << batch.error.message;
    ASSERT_EQ((std::vector<int>{1, 1}), batch.kinds) << batch.error.message;
    EXPECT_EQ(batch.firsts[0].substr(0, batch.firsts[1].size() + 1), batch.firsts[1] + "/");

    Download down;
    down.session = login.handle;
    ASSERT_EQ(RPC_SUCCESS, client.call(13, as_proc(xdr_download), &down, as_proc(xdr_download_reply), &down));
    ASSERT_FALSE(down.failed) << down.error.message;
    EXPECT_EQ((std::vector<std::string>{"abcd", up.content.substr(4, 4), "i"}), down.chunks);
}
