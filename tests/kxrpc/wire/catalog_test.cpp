#include "wire/catalog.h"

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

using namespace KxRpc;

TEST(Catalog, HeaderNamesItAndItsSize) { EXPECT_STREQ(message_catalog[0], "kxrpc 178"); }

TEST(Catalog, EveryEntryHasAUniqueIdentifier) {
    auto is_identifier = [](std::string const &e) {
        if (e.size() < 11 || e.compare(0, 5, "TLQSV") != 0 || e[10] != ' ') return false;
        for (int i = 5; i < 9; ++i)
            if (e[i] < '0' || e[i] > '9') return false;
        return e[9] == 'E' || e[9] == 'I';
    };
    std::set<std::string> seen;
    std::set<int> info;
    for (int i = 1; i <= message_catalog_count; ++i) {
        std::string entry = message_catalog[i];
        ASSERT_TRUE(is_identifier(entry)) << i << ": " << entry;
        EXPECT_TRUE(seen.insert(entry.substr(0, 10)).second) << entry;
        if (entry[9] == 'I') info.insert(i);
    }
    EXPECT_EQ(seen.size(), 178u);
    EXPECT_EQ(info, (std::set<int>{129, 153, 168}));
    EXPECT_EQ(*seen.begin(), "TLQSV0705E");
    EXPECT_EQ(*seen.rbegin(), "TLQSV1112E");
}

TEST(Catalog, IdentifiersAreOutOfOrderWhereTheyWereWritten) {
    EXPECT_EQ(std::string(message_catalog[120]).substr(0, 10), "TLQSV0857E");
    EXPECT_EQ(std::string(message_catalog[121]).substr(0, 10), "TLQSV0915E");
    EXPECT_EQ(std::string(message_catalog[122]).substr(0, 10), "TLQSV0859E");
    EXPECT_EQ(std::string(message_catalog[141]).substr(0, 10), "TLQSV0985E");
    EXPECT_EQ(std::string(message_catalog[142]).substr(0, 10), "TLQSV0982E");
}

TEST(Catalog, PlaceholdersAreStringsAndIntsOnly) {
    int most = 0;
    for (int i = 1; i <= message_catalog_count; ++i) {
        char const *p = message_catalog[i];
        int n = 0;
        for (; (p = std::strchr(p, '%')) != nullptr; ++p) {
            ++p;
            ASSERT_TRUE(*p == 's' || *p == 'd') << i;
            ++n;
        }
        most = std::max(most, n);
        if (i == 164) {
            EXPECT_EQ(n, 5);
        }
    }
    EXPECT_EQ(most, 5);
}

TEST(Catalog, RendersWholeEntries) {
    EXPECT_EQ(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg("Invalid Pointer")).message_string(nullptr),
              Nul::UString(L"TLQSV0769E Internal Error: Invalid Pointer"));
    EXPECT_EQ(kx_message(MSG_TEXT, Nul::UMessage::Arg("just this")).message_string("de_DE"),
              Nul::UString(L"TLQSV1102I just this"));
    EXPECT_EQ(kx_message(43, Nul::UMessage::Arg("x")).message_string(nullptr),
              Nul::UString(L"TLQSV0747E PROPPATCH failed:\nx"));
    EXPECT_EQ(kx_message(18, Nul::UMessage::Arg(3), Nul::UMessage::Arg("between")).message_string(nullptr),
              Nul::UString(L"TLQSV0722E Supplied number of values, 3, is incorrect for operator between"));
    EXPECT_EQ(kx_message(MSG_SSO_NOT_SUPPORTED).message_string(nullptr),
              Nul::UString(L"TLQSV1055E This Vexhub Server instance does not support Single Sign On."));
}

TEST(Catalog, SpotChecks) {
    EXPECT_STREQ(message_catalog[1], "TLQSV0705E Cannot get record types: %s");
    EXPECT_STREQ(message_catalog[44], "TLQSV0748E expected '%s' object in dynamic_cast");
    EXPECT_STREQ(message_catalog[71], "TLQSV0775E This login is forbidden: %s");
    EXPECT_STREQ(message_catalog[129],
                 "TLQSV0904I en: This is a translated GVT test message used only for globalization testing.");
    EXPECT_STREQ(message_catalog[148],
                 "TLQSV0998E The value '%s' cannot be interpreted as an integer: The value '%s' contains invalid "
                 "characters for an integer value. The value may begin with a sign (+ or -) or a numeral, and the "
                 "remaining characters must all be numerals.");
    EXPECT_STREQ(message_catalog[164], "TLQSV1098E The entity def '%s' ('%s/%s') is not a valid entity def for field "
                                       "'%s' which is of type '%s'");
    EXPECT_STREQ(message_catalog[168], "TLQSV1102I %s");
    EXPECT_STREQ(message_catalog[169],
                 "TLQSV1103E Too many items held by this session (KX_SESSION_ITEMS, %d); release some and try again.");
    EXPECT_STREQ(message_catalog[171], "TLQSV1105E The call's arguments need more memory than one call may hold "
                                       "(KX_DECODE_BYTES, %s bytes); send fewer or smaller items.");
    EXPECT_STREQ(message_catalog[172], "TLQSV1106E The query filter is nested deeper than %d levels.");
    EXPECT_STREQ(message_catalog[173], "TLQSV1107E Too many bytes in this user's files on the server "
                                       "(KX_USER_DISK_BYTES, %s); release some and try again.");
}
