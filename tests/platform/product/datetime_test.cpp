#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "kxproduct/datetime.h"

namespace {
class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tz = std::getenv("TZ");
        saved_ = tz ? tz : "";
        had_ = tz != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (had_)
            ::setenv("TZ", saved_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    std::string saved_;
    bool had_ = false;
};
} // namespace

TEST_F(UtcZone, ParseAndFormat) {
    AdDateTime d;
    EXPECT_TRUE(d.IsNull());
    ASSERT_TRUE(d.ParseDateTime(L"2011-03-04 10:20:30"));
    EXPECT_EQ(d.Format(L"%Y-%m-%dT%H:%M:%SZ"), L"2011-03-04T10:20:30Z");
    ASSERT_TRUE(d.ParseDateTime(L"2011-03-04"));
    EXPECT_EQ(d.FormatGMT(L"%Y-%m-%d %H:%M:%S"), L"2011-03-04 00:00:00");
    ASSERT_TRUE(d.ParseDateTime(L"2011-03-04 10:20"));
    EXPECT_EQ(d.GetUnix(), 1299234000);
    EXPECT_EQ(AdDateTime::GetUTCOffset(), 0.0);
}

TEST_F(UtcZone, RejectsBadTextAndOutOfRange) {
    AdDateTime d;
    for (LPCWSTR bad : {L"", L"2011-02-30", L"2011-13-01", L"2011-03-04 24:00:00", L"2011-03-04T10:20:30",
                        L"2011-03-04 10:20:30 extra", L"1969-12-31 23:59:59", L"2038-01-19 03:14:08", L"x"}) {
        EXPECT_FALSE(d.ParseDateTime(bad)) << CString(bad).ToUtf8();
        EXPECT_TRUE(d.IsNull());
    }
    EXPECT_TRUE(d.ParseDateTimeGMT(L"2038-01-19 03:14:07"));
    EXPECT_EQ(d.GetUnix(), AdDateTime::kMax);
    EXPECT_TRUE(d.ParseDateTime(L"2012-02-29 00:00:00"));
}

TEST_F(UtcZone, DurationArithmetic) {
    AdDateTime d;
    ASSERT_TRUE(d.ParseDateTimeGMT(L"2011-03-04 10:20:30"));
    d -= AdDuration(0, 1, 0, 0);
    EXPECT_EQ(d.FormatGMT(L"%H:%M:%S"), L"09:20:30");
    d += AdDuration(1, 0, 30, 5);
    EXPECT_EQ(d.FormatGMT(L"%Y-%m-%d %H:%M:%S"), L"2011-03-05 09:50:35");
    AdDateTime edge = AdDateTime::FromUnix(10);
    edge -= AdDuration(0, 0, 1, 0);
    EXPECT_TRUE(edge.IsNull());
}

TEST_F(UtcZone, VeltraneForm) {
    AdDateTime v = ParseVeltraneDateTime(L"04-Mar-2011.10:20:30");
    ASSERT_FALSE(v.IsNull());
    EXPECT_EQ(v.FormatGMT(L"%Y-%m-%d %H:%M:%S"), L"2011-03-04 10:20:30");
    v = ParseVeltraneDateTime(L"04-Mar-11.10:20:30UTC");
    ASSERT_FALSE(v.IsNull());
    EXPECT_EQ(v.FormatGMT(L"%Y-%m-%d"), L"2011-03-04");
    EXPECT_TRUE(ParseVeltraneDateTime(L"2011-03-04 10:20:30").IsNull());
    EXPECT_TRUE(ParseVeltraneDateTime(L"04-Foo-2011.10:20:30").IsNull());
    EXPECT_TRUE(ParseVeltraneDateTime(L"31-Feb-2011.10:20:30").IsNull());
    EXPECT_TRUE(ParseVeltraneDateTime(L"04-Mar-2011.10:20:30 later").IsNull());
}

TEST(DateTimeZone, LocalOffsetIsApplied) {
    const char *tz = std::getenv("TZ");
    std::string saved = tz ? tz : "";
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    AdDateTime d;
    ASSERT_TRUE(d.ParseDateTime(L"2011-03-04 10:00:00"));
    EXPECT_EQ(d.FormatGMT(L"%H:%M"), L"15:00");
    EXPECT_EQ(d.Format(L"%H:%M"), L"10:00");
    EXPECT_EQ(AdDateTime::GetUTCOffset(), -5.0);
    if (tz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
