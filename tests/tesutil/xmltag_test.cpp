#include "tesutil/xmltag.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/command.h"
#include "tesutil/stpexception.h"

using Nul::UString;
using Nul::XmlTag;

namespace {

std::string u8(UString const &s) { return s.utf8_str(); }
UString us(std::string const &s) { return UString(Nul::Utf8String(s)); }

std::string const base = "http://korvax.example";

struct NsRow {
    char const *abbreviation;
    char const *path;
    int count;
    bool searched;
};

// The well-known namespaces in NsId order.
std::array<NsRow, 21> const namespaces = {{
    {"ACL:", "/TEAM/ACL", 19, true},
    {"ACT:", "/TEAM/ACTTYPE", 10, true},
    {"ATR:", "/TEAM/ATTRS", 0, false},
    {"AUTHMODE:", "/TEAM/KXAUTHMODE", 3, true},
    {"VT:", "/TEAM/VT", 201, true},
    {"KX:", "/TEAM/KX", 68, true},
    {"CTG:", "/TEAM/CTG", 476, true},
    {"EVT:", "/TEAM/EVENTS", 81, true},
    {"FLD:", "/TEAM/FIELDS", 0, false},
    {"FRM:", "/TEAM/FORM", 63, true},
    {"FVT:", "/TEAM/VALTYPE", 14, true},
    {"GROUP_ACCESS:", "/TEAM/FOLDER_ACLS/GROUP", 0, true},
    {"MPN:", "/TEAM/METAPROPERTY", 29, true},
    {"MPT:", "/TEAM/MPTYPE", 27, true},
    {"NAMEDVAL:", "/TEAM/NAMED_VALUE", 0, true},
    {"PREF:", "/TEAM/PREF", 0, true},
    {"RES:", "/TEAM/RESTYPE", 52, true},
    {"TEAMPVT:", "/TEAM/PVT", 16, true},
    {"TEAM:", "/TEAM", 80, true},
    {"USER_ACCESS:", "/TEAM/FOLDER_ACLS/USER", 0, true},
    {"VENDOR:", "/TEAM/KXDBVENDOR", 5, true},
}};

struct Row {
    int id;
    std::string abbreviation; // "null": no namespace
    std::string name;
};

// The vocabulary as an independent list: one "id<TAB>abbreviation<TAB>name" line per tag.
std::vector<Row> const &vocabulary() {
    static std::vector<Row> const rows = [] {
        std::vector<Row> out;
        std::ifstream in(KX_VOCABULARY_FILE);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            Row r;
            std::string id;
            std::getline(fields, id, '\t');
            std::getline(fields, r.abbreviation, '\t');
            std::getline(fields, r.name, '\t');
            r.id = std::stoi(id);
            out.push_back(r);
        }
        return out;
    }();
    return rows;
}

int nsid_of(std::string const &abbreviation) {
    for (std::size_t i = 0; i < namespaces.size(); ++i)
        if (abbreviation == namespaces[i].abbreviation) return static_cast<int>(i);
    return -1;
}

std::set<int> const unassigned = {174, 176, 179, 180, 917, 1024, 1025, 1072, 1073, 1112, 1120, 1121, 1130, 1157, 1158};

template <class E, class F>
std::string failure_text(F &&f) {
    try {
        f();
    } catch (E &e) {
        EXPECT_EQ(e.stp_reason_code(), 39);
        return u8(e.msg());
    } catch (...) {
        return "wrong exception class";
    }
    return "no exception";
}

// Evaluated before main: the registry must already answer from any static initialiser.
struct EarlyUser {
    int record_id = 0;
    XmlTag const *runtime = nullptr;
    EarlyUser() {
        record_id = XmlTag::lookup(UString(u"http://korvax.example/TEAM/KX"), UString(L"record")).id();
        runtime = &XmlTag::lookup(XmlTag::NS_KX, UString(L"early-static-name"));
    }
} const early_user;

} // namespace

TEST(XmlTagVocabulary, IndependentListHasEveryTag) {
    ASSERT_EQ(vocabulary().size(), 1152u);
    std::set<int> ids;
    std::map<std::string, int> per_ns;
    for (Row const &r : vocabulary()) {
        EXPECT_TRUE(ids.insert(r.id).second) << r.id;
        if (r.id != 0) ++per_ns[r.abbreviation];
    }
    for (int id = 0; id <= 1166; ++id) EXPECT_EQ(ids.count(id) == 0, unassigned.count(id) == 1) << id;
    for (NsRow const &ns : namespaces) EXPECT_EQ(per_ns[ns.abbreviation], ns.count) << ns.abbreviation;
    EXPECT_EQ(per_ns["null"], 7);
}

TEST(XmlTagVocabulary, EveryTagByIdByNamespaceAndByUri) {
    for (Row const &r : vocabulary()) {
        SCOPED_TRACE(r.id);
        XmlTag const &tag = XmlTag::lookup(XmlTag::Id(r.id));
        EXPECT_EQ(tag.id(), r.id);
        EXPECT_EQ(u8(tag.simple_name()), r.name);
        EXPECT_TRUE(tag.is_predefined());
        EXPECT_EQ(&XmlTag::lookup(XmlTag::Id(r.id)), &tag);
        int nsid = r.id == 0 ? -1 : nsid_of(r.abbreviation);
        EXPECT_EQ(tag.ns_id(), nsid);
        if (nsid < 0) {
            EXPECT_EQ(u8(tag.ns()), "");
            EXPECT_FALSE(tag.is_well_known_namespace());
            continue;
        }
        std::string uri = base + namespaces[nsid].path;
        EXPECT_EQ(u8(tag.ns()), uri);
        EXPECT_EQ(u8(tag.to_string()), uri + "/" + r.name);
        EXPECT_TRUE(tag.is_well_known_namespace());
        EXPECT_EQ(&XmlTag::lookup(XmlTag::NsId(nsid), us(r.name)), &tag);
        EXPECT_EQ(&XmlTag::lookup(us(uri), us(r.name)), &tag);
    }
}

TEST(XmlTagVocabulary, UnassignedIdsRaiseInternalError) {
    for (int id : unassigned) {
        std::string text = failure_text<Nul::StateException>([&] { XmlTag::lookup(XmlTag::Id(id)); });
        EXPECT_EQ(text.rfind("TLQSV0653E Internal error: XmlTag::lookup(), at line: ", 0), 0u) << text;
        EXPECT_NE(text.find("in file: 'xmltag.cpp'"), std::string::npos) << text;
    }
}

TEST(XmlTagVocabulary, NamedIdsMatchTheirTags) {
    EXPECT_EQ(XmlTag::NIL_TAG, 0);
    EXPECT_EQ(XmlTag::KX_record, 283);
    EXPECT_EQ(XmlTag::CTG_record, 634);
    EXPECT_EQ(XmlTag::MPN_record, 933);
    EXPECT_EQ(XmlTag::FRM_isMultiLine, 869);
    EXPECT_EQ(XmlTag::TEAM_href, 1069);
    EXPECT_EQ(XmlTag::RES_kx_record, 1017);
    EXPECT_EQ(XmlTag::NONS_status, 1098);
    EXPECT_EQ(XmlTag::KX_permission_read_limited, 278);
    EXPECT_EQ(XmlTag::CTG_legal_acccessible_actions, 525);
    EXPECT_EQ(XmlTag::KX_is_privileged_query_enabled, 1166);
}

TEST(XmlTagVocabulary, MisspelledAndOddNamesAreKept) {
    std::map<int, std::string> const odd = {{525, "legal-acccessible-actions"},
                                            {657, "record-reqiredness-by-state"},
                                            {354, "child-original-source-directory-no-longer-exits"},
                                            {145, "merge-type-nevero"},
                                            {278, "permission_read_limited"},
                                            {1094, "responsedescription"},
                                            {1074, "lockdiscovery"}};
    for (auto const &[id, name] : odd) EXPECT_EQ(u8(XmlTag::lookup(XmlTag::Id(id)).simple_name()), name);
}

TEST(XmlTagNamespaces, WellKnownTable) {
    for (std::size_t i = 0; i < namespaces.size(); ++i) {
        auto nsid = XmlTag::NsId(i);
        std::string uri = base + namespaces[i].path;
        EXPECT_EQ(u8(XmlTag::ns_URI(nsid)), uri);
        EXPECT_EQ(u8(XmlTag::ns_abbreviation(nsid)), namespaces[i].abbreviation);
        EXPECT_EQ(XmlTag::ns_lookup_abbreviation(us(namespaces[i].abbreviation)), nsid);
        EXPECT_TRUE(XmlTag::is_well_known_namespace(us(uri)));
    }
    EXPECT_EQ(XmlTag::ns_lookup_abbreviation(UString(L"ACL:")), 0);
    EXPECT_EQ(XmlTag::ns_lookup_abbreviation(UString(L"ACL")), -1);
    EXPECT_EQ(XmlTag::ns_lookup_abbreviation(UString(L"acl:")), -1);
    EXPECT_EQ(XmlTag::ns_lookup_abbreviation(UString(L"KX:")), 5);
    EXPECT_EQ(XmlTag::ns_lookup_abbreviation(UString(L"TEAM:")), 18);
    EXPECT_EQ(XmlTag::ns_lookup_abbreviation(UString(L"null")), -1);
    EXPECT_EQ(u8(XmlTag::ns_abbreviation(XmlTag::NsId(4))), "VT:");
    EXPECT_FALSE(XmlTag::is_well_known_namespace(UString(L"http://korvax.example/TEAM/")));
    EXPECT_FALSE(XmlTag::is_well_known_namespace(UString(L"")));
}

TEST(XmlTagNamespaces, IllegalNamespaceNumbers) {
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::ns_URI(XmlTag::NsId(-1)); }),
              "TLQSV0654E XmlTag::ns_URI(): called with illegal value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::ns_URI(XmlTag::NsId(100000)); }),
              "TLQSV0654E XmlTag::ns_URI(): called with illegal value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::ns_abbreviation(XmlTag::NsId(21)); }),
              "TLQSV0654E XmlTag::ns_abbreviation(): called with illegal value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::ns_abbreviation(XmlTag::NsId(-1)); }),
              "TLQSV0654E XmlTag::ns_abbreviation(): called with illegal value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::lookup(XmlTag::NsId(-1), UString(L"x")); }),
              "TLQSV0656E XmlTag::lookup(): called with illegal ns value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::lookup(XmlTag::NsId(100000), UString(L"x")); }),
              "TLQSV0656E XmlTag::lookup(): called with illegal ns value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::lookup(XmlTag::Id(-1)); }),
              "TLQSV0655E XmlTag::lookup(): called with illegal id value.");
    EXPECT_EQ(failure_text<Nul::IllegalArgException>([] { XmlTag::lookup(XmlTag::Id(0x7fffffff)); }),
              "TLQSV0655E XmlTag::lookup(): called with illegal id value.");
}

TEST(XmlTag, NilTag) {
    XmlTag const &nil = XmlTag::lookup(XmlTag::NIL_TAG);
    EXPECT_TRUE(nil.is_nil());
    EXPECT_EQ(nil.ns_id(), -1);
    EXPECT_EQ(u8(nil.ns()), "");
    EXPECT_EQ(u8(nil.simple_name()), "");
    EXPECT_EQ(u8(nil.to_string()), "<nil-tag>");
    EXPECT_TRUE(nil.is_predefined());
    EXPECT_FALSE(nil.is_well_known_namespace());
    // An empty name in TEAM is a name like any other, not the nil tag.
    XmlTag const &empty = XmlTag::lookup(XmlTag::NS_TEAM, UString());
    EXPECT_NE(empty.id(), 0);
    EXPECT_FALSE(empty.is_predefined());
    EXPECT_EQ(empty.ns_id(), XmlTag::NS_TEAM);
}

TEST(XmlTag, NamesAreExactAndCaseSensitive) {
    UString kx = XmlTag::ns_URI(XmlTag::NS_KX);
    EXPECT_EQ(XmlTag::lookup(kx, UString(L"record")).id(), 283);
    XmlTag const &other_case = XmlTag::lookup(kx, UString(L"Record"));
    EXPECT_FALSE(other_case.is_predefined());
    EXPECT_EQ(&XmlTag::lookup(kx, UString(L"Record")), &other_case);
    EXPECT_EQ(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_FRM), UString(L"isMultiLine")).id(), 869);
    EXPECT_FALSE(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_FRM), UString(L"ismultiline")).is_predefined());
    EXPECT_EQ(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_TEAM), UString(L"href")).id(), 1069);
    EXPECT_EQ(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_RES), UString(L"kx-record")).id(), 1017);
    // A tag without namespace is reachable by id only.
    XmlTag const &status = XmlTag::lookup(XmlTag::Id(1098));
    EXPECT_EQ(status.ns_id(), -1);
    EXPECT_EQ(u8(status.ns()), "");
    EXPECT_EQ(u8(status.to_string()), "status");
    EXPECT_NE(XmlTag::lookup(XmlTag::ns_URI(XmlTag::NS_TEAM), UString(L"status")).id(), 1098);
    EXPECT_NE(XmlTag::lookup(UString(L""), UString(L"status")).id(), 1098);
}

TEST(XmlTag, AttrsAndFieldsNamespacesHaveOnlyRunTimeTags) {
    for (XmlTag::NsId ns : {XmlTag::NS_ATR, XmlTag::NS_FLD}) {
        for (char const *name : {"record", "href", "name"}) {
            XmlTag const &tag = XmlTag::lookup(ns, us(name));
            EXPECT_FALSE(tag.is_predefined());
            EXPECT_EQ(tag.ns_id(), ns);
            EXPECT_TRUE(tag.is_well_known_namespace());
            EXPECT_EQ(&XmlTag::lookup(XmlTag::ns_URI(ns), us(name)), &tag);
            EXPECT_EQ(&XmlTag::lookup(tag.id()), &tag);
        }
    }
}

TEST(XmlTag, VendorAndAuthModeValues) {
    std::vector<std::string> vendors;
    for (int id = 1125; id <= 1129; ++id) {
        XmlTag const &t = XmlTag::lookup(XmlTag::Id(id));
        EXPECT_EQ(t.ns_id(), XmlTag::NS_VENDOR);
        vendors.push_back(u8(t.simple_name()));
    }
    EXPECT_EQ(vendors, (std::vector<std::string>{"ZD4", "MS_ACCESS", "ORACLE", "SQL_ANYWHERE", "SQL_SERVER"}));
    EXPECT_EQ(XmlTag::lookup(XmlTag::NS_AUTHMODE, UString(L"KX")).id(), 29);
    EXPECT_EQ(XmlTag::lookup(XmlTag::NS_AUTHMODE, UString(L"LDAP")).id(), 30);
    EXPECT_EQ(XmlTag::lookup(XmlTag::NS_AUTHMODE, UString(L"NULL")).id(), 31);
}

TEST(XmlTag, CopiesEqualityAndOrder) {
    XmlTag const &record = XmlTag::lookup(XmlTag::KX_record);
    XmlTag copy = record;
    EXPECT_TRUE(copy == record);
    EXPECT_FALSE(copy != record);
    EXPECT_EQ(copy.id(), 283);
    EXPECT_EQ(&copy.ns(), &record.ns()); // the same namespace record
    EXPECT_FALSE(copy < record);
    EXPECT_FALSE(record < copy);
    XmlTag const &ctg = XmlTag::lookup(XmlTag::CTG_record);
    EXPECT_FALSE(ctg == record);
    EXPECT_TRUE((ctg < record) != (record < ctg));
    EXPECT_TRUE(record < ctg); // KX (5) before CTG (6)
    XmlTag const &href = XmlTag::lookup(XmlTag::TEAM_href);
    XmlTag const &name = XmlTag::lookup(XmlTag::TEAM_name);
    EXPECT_TRUE(href < name);
    EXPECT_FALSE(name < href);
    XmlTag const &status = XmlTag::lookup(XmlTag::NONS_status);
    EXPECT_TRUE(status < XmlTag::lookup(XmlTag::ACL_resource)); // no namespace first
    copy = ctg;
    EXPECT_TRUE(copy == ctg);
}

TEST(XmlTag, FormatMarkup) {
    std::string const u = base + "/TEAM/KX";
    UString const k(L"k");
    EXPECT_EQ(u8(XmlTag::format(XmlTag::START_TAG, XmlTag::KX_record, XmlTag::EMPTY_NS_PREFIX)),
              "<record xmlns=\"" + u + "\">");
    EXPECT_EQ(u8(XmlTag::format(XmlTag::END_TAG, XmlTag::KX_record, XmlTag::EMPTY_NS_PREFIX)), "</record>");
    EXPECT_EQ(u8(XmlTag::format(XmlTag::EMPTY_ELEMENT_TAG, XmlTag::KX_record, XmlTag::EMPTY_NS_PREFIX)),
              "<record xmlns=\"" + u + "\"/>");
    EXPECT_EQ(u8(XmlTag::format(XmlTag::START_TAG, XmlTag::KX_record, k)), "<k:record>");
    EXPECT_EQ(u8(XmlTag::format(XmlTag::END_TAG, XmlTag::KX_record, k)), "</k:record>");
    EXPECT_EQ(u8(XmlTag::format(XmlTag::EMPTY_ELEMENT_TAG, XmlTag::KX_record, k)), "<k:record/>");
    EXPECT_EQ(u8(XmlTag::lookup(XmlTag::NONS_status).format(XmlTag::START_TAG, XmlTag::EMPTY_NS_PREFIX)),
              "<status xmlns=\"\">");
    EXPECT_EQ(failure_text<Nul::StateException>([] {
                  XmlTag::format(XmlTag::START_TAG, XmlTag::Id(174), UString());
              }).substr(0, 10),
              "TLQSV0653E");
    EXPECT_EQ(u8(XmlTag::lookup(XmlTag::KX_record).to_string()), u + "/record");
}

namespace {

std::string run(std::string const &command) { return kxtest::command_output(command, "xmllint"); }

struct TempFile {
    std::string path;
    explicit TempFile(std::string const &text) {
        char name[] = "/tmp/kx_xmltag_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
};

std::string xpath(std::string const &file, std::string const &expression) {
    return run("xmllint --nowarning --xpath '" + expression + "' " + file + " 2>&1");
}

} // namespace

// Every tag's own markup, read back by an independent XML parser, must name the tag's namespace URI
// and local name.
TEST(XmlTag, FormatIsReadBackByXmllint) {
    std::vector<XmlTag const *> tags;
    for (Row const &r : vocabulary())
        if (r.id != 0) tags.push_back(&XmlTag::lookup(XmlTag::Id(r.id)));
    tags.push_back(&XmlTag::lookup(UString(L"urn:kx-test:format"), UString(L"run-time")));
    std::string doc = "<doc>";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        XmlTag::Format f = i % 2 ? XmlTag::EMPTY_ELEMENT_TAG : XmlTag::START_TAG;
        doc += u8(tags[i]->format(f, XmlTag::EMPTY_NS_PREFIX));
        if (f == XmlTag::START_TAG) doc += u8(tags[i]->format(XmlTag::END_TAG, XmlTag::EMPTY_NS_PREFIX));
    }
    doc += "<k:record xmlns:k=\"" + u8(XmlTag::ns_URI(XmlTag::NS_KX)) + "\">";
    doc += u8(XmlTag::format(XmlTag::EMPTY_ELEMENT_TAG, XmlTag::TEAM_href, UString(L"k")));
    doc += u8(XmlTag::format(XmlTag::END_TAG, XmlTag::KX_record, UString(L"k")));
    doc += "</doc>";
    TempFile file(doc);
    // One expression per chunk: the count of children whose namespace and local name are right.
    std::size_t const chunk = 100;
    for (std::size_t from = 0; from < tags.size(); from += chunk) {
        std::string expr;
        std::size_t to = std::min(tags.size(), from + chunk);
        for (std::size_t i = from; i < to; ++i) {
            if (!expr.empty()) expr += "+";
            expr += "count(/doc/*[" + std::to_string(i + 1) + "][namespace-uri()=\"" + u8(tags[i]->ns()) +
                    "\" and local-name()=\"" + u8(tags[i]->simple_name()) + "\"])";
        }
        EXPECT_EQ(xpath(file.path, expr), std::to_string(to - from) + "\n") << "tags from " << from;
    }
    std::string kx = u8(XmlTag::ns_URI(XmlTag::NS_KX));
    EXPECT_EQ(xpath(file.path, "count(/doc/*[last()][namespace-uri()=\"" + kx +
                                   "\" and local-name()=\"record\"]/*[namespace-uri()=\"" + kx +
                                   "\" and local-name()=\"href\"])"),
              "1\n");
}

TEST(XmlTag, ConcurrentCreationGivesOneObjectAndOneId) {
    int const threads = 8, names = 200;
    std::vector<std::vector<XmlTag const *>> seen(threads, std::vector<XmlTag const *>(names));
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    UString const uri(L"urn:kx-test:concurrent");
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ++ready;
            while (ready.load() < threads) std::this_thread::yield();
            for (int i = 0; i < names; ++i) {
                // Half the threads go through the URI, half through the namespace number.
                UString name = us("n" + std::to_string(i));
                if (t % 2 == 0) {
                    seen[t][i] = &XmlTag::lookup(uri, name);
                } else {
                    XmlTag::NsId ns = XmlTag::lookup(uri, UString(L"n0")).ns_id();
                    seen[t][i] = &XmlTag::lookup(ns, name);
                }
                EXPECT_EQ(&XmlTag::lookup(seen[t][i]->id()), seen[t][i]);
            }
        });
    }
    for (auto &th : pool) th.join();
    std::set<int> ids;
    for (int i = 0; i < names; ++i) {
        for (int t = 1; t < threads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << i;
        EXPECT_EQ(u8(seen[0][i]->simple_name()), "n" + std::to_string(i));
        ids.insert(seen[0][i]->id());
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(names));
    EXPECT_GE(*ids.begin(), XmlTag::FIRST_RUN_TIME_ID);
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), names - 1); // no id was issued twice or skipped
}

TEST(XmlTag, StaticInitialiserCouldUseTheRegistry) {
    EXPECT_EQ(early_user.record_id, 283);
    ASSERT_NE(early_user.runtime, nullptr);
    EXPECT_EQ(&XmlTag::lookup(XmlTag::NS_KX, UString(L"early-static-name")), early_user.runtime);
    EXPECT_EQ(&XmlTag::lookup(early_user.runtime->id()), early_user.runtime);
}
