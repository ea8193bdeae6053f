#include "tesutil/selector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tesutil/stpexception.h"

using Nul::Selector;
using Nul::UString;
using Nul::XmlTag;

namespace {

std::string u8(UString const &s) { return s.utf8_str(); }
UString us(std::string const &s) { return UString(Nul::Utf8String(s)); }

std::vector<std::string> u8(std::vector<UString> const &v) {
    std::vector<std::string> out;
    for (UString const &s : v) out.push_back(u8(s));
    return out;
}

std::vector<std::string> const namespace_names = {
    "action",         "activity", "attype",       "baseline",   "brtype",       "component", "dbid",
    "dbset",          "DEFAULT",  "domainserver", "choicelist", "eltype",       "fast",      "field",
    "file",           "folder",   "form",         "group",      "hlink",        "hltype",    "hook",
    "http",           "https",    "INVALID",      "lbtype",     "legacyserver", "NONE",      "oid",
    "pname",          "implicit", "pool",         "project",    "projconfig",   "query",     "record",
    "registryregion", "replica",  "replicauuid",  "repo",       "rptype",       "stream",    "trtype",
    "user",           "userdb",   "viewtag",      "viewuuid",   "vob",          "vobtag",    "vobtagasdirectory",
    "workspace",      "branch",   "vobuuid",      "task"};

// The full rendered failure, or what went wrong instead.
std::string parse_failure(std::string const &text) {
    try {
        Selector s{us(text)};
        return "parsed: " + u8(s.to_string_with_domain());
    } catch (Nul::StateException &e) {
        EXPECT_EQ(e.stp_reason_code(), 39);
        EXPECT_EQ(e.message().index(), Nul::WEXUTIL_BAD_SELECTOR);
        return u8(e.msg());
    } catch (...) {
        return "wrong exception class";
    }
}

std::string invalid(std::string const &text, std::string const &reason) {
    return "TLQSV0671E The selector '" + text + "' is not valid: " + reason;
}

// The id the next run-time tag would get: made and thrown away.
int next_run_time_id() {
    static int n = 0;
    return XmlTag::lookup(UString(L"urn:kx-test:selector-probe"), us("probe" + std::to_string(n++))).id() + 1;
}

} // namespace

TEST(Selector, NamespaceTableInOrder) {
    ASSERT_EQ(namespace_names.size(), 53u);
    ASSERT_EQ(Selector::NUM_NAMESPACES, 53);
    for (int i = 0; i < 53; ++i)
        EXPECT_EQ(u8(Selector::namespace_string(Selector::namespace_t(i))), namespace_names[i]);
    EXPECT_EQ(u8(Selector::namespace_string(Selector::namespace_t(53))), "");
    EXPECT_EQ(u8(Selector::namespace_string(Selector::namespace_t(-1))), "");
    EXPECT_EQ(Selector::NS_RECORD, 34);
    EXPECT_EQ(Selector::NS_REPO, 38);
    EXPECT_EQ(Selector::NS_TASK, 52);
}

TEST(Selector, DomainTable) {
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::DOMAIN_VT)), "vt");
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::DOMAIN_KX)), "kx");
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::DOMAIN_INVALID)), "<invalid>");
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::DOMAIN_NONE)), "");
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::DOMAIN_CMI)), "cmi");
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::provider_domain_t(5))), "");
    EXPECT_EQ(u8(Selector::provider_domain_string(Selector::provider_domain_t(-7))), "");
}

TEST(Selector, EveryNamespaceParsesAndPrintsBack) {
    for (int i = 0; i < 53; ++i) {
        std::string const &name = namespace_names[i];
        SCOPED_TRACE(name);
        Selector s{us("kx." + name + ":a/b@db")};
        EXPECT_EQ(s.nmspace(), i);
        EXPECT_EQ(s.provider_domain(), Selector::DOMAIN_KX);
        if (s.is_repository_nmspace()) {
            EXPECT_EQ(u8(s.object_name()), "");
            EXPECT_EQ(u8(s.repository_name()), "a/b@db");
            EXPECT_EQ(u8(s.to_string_with_domain()), "kx." + name + ":a/b@db");
        } else if (name == "DEFAULT" || name == "INVALID" || name == "NONE") {
            EXPECT_EQ(u8(s.to_string_with_domain()), "kx:a/b@db"); // never printed
        } else {
            EXPECT_EQ(u8(s.object_name()), "a/b");
            EXPECT_EQ(u8(s.repository_name()), "db");
            EXPECT_EQ(u8(s.to_string_with_domain()), "kx." + name + ":a/b@db");
        }
    }
}

TEST(Selector, ParseRecordAndPrintBack) {
    Selector s{UString(L"kx.record:a/b@db")};
    EXPECT_EQ(s.provider_domain(), Selector::DOMAIN_KX);
    EXPECT_EQ(s.nmspace(), Selector::NS_RECORD);
    EXPECT_EQ(s.resource_type(), 0);
    EXPECT_EQ(u8(s.object_name()), "a/b");
    EXPECT_EQ(u8(s.repository_name()), "db");
    EXPECT_EQ(u8(s.object_name_segments()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(u8(s.repository_name_segments()), (std::vector<std::string>{"db"}));
    EXPECT_EQ(u8(s.to_string_with_domain()), "kx.record:a/b@db");
    EXPECT_EQ(u8(s.selector()), "record:a/b@kx.db");
    EXPECT_TRUE(s.is_object_name_selector());
    EXPECT_FALSE(s.is_object_id_selector());
    EXPECT_FALSE(s.is_nil());
    Selector copy(s);
    EXPECT_EQ(u8(copy.to_string_with_domain()), "kx.record:a/b@db");
}

TEST(Selector, RepositoryNamespaceAndObjectIdForms) {
    Selector dbset{UString(L"kx.dbset:db")};
    EXPECT_TRUE(dbset.is_repository_nmspace());
    EXPECT_EQ(u8(dbset.repository_name()), "db");
    EXPECT_EQ(u8(dbset.object_name()), "");
    EXPECT_EQ(u8(dbset.to_string_with_domain()), "kx.dbset:db");

    Selector type_only{UString(L"kx.repo.kx-dbset:@db")};
    EXPECT_TRUE(type_only.is_object_id_selector());
    EXPECT_FALSE(type_only.is_object_name_selector());
    EXPECT_TRUE(type_only.is_repository_type());
    EXPECT_EQ(type_only.resource_type(), XmlTag::RES_kx_dbset);
    EXPECT_EQ(u8(type_only.object_name()), "");
    EXPECT_EQ(u8(type_only.to_string_with_domain()), "kx.repo.kx-dbset:@db");

    Selector record(XmlTag::RES_kx_record, UString(L"33554433"), Selector::DOMAIN_KX, UString(L"db"));
    EXPECT_EQ(record.nmspace(), Selector::NS_REPO);
    EXPECT_FALSE(record.is_repository_type());
    EXPECT_EQ(u8(record.to_string_with_domain()), "kx.repo.kx-record:33554433@db");
    EXPECT_EQ(u8(record.selector()), "repo/kx-record:33554433@kx.db");
    Selector parsed{record.to_string_with_domain()};
    EXPECT_EQ(parsed.resource_type(), XmlTag::RES_kx_record);
    EXPECT_EQ(u8(parsed.object_name()), "33554433");

    for (XmlTag::Id type : {XmlTag::RES_kx_dbset, XmlTag::RES_kx_userdb, XmlTag::RES_vob})
        EXPECT_TRUE(Selector(type, UString(), Selector::DOMAIN_KX, UString(L"x")).is_repository_type());
    EXPECT_FALSE(Selector(XmlTag::RES_kx_user, UString(), Selector::DOMAIN_KX, UString(L"x")).is_repository_type());
    for (Selector::namespace_t ns : {Selector::NS_DBSET, Selector::NS_USERDB, Selector::NS_VOB})
        EXPECT_TRUE(Selector(ns, UString(), Selector::DOMAIN_KX, UString()).is_repository_nmspace());
    for (Selector::namespace_t ns : {Selector::NS_FILE, Selector::NS_HTTP, Selector::NS_REPO})
        EXPECT_FALSE(Selector(ns, UString(), Selector::DOMAIN_KX, UString()).is_object_name_selector());
    EXPECT_TRUE(Selector(Selector::NS_HTTPS, UString(), Selector::DOMAIN_KX, UString()).is_object_name_selector());
}

TEST(Selector, TextShapes) {
    EXPECT_EQ(u8(Selector(Selector::NS_NONE, UString(L"name"), Selector::DOMAIN_KX, UString(L"repository"))
                     .to_string_with_domain()),
              "kx:name@repository");
    EXPECT_EQ(u8(Selector(Selector::NS_RECORD, UString(L"name"), Selector::DOMAIN_NONE, UString(L"r"))
                     .to_string_with_domain()),
              "record:name@r");
    EXPECT_EQ(u8(Selector(Selector::NS_RECORD, UString(L"name"), Selector::DOMAIN_INVALID, UString())
                     .to_string_with_domain()),
              "record:name");
    EXPECT_EQ(u8(Selector(Selector::NS_DEFAULT, UString(L"n"), Selector::DOMAIN_VT, UString()).to_string_with_domain()),
              "vt:n");
    EXPECT_EQ(u8(Selector(Selector::NS_REPO, UString(), Selector::DOMAIN_CMI, UString(L"r")).to_string_with_domain()),
              "cmi.repo:@r");
    EXPECT_EQ(u8(Selector(Selector::NS_QUERY, UString(L"q"), Selector::DOMAIN_NONE, UString()).selector()), "query:q@");
    EXPECT_EQ(u8(Selector().selector()), "@");
    EXPECT_EQ(u8(Selector().to_string_with_domain()), "");
}

// Values outside the tables print nothing rather than a name read from beyond them.
TEST(Selector, OutOfTableValuesPrintNothing) {
    for (int ns : {-1, 53, 1000}) {
        Selector s(Selector::namespace_t(ns), UString(L"n"), Selector::DOMAIN_KX, UString(L"db"));
        EXPECT_EQ(u8(s.to_string_with_domain()), "kx:n@db");
        EXPECT_EQ(u8(s.selector()), "n@kx.db");
    }
    for (int d : {-1, 5, 1000}) {
        Selector s(Selector::NS_RECORD, UString(L"n"), Selector::provider_domain_t(d), UString(L"db"));
        EXPECT_EQ(u8(s.to_string_with_domain()), "record:n@db");
        EXPECT_EQ(u8(s.selector()), "record:n@db");
    }
}

TEST(Selector, EncodeAndDecodeSegments) {
    EXPECT_EQ(u8(Selector::encode_segment(UString(L"a/b:c"))), "a%/b%:c");
    EXPECT_EQ(u8(Selector::decode_string(UString(L"a%/b%:c"))), "a/b:c");
    EXPECT_EQ(u8(Selector::encode_segment(UString(L"x@@y"))), "x@@y");
    EXPECT_EQ(u8(Selector::encode_segment(UString(L"x@y"))), "x%@y");
    EXPECT_EQ(u8(Selector::encode_segment(UString(L"100%\\z"))), "100%%%\\z");
    EXPECT_EQ(u8(Selector::decode_string(UString(L"100%%%\\z"))), "100%\\z");
    EXPECT_EQ(u8(Selector::encode_segment(UString(L"%/"))), "%%%/");
    EXPECT_EQ(u8(Selector::decode_string(UString(L"%%%/"))), "%/");
    EXPECT_EQ(u8(Selector::canonical_segment_sep()), "/");
    for (char const *raw : {"a/b:c", "%", "%%:", "x@y/z\\w", "plain", ""}) {
        UString enc = Selector::encode_segment(us(raw));
        EXPECT_EQ(u8(Selector::decode_string(enc)), raw);
        Selector s(Selector::NS_RECORD, enc, Selector::DOMAIN_KX, UString(L"db"));
        EXPECT_LE(s.object_name_segments().size(), 1u) << raw;
    }
}

TEST(Selector, SegmentsHonourTheRunOfEscapes) {
    auto segments = [](wchar_t const *name) {
        return u8(Selector(Selector::NS_RECORD, UString(name), Selector::DOMAIN_KX, UString()).object_name_segments());
    };
    EXPECT_EQ(segments(L"a%/b"), (std::vector<std::string>{"a%/b"}));
    EXPECT_EQ(segments(L"a%%/b"), (std::vector<std::string>{"a%%", "b"})); // "%%" is an escaped "%"
    EXPECT_EQ(segments(L"a%%%/b"), (std::vector<std::string>{"a%%%/b"}));
    EXPECT_EQ(segments(L"a%%%%/b"), (std::vector<std::string>{"a%%%%", "b"}));
    EXPECT_EQ(segments(L"%%/x"), (std::vector<std::string>{"%%", "x"}));
    EXPECT_EQ(segments(L"//a//b/"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(segments(L""), (std::vector<std::string>{}));
    EXPECT_EQ(segments(L"/"), (std::vector<std::string>{}));
    // The same rule splits the prefix at ".": an escaped "." stays in the domain name.
    EXPECT_EQ(parse_failure("k%.x.record:a@b"), invalid("k%.x.record:a@b", "unknown provider domain: k%.x"));
    EXPECT_EQ(parse_failure("k%%.record:a@b"), invalid("k%%.record:a@b", "unknown provider domain: k%%"));
}

TEST(Selector, EveryParseFailure) {
    EXPECT_EQ(parse_failure("kx.record"), invalid("kx.record", "missing namespace seperator: \":\""));
    EXPECT_EQ(parse_failure(""), invalid("", "missing namespace seperator: \":\""));
    EXPECT_EQ(parse_failure("record:name@db"), invalid("record:name@db", "unknown provider domain: record"));
    EXPECT_EQ(parse_failure("KX.record:n@db"), invalid("KX.record:n@db", "unknown provider domain: KX"));
    EXPECT_EQ(parse_failure("kx.Record:n@db"), invalid("kx.Record:n@db", "unknown namespace: Record"));
    EXPECT_EQ(parse_failure("kx.repo.kx-nothing:n@db"),
              invalid("kx.repo.kx-nothing:n@db", "unknown resource type: kx-nothing"));
    EXPECT_EQ(parse_failure("kx.repo.record:n@db"), invalid("kx.repo.record:n@db", "unknown resource type: record"));
    EXPECT_EQ(parse_failure("kx.record.kx-record:n@db"),
              invalid("kx.record.kx-record:n@db", "extra segment before name and repository: kx-record"));
    EXPECT_EQ(parse_failure("kx.repo.kx-record.more:n@db"),
              invalid("kx.repo.kx-record.more:n@db", "extra segment before name and repository: more"));
    EXPECT_EQ(parse_failure("kx.record:"), invalid("kx.record:", "no name or repository segments"));
    EXPECT_EQ(parse_failure("kx.dbset:"), invalid("kx.dbset:", "no name or repository segments"));
    EXPECT_EQ(parse_failure("kx.record:name"), invalid("kx.record:name", "missing repository seperator: \"@\""));
    EXPECT_EQ(parse_failure("kx.record:@db"), invalid("kx.record:@db", "no name for non-repository resource type"));
    EXPECT_EQ(parse_failure("kx.repo:@db"), invalid("kx.repo:@db", "no name for non-repository resource type"));
    EXPECT_EQ(parse_failure("kx.record:name@"), invalid("kx.record:name@", "no repository segment"));
}

// Client text must not make the tag table grow.
TEST(Selector, UnknownResourceTypeCreatesNoTag) {
    XmlTag const &run_time_res = XmlTag::lookup(XmlTag::NS_RES, UString(L"kx-run-time-only"));
    EXPECT_FALSE(run_time_res.is_predefined());
    int next = next_run_time_id();
    EXPECT_EQ(parse_failure("kx.repo.kx-no-such-type:n@db"),
              invalid("kx.repo.kx-no-such-type:n@db", "unknown resource type: kx-no-such-type"));
    EXPECT_EQ(parse_failure("kx.repo.kx-run-time-only:n@db"),
              invalid("kx.repo.kx-run-time-only:n@db", "unknown resource type: kx-run-time-only"));
    EXPECT_EQ(next_run_time_id(), next + 1); // only the probe itself was created
}

TEST(Selector, TextStartingWithColon) {
    Selector s{UString(L":name@db")};
    EXPECT_EQ(s.provider_domain(), Selector::DOMAIN_NONE);
    EXPECT_EQ(s.nmspace(), Selector::NS_NONE);
    EXPECT_EQ(u8(s.object_name()), "name");
    EXPECT_EQ(u8(s.repository_name()), "db");
    EXPECT_EQ(parse_failure(":"), invalid(":", "no name or repository segments"));
    EXPECT_EQ(parse_failure(":name"), invalid(":name", "missing repository seperator: \"@\""));
    EXPECT_EQ(parse_failure(".:name@db"), "parsed: name@db");
}

TEST(Selector, FirstUnescapedAtAfterTheColonSplitsNameAndRepository) {
    struct Case {
        wchar_t const *text;
        char const *name, *repository;
    };
    for (Case c : {Case{L"kx.record:a%@b@db", "a%@b", "db"}, Case{L"kx.record:a%%@b@db", "a%%", "b@db"},
                   Case{L"kx.record:a%%%@b@db", "a%%%@b", "db"}, Case{L"kx.record:a:b@db:x", "a:b", "db:x"},
                   Case{L"kx.record:x@@y@db", "x", "@y@db"}}) {
        Selector s{UString(c.text)};
        EXPECT_EQ(u8(s.object_name()), c.name) << u8(UString(c.text));
        EXPECT_EQ(u8(s.repository_name()), c.repository) << u8(UString(c.text));
    }
    EXPECT_EQ(parse_failure("kx.record:a%@b"), invalid("kx.record:a%@b", "missing repository seperator: \"@\""));
    // A printed name with "@" in it parses back to the same name.
    Selector printed(Selector::NS_GROUP, Selector::encode_segment(UString(L"ops@night")), Selector::DOMAIN_KX,
                     UString(L"db"));
    Selector parsed{printed.to_string_with_domain()};
    EXPECT_EQ(u8(Selector::decode_string(parsed.object_name())), "ops@night");
    EXPECT_EQ(u8(parsed.repository_name()), "db");
}

TEST(Selector, DefaultIsNil) {
    Selector nil;
    EXPECT_TRUE(nil.is_nil());
    EXPECT_EQ(nil.nmspace(), Selector::NS_NONE);
    EXPECT_EQ(nil.provider_domain(), Selector::DOMAIN_NONE);
    EXPECT_EQ(nil.resource_type(), 0);
    EXPECT_TRUE(Selector(Selector::NS_DEFAULT, UString(), Selector::DOMAIN_NONE, UString()).is_nil());
    EXPECT_FALSE(Selector(Selector::NS_INVALID, UString(), Selector::DOMAIN_NONE, UString()).is_nil());
    EXPECT_FALSE(Selector(Selector::NS_NONE, UString(), Selector::DOMAIN_KX, UString()).is_nil());
    EXPECT_FALSE(Selector(Selector::NS_NONE, UString(), Selector::DOMAIN_NONE, UString(L"r")).is_nil());
}

TEST(Selector, ParentWalksUpToNil) {
    Selector s(XmlTag::RES_kx_record, UString(L"a/b/c"), Selector::DOMAIN_KX, UString(L"x/y"));
    std::vector<std::string> chain;
    for (int i = 0; i < 9; ++i) {
        chain.push_back(u8(s.to_string_with_domain()));
        s = s.parent();
    }
    EXPECT_EQ(chain, (std::vector<std::string>{"kx.repo.kx-record:a/b/c@x/y", "kx.repo.kx-record:a/b@x/y",
                                               "kx.repo.kx-record:a@x/y", "kx.repo.kx-record:@x/y",
                                               "kx.repo.kx-record:@x", "kx.repo.kx-record:", "kx.repo:", "kx:", ""}));
    EXPECT_TRUE(s.is_nil());
    EXPECT_TRUE(s.parent().is_nil());
    EXPECT_EQ(
        u8(Selector(Selector::NS_RECORD, UString(L"a"), Selector::DOMAIN_KX, UString(L"db")).parent().object_name()),
        "");
    // An escaped separator is not a level.
    EXPECT_EQ(
        u8(Selector(Selector::NS_RECORD, UString(L"a/b%/c"), Selector::DOMAIN_KX, UString()).parent().object_name()),
        "a");
}

TEST(Selector, ChildAndRecompose) {
    Selector a(Selector::NS_FOLDER, UString(L"a"), Selector::DOMAIN_KX, UString(L"db"));
    EXPECT_EQ(u8(a.to_string_with_domain()), "kx.folder:a@db"); // fills the cache
    Selector c = a.child(UString(L"b/c"), Selector::NS_NONE);
    EXPECT_EQ(u8(c.object_name()), "a/b/c");
    EXPECT_EQ(c.nmspace(), Selector::NS_FOLDER);
    EXPECT_EQ(u8(c.to_string_with_domain()), "kx.folder:a/b/c@db");
    Selector q = a.child(UString(L"/q//"), Selector::NS_QUERY);
    EXPECT_EQ(u8(q.to_string_with_domain()), "kx.query:a/q@db");
    Selector r = a.recompose_with_name(UString(L"z%/w"));
    EXPECT_EQ(u8(r.object_name()), "z%/w");
    EXPECT_EQ(u8(r.to_string_with_domain()), "kx.folder:z%/w@db");
    EXPECT_EQ(u8(a.to_string_with_domain()), "kx.folder:a@db");
    EXPECT_EQ(u8(a.parent().to_string_with_domain()), "kx.folder:db");
}

TEST(Selector, RoundTripsOfPrintedSelectors) {
    std::vector<Selector> samples = {
        Selector(Selector::NS_RECORD, Selector::encode_segment(UString(L"we%ird/na:me\\x")), Selector::DOMAIN_KX,
                 UString(L"db")),
        Selector(Selector::NS_USERDB, UString(), Selector::DOMAIN_KX, UString(L"set/db")),
        Selector(XmlTag::RES_kx_query, UString(L"Public Queries/q1"), Selector::DOMAIN_KX, UString(L"db")),
        Selector(Selector::NS_VOBTAG, UString(L"\\vob"), Selector::DOMAIN_VT, UString(L"region")),
        Selector(Selector::NS_TASK, UString(L"t"), Selector::DOMAIN_CMI, UString(L"r")),
    };
    for (Selector const &s : samples) {
        Selector back(s.to_string_with_domain());
        EXPECT_EQ(back.nmspace(), s.nmspace());
        EXPECT_EQ(back.provider_domain(), s.provider_domain());
        EXPECT_EQ(back.resource_type(), s.resource_type());
        EXPECT_EQ(u8(back.object_name()), u8(s.object_name()));
        EXPECT_EQ(u8(back.repository_name()), u8(s.repository_name()));
        EXPECT_EQ(u8(back.to_string_with_domain()), u8(s.to_string_with_domain()));
    }
}
