#include "kxproduct/security.h"

#include <algorithm>
#include <set>

#include "core.h"
#include "kxproduct/faults.h"

using namespace kxp;

namespace {

constexpr int kFolderSecurityLevel = 7;

struct Entry {
    int64_t group = 0;
    CString name;
    int kind = 0;
};

// The entries of the nearest folder up the path that has any, and that folder's dbid (0: none).
struct Nearest {
    int64_t from = 0;
    std::vector<Entry> entries;
};

// Stronger kinds rank higher: no access, read limited, read only, read and write, change.
int rank(int kind) {
    switch (kind) {
    case AD_PERM_READ_LIMITED:
        return 1;
    case AD_PERM_READ_ONLY:
        return 2;
    case AD_PERM_READ_WRITE:
        return 3;
    case AD_PERM_CHANGE:
        return 4;
    default:
        return 0;
    }
}

void check_kind(int kind, const char *op) {
    if (kind < AD_PERM_NO_ACCESS || kind > AD_PERM_CHANGE) {
        CString t;
        t.Format(L"%d is no permission kind.", kind);
        throw_kx(KX_MSG_BAD_VALUE, t, op);
    }
}

std::vector<Entry> stored_entries(SessionCore &c, int64_t bucket) {
    std::vector<Entry> out;
    Stmt p(c.db->handle(),
           "SELECT g.dbid, g.name, p.permission FROM bucket_permissions p JOIN groups g ON g.dbid=p.group_dbid"
           " WHERE p.bucket_dbid=? ORDER BY g.name");
    p.bind(1, bucket);
    while (p.step()) out.push_back(Entry{p.int64(0), w(p.text(1)), p.integer(2)});
    return out;
}

int64_t group_dbid(SessionCore &c, const CString &name) {
    return c.db->scalar_int("SELECT dbid FROM groups WHERE name=?", u8(name)).value_or(0);
}

std::set<int64_t> groups_of_user(SessionCore &c, int64_t user) {
    std::set<int64_t> out;
    Stmt g(
        c.db->handle(),
        "SELECT g.dbid FROM groups g JOIN group_members m ON m.group_dbid=g.dbid WHERE m.user_dbid=? AND g.active=1");
    g.bind(1, user);
    while (g.step()) out.insert(g.int64(0));
    return out;
}

AdPermissionSetPtr make_set(const AdSessionPtr &session, const std::vector<Entry> &entries, int64_t from,
                            int64_t self) {
    std::vector<AdFolderPermissionPtr> items;
    for (const Entry &e : entries)
        if (e.group) items.emplace_back(new AdFolderPermission(e.group, e.name, e.kind, from == self ? 0 : from));
    // Built from store rows: every group is known and named once.
    return GetAccessControlMgr(session)->BuildPermissionSet(items);
}

} // namespace

// ---- Features and masters

BOOL IsWorkspaceFolderSecurityEnabled(const AdSessionPtr &session) {
    KXFaultInjector::Enter("IsWorkspaceFolderSecurityEnabled");
    live(session, "IsWorkspaceFolderSecurityEnabled");
    return session->GetSessionFeatureLevel() >= kFolderSecurityLevel;
}

CString GetBucketMasterReplicaName(const AdBucketPtr &bucket) {
    KXFaultInjector::Enter("GetBucketMasterReplicaName");
    if (!bucket) throw_kx(KX_MSG_BAD_VALUE, L"No workspace item.", "GetBucketMasterReplicaName");
    AdReplica *local = bucket->session()->GetSessionMasterReplica();
    return local ? local->GetName() : CString();
}

// ---- Permissions and sets

void AdFolderPermission::SetGroup(int64_t group) {
    KXFaultInjector::Enter("AdFolderPermission::SetGroup");
    if (!session_)
        throw_kx(KX_MSG_BAD_VALUE, L"The permission was not built by an access-control manager.",
                 "AdFolderPermission::SetGroup");
    CString name = GetAccessControlMgr(session_)->LookupGroupByDbId(group);
    if (name.IsEmpty()) throw_kx(KX_MSG_NOT_FOUND, L"No group has that dbid.", "AdFolderPermission::SetGroup");
    group_ = group;
    group_name_ = name;
}

void AdFolderPermission::SetKind(int kind) {
    KXFaultInjector::Enter("AdFolderPermission::SetKind");
    check_kind(kind, "AdFolderPermission::SetKind");
    kind_ = kind;
}

AdFolderPermissionPtr AdPermissionSet::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) return AdFolderPermissionPtr();
    return items_[static_cast<size_t>(index)];
}

AdAccessControlMgrPtr GetAccessControlMgr(const AdSessionPtr &session) {
    KXFaultInjector::Enter("GetAccessControlMgr");
    live(session, "GetAccessControlMgr");
    return AdAccessControlMgrPtr(new AdAccessControlMgr(session));
}

AdFolderPermissionPtr AdAccessControlMgr::BuildPermission() {
    KXFaultInjector::Enter("AdAccessControlMgr::BuildPermission");
    AdFolderPermissionPtr p(new AdFolderPermission(0, CString(), AD_PERM_NO_ACCESS, 0));
    p->session_ = session_;
    return p;
}

AdPermissionSetPtr AdAccessControlMgr::BuildPermissionSet(const std::vector<AdFolderPermissionPtr> &permissions) {
    KXFaultInjector::Enter("AdAccessControlMgr::BuildPermissionSet");
    AdPermissionSetPtr set(new AdPermissionSet);
    std::set<int64_t> seen;
    for (const auto &p : permissions) {
        if (!p || !p->GetGroup())
            throw_kx(KX_MSG_BAD_VALUE, L"A permission names no group.", "AdAccessControlMgr::BuildPermissionSet");
        if (!seen.insert(p->GetGroup()).second)
            throw_kx(KX_MSG_BAD_VALUE, L"Two permissions name the group '" + p->GetGroupName() + L"'.",
                     "AdAccessControlMgr::BuildPermissionSet");
        set->items_.push_back(p);
    }
    return set;
}

int64_t AdAccessControlMgr::LookupGroupByName(const CString &name) {
    KXFaultInjector::Enter("AdAccessControlMgr::LookupGroupByName");
    SessionCore &c = live(session_, "AdAccessControlMgr::LookupGroupByName");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdAccessControlMgr::LookupGroupByName", [&] { return group_dbid(c, name); });
}

CString AdAccessControlMgr::LookupGroupByDbId(int64_t dbid) {
    KXFaultInjector::Enter("AdAccessControlMgr::LookupGroupByDbId");
    SessionCore &c = live(session_, "AdAccessControlMgr::LookupGroupByDbId");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdAccessControlMgr::LookupGroupByDbId", [&] {
        Stmt s(c.db->handle(), "SELECT name FROM groups WHERE dbid=?");
        s.bind(1, dbid);
        return s.step() ? w(s.text(0)) : CString();
    });
}

int64_t AdAccessControlMgr::LookupUserByName(const CString &login) {
    KXFaultInjector::Enter("AdAccessControlMgr::LookupUserByName");
    SessionCore &c = live(session_, "AdAccessControlMgr::LookupUserByName");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdAccessControlMgr::LookupUserByName", [&] {
        return c.db->scalar_int("SELECT dbid FROM users WHERE login_name=?", u8(login)).value_or(0);
    });
}

// ---- Folder security

namespace {

bool is_personal(const AdBucketPtr &b) { return b->GetFolderType() == AD_PERSONAL_FOLDER; }

// This folder's entries with their groups' dbids (pending ones naming no group are left out).
std::vector<Entry> own_entries(SessionCore &c, const std::vector<std::pair<CString, int>> &pairs) {
    std::vector<Entry> out;
    for (const auto &[name, kind] : pairs)
        if (int64_t g = group_dbid(c, name)) out.push_back(Entry{g, name, kind});
    return out;
}

Nearest nearest(SessionCore &c, const AdBucketPtr &bucket, const std::vector<Entry> &own, bool skip_self) {
    Nearest n;
    if (!skip_self && !own.empty()) {
        n.from = bucket->GetDbId();
        n.entries = own;
        return n;
    }
    for (AdBucketPtr at = bucket->GetParent(); at; at = at->GetParent()) {
        n.entries = stored_entries(c, at->GetDbId());
        if (!n.entries.empty()) {
            n.from = at->GetDbId();
            return n;
        }
    }
    return n;
}

std::vector<Entry> only_groups(const std::vector<Entry> &entries, const std::set<int64_t> &groups) {
    std::vector<Entry> out;
    for (const Entry &e : entries)
        if (groups.count(e.group)) out.push_back(e);
    return out;
}

} // namespace

#define KX_FOLDER_SECURITY_PROLOGUE(op)                                                                                \
    KXFaultInjector::Enter(op);                                                                                        \
    const AdSessionPtr &s = bucket_->session();                                                                        \
    SessionCore &c = live(s, op);                                                                                      \
    std::lock_guard<std::recursive_mutex> lock(c.mu)

BOOL AdFolder::CanChangePermissions() const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::CanChangePermissions");
    if (is_personal(bucket_)) return FALSE;
    if (c.privileges & (PRIV_SUPER_USER | PRIV_PUBLIC_FOLDER_ADMIN | PRIV_SECURITY_ADMIN)) return TRUE;
    return guarded("AdFolder::CanChangePermissions", [&] {
        // Judged by the stored entries: pending changes must not grant themselves.
        Nearest n = nearest(c, bucket_, stored_entries(c, bucket_->GetDbId()), false);
        for (const Entry &e : only_groups(n.entries, groups_of_user(c, c.user_dbid)))
            if (e.kind == AD_PERM_CHANGE) return TRUE;
        return FALSE;
    });
}

KXSmartPtr<AdFolderPermission> AdFolder::GetPermission() const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetPermission");
    if (is_personal(bucket_)) return AdFolderPermissionPtr();
    return guarded("AdFolder::GetPermission", [&] {
        Nearest n = nearest(c, bucket_, own_entries(c, GetAllGroupPermissions()), false);
        const Entry *best = nullptr;
        for (const Entry &e : n.entries)
            if (groups_of_user(c, c.user_dbid).count(e.group) && (!best || rank(e.kind) > rank(best->kind))) best = &e;
        if (!best) return AdFolderPermissionPtr();
        return AdFolderPermissionPtr(
            new AdFolderPermission(best->group, best->name, best->kind, n.from == bucket_->GetDbId() ? 0 : n.from));
    });
}

KXSmartPtr<AdPermissionSet> AdFolder::GetAppliedPermissions() const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetAppliedPermissions");
    if (is_personal(bucket_)) return make_set(s, {}, 0, 0);
    return guarded("AdFolder::GetAppliedPermissions",
                   [&] { return make_set(s, own_entries(c, GetAllGroupPermissions()), 0, 0); });
}

KXSmartPtr<AdPermissionSet> AdFolder::GetPossiblePermissions() const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetPossiblePermissions");
    if (is_personal(bucket_)) return make_set(s, {}, 0, 0);
    return guarded("AdFolder::GetPossiblePermissions", [&] {
        Nearest n = nearest(c, bucket_, {}, true);
        std::vector<AdFolderPermissionPtr> items;
        Stmt g(c.db->handle(), "SELECT dbid, name FROM groups WHERE active=1 ORDER BY name");
        while (g.step()) {
            int kind = n.from ? AD_PERM_NO_ACCESS : AD_PERM_READ_ONLY;
            for (const Entry &e : n.entries)
                if (e.group == g.int64(0)) kind = e.kind;
            items.emplace_back(new AdFolderPermission(g.int64(0), w(g.text(1)), kind, n.from));
        }
        return GetAccessControlMgr(s)->BuildPermissionSet(items);
    });
}

void AdFolder::GetAllGroupPermissions(std::vector<CString> &triples) const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetAllGroupPermissions");
    triples.clear();
    if (is_personal(bucket_)) return;
    guarded("AdFolder::GetAllGroupPermissions", [&] {
        for (const Entry &e : nearest(c, bucket_, own_entries(c, GetAllGroupPermissions()), false).entries) {
            CString kinds;
            kinds.Format(L"%d", e.kind);
            triples.push_back(e.name);
            triples.push_back(CString());
            triples.push_back(kinds);
        }
    });
}

KXSmartPtr<AdPermissionSet> AdFolder::GetAppliedPermissionsForGroup(int64_t group, BOOL) const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetAppliedPermissionsForGroup");
    if (is_personal(bucket_)) return make_set(s, {}, 0, 0);
    return guarded("AdFolder::GetAppliedPermissionsForGroup",
                   [&] { return make_set(s, only_groups(own_entries(c, GetAllGroupPermissions()), {group}), 0, 0); });
}

KXSmartPtr<AdPermissionSet> AdFolder::GetAppliedPermissionsForUser(int64_t user, BOOL) const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetAppliedPermissionsForUser");
    if (is_personal(bucket_)) return make_set(s, {}, 0, 0);
    return guarded("AdFolder::GetAppliedPermissionsForUser", [&] {
        return make_set(s, only_groups(own_entries(c, GetAllGroupPermissions()), groups_of_user(c, user)), 0, 0);
    });
}

KXSmartPtr<AdPermissionSet> AdFolder::GetPermissionForGroup(int64_t group, BOOL) const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetPermissionForGroup");
    if (is_personal(bucket_)) return make_set(s, {}, 0, 0);
    return guarded("AdFolder::GetPermissionForGroup", [&] {
        Nearest n = nearest(c, bucket_, own_entries(c, GetAllGroupPermissions()), false);
        return make_set(s, only_groups(n.entries, {group}), n.from, bucket_->GetDbId());
    });
}

KXSmartPtr<AdPermissionSet> AdFolder::GetPermissionForUser(int64_t user, BOOL) const {
    KX_FOLDER_SECURITY_PROLOGUE("AdFolder::GetPermissionForUser");
    if (is_personal(bucket_)) return make_set(s, {}, 0, 0);
    return guarded("AdFolder::GetPermissionForUser", [&] {
        Nearest n = nearest(c, bucket_, own_entries(c, GetAllGroupPermissions()), false);
        return make_set(s, only_groups(n.entries, groups_of_user(c, user)), n.from, bucket_->GetDbId());
    });
}

void AdFolder::SetPermissions(const KXSmartPtr<AdPermissionSet> &permissions) {
    const char *op = "AdFolder::SetPermissions";
    KXFaultInjector::Enter(op);
    if (!permissions) throw_kx(KX_MSG_BAD_VALUE, L"No permission set.", op);
    if (!CanChangePermissions())
        throw_kx(KX_MSG_NOT_PRIVILEGED, L"The folder's permissions cannot be changed by this user.", op);
    std::vector<std::pair<CString, int>> next;
    for (const auto &p : permissions->items_) {
        check_kind(p->GetKind(), op);
        next.emplace_back(p->GetGroupName(), p->GetKind());
    }
    pending_ = std::move(next);
    edited_ = true;
}

#undef KX_FOLDER_SECURITY_PROLOGUE
