#include "tesutil/davtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using Nul::DavTime;
using Nul::UString;

namespace {

std::string iso(std::int64_t t) { return DavTime(t).to_string(DavTime::ISO8601).utf8_str(); }
std::string rfc(std::int64_t t) { return DavTime(t).to_string(DavTime::RFC1123).utf8_str(); }
std::int64_t parse(char const *s) { return DavTime(UString(s, "UTF-8")).to_time(); }

// glibc's own answer in the C locale, for comparison.
std::string glibc_iso(std::int64_t t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}
std::string glibc_rfc(std::int64_t t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

class ZoneGuard {
public:
    explicit ZoneGuard(char const *tz) {
        char const *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

// Instants around the epoch, 1971 and 2037 edges, and daylight-saving changes of both zones.
std::int64_t const samples[] = {
    0,          -1,         1,          -86400,       -86401,       31535999,          31536000,       31622400,
    2145916799, 2145916800, 2147483647, 2147483648LL, 4102444800LL, -2208988800LL,     1709622489,     1710054000,
    1710057600, 1710061200, 1699164000, 1699167600,   951782400,    32503680000LL - 1, 253402300799LL, -30610224000LL};

} // namespace

TEST(DavTime, EpochInBothForms) {
    EXPECT_EQ(iso(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(rfc(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(iso(1709622489), "2024-03-05T07:08:09Z");
    EXPECT_EQ(rfc(1709622489), "Tue, 05 Mar 2024 07:08:09 GMT");
}

TEST(DavTime, AgreesWithGlibcInEveryZone) {
    for (char const *tz : {"UTC", "America/New_York", "Pacific/Kiritimati"}) {
        ZoneGuard zone(tz);
        for (std::int64_t t : samples) {
            ASSERT_EQ(iso(t), glibc_iso(t)) << tz << " " << t;
            ASSERT_EQ(rfc(t), glibc_rfc(t)) << tz << " " << t;
            EXPECT_EQ(parse(glibc_iso(t).c_str()), t) << tz << " " << glibc_iso(t);
            EXPECT_EQ(parse(glibc_rfc(t).c_str()), t) << tz << " " << glibc_rfc(t);
        }
    }
}

TEST(DavTime, RfcYearHasFourDigits) {
    EXPECT_EQ(rfc(-62135596800LL), "Mon, 01 Jan 0001 00:00:00 GMT");
    EXPECT_EQ(parse("Mon, 01 Jan 0001 00:00:00 GMT"), -62135596800LL);
}

TEST(DavTime, DaylightSavingGapParsesAsUtc) {
    // 02:30 on 2024-03-10 does not exist in New York; as UTC it is an ordinary instant.
    ZoneGuard zone("America/New_York");
    EXPECT_EQ(parse("2024-03-10T02:30:00Z"), 1710037800);
    EXPECT_EQ(parse("Sun, 10 Mar 2024 02:30:00 GMT"), 1710037800);
}

TEST(DavTime, UnparsableTextGivesZero) {
    EXPECT_EQ(parse("Tue, 05 mar 2024 07:08:09 GMT"), 0); // month names are case-sensitive
    EXPECT_EQ(parse("2024-03-05 07:08:09"), 0);           // no T
    EXPECT_EQ(parse(""), 0);
    EXPECT_EQ(parse("abc"), 0);
    EXPECT_EQ(parse("2024-13-05T07:08:09Z"), 0);
    EXPECT_EQ(parse("Tue, 05 Mar 2024 07:08"), 0);
    EXPECT_EQ(parse("Xyz, 05 Mar 2024 07:08:09 GMT"), 1709622489); // the weekday is not checked
    DavTime t(5);
    t = UString(L"nonsense text");
    EXPECT_EQ(t.to_time(), 0);
}

TEST(DavTime, UnrepresentableTimesGiveEmptyText) {
    EXPECT_TRUE(DavTime(INT64_MAX).to_string(DavTime::ISO8601).empty());
    EXPECT_TRUE(DavTime(INT64_MIN).to_string(DavTime::RFC1123).empty());
    EXPECT_TRUE(DavTime(0).to_string(static_cast<DavTime::Format>(7)).empty());
}

TEST(DavTime, OrderAndConversions) {
    EXPECT_TRUE(DavTime(-5) < DavTime(0));
    EXPECT_FALSE(DavTime(0) < DavTime(-5));
    DavTime now;
    now.set_now();
    EXPECT_NEAR(static_cast<double>(now.to_time()), static_cast<double>(std::time(nullptr)), 5.0);
    std::int64_t raw = DavTime(42);
    EXPECT_EQ(raw, 42);
    DavTime copy;
    copy = DavTime(7);
    EXPECT_EQ(copy.to_time(), 7);
}
