// The server's temporary directory in a process of its own: where temporary files are made, what a
// start removes, and which direct downloads expire.
#include "files/downloads.h"
#include "files/server_tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "support/private_tmp.h"
#include "tesutil/fileutl.h"

using namespace KxRpc;
namespace fs = std::filesystem;

namespace {

bool exists(Nul::UString const &path) { return fs::exists(path.utf8_str().std_str()); }

} // namespace

TEST(ServerTmp, FilesLiveInTheProcessDirectoryAndGoWithIt) {
    std::string const exchange = kxtest::private_tmp.dir + "/exchange";
    ASSERT_TRUE(fs::create_directory(exchange));
    std::string why;
    ASSERT_TRUE(open_server_tmp_dir(exchange, "data", why)) << why;
    std::string const root = server_tmp_root();
    EXPECT_EQ(fs::path(root).parent_path().string(), exchange);
    EXPECT_EQ(fs::path(root).filename().string().rfind("kxrpc-", 0), 0u);
    // Opening again keeps the one directory.
    EXPECT_TRUE(open_server_tmp_dir(exchange, "other", why));
    EXPECT_EQ(server_tmp_root(), root);

    Nul::UString const older = Nul::Fileutl::create_tmp_file(0);
    fs::path const own = fs::path(older.utf8_str().std_str()).parent_path();
    EXPECT_EQ(own.parent_path().string(), root);
    EXPECT_EQ(own.filename().string().rfind(std::to_string(::getpid()) + "-", 0), 0u) << own;
    keep_direct_download(older);
    auto const between = std::chrono::steady_clock::now();
    Nul::UString const newer = Nul::Fileutl::create_tmp_file(0);
    keep_direct_download(newer);
    Nul::UString const upload = Nul::Fileutl::create_tmp_file(Nul::UString(L"upload.bin"), 0);
    ::close(::open(upload.utf8_str().c_str(), O_WRONLY | O_CREAT, 0600));

    // Only what was kept before the time goes, once.
    EXPECT_EQ(remove_direct_downloads(between), 1);
    EXPECT_FALSE(exists(older));
    EXPECT_TRUE(exists(newer));
    EXPECT_EQ(remove_direct_downloads(between), 0);

    close_server_tmp_dir();
    EXPECT_FALSE(fs::exists(root));
    EXPECT_TRUE(server_tmp_root().empty());
    close_server_tmp_dir();
    // Later files are made in the system's directory again.
    Nul::UString const after = Nul::Fileutl::create_tmp_file(0);
    EXPECT_EQ(fs::path(after.utf8_str().std_str()).parent_path().string(),
              Nul::Fileutl::system_tmp_dir().utf8_str().std_str());
    Nul::Fileutl::delete_tmp_file(after);
}

TEST(ServerTmp, AStartSweepsEndedProcessesOnlyAndRefusesAForeignFolder) {
    std::string const exchange = kxtest::private_tmp.dir + "/sweep";
    ASSERT_TRUE(fs::create_directory(exchange));
    std::string why;
    ASSERT_TRUE(open_server_tmp_dir(exchange, "data", why)) << why;
    std::string const root = server_tmp_root();
    close_server_tmp_dir();

    fs::create_directories(root + "/41-ended1");
    fs::permissions(root, fs::perms::owner_all);
    fs::create_directories(root + "/42-runnin");
    int const held = ::open((root + "/42-runnin/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(0, ::flock(held, LOCK_EX));
    // The exchange directory is shared: what this server did not name is never swept.
    std::string const foreign_root = exchange + "/kxrpc-admin-XXXXXX";
    for (std::string const &dir : {root + "/data", root + "/41-x", foreign_root + "/data", foreign_root + "/41-ended1"})
        fs::create_directories(dir);
    ASSERT_TRUE(open_server_tmp_dir(exchange, "data", why)) << why;
    EXPECT_EQ(server_tmp_root(), root);
    // A folder an earlier build made private is opened to the group to read.
    EXPECT_EQ(fs::status(root).permissions(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_FALSE(fs::exists(root + "/41-ended1"));
    EXPECT_TRUE(fs::exists(root + "/42-runnin/lock"));
    for (std::string const &dir : {root + "/data", root + "/41-x", foreign_root + "/data", foreign_root + "/41-ended1"})
        EXPECT_TRUE(fs::exists(dir)) << dir;
    close_server_tmp_dir();
    EXPECT_TRUE(fs::exists(root + "/42-runnin"));
    ::close(held);
    fs::remove_all(foreign_root);
    for (char const *dir : {"/data", "/41-x"}) fs::remove_all(root + dir);

    // A folder that its group or others may write, or a link in its place, is not taken.
    for (fs::perms const open :
         {fs::perms::all, fs::perms::owner_all | fs::perms::group_all, fs::perms::owner_all | fs::perms::others_read}) {
        fs::permissions(root, open);
        EXPECT_FALSE(open_server_tmp_dir(exchange, "data", why));
        EXPECT_NE(why.find("private"), std::string::npos) << why;
    }
    fs::remove_all(root);
    fs::create_directory_symlink(exchange, root);
    EXPECT_FALSE(open_server_tmp_dir(exchange, "data", why));
    fs::remove(root);
}

namespace {

struct stat status_of(std::string const &path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st;
}

} // namespace

TEST(ServerTmp, DirectDownloadsAreNewFilesThatTheExchangeDirectorysGroupReads) {
    // Before a directory is opened: the system's temporary directory, private.
    Nul::UString const early =
        leave_direct_download([](int fd, Nul::UString const &) { ASSERT_EQ(1, ::write(fd, "e", 1)); });
    EXPECT_EQ(fs::path(early.utf8_str().std_str()).parent_path().string(),
              Nul::Fileutl::system_tmp_dir().utf8_str().std_str());
    EXPECT_EQ(status_of(early.utf8_str()).st_mode & 07777, 0600u);

    std::string const exchange = kxtest::private_tmp.dir + "/shared";
    ASSERT_TRUE(fs::create_directory(exchange));
    gid_t const group = status_of(exchange).st_gid;
    ASSERT_TRUE(may_give_group(group));
    std::string why;
    ASSERT_TRUE(open_server_tmp_dir(exchange, "data", why)) << why;
    // Only the server changes its folders; the exchange directory's group reads them.
    std::string const root = server_tmp_root();
    Nul::UString const made = leave_direct_download([](int fd, Nul::UString const &path) {
        ASSERT_EQ(3, ::write(fd, "abc", 3));
        // The path names the same file.
        struct stat by_fd {};
        ASSERT_EQ(0, ::fstat(fd, &by_fd));
        EXPECT_EQ(by_fd.st_ino, status_of(path.utf8_str()).st_ino);
    });
    std::string const first = made.utf8_str();
    std::string const own = fs::path(first).parent_path().string();
    EXPECT_EQ(fs::path(own).parent_path().string(), root);
    for (std::string const &dir : {root, own}) {
        struct stat const st = status_of(dir);
        EXPECT_EQ(st.st_mode & 07777, 0750u) << dir;
        EXPECT_EQ(st.st_gid, group) << dir;
    }
    struct stat const st = status_of(first);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(status_of(own + "/lock").st_mode & 07777, 0600u);
    // The server's own temporary files stay private.
    Nul::UString const upload = Nul::Fileutl::create_tmp_file(Nul::UString(L"upload.bin"), 0);
    EXPECT_EQ(status_of(fs::path(upload.utf8_str().std_str()).parent_path().string()).st_mode & 07777, 0700u);

    // A link left at the next name is passed over, never written through.
    std::string const victim = kxtest::private_tmp.dir + "/victim";
    std::ofstream(victim) << "untouched";
    std::string const next =
        own + "/DL" + std::to_string(std::stoul(fs::path(first).filename().string().substr(2)) + 1);
    fs::create_symlink(victim, next);
    std::string const second =
        leave_direct_download([](int fd, Nul::UString const &) { ASSERT_EQ(1, ::write(fd, "x", 1)); }).utf8_str();
    EXPECT_NE(second, next);
    EXPECT_TRUE(S_ISREG(status_of(second).st_mode));
    EXPECT_TRUE(fs::is_symlink(next));
    std::ifstream read_back(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(read_back), {}), "untouched");

    // A fill that fails leaves no file.
    std::string failed;
    EXPECT_THROW(leave_direct_download([&](int, Nul::UString const &path) {
                     failed = path.utf8_str();
                     throw std::runtime_error("no content");
                 }),
                 std::runtime_error);
    EXPECT_FALSE(failed.empty());
    EXPECT_FALSE(fs::exists(failed));
    // The three made are kept, and go once old; the failed one never was.
    EXPECT_EQ(remove_direct_downloads(std::chrono::steady_clock::now() + std::chrono::seconds(1)), 3);
    for (std::string const &gone : {early.utf8_str().std_str(), first, second}) EXPECT_FALSE(fs::exists(gone));
    close_server_tmp_dir();
    EXPECT_FALSE(fs::exists(root));
    fs::remove(victim);
}

TEST(ServerTmp, AnExchangeDirectoryWhereOthersMayRenameTheFoldersIsRefused) {
    std::string const exchange = kxtest::private_tmp.dir + "/open";
    ASSERT_TRUE(fs::create_directory(exchange));
    struct Case {
        mode_t mode;
        bool taken;
    } const cases[] = {{0777, false}, {0770, false}, {0702, false}, {01777, true}, {03770, true}, {0750, true}};
    for (Case const &c : cases) {
        ASSERT_EQ(0, ::chmod(exchange.c_str(), c.mode));
        std::string why;
        EXPECT_EQ(open_server_tmp_dir(exchange, "data", why), c.taken) << std::oct << c.mode << ": " << why;
        if (!c.taken) {
            EXPECT_NE(why.find("sticky bit"), std::string::npos) << why;
        }
        close_server_tmp_dir();
    }
    fs::remove_all(exchange);
}

TEST(ServerTmp, TheDownloadAgeIsWholeSecondsFromOne) {
    struct Case {
        char const *text;
        bool ok;
        long seconds;
    } const cases[] = {{nullptr, true, 3600},   {"", true, 3600},
                       {"1", true, 1},          {"86400", true, 86400},
                       {"0", false, 0},         {"-1", false, 0},
                       {"1h", false, 0},        {" 5", false, 0},
                       {"+5", false, 0},        {"2147483647", true, 2147483647},
                       {"2147483648", false, 0}};
    for (Case const &c : cases) {
        if (c.text) {
            ::setenv(direct_download_age_variable, c.text, 1);
        } else {
            ::unsetenv(direct_download_age_variable);
        }
        std::chrono::seconds age{};
        EXPECT_EQ(read_direct_download_age(age), c.ok) << (c.text ? c.text : "unset");
        if (c.ok) {
            EXPECT_EQ(age.count(), c.seconds) << c.text;
        }
    }
    ::unsetenv(direct_download_age_variable);
}
