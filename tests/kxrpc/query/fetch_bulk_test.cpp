// kxrpc_fetch_bulk: the item texts of a folder, and what gives an empty list.
#include "query/fetch_bulk.h"

#include "handler_env.h"
#include "query/requests.h"
#include "set_file.h"
#include "target/queryutil.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

class FetchBulk : public kxtest::HandlerTest {
protected:
    std::vector<std::string> fetch(std::shared_ptr<LoginSession> const &session, Bytes const &target,
                                   kxtest::Outcome *outcome = nullptr) {
        kxtest::Outcome out = call<FetchBulkArg>(kxrpc_fetch_bulk, cat(header(session), target));
        std::vector<std::string> texts;
        if (out.result) {
            Bytes reply = out.reply();
            EXPECT_TRUE(kxtest::decode(reply, [&](XDR *x) {
                int n = 0;
                if (!xdr_int(x, &n)) return FALSE;
                for (int i = 0; i < n; ++i) {
                    char *s = nullptr;
                    if (!xdr_string(x, &s, ~0u)) return FALSE;
                    texts.emplace_back(s);
                    xdr_free(reinterpret_cast<xdrproc_t>(xdr_string), reinterpret_cast<char *>(&s));
                }
                return TRUE;
            }));
        }
        if (outcome) *outcome = std::move(out);
        return texts;
    }
    static Bytes folder(std::string const &uri) { return cat(words({37, 1}), str(uri)); }
    static std::string dbid_of(std::shared_ptr<LoginSession> const &s, wchar_t const *uri) {
        AdBucketPtr b;
        QueryUtil::get_bucket_for_uri(AdSessionPtr(s->session()), Nul::UString(uri), b);
        return b ? std::to_string(b->GetDbId()) : "";
    }
    static std::string element(std::string const &tag, std::string const &value) {
        return "<" + tag + ">" + value + "<" + tag + ">";
    }
    // Every element in its order; the ones that depend on the kind given by the caller.
    static std::string expected(std::string const &uri, std::string const &name, std::string const &dbid,
                                std::string const &by_kind, std::string const &stable_type) {
        return element("TEAM:display-name", name) +
               element("CTG:object-name-selector", "kx.query:" + uri + "@KXDEMO/ISSUE") +
               element("CTG:object-name", name) + element("CTG:repository-name", "KXDEMO/ISSUE") + by_kind +
               element("CTG:object-stable-location", "kx.repo." + stable_type + ":" + dbid + "@KXDEMO/ISSUE") +
               element("CTG:resource-id", dbid) + element("TEAM:href", uri) + element("KX:kx-master-replica", "local") +
               element("KX:dbset", "KXDEMO");
    }
};

} // namespace

TEST_F(FetchBulk, EachKindOfItemHasItsMarkers) {
    auto alice = login(L"alice");
    std::vector<std::string> texts = fetch(alice, folder("Public Queries/Defects"));
    std::string const rectype = element("CTG:primary-record-type", "kx.record:Defect@KXDEMO/ISSUE");
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0],
              expected("Public Queries/Defects/Open Defects", "Open Defects",
                       dbid_of(alice, L"Public Queries/Defects/Open Defects"),
                       rectype + element("CTG:query-type", "CTG:query") + element("CTG:resource-type", "RES:kx-query"),
                       "kx-query"));
    EXPECT_EQ(texts[1],
              expected("Public Queries/Defects/Defects by Severity", "Defects by Severity",
                       dbid_of(alice, L"Public Queries/Defects/Defects by Severity"),
                       rectype + element("CTG:query-type", "CTG:chart") + element("CTG:resource-type", "RES:kx-query"),
                       "kx-query"));
    EXPECT_EQ(texts[2], expected("Public Queries/Defects/Defect Summary", "Defect Summary",
                                 dbid_of(alice, L"Public Queries/Defects/Defect Summary"),
                                 rectype + element("CTG:query-type", "CTG:report") +
                                     element("CTG:resource-type", "RES:kx-report"),
                                 "kx-report"));

    texts = fetch(alice, folder("Public Queries/Report Formats"));
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], expected("Public Queries/Report Formats/Summary Format", "Summary Format",
                                 dbid_of(alice, L"Public Queries/Report Formats/Summary Format"),
                                 element("CTG:parent-record-type", "kx.record:Defect@KXDEMO/ISSUE") +
                                     element("CTG:query-type", "CTG:report-format") +
                                     element("CTG:resource-type", "RES:kx-report-format"),
                                 "kx-report-format"));
}

TEST_F(FetchBulk, FoldersTellWhetherTheUserMayWriteThem) {
    std::string const defects = "<TEAM:display-name>Defects<TEAM:display-name>";
    auto find = [&](std::vector<std::string> const &texts) {
        for (auto const &t : texts)
            if (t.rfind(defects, 0) == 0) return t;
        return std::string();
    };
    std::string carol = find(fetch(login(L"carol"), folder("Public Queries")));
    std::string alice = find(fetch(login(L"alice"), folder("Public Queries")));
    EXPECT_NE(carol.find(element("CTG:is-writable", "false") + element("CTG:resource-type", "RES:kx-queryfolder")),
              std::string::npos)
        << carol;
    EXPECT_NE(alice.find(element("CTG:is-writable", "true")), std::string::npos) << alice;
    EXPECT_EQ(alice.find("CTG:query-type"), std::string::npos);
}

TEST_F(FetchBulk, NotAFolderAnUnreadableFolderAndAnEmptyOneGiveEmptyLists) {
    auto alice = login(L"alice");
    auto bob = login(L"bob");
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    kxtest::Outcome out;
    EXPECT_TRUE(fetch(alice, cat(words({36, 1}), str("Public Queries/All Defects")), &out).empty());
    ASSERT_TRUE(out.result);
    EXPECT_EQ(out.reply(), words({0}));
    // Bob's own folder, named by its dbid, is not found for alice, as a dbid that names nothing.
    std::string work = dbid_of(bob, L"Personal Queries/Work");
    EXPECT_FALSE(fetch(bob, words({37, 2, static_cast<std::uint32_t>(std::stoul(work))})).empty());
    EXPECT_TRUE(fetch(alice, words({37, 2, static_cast<std::uint32_t>(std::stoul(work))}), &out).empty());
    EXPECT_FALSE(out.result);
    EXPECT_EQ(out.reason(), 53);
    EXPECT_NE(out.message().find("TLQSV0781E query object not found"), std::string::npos) << out.message();
    // A public folder of QA only, by its path or its dbid: alice may not read it.
    kxtest::SetFile set;
    std::int64_t const qa = set.add(0, "QA only", AD_BUCKET_FOLDER);
    set.add(qa, "QA query", AD_BUCKET_QUERY);
    set.exec("INSERT INTO bucket_permissions VALUES(" + std::to_string(qa) +
             ",(SELECT dbid FROM groups WHERE name='QA')," + std::to_string(AD_PERM_READ_WRITE) + ")");
    for (Bytes const &target :
         {cat(words({37, 1}), str("Public Queries/QA only")), words({37, 2, static_cast<std::uint32_t>(qa)})}) {
        EXPECT_TRUE(fetch(alice, target, &out).empty());
        ASSERT_TRUE(out.result) << out.message();
        EXPECT_EQ(out.reply(), words({0}));
    }
    std::int64_t empty = set.add(0, "Nothing inside", AD_BUCKET_FOLDER);
    EXPECT_TRUE(fetch(alice, words({37, 2, static_cast<std::uint32_t>(empty)}), &out).empty());
    EXPECT_EQ(out.reply(), words({0}));
    auto has = [&](std::string const &line) {
        for (auto const &l : diag.lines())
            if (l == "KXRPC|" + line) return true;
        return false;
    };
    EXPECT_TRUE(has("Info: (KxRpc::kxrpc_fetch_bulk: Target is not a folder, returning empty response.)"));
    EXPECT_TRUE(has("Info: (KxRpc::kxrpc_fetch_bulk: Target folder is not readable, returning empty response.)"));
    EXPECT_TRUE(has("Info: (KxRpc::kxrpc_fetch_bulk: Target is an empty folder, no fetch will be performed.)"));
}

TEST_F(FetchBulk, AChildRemovedSinceTheFolderWasReadIsSkipped) {
    kxtest::SetFile set;
    std::int64_t folder = set.add(0, "Shrinking", AD_BUCKET_FOLDER);
    std::int64_t doomed = set.add(folder, "Doomed", AD_BUCKET_QUERY);
    AdBucketPtr before = GetWorkspaceMgr(AdSessionPtr(login(L"alice")->session()))->GetBucket(folder);
    ASSERT_EQ(QueryUtil::child_bucket_ids(before, QueryUtil::all_items_mask), (std::vector<std::int64_t>{doomed}));
    set.exec("DELETE FROM buckets WHERE dbid=" + std::to_string(doomed));
    // Another session of the user reads the items after the removal.
    BulkContext context;
    context.session = AdSessionPtr(login(L"alice")->session());
    EXPECT_TRUE(bulk_item_texts(context, before).empty());
}

TEST_F(FetchBulk, ValuesAreEscapedSoANameCannotAddAnElement) {
    auto alice = login(L"alice");
    BulkContext context;
    context.session = AdSessionPtr(alice->session());
    context.login_repository = Nul::UString(L"KXDEMO/ISSUE");
    context.master_replica = Nul::UString(L"<KX:dbset>forged<KX:dbset>");
    context.dbset = Nul::UString(L"A&B");
    AdBucketPtr item;
    QueryUtil::get_bucket_for_uri(context.session, Nul::UString(L"Public Queries/All Defects"), item);
    std::string text = u8(bulk_item_text(context, item));
    EXPECT_EQ(text.find("<KX:dbset>forged"), std::string::npos) << text;
    EXPECT_NE(text.find("&lt;KX:dbset>forged&lt;KX:dbset>"), std::string::npos) << text;
    EXPECT_NE(text.find(element("KX:dbset", "A&amp;B")), std::string::npos) << text;
}

TEST_F(FetchBulk, ProductFailuresAreErrorsAndTheLockIsReleased) {
    auto alice = login(L"alice");
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("AdFolder::IsReadable", kxtest::fault(kind, 13224, L"no folder"));
        kxtest::Outcome out;
        fetch(alice, folder("Public Queries/Defects"), &out);
        EXPECT_EQ(out.reason(), 40);
        EXPECT_EQ(out.message(), "TLQSV0751E Server error: Unexpected exception: no folder");
    }
    EXPECT_EQ(fetch(alice, folder("Public Queries/Defects")).size(), 3u);
}
