// Direct downloads charged to their session and removed when it ends.
#include "files/downloads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "refusal.h"
#include "support/private_tmp.h"
#include "wire/ledger.h"

using namespace KxRpc;
using kxtest::refusal_of;

namespace {

bool exists(std::string const &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class Downloads : public testing::Test {
protected:
    void SetUp() override { set_ledger_bound(Holding::disk, LedgerOwner::session, 100); }
    void TearDown() override { set_ledger_bound(Holding::disk, LedgerOwner::session, 0); }
};

} // namespace

TEST_F(Downloads, ASessionsDownloadsAreChargedToItAndGoWhenItEnds) {
    Nul::Oid const ended = Nul::Oid::gen(), going_on = Nul::Oid::gen();
    auto leave = [](Nul::Oid const &owner, std::uint64_t expected, std::string const &content) {
        return leave_direct_download(owner, expected,
                                     [&](int fd, Nul::UString const &) {
                                         ASSERT_EQ(static_cast<ssize_t>(content.size()),
                                                   ::write(fd, content.data(), content.size()));
                                     })
            .utf8_str()
            .std_str();
    };
    std::string const first = leave(ended, 10, "0123456789");
    // Charged by what the file holds once written, even where less was expected.
    std::string const second = leave(ended, 0, "01234");
    std::string const kept = leave(going_on, 3, "abc");
    EXPECT_EQ(ledger_held(Holding::disk, ended), 15u);
    EXPECT_EQ(ledger_held(Holding::disk, going_on), 3u);
    // Past the bound: refused before the file is made, or removed once it is known to be too large.
    EXPECT_EQ(refusal_of([&] { leave(ended, 86, "x"); }).first, 40);
    EXPECT_EQ(refusal_of([&] { leave(ended, 1, std::string(86, 'x')); }).first, 40);
    EXPECT_EQ(ledger_held(Holding::disk, ended), 15u);

    EXPECT_EQ(remove_session_downloads(ended), 2);
    EXPECT_FALSE(exists(first));
    EXPECT_FALSE(exists(second));
    EXPECT_TRUE(exists(kept));
    EXPECT_EQ(ledger_held(Holding::disk, ended), 0u);
    EXPECT_EQ(remove_session_downloads(ended), 0);
    // The age sweeper gives the bytes back too.
    EXPECT_EQ(remove_direct_downloads(std::chrono::steady_clock::now() + std::chrono::seconds(1)), 1);
    EXPECT_FALSE(exists(kept));
    EXPECT_EQ(ledger_held(Holding::disk, going_on), 0u);
}
