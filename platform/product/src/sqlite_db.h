// Thin RAII layer over one SQLite connection of the product store.
#pragma once
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kxp {

class Db;
struct KeptStmt;

// A connection's handle as Db::handle() gives it: a Stmt made from it comes from the
// connection's kept statements; anywhere else it is the plain sqlite3 handle.
class DbHandle {
public:
    explicit DbHandle(Db &db) : db_(&db) {}
    inline operator sqlite3 *() const;
    Db &db() const { return *db_; }

private:
    Db *db_;
};

class Stmt {
public:
    // Prepared for this object alone, finalised with it.
    Stmt(sqlite3 *db, std::string_view sql);
    // Taken from the connection's kept statements (prepared on first use), given back reset.
    Stmt(DbHandle db, std::string_view sql);
    ~Stmt();
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &bind(int i, int64_t v);
    Stmt &bind(int i, int v) { return bind(i, static_cast<int64_t>(v)); }
    Stmt &bind(int i, std::string_view v);
    Stmt &bind(int i, const char *v) { return bind(i, std::string_view(v)); }
    Stmt &bind(int i, const std::string &v) { return bind(i, std::string_view(v)); }
    Stmt &bind_blob(int i, const void *data, size_t size);
    Stmt &bind_null(int i);
    // True while a row is available.
    bool step();
    void reset();
    int64_t int64(int col) const;
    int integer(int col) const { return static_cast<int>(int64(col)); }
    std::string text(int col) const;
    // The column's text in place: valid until the next step, reset or read of that column.
    std::string_view view(int col) const;
    bool is_null(int col) const;
    sqlite3_stmt *raw() const { return stmt_; }

private:
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
    Db *owner_ = nullptr;      // the connection this statement goes back to
    KeptStmt *kept_ = nullptr; // its place there; null: finalised here
};

// One statement a connection keeps prepared, by its SQL text.
struct KeptStmt {
    sqlite3_stmt *stmt = nullptr;
    bool in_use = false;
    uint64_t last_use = 0;
};

// Lets a checkpoint that needs the writer lock go first: while it runs, the writers of this
// process hold back at the start of their transactions, so that a stream of commits that take
// the lock in turn cannot starve it.
class WriterGate {
public:
    // A writer: waits while a checkpoint runs, for at most `most`.
    void enter(std::chrono::milliseconds most);
    void close();
    void open();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool closed_ = false;
};

class Db {
public:
    static constexpr int kBusyTimeoutMs = 10000;
    // Opens (create=true: creates) the file, in WAL mode with a busy timeout.
    Db(const std::string &path, bool create);
    ~Db();
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    void exec(std::string_view sql);
    DbHandle handle() { return DbHandle(*this); }
    sqlite3 *raw() const { return db_; }
    int64_t last_rowid() const { return sqlite3_last_insert_rowid(db_); }
    const std::string &path() const { return path_; }
    // Next dbid of the set; dbids are unique across every kind of object of a set.
    int64_t new_dbid();
    std::optional<int64_t> scalar_int(std::string_view sql, std::string_view arg = {});
    std::optional<int64_t> scalar_int(std::string_view sql, int64_t arg);
    // Neither a transaction nor a statement other than the idle kept ones is open.
    bool unused() const;
    // Statements kept prepared now (idle or in use), for tests.
    std::size_t kept_statements() const;
    // The gate of the set's checkpoints that this connection's transactions pass; none by default.
    void set_writer_gate(WriterGate *gate) { gate_ = gate; }
    WriterGate *writer_gate() const { return gate_; }
    // PRAGMA data_version when this connection last read the set's access generation; -1: never.
    int64_t access_version = -1;

private:
    friend class Stmt;
    void enter_wal();
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // A prepared statement for `sql`: the kept one when it is idle, else a fresh one (kept when
    // there is none yet); `kept` is its place in the cache, or null when the caller finalises it.
    sqlite3_stmt *take(std::string_view sql, KeptStmt *&kept);
    void give_back(KeptStmt *kept);

    sqlite3 *db_ = nullptr;
    std::string path_;
    mutable std::mutex kept_mu_;
    std::unordered_map<std::string, KeptStmt, TextHash, std::equal_to<>> kept_; // nodes stay put
    std::size_t kept_in_use_ = 0;
    uint64_t uses_ = 0;
    WriterGate *gate_ = nullptr;
};

DbHandle::operator sqlite3 *() const { return db_->raw(); }

// A write transaction: BEGIN IMMEDIATE, rolled back unless commit() was called.
class Txn {
public:
    explicit Txn(Db &db);
    ~Txn();
    void commit();

private:
    Db &db_;
    bool done_ = false;
};

// Tests read what the product asks of SQLite: the observer sees the connection and the text of
// every statement this layer prepares, before anything is bound. None is set in the product.
using PrepareObserver = void (*)(sqlite3 *db, std::string_view sql);
void observe_prepares(PrepareObserver observer);

// Thrown by this layer; the product turns it into its own exceptions at the API edge.
struct StoreError {
    int code;
    std::string text;
};

} // namespace kxp
