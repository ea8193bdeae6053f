// An agent without "arm_get_arrival_time": it is unloaded after the log line, and tried again.
#include "tesutil/arm.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "arm_record.h"

using Nul::ArmApplication;
using Nul::ArmPerThreadOperationStack;
using Nul::UString;

namespace {

bool agent_loaded() {
    void *h = dlopen("libarm4.so", RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

std::size_t count_lines(std::string const &text) {
    auto const &lines = armtest::LogCapture::instance().lines;
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

} // namespace

TEST(ArmPartialAgent, MissingEntryPointUnloadsAndRetries) {
    std::string const path = armtest::fresh_record_file("partial");
    armtest::LogCapture::instance();
    std::string const missing =
        "ERROR [Nul] ArmRuntimeLoader::load_runtime: GetProcAddress failed attempting to load: arm_get_arrival_time";
    std::string const app =
        "ERROR [Nul] ArmApplication::register_application: Failed to load ARM runtime. ARM is disabled.";
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_EQ(ArmApplication::register_application(Nul::ARM_VERBOSE, UString(L"kxrpc"), nullptr),
                  Nul::ARM_DISABLED);
        EXPECT_EQ(count_lines(missing), static_cast<std::size_t>(attempt));
        EXPECT_EQ(count_lines(app), static_cast<std::size_t>(attempt));
        EXPECT_FALSE(agent_loaded());
        EXPECT_EQ(ArmApplication::level(), Nul::ARM_NONE);
        EXPECT_EQ(ArmPerThreadOperationStack::get_base_correlator(), nullptr);
        std::int64_t t = 0;
        EXPECT_EQ(ArmApplication::get_arrival_time(&t), Nul::ARM_DISABLED);
    }
    // The agent was never called: it recorded nothing.
    EXPECT_TRUE(armtest::read_records(path).empty());
    std::remove(path.c_str());
}
