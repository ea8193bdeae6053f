#include "tesutil/umessage.h"

#include <gtest/gtest.h>

#include "test_resource.h"

using Nul::UMessage;
using Nul::UString;
using Nul::Utf8String;
using Arg = Nul::UMessage::Arg;

namespace {
char const *const cat[] = {"test 4", "TLQSV0001E one %s", "TLQSV0002E two %s and %d",
                           "TLQSV0003E ten %s%s%s%s%s%s%s%s%s%s", "TLQSV0004E typed %d %s %c %f"};
std::string text(UMessage const &m) { return m.message_string(nullptr).utf8_str(); }
} // namespace

TEST(UMessage, NilMessages) {
    EXPECT_TRUE(UMessage::nil.is_nil());
    UMessage empty;
    EXPECT_TRUE(empty.is_nil());
    EXPECT_TRUE(UMessage(nullptr, -1).is_nil());
    EXPECT_EQ(text(UMessage::nil), "");
    EXPECT_EQ(text(empty), "");
    EXPECT_FALSE(UMessage(cat, 1).is_nil());
}

TEST(UMessage, NilArgumentsTakeNoPlace) {
    UMessage m(Nul::wexutil_catalog, 7, Arg::nil, "value");
    ASSERT_EQ(m.args().size(), 1u);
    EXPECT_EQ(m.args()[0].type(), Arg::CSTRING);
    EXPECT_EQ(text(m), "TLQSV0657E Invalid Oid/Uuid format for arg: 'value' with value: ''");
}

TEST(UMessage, MissingArgumentsRenderEmpty) {
    EXPECT_EQ(text(UMessage(cat, 2)), "TLQSV0002E two  and ");
    EXPECT_EQ(text(UMessage(cat, 2, "x")), "TLQSV0002E two x and ");
}

TEST(UMessage, IndexOutsideCatalogue) {
    EXPECT_EQ(text(UMessage(cat, 5, "x")), "Could not locate Catalog File");
    EXPECT_EQ(text(UMessage(cat, 0)), "Could not locate Catalog File");
    EXPECT_EQ(text(UMessage(Nul::wexutil_catalog, 22)), "Could not locate Catalog File");
}

TEST(UMessage, ArgumentKinds) {
    EXPECT_EQ(Arg('c').type(), Arg::CHAR);
    EXPECT_EQ(Arg(1).type(), Arg::INT);
    EXPECT_EQ(Arg(1u).type(), Arg::INT);
    EXPECT_EQ(Arg(1L).type(), Arg::LONG);
    EXPECT_EQ(Arg(1LL).type(), Arg::INT64);
    EXPECT_EQ(Arg(1.0).type(), Arg::DOUBLE);
    EXPECT_EQ(Arg("s").type(), Arg::CSTRING);
    EXPECT_EQ(Arg(std::string("s")).type(), Arg::STDSTRING);
    EXPECT_EQ(Arg(L"s").type(), Arg::WSTRING);
    EXPECT_EQ(Arg(UString(L"s")).type(), Arg::WSTRING);
    EXPECT_EQ(Arg(TestResource(L"r")).type(), Arg::RESOURCE);
    EXPECT_EQ(Arg(static_cast<char const *>(nullptr)).text(), std::string());
    // An unsigned 32-bit value is kept by its bits, so %d sees it sign-extended.
    EXPECT_EQ(UMessage::sprintf("%d %u", Arg(0xFFFFFFFFu), Arg(0xFFFFFFFFu)).utf8_str(), "-1 4294967295");
}

TEST(UMessage, TypedRenderingNeverReadsAnotherKind) {
    // Directives of the wrong kind print each argument by its own kind.
    EXPECT_EQ(text(UMessage(cat, 4, "str", 17, 2.5, 'q')), "TLQSV0004E typed str 17 2.5 q");
    EXPECT_EQ(text(UMessage(cat, 4, 17, "str", 'q', 2.5)), "TLQSV0004E typed 17 str q 2.500000");
    EXPECT_EQ(UMessage::sprintf("%s|%d", Arg(1LL << 40), Arg(-3L)).utf8_str(), "1099511627776|-3");
}

TEST(UMessage, WideTextTravelsAsUtf8) {
    UString accented(Utf8String("r\xc3\xa9sum\xc3\xa9 \xe2\x82\xac"));
    UMessage m(cat, 1, accented);
    UString out = m.message_string("en_US");
    EXPECT_EQ(out.utf8_str(), "TLQSV0001E one r\xc3\xa9sum\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(out.find(L'\u00e9'), 16u);
}

TEST(UMessage, ResourceArgumentPrintsItsSelectorAndIsOwned) {
    int before = TestResource::live;
    {
        UMessage m(cat, 1, TestResource(L"r1"));
        EXPECT_EQ(TestResource::live, before + 1);
        UMessage copy(m);
        EXPECT_EQ(TestResource::live, before + 2);
        EXPECT_EQ(text(copy), "TLQSV0001E one kx.record:r1@db");
    }
    EXPECT_EQ(TestResource::live, before);
}

TEST(UMessage, TenArgumentsSurviveCopies) {
    auto *m = new UMessage(cat, 3, "0", "1", "2", "3", "4", "5", "6", "7", "8", UString(L"9"));
    EXPECT_EQ(m->args().size(), 10u);
    UMessage copy(*m);
    delete m;
    EXPECT_EQ(text(copy), "TLQSV0003E ten 0123456789");
    UMessage assigned;
    assigned = copy;
    EXPECT_EQ(text(assigned), text(copy));
}

TEST(UMessage, StaticSprintfForms) {
    EXPECT_EQ(UMessage::sprintf(cat, 1, "a").utf8_str(), "TLQSV0001E one a");
    Arg a1("x"), a2(5);
    EXPECT_EQ(UMessage::sprintf(cat, 2, {&a1, &a2}, "de_DE").utf8_str(), "TLQSV0002E two x and 5");
    EXPECT_EQ(UMessage::sprintf("%s-%s", Arg::nil, "only").utf8_str(), "only-");
    EXPECT_EQ(UMessage::sprintf(UString(L"<%s>"), UString(L"w")).utf8_str(), "<w>");
    EXPECT_EQ(UMessage::sprintf(UString(L"[%d]"), std::vector<Arg const *>{&a2}).utf8_str(), "[5]");
}

TEST(UMessage, Collection) {
    UMessage::collection_t a, b;
    a.push_back(UMessage(cat, 1, "a"));
    b.push_back(UMessage(cat, 1, "b"));
    b.push_back(UMessage(cat, 1, "c"));
    a += b;
    a += a;
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(text(a[2]), "TLQSV0001E one c");
    EXPECT_EQ(text(a[5]), "TLQSV0001E one c");
    a.clear();
    EXPECT_TRUE(a.empty());
}

TEST(WexutilCatalog, EntriesAsWritten) {
    EXPECT_STREQ(Nul::wexutil_catalog[0], "wexutil 21");
    EXPECT_STREQ(
        Nul::wexutil_catalog[Nul::WEXUTIL_UUID_CREATE],
        "TLQSV0651E Can't generate a UUID (possible network/adapter configuration problem) - UuidCreate error %d");
    EXPECT_STREQ(Nul::wexutil_catalog[Nul::WEXUTIL_BAD_SELECTOR], "TLQSV0671E The selector '%s' is not valid: %s");
    for (int i = 1; i <= 21; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "TLQSV%04dE ", 650 + i);
        EXPECT_EQ(std::string(Nul::wexutil_catalog[i]).rfind(id, 0), 0u) << i;
    }
    EXPECT_EQ(text(UMessage(Nul::wexutil_catalog, Nul::WEXUTIL_ARM_ERROR, "gone")),
              "TLQSV0670E Application Resource Measurement (ARM) error: gone.");
}

TEST(UMessage, EchoCutsLongTextKeepingSurrogatePairs) {
    unsigned const max = UMessage::max_echo_units;
    UString const at_bound(std::wstring(max, L'x'));
    EXPECT_EQ(UMessage::echo(at_bound), at_bound);
    UString const past(std::wstring(max + 1, L'x'));
    EXPECT_EQ(UMessage::echo(past), UString(std::wstring(max, L'x') + L"..."));
    // A pair that straddles the bound goes as a whole.
    UString const pair(std::wstring(max - 1, L'x') + L"\U0001F600" + L"y");
    EXPECT_EQ(UMessage::echo(pair), UString(std::wstring(max - 1, L'x') + L"..."));
    EXPECT_EQ(UString(L"ab\U0001F600c").left(3), UString(L"ab"));
    EXPECT_EQ(UString(L"ab\U0001F600c").left(4), UString(L"ab\U0001F600"));
    EXPECT_EQ(UString(L"ab").left(0), UString());
}
