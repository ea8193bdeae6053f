// Thin RAII layer over one SQLite connection of the product store.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kxp {

class Stmt {
 public:
  Stmt(sqlite3* db, std::string_view sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, int64_t v);
  Stmt& bind(int i, int v) { return bind(i, static_cast<int64_t>(v)); }
  Stmt& bind(int i, std::string_view v);
  Stmt& bind(int i, const char* v) { return bind(i, std::string_view(v)); }
  Stmt& bind(int i, const std::string& v) { return bind(i, std::string_view(v)); }
  Stmt& bind_blob(int i, const void* data, size_t size);
  Stmt& bind_null(int i);
  // True while a row is available.
  bool step();
  void reset();
  int64_t int64(int col) const;
  int integer(int col) const { return static_cast<int>(int64(col)); }
  std::string text(int col) const;
  bool is_null(int col) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Db {
 public:
  // Opens (create=true: creates) the file, in WAL mode with a busy timeout.
  Db(const std::string& path, bool create);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void exec(std::string_view sql);
  sqlite3* handle() const { return db_; }
  int64_t last_rowid() const { return sqlite3_last_insert_rowid(db_); }
  const std::string& path() const { return path_; }
  // Next dbid of the set; dbids are unique across every kind of object of a set.
  int64_t new_dbid();
  std::optional<int64_t> scalar_int(std::string_view sql, std::string_view arg = {});

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

// A write transaction: BEGIN IMMEDIATE, rolled back unless commit() was called.
class Txn {
 public:
  explicit Txn(Db& db);
  ~Txn();
  void commit();

 private:
  Db& db_;
  bool done_ = false;
};

// Thrown by this layer; the product turns it into its own exceptions at the API edge.
struct StoreError {
  int code;
  std::string text;
};

}  // namespace kxp
