#include "query_sql.h"

#include <cctype>
#include <cstring>
#include <memory>

#include "budget.h"
#include "kxproduct/query.h"

namespace kxp {

namespace {

void bind_and_step(sqlite3 *db, sqlite3_stmt *raw, const Sql &sql, const std::function<void(sqlite3_stmt *)> &row) {
    int i = 1;
    for (const Param &p : sql.params) {
        if (const int64_t *n = std::get_if<int64_t>(&p))
            sqlite3_bind_int64(raw, i++, *n);
        else {
            const std::string &t = std::get<std::string>(p);
            sqlite3_bind_text(raw, i++, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
        }
    }
    int rc;
    StatementClock clock; // the whole statement, as the rows are read at once
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
    if (rc != SQLITE_DONE) throw StoreError{rc, "step: " + failure_text(db, rc)};
}

} // namespace

void for_each_row(sqlite3 *db, const Sql &sql, const std::function<void(sqlite3_stmt *)> &row) {
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.text.c_str(), static_cast<int>(sql.text.size()), &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> stmt(raw, sqlite3_finalize);
    if (rc != SQLITE_OK) throw StoreError{rc, std::string("prepare: ") + sqlite3_errmsg(db)};
    bind_and_step(db, raw, sql, row);
}

void for_each_row(DbHandle db, const Sql &sql, const std::function<void(sqlite3_stmt *)> &row) {
    Stmt stmt(db, sql.text);
    bind_and_step(db, stmt.raw(), sql, row);
}

namespace {

// Tables that hold one user database's rows: seen through views of the session's database.
const char *const kScoped[] = {"records", "field_values", "history", "attachments"};
// Definitions shared by the set's user databases, read as they are.
const char *const kShared[] = {"entity_defs", "field_defs", "family_members", "states",
                               "action_defs", "list_defs",  "list_values"};

bool listed(const char *name, const char *const *list, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (name && std::strcmp(name, list[i]) == 0) return true;
    return false;
}

int authorize(void *, int action, const char *table, const char *, const char *db, const char *via) {
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
        return SQLITE_OK;
    case SQLITE_READ:
        // A table read for no column (a join on its key) comes without a schema: only names
        // that exist in one schema pass.
        if (!db)
            return listed(table, kShared, std::size(kShared)) || listed(table, kScoped, std::size(kScoped))
                       ? SQLITE_OK
                       : SQLITE_DENY;
        // The session's views themselves.
        if (std::strcmp(db, "temp") == 0) return listed(table, kScoped, std::size(kScoped)) ? SQLITE_OK : SQLITE_DENY;
        if (std::strcmp(db, "main") != 0) return SQLITE_DENY;
        if (listed(table, kShared, std::size(kShared))) return SQLITE_OK;
        // A scoped table only through the session's views, never named directly.
        if (listed(table, kScoped, std::size(kScoped)) && listed(via, kScoped, std::size(kScoped))) return SQLITE_OK;
        return SQLITE_DENY;
    default:
        return SQLITE_DENY;
    }
}

[[noreturn]] void refuse(const CString &text) { throw_kx(KX_MSG_QUERY_FAILED, text, "AdResultSet::Execute"); }

int column_type(const char *decl) {
    std::string t;
    for (const char *p = decl ? decl : ""; *p; ++p)
        t += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    if (t.find("INT") != std::string::npos) return AD_COLUMN_INT;
    if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
        t.find("DOUB") != std::string::npos)
        return AD_COLUMN_FLOAT;
    if (t.find("BLOB") != std::string::npos) return AD_COLUMN_BINARY;
    return AD_COLUMN_STRING;
}

} // namespace

void DeclaredSql::open() {
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        close();
        throw_kx(KX_MSG_QUERY_FAILED, L"The declared SQL cannot open the database set.", "AdResultSet::Execute");
    }
    try {
        sqlite3_busy_timeout(db_, 10000);
        sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
        sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_limit(db_, SQLITE_LIMIT_ATTACHED, 0);
        budget_client_connection(db_);
        const std::string database = std::to_string(database_dbid_);
        const std::string mine = "(SELECT dbid FROM main.records WHERE database_dbid=" + database + ")";
        std::string views =
            "CREATE TEMP VIEW records AS SELECT * FROM main.records WHERE database_dbid=" + database + ";";
        for (const char *t : {"field_values", "history", "attachments"})
            views += std::string("CREATE TEMP VIEW ") + t + " AS SELECT * FROM main." + t + " WHERE record_dbid IN " +
                     mine + ";";
        if (sqlite3_exec(db_, views.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            throw_kx(KX_MSG_QUERY_FAILED,
                     L"The declared SQL cannot be prepared: " + CString::FromUtf8(sqlite3_errmsg(db_)),
                     "AdResultSet::Execute");
        sqlite3_set_authorizer(db_, authorize, nullptr);
    } catch (...) {
        close();
        throw;
    }
}

sqlite3 *DeclaredSql::handle() {
    if (!db_) open();
    return db_;
}

void DeclaredSql::close() {
    sqlite3_close(db_);
    db_ = nullptr;
}

DeclaredSql::DeclaredSql(SessionCore &c, const CString &sql) : path_(c.db->path()), database_dbid_(c.database_dbid) {
    open();
    int rc = SQLITE_OK;
    try {
        std::string text = sql.ToUtf8();
        sqlite3_stmt *raw = nullptr;
        const char *tail = nullptr;
        rc = sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &raw, &tail);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> stmt(raw, sqlite3_finalize);
        if (rc != SQLITE_OK || !raw) refuse(L"The declared SQL is refused: " + CString::FromUtf8(sqlite3_errmsg(db_)));
        size_t used = static_cast<size_t>(tail - text.c_str());
        for (size_t i = used; i < text.size(); ++i)
            if (!std::isspace(static_cast<unsigned char>(text[i])) && text[i] != ';')
                refuse(L"The declared SQL holds more than one statement.");
        if (!sqlite3_stmt_readonly(raw) || sqlite3_stmt_isexplain(raw)) refuse(L"The declared SQL may only read.");
        std::string head = text.substr(0, used);
        while (!head.empty() && (std::isspace(static_cast<unsigned char>(head.back())) || head.back() == ';'))
            head.pop_back();
        sql_ = head;
        for (int i = 0; i < sqlite3_column_count(raw); ++i) {
            const char *name = sqlite3_column_name(raw, i);
            columns_.push_back({CString::FromUtf8(name ? name : ""), column_type(sqlite3_column_decltype(raw, i))});
        }
        // The statement must also stand as a subquery, as pages read it.
        sqlite3_stmt *check = nullptr;
        std::string wrapped = "SELECT * FROM (" + sql_ + ") LIMIT 0";
        rc = sqlite3_prepare_v2(db_, wrapped.c_str(), -1, &check, nullptr);
        sqlite3_finalize(check);
        if (rc != SQLITE_OK) refuse(L"The declared SQL is refused: " + CString::FromUtf8(sqlite3_errmsg(db_)));
    } catch (...) {
        close();
        throw;
    }
}

DeclaredSql::~DeclaredSql() { close(); }

} // namespace kxp
