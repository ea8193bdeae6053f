// Names outside the vocabulary that client documents bring: the readers register them, and the
// table they go to stops at its bound. Its own executable, as the table is the process's.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "wexxml/domparser.h"
#include "wexxml/saxparser.h"
#include "xml_test_util.h"

using Nul::DomParser;
using Nul::IllegalArgException;
using Nul::SaxParser;
using Nul::XmlTag;

TEST(FreshNames, OneNewNamePerDocumentStopsAtTheTableBound) {
    std::string const full = "TLQSV0654E XmlTag::lookup(): called with illegal value.";
    // The table filled directly up to 100 short of its bound, then one document per new name.
    int const direct = XmlTag::MAX_RUN_TIME_TAGS - 100;
    for (int k = 0; k < direct; ++k) XmlTag::lookup(Nul::UString(), Nul::UString(L"direct-" + std::to_wstring(k)));
    int accepted = direct;
    int refused = 0;
    for (int k = 0; k < 200; ++k) {
        DomParser p("<fresh-" + std::to_string(k) + "/>");
        try {
            EXPECT_FALSE(XmlTag::lookup(p.root().tag()).is_predefined());
            ++accepted;
        } catch (IllegalArgException const &e) {
            EXPECT_EQ(xmltest::rendered(e), full);
            ++refused;
        }
    }
    EXPECT_EQ(accepted, XmlTag::MAX_RUN_TIME_TAGS);
    EXPECT_EQ(refused, 100);
    EXPECT_THROW(XmlTag::lookup(XmlTag::Id(XmlTag::FIRST_RUN_TIME_ID + XmlTag::MAX_RUN_TIME_TAGS)),
                 IllegalArgException);

    // Documents in the vocabulary, and names already met, still read.
    DomParser known(xmltest::doc("<k:cursor/><fresh-0/>"));
    DomParser::Elem root = known.root();
    EXPECT_EQ(root.tag(), xmltest::kx(L"record"));
    EXPECT_EQ(root.child().tag(), xmltest::kx(L"cursor"));
    DomParser again("<fresh-0/>");
    EXPECT_EQ(XmlTag::lookup(again.root().tag()).simple_name(), Nul::UString(L"fresh-0"));

    // The incremental reader names attributes as it scans: a new one is refused as well.
    std::istringstream in("<fresh-1 new-attribute=\"v\"/>");
    EXPECT_THROW(SaxParser{in}, IllegalArgException);
}
