// Uploads larger than memory should hold, through the real program with a libtirpc client: a
// content past the old 64 MiB record bound arrives whole, and one past the bound that the
// environment sets is refused with an error reply and leaves no file behind. The disk bytes a
// session holds in the server's files are bounded, its downloads go when it ends, and a full disk
// answers every upload and copy with an error, leaving no partial file. Records past the spool
// threshold reach the disk only for a known session, charged as they arrive; one user's sessions
// share a bound.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
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
    // Files and folders may go while they are listed: the listing then ends where it was.
    std::vector<std::string> server_files() {
        std::vector<std::string> out;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(exchange_, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code kind;
            if (it->is_regular_file(kind) && it->path().filename() != "lock" &&
                it->path().string().find("/kxrpc-") != std::string::npos)
                out.push_back(it->path().string());
        }
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

namespace {

// A connection of our own, to send what no client library would: part of a call record.
class RawConnection {
public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawConnection(RawConnection const &) = delete;
    RawConnection &operator=(RawConnection const &) = delete;
    bool ok() const { return fd_ >= 0; }
    bool send(std::string const &bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            ssize_t const n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }
    // One reply record whole, its fragments joined; empty when the connection ends first.
    std::string reply() {
        std::string out;
        for (bool last = false; !last;) {
            std::string head = take(4);
            if (head.size() < 4) return std::string();
            std::uint32_t const word = Reply{head}.u();
            last = (word & 0x80000000u) != 0;
            std::string const body = take(word & 0x7fffffffu);
            out += body;
        }
        return out;
    }

private:
    std::string take(std::size_t n) {
        std::string out(n, '\0');
        for (std::size_t at = 0; at < n;) {
            ssize_t const r = ::recv(fd_, out.data() + at, n - at, 0);
            if (r <= 0) return out.substr(0, at);
            at += static_cast<std::size_t>(r);
        }
        return out;
    }
    int fd_;
};

// A call header of the program (AUTH_NONE) and `args`, as one fragment of `length` bytes in all:
// less than that is sent, the record stays unfinished.
std::string call_record(rpcproc_t proc, std::string const &args, std::size_t length) {
    Body head;
    head.u(1).u(0).u(2).u(program).u(version).u(proc).u(0).u(0).u(0).u(0);
    std::string const body = head.bytes + args;
    Body mark;
    mark.u(0x80000000u | static_cast<std::uint32_t>(std::max(length, body.size())));
    return mark.bytes + body;
}

// Bytes on disk of each file, by its device and inode.
using FileBytes = std::map<std::pair<dev_t, ino_t>, std::uint64_t>;

void add_file(FileBytes &files, struct stat const &st) {
    if (S_ISREG(st.st_mode)) files[{st.st_dev, st.st_ino}] = static_cast<std::uint64_t>(st.st_blocks) * 512;
}

// The regular files the process holds open below `dir` (the spool's files are unnamed).
FileBytes open_files(pid_t pid, std::string const &dir) {
    FileBytes files;
    std::error_code ec;
    for (auto const &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::string const target = fs::read_symlink(e.path(), ec).string();
        struct stat st {};
        if (!ec && target.rfind(dir + "/", 0) == 0 && ::stat(e.path().c_str(), &st) == 0) add_file(files, st);
    }
    return files;
}

std::uint64_t open_file_bytes(pid_t pid, std::string const &dir, int *count = nullptr) {
    FileBytes const files = open_files(pid, dir);
    if (count != nullptr) *count = static_cast<int>(files.size());
    std::uint64_t bytes = 0;
    for (auto const &f : files) bytes += f.second;
    return bytes;
}

} // namespace

TEST_F(SessionFiles, RecordsWithoutASessionNeverReachTheDisk) {
    start({});
    std::string const tmp = dir_.file("tmp");
    constexpr std::size_t record = 24 << 20, sent = 16 << 20;
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int i = 0; i < 8; ++i) {
        connections.push_back(std::make_unique<RawConnection>(server_->port()));
        ASSERT_TRUE(connections.back()->ok());
    }
    // A ping that names no session, most of it sent: the server has read all but what the
    // sockets buffer once each send returns.
    std::string const part = call_record(0, std::string(sent, 'p'), record);
    std::vector<std::thread> senders;
    for (auto &c : connections) senders.emplace_back([&c, &part] { EXPECT_TRUE(c->send(part)); });
    for (auto &t : senders) t.join();
    int files = 0;
    EXPECT_EQ(open_file_bytes(server_->pid(), tmp, &files), 0u);
    EXPECT_EQ(files, 0);
    // The rest is read and dropped, and the ping answered all the same.
    ASSERT_TRUE(connections[0]->send(std::string(record - part.size() + 4, 'p')));
    Reply r{connections[0]->reply()};
    ASSERT_GE(r.bytes.size(), 24u);
    r.u();
    EXPECT_EQ(r.u(), 1u); // a reply
    EXPECT_EQ(r.u(), 0u); // accepted
    r.u();
    r.u();
    EXPECT_EQ(r.u(), 0u); // success
    EXPECT_EQ(open_file_bytes(server_->pid(), tmp), 0u);
}

TEST_F(SessionFiles, UploadsAtOnceNeverPassTheSessionsBoundOnDisk) {
    constexpr std::uint64_t bound = 8 << 20;
    start({"KX_SESSION_DISK_BYTES=" + std::to_string(bound)});
    int const chunk = 256 << 10;
    Body body = attachments_of(alice_).s("wire.bin").s("").i(chunk);
    for (int i = 0; i < 24; ++i) body.s(std::string(chunk, static_cast<char>('a' + i)));
    body.u(0);
    // The spool's files and the uploads kept in the exchange directory, sampled while they arrive.
    std::atomic<bool> done{false};
    std::uint64_t peak = 0;
    auto snapshot = [&] {
        FileBytes files = open_files(server_->pid(), dir_.file("tmp"));
        for (std::string const &f : server_files()) {
            struct stat st {};
            if (::stat(f.c_str(), &st) == 0) add_file(files, st);
        }
        return files;
    };
    // Files are read one after another while chunks move from one to another, so each file is
    // read twice and the lesser counted: a file grows, then shrinks or goes, so that is no more
    // than it held when the first reading ended, and no byte is counted in two files.
    std::thread sampler([&] {
        while (!done.load()) {
            FileBytes const first = snapshot(), second = snapshot();
            std::uint64_t held = 0;
            for (auto const &[file, bytes] : first)
                if (auto const again = second.find(file); again != second.end()) held += std::min(bytes, again->second);
            peak = std::max(peak, held);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::mutex lock;
    std::vector<Answer> answers;
    std::vector<std::thread> uploads;
    for (int i = 0; i < 4; ++i)
        uploads.emplace_back([&] {
            Client client(server_->port());
            Answer const a = answer(call(client, 14, body), true);
            std::lock_guard<std::mutex> guard(lock);
            answers.push_back(a);
        });
    for (auto &t : uploads) t.join();
    done = true;
    sampler.join();
    // 6 MiB each: one fits the bound, and no two do.
    int kept = 0;
    for (Answer const &a : answers) {
        if (!a.failed) {
            ++kept;
            continue;
        }
        EXPECT_EQ(a.reason, 40);
        EXPECT_EQ(a.message, "TLQSV1104E Too many bytes in this session's files on the server "
                             "(KX_SESSION_DISK_BYTES, 8388608); release some and try again.");
    }
    EXPECT_LE(kept, 1);
    // Each of the two workers may have a chunk in both files for the moment it moves, and file
    // systems round up to their blocks.
    EXPECT_LE(peak, bound + 2 * static_cast<std::uint64_t>(chunk) + (256 << 10));
    EXPECT_GT(peak, 0u); // the sampler saw the uploads
}

TEST_F(SessionFiles, OneUsersSessionsShareTheUsersBound) {
    start({"KX_SESSION_DISK_BYTES=300000", "KX_USER_DISK_BYTES=500000"});
    std::string const file = exchange_ + "/client.bin";
    write_file(file, std::string(200000, 'c'));
    std::string const again = login(*client_, "alice"), third = login(*client_, "alice");
    ASSERT_EQ(again.size(), 16u);
    ASSERT_EQ(third.size(), 16u);
    Answer const first = direct_upload(alice_, file);
    ASSERT_FALSE(first.failed) << first.message;
    ASSERT_FALSE(direct_upload(again, file).failed);
    std::vector<std::string> const held = server_files();
    Answer const over = direct_upload(third, file);
    EXPECT_TRUE(over.failed);
    EXPECT_EQ(over.reason, 40);
    EXPECT_EQ(over.message, "TLQSV1107E Too many bytes in this user's files on the server "
                            "(KX_USER_DISK_BYTES, 500000); release some and try again.");
    EXPECT_EQ(server_files(), held);
    // Another user is not charged for alice's files; a file released gives its bytes back.
    EXPECT_FALSE(direct_upload(bob_, file).failed);
    ASSERT_TRUE(release(first.value));
    EXPECT_FALSE(direct_upload(third, file).failed);
}
