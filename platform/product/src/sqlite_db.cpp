#include "sqlite_db.h"

#include "budget.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kxp {

namespace {

// Statements one connection keeps; beyond this the least recently used idle one goes.
constexpr std::size_t kKeptStatements = 128;

std::atomic<PrepareObserver> g_observer{nullptr};

[[noreturn]] void fail(sqlite3 *db, int rc, const std::string &what) {
    throw StoreError{rc, what + ": " + failure_text(db, rc)};
}

sqlite3_stmt *prepare(sqlite3 *db, std::string_view sql) {
    if (PrepareObserver observer = g_observer.load(std::memory_order_acquire)) observer(db, sql);
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) fail(db, rc, "prepare");
    return stmt;
}

} // namespace

void observe_prepares(PrepareObserver observer) { g_observer.store(observer, std::memory_order_release); }

Stmt::Stmt(sqlite3 *db, std::string_view sql) : db_(db), stmt_(prepare(db, sql)) {}
Stmt::Stmt(DbHandle db, std::string_view sql) : db_(db), owner_(&db.db()) { stmt_ = owner_->take(sql, kept_); }
Stmt::~Stmt() {
    if (kept_)
        owner_->give_back(kept_);
    else
        sqlite3_finalize(stmt_);
}

Stmt &Stmt::bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
}
Stmt &Stmt::bind(int i, std::string_view v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
}
Stmt &Stmt::bind_blob(int i, const void *data, size_t size) {
    sqlite3_bind_blob64(stmt_, i, data, size, SQLITE_TRANSIENT);
    return *this;
}
Stmt &Stmt::bind_null(int i) {
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
std::string Stmt::text(int col) const { return std::string(view(col)); }
std::string_view Stmt::view(int col) const {
    const unsigned char *t = sqlite3_column_text(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return t ? std::string_view(reinterpret_cast<const char *>(t), static_cast<size_t>(n)) : std::string_view();
}
bool Stmt::is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

Db::Db(const std::string &path, bool create) : path_(path) {
    // No connection mutex: a connection is used by one thread at a time. Sessions reach theirs
    // through SetStore::conn(), which lends each thread its own and hands one to another thread
    // only through the idle list (under its mutex) once no statement or transaction is open; the
    // loader's connection lives in one call. The product starts no threads of its own.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError{rc, "open " + path + ": " + msg};
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    budget_connection(db_);
    try {
        enter_wal();
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

// A set in another journal mode is turned into WAL by its first connection, which writes its
// header. Connections that try it at the same moment hold read locks, so SQLite makes all but one
// of them busy at once instead of waiting; they look again once that one is done.
void Db::enter_wal() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return;
        if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            throw StoreError{rc, failure_text(db_, rc)};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
Db::~Db() {
    for (auto &[text, kept] : kept_) sqlite3_finalize(kept.stmt);
    sqlite3_close(db_);
}

sqlite3_stmt *Db::take(std::string_view sql, KeptStmt *&kept) {
    kept = nullptr;
    {
        std::lock_guard<std::mutex> lock(kept_mu_);
        auto it = kept_.find(sql);
        if (it != kept_.end()) {
            // In use further up this thread's stack (or another's): that one keeps its place.
            if (it->second.in_use) return prepare(db_, sql);
            it->second.in_use = true;
            it->second.last_use = ++uses_;
            ++kept_in_use_;
            kept = &it->second;
            return it->second.stmt;
        }
    }
    sqlite3_stmt *stmt = prepare(db_, sql);
    if (!stmt) return stmt; // no statement in the text: nothing to keep
    std::lock_guard<std::mutex> lock(kept_mu_);
    if (kept_.size() >= kKeptStatements) {
        auto oldest = kept_.end();
        for (auto it = kept_.begin(); it != kept_.end(); ++it)
            if (!it->second.in_use && (oldest == kept_.end() || it->second.last_use < oldest->second.last_use))
                oldest = it;
        if (oldest == kept_.end()) return stmt; // every kept one is in use: this one is not kept
        sqlite3_finalize(oldest->second.stmt);
        kept_.erase(oldest);
    }
    auto [it, added] = kept_.try_emplace(std::string(sql));
    if (!added) return stmt; // kept meanwhile by a call this one made while preparing
    it->second = KeptStmt{stmt, true, ++uses_};
    ++kept_in_use_;
    kept = &it->second;
    return stmt;
}

void Db::give_back(KeptStmt *kept) {
    // A kept statement holds no read transaction and no values between uses.
    sqlite3_reset(kept->stmt);
    sqlite3_clear_bindings(kept->stmt);
    std::lock_guard<std::mutex> lock(kept_mu_);
    kept->in_use = false;
    --kept_in_use_;
}

bool Db::unused() const {
    if (sqlite3_get_autocommit(db_) == 0) return false;
    std::size_t open = 0;
    for (sqlite3_stmt *s = sqlite3_next_stmt(db_, nullptr); s; s = sqlite3_next_stmt(db_, s)) ++open;
    std::lock_guard<std::mutex> lock(kept_mu_);
    return open == kept_.size() - kept_in_use_;
}

std::size_t Db::kept_statements() const {
    std::lock_guard<std::mutex> lock(kept_mu_);
    return kept_.size();
}

void Db::exec(std::string_view sql) {
    std::string s(sql);
    char *err = nullptr;
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
    Stmt s(handle(), sql);
    if (!arg.empty()) s.bind(1, arg);
    if (!s.step() || s.is_null(0)) return std::nullopt;
    return s.int64(0);
}

std::optional<int64_t> Db::scalar_int(std::string_view sql, int64_t arg) {
    Stmt s(handle(), sql);
    s.bind(1, arg);
    if (!s.step() || s.is_null(0)) return std::nullopt;
    return s.int64(0);
}

void WriterGate::enter(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, most, [this] { return !closed_; });
}
void WriterGate::close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
}
void WriterGate::open() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = false;
    }
    cv_.notify_all();
}

Txn::Txn(Db &db) : db_(db) {
    if (WriterGate *gate = db_.writer_gate()) gate->enter(std::chrono::milliseconds(Db::kBusyTimeoutMs));
    db_.exec("BEGIN IMMEDIATE");
}
Txn::~Txn() {
    if (!done_) {
        try {
            db_.exec("ROLLBACK");
        } catch (...) {
            // A destructor may not throw. Nothing is committed half done: a rollback that fails
            // leaves the transaction open, and the connection's next BEGIN fails loudly.
        }
    }
}
void Txn::commit() {
    db_.exec("COMMIT");
    done_ = true;
}

} // namespace kxp
