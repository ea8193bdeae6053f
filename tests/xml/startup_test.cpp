#include <clocale>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tesutil/umessage.h"
#include "wexxml/domparser.h"
#include "wexxml/saxparser.h"
#include "wexxml/wexxml_catalog.h"

using Nul::UMessage;
using Nul::UString;

// Runs in its own process with LC_ALL=C.UTF-8: a C++ program starts in the "C" locale, so only
// the library's load-time start-up can have switched it.
TEST(XmlStartup, LoadingSwitchesToUserLocale) {
    char const *now = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(now, nullptr);
    EXPECT_STREQ(now, "C.UTF-8");
}

TEST(XmlStartup, XercesInitialisedForBothReaders) {
    // Either reader raises 0672E from its constructor when its initialisation failed at load.
    EXPECT_NO_THROW(Nul::DomParser{});
    EXPECT_NO_THROW(Nul::SaxParser{});
}

TEST(XmlCatalog, NameCountAndIdentifiers) {
    EXPECT_STREQ(Nul::wexxml_catalog[0], "wexxml 33");
    for (int i = 1; i <= 33; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "TLQSV%04dE ", 671 + i);
        EXPECT_EQ(std::strncmp(Nul::wexxml_catalog[i], id, std::strlen(id)), 0) << Nul::wexxml_catalog[i];
    }
    EXPECT_EQ(UMessage(Nul::wexxml_catalog, 34).message_string(nullptr).utf8_str(), "Could not locate Catalog File");
}

TEST(XmlCatalog, XmlExceptionMessageRendersTextByItsKind) {
    // The third placeholder is %d, but its argument is text and prints as text.
    UMessage m(Nul::wexxml_catalog, Nul::WEXXML_XML_EXCEPTION, 4, 17L, UString(L"bad \u00e9 thing"));
    EXPECT_EQ(m.message_string(nullptr).utf8_str(),
              "TLQSV0673E Xerces XMLException: code: 4, line: 17, msg: bad \xc3\xa9 thing.");
}

TEST(XmlCatalog, SubMessagesRenderWithoutArguments) {
    EXPECT_EQ(UMessage::sprintf(Nul::wexxml_catalog, Nul::WEXXML_OP_CHILD).utf8_str(), "TLQSV0684E Elem::child()");
    EXPECT_EQ(UMessage(Nul::wexxml_catalog, Nul::WEXXML_SCAN_ERROR, "x").message_string(nullptr).utf8_str(),
              "TLQSV0704E x");
}

TEST(XmlVersion, PrintsPaddedLineAndReturnsCount) {
    std::string expected = "libwexxml                         9.0.1.5 (Tue Oct 16 22:52:51 2018)\n";
    testing::internal::CaptureStdout();
    int n = libwexxml_print_verid();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(out.find("9.0.1.5"), 34u);
}
