// The plan reader itself, the indexes that deleting a record relies on, and a record's life read
// for its plans (each test program linked with the reader also fails on a scan it finds).
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "plan_watch.h"
#include "test_support.h"

namespace {

class PlansTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        session_ = demo_logon(L"admin");
        ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db_), SQLITE_OK);
    }
    void TearDown() override {
        sqlite3_close(db_);
        session_ = nullptr;
        ProductTest::TearDown();
    }
    std::vector<std::string> column(const std::string &sql) {
        std::vector<std::string> out;
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(st) == SQLITE_ROW)
            out.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        return out;
    }

    KXSmartPtr<KXSession> session_;
    sqlite3 *db_ = nullptr;
};

} // namespace

TEST_F(PlansTest, TheReaderTellsScansOfGrowingTablesFromSeeks) {
    const struct {
        const char *sql;
        bool sound;
    } cases[] = {
        {"SELECT field_dbid, dbid FROM attachments WHERE record_dbid=? ORDER BY dbid", true},
        {"SELECT dbid FROM attachments WHERE size=?", false},
        {"SELECT a.dbid FROM attachments a WHERE a.file_name=?", false},            // by its alias
        {"SELECT COUNT(*) FROM history", false},                                    // a whole covering index
        {"SELECT h.at FROM records r JOIN history h ON h.user_dbid=r.dbid", false}, // an automatic index
        {"SELECT rowid FROM record_text WHERE record_text MATCH ?", true},
        {"SELECT rowid FROM record_text WHERE database_dbid=?", false},
        {"SELECT name FROM entity_defs WHERE position=?", true}, // a definition table, listed as small
        {"SELECT * FROM no_such_table", false},
    };
    for (const auto &c : cases) EXPECT_EQ(plans::faults(db_, c.sql).empty(), c.sound) << c.sql;
    // The set's index is what makes a record's attachment list a seek.
    const char *list = "SELECT field_dbid, dbid FROM attachments WHERE record_dbid=? ORDER BY dbid";
    ASSERT_EQ(sqlite3_exec(db_, "DROP INDEX attachments_by_record", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(plans::faults(db_, list).size(), 1u);
    // A table nobody placed in either list is reported, so a new table gets decided on.
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TEMP TABLE unplaced(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    const std::vector<std::string> unplaced = plans::faults(db_, "SELECT x FROM unplaced");
    ASSERT_EQ(unplaced.size(), 1u);
    EXPECT_NE(unplaced[0].find("list it"), std::string::npos);
}

// Deleting a row finds the rows that refer to it (to cascade or to refuse) by the referring
// column: without an index there, every delete reads the whole referring table.
TEST_F(PlansTest, EveryReferenceToARowThatIsDeletedIsIndexed) {
    int checked = 0;
    for (const std::string &table : column("SELECT name FROM sqlite_master WHERE type='table' AND sql NOT LIKE "
                                           "'CREATE VIRTUAL%' AND name NOT LIKE 'record_text_%'")) {
        sqlite3_stmt *fk = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(
                      db_, ("SELECT \"table\", \"from\" FROM pragma_foreign_key_list('" + table + "')").c_str(), -1,
                      &fk, nullptr),
                  SQLITE_OK);
        while (sqlite3_step(fk) == SQLITE_ROW) {
            const std::string parent = reinterpret_cast<const char *>(sqlite3_column_text(fk, 0));
            const std::string from = reinterpret_cast<const char *>(sqlite3_column_text(fk, 1));
            // Rows of these are deleted: records (kind 7) and workspace folders with their items.
            if (parent != "records" && parent != "buckets") continue;
            ++checked;
            const std::vector<std::string> leading = column("SELECT ii.name FROM pragma_index_list('" + table +
                                                            "') il, pragma_index_info(il.name) ii "
                                                            "WHERE ii.seqno=0 AND il.partial=0");
            EXPECT_NE(std::find(leading.begin(), leading.end(), from), leading.end()) << table << "." << from;
        }
        sqlite3_finalize(fk);
    }
    // field_values, history, attachments and records refer to records; buckets and their
    // permissions to buckets.
    EXPECT_EQ(checked, 6);
}

TEST_F(PlansTest, ARecordsLifeSeeksEveryRow) {
    AdSessionPtr s = session_->GetReal();
    AdEntityPtr e = find_defect(s, L"ISSUE00000001");
    ASSERT_TRUE(e);
    EditEntity(e, L"Modify");
    const std::string path = dir_ + "/note.txt";
    write_file(path, "seen");
    EXPECT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L"note"), L"");
    EXPECT_EQ(e->Commit(), L"");
    AdEntityPtr gone = find_defect(s, L"ISSUE00000002");
    ASSERT_TRUE(gone);
    EditEntity(gone, L"Delete");
    EXPECT_EQ(gone->Commit(), L"");
    CString first, last;
    session_->GetOplogSerialNumberRange(first, last);
    EXPECT_NE(last, L"0");
    // The statements read above were among those prepared (and so read for their plans).
    const std::set<std::string> seen = plans::seen();
    for (const char *sql : {"SELECT field_dbid, dbid, file_name, size, description FROM attachments WHERE "
                            "record_dbid=? ORDER BY dbid",
                            "DELETE FROM records WHERE dbid=? AND version=?",
                            "SELECT min(seq), max(seq) FROM oplog WHERE database_dbid=?"})
        EXPECT_EQ(seen.count(sql), 1u) << sql;
    EXPECT_EQ(plans::found(), std::vector<std::string>{});
}
