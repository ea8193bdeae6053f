// Opening a client's file below the exchange directory: no link at any component and never above
// the directory, the same by openat2 and by the walk that stands in for it.
#include "files/exchange.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "files/descriptors.h"
#include "support/private_tmp.h"

using namespace KxRpc;
namespace fs = std::filesystem;

namespace {

void write_file(std::string const &path, std::string const &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

class OpenBeneath : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(base_ + "/dir/deeper");
        write_file(base_ + "/file.txt", "file");
        write_file(base_ + "/dir/inner.txt", "inner");
        write_file(base_ + "/dir/deeper/leaf.txt", "leaf");
        write_file(kxtest::private_tmp.dir + "/outside.txt", "outside");
        fs::create_symlink("file.txt", base_ + "/link-file");
        fs::create_directory_symlink("dir", base_ + "/link-dir");
        fs::create_symlink("../file.txt", base_ + "/dir/up-link");
        fs::create_symlink(kxtest::private_tmp.dir + "/outside.txt", base_ + "/out-link");
        ASSERT_EQ(0, ::mkfifo((base_ + "/fifo").c_str(), 0600));
        dir_.reset(::open(base_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir_);
    }
    void TearDown() override {
        fs::remove_all(base_);
        fs::remove(kxtest::private_tmp.dir + "/outside.txt");
    }

    std::string const base_ = kxtest::private_tmp.dir + "/beneath";
    UniqueFd dir_;
};

bool same_file(int fd, std::string const &path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

TEST_F(OpenBeneath, OnlyLinkFreePathsBelowTheDirectoryOpen) {
    struct Case {
        char const *relative;
        char const *opens; // the file it opens below the directory, or null when refused
    } const cases[] = {
        {"file.txt", "file.txt"},
        {"dir/inner.txt", "dir/inner.txt"},
        {"dir/deeper/leaf.txt", "dir/deeper/leaf.txt"},
        {"dir/../file.txt", "file.txt"},
        {"./dir//deeper/./leaf.txt", "dir/deeper/leaf.txt"},
        {"dir/deeper/../../dir/inner.txt", "dir/inner.txt"},
        // A FIFO opens without waiting for a writer, a directory opens too: the caller refuses
        // what is not a regular file.
        {"fifo", "fifo"},
        {"dir", "dir"},
        {"link-file", nullptr},
        {"link-dir/inner.txt", nullptr},
        {"dir/up-link", nullptr},
        {"out-link", nullptr},
        {"../outside.txt", nullptr},
        {"dir/../../outside.txt", nullptr},
        {"dir/../../beneath/file.txt", nullptr},
        {"missing", nullptr},
        {"file.txt/x", nullptr},
        {"dir/..", nullptr},
        {"", nullptr},
        {".", nullptr},
    };
    for (Case const &c : cases) {
        for (auto open : {open_beneath, open_beneath_walk}) {
            SCOPED_TRACE(std::string(c.relative) + (open == open_beneath ? " (openat2)" : " (walk)"));
            UniqueFd const fd(open(dir_.get(), c.relative));
            if (c.opens == nullptr) {
                EXPECT_FALSE(fd);
                continue;
            }
            ASSERT_TRUE(fd) << std::strerror(errno);
            EXPECT_TRUE(same_file(fd.get(), base_ + "/" + c.opens));
            EXPECT_EQ(O_RDONLY, ::fcntl(fd.get(), F_GETFL) & O_ACCMODE);
        }
    }
}

TEST(CopyContent, CopiesToTheEndAndRefusesMoreThanTheLimit) {
    std::string const from = kxtest::private_tmp.dir + "/copy-from", to = kxtest::private_tmp.dir + "/copy-to";
    std::string const content(200 * 1024 + 3, 'x');
    write_file(from, content);
    struct Case {
        std::size_t limit;
        bool ok;
    } const cases[] = {{content.size(), true}, {content.size() + 1, true}, {content.size() - 1, false}, {0, false}};
    for (Case const &c : cases) {
        UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
        UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        EXPECT_EQ(copy_content(in.get(), out.get(), c.limit), c.ok) << c.limit;
        ASSERT_TRUE(out.close());
        if (c.ok) {
            std::ifstream copied(to, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copied), {}), content);
        }
    }
    // Content past a read that already happened is what is copied.
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::lseek(in.get(), 7, SEEK_SET), 7);
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_TRUE(copy_content(in.get(), out.get(), content.size()));
    EXPECT_EQ(fs::file_size(to), content.size() - 7);
    fs::remove(from);
    fs::remove(to);
}
