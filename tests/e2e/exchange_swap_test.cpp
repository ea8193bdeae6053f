// A local account that writes in the exchange directory against the real program: it swaps what a
// client named for make_attachment_direct between that call and the next (the file for a link to
// the data set or to sso.properties, a folder on its path for a link to the data directory), and
// leaves links where direct downloads and sso.properties will be. Each swap is made by a second
// process between two calls; none of them ever lets the server read or write another file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "raw_calls.h"
#include "server_process.h"

using namespace e2e;

namespace {

// The attacker: a process of its own that changes the file system and has ended before the next call.
void as_attacker(std::function<bool()> const &swap) {
    pid_t const pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(swap() ? 0 : 1);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the swap failed";
}

// `path` becomes a link to `target`; what was there is kept beside it.
bool replace_with_link(std::string const &path, std::string const &target) {
    return std::rename(path.c_str(), (path + ".was").c_str()) == 0 && ::symlink(target.c_str(), path.c_str()) == 0;
}

Body attachment_named(std::string const &record, std::string const &file) {
    return Body().i(44).i(1).s("Defect").s(record).s("Attachments").s(file);
}
Body by_handle(std::string const &handle) { return Body().i(44).i(3).u(16).raw(handle); }

// Content as a failure shows it: a data set read by mistake is cut short.
std::string shown(std::string const &content) {
    if (content.size() <= 80) return content;
    return content.substr(0, 80) + "... (" + std::to_string(content.size()) + " bytes)";
}

// The chunk stream of get_attachment, joined (shown); the error arm's message when there is one.
std::string download(Client &client, std::string const &session_handle, Body const &target) {
    Reply r = call(client, 13, session(session_handle).raw(target.bytes).i(64));
    if (r.u() != 0) {
        r.i();
        return "error: " + r.s();
    }
    std::string content;
    for (;;) {
        if (r.u() != 0) return shown(content) + " (error inside the stream)";
        std::uint32_t const n = r.u();
        content += r.bytes.substr(r.at, n);
        r.at += (n + 3) / 4 * 4;
        if (n < 64) return shown(content);
    }
}

// create_temp of a record for Modify: the record item's handle.
std::string edit(Client &client, std::string const &session_handle, std::string const &record) {
    Body body = Body().u(0).u(16).raw(session_handle).s("en_US").i(5);
    body.i(32).i(1).s("Defect").s(record).u(1).i(40).i(1).s("Defect").s("Modify").u(0);
    return answer(call(client, 9, body), true).value;
}

// deliver_change_context: kind 8 (the attachment into the record), then kind 6 (commit); the
// kinds of the results, or the error arm's message.
std::string add_and_commit(Client &client, std::string const &session_handle, std::string const &record,
                           std::string const &attachment) {
    Body body = Body().u(0).u(16).raw(session_handle).s("en_US").i(5);
    body.u(1).i(8).u(16).raw(record).u(16).raw(attachment).u(1).i(6).u(16).raw(record).u(0);
    Reply r = call(client, 10, body);
    if (r.u() != 0) {
        r.i();
        return "error: " + r.s();
    }
    std::string kinds;
    while (r.u() != 0) {
        int const kind = r.i();
        kinds += std::to_string(kind);
        if (kind != 1) {
            r.i(); // the error record's reason
            return kinds + " " + r.s();
        }
        r.s();
        r.s();
    }
    return kinds;
}

struct stat status_of(std::string const &path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st;
}

class ExchangeSwaps : public testing::Test {
protected:
    void SetUp() override {
        // As an operator sets it up: the web tier's group writes there, the sticky bit keeps the
        // server's folders the server's.
        ASSERT_EQ(0, ::mkdir(exchange_.c_str(), 0700));
        ASSERT_EQ(0, ::chmod(exchange_.c_str(), 03770));
        write_file(dir_.file("sso.properties"), "the server's single-sign-on token\n");
        ASSERT_EQ(0, ::chmod(dir_.file("sso.properties").c_str(), 0600));
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-worker_threads", "4"}, dir_.path(),
            std::vector<std::string>{"KX_PRODUCT_DATA=" + dir_.file("data"), "KXRPC_EXCHANGE_DIR=" + exchange_});
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
        alice_ = login(*client_, "alice");
        ASSERT_EQ(alice_.size(), 16u);
        data_set_ = dir_.file("data/KXDEMO.kxdb");
        ASSERT_TRUE(file_exists(data_set_));
    }
    void TearDown() override {
        client_.reset();
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
    }

    // make_attachment_direct of `path` to `record`.
    Answer direct_upload(std::string const &path, std::string const &record = "ISSUE00000003") {
        Body body = session(alice_).i(45).i(1).s("Defect").s(record).s("Attachments");
        return answer(call(*client_, 32, body.s("named.bin").s("named by path").s(path).i(0)), true);
    }
    // get_attachment_direct: the path of the file the server leaves.
    Answer direct_download(Body const &target) {
        return answer(call(*client_, 31, session(alice_).raw(target.bytes).i(64)), false);
    }

    TempDir dir_;
    std::string const exchange_ = dir_.file("exchange");
    std::string data_set_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    std::string alice_;
};

} // namespace

TEST_F(ExchangeSwaps, AFileSwappedForALinkAfterItsCheckIsNeverRead) {
    std::string const data_set = read_file(data_set_), token = read_file(dir_.file("sso.properties"));
    ASSERT_FALSE(data_set.empty());
    std::string const targets[] = {data_set_, dir_.file("sso.properties")};
    for (std::size_t i = 0; i < std::size(targets); ++i) {
        std::string const &target = targets[i];
        SCOPED_TRACE(target);
        std::string const file = exchange_ + "/legit-" + std::to_string(i) + ".txt";
        write_file(file, "legitimate content");
        Answer const taken = direct_upload(file);
        ASSERT_FALSE(taken.failed) << taken.message;
        as_attacker([&] { return replace_with_link(file, target); });

        EXPECT_EQ("legitimate content", download(*client_, alice_, by_handle(taken.value)));
        Answer const left = direct_download(by_handle(taken.value));
        ASSERT_FALSE(left.failed) << left.message;
        EXPECT_NE(left.value, file);
        EXPECT_EQ("legitimate content", shown(read_file(left.value)));
        // The link itself is refused from now on.
        EXPECT_TRUE(direct_upload(file).failed);
    }
    EXPECT_TRUE(data_set == read_file(data_set_));
    EXPECT_EQ(token, read_file(dir_.file("sso.properties")));
}

TEST_F(ExchangeSwaps, ABatchStoresWhatWasCheckedWhateverTheFileOrAFolderOnItsPathBecame) {
    std::string const data_set = read_file(data_set_);
    struct Case {
        std::string record, folder;
        bool whole_folder; // the folder becomes a link to the data directory, else the file a link to the data set
    } const cases[] = {{"ISSUE00000006", exchange_ + "/one", false}, {"ISSUE00000007", exchange_ + "/two", true}};
    for (Case const &c : cases) {
        SCOPED_TRACE(c.folder);
        ASSERT_EQ(0, ::mkdir(c.folder.c_str(), 0770));
        // Named like the data set, so that the folder's swap puts the data set at its path.
        std::string const file = c.folder + "/KXDEMO.kxdb";
        write_file(file, "what alice means to attach");
        Answer const taken = direct_upload(file, c.record);
        ASSERT_FALSE(taken.failed) << taken.message;
        std::string const record = edit(*client_, alice_, c.record);
        ASSERT_EQ(record.size(), 16u);

        as_attacker([&] {
            return c.whole_folder ? replace_with_link(c.folder, dir_.file("data")) : replace_with_link(file, data_set_);
        });
        ASSERT_EQ(c.whole_folder ? dir_.file("data") : data_set_,
                  std::filesystem::read_symlink(c.whole_folder ? c.folder : file).string());

        EXPECT_EQ("11", add_and_commit(*client_, alice_, record, taken.value));
        EXPECT_EQ("what alice means to attach", download(*client_, alice_, attachment_named(c.record, "KXDEMO.kxdb")));
    }
    EXPECT_TRUE(data_set == read_file(data_set_));
}

TEST_F(ExchangeSwaps, ALinkAtAnyComponentIsRefusedWhenChecked) {
    ASSERT_EQ(0, ::mkdir((exchange_ + "/in").c_str(), 0770));
    write_file(exchange_ + "/in/legit.txt", "legitimate content");
    // Links that stay inside the exchange directory too: the file checked is the file named.
    ASSERT_EQ(0, ::symlink("in", (exchange_ + "/alias").c_str()));
    ASSERT_EQ(0, ::symlink("legit.txt", (exchange_ + "/in/same.txt").c_str()));
    ASSERT_EQ(0, ::symlink(dir_.file("data").c_str(), (exchange_ + "/data").c_str()));
    // A second name of the data set is the data set.
    ASSERT_EQ(0, ::link(data_set_.c_str(), (exchange_ + "/hard.kxdb").c_str()));
    for (std::string const &path : {exchange_ + "/alias/legit.txt", exchange_ + "/in/same.txt",
                                    exchange_ + "/data/KXDEMO.kxdb", exchange_ + "/hard.kxdb"}) {
        Answer const a = direct_upload(path);
        EXPECT_TRUE(a.failed) << path;
        EXPECT_EQ(40, a.reason) << path;
        EXPECT_EQ("TLQSV0772E Cannot make the attachment: The attachment's content file '" + path + "' cannot be read.",
                  a.message);
    }
    EXPECT_FALSE(direct_upload(exchange_ + "/in/legit.txt").failed);
}

TEST_F(ExchangeSwaps, ALinkLeftAtTheNameOfTheNextDownloadIsPassedOver) {
    std::string const data_set = read_file(data_set_);
    Body const stored = attachment_named("ISSUE00000001", "steps.txt");
    Answer const first = direct_download(stored);
    ASSERT_FALSE(first.failed) << first.message;
    // Made new for the web tier: the exchange directory's group reads it, only the server changes it.
    std::string const own = first.value.substr(0, first.value.rfind('/'));
    std::string const root = own.substr(0, own.rfind('/'));
    ASSERT_EQ(root.substr(0, root.rfind('/')), exchange_);
    gid_t const group = status_of(exchange_).st_gid;
    for (std::string const &dir : {root, own}) {
        EXPECT_EQ(status_of(dir).st_mode & 07777, 0750u) << dir;
        EXPECT_EQ(status_of(dir).st_gid, group) << dir;
    }
    EXPECT_EQ(status_of(first.value).st_mode & 07777, 0640u);
    EXPECT_EQ(status_of(first.value).st_gid, group);

    // Links at the next names: to the data set and to a file of the web tier's.
    std::string const name = first.value.substr(first.value.rfind('/') + 3);
    unsigned long const next = std::stoul(name) + 1;
    std::string const web_file = exchange_ + "/web-tier.txt";
    write_file(web_file, "the web tier's");
    std::vector<std::string> planted;
    for (unsigned long n = next; n < next + 3; ++n) planted.push_back(own + "/DL" + std::to_string(n));
    as_attacker([&] {
        return ::symlink(data_set_.c_str(), planted[0].c_str()) == 0 &&
               ::symlink(web_file.c_str(), planted[1].c_str()) == 0 &&
               ::symlink(dir_.file("sso.properties").c_str(), planted[2].c_str()) == 0;
    });
    // A stored attachment, a record and a new attachment each get a file of their own.
    write_file(exchange_ + "/new.txt", "a new attachment");
    Answer const upload = direct_upload(exchange_ + "/new.txt");
    ASSERT_FALSE(upload.failed) << upload.message;
    struct Case {
        Body target;
        std::string content;
    } const cases[] = {{stored, "1. Open a new record."},
                       {Body().i(32).i(1).s("Defect").s("ISSUE00000001"), "Crash when saving an empty record"},
                       {by_handle(upload.value), "a new attachment"}};
    for (Case const &c : cases) {
        Answer const left = direct_download(c.target);
        ASSERT_FALSE(left.failed) << left.message;
        for (std::string const &link : planted) EXPECT_NE(left.value, link);
        EXPECT_TRUE(S_ISREG(status_of(left.value).st_mode)) << left.value;
        EXPECT_NE(read_file(left.value).find(c.content), std::string::npos) << shown(read_file(left.value));
    }
    EXPECT_TRUE(data_set == read_file(data_set_));
    EXPECT_EQ("the web tier's", read_file(web_file));
    EXPECT_EQ("the server's single-sign-on token\n", read_file(dir_.file("sso.properties")));
}

TEST_F(ExchangeSwaps, AServerTakesNoFileFromAnotherServersFolder) {
    // A second server of another data set shares the exchange directory with the fixture's.
    TempDir other_dir;
    ServerProcess other({"-worker_threads", "2"}, other_dir.path(),
                        {"KX_PRODUCT_DATA=" + other_dir.file("data"), "KXRPC_EXCHANGE_DIR=" + exchange_});
    ASSERT_TRUE(other.start());
    Client on_other(other.port());
    ASSERT_TRUE(on_other.ok());
    std::string const alice_there = login(on_other, "alice");
    ASSERT_EQ(alice_there.size(), 16u);
    auto take_there = [&](std::string const &path) {
        Body body = session(alice_there).i(45).i(1).s("Defect").s("ISSUE00000003").s("Attachments");
        return answer(call(on_other, 32, body.s("taken.bin").s("").s(path).i(0)), true);
    };

    // Here: alice's direct download, and bob's private upload, whose client file is gone since.
    Answer const download = direct_download(attachment_named("ISSUE00000001", "steps.txt"));
    ASSERT_FALSE(download.failed) << download.message;
    std::string const bob = login(*client_, "bob");
    ASSERT_EQ(bob.size(), 16u);
    write_file(exchange_ + "/bob.txt", "bob's private bytes");
    Body body = session(bob).i(45).i(1).s("Defect").s("ISSUE00000003").s("Attachments");
    ASSERT_FALSE(answer(call(*client_, 32, body.s("bob.txt").s("").s(exchange_ + "/bob.txt").i(0)), true).failed);
    ASSERT_EQ(0, ::unlink((exchange_ + "/bob.txt").c_str()));
    std::string const folder = download.value.substr(0, download.value.rfind('/'));
    std::string const root = folder.substr(0, folder.rfind('/'));
    std::string bobs_copy;
    for (auto const &e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file() && read_file(e.path().string()) == "bob's private bytes") bobs_copy = e.path().string();
    ASSERT_FALSE(bobs_copy.empty());
    // The other server's own download, and a folder of the web tier's named like a server's.
    Answer const theirs =
        answer(call(on_other, 31, session(alice_there).raw(attachment_named("ISSUE00000001", "steps.txt").bytes).i(64)),
               false);
    ASSERT_FALSE(theirs.failed) << theirs.message;
    ASSERT_NE(theirs.value.substr(0, root.size() + 1), root + "/");
    ASSERT_EQ(0, ::mkdir((exchange_ + "/kxrpc-web").c_str(), 0770));
    write_file(exchange_ + "/kxrpc-web/report.txt", "in a folder named like a server's");

    for (std::string const &path : {download.value, bobs_copy, exchange_ + "/kxrpc-web/report.txt"}) {
        Answer const a = take_there(path);
        EXPECT_TRUE(a.failed) << path;
        EXPECT_EQ(40, a.reason) << path;
        EXPECT_EQ("TLQSV0772E Cannot make the attachment: The attachment's content file '" + path + "' cannot be read.",
                  a.message);
    }
    // Nor does this server take the other's.
    Answer const back = direct_upload(theirs.value);
    EXPECT_TRUE(back.failed);
    EXPECT_EQ(40, back.reason);
    // A plain file of the exchange directory is still taken by either.
    write_file(exchange_ + "/plain.txt", "plain");
    EXPECT_FALSE(take_there(exchange_ + "/plain.txt").failed);
    EXPECT_FALSE(direct_upload(exchange_ + "/plain.txt").failed);

    other.signal(SIGTERM);
    EXPECT_EQ(0, other.wait().status);
}

TEST(ExchangeDirectoryStart, OneWhereOthersMayRenameTheServersFoldersStopsTheStart) {
    TempDir dir;
    ASSERT_EQ(0, ::mkdir(dir.file("exchange").c_str(), 0700));
    ASSERT_EQ(0, ::chmod(dir.file("exchange").c_str(), 0777));
    Outcome const out = run_to_exit(
        {}, dir.path(), {"KXRPC_EXCHANGE_DIR=" + dir.file("exchange"), "KX_PRODUCT_DATA=" + dir.file("data")});
    EXPECT_NE(0, out.status);
    EXPECT_NE(out.err.find("sticky bit"), std::string::npos) << out.err;
}

TEST(SsoPropertiesPlanted, OnlyARegularFileThatNobodyElseMayChangeIsTaken) {
    TempDir dir;
    std::vector<std::string> const env = {"KX_PRODUCT_DATA=" + dir.file("data")};
    // The demo set's single-sign-on secret.
    Outcome const tool = run_to_exit({"-sso_password", "kxdemo-single-sign-on-shared-secret"}, dir.path(), env);
    ASSERT_EQ(0, tool.status) << tool.err;
    std::string const written = read_file(dir.file("sso.properties.temp"));
    std::string const token = written.substr(0, written.size() - 1);
    std::string const elsewhere = dir.file("token-elsewhere");
    write_file(elsewhere, written);
    ASSERT_EQ(0, ::chmod(elsewhere.c_str(), 0600));

    struct Case {
        char const *what;
        std::function<bool()> plant;
        bool taken;
    } const cases[] = {
        {"a link to a token", [&] { return ::symlink(elsewhere.c_str(), dir.file("sso.properties").c_str()) == 0; },
         false},
        {"a file others may write",
         [&] {
             write_file(dir.file("sso.properties"), written);
             return ::chmod(dir.file("sso.properties").c_str(), 0666) == 0;
         },
         false},
        {"a folder", [&] { return ::mkdir(dir.file("sso.properties").c_str(), 0700) == 0; }, false},
        {"the tool's own file",
         [&] { return std::rename(dir.file("sso.properties.temp").c_str(), dir.file("sso.properties").c_str()) == 0; },
         true},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(c.what);
        as_attacker(c.plant);
        ServerProcess server({}, dir.path(), env);
        ASSERT_TRUE(server.start());
        {
            Client client(server.port());
            Body body;
            body.u(0).i(7).s("KXDEMO/ISSUE").s("carol").s(token).s("en_US").s("").u(1).s("");
            Reply r = call(client, 5, body);
            EXPECT_EQ(r.u() == 0, c.taken);
        }
        server.signal(SIGTERM);
        Outcome const out = server.wait();
        EXPECT_EQ(0, out.status);
        EXPECT_EQ(out.err.find("sso.properties is ignored") != std::string::npos, !c.taken) << out.err;
        std::remove(dir.file("sso.properties").c_str());
        ::rmdir(dir.file("sso.properties").c_str());
    }
}
