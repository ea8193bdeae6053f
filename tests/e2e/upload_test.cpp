// Uploads larger than memory should hold, through the real program with a libtirpc client: a
// content past the old 64 MiB record bound arrives whole, and one past the bound that the
// environment sets is refused with an error reply and leaves no file behind. The disk bytes a
// session holds in the server's files are bounded, its downloads go when it ends, and a full disk
// answers every upload and copy with an error, leaving no partial file.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "props_client.h"
#include "raw_calls.h"
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

namespace {

namespace fs = std::filesystem;

// The demo set's stored attachment and a new one by its handle, as targets.
Body stored_attachment() { return Body().i(44).i(1).s("Defect").s("ISSUE00000001").s("Attachments").s("steps.txt"); }
Body by_handle(std::string const &handle) { return Body().i(44).i(3).u(16).raw(handle); }
Body attachments_of(std::string const &session_handle) {
    return session(session_handle).i(45).i(1).s("Defect").s("ISSUE00000003").s("Attachments");
}

// The server's files of one session through raw calls, with the exchange directory of the test's own.
class SessionFiles : public testing::Test {
protected:
    void start(std::vector<std::string> env) {
        if (!fs::exists(exchange_)) {
            ASSERT_TRUE(fs::create_directory(exchange_));
        }
        fs::create_directories(dir_.file("tmp"));
        env.push_back("KX_PRODUCT_DATA=" + dir_.file("data"));
        env.push_back("KXRPC_EXCHANGE_DIR=" + exchange_);
        env.push_back("TMP=" + dir_.file("tmp"));
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "2"}, dir_.path(), env);
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
        alice_ = login(*client_, "alice");
        bob_ = login(*client_, "bob");
        ASSERT_EQ(alice_.size(), 16u);
        ASSERT_EQ(bob_.size(), 16u);
    }
    void TearDown() override {
        client_.reset();
        if (!server_) return;
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
    }

    Answer direct_upload(std::string const &who, std::string const &path) {
        return answer(call(*client_, 32, attachments_of(who).s("direct.bin").s("").s(path).i(0)), true);
    }
    // make_attachment of `content` in chunks of 64 KiB.
    Answer upload(std::string const &who, std::string const &content) {
        int const chunk = 64 << 10;
        Body body = attachments_of(who).s("wire.bin").s("").i(chunk);
        for (std::size_t at = 0; at < content.size(); at += chunk) body.s(content.substr(at, chunk));
        return answer(call(*client_, 14, body.u(0)), true);
    }
    Answer direct_download(std::string const &who, Body const &target) {
        return answer(call(*client_, 31, session(who).raw(target.bytes).i(64 << 10)), false);
    }
    // get_attachment of a target, joined; the error arm's message when there is one.
    std::string download(std::string const &who, Body const &target) {
        int const chunk = 64 << 10;
        Reply r = call(*client_, 13, session(who).raw(target.bytes).i(chunk));
        if (r.u() != 0) {
            r.i();
            return "error: " + r.s();
        }
        std::string content;
        for (;;) {
            if (r.u() != 0) return content + " (error inside the stream)";
            std::string const part = r.s();
            content += part;
            if (part.size() < static_cast<std::size_t>(chunk)) return content;
        }
    }
    // delete_state of one handle: whether it was released (FALSE, then FALSE for a handle it knew).
    bool release(std::string const &handle) {
        Reply r = call(*client_, 2, Body().u(0).i(1).u(16).raw(handle));
        return r.u() == 0 && r.u() == 0;
    }
    // Every regular file the server made in the exchange directory (its folders), but the locks.
    std::vector<std::string> server_files() {
        std::vector<std::string> out;
        for (auto const &e : fs::recursive_directory_iterator(exchange_))
            if (e.is_regular_file() && e.path().filename() != "lock" &&
                e.path().string().find("/kxrpc-") != std::string::npos)
                out.push_back(e.path().string());
        return out;
    }
    // Waits up to 10 s for `done`.
    static bool eventually(std::function<bool()> const &done) {
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    TempDir dir_;
    std::string const exchange_ = dir_.file("exchange");
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    std::string alice_, bob_;
};

std::string const disk_refusal = "TLQSV1104E Too many bytes in this session's files on the server "
                                 "(KX_SESSION_DISK_BYTES, 300000); release some and try again.";

} // namespace

TEST_F(SessionFiles, ASessionHoldsAtMostItsDiskBytesAndGetsThemBackWhenItsFilesGo) {
    start({"KX_SESSION_DISK_BYTES=300000"});
    std::string const file = exchange_ + "/client.bin";
    write_file(file, std::string(100000, 'c'));
    std::vector<std::string> taken;
    for (int i = 0; i < 3; ++i) {
        Answer const a = direct_upload(alice_, file);
        ASSERT_FALSE(a.failed) << a.message;
        taken.push_back(a.value);
    }
    std::vector<std::string> const held = server_files();
    // Past the bound each way in is refused, with nothing left behind.
    struct Case {
        char const *what;
        std::function<Answer()> call;
    } const cases[] = {
        {"a direct upload", [&] { return direct_upload(alice_, file); }},
        {"an upload of one byte", [&] { return upload(alice_, "x"); }},
        {"a direct download", [&] { return direct_download(alice_, by_handle(taken[0])); }},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(c.what);
        Answer const a = c.call();
        EXPECT_TRUE(a.failed);
        EXPECT_EQ(a.reason, 40);
        EXPECT_EQ(a.message, disk_refusal);
        EXPECT_EQ(server_files(), held);
    }
    // Another session has a bound of its own.
    EXPECT_FALSE(direct_upload(bob_, file).failed);
    // An item released gives its bytes back: a download of 100000 bytes fits, and then holds them.
    ASSERT_TRUE(release(taken[0]));
    Answer const left = direct_download(alice_, by_handle(taken[1]));
    ASSERT_FALSE(left.failed) << left.message;
    EXPECT_EQ(read_file(left.value), std::string(100000, 'c'));
    EXPECT_EQ(direct_upload(alice_, file).message, disk_refusal);
    // Over the wire, the chunk that would pass the bound fails the upload.
    ASSERT_TRUE(release(taken[1]));
    ASSERT_TRUE(release(taken[2]));
    Answer const wire = upload(alice_, std::string(200001, 'w'));
    EXPECT_EQ(wire.message, disk_refusal);
    Answer const fits = upload(alice_, std::string(200000, 'w'));
    EXPECT_FALSE(fits.failed) << fits.message;
}

TEST_F(SessionFiles, ASessionsDownloadsGoAtItsLogout) {
    start({});
    std::vector<std::string> alices, bobs;
    for (int i = 0; i < 2; ++i) {
        alices.push_back(direct_download(alice_, stored_attachment()).value);
        bobs.push_back(direct_download(bob_, stored_attachment()).value);
    }
    for (auto const &path : alices) ASSERT_TRUE(file_exists(path)) << path;
    ASSERT_TRUE(release(alice_));
    for (auto const &path : alices) EXPECT_FALSE(file_exists(path)) << path;
    for (auto const &path : bobs) EXPECT_TRUE(file_exists(path)) << path;
}

TEST_F(SessionFiles, ASessionsDownloadsGoWhenItExpires) {
    start({"KX_SESSION_IDLE_SECONDS=1"});
    Answer const left = direct_download(bob_, stored_attachment());
    ASSERT_FALSE(left.failed) << left.message;
    // bob calls no more; the calls of another session let the registry end his.
    std::string const carol = login(*client_, "carol");
    ASSERT_EQ(carol.size(), 16u);
    EXPECT_TRUE(eventually([&] {
        download(carol, stored_attachment());
        return !file_exists(left.value);
    }));
    EXPECT_EQ(download(bob_, stored_attachment()).substr(0, 7), "error: ");
}

TEST_F(SessionFiles, AFullDiskAnswersEveryCopyAndLosesNothingTaken) {
    // The exchange directory on a file system of 1 MiB, in a mount namespace of this process's own:
    // nothing of it outlives the process.
    if (::geteuid() != 0) GTEST_SKIP() << "a file system of its own needs root";
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    ASSERT_TRUE(fs::create_directory(exchange_));
    ASSERT_EQ(0, ::mount("tmpfs", exchange_.c_str(), "tmpfs", 0, "size=1m,mode=0700"));
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } const unmount{exchange_};
    start({});
    Answer const kept = upload(alice_, "abcd");
    ASSERT_FALSE(kept.failed) << kept.message;
    std::string const file = exchange_ + "/client.bin";
    write_file(file, std::string(400 << 10, 'c'));
    Answer const copied = direct_upload(alice_, file);
    ASSERT_FALSE(copied.failed) << copied.message;
    std::vector<std::string> const held = server_files();

    struct Case {
        char const *what;
        std::function<Answer()> call;
    } const cases[] = {
        {"an upload larger than the disk", [&] { return upload(alice_, std::string(2 << 20, 'w')); }},
        {"a direct download", [&] { return direct_download(alice_, by_handle(copied.value)); }},
        {"a direct upload", [&] { return direct_upload(alice_, file); }},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(c.what);
        Answer const a = c.call();
        EXPECT_TRUE(a.failed);
        EXPECT_EQ(a.reason, 40);
        EXPECT_NE(a.message.find("No space left on device"), std::string::npos) << a.message;
        EXPECT_EQ(server_files(), held);
    }
    EXPECT_EQ(download(alice_, by_handle(kept.value)), "abcd");
    EXPECT_EQ(download(alice_, by_handle(copied.value)), std::string(400 << 10, 'c'));
    client_.reset();
    server_->signal(SIGTERM);
    EXPECT_EQ(0, server_->wait().status);
    server_.reset();
}
