// Attachments through a change batch against the real program with a libtirpc client: upload with
// make_attachment, add it to a record being edited (kind 8, or the upload itself when the record is
// already being edited), commit the record (kind 6) and read the stored content back with
// get_attachment. An upload's content is read through its handle until the handle goes, its
// session ends, or kind 8 hands it to the record.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
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

// The attachment field of the record that the state handle `held` names.
bool_t xdr_held_folder(XDR *xdrs, Handle *held) {
    int type = 45, by_handle = 3, field_by_name = 1;
    std::string field = "Attachments";
    return xdr_int(xdrs, &type) && xdr_int(xdrs, &by_handle) && xdr_handle(xdrs, held) &&
           xdr_int(xdrs, &field_by_name) && xdr_utf8(xdrs, &field);
}

// make_attachment of `content` in chunks of at most 4 bytes, ended by an empty chunk, to the record
// by name or, with `by_handle`, to the record item `held`.
struct Upload {
    Handle session{}, attachment{};
    std::string record = "ISSUE00000003", file = "e2e.bin";
    bool by_handle = false;
    Handle held{};
    std::string content;
    bool_t failed = TRUE;
    ErrorRecord error;
};

bool_t xdr_upload(XDR *xdrs, Upload *u) {
    int chunk = 4;
    std::string comment = "through a batch";
    if (!xdr_header(xdrs, &u->session) ||
        !(u->by_handle ? xdr_held_folder(xdrs, &u->held) : xdr_names(xdrs, 45, {"Defect", u->record, "Attachments"})) ||
        !xdr_utf8(xdrs, &u->file) || !xdr_utf8(xdrs, &comment) || !xdr_int(xdrs, &chunk))
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
    std::string name = "ISSUE00000003";
    bool_t failed = TRUE;
    ErrorRecord error;
};

bool_t xdr_temp(XDR *xdrs, Temp *t) {
    u_int no_correlator = 0;
    std::string locale = "en_US";
    int wtid = 5;
    bool_t has_action = TRUE, has_duplicate = FALSE;
    return xdr_u_int(xdrs, &no_correlator) && xdr_handle(xdrs, &t->session) && xdr_utf8(xdrs, &locale) &&
           xdr_int(xdrs, &wtid) && xdr_names(xdrs, 32, {"Defect", t->name}) && xdr_bool(xdrs, &has_action) &&
           xdr_names(xdrs, 40, {"Defect", "Modify"}) && xdr_bool(xdrs, &has_duplicate);
}

bool_t xdr_temp_reply(XDR *xdrs, Temp *t) {
    std::string name, id;
    if (!xdr_bool(xdrs, &t->failed)) return FALSE;
    if (t->failed) return xdr_error_record(xdrs, &t->error);
    return xdr_handle(xdrs, &t->record) && xdr_utf8(xdrs, &name) && xdr_utf8(xdrs, &id);
}

// deliver_change_context: by default kind 8 (record, attachment), then kind 6 (record).
struct Batch {
    Handle session{}, record{}, attachment{};
    std::vector<int> ops{8, 6};
    bool_t failed = TRUE;
    ErrorRecord error;
    std::vector<int> kinds;
    std::vector<std::string> firsts;
};

bool_t xdr_batch(XDR *xdrs, Batch *b) {
    bool_t more = TRUE, end = FALSE;
    if (!xdr_header(xdrs, &b->session)) return FALSE;
    for (int kind : b->ops) {
        if (!xdr_bool(xdrs, &more) || !xdr_int(xdrs, &kind) || !xdr_handle(xdrs, &b->record)) return FALSE;
        if (kind == 8 && !xdr_handle(xdrs, &b->attachment)) return FALSE;
    }
    return xdr_bool(xdrs, &end);
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

// get_attachment of the stored attachment by name, or with `by_handle` of the attachment item
// `held`, in chunks of 4 bytes.
struct Download {
    Handle session{};
    std::string record = "ISSUE00000003", file = "e2e.bin";
    bool by_handle = false;
    Handle held{};
    bool_t failed = TRUE;
    ErrorRecord error;
    std::vector<std::string> chunks;
};

bool_t xdr_download(XDR *xdrs, Download *d) {
    int chunk = 4;
    if (d->by_handle) return xdr_get_by_handle(xdrs, &d->session, &d->held, chunk);
    return xdr_header(xdrs, &d->session) && xdr_names(xdrs, 44, {"Defect", d->record, "Attachments", d->file}) &&
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

namespace {

// An upload of `content` to `record` while the record is open for Modify, then a batch of `ops`
// that commits it; answers the content read back.
std::string upload_into_edit(Client &client, Handle const &session, std::string const &record, std::vector<int> ops,
                             std::string const &content) {
    Temp temp;
    temp.session = session;
    temp.name = record;
    EXPECT_EQ(RPC_SUCCESS, client.call(9, as_proc(xdr_temp), &temp, as_proc(xdr_temp_reply), &temp));
    EXPECT_FALSE(temp.failed) << temp.error.message;

    Upload up;
    up.session = session;
    up.record = record;
    up.file = record + ".bin";
    up.content = content;
    EXPECT_EQ(RPC_SUCCESS, client.call(14, as_proc(xdr_upload), &up, as_proc(xdr_upload_reply), &up));
    EXPECT_FALSE(up.failed) << up.error.message;

    Batch batch;
    batch.session = session;
    batch.record = temp.record;
    batch.attachment = up.attachment;
    batch.ops = ops;
    EXPECT_EQ(RPC_SUCCESS, client.call(10, as_proc(xdr_batch), &batch, as_proc(xdr_batch_reply), &batch));
    EXPECT_FALSE(batch.failed) << batch.error.message;
    EXPECT_EQ(std::vector<int>(ops.size(), 1), batch.kinds) << batch.error.message;

    Download down;
    down.session = session;
    down.record = record;
    down.file = up.file;
    EXPECT_EQ(RPC_SUCCESS, client.call(13, as_proc(xdr_download), &down, as_proc(xdr_download_reply), &down));
    EXPECT_FALSE(down.failed) << down.error.message;
    std::string got;
    for (auto const &chunk : down.chunks) got += chunk;
    return got;
}

} // namespace

// The upload joins the open edit of its record: the record's commit alone stores it, and kind 8
// after it adds nothing a second time.
TEST_F(AttachBatchE2E, AnUploadIntoARecordBeingEditedIsStoredByEitherFlow) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Login login;
    ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
    ASSERT_FALSE(login.failed) << login.error.message;
    EXPECT_EQ("committed with the record alone",
              upload_into_edit(client, login.handle, "ISSUE00000006", {6}, "committed with the record alone"));
    EXPECT_EQ("added by kind 8 too",
              upload_into_edit(client, login.handle, "ISSUE00000007", {8, 6}, "added by kind 8 too"));
}

// An operation kind above 11 is the error reply of reason 40, not undecodable arguments.
TEST_F(AttachBatchE2E, UnknownOperationKindIsAnErrorReply) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Login login;
    ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
    Batch batch;
    batch.session = login.handle;
    batch.ops = {12};
    ASSERT_EQ(RPC_SUCCESS, client.call(10, as_proc(xdr_batch), &batch, as_proc(xdr_batch_reply), &batch));
    EXPECT_TRUE(batch.failed);
    EXPECT_EQ(40, batch.error.reason);
}

namespace {

// The server's temporary files in a directory of the test's own, where an upload's file is looked
// for by its name.
class HeldUploadE2E : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.file("tmp"));
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-worker_threads", "2"}, dir_.path(),
            std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data"), "TMP=" + dir_.file("tmp")});
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
        ASSERT_EQ(RPC_SUCCESS, call_login(*client_, login_));
        ASSERT_FALSE(login_.failed) << login_.error.message;
    }
    void TearDown() override {
        client_.reset();
        if (!server_) return;
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait(30000).status);
    }
    // Files called `name` anywhere below the server's temporary directory.
    int files_named(std::string const &name) {
        int n = 0;
        for (auto const &e : std::filesystem::recursive_directory_iterator(dir_.file("tmp")))
            if (e.is_regular_file() && e.path().filename() == name) ++n;
        return n;
    }
    // create_temp of the record for Modify: the record item R.
    Handle edit(std::string const &record) {
        Temp temp;
        temp.session = login_.handle;
        temp.name = record;
        EXPECT_EQ(RPC_SUCCESS, client_->call(9, as_proc(xdr_temp), &temp, as_proc(xdr_temp_reply), &temp));
        EXPECT_FALSE(temp.failed) << temp.error.message;
        return temp.record;
    }
    // make_attachment of `content` to R's attachment folder: the attachment item A.
    Handle upload(Handle const &record, std::string const &content) {
        Upload up;
        up.session = login_.handle;
        up.by_handle = true;
        up.held = record;
        up.file = kFile;
        up.content = content;
        EXPECT_EQ(RPC_SUCCESS, client_->call(14, as_proc(xdr_upload), &up, as_proc(xdr_upload_reply), &up));
        EXPECT_FALSE(up.failed) << up.error.message;
        return up.attachment;
    }
    // get_attachment of A: its content, or "error <reason>: <message>".
    std::string content(Handle const &attachment) {
        Download down;
        down.session = login_.handle;
        down.by_handle = true;
        down.held = attachment;
        EXPECT_EQ(RPC_SUCCESS, client_->call(13, as_proc(xdr_download), &down, as_proc(xdr_download_reply), &down));
        if (down.failed) return "error " + std::to_string(down.error.reason) + ": " + down.error.message;
        std::string got;
        for (auto const &chunk : down.chunks) got += chunk;
        return got;
    }
    static constexpr char const *kFile = "held-upload.txt";
    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    Login login_;
};

} // namespace

// The upload joins R's edit, and deleting R (which reverts the edit) leaves A readable; the file
// goes with A.
TEST_F(HeldUploadE2E, AnUploadOutlivesTheDeletionOfItsRecordsHandleAndGoesWithItsOwn) {
    Handle const record = edit("ISSUE00000006");
    Handle const attachment = upload(record, "t5-upld");
    EXPECT_EQ(content(attachment), "t5-upld");
    EXPECT_EQ(delete_state(*client_, {record}), std::vector<int>{0});
    EXPECT_EQ(content(attachment), "t5-upld");
    EXPECT_EQ(files_named(kFile), 1);

    EXPECT_EQ(delete_state(*client_, {attachment}), std::vector<int>{0});
    EXPECT_EQ(files_named(kFile), 0);
    EXPECT_EQ(content(attachment).rfind("error ", 0), 0u);
}

TEST_F(HeldUploadE2E, AnUploadGoesWithItsSession) {
    Handle const record = edit("ISSUE00000006");
    Handle const attachment = upload(record, "ends with the login");
    EXPECT_EQ(delete_state(*client_, {record}), std::vector<int>{0});
    EXPECT_EQ(files_named(kFile), 1);

    EXPECT_EQ(delete_state(*client_, {login_.handle}), std::vector<int>{0});
    EXPECT_EQ(files_named(kFile), 0);
    EXPECT_EQ(delete_state(*client_, {attachment}), std::vector<int>{1}); // gone with the session
}

// Kind 8 consumes A and hands the file to R, which keeps it until R goes.
TEST_F(HeldUploadE2E, AMakeAttachmentOperationMovesTheUploadToTheRecord) {
    Handle const record = edit("ISSUE00000006");
    Handle const attachment = upload(record, "moved by kind 8");
    Batch batch;
    batch.session = login_.handle;
    batch.record = record;
    batch.attachment = attachment;
    batch.ops = {8};
    ASSERT_EQ(RPC_SUCCESS, client_->call(10, as_proc(xdr_batch), &batch, as_proc(xdr_batch_reply), &batch));
    ASSERT_FALSE(batch.failed) << batch.error.message;
    EXPECT_EQ(batch.kinds, std::vector<int>{1}) << batch.error.message;
    EXPECT_EQ(content(attachment).rfind("error ", 0), 0u);
    EXPECT_EQ(files_named(kFile), 1);

    EXPECT_EQ(delete_state(*client_, {record}), std::vector<int>{0});
    EXPECT_EQ(files_named(kFile), 0);
}
