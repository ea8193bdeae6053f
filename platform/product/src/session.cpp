#include <algorithm>

#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "secrets.h"

using namespace kxp;

namespace {

// Logon tickets: a session keeps no password, only a ticket that its own user can present to open
// an administrator session of the same set while the session lives.
struct TicketOwner {
    std::string set;
    int64_t user = 0;
};
std::mutex g_tickets_mu;
std::map<std::string, TicketOwner> &tickets() {
    static std::map<std::string, TicketOwner> m;
    return m;
}
const char kTicketPrefix[] = "KXT$";

std::string issue_ticket(const CString &set, int64_t user) {
    std::string t = kTicketPrefix + hex(reinterpret_cast<const uint8_t *>(random_bytes(24).data()), 24);
    std::lock_guard<std::mutex> lock(g_tickets_mu);
    tickets()[t] = TicketOwner{u8(set), user};
    return t;
}

bool ticket_accepts(const CString &presented, const CString &set, int64_t user) {
    std::lock_guard<std::mutex> lock(g_tickets_mu);
    auto it = tickets().find(u8(presented));
    return it != tickets().end() && it->second.set == u8(set) && it->second.user == user;
}

struct UserRow {
    int64_t dbid = 0;
    CString login, full_name;
    int privileges = 0;
    bool active = false;
    std::string salt, hash;
};

bool find_user(Db &db, const CString &login, UserRow &out) {
    Stmt s(db.handle(), "SELECT dbid, login_name, full_name, privileges, active, password_salt, password_hash FROM "
                        "users WHERE login_name=?");
    s.bind(1, u8(login));
    if (!s.step()) return false;
    out = UserRow{s.int64(0), w(s.text(1)), w(s.text(2)), s.integer(3), s.integer(4) != 0, s.text(5), s.text(6)};
    return true;
}

// Checks user and password (unless single sign-on vouches for the user); one message for every
// refusal so that a caller cannot probe which logins exist.
UserRow authenticate(Db &db, const CString &dbset, const CString &user, const CString &password, bool trusted,
                     const char *op) {
    UserRow row;
    // A user without a password (an empty hash) cannot log on, not even through single sign-on.
    bool const known = find_user(db, user, row) && row.active && !row.hash.empty();
    if (!known && !trusted) verify_dummy_password(u8(password));
    bool ok = known && (trusted || ticket_accepts(password, dbset, row.dbid) ||
                        user_password_matches(db, row.dbid, row.salt, row.hash, u8(password)));
    if (!ok) throw_login_failed(user, op);
    return row;
}

bool sso_accepts(Db &db, const CString &password) {
    Stmt s(db.handle(), "SELECT key, value FROM meta WHERE key IN ('sso_enabled', 'sso_salt', 'sso_hash')");
    std::map<std::string, std::string> m;
    while (s.step()) m[s.text(0)] = s.text(1);
    if (m["sso_enabled"] != "1" || m["sso_hash"].empty()) return false;
    PasswordMatch match = match_password(m["sso_salt"], m["sso_hash"], u8(password));
    if (match == PasswordMatch::OLD_FORM) {
        try {
            // The hash first: a new-form hash is read as such whatever salt is still beside it.
            Stmt(db.handle(), "UPDATE meta SET value=? WHERE key='sso_hash' AND value=?")
                .bind(1, password_hash(u8(password)))
                .bind(2, m["sso_hash"])
                .step();
            Stmt(db.handle(), "UPDATE meta SET value='' WHERE key='sso_salt'").step();
        } catch (const StoreError &) {
            // Rewritten at a later logon.
        }
    }
    return match != PasswordMatch::NO;
}

// `seen`: the set's access generation read before the user's row was.
std::unique_ptr<SessionCore> make_core(SetStore db, const CString &dbset, const UserRow &user, uint64_t seen) {
    auto core = std::make_unique<SessionCore>();
    core->access_seen = seen;
    core->db = std::move(db);
    core->set_name = dbset;
    core->user_dbid = user.dbid;
    core->login = user.login;
    core->full_name = user.full_name;
    core->password = w(issue_ticket(dbset, user.dbid));
    core->privileges = user.privileges;
    core->schema = load_schema(*core->db);
    return core;
}

// The caller holds c.mu.
KXSmartPtr<KXDatabaseDesc> descriptor(SessionCore &c) {
    if (!c.database_row_read) {
        // The name was read with the row at logon.
        Stmt s(c.db->handle(), "SELECT description, is_master FROM databases WHERE dbid=?");
        s.bind(1, c.database_dbid);
        if (!s.step()) throw_kx(KX_MSG_NOT_FOUND, L"The session's database is gone.", "AdSession::GetSessionDatabase");
        c.database_description = w(s.text(0));
        c.database_is_master = s.integer(1) != 0;
        c.database_row_read = true;
    }
    return KXSmartPtr<KXDatabaseDesc>(
        new KXDatabaseDesc(c.database_dbid, c.set_name, c.database_name, c.database_description, c.database_is_master));
}

} // namespace

KXSmartPtr<KXUser> kxp::load_user(SessionCore &c, const AdSessionPtr &via, const CString &login) {
    Stmt s(c.db->handle(), "SELECT dbid, login_name, full_name, email, phone, misc_info, privileges, auth_mode, active,"
                           " password_hash <> '' FROM users WHERE login_name=?");
    s.bind(1, u8(login));
    if (!s.step()) return KXSmartPtr<KXUser>();
    KXUserData d;
    d.dbid = s.int64(0);
    d.login = w(s.text(1));
    d.full_name = w(s.text(2));
    d.email = w(s.text(3));
    d.phone = w(s.text(4));
    d.misc_info = w(s.text(5));
    d.privileges = s.integer(6);
    d.auth_mode = s.integer(7);
    d.active = s.integer(8) != 0;
    d.has_password = s.integer(9) != 0;
    d.session = via;
    Stmt r(c.db->handle(), "SELECT name FROM replicas WHERE is_local=1 ORDER BY dbid LIMIT 1");
    if (r.step()) d.master_replica = w(r.text(0));
    Stmt g(
        c.db->handle(),
        "SELECT g.name FROM groups g JOIN group_members m ON m.group_dbid=g.dbid WHERE m.user_dbid=? ORDER BY g.name");
    g.bind(1, d.dbid);
    while (g.step()) d.groups.push_back(w(g.text(0)));
    Stmt db(
        c.db->handle(),
        "SELECT DISTINCT d.name FROM databases d JOIN subscriptions s ON s.database_dbid=d.dbid WHERE s.user_dbid=?1"
        " OR s.group_dbid IN (SELECT group_dbid FROM group_members WHERE user_dbid=?1) ORDER BY d.name");
    db.bind(1, d.dbid);
    while (db.step()) d.databases.push_back(w(db.text(0)));
    return KXSmartPtr<KXUser>(new KXUser(std::move(d)));
}

SessionCore::~SessionCore() {
    std::lock_guard<std::mutex> lock(g_tickets_mu);
    tickets().erase(u8(password));
}

// ---- AdSession ----

AdSession::AdSession(std::unique_ptr<SessionCore> core)
    : core_(std::move(core)), connection_(std::make_unique<AdDbConnection>(this)) {}
AdSession::~AdSession() = default;

CString AdSession::GetSessionUserLoginName() const { return live(this, "AdSession::GetSessionUserLoginName").login; }
CString AdSession::GetSessionUserFullName() const { return live(this, "AdSession::GetSessionUserFullName").full_name; }
CString AdSession::GetSessionUserPassword() const { return live(this, "AdSession::GetSessionUserPassword").password; }
CString AdSession::GetSessionDbSetName() const { return live(this, "AdSession::GetSessionDbSetName").set_name; }
int64_t AdSession::GetSessionUserId() const { return live(this, "AdSession::GetSessionUserId").user_dbid; }
BOOL AdSession::IsAdminSession() const { return core_->admin; }

void AdSession::CheckSessionUserActive() const {
    const char *op = "AdSession::CheckSessionUserActive";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(this, op);
    // Read before the row: a change committed after this read moves the generation again.
    uint64_t const now = guarded(op, [&] { return c.db.access_generation(); });
    if (c.access_seen.load() == now) return;
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    KXFaultInjector::Enter("AdSession::ReadSessionUser");
    std::optional<int> const privileges = guarded(op, [&]() -> std::optional<int> {
        Stmt s(c.db->handle(), "SELECT active, privileges FROM users WHERE dbid=?");
        s.bind(1, c.user_dbid);
        if (!s.step() || s.integer(0) == 0) return std::nullopt;
        return s.integer(1);
    });
    if (!privileges) throw_login_failed(c.login, op);
    c.privileges = *privileges;
    // Its rights are asked again at the next check, so that they count as soon as they are back.
    if (c.admin && !(*privileges & (PRIV_SUPER_USER | PRIV_USER_ADMIN)))
        throw_kx(KX_MSG_NOT_PRIVILEGED,
                 L"User '" + c.login + L"' no longer has administrator rights on '" + c.set_name + L"'.", op);
    c.access_seen = now;
}

KXSmartPtr<KXDatabaseDesc> AdSession::GetSessionDatabase() const {
    KXFaultInjector::Enter("AdSession::GetSessionDatabase");
    SessionCore &c = live(this, "AdSession::GetSessionDatabase");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::GetSessionDatabase", [&] { return descriptor(c); });
}

int AdSession::GetSessionFeatureLevel() const {
    KXFaultInjector::Enter("AdSession::GetSessionFeatureLevel");
    SessionCore &c = live(this, "AdSession::GetSessionFeatureLevel");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::GetSessionFeatureLevel", [&] {
        return static_cast<int>(
            c.db->scalar_int("SELECT feature_level FROM databases WHERE dbid=" + std::to_string(c.database_dbid))
                .value_or(0));
    });
}

long AdSession::GetSessionSoftQueryLimit() const {
    KXFaultInjector::Enter("AdSession::GetSessionSoftQueryLimit");
    SessionCore &c = live(this, "AdSession::GetSessionSoftQueryLimit");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::GetSessionSoftQueryLimit", [&] {
        return static_cast<long>(
            c.db->scalar_int("SELECT soft_query_limit FROM databases WHERE dbid=" + std::to_string(c.database_dbid))
                .value_or(0));
    });
}

long AdSession::GetSessionHardQueryLimit() const {
    KXFaultInjector::Enter("AdSession::GetSessionHardQueryLimit");
    SessionCore &c = live(this, "AdSession::GetSessionHardQueryLimit");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::GetSessionHardQueryLimit", [&] {
        return static_cast<long>(
            c.db->scalar_int("SELECT hard_query_limit FROM databases WHERE dbid=" + std::to_string(c.database_dbid))
                .value_or(0));
    });
}

void AdSession::SetNameValue(const CString &name, const CString &value) {
    KXFaultInjector::Enter("AdSession::SetNameValue");
    SessionCore &c = live(this, "AdSession::SetNameValue");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    c.name_values[name] = value;
}

CString AdSession::GetNameValue(const CString &name) const {
    KXFaultInjector::Enter("AdSession::GetNameValue");
    SessionCore &c = live(this, "AdSession::GetNameValue");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    auto it = c.name_values.find(name);
    return it == c.name_values.end() ? CString() : it->second;
}

BOOL AdSession::IsSessionUserInGroup(const CString &group) const {
    KXFaultInjector::Enter("AdSession::IsSessionUserInGroup");
    SessionCore &c = live(this, "AdSession::IsSessionUserInGroup");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::IsSessionUserInGroup", [&] {
        Stmt s(c.db->handle(),
               "SELECT 1 FROM group_members m JOIN groups g ON g.dbid=m.group_dbid WHERE m.user_dbid=? AND g.name=?");
        s.bind(1, c.user_dbid).bind(2, u8(group));
        return s.step() ? TRUE : FALSE;
    });
}

BOOL AdSession::IsActionOplogEnabled() const {
    KXFaultInjector::Enter("AdSession::IsActionOplogEnabled");
    SessionCore &c = live(this, "AdSession::IsActionOplogEnabled");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::IsActionOplogEnabled", [&] {
        return c.db->scalar_int("SELECT oplog_enabled FROM databases WHERE dbid=" + std::to_string(c.database_dbid))
                   .value_or(0) != 0;
    });
}

namespace {

// A replica of the session's cache, read from the store on first use; null when `where` finds none.
template <class Bind>
AdReplica *cached_replica(std::vector<KXSmartPtr<AdReplica>> &cache, SessionCore &c, const char *op, const char *where,
                          Bind bind) {
    return guarded(op, [&]() -> AdReplica * {
        Stmt s(c.db->handle(),
               std::string("SELECT dbid, name, host, description, is_local FROM replicas WHERE ") + where);
        bind(s);
        if (!s.step()) return nullptr;
        for (auto &r : cache)
            if (r->GetDbId() == s.int64(0)) return r.get();
        cache.emplace_back(new AdReplica(s.int64(0), w(s.text(1)), w(s.text(2)), w(s.text(3)), s.integer(4) != 0));
        return cache.back().get();
    });
}

} // namespace

AdReplica *AdSession::LookupReplicaByName(const CString &name, int, int) {
    KXFaultInjector::Enter("AdSession::LookupReplicaByName");
    SessionCore &c = live(this, "AdSession::LookupReplicaByName");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    for (auto &r : replicas_)
        if (r->GetName() == name) return r.get();
    return cached_replica(replicas_, c, "AdSession::LookupReplicaByName", "name=?",
                          [&](Stmt &s) { s.bind(1, u8(name)); });
}

AdReplica *AdSession::LookupReplicaByDbId(int64_t dbid, int, int) {
    KXFaultInjector::Enter("AdSession::LookupReplicaByDbId");
    SessionCore &c = live(this, "AdSession::LookupReplicaByDbId");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    for (auto &r : replicas_)
        if (r->GetDbId() == dbid) return r.get();
    return cached_replica(replicas_, c, "AdSession::LookupReplicaByDbId", "dbid=?", [&](Stmt &s) { s.bind(1, dbid); });
}

AdReplica *AdSession::GetSessionMasterReplica() {
    KXFaultInjector::Enter("AdSession::GetSessionMasterReplica");
    SessionCore &c = live(this, "AdSession::GetSessionMasterReplica");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return cached_replica(replicas_, c, "AdSession::GetSessionMasterReplica", "is_local=1 ORDER BY dbid LIMIT 1",
                          [](Stmt &) {});
}

int AdSession::GetSessionUserSiteExtension() const {
    KXFaultInjector::Enter("AdSession::GetSessionUserSiteExtension");
    SessionCore &c = live(this, "AdSession::GetSessionUserSiteExtension");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::GetSessionUserSiteExtension", [&] {
        return static_cast<int>(
            c.db->scalar_int("SELECT dbid FROM replicas WHERE is_local=1 ORDER BY dbid LIMIT 1").value_or(0));
    });
}

BOOL AdSession::CanSubmit(AdEntityDef *def) const {
    KXFaultInjector::Enter("AdSession::CanSubmit");
    SessionCore &c = live(this, "AdSession::CanSubmit");
    if (!def || def->IsFamily() || c.admin) return FALSE;
    auto actions = def->GetActionDefs();
    for (int i = 0; i < actions.GetLength(); ++i) {
        const AdActionDef *a = actions.GetItem(i);
        if (a->GetActionType() == AD_ACTION_SUBMIT && !a->IsReservedForSystemUseOnly()) return TRUE;
    }
    return FALSE;
}

std::vector<AdEntityDef *> AdSession::GetEntityDefsEnabledForPackage(const CString &package,
                                                                     const CString &revision) const {
    KXFaultInjector::Enter("AdSession::GetEntityDefsEnabledForPackage");
    SessionCore &c = live(this, "AdSession::GetEntityDefsEnabledForPackage");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdSession::GetEntityDefsEnabledForPackage", [&] {
        std::vector<AdEntityDef *> out;
        Stmt s(c.db->handle(),
               "SELECT DISTINCT p.entity_def_dbid FROM package_revs p JOIN entity_defs e ON e.dbid=p.entity_def_dbid"
               " WHERE p.package=? AND (?='' OR p.revision=?) ORDER BY e.position");
        s.bind(1, u8(package)).bind(2, u8(revision)).bind(3, u8(revision));
        while (s.step()) {
            auto it = c.schema->by_dbid.find(s.int64(0));
            if (it != c.schema->by_dbid.end()) out.push_back(it->second);
        }
        return out;
    });
}

AdDbConnection *AdSession::GetDatabaseConnection() {
    live(this, "AdSession::GetDatabaseConnection");
    return connection_.get();
}

// ---- KXSession ----

KXSmartPtr<KXSession> KXSession::Build() {
    KXFaultInjector::Enter("KXSession::Build");
    return KXSmartPtr<KXSession>(new KXSession());
}

BOOL KXSession::EnableSSOLogon(const CString &password, const CString &dbset) {
    KXFaultInjector::Enter("KXSession::EnableSSOLogon");
    auto db = open_set(dbset);
    bool ok = guarded("KXSession::EnableSSOLogon", [&] { return sso_accepts(*db, password); });
    sso_ = ok;
    sso_dbset_ = dbset;
    return ok ? TRUE : FALSE;
}

void KXSession::WebUserLogon(const CString &user, const CString &password, const CString & /*server_host*/,
                             const CString &client_host, const CString &userdb, const CString &dbset) {
    KXFaultInjector::Enter("KXSession::WebUserLogon");
    const char *op = "KXSession::WebUserLogon";
    auto db = open_set(dbset);
    guarded(op, [&] {
        Stmt d(db->handle(), "SELECT dbid, name FROM databases WHERE name=? AND is_master=0");
        d.bind(1, u8(userdb));
        if (!d.step())
            throw new PaMsgException(KX_MSG_NOT_FOUND,
                                     L"User database '" + userdb + L"' does not exist in '" + dbset + L"'.");
        int64_t database = d.int64(0);
        uint64_t const seen = db.access_generation();
        UserRow row = authenticate(*db, dbset, user, password, sso_ && sso_dbset_ == dbset, op);
        Stmt sub(db->handle(),
                 "SELECT 1 FROM subscriptions s WHERE s.database_dbid=? AND (s.user_dbid=? OR s.group_dbid IN"
                 " (SELECT group_dbid FROM group_members WHERE user_dbid=?))");
        sub.bind(1, database).bind(2, row.dbid).bind(3, row.dbid);
        if (!sub.step() && !(row.privileges & PRIV_SUPER_USER))
            throw_kx(KX_MSG_NOT_SUBSCRIBED, L"User '" + user + L"' is not subscribed to database '" + userdb + L"'.",
                     op);
        auto core = make_core(db, dbset, row, seen);
        core->database_dbid = database;
        core->database_name = w(d.text(1));
        if (real_) real_->core().ended = true;
        real_ = new AdSession(std::move(core));
        client_host_ = client_host;
    });
}

void KXSession::SetNameValue(const CString &name, const CString &value) {
    KXFaultInjector::Enter("KXSession::SetNameValue");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXSession::SetNameValue");
    real_->SetNameValue(name, value);
}

CString KXSession::GetNameValue(const CString &name) const {
    KXFaultInjector::Enter("KXSession::GetNameValue");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXSession::GetNameValue");
    return real_->GetNameValue(name);
}

int KXSession::GetSessionFeatureLevel() const {
    KXFaultInjector::Enter("KXSession::GetSessionFeatureLevel");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXSession::GetSessionFeatureLevel");
    return real_->GetSessionFeatureLevel();
}

CString KXSession::GetAuthenticationLoginName() const {
    KXFaultInjector::Enter("KXSession::GetAuthenticationLoginName");
    if (!real_)
        throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXSession::GetAuthenticationLoginName");
    return real_->GetSessionUserLoginName();
}

KXSmartPtr<KXDatabaseDesc> KXSession::GetSessionDatabase() const {
    KXFaultInjector::Enter("KXSession::GetSessionDatabase");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXSession::GetSessionDatabase");
    return real_->GetSessionDatabase();
}

AdSessionPtr KXSession::GetReal() const {
    KXFaultInjector::Enter("KXSession::GetReal");
    return real_;
}

void KXSession::Unbuild() {
    KXFaultInjector::Enter("KXSession::Unbuild");
    if (!real_) return;
    // Dropping real_ may free the core and its lock: the last reference goes after the unlock.
    AdSessionPtr ending = real_;
    SessionCore &c = ending->core();
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    // Holders of the session now get refusals; it holds no store connection.
    c.ended = true;
    real_ = nullptr;
}

// ---- KXAdminSession ----

KXSmartPtr<KXAdminSession> KXAdminSession::Build() {
    KXFaultInjector::Enter("KXAdminSession::Build");
    return KXSmartPtr<KXAdminSession>(new KXAdminSession());
}

void KXAdminSession::SetLoadAllUsersAtLogon(int load) {
    KXFaultInjector::Enter("KXAdminSession::SetLoadAllUsersAtLogon");
    load_all_users_ = load;
}

BOOL KXAdminSession::EnableSSOLogon(const CString &password, const CString &dbset) {
    KXFaultInjector::Enter("KXAdminSession::EnableSSOLogon");
    auto db = open_set(dbset);
    bool ok = guarded("KXAdminSession::EnableSSOLogon", [&] { return sso_accepts(*db, password); });
    sso_ = ok;
    sso_dbset_ = dbset;
    return ok ? TRUE : FALSE;
}

void KXAdminSession::Logon(const CString &user, const CString &password, const CString &dbset) {
    KXFaultInjector::Enter("KXAdminSession::Logon");
    const char *op = "KXAdminSession::Logon";
    auto db = open_set(dbset);
    guarded(op, [&] {
        uint64_t const seen = db.access_generation();
        UserRow row = authenticate(*db, dbset, user, password, sso_ && sso_dbset_ == dbset, op);
        if (!(row.privileges & (PRIV_SUPER_USER | PRIV_USER_ADMIN)))
            throw_kx(KX_MSG_NOT_PRIVILEGED, L"User '" + user + L"' has no administrator rights on '" + dbset + L"'.",
                     op);
        auto core = make_core(db, dbset, row, seen);
        core->admin = true;
        core->database_dbid = *db->scalar_int("SELECT dbid FROM databases WHERE is_master=1");
        core->database_name = L"MASTR";
        if (real_) real_->core().ended = true;
        real_ = new AdSession(std::move(core));
    });
}

AdSessionPtr KXAdminSession::GetReal() const {
    KXFaultInjector::Enter("KXAdminSession::GetReal");
    return real_;
}

void KXAdminSession::Unbuild() {
    KXFaultInjector::Enter("KXAdminSession::Unbuild");
    if (!real_) return;
    // Dropping real_ may free the core and its lock: the last reference goes after the unlock.
    AdSessionPtr ending = real_;
    SessionCore &c = ending->core();
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    // Holders of the session now get refusals; it holds no store connection.
    c.ended = true;
    real_ = nullptr;
}

KXSmartPtr<KXDatabase> KXAdminSession::GetDatabase(const CString &name) const {
    KXFaultInjector::Enter("KXAdminSession::GetDatabase");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXAdminSession::GetDatabase");
    SessionCore &c = live(real_.get(), "KXAdminSession::GetDatabase");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("KXAdminSession::GetDatabase", [&]() -> KXSmartPtr<KXDatabase> {
        Stmt s(c.db->handle(), "SELECT dbid, name, description, is_master FROM databases WHERE name=?");
        s.bind(1, u8(name));
        if (!s.step()) return KXSmartPtr<KXDatabase>();
        bool master = s.integer(3) != 0;
        // The master database goes by the name of its set.
        return KXSmartPtr<KXDatabase>(
            new KXDatabase(s.int64(0), master ? c.set_name : w(s.text(1)), w(s.text(2)), master));
    });
}

KXSmartPtr<KXUser> KXAdminSession::GetUser(const CString &login) const {
    KXFaultInjector::Enter("KXAdminSession::GetUser");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXAdminSession::GetUser");
    SessionCore &c = live(real_.get(), "KXAdminSession::GetUser");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("KXAdminSession::GetUser", [&] { return load_user(c, real_, login); });
}

KXSmartPtr<KXGroup> KXAdminSession::GetGroup(const CString &name) const {
    KXFaultInjector::Enter("KXAdminSession::GetGroup");
    if (!real_) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXAdminSession::GetGroup");
    SessionCore &c = live(real_.get(), "KXAdminSession::GetGroup");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("KXAdminSession::GetGroup", [&]() -> KXSmartPtr<KXGroup> {
        Stmt s(c.db->handle(), "SELECT dbid, name, active FROM groups WHERE name=?");
        s.bind(1, u8(name));
        if (!s.step()) return KXSmartPtr<KXGroup>();
        std::vector<CString> members;
        Stmt m(c.db->handle(), "SELECT u.login_name FROM users u JOIN group_members m ON m.user_dbid=u.dbid WHERE "
                               "m.group_dbid=? ORDER BY u.login_name");
        m.bind(1, s.int64(0));
        while (m.step()) members.push_back(w(m.text(0)));
        return KXSmartPtr<KXGroup>(new KXGroup(s.int64(0), w(s.text(1)), s.integer(2) != 0, std::move(members)));
    });
}

// ---- master objects ----

KXDatabaseDesc::KXDatabaseDesc(int64_t dbid, const CString &set, const CString &name, const CString &description,
                               bool master)
    : dbid_(dbid), set_(set), name_(name), description_(description), master_(master) {}

KXSmartPtr<AdMasterUser> LookupMasterUser(const AdSessionPtr &session, int64_t dbid) {
    KXFaultInjector::Enter("LookupMasterUser");
    if (!session) throw_kx(KX_MSG_SESSION_ENDED, L"No session.", "LookupMasterUser");
    SessionCore &c = live(session.get(), "LookupMasterUser");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("LookupMasterUser", [&]() -> KXSmartPtr<AdMasterUser> {
        Stmt s(c.db->handle(), "SELECT dbid, login_name FROM users WHERE dbid=?");
        s.bind(1, dbid);
        if (!s.step()) return KXSmartPtr<AdMasterUser>();
        return KXSmartPtr<AdMasterUser>(new AdMasterUser(s.int64(0), w(s.text(1))));
    });
}

KXSmartPtr<AdMasterGroup> LookupMasterGroup(const AdSessionPtr &session, int64_t dbid) {
    KXFaultInjector::Enter("LookupMasterGroup");
    if (!session) throw_kx(KX_MSG_SESSION_ENDED, L"No session.", "LookupMasterGroup");
    SessionCore &c = live(session.get(), "LookupMasterGroup");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("LookupMasterGroup", [&]() -> KXSmartPtr<AdMasterGroup> {
        Stmt s(c.db->handle(), "SELECT dbid, name FROM groups WHERE dbid=?");
        s.bind(1, dbid);
        if (!s.step()) return KXSmartPtr<AdMasterGroup>();
        return KXSmartPtr<AdMasterGroup>(new AdMasterGroup(s.int64(0), w(s.text(1))));
    });
}

BOOL AdConnectionMgr::IsUserDatabaseLocked(AdDbConnection *connection) {
    KXFaultInjector::Enter("AdConnectionMgr::IsUserDatabaseLocked");
    if (!connection || !connection->GetSession())
        throw_kx(KX_MSG_SESSION_ENDED, L"No connection.", "AdConnectionMgr::IsUserDatabaseLocked");
    SessionCore &c = live(connection->GetSession(), "AdConnectionMgr::IsUserDatabaseLocked");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdConnectionMgr::IsUserDatabaseLocked", [&] {
        return c.db->scalar_int("SELECT locked FROM databases WHERE dbid=" + std::to_string(c.database_dbid))
                   .value_or(0) != 0;
    });
}

void AdConnectionMgr::SetUserDatabaseLocked(const AdSessionPtr &admin, const CString &database, BOOL locked) {
    KXFaultInjector::Enter("AdConnectionMgr::SetUserDatabaseLocked");
    if (!admin || !admin->IsAdminSession())
        throw_kx(KX_MSG_NOT_PRIVILEGED, L"Locking a database needs an administrator session.",
                 "AdConnectionMgr::SetUserDatabaseLocked");
    SessionCore &c = live(admin.get(), "AdConnectionMgr::SetUserDatabaseLocked");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    guarded("AdConnectionMgr::SetUserDatabaseLocked", [&] {
        Txn txn(*c.db);
        Stmt s(c.db->handle(), "UPDATE databases SET locked=? WHERE name=? AND is_master=0");
        s.bind(1, locked ? 1 : 0).bind(2, u8(database)).step();
        if (sqlite3_changes(c.db->handle()) != 1)
            throw new PaMsgException(KX_MSG_NOT_FOUND, L"User database '" + database + L"' does not exist.");
        txn.commit();
    });
}

// ---- KXUser ----

BOOL KXUser::IsUserSuperUser() const { return (d_.privileges & PRIV_SUPER_USER) != 0; }

BOOL KXUser::HasUserPrivilege(int kind) const {
    KXFaultInjector::Enter("KXUser::HasUserPrivilege");
    static const std::map<int, int> kBits = {
        {KX_PRIV_DYNAMIC_LIST_ADMIN, PRIV_DYNAMIC_LIST_ADMIN}, {KX_PRIV_PUBLIC_FOLDER_ADMIN, PRIV_PUBLIC_FOLDER_ADMIN},
        {KX_PRIV_SECURITY_ADMIN, PRIV_SECURITY_ADMIN},         {KX_PRIV_RAW_SQL_WRITER, PRIV_RAW_SQL_WRITER},
        {KX_PRIV_FAR_LINK_ADMIN, PRIV_FAR_LINK_ADMIN},         {KX_PRIV_USER_MAINTAINER, PRIV_USER_ADMIN},
    };
    auto it = kBits.find(kind);
    if (it == kBits.end()) return FALSE;
    return (d_.privileges & (it->second | PRIV_SUPER_USER)) != 0;
}
