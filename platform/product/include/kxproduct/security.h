// Folder security of the query workspace: group permissions on public folders, the
// access-control manager that names groups and users and builds permission sets, and the replica
// that masters a workspace item.
#pragma once
#include <cstdint>
#include <vector>

#include "kxproduct/session.h"
#include "kxproduct/workspace.h"

class AdFolderPermission;
class AdPermissionSet;
class AdAccessControlMgr;
typedef KXSmartPtr<AdFolderPermission> AdFolderPermissionPtr;
typedef KXSmartPtr<AdPermissionSet> AdPermissionSetPtr;
typedef KXSmartPtr<AdAccessControlMgr> AdAccessControlMgrPtr;

// Group permissions on public folders: on from feature level 7 of the user database.
BOOL IsWorkspaceFolderSecurityEnabled(const AdSessionPtr &session);

// The name of the replica that masters a workspace item: the set's local replica; empty when
// the set has no replicas.
CString GetBucketMasterReplicaName(const AdBucketPtr &bucket);

// One group's permission kind on a folder. `GetInheritedFrom` is the dbid of the folder the kind
// comes from when that is not the folder asked about, else 0.
class AdFolderPermission : public KXObject {
public:
    AdFolderPermission(int64_t group, const CString &group_name, int kind, int64_t inherited_from)
        : group_(group), group_name_(group_name), kind_(kind), inherited_from_(inherited_from) {}
    int64_t GetGroup() const { return group_; }
    CString GetGroupName() const { return group_name_; }
    int GetKind() const { return kind_; }
    int64_t GetInheritedFrom() const { return inherited_from_; }
    // KXException KX_MSG_NOT_FOUND for a dbid that names no group.
    void SetGroup(int64_t group);
    // KXException KX_MSG_BAD_VALUE outside AD_PERM_NO_ACCESS..AD_PERM_CHANGE.
    void SetKind(int kind);

private:
    friend class AdAccessControlMgr;
    AdSessionPtr session_;
    int64_t group_;
    CString group_name_;
    int kind_;
    int64_t inherited_from_;
};

// Permissions in the order they were given; a group may appear once.
class AdPermissionSet : public KXObject {
public:
    int GetCount() const { return static_cast<int>(items_.size()); }
    // 0-based; null outside 0..GetCount-1.
    AdFolderPermissionPtr GetItem(int index) const;

private:
    friend class AdAccessControlMgr;
    friend class AdFolder;
    std::vector<AdFolderPermissionPtr> items_;
};

class AdAccessControlMgr : public KXObject {
public:
    explicit AdAccessControlMgr(const AdSessionPtr &session) : session_(session) {}
    // A permission with no group and kind AD_PERM_NO_ACCESS, to be filled by SetGroup and SetKind.
    AdFolderPermissionPtr BuildPermission();
    // KXException KX_MSG_BAD_VALUE when a permission has no group or two name the same group.
    AdPermissionSetPtr BuildPermissionSet(const std::vector<AdFolderPermissionPtr> &permissions);
    // Group and user dbids by name (0 when unknown) and group names by dbid (empty when unknown).
    // Inactive groups are known: their entries stay until someone removes them.
    int64_t LookupGroupByName(const CString &name);
    CString LookupGroupByDbId(int64_t dbid);
    int64_t LookupUserByName(const CString &login);

private:
    AdSessionPtr session_;
};

AdAccessControlMgrPtr GetAccessControlMgr(const AdSessionPtr &session);
