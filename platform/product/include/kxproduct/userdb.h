// Facts of a user database as one session sees them (groups, settings of the set, feature levels,
// preferences, mail settings, product information), for the property fetchers of user databases,
// database sets and users. Every call enters the fault injector as "KXUserDb::<Name>".
#pragma once
#include <cstdint>
#include <vector>

#include "kxproduct/metadata.h"
#include "kxproduct/session.h"

struct KXPackageRev {
    CString package, revision;
};

struct KXProductInfo {
    CString build_number, company_email, company_full_name, company_name, company_web, default_dbset, full_version,
        patch_version, product_version, stage_label;
    int object_model_major = 0, object_model_minor = 0;
};

// Database vendors as the interface numbers them; the store is SQLite, reported as 3 (an embedded
// database server) unless the set's setting "vendor" names another number.
enum KXVendor : int {
    KX_VENDOR_SQL_SERVER = 1,
    KX_VENDOR_MS_ACCESS = 2,
    KX_VENDOR_SQL_ANYWHERE = 3,
    KX_VENDOR_ORACLE = 4,
    KX_VENDOR_ZD4 = 5
};

// Optional features asked by number (IsFeatureEnabled).
enum KXFeature : int { KX_FEATURE_PRIVILEGED_QUERY = 26 };

namespace KXUserDb {

// ---- groups
// Every group of the set in name order; active_only: the active ones only.
void GetAllKnownGroups(const AdSessionPtr &session, std::vector<int64_t> &ids, std::vector<CString> &names,
                       BOOL active_only);
// The group every user belongs to implicitly (setting "everyone-group", default "Everyone").
CString GetEveryoneGroupName(const AdSessionPtr &session);

// ---- settings of the set (the definition's <setting> elements)
// Record types whose records the full-text index holds, as named by the setting
// "fulltext-record-types" (space separated; names are not checked); default every record type.
std::vector<CString> GetIndexedEntityDefNames(const AdSessionPtr &session);
BOOL IsFarlinkActivated(const AdSessionPtr &session);
// Each package revision enabled for some record type.
std::vector<KXPackageRev> GetEnabledPackageRevs(const AdSessionPtr &session);
// The directory attribute mapped to the login: 1 login, 2 full name, 3 email, 4 phone, 5 misc.
int GetLDAPMap(const AdSessionPtr &session);
int GetMinCompatibleFeatureLevel(const AdSessionPtr &session);
int GetMaxCompatibleFeatureLevel(const AdSessionPtr &session);
CString GetConnectOptions(const AdSessionPtr &session);
CString GetServerName(const AdSessionPtr &session);
int GetVendor(const AdSessionPtr &session);
// Null when the set names none and has no record type.
AdEntityDef *GetDefaultEntityDef(const AdSessionPtr &session);
int GetMetadataSchemaRev(const AdSessionPtr &session);
BOOL IsFeatureEnabled(const AdSessionPtr &session, int feature);
// Test databases: user databases named in the setting "test-databases".
BOOL IsTestDatabase(const AdSessionPtr &session, const CString &database);

// ---- the session's user
// Restricted mode lasts as long as the session. SetRestrictedUser answers nonzero when the mode
// changed to restricted; clearing it answers 0 on success.
BOOL IsRestrictedUser(const AdSessionPtr &session);
int SetRestrictedUser(const AdSessionPtr &session, BOOL restricted);
// The session's user as stored now (read through the session).
KXSmartPtr<KXUser> GetSessionUser(const AdSessionPtr &session);
// Dbids (decimal) of the start-up queries of the session's user database that the user can see.
std::vector<CString> GetStartUpQueryDbIdList(const AdSessionPtr &session);
// User preferences by numeric key, kept across sessions; empty text when unset.
CString GetUserPreference(const AdSessionPtr &session, long key);
void SetUserPreference(const AdSessionPtr &session, long key, const CString &value);
// FALSE when there was nothing to delete.
BOOL DeleteUserPreference(const AdSessionPtr &session, long key);
// Mail notification settings of the session's user, each "name=value". Setting refuses (answers
// 0, nothing changed) a text without "=" or with an empty or non-word name.
std::vector<CString> GetMailNotificationSettings(const AdSessionPtr &session);
int SetMailNotificationSettings(const AdSessionPtr &session, const std::vector<CString> &settings);

// ---- the product
// FALSE when the product has no information to give (never, in this build).
BOOL GetProductInfo(KXProductInfo &out);

} // namespace KXUserDb
