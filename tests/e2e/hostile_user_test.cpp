// A logged-on user without privileges against the real program: files named for direct uploads
// and downloads stay in the exchange directory, the server's own files are never served, and
// another user's personal workspace items are out of reach by dbid as by path.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "props_client.h"
#include "raw_calls.h"
#include "server_process.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

bool_t xdr_names(XDR *xdrs, int type, std::vector<std::string> names) {
    int by_name = 1;
    if (!xdr_int(xdrs, &type) || !xdr_int(xdrs, &by_name)) return FALSE;
    for (auto &n : names)
        if (!xdr_utf8(xdrs, &n)) return FALSE;
    return TRUE;
}

// make_attachment_direct of a file on the server's disk to a record's attachment field.
struct DirectUpload {
    Handle session{}, attachment{};
    std::string path;
    bool_t failed = TRUE;
    ErrorRecord error;
};

bool_t xdr_direct_upload(XDR *xdrs, DirectUpload *u) {
    std::string name = "direct.txt", comment = "named by path";
    int size = 0;
    return xdr_session_header(xdrs, &u->session, 7) &&
           xdr_names(xdrs, 45, {"Defect", "ISSUE00000003", "Attachments"}) && xdr_utf8(xdrs, &name) &&
           xdr_utf8(xdrs, &comment) && xdr_utf8(xdrs, &u->path) && xdr_int(xdrs, &size);
}

bool_t xdr_direct_upload_reply(XDR *xdrs, DirectUpload *u) {
    if (!xdr_bool(xdrs, &u->failed)) return FALSE;
    if (u->failed) return xdr_error_record(xdrs, &u->error);
    if (!xdr_handle(xdrs, &u->attachment)) return FALSE;
    for (int i = 0; i < 4; ++i) {
        std::string text;
        if (!xdr_utf8(xdrs, &text)) return FALSE;
    }
    return TRUE;
}

// get_attachment_direct of a stored attachment by name, or of an attachment handle.
struct DirectDownload {
    Handle session{}, attachment{};
    bool by_handle = false;
    bool_t failed = TRUE;
    ErrorRecord error;
    std::string path;
};

bool_t xdr_direct_download(XDR *xdrs, DirectDownload *d) {
    int chunk = 64;
    if (!xdr_session_header(xdrs, &d->session, 7)) return FALSE;
    if (d->by_handle) {
        int type = 44, state_handle = 3;
        if (!xdr_int(xdrs, &type) || !xdr_int(xdrs, &state_handle) || !xdr_handle(xdrs, &d->attachment)) return FALSE;
    } else if (!xdr_names(xdrs, 44, {"Defect", "ISSUE00000001", "Attachments", "steps.txt"})) {
        return FALSE;
    }
    return xdr_int(xdrs, &chunk);
}

bool_t xdr_direct_download_reply(XDR *xdrs, DirectDownload *d) {
    if (!xdr_bool(xdrs, &d->failed)) return FALSE;
    if (d->failed) return xdr_error_record(xdrs, &d->error);
    return xdr_utf8(xdrs, &d->path);
}

class HostileFiles : public testing::Test {
protected:
    // Serves the demo set from dir_/data with `env` added; alice logs on.
    void start(std::vector<std::string> env) {
        env.push_back("KX_PRODUCT_DATA=" + dir_.file("data"));
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "4"}, dir_.path(), env);
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
        Login login;
        ASSERT_EQ(RPC_SUCCESS, call_login(*client_, login));
        ASSERT_FALSE(login.failed) << login.error.message;
        session_ = login.handle;
    }
    void TearDown() override {
        if (!server_) return;
        // A well-behaved client is still answered at once.
        auto const t0 = Clock::now();
        EXPECT_EQ(RPC_SUCCESS, Client(server_->port()).ping());
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
        client_.reset();
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
    }
    DirectUpload upload(std::string const &path) {
        DirectUpload u;
        u.session = session_;
        u.path = path;
        EXPECT_EQ(RPC_SUCCESS, client_->call(32, as_proc(xdr_direct_upload), &u, as_proc(xdr_direct_upload_reply), &u));
        return u;
    }
    DirectDownload download(DirectDownload d) {
        d.session = session_;
        EXPECT_EQ(RPC_SUCCESS,
                  client_->call(31, as_proc(xdr_direct_download), &d, as_proc(xdr_direct_download_reply), &d));
        return d;
    }
    // Each path gets the product's refusal of a file it cannot take, with the same text.
    void expect_refused(std::vector<std::string> const &paths) {
        for (std::string const &path : paths) {
            DirectUpload const u = upload(path);
            EXPECT_TRUE(u.failed) << path;
            EXPECT_EQ(40, u.error.reason) << path;
            EXPECT_EQ("TLQSV0772E Cannot make the attachment: The attachment's content file '" + path +
                          "' cannot be read.",
                      u.error.message)
                << path;
        }
    }

    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    Handle session_{};
};

bool inside(std::string const &path, std::string const &dir) { return path.rfind(dir + "/", 0) == 0; }

} // namespace

TEST_F(HostileFiles, DirectPathsLieInTheNamedExchangeDirectoryAndNeverReachServerFiles) {
    // The whole directory of the server is shared: its own files lie inside the exchange directory.
    std::string const exchange = dir_.path();
    write_file(dir_.file("sso.properties"), "secret token");
    write_file(dir_.file("kxrpc_1_4242.dmp"), "crash dump");
    ASSERT_EQ(0, ::symlink("/etc/passwd", dir_.file("passwd-link").c_str()));
    ASSERT_EQ(0, ::mkdir(dir_.file("in").c_str(), 0700));
    write_file(dir_.file("in/legit.txt"), "legitimate content");
    ASSERT_NO_FATAL_FAILURE(start({std::string("KXRPC_EXCHANGE_DIR=") + exchange}));
    ASSERT_TRUE(file_exists(dir_.file("data/KXDEMO.kxdb")));

    expect_refused({"/etc/passwd", dir_.file("in/../../../etc/passwd"), dir_.file("passwd-link"),
                    "/proc/self/environ", "/proc/" + std::to_string(server_->pid()) + "/cmdline",
                    dir_.file("sso.properties"), dir_.file("kxrpc_1_4242.dmp"), dir_.file("data/KXDEMO.kxdb"),
                    dir_.file("in/../data/KXDEMO.kxdb"), dir_.file("in/missing.txt"), dir_.file("in"), "in/legit.txt"});

    // A file of the exchange directory is taken, and read back from where it lies.
    DirectUpload const taken = upload(dir_.file("in/../in/legit.txt"));
    ASSERT_FALSE(taken.failed) << taken.error.message;
    DirectDownload by_handle;
    by_handle.by_handle = true;
    by_handle.attachment = taken.attachment;
    by_handle = download(by_handle);
    ASSERT_FALSE(by_handle.failed) << by_handle.error.message;
    EXPECT_EQ(dir_.file("in/legit.txt"), by_handle.path);

    // A stored attachment is written into the exchange directory for the web tier.
    DirectDownload const stored = download(DirectDownload{});
    ASSERT_FALSE(stored.failed) << stored.error.message;
    EXPECT_TRUE(inside(stored.path, exchange)) << stored.path;
    EXPECT_NE(read_file(stored.path).find("Open a new record."), std::string::npos);
}

TEST_F(HostileFiles, TheDefaultExchangeDirectoryIsTheServersTemporaryDirectory) {
    std::string const tmp = dir_.file("tmp");
    ASSERT_EQ(0, ::mkdir(tmp.c_str(), 0700));
    write_file(tmp + "/legit.txt", "legitimate content");
    write_file(dir_.file("beside.txt"), "not shared");
    ASSERT_NO_FATAL_FAILURE(start({"TMP=" + tmp, "TMPDIR=" + tmp, "TEMP=" + tmp}));

    expect_refused({dir_.file("beside.txt"), tmp + "/../beside.txt", "/etc/passwd"});
    EXPECT_FALSE(upload(tmp + "/legit.txt").failed);
    DirectDownload const stored = download(DirectDownload{});
    ASSERT_FALSE(stored.failed) << stored.error.message;
    EXPECT_TRUE(inside(stored.path, tmp)) << stored.path;
}

TEST(HostileFilesStart, AnExchangeDirectoryThatIsNoDirectoryStopsTheStart) {
    TempDir dir;
    write_file(dir.file("plain"), "");
    for (std::string const &named : {dir.file("missing"), dir.file("plain")}) {
        Outcome const out = run_to_exit({}, dir.path(), {"KXRPC_EXCHANGE_DIR=" + named, "KX_PRODUCT_DATA=" + dir.file("data")});
        EXPECT_NE(0, out.status) << named;
        EXPECT_NE(out.err.find("KXRPC_EXCHANGE_DIR"), std::string::npos) << out.err;
    }
}

namespace {

constexpr int by_dbid = 2;

// get_folder_descendents: (type, dbid) of every item below a folder, depth first.
std::vector<std::pair<int, unsigned>> walk(Client &client, Body body) {
    Reply r = call(client, 21, body);
    std::vector<std::pair<int, unsigned>> out;
    if (r.u() != 0) return out;
    while (r.u() == 1) {
        int const type = r.i();
        out.emplace_back(type, r.u());
    }
    return out;
}

// The reason of a reply's error arm, or -1 when it was answered.
int refusal(Reply r) { return r.u() == 1 ? r.i() : -1; }

class OtherUsersItems : public LoggedOnTest {};

} // namespace

TEST_F(OtherUsersItems, AnotherUsersPersonalItemsAreNotReachedByDbid) {
    std::string const bob = login(*client_, "bob");
    ASSERT_EQ(bob.size(), 16u);
    // Bob's personal folder "Work" and the query in it, as bob sees them.
    auto const bobs = walk(*client_, session(bob).named(37, "Personal Queries"));
    ASSERT_EQ(bobs.size(), 2u);
    ASSERT_EQ(bobs[0].first, 37);
    ASSERT_EQ(bobs[1].first, 36);
    unsigned const work = bobs[0].second, query = bobs[1].second;
    EXPECT_EQ(walk(*client_, session(bob).i(37).i(by_dbid).u(work)), (std::vector<std::pair<int, unsigned>>{bobs[1]}));
    Reply own = call(*client_, 6, session(bob).i(36).i(by_dbid).u(query));
    EXPECT_EQ(own.u(), 0u);
    // Alice's own personal query answers by dbid.
    auto const alices = walk(*client_, session(alice_).named(37, "Personal Queries"));
    ASSERT_EQ(alices.size(), 1u);
    EXPECT_EQ(call(*client_, 6, session(alice_).i(36).i(by_dbid).u(alices[0].second)).u(), 0u);

    // What alice gets for a dbid that names nothing, she gets for bob's items: resolve, walk,
    // list, copy and run.
    int const missing = refusal(call(*client_, 6, session(alice_).i(36).i(by_dbid).u(999999)));
    EXPECT_NE(missing, -1);
    std::string const ctg = "http://korvax.example";
    std::string const run_doc = "<CTG:execute-query xmlns:CTG=\"" + ctg + "\"/>";
    for (unsigned dbid : {work, query}) {
        int const type = dbid == work ? 37 : 36;
        SCOPED_TRACE(dbid);
        EXPECT_EQ(missing, refusal(call(*client_, 6, session(alice_).i(type).i(by_dbid).u(dbid))));
        EXPECT_EQ(missing, refusal(call(*client_, 20, props_session(alice_).i(type).i(by_dbid).u(dbid)
                                                          .s("Personal Queries/Stolen").i(0).i(0).i(0).i(0).i(0).i(0))));
        EXPECT_EQ(missing, refusal(call(*client_, 7, session(alice_).i(10).u(0).u(1).i(type).i(by_dbid).u(dbid).s(run_doc))));
    }
    EXPECT_TRUE(walk(*client_, session(alice_).i(37).i(by_dbid).u(work)).empty());
    EXPECT_EQ(missing, refusal(call(*client_, 21, session(alice_).i(37).i(by_dbid).u(work))));
    EXPECT_EQ(missing, refusal(call(*client_, 35, session(alice_).i(37).i(by_dbid).u(work))));
    // Nothing was copied into alice's folder.
    EXPECT_EQ(walk(*client_, session(alice_).named(37, "Personal Queries")), alices);
}
