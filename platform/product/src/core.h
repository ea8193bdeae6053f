// Internal state behind sessions: the open store and the schema snapshot.
#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kxproduct/entity.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/metadata.h"
#include "kxproduct/session.h"
#include "sqlite_db.h"

namespace kxp {

struct WorkspaceTree;

// Privilege bits of the user table; callers ask by kind (KXPrivilegeKind).
enum PrivBit : int {
    PRIV_SUPER_USER = 1,
    PRIV_SCHEMA_DESIGNER = 2,
    PRIV_USER_ADMIN = 4,
    PRIV_PUBLIC_FOLDER_ADMIN = 8,
    PRIV_SECURITY_ADMIN = 16,
    PRIV_DYNAMIC_LIST_ADMIN = 32,
    PRIV_RAW_SQL_WRITER = 64,
    PRIV_APP_BUILDER = 128,
    PRIV_FAR_LINK_ADMIN = 256,
};

// Record types, families and lists of a set, read once per session at logon.
struct Schema {
    std::vector<KXSmartPtr<AdEntityDef>> defs; // record types first, then families, by position
    std::vector<KXSmartPtr<AdListDef>> lists;
    std::vector<KXSmartPtr<AdHookDef>> global_hooks; // global scripts, by position
    std::map<int64_t, AdEntityDef *> by_dbid;
    std::map<int64_t, CString> state_names; // state dbid -> name
    // The record history as a record type; not among defs, so listings stay as they were.
    KXSmartPtr<AdEntityDef> history;
    AdEntityDef *find(const CString &name) const;
};

struct SetPool;

// The store of one database set as a session sees it. A session owns no connection: each thread
// that works on the set uses one lent to it from the set's pool (store work never spans calls:
// statements and transactions end within the call that made them), so an idle session holds no
// file descriptor and the connections open are bounded by threads, not sessions.
class SetStore {
public:
    SetStore() = default;
    explicit SetStore(std::shared_ptr<SetPool> pool) : pool_(std::move(pool)) {}
    // The calling thread's connection to the set; KXException KX_MSG_CONNECTION_FAILED when it
    // cannot be opened.
    Db &conn() const;
    Db *operator->() const { return &conn(); }
    Db &operator*() const { return conn(); }
    // The set's access generation: every change of a user's active flag or rights, made by any
    // process, moves it. A check reads the set only after some process changed access since
    // (told by the set's access board, or without one by PRAGMA data_version).
    uint64_t access_generation() const;
    // A change of access: access_change_begins before its transaction commits, which moves the
    // generation (bump_access_generation, inside it), and access_change_ends after, with the new
    // generation (0: the transaction did not commit).
    void access_change_begins() const;
    static uint64_t bump_access_generation(Db &db);
    void access_change_ends(uint64_t generation) const;

private:
    std::shared_ptr<SetPool> pool_;
};

// Store connections open in this process (lent to threads and idle), for tests.
int open_store_connections();
// Closes the store connections that no thread uses (KXProductStore::CloseConnections).
void close_store_connections();

struct SessionCore {
    SetStore db;
    std::shared_ptr<Schema> schema;
    CString set_name;
    int64_t database_dbid = 0;
    CString database_name;
    // The rest of the session's database row, read on first use: a set's databases are neither
    // renamed nor removed, so GetSessionDatabase answers from it without a read.
    bool database_row_read = false;
    CString database_description;
    bool database_is_master = false;
    bool admin = false;
    int64_t user_dbid = 0;
    CString login, full_name;
    // The logon ticket of the session (never the password): opens an administrator session for the
    // same user and set while this session lives.
    CString password;
    // Read again whenever the set's access generation moves (CheckSessionUserActive).
    std::atomic<int> privileges{0};
    std::map<CString, CString> name_values;
    bool restricted = false;
    std::atomic<bool> ended{false};
    // The set's access generation at which the user's row was last read (SetStore::access_generation).
    std::atomic<uint64_t> access_seen{0};
    // The session's picture of the workspace, read on first use.
    std::shared_ptr<WorkspaceTree> workspace;
    // One session may be used from several threads, one call at a time.
    std::recursive_mutex mu;
    ~SessionCore();
};

// The set's store, checked and opened for the calling thread (never creating the file);
// KXException KX_MSG_CONNECTION_FAILED when it cannot.
SetStore open_set(const CString &dbset);
// Writes a new set file from its definition document in `directory` (loader.cpp); returns the set's name.
CString create_set(const std::string &xml, const std::string &directory);
std::shared_ptr<Schema> load_schema(Db &db);
void refresh_list_values(Db &db, AdListDef *list);

// UTF-8 <-> CString at the store edge.
inline std::string u8(const CString &s) { return s.ToUtf8(); }
inline CString w(const std::string &s) { return CString::FromUtf8(s); }

// Dates are stored in UTC and handed out in the server's local time ("YYYY-MM-DD HH:MM:SS"); a
// text that is no date passes unchanged.
CString utc_to_local(const CString &utc);
CString local_to_utc(const CString &local);
// The record types whose records a record type or family holds.
std::vector<int64_t> concrete_types(AdEntityDef *def);

[[noreturn]] void throw_kx(int msg_id, const CString &text, const char *source);
// The one refusal of a logon, and of a session whose user is no longer active: the same text
// whatever the cause, so that a caller cannot probe which logins exist.
[[noreturn]] void throw_login_failed(const CString &user, const char *source);
// The session's state, or KXException KX_MSG_SESSION_ENDED for a missing or ended session.
SessionCore &live(const AdSession *session, const char *op);
inline SessionCore &live(const AdSessionPtr &session, const char *op) { return live(session.get(), op); }
// Runs f, turning store failures into KXException with the operation as source.
template <class F>
auto guarded(const char *source, F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const StoreError &e) {
        throw_kx(KX_MSG_COMMIT_FAILED, w(e.text), source);
    }
}

// The user of that login as stored now, read through `via` (its session of record); null when
// there is none. The caller holds c.mu.
KXSmartPtr<KXUser> load_user(SessionCore &c, const AdSessionPtr &via, const CString &login);
// Value of a setting of the set (meta key "setting:<name>"); `fallback` when unset.
std::string setting(Db &db, const std::string &name, const std::string &fallback);

// What a value costs the heap while it is held: an estimate that errs high (each allocation's
// size rounded up with its header, a text's whole capacity).
// Large ones are mapped pages of their own.
inline size_t heap_bytes(size_t bytes) {
    constexpr size_t mapped_from = 128 * 1024, page = 4096;
    size_t const chunk = bytes + 2 * sizeof(void *);
    return chunk >= mapped_from ? (chunk + page - 1) & ~(page - 1) : (chunk + 15) & ~size_t(15);
}
inline size_t held_bytes(const CString &text) {
    return sizeof(CString) + heap_bytes((text.str().capacity() + 1) * sizeof(wchar_t));
}
inline size_t held_bytes(const std::string &text) { return sizeof(std::string) + heap_bytes(text.capacity() + 1); }
inline size_t held_bytes(const FieldValues &values) { return sizeof(FieldValues) + values.held_bytes(); }
template <class T>
size_t held_bytes(const std::vector<T> &values);
template <class T>
size_t held_bytes(const std::set<T> &values);
template <class K, class V>
size_t held_bytes(const std::map<K, V> &map);
// A tree node's own allocation: three links, a colour and the element.
template <class E>
constexpr size_t node_bytes() {
    return 4 * sizeof(void *) + sizeof(E);
}
template <class T>
size_t held_bytes(const std::vector<T> &values) {
    size_t n = sizeof(values) + heap_bytes(values.capacity() * sizeof(T));
    for (const T &v : values) n += held_bytes(v) - sizeof(T);
    return n;
}
template <class T>
size_t held_bytes(const std::set<T> &values) {
    size_t n = sizeof(values);
    for (const T &v : values) n += heap_bytes(node_bytes<T>()) + held_bytes(v) - sizeof(T);
    return n;
}
template <class K, class V>
size_t held_bytes(const std::map<K, V> &map) {
    size_t n = sizeof(map);
    for (const auto &[key, value] : map)
        n += heap_bytes(node_bytes<std::pair<const K, V>>()) + held_bytes(key) - sizeof(K) + held_bytes(value) -
             sizeof(V);
    return n;
}

std::string now_text();
// Removes a record's row of the full-text index.
void remove_record_text(Db &db, int64_t record);
// Replaces a record's row of the full-text index (types: the field type of each value's field).
void index_record_text(Db &db, int64_t record, int64_t database, const std::string &display,
                       const std::vector<std::pair<int, std::string>> &typed_values);

} // namespace kxp
