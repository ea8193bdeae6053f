// Workspace paths and their items: awkward names round-trip, top folder forms, the refresh, the
// kind mappings, and resolve_type over them.
#include "target/queryutil.h"

#include "change/new_resources.h"
#include "change/resolve_type.h"
#include "handler_env.h"
#include "kxproduct/store.h"
#include "set_file.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

class QueryUtilTest : public kxtest::HandlerTest {
protected:
    static void SetUpTestSuite() {
        HandlerTest::SetUpTestSuite();
        KXProductStore::EnsureDataDirectory();
        kxtest::SetFile set;
        slashed_ = set.add(0, "a/b%c", AD_BUCKET_FOLDER);
        inside_ = set.add(slashed_, "x@y:z", AD_BUCKET_QUERY);
        std::int64_t plain_a = set.add(0, "a", AD_BUCKET_FOLDER);
        other_ = set.add(plain_a, "b%c", AD_BUCKET_QUERY);
        awkward_ = {slashed_,
                    inside_,
                    plain_a,
                    other_,
                    set.add(0, "50% off/now", AD_BUCKET_QUERY),
                    set.add(0, "back\\slash", AD_BUCKET_QUERY),
                    set.add(0, "@@twice", AD_BUCKET_QUERY),
                    set.add(0, "%/", AD_BUCKET_QUERY),
                    set.add(0, "trailing%", AD_BUCKET_QUERY)};
    }

    AdSessionPtr alice() { return AdSessionPtr(login(L"alice")->session()); }

    AdBucketPtr at(AdSessionPtr const &s, wchar_t const *uri, bool *personal = nullptr) {
        AdBucketPtr bucket;
        bool p = QueryUtil::get_bucket_for_uri(s, Nul::UString(uri), bucket);
        if (personal) *personal = p;
        return bucket;
    }

    static inline std::int64_t slashed_ = 0, inside_ = 0, other_ = 0;
    static inline std::vector<std::int64_t> awkward_;
};

} // namespace

TEST_F(QueryUtilTest, AwkwardNamesAreFoundAgainByTheirUri) {
    AdSessionPtr s = alice();
    for (std::int64_t id : awkward_) {
        AdBucketPtr item = GetWorkspaceMgr(s)->GetBucket(id);
        ASSERT_TRUE(item) << id;
        Nul::UString uri = QueryUtil::bucket_uri(s, item);
        AdBucketPtr found;
        EXPECT_FALSE(QueryUtil::get_bucket_for_uri(s, uri, found));
        ASSERT_TRUE(found) << u8(uri);
        EXPECT_EQ(found->GetDbId(), id) << u8(uri);
    }
}

TEST_F(QueryUtilTest, EscapedSlashNamesOneItemAndNotAnother) {
    AdSessionPtr s = alice();
    EXPECT_EQ(u8(QueryUtil::bucket_uri(s, GetWorkspaceMgr(s)->GetBucket(inside_))), "Public Queries/a%/b%%c/x%@y%:z");
    EXPECT_EQ(at(s, L"Public Queries/a%/b%%c")->GetDbId(), slashed_);
    EXPECT_EQ(at(s, L"Public Queries/a/b%%c")->GetDbId(), other_);
    EXPECT_FALSE(at(s, L"Public Queries/a/b%%c/x%@y%:z"));
}

TEST_F(QueryUtilTest, TopFolderFormsAndUnknownTops) {
    AdSessionPtr s = alice();
    AdBucketPtr pub = GetTopWorkspaceFolder(s, AD_PUBLIC_FOLDER, 1);
    for (wchar_t const *uri : {L"Public Queries", L"/Public Queries", L"Public Queries/"}) {
        bool personal = true;
        AdBucketPtr top = at(s, uri, &personal);
        ASSERT_TRUE(top) << u8(Nul::UString(uri));
        EXPECT_EQ(top->GetDbId(), pub->GetDbId());
        EXPECT_FALSE(personal);
    }
    EXPECT_EQ(u8(QueryUtil::bucket_uri(s, pub)), "Public Queries");
    bool personal = false;
    AdBucketPtr mine = at(s, L"Personal Queries/My Defects", &personal);
    ASSERT_TRUE(mine);
    EXPECT_TRUE(personal);
    EXPECT_EQ(u8(QueryUtil::bucket_uri(s, mine)), "Personal Queries/My Defects");
    personal = true;
    EXPECT_FALSE(at(s, L"Elsewhere/All Defects", &personal));
    EXPECT_FALSE(personal);
    EXPECT_FALSE(at(s, L"", &personal));
    EXPECT_EQ(u8(QueryUtil::bucket_uri(s, at(s, L"Public Queries/All Defects"))), "Public Queries/All Defects");
}

TEST_F(QueryUtilTest, AnItemMadeMeanwhileIsFoundAfterOneRefresh) {
    AdSessionPtr s = alice();
    ASSERT_TRUE(at(s, L"Public Queries/All Defects")); // the session has read its workspace
    std::int64_t id = kxtest::SetFile().add(0, "Made meanwhile", AD_BUCKET_QUERY);
    long refreshes = KXFaultInjector::CallCount("AdWorkspaceMgr::RefreshEntireWorkspace");
    AdBucketPtr found = at(s, L"Public Queries/Made meanwhile");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->GetDbId(), id);
    EXPECT_FALSE(at(s, L"Public Queries/Never made"));
    EXPECT_EQ(KXFaultInjector::CallCount("AdWorkspaceMgr::RefreshEntireWorkspace"), refreshes + 2);
}

TEST_F(QueryUtilTest, UriSegmentsSplitAtUnescapedSlashesOnly) {
    struct Case {
        wchar_t const *uri;
        std::vector<std::string> segments;
    } const cases[] = {
        {L"Public Queries/a%/b", {"Public Queries", "a/b"}},
        {L"/P//q/", {"P", "q"}},
        {L"a%%/b", {"a%", "b"}},
        {L"a%%%/b", {"a%/b"}},
        {L"x%@y%:z%\\w", {"x@y:z\\w"}},
        {L"@@", {"@@"}},
    };
    for (Case const &c : cases) {
        std::vector<std::string> got;
        for (Nul::UString const &segment : QueryUtil::uri_segments(Nul::UString(c.uri))) got.push_back(u8(segment));
        EXPECT_EQ(got, c.segments) << u8(Nul::UString(c.uri));
    }
}

TEST_F(QueryUtilTest, KindsOfItemsByBitAndByExactValue) {
    AdSessionPtr s = alice();
    struct Case {
        wchar_t const *uri;
        int tag, wire, internal;
    } const cases[] = {
        {L"Public Queries/Defects", 1016, 36, 37},
        {L"Public Queries/All Defects", 1015, 35, 36},
        {L"Public Queries/Defects/Defects by Severity", 1015, 35, 36},
        {L"Public Queries/Defects/Defect Summary", 1020, 37, 38},
        {L"Public Queries/Report Formats/Summary Format", 1021, 38, 39},
    };
    for (Case const &c : cases) {
        AdBucketPtr b = at(s, c.uri);
        ASSERT_TRUE(b) << u8(Nul::UString(c.uri));
        EXPECT_EQ(QueryUtil::bucket_resource_tag(b), c.tag) << u8(Nul::UString(c.uri));
        EXPECT_EQ(QueryUtil::bucket_wire_resource_type(b), c.wire);
        EXPECT_EQ(QueryUtil::bucket_resource_type(b), c.internal);
    }
    // A value with two bits is no kind of its own.
    EXPECT_EQ(QueryUtil::resource_type_of_bucket_type(AD_BUCKET_FOLDER | AD_BUCKET_QUERY), 36);
    EXPECT_EQ(QueryUtil::resource_type_of_bucket_type(0), 36);
}

TEST_F(QueryUtilTest, SelectorDbidTextAndChildren) {
    AdSessionPtr s = alice();
    AdBucketPtr defects = at(s, L"Public Queries/Defects");
    std::string const dbid = std::to_string(defects->GetDbId());
    EXPECT_EQ(u8(QueryUtil::bucket_dbid_string(defects)), dbid);
    EXPECT_EQ(u8(QueryUtil::bucket_selector(s, defects)), "kx.repo.kx-queryfolder:" + dbid + "@KXDEMO/ISSUE");
    EXPECT_EQ(QueryUtil::child_bucket_ids(defects, QueryUtil::all_items_mask).size(), 3u);
    EXPECT_TRUE(QueryUtil::child_bucket_ids(at(s, L"Public Queries/All Defects"), QueryUtil::all_items_mask).empty());
}

TEST_F(QueryUtilTest, QueryDefinitionOfAnItemThatHasNone) {
    AdSessionPtr s = alice();
    AdQueryDefPtr def;
    QueryUtil::query_def_for_bucket(at(s, L"Public Queries/Defects/Open Defects"), def);
    ASSERT_TRUE(def);
    EXPECT_EQ(u8(Nul::UString(def->GetPrimaryEntity()->GetName().GetString())), "Defect");
    try {
        QueryUtil::query_def_for_bucket(at(s, L"Public Queries/Defects/Defect Summary"), def);
        FAIL();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(static_cast<int>(e.stp_reason_code()), 40);
        EXPECT_EQ(
            u8(exception_message_text(e)).rfind("TLQSV0709E Cannot load query definition from bucket: No query", 0), 0u)
            << u8(exception_message_text(e));
    }
}

namespace {

Bytes query_target(std::string const &uri) { return cat(words({36, 1}), str(uri)); }

} // namespace

TEST_F(QueryUtilTest, ResolveTypeAnswersKindPathAndDbid) {
    auto session = login(L"alice");
    AdBucketPtr slashed = GetWorkspaceMgr(AdSessionPtr(session->session()))->GetBucket(slashed_);
    kxtest::Outcome out =
        call<ResolveTypeArg>(kxrpc_resolve_type, cat(header(session), query_target("Public Queries/a%/b%%c")));
    ASSERT_TRUE(out.result) << out.message();
    EXPECT_EQ(out.reply(), cat(cat(words({1016}), str("Public Queries/a%/b%%c")), str(std::to_string(slashed_))));

    out = call<ResolveTypeArg>(kxrpc_resolve_type, cat(header(session), query_target("Public Queries/Nothing here")));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.reason(), 53) << out.message();
}

TEST_F(QueryUtilTest, ResolveTypeConvertsEveryProductFailure) {
    auto session = login(L"alice");
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("AdFolder::GetChildBucketIds", kxtest::fault(kind, 13224, L"workspace unreadable"));
        kxtest::Outcome out =
            call<ResolveTypeArg>(kxrpc_resolve_type, cat(header(session), query_target("Public Queries/All Defects")));
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.reason(), 40);
        EXPECT_EQ(out.message(), "TLQSV0751E Server error: Unexpected exception: workspace unreadable");
    }
    // The lock was released on each way out.
    EXPECT_TRUE(call<ResolveTypeArg>(kxrpc_resolve_type, cat(header(session), query_target("Public Queries"))).result);
}

TEST_F(QueryUtilTest, SelectorsOfTheSessionsRepositoryNameRecordTypes) {
    AdSessionPtr s = alice();
    TargetResourceArg by_name =
        QueryUtil::object_id_from_selector(s, Nul::Selector(Nul::UString(L"kx.record:Defect@KXDEMO/ISSUE")));
    EXPECT_EQ(by_name.type(), 31);
    EXPECT_EQ(u8(by_name.first_name_segment()), "Defect");
    TargetResourceArg by_dbid =
        QueryUtil::object_id_from_selector(s, Nul::Selector(Nul::UString(L"kx.repo.kx-rectype:42@KXDEMO/ISSUE")));
    EXPECT_TRUE(by_dbid.is_marshalled_by_dbid());
    EXPECT_EQ(by_dbid.dbid_segment(0), 42u);
    try {
        QueryUtil::object_id_from_selector(s, Nul::Selector(Nul::UString(L"kx.repo.kx-rectype:x42@KXDEMO/ISSUE")));
        ADD_FAILURE();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(static_cast<int>(e.stp_reason_code()), 40);
    }
    try {
        QueryUtil::check_repository_selector(s, Nul::Selector(Nul::UString(L"kx.record:Defect@KXDEMO/TEST")));
        ADD_FAILURE();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(static_cast<int>(e.stp_reason_code()), 4);
        EXPECT_EQ(u8(exception_message_text(e)),
                  "TLQSV0732E Repository of referenced field, kx.record:Defect@KXDEMO/TEST, should be 'KXDEMO/ISSUE'");
    }
}
