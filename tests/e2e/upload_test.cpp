// Uploads larger than memory should hold, through the real program with a libtirpc client: a
// content past the old 64 MiB record bound arrives whole, and one past the bound that the
// environment sets is refused with an error reply and leaves no file behind.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "props_client.h"
#include "server_process.h"

using namespace e2e;

namespace {

bool_t xdr_header(XDR *xdrs, Handle *session) { return xdr_session_header(xdrs, session, 3); }

constexpr int chunk_bytes = 1 << 20;

std::uint8_t content_byte(std::uint64_t i) { return static_cast<std::uint8_t>((i * 131 + i / 7919) % 251); }

// FNV-1a over the content, fed as it goes by.
struct Checksum {
    std::uint64_t h = 14695981039346656037ull;
    void add(char const *p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<std::uint8_t>(p[i])) * 1099511628211ull;
    }
};

struct Upload {
    Handle session{}, attachment{};
    std::uint64_t size = 0;
    Checksum sent;
    bool_t failed = TRUE;
    ErrorRecord error;
};

// make_attachment of `size` bytes in 1 MiB chunks, made as they are sent.
bool_t xdr_upload(XDR *xdrs, Upload *u) {
    int type = 45, by_name = 1, chunk = chunk_bytes;
    std::string names[] = {"Defect", "ISSUE00000001", "Attachments"}, file = "large.bin", comment = "large";
    if (!xdr_header(xdrs, &u->session) || !xdr_int(xdrs, &type) || !xdr_int(xdrs, &by_name)) return FALSE;
    for (std::string &n : names)
        if (!xdr_utf8(xdrs, &n)) return FALSE;
    if (!xdr_utf8(xdrs, &file) || !xdr_utf8(xdrs, &comment) || !xdr_int(xdrs, &chunk)) return FALSE;
    std::vector<char> piece(chunk_bytes);
    for (std::uint64_t at = 0; at < u->size; at += chunk_bytes) {
        u_int n = static_cast<u_int>(std::min<std::uint64_t>(chunk_bytes, u->size - at));
        for (u_int i = 0; i < n; ++i) piece[i] = static_cast<char>(content_byte(at + i));
        u->sent.add(piece.data(), n);
        if (!xdr_u_int(xdrs, &n) || !xdr_opaque(xdrs, piece.data(), n)) return FALSE;
    }
    u_int end = 0;
    return xdr_u_int(xdrs, &end);
}

bool_t xdr_upload_reply(XDR *xdrs, Upload *u) {
    return xdr_made_attachment(xdrs, &u->failed, &u->attachment, &u->error);
}

// get_attachment of the uploaded item by its handle.
struct Download {
    Handle session{}, attachment{};
    std::uint64_t received = 0;
    Checksum got;
};

bool_t xdr_download(XDR *xdrs, Download *d) {
    return xdr_get_by_handle(xdrs, &d->session, &d->attachment, chunk_bytes);
}

bool_t xdr_download_reply(XDR *xdrs, Download *d) {
    return xdr_chunk_stream(xdrs, chunk_bytes, [d](char const *bytes, u_int n) {
        d->got.add(bytes, n);
        d->received += n;
    });
}

class UploadE2E : public testing::Test {
protected:
    // The server's temporary objects go to a directory of the test's own.
    void start(std::vector<std::string> env = {}) {
        std::filesystem::create_directories(tmp());
        env.push_back("KX_PRODUCT_DATA=" + dir_.file("data"));
        env.push_back("TMP=" + tmp());
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "2"}, dir_.path(), env);
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port(), false, 120);
        ASSERT_TRUE(client_->ok());
        ASSERT_EQ(RPC_SUCCESS, call_login(*client_, login_));
        ASSERT_FALSE(login_.failed);
    }
    void TearDown() override {
        client_.reset();
        if (!server_) return;
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait(30000).status);
    }
    std::string tmp() { return dir_.file("tmp"); }
    std::size_t tmp_entries() {
        std::size_t n = 0;
        for ([[maybe_unused]] auto const &e : std::filesystem::directory_iterator(tmp())) ++n;
        return n;
    }
    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    Login login_;
};

} // namespace

TEST_F(UploadE2E, AnUploadPastTheOldRecordBoundArrivesWhole) {
    start();
    Upload up;
    up.session = login_.handle;
    up.size = (70ull << 20) + 12345; // past 64 MiB, and not a whole number of chunks
    ASSERT_EQ(RPC_SUCCESS, client_->call(14, as_proc(xdr_upload), &up, as_proc(xdr_upload_reply), &up));
    ASSERT_FALSE(up.failed) << up.error.message;

    Download down;
    down.session = login_.handle;
    down.attachment = up.attachment;
    ASSERT_EQ(RPC_SUCCESS, client_->call(13, as_proc(xdr_download), &down, as_proc(xdr_download_reply), &down));
    EXPECT_EQ(down.received, up.size);
    EXPECT_EQ(down.got.h, up.sent.h);
}

TEST_F(UploadE2E, AnUploadPastTheBoundGetsAnErrorReplyAndLeavesNoFile) {
    start({"KS_MAX_RECORD_SIZE=" + std::to_string(8u << 20)});
    std::size_t const before = tmp_entries();
    Upload up;
    up.session = login_.handle;
    up.size = 12u << 20;
    ASSERT_EQ(RPC_SUCCESS, client_->call(14, as_proc(xdr_upload), &up, as_proc(xdr_upload_reply), &up));
    ASSERT_TRUE(up.failed);
    EXPECT_NE(up.error.message.find("KS_MAX_RECORD_SIZE"), std::string::npos) << up.error.message;
    EXPECT_EQ(tmp_entries(), before);

    // The connection goes on, and an upload within the bound is taken.
    Upload small;
    small.session = login_.handle;
    small.size = 3u << 20;
    ASSERT_EQ(RPC_SUCCESS, client_->call(14, as_proc(xdr_upload), &small, as_proc(xdr_upload_reply), &small));
    EXPECT_FALSE(small.failed) << small.error.message;
}

TEST_F(UploadE2E, AnUploadMeetingAFullSpoolIsAnsweredAndTheConnectionGoesOn) {
    // The spool's file system is full before the upload's first byte, and part way through it.
    for (char const *room : {"0", "2097152"}) {
        SCOPED_TRACE(room);
        TearDown();
        server_.reset();
        start({std::string("KS_TEST_SPOOL_FULL_AT=") + room});
        std::size_t const before = tmp_entries();
        Upload up;
        up.session = login_.handle;
        up.size = 6u << 20;
        ASSERT_EQ(RPC_SUCCESS, client_->call(14, as_proc(xdr_upload), &up, as_proc(xdr_upload_reply), &up));
        ASSERT_TRUE(up.failed);
        EXPECT_NE(up.error.message.find("No space left"), std::string::npos) << up.error.message;
        EXPECT_EQ(tmp_entries(), before);

        // The same connection is in step: an upload that needs no spool is taken, a ping answered.
        Upload small;
        small.session = login_.handle;
        small.size = 256u << 10;
        ASSERT_EQ(RPC_SUCCESS, client_->call(14, as_proc(xdr_upload), &small, as_proc(xdr_upload_reply), &small));
        EXPECT_FALSE(small.failed) << small.error.message;
        EXPECT_EQ(RPC_SUCCESS, client_->ping());
    }
}
