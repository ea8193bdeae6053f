// The query engine: display fields and filter trees compiled to bound SQL, result sets paged by
// key, and the record history read as a record type (the creation date of a record).
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "query_rows.h"
#include "test_support.h"

namespace {

using Rows = std::vector<std::vector<std::wstring>>;

Rows run(const AdSessionPtr &s, const AdQueryDefPtr &q) {
    AdResultSetPtr rs = BuildResultSet(s, q);
    rs->Execute();
    return result_rows(rs);
}

AdQueryDefPtr query(const AdSessionPtr &s, AdEntityDef *def, std::initializer_list<const wchar_t *> fields) {
    AdQueryDefPtr q = BuildQueryDef(s, def, 0);
    for (const wchar_t *f : fields) q->BuildField(f);
    return q;
}

// The creation date as the record fetcher asks for it: the history row of the record's submit or
// import action.
Rows creation(const AdSessionPtr &s, const AdEntityPtr &e) {
    AdQueryDefPtr q = query(s, GetHistoryEntityDef(s), {kHistoryActionTimestamp});
    AdFilterNode *all = q->BuildFilter(nullptr, AD_BOOL_OP_AND, 1);
    q->BuildFilter(all, kHistoryEntityDbId, AD_COMP_OP_EQ, {CString(std::to_wstring(e->GetDbId()))}, 0);
    q->BuildFilter(all, kHistoryEntityDefDbId, AD_COMP_OP_EQ, {CString(std::to_wstring(e->GetEntityDef()->GetDbId()))},
                   0);
    AdFilterNode *any = q->BuildFilter(all, AD_BOOL_OP_OR, 0);
    for (const wchar_t *action : {L"Submit", L"Import"})
        q->BuildFilter(any, kHistoryActionName, AD_COMP_OP_EQ, {action}, 0);
    return run(s, q);
}

class QueryEngineTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    AdSessionPtr logon(const wchar_t *db = L"ISSUE", const wchar_t *set = L"KXDEMO") {
        session_ = KXSession::Build();
        session_->WebUserLogon(L"admin", L"admin", L"h", L"", db, set);
        return session_->GetReal();
    }
    AdEntityPtr find(const AdSessionPtr &s, const wchar_t *type, const wchar_t *name) {
        AdEntityPtr e;
        CString error;
        AdEntityMgr::Get(s)->LookupEntityWithStatus(LookupEntityDefOrFamily(s, type), name, e, error, 0);
        return e;
    }
    KXSmartPtr<KXSession> session_;
};

} // namespace

TEST_F(QueryEngineTest, CreationDateFromTheHistory) {
    AdSessionPtr s = logon();
    const std::pair<const wchar_t *, const wchar_t *> loaded[] = {{L"ISSUE00000001", L"2026-01-10 10:00:00"},
                                                                  {L"ISSUE00000004", L"2026-04-13 13:00:00"}};
    for (const auto &[name, created] : loaded)
        EXPECT_EQ(creation(s, find(s, L"Defect", name)), Rows{{created}}) << name;
    // Later actions leave the creation alone; a new record gets its own.
    AdEntityPtr e = find(s, L"Defect", L"ISSUE00000001");
    EditEntity(e, L"Modify");
    e->SetFieldValue(L"Owner", L"bob");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_EQ(creation(s, e), (Rows{{L"2026-01-10 10:00:00"}}));
    AdEntityPtr fresh = BuildEntity(s, LookupEntityDef(s, L"Project"));
    fresh->SetFieldValue(L"Name", L"Delta");
    ASSERT_EQ(fresh->Commit(), L"");
    Rows rows = creation(s, fresh);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].size(), 19u);
}

TEST_F(QueryEngineTest, FiltersSelectWhatAScanFinds) {
    AdSessionPtr s = logon();
    for (const wchar_t *type : {L"Defect", L"AllIssues"}) {
        AdEntityDef *def = LookupEntityDefOrFamily(s, type);
        Rows all = run(s, query(s, def, {L"id", L"State", L"Severity"}));
        ASSERT_GT(all.size(), 5u);
        for (const auto &[field, column] : {std::pair{L"State", 1}, std::pair{L"Severity", 2}}) {
            const std::wstring wanted = all[3][column];
            Rows expected;
            for (const auto &r : all)
                if (r[column] == wanted) expected.push_back(r);
            AdQueryDefPtr q = query(s, def, {L"id", L"State", L"Severity"});
            q->BuildFilter(nullptr, field, AD_COMP_OP_EQ, {CString(wanted.c_str())}, 1);
            EXPECT_EQ(run(s, q), expected) << CString(type).ToUtf8() << " " << CString(field).ToUtf8();
        }
    }
}

TEST_F(QueryEngineTest, PagesByKeyWithValuesBoundNotSpliced) {
    ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
    std::string xml =
        R"(<kxdefinition name="MANY"><database name="DB"/><user login="admin" password="admin" privileges="super-user"/>
    <record-type name="Thing"><field name="Name" type="short-string" unique-key="1"/><field name="Note" type="short-string"/>
    <action name="Submit" type="submit"/></record-type>)";
    const int kRecords = 700; // more than two pages
    for (int i = 0; i < kRecords; ++i)
        xml += "<record type=\"Thing\"><value field=\"Name\">n" + std::to_string(i) + "</value><value field=\"Note\">" +
               (i == 3 ? "it's \"quoted\"" : "plain") + "</value></record>";
    KXProductStore::CreateFromDefinition(xml + "</kxdefinition>", data_);
    AdSessionPtr s = logon(L"DB", L"MANY");
    AdEntityDef *def = LookupEntityDef(s, L"Thing");
    AdResultSetPtr rs = BuildResultSet(s, query(s, def, {L"dbid", L"Name"}));
    rs->Execute();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"MANY").c_str(), &db), SQLITE_OK);
    long long last = 0;
    int count = 0;
    while (rs->MoveNext() == AD_SUCCESS) {
        CString dbid;
        ASSERT_TRUE(rs->GetColumnValue(1, dbid));
        EXPECT_GT(std::stoll(dbid.ToUtf8()), last);
        last = std::stoll(dbid.ToUtf8());
        if (++count % 300 == 0) {
            // Between calls no read transaction holds an old snapshot: after a write elsewhere a full
            // checkpoint still gets through.
            ASSERT_EQ(sqlite3_exec(db, "INSERT OR REPLACE INTO meta VALUES('probe', 'x')", nullptr, nullptr, nullptr),
                      SQLITE_OK);
            int log = -1, done = -2;
            EXPECT_EQ(sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &log, &done), SQLITE_OK);
        }
    }
    sqlite3_close(db);
    EXPECT_EQ(count, kRecords);
    EXPECT_EQ(rs->MoveNext(), AD_NO_DATA_FOUND);
    for (const wchar_t *note : {L"it's \"quoted\"", L"' OR 1=1 --"}) {
        AdQueryDefPtr q = query(s, def, {L"Name"});
        q->BuildFilter(nullptr, L"Note", AD_COMP_OP_EQ, {note}, 1);
        EXPECT_EQ(run(s, q), std::wstring(note).front() == L'i' ? Rows{{L"n3"}} : Rows{});
    }
}

TEST_F(QueryEngineTest, RefusalsNameTheirMessage) {
    AdSessionPtr s = logon();
    AdEntityDef *defect = LookupEntityDef(s, L"Defect");
    const struct {
        const char *what;
        int msg_id;
        std::function<void()> call;
    } kx_cases[] = {
        {"unknown field", KX_MSG_NOT_FOUND, [&] { query(s, defect, {L"NoSuchField"}); }},
        {"attachments", KX_MSG_BAD_VALUE, [&] { query(s, defect, {L"Attachments"}); }},
        {"no display fields", KX_MSG_QUERY_FAILED, [&] { run(s, query(s, defect, {})); }},
        {"between with one value", KX_MSG_QUERY_FAILED,
         [&] {
             auto q = query(s, defect, {L"id"});
             q->BuildFilter(nullptr, L"Estimate", AD_COMP_OP_BETWEEN, {}, 1)->AddValue(L"3");
             run(s, q);
         }},
        {"no operator", KX_MSG_QUERY_FAILED,
         [&] {
             auto q = query(s, defect, {L"id"});
             q->BuildFilter(nullptr, L"Estimate", AD_COMP_OP_UNSPECIFIED, {L"3"}, 1);
             run(s, q);
         }},
        {"filter without value", KX_MSG_QUERY_FAILED,
         [&] {
             auto q = query(s, defect, {L"id"});
             q->BuildFilter(nullptr, L"State", AD_COMP_OP_EQ, {}, 1);
             run(s, q);
         }},
        {"node operator", KX_MSG_BAD_VALUE, [&] { query(s, defect, {})->BuildFilter(nullptr, 3, 1); }},
        {"next before execute", KX_MSG_QUERY_FAILED, [&] { BuildResultSet(s, query(s, defect, {L"id"}))->MoveNext(); }},
    };
    for (const auto &c : kx_cases) EXPECT_EQ(expect_kx(c.call).first, c.msg_id) << c.what;
    for (const auto &[field, op] : {std::pair{L"State", 15}, std::pair{L"Attachments", 1}})
        EXPECT_EQ(expect_pamsg([&] { query(s, defect, {})->BuildFilter(nullptr, field, op, {}, 1); }).first,
                  KX_MSG_BAD_VALUE);
    AdResultSetPtr rs = BuildResultSet(s, query(s, defect, {L"id"}));
    rs->Execute();
    session_->Unbuild();
    EXPECT_EQ(expect_kx([&] { rs->MoveNext(); }).first, KX_MSG_SESSION_ENDED);
}

TEST_F(QueryEngineTest, CopiesAreIndependent) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = query(s, LookupEntityDef(s, L"Defect"), {L"id"});
    q->BuildFilter(q->BuildFilter(nullptr, AD_BOOL_OP_OR, 1), L"State", AD_COMP_OP_EQ, {L"Opened"}, 0)
        ->SetPrompt(L"state?");
    AdQueryDefPtr copy = CopyQueryDef(s, q);
    copy->BuildFilter(copy->GetTopFilterNode(), L"State", AD_COMP_OP_EQ, {L"Closed"}, 0);
    EXPECT_EQ(q->GetTopFilterNode()->NumChildren(), 1);
    EXPECT_EQ(copy->GetTopFilterNode()->GetChild(0)->AsFieldFilter()->GetPrompt(), L"state?");
    EXPECT_LT(run(s, q).size(), run(s, copy).size());
}
