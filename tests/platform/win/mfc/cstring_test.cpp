#include <gtest/gtest.h>

#include "kxwin/cstring.h"
#include "kxwin/utf.h"

TEST(CString, ConstructAndLength) {
    CString empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.GetLength(), 0);
    EXPECT_STREQ(static_cast<LPCWSTR>(empty), L"");
    CString a(L"abc");
    EXPECT_EQ(a.GetLength(), 3);
    CString n(static_cast<LPCWSTR>(nullptr));
    EXPECT_TRUE(n.IsEmpty());
    CString rep(L'x', 4);
    EXPECT_EQ(rep, L"xxxx");
    CString part(L"abcdef", 2);
    EXPECT_EQ(part, L"ab");
}

TEST(CString, NarrowIsUtf8) {
    CString s("gr\xc3\xbc\xc3\x9f"); // "grüß"
    EXPECT_EQ(s.GetLength(), 4);
    EXPECT_EQ(s[2], L'\u00fc');
    EXPECT_EQ(s.ToUtf8(), "gr\xc3\xbc\xc3\x9f");
    CString astral(L"\U0001F600");
    EXPECT_EQ(astral.GetLength(), 1);
    EXPECT_EQ(astral.ToUtf8(), "\xf0\x9f\x98\x80");
}

TEST(CString, MalformedUtf8BecomesReplacement) {
    EXPECT_EQ(kxwin::from_utf8("a\xff"
                               "b"),
              L"a\ufffdb");
    EXPECT_EQ(kxwin::from_utf8("\xc3"), L"\ufffd");         // truncated
    EXPECT_EQ(kxwin::from_utf8("\xc0\xaf"), L"\ufffd");     // overlong "/"
    EXPECT_EQ(kxwin::from_utf8("\xed\xa0\x80"), L"\ufffd"); // surrogate
    EXPECT_EQ(kxwin::from_utf8("\xe2\x82x"), L"\ufffdx");   // sequence broken by a plain byte
    std::wstring bad(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(kxwin::to_utf8(bad), "\xef\xbf\xbd");
}

// well_formed_utf8 is the round trip through wide text, whichever way it takes.
TEST(CString, WellFormedUtf8IsTheRoundTrip) {
    const std::string cases[] = {"",
                                 "plain",
                                 std::string("nul\0inside", 11),
                                 "\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", // 2, 3 and 4 bytes
                                 "\xf4\x8f\xbf\xbf",                     // U+10FFFF
                                 "\xf4\x90\x80\x80",                     // past U+10FFFF
                                 "a\xff"
                                 "b",
                                 "\xc3",
                                 "\xf0\x9f\x98", // truncated at the end
                                 "\xc0\xaf",
                                 "\xe0\x80\xaf", // overlong in three bytes
                                 "\xed\xa0\x80",
                                 "\xe2\x82x",
                                 "\x80 alone",
                                 "\xf8\x88\x80\x80\x80"}; // five-byte form
    for (const std::string &c : cases)
        EXPECT_EQ(kxwin::well_formed_utf8(c), kxwin::to_utf8(kxwin::from_utf8(c))) << testing::PrintToString(c);
    EXPECT_EQ(kxwin::well_formed_utf8("\xc3\xbc"), "\xc3\xbc");
    EXPECT_EQ(kxwin::well_formed_utf8("x\xffy"), "x\xef\xbf\xbdy");
}

TEST(CString, BufferRoundTrip) {
    CString s(L"ab");
    LPWSTR buf = s.GetBuffer(10);
    wcscpy(buf, L"hello");
    s.ReleaseBuffer();
    EXPECT_EQ(s, L"hello");
    EXPECT_EQ(s.GetLength(), 5);
    buf = s.GetBuffer();
    buf[1] = L'a';
    s.ReleaseBuffer(3);
    EXPECT_EQ(s, L"hal");
    buf = s.GetBufferSetLength(2);
    s.ReleaseBuffer();
    EXPECT_EQ(s, L"ha");
}

TEST(CString, ComparisonAndConcatenation) {
    CString a(L"Apple"), b(L"apple");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.CompareNoCase(b), 0);
    EXPECT_LT(a.Compare(b), 0);
    EXPECT_GT(b.Compare(a), 0);
    EXPECT_TRUE(a < b);
    EXPECT_EQ(a.Compare(nullptr), 1);
    CString c = a + L"/" + b + L'!';
    EXPECT_EQ(c, L"Apple/apple!");
    c += L"x";
    c += CString(L"y");
    c += L'z';
    EXPECT_EQ(c, L"Apple/apple!xyz");
    EXPECT_TRUE(L"Apple" == a);
}

TEST(CString, Substrings) {
    CString s(L"0123456789");
    EXPECT_EQ(s.Mid(3), L"3456789");
    EXPECT_EQ(s.Mid(3, 2), L"34");
    EXPECT_EQ(s.Mid(8, 100), L"89");
    EXPECT_EQ(s.Mid(20), L"");
    EXPECT_EQ(s.Mid(-5, 2), L"01");
    EXPECT_EQ(s.Left(3), L"012");
    EXPECT_EQ(s.Left(30), s);
    EXPECT_EQ(s.Right(2), L"89");
    EXPECT_EQ(s.Right(-1), L"");
}

TEST(CString, Find) {
    CString s(L"a/b/c");
    EXPECT_EQ(s.Find(L'/'), 1);
    EXPECT_EQ(s.Find(L'/', 2), 3);
    EXPECT_EQ(s.Find(L'/', 4), -1);
    EXPECT_EQ(s.Find(L'/', 99), -1);
    EXPECT_EQ(s.Find(L"b/c"), 2);
    EXPECT_EQ(s.Find(L"zz"), -1);
    EXPECT_EQ(s.ReverseFind(L'/'), 3);
    EXPECT_EQ(s.FindOneOf(L"cb"), 2);
}

TEST(CString, CaseTrimReplace) {
    CString s(L"  MiXed \t");
    s.Trim();
    EXPECT_EQ(s, L"MiXed");
    s.MakeUpper();
    EXPECT_EQ(s, L"MIXED");
    s.MakeLower();
    EXPECT_EQ(s, L"mixed");
    CString t(L"xxabxx");
    t.TrimLeft(L'x');
    EXPECT_EQ(t, L"abxx");
    t.TrimRight(L"x");
    EXPECT_EQ(t, L"ab");
    CString r(L"a-b-c");
    EXPECT_EQ(r.Replace(L'-', L'+'), 2);
    EXPECT_EQ(r, L"a+b+c");
    EXPECT_EQ(r.Replace(L"+", L"::"), 2);
    EXPECT_EQ(r, L"a::b::c");
    EXPECT_EQ(r.Remove(L':'), 4);
    EXPECT_EQ(r, L"abc");
    r.Insert(1, L"XY");
    EXPECT_EQ(r, L"aXYbc");
    r.Delete(1, 2);
    EXPECT_EQ(r, L"abc");
    r.Delete(2, 50);
    EXPECT_EQ(r, L"ab");
}

TEST(CString, GetAtOutOfRangeThrows) {
    CString s(L"a");
    EXPECT_THROW(s.GetAt(1), std::out_of_range);
    EXPECT_THROW(s.SetAt(-1, L'x'), std::out_of_range);
}
