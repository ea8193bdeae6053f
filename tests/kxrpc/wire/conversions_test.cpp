#include "wire/conversions.h"

#include <gtest/gtest.h>

#include <limits>

using namespace KxRpc;

namespace {
struct Parsed {
    unsigned long value;
    bool ok;
};
Parsed parse(wchar_t const *text) {
    bool ok = true;
    unsigned long v = parse_unsigned(Nul::UString(text), ok);
    return {v, ok};
}
} // namespace

TEST(ParseUnsigned, AcceptsWholeNumbers) {
    EXPECT_TRUE(parse(L"42").ok);
    EXPECT_EQ(parse(L"42").value, 42u);
    EXPECT_TRUE(parse(L"0").ok);
    EXPECT_TRUE(parse(L"4294967295").ok);
    EXPECT_EQ(parse(L"4294967295").value, 4294967295ul);
    EXPECT_TRUE(parse(L"+7").ok);
}

TEST(ParseUnsigned, RefusesEverythingElse) {
    for (wchar_t const *t : {L"-1", L"", L"4x", L"x", L" -1", L"\t-5", L"- 1", L"4294967296",
                             L"99999999999999999999999", L"42 ", L"--1"}) {
        EXPECT_FALSE(parse(t).ok) << Nul::UString(t).utf8_str();
    }
}

TEST(NumberToUstring, PlainDecimal) {
    EXPECT_EQ(number_to_ustring(0), Nul::UString(L"0"));
    EXPECT_EQ(number_to_ustring(-1234567), Nul::UString(L"-1234567"));
    EXPECT_EQ(number_to_ustring(1234567), Nul::UString(L"1234567"));
    // The widest values, whatever the global locale groups digits with.
    EXPECT_EQ(number_to_ustring(std::numeric_limits<long>::min()), Nul::UString(L"-9223372036854775808"));
    EXPECT_EQ(number_to_ustring(std::numeric_limits<long>::max()), Nul::UString(L"9223372036854775807"));
}

TEST(PathSegments, LastSegment) {
    EXPECT_EQ(last_path_segment(Nul::UString(L"a/b/c")), Nul::UString(L"c"));
    EXPECT_EQ(last_path_segment(Nul::UString(L"abc")), Nul::UString(L"abc"));
    EXPECT_EQ(last_path_segment(Nul::UString(L"a/b/")), Nul::UString());
}

TEST(UstringPlus, CharIsMaskedToSevenBits) {
    EXPECT_EQ(Nul::UString(L"a") + static_cast<char>(0xAF), Nul::UString(L"a/"));
    EXPECT_EQ(Nul::UString(L"a") + Nul::UString(L"b"), Nul::UString(L"ab"));
}
