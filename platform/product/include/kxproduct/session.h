// Sessions of a database set: user sessions (KXSession), administrator sessions (KXAdminSession),
// the session object they share (AdSession), and the master objects of a set.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kxproduct/object.h"
#include "kxwin/cstring.h"

namespace kxp {
struct SessionCore;
}

class AdSession;
class AdEntityDef;
class KXDatabaseDesc;
class KXDatabase;
class KXUser;
class KXGroup;
class AdReplica;
class AdMasterUser;
class AdMasterGroup;
class AdDbConnection;
class AdDatabaseDescSet;
class KXWorkSpaceMgr;
class KXTextSearchDef;
class KXTextSearchResult;
class AdEntity;
class AdEntityDef;
typedef KXSmartPtr<AdSession> AdSessionPtr;

// User privileges, asked by kind (KXUser::HasUserPrivilege). Super users hold every kind.
enum KXPrivilegeKind : int {
    KX_PRIV_DYNAMIC_LIST_ADMIN = 1,
    KX_PRIV_PUBLIC_FOLDER_ADMIN = 2,
    KX_PRIV_SECURITY_ADMIN = 3,
    KX_PRIV_RAW_SQL_WRITER = 4,
    KX_PRIV_FAR_LINK_ADMIN = 6,
    KX_PRIV_USER_MAINTAINER = 9,
};
// Authentication modes of a user.
enum KXAuthMode : int { KX_AUTH_NONE = 0, KX_AUTH_DIRECTORY = 1, KX_AUTH_PRODUCT = 2 };

class AdSession : public KXObject {
public:
    ~AdSession() override;
    CString GetSessionUserLoginName() const;
    CString GetSessionUserFullName() const;
    CString GetSessionUserPassword() const;
    CString GetSessionDbSetName() const;
    int64_t GetSessionUserId() const;
    // The user database of the session; for an administrator session the master database.
    KXSmartPtr<KXDatabaseDesc> GetSessionDatabase() const;
    int GetSessionFeatureLevel() const;
    long GetSessionSoftQueryLimit() const;
    long GetSessionHardQueryLimit() const;
    void SetNameValue(const CString &name, const CString &value);
    // Empty text when the name has no value.
    CString GetNameValue(const CString &name) const;
    BOOL IsSessionUserInGroup(const CString &group) const;
    BOOL IsActionOplogEnabled() const;
    // Null when there is no such replica; the replica lives as long as the session.
    AdReplica *LookupReplicaByName(const CString &name, int reserved1, int reserved2);
    AdReplica *LookupReplicaByDbId(int64_t dbid, int reserved1, int reserved2);
    AdDbConnection *GetDatabaseConnection();
    BOOL IsAdminSession() const;
    // Throws the logon's refusal (KXException KX_MSG_LOGIN_FAILED) when the session's user is no
    // longer active or no longer exists. Cheap while no user's active flag has changed.
    void CheckSessionUserActive() const;
    // The replica this site works at (the set's local replica); null when the set has none.
    AdReplica *GetSessionMasterReplica();
    // The site extension of the session's user: the dbid of the local replica, 0 without replicas.
    int GetSessionUserSiteExtension() const;
    // Whether the session's user may submit records of the record type (never a family).
    BOOL CanSubmit(AdEntityDef *def) const;
    // Record types enabled for a package; an empty revision means any revision.
    std::vector<AdEntityDef *> GetEntityDefsEnabledForPackage(const CString &package, const CString &revision) const;

    kxp::SessionCore &core() const { return *core_; }

private:
    friend class KXSession;
    friend class KXAdminSession;
    explicit AdSession(std::unique_ptr<kxp::SessionCore> core);
    std::unique_ptr<kxp::SessionCore> core_;
    std::vector<KXSmartPtr<AdReplica>> replicas_;
    std::unique_ptr<AdDbConnection> connection_;
};

class KXSession : public KXObject {
public:
    static KXSmartPtr<KXSession> Build();
    // Nonzero when the database set accepts single sign-on; the next logon then trusts the
    // caller's authentication and does not check the password.
    BOOL EnableSSOLogon(const CString &password, const CString &dbset);
    // Throws KXException on refusal: KX_MSG_CONNECTION_FAILED for a set that cannot be opened,
    // KX_MSG_NOT_FOUND for an unknown user database, KX_MSG_LOGIN_FAILED for a wrong user or
    // password, KX_MSG_NOT_SUBSCRIBED when the user may not use the database.
    void WebUserLogon(const CString &user, const CString &password, const CString &server_host,
                      const CString &client_host, const CString &userdb, const CString &dbset);
    void SetNameValue(const CString &name, const CString &value);
    CString GetNameValue(const CString &name) const;
    int GetSessionFeatureLevel() const;
    CString GetAuthenticationLoginName() const;
    KXSmartPtr<KXDatabaseDesc> GetSessionDatabase() const;
    KXSmartPtr<KXWorkSpaceMgr> GetWorkSpace() const;
    AdSessionPtr GetReal() const;
    // The database sets of the data directory (needs no logon).
    std::vector<CString> GetInstalledDbSets() const;
    // The oplog of the session's user database: first and last serial number in decimal ("1" and
    // "0" while it is empty), and up to `count` entries from `start` on (format 1 text, 2 XML); the
    // product hands out at most kMaxOplogEntries entries per call.
    static constexpr unsigned kMaxOplogEntries = 10000;
    void GetOplogSerialNumberRange(CString &first, CString &last) const;
    std::vector<CString> GetOplogs(unsigned start, unsigned count, int format) const;
    // The same entries as UTF-8, without the wide copies.
    std::vector<std::string> GetOplogsUtf8(unsigned start, unsigned count, int format) const;
    // Full-text search (textsearch.h).
    BOOL IsTextSearchEnabled() const;
    KXSmartPtr<KXTextSearchDef> BuildTextSearchDef(int kind) const;
    KXSmartPtr<KXTextSearchResult> BuildTextSearchResult(const KXSmartPtr<KXTextSearchDef> &def) const;
    // A record of a record type by dbid (PaMsgException KX_MSG_NOT_FOUND when there is none) and a
    // record type by name (null when there is none).
    KXSmartPtr<AdEntity> GetEntityByDbId(const CString &entity_def_name, int64_t dbid) const;
    AdEntityDef *GetEntityDef(const CString &name) const;
    // Ends the session; later calls throw KXException (KX_MSG_SESSION_ENDED).
    void Unbuild();
    // Needs no logon. The databases of the set, the master database first (it answers the set's
    // name); with a user name only those the user may log on to. `master` must be "MASTR".
    std::vector<KXSmartPtr<KXDatabase>> GetAccessibleDatabases(const CString &master, const CString &user,
                                                               const CString &dbset);
    // A mastership property as the logged-on user reads it; empty when unset.
    CString GetMasterPropertyValueEx(const CString &name, const CString &database, const CString &replica);

private:
    KXSession() = default;
    AdSessionPtr real_;
    bool sso_ = false;
    CString sso_dbset_;
    CString client_host_;
};

class KXAdminSession : public KXObject {
public:
    static KXSmartPtr<KXAdminSession> Build();
    void SetLoadAllUsersAtLogon(int load);
    BOOL EnableSSOLogon(const CString &password, const CString &dbset);
    // The user must hold the super-user or user-administrator privilege.
    void Logon(const CString &user, const CString &password, const CString &dbset);
    AdSessionPtr GetReal() const;
    void Unbuild();
    // "MASTR" names the master database; otherwise a user database by name. Null when unknown.
    KXSmartPtr<KXDatabase> GetDatabase(const CString &name) const;
    // Null when there is no such user or group.
    KXSmartPtr<KXUser> GetUser(const CString &login) const;
    KXSmartPtr<KXGroup> GetGroup(const CString &name) const;
    // A new user, active, without privileges and without a password: it cannot log on until a
    // password is set. KXException KX_MSG_NO_PERMISSION_CREATE_USER when the administrator may not
    // maintain users, KX_MSG_ALREADY_EXISTS for a login that is taken, KX_MSG_BAD_VALUE for a login
    // that is empty, longer than 254 characters or holds control characters.
    KXSmartPtr<KXUser> CreateUser(const CString &login);
    // Mastership properties of the replication feature, one value per property name, database
    // ("MASTR" or a user database; empty: the set) and replica (empty: every replica). Reading an
    // unset property answers empty text. PaMsgException KX_MSG_NOT_FOUND for an unknown database or
    // replica, KXException KX_MSG_BAD_VALUE for an empty property name.
    CString GetMasterProperty(const CString &name, const CString &database, const CString &replica);
    void SetMasterProperty(const CString &name, const CString &value, const CString &database, const CString &replica);
    // Unsetting a property that is not set is not an error.
    void UnsetMasterProperty(const CString &name, const CString &database, const CString &replica);

private:
    KXAdminSession() = default;
    AdSessionPtr real_;
    bool sso_ = false;
    CString sso_dbset_;
    int load_all_users_ = 1;
};

// Descriptor of a user database (or of the master database).
class KXDatabaseDesc : public KXObject {
public:
    KXDatabaseDesc(int64_t dbid, const CString &set, const CString &name, const CString &description, bool master);
    CString GetDatabaseName() const { return name_; }
    CString GetDatabaseSetName() const { return set_; }
    CString GetDescription() const { return description_; }
    int64_t GetDbId() const { return dbid_; }
    BOOL IsMaster() const { return master_; }
    // In a set of accessible databases: whether the user of the lookup may log on to it.
    BOOL IsAccessible() const { return accessible_; }
    void SetAccessible(BOOL accessible) { accessible_ = accessible != FALSE; }

private:
    int64_t dbid_;
    CString set_, name_, description_;
    bool master_;
    bool accessible_ = false;
};

// Every database of a set, in dbid order, each marked with whether the user of the lookup may log
// on to it (the master database never is).
class AdDatabaseDescSet : public KXObject {
public:
    explicit AdDatabaseDescSet(std::vector<KXSmartPtr<KXDatabaseDesc>> items) : items_(std::move(items)) {}
    int GetLength() const { return static_cast<int>(items_.size()); }
    // Null outside 0 .. GetLength() - 1.
    KXSmartPtr<KXDatabaseDesc> GetItem(int index) const;

private:
    std::vector<KXSmartPtr<KXDatabaseDesc>> items_;
};

class AdSessionMgr {
public:
    // Needs no session. `master` must be "MASTR". The user must exist and be active; a password,
    // when given, must be the user's (KXException KX_MSG_LOGIN_FAILED otherwise); without one the
    // caller vouches for the user. `host` is the client's host, for the product's log only.
    static KXSmartPtr<AdDatabaseDescSet> GetAccessibleDatabases(const CString &master, const CString &user,
                                                                const CString *password, const CString &dbset,
                                                                const CString &host);
    // Needs no session: whether the set holds a user of that login name, active or not. FALSE for a
    // set that cannot be opened.
    static BOOL IsLoginName(const CString &user, const CString &dbset);
};

// A database of the set as the administrator sees it. The master database answers the set's name.
class KXDatabase : public KXObject {
public:
    KXDatabase(int64_t dbid, const CString &name, const CString &description, bool master)
        : dbid_(dbid), name_(name), description_(description), master_(master) {}
    CString GetDatabaseName() const { return name_; }
    CString GetDescription() const { return description_; }
    int64_t GetDbId() const { return dbid_; }
    BOOL GetIsMaster() const { return master_; }

private:
    int64_t dbid_;
    CString name_, description_;
    bool master_;
};

struct KXUserData {
    int64_t dbid = 0;
    CString login, full_name, email, phone, misc_info;
    int privileges = 0; // the store's privilege bits
    int auth_mode = KX_AUTH_PRODUCT;
    bool active = true;
    bool has_password = false;
    CString master_replica; // the set's local replica; empty when it has none
    std::vector<CString> groups;
    std::vector<CString> databases;
    AdSessionPtr session; // the administrator session the user was read through
};

class KXUser : public KXObject {
public:
    explicit KXUser(KXUserData d) : d_(std::move(d)) {}
    int64_t GetDbId() const { return d_.dbid; }
    CString GetUserLoginName() const { return d_.login; }
    CString GetUserFullName() const { return d_.full_name; }
    CString GetUserEmail() const { return d_.email; }
    CString GetUserPhone() const { return d_.phone; }
    CString GetUserMiscInfo() const { return d_.misc_info; }
    int GetUserAuthenticationMode() const { return d_.auth_mode; }
    BOOL GetActive() const { return d_.active; }
    // By kind (KXPrivilegeKind); FALSE for a kind the product does not have.
    BOOL HasUserPrivilege(int kind) const;
    BOOL IsUserSuperUser() const;
    const std::vector<CString> &GetUserGroups() const { return d_.groups; }
    const std::vector<CString> &GetAllSubscribedDatabases() const { return d_.databases; }
    // Brings the user's information up to date in each user database it may use (super users: every
    // one), one report line per database. Users live in the master database, which every user
    // database reads, so this checks that each of them is open for changes. KXException
    // KX_MSG_DATABASE_LOCKED when one is locked, KX_MSG_NOT_FOUND when the user is gone.
    std::vector<CString> UpgradeInfo();

    // The product never hands out a password or its hash; only whether one is set.
    BOOL HasPassword() const { return d_.has_password; }
    BOOL GetAppBuilder() const;
    CString GetMasterReplicaName() const { return d_.master_replica; }
    // Setters store at once through the administrator session the user was read through, which
    // must hold super-user or user-administrator rights (super-user rights to grant or take super
    // user): KXException KX_MSG_NOT_PRIVILEGED otherwise. SetPassword refuses an empty password and
    // a user whose authentication is not the product's with KX_MSG_BAD_VALUE.
    void SetUserEmail(const CString &value);
    void SetUserFullName(const CString &value);
    void SetUserPhone(const CString &value);
    void SetUserMiscInfo(const CString &value);
    void SetActive(BOOL value);
    void SetAppBuilder(BOOL value);
    void SetSuperUser(BOOL value);
    void SetUserMaintainer(BOOL value);
    void SetPassword(const CString &password);

private:
    KXUserData d_;
};

class KXGroup : public KXObject {
public:
    KXGroup(int64_t dbid, const CString &name, bool active, std::vector<CString> members)
        : dbid_(dbid), name_(name), active_(active), members_(std::move(members)) {}
    int64_t GetDbId() const { return dbid_; }
    CString GetName() const { return name_; }
    BOOL GetActive() const { return active_; }
    const std::vector<CString> &GetMembers() const { return members_; }

private:
    int64_t dbid_;
    CString name_;
    bool active_;
    std::vector<CString> members_;
};

class AdMasterUser : public KXObject {
public:
    AdMasterUser(int64_t dbid, const CString &login) : dbid_(dbid), login_(login) {}
    int64_t GetDbId() const { return dbid_; }
    CString GetLoginName() const { return login_; }

private:
    int64_t dbid_;
    CString login_;
};

class AdMasterGroup : public KXObject {
public:
    AdMasterGroup(int64_t dbid, const CString &name) : dbid_(dbid), name_(name) {}
    int64_t GetDbId() const { return dbid_; }
    CString GetName() const { return name_; }

private:
    int64_t dbid_;
    CString name_;
};

// Master-database objects by dbid; null when there is none.
KXSmartPtr<AdMasterUser> LookupMasterUser(const AdSessionPtr &session, int64_t dbid);
KXSmartPtr<AdMasterGroup> LookupMasterGroup(const AdSessionPtr &session, int64_t dbid);

class AdReplica : public KXObject {
public:
    AdReplica(int64_t dbid, const CString &name, const CString &host, const CString &description, bool local)
        : dbid_(dbid), name_(name), host_(host), description_(description), local_(local) {}
    int64_t GetDbId() const { return dbid_; }
    CString GetName() const { return name_; }
    CString GetHost() const { return host_; }
    CString GetDescription() const { return description_; }
    BOOL IsLocal() const { return local_; }

private:
    int64_t dbid_;
    CString name_, host_, description_;
    bool local_;
};

// The connection of a session to its user database.
class AdDbConnection {
public:
    explicit AdDbConnection(AdSession *session) : session_(session) {}
    AdSession *GetSession() const { return session_; }

private:
    AdSession *session_;
};

class AdConnectionMgr {
public:
    // Reads the database's lock flag from the store now.
    static BOOL IsUserDatabaseLocked(AdDbConnection *connection);
    // Administrator operation: lock or unlock a user database of the administrator's set.
    static void SetUserDatabaseLocked(const AdSessionPtr &admin, const CString &database, BOOL locked);
};
