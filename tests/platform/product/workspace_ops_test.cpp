// Moves, renames and walks of the workspace; the oplog; record-type look-ups; full-text search.
#include <sqlite3.h>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

KXSmartPtr<KXSession> logon(const wchar_t *user) {
    auto s = KXSession::Build();
    s->WebUserLogon(user, user, L"server", L"", L"ISSUE", L"KXDEMO");
    return s;
}

void sql(const std::string &statement) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::vector<std::wstring> paths_below(const AdSessionPtr &s, const CString &path) {
    auto mgr = GetWorkspaceMgr(s);
    mgr->RefreshEntireWorkspace(0);
    std::vector<std::wstring> out;
    std::vector<AdBucketPtr> todo{mgr->LookupBucketByPathName(s->GetSessionUserId(), path)};
    while (!todo.empty()) {
        AdBucketPtr b = todo.back();
        todo.pop_back();
        out.push_back(b->GetPathName().str());
        for (int64_t id : b->GetChildBucketIds()) todo.push_back(mgr->GetBucket(id));
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

using WorkspaceOpsTest = ProductTest;

TEST_F(WorkspaceOpsTest, MoveIntoItsOwnSubtreeOrOfATopFolderChangesNothing) {
    auto s = logon(L"admin");
    AdSessionPtr real = s->GetReal();
    auto mgr = GetWorkspaceMgr(real);
    sql("INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, folder_type)"
        " SELECT 77, database_dbid, dbid, 'Inner', 4, 1 FROM buckets WHERE name='Defects'");
    auto before = paths_below(real, L"Public Queries");
    AdBucketPtr defects = mgr->LookupBucketByPathName(0, L"Public Queries/Defects");
    for (const wchar_t *to : {L"Public Queries/Defects/Defects", L"Public Queries/Defects/Inner/Defects"}) {
        auto [id, text] = expect_kx([&] { mgr->MoveBucket(defects, to, TRUE); });
        EXPECT_EQ(id, KX_MSG_BAD_VALUE) << to;
    }
    auto [id, text] = expect_kx(
        [&] { mgr->MoveBucket(GetTopWorkspaceFolder(real, AD_PUBLIC_FOLDER, 0), L"Public Queries/Defects/X", TRUE); });
    EXPECT_EQ(id, KX_MSG_BAD_VALUE);
    EXPECT_EQ(paths_below(real, L"Public Queries"), before);
}

TEST_F(WorkspaceOpsTest, MoveChecksRightsNamesAndOverwritesInOneStep) {
    auto carol = logon(L"carol"); // QA: reads the Defects folder, writes nothing public
    auto cm = GetWorkspaceMgr(carol->GetReal());
    AdBucketPtr open = cm->LookupBucketByPathName(0, L"Public Queries/Defects/Open Defects");
    EXPECT_EQ(expect_kx([&] { cm->MoveBucket(open, L"Public Queries/Defects/Renamed", FALSE); }).first,
              KX_MSG_NOT_PRIVILEGED);

    auto alice = logon(L"alice"); // Developers write Defects, not the public top folder
    auto am = GetWorkspaceMgr(alice->GetReal());
    open = am->LookupBucketByPathName(0, L"Public Queries/Defects/Open Defects");
    EXPECT_EQ(expect_kx([&] { am->MoveBucket(open, L"Public Queries/Open Defects", FALSE); }).first,
              KX_MSG_NOT_PRIVILEGED);
    EXPECT_EQ(expect_kx([&] { am->MoveBucket(open, L"Public Queries/Defects/Defect Summary", FALSE); }).first,
              KX_MSG_BAD_WORKSPACE_NAME);
    EXPECT_EQ(expect_pamsg([&] { am->MoveBucket(open, L"Public Queries/Nowhere/X", FALSE); }).first, KX_MSG_NOT_FOUND);
    for (const wchar_t *to :
         {L"Public Queries/Defects/..", L"Public Queries/Defects/.", L"Public Queries/Defects/a\nb"})
        EXPECT_EQ(expect_kx([&] { am->MoveBucket(open, to, FALSE); }).first, KX_MSG_BAD_WORKSPACE_NAME);
    AdBucketPtr moved = am->MoveBucket(open, L"Public Queries/Defects/Opened", FALSE);
    EXPECT_EQ(moved->GetDbId(), open->GetDbId());
    EXPECT_EQ(moved->GetPathName(), L"Public Queries/Defects/Opened");

    // Overwrite replaces the other item; the personal folder's owner becomes the owner.
    auto admin = logon(L"admin");
    auto mm = GetWorkspaceMgr(admin->GetReal());
    AdBucketPtr summary = mm->LookupBucketByPathName(0, L"Public Queries/Defects/Defect Summary");
    mm->MoveBucket(mm->GetBucket(open->GetDbId()), L"Public Queries/Defects/Defect Summary", TRUE);
    mm->RefreshEntireWorkspace(0);
    EXPECT_FALSE(mm->GetBucket(summary->GetDbId()));
    EXPECT_EQ(mm->LookupBucketByPathName(0, L"Public Queries/Defects/Defect Summary")->GetDbId(), open->GetDbId());
    AdBucketPtr mine = am->MoveBucket(am->GetBucket(open->GetDbId()), L"Personal Queries/Mine", FALSE);
    EXPECT_EQ(mine->GetUserId(), alice->GetReal()->GetSessionUserId());
    EXPECT_TRUE(AdFolder::LookupFolderFromBucket(mine->GetParent())->IsWritable());
}

TEST_F(WorkspaceOpsTest, RenameRefusals) {
    auto alice = logon(L"alice");
    auto ws = alice->GetWorkSpace();
    auto mgr = GetWorkspaceMgr(alice->GetReal());
    int64_t open = mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Open Defects")->GetDbId();
    int64_t all = mgr->LookupBucketByPathName(0, L"Public Queries/All Defects")->GetDbId();
    int64_t top = GetTopWorkspaceFolder(alice->GetReal(), AD_PUBLIC_FOLDER, 0)->GetDbId();
    struct Case {
        int64_t dbid;
        const wchar_t *name;
        int msg;
        bool pamsg;
    } cases[] = {
        {open, L"a/b", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L".", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"..", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"two\nlines", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"tab\there", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"del\x7f", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"c1\x85", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open,
         L"txt.\x202E"
         L"exe",
         KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"\x2066isolate\x2069", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"mark\x200F", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"line\x2028sep", KX_MSG_BAD_WORKSPACE_NAME, false},
        {open, L"Defect Summary", KX_MSG_BAD_WORKSPACE_NAME, false},
        {top, L"Top", KX_MSG_BAD_WORKSPACE_NAME, false},
        {all, L"Everything", KX_MSG_NOT_PRIVILEGED, false},
        {424242, L"X", KX_MSG_NOT_FOUND, true},
    };
    for (const Case &c : cases) {
        int got = c.pamsg ? expect_pamsg([&] { ws->RenameWorkspaceItemByDbId(c.dbid, c.name); }).first
                          : expect_kx([&] { ws->RenameWorkspaceItemByDbId(c.dbid, c.name); }).first;
        EXPECT_EQ(got, c.msg) << c.dbid << " " << CString(c.name).ToUtf8();
    }
    // Dots inside a name, and right-to-left letters without an override, are names like any other.
    EXPECT_EQ(ws->RenameWorkspaceItemByDbId(open, L"...v1.2"), 1);
    EXPECT_EQ(ws->RenameWorkspaceItemByDbId(open, L"\x05E9\x05DC\x05D5\x05DD"), 1);
    EXPECT_EQ(ws->RenameWorkspaceItemByDbId(open, L"Open Ones"), 1);
    mgr->RefreshEntireWorkspace(0);
    EXPECT_EQ(mgr->GetBucket(open)->GetPathName(), L"Public Queries/Defects/Open Ones");
}

TEST_F(WorkspaceOpsTest, ChildIdsByMaskAndRefreshSeeOtherSessions) {
    auto alice = logon(L"alice");
    auto mgr = GetWorkspaceMgr(alice->GetReal());
    AdFolderPtr folder = AdFolder::LookupFolderFromBucket(mgr->LookupBucketByPathName(0, L"Public Queries/Defects"));
    std::vector<int64_t> ids;
    folder->GetChildBucketIds(ids, AD_BUCKET_QUERY | AD_BUCKET_CHART);
    EXPECT_EQ(ids.size(), 2u);
    folder->GetChildBucketIds(ids, AD_BUCKET_REPORT);
    ASSERT_EQ(ids.size(), 1u);
    auto bob = logon(L"bob");
    bob->GetWorkSpace()->RenameWorkspaceItemByDbId(ids[0], L"Summary");
    sql("DELETE FROM buckets WHERE name='Open Defects'");
    folder->GetChildBucketIds(ids, 0xffff);
    EXPECT_EQ(ids.size(), 3u); // the session's picture until refreshed
    folder->Refresh(1);
    folder->GetChildBucketIds(ids, 0xffff);
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Summary")->GetType(), AD_BUCKET_REPORT);
}

TEST_F(WorkspaceOpsTest, OplogRangeEntriesAndBounds) {
    auto alice = logon(L"alice");
    sql("DELETE FROM oplog");
    CString first, last;
    alice->GetOplogSerialNumberRange(first, last);
    EXPECT_EQ(first, L"1");
    EXPECT_EQ(last, L"0");
    sql("INSERT INTO oplog(seq, database_dbid, user_dbid, at, operation, detail)"
        " SELECT 10 + value, d.dbid, u.dbid, '2026-02-01 10:00:00', 'Modify', 'ISSUE<' || value || '>'"
        " FROM (WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n WHERE value < 12) SELECT value "
        "FROM n),"
        " databases d, users u WHERE d.name='ISSUE' AND u.login_name='bob'");
    sql("INSERT INTO oplog(seq, database_dbid, at, operation) SELECT 100, dbid, 'x', 'Submit' FROM databases WHERE "
        "name='TEST'");
    alice->GetOplogSerialNumberRange(first, last);
    EXPECT_EQ(first, L"11");
    EXPECT_EQ(last, L"22");
    auto text = alice->GetOplogs(20, 4000000000u, 1);
    ASSERT_EQ(text.size(), 3u); // 20, 21, 22: the count allocates nothing by itself
    EXPECT_EQ(text[0], L"20\t2026-02-01 10:00:00\tbob\tModify\t\t\tISSUE<10>");
    auto xml = alice->GetOplogs(11, 1, 2);
    ASSERT_EQ(xml.size(), 1u);
    EXPECT_EQ(xml[0],
              L"<oplog-entry serial=\"11\" at=\"2026-02-01 10:00:00\" user=\"bob\" action=\"Modify\" record-type=\"\""
              L" record-dbid=\"\" record=\"ISSUE&lt;1&gt;\"/>");
    EXPECT_EQ(expect_kx([&] { alice->GetOplogs(11, 1, 3); }).first, KX_MSG_BAD_VALUE);
    // The UTF-8 entries are the wide ones, also where the stored bytes are not well formed.
    sql("UPDATE oplog SET detail = CAST(X'C3BC41FF42' AS TEXT) WHERE seq = 21");
    for (int format : {1, 2}) {
        auto wide = alice->GetOplogs(20, 3, format);
        auto utf8 = alice->GetOplogsUtf8(20, 3, format);
        ASSERT_EQ(utf8.size(), wide.size());
        for (size_t i = 0; i < wide.size(); ++i) EXPECT_EQ(utf8[i], wide[i].ToUtf8()) << format << " " << i;
        EXPECT_NE(utf8[1].find("\xc3\xbc"
                               "A\xef\xbf\xbd"
                               "B"),
                  std::string::npos)
            << utf8[1];
    }
}

TEST_F(WorkspaceOpsTest, RecordTypeOfARecordByDbIdAndName) {
    auto alice = logon(L"alice");
    AdSessionPtr real = alice->GetReal();
    AdEntityPtr apollo;
    CString error;
    AdEntityMgr::Get(real)->LookupEntityWithStatus(LookupEntityDef(real, L"Project"), L"Apollo", apollo, error, 1);
    ASSERT_TRUE(apollo);
    struct Case {
        std::vector<CString> names;
        int kind;
        const wchar_t *expect;
    } cases[] = {
        {{}, 3, L"Project"},          {{}, AD_STATELESS, L"Project"},           {{}, AD_STATEFUL, nullptr},
        {{L"AllIssues"}, 3, nullptr}, {{L"Defect", L"Project"}, 3, L"Project"},
    };
    for (const Case &c : cases) {
        AdEntityDef *by_dbid = GetEntityDefOfDbId(real, apollo->GetDbId(), c.names, c.kind);
        AdEntityDef *by_name = GetEntityDefOfName(real, L"Apollo", c.names, c.kind);
        EXPECT_EQ(by_dbid ? by_dbid->GetName().str() : L"-", c.expect ? c.expect : L"-");
        EXPECT_EQ(by_name, by_dbid);
    }
    EXPECT_EQ(GetEntityDefOfDbId(real, 1, {}, 3), nullptr);
    EXPECT_EQ(expect_pamsg([&] { GetEntityDefOfName(real, L"Apollo", {L"Nope"}, 3); }).first, KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_kx([&] { GetEntityDefOfName(real, L"Apollo", {}, 4); }).first, KX_MSG_BAD_VALUE);
}

namespace {

std::vector<std::wstring> search(const KXSmartPtr<KXSession> &s, const wchar_t *text, int page_size, int page,
                                 int *total = nullptr) {
    auto def = s->BuildTextSearchDef(KX_TEXT_SEARCH_RECORDS);
    def->SetSearchString(text);
    auto result = s->BuildTextSearchResult(def);
    result->SetPageSize(page_size);
    result->SetPage(page);
    result->SetDisplayFieldNames({L"Headline", L"Name"});
    result->Execute();
    if (total) *total = result->GetTotalHits();
    std::vector<std::wstring> out;
    for (int i = 0; auto hit = result->GetHits()->GetHit(i); ++i) {
        EXPECT_EQ(hit->GetIndexedVersion(), hit->GetVersion());
        EXPECT_GT(hit->GetScore(), 0);
        EXPECT_EQ(hit->GetDisplayFieldNames().size(), 1u);
        out.push_back(hit->GetDisplayName().str() + L"=" + hit->GetDisplayFieldValues().at(0).str());
    }
    return out;
}

} // namespace

TEST_F(WorkspaceOpsTest, SearchPagesAddUpToTheWholeResult) {
    auto alice = logon(L"alice");
    int total = 0;
    auto all = search(alice, L"the OR crash", 1000, 1, &total);
    ASSERT_GT(total, 3);
    EXPECT_EQ(static_cast<int>(all.size()), total);
    for (int size : {1, 2, 3}) {
        std::vector<std::wstring> pages;
        for (int page = 1; (page - 1) * size < total + size; ++page) {
            auto part = search(alice, L"the OR crash", size, page);
            EXPECT_LE(static_cast<int>(part.size()), size);
            pages.insert(pages.end(), part.begin(), part.end());
        }
        EXPECT_EQ(pages, all) << size;
    }
    EXPECT_EQ(search(alice, L"Apollo AND line", 10, 1), std::vector<std::wstring>{L"Apollo=Apollo"});
}

TEST_F(WorkspaceOpsTest, SearchTextIsBoundedInLengthAndTerms) {
    auto alice = logon(L"alice");
    // n terms "zq*" (found nowhere), joined by " OR ": operators count as terms too.
    auto ors = [](int n) {
        std::wstring t = L"zq*";
        while (--n > 0) t += L" OR zq*";
        return t;
    };
    const struct {
        std::wstring text;
        bool taken;
        const wchar_t *why;
    } cases[] = {
        {ors((KXTextSearchDef::kMaxSearchTerms + 1) / 2), true, nullptr}, // 2n-1 terms, just under the bound
        {ors((KXTextSearchDef::kMaxSearchTerms + 1) / 2 + 1), false, L"more than 64 terms"},
        {L"\"" + std::wstring(KXTextSearchDef::kMaxSearchTerms, L'a') + L"\"", true, nullptr}, // one long term
        {[] {
             std::wstring t = L"\"";
             for (int i = 0; i <= KXTextSearchDef::kMaxSearchTerms; ++i) t += L"b.";
             return t + L"\"";
         }(),
         false, L"more than 64 terms"}, // a phrase's words are terms
        {std::wstring(KXTextSearchDef::kMaxSearchBytes, L'c'), true, nullptr},
        {std::wstring(KXTextSearchDef::kMaxSearchBytes + 1, L'c'), false, L"longer than 4096 bytes"},
        {std::wstring(KXTextSearchDef::kMaxSearchBytes / 2, L'\u00e9') + L"e", false,
         L"longer than 4096 bytes"}, // bytes of UTF-8
    };
    for (const auto &c : cases) {
        if (c.taken) {
            search(alice, c.text.c_str(), 10, 1);
            continue;
        }
        auto [id, text] = expect_pamsg([&] { search(alice, c.text.c_str(), 10, 1); });
        EXPECT_EQ(id, KX_MSG_BAD_SEARCH);
        EXPECT_NE(text.find(c.why), std::wstring::npos) << CString(text.c_str()).ToUtf8();
    }
}

TEST_F(WorkspaceOpsTest, SearchTextIsAParameterAndBadSyntaxIsCatalogued) {
    auto alice = logon(L"alice");
    for (const wchar_t *bad : {L"x' OR 1=1 --", L"\"unterminated", L"AND"})
        EXPECT_EQ(expect_pamsg([&] { search(alice, bad, 10, 1); }).first, KX_MSG_BAD_SEARCH) << CString(bad).ToUtf8();
    EXPECT_TRUE(alice->IsTextSearchEnabled());
    sql("INSERT INTO meta VALUES('fulltext_enabled', '0')");
    EXPECT_FALSE(alice->IsTextSearchEnabled());
    // A choice-list search finds what the record's reference field may name.
    AdEntityPtr first, defect;
    CString error;
    AdEntityMgr::Get(alice->GetReal())
        ->LookupEntityWithStatus(LookupEntityDef(alice->GetReal(), L"Defect"), L"ISSUE00000001", first, error, 1);
    ASSERT_TRUE(first);
    defect = alice->GetEntityByDbId(L"Defect", first->GetDbId());
    auto def = alice->BuildTextSearchDef(KX_TEXT_SEARCH_CHOICE_LIST);
    def->SetSearchString(L"line");
    def->SetChoiceListFilter(defect, L"Project");
    auto result = alice->BuildTextSearchResult(def);
    result->Execute();
    EXPECT_EQ(result->GetTotalHits(), 3);
    EXPECT_EQ(expect_pamsg([&] { alice->GetEntityByDbId(L"Defect", 1); }).first, KX_MSG_NOT_FOUND);
}
