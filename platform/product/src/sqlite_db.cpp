#include "sqlite_db.h"

#include "budget.h"

namespace kxp {

namespace {
[[noreturn]] void fail(sqlite3* db, int rc, const std::string& what) {
  throw StoreError{rc, what + ": " + failure_text(db, rc)};
}
}  // namespace

Stmt::Stmt(sqlite3* db, std::string_view sql) : db_(db) {
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) fail(db, rc, "prepare");
}
Stmt::~Stmt() { sqlite3_finalize(stmt_); }

Stmt& Stmt::bind(int i, int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
  return *this;
}
Stmt& Stmt::bind(int i, std::string_view v) {
  sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::bind_blob(int i, const void* data, size_t size) {
  sqlite3_bind_blob64(stmt_, i, data, size, SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::bind_null(int i) {
  sqlite3_bind_null(stmt_, i);
  return *this;
}
bool Stmt::step() {
  StatementClock clock;
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, rc, "step");
}
void Stmt::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}
int64_t Stmt::int64(int col) const { return sqlite3_column_int64(stmt_, col); }
std::string Stmt::text(int col) const {
  const unsigned char* t = sqlite3_column_text(stmt_, col);
  int n = sqlite3_column_bytes(stmt_, col);
  return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(n)) : std::string();
}
bool Stmt::is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

Db::Db(const std::string& path, bool create) : path_(path) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError{rc, "open " + path + ": " + msg};
  }
  sqlite3_busy_timeout(db_, 10000);
  budget_connection(db_);
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  exec("PRAGMA foreign_keys=ON");
}
Db::~Db() { sqlite3_close(db_); }

void Db::exec(std::string_view sql) {
  std::string s(sql);
  char* err = nullptr;
  StatementClock clock;
  int rc = sqlite3_exec(db_, s.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = failure_text(db_, rc);
    sqlite3_free(err);
    throw StoreError{rc, msg};
  }
}

int64_t Db::new_dbid() {
  exec("INSERT INTO dbid_seq DEFAULT VALUES");
  return last_rowid();
}

std::optional<int64_t> Db::scalar_int(std::string_view sql, std::string_view arg) {
  Stmt s(db_, sql);
  if (!arg.empty()) s.bind(1, arg);
  if (!s.step() || s.is_null(0)) return std::nullopt;
  return s.int64(0);
}

Txn::Txn(Db& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }
Txn::~Txn() {
  if (!done_) {
    try {
      db_.exec("ROLLBACK");
    } catch (...) {
    }
  }
}
void Txn::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace kxp
