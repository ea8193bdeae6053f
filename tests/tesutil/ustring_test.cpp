#include "tesutil/ustring.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <sstream>
#include <string>

using Nul::UString;
using Nul::Utf8String;

namespace {

// Independent peer: converts with glibc's iconv.
std::string iconv_convert(std::string const &in, char const *from, char const *to, bool *ok = nullptr) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (ok) *ok = false;
        return {};
    }
    std::string out(in.size() * 4 + 16, '\0');
    char *ip = const_cast<char *>(in.data());
    size_t il = in.size();
    char *op = out.data();
    size_t ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (ok) *ok = r != static_cast<size_t>(-1);
    out.resize(out.size() - ol);
    return out;
}

} // namespace

TEST(UStringConversion, Utf8RoundTripMatchesIconv) {
    std::string const samples[] = {"plain", "caf\xc3\xa9", "\xe2\x82\xac 5", "\xf0\x9f\x98\x80 smile",
                                   "\xe4\xb8\xad\xe6\x96\x87"};
    for (auto const &utf8 : samples) {
        UString s(Utf8String{utf8});
        EXPECT_EQ(s.utf8_str(), utf8);
        std::string utf16 = iconv_convert(utf8, "UTF-8", "UTF-16LE");
        ASSERT_EQ(utf16.size(), s.length() * 2u) << utf8;
        EXPECT_EQ(0, std::memcmp(utf16.data(), s.u16_str(), utf16.size())) << utf8;
    }
}

TEST(UStringConversion, EmptyAndIllFormedUtf8) {
    UString s(L"keep");
    s.utf8_assign(Utf8String(""));
    EXPECT_TRUE(s.empty());
    EXPECT_TRUE(UString().utf8_str().empty());
    s = L"keep";
    s.utf8_assign(Utf8String("\xff"));
    EXPECT_TRUE(s.empty());
    s = L"keep";
    s.utf8_assign(Utf8String("ab\xc3")); // truncated sequence
    EXPECT_TRUE(s.empty());
}

TEST(UStringConversion, Utf8OutputStopsAtNulAndRejectsLoneSurrogate) {
    char16_t const with_nul[] = {u'a', 0, u'b'};
    UString s(icu::UnicodeString(with_nul, 3));
    EXPECT_EQ(s.length(), 3u);
    EXPECT_EQ(s.utf8_str(), "a");
    char16_t const lone[] = {u'x', 0xD800, 0};
    EXPECT_TRUE(UString(lone).utf8_str().empty());
}

TEST(UStringConversion, Latin1RoundTripMatchesIconv) {
    std::string latin1 = iconv_convert("caf\xc3\xa9 na\xc3\xafve", "UTF-8", "ISO-8859-1");
    UString s(latin1.c_str(), "ISO-8859-1");
    EXPECT_EQ(s.utf8_str(), "caf\xc3\xa9 na\xc3\xafve");
    bool error = true;
    EXPECT_EQ(s.std_str("ISO-8859-1", error), latin1);
    EXPECT_FALSE(error);
}

TEST(UStringConversion, UnmappableTextIsReported) {
    UString s(Utf8String("price \xe2\x82\xac")); // the euro sign is not in ISO-8859-1
    bool error = false;
    std::string out = s.std_str("ISO-8859-1", error);
    EXPECT_TRUE(error);
    EXPECT_TRUE(out.empty());
    bool iconv_ok = true;
    iconv_convert("price \xe2\x82\xac", "UTF-8", "ISO-8859-1", &iconv_ok);
    EXPECT_FALSE(iconv_ok); // the peer agrees the text cannot be represented
    // The converter stays usable for text it can represent.
    UString t(Utf8String("ok \xc3\xa9"));
    EXPECT_EQ(t.std_str("ISO-8859-1", error), "ok \xe9");
    EXPECT_FALSE(error);
    s.std_str("ISO-8859-1", error);
    EXPECT_TRUE(error);
}

TEST(UStringConversion, UnknownCharset) {
    UString s(L"before");
    s.assign(std::string("bytes"), "no-such-charset-xyz");
    EXPECT_EQ(s.compare(L"before"), 0);
    bool error = true;
    EXPECT_TRUE(s.std_str("no-such-charset-xyz", error).empty());
    EXPECT_FALSE(error);
}

TEST(UStringConversion, Utf8NameIsCaseSensitiveButLowerCaseStillConverts) {
    // "utf-8" takes the converter path, which ICU also knows as UTF-8.
    UString s(Utf8String("\xc3\xa9"));
    bool error = true;
    EXPECT_EQ(s.std_str("utf-8", error), "\xc3\xa9");
    EXPECT_FALSE(error);
}

TEST(UStringConversion, DefaultCharsetOfAscii) {
    UString s(L"plain ascii 123");
    bool error = true;
    EXPECT_EQ(s.std_str("DEFAULT", error), "plain ascii 123");
    EXPECT_FALSE(error);
    EXPECT_STRNE(UString::default_charset(), "");
    EXPECT_STREQ(UString::eval_charset("DEFAULT"), UString::default_charset());
    EXPECT_STREQ(UString::eval_charset("default"), "default");
}

TEST(UStringConversion, LargeInputNeedsMoreThanTwiceTheBytes) {
    // UTF-32 input of 4 bytes per character: the converter must be asked for the size it needs.
    std::string utf32;
    for (int i = 0; i < 1000; ++i) utf32 += std::string("\x41\x00\x00\x00", 4);
    UString s;
    s.assign(utf32, "UTF-32LE");
    EXPECT_EQ(s.length(), 1000u);
    EXPECT_EQ(s[999], u'A');
}

TEST(UStringConversion, CopyHasNoConverterAndBothDestroyIndependently) {
    auto *a = new UString("abc\xe9", "ISO-8859-1");
    auto *b = new UString(*a);
    delete a;
    bool error = true;
    EXPECT_EQ(b->std_str("ISO-8859-1", error), "abc\xe9");
    delete b;
}

TEST(UStringConversion, WideIsUtf32) {
    UString s(L"\U0001F600x");
    EXPECT_EQ(s.length(), 3u); // a surrogate pair and one unit
    EXPECT_EQ(std::wstring(s.c_str()), std::wstring(L"\U0001F600x"));
    EXPECT_EQ(s.utf8_str(), "\xf0\x9f\x98\x80x");
}

TEST(UStringConversion, WideCharactersBecomeTheirUtf16Units) {
    struct Case {
        std::wstring wide;
        std::u16string units;
    } const cases[] = {
        {L"", u""},
        {L"abc", u"abc"},
        {std::wstring(1, wchar_t(0xFFFF)), std::u16string(1, char16_t(0xFFFF))},
        {std::wstring(1, wchar_t(0x10000)), u"\U00010000"},
        {std::wstring(1, wchar_t(0x10FFFF)), u"\U0010FFFF"},
        // Past the last code point: the replacement character.
        {std::wstring(1, wchar_t(0x110000)), u"\uFFFD"},
        // A lone surrogate stays the one unit it is.
        {std::wstring(1, wchar_t(0xD800)) + L"x", std::u16string(1, char16_t(0xD800)) + u"x"},
        {std::wstring(300, L'\U0001F600'),
         [] {
             std::u16string s;
             for (int i = 0; i < 300; ++i) s += u"\U0001F600";
             return s;
         }()},
    };
    for (Case const &c : cases) {
        UString s(c.wide.c_str());
        ASSERT_EQ(s.length(), c.units.size()) << c.units.size();
        icu::UnicodeString const &text = s.icu();
        EXPECT_EQ(std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length())), c.units);
    }
}

TEST(UStringBasics, CharIsMaskedTo7Bits) {
    UString s(static_cast<char>(0xE9));
    ASSERT_EQ(s.length(), 1u);
    EXPECT_EQ(s[0], 0x69);
    s += static_cast<char>(0xC1);
    EXPECT_EQ(s[1], 0x41);
    EXPECT_EQ(s[2], 0xFFFF); // past the end
}

TEST(UStringSearch, FindFamily) {
    UString s(L"abcabc");
    EXPECT_EQ(s.find(L'b'), 1u);
    EXPECT_EQ(s.find(L'b', 2), 4u);
    EXPECT_EQ(s.find(L'z'), UString::npos);
    EXPECT_EQ(s.find(L"ca"), 2u);
    EXPECT_EQ(s.find(L"bc", 100), UString::npos);
    EXPECT_EQ(s.find(L'a', UString::npos), UString::npos); // not pinned back to 0
    EXPECT_EQ(s.find(UString(L"abc"), 1), 3u);
}

TEST(UStringSearch, FindLastLooksAtOrAfterStart) {
    UString s(L"abcabc");
    EXPECT_EQ(s.find_last(L'a'), 3u);
    EXPECT_EQ(s.find_last(L'a', 4), UString::npos); // nothing begins at or after 4
    EXPECT_EQ(s.find_last(L"bc", 0), 4u);
    EXPECT_EQ(s.find_last(L"bc", 5), UString::npos);
    EXPECT_EQ(s.find_last(UString(L"abc"), 0), 3u);
    EXPECT_EQ(s.find_last(L'c', UString::npos), UString::npos);
}

TEST(UStringSearch, FindFirstOf) {
    EXPECT_EQ(UString(L"abczy").find_first_of(L"xyz", 0), 3u);
    EXPECT_EQ(UString(L"abc").find_first_of(L"xyz", 0), UString::npos);
    EXPECT_EQ(UString(L"abc").find_first_of(L"", 0), UString::npos);
    EXPECT_EQ(UString(L"zabz").find_first_of(UString(L"z"), 1), 3u);
    EXPECT_EQ(UString(L"abc").find_first_of(L'c'), 2u);
}

TEST(UStringSearch, Compare) {
    EXPECT_LT(UString(L"abc").compare(L"abd"), 0);
    EXPECT_GT(UString(L"b").compare(UString(L"abc")), 0);
    EXPECT_EQ(UString(L"xxabcyy").compare(2, 3, UString(L"abc")), 0);
    EXPECT_EQ(UString(L"xxabc").compare(2, UString::npos, UString(L"abc")), 0);
    EXPECT_TRUE(UString(L"a") < UString(L"b"));
    EXPECT_EQ(UString(L"same").hash(), UString(L"same").hash());
}

TEST(UStringEdit, SubstrEraseInsertReplace) {
    UString abc(L"abc");
    EXPECT_TRUE(abc.substr(5, 2).empty());
    EXPECT_EQ(abc.substr(1, UString::npos).compare(L"bc"), 0);
    EXPECT_EQ(abc.substr(1, 100).compare(L"bc"), 0);
    EXPECT_EQ(abc.substr(0, 2).compare(L"ab"), 0);

    UString s(L"hello world");
    s.erase(5, UString::npos);
    EXPECT_EQ(s.compare(L"hello"), 0);
    s.erase(0, 1);
    EXPECT_EQ(s.compare(L"ello"), 0);
    s.erase(99, 1);
    EXPECT_EQ(s.compare(L"ello"), 0);
    s.insert(0, L'h').insert(5, L"!").replace(1, 4, UString(L"ELLO"));
    EXPECT_EQ(s.compare(L"hELLO!"), 0);
    s.set_at(0, L'H');
    EXPECT_EQ(std::wstring(s.c_str()), L"HELLO!");
    s.append(L'\U0001F600');
    EXPECT_EQ(s.length(), 8u);
    UString t(L"  padded\t\n");
    EXPECT_EQ(t.trim().compare(L"padded"), 0);
    UString r = UString(L"a") + L"b" + UString(L"c");
    EXPECT_EQ((L"x" + r).compare(L"xabc"), 0);
    r.reserve(100);
    EXPECT_GE(r.capacity(), 100u);
    EXPECT_EQ(r.compare(L"abc"), 0);
    r.clear();
    EXPECT_TRUE(r.empty());
    EXPECT_STREQ(reinterpret_cast<char const *>(r.c_str()), "");
}

TEST(UStringEdit, CStrFollowsChanges) {
    UString s(L"ab");
    wchar_t const *p = s.c_str();
    EXPECT_EQ(std::wstring(p), L"ab");
    s += L"cd";
    EXPECT_EQ(std::wstring(s.c_str()), L"abcd");
    UString moved(std::move(s));
    EXPECT_EQ(std::wstring(moved.c_str()), L"abcd");
}

TEST(UStringStreams, NarrowAndWide) {
    std::ostringstream os;
    os << UString(Utf8String("caf\xc3\xa9")) << '|' << Utf8String("x");
    EXPECT_EQ(os.str(), "caf\xc3\xa9|x");
    std::istringstream is("first \xc3\xa9t\xc3\xa9 third");
    UString a, b;
    is >> a >> b;
    EXPECT_EQ(a.compare(L"first"), 0);
    EXPECT_EQ(b.compare(L"\u00e9t\u00e9"), 0);
    std::wistringstream wis(L"wide word");
    UString w;
    wis >> w;
    EXPECT_EQ(w.compare(L"wide"), 0);
    std::wostringstream wos;
    wos << w;
    EXPECT_EQ(wos.str(), L"wide");
}

TEST(UStringAllocation, HeapStringsUseIcuAllocator) {
    auto *arr = new UString[3];
    arr[2] = L"x";
    EXPECT_EQ(arr[2].compare(L"x"), 0);
    delete[] arr;
    alignas(UString) unsigned char buf[sizeof(UString)];
    auto *p = new (buf) UString(L"placed");
    EXPECT_EQ(p->length(), 6u);
    p->~UString();
}
