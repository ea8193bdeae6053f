// The disk bytes charged to each session: the bound, refusals that charge nothing, and bytes given
// back when a charge goes; direct downloads charged to their session and removed when it ends.
#include "files/session_disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "files/downloads.h"
#include "support/private_tmp.h"
#include "tesutil/stpexception.h"
#include "wire/exceptions.h"

using namespace KxRpc;

namespace {

// The refusal's reason and text, or -1 when nothing was refused.
std::pair<int, std::string> refusal_of(std::function<void()> const &charge) {
    try {
        charge();
    } catch (Nul::STPException const &e) {
        return {static_cast<int>(e.stp_reason_code()), exception_message_text(e).utf8_str().std_str()};
    }
    return {-1, std::string()};
}

bool exists(std::string const &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class SessionDisk : public testing::Test {
protected:
    void SetUp() override { set_session_disk_bytes(100); }
    void TearDown() override { set_session_disk_bytes(0); }
};

} // namespace

TEST_F(SessionDisk, ChargesUpToTheBoundAndRefusesPastItWithNothingCharged) {
    struct Case {
        std::vector<std::uint64_t> charges;
        std::uint64_t held; // after all of them
        int refused;        // how many were refused
    } const cases[] = {
        {{100}, 100, 0},        {{101}, 0, 1},  {{60, 40}, 100, 0},
        {{60, 41, 40}, 100, 1}, {{0, 0}, 0, 0}, {{50, UINT64_MAX}, 50, 1},
    };
    for (Case const &c : cases) {
        Nul::Oid const owner = Nul::Oid::gen();
        std::vector<DiskCharge> kept;
        int refused = 0;
        for (std::uint64_t bytes : c.charges) {
            auto const [reason, text] = refusal_of([&] { kept.emplace_back(owner, bytes); });
            if (reason < 0) continue;
            ++refused;
            EXPECT_EQ(reason, 40);
            EXPECT_EQ(text, "TLQSV1104E Too many bytes in this session's files on the server "
                            "(KX_SESSION_DISK_BYTES, 100); release some and try again.");
        }
        EXPECT_EQ(refused, c.refused);
        EXPECT_EQ(session_disk_held(owner), c.held);
        kept.clear();
        EXPECT_EQ(session_disk_held(owner), 0u);
    }
}

TEST_F(SessionDisk, EachSessionHasItsOwnBoundAndNoSessionNone) {
    Nul::Oid const one = Nul::Oid::gen(), other = Nul::Oid::gen();
    DiskCharge a(one, 100);
    DiskCharge b(other, 100);
    EXPECT_EQ(session_disk_held(one), 100u);
    EXPECT_EQ(session_disk_held(other), 100u);
    // Files made outside any session (tools, tests) are not counted.
    DiskCharge none(Nul::Oid(), 1000);
    EXPECT_EQ(none.bytes(), 0u);
    EXPECT_EQ(session_disk_held(Nul::Oid()), 0u);
}

TEST_F(SessionDisk, AChargeGrowsMovesAndGivesItsBytesBackOnce) {
    Nul::Oid const owner = Nul::Oid::gen();
    DiskCharge charge(owner, 30);
    charge.grow(20);
    EXPECT_EQ(charge.bytes(), 50u);
    // A growth past the bound keeps what was charged.
    EXPECT_EQ(refusal_of([&] { charge.grow(51); }).first, 40);
    EXPECT_EQ(charge.bytes(), 50u);
    EXPECT_EQ(session_disk_held(owner), 50u);
    DiskCharge moved(std::move(charge));
    EXPECT_EQ(charge.bytes(), 0u);
    charge.release();
    EXPECT_EQ(session_disk_held(owner), 50u);
    DiskCharge other(owner, 10);
    other = std::move(moved); // the 10 go back, the 50 stay with `other`
    EXPECT_EQ(session_disk_held(owner), 50u);
    other.release();
    other.release();
    EXPECT_EQ(session_disk_held(owner), 0u);
}

TEST_F(SessionDisk, ASessionsDownloadsAreChargedToItAndGoWhenItEnds) {
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
    EXPECT_EQ(session_disk_held(ended), 15u);
    EXPECT_EQ(session_disk_held(going_on), 3u);
    // Past the bound: refused before the file is made, or removed once it is known to be too large.
    EXPECT_EQ(refusal_of([&] { leave(ended, 86, "x"); }).first, 40);
    EXPECT_EQ(refusal_of([&] { leave(ended, 1, std::string(86, 'x')); }).first, 40);
    EXPECT_EQ(session_disk_held(ended), 15u);

    EXPECT_EQ(remove_session_downloads(ended), 2);
    EXPECT_FALSE(exists(first));
    EXPECT_FALSE(exists(second));
    EXPECT_TRUE(exists(kept));
    EXPECT_EQ(session_disk_held(ended), 0u);
    EXPECT_EQ(remove_session_downloads(ended), 0);
    // The age sweeper gives the bytes back too.
    EXPECT_EQ(remove_direct_downloads(std::chrono::steady_clock::now() + std::chrono::seconds(1)), 1);
    EXPECT_FALSE(exists(kept));
    EXPECT_EQ(session_disk_held(going_on), 0u);
}
