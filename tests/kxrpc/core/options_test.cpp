#include "core/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace KxRpc;

TEST(ParseInteger, ReadsTheLeadingDecimalNumber) {
    int v = -1;
    EXPECT_TRUE(parse_integer("42", v));
    EXPECT_EQ(42, v);
    EXPECT_TRUE(parse_integer("  -17xyz", v));
    EXPECT_EQ(-17, v);
    EXPECT_TRUE(parse_integer("+8", v));
    EXPECT_EQ(8, v);
    EXPECT_TRUE(parse_integer("010", v)); // decimal, not octal
    EXPECT_EQ(10, v);
    EXPECT_TRUE(parse_integer("0x1F", v)); // stops at the x
    EXPECT_EQ(0, v);
    EXPECT_TRUE(parse_integer("2147483647", v));
    EXPECT_EQ(INT_MAX, v);
    EXPECT_TRUE(parse_integer("-2147483648", v));
    EXPECT_EQ(INT_MIN, v);
}

TEST(ParseInteger, RefusesTextWithoutDigitsAndValuesOutOfRange) {
    int v = 5;
    for (char const *bad : {"", "abc", "-", "+", " ", "2147483648", "-2147483649", "99999999999999999999"}) {
        EXPECT_FALSE(parse_integer(bad, v)) << bad;
        EXPECT_EQ(5, v) << bad;
    }
}

namespace {
int parse(std::vector<std::string> args) {
    settings() = Settings{};
    std::vector<char *> argv{const_cast<char *>("kxrpc")};
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()) + 1, argv.data());
}
} // namespace

TEST(Options, DefaultsWithoutArguments) {
    ASSERT_EQ(0, parse({}));
    Settings const &s = settings();
    EXPECT_EQ(0, s.port);
    EXPECT_EQ(0, s.worker_threads);
    EXPECT_EQ(0, s.arm_level);
    EXPECT_TRUE(s.sigterm_handler);
    EXPECT_FALSE(s.just_exit);
    EXPECT_EQ(0, s.test_crash);
    EXPECT_EQ(0, s.on_error);
    EXPECT_EQ(-1, s.crash_handler_bits);
    EXPECT_FALSE(s.verbose);
    EXPECT_EQ(0, s.crash_dump_level);
    EXPECT_EQ(10, s.crash_dump_limit);
}

TEST(Options, EveryOptionSetsItsSetting) {
    ASSERT_EQ(0, parse({"-port", "2345", "-team_bin", "/opt/team/bin", "-worker_threads", "6", "-arm", "4",
                        "-no_sig_handler", "-just_exit", "-test_crash", "3", "-on_error", "2", "-win_crash_handler",
                        "18", "-verbose", "-create_crash_dump", "2", "-max_crash_dump_count", "0"}));
    Settings const &s = settings();
    EXPECT_EQ(2345, s.port);
    EXPECT_EQ("/opt/team/bin", s.team_bin);
    EXPECT_EQ(6, s.worker_threads);
    EXPECT_EQ(4, s.arm_level);
    EXPECT_FALSE(s.sigterm_handler);
    EXPECT_TRUE(s.just_exit);
    EXPECT_EQ(3, s.test_crash);
    EXPECT_EQ(2, s.on_error);
    EXPECT_EQ(18, s.crash_handler_bits);
    EXPECT_TRUE(s.verbose);
    EXPECT_EQ(2, s.crash_dump_level);
    EXPECT_EQ(0, s.crash_dump_limit);
}

TEST(Options, TheLastValueWinsAndArmBoundsAreInclusive) {
    ASSERT_EQ(0, parse({"-port", "1", "-port", "70000", "-arm", "0"}));
    EXPECT_EQ(70000, settings().port);
    EXPECT_EQ(0, settings().arm_level);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, parse({"-arm", "5"}));
    EXPECT_EQ("ARM level must be between 0 (ARM_NONE) and 4 (ARM_VERBOSE)", testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, parse({"-worker_threads", "1", "-worker_threads"}));
    EXPECT_EQ("Must specify a number with -worker_threads option", testing::internal::GetCapturedStderr());
}

TEST(Options, UpfrontValidationFlagIsReadThroughItsAccessor) {
    settings().upfront_validation = true;
    EXPECT_TRUE(upfront_validation_enabled());
    settings().upfront_validation = false;
    EXPECT_FALSE(upfront_validation_enabled());
}
