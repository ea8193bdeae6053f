// Without an agent on the library search path: ARM stays off and says so, and nothing fails.
#include "tesutil/arm.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "arm_record.h"

using Nul::ArmApplication;
using Nul::ArmPerThreadOperationStack;
using Nul::UString;

namespace {

ArmApplication::OperationRegistrar unused(UString(L"never-registered"));

bool agent_loaded() {
    void *h = dlopen("libarm4.so", RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

void expect_everything_off() {
    EXPECT_EQ(ArmApplication::level(), Nul::ARM_NONE);
    EXPECT_EQ(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
    arm_id_t id{};
    EXPECT_EQ(ArmPerThreadOperationStack::start_transaction(id, nullptr, false), Nul::ARM_DISABLED);
    EXPECT_EQ(ArmPerThreadOperationStack::stop_transaction(0, nullptr), Nul::ARM_DISABLED);
    EXPECT_FALSE(ArmPerThreadOperationStack::doing_local_operation());
    EXPECT_EQ(ArmPerThreadOperationStack::current_local_operation(), 0);
    EXPECT_EQ(ArmPerThreadOperationStack::current_local_correlator(), nullptr);
    EXPECT_EQ(ArmApplication::start_application(nullptr, UString(), UString()), Nul::ARM_DISABLED);
    EXPECT_EQ(ArmApplication::register_transaction("t", 0, nullptr, &id), Nul::ARM_DISABLED);
    char message[ARM_MSG_BUFFER_LENGTH] = "untouched";
    EXPECT_EQ(ArmApplication::get_error_message(106, -1, message), Nul::ARM_DISABLED);
    EXPECT_STREQ(message, "untouched");
    std::int64_t t = 5;
    EXPECT_EQ(ArmApplication::get_arrival_time(&t), Nul::ARM_DISABLED);
    EXPECT_EQ(t, 5);
    arm_id_t nil{};
    EXPECT_EQ(std::memcmp(&static_cast<arm_id_t const &>(unused), &nil, sizeof nil), 0);
}

std::size_t count_lines(std::string const &text) {
    auto const &lines = armtest::LogCapture::instance().lines;
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

} // namespace

TEST(ArmOff, LevelZeroLoadsNothing) {
    auto &log = armtest::LogCapture::instance();
    std::size_t before = log.lines.size();
    EXPECT_EQ(ArmApplication::register_application(Nul::ARM_NONE, UString(L"kxrpc"), nullptr), 0);
    EXPECT_EQ(log.lines.size(), before);
    EXPECT_FALSE(agent_loaded());
    expect_everything_off();
}

TEST(ArmOff, MissingAgentIsLoggedAndLeavesArmOff) {
    ASSERT_FALSE(agent_loaded());
    armtest::LogCapture::instance();
    std::string const loader = "ERROR [Nul] ArmRuntimeLoader::load_runtime: LoadLibrary failed to load libarm4.dll";
    std::string const app =
        "ERROR [Nul] ArmApplication::register_application: Failed to load ARM runtime. ARM is disabled.";
    std::size_t loader_before = count_lines(loader), app_before = count_lines(app);
    Nul::ArmBuffer buffer;
    buffer.add_buffer();
    EXPECT_EQ(ArmApplication::register_application(Nul::ARM_VERBOSE, UString(L"kxrpc"), &buffer), Nul::ARM_DISABLED);
    EXPECT_EQ(count_lines(loader), loader_before + 1);
    EXPECT_EQ(count_lines(app), app_before + 1);
    // The loader's line comes first.
    auto const &lines = armtest::LogCapture::instance().lines;
    auto l = std::find(lines.rbegin(), lines.rend(), loader);
    auto a = std::find(lines.rbegin(), lines.rend(), app);
    EXPECT_LT(a - lines.rbegin(), l - lines.rbegin());
    expect_everything_off();
    // Every attempt tries the search path again.
    EXPECT_EQ(ArmApplication::register_application(Nul::ARM_VERBOSE, UString(L"kxrpc"), &buffer), Nul::ARM_DISABLED);
    EXPECT_EQ(count_lines(loader), loader_before + 2);
    expect_everything_off();
}
