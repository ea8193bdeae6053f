// The server's temporary directory in a process of its own: where temporary files are made, what a
// start removes, and which direct downloads expire.
#include "wire/server_tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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
    EXPECT_FALSE(fs::exists(root + "/41-ended1"));
    EXPECT_TRUE(fs::exists(root + "/42-runnin/lock"));
    for (std::string const &dir : {root + "/data", root + "/41-x", foreign_root + "/data", foreign_root + "/41-ended1"})
        EXPECT_TRUE(fs::exists(dir)) << dir;
    close_server_tmp_dir();
    EXPECT_TRUE(fs::exists(root + "/42-runnin"));
    ::close(held);
    fs::remove_all(foreign_root);
    for (char const *dir : {"/data", "/41-x"}) fs::remove_all(root + dir);

    // A folder that others may write, or a link in its place, is not taken.
    fs::permissions(root, fs::perms::all);
    EXPECT_FALSE(open_server_tmp_dir(exchange, "data", why));
    EXPECT_NE(why.find("private"), std::string::npos) << why;
    fs::remove_all(root);
    fs::create_directory_symlink(exchange, root);
    EXPECT_FALSE(open_server_tmp_dir(exchange, "data", why));
    fs::remove(root);
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
