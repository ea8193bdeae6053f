// A registration that the agent refuses switches ARM off; later transactions are not registered.
#include "tesutil/arm.h"

#include <gtest/gtest.h>

#include <cstring>

#include "arm_record.h"

using Nul::ArmApplication;
using Nul::ArmPerThreadOperationStack;
using Nul::UString;

namespace {
ArmApplication::OperationRegistrar alpha(UString(L"alpha"));
ArmApplication::OperationRegistrar beta(UString(L"beta"));
ArmApplication::OperationRegistrar gamma_(UString(L"gamma"));
} // namespace

TEST(ArmFailingRegistration, LeavesArmOffAndStops) {
    std::string path = armtest::fresh_record_file("failreg");
    ::setenv("KX_ARM4_FAIL", "register_transaction:beta", 1);
    EXPECT_EQ(ArmApplication::register_application(Nul::ARM_VERBOSE, UString(L"kxrpc"), nullptr),
              ARM_ERROR_AGENT_REFUSED);
    ::unsetenv("KX_ARM4_FAIL");
    EXPECT_EQ(ArmApplication::level(), Nul::ARM_NONE);
    EXPECT_EQ(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
    EXPECT_EQ(ArmApplication::start_application(nullptr, UString(), UString()), Nul::ARM_DISABLED);
    auto r = armtest::read_records(path);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].call, "register_application");
    EXPECT_EQ(r[0]["buffer"], "-");
    EXPECT_EQ(r[1]["name"], "alpha");
    EXPECT_EQ(r[1]["rc"], "0");
    EXPECT_EQ(r[2]["name"], "beta");
    EXPECT_EQ(r[2]["rc"], std::to_string(ARM_ERROR_AGENT_REFUSED));
    arm_id_t nil{};
    EXPECT_NE(std::memcmp(&alpha.op_id(), &nil, sizeof nil), 0);
    EXPECT_EQ(std::memcmp(&gamma_.op_id(), &nil, sizeof nil), 0);
    std::remove(path.c_str());
}

TEST(ArmFailingRegistration, ARegistrarGoneBeforeRegistrationIsNotReached) {
    std::string path = armtest::fresh_record_file("failreg_gone");
    { ArmApplication::OperationRegistrar shortlived(UString(L"short-lived")); }
    // The agent refuses the application, so this process can run both cases in any order.
    ::setenv("KX_ARM4_FAIL", "register_transaction:beta", 1);
    ArmApplication::register_application(Nul::ARM_VERBOSE, UString(L"kxrpc"), nullptr);
    ::unsetenv("KX_ARM4_FAIL");
    for (auto const &rec : armtest::read_records(path)) EXPECT_NE(rec["name"], "short%2dlived");
    std::remove(path.c_str());
}
