#include <gtest/gtest.h>

#include <cstdint>

#include "kxwin/cstring.h"

static CString fmt(LPCWSTR f, ...) {
    va_list ap;
    va_start(ap, f);
    CString s;
    s.FormatV(f, ap);
    va_end(ap);
    return s;
}

TEST(CStringFormat, WideAndNarrowStringsHaveTheWindowsMeaning) {
    EXPECT_EQ(fmt(L"%s|%S", L"wide", "narrow"), L"wide|narrow");
    EXPECT_EQ(fmt(L"%ls|%hs|%ws", L"w", "n", L"w2"), L"w|n|w2");
    EXPECT_EQ(fmt(L"%S", "\xc3\xa9t\xc3\xa9"), L"\u00e9t\u00e9");
    EXPECT_EQ(fmt(L"%c%C%lc%hc", L'\u00e9', 'x', L'y', 'z'), L"\u00e9xyz");
    EXPECT_EQ(fmt(L"%s", static_cast<LPCWSTR>(nullptr)), L"(null)");
}

TEST(CStringFormat, WidthPrecisionAndFlagsOnText) {
    EXPECT_EQ(fmt(L"[%5s]", L"ab"), L"[   ab]");
    EXPECT_EQ(fmt(L"[%-5s]", L"ab"), L"[ab   ]");
    EXPECT_EQ(fmt(L"[%.2s]", L"abcdef"), L"[ab]");
    EXPECT_EQ(fmt(L"[%*s]", 4, L"a"), L"[   a]");
    EXPECT_EQ(fmt(L"[%-*S]", 3, "a"), L"[a  ]");
    EXPECT_EQ(fmt(L"[%.*s]", 1, L"xyz"), L"[x]");
}

TEST(CStringFormat, Numbers) {
    EXPECT_EQ(fmt(L"%d %i %u", -5, 7, 4000000000u), L"-5 7 4000000000");
    EXPECT_EQ(fmt(L"%ld %lu", -123456789L, 123UL), L"-123456789 123");
    EXPECT_EQ(
        fmt(L"%lld %I64d %I64u", -9000000000LL, static_cast<long long>(1) << 40, static_cast<unsigned long long>(-1)),
        L"-9000000000 1099511627776 18446744073709551615");
    EXPECT_EQ(fmt(L"%08x %X %#o", 0xbeefu, 0xABCu, 8u), L"0000beef ABC 010");
    EXPECT_EQ(fmt(L"%5.2f|%-6d|%+d", 3.14159, 42, 3), L" 3.14|42    |+3");
    EXPECT_EQ(fmt(L"%hd %hhu", 70000, 300), L"4464 44");
    EXPECT_EQ(fmt(L"%zu", static_cast<size_t>(17)), L"17");
    EXPECT_EQ(fmt(L"%e", 1.5), L"1.500000e+00");
    EXPECT_EQ(fmt(L"%ld", static_cast<long>(INT64_MIN)), L"-9223372036854775808");
}

TEST(CStringFormat, PercentAndOddDirectives) {
    EXPECT_EQ(fmt(L"100%%"), L"100%");
    EXPECT_EQ(fmt(L"%q%d", 5), L"%q5"); // unknown directive copied, argument left for the next
    EXPECT_EQ(fmt(L"end%"), L"end%");
    int target = 77;
    EXPECT_EQ(fmt(L"a%nb%d", &target, 1), L"ab1");
    EXPECT_EQ(target, 77);
}

TEST(CStringFormat, PointerAndLongOutput) {
    CString p = fmt(L"%p", reinterpret_cast<void *>(0x1234));
    EXPECT_NE(p.Find(L"1234"), -1);
    std::wstring big(500, L'q');
    EXPECT_EQ(fmt(L"%s!", big.c_str()).GetLength(), 501);
    EXPECT_EQ(fmt(L"%0300d", 1).GetLength(), 300);
}

TEST(CStringFormat, AppendFormat) {
    CString s(L"a=");
    s.AppendFormat(L"%d;%S", 1, "b");
    EXPECT_EQ(s, L"a=1;b");
    s.Format(L"%s", L"fresh");
    EXPECT_EQ(s, L"fresh");
}
