#include "kxproduct/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "checkpoint.h"
#include "core.h"
#include "kxproduct/diag.h"
#include "kxproduct/faults.h"
#include "schema.h"

extern const char kx_demo_definition[];

namespace kxp {

void throw_kx(int msg_id, const CString &text, const char *source) {
    throw new KXException(msg_id, text, CString(source));
}

void throw_login_failed(const CString &user, const char *source) {
    throw_kx(KX_MSG_LOGIN_FAILED, L"Login failed for user '" + user + L"'.", source);
}

SessionCore &live(const AdSession *s, const char *op) {
    if (!s) throw_kx(KX_MSG_SESSION_ENDED, L"No session.", op);
    SessionCore &c = s->core();
    if (c.ended) throw_kx(KX_MSG_SESSION_ENDED, L"The session has ended.", op);
    return c;
}

void remove_record_text(Db &db, int64_t record) {
    // A record's row is keyed by its dbid, so removing it is a lookup, not a scan of the index.
    // Rows written before that carry small automatic keys (dbids start far above them) and are
    // found by their column among those keys only, which no new row takes.
    Stmt(db.handle(), "DELETE FROM record_text WHERE rowid=?").bind(1, record).step();
    if (sqlite3_changes(db.handle()) == 0 && db.scalar_int("SELECT 1 FROM record_text WHERE rowid<33554432 LIMIT 1"))
        Stmt(db.handle(), "DELETE FROM record_text WHERE rowid<33554432 AND record_dbid=?").bind(1, record).step();
}

void index_record_text(Db &db, int64_t record, int64_t database, const std::string &display,
                       const std::vector<std::pair<int, std::string>> &typed_values) {
    remove_record_text(db, record);
    std::string body = display;
    for (const auto &[type, value] : typed_values)
        if (type == AD_SHORT_STRING || type == AD_MULTILINE_STRING || type == AD_JOURNAL) body += "\n" + value;
    Stmt(db.handle(), "INSERT INTO record_text(rowid, body, record_dbid, database_dbid) VALUES(?,?,?,?)")
        .bind(1, record)
        .bind(2, body)
        .bind(3, record)
        .bind(4, database)
        .step();
}

std::string now_text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

namespace {

bool valid_set_name(const std::string &s) {
    if (s.empty() || s.size() > 64) return false;
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; });
}

std::mutex g_dirs_mu;
std::set<std::string> &ensured_dirs() {
    static std::set<std::string> s;
    return s;
}

// The set's schema version; 0 when the file is no database set.
int64_t schema_version(Db &db) {
    if (!db.scalar_int("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='meta'").value_or(0)) return 0;
    return db.scalar_int("SELECT CAST(value AS INTEGER) FROM meta WHERE key='schema_version'").value_or(0);
}

// Sets written by earlier builds are brought to the current numbers in one transaction when they
// are opened, and gain the indexes added since; a set of a later build is refused rather than
// misread.
void migrate(Db &db) {
    const int64_t current = std::stoll(kSchemaVersion);
    int64_t version = schema_version(db);
    if (version < 1 || version > current) throw StoreError{0, "not a database set of this version"};
    if (version != current) {
        Txn txn(db);
        // Another process may have migrated it while this one waited for the write lock.
        version = schema_version(db);
        if (version == 1) db.exec(kMigrateToV2Sql);
        txn.commit();
    }
    // Writes only when an index is missing. A set that cannot take it now (another writer past the
    // busy timeout) is read without it, as correctly, and gains it on a later open.
    try {
        db.exec(kAddedIndexesSql);
    } catch (const StoreError &e) {
        AdDiagnostic::Report(L"Store", w("index not added: " + e.text).GetString());
    }
}

// Opening configures the connection (WAL), which writes to the file: anything that is not already
// an SQLite database (an empty or foreign file under a set's name) is refused untouched.
bool looks_like_sqlite(const std::string &path) {
    static constexpr char magic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    char head[16] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(head, sizeof head) && std::equal(head, head + 16, magic);
}

// The caller's text names the set only; the file and SQLite's words go to the diagnostics.
[[noreturn]] void refuse_set(const CString &dbset, const std::string &detail) {
    if (!detail.empty()) AdDiagnostic::Report(L"Store", w("open " + u8(dbset) + ": " + detail).GetString());
    throw_kx(KX_MSG_CONNECTION_FAILED, L"Cannot connect to database set '" + dbset + L"'.", "open");
}

} // namespace

// One database set's file, as connections are lent for it.
struct SetPool {
    std::string path;
    CString name;
    std::mutex mu; // dev, ino
    dev_t dev = 0;
    ino_t ino = 0;
    // Advanced when another file has taken the path: connections of an older one are not lent.
    std::atomic<uint64_t> generation{0};
    // The highest access generation this process has read from the set or written to it.
    std::atomic<uint64_t> access{0};
    // The set's access board (see AccessBoard), mapped on first use; null where it cannot be.
    std::once_flag board_once;
    uint64_t *board = nullptr;
    // The board's count of finished changes when this process last read the generation.
    std::atomic<uint64_t> board_seen{UINT64_MAX};
};

namespace {

constexpr std::size_t kThreadConnections = 4; // sets one thread keeps a connection to
constexpr std::size_t kIdleConnections = 8;   // connections kept open for no thread, all sets

std::atomic<int> g_open_connections{0};

struct CloseDb {
    void operator()(Db *db) const {
        delete db;
        g_open_connections.fetch_sub(1);
    }
};
using DbPtr = std::unique_ptr<Db, CloseDb>;

struct Lent {
    std::shared_ptr<SetPool> pool;
    uint64_t generation = 0;
    DbPtr db;
};

// Neither a statement (but the idle kept ones) nor a transaction of the connection is open:
// nobody is using it.
bool unused(Db &db) { return db.unused(); }

std::mutex g_idle_mu;
std::list<Lent> &idle() {
    static auto *l = new std::list<Lent>; // outlives the threads that give connections back
    return *l;
}

void give_back(Lent &&l) {
    if (!l.db || l.generation != l.pool->generation.load() || !unused(*l.db)) return; // closed here
    std::list<Lent> dropped; // closed after the lock is released
    std::lock_guard<std::mutex> lock(g_idle_mu);
    idle().push_back(std::move(l));
    while (idle().size() > kIdleConnections) dropped.splice(dropped.end(), idle(), idle().begin());
}

DbPtr take_idle(SetPool *pool) {
    std::lock_guard<std::mutex> lock(g_idle_mu);
    uint64_t generation = pool->generation.load();
    for (auto it = idle().begin(); it != idle().end(); ++it) {
        if (it->pool.get() == pool && it->generation == generation) {
            DbPtr db = std::move(it->db);
            idle().erase(it);
            return db;
        }
    }
    return nullptr;
}

struct ThreadConnections {
    std::vector<Lent> lent; // the most recently used last
    Lent retired;           // replaced by a newer file's; kept while a caller may still hold it
    ~ThreadConnections() {
        for (Lent &l : lent) give_back(std::move(l));
    }
};
thread_local ThreadConnections t_connections;

DbPtr open_connection(SetPool &pool) {
    try {
        DbPtr db(nullptr);
        {
            Db *raw = new Db(pool.path, false);
            g_open_connections.fetch_add(1);
            db.reset(raw);
        }
        migrate(*db);
        hand_checkpoints_off(*db);
        return db;
    } catch (const StoreError &e) {
        refuse_set(pool.name, e.text);
    }
}

std::shared_ptr<SetPool> pool_for(const std::string &path, const CString &dbset) {
    static std::mutex mu;
    static auto *pools = new std::map<std::string, std::shared_ptr<SetPool>>;
    std::lock_guard<std::mutex> lock(mu);
    auto &p = (*pools)[path];
    if (!p) {
        p = std::make_shared<SetPool>();
        p->path = path;
        p->name = dbset;
    }
    return p;
}

} // namespace

Db &SetStore::conn() const {
    SetPool *pool = pool_.get();
    if (!pool) throw_kx(KX_MSG_CONNECTION_FAILED, L"No database set.", "open");
    ThreadConnections &t = t_connections;
    uint64_t generation = pool->generation.load();
    for (std::size_t i = t.lent.size(); i-- > 0;) {
        if (t.lent[i].pool.get() != pool) continue;
        if (t.lent[i].generation != generation && unused(*t.lent[i].db)) {
            t.retired = std::move(t.lent[i]);
            t.lent.erase(t.lent.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
        std::rotate(t.lent.begin() + static_cast<std::ptrdiff_t>(i),
                    t.lent.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.lent.end());
        return *t.lent.back().db;
    }
    DbPtr db = take_idle(pool);
    if (!db) db = open_connection(*pool);
    if (t.lent.size() >= kThreadConnections) {
        for (std::size_t i = 0; i < t.lent.size(); ++i) {
            if (!unused(*t.lent[i].db)) continue;
            Lent old = std::move(t.lent[i]);
            t.lent.erase(t.lent.begin() + static_cast<std::ptrdiff_t>(i));
            give_back(std::move(old));
            break;
        }
    }
    t.lent.push_back(Lent{pool_, generation, std::move(db)});
    return *t.lent.back().db;
}

namespace {

constexpr char kAccessKey[] = "access_generation";

void raise_to(std::atomic<uint64_t> &value, uint64_t seen) {
    uint64_t now = value.load();
    while (now < seen && !value.compare_exchange_weak(now, seen)) {
    }
}

// The access board: two counters in a small file beside the set, mapped shared by every process
// that serves it. A writer of access counts a change begun before its commit and done after it, so
// a check that finds both equal and unchanged since it last read the generation needs no read of
// the set, nor a lock or a system call. A change begun and never done (its process died in
// between) leaves every check reading the generation: slower, never wrong.
constexpr std::size_t kBoardBytes = 2 * sizeof(uint64_t);

uint64_t *map_board(const std::string &set_path) {
    int fd = ::open((set_path + "-access").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    void *p = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_size >= static_cast<off_t>(kBoardBytes) || ::ftruncate(fd, kBoardBytes) == 0))
        p = ::mmap(nullptr, kBoardBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<uint64_t *>(p);
}

uint64_t *board_of(SetPool &pool) {
    std::call_once(pool.board_once, [&] { pool.board = map_board(pool.path); });
    return pool.board;
}

std::atomic_ref<uint64_t> begun(uint64_t *board) { return std::atomic_ref<uint64_t>(board[0]); }
std::atomic_ref<uint64_t> done(uint64_t *board) { return std::atomic_ref<uint64_t>(board[1]); }

uint64_t read_access_generation(Db &db, SetPool &pool) {
    KXFaultInjector::Enter("KXProductStore::ReadAccessGeneration");
    int64_t const stored = db.scalar_int("SELECT CAST(value AS INTEGER) FROM meta WHERE key=?", kAccessKey).value_or(0);
    raise_to(pool.access, static_cast<uint64_t>(stored));
    return pool.access.load();
}

} // namespace

uint64_t SetStore::access_generation() const {
    if (uint64_t *board = board_of(*pool_)) {
        uint64_t const finished = done(board).load();
        if (begun(board).load() != finished) return read_access_generation(conn(), *pool_); // one in flight
        if (pool_->board_seen.load() == finished) return pool_->access.load();
        uint64_t const generation = read_access_generation(conn(), *pool_);
        pool_->board_seen.store(finished);
        return generation;
    }
    // Without a board: another connection's commit, of this process or another, moves the data
    // version; one of our own does not, and the writer raised the count itself.
    Db &db = conn();
    int64_t const version = db.scalar_int("PRAGMA data_version").value_or(0);
    if (version == db.access_version) return pool_->access.load();
    uint64_t const generation = read_access_generation(db, *pool_);
    db.access_version = version;
    return generation;
}

void SetStore::access_change_begins() const {
    if (uint64_t *board = board_of(*pool_)) begun(board).fetch_add(1);
}

uint64_t SetStore::bump_access_generation(Db &db) {
    Stmt(db.handle(), "INSERT INTO meta(key, value) VALUES(?1, '1') ON CONFLICT(key) DO UPDATE SET value ="
                      " CAST(CAST(value AS INTEGER) + 1 AS TEXT)")
        .bind(1, kAccessKey)
        .step();
    return static_cast<uint64_t>(
        db.scalar_int("SELECT CAST(value AS INTEGER) FROM meta WHERE key=?", kAccessKey).value_or(0));
}

void SetStore::access_change_ends(uint64_t generation) const {
    if (generation != 0) raise_to(pool_->access, generation);
    if (uint64_t *board = board_of(*pool_)) done(board).fetch_add(1);
}

int open_store_connections() { return g_open_connections.load(); }

void close_store_connections() {
    stop_checkpointer();
    // The calling thread's own, then those kept for no thread (threads that ended gave theirs
    // back). Closing a set's last connection checkpoints its log and removes it.
    ThreadConnections &t = t_connections;
    std::vector<Lent> mine;
    for (std::size_t i = t.lent.size(); i-- > 0;) {
        if (!unused(*t.lent[i].db)) continue;
        mine.push_back(std::move(t.lent[i]));
        t.lent.erase(t.lent.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (t.retired.db && unused(*t.retired.db)) mine.push_back(std::move(t.retired));
    std::list<Lent> kept;
    {
        std::lock_guard<std::mutex> lock(g_idle_mu);
        kept.splice(kept.end(), idle());
    }
    std::set<std::string> sets;
    for (const Lent &l : mine) sets.insert(l.db->path());
    for (const Lent &l : kept) sets.insert(l.db->path());
    mine.clear();
    kept.clear();
    // A log left beside its set (a full disk kept it from being written back, or another process
    // still has the set open) holds committed writes: whoever backs up the set must know.
    for (const std::string &set : sets) {
        if (::access((set + "-wal").c_str(), F_OK) != 0) continue;
        const std::string text = "stopped with " + set +
                                 "-wal beside the set; it holds committed writes: keep it and " + set +
                                 "-shm with the set";
        AdDiagnostic::Report(L"Store", w(text).GetString());
    }
}

SetStore open_set(const CString &dbset) {
    std::string name = u8(dbset);
    if (!valid_set_name(name)) refuse_set(dbset, "");
    // A data directory that holds no sets makes every set unreachable; why (which names the
    // server's paths) goes to the diagnostics only.
    try {
        KXProductStore::EnsureDataDirectory();
    } catch (KXException *e) {
        const std::string why = u8(e->GetErrorString());
        e->Delete();
        refuse_set(dbset, why);
    }
    std::string path = KXProductStore::SetPath(dbset);
    if (::access(path.c_str(), R_OK | W_OK) != 0) refuse_set(dbset, path + ": " + std::strerror(errno));
    if (!looks_like_sqlite(path)) refuse_set(dbset, path + ": not an SQLite database");
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) refuse_set(dbset, path + ": " + std::strerror(errno));
    std::shared_ptr<SetPool> pool = pool_for(path, dbset);
    {
        std::lock_guard<std::mutex> lock(pool->mu);
        if (pool->dev != st.st_dev || pool->ino != st.st_ino) {
            if (pool->dev != 0 || pool->ino != 0) pool->generation.fetch_add(1);
            pool->dev = st.st_dev;
            pool->ino = st.st_ino;
        }
    }
    SetStore store(std::move(pool));
    // A set that cannot be opened is refused here, not in a later call; one that an earlier build
    // wrote (even since this connection opened) is brought up to date first.
    Db &db = store.conn();
    try {
        migrate(db);
    } catch (const StoreError &e) {
        refuse_set(dbset, e.text);
    }
    return store;
}

} // namespace kxp

using namespace kxp;

std::string KXProductStore::DataDirectory() {
    const char *env = std::getenv("KX_PRODUCT_DATA");
    return env && *env ? std::string(env) : std::string("var");
}

std::string KXProductStore::SetPath(const CString &dbset) { return DataDirectory() + "/" + dbset.ToUtf8() + ".kxdb"; }

void KXProductStore::EnsureDataDirectory() {
    std::string dir = DataDirectory();
    std::lock_guard<std::mutex> lock(g_dirs_mu);
    if (ensured_dirs().count(dir)) return;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        AdDiagnostic::Report(L"Store", w("mkdir " + dir + ": " + std::strerror(errno)).GetString());
        throw_kx(KX_MSG_CONNECTION_FAILED, L"Cannot create the data directory.", "KXProductStore::EnsureDataDirectory");
    }
    // A file under its name, or a directory the server may not write, is refused before the demo
    // set is tried there.
    struct stat st {};
    std::string why;
    if (::stat(dir.c_str(), &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        why = "not a directory";
    else if (::access(dir.c_str(), W_OK | X_OK) != 0)
        why = std::strerror(errno);
    if (!why.empty()) {
        AdDiagnostic::Report(L"Store", w("data directory " + dir + ": " + why).GetString());
        throw_kx(KX_MSG_CONNECTION_FAILED, L"Cannot use the data directory.", "KXProductStore::EnsureDataDirectory");
    }
    if (InstalledDbSets().empty()) {
        try {
            CreateFromDefinition(DemoDefinition(), dir);
        } catch (KXException *e) {
            // Another process may have created it at the same moment.
            bool raced = !InstalledDbSets().empty();
            if (!raced) throw;
            e->Delete();
        }
    }
    ensured_dirs().insert(dir);
}

std::vector<CString> KXProductStore::InstalledDbSets() {
    std::vector<CString> out;
    std::string dir = DataDirectory();
    DIR *d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n[0] != '.' && n.compare(n.size() - 5, 5, ".kxdb") == 0) {
            std::string set = n.substr(0, n.size() - 5);
            if (valid_set_name(set)) out.push_back(w(set));
        }
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

CString KXProductStore::CreateFromDefinition(const std::string &xml, const std::string &directory) {
    KXFaultInjector::Enter("KXProductStore::CreateFromDefinition");
    return create_set(xml, directory);
}

CString KXProductStore::CreateFromDefinitionFile(const std::string &path, const std::string &directory) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw_kx(KX_MSG_NOT_FOUND, L"Cannot read " + w(path), "KXProductStore::CreateFromDefinitionFile");
    std::ostringstream s;
    s << in.rdbuf();
    return CreateFromDefinition(s.str(), directory);
}

const std::string &KXProductStore::DemoDefinition() {
    static const std::string demo(kx_demo_definition);
    return demo;
}

HRESULT callCoInitializeEx() { return 0; }

void KXProductStore::CloseConnections() { close_store_connections(); }

int KXProductStore::OpenConnections() { return open_store_connections(); }
