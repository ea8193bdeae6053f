// A logged-on user without privileges against the real program: files named for direct uploads
// and downloads stay in the exchange directory, the server's own files are never served, and
// another user's personal workspace items are out of reach by dbid as by path, and nothing a user
// leaves in the temporary directory outlives its item, its age or the server.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "raw_calls.h"
#include "server_process.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// The attachment field of a record, by name.
Body attachments_of(Body body, std::string const &record) {
    return body.i(45).i(1).s("Defect").s(record).s("Attachments");
}

// make_attachment_direct of a file on the server's disk.
Answer direct_upload(Client &client, std::string const &session_handle, std::string const &path) {
    Body body = attachments_of(session(session_handle), "ISSUE00000003");
    return answer(call(client, 32, body.s("direct.txt").s("named by path").s(path).i(0)), true);
}

// make_attachment of four bytes; the new item's handle.
std::string upload(Client &client, std::string const &session_handle) {
    Body body = attachments_of(session(session_handle), "ISSUE00000003").s("e2e.bin").s("kept until").i(4);
    return answer(call(client, 14, body.u(4).raw("abcd").u(0)), true).value;
}

// The stored attachment of the demo set, by name.
Body stored_attachment() { return Body().i(44).i(1).s("Defect").s("ISSUE00000001").s("Attachments").s("steps.txt"); }

// get_attachment_direct of a target: the path of its file.
Answer direct_download(Client &client, std::string const &session_handle, Body const &target) {
    return answer(call(client, 31, session(session_handle).raw(target.bytes).i(64)), false);
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
        session_ = login(*client_, "alice");
        ASSERT_EQ(session_.size(), 16u);
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
    // Each path gets the product's refusal of a file it cannot take, with the same text.
    void expect_refused(std::vector<std::string> const &paths) {
        for (std::string const &path : paths) {
            Answer const a = direct_upload(*client_, session_, path);
            EXPECT_TRUE(a.failed) << path;
            EXPECT_EQ(40, a.reason) << path;
            EXPECT_EQ("TLQSV0772E Cannot make the attachment: The attachment's content file '" + path +
                          "' cannot be read.",
                      a.message)
                << path;
        }
    }

    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    std::string session_;
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

    expect_refused({"/etc/passwd", dir_.file("in/../../../etc/passwd"), dir_.file("passwd-link"), "/proc/self/environ",
                    "/proc/" + std::to_string(server_->pid()) + "/cmdline", dir_.file("sso.properties"),
                    dir_.file("kxrpc_1_4242.dmp"), dir_.file("data/KXDEMO.kxdb"), dir_.file("in/../data/KXDEMO.kxdb"),
                    dir_.file("in/missing.txt"), dir_.file("in"), "in/legit.txt"});

    // A file of the exchange directory is taken, and read back from a file of the server's own.
    Answer const taken = direct_upload(*client_, session_, dir_.file("in/../in/legit.txt"));
    ASSERT_FALSE(taken.failed) << taken.message;
    Answer const by_handle = direct_download(*client_, session_, Body().i(44).i(3).u(16).raw(taken.value));
    ASSERT_FALSE(by_handle.failed) << by_handle.message;
    EXPECT_NE(dir_.file("in/legit.txt"), by_handle.value);
    EXPECT_TRUE(inside(by_handle.value, exchange)) << by_handle.value;
    EXPECT_EQ("legitimate content", read_file(by_handle.value));
    EXPECT_EQ("legitimate content", read_file(dir_.file("in/legit.txt")));

    // A stored attachment is written into the exchange directory for the web tier.
    Answer const stored = direct_download(*client_, session_, stored_attachment());
    ASSERT_FALSE(stored.failed) << stored.message;
    EXPECT_TRUE(inside(stored.value, exchange)) << stored.value;
    EXPECT_NE(read_file(stored.value).find("Open a new record."), std::string::npos);
    // The server's temporary files are its own: another user's download or upload is not taken.
    expect_refused({stored.value});
}

TEST_F(HostileFiles, TheDefaultExchangeDirectoryIsTheServersTemporaryDirectory) {
    std::string const tmp = dir_.file("tmp");
    ASSERT_EQ(0, ::mkdir(tmp.c_str(), 0700));
    write_file(tmp + "/legit.txt", "legitimate content");
    write_file(dir_.file("beside.txt"), "not shared");
    ASSERT_NO_FATAL_FAILURE(start({"TMP=" + tmp, "TMPDIR=" + tmp, "TEMP=" + tmp}));

    expect_refused({dir_.file("beside.txt"), tmp + "/../beside.txt", "/etc/passwd"});
    EXPECT_FALSE(direct_upload(*client_, session_, tmp + "/legit.txt").failed);
    Answer const stored = direct_download(*client_, session_, stored_attachment());
    ASSERT_FALSE(stored.failed) << stored.message;
    EXPECT_TRUE(inside(stored.value, tmp)) << stored.value;
}

TEST(HostileFilesStart, AnExchangeDirectoryThatIsNoDirectoryStopsTheStart) {
    TempDir dir;
    write_file(dir.file("plain"), "");
    for (std::string const &named : {dir.file("missing"), dir.file("plain")}) {
        Outcome const out =
            run_to_exit({}, dir.path(), {"KXRPC_EXCHANGE_DIR=" + named, "KX_PRODUCT_DATA=" + dir.file("data")});
        EXPECT_NE(0, out.status) << named;
        EXPECT_NE(out.err.find("KXRPC_EXCHANGE_DIR"), std::string::npos) << out.err;
    }
    for (std::string const age : {"0", "-5", "1h", "99999999999"}) {
        Outcome const out =
            run_to_exit({}, dir.path(), {"KXRPC_DIRECT_DOWNLOAD_AGE=" + age, "KX_PRODUCT_DATA=" + dir.file("data")});
        EXPECT_NE(0, out.status) << age;
        EXPECT_NE(out.err.find("KXRPC_DIRECT_DOWNLOAD_AGE"), std::string::npos) << out.err;
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
        EXPECT_EQ(missing, refusal(call(*client_, 20,
                                        props_session(alice_)
                                            .i(type)
                                            .i(by_dbid)
                                            .u(dbid)
                                            .s("Personal Queries/Stolen")
                                            .i(0)
                                            .i(0)
                                            .i(0)
                                            .i(0)
                                            .i(0)
                                            .i(0))));
        EXPECT_EQ(missing,
                  refusal(call(*client_, 7, session(alice_).i(10).u(0).u(1).i(type).i(by_dbid).u(dbid).s(run_doc))));
    }
    EXPECT_TRUE(walk(*client_, session(alice_).i(37).i(by_dbid).u(work)).empty());
    EXPECT_EQ(missing, refusal(call(*client_, 21, session(alice_).i(37).i(by_dbid).u(work))));
    EXPECT_EQ(missing, refusal(call(*client_, 35, session(alice_).i(37).i(by_dbid).u(work))));
    // Nothing was copied into alice's folder.
    EXPECT_EQ(walk(*client_, session(alice_).named(37, "Personal Queries")), alices);
}

namespace {

namespace fs = std::filesystem;

// The server's temporary folders below an exchange directory ("kxrpc-<key of the data>").
std::vector<std::string> tmp_roots(std::string const &exchange) {
    std::vector<std::string> out;
    for (auto const &entry : fs::directory_iterator(exchange))
        if (entry.path().filename().string().rfind("kxrpc-", 0) == 0) out.push_back(entry.path().string());
    return out;
}

// The directory of the process `pid` in a server's temporary folder ("<pid>-<unique>"), or "".
std::string process_dir(std::string const &root, pid_t pid) {
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind(std::to_string(pid) + "-", 0) == 0) return it->path().string();
    return std::string();
}

// Every regular file below `dir` but the process locks.
std::vector<std::string> files_below(std::string const &dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file() && it->path().filename() != "lock") out.push_back(it->path().string());
    return out;
}

class TemporaryFiles : public testing::Test {
protected:
    // Serves the demo set of dir_/data with its temporary directory (the exchange directory) tmp_.
    std::unique_ptr<ServerProcess> start(std::vector<std::string> env = {}) {
        env.push_back("KX_PRODUCT_DATA=" + dir_.file("data"));
        for (char const *name : {"TMP=", "TMPDIR=", "TEMP="}) env.push_back(name + tmp_);
        auto server =
            std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "4"}, dir_.path(), env);
        EXPECT_TRUE(server->start());
        return server;
    }
    void SetUp() override { ASSERT_EQ(0, ::mkdir(tmp_.c_str(), 0700)); }

    TempDir dir_;
    std::string const tmp_ = dir_.file("tmp");
};

} // namespace

TEST_F(TemporaryFiles, AnUploadGoesWithItsItemAndEveryTemporaryFileWithTheServer) {
    auto server = start();
    std::string const own = process_dir(tmp_roots(tmp_).at(0), server->pid());
    ASSERT_TRUE(fs::is_directory(own));
    Client client(server->port());
    std::string const alice = login(client, "alice");
    ASSERT_EQ(alice.size(), 16u);

    std::string const item = upload(client, alice);
    ASSERT_EQ(item.size(), 16u);
    std::vector<std::string> const uploaded = files_below(own);
    ASSERT_EQ(uploaded.size(), 1u);
    EXPECT_EQ("abcd", read_file(uploaded[0]));
    // Deleting the item deletes its file.
    Body gone;
    gone.u(0).i(1).u(16).raw(item);
    EXPECT_EQ(call(client, 2, gone).u(), 0u);
    EXPECT_TRUE(files_below(own).empty());

    // An upload never committed and a direct download, left when the server stops.
    ASSERT_EQ(upload(client, alice).size(), 16u);
    std::string const download = direct_download(client, alice, stored_attachment()).value;
    EXPECT_EQ(fs::path(download).parent_path().string(), own);
    EXPECT_EQ(files_below(own).size(), 2u);
    server->signal(SIGTERM);
    EXPECT_EQ(0, server->wait().status);
    EXPECT_TRUE(tmp_roots(tmp_).empty());
}

TEST_F(TemporaryFiles, AStartRemovesWhatAnEarlierProcessOfTheSameDataLeftBehind) {
    auto killed = start();
    std::string const root = tmp_roots(tmp_).at(0);
    std::string const left = process_dir(root, killed->pid());
    {
        Client client(killed->port());
        std::string const alice = login(client, "alice");
        ASSERT_EQ(upload(client, alice).size(), 16u);
        EXPECT_FALSE(direct_download(client, alice, stored_attachment()).failed);
    }
    killed->signal(SIGKILL);
    killed->wait();
    ASSERT_EQ(files_below(left).size(), 2u);
    // A directory whose process still holds its lock stays; an ended process's of other data goes.
    std::string const live = root + "/1-abcdef", other = tmp_ + "/kxrpc-0000000000000000/2-abcdef";
    ASSERT_EQ(0, ::mkdir(live.c_str(), 0700));
    fs::create_directories(other);
    fs::permissions(fs::path(other).parent_path(), fs::perms::owner_all);
    write_file(live + "/TMP1", "live");
    write_file(other + "/TMP1", "other data");
    int const lock = ::open((live + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(0, ::flock(lock, LOCK_EX));

    auto next = start();
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(live + "/TMP1"));
    EXPECT_FALSE(fs::exists(other));
    next->signal(SIGTERM);
    EXPECT_EQ(0, next->wait().status);
    EXPECT_TRUE(process_dir(root, next->pid()).empty());
    EXPECT_TRUE(fs::exists(live + "/TMP1"));
    ::close(lock);
}

TEST_F(TemporaryFiles, DirectDownloadsOlderThanTheirAgeAreRemoved) {
    auto server = start({"KXRPC_DIRECT_DOWNLOAD_AGE=1"});
    Client client(server->port());
    std::string const alice = login(client, "alice");
    ASSERT_EQ(upload(client, alice).size(), 16u);
    std::string const download = direct_download(client, alice, stored_attachment()).value;
    ASSERT_TRUE(file_exists(download));
    auto const deadline = Clock::now() + std::chrono::seconds(10);
    while (file_exists(download) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(file_exists(download));
    // The upload's file is its item's, not a download: it stays.
    EXPECT_EQ(files_below(fs::path(download).parent_path().string()).size(), 1u);
    server->signal(SIGTERM);
    EXPECT_EQ(0, server->wait().status);
}
