// Declared SQL from a client: one read-only statement over the session's own record data; users,
// passwords, the workspace, other databases of the set and every write are refused.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

class DeclaredSqlTest : public ProductTest {
protected:
    AdSessionPtr logon(const wchar_t *db = L"ISSUE") {
        session_ = KXSession::Build();
        session_->WebUserLogon(L"admin", L"admin", L"h", L"", db, L"KXDEMO");
        return session_->GetReal();
    }
    AdResultSetPtr run(const AdSessionPtr &s, const wchar_t *sql) {
        AdQueryDefPtr q = BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0);
        q->SetDeclaredSQL(sql);
        AdResultSetPtr rs = BuildResultSet(s, q);
        try {
            rs->Execute();
        } catch (KXException *e) {
            ADD_FAILURE() << e->GetErrorString().ToUtf8();
            e->Delete();
        }
        return rs;
    }
    // What sqlite3 reads from the set file directly.
    std::vector<std::string> direct(const std::string &sql) {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(KXProductStore::SetPath(L"KXDEMO").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        std::vector<std::string> out;
        sqlite3_exec(
            db, sql.c_str(),
            [](void *o, int, char **v, char **) {
                static_cast<std::vector<std::string> *>(o)->push_back(v[0] ? v[0] : "<null>");
                return 0;
            },
            &out, nullptr);
        sqlite3_close(db);
        return out;
    }
    KXSmartPtr<KXSession> session_;
};

} // namespace

TEST_F(DeclaredSqlTest, ReadsTheSessionsRecordsPageByPage) {
    AdSessionPtr s = logon();
    AdResultSetPtr rs = run(s, L"SELECT r.display_name AS ID, r.dbid AS DBID, (SELECT count(*) FROM field_values v "
                               L"WHERE v.record_dbid=r.dbid) AS n\n"
                               L"  FROM records r JOIN entity_defs e ON e.dbid=r.entity_def_dbid ORDER BY r.dbid;  ");
    ASSERT_EQ(rs->GetNumberOfColumns(), 3);
    EXPECT_EQ(rs->GetColumnLabel(1), L"ID");
    EXPECT_EQ(rs->GetColumnName(2), L"DBID");
    EXPECT_EQ(rs->GetColumnType(2), AD_COLUMN_INT);
    EXPECT_EQ(rs->GetColumnPositionByField(L"id"), 0);
    std::vector<std::string> got;
    while (rs->MoveNext() == AD_SUCCESS) {
        CString v;
        ASSERT_TRUE(rs->GetColumnValue(1, v));
        got.push_back(v.ToUtf8());
        EXPECT_EQ(rs->GetRowEntityDefName(), L"Defect");
    }
    std::vector<std::string> want = direct("SELECT display_name FROM records WHERE database_dbid=(SELECT dbid FROM "
                                           "databases WHERE name='ISSUE') ORDER BY dbid");
    ASSERT_GT(want.size(), 30u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(rs->GetRecordCount(), static_cast<int64_t>(want.size()));
    // Rows of the other user database are not there.
    AdResultSetPtr other = run(logon(L"TEST"), L"SELECT count(*) FROM records");
    ASSERT_EQ(other->MoveFirst(), AD_SUCCESS);
    CString n;
    other->GetColumnValue(1, n);
    EXPECT_EQ(
        n.ToUtf8(),
        direct("SELECT count(*) FROM records WHERE database_dbid=(SELECT dbid FROM databases WHERE name='TEST')")[0]);
}

TEST_F(DeclaredSqlTest, RefusesEverythingButReadingRecordData) {
    AdSessionPtr s = logon();
    const std::string before = direct("SELECT count(*) || '/' || (SELECT count(*) FROM users) FROM records")[0];
    const wchar_t *refused[] = {
        L"SELECT login_name, password_hash FROM users",
        L"SELECT password_salt FROM main.users",
        L"SELECT (SELECT password_hash FROM users LIMIT 1)",
        L"WITH u AS (SELECT * FROM users) SELECT * FROM u",
        L"SELECT * FROM records r JOIN users u ON u.dbid=r.dbid",
        L"SELECT * FROM main.records", // around the session's view
        L"SELECT count(*) FROM main.records",
        L"SELECT count(*) FROM main.records r JOIN main.entity_defs e ON e.dbid=r.entity_def_dbid",
        L"SELECT * FROM main.field_values",
        L"SELECT * FROM buckets",
        L"SELECT * FROM meta",
        L"SELECT * FROM groups",
        L"SELECT * FROM sqlite_master",
        L"SELECT * FROM temp.sqlite_master",
        L"SELECT * FROM pragma_table_info('users')",
        L"PRAGMA table_info(users)",
        L"DELETE FROM records",
        L"UPDATE field_values SET value='x'",
        L"INSERT INTO records(dbid) VALUES(1)",
        L"DROP VIEW records",
        L"CREATE TABLE t(a)",
        L"ATTACH DATABASE '/tmp/x.db' AS x",
        L"SELECT 1; DELETE FROM records",
        L"SELECT load_extension('/tmp/x.so')",
        L"EXPLAIN SELECT * FROM records",
        L"SELECT * FROM",
        L"",
    };
    for (const wchar_t *sql : refused) {
        AdQueryDefPtr q = BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0);
        q->SetDeclaredSQL(sql);
        if (!*sql) q->BuildField(L"id"); // empty SQL: the definition runs instead
        AdResultSetPtr rs = BuildResultSet(s, q);
        if (!*sql) {
            rs->Execute();
            continue;
        }
        auto [id, text] = expect_kx([&] { rs->Execute(); });
        EXPECT_EQ(id, KX_MSG_QUERY_FAILED) << CString(sql).ToUtf8();
        EXPECT_EQ(rs->GetResultStatus(), AD_RESULT_NOT_EXECUTED);
    }
    EXPECT_EQ(direct("SELECT count(*) || '/' || (SELECT count(*) FROM users) FROM records")[0], before);
}
