// With the recording ARM agent loaded: the client's correlator lands in the thread's base
// correlator. Runs in its own process because ARM is switched on for good.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "session/delete_state.h"
#include "target/requests.h"
#include "tesutil/arm.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::words;

namespace {

class ArmOn : public ::testing::Environment {
public:
    void SetUp() override {
        path_ = "/tmp/kxrpc_arm_correlator_" + std::to_string(::getpid()) + ".log";
        ::setenv("KX_ARM4_LOG", path_.c_str(), 1);
        Nul::ArmBuffer app;
        app.add_buffer();
        ASSERT_EQ(
            Nul::ArmApplication::register_application(static_cast<Nul::arm_level_t>(1), Nul::UString(L"kxrpc"), &app),
            0);
        ASSERT_EQ(Nul::ArmApplication::start_application(nullptr, Nul::UString(), Nul::UString()), 0);
    }
    void TearDown() override { std::remove(path_.c_str()); }

private:
    std::string path_;
};

::testing::Environment *const arm_on = ::testing::AddGlobalTestEnvironment(new ArmOn);

Bytes with_correlator(std::string const &bytes) {
    Bytes b = words({static_cast<std::uint32_t>(bytes.size())});
    kxtest::put_bytes(b, bytes);
    while (b.size() % 4) b.push_back(0);
    kxtest::put_word(b, 0); // no handles
    return b;
}

} // namespace

TEST(ArmCorrelator, ReadIntoTheThreadsBaseCorrelator) {
    ASSERT_NE(Nul::ArmPerThreadOperationStack::get_base_correlator(), nullptr);
    std::string corr("\x00\x0a"
                     "abcdefgh",
                     10);
    DeleteStateArgs args;
    ASSERT_TRUE(kxtest::decode(with_correlator(corr), [&](XDR *x) { return args.xdr(x); }));
    ASSERT_TRUE(args.has_correlator());
    EXPECT_EQ(args.correlator(), Nul::ArmPerThreadOperationStack::get_base_correlator());
    EXPECT_EQ(std::memcmp(args.correlator()->opaque, corr.data(), corr.size()), 0);
    EXPECT_EQ(args.correlator()->opaque[corr.size()], 0);
}

TEST(ArmCorrelator, LengthZeroIsNone) {
    DeleteStateArgs args;
    ASSERT_TRUE(kxtest::decode(words({0, 0}), [&](XDR *x) { return args.xdr(x); }));
    EXPECT_FALSE(args.has_correlator());
}

TEST(ArmCorrelator, TooLongNeverReachesTheBase) {
    arm_correlator *base = Nul::ArmPerThreadOperationStack::get_base_correlator();
    ASSERT_NE(base, nullptr);
    std::memset(base->opaque, 0x5A, sizeof base->opaque);
    DeleteStateArgs args;
    EXPECT_FALSE(kxtest::decode(with_correlator(std::string(513, 'x')), [&](XDR *x) { return args.xdr(x); }));
    EXPECT_FALSE(args.has_correlator());
    EXPECT_EQ(base->opaque[0], 0x5A);
    DeleteStateArgs full;
    ASSERT_TRUE(kxtest::decode(with_correlator(std::string(512, 'y')), [&](XDR *x) { return full.xdr(x); }));
    EXPECT_EQ(full.correlator()->opaque[511], 'y');
}
