// The full-text index follows the records: loaded sets, commits and deletions.
#include <sqlite3.h>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

std::vector<std::string> matches(const std::string &path, const std::string &query) {
    sqlite3 *db = nullptr;
    std::vector<std::string> out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        ADD_FAILURE() << "cannot open " << path;
        return out;
    }
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT r.display_name FROM record_text t JOIN records r ON r.dbid=t.record_dbid"
                       " WHERE record_text MATCH ? ORDER BY r.display_name",
                       -1, &st, nullptr);
    sqlite3_bind_text(st, 1, query.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) out.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

} // namespace

using FullTextTest = ProductTest;

TEST_F(FullTextTest, IndexFollowsCommits) {
    auto s = KXSession::Build();
    s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"KXDEMO");
    std::string path = KXProductStore::SetPath(L"KXDEMO");
    EXPECT_EQ(matches(path, "accented"), std::vector<std::string>{"ISSUE00000002"});
    EXPECT_EQ(matches(path, "Apollo").size(), 1u); // the project record's own name and description
    AdSessionPtr real = s->GetReal();
    AdEntityPtr e;
    CString error;
    AdEntityMgr::Get(real)->LookupEntityWithStatus(LookupEntityDefOrFamily(real, L"Defect"), L"ISSUE00000002", e, error,
                                                   1);
    EditEntity(e, L"Modify");
    e->SetFieldValue(L"Description", L"Diacritics such as umlauts vanish");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_EQ(matches(path, "umlauts"), std::vector<std::string>{"ISSUE00000002"});
    EXPECT_EQ(matches(path, "accented"), std::vector<std::string>{"ISSUE00000002"});
    EditEntity(e, L"Delete");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_TRUE(matches(path, "umlauts").empty());
}

// Rows are keyed by record dbid; a row an earlier build wrote under an automatic key is still
// replaced when its record changes, never left beside the new one.
TEST_F(FullTextTest, RowsOfEarlierBuildsAreReplaced) {
    auto s = KXSession::Build();
    s->WebUserLogon(L"alice", L"alice", L"h", L"", L"ISSUE", L"KXDEMO");
    std::string path = KXProductStore::SetPath(L"KXDEMO");
    AdSessionPtr real = s->GetReal();
    AdEntityPtr e;
    CString error;
    AdEntityMgr::Get(real)->LookupEntityWithStatus(LookupEntityDefOrFamily(real, L"Defect"), L"ISSUE00000003", e, error,
                                                   1);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string dbid = std::to_string(e->GetDbId());
    ASSERT_EQ(sqlite3_exec(db,
                           ("DELETE FROM record_text WHERE record_dbid=" + dbid +
                            "; INSERT INTO record_text(rowid, body, record_dbid,"
                            " database_dbid) SELECT 7, 'oldbuildword', dbid, database_dbid FROM records WHERE dbid=" +
                            dbid)
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(matches(path, "oldbuildword"), std::vector<std::string>{"ISSUE00000003"});
    EditEntity(e, L"Modify");
    e->SetFieldValue(L"Description", L"freshly indexed");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_TRUE(matches(path, "oldbuildword").empty());
    EXPECT_EQ(matches(path, "freshly"), std::vector<std::string>{"ISSUE00000003"});
    EditEntity(e, L"Modify");
    e->SetFieldValue(L"Description", L"indexed again");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_TRUE(matches(path, "freshly").empty());
    EXPECT_EQ(matches(path, "again"), std::vector<std::string>{"ISSUE00000003"});
}
