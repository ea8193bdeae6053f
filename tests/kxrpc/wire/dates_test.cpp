// Runs with TZ=UTC; one test switches to a zone two hours east of UTC.
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "tesutil/stpexception.h"
#include "wire/conversions.h"

using namespace KxRpc;

namespace {

// The message index of the failure, or 0 when `f` succeeds.
template <class F>
int failure(F f, std::string *text = nullptr) {
    try {
        f();
    } catch (Nul::STPException &e) {
        EXPECT_EQ(e.stp_reason_code(), 4);
        if (text) *text = e.msg().utf8_str();
        return e.message().index();
    }
    return 0;
}

Nul::UString product(wchar_t const *t) { return to_product_datetime(Nul::UString(t)); }

class ZoneEastTwo {
public:
    ZoneEastTwo() {
        setenv("TZ", "KXT-2", 1);
        tzset();
    }
    ~ZoneEastTwo() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

} // namespace

TEST(ToProductDatetime, DateAloneIsReturnedUnchanged) {
    EXPECT_EQ(product(L"2011-03-04"), Nul::UString(L"2011-03-04"));
    std::string text;
    EXPECT_EQ(failure([] { product(L"2011-13-04"); }, &text), 19);
    EXPECT_EQ(text, "TLQSV0723E '2011-13-04' is not a legal ISO 8601 format date/time string");
}

TEST(ToProductDatetime, ZonesAndOffsets) {
    EXPECT_EQ(product(L"2011-03-04T10:20:30Z"), Nul::UString(L"2011-03-04 10:20:30"));
    EXPECT_EQ(product(L"2011-03-04T10:20:30Zignored"), Nul::UString(L"2011-03-04 10:20:30"));
    EXPECT_EQ(product(L"2011-03-04T10:20:30+01:00"), Nul::UString(L"2011-03-04 09:20:30"));
    EXPECT_EQ(product(L"2011-03-04T10:20:30-05:30"), Nul::UString(L"2011-03-04 15:50:30"));
    EXPECT_EQ(product(L"2011-03-04T00:10:00+01:00"), Nul::UString(L"2011-03-03 23:10:00"));
}

TEST(ToProductDatetime, MalformedOffsetsAndMissingZones) {
    for (wchar_t const *t : {L"2011-03-04T10:20:30+1:00", L"2011-03-04T10:20:30+24:00", L"2011-03-04T10:20:30+23:60",
                             L"2011-03-04T10:20:30+01-00", L"2011-03-04T10:20:30", L"2011-03-04Tnonsense+01:00",
                             L"2011-03-04T10:20:30+01:000"}) {
        EXPECT_EQ(failure([&] { product(t); }), 19) << Nul::UString(t).utf8_str();
    }
}

TEST(ToProductDatetime, OutOfRangeAfterTheOffset) {
    std::string text;
    EXPECT_EQ(failure([] { product(L"1970-01-01T00:30:00+01:00"); }, &text), 20);
    EXPECT_EQ(text, "TLQSV0724E '1970-01-01T00:30:00+01:00' is outside of (rough) range of midnight, January 1, 1970 "
                    "to 3:14:07 January 19, 2038, UTC");
}

TEST(ToProductDatetime, ServerLocalTime) {
    ZoneEastTwo zone;
    EXPECT_EQ(product(L"2011-03-04T10:20:30Z"), Nul::UString(L"2011-03-04 12:20:30"));
}

TEST(ParseClientDatetime, IsoFormsNeedNoOffset) {
    EXPECT_EQ(parse_client_datetime(L"2011-03-04T10:20:30Z", L"garbage"), Nul::UString(L"2011-03-04 10:20:30"));
}

TEST(ParseClientDatetime, ProductFormIsShiftedFromTheClientOffset) {
    EXPECT_EQ(parse_client_datetime(L"2011-03-04 10:20:30", L"3600000"), Nul::UString(L"2011-03-04 09:20:30"));
    EXPECT_EQ(parse_client_datetime(L"2011-03-04 10:20:30", L"-7200000"), Nul::UString(L"2011-03-04 12:20:30"));
    EXPECT_EQ(parse_client_datetime(L"2011-03-04 10:20:30", L"+5400000#rest"), Nul::UString(L"2011-03-04 08:50:30"));
    EXPECT_EQ(parse_client_datetime(L"2011-03-04 10:20:30", L""), Nul::UString(L"2011-03-04 10:20:30"));
    // A "T" without a zone fails the ISO reading and falls back too.
    EXPECT_EQ(failure([] { parse_client_datetime(L"2011-03-04T10:20:30", L"0"); }), 19);
}

TEST(ParseClientDatetime, ServerOffsetCounts) {
    ZoneEastTwo zone;
    EXPECT_EQ(parse_client_datetime(L"2011-03-04 10:20:30", L"3600000"), Nul::UString(L"2011-03-04 11:20:30"));
}

TEST(ParseClientDatetime, VersionControlForm) {
    EXPECT_EQ(parse_client_datetime(L"04-Mar-2011.10:20:30", L"3600000"), Nul::UString(L"2011-03-04 09:20:30"));
    EXPECT_EQ(parse_client_datetime(L"04-Mar-2011.10:20:30 UTC", L"3600000"), Nul::UString(L"2011-03-04 10:20:30"));
}

TEST(ParseClientDatetime, BadOffsetsAndTexts) {
    std::string text;
    EXPECT_EQ(failure([] { parse_client_datetime(L"2011-03-04 10:20:30", L"12x"); }, &text), 19);
    EXPECT_EQ(text, "TLQSV0723E '2011-03-04 10:20:30' is not a legal ISO 8601 format date/time string");
    EXPECT_EQ(failure([] { parse_client_datetime(L"2011-03-04 10:20:30", L"99999999999999999999999999"); }), 19);
    EXPECT_EQ(failure([] { parse_client_datetime(L"2011-03-04 10:20:30", L"86400001"); }), 19);
    EXPECT_EQ(failure([] { parse_client_datetime(L"not a date", L"0"); }), 19);
    EXPECT_EQ(failure([] { parse_client_datetime(L"1970-01-01 00:10:00", L"3600000"); }), 20);
}

TEST(ToIsoDatetime, GmtAndLocal) {
    EXPECT_EQ(to_iso_datetime(L"2011-03-04 10:20:30", false), Nul::UString(L"2011-03-04T10:20:30Z"));
    ZoneEastTwo zone;
    EXPECT_EQ(to_iso_datetime(L"2011-03-04 10:20:30", true), Nul::UString(L"2011-03-04T10:20:30Z"));
    EXPECT_EQ(to_iso_datetime(L"2011-03-04 10:20:30", false), Nul::UString(L"2011-03-04T08:20:30Z"));
}

TEST(ToIsoDatetime, UnparsableTextRaises) {
    std::string text;
    EXPECT_EQ(failure([] { to_iso_datetime(L"yesterday", false); }, &text), 19);
    EXPECT_EQ(text, "TLQSV0723E 'yesterday' is not a legal ISO 8601 format date/time string");
}
