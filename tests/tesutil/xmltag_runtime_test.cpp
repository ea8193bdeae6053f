// Run-time ids depend on what the process has created before, so this runs alone in its own
// executable and as one sequence.
#include "tesutil/xmltag.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tesutil/stpexception.h"

using Nul::UString;
using Nul::XmlTag;

namespace {

std::string u8(UString const &s) { return s.utf8_str(); }

template <class F>
std::string failure_text(F &&f) {
    try {
        f();
    } catch (Nul::IllegalArgException &e) {
        return u8(e.msg());
    } catch (...) {
        return "wrong exception class";
    }
    return "no exception";
}

std::string const bad_id = "TLQSV0655E XmlTag::lookup(): called with illegal id value.";
std::string const bad_ns = "TLQSV0656E XmlTag::lookup(): called with illegal ns value.";

} // namespace

TEST(XmlTagRunTime, IdsAndNamespacesInAFreshProcess) {
    EXPECT_EQ(failure_text([] { XmlTag::lookup(XmlTag::Id(1167)); }), bad_id);
    EXPECT_EQ(failure_text([] { XmlTag::lookup(XmlTag::NsId(21), UString(L"x")); }), bad_ns);
    EXPECT_EQ(failure_text([] { XmlTag::ns_URI(XmlTag::NsId(21)); }),
              "TLQSV0654E XmlTag::ns_URI(): called with illegal value.");

    // The first new name in a well-known namespace gets the first run-time id.
    UString kx = XmlTag::ns_URI(XmlTag::NS_KX);
    XmlTag const &first = XmlTag::lookup(kx, UString(L"not-in-the-vocabulary"));
    EXPECT_EQ(first.id(), 1167);
    EXPECT_FALSE(first.is_predefined());
    EXPECT_TRUE(first.is_well_known_namespace());
    EXPECT_EQ(first.ns_id(), XmlTag::NS_KX);
    EXPECT_EQ(&XmlTag::lookup(kx, UString(L"not-in-the-vocabulary")), &first);
    EXPECT_EQ(&XmlTag::lookup(XmlTag::NS_KX, UString(L"not-in-the-vocabulary")), &first);
    EXPECT_EQ(XmlTag::lookup(XmlTag::NS_KX, UString(L"second-new-name")).id(), 1168);
    EXPECT_EQ(&XmlTag::lookup(XmlTag::Id(1167)), &first);
    EXPECT_EQ(failure_text([] { XmlTag::lookup(XmlTag::Id(1169)); }), bad_id);

    // A URI that is not well known becomes namespace 21, the next one 22.
    UString other(L"urn:example:other");
    XmlTag const &foreign = XmlTag::lookup(other, UString(L"record"));
    EXPECT_EQ(foreign.ns_id(), 21);
    EXPECT_EQ(foreign.id(), 1169);
    EXPECT_FALSE(foreign.is_well_known_namespace());
    EXPECT_EQ(u8(foreign.to_string()), "urn:example:other/record");
    EXPECT_EQ(u8(XmlTag::ns_URI(XmlTag::NsId(21))), "urn:example:other");
    EXPECT_FALSE(XmlTag::is_well_known_namespace(other));
    EXPECT_EQ(failure_text([] { XmlTag::ns_abbreviation(XmlTag::NsId(21)); }),
              "TLQSV0654E XmlTag::ns_abbreviation(): called with illegal value.");
    EXPECT_EQ(&XmlTag::lookup(XmlTag::NsId(21), UString(L"record")), &foreign);
    EXPECT_EQ(failure_text([] { XmlTag::lookup(XmlTag::NsId(22), UString(L"x")); }), bad_ns);
    // The empty URI is a namespace like any other that is not well known; a URI sorting before
    // every well-known one gets the next number all the same.
    XmlTag const &empty_ns = XmlTag::lookup(UString(), UString(L"x"));
    EXPECT_EQ(empty_ns.ns_id(), 22);
    EXPECT_EQ(u8(XmlTag::ns_URI(XmlTag::NsId(22))), "");
    EXPECT_EQ(XmlTag::lookup(UString(L"a:"), UString(L"x")).ns_id(), 23);
    EXPECT_EQ(&XmlTag::lookup(UString(L"urn:example:other"), UString(L"record")), &foreign);
    EXPECT_EQ(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_ACL), UString(L"resource")).id(), 17);
    // The run-time namespace searches no predefined list: its names never resolve to fixed ids.
    EXPECT_FALSE(XmlTag::lookup(other, UString(L"href")).is_predefined());

    // Fill the first block of 128 and open the second: ids 1294 and 1295 both resolve.
    int next = XmlTag::lookup(other, UString(L"href")).id() + 1;
    std::vector<XmlTag const *> made;
    for (int id = next; id <= 1300; ++id)
        made.push_back(&XmlTag::lookup(XmlTag::NsId(21), UString(std::to_wstring(id).c_str())));
    for (XmlTag const *tag : made) {
        EXPECT_EQ(&XmlTag::lookup(tag->id()), tag);
        EXPECT_EQ(u8(tag->simple_name()), std::to_string(tag->id()));
    }
    EXPECT_EQ(XmlTag::lookup(XmlTag::Id(1294)).id(), 1294);
    EXPECT_EQ(XmlTag::lookup(XmlTag::Id(1295)).id(), 1295);
    EXPECT_EQ(&XmlTag::lookup(XmlTag::Id(1167)), &first); // earlier blocks did not move
    EXPECT_EQ(failure_text([] { XmlTag::lookup(XmlTag::Id(1301)); }), bad_id);
}

// Alone or after the test above: what exists before is read from the ids it gets.
TEST(XmlTagRunTime, FreshNamesStopAtTheBounds) {
    std::string const full = "TLQSV0654E XmlTag::lookup(): called with illegal value.";
    UString const other(L"urn:example:other");
    std::int32_t const last_id = XmlTag::FIRST_RUN_TIME_ID + XmlTag::MAX_RUN_TIME_TAGS - 1;

    // A name longer than the text the table may keep is refused and takes neither an id nor room.
    UString const huge(std::wstring(XmlTag::MAX_RUN_TIME_TEXT_UNITS + 1, L'h'));
    int const before = XmlTag::lookup(other, UString(L"before-huge")).id();
    EXPECT_EQ(failure_text([&] { XmlTag::lookup(other, huge); }), full);
    int const after = XmlTag::lookup(other, UString(L"after-huge")).id();
    EXPECT_EQ(after, before + 1);

    // Fresh names, as a client sending one new name per document, until the table refuses.
    int made = 0;
    std::string refusal;
    for (int k = 0; k < 2 * XmlTag::MAX_RUN_TIME_TAGS && refusal.empty(); ++k) {
        refusal = failure_text([&] { XmlTag::lookup(other, UString(L"fresh-" + std::to_wstring(k))); });
        if (refusal == "no exception") {
            refusal.clear();
            ++made;
        }
    }
    EXPECT_EQ(refusal, full);
    EXPECT_EQ(after + made, last_id);
    EXPECT_EQ(XmlTag::lookup(XmlTag::Id(last_id)).id(), last_id);
    EXPECT_EQ(failure_text([&] { XmlTag::lookup(XmlTag::Id(last_id + 1)); }), bad_id);
    // Known names still resolve, run-time and predefined alike.
    EXPECT_EQ(XmlTag::lookup(other, UString(L"fresh-0")).id(), after + 1);
    EXPECT_EQ(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_KX), UString(L"record")).id(), 283);
    EXPECT_EQ(failure_text([&] { XmlTag::lookup(XmlTag::NS_FLD, UString(L"Headline")); }), full);

    // Namespaces are bounded the same way: fresh URIs stop at their own bound.
    for (int k = 0; k < 2 * XmlTag::MAX_RUN_TIME_NAMESPACES; ++k)
        failure_text([&] { XmlTag::lookup(UString(L"urn:fresh:" + std::to_wstring(k)), UString(L"x")); });
    XmlTag::NsId const last_ns = XmlTag::NsId(XmlTag::NUM_WK_NAMESPACES + XmlTag::MAX_RUN_TIME_NAMESPACES - 1);
    EXPECT_FALSE(XmlTag::ns_URI(last_ns).empty());
    EXPECT_EQ(failure_text([&] { XmlTag::ns_URI(XmlTag::NsId(last_ns + 1)); }),
              "TLQSV0654E XmlTag::ns_URI(): called with illegal value.");
    EXPECT_EQ(XmlTag::lookup(other, UString(L"fresh-1")).id(), after + 2);
}
