// Starting the application fails: ARM goes off again.
#include "tesutil/arm.h"

#include <gtest/gtest.h>

#include "arm_record.h"

using Nul::ArmApplication;
using Nul::ArmPerThreadOperationStack;
using Nul::UString;

TEST(ArmFailingStart, SwitchesArmOff) {
    std::string path = armtest::fresh_record_file("failstart");
    ASSERT_GE(ArmApplication::register_application(static_cast<Nul::arm_level_t>(2), UString(L"kxrpc"), nullptr), 0);
    EXPECT_EQ(ArmApplication::level(), 2);
    EXPECT_NE(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
    ::setenv("KX_ARM4_FAIL", "start_application", 1);
    EXPECT_EQ(ArmApplication::start_application(nullptr, UString(L"grp"), UString(L"inst 1")), ARM_ERROR_AGENT_REFUSED);
    ::unsetenv("KX_ARM4_FAIL");
    EXPECT_EQ(ArmApplication::level(), Nul::ARM_NONE);
    EXPECT_EQ(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
    EXPECT_EQ(ArmApplication::start_application(nullptr, UString(), UString()), Nul::ARM_DISABLED);
    auto r = armtest::read_records(path);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].call, "start_application");
    EXPECT_EQ(r[1]["group"], "grp");
    EXPECT_EQ(r[1]["instance"], "inst%201");
    std::remove(path.c_str());
}
