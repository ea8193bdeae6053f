// Facts of a user database and its users for the property fetchers, and the user setters.
#include "kxproduct/userdb.h"

#include <cstdlib>
#include <cwctype>
#include <sstream>

#include "core.h"
#include "kxproduct/faults.h"
#include "secrets.h"

using namespace kxp;

namespace {

// Enters the operation, then runs f(core) on the live session under its lock, store failures
// turned into product exceptions.
template <class F>
auto on_session(const AdSessionPtr &session, const char *op, F &&f) {
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session.get(), op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded(op, [&] { return f(c); });
}

int setting_int(Db &db, const std::string &name, int fallback) {
    std::string v = setting(db, name, std::to_string(fallback));
    char *end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    return end != v.c_str() && *end == '\0' ? static_cast<int>(n) : fallback;
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Per-user values kept across sessions live in session_prefs under names of their own.
std::string pref_name(long key) { return "pref:" + std::to_string(key); }
const char kMailPref[] = "mail:notification";

std::string read_pref(SessionCore &c, const std::string &name) {
    Stmt s(c.db->handle(), "SELECT value FROM session_prefs WHERE user_dbid=? AND name=?");
    s.bind(1, c.user_dbid).bind(2, name);
    return s.step() ? s.text(0) : std::string();
}

void write_pref(SessionCore &c, const std::string &name, const std::string &value) {
    Txn txn(*c.db);
    Stmt s(c.db->handle(), "INSERT OR REPLACE INTO session_prefs(user_dbid, name, value) VALUES(?, ?, ?)");
    s.bind(1, c.user_dbid).bind(2, name).bind(3, value).step();
    txn.commit();
}

bool valid_mail_setting(const CString &text) {
    int eq = text.Find(L'=');
    if (eq <= 0) return false;
    for (int i = 0; i < eq; ++i) {
        wchar_t ch = text[i];
        if (!(iswalnum(static_cast<wint_t>(ch)) || ch == L'_' || ch == L'-' || ch == L'.')) return false;
    }
    // One setting per line in the store.
    return text.Find(L'\n') < 0;
}

} // namespace

std::string kxp::setting(Db &db, const std::string &name, const std::string &fallback) {
    Stmt s(db.handle(), "SELECT value FROM meta WHERE key=?");
    s.bind(1, "setting:" + name);
    return s.step() ? s.text(0) : fallback;
}

// ---- groups

void KXUserDb::GetAllKnownGroups(const AdSessionPtr &session, std::vector<int64_t> &ids, std::vector<CString> &names,
                                 BOOL active_only) {
    on_session(session, "KXUserDb::GetAllKnownGroups", [&](SessionCore &c) {
        Stmt s(c.db->handle(), "SELECT dbid, name FROM groups WHERE ?=0 OR active=1 ORDER BY name");
        s.bind(1, active_only ? 1 : 0);
        while (s.step()) {
            ids.push_back(s.int64(0));
            names.push_back(w(s.text(1)));
        }
    });
}

CString KXUserDb::GetEveryoneGroupName(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetEveryoneGroupName",
                      [&](SessionCore &c) { return w(setting(*c.db, "everyone-group", "Everyone")); });
}

// ---- settings

std::vector<CString> KXUserDb::GetIndexedEntityDefNames(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetIndexedEntityDefNames", [&](SessionCore &c) {
        std::vector<CString> out;
        std::string named = setting(*c.db, "fulltext-record-types", "\x01");
        if (named != "\x01") {
            for (const auto &n : words(named)) out.push_back(w(n));
            return out;
        }
        Stmt s(c.db->handle(), "SELECT name FROM entity_defs WHERE is_family=0 ORDER BY position");
        while (s.step()) out.push_back(w(s.text(0)));
        return out;
    });
}

BOOL KXUserDb::IsFarlinkActivated(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::IsFarlinkActivated",
                      [&](SessionCore &c) { return setting(*c.db, "farlink", "0") == "1" ? TRUE : FALSE; });
}

std::vector<KXPackageRev> KXUserDb::GetEnabledPackageRevs(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetEnabledPackageRevs", [&](SessionCore &c) {
        std::vector<KXPackageRev> out;
        Stmt s(c.db->handle(), "SELECT DISTINCT package, revision FROM package_revs ORDER BY package, revision");
        while (s.step()) out.push_back({w(s.text(0)), w(s.text(1))});
        return out;
    });
}

int KXUserDb::GetLDAPMap(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetLDAPMap",
                      [&](SessionCore &c) { return setting_int(*c.db, "ldap-map", 1); });
}

int KXUserDb::GetMinCompatibleFeatureLevel(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetMinCompatibleFeatureLevel",
                      [&](SessionCore &c) { return setting_int(*c.db, "min-feature-level", 5); });
}

int KXUserDb::GetMaxCompatibleFeatureLevel(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetMaxCompatibleFeatureLevel",
                      [&](SessionCore &c) { return setting_int(*c.db, "max-feature-level", 9); });
}

CString KXUserDb::GetConnectOptions(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetConnectOptions",
                      [&](SessionCore &c) { return w(setting(*c.db, "connect-options", "")); });
}

CString KXUserDb::GetServerName(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetServerName",
                      [&](SessionCore &c) { return w(setting(*c.db, "server", "localhost")); });
}

int KXUserDb::GetVendor(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetVendor",
                      [&](SessionCore &c) { return setting_int(*c.db, "vendor", KX_VENDOR_SQL_ANYWHERE); });
}

AdEntityDef *KXUserDb::GetDefaultEntityDef(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetDefaultEntityDef", [&](SessionCore &c) -> AdEntityDef * {
        std::string named = setting(*c.db, "default-record-type", "");
        if (!named.empty()) return c.schema->find(w(named));
        for (const auto &def : c.schema->defs)
            if (def && !def->IsFamily()) return def.get();
        return nullptr;
    });
}

int KXUserDb::GetMetadataSchemaRev(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetMetadataSchemaRev", [&](SessionCore &c) {
        return static_cast<int>(
            c.db->scalar_int("SELECT CAST(value AS INTEGER) FROM meta WHERE key='schema_version'").value_or(0));
    });
}

BOOL KXUserDb::IsFeatureEnabled(const AdSessionPtr &session, int feature) {
    return on_session(session, "KXUserDb::IsFeatureEnabled", [&](SessionCore &c) {
        for (const auto &f : words(setting(*c.db, "features", "")))
            if (f == std::to_string(feature)) return TRUE;
        return FALSE;
    });
}

BOOL KXUserDb::IsTestDatabase(const AdSessionPtr &session, const CString &database) {
    return on_session(session, "KXUserDb::IsTestDatabase", [&](SessionCore &c) {
        for (const auto &n : words(setting(*c.db, "test-databases", "")))
            if (n == u8(database)) return TRUE;
        return FALSE;
    });
}

// ---- the session's user

BOOL KXUserDb::IsRestrictedUser(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::IsRestrictedUser",
                      [&](SessionCore &c) { return c.restricted ? TRUE : FALSE; });
}

int KXUserDb::SetRestrictedUser(const AdSessionPtr &session, BOOL restricted) {
    return on_session(session, "KXUserDb::SetRestrictedUser", [&](SessionCore &c) {
        c.restricted = restricted != FALSE;
        return c.restricted ? 1 : 0;
    });
}

KXSmartPtr<KXUser> KXUserDb::GetSessionUser(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetSessionUser",
                      [&](SessionCore &c) { return load_user(c, session, c.login); });
}

std::vector<CString> KXUserDb::GetStartUpQueryDbIdList(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetStartUpQueryDbIdList", [&](SessionCore &c) {
        std::vector<CString> out;
        Stmt s(
            c.db->handle(),
            "SELECT dbid FROM buckets WHERE database_dbid=? AND is_startup=1 AND (owner_dbid IS NULL OR owner_dbid=?)"
            " ORDER BY dbid");
        s.bind(1, c.database_dbid).bind(2, c.user_dbid);
        while (s.step()) out.push_back(w(std::to_string(s.int64(0))));
        return out;
    });
}

CString KXUserDb::GetUserPreference(const AdSessionPtr &session, long key) {
    return on_session(session, "KXUserDb::GetUserPreference",
                      [&](SessionCore &c) { return w(read_pref(c, pref_name(key))); });
}

void KXUserDb::SetUserPreference(const AdSessionPtr &session, long key, const CString &value) {
    on_session(session, "KXUserDb::SetUserPreference",
               [&](SessionCore &c) { write_pref(c, pref_name(key), u8(value)); });
}

BOOL KXUserDb::DeleteUserPreference(const AdSessionPtr &session, long key) {
    return on_session(session, "KXUserDb::DeleteUserPreference", [&](SessionCore &c) {
        Txn txn(*c.db);
        Stmt s(c.db->handle(), "DELETE FROM session_prefs WHERE user_dbid=? AND name=?");
        s.bind(1, c.user_dbid).bind(2, pref_name(key)).step();
        BOOL deleted = sqlite3_changes(c.db->handle()) > 0 ? TRUE : FALSE;
        txn.commit();
        return deleted;
    });
}

std::vector<CString> KXUserDb::GetMailNotificationSettings(const AdSessionPtr &session) {
    return on_session(session, "KXUserDb::GetMailNotificationSettings", [&](SessionCore &c) {
        std::vector<CString> out;
        std::istringstream in(read_pref(c, kMailPref));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(w(line));
        return out;
    });
}

int KXUserDb::SetMailNotificationSettings(const AdSessionPtr &session, const std::vector<CString> &settings) {
    return on_session(session, "KXUserDb::SetMailNotificationSettings", [&](SessionCore &c) {
        std::string joined;
        for (const auto &s : settings) {
            if (!valid_mail_setting(s)) return 0;
            joined += u8(s) + "\n";
        }
        write_pref(c, kMailPref, joined);
        return 1;
    });
}

BOOL KXUserDb::GetProductInfo(KXProductInfo &out) {
    KXFaultInjector::Enter("KXUserDb::GetProductInfo");
    out.build_number = L"2026.12.0042";
    out.company_email = L"support@korvax.example";
    out.company_full_name = L"Korvax Software Ltd.";
    out.company_name = L"Korvax";
    out.company_web = L"http://korvax.example";
    out.default_dbset = L"KXDEMO";
    out.full_version = L"7.1.0.2 (build 42)";
    out.object_model_major = 7;
    out.object_model_minor = 1;
    out.patch_version = L"2";
    out.product_version = L"7.1";
    out.stage_label = L"GA";
    return TRUE;
}

// ---- user setters

namespace {

// Runs a change of the user row through the administrator session the user was read through. A
// change of access (the active flag, a right) moves the set's access generation with it, so that
// every session of every process reads its user again at its next check.
template <class F>
void change_user(KXUserData &d, const char *op, bool needs_super, bool access, F &&f) {
    KXFaultInjector::Enter(op);
    SessionCore &c = live(d.session.get(), op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    int needed = needs_super ? PRIV_SUPER_USER : (PRIV_SUPER_USER | PRIV_USER_ADMIN);
    if (!c.admin || !(c.privileges & needed))
        throw_kx(KX_MSG_NOT_PRIVILEGED, L"User '" + c.login + L"' may not change user '" + d.login + L"'.", op);
    if (access) c.db.access_change_begins();
    uint64_t generation = 0;
    try {
        guarded(op, [&] {
            Txn txn(*c.db);
            f(*c.db);
            if (sqlite3_changes(c.db->handle()) == 0)
                throw_kx(KX_MSG_NOT_FOUND, L"User '" + d.login + L"' is gone.", op);
            uint64_t const moved = access ? SetStore::bump_access_generation(*c.db) : 0;
            txn.commit();
            generation = moved;
        });
    } catch (...) {
        if (access) c.db.access_change_ends(0);
        throw;
    }
    if (access) c.db.access_change_ends(generation);
}

void set_text_column(KXUserData &d, const char *op, const char *sql, const CString &value, CString &field) {
    change_user(d, op, false, false, [&](Db &db) { Stmt(db.handle(), sql).bind(1, u8(value)).bind(2, d.dbid).step(); });
    field = value;
}

void set_privilege(KXUserData &d, const char *op, int bit, BOOL on) {
    change_user(d, op, bit == PRIV_SUPER_USER, true, [&](Db &db) {
        Stmt(db.handle(), "UPDATE users SET privileges = (privileges & ~?1) | ?2 WHERE dbid=?3")
            .bind(1, bit)
            .bind(2, on ? bit : 0)
            .bind(3, d.dbid)
            .step();
    });
    d.privileges = on ? (d.privileges | bit) : (d.privileges & ~bit);
}

} // namespace

BOOL KXUser::GetAppBuilder() const { return (d_.privileges & PRIV_APP_BUILDER) != 0; }

void KXUser::SetUserEmail(const CString &v) {
    set_text_column(d_, "KXUser::SetUserEmail", "UPDATE users SET email=? WHERE dbid=?", v, d_.email);
}
void KXUser::SetUserFullName(const CString &v) {
    set_text_column(d_, "KXUser::SetUserFullName", "UPDATE users SET full_name=? WHERE dbid=?", v, d_.full_name);
}
void KXUser::SetUserPhone(const CString &v) {
    set_text_column(d_, "KXUser::SetUserPhone", "UPDATE users SET phone=? WHERE dbid=?", v, d_.phone);
}
void KXUser::SetUserMiscInfo(const CString &v) {
    set_text_column(d_, "KXUser::SetUserMiscInfo", "UPDATE users SET misc_info=? WHERE dbid=?", v, d_.misc_info);
}

void KXUser::SetActive(BOOL v) {
    change_user(d_, "KXUser::SetActive", false, true, [&](Db &db) {
        Stmt(db.handle(), "UPDATE users SET active=? WHERE dbid=?").bind(1, v ? 1 : 0).bind(2, d_.dbid).step();
    });
    d_.active = v != FALSE;
}

void KXUser::SetAppBuilder(BOOL v) { set_privilege(d_, "KXUser::SetAppBuilder", PRIV_APP_BUILDER, v); }
void KXUser::SetSuperUser(BOOL v) { set_privilege(d_, "KXUser::SetSuperUser", PRIV_SUPER_USER, v); }
void KXUser::SetUserMaintainer(BOOL v) { set_privilege(d_, "KXUser::SetUserMaintainer", PRIV_USER_ADMIN, v); }

void KXUser::SetPassword(const CString &password) {
    const char *op = "KXUser::SetPassword";
    change_user(d_, op, false, false, [&](Db &db) {
        if (d_.auth_mode != KX_AUTH_PRODUCT)
            throw_kx(KX_MSG_BAD_VALUE, L"User '" + d_.login + L"' is not authenticated by the product.", op);
        if (password.IsEmpty()) throw_kx(KX_MSG_BAD_VALUE, L"A password may not be empty.", op);
        Stmt(db.handle(), "UPDATE users SET password_salt='', password_hash=? WHERE dbid=?")
            .bind(1, password_hash(u8(password)))
            .bind(2, d_.dbid)
            .step();
    });
    d_.has_password = true;
}
