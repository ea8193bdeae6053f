// SQL text with its bound parameters, a runner over raw statements, and declared SQL from a
// client confined to record data.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "core.h"

namespace kxp {

using Param = std::variant<int64_t, std::string>;

// SQL text and the values of its placeholders, in text order; joining keeps both in step.
struct Sql {
    std::string text;
    std::vector<Param> params;
    Sql() = default;
    explicit Sql(std::string t) : text(std::move(t)) {}
    Sql &operator+=(const Sql &o) {
        text += o.text;
        params.insert(params.end(), o.params.begin(), o.params.end());
        return *this;
    }
    Sql &operator+=(const std::string &t) {
        text += t;
        return *this;
    }
};
inline Sql operator+(Sql a, const Sql &b) { return a += b; }
inline Sql operator+(Sql a, const std::string &b) { return a += b; }
inline Sql operator+(Sql a, const char *b) { return a += std::string(b); }

// Prepares, binds and steps one statement, calling `row` for each row; StoreError on failure.
void for_each_row(sqlite3 *db, const Sql &sql, const std::function<void(sqlite3_stmt *)> &row);
// The same with the connection's kept statement for that text: for texts that recur (values
// bound, not written into the text).
void for_each_row(DbHandle db, const Sql &sql, const std::function<void(sqlite3_stmt *)> &row);

// A client's declared SQL: one read-only SELECT run on a read-only connection of its own, where
// records, field_values, history and attachments are views of the session's user database and
// the record types' definitions are readable; every other table (users, groups, the workspace,
// the set's meta data) and every other statement is refused.
class DeclaredSql {
public:
    struct Column {
        CString name;
        int type; // AdColumnType
    };
    // KXException KX_MSG_QUERY_FAILED for SQL that is not one read-only SELECT over record data.
    DeclaredSql(SessionCore &c, const CString &sql);
    ~DeclaredSql();
    DeclaredSql(const DeclaredSql &) = delete;
    DeclaredSql &operator=(const DeclaredSql &) = delete;
    const std::vector<Column> &columns() const { return columns_; }
    // The connection, opened again when a page needs it after close().
    sqlite3 *handle();
    // Closes the connection between pages: a kept result set holds no descriptor.
    void close();
    // The statement wrapped for one page or a count.
    Sql wrapped(const std::string &head, const std::string &tail) const { return Sql(head + "(" + sql_ + ")" + tail); }

private:
    void open();

    std::string path_;
    int64_t database_dbid_ = 0;
    sqlite3 *db_ = nullptr;
    std::string sql_;
    std::vector<Column> columns_;
};

} // namespace kxp
