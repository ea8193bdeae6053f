// Administration: accessible databases, user creation and upgrade, mastership properties.
#include <algorithm>

#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "secrets.h"

using namespace kxp;

namespace {

constexpr wchar_t kMasterName[] = L"MASTR";

void require_master_name(const CString &master) {
    if (master != kMasterName)
        throw new PaMsgException(KX_MSG_NOT_FOUND, L"Master database '" + master + L"' does not exist.");
}

// Enters the operation, then runs f(core) on the live session under its lock, store failures
// turned into product exceptions.
template <class F>
auto in_session(const AdSessionPtr &real, const char *op, F &&f) {
    KXFaultInjector::Enter(op);
    if (!real) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", op);
    SessionCore &c = live(real.get(), op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded(op, [&] { return f(c); });
}

struct UserFacts {
    int64_t dbid = 0;
    int privileges = 0;
    bool active = false;
    std::string salt, hash;
};

bool read_user(Db &db, const CString &login, UserFacts &out) {
    Stmt s(db.handle(), "SELECT dbid, privileges, active, password_salt, password_hash FROM users WHERE login_name=?");
    s.bind(1, u8(login));
    if (!s.step()) return false;
    out = UserFacts{s.int64(0), s.integer(1), s.integer(2) != 0, s.text(3), s.text(4)};
    return true;
}

// Dbids of the user databases the user may log on to: subscribed directly or through a group;
// super users every one.
std::vector<int64_t> usable_databases(Db &db, int64_t user, int privileges) {
    std::vector<int64_t> out;
    if (privileges & PRIV_SUPER_USER) {
        Stmt s(db.handle(), "SELECT dbid FROM databases WHERE is_master=0 ORDER BY dbid");
        while (s.step()) out.push_back(s.int64(0));
        return out;
    }
    Stmt s(db.handle(),
           "SELECT DISTINCT d.dbid FROM databases d JOIN subscriptions s ON s.database_dbid=d.dbid WHERE d.is_master=0"
           " AND (s.user_dbid=?1 OR s.group_dbid IN (SELECT group_dbid FROM group_members WHERE user_dbid=?1))"
           " ORDER BY d.dbid");
    s.bind(1, user);
    while (s.step()) out.push_back(s.int64(0));
    return out;
}

struct DatabaseRow {
    int64_t dbid;
    CString name, description;
    bool master;
};

std::vector<DatabaseRow> all_databases(Db &db) {
    std::vector<DatabaseRow> out;
    Stmt s(db.handle(), "SELECT dbid, name, description, is_master FROM databases ORDER BY is_master DESC, dbid");
    while (s.step()) out.push_back({s.int64(0), w(s.text(1)), w(s.text(2)), s.integer(3) != 0});
    return out;
}

bool contains(const std::vector<int64_t> &v, int64_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// ---- mastership properties: a table of their own, made on the first write so that sets written
// before it existed keep opening.

const char *const kMasterTable =
    "CREATE TABLE IF NOT EXISTS master_properties(name TEXT NOT NULL, database_name TEXT NOT NULL,"
    " replica_name TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(name, database_name, replica_name))";

bool master_table_exists(Db &db) {
    return db.scalar_int("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='master_properties'")
               .value_or(0) != 0;
}

// Refuses an empty name and a database or replica the set does not have.
void check_master_key(Db &db, const CString &name, const CString &database, const CString &replica, const char *op) {
    if (name.IsEmpty()) throw_kx(KX_MSG_BAD_VALUE, L"A mastership property needs a name.", op);
    if (!database.IsEmpty() && database != kMasterName) {
        Stmt s(db.handle(), "SELECT 1 FROM databases WHERE name=? AND is_master=0");
        s.bind(1, u8(database));
        if (!s.step()) throw new PaMsgException(KX_MSG_NOT_FOUND, L"Database '" + database + L"' does not exist.");
    }
    if (!replica.IsEmpty()) {
        Stmt s(db.handle(), "SELECT 1 FROM replicas WHERE name=?");
        s.bind(1, u8(replica));
        if (!s.step()) throw new PaMsgException(KX_MSG_NOT_FOUND, L"Replica '" + replica + L"' does not exist.");
    }
}

CString read_master_property(Db &db, const CString &name, const CString &database, const CString &replica,
                             const char *op) {
    check_master_key(db, name, database, replica, op);
    if (!master_table_exists(db)) return CString();
    Stmt s(db.handle(), "SELECT value FROM master_properties WHERE name=? AND database_name=? AND replica_name=?");
    s.bind(1, u8(name)).bind(2, u8(database)).bind(3, u8(replica));
    return s.step() ? w(s.text(0)) : CString();
}

bool valid_login(const CString &login) {
    if (login.IsEmpty() || login.GetLength() > 254) return false;
    for (int i = 0; i < login.GetLength(); ++i)
        if (static_cast<unsigned>(login[i]) < 0x20 || login[i] == 0x7f) return false;
    return true;
}

} // namespace

KXSmartPtr<KXDatabaseDesc> AdDatabaseDescSet::GetItem(int index) const {
    if (index < 0 || index >= GetLength()) return KXSmartPtr<KXDatabaseDesc>();
    return items_[static_cast<size_t>(index)];
}

KXSmartPtr<AdDatabaseDescSet> AdSessionMgr::GetAccessibleDatabases(const CString &master, const CString &user,
                                                                   const CString *password, const CString &dbset,
                                                                   const CString & /*host*/) {
    const char *op = "AdSessionMgr::GetAccessibleDatabases";
    KXFaultInjector::Enter(op);
    require_master_name(master);
    auto db = open_set(dbset);
    return guarded(op, [&] {
        UserFacts u;
        // One refusal for every failure so that a caller cannot probe which logins exist.
        bool const known = read_user(*db, user, u) && u.active;
        if (password && (!known || u.hash.empty())) verify_dummy_password(u8(*password));
        bool ok = known &&
                  (!password || (!u.hash.empty() && user_password_matches(*db, u.dbid, u.salt, u.hash, u8(*password))));
        if (!ok) throw_login_failed(user, op);
        std::vector<int64_t> usable = usable_databases(*db, u.dbid, u.privileges);
        std::vector<KXSmartPtr<KXDatabaseDesc>> items;
        for (const auto &d : all_databases(*db)) {
            KXSmartPtr<KXDatabaseDesc> desc(
                new KXDatabaseDesc(d.dbid, dbset, d.master ? CString(kMasterName) : d.name, d.description, d.master));
            desc->SetAccessible(!d.master && contains(usable, d.dbid));
            items.push_back(desc);
        }
        return KXSmartPtr<AdDatabaseDescSet>(new AdDatabaseDescSet(std::move(items)));
    });
}

BOOL AdSessionMgr::IsLoginName(const CString &user, const CString &dbset) {
    const char *op = "AdSessionMgr::IsLoginName";
    KXFaultInjector::Enter(op);
    SetStore db;
    try {
        db = open_set(dbset);
    } catch (KXException *e) {
        // A set that cannot be opened holds no login.
        const bool unopened = e->GetMsgId() == KX_MSG_CONNECTION_FAILED;
        if (!unopened) throw;
        e->Delete();
        return FALSE;
    }
    return guarded(op, [&] {
        UserFacts u;
        return read_user(*db, user, u) ? TRUE : FALSE;
    });
}

std::vector<KXSmartPtr<KXDatabase>> KXSession::GetAccessibleDatabases(const CString &master, const CString &user,
                                                                      const CString &dbset) {
    const char *op = "KXSession::GetAccessibleDatabases";
    KXFaultInjector::Enter(op);
    require_master_name(master);
    auto db = open_set(dbset);
    return guarded(op, [&] {
        std::vector<int64_t> usable;
        if (!user.IsEmpty()) {
            UserFacts u;
            if (read_user(*db, user, u) && u.active) usable = usable_databases(*db, u.dbid, u.privileges);
        }
        std::vector<KXSmartPtr<KXDatabase>> out;
        for (const auto &d : all_databases(*db)) {
            if (!user.IsEmpty() && !contains(usable, d.dbid)) continue;
            // The master database goes by the name of its set.
            out.emplace_back(new KXDatabase(d.dbid, d.master ? dbset : d.name, d.description, d.master));
        }
        return out;
    });
}

CString KXSession::GetMasterPropertyValueEx(const CString &name, const CString &database, const CString &replica) {
    const char *op = "KXSession::GetMasterPropertyValueEx";
    return in_session(real_, op,
                      [&](SessionCore &c) { return read_master_property(*c.db, name, database, replica, op); });
}

KXSmartPtr<KXUser> KXAdminSession::CreateUser(const CString &login) {
    const char *op = "KXAdminSession::CreateUser";
    in_session(real_, op, [&](SessionCore &c) {
        if (!(c.privileges & (PRIV_SUPER_USER | PRIV_USER_ADMIN)))
            throw_kx(KX_MSG_NO_PERMISSION_CREATE_USER, L"User '" + c.login + L"' may not create users.", op);
        if (!valid_login(login)) throw_kx(KX_MSG_BAD_VALUE, L"'" + login + L"' is not a valid login name.", op);
        Txn txn(*c.db);
        UserFacts existing;
        if (read_user(*c.db, login, existing))
            throw_kx(KX_MSG_ALREADY_EXISTS, L"User '" + login + L"' already exists.", op);
        // An empty password hash matches no password: the user cannot log on until one is set.
        Stmt s(c.db->handle(),
               "INSERT INTO users(dbid, login_name, password_salt, password_hash, privileges, auth_mode, active)"
               " VALUES(?, ?, '', '', 0, ?, 1)");
        s.bind(1, c.db->new_dbid()).bind(2, u8(login)).bind(3, KX_AUTH_PRODUCT).step();
        txn.commit();
    });
    KXSmartPtr<KXUser> user = GetUser(login);
    if (!user) throw_kx(KX_MSG_NOT_FOUND, L"User '" + login + L"' vanished after it was created.", op);
    return user;
}

CString KXAdminSession::GetMasterProperty(const CString &name, const CString &database, const CString &replica) {
    const char *op = "KXAdminSession::GetMasterProperty";
    return in_session(real_, op,
                      [&](SessionCore &c) { return read_master_property(*c.db, name, database, replica, op); });
}

void KXAdminSession::SetMasterProperty(const CString &name, const CString &value, const CString &database,
                                       const CString &replica) {
    const char *op = "KXAdminSession::SetMasterProperty";
    in_session(real_, op, [&](SessionCore &c) {
        check_master_key(*c.db, name, database, replica, op);
        Txn txn(*c.db);
        c.db->exec(kMasterTable);
        Stmt s(c.db->handle(), "INSERT INTO master_properties(name, database_name, replica_name, value) VALUES(?,?,?,?)"
                               " ON CONFLICT(name, database_name, replica_name) DO UPDATE SET value=excluded.value");
        s.bind(1, u8(name)).bind(2, u8(database)).bind(3, u8(replica)).bind(4, u8(value)).step();
        txn.commit();
    });
}

void KXAdminSession::UnsetMasterProperty(const CString &name, const CString &database, const CString &replica) {
    const char *op = "KXAdminSession::UnsetMasterProperty";
    in_session(real_, op, [&](SessionCore &c) {
        check_master_key(*c.db, name, database, replica, op);
        if (!master_table_exists(*c.db)) return;
        Txn txn(*c.db);
        Stmt s(c.db->handle(), "DELETE FROM master_properties WHERE name=? AND database_name=? AND replica_name=?");
        s.bind(1, u8(name)).bind(2, u8(database)).bind(3, u8(replica)).step();
        txn.commit();
    });
}

std::vector<CString> KXUser::UpgradeInfo() {
    const char *op = "KXUser::UpgradeInfo";
    return in_session(d_.session, op, [&](SessionCore &c) {
        UserFacts u;
        if (!read_user(*c.db, d_.login, u)) throw_kx(KX_MSG_NOT_FOUND, L"User '" + d_.login + L"' does not exist.", op);
        std::vector<CString> lines;
        std::vector<int64_t> usable = usable_databases(*c.db, u.dbid, u.privileges);
        for (const auto &d : all_databases(*c.db)) {
            if (!contains(usable, d.dbid)) continue;
            if (c.db->scalar_int("SELECT locked FROM databases WHERE dbid=" + std::to_string(d.dbid)).value_or(0) != 0)
                throw_kx(KX_MSG_DATABASE_LOCKED, L"Database '" + d.name + L"' is locked.", op);
            lines.push_back(L"User '" + d_.login + L"' is up to date in database '" + d.name + L"'.");
        }
        return lines;
    });
}
