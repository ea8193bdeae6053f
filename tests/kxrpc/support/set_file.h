// Workspace items written straight to the demo set's file, as another client would have made them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "kxproduct/store.h"

namespace kxtest {

class SetFile {
public:
    SetFile() {
        KXProductStore::EnsureDataDirectory();
        EXPECT_EQ(sqlite3_open(KXProductStore::SetPath(CString(L"KXDEMO")).c_str(), &db_), SQLITE_OK);
    }
    ~SetFile() { sqlite3_close(db_); }
    std::int64_t scalar(std::string const &sql) {
        sqlite3_stmt *s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
        std::int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
        sqlite3_finalize(s);
        return v;
    }
    void exec(std::string const &sql) {
        EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    // A public item under `parent` (0: the public top folder).
    std::int64_t add(std::int64_t parent, std::string const &name, int type) {
        std::int64_t database = scalar("SELECT dbid FROM databases WHERE name='ISSUE'");
        if (parent == 0)
            parent = scalar("SELECT dbid FROM buckets WHERE parent_dbid IS NULL AND folder_type=1 AND database_dbid=" +
                            std::to_string(database));
        EXPECT_EQ(sqlite3_exec(db_, "INSERT INTO dbid_seq DEFAULT VALUES", nullptr, nullptr, nullptr), SQLITE_OK);
        std::int64_t id = sqlite3_last_insert_rowid(db_);
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(
            db_,
            "INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, entity_def_dbid,"
            " definition, is_startup) VALUES(?,?,?,?,?,(SELECT dbid FROM entity_defs WHERE name='Defect'),"
            "'columns=id',0)",
            -1, &s, nullptr);
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_int64(s, 2, database);
        sqlite3_bind_int64(s, 3, parent);
        sqlite3_bind_text(s, 4, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 5, type);
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_finalize(s);
        return id;
    }

private:
    sqlite3 *db_ = nullptr;
};

} // namespace kxtest
