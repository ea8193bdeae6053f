// The query workspace of a user database: top folders (public, personal), folders, queries,
// charts, reports and report formats. A session reads the workspace once and keeps that
// picture until RefreshEntireWorkspace.
#pragma once
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "kxproduct/metadata.h"

namespace kxp {
struct WorkspaceNode;
}

class AdBucket;
class AdFolder;
class AdQueryDef;
class AdWorkspaceMgr;
class AdFolderPermission;
class AdPermissionSet;
typedef KXSmartPtr<AdBucket> AdBucketPtr;
typedef KXSmartPtr<AdFolder> AdFolderPtr;
typedef KXSmartPtr<AdWorkspaceMgr> AdWorkspaceMgrPtr;

// Item types (bits, so that masks select several kinds).
enum AdBucketType : int {
    AD_BUCKET_QUERY = 0x1,
    AD_BUCKET_CHART = 0x2,
    AD_BUCKET_FOLDER = 0x4,
    AD_BUCKET_REPORT = 0x100,
    AD_BUCKET_REPORT_FORMAT = 0x200,
};
enum AdFolderType : int { AD_PUBLIC_FOLDER = 1, AD_PERSONAL_FOLDER = 2 };
// Permission kinds of a group on a public folder. Read-limited reads the folder's own items;
// change may also change the folder's permissions.
enum AdPermission : int {
    AD_PERM_NO_ACCESS = 1,
    AD_PERM_READ_ONLY = 2,
    AD_PERM_READ_WRITE = 3,
    AD_PERM_READ_LIMITED = 4,
    AD_PERM_CHANGE = 5,
};

class AdBucket : public AdDataObject {
public:
    AdBucket(const AdSessionPtr &session, std::shared_ptr<const kxp::WorkspaceNode> node);
    ~AdBucket() override;
    int GetType() const;
    // Owner of a personal item; 0 for a public one.
    int64_t GetUserId() const;
    // Null for a top folder.
    AdBucketPtr GetParent() const;
    // "Public Queries/..." or "Personal Queries/...".
    CString GetPathName() const;
    int GetFolderType() const;
    // The stored definition of a query, chart, report or report format.
    CString GetData() const;
    CString GetEntityDefName() const;
    std::vector<int64_t> GetChildBucketIds() const;
    const kxp::WorkspaceNode &node() const { return *node_; }
    const AdSessionPtr &session() const { return session_; }
    // The session the item was read in.
    AdSessionPtr GetSession() const;

    // A new definition for a query or chart, kept until Update; KXException KX_MSG_BAD_VALUE for
    // another kind of item.
    void PutQueryDef(const KXSmartPtr<AdQueryDef> &definition);
    // Writes what is pending in one transaction; nothing when nothing is. KXException
    // KX_MSG_NOT_PRIVILEGED when the item's folder is not writable, PaMsgException
    // KX_MSG_NOT_FOUND when the item is gone.
    void Update();

private:
    AdSessionPtr session_;
    std::shared_ptr<const kxp::WorkspaceNode> node_;
    bool has_pending_definition_ = false;
    CString pending_definition_;
};

class AdFolder : public KXObject {
public:
    // The folder of a folder item; null for an item that is not a folder.
    static AdFolderPtr LookupFolderFromBucket(const AdBucketPtr &bucket);
    AdBucketPtr GetBucket() const { return bucket_; }
    // Personal folders: their owner only. Public folders: super users and public-folder
    // administrators, and otherwise the group permissions of the folder or of its nearest ancestor
    // that has any (no permissions anywhere: everyone reads, nobody else writes).
    BOOL IsWritable() const;
    BOOL IsReadable() const;
    // Dbids of the folder's children whose type has a bit of `type_mask`, in dbid order.
    std::vector<int64_t> GetChildBucketIds(int type_mask) const;
    // Group name and permission kind of this folder, including changes not yet committed.
    std::vector<std::pair<CString, int>> GetAllGroupPermissions() const;
    // Sets a group's permission kind on this folder (0 removes the group's entry); kept until
    // CommitPermissions or RevertPermissions. KXException KX_MSG_BAD_VALUE for another number.
    void SetPermissions(const CString &group, int permission);
    void CommitPermissions();
    void RevertPermissions();
    // Rereads the workspace, so that children made or removed by other sessions show; `reserved` is 1.
    void Refresh(int reserved);
    // Ids of the children whose type shares a bit with `type_mask`, in the order they were made.
    void GetChildBucketIds(std::vector<int64_t> &ids, int type_mask) const;

    // Folder security (security.h, security.cpp). Personal folders carry no permissions: their
    // sets are empty and their permissions cannot be changed.
    // Super users, public-folder and security administrators, and users of a group whose effective
    // kind here is AD_PERM_CHANGE.
    BOOL CanChangePermissions() const;
    // The session user's strongest kind on the nearest folder up the path (this one first) that has
    // entries; null when none has, or when it names no group of the user.
    KXSmartPtr<AdFolderPermission> GetPermission() const;
    // This folder's own entries, pending changes included.
    KXSmartPtr<AdPermissionSet> GetAppliedPermissions() const;
    // Every active group with the kind it would have here without entries of this folder: the kind
    // on the nearest ancestor that has entries (no access when it names others only), read only
    // when no ancestor has entries.
    KXSmartPtr<AdPermissionSet> GetPossiblePermissions() const;
    // Triples of strings (group name, an empty string, the kinds as decimal text separated by tabs)
    // for every group named on the nearest folder up the path that has entries.
    void GetAllGroupPermissions(std::vector<CString> &triples) const;
    // Applied: this folder's entries for the group, or for the user's active groups. Effective: the
    // entries of the nearest folder with entries, for the group or the user's groups. Groups hold
    // users only, so `nested` finds nothing more.
    KXSmartPtr<AdPermissionSet> GetAppliedPermissionsForGroup(int64_t group, BOOL nested) const;
    KXSmartPtr<AdPermissionSet> GetAppliedPermissionsForUser(int64_t user, BOOL nested) const;
    KXSmartPtr<AdPermissionSet> GetPermissionForGroup(int64_t group, BOOL nested) const;
    KXSmartPtr<AdPermissionSet> GetPermissionForUser(int64_t user, BOOL nested) const;
    // Replaces this folder's entries by the set, pending until CommitPermissions. KXException
    // KX_MSG_NOT_PRIVILEGED when CanChangePermissions is false.
    void SetPermissions(const KXSmartPtr<AdPermissionSet> &permissions);

private:
    explicit AdFolder(const AdBucketPtr &bucket);
    int effective(int bit, bool use_pending) const;
    AdBucketPtr bucket_;
    bool gone_ = false; // removed by another session (seen at Refresh)
    bool edited_ = false;
    std::vector<std::pair<CString, int>> pending_;
};

class AdWorkspaceMgr : public KXObject {
public:
    explicit AdWorkspaceMgr(const AdSessionPtr &session) : session_(session) {}
    // `user_id` selects whose personal folder "Personal Queries/..." means. Null when not found.
    AdBucketPtr LookupBucketByPathName(int64_t user_id, const CString &path);
    AdBucketPtr GetBucket(int64_t dbid);
    void RefreshEntireWorkspace(int reserved);
    // Moves an item and its subtree to `path` (the new parent's path, "/", the new name) in one
    // transaction. Refused: a top folder, a destination inside the item itself, a parent that is
    // missing or not a folder, either parent not writable, and an existing item at `path` unless
    // `overwrite` (which then removes it first). Returns the moved item.
    AdBucketPtr MoveBucket(const AdBucketPtr &bucket, const CString &path, BOOL overwrite);
    // Makes an item `name` of `item_type` (an AdBucketType) in the folder `parent` and writes it in
    // one transaction: `owner` the personal folder's user (0 in public), `entity_def` the record
    // type of a query (may be null), `data` its definition. With `replaces`, an item of the parent
    // with that name, that item and its subtree are removed in the same transaction: the old item
    // is never gone before the new one exists. KXException: KX_MSG_BAD_WORKSPACE_NAME for a bad or
    // taken name, KX_MSG_BAD_VALUE for a parent that is no folder, KX_MSG_NOT_PRIVILEGED for a
    // folder the user may not write, KX_MSG_COMMIT_FAILED when the store fails.
    AdBucketPtr BuildBucket(int64_t owner, const CString &name, int item_type, int reserved, const AdBucketPtr &parent,
                            AdEntityDef *entity_def, const CString &data, const AdBucketPtr &replaces = AdBucketPtr());
    // The start-up mark of a query (one statement each); PaMsgException KX_MSG_NOT_FOUND for a
    // dbid that names no query or chart.
    void SetStartUpBit(int64_t dbid);
    void ClearStartUpBit(int64_t dbid);
    static CString FolderTypeToTopName(int folder_type);

private:
    AdSessionPtr session_;
};

AdWorkspaceMgrPtr GetWorkspaceMgr(const AdSessionPtr &session);
// The public (1) or personal (2) top folder of the session's user database; made when missing and
// `create` is nonzero. An administrator session has no workspace: the public folder is refused
// with PaMsgException KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN, the personal one is null.
AdBucketPtr GetTopWorkspaceFolder(const AdSessionPtr &session, int folder_type, int create);

class AdBucketMgr {
public:
    static BOOL IsQueryStartUp(const AdBucketPtr &bucket);
    // The child of the folder `parent` named `name` whose type has a bit of `type_mask`, as the
    // store holds it now; null when there is none. `user_id` is the owner of a personal folder.
    static AdBucketPtr GetBucketByName(const AdBucketPtr &parent, const CString &name, int type_mask, int64_t user_id);
    // Removes the item and its whole subtree in one transaction. A top folder is refused
    // (KX_MSG_BAD_VALUE), so is an item whose folder the user may not write (KX_MSG_NOT_PRIVILEGED).
    static void DeleteBucket(const AdBucketPtr &bucket);
};
